#include "ui/SettingsRules.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "common/ASTCommonFunc.h"
#include "res/Resource.h"
#include "shell/AgentStatusMonitor.h"

namespace {

// What a text holds when it is checked as a number of the page.
enum class NumberText { Empty, NonDigit, Value };

NumberText ReadNumber(const std::u16string& text, int64_t& value) {
    if (text.empty())
        return NumberText::Empty;
    value = 0;
    for (const char16_t c : text) {
        if (c < u'0' || c > u'9')
            return NumberText::NonDigit;
        // Saturates: any number this long is out of every range anyway.
        value = std::min<int64_t>(value * 10 + (c - u'0'), INT64_C(1) << 40);
    }
    return NumberText::Value;
}

std::u16string Decimal(int64_t value) {
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

char16_t LowerAscii(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char16_t x, char16_t y) { return LowerAscii(x) == LowerAscii(y); });
}

std::u16string ShortHostName(const std::string& name) {
    return ToWideString(name.substr(0, name.find('.')), CP_ACP);
}

ValidationFailure Failure(unsigned id, std::u16string text, int focus, bool selectText = true) {
    return ValidationFailure{id, std::move(text), focus, selectText};
}

std::u16string Message(const StringLoader& strings, unsigned id, const std::u16string& label = {},
                       const std::vector<int32_t>& numbers = {}) {
    return FormatMessage(strings(id), label, numbers);
}

ValidationResult CheckTextLimits(const std::vector<TextLimit>& limits,
                                 const std::vector<const std::u16string*>& values,
                                 const StringLoader& strings) {
    for (std::size_t i = 0; i < limits.size(); ++i) {
        if (ValidationResult failure =
                CheckTextLimit(*values[i], limits[i].maxChars, limits[i].control, strings))
            return failure;
    }
    return std::nullopt;
}

ValidationResult CheckAddress(const std::u16string& address, const std::u16string& label,
                              int focus, const StringLoader& strings) {
    if (address.empty())
        return Failure(IDS_EMPTY_ADDRESS, Message(strings, IDS_EMPTY_ADDRESS, label), focus);
    if (address.find_first_of(ILLEGAL_ADDRESS_CHARACTERS) != std::u16string::npos) {
        // The set follows as it stands: it is not itself a format.
        std::u16string text = Message(strings, IDS_ILLEGAL_CHARACTERS, label);
        text += strings(IDS_ILLEGAL_CHARACTERS_TAIL);
        text += ILLEGAL_ADDRESS_CHARACTERS;
        return Failure(IDS_ILLEGAL_CHARACTERS, std::move(text), focus);
    }
    return std::nullopt;
}

// How a number field is checked: the message for an empty text, and the
// range with its message (which names the bounds only where it says so).
struct NumberRule {
    unsigned emptyId;
    unsigned rangeId;
    int32_t minimum;
    int32_t maximum;
    bool boundsInMessage;
};

constexpr NumberRule PORT_RULE{IDS_EMPTY_PORT, IDS_INVALID_PORT, 1, 65535, false};

ValidationResult CheckNumber(const std::u16string& text, int32_t& result, const NumberRule& rule,
                             const std::u16string& label, int focus, const StringLoader& strings) {
    int64_t value = 0;
    switch (ReadNumber(text, value)) {
    case NumberText::Empty:
        return Failure(rule.emptyId, Message(strings, rule.emptyId, label), focus);
    case NumberText::NonDigit:
        return Failure(IDS_NON_DIGIT, Message(strings, IDS_NON_DIGIT, label), focus);
    case NumberText::Value:
        break;
    }
    if (value < rule.minimum || value > rule.maximum) {
        const std::vector<int32_t> bounds = rule.boundsInMessage
                                                ? std::vector<int32_t>{rule.minimum, rule.maximum}
                                                : std::vector<int32_t>{};
        return Failure(rule.rangeId, Message(strings, rule.rangeId, label, bounds), focus);
    }
    result = static_cast<int32_t>(value);
    return std::nullopt;
}

// A method radio group with nothing checked would be saved as -1.
int KnownMethod(int32_t method) {
    return method >= 0 && method <= 2 ? method : 0;
}

} // namespace

std::u16string FormatMessage(std::u16string format, const std::u16string& label,
                             const std::vector<int32_t>& numbers) {
    std::u16string out;
    out.reserve(format.size() + label.size());
    bool labelUsed = false;
    std::size_t number = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == u'%' && i + 1 < format.size()) {
            if (format[i + 1] == u's' && !labelUsed) {
                out += label;
                labelUsed = true;
                ++i;
                continue;
            }
            if (format[i + 1] == u'd' && number < numbers.size()) {
                out += Decimal(numbers[number++]);
                ++i;
                continue;
            }
        }
        out.push_back(format[i]);
    }
    return out;
}

ValidationResult CheckTextLimit(const std::u16string& value, int maxChars, int control,
                                const StringLoader& strings) {
    // Characters as the user sees them: a pair of surrogates is one.
    std::size_t length = 0;
    for (const char16_t c : value)
        length += (c >= 0xDC00 && c <= 0xDFFF) ? 0 : 1;
    if (length <= static_cast<std::size_t>(maxChars))
        return std::nullopt;
    std::u16string format = strings(IDS_TEXT_TOO_LONG);
    if (format.empty())
        format = u"Enter no more than %d characters.";
    return Failure(IDS_TEXT_TOO_LONG, FormatMessage(format, {}, {maxChars}), control);
}

std::u16string TrimBlanks(const std::u16string& text) {
    constexpr char16_t blanks[] = u" \t\r\n\v\f";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::u16string::npos)
        return {};
    const std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// ---- General page -----------------------------------------------------------

const std::vector<TextLimit> NETWORK_PAGE_TEXT_LIMITS = {
    {IDC_SERVER_ADDRESS, 256}, {IDC_SERVER_PORT, 5},   {IDC_SERVER_USER, 127},
    {IDC_SERVER_PASSWORD, 127}, {IDC_PROXY_ADDRESS, 256}, {IDC_PROXY_PORT, 5},
    {IDC_PROXY_USER, 127},     {IDC_PROXY_PASSWORD, 127},
};

NetworkPageState LoadNetworkPage(const NetworkConfigRecord& config) {
    NetworkPageState page;
    page.ServerName = config.ServerName;
    page.ServerPort = config.ServerPort;

    if (config.Http.AlreadyConfig != 0) {
        page.ProxyEnabled = 1;
        page.ProxyType = PROXY_KIND_HTTP;
        page.ProxyName = config.Http.ServerName;
        page.ProxyPort = config.Http.ServerPort;
        page.ProxyUser = config.Http.ProxyUser;
        page.ProxyPassword = ToWideString(config.Http.ProxyPassword, CP_ACP);
        page.ProxyMethod = KnownMethod(config.Http.HTTPProxyAuthMethod);
    } else if (config.Sock4.AlreadyConfig != 0) {
        page.ProxyEnabled = 1;
        page.ProxyType = PROXY_KIND_SOCKS4;
        page.ProxyName = config.Sock4.ServerName;
        page.ProxyPort = config.Sock4.ServerPort;
    } else if (config.Sock5.AlreadyConfig != 0) {
        page.ProxyEnabled = 1;
        page.ProxyType = PROXY_KIND_SOCKS5;
        page.ProxyName = config.Sock5.ServerName;
        page.ProxyPort = config.Sock5.ServerPort;
        page.ProxyUser = config.Sock5.ProxyUser;
        page.ProxyPassword = ToWideString(config.Sock5.ProxyPassword, CP_ACP);
    } else {
        page.ProxyEnabled = 0;
        page.ProxyType = PROXY_KIND_HTTP;
        page.ProxyPort = 0;
    }
    if (page.ProxyUser.empty())
        page.ProxyPassword.clear();

    page.ServerAuth = config.IsUseHTTPAuth != 0 ? 1 : 0;
    page.ServerMethod = KnownMethod(config.ServerAuthMethod);
    if (page.ServerAuth != 0) {
        page.ServerUser = config.HTTPAuthUser;
        page.ServerPassword = ToWideString(config.HTTPAuthPassword, CP_ACP);
    }

    page.Protocol = config.IsUseHTTPS != 0 ? PROTOCOL_HTTPS : PROTOCOL_HTTP;
    page.CACertPath = config.CACertPath;
    page.RequireClientCert = config.RequireClientCert != 0 ? 1 : 0;
    page.ClientCertPath = config.ClientCertPath;
    page.ClientCertPswd = ToWideString(config.ClientCertPswd, CP_ACP);

    // What the page shows when it opens.
    page.ServerPortText = Decimal(page.ServerPort);
    if (page.ProxyEnabled != 0) {
        page.ProxyPortText = Decimal(page.ProxyPort);
        page.ProxyAuthChecked = page.ProxyUser.empty() ? 0 : 1;
    } else {
        page.ProxyPortText.clear();
    }
    return page;
}

void ApplyNetworkPageClick(NetworkPageState& state, int control) {
    switch (control) {
    case IDC_PROXY_HTTP:
        state.ProxyType = PROXY_KIND_HTTP;
        break;
    case IDC_PROXY_SOCKS5:
        state.ProxyType = PROXY_KIND_SOCKS5;
        break;
    case IDC_PROXY_SOCKS4:
        // SOCKS 4 carries no credentials.
        state.ProxyType = PROXY_KIND_SOCKS4;
        state.ProxyAuthChecked = 0;
        break;
    case IDC_PROTOCOL_HTTP:
        state.Protocol = PROTOCOL_HTTP;
        break;
    case IDC_PROTOCOL_HTTPS:
        state.Protocol = PROTOCOL_HTTPS;
        break;
    default:
        break;
    }
}

std::optional<bool> NetworkPageControlEnabled(const NetworkPageState& s, int control) {
    const bool proxy = s.ProxyEnabled != 0;
    const bool proxyAuthAllowed = proxy && s.ProxyType != PROXY_KIND_SOCKS4;
    const bool proxyAuth = proxyAuthAllowed && s.ProxyAuthChecked != 0;
    switch (control) {
    case IDC_HTTPS_SETTINGS:
        return s.Protocol == PROTOCOL_HTTPS;
    case IDC_SERVER_USER:
    case IDC_SERVER_PASSWORD:
    case IDC_SERVER_BASIC:
    case IDC_SERVER_DIGEST:
    case IDC_SERVER_NTLM:
        return s.ServerAuth != 0;
    case IDC_PROXY_ADDRESS:
    case IDC_PROXY_PORT:
    case IDC_PROXY_HTTP:
    case IDC_PROXY_SOCKS5:
    case IDC_PROXY_SOCKS4:
        return proxy;
    case IDC_PROXY_AUTH:
        return proxyAuthAllowed;
    case IDC_PROXY_USER:
    case IDC_PROXY_PASSWORD:
        return proxyAuth;
    case IDC_PROXY_BASIC:
    case IDC_PROXY_DIGEST:
    case IDC_PROXY_NTLM:
        return proxyAuth && s.ProxyType == PROXY_KIND_HTTP;
    case IDC_GET_SYSTEM_PROXY:
        // Shipped hidden and disabled; nothing shows it.
        return false;
    default:
        return std::nullopt;
    }
}

std::vector<std::pair<int, bool>> NetworkPageEnableStates(const NetworkPageState& state) {
    static constexpr int governed[] = {
        IDC_HTTPS_SETTINGS, IDC_SERVER_USER,  IDC_SERVER_PASSWORD, IDC_SERVER_BASIC,
        IDC_SERVER_DIGEST,  IDC_SERVER_NTLM,  IDC_PROXY_HTTP,      IDC_PROXY_SOCKS5,
        IDC_PROXY_SOCKS4,   IDC_PROXY_ADDRESS, IDC_PROXY_PORT,     IDC_PROXY_AUTH,
        IDC_PROXY_USER,     IDC_PROXY_PASSWORD, IDC_PROXY_BASIC,   IDC_PROXY_DIGEST,
        IDC_PROXY_NTLM,     IDC_GET_SYSTEM_PROXY,
    };
    std::vector<std::pair<int, bool>> states;
    for (const int control : governed)
        states.emplace_back(control, *NetworkPageControlEnabled(state, control));
    return states;
}

std::optional<std::string> LookUpHostName(const std::string& address) {
    sockaddr_in socket{};
    socket.sin_family = AF_INET;
    socket.sin_addr.s_addr = ::inet_addr(address.c_str());
    char host[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&socket), sizeof socket, host, sizeof host,
                      nullptr, 0, NI_NAMEREQD) != 0)
        return std::nullopt;
    return std::string(host);
}

bool IsNumericAddress(const std::u16string& text) {
    if (text.empty() || text.size() > 16)
        return false;
    std::vector<std::u16string> parts(1);
    for (const char16_t c : text) {
        if (c == u'.')
            parts.emplace_back();
        else if (c >= u'0' && c <= u'9')
            parts.back().push_back(c);
        else
            return false;
    }
    if (parts.size() < 2 || parts.size() > 4)
        return false;
    std::vector<int> values;
    for (const std::u16string& part : parts) {
        if (part.empty() || part.size() > 3 || (part.size() > 1 && part.front() == u'0'))
            return false;
        int value = 0;
        for (const char16_t c : part)
            value = value * 10 + (c - u'0');
        if (value > 255)
            return false;
        values.push_back(value);
    }
    return values.front() != 0 && values.front() != 255 && values.back() >= 1 &&
           values.back() <= 254;
}

bool IsSameHost(const std::u16string& server, const std::u16string& proxy,
                const ReverseLookup& lookup) {
    if (server == proxy)
        return true;
    const bool serverNumeric = IsNumericAddress(server);
    const bool proxyNumeric = IsNumericAddress(proxy);
    if (!serverNumeric && !proxyNumeric)
        return false;
    if (serverNumeric != proxyNumeric) {
        const std::u16string& numeric = serverNumeric ? server : proxy;
        const std::u16string& other = serverNumeric ? proxy : server;
        const std::optional<std::string> name = lookup(ToNarrowString(numeric, CP_ACP));
        return name && EqualNoCase(ShortHostName(*name), other);
    }
    const std::optional<std::string> serverHost = lookup(ToNarrowString(server, CP_ACP));
    const std::optional<std::string> proxyHost = lookup(ToNarrowString(proxy, CP_ACP));
    return serverHost && proxyHost &&
           EqualNoCase(ShortHostName(*serverHost), ShortHostName(*proxyHost));
}

ValidationResult ValidateNetworkPage(NetworkPageState& s, const NetworkPageLabels& labels,
                                     const StringLoader& strings, const ReverseLookup& lookup) {
    if (ValidationResult failure = CheckTextLimits(
            NETWORK_PAGE_TEXT_LIMITS,
            {&s.ServerName, &s.ServerPortText, &s.ServerUser, &s.ServerPassword, &s.ProxyName,
             &s.ProxyPortText, &s.ProxyUser, &s.ProxyPassword},
            strings))
        return failure;

    s.ServerName = TrimBlanks(s.ServerName);
    s.ProxyName = TrimBlanks(s.ProxyName);
    s.ProxyUser = TrimBlanks(s.ProxyUser);
    s.ServerPortText = TrimBlanks(s.ServerPortText);
    s.ProxyPortText = TrimBlanks(s.ProxyPortText);
    s.ServerUser = TrimBlanks(s.ServerUser);
    if (s.ProxyAuthChecked == 0) {
        s.ProxyUser.clear();
        s.ProxyPassword.clear();
    }

    if (ValidationResult failure =
            CheckAddress(s.ServerName, labels.ServerAddress, IDC_SERVER_ADDRESS, strings))
        return failure;
    if (ValidationResult failure =
            CheckNumber(s.ServerPortText, s.ServerPort, PORT_RULE, labels.ServerPort, IDC_SERVER_PORT,
                        strings))
        return failure;
    if (s.ProxyEnabled != 0) {
        if (ValidationResult failure =
                CheckAddress(s.ProxyName, labels.ProxyAddress, IDC_PROXY_ADDRESS, strings))
            return failure;
        if (ValidationResult failure =
                CheckNumber(s.ProxyPortText, s.ProxyPort, PORT_RULE, labels.ProxyPort, IDC_PROXY_PORT,
                            strings))
            return failure;
        if (s.ServerPort == s.ProxyPort && IsSameHost(s.ServerName, s.ProxyName, lookup))
            return Failure(IDS_SAME_SERVER_AND_PROXY, Message(strings, IDS_SAME_SERVER_AND_PROXY),
                           IDC_SERVER_ADDRESS);
    }
    if (s.Protocol == PROTOCOL_HTTPS && s.CACertPath.empty())
        return Failure(IDS_NO_ROOT_CA, Message(strings, IDS_NO_ROOT_CA), IDC_HTTPS_SETTINGS, false);
    if (s.ServerAuth != 0 && s.ServerUser.empty())
        return Failure(IDS_EMPTY_USER, Message(strings, IDS_EMPTY_USER), IDC_SERVER_USER);
    // A proxy that is switched off is not saved, so its credentials are no
    // reason to refuse the rest.
    if (s.ProxyEnabled != 0 && s.ProxyAuthChecked != 0 && s.ProxyUser.empty())
        return Failure(IDS_EMPTY_USER, Message(strings, IDS_EMPTY_USER), IDC_PROXY_USER);
    return std::nullopt;
}

// ---- system proxy -------------------------------------------------------------

namespace {

ProxyEndpoint ParseProxyEntry(const std::string& text) {
    ProxyEndpoint entry;
    const std::size_t colon = text.find(':');
    const std::size_t blank = text.find(' ');
    if (colon == std::string::npos || (blank != std::string::npos && blank < colon))
        return entry;
    int64_t port = 0;
    for (std::size_t i = colon + 1; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        port = std::min<int64_t>(port * 10 + (text[i] - '0'), INT32_MAX);
    entry.Host = text.substr(0, colon);
    entry.Port = static_cast<int32_t>(port);
    return entry;
}

} // namespace

ProxyList ParseProxyList(const std::string& text) {
    ProxyList list;
    struct Scheme {
        const char* prefix;
        ProxyEndpoint ProxyList::*entry;
    };
    static constexpr Scheme schemes[] = {
        {"http=", &ProxyList::Http}, {"https=", &ProxyList::Https}, {"socks=", &ProxyList::Socks}};
    bool found = false;
    for (const Scheme& scheme : schemes) {
        const std::size_t at = text.find(scheme.prefix);
        if (at == std::string::npos)
            continue;
        found = true;
        list.*scheme.entry = ParseProxyEntry(text.substr(at + std::char_traits<char>::length(scheme.prefix)));
    }
    if (!found && text.find('=') == std::string::npos) {
        list.Http = ParseProxyEntry(text);
        list.Https = list.Http;
        list.Socks = list.Http;
    }
    return list;
}

void ApplySystemProxy(NetworkPageState& state, const ProxyList& list) {
    const ProxyEndpoint* chosen = nullptr;
    int type = PROXY_KIND_HTTP;
    if (!list.Http.Host.empty()) {
        chosen = &list.Http;
    } else if (!list.Https.Host.empty()) {
        chosen = &list.Https;
    } else if (!list.Socks.Host.empty()) {
        chosen = &list.Socks;
        type = PROXY_KIND_SOCKS5;
    }
    if (chosen == nullptr) {
        state.ProxyEnabled = 0;
        return;
    }
    state.ProxyName = ToWideString(chosen->Host, CP_ACP);
    state.ProxyPortText = Decimal(chosen->Port);
    state.ProxyType = type;
    state.ProxyEnabled = 1;
    state.ProxyUser.clear();
    state.ProxyPassword.clear();
}

// ---- HTTPS settings -------------------------------------------------------------

const std::vector<TextLimit> SSL_CONFIG_TEXT_LIMITS = {
    {IDC_CA_PATH, 256}, {IDC_CLIENT_CERT_PATH, 256}, {IDC_CLIENT_CERT_PASSWORD, 64}};

SslConfigState SslConfigFromPage(const NetworkPageState& page) {
    return SslConfigState{page.CACertPath, page.ClientCertPath, page.ClientCertPswd,
                          page.RequireClientCert};
}

void SslConfigToPage(const SslConfigState& ssl, NetworkPageState& page) {
    page.RequireClientCert = ssl.RequireClientCert;
    page.CACertPath = ssl.CACertPath;
    page.ClientCertPath = ssl.ClientCertPath;
    page.ClientCertPswd = ssl.ClientCertPswd;
}

bool ClientCertificateControlsEnabled(const SslConfigState& state) {
    return state.RequireClientCert != 0;
}

ValidationResult ValidateSslConfig(SslConfigState& s, const StringLoader& strings) {
    if (ValidationResult failure = CheckTextLimits(
            SSL_CONFIG_TEXT_LIMITS, {&s.CACertPath, &s.ClientCertPath, &s.ClientCertPswd}, strings))
        return failure;
    if (s.CACertPath.empty())
        return Failure(IDS_CA_PATH_BLANK, Message(strings, IDS_CA_PATH_BLANK), IDC_CA_PATH);
    if (s.RequireClientCert == 0) {
        s.ClientCertPath.clear();
        s.ClientCertPswd.clear();
        return std::nullopt;
    }
    if (s.ClientCertPath.empty())
        return Failure(IDS_CLIENT_PATH_BLANK, Message(strings, IDS_CLIENT_PATH_BLANK),
                       IDC_CLIENT_CERT_PATH);
    return std::nullopt;
}

bool BrowsedPathFits(const std::u16string& path) {
    return path.size() <= BROWSE_PATH_MAX_UNITS;
}

// ---- Advanced page ----------------------------------------------------------------

const std::vector<TextLimit> ADVANCED_PAGE_TEXT_LIMITS = {{IDC_RETRY, 7}, {IDC_TIMEOUT, 7}};

AdvancedPageState LoadAdvancedPage(const NetworkConfigRecord& network,
                                   const WorkingConfigRecord& working) {
    AdvancedPageState page;
    page.ServletPath = network.ServiceURI;
    page.LogUploadMaxInterval = working.LogUploadMaxInterval;
    page.LogUploadMaxSizeKB = working.LogUploadMaxSize / 1024;
    page.CommandInterval = working.CommandInterval;
    page.AutoUpdate = working.AutoUpdate;
    page.UpdateCheckInterval = network.UpdateCheckInterval;
    page.RetryInterval = network.WaitInterval;
    page.Timeout = network.ConnTimeOut;
    page.RetryText = Decimal(page.RetryInterval);
    page.TimeoutText = Decimal(page.Timeout);
    return page;
}

ValidationResult ValidateAdvancedPage(AdvancedPageState& s, const AdvancedPageLabels& labels,
                                      const StringLoader& strings) {
    if (ValidationResult failure =
            CheckTextLimits(ADVANCED_PAGE_TEXT_LIMITS, {&s.RetryText, &s.TimeoutText}, strings))
        return failure;
    s.RetryText = TrimBlanks(s.RetryText);
    s.TimeoutText = TrimBlanks(s.TimeoutText);
    if (ValidationResult failure = CheckNumber(s.RetryText, s.RetryInterval,
                                               {IDS_EMPTY_NUMBER, IDS_NUMBER_OUT_OF_RANGE, RETRY_MIN,
                                                RETRY_MAX, true},
                                               labels.Retry, IDC_RETRY, strings))
        return failure;
    return CheckNumber(s.TimeoutText, s.Timeout,
                       {IDS_EMPTY_NUMBER, IDS_NUMBER_OUT_OF_RANGE, TIMEOUT_MIN, TIMEOUT_MAX, true},
                       labels.Timeout, IDC_TIMEOUT, strings);
}

// ---- the sheet -------------------------------------------------------------------

NetworkConfigRecord BuildNetworkConfigRecord(const NetworkPageState& g, const AdvancedPageState& a,
                                             int32_t maxRetryTimes) {
    NetworkConfigRecord record;
    record.ServerName = g.ServerName;
    record.ServerPort = g.ServerPort;
    record.Http.AlreadyConfig = 0;
    record.Sock5.AlreadyConfig = 0;
    record.Sock4.AlreadyConfig = 0;
    if (g.ProxyEnabled != 0) {
        switch (g.ProxyType) {
        case PROXY_KIND_HTTP:
            record.Http.AlreadyConfig = 1;
            record.Http.ServerName = g.ProxyName;
            record.Http.ServerPort = g.ProxyPort;
            record.Http.ProxyUser = g.ProxyUser;
            record.Http.ProxyPassword = ToNarrowString(g.ProxyPassword, CP_ACP);
            record.Http.HTTPProxyAuthMethod = g.ProxyMethod;
            break;
        case PROXY_KIND_SOCKS5:
            record.Sock5.AlreadyConfig = 1;
            record.Sock5.ServerName = g.ProxyName;
            record.Sock5.ServerPort = g.ProxyPort;
            record.Sock5.ProxyUser = g.ProxyUser;
            record.Sock5.ProxyPassword = ToNarrowString(g.ProxyPassword, CP_ACP);
            break;
        case PROXY_KIND_SOCKS4:
            record.Sock4.AlreadyConfig = 1;
            record.Sock4.ServerName = g.ProxyName;
            record.Sock4.ServerPort = g.ProxyPort;
            break;
        default:
            break;
        }
    }
    record.IsUseHTTPAuth = g.ServerAuth != 0 ? 1 : 0;
    if (record.IsUseHTTPAuth != 0) {
        record.HTTPAuthUser = g.ServerUser;
        record.HTTPAuthPassword = ToNarrowString(g.ServerPassword, CP_ACP);
        record.ServerAuthMethod = g.ServerMethod;
    }
    record.IsUseHTTPS = g.Protocol == PROTOCOL_HTTPS ? 1 : 0;
    record.CACertPath = g.CACertPath;
    record.RequireClientCert = g.RequireClientCert;
    record.ClientCertPath = g.ClientCertPath;
    record.ClientCertPswd = ToNarrowString(g.ClientCertPswd, CP_ACP);
    record.ConnTimeOut = a.Timeout;
    record.WaitInterval = a.RetryInterval;
    record.MAXRetryTimes = maxRetryTimes;
    return record;
}

ConnectionTestSettings BuildConnectionTestSettings(const NetworkPageState& g,
                                                   const AdvancedPageState& a) {
    ConnectionTestSettings settings;
    settings.ServerName = g.ServerName;
    settings.ServerPort = g.ServerPort;
    settings.IsUseHTTPS = g.Protocol == PROTOCOL_HTTPS;
    settings.IsUseHTTPAuth = g.ServerAuth != 0;
    settings.HTTPAuthUser = g.ServerUser;
    settings.HTTPAuthPassword = g.ServerPassword;
    settings.ServerAuthMethod = g.ServerMethod;
    settings.ProxyEnabled = g.ProxyEnabled != 0;
    settings.ProxyKind = g.ProxyType;
    settings.ProxyServerName = g.ProxyName;
    settings.ProxyServerPort = g.ProxyPort;
    settings.ProxyUser = g.ProxyUser;
    settings.ProxyPassword = g.ProxyPassword;
    settings.HTTPProxyAuthMethod = g.ProxyMethod;
    settings.CACertPath = g.CACertPath;
    settings.RequireClientCert = g.RequireClientCert != 0;
    settings.ClientCertPath = g.ClientCertPath;
    settings.ClientCertPswd = g.ClientCertPswd;
    settings.ServiceURI = a.ServletPath;
    settings.ConnTimeOut = a.Timeout;
    return settings;
}

// ---- opening and OK ----------------------------------------------------------------

LoadedSettingsPages LoadSettingsPages() {
    LoadedSettingsPages pages;
    pages.WorkingConfigLoaded = LoadWorkingConfig() == CONFIG_SUCCESS;
    pages.LocalConfigLoaded = LoadLocalConfig() == CONFIG_SUCCESS;
    pages.General = LoadNetworkPage(g_networkConfig);
    pages.Advanced = LoadAdvancedPage(g_networkConfig, g_workingConfig);
    // After a failed load the record may hold a value read before the
    // failure; only a value from a sound file is worth keeping.
    pages.MaxRetryTimes = pages.LocalConfigLoaded ? g_networkConfig.MAXRetryTimes
                                                  : NetworkConfigRecord().MAXRetryTimes;
    return pages;
}

SettingsSaveResult SaveSettingsPages(const NetworkPageState& general,
                                     const AdvancedPageState& advanced, int32_t maxRetryTimes) {
    SettingsSaveResult result;
    result.Save = SaveNetworkConfig(BuildNetworkConfigRecord(general, advanced, maxRetryTimes));
    if (!result.Saved())
        return result;
    g_selfConfigChange = 1;
    result.NetConfigChange = SaveNetConfigChange(1);
    result.ToolTag = SaveToolExitTagReg(TOOL_TAG_CONFIG_SAVED);
    return result;
}
