#include "shell/TrayIcon.h"

#include <QDir>

#include "platform/gui/ResourceLookup.h"

namespace {
// How often to look again for a tray that was not there at start.
constexpr int TRAY_CHECK_MS = 2000;
} // namespace

CQtTrayIcon::CQtTrayIcon(QObject* parent) : ITrayIcon(parent) {
    connect(&m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        switch (r) {
        case QSystemTrayIcon::Context:
            emit Activated(Click::Context);
            break;
        case QSystemTrayIcon::DoubleClick:
            emit Activated(Click::DoubleClick);
            break;
        default:
            emit Activated(Click::Other);
            break;
        }
    });
    m_trayCheck.setInterval(TRAY_CHECK_MS);
    connect(&m_trayCheck, &QTimer::timeout, this, &CQtTrayIcon::ShowWhenTrayAvailable);
}

void CQtTrayIcon::Add(int iconId, const QIcon& icon, const QString& tip) {
    m_wanted = true;
    Modify(iconId, icon, tip);
    ShowWhenTrayAvailable();
}

void CQtTrayIcon::Modify(int, const QIcon& icon, const QString& tip) {
    m_icon.setIcon(icon);
    m_icon.setToolTip(tip);
}

void CQtTrayIcon::Remove() {
    m_wanted = false;
    m_trayCheck.stop();
    m_icon.hide();
}

void CQtTrayIcon::SetMenu(QMenu* menu) {
    m_icon.setContextMenu(menu);
    if (menu)
        connect(menu, &QMenu::aboutToShow, this, &ITrayIcon::MenuAboutToShow, Qt::UniqueConnection);
}

bool CQtTrayIcon::IsAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void CQtTrayIcon::ShowWhenTrayAvailable() {
    if (!m_wanted)
        return;
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_trayCheck.stop();
        m_icon.show();
    } else if (!m_trayCheck.isActive()) {
        m_trayCheck.start();
    }
}

QIcon LoadTrayIconImage(unsigned iconId) {
    // The program's own images, one "<n>.png" per pixel size n. Each is
    // named with its size, so Qt reads it only when that size is first
    // drawn; the program's module lives for the whole run. The folder is
    // listed without a name filter, which would bring in a pattern engine.
    QIcon icon;
    if (CResourceModule* own = CResourceLookup::ProgramModule()) {
        const QDir folder(own->ResourcePrefix() + QStringLiteral("/icon/%1").arg(iconId));
        for (const QString& name : folder.entryList(QDir::Files)) {
            if (!name.endsWith(QLatin1String(".png")))
                continue;
            bool isSize = false;
            const int size = name.chopped(4).toInt(&isSize);
            if (isSize && size > 0)
                icon.addFile(folder.filePath(name), QSize(size, size));
        }
    }
    return icon;
}
