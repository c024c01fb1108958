#pragma once
// The rules of the settings dialogs, with no window: what each page holds,
// how it is filled from the agent's configuration, which controls are
// enabled in which state, how its fields are checked (order, trimming,
// message, focus) and how the pages become the record that is saved or the
// values that are tested. The dialogs bind these to their controls; the
// command line applies them to its arguments. Texts (labels and messages)
// come in as data, looked up by id from the same resources the dialogs use.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "comm/ConfigureAgent4VSM.h"
#include "config/AgentConfig.h"

// ---------------------------------------------------------------------------
// Messages.

inline constexpr unsigned IDS_SETTINGS_CAPTION = 7022;
inline constexpr unsigned IDS_EMPTY_ADDRESS = 7000;
inline constexpr unsigned IDS_INVALID_PORT = 7001;
inline constexpr unsigned IDS_SAME_SERVER_AND_PROXY = 7002;
inline constexpr unsigned IDS_ILLEGAL_CHARACTERS = 7004;
inline constexpr unsigned IDS_ILLEGAL_CHARACTERS_TAIL = 7016;
inline constexpr unsigned IDS_EMPTY_PORT = 7021;
inline constexpr unsigned IDS_NON_DIGIT = 7023;
inline constexpr unsigned IDS_NO_ROOT_CA = 7032;
inline constexpr unsigned IDS_EMPTY_USER = 7036;
inline constexpr unsigned IDS_EMPTY_NUMBER = 7046;
inline constexpr unsigned IDS_NUMBER_OUT_OF_RANGE = 7047;
inline constexpr unsigned IDS_CA_PATH_TOO_LONG = 7030;
inline constexpr unsigned IDS_CLIENT_PATH_TOO_LONG = 7031;
inline constexpr unsigned IDS_CA_PATH_BLANK = 7034;
inline constexpr unsigned IDS_CLIENT_PATH_BLANK = 7035;
inline constexpr unsigned IDS_WORKING_CONFIG_LOAD_FAILED = 7038;
inline constexpr unsigned IDS_NETWORK_CONFIG_LOAD_FAILED = 7037;
inline constexpr unsigned IDS_NETWORK_CONFIG_SAVE_FAILED = 7039;
inline constexpr unsigned IDS_TAB_GENERAL = 7014;
inline constexpr unsigned IDS_TAB_ADVANCED = 7015;
inline constexpr unsigned IDS_AUTO_UPGRADE_ENABLED = 7054;
inline constexpr unsigned IDS_AUTO_UPGRADE_DISABLED = 7055;
// The framework's own message for a text over its limit ("%d" characters).
inline constexpr unsigned IDS_TEXT_TOO_LONG = 61701;

// Messages and labels are read into buffers of this many units.
inline constexpr std::size_t MESSAGE_BUFFER_CHARS = 1023;

// Characters a server or proxy address may not contain; shown to the user
// exactly as it stands after the illegal-character message.
inline constexpr char16_t ILLEGAL_ADDRESS_CHARACTERS[] = u"~`!'@# $%^&*()+=|\\{}[]:;\"<,>?/";

// A string of the selected language by id; empty when it is missing.
using StringLoader = std::function<std::u16string(unsigned id)>;

// A failed check: what to tell the user and where the focus goes. An edit
// that gets the focus also gets its text selected.
struct ValidationFailure {
    unsigned messageId = 0;
    std::u16string text;
    int focusControl = 0;
    bool selectText = true;

    bool operator==(const ValidationFailure&) const = default;
};
using ValidationResult = std::optional<ValidationFailure>;

// Replaces the first "%s" by `label` and each "%d" in turn by the next
// number; a plain replacement, so a "%" anywhere else is shown as it is.
std::u16string FormatMessage(std::u16string format, const std::u16string& label,
                             const std::vector<int32_t>& numbers = {});

// The framework's check of a text limit, counting characters as the user
// sees them.
ValidationResult CheckTextLimit(const std::u16string& value, int maxChars, int control,
                                const StringLoader& strings);

// Removes blanks, tabs and line ends at both ends.
std::u16string TrimBlanks(const std::u16string& text);

// ---------------------------------------------------------------------------
// General page.

inline constexpr int PROTOCOL_HTTP = 0;
inline constexpr int PROTOCOL_HTTPS = 1;

struct NetworkPageState {
    int ProxyEnabled = 1;
    int ProxyType = PROXY_KIND_HTTP; // PROXY_KIND_HTTP, _SOCKS5, _SOCKS4
    std::u16string ServerName = u"localhost";
    std::u16string ServerPortText = u"80";
    int32_t ServerPort = 80;
    int Protocol = PROTOCOL_HTTP;
    int ServerAuth = 0;
    std::u16string ServerUser;
    std::u16string ServerPassword;
    int ServerMethod = 0; // 0 Basic, 1 Digest, 2 NTLM
    std::u16string ProxyName;
    std::u16string ProxyPortText;
    int32_t ProxyPort = 0;
    std::u16string ProxyUser;
    std::u16string ProxyPassword;
    int ProxyMethod = 0;
    std::u16string CACertPath;
    int RequireClientCert = 0;
    std::u16string ClientCertPath;
    std::u16string ClientCertPswd;
    // The proxy's "User authentication" check box has no member of its own
    // in the page; it is kept here so that the rules can read it.
    int ProxyAuthChecked = 0;

    bool operator==(const NetworkPageState&) const = default;
};

// Text limits of the page's edits, in the order they are exchanged.
struct TextLimit {
    int control;
    int maxChars;
};
extern const std::vector<TextLimit> NETWORK_PAGE_TEXT_LIMITS;

// The page's members from the loaded configuration (proxy: HTTP first, then
// SOCKS 4, then SOCKS 5), with the texts the page shows when it opens.
NetworkPageState LoadNetworkPage(const NetworkConfigRecord& config);

// A click on one of the page's check boxes or radio buttons, after the
// state has taken the control's new check state. Only what a click does
// beyond that is done here: SOCKS 4 drops the proxy authentication.
void ApplyNetworkPageClick(NetworkPageState& state, int control);

// Whether `control` of the page is enabled in `state`. Controls the state
// does not govern answer nullopt.
std::optional<bool> NetworkPageControlEnabled(const NetworkPageState& state, int control);
// Every governed control with its state, in template order.
std::vector<std::pair<int, bool>> NetworkPageEnableStates(const NetworkPageState& state);

// The labels that the page's messages name, read from the dialog.
struct NetworkPageLabels {
    std::u16string ServerAddress; // control 1024
    std::u16string ServerPort;    // control 1020
    std::u16string ProxyAddress;  // control 1030
    std::u16string ProxyPort;     // control 1031
};

// The host name of a numeric address, required to exist; nullopt when the
// lookup fails.
using ReverseLookup = std::function<std::optional<std::string>(const std::string& address)>;
// getnameinfo with a name required.
std::optional<std::string> LookUpHostName(const std::string& address);

// Whether `text` is a numeric IPv4 address in the page's sense.
bool IsNumericAddress(const std::u16string& text);
// Whether the server and proxy addresses name the same machine.
bool IsSameHost(const std::u16string& server, const std::u16string& proxy,
                const ReverseLookup& lookup = LookUpHostName);

// The page's checks when OK or Test Connection asks for them, after the
// controls were read into `state`: lengths, trimming, the proxy credentials
// dropped without proxy authentication, then each field in turn. The first
// failure ends the check; `state` keeps what the steps before it did.
ValidationResult ValidateNetworkPage(NetworkPageState& state, const NetworkPageLabels& labels,
                                     const StringLoader& strings,
                                     const ReverseLookup& lookup = LookUpHostName);

// ---------------------------------------------------------------------------
// System proxy import.

struct ProxyEndpoint {
    std::string Host;
    int32_t Port = 0;

    bool operator==(const ProxyEndpoint&) const = default;
};

struct ProxyList {
    ProxyEndpoint Http;
    ProxyEndpoint Https;
    ProxyEndpoint Socks;

    bool operator==(const ProxyList&) const = default;
};

// Reads "http=host:port;https=host:port;socks=host:port", or a single
// "host:port" that serves all three.
ProxyList ParseProxyList(const std::string& text);
// Puts the first entry with a host into the page (HTTP, else HTTPS, else
// SOCKS as SOCKS 5) and enables the proxy without credentials; with none,
// the proxy is disabled.
void ApplySystemProxy(NetworkPageState& state, const ProxyList& list);

// ---------------------------------------------------------------------------
// HTTPS settings dialog.

struct SslConfigState {
    std::u16string CACertPath;
    std::u16string ClientCertPath;
    std::u16string ClientCertPswd;
    int RequireClientCert = 0;

    bool operator==(const SslConfigState&) const = default;
};

extern const std::vector<TextLimit> SSL_CONFIG_TEXT_LIMITS;

SslConfigState SslConfigFromPage(const NetworkPageState& page);
void SslConfigToPage(const SslConfigState& ssl, NetworkPageState& page);

// Whether the client-certificate controls (path, its button, password) are enabled.
bool ClientCertificateControlsEnabled(const SslConfigState& state);

// OK in the HTTPS settings dialog. Without a required client certificate its
// path and password are emptied.
ValidationResult ValidateSslConfig(SslConfigState& state, const StringLoader& strings);

// A browsed path fits its edit when it has at most this many UTF-16 units;
// a longer one is refused with the browse button's own message.
inline constexpr std::size_t BROWSE_PATH_MAX_UNITS = 128;
bool BrowsedPathFits(const std::u16string& path);

// ---------------------------------------------------------------------------
// Advanced page.

inline constexpr int32_t RETRY_MIN = 30;
inline constexpr int32_t RETRY_MAX = 3600;
inline constexpr int32_t TIMEOUT_MIN = 300;
inline constexpr int32_t TIMEOUT_MAX = 3600;

struct AdvancedPageState {
    std::u16string ServletPath = u"/opalCommunicatorServer/DataPortServlet";
    int32_t LogUploadMaxInterval = 30;
    int32_t LogUploadMaxSizeKB = 200;
    int32_t CommandInterval = 300;
    int32_t AutoUpdate = 1;
    int32_t UpdateCheckInterval = 30;
    std::u16string RetryText;
    int32_t RetryInterval = 60;
    std::u16string TimeoutText;
    int32_t Timeout = 600;

    bool operator==(const AdvancedPageState&) const = default;
};

extern const std::vector<TextLimit> ADVANCED_PAGE_TEXT_LIMITS;

AdvancedPageState LoadAdvancedPage(const NetworkConfigRecord& network,
                                   const WorkingConfigRecord& working);

struct AdvancedPageLabels {
    std::u16string Retry;   // control 1054
    std::u16string Timeout; // control 1056
};

ValidationResult ValidateAdvancedPage(AdvancedPageState& state, const AdvancedPageLabels& labels,
                                      const StringLoader& strings);

// ---------------------------------------------------------------------------
// What the sheet saves and tests.

// The record OK saves: a fresh one filled from the pages, with only the
// chosen proxy configured. `maxRetryTimes` is the value the sheet loaded,
// which no page shows, so that a save does not reset it.
NetworkConfigRecord BuildNetworkConfigRecord(const NetworkPageState& general,
                                             const AdvancedPageState& advanced,
                                             int32_t maxRetryTimes);

// The values on screen for the connection test.
ConnectionTestSettings BuildConnectionTestSettings(const NetworkPageState& general,
                                                   const AdvancedPageState& advanced);

// ---------------------------------------------------------------------------
// Opening and OK, without the window: the sheet and the command line both
// load and save through these, so that the two can never disagree.

// What the sheet loads when it opens: the working and the local
// configuration, into both pages.
struct LoadedSettingsPages {
    bool WorkingConfigLoaded = false; // else the sheet shows 7038
    bool LocalConfigLoaded = false;   // else the sheet shows 7037
    NetworkPageState General;
    AdvancedPageState Advanced;
    // No page shows it, so a save keeps the value that was loaded.
    int32_t MaxRetryTimes = 0;
};
LoadedSettingsPages LoadSettingsPages();

// ToolTag after a settings tool has saved the network configuration.
inline constexpr int32_t TOOL_TAG_CONFIG_SAVED = 2;

// The result codes of OK's save. The agent is told only after a successful
// save; until then its two codes stay ERR_CONFIG_SAVE.
struct SettingsSaveResult {
    int Save = ERR_CONFIG_SAVE;
    int NetConfigChange = ERR_CONFIG_SAVE;
    int ToolTag = ERR_CONFIG_SAVE;

    bool Saved() const { return Save == CONFIG_SUCCESS; }
};

// OK's save: a fresh record from the (validated) pages through
// SaveNetworkConfig; on success g_selfConfigChange 1, NetConfigChanged 1 in
// the status document and ToolTag 2, in this order.
SettingsSaveResult SaveSettingsPages(const NetworkPageState& general,
                                     const AdvancedPageState& advanced, int32_t maxRetryTimes);
