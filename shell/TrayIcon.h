#pragma once
// The notification-area icon as the frame sees it. The frame only adds,
// modifies and removes the icon and hands it the menu; the Qt implementation
// talks to the desktop's tray, and tests put an observable one in its place
// (the offscreen platform has no tray).

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>

class ITrayIcon : public QObject {
    Q_OBJECT
public:
    enum class Click { Context, DoubleClick, Other };

    using QObject::QObject;
    // `iconId` names which of the frame's icons `icon` is; observers use it.
    virtual void Add(int iconId, const QIcon& icon, const QString& tip) = 0;
    virtual void Modify(int iconId, const QIcon& icon, const QString& tip) = 0;
    virtual void Remove() = 0;
    virtual void SetMenu(QMenu* menu) = 0;
    // Whether the desktop has a tray host to show the icon in right now.
    // Observers that stand in for a tray have one.
    virtual bool IsAvailable() const { return true; }

signals:
    // Any click or key on the icon; the frame builds its language items on
    // the first one.
    void Activated(ITrayIcon::Click click);
    // The menu is about to open: enable states must be current.
    void MenuAboutToShow();
};

// QSystemTrayIcon: StatusNotifierItem or XEmbed, whichever the desktop has.
// Qt registers the icon again when the tray host restarts; when there is no
// tray at all yet, the icon is shown as soon as one appears.
class CQtTrayIcon final : public ITrayIcon {
    Q_OBJECT
public:
    explicit CQtTrayIcon(QObject* parent = nullptr);
    void Add(int iconId, const QIcon& icon, const QString& tip) override;
    void Modify(int iconId, const QIcon& icon, const QString& tip) override;
    void Remove() override;
    void SetMenu(QMenu* menu) override;
    bool IsAvailable() const override;
    // The icon is up in the tray.
    bool IsShown() const { return m_icon.isVisible(); }

private:
    void ShowWhenTrayAvailable();

    QSystemTrayIcon m_icon;
    QTimer m_trayCheck;
    bool m_wanted = false;
};

// One of the program's own tray icons (icon 128, 166, 167 or 171) in every
// size it comes in; whatever language is selected.
QIcon LoadTrayIconImage(unsigned iconId);
