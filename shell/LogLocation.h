#pragma once
// Where the tool's log goes: the agent's log directory (below the program
// directory), else its "log" subdirectory, else, for a desktop user who may
// write neither, a directory of the user's own under $XDG_STATE_HOME. The
// tray program and the command line choose alike.

#include <string>
#include <vector>

inline constexpr char LOG_FILE_NAME[] = "OPALAgentSetting.log";
inline constexpr char FALLBACK_LOG_DIRECTORY[] = "log";
// Below $XDG_STATE_HOME (default ~/.local/state).
inline constexpr char STATE_LOG_DIRECTORY[] = "opal-agent-setting";

struct LogFileChoice {
    // The log file; meaningful when `enabled`.
    std::string file;
    // False when no directory can take the log (or logging was off).
    bool enabled = false;
    // The log is in the user's state directory because the agent's log
    // directory, `agentDirectory`, cannot be written by this user.
    bool inStateDirectory = false;
    std::string agentDirectory;
    // Every directory tried, in order, for the message when none would do.
    std::vector<std::string> tried;
};

// The user's own directory for the log: $XDG_STATE_HOME/opal-agent-setting/
// (an unset, empty or relative $XDG_STATE_HOME means ~/.local/state), with a
// trailing '/'; empty when there is no home to put it in.
std::string ToolStateLogDirectory();

// Chooses the log file for the program directory `home` (ending with '/')
// and the agent's debug-log directory setting (empty: the program directory
// itself), creating the directory chosen where it is missing: a directory in
// the agent's tree as the install would (2775 in a shared directory), the
// state directory 0700. `enabled` is whether the agent's settings ask for a
// log at all; nothing is created when they do not.
LogFileChoice ChooseLogFile(const std::string& home, const std::u16string& debugLogPath,
                            bool enabled);
