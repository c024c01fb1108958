#pragma once
// The status window: where the desktop has no tray host (stock GNOME), a
// small window stands in for the icon. It shows what the icon would (the
// status image and the tip), the agent service's state, and a button for
// each command of the icon's menu. The frame fills it and hears its buttons;
// the window itself decides nothing.

#include <functional>

#include <QIcon>
#include <QString>
#include <QWidget>

class QLabel;
class QMenu;
class QPushButton;

// The window's own strings; its buttons say what the menu's items say.
inline constexpr unsigned IDS_SERVICE_RUNNING = 7140;
inline constexpr unsigned IDS_SERVICE_STOPPED = 7141;
inline constexpr unsigned IDS_SERVICE_STATE_UNKNOWN = 7142;
inline constexpr unsigned IDS_SERVICE_STARTING = 7143;
inline constexpr unsigned IDS_SERVICE_STOPPING = 7144;
inline constexpr unsigned IDS_SERVICE_RESTARTING = 7145;
inline constexpr unsigned IDS_STATUS_WINDOW_CLOSE_HINT = 7146;

class CStatusWindow final : public QWidget {
    Q_OBJECT
public:
    explicit CStatusWindow(QWidget* parent = nullptr);

    // Title, button texts and hint in the current language; `text` gives a
    // string of the string table.
    void ApplyTexts(const std::function<QString(unsigned id)>& text);
    void SetAgentStatus(const QIcon& icon, const QString& tip);
    void SetServiceState(const QString& text);
    void SetServiceCommands(bool start, bool stop, bool restart);
    // The "Select Language" button opens this menu (the icon's own sub-menu).
    void SetLanguageMenu(QMenu* menu);

    // The button of a menu command (ID_CONFIGURE ... ID_EXIT), or null.
    QPushButton* Button(int commandId) const;
    QPushButton* LanguageButton() const { return m_language; }
    QString TipText() const;
    QString ServiceStateText() const;

signals:
    void CommandChosen(int commandId);
    // The user closed the window: the tool is to end.
    void CloseRequested();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QPushButton* AddCommandButton(int commandId);

    QLabel* m_image = nullptr;
    QLabel* m_tip = nullptr;
    QLabel* m_service = nullptr;
    QLabel* m_hint = nullptr;
    QPushButton* m_configure = nullptr;
    QPushButton* m_language = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_stop = nullptr;
    QPushButton* m_restart = nullptr;
    QPushButton* m_exit = nullptr;
};
