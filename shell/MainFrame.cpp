#include "shell/MainFrame.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QMetaObject>
#include <cstring>

#include "common/LogTracker.h"
#include "config/AgentConfig.h"
#include "platform/gui/MenuBuilder.h"
#include "platform/gui/MessageBox.h"
#include "platform/gui/ResourceLookup.h"
#include "shell/LanguageSetting.h"
#include "shell/SettingApp.h"
#include "shell/StatusWindow.h"

namespace {

constexpr unsigned IDS_CAPTION = 7022;
constexpr unsigned IDS_LANGUAGE_WHILE_SHEET_OPEN = 7120;
constexpr std::size_t TIP_CHARS = TRAY_TIP_CHARS;
constexpr uint32_t EXIT_SETTLE_MS = 1000;
constexpr int32_t TOOL_TAG_EXIT = 1;

// Positions of the tray pop-up's items and the strings they show.
struct MenuText {
    int position;
    unsigned stringId;
};
constexpr MenuText MENU_TEXTS[] = {{0, 7112}, {1, 7113}, {3, 7114},
                                   {4, 7115}, {5, 7116}, {7, 7117}};
constexpr int POS_START = 3;
constexpr int POS_STOP = 4;
constexpr int POS_RESTART = 5;
constexpr int POS_FIRST_LANGUAGE = 2;

unsigned OperationTextId(ServiceCommand command) {
    switch (command) {
    case ServiceCommand::Start:
        return IDS_SERVICE_STARTING;
    case ServiceCommand::Stop:
        return IDS_SERVICE_STOPPING;
    case ServiceCommand::Restart:
        break;
    }
    return IDS_SERVICE_RESTARTING;
}

unsigned ServiceStateTextId(ServiceRunState state) {
    switch (state) {
    case ServiceRunState::Running:
        return IDS_SERVICE_RUNNING;
    case ServiceRunState::NotRunning:
        return IDS_SERVICE_STOPPED;
    case ServiceRunState::Unknown:
        break;
    }
    return IDS_SERVICE_STATE_UNKNOWN;
}

QString FromU16(const std::u16string& text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

CMainFrame::CMainFrame(CSettingApp& app, std::unique_ptr<ITrayIcon> tray, Clock& clock,
                       std::u16string statusEventName)
    : m_app(app), m_tray(std::move(tray)), m_clock(clock),
      m_statusEventName(std::move(statusEventName)) {
    m_isServiceRunning = [this] { return IsAgentServiceRunning(m_serviceName); };
    connect(m_tray.get(), &ITrayIcon::Activated, this, &CMainFrame::OnTrayActivated);
    connect(m_tray.get(), &ITrayIcon::MenuAboutToShow, this, &CMainFrame::OnMenuAboutToShow);
    m_trayWatch.setInterval(TRAY_HOST_CHECK_MS);
    connect(&m_trayWatch, &QTimer::timeout, this, &CMainFrame::CheckTrayHost);
}

CMainFrame::~CMainFrame() {
    // The worker's last act is to queue its outcome to this frame; it must
    // do so while the frame is whole.
    m_serviceRunner.Cancel();
    m_serviceRunner.Join();
    m_window.reset();
    m_statusEvent.Close();
    delete m_trayMenu.data();
}

bool CMainFrame::OnCreate() {
    if (const int error = m_statusEvent.Create(m_statusEventName); error != 0) {
        LOG_PRINTF(LK_WARNING, "can't create notify object for monitoring agent status. [%s|%d]");
        LOG_PRINTF(LK_INFO, "The status event %s is not used: %s [%s|%d]",
                   StatusEvent::SemaphoreName(m_statusEventName),
                   std::string(std::strerror(error)));
    } else if (m_statusEvent.ReplacedForeign()) {
        LOG_PRINTF(LK_WARNING,
                   "Something else was at the status event's name %s; replaced. [%s|%d]",
                   StatusEvent::SemaphoreName(m_statusEventName));
    }

    GetAgentServiceName(m_serviceName);
    m_serviceWatch = std::make_unique<AgentServiceWatch>(m_serviceName);

    if (m_cachedStatus.Reload() != 0)
        LOG_PRINTF(LK_WARNING, "can't load agent information. [%s|%d]");
    // A request to exit left over from an earlier run must not end this one.
    if (m_cachedStatus.Load().ToolTag == TOOL_TAG_EXIT)
        SaveToolExitTagReg(0);

    const auto menu = CResourceLookup::LoadMenu(IDR_MAINFRAME);
    if (!menu || menu->items.empty())
        return false;
    m_trayMenu = BuildPopupMenu(menu->items.front());
    if (QAction* languages = TrayAction(1))
        m_languageMenu = languages->menu();
    for (QAction* action : m_languageMenu ? m_languageMenu->actions() : QList<QAction*>())
        action->setCheckable(MenuCommandId(action) != 0);
    // The language items answer through their own menu, which the status
    // window opens too, away from the tray menu; from the tray, Qt reports
    // them to both menus.
    connect(m_trayMenu, &QMenu::triggered, this, [this](QAction* action) {
        if (!m_languageMenu || !m_languageMenu->actions().contains(action))
            OnCommand(MenuCommandId(action));
    });
    if (m_languageMenu)
        connect(m_languageMenu, &QMenu::triggered, this,
                [this](QAction* action) { OnCommand(MenuCommandId(action)); });
    m_tray->SetMenu(m_trayMenu);
    // A StatusNotifierItem host may read and keep the menu before anybody
    // clicks the icon: it must be whole from the start.
    BuildLanguageMenu();
    m_languageMenuBuilt = true;
    // Every window of the tool that has no icon of its own (the sheet, the
    // message boxes) shows the tool's.
    QGuiApplication::setWindowIcon(TrayIconImage(IDI_AGENT_NORMAL));

    RefreshTrayTexts();
    SetTrayIcon(m_cachedStatus.AgentStatus(), true);

    m_trayMissingSince = m_clock.NowMs();
    m_trayWatch.start();
    if (m_windowForced)
        ShowStatusWindow();
    return true;
}

QAction* CMainFrame::TrayAction(int position) const {
    if (!m_trayMenu)
        return nullptr;
    const auto actions = m_trayMenu->actions();
    return position >= 0 && position < actions.size() ? actions[position] : nullptr;
}

QString CMainFrame::Text(unsigned id) const {
    return FromU16(CResourceLookup::LoadString(id).value_or(std::u16string()));
}

const QIcon& CMainFrame::TrayIconImage(unsigned iconId) {
    const auto known = m_icons.find(iconId);
    if (known != m_icons.end())
        return known->second;
    return m_icons.emplace(iconId, LoadTrayIconImage(iconId)).first->second;
}

void CMainFrame::SetTrayIcon(int32_t status, bool add) {
    const TrayLook look = TrayLookFor(m_cachedStatus.Load().RegisterStatus, status);
    const QIcon& icon = TrayIconImage(look.iconId);
    std::u16string tip;
    std::u16string operation;
    if (CResourceModule* module = m_app.GetLanguageResourceHandle()) {
        tip = module->LoadString(look.tipId, TIP_CHARS).value_or(std::u16string());
        if (m_busyCommand)
            operation = module->LoadString(OperationTextId(*m_busyCommand), TIP_CHARS)
                            .value_or(std::u16string());
    }
    // The window shows the status and, on a line of its own, the operation.
    if (m_window)
        m_window->SetAgentStatus(icon, FromU16(tip));
    // The icon has only its tip to say that a command is waiting.
    if (m_busyCommand)
        tip = operation;
    if (add) {
        m_tray->Add(static_cast<int>(look.iconId), icon, FromU16(tip));
        m_iconAdded = true;
    } else {
        m_tray->Modify(static_cast<int>(look.iconId), icon, FromU16(tip));
    }
}

void CMainFrame::RefreshTrayTexts() {
    SetTrayIcon(m_cachedStatus.AgentStatus(), false);
    ApplyMenuTexts();
    if (m_window) {
        m_window->ApplyTexts([this](unsigned id) { return Text(id); });
        UpdateStatusWindow();
    }
}

void CMainFrame::ApplyMenuTexts() {
    for (const MenuText& item : MENU_TEXTS) {
        QAction* action = TrayAction(item.position);
        if (!action)
            continue;
        action->setText(Text(item.stringId));
        if (action->menu())
            action->menu()->setTitle(Text(item.stringId));
    }
}

void CMainFrame::BuildLanguageMenu() {
    if (!m_languageMenu)
        return;
    const auto& languages = m_app.Languages();
    bool checked = false;
    for (std::size_t i = 0; i < languages.size(); ++i) {
        const int position = POS_FIRST_LANGUAGE + static_cast<int>(i);
        const int command = position + 32784;
        auto* action = new QAction(FromU16(languages[i].name), m_languageMenu);
        action->setData(command);
        action->setCheckable(true);
        const auto existing = m_languageMenu->actions();
        m_languageMenu->insertAction(position < existing.size() ? existing[position] : nullptr,
                                     action);
        if (languages[i].number == m_app.SelectedLanguage()) {
            action->setChecked(true);
            checked = true;
        }
    }
    if (!checked && !m_languageMenu->actions().isEmpty())
        m_languageMenu->actions().front()->setChecked(true);
}

void CMainFrame::OnTrayActivated(ITrayIcon::Click click) {
    if (!m_languageMenuBuilt) {
        BuildLanguageMenu();
        m_languageMenuBuilt = true;
    }
    // StatusNotifierItem hosts (Xfce, KDE, waybar, GNOME's extension) send
    // a single left click as Activate and never a double click; XEmbed trays
    // report both. Either opens the sheet, or brings an open one forward.
    if (click == ITrayIcon::Click::Context)
        UpdateServiceItems();
    else if (click == ITrayIcon::Click::Activate || click == ITrayIcon::Click::DoubleClick)
        Configure();
}

void CMainFrame::OnMenuAboutToShow() {
    // Some tray hosts open the menu without a click the frame hears about
    // first; the menu must still show the languages and current states.
    if (!m_languageMenuBuilt) {
        BuildLanguageMenu();
        m_languageMenuBuilt = true;
    }
    UpdateServiceItems();
}

void CMainFrame::UpdateServiceItems() {
    // While a command waits for the service, none of them may be chosen.
    const bool idle = !m_busyCommand;
    const bool running = idle && m_isServiceRunning();
    if (QAction* a = TrayAction(POS_START))
        a->setEnabled(idle && !running);
    if (QAction* a = TrayAction(POS_STOP))
        a->setEnabled(idle && running);
    if (QAction* a = TrayAction(POS_RESTART))
        a->setEnabled(idle && running);
}

void CMainFrame::OnCommand(int id) {
    switch (id) {
    case ID_CONFIGURE:
        Configure();
        return;
    case ID_START_SERVICE:
        RunService(ServiceCommand::Start);
        return;
    case ID_STOP_SERVICE:
        RunService(ServiceCommand::Stop);
        return;
    case ID_RESTART_SERVICE:
        RunService(ServiceCommand::Restart);
        return;
    case ID_EXIT:
        Exit();
        return;
    default:
        if (id == ID_LANGUAGE_ENGLISH || (id >= ID_LANGUAGE_FIRST && id <= ID_LANGUAGE_LAST))
            SelectLanguage(id);
        return;
    }
}

void CMainFrame::Configure() {
    if (m_sheet) {
        m_sheet->Activate();
        return;
    }
    // Until a settings sheet is plugged in there is nothing to open.
    if (!m_sheetFactory)
        return;
    m_sheet = m_sheetFactory();
    if (!m_sheet)
        return;
    m_sheet->RunModal();
    m_sheet.reset();
}

void CMainFrame::SelectLanguage(int command) {
    const auto& languages = m_app.Languages();
    const bool english = command == ID_LANGUAGE_ENGLISH;
    const std::size_t index = english ? 0 : static_cast<std::size_t>(command - ID_LANGUAGE_FIRST);
    if (!english && index >= languages.size())
        return;

    const int32_t number = english ? 0 : languages[index].number;
    m_app.SetSelectedLanguage(number);
    SaveLanguageChoice(number, true);

    if (m_sheet) {
        ShowMessage(LoadText(IDS_LANGUAGE_WHILE_SHEET_OPEN), LoadText(IDS_CAPTION),
                    ServiceMessageIcon::Warning);
        if (english)
            Configure();
        return;
    }
    CResourceLookup::SetResourceModule(english ? nullptr : languages[index].module.get());
    m_app.ApplyLanguageToQt();
    RefreshTrayTexts();
    if (m_languageMenu) {
        const auto actions = m_languageMenu->actions();
        for (int i = english ? POS_FIRST_LANGUAGE : 0; i < actions.size(); ++i)
            actions[i]->setChecked(false);
        const int position = english ? 0 : command - 32784;
        if (position < actions.size())
            actions[position]->setChecked(true);
    }
    Configure();
}

void CMainFrame::RunService(ServiceCommand command) {
    if (m_exiting || m_busyCommand)
        return;
    // The wait runs on the runner's thread; the event loop goes on, so the
    // icon, the monitor's messages and the status window stay alive.
    const bool started = m_serviceRunner.Start(
        command, m_serviceName, [this](unsigned id) { return LoadText(id); },
        [this](const ServiceCommandOutcome& outcome) {
            QMetaObject::invokeMethod(
                this, [this, outcome] { OnServiceCommandDone(outcome); }, Qt::QueuedConnection);
        });
    if (!started)
        return;
    m_busyCommand = command;
    SetTrayIcon(m_cachedStatus.AgentStatus(), false);
    UpdateServiceItems();
    UpdateStatusWindow();
}

void CMainFrame::OnServiceCommandDone(const ServiceCommandOutcome& outcome) {
    m_serviceRunner.Join();
    m_busyCommand.reset();
    if (m_exiting)
        return;
    SetTrayIcon(m_cachedStatus.AgentStatus(), false);
    UpdateServiceItems();
    RefreshServiceState();
    ShowMessage(outcome.text, outcome.caption, outcome.icon);
}

void CMainFrame::Exit() {
    // A signal, the window's close and the agent's request may all come;
    // the sequence runs once.
    if (m_exiting)
        return;
    m_exiting = true;
    m_trayWatch.stop();
    m_tray->Remove();
    if (m_window)
        m_window->hide();
    m_iconAdded = false;
    m_stopFlag = 1;
    m_statusEvent.Signal();
    // A command still waiting for the service is cut short (the wait ends at
    // its next step); its outcome is not shown any more.
    m_serviceRunner.Cancel();
    m_clock.SleepMs(EXIT_SETTLE_MS);
    m_serviceRunner.Join();
    m_app.WaitThreadExit();
    // The last line of a run that ended in order; a killed run has none.
    LOG_PRINTF(LK_INFO, "Agent setting tool exits.  [%s|%d]");
    emit ExitRequested();
}

void CMainFrame::NoteServiceState(ServiceRunState state) {
    if (m_serviceState.exchange(static_cast<int>(state)) == static_cast<int>(state))
        return;
    QMetaObject::invokeMethod(
        this, [this] { UpdateStatusWindow(); }, Qt::QueuedConnection);
}

void CMainFrame::RefreshServiceState() {
    if (!m_window || !m_serviceWatch)
        return;
    m_serviceState = static_cast<int>(m_serviceWatch->Query());
    UpdateStatusWindow();
}

void CMainFrame::CheckTrayHost() {
    if (m_exiting)
        return;
    if (m_tray->IsAvailable()) {
        m_trayMissingSince.reset();
        if (m_window && m_window->isVisible() && !m_windowForced) {
            LOG_PRINTF(LK_INFO, "A notification area is there now; the status window gives way to "
                                "the icon. [%s|%d]");
            m_window->hide();
        }
        return;
    }
    const std::uint64_t now = m_clock.NowMs();
    if (!m_trayMissingSince)
        m_trayMissingSince = now;
    if (now - *m_trayMissingSince < TRAY_HOST_WAIT_MS || (m_window && m_window->isVisible()))
        return;
    // A Wayland compositor gives every new window the keyboard and stacks it
    // on top, whatever the window asks for: while a sheet or message is
    // open, the window waits for it to close.
    if (QApplication::activeModalWidget() != nullptr &&
        QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        return;
    LOG_PRINTF(
        LK_INFO,
        "No notification area for %d seconds; the status window stands in for the icon. [%s|%d]",
        static_cast<int>(TRAY_HOST_WAIT_MS / 1000));
    ShowStatusWindow();
}

void CMainFrame::ShowStatusWindow() {
    if (!m_window) {
        m_window = std::make_unique<CStatusWindow>();
        connect(m_window.get(), &CStatusWindow::CommandChosen, this, &CMainFrame::OnCommand);
        connect(m_window.get(), &CStatusWindow::CloseRequested, this, &CMainFrame::Exit);
        // No tray callback builds the language items here.
        if (!m_languageMenuBuilt) {
            BuildLanguageMenu();
            m_languageMenuBuilt = true;
        }
        m_window->SetLanguageMenu(m_languageMenu);
        m_window->ApplyTexts([this](unsigned id) { return Text(id); });
    }
    SetTrayIcon(m_cachedStatus.AgentStatus(), false);
    RefreshServiceState();
    UpdateStatusWindow();
    m_window->show();
    // The window comes up by itself, ten seconds after the start: an open
    // sheet or message keeps the keyboard and stays on top of it.
    if (QWidget* modal = QApplication::activeModalWidget()) {
        m_window->lower();
        modal->raise();
    } else {
        m_window->raise();
    }
}

void CMainFrame::UpdateStatusWindow() {
    if (!m_window)
        return;
    const ServiceRunState state = KnownServiceState();
    m_window->SetServiceState(
        Text(m_busyCommand ? OperationTextId(*m_busyCommand) : ServiceStateTextId(state)));
    // The menu's rule: what cannot be asked of the service is greyed, and
    // all of it while a command waits.
    const bool idle = !m_busyCommand;
    const bool running = state == ServiceRunState::Running;
    m_window->SetServiceCommands(idle && !running, idle && running, idle && running);
}

void CMainFrame::OnAgentStatus() {
    if (m_exiting)
        return;
    if (m_cachedStatus.Reload() != 0)
        return;
    const AgentStatusRecord status = m_cachedStatus.Load();
    if (status.ToolTag == TOOL_TAG_EXIT) {
        LOG_PRINTF(LK_INFO, "OnAgentStatus: Agent tool exit. [%s|%d]");
        SaveToolExitTagReg(0);
        Exit();
        return;
    }
    SetTrayIcon(status.AgentStatus, false);
    // Somebody else changed the network configuration under an open sheet:
    // its values are stale, so it closes without saving.
    if (status.NetConfigChanged != 0 && m_sheet && g_selfConfigChange.load() == 0) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_sheet)
                    m_sheet->CloseWithoutSaving();
            },
            Qt::QueuedConnection);
    }
}

void CMainFrame::PostAgentStatus() {
    QMetaObject::invokeMethod(this, "OnAgentStatus", Qt::QueuedConnection);
}

std::u16string CMainFrame::LoadText(unsigned id) {
    CResourceModule* module = m_app.GetLanguageResourceHandle();
    return module ? module->LoadString(id, 1023).value_or(std::u16string()) : std::u16string();
}

void CMainFrame::ShowMessage(const std::u16string& text, const std::u16string& caption,
                             ServiceMessageIcon icon) {
    const MessageIcon shown = icon == ServiceMessageIcon::Error         ? MessageIcon::Error
                              : icon == ServiceMessageIcon::Information ? MessageIcon::Information
                                                                        : MessageIcon::Warning;
    ShowMessageBox(nullptr, text, caption, shown, true);
}
