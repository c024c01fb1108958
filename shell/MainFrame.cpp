#include "shell/MainFrame.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QMetaObject>

#include "common/LogTracker.h"
#include "config/AgentConfig.h"
#include "platform/gui/MenuBuilder.h"
#include "platform/gui/MessageBox.h"
#include "platform/gui/ResourceLookup.h"
#include "shell/LanguageSetting.h"
#include "shell/SettingApp.h"

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
constexpr MenuText MENU_TEXTS[] = {{0, 7112}, {1, 7113}, {3, 7114}, {4, 7115}, {5, 7116}, {7, 7117}};
constexpr int POS_START = 3;
constexpr int POS_STOP = 4;
constexpr int POS_RESTART = 5;
constexpr int POS_FIRST_LANGUAGE = 2;

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
}

CMainFrame::~CMainFrame() {
    m_statusEvent.Close();
    delete m_trayMenu.data();
}

bool CMainFrame::OnCreate() {
    if (m_statusEvent.Create(m_statusEventName) != 0)
        LOG_PRINTF(LK_WARNING, "can't create notify object for monitoring agent status. [%s|%d]");

    GetAgentServiceName(m_serviceName);

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
    connect(m_trayMenu, &QMenu::triggered, this,
            [this](QAction* action) { OnCommand(MenuCommandId(action)); });
    m_tray->SetMenu(m_trayMenu);

    RefreshTrayTexts();
    SetTrayIcon(m_cachedStatus.AgentStatus(), true);
    m_languageMenuBuilt = false;
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
    return m_icons.emplace(iconId, icon).first->second;
}

void CMainFrame::SetTrayIcon(int32_t status, bool add) {
    const TrayLook look = TrayLookFor(m_cachedStatus.Load().RegisterStatus, status);
    const QIcon& icon = TrayIconImage(look.iconId);
    std::u16string tip;
    if (CResourceModule* module = m_app.GetLanguageResourceHandle())
        tip = module->LoadString(look.tipId, TIP_CHARS).value_or(std::u16string());
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
    if (click == ITrayIcon::Click::Context)
        UpdateServiceItems();
    else if (click == ITrayIcon::Click::DoubleClick)
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
    const bool running = m_isServiceRunning();
    if (QAction* a = TrayAction(POS_START))
        a->setEnabled(!running);
    if (QAction* a = TrayAction(POS_STOP))
        a->setEnabled(running);
    if (QAction* a = TrayAction(POS_RESTART))
        a->setEnabled(running);
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
    SaveLanguageSetting(number);

    if (m_sheet) {
        ShowMessage(LoadText(IDS_LANGUAGE_WHILE_SHEET_OPEN), LoadText(IDS_CAPTION),
                    ServiceMessageIcon::Warning);
        if (english)
            Configure();
        return;
    }
    CResourceLookup::SetResourceModule(english ? nullptr : languages[index].module.get());
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
    RunServiceCommand(command, m_serviceName, *this, m_clock);
}

void CMainFrame::Exit() {
    m_tray->Remove();
    m_iconAdded = false;
    m_stopFlag = 1;
    m_statusEvent.Signal();
    m_clock.SleepMs(EXIT_SETTLE_MS);
    m_app.WaitThreadExit();
    emit ExitRequested();
}

void CMainFrame::OnAgentStatus() {
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
            this, [this] { if (m_sheet) m_sheet->CloseWithoutSaving(); }, Qt::QueuedConnection);
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

void CMainFrame::BeginWait() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

void CMainFrame::EndWait() {
    QApplication::restoreOverrideCursor();
}
