// The tray program: a Qt application with no window of its own.

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include <QApplication>
#include <QLibraryInfo>

#include "BuildInfo.h"
#include "common/ASTCommonFunc.h"
#include "res/ProgramResources.h"
#include "shell/CommandLine.h"
#include "shell/DisplayCheck.h"
#include "shell/QtPluginPaths.h"
#include "shell/SettingApp.h"
#include "ui/ConfigureAgent4VSM.h"

namespace {

std::string g_program;
std::vector<std::string> g_platformMessages;
QtMessageHandler g_qtHandler = nullptr;
bool g_startingGui = false;

std::string ProgramDirectory() {
    std::string directory;
    return GetModuleDirectory(directory) ? directory : std::string();
}

// While the GUI starts, Qt's own words about its platform are held back: when
// it finds no display it says so in several lines and then aborts (a core
// dump). Instead the user gets one line and exit status 1; when the start
// succeeds the words held back are passed on as Qt would have printed them.
void OnQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg && g_startingGui) {
        g_platformMessages.push_back(message.toStdString());
        const std::string line =
            NoDisplayLine(g_program, DisplayFailure(g_platformMessages),
                          FindCommandLineTool(ProgramDirectory(), ProcessEnvironment()));
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        ::_exit(1);
    }
    if (g_startingGui) {
        g_platformMessages.push_back(message.toStdString());
        return;
    }
    // Only while the GUI starts; afterwards Qt's own handler is back.
    g_qtHandler(type, context, message);
}

// Where Qt will look for its platform plug-ins.
std::vector<std::string> PlatformPluginFolders() {
    std::vector<std::string> folders = {
        QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString() + "/platforms"};
    if (const char* path = std::getenv("QT_QPA_PLATFORM_PLUGIN_PATH"))
        folders.emplace_back(path);
    if (const char* paths = std::getenv("QT_PLUGIN_PATH")) {
        for (const QString& path : QString::fromLocal8Bit(paths).split(QLatin1Char(':')))
            folders.push_back(path.toStdString() + "/platforms");
    }
    return folders;
}

} // namespace

int main(int argc, char** argv) {
    const std::string program = argc > 0 ? argv[0] : "opal-agent-setting";
    g_program = program;
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const CommandLine command = ParseCommandLine(arguments);
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

    const EnvironmentLookup environment = ProcessEnvironment();
    if (const std::string missing =
            MissingDisplay(arguments, environment, PlatformPluginsIn(PlatformPluginFolders()));
        !missing.empty()) {
        const std::string line =
            NoDisplayLine(program, missing, FindCommandLineTool(ProgramDirectory(), environment));
        std::fputs(line.c_str(), stderr);
        return 1;
    }

    g_qtHandler = qInstallMessageHandler(OnQtMessage);
    g_startingGui = true;
    QApplication application(argc, argv);
    g_startingGui = false;
    qInstallMessageHandler(g_qtHandler);
    for (const std::string& message : g_platformMessages)
        std::fprintf(stderr, "%s\n", message.c_str());
    g_platformMessages.clear();
    const std::string pluginPathRefused =
        RestrictQtLibraryPaths(QCoreApplication::applicationDirPath());

    QApplication::setQuitOnLastWindowClosed(false);
    // Ties the tool's windows to its desktop entry, whose name and icon the
    // desktop then shows for them (Wayland's app id).
    QGuiApplication::setDesktopFileName(QStringLiteral("opal-agent-setting"));
    if (!InstallProgramResources())
        return 1;

    CSettingApp::Options options;
    options.configureAtStart = command.configure;
    options.statusWindow = command.window;
    options.exitOnSignals = true;
    options.qtPluginPathRefused = pluginPathRefused;
    // The agent side opens the event by its name; a test that runs the
    // program beside others gives it a name of its own.
    if (const auto name = environment("OPAL_STATUS_EVENT"); name && !name->empty())
        options.statusEventName = ToWideString(*name, CP_ACP);
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
