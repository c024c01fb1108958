#pragma once
// The notification-area icon as the frame sees it. The frame only adds,
// modifies and removes the icon and hands it the menu; the Qt implementation
// talks to the desktop's tray, and tests put an observable one in its place
// (the offscreen platform has no tray).

#include <memory>

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTimer>

class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

class ITrayIcon : public QObject {
    Q_OBJECT
public:
    // Activate: the tray's primary action, a single left click on a
    // StatusNotifierItem host or an XEmbed tray.
    enum class Click { Context, Activate, DoubleClick, Other };

    using QObject::QObject;
    // `iconId` names which of the frame's icons `icon` is; observers use it.
    virtual void Add(int iconId, const QIcon& icon, const QString& tip) = 0;
    virtual void Modify(int iconId, const QIcon& icon, const QString& tip) = 0;
    virtual void Remove() = 0;
    virtual void SetMenu(QMenu* menu) = 0;
    // Whether the icon is known to be shown to the user right now; when in
    // doubt, it is not, and the status window stands in. Observers that
    // stand in for a tray have one.
    virtual bool IsAvailable() const { return true; }

signals:
    // Any click or key on the icon.
    void Activated(ITrayIcon::Click click);
    // The menu is about to open: enable states must be current.
    void MenuAboutToShow();
};

// What the session's StatusNotifierWatcher lets us see of our item.
struct StatusNotifierView {
    bool watcher = false;     // org.kde.StatusNotifierWatcher has an owner
    bool hostClaimed = false; // the watcher's IsStatusNotifierHostRegistered
    bool hostOnBus = false;   // some org.kde.StatusNotifierHost-* name is owned
    bool itemListed = false;  // RegisteredStatusNotifierItems holds ours

    // The icon is in a tray somebody draws.
    bool Shown() const { return watcher && hostClaimed && hostOnBus && itemListed; }
};

// QSystemTrayIcon: StatusNotifierItem or XEmbed, whichever the desktop has.
//
// Qt decides once per process, when its first tray icon is made, whether
// icons go to a StatusNotifierWatcher; an icon made before the watcher runs
// never reaches one (and on Wayland, where there is no XEmbed, nowhere at
// all). So the Qt icon is made only once there is a tray to hold it: a
// watcher on the session bus, or on X11 an XEmbed tray's selection owner.
// Whenever the watcher (re)appears, the icon is shown afresh, which makes Qt
// register the item with it again.
class CQtTrayIcon final : public ITrayIcon {
    Q_OBJECT
public:
    explicit CQtTrayIcon(QObject* parent = nullptr);
    ~CQtTrayIcon() override;
    void Add(int iconId, const QIcon& icon, const QString& tip) override;
    void Modify(int iconId, const QIcon& icon, const QString& tip) override;
    void Remove() override;
    void SetMenu(QMenu* menu) override;
    bool IsAvailable() const override;
    // The Qt icon exists and is up (whether or not a host draws it).
    bool IsShown() const { return m_icon && m_icon->isVisible(); }
    const StatusNotifierView& StatusNotifier() const { return m_view; }
    const QString& Tip() const { return m_tip; }
    // How many times the icon was put up, counting re-registrations.
    int Registrations() const { return m_registrations; }

signals:
    // What the watcher reports changed.
    void StatusNotifierChanged();

private slots:
    void QueryWatcherSlot();

private:
    void ShowWhenTrayAvailable();
    void CreateIcon();
    void Register();
    void OnWatcherAppeared();
    void OnWatcherGone();
    void QueryWatcher();
    bool XEmbedTrayPresent() const;
    bool OwnsItem(const QStringList& items) const;

    std::unique_ptr<QSystemTrayIcon> m_icon;
    QIcon m_image;
    QString m_tip;
    QPointer<QMenu> m_menu;
    QTimer m_trayCheck;
    QDBusServiceWatcher* m_watcherWatch = nullptr;
    bool m_wanted = false;
    bool m_iconOnXEmbed = false;
    bool m_queryPending = false;
    bool m_reregister = false;
    int m_registrations = 0;
    unsigned m_ticks = 0;
    StatusNotifierView m_view;
};

// One of the program's own tray icons (icon 128, 166, 167 or 171) in every
// size it comes in; whatever language is selected.
QIcon LoadTrayIconImage(unsigned iconId);
