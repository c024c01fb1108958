#include "ui/SettingNames.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::array<const char*, 3> METHOD_NAMES = {"basic", "digest", "ntlm"};

std::u16string Wide(std::string_view text) {
    return std::u16string(text.begin(), text.end());
}

} // namespace

std::u16string SettingMethodName(int method) {
    return Wide(method >= 0 && method < 3 ? METHOD_NAMES[static_cast<std::size_t>(method)]
                                          : "basic");
}

std::u16string SettingProxyTypeName(int type) {
    switch (type) {
    case PROXY_KIND_SOCKS5:
        return u"socks5";
    case PROXY_KIND_SOCKS4:
        return u"socks4";
    default:
        return u"http";
    }
}

bool IsSettingName(std::string_view name) {
    return std::any_of(std::begin(SETTING_NAMES), std::end(SETTING_NAMES),
                       [name](const char* known) { return name == known; });
}

bool IsSecretSetting(std::string_view name) {
    return std::any_of(std::begin(SECRET_SETTING_NAMES), std::end(SECRET_SETTING_NAMES),
                       [name](const char* known) { return name == known; });
}

std::optional<std::u16string> FindSetting(const SettingList& list, std::string_view name) {
    for (const SettingValue& entry : list) {
        if (entry.Name == name)
            return entry.Value;
    }
    return std::nullopt;
}

SettingList SettingsOf(const NetworkPageState& g, const AdvancedPageState& a) {
    const bool proxy = g.ProxyEnabled != 0;
    const bool proxyAuth = proxy && g.ProxyType != PROXY_KIND_SOCKS4 && g.ProxyAuthChecked != 0;
    return {
        {"server", g.ServerName},
        {"port", g.ServerPortText},
        {"protocol", g.Protocol == PROTOCOL_HTTPS ? u"https" : u"http"},
        {"auth", g.ServerAuth != 0 ? SettingMethodName(g.ServerMethod) : u"none"},
        {"user", g.ServerAuth != 0 ? g.ServerUser : u""},
        {"password", g.ServerAuth != 0 ? g.ServerPassword : u""},
        {"proxy", proxy ? g.ProxyName : u""},
        {"proxy-type", proxy ? SettingProxyTypeName(g.ProxyType) : u"none"},
        {"proxy-port", proxy ? g.ProxyPortText : u""},
        {"proxy-user", proxyAuth ? g.ProxyUser : u""},
        {"proxy-password", proxyAuth ? g.ProxyPassword : u""},
        {"proxy-auth-method", proxyAuth ? SettingMethodName(g.ProxyMethod) : u"none"},
        {"ca", g.CACertPath},
        {"client-cert", g.RequireClientCert != 0 ? g.ClientCertPath : u""},
        {"client-cert-password", g.RequireClientCert != 0 ? g.ClientCertPswd : u""},
        {"retry", a.RetryText},
        {"timeout", a.TimeoutText},
    };
}

SettingList SettingsOf(const NetworkConfigRecord& record, const WorkingConfigRecord& working) {
    return SettingsOf(LoadNetworkPage(record), LoadAdvancedPage(record, working));
}

std::vector<std::string> ChangedSettings(const SettingList& before, const SettingList& after) {
    std::vector<std::string> changed;
    for (const SettingValue& entry : after) {
        if (FindSetting(before, entry.Name) != entry.Value)
            changed.push_back(entry.Name);
    }
    return changed;
}
