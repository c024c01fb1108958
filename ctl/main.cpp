// opal-agent-ctl: the agent's settings tool for the shell, scripts and
// configuration management, with the very rules and files of the dialogs.

#include <clocale>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "BuildInfo.h"
#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "ctl/CtlCommon.h"
#include "shell/ToolLog.h"

namespace {

bool IsHelp(const std::string& argument) {
    return argument == "--help" || argument == "-h";
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", CTL_PROGRAM, message.c_str(), CTL_PROGRAM);
    return EXIT_USAGE_ERROR;
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    CtlContext context;
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--json")
            context.json = true;
        else
            arguments.push_back(argument);
    }
    if (arguments.empty())
        return Usage("no command given");
    const std::string command = arguments.front();
    if (IsHelp(command)) {
        std::fputs(CtlHelp("").c_str(), stdout);
        return EXIT_OK;
    }
    if (command == "--version") {
        std::printf("%s (%s) %s\n", CTL_PROGRAM, OPAL_PRODUCT_NAME, OPAL_VERSION);
        return EXIT_OK;
    }
    std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
    std::string subcommand;
    if (command == "config" || command == "service") {
        if (rest.empty() || IsHelp(rest.front())) {
            if (rest.empty())
                return Usage(command == "config" ? "config needs show, set or apply"
                                                 : "service needs start, stop, restart or status");
            std::fputs(CtlHelp(command).c_str(), stdout);
            return EXIT_OK;
        }
        subcommand = rest.front();
        rest.erase(rest.begin());
    }
    const bool known = command == "status" || command == "test-connection" ||
                       command == "diagnose" ||
                       (command == "config" &&
                        (subcommand == "show" || subcommand == "set" || subcommand == "apply")) ||
                       command == "service";
    if (!known)
        return Usage(subcommand.empty() ? "unknown command '" + command + "'"
                                        : "unknown command '" + command + " " + subcommand + "'");

    const std::string name = subcommand.empty() ? command : command + " " + subcommand;
    for (const std::string& argument : rest) {
        if (IsHelp(argument)) {
            std::fputs(CtlHelp(name).c_str(), stdout);
            return EXIT_OK;
        }
    }

    std::string why;
    if (!context.texts.Load(&why)) {
        std::fprintf(stderr, "%s: %s\n", CTL_PROGRAM, why.c_str());
        return EXIT_FAILED;
    }
    // File names on the command line are the user's; the program then works
    // in its own directory, as the tray does, so that relative paths in the
    // configuration mean what they mean to the agent.
    std::vector<char> directory(4096);
    if (::getcwd(directory.data(), directory.size()))
        context.userDirectory = directory.data();
    context.logFile = OpenToolLog(u"opal-agent-ctl", CTL_PROGRAM);
    std::string home;
    if (GetModuleDirectory(home) && ::chdir(home.c_str()) != 0)
        std::fprintf(stderr, "%s: cannot work in %s\n", CTL_PROGRAM, home.c_str());
    LOG_PRINTF(LK_INFO, "opal-agent-ctl %s: %s. [%s|%d]", OPAL_VERSION, name);

    int result = EXIT_USAGE_ERROR;
    if (command == "status")
        result = RunStatus(context, rest);
    else if (command == "test-connection")
        result = RunTestConnection(context, rest);
    else if (command == "diagnose")
        result = RunDiagnose(context, rest);
    else if (command == "service")
        result = RunService(context, subcommand, rest);
    else if (subcommand == "show")
        result = RunConfigShow(context, rest);
    else if (subcommand == "set")
        result = RunConfigSet(context, rest);
    else
        result = RunConfigApply(context, rest);
    LogShutdown();
    return result;
}
