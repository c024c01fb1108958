#include "ctl/CtlSettings.h"

#include <algorithm>
#include <array>

#include "res/Resource.h"

namespace {

constexpr std::array<const char*, 3> METHOD_NAMES = {"basic", "digest", "ntlm"};

std::string LowerAscii(const std::u16string& text) {
    std::string out;
    for (const char16_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c)
                               : '?');
    return out;
}

// -1 for "none", the method's number, or nullopt for anything else.
std::optional<int> ParseMethod(const std::u16string& value) {
    const std::string word = LowerAscii(value);
    if (word == "none")
        return -1;
    for (std::size_t i = 0; i < METHOD_NAMES.size(); ++i) {
        if (word == METHOD_NAMES[i])
            return static_cast<int>(i);
    }
    return std::nullopt;
}

// The setting whose field a failed check puts the focus on.
struct ControlSetting {
    int control;
    const char* setting;
    const char* page;
};
constexpr ControlSetting CONTROL_SETTINGS[] = {
    {IDC_SERVER_ADDRESS, "server", "general"},
    {IDC_SERVER_PORT, "port", "general"},
    {IDC_SERVER_USER, "user", "general"},
    {IDC_SERVER_PASSWORD, "password", "general"},
    {IDC_PROXY_ADDRESS, "proxy", "general"},
    {IDC_PROXY_PORT, "proxy-port", "general"},
    {IDC_PROXY_USER, "proxy-user", "general"},
    {IDC_PROXY_PASSWORD, "proxy-password", "general"},
    {IDC_HTTPS_SETTINGS, "ca", "general"},
    {IDC_CA_PATH, "ca", "https"},
    {IDC_CLIENT_CERT_PATH, "client-cert", "https"},
    {IDC_CLIENT_CERT_PASSWORD, "client-cert-password", "https"},
    {IDC_RETRY, "retry", "advanced"},
    {IDC_TIMEOUT, "timeout", "advanced"},
};

SettingsCheck Refused(ValidationFailure failure, const char* page) {
    SettingsCheck check;
    check.FailedPage = page;
    for (const ControlSetting& entry : CONTROL_SETTINGS) {
        if (entry.control == failure.focusControl) {
            check.FailedSetting = entry.setting;
            break;
        }
    }
    check.Failure = std::move(failure);
    return check;
}

SettingsCheck Usage(std::string text) {
    SettingsCheck check;
    check.UsageError = std::move(text);
    return check;
}

bool Given(const SettingList& values, std::string_view name) {
    return FindSetting(values, name).has_value();
}

bool NonBlank(const std::u16string& text) {
    return !TrimBlanks(text).empty();
}

} // namespace

SettingsCheck ApplyAndValidate(SettingsPages& pages, const SettingList& values,
                               const CtlTexts& texts, const ReverseLookup& lookup) {
    NetworkPageState& g = pages.General;
    AdvancedPageState& a = pages.Advanced;
    for (const SettingValue& entry : values) {
        if (!IsSettingName(entry.Name))
            return Usage("unknown setting '" + entry.Name + "'");
        if (std::count_if(values.begin(), values.end(), [&entry](const SettingValue& other) {
                return other.Name == entry.Name;
            }) > 1)
            return Usage("'" + entry.Name + "' is given more than once");
    }

    // In the pages' order: a switch is set before the fields it governs.
    for (const char* name : SETTING_NAMES) {
        const std::optional<std::u16string> given = FindSetting(values, name);
        if (!given)
            continue;
        const std::u16string& value = *given;
        const std::string setting = name;
        if (setting == "server") {
            g.ServerName = value;
        } else if (setting == "port") {
            g.ServerPortText = value;
        } else if (setting == "protocol") {
            const std::string word = LowerAscii(value);
            if (word != "http" && word != "https")
                return Usage("protocol: expected http or https");
            ApplyNetworkPageClick(g, word == "https" ? IDC_PROTOCOL_HTTPS : IDC_PROTOCOL_HTTP);
        } else if (setting == "auth") {
            const std::optional<int> method = ParseMethod(value);
            if (!method)
                return Usage("auth: expected none, basic, digest or ntlm");
            g.ServerAuth = *method >= 0 ? 1 : 0;
            if (*method >= 0)
                g.ServerMethod = *method;
        } else if (setting == "user" || setting == "password") {
            (setting == "user" ? g.ServerUser : g.ServerPassword) = value;
            if (NonBlank(value) && g.ServerAuth == 0 && !Given(values, "auth"))
                g.ServerAuth = 1;
        } else if (setting == "proxy") {
            g.ProxyName = value;
            if (NonBlank(value) && g.ProxyEnabled == 0 && !Given(values, "proxy-type"))
                g.ProxyEnabled = 1;
        } else if (setting == "proxy-type") {
            const std::string word = LowerAscii(value);
            if (word == "none") {
                g.ProxyEnabled = 0;
            } else if (word == "http" || word == "socks5" || word == "socks4") {
                g.ProxyEnabled = 1;
                ApplyNetworkPageClick(g, word == "http"     ? IDC_PROXY_HTTP
                                         : word == "socks5" ? IDC_PROXY_SOCKS5
                                                            : IDC_PROXY_SOCKS4);
            } else {
                return Usage("proxy-type: expected none, http, socks5 or socks4");
            }
        } else if (setting == "proxy-port") {
            g.ProxyPortText = value;
        } else if (setting == "proxy-user" || setting == "proxy-password") {
            (setting == "proxy-user" ? g.ProxyUser : g.ProxyPassword) = value;
            if (NonBlank(value) && g.ProxyAuthChecked == 0 && !Given(values, "proxy-auth-method"))
                g.ProxyAuthChecked = 1;
        } else if (setting == "proxy-auth-method") {
            const std::optional<int> method = ParseMethod(value);
            if (!method)
                return Usage("proxy-auth-method: expected none, basic, digest or ntlm");
            g.ProxyAuthChecked = *method >= 0 ? 1 : 0;
            if (*method >= 0)
                g.ProxyMethod = *method;
        } else if (setting == "ca") {
            g.CACertPath = value;
        } else if (setting == "client-cert") {
            g.ClientCertPath = value;
            g.RequireClientCert = value.empty() ? 0 : 1;
        } else if (setting == "client-cert-password") {
            g.ClientCertPswd = value;
        } else if (setting == "retry") {
            a.RetryText = value;
        } else if (setting == "timeout") {
            a.TimeoutText = value;
        }
    }

    // Requests the dialog could not even express.
    if (g.ProxyEnabled != 0 && g.ProxyType == PROXY_KIND_SOCKS4 && g.ProxyAuthChecked != 0)
        return Usage("a SOCKS 4 proxy takes no user name, password or authentication method");
    if (g.RequireClientCert == 0 &&
        NonBlank(FindSetting(values, "client-cert-password").value_or(u"")))
        return Usage("client-cert-password: no client certificate is set (client-cert=FILE)");

    // The certificate settings come through the HTTPS settings dialog, whose
    // OK checks them before the sheet's does.
    if (Given(values, "ca") || Given(values, "client-cert") ||
        Given(values, "client-cert-password")) {
        SslConfigState ssl = SslConfigFromPage(g);
        if (ValidationResult failure = ValidateSslConfig(ssl, texts.Strings()))
            return Refused(std::move(*failure), "https");
        SslConfigToPage(ssl, g);
    }
    if (ValidationResult failure =
            ValidateNetworkPage(g, texts.GeneralLabels(), texts.Strings(), lookup))
        return Refused(std::move(*failure), "general");
    if (ValidationResult failure = ValidateAdvancedPage(a, texts.AdvancedLabels(), texts.Strings()))
        return Refused(std::move(*failure), "advanced");
    return {};
}
