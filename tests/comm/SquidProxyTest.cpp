// The connection test through squid, which demands a proxy login and offers
// Basic, Digest and NTLM: the configured method logs in, a wrong password or
// none is diagnosed at the proxy, the route is the configured one whatever
// the environment's proxy variables say, and no password, Basic token,
// Digest response or NTLM message shows in the report or the log.
// squid, the servlets and the certificates start once for the executable.

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "comm/ConnectionDiagnosis.h"
#include "common/TextEscape.h"
#include "tests/comm/CommTestHarness.h"
#include "tests/comm/StringTableFile.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using commtest::RecordedRequest;
using commtest::ServletOptions;
using commtest::ServletServer;
using commtest::SquidProxy;
using commtest::TestCertificates;

constexpr char kGuid[] = "5A4B3C2D-1E0F-4A9B-8C7D-6E5F4A3B2C1D";
constexpr char16_t kServicePath[] = u"/opalCommunicatorServer/DataPortServlet";
constexpr char kUser[] = "branch";
constexpr char kPassword[] = "SquidPass-Narwhal-5150";
constexpr char kWrongPassword[] = "SquidWrong-Axolotl-2718";
constexpr char kCertPassword[] = "SquidCert-Dugong-8080";

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string Base64(const std::string& text) {
    std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                       reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    out.resize(static_cast<std::size_t>(length));
    return out;
}

// Everything that would give a login away: the passwords, the Basic
// tokens, a Digest response and the NTLM messages (base64 of "NTLMSSP").
std::vector<std::string> Giveaways() {
    return {kPassword,
            kWrongPassword,
            kCertPassword,
            Base64(std::string(kUser) + ":" + kPassword),
            Base64(std::string(kUser) + ":" + kWrongPassword),
            "response=\"",
            "TlRMTVNT"};
}

struct Shared {
    testsupport::TempDir Dir;
    std::optional<TestCertificates> Certs;
    SquidProxy Squid;
    ServletServer Http;
    ServletServer Https;
    bool Ready = false;
};

Shared* g_shared = nullptr;

// The proxy variables of the user's environment, for one case.
class ProxyEnvironment {
public:
    explicit ProxyEnvironment(const std::vector<std::pair<const char*, std::string>>& values) {
        for (const char* name : kNames)
            ::unsetenv(name);
        for (const auto& [name, value] : values)
            ::setenv(name, value.c_str(), 1);
    }
    ~ProxyEnvironment() {
        for (const char* name : kNames)
            ::unsetenv(name);
    }

private:
    static constexpr const char* kNames[] = {"http_proxy",  "https_proxy", "all_proxy", "no_proxy",
                                             "HTTPS_PROXY", "ALL_PROXY",   "NO_PROXY"};
};

class SquidProxyTest : public testsupport::AgentHomeTest {
protected:
    static void SetUpTestSuite() {
        g_shared = new Shared;
        Shared& s = *g_shared;
        s.Certs = TestCertificates::Make(s.Dir.Path() / "certs", kCertPassword);
        if (!s.Certs)
            return;
        ServletOptions tls;
        tls.Tls = &*s.Certs;
        s.Ready = s.Squid.Start(s.Dir.Path(), kUser, kPassword) &&
                  s.Http.Start(s.Dir.Path() / "http", ServletOptions()) &&
                  s.Https.Start(s.Dir.Path() / "https", tls);
    }
    static void TearDownTestSuite() {
        delete g_shared;
        g_shared = nullptr;
    }

    void SetUp() override {
        AgentHomeTest::SetUp();
        ASSERT_TRUE(g_shared->Ready) << g_shared->Squid.Logs();
        m_log.emplace(m_temp.Path() / "setting.log");
        commtest::WriteSysConfig(Home(), kGuid, 3);
    }
    void TearDown() override {
        m_log.reset();
        AgentHomeTest::TearDown();
    }

    std::optional<testsupport::LogCapture> m_log;
};

struct Case {
    const char* name;
    bool https;
    bool proxy;
    int32_t method; // 0 Basic, 1 Digest, 2 NTLM; -1 no login
    const char* password;
    std::vector<std::pair<const char*, std::string>> environment;
    bool passes;
    const char* rule;       // of the failing step
    const char* hintPart;   // of its English hint
    const char* peer;       // the address the servlet sees, when it passes
    const char* detailPart; // somewhere in the report
};

std::vector<Case> Cases(uint16_t closedPort) {
    const std::string closed = "http://127.0.0.1:" + std::to_string(closedPort);
    return {
        {"Basic",
         false,
         true,
         0,
         kPassword,
         {},
         true,
         "",
         "",
         SquidProxy::kOutgoingAddress,
         "Sent Proxy-Authorization: Basic (credentials withheld)"},
        {"Digest",
         false,
         true,
         1,
         kPassword,
         {},
         true,
         "",
         "",
         SquidProxy::kOutgoingAddress,
         "Sent Proxy-Authorization: Digest (credentials withheld)"},
        {"NTLM handshake",
         false,
         true,
         2,
         kPassword,
         {},
         true,
         "",
         "",
         SquidProxy::kOutgoingAddress,
         "Sent Proxy-Authorization: NTLM (credentials withheld)"},
        {"Digest through the tunnel",
         true,
         true,
         1,
         kPassword,
         {},
         true,
         "",
         "",
         SquidProxy::kOutgoingAddress,
         "CONNECT tunnel established"},
        {"Basic, wrong password",
         false,
         true,
         0,
         kWrongPassword,
         {},
         false,
         "proxy-login-refused",
         "The proxy answered 407 and refused the user name and password",
         "",
         ""},
        {"Digest, wrong password",
         false,
         true,
         1,
         kWrongPassword,
         {},
         false,
         "proxy-login-refused",
         "The proxy answered 407 and refused",
         "",
         ""},
        {"no login configured",
         false,
         true,
         -1,
         "",
         {},
         false,
         "proxy-login-required",
         "asks for a user name and password",
         "",
         "Offered: "},
        {"environment proxies elsewhere, no_proxy naming the server",
         false,
         true,
         0,
         kPassword,
         {{"http_proxy", closed},
          {"https_proxy", closed},
          {"all_proxy", closed},
          {"no_proxy", "127.0.0.1"}},
         true,
         "",
         "",
         SquidProxy::kOutgoingAddress,
         "Connect to the HTTP proxy 127.0.0.1:"},
        {"environment proxies, none configured",
         false,
         false,
         -1,
         "",
         {{"http_proxy", closed}, {"HTTPS_PROXY", closed}, {"ALL_PROXY", closed}},
         true,
         "",
         "",
         "127.0.0.1",
         "Connect to the server 127.0.0.1:"},
    };
}

TEST_F(SquidProxyTest, LoginsRoutesAndNothingGivenAway) {
    const uint16_t closedPort = commtest::FindFreePort();
    for (const Case& c : Cases(closedPort)) {
        SCOPED_TRACE(c.name);
        ServletServer& servlet = c.https ? g_shared->Https : g_shared->Http;
        ConnectionTestSettings s = commtest::LoopbackSettings(servlet.Port(), kServicePath, 15);
        if (c.https) {
            s.IsUseHTTPS = true;
            s.CACertPath = Wide(g_shared->Certs->File("ca.pem").string());
        }
        if (c.proxy) {
            s.ProxyEnabled = true;
            s.ProxyKind = PROXY_KIND_HTTP;
            s.ProxyServerName = u"127.0.0.1";
            s.ProxyServerPort = g_shared->Squid.Port();
            if (c.method >= 0) {
                s.ProxyUser = Wide(kUser);
                s.ProxyPassword = Wide(c.password);
                s.HTTPProxyAuthMethod = c.method;
            }
        }
        s.ClientCertPswd = Wide(kCertPassword);
        const std::size_t before = servlet.Requests().size();

        ConnectionDiagnosis diagnosis;
        ConnectionTestOutcome outcome;
        {
            ProxyEnvironment environment(c.environment);
            outcome = RunConnectionTest(s, nullptr, &diagnosis);
        }
        const std::string report = diagnosis.ReportText(commtest::EnglishStrings());
        SCOPED_TRACE(report);
        EXPECT_EQ(outcome.Success, c.passes);
        EXPECT_TRUE(Contains(report, c.detailPart));
        const std::vector<RecordedRequest> requests = servlet.Requests();
        if (c.passes) {
            EXPECT_EQ(diagnosis.FirstFailure(), nullptr);
            ASSERT_GT(requests.size(), before);
            EXPECT_EQ(requests.back().PeerAddress, c.peer);
        } else {
            EXPECT_EQ(requests.size(), before);
            const DiagnosisStep* failure = diagnosis.FirstFailure();
            ASSERT_NE(failure, nullptr);
            EXPECT_EQ(failure->Kind, DiagnosisStepKind::Authentication);
            EXPECT_EQ(failure->Hint.Key, c.rule);
            EXPECT_TRUE(Contains(RenderDiagnosisText(failure->Hint, commtest::EnglishStrings()),
                                 c.hintPart));
        }
        const std::string japanese = diagnosis.ReportText(commtest::JapaneseStrings());
        for (const std::string& giveaway : Giveaways()) {
            EXPECT_FALSE(Contains(report, giveaway)) << giveaway;
            EXPECT_FALSE(Contains(japanese, giveaway)) << giveaway;
            EXPECT_FALSE(Contains(m_log->Text(), giveaway)) << giveaway;
        }
        EXPECT_FALSE(HasControlChars(report));
    }
    // squid's own logs name the user, never the password.
    const std::string logs = g_shared->Squid.Logs();
    EXPECT_TRUE(Contains(logs, kUser));
    EXPECT_FALSE(Contains(logs, kPassword));
    EXPECT_FALSE(Contains(logs, kWrongPassword));
}

} // namespace
