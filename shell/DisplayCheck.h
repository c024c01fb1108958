#pragma once
// Whether the GUI can start at all, decided before Qt is asked: Qt ends a
// program that finds no display with an abort and a core dump. No Qt here,
// so a command line and its tests use it without a screen.

#include <functional>
#include <optional>
#include <string>
#include <vector>

// An environment variable's value, or nothing when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;
EnvironmentLookup ProcessEnvironment();

// What is missing for the display platform Qt would pick ("no display:
// neither DISPLAY nor WAYLAND_DISPLAY is set"); empty when there is a
// display to try, or a platform that needs none (-platform offscreen, vnc).
// `arguments` is the command line without the program name.
// `hasPlatformPlugin` says whether Qt's plug-in for a platform ("wayland",
// "wayland-egl", "xcb") is installed; without it every plug-in is taken as
// there. A Wayland session whose plug-in is missing is named as such, not as
// a display that cannot be reached.
using PlatformPluginCheck = std::function<bool(const std::string& platform)>;
std::string MissingDisplay(const std::vector<std::string>& arguments,
                           const EnvironmentLookup& environment,
                           const PlatformPluginCheck& hasPlatformPlugin = {});

// Looks for Qt's platform plug-ins in `directories` (each a "platforms"
// folder of a plug-in path).
PlatformPluginCheck PlatformPluginsIn(std::vector<std::string> directories);

inline constexpr char NO_WAYLAND_PLUGIN[] =
    "no display: WAYLAND_DISPLAY is set, but Qt's Wayland platform plug-in is not installed "
    "(package qt6-wayland) and DISPLAY is not set";

// "cannot connect to display :99" from what Qt said before it gave up
// ("could not connect to display :99"); else "cannot start the user
// interface: " and Qt's first line.
std::string DisplayFailure(const std::vector<std::string>& qtMessages);

// Where the command-line tool lives: beside the program, else on PATH;
// empty when it is not installed.
std::string FindCommandLineTool(const std::string& programDirectory,
                                const EnvironmentLookup& environment);

// The one line for standard error: "<program>: <what>", and where the
// command-line tool exists, how to work without a display.
std::string NoDisplayLine(const std::string& program, const std::string& what,
                          const std::string& commandLineTool);

inline constexpr char COMMAND_LINE_TOOL[] = "opal-agent-ctl";
