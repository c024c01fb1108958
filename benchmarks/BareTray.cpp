// The yardstick of startup_bench.sh: a bare Qt tray program with an icon and
// a six-item menu, nothing else. Whatever the settings tool costs beyond this
// is its own share.

#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (argc < 2)
        return 2;
    // argv[1]: an image file for the icon.
    QSystemTrayIcon tray(QIcon(QString::fromLocal8Bit(argv[1])));
    QMenu menu;
    for (const char* text : {"Open", "Language", "Start", "Stop", "Restart", "Exit"})
        menu.addAction(QString::fromLatin1(text));
    QObject::connect(menu.actions().back(), &QAction::triggered, &application, &QApplication::quit);
    tray.setContextMenu(&menu);
    tray.setToolTip(QStringLiteral("bare tray"));
    tray.show();
    return QApplication::exec();
}
