#include "ui/ConfigureAgent4VSM.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QScreen>

#include "BuildInfo.h"
#include "common/ASTCommonFunc.h"
#include "config/AgentConfig.h"
#include "helper/HelperClient.h"
#include "platform/gui/Banner.h"
#include "platform/gui/MessageBox.h"
#include "platform/gui/ResourceLookup.h"
#include "platform/gui/TabControl.h"
#include "res/Resource.h"
#include "shell/AgentServiceControl.h"
#include "shell/AgentStatusMonitor.h"
#include "shell/SettingApp.h"
#include "ui/ConnectionTestProgress.h"
#include "ui/SettingNames.h"

namespace {

constexpr int TAB_GENERAL = 0;
constexpr int TAB_ADVANCED = 1;
// The title read before the service name is appended.
constexpr qsizetype TITLE_CHARS = 99;

QString Q(const std::u16string& text) {
    return QString::fromStdU16String(text);
}

} // namespace

CConfigureAgent4VSM::CConfigureAgent4VSM(SettingsSheetContext context)
    : CFrameworkDialog(IDD_CONFIGURE_AGENT), m_context(std::move(context)),
      m_strings(LanguageStrings(m_context.languageModule)),
      m_general(std::make_unique<CNetworkPage>(m_strings)),
      m_advanced(std::make_unique<CAdvancedPage>(m_strings)) {}

CConfigureAgent4VSM::~CConfigureAgent4VSM() = default;

int CConfigureAgent4VSM::RunModal() {
    return DoModal();
}

void CConfigureAgent4VSM::Activate() {
    if (CSSLConfig* https = m_general->HttpsDialog()) {
        https->raise();
        https->activateWindow();
        return;
    }
    raise();
    activateWindow();
}

void CConfigureAgent4VSM::CloseWithoutSaving() {
    OnCancel();
}

bool CConfigureAgent4VSM::OnInitDialog() {
    m_access = m_context.access ? m_context.access() : CheckSettingsAccess();
    LoadedSettingsPages loaded = LoadSettingsPages();
    if (!loaded.WorkingConfigLoaded)
        ShowSettingsMessage(this, m_strings(IDS_WORKING_CONFIG_LOAD_FAILED), m_strings);
    // A file this user may not read is no fault of the file: the sheet's
    // own line says why, rather than a message that asks to check it.
    if (!loaded.LocalConfigLoaded && m_access.readable)
        ShowSettingsMessage(this, m_strings(IDS_NETWORK_CONFIG_LOAD_FAILED), m_strings);
    m_general->m_state = std::move(loaded.General);
    m_advanced->m_state = std::move(loaded.Advanced);
    m_loadedMaxRetryTimes = loaded.MaxRetryTimes;

    m_bannerLeft = CResourceLookup::LoadBitmap(IDB_BANNER_LEFT);
    m_bannerRight = CResourceLookup::LoadBitmap(IDB_BANNER_RIGHT);
    m_bannerWide = CResourceLookup::LoadBitmap(IDB_BANNER_WIDE);

    CFrameworkDialog::OnInitDialog();

    CTabControl* tabs = GetTabControl(IDC_TAB);
    tabs->InsertItem(TAB_GENERAL, Q(CResourceLookup::LoadString(IDS_TAB_GENERAL).value_or(u"")));
    tabs->InsertItem(TAB_ADVANCED, Q(CResourceLookup::LoadString(IDS_TAB_ADVANCED).value_or(u"")));
    connect(tabs, &CTabControl::SelectionChanged, this, [this](int index) { ShowPage(index); });

    m_general->m_readOnly = IsReadOnly();
    m_advanced->m_readOnly = IsReadOnly();
    m_general->Create(this);
    m_advanced->Create(this);
    connect(m_general.get(), &CNetworkPage::FocusToSheet, this,
            [this] { setFocus(Qt::OtherFocusReason); });
    // The pages lie over the tab control's pane, below its tabs.
    const QRect pane = tabs->DisplayRect().translated(tabs->pos());
    for (CFrameworkDialog* page : {static_cast<CFrameworkDialog*>(m_general.get()),
                                   static_cast<CFrameworkDialog*>(m_advanced.get())})
        page->move(pane.topLeft());
    // The pages' controls were made after the sheet's own, so the tab order
    // would reach the buttons first: move them behind the last page.
    QWidget* last = nullptr;
    for (const CBuiltControl& control : m_advanced->Controls().All()) {
        if (control.widget->focusPolicy() != Qt::NoFocus)
            last = control.widget;
    }
    for (const int id : {IDC_TEST_CONNECTION, IDOK, IDCANCEL}) {
        if (QWidget* button = GetDlgItem(id); button && last) {
            QWidget::setTabOrder(last, button);
            last = button;
        }
    }
    ShowPage(TAB_GENERAL);
    if (!m_access.readable) {
        // Nothing true to show: the pages would hold mere defaults.
        m_general->setEnabled(false);
        m_advanced->setEnabled(false);
        EnableDlgItem(IDC_TEST_CONNECTION, false);
        ShowReadOnlyLine(m_strings(IDS_SETTINGS_NOT_READABLE));
    } else if (IsReadOnly()) {
        // Test Connection stays: it changes nothing and tells whether the
        // stored settings reach the server.
        ShowReadOnlyLine(m_strings(IDS_SETTINGS_READ_ONLY));
    }

    setWindowTitle(windowTitle().left(TITLE_CHARS) + QStringLiteral("(") +
                   Q(m_context.serviceName) + QStringLiteral(")"));

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        move(area.left() + (area.width() - width()) / 2, area.top() + (area.height() - height()) / 2);
    }
    return true;
}

void CConfigureAgent4VSM::ShowReadOnlyLine(const std::u16string& text) {
    ShowDlgItem(IDOK, false);
    EnableDlgItem(IDOK, false);
    const QWidget* tabs = GetDlgItem(IDC_TAB);
    QWidget* test = GetDlgItem(IDC_TEST_CONNECTION);
    QWidget* cancel = GetDlgItem(IDCANCEL);
    if (!tabs || !test || !cancel)
        return;
    auto* line = new QLabel(this);
    line->setObjectName(QString::fromLatin1(SETTINGS_READ_ONLY_LINE_NAME));
    line->setWordWrap(true);
    line->setText(Q(ReplaceFirstPlaceholder(text, ToWideString(OPAL_ADMIN_GROUP, CP_UTF8))));
    // Between the pages and the buttons, as wide as the button row; the
    // sheet grows by its height.
    const int gap = test->geometry().top() - tabs->geometry().bottom();
    const int left = test->geometry().left();
    const int width = cancel->geometry().right() - left;
    const int height = line->heightForWidth(width);
    line->setGeometry(left, tabs->geometry().bottom() + gap, width, height);
    line->show();
    const int grow = height + gap;
    for (const int id : {IDC_TEST_CONNECTION, IDOK, IDCANCEL}) {
        if (QWidget* button = GetDlgItem(id))
            button->move(button->x(), button->y() + grow);
    }
    setFixedSize(this->width(), this->height() + grow);
}

void CConfigureAgent4VSM::ShowPage(int index) {
    m_general->setVisible(index == TAB_GENERAL);
    m_advanced->setVisible(index == TAB_ADVANCED);
}

void CConfigureAgent4VSM::SelectTab(int index) {
    CTabControl* tabs = GetTabControl(IDC_TAB);
    if (tabs == nullptr || tabs->GetCurSel() == index)
        return;
    tabs->SetCurSel(index);
    ShowPage(index);
}

int CConfigureAgent4VSM::CurrentTab() const {
    const CTabControl* tabs = GetTabControl(IDC_TAB);
    return tabs != nullptr ? tabs->GetCurSel() : -1;
}

bool CConfigureAgent4VSM::ValidatePages() {
    if (ValidationResult failure = m_general->ExchangeAndValidate()) {
        SelectTab(TAB_GENERAL);
        // The page may only now be visible; focus given to a hidden control is lost.
        FocusFailedControl(*m_general, *failure);
        return false;
    }
    if (ValidationResult failure = m_advanced->ExchangeAndValidate()) {
        SelectTab(TAB_ADVANCED);
        FocusFailedControl(*m_advanced, *failure);
        return false;
    }
    return true;
}

void CConfigureAgent4VSM::OnOK() {
    // Enter, or anything else that reaches OK without its button.
    if (IsReadOnly())
        return;
    if (!ValidatePages())
        return;
    Save();
    EndDialog(IDOK);
}

void CConfigureAgent4VSM::Save() {
    if (m_access.throughHelper) {
        SaveThroughHelper();
        return;
    }
    if (!SaveSettingsPages(m_general->m_state, m_advanced->m_state, m_loadedMaxRetryTimes).Saved())
        ShowSettingsMessage(this, m_strings(IDS_NETWORK_CONFIG_SAVE_FAILED), m_strings);
}

void CConfigureAgent4VSM::SaveThroughHelper() {
    // Every setting, so that the helper saves what the pages show, checked
    // again there by the same rules.
    HelperSettings settings;
    for (const SettingValue& entry : SettingsOf(m_general->m_state, m_advanced->m_state))
        settings.emplace_back(entry.Name, QString::fromStdU16String(entry.Value).toStdString());
    const HelperReply reply = HelperSaveSettings(settings, true);
    if (reply.Done()) {
        // The helper's save is this tool's own: the monitor and an open
        // sheet treat it as such.
        g_selfConfigChange = 1;
        return;
    }
    // A refusal and a check of the helper's say why in their own words.
    ShowSettingsMessage(this,
                        reply.message.empty()
                            ? m_strings(IDS_NETWORK_CONFIG_SAVE_FAILED)
                            : QString::fromStdString(reply.message).toStdU16String(),
                        m_strings);
}

void CConfigureAgent4VSM::OnTestConnection() {
    if (!ValidatePages())
        return;
    const ConnectionTestSettings settings =
        BuildConnectionTestSettings(m_general->m_state, m_advanced->m_state);
    // The sheet stays blocked behind the progress window, but never frozen.
    ConnectionDiagnosis diagnosis;
    const std::optional<ConnectionTestOutcome> outcome = RunConnectionTestWithProgress(
        this, settings,
        TestingConnectionText(Q(m_strings(IDS_TESTING_CONNECTION)), Q(settings.ServerName),
                              settings.ServerPort),
        Q(m_strings(IDS_CANCEL)), &diagnosis);
    if (!outcome)
        return; // cancelled: the user knows, no result to report
    ShowMessageBox(ConnectionTestResultBox(this, *outcome, diagnosis, m_strings));
}

void CConfigureAgent4VSM::OnClicked(int id) {
    if (id == IDC_TEST_CONNECTION) {
        OnTestConnection();
        return;
    }
    CFrameworkDialog::OnClicked(id);
}

void CConfigureAgent4VSM::paintEvent(QPaintEvent* event) {
    CFrameworkDialog::paintEvent(event);
    if (const QWidget* banner = GetDlgItem(IDC_BANNER)) {
        QPainter painter(this);
        DrawBanner(painter, banner->geometry(), m_bannerLeft, m_bannerRight);
    }
}

bool CConfigureAgent4VSM::event(QEvent* event) {
    // The sheet coming to the front brings its HTTPS settings with it, so
    // that the dialog the user must answer is never hidden behind it.
    if (event->type() == QEvent::WindowActivate) {
        if (CSSLConfig* https = m_general->HttpsDialog()) {
            https->raise();
            https->activateWindow();
        }
    }
    return CFrameworkDialog::event(event);
}

SettingsSheetFactory MakeSettingsSheetFactory(CSettingApp& app) {
    return [&app]() -> std::unique_ptr<ISettingsSheet> {
        SettingsSheetContext context;
        context.languageModule = [&app] { return app.GetLanguageResourceHandle(); };
        if (const CMainFrame* frame = app.MainFrame())
            context.serviceName = frame->ServiceName();
        return std::make_unique<CConfigureAgent4VSM>(std::move(context));
    };
}
