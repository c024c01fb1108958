// The settings dialogs' rules without a window, with the program's English
// string table.

#include "ui/SettingsRules.h"

#include <functional>
#include <map>

#include "res/Resource.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

// res/strings.xml as the rules see it through the program's resources.
std::map<unsigned, std::u16string> ReadEnglishStrings() {
    const std::string xml = ReadFileBytes(fs::path(OPAL_SOURCE_DIR) / "res/strings.xml");
    std::map<unsigned, std::u16string> table;
    const std::string open = "<string id=\"";
    for (std::size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at + 1)) {
        const std::size_t idEnd = xml.find('"', at + open.size());
        const std::size_t textStart = xml.find('>', idEnd) + 1;
        std::string text = xml.substr(textStart, xml.find("</string>", textStart) - textStart);
        for (const auto& [entity, c] : std::map<std::string, std::string>{
                 {"&#10;", "\n"}, {"&quot;", "\""}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}}) {
            for (std::size_t e = text.find(entity); e != std::string::npos; e = text.find(entity))
                text.replace(e, entity.size(), c);
        }
        table[std::stoul(xml.substr(at + open.size(), idEnd - at - open.size()))] =
            std::u16string(text.begin(), text.end());
    }
    return table;
}

std::u16string English(unsigned id) {
    static const std::map<unsigned, std::u16string> table = ReadEnglishStrings();
    const auto it = table.find(id);
    return it != table.end() ? it->second : std::u16string();
}

const StringLoader kStrings = English;
const NetworkPageLabels kLabels{u"Server address:", u"Server port:", u"Proxy address:",
                                u"Proxy port:"};
const AdvancedPageLabels kAdvancedLabels{u"Retry after (30 - 3600):",
                                         u"Timeout after (300 - 3600):"};

std::string Utf8(const std::u16string& text) {
    return std::string(text.begin(), text.end());
}

// A page that passes every check: a server, no proxy, HTTP.
NetworkPageState ValidPage() {
    NetworkPageState s;
    s.ServerName = u"kestrel.example.com";
    s.ServerPortText = u"8080";
    s.ProxyEnabled = 0;
    return s;
}

NetworkPageState WithProxy(std::u16string name, std::u16string port) {
    NetworkPageState s = ValidPage();
    s.ProxyEnabled = 1;
    s.ProxyName = std::move(name);
    s.ProxyPortText = std::move(port);
    return s;
}

} // namespace

TEST(SettingsRules, FormatMessageFillsLabelOnceAndNumbersInTurn) {
    EXPECT_EQ(FormatMessage(u"[%s] a %d b %d %s", u"L", {30, 3600}), u"[L] a 30 b 3600 %s");
    // A label is inserted as it stands, never read as a format.
    EXPECT_EQ(FormatMessage(u"[%s] 100%", u"%d%s", {7}), u"[%d%s] 100%");
    EXPECT_EQ(TrimBlanks(u" \t 45 \r\n"), u"45");
    EXPECT_EQ(TrimBlanks(u"   "), u"");
}

TEST(SettingsRules, GeneralPageChecksInOrderWithExactTextsAndFocus) {
    const std::u16string illegal =
        u"[Server address:] cannot contain illegal character(s):\ncannot accept: "
        u"~`!'@# $%^&*()+=|\\{}[]:;\"<,>?/";
    struct Case {
        const char* name;
        std::function<void(NetworkPageState&)> edit;
        unsigned id; // 0: passes
        std::u16string text;
        int focus;
    };
    const std::vector<Case> cases = {
        {"valid", [](NetworkPageState&) {}, 0, {}, 0},
        {"blank inside address", [](NetworkPageState& s) { s.ServerName = u"kestrel host"; },
         7004, illegal, IDC_SERVER_ADDRESS},
        {"underscore allowed", [](NetworkPageState& s) { s.ServerName = u"kestrel_host"; }, 0, {}, 0},
        {"blanks only", [](NetworkPageState& s) { s.ServerName = u"   "; }, 7000,
         u"[Server address:] cannot accept an empty string. Enter a valid IP Address or Domain Name.",
         IDC_SERVER_ADDRESS},
        {"address before port", [](NetworkPageState& s) { s.ServerName.clear(); s.ServerPortText.clear(); },
         7000,
         u"[Server address:] cannot accept an empty string. Enter a valid IP Address or Domain Name.",
         IDC_SERVER_ADDRESS},
        {"port 080", [](NetworkPageState& s) { s.ServerPortText = u"080"; }, 0, {}, 0},
        {"port 0", [](NetworkPageState& s) { s.ServerPortText = u"0"; }, 7001,
         u"[Server port:] cannot accept an invalid number. Enter a number between 1 and 65535.",
         IDC_SERVER_PORT},
        {"port 65536", [](NetworkPageState& s) { s.ServerPortText = u"65536"; }, 7001,
         u"[Server port:] cannot accept an invalid number. Enter a number between 1 and 65535.",
         IDC_SERVER_PORT},
        {"port 65535", [](NetworkPageState& s) { s.ServerPortText = u"65535"; }, 0, {}, 0},
        {"port with a letter", [](NetworkPageState& s) { s.ServerPortText = u"80a"; }, 7023,
         u"[Server port:] cannot contain non-digit character(s). Enter a valid number.",
         IDC_SERVER_PORT},
        {"empty port", [](NetworkPageState& s) { s.ServerPortText = u" "; }, 7021,
         u"[Server port:] cannot enter an empty port number. Enter a valid port number.",
         IDC_SERVER_PORT},
        {"too long address", [](NetworkPageState& s) { s.ServerName = std::u16string(257, u'a'); },
         61701, u"Enter no more than 256 characters.", IDC_SERVER_ADDRESS},
        {"proxy address illegal", [](NetworkPageState& s) { s = WithProxy(u"proxy/x", u"3128"); },
         7004, u"[Proxy address:] cannot contain illegal character(s):\ncannot accept: "
               u"~`!'@# $%^&*()+=|\\{}[]:;\"<,>?/",
         IDC_PROXY_ADDRESS},
        {"proxy port empty", [](NetworkPageState& s) { s = WithProxy(u"proxy", u""); }, 7021,
         u"[Proxy port:] cannot enter an empty port number. Enter a valid port number.",
         IDC_PROXY_PORT},
        {"same host and port",
         [](NetworkPageState& s) {
             s = WithProxy(u"localhost", u"80");
             s.ServerName = u"localhost";
             s.ServerPortText = u"80";
         },
         7002,
         u"[Kestrel Server] and [Proxy server] cannot have the same configuration. Enter two "
         u"different server names or ports.",
         IDC_SERVER_ADDRESS},
        {"same host, other port",
         [](NetworkPageState& s) {
             s = WithProxy(u"localhost", u"8080");
             s.ServerName = u"localhost";
             s.ServerPortText = u"80";
         },
         0, {}, 0},
        {"proxy off: its fields unchecked", [](NetworkPageState& s) { s.ProxyName = u"a b"; }, 0, {}, 0},
        {"HTTPS without root CA", [](NetworkPageState& s) { s.Protocol = PROTOCOL_HTTPS; }, 7032,
         u"The root CA certificate has not been specified. Please click Settings to specify a root "
         u"CA certificate.",
         IDC_HTTPS_SETTINGS},
        {"server user empty", [](NetworkPageState& s) { s.ServerAuth = 1; s.ServerUser = u" "; },
         7036, u"The user name field for authenticated access is empty. Please type a valid user name.",
         IDC_SERVER_USER},
        {"proxy user empty",
         [](NetworkPageState& s) {
             s = WithProxy(u"proxy", u"3128");
             s.ProxyAuthChecked = 1;
         },
         7036, u"The user name field for authenticated access is empty. Please type a valid user name.",
         IDC_PROXY_USER},
        {"proxy switched off keeps an empty proxy user from mattering",
         [](NetworkPageState& s) { s.ProxyAuthChecked = 1; }, 0, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NetworkPageState state = ValidPage();
        c.edit(state);
        const ValidationResult result = ValidateNetworkPage(state, kLabels, kStrings);
        if (c.id == 0) {
            EXPECT_FALSE(result) << Utf8(result ? result->text : u"");
            continue;
        }
        ASSERT_TRUE(result);
        EXPECT_EQ(result->messageId, c.id);
        EXPECT_EQ(Utf8(result->text), Utf8(c.text));
        EXPECT_EQ(result->focusControl, c.focus);
        EXPECT_EQ(result->selectText, c.focus != IDC_HTTPS_SETTINGS);
    }
}

TEST(SettingsRules, GeneralPageTrimsAndDropsUncheckedProxyCredentials) {
    NetworkPageState state = WithProxy(u" proxy ", u"3128 ");
    state.ServerName = u"  kestrel ";
    state.ServerPortText = u"080";
    state.ProxyUser = u"typed";
    state.ProxyPassword = u" secret ";
    state.ServerPassword = u" kept as typed ";
    const ValidationResult result = ValidateNetworkPage(state, kLabels, kStrings);
    ASSERT_FALSE(result) << result->messageId << " " << result->focusControl;
    EXPECT_EQ(state.ServerName, u"kestrel");
    EXPECT_EQ(state.ServerPort, 80);
    EXPECT_EQ(state.ProxyName, u"proxy");
    EXPECT_EQ(state.ProxyPort, 3128);
    EXPECT_EQ(state.ProxyUser, u"");
    EXPECT_EQ(state.ProxyPassword, u"");
    EXPECT_EQ(state.ServerPassword, u" kept as typed ");
}

TEST(SettingsRules, NumericAddressesAndSameHost) {
    const std::vector<std::pair<std::u16string, bool>> numeric = {
        {u"127.0.0.1", true},   {u"10.1", true},         {u"192.168.1.254", true},
        {u"0.1.2.3", false},    {u"255.1.1.1", false},   {u"1.2.3.0", false},
        {u"1.2.3.255", false},  {u"01.2.3.4", false},    {u"1.2.3.256", false},
        {u"1..2", false},       {u"1", false},           {u"1.2.3.4.5", false},
        {u"a.b", false},        {u"1.2.3.4 ", false},
    };
    for (const auto& [text, expected] : numeric)
        EXPECT_EQ(IsNumericAddress(text), expected) << Utf8(text);

    // Real reverse lookups: loopback is named in /etc/hosts.
    EXPECT_TRUE(IsSameHost(u"127.0.0.1", u"localhost"));
    EXPECT_TRUE(IsSameHost(u"LocalHost", u"127.0.0.1"));
    EXPECT_TRUE(IsSameHost(u"127.0.0.1", u"127.0.0.1"));
    EXPECT_FALSE(IsSameHost(u"kestrel", u"proxy"));
    EXPECT_FALSE(IsSameHost(u"kestrel", u"Kestrel")); // neither numeric: exact only

    // The name is cut at its first dot; a failed lookup means different hosts.
    const ReverseLookup named = [](const std::string& a) -> std::optional<std::string> {
        if (a == "10.0.0.1")
            return "Proxy.corp.example";
        if (a == "10.0.0.2")
            return "proxy.other.example";
        return std::nullopt;
    };
    EXPECT_TRUE(IsSameHost(u"PROXY", u"10.0.0.1", named));
    EXPECT_FALSE(IsSameHost(u"proxy.corp.example", u"10.0.0.1", named));
    EXPECT_TRUE(IsSameHost(u"10.0.0.1", u"10.0.0.2", named));
    EXPECT_FALSE(IsSameHost(u"10.0.0.1", u"10.0.0.3", named));
    EXPECT_FALSE(IsSameHost(u"kestrel", u"10.0.0.3", named));
}

TEST(SettingsRules, AdvancedPageRangesTrimmingAndOrder) {
    const std::u16string retryRange =
        u"[Retry after (30 - 3600):] cannot accept an invalid number. Enter a number between 30 and 3600.";
    struct Case {
        std::u16string retry, timeout;
        unsigned id;
        std::u16string text;
        int focus;
    };
    const std::vector<Case> cases = {
        {u"30", u"300", 0, {}, 0},
        {u"3600", u"3600", 0, {}, 0},
        {u"29", u"600", 7047, retryRange, IDC_RETRY},
        {u"3601", u"600", 7047, retryRange, IDC_RETRY},
        {u" 45 ", u"600", 0, {}, 0},
        {u"4 5", u"600", 7023,
         u"[Retry after (30 - 3600):] cannot contain non-digit character(s). Enter a valid number.",
         IDC_RETRY},
        {u"60", u"299", 7047,
         u"[Timeout after (300 - 3600):] cannot accept an invalid number. Enter a number between 300 "
         u"and 3600.",
         IDC_TIMEOUT},
        {u"60", u"", 7046,
         u"[Timeout after (300 - 3600):] cannot enter an empty number. Enter a valid number.",
         IDC_TIMEOUT},
        // The time-out is not looked at once the retry has failed.
        {u"", u"", 7046,
         u"[Retry after (30 - 3600):] cannot enter an empty number. Enter a valid number.", IDC_RETRY},
        {u"12345678", u"600", 61701, u"Enter no more than 7 characters.", IDC_RETRY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.retry + u"/" + c.timeout));
        AdvancedPageState state;
        state.RetryText = c.retry;
        state.TimeoutText = c.timeout;
        const ValidationResult result = ValidateAdvancedPage(state, kAdvancedLabels, kStrings);
        if (c.id == 0) {
            EXPECT_FALSE(result);
            EXPECT_EQ(state.RetryInterval, std::stoi(Utf8(TrimBlanks(c.retry))));
            continue;
        }
        ASSERT_TRUE(result);
        EXPECT_EQ(result->messageId, c.id);
        EXPECT_EQ(Utf8(result->text), Utf8(c.text));
        EXPECT_EQ(result->focusControl, c.focus);
    }
}

TEST(SettingsRules, HttpsSettingsChecks) {
    struct Case {
        SslConfigState state;
        unsigned id;
        int focus;
        SslConfigState after;
    };
    const std::vector<Case> cases = {
        // No root CA is refused even when no client certificate is required.
        {{u"", u"", u"", 0}, 7034, IDC_CA_PATH, {}},
        {{u"/ca.der", u"/c.p12", u"pw", 0}, 0, 0, {u"/ca.der", u"", u"", 0}},
        {{u"/ca.der", u"", u"pw", 1}, 7035, IDC_CLIENT_CERT_PATH, {}},
        {{u"/ca.der", u"/c.p12", u"", 1}, 0, 0, {u"/ca.der", u"/c.p12", u"", 1}},
        {{u"/ca.der", u"/c.p12", std::u16string(65, u'x'), 1}, 61701, IDC_CLIENT_CERT_PASSWORD, {}},
        {{std::u16string(256, u'a'), u"", u"", 0}, 0, 0, {std::u16string(256, u'a'), u"", u"", 0}},
    };
    for (const Case& c : cases) {
        SslConfigState state = c.state;
        const ValidationResult result = ValidateSslConfig(state, kStrings);
        if (c.id == 0) {
            EXPECT_FALSE(result);
            EXPECT_EQ(state, c.after);
            continue;
        }
        ASSERT_TRUE(result);
        EXPECT_EQ(result->messageId, c.id);
        EXPECT_EQ(Utf8(result->text), c.id == 61701 ? "Enter no more than 64 characters."
                                                    : Utf8(English(c.id)));
        EXPECT_EQ(result->focusControl, c.focus);
    }
    EXPECT_TRUE(BrowsedPathFits(std::u16string(128, u'p')));
    EXPECT_FALSE(BrowsedPathFits(std::u16string(129, u'p')));
}

TEST(SettingsRules, LoadingTakesHttpThenSocks4ThenSocks5) {
    NetworkConfigRecord config;
    config.ServerName = u"kestrel";
    config.ServerPort = 443;
    config.Http = {1, u"http-proxy", 3128, u"huser", "hpass", 2};
    config.Sock4 = {1, u"socks4", 1080};
    config.Sock5 = {1, u"socks5", 1081, u"suser", "spass"};
    config.IsUseHTTPAuth = 0;
    config.HTTPAuthUser = u"stored";
    config.HTTPAuthPassword = "stored";

    NetworkPageState page = LoadNetworkPage(config);
    EXPECT_EQ(page.ProxyType, PROXY_KIND_HTTP);
    EXPECT_EQ(page.ProxyName, u"http-proxy");
    EXPECT_EQ(page.ProxyPortText, u"3128");
    EXPECT_EQ(page.ProxyPassword, u"hpass");
    EXPECT_EQ(page.ProxyMethod, 2);
    EXPECT_EQ(page.ProxyAuthChecked, 1);
    EXPECT_EQ(page.ServerPortText, u"443");
    // Authentication off: the stored credentials are not shown.
    EXPECT_EQ(page.ServerUser, u"");
    EXPECT_EQ(page.ServerPassword, u"");

    config.Http.AlreadyConfig = 0;
    page = LoadNetworkPage(config);
    EXPECT_EQ(page.ProxyType, PROXY_KIND_SOCKS4);
    EXPECT_EQ(page.ProxyName, u"socks4");
    EXPECT_EQ(page.ProxyUser, u"");
    EXPECT_EQ(page.ProxyAuthChecked, 0);

    config.Sock4.AlreadyConfig = 0;
    config.Sock5.ProxyUser.clear();
    page = LoadNetworkPage(config);
    EXPECT_EQ(page.ProxyType, PROXY_KIND_SOCKS5);
    // No user: the password goes too.
    EXPECT_EQ(page.ProxyPassword, u"");

    config.Sock5.AlreadyConfig = 0;
    page = LoadNetworkPage(config);
    EXPECT_EQ(page.ProxyEnabled, 0);
    EXPECT_EQ(page.ProxyPort, 0);
    EXPECT_EQ(page.ProxyPortText, u"");

    WorkingConfigRecord working;
    working.LogUploadMaxSize = 204800;
    EXPECT_EQ(LoadAdvancedPage(config, working).LogUploadMaxSizeKB, 200);
    working.LogUploadMaxSize = 1500;
    EXPECT_EQ(LoadAdvancedPage(config, working).LogUploadMaxSizeKB, 1);
    EXPECT_EQ(LoadAdvancedPage(config, working).RetryText, u"60");
}

TEST(SettingsRules, EnableStatesFollowTheClicks) {
    NetworkConfigRecord config;
    config.Http = {1, u"proxy", 3128, u"user", "pw", 0};
    NetworkPageState s = LoadNetworkPage(config);
    auto enabled = [&s](int id) { return *NetworkPageControlEnabled(s, id); };
    auto click = [&s](int id) {
        // What the controls hold after the click, then the click's own effect.
        if (id == IDC_PROXY_ENABLED)
            s.ProxyEnabled = !s.ProxyEnabled;
        if (id == IDC_PROXY_AUTH)
            s.ProxyAuthChecked = !s.ProxyAuthChecked;
        if (id == IDC_SERVER_AUTH)
            s.ServerAuth = !s.ServerAuth;
        ApplyNetworkPageClick(s, id);
    };

    EXPECT_TRUE(enabled(IDC_PROXY_AUTH));
    EXPECT_TRUE(enabled(IDC_PROXY_USER));
    EXPECT_TRUE(enabled(IDC_PROXY_DIGEST));
    EXPECT_FALSE(enabled(IDC_HTTPS_SETTINGS));
    EXPECT_FALSE(enabled(IDC_SERVER_USER));
    EXPECT_FALSE(enabled(IDC_GET_SYSTEM_PROXY));

    click(IDC_PROXY_SOCKS5);
    EXPECT_TRUE(enabled(IDC_PROXY_PASSWORD));
    EXPECT_FALSE(enabled(IDC_PROXY_BASIC));

    click(IDC_PROXY_SOCKS4);
    EXPECT_EQ(s.ProxyAuthChecked, 0);
    for (int id : {IDC_PROXY_AUTH, IDC_PROXY_USER, IDC_PROXY_PASSWORD, IDC_PROXY_BASIC})
        EXPECT_FALSE(enabled(id)) << id;

    // Back to HTTP: the check box is offered again, but stays unchecked.
    click(IDC_PROXY_HTTP);
    EXPECT_TRUE(enabled(IDC_PROXY_AUTH));
    EXPECT_EQ(s.ProxyAuthChecked, 0);
    EXPECT_FALSE(enabled(IDC_PROXY_USER));

    click(IDC_PROXY_AUTH);
    EXPECT_TRUE(enabled(IDC_PROXY_NTLM));
    click(IDC_PROXY_ENABLED);
    for (int id : {IDC_PROXY_ADDRESS, IDC_PROXY_PORT, IDC_PROXY_SOCKS4, IDC_PROXY_AUTH,
                   IDC_PROXY_USER, IDC_PROXY_NTLM})
        EXPECT_FALSE(enabled(id)) << id;

    click(IDC_PROTOCOL_HTTPS);
    EXPECT_TRUE(enabled(IDC_HTTPS_SETTINGS));
    click(IDC_PROTOCOL_HTTP);
    EXPECT_FALSE(enabled(IDC_HTTPS_SETTINGS));
    click(IDC_SERVER_AUTH);
    for (int id : {IDC_SERVER_USER, IDC_SERVER_PASSWORD, IDC_SERVER_BASIC, IDC_SERVER_NTLM})
        EXPECT_TRUE(enabled(id)) << id;
    EXPECT_EQ(NetworkPageEnableStates(s).size(), 18u);
}

TEST(SettingsRules, SaveMappingFillsOnlyTheChosenProxy) {
    NetworkPageState g = WithProxy(u"socks", u"1080");
    g.ProxyType = PROXY_KIND_SOCKS4;
    g.ProxyUser = u"typed";
    g.ProxyPassword = u"typed";
    g.ServerAuth = 0;
    g.ServerUser = u"ignored";
    g.Protocol = PROTOCOL_HTTPS;
    g.CACertPath = u"/ca.der";
    ASSERT_FALSE(ValidateNetworkPage(g, kLabels, kStrings));
    g.ProxyUser = u"typed"; // even typed after the check, SOCKS 4 takes none
    AdvancedPageState a;
    a.RetryText = u"90";
    a.TimeoutText = u"900";
    ASSERT_FALSE(ValidateAdvancedPage(a, kAdvancedLabels, kStrings));

    NetworkConfigRecord r = BuildNetworkConfigRecord(g, a, 5);
    EXPECT_EQ(r.Sock4, (Sock4ProxyConfig{1, u"socks", 1080}));
    EXPECT_EQ(r.Sock5, Sock5ProxyConfig{});
    EXPECT_EQ(r.Http, HttpProxyConfig{});
    EXPECT_EQ(r.HTTPAuthUser, u"");
    EXPECT_EQ(r.IsUseHTTPS, 1);
    EXPECT_EQ(r.CACertPath, u"/ca.der");
    EXPECT_EQ(r.WaitInterval, 90);
    EXPECT_EQ(r.ConnTimeOut, 900);
    EXPECT_EQ(r.MAXRetryTimes, 5);
    // What no page shows keeps its fresh default.
    EXPECT_EQ(r.ServiceURI, NetworkConfigRecord().ServiceURI);

    g.ProxyType = PROXY_KIND_HTTP;
    g.ProxyPassword = u"pw";
    g.ProxyMethod = 1;
    g.ServerAuth = 1;
    g.ServerUser = u"agent";
    g.ServerPassword = u"srv";
    g.ServerMethod = 2;
    r = BuildNetworkConfigRecord(g, a, 3);
    EXPECT_EQ(r.Http, (HttpProxyConfig{1, u"socks", 1080, u"typed", "pw", 1}));
    EXPECT_EQ(r.Sock4.AlreadyConfig, 0);
    EXPECT_EQ(r.HTTPAuthUser, u"agent");
    EXPECT_EQ(r.HTTPAuthPassword, "srv");
    EXPECT_EQ(r.ServerAuthMethod, 2);

    const ConnectionTestSettings t = BuildConnectionTestSettings(g, a);
    EXPECT_EQ(t.ProxyKind, PROXY_KIND_HTTP);
    EXPECT_EQ(t.ProxyServerPort, 1080);
    EXPECT_EQ(t.ServiceURI, a.ServletPath);
    EXPECT_EQ(t.ConnTimeOut, 900);
}

TEST(SettingsRules, ProxyListParser) {
    const std::vector<std::pair<std::string, ProxyList>> cases = {
        {"host:8080", {{"host", 8080}, {"host", 8080}, {"host", 8080}}},
        {"http=a:1;https=b:2", {{"a", 1}, {"b", 2}, {}}},
        {"socks=c:3", {{}, {}, {"c", 3}}},
        {"a b:1", {}},
        {"nocolon", {}},
        {"https=b:2x;http=a:", {{"a", 0}, {"b", 2}, {}}},
        {"ftp=f:21", {}},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(ParseProxyList(text), expected) << text;

    NetworkPageState page = ValidPage();
    page.ProxyUser = u"old";
    ApplySystemProxy(page, ParseProxyList("socks=c:3"));
    EXPECT_EQ(page.ProxyEnabled, 1);
    EXPECT_EQ(page.ProxyType, PROXY_KIND_SOCKS5);
    EXPECT_EQ(page.ProxyPortText, u"3");
    EXPECT_EQ(page.ProxyUser, u"");
    ApplySystemProxy(page, ParseProxyList("nocolon"));
    EXPECT_EQ(page.ProxyEnabled, 0);
}
