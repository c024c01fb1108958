#include "shell/CommandLine.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace {

// The options QGuiApplication and QApplication read from the command line.
constexpr std::array<std::string_view, 11> QT_OPTIONS_WITH_VALUE = {
    "platform",    "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "display", "style",
    "stylesheet"};
constexpr std::array<std::string_view, 5> QT_FLAGS = {"reverse", "widgetcount", "nograb", "dograb",
                                                      "sync"};

template <std::size_t N>
bool Contains(const std::array<std::string_view, N>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

} // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine result;
    auto fail = [&result](std::string why) {
        result.action = CommandLine::Action::Error;
        result.error = std::move(why);
        return result;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--configure") {
            result.configure = true;
            continue;
        }
        if (argument == "--window") {
            result.window = true;
            continue;
        }
        if (argument == "--version") {
            if (result.action != CommandLine::Action::Help)
                result.action = CommandLine::Action::Version;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            result.action = CommandLine::Action::Help;
            continue;
        }
        if (argument.size() < 2 || argument[0] != '-')
            return fail("unexpected argument '" + argument + "'");
        // Qt takes its options with one dash or two, the value after '=' or
        // as the next argument.
        std::string_view name(argument);
        name.remove_prefix(argument.compare(0, 2, "--") == 0 ? 2 : 1);
        const std::size_t equals = name.find('=');
        const bool inlineValue = equals != std::string_view::npos;
        if (inlineValue)
            name = name.substr(0, equals);
        if (Contains(QT_OPTIONS_WITH_VALUE, name)) {
            if (!inlineValue && ++i >= arguments.size())
                return fail("option '" + argument + "' needs a value");
            continue;
        }
        if (Contains(QT_FLAGS, name) && !inlineValue)
            continue;
        return fail("unknown option '" + argument + "'");
    }
    return result;
}

std::string CommandLineHelp(const std::string& program) {
    return "Usage: " + program +
           " [--configure] [--window]\n"
           "The settings tool of the agent: an icon in the notification area.\n"
           "\n"
           "  --configure  open the settings sheet at once, as \"Configure\" in the\n"
           "               icon's menu does; while the tool already runs in this\n"
           "               session, that instance opens (or raises) its sheet\n"
           "  --window     show the status window from the start and for the whole\n"
           "               run (without a notification area it comes after 10 s)\n"
           "  --version    show the version and end\n"
           "  -h, --help   show this text\n"
           "\n"
           "Qt's own options (-platform, -display, -style, ...) are accepted too.\n"
           "SIGTERM, SIGINT and SIGHUP end the tool as \"Exit\" does.\n";
}
