#include "shell/TrayIcon.h"

#include <cstdlib>
#include <string>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDir>
#include <QGuiApplication>
#include <xcb/xcb.h>

#include "platform/gui/ResourceLookup.h"

namespace {
// How often to look again for a tray, and at what the watcher says.
constexpr int TRAY_CHECK_MS = 1000;
// A watcher that does not answer within this is taken as not showing us.
constexpr int WATCHER_CALL_MS = 2000;
// While the icon is shown, the watcher is asked every this many checks.
constexpr unsigned SHOWN_QUERY_TICKS = 10;

const QString WATCHER_SERVICE = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString WATCHER_PATH = QStringLiteral("/StatusNotifierWatcher");
const QString WATCHER_INTERFACE = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString HOST_PREFIX = QStringLiteral("org.kde.StatusNotifierHost-");
// Qt's item registers as org.kde.StatusNotifierItem-<pid>-<n>.
QString ItemPrefix() {
    return QStringLiteral("org.kde.StatusNotifierItem-%1-").arg(::getpid());
}

// The screen number of $DISPLAY (":1.2" is screen 2).
int DisplayScreen() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr)
        return 0;
    const std::string text = display;
    const auto colon = text.rfind(':');
    const auto dot = text.find('.', colon == std::string::npos ? 0 : colon);
    return dot == std::string::npos ? 0 : std::atoi(text.c_str() + dot + 1);
}
} // namespace

CQtTrayIcon::CQtTrayIcon(QObject* parent) : ITrayIcon(parent) {
    m_trayCheck.setInterval(TRAY_CHECK_MS);
    connect(&m_trayCheck, &QTimer::timeout, this, [this] {
        ShowWhenTrayAvailable();
        // The watcher's signals tell of most changes; the look at it is
        // frequent until the icon is shown, and rare afterwards.
        ++m_ticks;
        if (m_view.watcher && (!m_view.Shown() || m_ticks % SHOWN_QUERY_TICKS == 0))
            QueryWatcher();
    });

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    m_watcherWatch = new QDBusServiceWatcher(WATCHER_SERVICE, bus,
                                             QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcherWatch, &QDBusServiceWatcher::serviceRegistered, this,
            &CQtTrayIcon::OnWatcherAppeared);
    connect(m_watcherWatch, &QDBusServiceWatcher::serviceUnregistered, this,
            &CQtTrayIcon::OnWatcherGone);
    for (const char* signal : {"StatusNotifierItemRegistered", "StatusNotifierItemUnregistered",
                               "StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"}) {
        bus.connect(QString(), WATCHER_PATH, WATCHER_INTERFACE, QString::fromLatin1(signal), this,
                    SLOT(QueryWatcherSlot()));
    }
    m_view.watcher = bus.interface()->isServiceRegistered(WATCHER_SERVICE);
    if (m_view.watcher)
        QueryWatcher();
}

CQtTrayIcon::~CQtTrayIcon() = default;

void CQtTrayIcon::Add(int iconId, const QIcon& icon, const QString& tip) {
    m_wanted = true;
    Modify(iconId, icon, tip);
    ShowWhenTrayAvailable();
    m_trayCheck.start();
}

void CQtTrayIcon::Modify(int, const QIcon& icon, const QString& tip) {
    m_image = icon;
    m_tip = tip;
    if (m_icon) {
        m_icon->setIcon(icon);
        m_icon->setToolTip(tip);
    }
}

void CQtTrayIcon::Remove() {
    m_wanted = false;
    m_trayCheck.stop();
    if (m_icon)
        m_icon->hide();
}

void CQtTrayIcon::SetMenu(QMenu* menu) {
    m_menu = menu;
    if (m_icon)
        m_icon->setContextMenu(menu);
    if (menu)
        connect(menu, &QMenu::aboutToShow, this, &ITrayIcon::MenuAboutToShow, Qt::UniqueConnection);
}

bool CQtTrayIcon::IsAvailable() const {
    if (!IsShown())
        return false;
    if (m_iconOnXEmbed)
        return XEmbedTrayPresent();
    return m_view.Shown();
}

void CQtTrayIcon::CreateIcon() {
    m_icon = std::make_unique<QSystemTrayIcon>();
    m_iconOnXEmbed = !(m_view.watcher && m_view.hostClaimed);
    m_icon->setIcon(m_image);
    m_icon->setToolTip(m_tip);
    m_icon->setContextMenu(m_menu);
    // Queued: a click opens a modal sheet, whose run must not sit inside the
    // click's own handling, or a tray's Activate call would get its answer
    // only once the sheet is closed (and the tray's call times out first).
    connect(
        m_icon.get(), &QSystemTrayIcon::activated, this,
        [this](QSystemTrayIcon::ActivationReason r) {
            switch (r) {
            case QSystemTrayIcon::Context:
                emit Activated(Click::Context);
                break;
            case QSystemTrayIcon::Trigger:
                emit Activated(Click::Activate);
                break;
            case QSystemTrayIcon::DoubleClick:
                emit Activated(Click::DoubleClick);
                break;
            default:
                emit Activated(Click::Other);
                break;
            }
        },
        Qt::QueuedConnection);
}

void CQtTrayIcon::Register() {
    // Hiding drops Qt's item from the bus, showing registers it anew with
    // whichever watcher runs now.
    m_icon->hide();
    m_icon->show();
    ++m_registrations;
}

void CQtTrayIcon::ShowWhenTrayAvailable() {
    if (!m_wanted)
        return;
    if (!m_icon) {
        // Nothing of Qt's tray is touched before there is a tray: its first
        // look decides for the whole run.
        if (!(m_view.watcher && m_view.hostClaimed) && !XEmbedTrayPresent())
            return;
        CreateIcon();
    }
    if (!m_icon->isVisible()) {
        if (m_iconOnXEmbed && !QSystemTrayIcon::isSystemTrayAvailable())
            return;
        Register();
    }
}

void CQtTrayIcon::OnWatcherAppeared() {
    m_view = StatusNotifierView{};
    m_view.watcher = true;
    // The item is registered once the new watcher answers: a watcher owns
    // its name a moment before its object is there to take the call.
    m_reregister = true;
    QueryWatcher();
    emit StatusNotifierChanged();
}

void CQtTrayIcon::OnWatcherGone() {
    m_view = StatusNotifierView{};
    emit StatusNotifierChanged();
}

void CQtTrayIcon::QueryWatcherSlot() {
    QueryWatcher();
}

void CQtTrayIcon::QueryWatcher() {
    if (m_queryPending)
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusMessage call = QDBusMessage::createMethodCall(
        WATCHER_SERVICE, WATCHER_PATH, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("GetAll"));
    call << WATCHER_INTERFACE;
    m_queryPending = true;
    auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(call, WATCHER_CALL_MS), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* done) {
                done->deleteLater();
                m_queryPending = false;
                const QDBusPendingReply<QVariantMap> reply = *done;
                const StatusNotifierView before = m_view;
                if (reply.isError()) {
                    m_view.hostClaimed = m_view.itemListed = false;
                } else {
                    const QVariantMap properties = reply.value();
                    m_view.hostClaimed =
                        properties.value(QStringLiteral("IsStatusNotifierHostRegistered")).toBool();
                    m_view.itemListed =
                        OwnsItem(properties.value(QStringLiteral("RegisteredStatusNotifierItems"))
                                     .toStringList());
                }
                // A watcher may claim a host that never draws anything (one
                // that has gone, or that is the watcher itself); a host that
                // draws owns a name of its own on the bus.
                m_view.hostOnBus = false;
                const QDBusReply<QStringList> names =
                    QDBusConnection::sessionBus().interface()->registeredServiceNames();
                for (const QString& name : names.value()) {
                    if (name.startsWith(HOST_PREFIX)) {
                        m_view.hostOnBus = true;
                        break;
                    }
                }
                if (!reply.isError() && m_wanted) {
                    if (!m_icon) {
                        ShowWhenTrayAvailable();
                    } else if (m_reregister && !m_iconOnXEmbed) {
                        Register();
                    }
                    m_reregister = false;
                }
                if (before.Shown() != m_view.Shown() || before.watcher != m_view.watcher ||
                    before.itemListed != m_view.itemListed)
                    emit StatusNotifierChanged();
            });
}

bool CQtTrayIcon::OwnsItem(const QStringList& items) const {
    if (!m_icon || m_iconOnXEmbed)
        return false;
    // Watchers list an item as its service name, or the name and the path
    // ("org.kde.StatusNotifierItem-12-1/StatusNotifierItem"), or the unique
    // name of its connection with the path. Qt's item has a connection of
    // its own, so a unique name is ours when this process owns it.
    const QString prefix = ItemPrefix();
    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    for (const QString& item : items) {
        const QString service = item.section(QLatin1Char('/'), 0, 0);
        if (service.startsWith(prefix))
            return true;
        if (service.startsWith(QLatin1Char(':'))) {
            const QDBusReply<uint> pid = bus->servicePid(service);
            if (pid.isValid() && pid.value() == static_cast<uint>(::getpid()))
                return true;
        }
    }
    return false;
}

bool CQtTrayIcon::XEmbedTrayPresent() const {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (connection == nullptr)
        return false;
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(DisplayScreen());
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection,
        xcb_intern_atom(connection, 1, static_cast<uint16_t>(name.size()), name.c_str()), nullptr);
    if (atom == nullptr)
        return false;
    const xcb_atom_t selection = atom->atom;
    std::free(atom);
    if (selection == XCB_ATOM_NONE)
        return false;
    xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, selection), nullptr);
    const bool present = owner != nullptr && owner->owner != XCB_WINDOW_NONE;
    std::free(owner);
    return present;
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
