#pragma once
// The settings of the General and Advanced pages under the names the
// command line gives them, and how a list of NAME=VALUE assignments becomes
// what the dialogs would hold after the same typing and clicking: the pages'
// own states and checks (ui/SettingsRules.h) do the rest.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ctl/CtlTexts.h"
#include "ui/SettingsRules.h"

// In the order the pages show them; `config show` lists them so, and
// assignments are applied so, whatever order they were given in.
inline constexpr const char* SETTING_NAMES[] = {
    "server",     "port",       "protocol",          "auth",  "user",
    "password",   "proxy",      "proxy-type",        "proxy-port",
    "proxy-user", "proxy-password", "proxy-auth-method", "ca", "client-cert",
    "client-cert-password", "retry", "timeout"};
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

struct SettingsPages {
    NetworkPageState General;
    AdvancedPageState Advanced;
};

struct SettingsCheck {
    // A request that makes no sense (an unknown choice, credentials for a
    // SOCKS 4 proxy, ...): a usage error, nothing is checked further.
    std::string UsageError;
    // The first check that refused, as the dialog would have shown it.
    std::optional<ValidationFailure> Failure;
    std::string FailedSetting; // the name whose field gets the focus
    std::string FailedPage;    // "general", "advanced" or "https"

    bool Passed() const { return UsageError.empty() && !Failure; }
};

// Applies `values` (names checked, each at most once) to `pages`, then runs
// the HTTPS settings' check when a certificate setting was given, and the
// General and Advanced pages' checks in the sheet's order.
//
// Choices: protocol http|https; auth and proxy-auth-method
// none|basic|digest|ntlm; proxy-type none|http|socks5|socks4. A user name,
// password or proxy address typed while its switch is off turns the switch
// on, as ticking the box before typing does, unless the switch itself is
// given. client-cert names the client certificate and so requires one; an
// empty client-cert requires none.
SettingsCheck ApplyAndValidate(SettingsPages& pages, const SettingList& values,
                               const CtlTexts& texts,
                               const ReverseLookup& lookup = LookUpHostName);

// Every setting as the pages show it, secrets in clear (the caller decides
// what of them to show).
SettingList SettingsOf(const NetworkPageState& general, const AdvancedPageState& advanced);
// The settings a saved record stands for, as the sheet would show them.
SettingList SettingsOf(const NetworkConfigRecord& record, const WorkingConfigRecord& working);

// The names whose values differ, in list order.
std::vector<std::string> ChangedSettings(const SettingList& before, const SettingList& after);
