#include "comm/ConfigureAgent4VSM.h"

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "comm/Easycurl.h"
#include "comm/Packet.h"
#include "tests/comm/CommTestHarness.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using commtest::DanteProxy;
using commtest::MicroSocks;
using commtest::ReadText;
using commtest::RecordedRequest;
using commtest::ServletOptions;
using commtest::ServletServer;
using commtest::TestCertificates;
using commtest::TinyProxy;
using testsupport::AgentHomeTest;
using testsupport::LogCapture;

constexpr char kGuid[] = "6B1F0E2D-93C4-4A57-B8E6-0D2C4F6A8B10";
constexpr int kPluginType = 3;
constexpr char16_t kServicePath[] = u"/opalCommunicatorServer/DataPortServlet";
constexpr char kServicePathNarrow[] = "/opalCommunicatorServer/DataPortServlet";

// Distinctive passwords: none of them may ever show up in the log or in a
// PEM file in clear.
constexpr char kCertPassword[] = "CertPw-Quokka-4471";
constexpr char kServerPassword[] = "SrvPw-Narwhal-9032";
constexpr char kProxyPassword[] = "PxyPw-Axolotl-5518";

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string ExpectedRequestBody() {
    PacketHeader header;
    InitPacketHeader(header);
    header.PluginType = kPluginType;
    header.Code = 50;
    std::memcpy(header.AgentGUID, kGuid, 37);
    uint8_t wire[PACKET_HEADER_SIZE];
    BuildPacketHeader(header, wire);
    return std::string(reinterpret_cast<const char*>(wire), sizeof(wire));
}

std::string Base64(const std::string& text) {
    std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                       reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    out.resize(static_cast<std::size_t>(length));
    return out;
}

class ConnectionTest : public AgentHomeTest {
protected:
    void SetUp() override {
        AgentHomeTest::SetUp();
        m_log.emplace(m_temp.Path() / "setting.log");
        commtest::WriteSysConfig(Home(), kGuid, kPluginType);
    }
    void TearDown() override {
        m_log.reset();
        AgentHomeTest::TearDown();
    }

    const TestCertificates& Certs() {
        return commtest::MadeOnce(m_certs, m_temp.Path() / "certs", kCertPassword);
    }

    ConnectionTestSettings Settings(uint16_t port) const {
        return commtest::LoopbackSettings(port, kServicePath, 15);
    }
    void UseHttps(ConnectionTestSettings& s, const char* caFile) {
        s.IsUseHTTPS = true;
        s.CACertPath = ToWide(Certs().File(caFile).string());
    }
    void UseClientCert(ConnectionTestSettings& s, const char* file,
                       const std::string& password = kCertPassword) {
        s.RequireClientCert = true;
        s.ClientCertPath = ToWide(Certs().File(file).string());
        s.ClientCertPswd = ToWide(password);
    }
    static std::u16string ToWide(const std::string& text) {
        return std::u16string(text.begin(), text.end());
    }

    std::string Log() const { return m_log->Text(); }

    static void ExpectSuccess(const ConnectionTestOutcome& outcome) {
        EXPECT_TRUE(outcome.Success);
        EXPECT_EQ(outcome.CaptionId, 7009u);
        EXPECT_EQ(outcome.TextId, 7020u);
    }
    static void ExpectUnableToConnect(const ConnectionTestOutcome& outcome) {
        EXPECT_FALSE(outcome.Success);
        EXPECT_EQ(outcome.CaptionId, 7010u);
        EXPECT_EQ(outcome.TextId, 7019u);
    }
    static void ExpectServerError(const ConnectionTestOutcome& outcome) {
        EXPECT_FALSE(outcome.Success);
        EXPECT_EQ(outcome.CaptionId, 7010u);
        EXPECT_EQ(outcome.TextId, 7052u);
    }
    // The last request the server let through carried exactly our packet.
    static void ExpectTestPacket(const std::vector<RecordedRequest>& requests) {
        ASSERT_FALSE(requests.empty());
        const RecordedRequest& last = requests.back();
        EXPECT_EQ(last.Method, "POST");
        EXPECT_EQ(last.Path, kServicePathNarrow);
        EXPECT_EQ(last.Body, ExpectedRequestBody());
        EXPECT_TRUE(last.Authorized);
    }

    std::optional<LogCapture> m_log;
    std::optional<TestCertificates> m_certs;
};

TEST_F(ConnectionTest, AnswersDecideTheMessage) {
    struct Case {
        const char* name;
        int status;
        const char* body;
        uint32_t code;
        int length;
        uint32_t text;
        const char* logLine;
    };
    const Case cases[] = {
        {"result code 0", 200, "framed", 0, 94, 7020, nullptr},
        {"result code 0, long answer", 200, "framed", 0, 20000, 7020, nullptr},
        {"result code 7", 200, "framed", 7, 94, 7052,
         "Server error code is 0x7. [ConfigureAgent4VSM.cpp|"},
        {"empty body", 200, "empty", 0, 0, 7052, "Response content length is wrong. ["},
        {"93 bytes", 200, "bytes", 0, 93, 7052, "Response content length is wrong. ["},
        {"HTTP 500", 500, "framed", 0, 94, 7019,
         "Failed to do HTTP request. LibCurl Error code=0, HTTP code = 500. ["},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServletServer server;
        ServletOptions options;
        options.Status = c.status;
        options.Body = c.body;
        options.Code = c.code;
        options.Length = c.length;
        const fs::path work = m_temp.Path() / c.name;
        fs::create_directories(work);
        ASSERT_TRUE(server.Start(work, options));

        const ConnectionTestOutcome outcome = RunConnectionTest(Settings(server.Port()));
        EXPECT_EQ(outcome.TextId, c.text);
        EXPECT_EQ(outcome.CaptionId, c.text == 7020 ? 7009u : 7010u);
        EXPECT_EQ(outcome.HttpCode, c.status);
        if (c.logLine != nullptr) {
            EXPECT_TRUE(Contains(Log(), c.logLine)) << Log();
        }
        ExpectTestPacket(server.Requests());
        EXPECT_FALSE(server.Requests().back().Header("Authorization"));
    }
}

TEST_F(ConnectionTest, FailedTransfersShowUnableToConnect) {
    // Nothing listens: refused at once.
    ConnectionTestOutcome refused = RunConnectionTest(Settings(commtest::FindFreePort()));
    ExpectUnableToConnect(refused);
    EXPECT_EQ(refused.TransferResult, 7);
    const std::string log = Log();
    const auto shortLine = log.find("Response content length is wrong. [");
    const auto failLine =
        log.find("Failed to do HTTP request. LibCurl Error code=7, HTTP code = 100. [");
    ASSERT_NE(shortLine, std::string::npos);
    ASSERT_NE(failLine, std::string::npos);
    EXPECT_LT(shortLine, failLine);

    // A server that does not answer within the configured time-out.
    ServletServer slow;
    ServletOptions options;
    options.DelaySeconds = 10;
    ASSERT_TRUE(slow.Start(m_temp.Path(), options));
    ConnectionTestSettings settings = Settings(slow.Port());
    settings.ConnTimeOut = 1;
    const auto start = std::chrono::steady_clock::now();
    const ConnectionTestOutcome timedOut = RunConnectionTest(settings);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ExpectUnableToConnect(timedOut);
    EXPECT_EQ(timedOut.TransferResult, 28); // operation timed out
}

TEST_F(ConnectionTest, ServerAuthenticationMethodsReachTheServer) {
    struct Case {
        const char* name;
        const char* serverAuth;
        int32_t method;
        std::u16string user;
        std::string userNarrow;
        const char* password;
        uint32_t text;
        const char* headerPrefix;
    };
    const Case cases[] = {
        {"basic", "basic", 0, u"agent", "agent", kServerPassword, 7020, "Basic "},
        {"method 3 is basic", "basic", 3, u"agent", "agent", kServerPassword, 7020, "Basic "},
        {"method -1 is basic", "basic", -1, u"agent", "agent", kServerPassword, 7020, "Basic "},
        {"non-ASCII user", "basic", 0, u"J\u00fcrgen", "J\xc3\xbcrgen", kServerPassword, 7020,
         "Basic "},
        {"digest", "digest", 1, u"agent", "agent", kServerPassword, 7020, "Digest "},
        {"wrong password", "basic", 0, u"agent", "agent", "not-it", 7019, "Basic "},
        // The test server speaks no NTLM: the first message is all it sees.
        {"ntlm", "basic", 2, u"agent", "agent", kServerPassword, 7019, "NTLM "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServletServer server;
        ServletOptions options;
        options.Auth = c.serverAuth;
        options.User = c.userNarrow;
        options.Password = kServerPassword;
        const fs::path work = m_temp.Path() / c.name;
        fs::create_directories(work);
        ASSERT_TRUE(server.Start(work, options));

        ConnectionTestSettings settings = Settings(server.Port());
        settings.IsUseHTTPAuth = true;
        settings.HTTPAuthUser = c.user;
        settings.HTTPAuthPassword =
            std::u16string(c.password, c.password + std::strlen(c.password));
        settings.ServerAuthMethod = c.method;
        const ConnectionTestOutcome outcome = RunConnectionTest(settings);
        EXPECT_EQ(outcome.TextId, c.text);

        const auto requests = server.Requests();
        ASSERT_FALSE(requests.empty());
        const auto authorization = requests.back().Header("Authorization");
        ASSERT_TRUE(authorization);
        EXPECT_EQ(authorization->rfind(c.headerPrefix, 0), 0u) << *authorization;
        if (std::string(c.headerPrefix) == "Basic ") {
            EXPECT_EQ(*authorization, "Basic " + Base64(c.userNarrow + ":" + c.password));
        }
        if (c.text == 7020)
            ExpectTestPacket(requests);
    }
}

TEST_F(ConnectionTest, AuthenticationOffSendsNoCredentialsEvenWhenTyped) {
    ServletServer server;
    ASSERT_TRUE(server.Start(m_temp.Path(), ServletOptions{}));
    ConnectionTestSettings settings = Settings(server.Port());
    settings.IsUseHTTPAuth = false;
    settings.HTTPAuthUser = u"agent";
    settings.HTTPAuthPassword = u"typed-but-off";
    ExpectSuccess(RunConnectionTest(settings));
    EXPECT_FALSE(server.Requests().back().Header("Authorization"));
}

TEST_F(ConnectionTest, HttpsWithTheRootCaInEitherForm) {
    const fs::path converted = Home() / "ZQCAPEM.cer";
    for (const char* ca : {"ca.pem", "ca.der"}) {
        SCOPED_TRACE(ca);
        ServletServer server;
        ServletOptions options;
        options.Tls = &Certs();
        const fs::path work = m_temp.Path() / ca;
        fs::create_directories(work);
        ASSERT_TRUE(server.Start(work, options));
        ConnectionTestSettings settings = Settings(server.Port());
        UseHttps(settings, ca);
        ExpectSuccess(RunConnectionTest(settings));
        ExpectTestPacket(server.Requests());
        // Only the DER form needs a PEM copy.
        EXPECT_EQ(fs::exists(converted), std::string(ca) == "ca.der");
    }
    EXPECT_EQ(ReadText(converted), ReadText(Certs().File("ca.pem")));
    EXPECT_TRUE(Contains(Log(), "m_pszURL = https://127.0.0.1:"));
}

TEST_F(ConnectionTest, HttpsConfigurationStepsRunInOrder) {
    ServletServer server;
    ServletOptions options;
    options.Tls = &Certs();
    options.RequireClientCert = true;
    ASSERT_TRUE(server.Start(m_temp.Path(), options));
    TinyProxy proxy;
    ASSERT_TRUE(proxy.Start(m_temp.Path()));

    ConnectionTestSettings settings = Settings(server.Port());
    settings.ConnTimeOut = 17;
    UseHttps(settings, "ca.der");
    UseClientCert(settings, "client.p12");
    settings.ProxyEnabled = true;
    settings.ProxyServerName = u"127.0.0.1";
    settings.ProxyServerPort = proxy.Port();
    ExpectSuccess(RunConnectionTest(settings));

    const std::string log = Log();
    std::size_t at = 0;
    for (const char* line :
         {"InitializeHTTP: begin. [", "SetTimeOut(17), [",
          "CCommunicateWithServ::InitializeHTTP: config SSL. [", "SetVerifyCA(), [",
          "(0) = SetVerifyCA(), [", "SetVerifyHost(), [", "(0) = SetVerifyHost(), [", "SetCAInfo(",
          "CCommunicateWithServ::InitializeHTTP: config client certificate. [", "pszClientCert(",
          "pszProxy(127.0.0.1), uProxyPort(", "(0) = SetProxyInfo(), [",
          "pszURL(/opalCommunicatorServer", "(0) = SetServerInfo(), [",
          "(0) = curl_easy_setopt(CURLOPT_POSTFIELDS), ["}) {
        const auto found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << log;
        at = found;
    }
    // Through the proxy's tunnel, from the proxy's own address.
    EXPECT_EQ(server.Requests().back().PeerAddress, TinyProxy::kOutgoingAddress);
}

TEST_F(ConnectionTest, CertificateProblemsShowUnableToConnect) {
    struct Case {
        const char* name;
        const char* ca;
        const char* clientCert; // nullptr: none configured
        std::string password;
        int32_t initializeResult;
        int32_t transferResult;
        const char* logLine;
    };
    const Case cases[] = {
        {"unreadable CA", "no-such-ca.der", nullptr, "", 60, 0,
         "Failed to set CA. LibCurl Error code=60. ["},
        {"server not under the CA", "other-ca.pem", nullptr, "", 0, 60, nullptr},
        {"wrong certificate password", "ca.der", "client.p12", "wrong", 46, 0,
         "Failed to set client certificate. LibCurl Error code=46. ["},
        {"client certificate cut short", "ca.der", "client-truncated.p12", kCertPassword, 0, 58,
         nullptr},
        {"no client certificate offered", "ca.der", nullptr, "", 0, -2, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServletServer server;
        ServletOptions options;
        options.Tls = &Certs();
        options.RequireClientCert = true;
        const fs::path work = m_temp.Path() / c.name;
        fs::create_directories(work);
        ASSERT_TRUE(server.Start(work, options));

        ConnectionTestSettings settings = Settings(server.Port());
        UseHttps(settings, c.ca);
        if (c.clientCert != nullptr)
            UseClientCert(settings, c.clientCert, c.password);
        const ConnectionTestOutcome outcome = RunConnectionTest(settings);
        ExpectUnableToConnect(outcome);
        EXPECT_EQ(outcome.InitializeResult, c.initializeResult);
        if (c.transferResult > 0) {
            EXPECT_EQ(outcome.TransferResult, c.transferResult);
        } else if (c.transferResult < 0) {
            EXPECT_NE(outcome.TransferResult, 0);
        }
        if (c.logLine != nullptr) {
            EXPECT_TRUE(Contains(Log(), c.logLine)) << Log();
        }
        // Nothing got through to the servlet.
        for (const RecordedRequest& request : server.Requests())
            EXPECT_TRUE(request.Method.empty());
    }
    EXPECT_TRUE(Contains(Log(), "BIO_read_filename Failed, [Easycurl.cpp|"));
}

TEST_F(ConnectionTest, ClientCertificateInEitherFormIsAccepted) {
    for (const char* file : {"client.p12", "client-bundle.pem"}) {
        SCOPED_TRACE(file);
        ServletServer server;
        ServletOptions options;
        options.Tls = &Certs();
        options.RequireClientCert = true;
        const fs::path work = m_temp.Path() / file;
        fs::create_directories(work);
        ASSERT_TRUE(server.Start(work, options));
        ConnectionTestSettings settings = Settings(server.Port());
        UseHttps(settings, "ca.pem");
        UseClientCert(settings, file);
        ExpectSuccess(RunConnectionTest(settings));
        ExpectTestPacket(server.Requests());
    }
}

TEST_F(ConnectionTest, EmptyClientCertificatePathFailsTheSetUp) {
    ConnectionTestSettings settings = Settings(commtest::FindFreePort());
    UseHttps(settings, "ca.pem");
    settings.RequireClientCert = true;
    const ConnectionTestOutcome outcome = RunConnectionTest(settings);
    ExpectUnableToConnect(outcome);
    EXPECT_EQ(outcome.InitializeResult, 2);
}

TEST_F(ConnectionTest, HttpProxyCarriesTheRequest) {
    struct Case {
        const char* name;
        const char* proxyUser; // demanded by the proxy
        std::u16string user;
        std::u16string password;
        int32_t method;
        uint32_t text;
    };
    const std::u16string rightPassword(kProxyPassword,
                                       kProxyPassword + std::strlen(kProxyPassword));
    const Case cases[] = {
        {"open proxy", nullptr, u"", u"", 0, 7020},
        {"basic authentication", "proxyuser", u"proxyuser", rightPassword, 0, 7020},
        {"method -1 is basic", "proxyuser", u"proxyuser", rightPassword, -1, 7020},
        {"wrong proxy password", "proxyuser", u"proxyuser", u"wrong", 0, 7019},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path work = m_temp.Path() / c.name;
        fs::create_directories(work);
        ServletServer server;
        ASSERT_TRUE(server.Start(work, ServletOptions{}));
        TinyProxy proxy;
        ASSERT_TRUE(
            proxy.Start(work, c.proxyUser ? c.proxyUser : "", c.proxyUser ? kProxyPassword : ""));

        ConnectionTestSettings settings = Settings(server.Port());
        settings.ProxyEnabled = true;
        settings.ProxyKind = PROXY_KIND_HTTP;
        settings.ProxyServerName = u"127.0.0.1";
        settings.ProxyServerPort = proxy.Port();
        settings.ProxyUser = c.user;
        settings.ProxyPassword = c.password;
        settings.HTTPProxyAuthMethod = c.method;
        const ConnectionTestOutcome outcome = RunConnectionTest(settings);
        EXPECT_EQ(outcome.TextId, c.text);
        const auto requests = server.Requests();
        if (c.text == 7020) {
            ExpectTestPacket(requests);
            EXPECT_EQ(requests.back().PeerAddress, TinyProxy::kOutgoingAddress);
            EXPECT_TRUE(Contains(requests.back().Header("Via").value_or(""), "tinyproxy"));
        } else {
            EXPECT_TRUE(requests.empty());
        }
    }
}

TEST_F(ConnectionTest, SocksProxiesCarryTheRequest) {
    const fs::path work = m_temp.Path();
    ServletServer server;
    ASSERT_TRUE(server.Start(work, ServletOptions{}));
    DanteProxy dante;
    ASSERT_TRUE(dante.Start(work));

    ConnectionTestSettings settings = Settings(server.Port());
    settings.ProxyEnabled = true;
    settings.ProxyServerName = u"127.0.0.1";
    settings.ProxyServerPort = dante.Port();

    settings.ProxyKind = PROXY_KIND_SOCKS5;
    ExpectSuccess(RunConnectionTest(settings));
    ExpectTestPacket(server.Requests());
    EXPECT_EQ(server.Requests().back().PeerAddress, DanteProxy::kOutgoingAddress);

    // SOCKS 4 has no authentication: a user left in the page is not sent.
    settings.ProxyKind = PROXY_KIND_SOCKS4;
    settings.ProxyUser = u"socks4-user-typed";
    settings.ProxyPassword = u"socks4-password-typed";
    ExpectSuccess(RunConnectionTest(settings));
    ASSERT_EQ(server.Requests().size(), 2u);
    EXPECT_EQ(server.Requests().back().PeerAddress, DanteProxy::kOutgoingAddress);
    const std::string danteLog = dante.Log();
    EXPECT_TRUE(Contains(danteLog, "got socks v4 username: \"\"")) << danteLog;
    EXPECT_FALSE(Contains(danteLog, "socks4-user-typed"));
    EXPECT_TRUE(Contains(Log(), "pszProxyUserName(), pszProxyPassword(), nProxyType(4)"));

    // A kind the page does not know leaves the proxy out.
    settings.ProxyKind = 3;
    ExpectSuccess(RunConnectionTest(settings));
    EXPECT_EQ(server.Requests().back().PeerAddress, "127.0.0.1");
}

TEST_F(ConnectionTest, SocksFiveWithoutUserSendsNoCredentials) {
    // This dante holds a client that offers user/password authentication to
    // it (and would then look up the empty user name); a test without proxy
    // authentication offers only "no authentication" and gets through.
    const fs::path work = m_temp.Path();
    ServletServer server;
    ASSERT_TRUE(server.Start(work, ServletOptions{}));
    DanteProxy dante;
    ASSERT_TRUE(dante.Start(work, /*preferUserMethod=*/true));

    ConnectionTestSettings settings = Settings(server.Port());
    settings.ProxyEnabled = true;
    settings.ProxyKind = PROXY_KIND_SOCKS5;
    settings.ProxyServerName = u"127.0.0.1";
    settings.ProxyServerPort = dante.Port();
    const ConnectionTestOutcome outcome = RunConnectionTest(settings);
    EXPECT_TRUE(outcome.Success) << dante.Log();
    EXPECT_FALSE(Contains(dante.Log(), "could not access user")) << dante.Log();
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests().back().PeerAddress, DanteProxy::kOutgoingAddress);
}

// The user's proxy variables, set for the duration of a test.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(std::vector<std::pair<std::string, std::string>> values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name.c_str());
            m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            setenv(name.c_str(), value.c_str(), 1);
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : m_saved) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

TEST_F(ConnectionTest, TheUsersProxyVariablesNeverChangeTheRoute) {
    // The agent service runs without these variables: with no proxy
    // configured the request goes straight to the server whatever
    // http_proxy and the others say, and with one configured it goes
    // through that proxy even where no_proxy names the server.
    const fs::path work = m_temp.Path();
    ServletServer server;
    ASSERT_TRUE(server.Start(work, ServletOptions{}));
    TinyProxy proxy;
    ASSERT_TRUE(proxy.Start(work));
    const std::string closed = "http://127.0.0.1:" + std::to_string(commtest::FindFreePort());

    const struct {
        const char* name;
        bool configureProxy;
        std::vector<std::pair<std::string, std::string>> environment;
        const char* peer;
    } cases[] = {
        {"proxy variables at a closed port, no proxy configured",
         false,
         {{"http_proxy", closed},
          {"HTTP_PROXY", closed},
          {"https_proxy", closed},
          {"HTTPS_PROXY", closed},
          {"all_proxy", closed},
          {"ALL_PROXY", closed}},
         "127.0.0.1"},
        {"no_proxy naming the server, proxy configured",
         true,
         {{"no_proxy", "127.0.0.1,localhost"}, {"NO_PROXY", "127.0.0.1,localhost"}},
         TinyProxy::kOutgoingAddress},
        {"no_proxy of every host, proxy configured",
         true,
         {{"no_proxy", "*"}, {"NO_PROXY", "*"}},
         TinyProxy::kOutgoingAddress},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnvironment environment(c.environment);
        ConnectionTestSettings settings = Settings(server.Port());
        if (c.configureProxy) {
            settings.ProxyEnabled = true;
            settings.ProxyKind = PROXY_KIND_HTTP;
            settings.ProxyServerName = u"127.0.0.1";
            settings.ProxyServerPort = proxy.Port();
        }
        const std::size_t before = server.Requests().size();
        const ConnectionTestOutcome outcome = RunConnectionTest(settings);
        EXPECT_TRUE(outcome.Success);
        const auto requests = server.Requests();
        ASSERT_EQ(requests.size(), before + 1);
        EXPECT_EQ(requests.back().PeerAddress, c.peer);
    }
}

TEST_F(ConnectionTest, WhatReallyArrivedIsTold) {
    // A status and a servlet's code only where they came; an answer far
    // beyond the servlet's size ends the transfer at the bound.
    const fs::path work = m_temp.Path();
    const struct {
        const char* name;
        ServletOptions options;
        bool refused;
        bool statusReceived;
        bool codeReceived;
        int32_t transferResult;
    } cases[] = {
        {"servlet's answer", ServletOptions{}, false, true, true, 0},
        {"error page that frames as a header",
         [] {
             ServletOptions o;
             o.Status = 503;
             return o;
         }(),
         false, true, false, 0},
        {"nothing listening", ServletOptions{}, true, false, false, 7},
        {"three megabytes",
         [] {
             ServletOptions o;
             o.Body = "bytes";
             o.Length = 3 * 1024 * 1024;
             return o;
         }(),
         false, true, false, 23},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = work / ("case-" + std::to_string(index++));
        fs::create_directories(dir);
        ServletServer server;
        uint16_t port = commtest::FindFreePort();
        if (!c.refused) {
            ASSERT_TRUE(server.Start(dir, c.options));
            port = server.Port();
        }
        const ConnectionTestOutcome outcome = RunConnectionTest(Settings(port));
        EXPECT_EQ(outcome.HttpCodeReceived, c.statusReceived);
        EXPECT_EQ(outcome.ServerCodeReceived, c.codeReceived);
        EXPECT_EQ(outcome.TransferResult, c.transferResult);
    }
    EXPECT_TRUE(
        Contains(Log(), "Response content is longer than 262144 bytes; the transfer is ended. ["));
}

TEST_F(ConnectionTest, SocksFiveWithUserAndPassword) {
    const fs::path work = m_temp.Path();
    ServletServer server;
    ASSERT_TRUE(server.Start(work, ServletOptions{}));
    MicroSocks socks;
    ASSERT_TRUE(socks.Start(work, "socksuser", kProxyPassword));

    ConnectionTestSettings settings = Settings(server.Port());
    settings.ProxyEnabled = true;
    settings.ProxyKind = PROXY_KIND_SOCKS5;
    settings.ProxyServerName = u"127.0.0.1";
    settings.ProxyServerPort = socks.Port();
    settings.ProxyUser = u"socksuser";
    settings.ProxyPassword = u"wrong";
    ExpectUnableToConnect(RunConnectionTest(settings));
    EXPECT_TRUE(server.Requests().empty());

    settings.ProxyPassword =
        std::u16string(kProxyPassword, kProxyPassword + std::strlen(kProxyPassword));
    ExpectSuccess(RunConnectionTest(settings));
    ExpectTestPacket(server.Requests());
    EXPECT_EQ(server.Requests().back().PeerAddress, MicroSocks::kOutgoingAddress);
}

TEST_F(ConnectionTest, HighestPortsAppearAsTheirDigits) {
    // The server listens on 65535 where that port is free; the proxy brings
    // the request there, so both ports are used as configured.
    ServletServer server;
    ServletOptions options;
    options.Port = 65535;
    if (!server.Start(m_temp.Path(), options))
        GTEST_SKIP() << "port 65535 is taken on this machine";
    TinyProxy proxy;
    ASSERT_TRUE(proxy.Start(m_temp.Path()));

    ConnectionTestSettings settings = Settings(0);
    settings.ServerPort = 65535;
    settings.ProxyEnabled = true;
    settings.ProxyServerName = u"127.0.0.1";
    settings.ProxyServerPort = proxy.Port();
    ExpectSuccess(RunConnectionTest(settings));
    EXPECT_EQ(server.Requests().back().Header("Host").value_or(""), "127.0.0.1:65535");
    EXPECT_TRUE(Contains(Log(), "m_pszURL = http://127.0.0.1:65535/opalCommunicatorServer/"));
    EXPECT_TRUE(Contains(Log(), "uServerPort(65535)"));
}

TEST_F(ConnectionTest, PortsUseTheirLowSixteenBits) {
    ServletServer server;
    ASSERT_TRUE(server.Start(m_temp.Path(), ServletOptions{}));
    ConnectionTestSettings settings = Settings(0);
    settings.ServerPort = 0x10000 + server.Port();
    ExpectSuccess(RunConnectionTest(settings));
}

TEST_F(ConnectionTest, MissingSystemConfigurationSendsAnEmptyIdentity) {
    fs::remove(Home() / "AgentSysConfig.xml");
    ServletServer server;
    ASSERT_TRUE(server.Start(m_temp.Path(), ServletOptions{}));
    ExpectSuccess(RunConnectionTest(Settings(server.Port())));
    const std::string body = server.Requests().back().Body;
    ASSERT_EQ(body.size(), 60u);
    EXPECT_EQ(body.substr(0, 12),
              std::string("\x01\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x32", 12));
    EXPECT_EQ(body.substr(12), std::string(48, '\0'));
}

TEST_F(ConnectionTest, PasswordsNeverReachTheLogOrAPemFileInClear) {
    const fs::path work = m_temp.Path();
    const std::u16string serverPassword(kServerPassword,
                                        kServerPassword + std::strlen(kServerPassword));
    const std::u16string proxyPassword(kProxyPassword,
                                       kProxyPassword + std::strlen(kProxyPassword));

    // HTTPS with a client certificate and server authentication, through an
    // authenticating HTTP proxy.
    {
        ServletServer server;
        ServletOptions options;
        options.Tls = &Certs();
        options.RequireClientCert = true;
        options.Auth = "digest";
        options.User = "agent";
        options.Password = kServerPassword;
        const fs::path dir = work / "https";
        fs::create_directories(dir);
        ASSERT_TRUE(server.Start(dir, options));
        TinyProxy proxy;
        ASSERT_TRUE(proxy.Start(dir, "proxyuser", kProxyPassword));
        ConnectionTestSettings settings = Settings(server.Port());
        UseHttps(settings, "ca.der");
        UseClientCert(settings, "client.p12");
        settings.IsUseHTTPAuth = true;
        settings.HTTPAuthUser = u"agent";
        settings.HTTPAuthPassword = serverPassword;
        settings.ServerAuthMethod = 1;
        settings.ProxyEnabled = true;
        settings.ProxyServerName = u"127.0.0.1";
        settings.ProxyServerPort = proxy.Port();
        settings.ProxyUser = u"proxyuser";
        settings.ProxyPassword = proxyPassword;
        ExpectSuccess(RunConnectionTest(settings));
        // And the failures, which log the most.
        UseClientCert(settings, "client.p12", "wrong-" + std::string(kCertPassword));
        ExpectUnableToConnect(RunConnectionTest(settings));
    }
    // SOCKS 5 with user and password, and Basic server authentication.
    {
        ServletServer server;
        ServletOptions options;
        options.Auth = "basic";
        options.User = "agent";
        options.Password = kServerPassword;
        const fs::path dir = work / "socks";
        fs::create_directories(dir);
        ASSERT_TRUE(server.Start(dir, options));
        MicroSocks socks;
        ASSERT_TRUE(socks.Start(dir, "socksuser", kProxyPassword));
        ConnectionTestSettings settings = Settings(server.Port());
        settings.IsUseHTTPAuth = true;
        settings.HTTPAuthUser = u"agent";
        settings.HTTPAuthPassword = serverPassword;
        settings.ProxyEnabled = true;
        settings.ProxyKind = PROXY_KIND_SOCKS5;
        settings.ProxyServerName = u"127.0.0.1";
        settings.ProxyServerPort = socks.Port();
        settings.ProxyUser = u"socksuser";
        settings.ProxyPassword = proxyPassword;
        ExpectSuccess(RunConnectionTest(settings));
    }

    const std::string log = Log();
    ASSERT_TRUE(Contains(log, "pszServerPassword(), iMethod(1)"));
    ASSERT_TRUE(Contains(log, "pszProxyPassword(), nProxyType(0)"));
    ASSERT_TRUE(Contains(log, "pszCertPassword(), pszCertType(PEM)"));
    std::vector<fs::path> checked = {m_log->File()};
    for (const auto& entry : fs::directory_iterator(Home()))
        checked.push_back(entry.path());
    ASSERT_TRUE(fs::exists(Home() / "ZQClientCertPW.PEM"));
    for (const fs::path& file : checked) {
        const std::string text = ReadText(file);
        for (const char* password : {kCertPassword, kServerPassword, kProxyPassword})
            EXPECT_FALSE(Contains(text, password)) << password << " in " << file;
    }
    // The private key is stored encrypted.
    EXPECT_TRUE(Contains(ReadText(Home() / "ZQClientCertPW.PEM"), "ENCRYPTED PRIVATE KEY"));
}

} // namespace
