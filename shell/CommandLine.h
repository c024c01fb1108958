#pragma once
// The program's command line, read before the GUI starts so that a mistyped
// option or --help never needs a display.

#include <string>
#include <vector>

struct CommandLine {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    // Open the settings sheet as soon as the tray is up.
    bool configure = false;
    // Show the status window at once instead of waiting for a tray host.
    bool window = false;
    // For Action::Error: what was wrong, for standard error.
    std::string error;
};

// `arguments` without the program name. Qt's own options (-platform xcb,
// --style=fusion, -reverse, ...) pass through for QApplication to take.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The text of --help; `program` is the name the user typed.
std::string CommandLineHelp(const std::string& program);

// The exit status of a command line that cannot be run, as getopt users have it.
inline constexpr int EXIT_USAGE = 2;
