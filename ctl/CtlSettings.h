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
#include "ui/SettingNames.h"
#include "ui/SettingsRules.h"

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
                               const CtlTexts& texts, const ReverseLookup& lookup = LookUpHostName);
