#pragma once
// The settings of the General and Advanced pages under the names the
// command line gives them, as the pages hold them. The command line, the
// settings sheet (when it saves through the system helper) and the helper
// speak these names.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/SettingsRules.h"

// In the order the pages show them; `config show` lists them so, and
// assignments are applied so, whatever order they were given in.
inline constexpr const char* SETTING_NAMES[] = {
    "server",     "port",           "protocol",
    "auth",       "user",           "password",
    "proxy",      "proxy-type",     "proxy-port",
    "proxy-user", "proxy-password", "proxy-auth-method",
    "ca",         "client-cert",    "client-cert-password",
    "retry",      "timeout"};
inline constexpr const char* SECRET_SETTING_NAMES[] = {"password", "proxy-password",
                                                       "client-cert-password"};

bool IsSettingName(std::string_view name);
bool IsSecretSetting(std::string_view name);

struct SettingValue {
    std::string Name;
    std::u16string Value;

    bool operator==(const SettingValue&) const = default;
};
using SettingList = std::vector<SettingValue>;

// The value of `name` in `list`, or nullopt.
std::optional<std::u16string> FindSetting(const SettingList& list, std::string_view name);

// Every setting as the pages show it, secrets in clear (the caller decides
// what of them to show).
SettingList SettingsOf(const NetworkPageState& general, const AdvancedPageState& advanced);
// The settings a saved record stands for, as the sheet would show them.
SettingList SettingsOf(const NetworkConfigRecord& record, const WorkingConfigRecord& working);

// The names whose values differ, in list order.
std::vector<std::string> ChangedSettings(const SettingList& before, const SettingList& after);

// "basic", "digest" or "ntlm" for a method number (basic for any other).
std::u16string SettingMethodName(int method);
// "http", "socks5" or "socks4" for a proxy kind.
std::u16string SettingProxyTypeName(int type);
