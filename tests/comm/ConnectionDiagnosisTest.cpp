#include "comm/ConnectionDiagnosis.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "comm/DiagnosisRules.h"
#include "comm/Easycurl.h"
#include "common/TextEscape.h"
#include "tests/comm/CommTestHarness.h"
#include "tests/comm/StringTableFile.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using commtest::MicroSocks;
using commtest::RecordedRequest;
using commtest::ServletOptions;
using commtest::ServletServer;
using commtest::TestCertificates;
using commtest::TinyProxy;
using Kind = DiagnosisStepKind;
using Verdict = DiagnosisVerdict;

constexpr char kGuid[] = "3D2C1B0A-5E4F-4A6B-8C7D-9E0F1A2B3C4D";
constexpr char16_t kServicePath[] = u"/opalCommunicatorServer/DataPortServlet";

// Distinctive secrets: none of them may show up in a report.
constexpr char kCertPassword[] = "DiagCert-Pangolin-3301";
constexpr char kServerUser[] = "agent";
constexpr char kServerPassword[] = "DiagSrv-Okapi-7719";
constexpr char kProxyUser[] = "relay";
constexpr char kProxyPassword[] = "DiagPxy-Tapir-4402";
constexpr char kWrongPassword[] = "DiagWrong-Quoll-8850";

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string En(const DiagnosisText& text) {
    return RenderDiagnosisText(text, commtest::EnglishStrings());
}

std::string Base64(const std::string& text) {
    std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                       reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    out.resize(static_cast<std::size_t>(length));
    return out;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

std::vector<Kind> KindsOf(const ConnectionDiagnosis& d) {
    std::vector<Kind> kinds;
    for (const DiagnosisStep& step : d.Steps)
        kinds.push_back(step.Kind);
    return kinds;
}

// What a server saw of one request, without what differs by nature from
// one run to the next (a Digest nonce, the peer's port).
std::string Fingerprint(const RecordedRequest& request) {
    std::string text = request.Method + " " + request.Path + " " + request.PeerAddress + " " +
                       (request.Authorized ? "authorized" : "refused") + "\n" + request.Body;
    for (const auto& [name, value] : request.Headers)
        text += "\n" + name + (name == "Authorization" ? "" : ": " + value);
    return text;
}

// What the server recorded, once it has finished writing: a failed TLS
// handshake is recorded a moment after the client has given up.
std::vector<RecordedRequest> SettledRequests(const ServletServer& server) {
    std::vector<RecordedRequest> requests = server.Requests();
    for (int quiet = 0, rounds = 0; quiet < 5 && rounds < 100; ++rounds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::vector<RecordedRequest> now = server.Requests();
        quiet = now.size() == requests.size() ? quiet + 1 : 0;
        requests = std::move(now);
    }
    return requests;
}

// The peers one case runs against; each case starts what it needs in a
// directory of its own, and they all stop when the case ends.
struct Peers {
    fs::path Work;
    const TestCertificates* Certs = nullptr;
    ServletServer Server;
    TinyProxy Proxy;
    MicroSocks Socks;
    commtest::NginxClientCertServer Nginx;
    bool HasServer = false;

    ConnectionTestSettings Plain(uint16_t port) const {
        return commtest::LoopbackSettings(port, kServicePath, 15);
    }
    uint16_t StartServer(ServletOptions options) {
        EXPECT_TRUE(Server.Start(Work / "servlet", options));
        HasServer = true;
        return Server.Port();
    }
    ServletOptions Tls(const char* certificate = "server") const {
        ServletOptions options;
        options.Tls = Certs;
        options.Certificate = certificate;
        return options;
    }
    void UseHttps(ConnectionTestSettings& s, const char* caFile) const {
        s.IsUseHTTPS = true;
        s.CACertPath = Wide(Certs->File(caFile).string());
    }
    void UseHttpProxy(ConnectionTestSettings& s, const std::string& user,
                      const std::string& password) {
        EXPECT_TRUE(Proxy.Start(Work, kProxyUser, kProxyPassword));
        s.ProxyEnabled = true;
        s.ProxyKind = PROXY_KIND_HTTP;
        s.ProxyServerName = u"127.0.0.1";
        s.ProxyServerPort = Proxy.Port();
        s.ProxyUser = Wide(user);
        s.ProxyPassword = Wide(password);
    }
};

struct Case {
    const char* name;
    std::function<ConnectionTestSettings(Peers&)> setUp;
    Kind failedStep; // Kind::Resolve with `passes` for the one success
    bool passes;
    uint32_t textId;
    std::vector<std::string> hintParts;
    std::vector<std::string> detailParts; // of the failing (or, on success, any) step
    // Whether libcurl's error is the same from one run to the next: not
    // where the server's refusal races with the client's request.
    bool steadyResult = true;
    const char* rule = ""; // the failing step's stable key, where it has one
};

class ConnectionDiagnosisTest : public testsupport::AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        m_log.emplace(m_temp.Path() / "setting.log");
        commtest::WriteSysConfig(Home(), kGuid, 3);
    }
    void TearDown() override {
        m_log.reset();
        AgentHomeTest::TearDown();
    }

    const TestCertificates& Certs() {
        return commtest::MadeOnce(m_certs, m_temp.Path() / "certs", kCertPassword);
    }

    std::unique_ptr<Peers> NewPeers(const char* name) {
        auto peers = std::make_unique<Peers>();
        peers->Work = m_temp.Path() / name;
        fs::create_directories(peers->Work);
        peers->Certs = &Certs();
        return peers;
    }

    static std::vector<Case> Cases();

    std::optional<testsupport::LogCapture> m_log;
    std::optional<TestCertificates> m_certs;
};

ConnectionTestSettings WithServerLogin(ConnectionTestSettings s, int32_t method) {
    s.IsUseHTTPAuth = true;
    s.HTTPAuthUser = Wide(kServerUser);
    s.HTTPAuthPassword = Wide(kServerPassword);
    s.ServerAuthMethod = method;
    return s;
}

std::vector<Case> ConnectionDiagnosisTest::Cases() {
    return {
        {"unknown host",
         [](Peers& p) {
             ConnectionTestSettings s = p.Plain(8080);
             s.ServerName = u"no-such-host.invalid";
             return s;
         },
         Kind::Resolve,
         false,
         IDS_CONNTEST_UNABLE_TO_CONNECT,
         {"cannot find the address of no-such-host.invalid", "correct Server address on the "
                                                             "General page"},
         {"The name no-such-host.invalid was not found.", "libcurl: Could not resolve host"}},
        {"connection refused",
         [](Peers& p) { return p.Plain(commtest::FindFreePort()); },
         Kind::Connect,
         false,
         IDS_CONNTEST_UNABLE_TO_CONNECT,
         {"Nothing accepts connections at 127.0.0.1:", "Server address and Server port on the "
                                                       "General page"},
         {"System error: Connection refused.", "libcurl: Failed to connect to 127.0.0.1"}},
        {"proxy requiring authentication, none configured",
         [](Peers& p) {
             ConnectionTestSettings s = p.Plain(p.StartServer({}));
             p.UseHttpProxy(s, "", "");
             return s;
         },
         Kind::Authentication,
         false,
         IDS_CONNTEST_UNABLE_TO_CONNECT,
         {"The proxy answered 407 and asks for a user name and password",
          "User authentication under Proxy server on the General page"},
         {"HTTP/1.0 407 Proxy Authentication Required", "Proxy-Authenticate: Basic",
          "Configured: no user authentication", "Offered: Basic"}},
        {"proxy with the wrong password, over https",
         [](Peers& p) {
             ConnectionTestSettings s = p.Plain(p.StartServer(p.Tls()));
             p.UseHttps(s, "ca.pem");
             p.UseHttpProxy(s, kProxyUser, kWrongPassword);
             return s;
         },
         Kind::Authentication,
         false,
         IDS_CONNTEST_UNABLE_TO_CONNECT,
         {"The proxy answered 401 and refused the user name and password",
          "correct User name and Password under User authentication under Proxy server"},
         {"Sent Proxy-Authorization: Basic (credentials withheld)",
          "Configured: Basic as user 'relay'"}},
        {"SOCKS 5 proxy with the wrong password",
         [](Peers& p) {
             ConnectionTestSettings s = p.Plain(p.StartServer({}));
             EXPECT_TRUE(p.Socks.Start(p.Work, kProxyUser, kProxyPassword));
             s.ProxyEnabled = true;
             s.ProxyKind = PROXY_KIND_SOCKS5;
             s.ProxyServerName = u"127.0.0.1";
             s.ProxyServerPort = p.Socks.Port();
             s.ProxyUser = Wide(kProxyUser);
             s.ProxyPassword = Wide(kWrongPassword);
             return s;
         },
         Kind::Authentication,
         false,
         IDS_CONNTEST_UNABLE_TO_CONNECT,
         {"The SOCKS 5 proxy refused the user name and password"},
         {"libcurl: User was rejected by the SOCKS5 server",
          "Configured: user 'relay' with a password"}},
        {"server certificate from another CA",
         [](Peers& p) {
             ConnectionTestSettings s = p.Plain(p.StartServer(p.Tls()));
             p.UseHttps(s, "other-ca.pem");
             return s;
         },
         Kind::Tls,
         false,
         IDS_CONNTEST_UNABLE_TO_CONNECT,
         {"does not chain to the configured root CA (it was issued by CN=Opal Test CA)",
          "Root CA certificate path in the HTTPS settings"},
         {"Server certificate: CN=127.0.0.1", "Configured root CA: CN=Unrelated CA",
          "Not accepted: unable to get local issuer certificate."}},
        {"expired server certificate",
         [](Peers& p) {
             ConnectionTestSettings s = p.Plain(p.StartServer(p.Tls("server-expired")));
             p.UseHttps(s, "ca.pem");
             return s;
         },
         Kind::Tls,
         false,
         IDS_CONNTEST_UNABLE_TO_CONNECT,
         {"The server's certificate expired on 2020-02-01 00:00:00 UTC"},
         {"valid from 2020-01-01 00:00:00 UTC to 2020-02-01 00:00:00 UTC (expired)",
          "Protocol: TLSv1.3", "Not accepted: certificate has expired."}},
        {"https to a plain http server",
         [](Peers& p) {
             ConnectionTestSettings s = p.Plain(p.StartServer({}));
             p.UseHttps(s, "ca.pem");
             return s;
         },
         Kind::Tls,
         false,
         IDS_CONNTEST_UNABLE_TO_CONNECT,
         {"does not answer in TLS: choose HTTP as Protocol"},
         {}},
        // TLS 1.3 refuses after the handshake, and the client may notice
        // while it sends; TLS 1.2 refuses within the handshake.
        {"server requiring a client certificate, none configured",
         [](Peers& p) {
             ServletOptions options = p.Tls();
             options.RequireClientCert = true;
             ConnectionTestSettings s = p.Plain(p.StartServer(options));
             p.UseHttps(s, "ca.pem");
             return s;
         },
         Kind::Tls,
         false,
         IDS_CONNTEST_UNABLE_TO_CONNECT,
         {"The server requires a client certificate: check Web server requires client "
          "certificates"},
         {"Protocol: TLSv1.3", "The server asked for a client certificate."},
         false},
        {"server requiring a client certificate, none configured, TLS 1.2",
         [](Peers& p) {
             ServletOptions options = p.Tls();
             options.RequireClientCert = true;
             options.Tls12 = true;
             ConnectionTestSettings s = p.Plain(p.StartServer(options));
             p.UseHttps(s, "ca.pem");
             return s;
         },
         Kind::Tls,
         false,
         IDS_CONNTEST_UNABLE_TO_CONNECT,
         {"The server requires a client certificate: check Web server requires client "
          "certificates"},
         {"The server sent: TLSv1.2 (IN), TLS alert, handshake failure",
          "The server asked for a client certificate."}},
        {"root CA file that cannot be read",
         [](Peers& p) {
             ConnectionTestSettings s = p.Plain(8080);
             p.UseHttps(s, "ca.pem");
             s.CACertPath = Wide((p.Work / "missing-ca.pem").string());
             return s;
         },
         Kind::Tls,
         false,
         IDS_CONNTEST_UNABLE_TO_CONNECT,
         {"The root CA certificate file cannot be read"},
         {"Result 60."}},
        {"401 offering Digest while Basic is configured",
         [](Peers& p) {
             ServletOptions options;
             options.Auth = "digest";
             options.User = kServerUser;
             options.Password = kServerPassword;
             return WithServerLogin(p.Plain(p.StartServer(options)), AUTH_METHOD_BASIC);
         },
         Kind::Authentication,
         false,
         IDS_CONNTEST_UNABLE_TO_CONNECT,
         {"The server answered 401 and offers Digest while Basic is configured: choose Digest "
          "as Method under User authentication under Kestrel server on the General page."},
         {"WWW-Authenticate: Digest realm=\"opal-test\"", "Offered: Digest",
          "Sent Authorization: Basic (credentials withheld)"}},
        {"certificate of the right CA for another host name",
         [](Peers& p) {
             ConnectionTestSettings s = p.Plain(p.StartServer(p.Tls("server-otherhost")));
             p.UseHttps(s, "ca.pem");
             return s;
         },
         Kind::Tls,
         false,
         IDS_CONNTEST_UNABLE_TO_CONNECT,
         {"The server's certificate is for agent-server.example, 192.0.2.7, not for 127.0.0.1 "
          "as typed in Server address",
          "Server address on the General page"},
         {"Host name check: the certificate is for agent-server.example, 192.0.2.7; Server "
          "address is 127.0.0.1."},
         true,
         "host-name-mismatch"},
        {"nginx asking for a client certificate, none configured, answering 400",
         [](Peers& p) {
             EXPECT_TRUE(p.Nginx.Start(p.Work, *p.Certs));
             ConnectionTestSettings s = p.Plain(p.Nginx.Port());
             p.UseHttps(s, "ca.pem");
             return s;
         },
         Kind::HttpStatus,
         false,
         IDS_CONNTEST_UNABLE_TO_CONNECT,
         {"The server requires a client certificate and answered 400 without one",
          "Client certificate in the HTTPS settings"},
         {"Answer: HTTP/1.1 400 Bad Request",
          "The server asked for a client certificate during the TLS handshake."},
         true,
         "client-certificate-refused"},
        {"nginx asking for a client certificate, one of its CA configured",
         [](Peers& p) {
             EXPECT_TRUE(p.Nginx.Start(p.Work, *p.Certs));
             ConnectionTestSettings s = p.Plain(p.Nginx.Port());
             p.UseHttps(s, "ca.pem");
             s.RequireClientCert = true;
             s.ClientCertPath = Wide(p.Certs->File("client.p12").string());
             return s;
         },
         // Through TLS and HTTP; nginx is no servlet.
         Kind::ServletAnswer,
         false,
         IDS_CONNTEST_SERVER_ERROR,
         {"The answer is not the agent servlet's"},
         {"Too short"}},
        {"answer far beyond the servlet's size",
         [](Peers& p) {
             ServletOptions options;
             options.Body = "bytes";
             options.Length = 3 * 1024 * 1024;
             return p.Plain(p.StartServer(options));
         },
         Kind::ServletAnswer,
         false,
         IDS_CONNTEST_UNABLE_TO_CONNECT,
         {"The answer is far longer than the servlet's"},
         {"The answer went on beyond 262144 bytes; the transfer was ended there."},
         true,
         "answer-too-long"},
        {"Server header carrying terminal escape sequences",
         [](Peers& p) {
             ServletOptions options;
             options.Status = 503;
             options.ServerHeader = "evil\x1b]0;owned\x07\x1b[2J";
             return p.Plain(p.StartServer(options));
         },
         Kind::HttpStatus,
         false,
         IDS_CONNTEST_UNABLE_TO_CONNECT,
         {"The server answered 503"},
         {"Answered by: evil\\x1b]0;owned\\x07\\x1b[2J"}},
        {"HTTP 500",
         [](Peers& p) {
             ServletOptions options;
             options.Status = 500;
             return p.Plain(p.StartServer(options));
         },
         Kind::HttpStatus,
         false,
         IDS_CONNTEST_UNABLE_TO_CONNECT,
         {"The server answered 500", "contact the server's administrator"},
         {"Answer: HTTP/1.1 500 Internal Server Error", "Answered by: OpalServlet/1.0"}},
        {"empty body",
         [](Peers& p) {
             ServletOptions options;
             options.Body = "empty";
             return p.Plain(p.StartServer(options));
         },
         Kind::ServletAnswer,
         false,
         IDS_CONNTEST_SERVER_ERROR,
         {"The answer is not the agent servlet's", "Server address and Server port"},
         {"Length: 0 bytes", "Too short: the servlet's answer has at least 94 bytes."}},
        {"server result code 7",
         [](Peers& p) {
             ServletOptions options;
             options.Code = 7;
             return p.Plain(p.StartServer(options));
         },
         Kind::ServletAnswer,
         false,
         IDS_CONNTEST_SERVER_ERROR,
         {"The servlet answered with result code 0x7"},
         {"Length: 94 bytes", "Result code: 0x7"}},
        {"https through an authenticating proxy, with Digest at the server",
         [](Peers& p) {
             ServletOptions options = p.Tls();
             options.Auth = "digest";
             options.User = kServerUser;
             options.Password = kServerPassword;
             ConnectionTestSettings s =
                 WithServerLogin(p.Plain(p.StartServer(options)), AUTH_METHOD_DIGEST);
             p.UseHttps(s, "ca.der");
             p.UseHttpProxy(s, kProxyUser, kProxyPassword);
             return s;
         },
         Kind::Resolve,
         true,
         IDS_CONNTEST_SUCCESS,
         {},
         {"CONNECT tunnel established, response 200", "Protocol: TLSv1.3",
          "Server certificate: CN=127.0.0.1", "  issued by CN=Opal Test CA",
          "Configured root CA: CN=Opal Test CA",
          "The server certificate chains to the configured root CA.",
          "Sent Proxy-Authorization: Basic (credentials withheld)",
          "Sent Authorization: Digest (credentials withheld)",
          "The proxy accepted the login of user 'relay'.",
          "The server accepted Digest as user 'agent'.", "Answer: HTTP/1.1 200 OK",
          "Result code: 0x0"}},
    };
}

bool SameOutcome(const ConnectionTestOutcome& a, const ConnectionTestOutcome& b,
                 bool steadyResult) {
    return a.CaptionId == b.CaptionId && a.TextId == b.TextId && a.Success == b.Success &&
           a.InitializeResult == b.InitializeResult &&
           (!steadyResult || a.TransferResult == b.TransferResult) && a.HttpCode == b.HttpCode &&
           a.ServerCode == b.ServerCode && a.Cancelled == b.Cancelled;
}

TEST_F(ConnectionDiagnosisTest, RealFailuresNameTheirStepAndTheSettingToChange) {
    const std::vector<std::string> secrets = {
        kCertPassword,
        kServerPassword,
        kProxyPassword,
        kWrongPassword,
        Base64(std::string(kProxyUser) + ":" + kWrongPassword),
        Base64(std::string(kProxyUser) + ":" + kProxyPassword),
        Base64(std::string(kServerUser) + ":" + kServerPassword)};
    int index = 0;
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<Peers> peers = NewPeers(("case-" + std::to_string(index++)).c_str());
        ConnectionTestSettings settings = c.setUp(*peers);
        // Every case carries a certificate password too, used or not.
        settings.ClientCertPswd = Wide(kCertPassword);

        ConnectionDiagnosis diagnosis;
        const ConnectionTestOutcome outcome = RunConnectionTest(settings, nullptr, &diagnosis);
        const std::string report = diagnosis.ReportText(commtest::EnglishStrings());
        SCOPED_TRACE(report);

        EXPECT_EQ(outcome.TextId, c.textId);
        EXPECT_EQ(outcome.Success, c.passes);
        std::vector<Kind> kinds = {Kind::Resolve, Kind::Connect};
        if (settings.IsUseHTTPS)
            kinds.push_back(Kind::Tls);
        kinds.insert(kinds.end(), {Kind::Authentication, Kind::HttpStatus, Kind::ServletAnswer});
        EXPECT_EQ(KindsOf(diagnosis), kinds);

        const DiagnosisStep* failure = diagnosis.FirstFailure();
        if (c.passes) {
            EXPECT_EQ(failure, nullptr);
            std::string details;
            for (const DiagnosisStep& step : diagnosis.Steps) {
                EXPECT_EQ(step.Verdict, Verdict::Passed) << En(step.Title);
                EXPECT_TRUE(step.Hint.empty()) << En(step.Title);
                details += Joined(step.Details);
            }
            for (const std::string& part : c.detailParts)
                EXPECT_TRUE(Contains(details, part)) << part;
        } else {
            ASSERT_NE(failure, nullptr);
            EXPECT_EQ(failure->Kind, c.failedStep);
            for (const std::string& part : c.hintParts)
                EXPECT_TRUE(Contains(En(failure->Hint), part)) << part;
            for (const std::string& part : c.detailParts)
                EXPECT_TRUE(Contains(Joined(failure->Details), part)) << part;
            // Steps before the failing one passed, or were never reached (a
            // proxy that wants a login before the TLS step); all after it
            // are skipped, and only the failing one has a hint.
            bool after = false;
            for (const DiagnosisStep& step : diagnosis.Steps) {
                if (&step == failure) {
                    after = true;
                    continue;
                }
                EXPECT_NE(step.Verdict, Verdict::Failed) << En(step.Title);
                if (after) {
                    EXPECT_EQ(step.Verdict, Verdict::Skipped) << En(step.Title);
                }
                EXPECT_TRUE(step.Hint.empty()) << En(step.Title);
            }
            EXPECT_TRUE(Contains(report, "[failed] " + En(failure->Title) + "\n"));
            EXPECT_TRUE(Contains(report, "    What to do: " + En(failure->Hint) + "\n"));
            if (*c.rule != '\0') {
                EXPECT_EQ(failure->Hint.Key, c.rule);
            }
            EXPECT_FALSE(failure->Hint.Key.empty());
        }
        // Whatever a peer sent, the report holds no control byte.
        EXPECT_FALSE(HasControlChars(report));
        for (const std::string& secret : secrets)
            EXPECT_FALSE(Contains(report, secret)) << secret;
    }
}

TEST_F(ConnectionDiagnosisTest, ObservingChangesNeitherTheRequestNorTheOutcome) {
    int index = 0;
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<Peers> peers = NewPeers(("case-" + std::to_string(index++)).c_str());
        const ConnectionTestSettings settings = c.setUp(*peers);

        const ConnectionTestOutcome plain = RunConnectionTest(settings);
        const std::size_t plainRequests =
            peers->HasServer ? SettledRequests(peers->Server).size() : 0;
        ConnectionDiagnosis diagnosis;
        const ConnectionTestOutcome observed = RunConnectionTest(settings, nullptr, &diagnosis);

        EXPECT_TRUE(SameOutcome(plain, observed, c.steadyResult))
            << "text " << plain.TextId << "/" << observed.TextId << ", transfer "
            << plain.TransferResult << "/" << observed.TransferResult << ", HTTP " << plain.HttpCode
            << "/" << observed.HttpCode << ", server code " << plain.ServerCode << "/"
            << observed.ServerCode;
        EXPECT_EQ(diagnosis.FirstFailure() == nullptr, observed.Success);
        if (!peers->HasServer)
            continue;
        // The server saw the same requests from both runs.
        const std::vector<RecordedRequest> requests = SettledRequests(peers->Server);
        ASSERT_EQ(requests.size(), 2 * plainRequests);
        for (std::size_t i = 0; i < plainRequests; ++i)
            EXPECT_EQ(Fingerprint(requests[i]), Fingerprint(requests[plainRequests + i])) << i;
    }
}

TEST_F(ConnectionDiagnosisTest, CancelledRunReportsNoFailure) {
    std::unique_ptr<Peers> peers = NewPeers("cancelled");
    ServletOptions slow;
    slow.DelaySeconds = 30;
    const ConnectionTestSettings settings = peers->Plain(peers->StartServer(slow));
    const std::atomic<bool> raised{true};
    ConnectionDiagnosis diagnosis;
    const ConnectionTestOutcome outcome = RunConnectionTest(settings, &raised, &diagnosis);
    EXPECT_TRUE(outcome.Cancelled);
    EXPECT_EQ(diagnosis.FirstFailure(), nullptr);
    ASSERT_FALSE(diagnosis.Steps.empty());
    for (const DiagnosisStep& step : diagnosis.Steps)
        EXPECT_EQ(step.Verdict, Verdict::Skipped) << En(step.Title);
    EXPECT_TRUE(Contains(diagnosis.ReportText(commtest::EnglishStrings()),
                         "Cancelled before the request was sent."));
}

TEST(ConnectionDiagnosisText, NamesAndReportLayout) {
    const std::pair<Kind, const char*> kinds[] = {{Kind::Resolve, "resolve"},
                                                  {Kind::Connect, "connect"},
                                                  {Kind::Tls, "tls"},
                                                  {Kind::Authentication, "authentication"},
                                                  {Kind::HttpStatus, "http-status"},
                                                  {Kind::ServletAnswer, "answer"}};
    for (const auto& [kind, name] : kinds)
        EXPECT_STREQ(DiagnosisStepKindName(kind), name);
    const std::pair<Verdict, const char*> verdicts[] = {
        {Verdict::Passed, "passed"}, {Verdict::Failed, "failed"}, {Verdict::Skipped, "skipped"}};
    for (const auto& [verdict, name] : verdicts)
        EXPECT_STREQ(DiagnosisVerdictName(verdict), name);

    // The frame and the titles from the English table, two hints of the
    // test's own: one with a '%' in its argument, one missing from it.
    const DiagnosisStrings strings = [](unsigned id) -> std::u16string {
        if (id == 9001)
            return u"Do this with %1, not %2.";
        return commtest::EnglishStrings()(id);
    };
    ConnectionDiagnosis d;
    EXPECT_EQ(d.FirstFailure(), nullptr);
    d.Steps = {
        {Kind::Resolve,
         Verdict::Passed,
         {IDS_DIAG_RESOLVE_SERVER, "resolve-server-name", {"s"}},
         {"a", "b"},
         {}},
        {Kind::Connect,
         Verdict::Failed,
         {IDS_DIAG_CONNECT_SERVER, "connect-server", {"s:1"}},
         {"c"},
         {9001, "do-this", {"%2 100%", "\x1b[2J"}}},
        {Kind::HttpStatus, Verdict::Failed, {9002, "later", {}}, {}, {9003, "not-this", {"x"}}},
        {Kind::ServletAnswer,
         Verdict::Skipped,
         {IDS_DIAG_ANSWER, "answer", {}},
         {"Not reached."},
         {}}};
    EXPECT_EQ(d.FirstFailure(), &d.Steps[1]);
    EXPECT_EQ(d.ReportText(strings), "Connection test failed at: Connect to the server s:1\n"
                                     "\n[passed] Resolve the server name s\n    a\n    b\n"
                                     "\n[failed] Connect to the server s:1\n    c\n"
                                     "    What to do: Do this with %2 100%, not \\x1b[2J.\n"
                                     "\n[failed] later\n    What to do: not-this x\n"
                                     "\n[skipped] The servlet's answer\n    Not reached.\n");
    d.Steps = {{Kind::Resolve, Verdict::Passed, {IDS_DIAG_ANSWER, "answer", {}}, {}, {}}};
    EXPECT_EQ(d.ReportText(strings), "Connection test: every step passed\n\n[passed] The "
                                     "servlet's answer\n");
    // Japanese frame and title around the same steps.
    EXPECT_EQ(d.ReportText(commtest::JapaneseStrings()),
              "接続テスト: すべての手順に成功しました\n\n[成功] サーブレットの応答\n");
}

} // namespace
