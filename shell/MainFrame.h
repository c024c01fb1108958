#pragma once
// The tray frame: owns the notification-area icon, its menu and the named
// status event; receives the menu commands, the icon's clicks and the status
// monitor's messages; opens the one settings sheet.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include "platform/system/Clock.h"
#include "platform/system/StatusEvent.h"
#include "res/Resource.h"
#include "shell/AgentServiceControl.h"
#include "shell/AgentStatusMonitor.h"
#include "shell/AgentStatusText.h"
#include "shell/ServiceCommandRunner.h"
#include "shell/TrayIcon.h"

class CSettingApp;
class CStatusWindow;

// How long the desktop may go without a tray host before the status window
// stands in for the icon, and how often the frame looks.
inline constexpr std::uint64_t TRAY_HOST_WAIT_MS = 10000;
inline constexpr int TRAY_HOST_CHECK_MS = 1000;

inline constexpr char16_t STATUS_EVENT_NAME[] = u"Global\\OPAL_AGENT_STATUS_NOTIFY_0";

// The settings sheet as the frame drives it; the settings dialog provides it.
class ISettingsSheet {
public:
    virtual ~ISettingsSheet() = default;
    virtual int RunModal() = 0;
    virtual void Activate() = 0;
    // Closes the sheet as Cancel does, without saving.
    virtual void CloseWithoutSaving() = 0;
};
using SettingsSheetFactory = std::function<std::unique_ptr<ISettingsSheet>()>;


class CMainFrame : public QObject, private ServiceCommandUi {
    Q_OBJECT
public:
    CMainFrame(CSettingApp& app, std::unique_ptr<ITrayIcon> tray, Clock& clock,
               std::u16string statusEventName = STATUS_EVENT_NAME);
    ~CMainFrame() override;

    // The status window from the start and for the whole run, tray host or
    // not; before OnCreate.
    void SetStatusWindowForced(bool forced) { m_windowForced = forced; }

    // The creation sequence: icons, status event, service name, status, the
    // menu and the icon. False when the menu resource is missing.
    bool OnCreate();

    void SetTrayIcon(int32_t status, bool add);
    void RefreshTrayTexts();
    void BuildLanguageMenu();
    void OnCommand(int id);
    void Configure();
    void Exit();

    // WM_AGENT_STATUS: runs on the UI thread.
    Q_INVOKABLE void OnAgentStatus();
    // Queues OnAgentStatus from any thread.
    void PostAgentStatus();
    // The agent service's state as the monitor last read it; from any
    // thread. The status window follows it.
    void NoteServiceState(ServiceRunState state);
    ServiceRunState KnownServiceState() const {
        return static_cast<ServiceRunState>(m_serviceState.load());
    }

    // Shows the status window once no tray host has been seen for
    // TRAY_HOST_WAIT_MS, and hides it again when one turns up (unless it is
    // forced). Runs on a timer; tests call it after moving their clock.
    void CheckTrayHost();
    CStatusWindow* StatusWindow() const { return m_window.get(); }
    // A start, stop or restart is waiting for the service.
    bool ServiceCommandRunning() const { return m_busyCommand.has_value(); }
    bool Exiting() const { return m_exiting; }

    // The agent service's state as the menu shows it. Replaceable for tests
    // of the menu alone.
    std::function<bool()> m_isServiceRunning;
    void SetSettingsSheetFactory(SettingsSheetFactory factory) { m_sheetFactory = std::move(factory); }

    QMenu* TrayMenu() const { return m_trayMenu; }
    QMenu* LanguageMenu() const { return m_languageMenu; }
    ITrayIcon& Tray() { return *m_tray; }
    SharedAgentStatus& CachedStatus() { return m_cachedStatus; }
    std::atomic<int32_t>& StopFlag() { return m_stopFlag; }
    const std::u16string& ServiceName() const { return m_serviceName; }
    ISettingsSheet* OpenSheet() const { return m_sheet.get(); }
    bool LanguageMenuBuilt() const { return m_languageMenuBuilt; }
    QAction* TrayAction(int position) const;

signals:
    // The run is over: the application quits.
    void ExitRequested();

private:
    void OnTrayActivated(ITrayIcon::Click click);
    void OnMenuAboutToShow();
    void UpdateServiceItems();
    void SelectLanguage(int command);
    void RunService(ServiceCommand command);
    void OnServiceCommandDone(const ServiceCommandOutcome& outcome);
    void ApplyMenuTexts();
    QString Text(unsigned id) const;
    void ShowStatusWindow();
    void UpdateStatusWindow();
    // A fresh answer from the service manager for the status window.
    void RefreshServiceState();

    // ServiceCommandUi
    std::u16string LoadText(unsigned id) override;
    void ShowMessage(const std::u16string& text, const std::u16string& caption,
                     ServiceMessageIcon icon) override;

    CSettingApp& m_app;
    std::unique_ptr<ITrayIcon> m_tray;
    Clock& m_clock;
    QPointer<QMenu> m_trayMenu;
    QPointer<QMenu> m_languageMenu;
    // The tray icons, looked up the first time a status needs one.
    const QIcon& TrayIconImage(unsigned iconId);
    std::map<unsigned, QIcon> m_icons;
    std::u16string m_statusEventName;
    StatusEvent m_statusEvent;
    SharedAgentStatus m_cachedStatus;
    std::atomic<int32_t> m_stopFlag{0};
    bool m_languageMenuBuilt = false;
    bool m_iconAdded = false;
    std::u16string m_serviceName;
    SettingsSheetFactory m_sheetFactory;
    std::unique_ptr<ISettingsSheet> m_sheet;

    bool m_exiting = false;
    bool m_windowForced = false;
    std::unique_ptr<CStatusWindow> m_window;
    QTimer m_trayWatch;
    std::optional<std::uint64_t> m_trayMissingSince;
    std::atomic<int> m_serviceState{static_cast<int>(ServiceRunState::Unknown)};
    // The UI thread's own connection for the status window's queries.
    std::unique_ptr<AgentServiceWatch> m_serviceWatch;
    std::optional<ServiceCommand> m_busyCommand;
    CServiceCommandRunner m_serviceRunner{m_clock};
};
