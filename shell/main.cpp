// The tray program: a Qt application with no window of its own.

#include <QApplication>

#include "res/ProgramResources.h"
#include "shell/SettingApp.h"
#include "ui/ConfigureAgent4VSM.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (!InstallProgramResources())
        return 1;

    CSettingApp app({});
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
