// The tray program: a Qt application with no window of its own.

#include <cstdio>
#include <string>
#include <vector>

#include <QApplication>

#include "BuildInfo.h"
#include "res/ProgramResources.h"
#include "shell/CommandLine.h"
#include "shell/SettingApp.h"
#include "ui/ConfigureAgent4VSM.h"

int main(int argc, char** argv) {
    const std::string program = argc > 0 ? argv[0] : "opal-agent-setting";
    const CommandLine command =
        ParseCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    if (command.action == CommandLine::Action::Error) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program.c_str(), command.error.c_str(),
                     program.c_str());
        return EXIT_USAGE;
    }
    if (command.action == CommandLine::Action::Help) {
        std::fputs(CommandLineHelp(program).c_str(), stdout);
        return 0;
    }
    if (command.action == CommandLine::Action::Version) {
        std::printf("%s %s\n", OPAL_PRODUCT_NAME, OPAL_VERSION);
        return 0;
    }

    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (!InstallProgramResources())
        return 1;

    CSettingApp::Options options;
    options.configureAtStart = command.configure;
    options.statusWindow = command.window;
    CSettingApp app(options);
    if (!app.InitInstance()) {
        app.ExitInstance();
        return 0;
    }
    app.MainFrame()->SetSettingsSheetFactory(MakeSettingsSheetFactory(app));
    QObject::connect(app.MainFrame(), &CMainFrame::ExitRequested, &application, &QApplication::quit,
                     Qt::QueuedConnection);
    const int result = QApplication::exec();
    app.ExitInstance();
    return result;
}
