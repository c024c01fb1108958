#include "ui/SettingsPages.h"

#include <algorithm>

#include <QKeyEvent>
#include <QLineEdit>

#include "platform/gui/FileDialog.h"
#include "platform/gui/MessageBox.h"
#include "platform/gui/ResourceModule.h"
#include "res/Resource.h"
#include "shell/PluginLoader.h"
#include "ui/SystemProxy.h"

namespace {

// Limits are what the user may type; on saving the rules check them, so
// that the command line refuses exactly what the dialogs refuse.
void Limit(CDataExchange* dx, const std::u16string& value, const std::vector<TextLimit>& limits) {
    if (dx->Saving())
        return;
    for (const TextLimit& limit : limits) {
        if (limit.control == dx->LastControl())
            DDV_MaxChars(dx, value, limit.maxChars);
    }
}

void ExchangeText(CDataExchange* dx, int id, std::u16string& value,
                  const std::vector<TextLimit>& limits) {
    DDX_Text(dx, id, value);
    Limit(dx, value, limits);
}

// The text of a static string of at most this many units, as the Advanced
// page loads it.
constexpr std::size_t UPGRADE_TEXT_CHARS = 99;

} // namespace

StringLoader LanguageStrings(std::function<CResourceModule*()> module) {
    return [module = std::move(module)](unsigned id) -> std::u16string {
        const CResourceModule* m = module ? module() : nullptr;
        return m ? m->LoadString(id, MESSAGE_BUFFER_CHARS).value_or(std::u16string())
                 : std::u16string();
    };
}

void ShowSettingsMessage(QWidget* owner, const std::u16string& text, const StringLoader& strings) {
    ShowMessageBox(owner, text, strings(IDS_SETTINGS_CAPTION), MessageIcon::Warning, true);
}

void ReportValidationFailure(CFrameworkDialog& dialog, const ValidationFailure& failure,
                             const StringLoader& strings) {
    ShowSettingsMessage(&dialog, failure.text, strings);
    FocusFailedControl(dialog, failure);
}

void MakeControlsReadOnly(CFrameworkDialog& dialog, std::initializer_list<int> keep) {
    for (const CBuiltControl& control : dialog.Controls().All()) {
        switch (control.kind) {
        case ControlKind::Edit:
            if (auto* edit = qobject_cast<QLineEdit*>(control.widget))
                edit->setReadOnly(true);
            break;
        case ControlKind::PushButton:
            if (std::find(keep.begin(), keep.end(), control.id) != keep.end())
                break;
            [[fallthrough]];
        case ControlKind::CheckBox:
        case ControlKind::RadioButton:
            control.widget->setEnabled(false);
            break;
        default:
            break;
        }
    }
}

void FocusFailedControl(CFrameworkDialog& dialog, const ValidationFailure& failure) {
    if (failure.selectText) {
        dialog.GotoDlgCtrl(failure.focusControl);
    } else if (QWidget* control = dialog.GetDlgItem(failure.focusControl)) {
        control->setFocus(Qt::OtherFocusReason);
    }
}

// ---- HTTPS settings -------------------------------------------------------------

CSSLConfig::CSSLConfig(QWidget* parent, StringLoader strings)
    : CFrameworkDialog(IDD_HTTPS_SETTINGS, parent), m_strings(std::move(strings)) {}

bool CSSLConfig::OnInitDialog() {
    CFrameworkDialog::OnInitDialog();
    EnableClientCertificateControls();
    if (m_readOnly) {
        MakeControlsReadOnly(*this, {IDCANCEL});
        ShowDlgItem(IDOK, false);
    }
    return true;
}

void CSSLConfig::DoDataExchange(CDataExchange* dx) {
    ExchangeText(dx, IDC_CA_PATH, m_state.CACertPath, SSL_CONFIG_TEXT_LIMITS);
    ExchangeText(dx, IDC_CLIENT_CERT_PATH, m_state.ClientCertPath, SSL_CONFIG_TEXT_LIMITS);
    ExchangeText(dx, IDC_CLIENT_CERT_PASSWORD, m_state.ClientCertPswd, SSL_CONFIG_TEXT_LIMITS);
    DDX_Check(dx, IDC_CLIENT_CERT_REQUIRED, m_state.RequireClientCert);
}

void CSSLConfig::OnOK() {
    if (m_readOnly)
        return;
    UpdateData(true);
    if (ValidationResult failure = ValidateSslConfig(m_state, m_strings)) {
        ReportValidationFailure(*this, *failure, m_strings);
        return;
    }
    EndDialog(IDOK);
}

void CSSLConfig::OnClicked(int id) {
    switch (id) {
    case IDC_CLIENT_CERT_REQUIRED:
        m_state.RequireClientCert = IsDlgButtonChecked(IDC_CLIENT_CERT_REQUIRED);
        EnableClientCertificateControls();
        return;
    case IDC_CA_BROWSE:
        Browse(IDC_CA_PATH, m_state.CACertPath, IDS_CA_PATH_TOO_LONG);
        return;
    case IDC_CLIENT_CERT_BROWSE:
        Browse(IDC_CLIENT_CERT_PATH, m_state.ClientCertPath, IDS_CLIENT_PATH_TOO_LONG);
        return;
    default:
        CFrameworkDialog::OnClicked(id);
    }
}

void CSSLConfig::EnableClientCertificateControls() {
    const bool enabled = ClientCertificateControlsEnabled(m_state);
    for (const int id : {IDC_CLIENT_CERT_PATH, IDC_CLIENT_CERT_BROWSE, IDC_CLIENT_CERT_PASSWORD})
        EnableDlgItem(id, enabled);
}

void CSSLConfig::Browse(int edit, std::u16string& member, unsigned tooLongMessage) {
    COpenFileRequest request;
    request.owner = this;
    request.filters = {{u"All Files", u"*.*"}};
    const std::optional<std::u16string> path = ShowOpenFileDialog(request);
    if (!path)
        return;
    member = *path;
    // The edit keeps its text when the path is refused, and the next
    // exchange reads the edit, so a refused path is not kept.
    if (BrowsedPathFits(*path))
        SetDlgItemText(edit, *path);
    else
        ShowSettingsMessage(this, m_strings(tooLongMessage), m_strings);
}

// ---- General page -----------------------------------------------------------------

CNetworkPage::CNetworkPage(StringLoader strings)
    : CFrameworkDialog(IDD_GENERAL_PAGE), m_strings(std::move(strings)) {}

bool CNetworkPage::OnInitDialog() {
    CFrameworkDialog::OnInitDialog();
    ApplyEnableStates();
    UpdateData(false);
    // "Settings..." keeps its rule: it shows the HTTPS settings, read-only.
    if (m_readOnly)
        MakeControlsReadOnly(*this, {IDC_HTTPS_SETTINGS});
    return true;
}

void CNetworkPage::DoDataExchange(CDataExchange* dx) {
    const auto& limits = NETWORK_PAGE_TEXT_LIMITS;
    DDX_Check(dx, IDC_PROXY_ENABLED, m_state.ProxyEnabled);
    DDX_Radio(dx, IDC_PROXY_HTTP, m_state.ProxyType);
    ExchangeText(dx, IDC_SERVER_ADDRESS, m_state.ServerName, limits);
    ExchangeText(dx, IDC_SERVER_PORT, m_state.ServerPortText, limits);
    DDX_Radio(dx, IDC_PROTOCOL_HTTP, m_state.Protocol);
    DDX_Check(dx, IDC_SERVER_AUTH, m_state.ServerAuth);
    ExchangeText(dx, IDC_SERVER_USER, m_state.ServerUser, limits);
    ExchangeText(dx, IDC_SERVER_PASSWORD, m_state.ServerPassword, limits);
    DDX_Radio(dx, IDC_SERVER_BASIC, m_state.ServerMethod);
    ExchangeText(dx, IDC_PROXY_ADDRESS, m_state.ProxyName, limits);
    ExchangeText(dx, IDC_PROXY_PORT, m_state.ProxyPortText, limits);
    DDX_Check(dx, IDC_PROXY_AUTH, m_state.ProxyAuthChecked);
    ExchangeText(dx, IDC_PROXY_USER, m_state.ProxyUser, limits);
    ExchangeText(dx, IDC_PROXY_PASSWORD, m_state.ProxyPassword, limits);
    DDX_Radio(dx, IDC_PROXY_BASIC, m_state.ProxyMethod);
}

ValidationResult CNetworkPage::ExchangeAndValidate() {
    UpdateData(true);
    const NetworkPageLabels labels{GetDlgItemText(IDC_SERVER_ADDRESS_LABEL),
                                   GetDlgItemText(IDC_SERVER_PORT_LABEL),
                                   GetDlgItemText(IDC_PROXY_ADDRESS_LABEL),
                                   GetDlgItemText(IDC_PROXY_PORT_LABEL)};
    ValidationResult failure = ValidateNetworkPage(m_state, labels, m_strings);
    if (failure)
        ReportValidationFailure(*this, *failure, m_strings);
    return failure;
}

void CNetworkPage::OnClicked(int id) {
    switch (id) {
    case IDC_HTTPS_SETTINGS:
        OpenHttpsSettings();
        return;
    case IDC_GET_SYSTEM_PROXY:
        ImportSystemProxy();
        return;
    default:
        break;
    }
    if (m_readOnly)
        return;
    // A check box or radio button: the controls hold the new choice.
    UpdateData(true);
    ApplyNetworkPageClick(m_state, id);
    CheckDlgButton(IDC_PROXY_AUTH, m_state.ProxyAuthChecked);
    ApplyEnableStates();
}

void CNetworkPage::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // Enter in the page opens the HTTPS settings whatever the protocol,
        // and goes no further: it does not press the sheet's OK.
        event->accept();
        OpenHttpsSettings();
        emit FocusToSheet();
        return;
    }
    CFrameworkDialog::keyPressEvent(event);
}

void CNetworkPage::ApplyEnableStates() {
    for (const auto& [control, enabled] : NetworkPageEnableStates(m_state))
        EnableDlgItem(control, enabled);
}

void CNetworkPage::OpenHttpsSettings() {
    CSSLConfig dialog(this, m_strings);
    dialog.m_state = SslConfigFromPage(m_state);
    dialog.m_readOnly = m_readOnly;
    m_httpsDialog = &dialog;
    if (dialog.DoModal() == IDOK && !m_readOnly)
        SslConfigToPage(dialog.m_state, m_state);
    m_httpsDialog = nullptr;
}

void CNetworkPage::ImportSystemProxy() {
    if (m_readOnly)
        return;
    m_state.ProxyName = GetDlgItemText(IDC_PROXY_ADDRESS);
    m_state.ProxyPortText = GetDlgItemText(IDC_PROXY_PORT);
    m_state.ProxyUser = GetDlgItemText(IDC_PROXY_USER);
    m_state.ProxyPassword = GetDlgItemText(IDC_PROXY_PASSWORD);
    const std::string list = QuerySystemProxyList();
    if (!list.empty()) {
        ApplySystemProxy(m_state, ParseProxyList(list));
        ApplyEnableStates();
        UpdateData(false);
    }
}

// ---- Advanced page ----------------------------------------------------------------

CAdvancedPage::CAdvancedPage(StringLoader strings)
    : CFrameworkDialog(IDD_ADVANCED_PAGE), m_strings(std::move(strings)) {}

bool CAdvancedPage::OnInitDialog() {
    CFrameworkDialog::OnInitDialog();
    std::u16string upgrade =
        m_strings(m_state.AutoUpdate != 0 ? IDS_AUTO_UPGRADE_ENABLED : IDS_AUTO_UPGRADE_DISABLED);
    SetDlgItemText(IDC_AUTO_UPGRADE, upgrade.substr(0, UPGRADE_TEXT_CHARS));
    EnableDlgItem(IDC_PLUGIN_OPTION, g_showPluginSettingDlg != nullptr);
    UpdateData(false);
    // The plug-in's own dialog changes settings of its own.
    if (m_readOnly)
        MakeControlsReadOnly(*this);
    return true;
}

void CAdvancedPage::DoDataExchange(CDataExchange* dx) {
    DDX_Text(dx, IDC_SERVLET_PATH, m_state.ServletPath);
    DDX_Text(dx, IDC_LOG_UPLOAD_INTERVAL, m_state.LogUploadMaxInterval);
    DDX_Text(dx, IDC_LOG_UPLOAD_SIZE, m_state.LogUploadMaxSizeKB);
    DDX_Text(dx, IDC_COMMAND_INTERVAL, m_state.CommandInterval);
    DDX_Text(dx, IDC_VERSION_CHECK_INTERVAL, m_state.UpdateCheckInterval);
    ExchangeText(dx, IDC_RETRY, m_state.RetryText, ADVANCED_PAGE_TEXT_LIMITS);
    ExchangeText(dx, IDC_TIMEOUT, m_state.TimeoutText, ADVANCED_PAGE_TEXT_LIMITS);
}

ValidationResult CAdvancedPage::ExchangeAndValidate() {
    UpdateData(true);
    const AdvancedPageLabels labels{GetDlgItemText(IDC_RETRY_LABEL),
                                    GetDlgItemText(IDC_TIMEOUT_LABEL)};
    ValidationResult failure = ValidateAdvancedPage(m_state, labels, m_strings);
    if (failure)
        ReportValidationFailure(*this, *failure, m_strings);
    return failure;
}

void CAdvancedPage::OnClicked(int id) {
    if (id == IDC_PLUGIN_OPTION) {
        ShowPluginUI();
        return;
    }
    CFrameworkDialog::OnClicked(id);
}
