#include "shell/DisplayCheck.h"

#include <cstdlib>
#include <unistd.h>

namespace {

bool Set(const EnvironmentLookup& environment, const char* name) {
    const std::optional<std::string> value = environment(name);
    return value && !value->empty();
}

// The platform names Qt would try, first to last: -platform, else
// QT_QPA_PLATFORM ("wayland;xcb"); empty when neither says.
std::vector<std::string> Platforms(const std::vector<std::string>& arguments,
                                   const EnvironmentLookup& environment, bool& displayArgument) {
    std::string chosen;
    displayArgument = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        for (const char* option : {"-platform", "--platform", "-display", "--display"}) {
            const std::string name = option;
            const bool display = name.find("display") != std::string::npos;
            std::string value;
            if (arguments[i] == name && i + 1 < arguments.size())
                value = arguments[i + 1];
            else if (arguments[i].rfind(name + "=", 0) == 0)
                value = arguments[i].substr(name.size() + 1);
            else
                continue;
            if (display)
                displayArgument = true;
            else
                chosen = value;
        }
    }
    if (chosen.empty())
        chosen = environment("QT_QPA_PLATFORM").value_or("");
    std::vector<std::string> platforms;
    std::size_t begin = 0;
    while (begin <= chosen.size() && !chosen.empty()) {
        const std::size_t end = chosen.find(';', begin);
        std::string part =
            chosen.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        // "xcb:option=value" carries the plug-in's options after a colon.
        part = part.substr(0, part.find(':'));
        if (!part.empty())
            platforms.push_back(part);
        if (end == std::string::npos)
            break;
        begin = end + 1;
    }
    return platforms;
}

bool IsX11(const std::string& platform) {
    return platform == "xcb";
}

bool IsWayland(const std::string& platform) {
    return platform.rfind("wayland", 0) == 0;
}

bool Executable(const std::string& path) {
    return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

} // namespace

EnvironmentLookup ProcessEnvironment() {
    return [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (value == nullptr)
            return std::nullopt;
        return std::string(value);
    };
}

std::string MissingDisplay(const std::vector<std::string>& arguments,
                           const EnvironmentLookup& environment,
                           const PlatformPluginCheck& hasPlatformPlugin) {
    bool displayArgument = false;
    const std::vector<std::string> platforms = Platforms(arguments, environment, displayArgument);
    const bool x11 = displayArgument || Set(environment, "DISPLAY");
    const bool wayland = Set(environment, "WAYLAND_DISPLAY");
    const auto hasPlugin = [&](const std::string& platform) {
        return !hasPlatformPlugin || hasPlatformPlugin(platform);
    };
    if (platforms.empty()) {
        if (x11)
            return "";
        if (wayland)
            return hasPlugin("wayland") ? "" : NO_WAYLAND_PLUGIN;
        return "no display: neither DISPLAY nor WAYLAND_DISPLAY is set";
    }
    bool wantsX11 = false;
    bool wantsWayland = false;
    bool waylandPlugin = false;
    for (const std::string& platform : platforms) {
        if (IsX11(platform)) {
            wantsX11 = true;
        } else if (IsWayland(platform)) {
            wantsWayland = true;
            waylandPlugin = waylandPlugin || hasPlugin(platform);
        } else {
            return ""; // offscreen, vnc, eglfs, ...: no display server needed
        }
    }
    if ((wantsX11 && x11) || (wantsWayland && wayland && waylandPlugin))
        return "";
    if (wantsWayland && wayland)
        return NO_WAYLAND_PLUGIN;
    if (wantsX11 && wantsWayland)
        return "no display: neither DISPLAY nor WAYLAND_DISPLAY is set";
    return wantsX11 ? "no display: DISPLAY is not set" : "no display: WAYLAND_DISPLAY is not set";
}

PlatformPluginCheck PlatformPluginsIn(std::vector<std::string> directories) {
    return [directories = std::move(directories)](const std::string& platform) {
        // Qt's plug-in files: libqxcb.so; libqwayland-generic.so for
        // "wayland", libqwayland-egl.so for "wayland-egl".
        const std::string file =
            platform == "wayland" ? "libqwayland-generic.so" : "libq" + platform + ".so";
        for (const std::string& directory : directories) {
            if (!directory.empty() && ::access((directory + "/" + file).c_str(), R_OK) == 0)
                return true;
        }
        return false;
    };
}

std::string DisplayFailure(const std::vector<std::string>& qtMessages) {
    static const std::string kCouldNot = "could not connect to display";
    for (const std::string& message : qtMessages) {
        const std::size_t at = message.find(kCouldNot);
        if (at == std::string::npos)
            continue;
        std::string display = message.substr(at + kCouldNot.size());
        while (!display.empty() && display.front() == ' ')
            display.erase(0, 1);
        return display.empty() ? "cannot connect to the display"
                               : "cannot connect to display " + display;
    }
    std::string first =
        qtMessages.empty() ? std::string("no platform plug-in could start") : qtMessages.back();
    first = first.substr(0, first.find('\n'));
    return "cannot start the user interface: " + first;
}

std::string FindCommandLineTool(const std::string& programDirectory,
                                const EnvironmentLookup& environment) {
    std::string beside = programDirectory;
    if (!beside.empty() && beside.back() != '/')
        beside.push_back('/');
    if (!beside.empty() && Executable(beside + COMMAND_LINE_TOOL))
        return beside + COMMAND_LINE_TOOL;
    const std::string path = environment("PATH").value_or("");
    std::size_t begin = 0;
    while (begin < path.size()) {
        const std::size_t end = path.find(':', begin);
        std::string directory =
            path.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        if (!directory.empty() && directory.front() == '/') {
            const std::string candidate = directory + "/" + COMMAND_LINE_TOOL;
            if (Executable(candidate))
                return candidate;
        }
        if (end == std::string::npos)
            break;
        begin = end + 1;
    }
    return "";
}

std::string NoDisplayLine(const std::string& program, const std::string& what,
                          const std::string& commandLineTool) {
    std::string line = program + ": " + what;
    if (!commandLineTool.empty())
        line += "; without a display, use " + std::string(COMMAND_LINE_TOOL) +
                " to see and change the agent's settings";
    return line + "\n";
}
