// The diagnosis's rules from tables of facts: no sockets, no libcurl
// transfer. Each row is what a transfer left behind; the rule it must meet
// names the failing step, its key and its text in both languages.

#include "comm/DiagnosisRules.h"

#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include "common/ASTCommonFunc.h"
#include "tests/comm/StringTableFile.h"

namespace {

using Kind = DiagnosisStepKind;
using Verdict = DiagnosisVerdict;
using commtest::EnglishStrings;
using commtest::JapaneseStrings;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string Narrow(const std::u16string& text) {
    return ToNarrowString(text, CP_UTF8);
}

ConnectionTestSettings PlainSettings() {
    ConnectionTestSettings s;
    s.ServerName = u"agent.example";
    s.ServerPort = 8080;
    s.ServiceURI = u"/opalCommunicatorServer/DataPortServlet";
    s.ConnTimeOut = 300;
    return s;
}

void UseHttps(ConnectionTestSettings& s) {
    s.IsUseHTTPS = true;
    s.ServerPort = 443;
    s.CACertPath = u"/etc/opal/ca.pem";
}

void UseProxy(ConnectionTestSettings& s, int32_t kind, bool login) {
    s.ProxyEnabled = true;
    s.ProxyKind = kind;
    s.ProxyServerName = u"proxy.example";
    s.ProxyServerPort = kind == PROXY_KIND_HTTP ? 3128 : 1080;
    if (login) {
        s.ProxyUser = u"relay";
        s.ProxyPassword = u"Pxy-Secret-1";
    }
}

CertificateFacts Leaf() {
    CertificateFacts c;
    c.Subject = "CN=agent.example";
    c.Issuer = "CN=Opal Test CA";
    c.NotBefore = "2030-01-01 00:00:00 UTC";
    c.NotAfter = "2031-01-01 00:00:00 UTC";
    c.HostNames = {"other.example", "192.0.2.7"};
    return c;
}

// A transfer that reached its peer (the proxy when there is one).
TransferFacts Reached() {
    TransferFacts f;
    f.Ran = true;
    f.NameLookup = 800;
    f.Connect = 1500;
    f.Tried = {"Trying 192.0.2.1:8080..."};
    f.Connected = {"Connected to agent.example (192.0.2.1) port 8080"};
    return f;
}

void Handshake(TransferFacts& f) {
    f.TlsConnection = "TLSv1.3 / TLS_AES_256_GCM_SHA384";
    f.AppConnect = 3000;
    f.Chain = {Leaf()};
}

HttpResponse Response(int status, const std::string& reason, bool toConnect = false) {
    HttpResponse r;
    r.ToConnect = toConnect;
    r.Status = status;
    r.StatusLine = "HTTP/1.1 " + std::to_string(status) + " " + reason;
    return r;
}

void Answered(TransferFacts& f, int32_t length, ResponseFraming framing) {
    f.Answered = true;
    f.AnswerLength = length;
    f.ServletFraming = framing;
}

struct Row {
    const char* name;
    std::function<void(ConnectionTestSettings&)> settings;
    std::function<void(TransferFacts&)> facts; // applied to Reached()
    Kind failed;
    const char* key;
    std::vector<std::string> english; // parts of the English hint
    uint32_t serverCode = 0;
};

void None(ConnectionTestSettings&) {}

std::vector<Row> Rows() {
    return {
        {"server name unknown",
         None,
         [](TransferFacts& f) {
             f = TransferFacts();
             f.Ran = true;
             f.Result = CURLE_COULDNT_RESOLVE_HOST;
         },
         Kind::Resolve,
         "server-name-unknown",
         {"cannot find the address of agent.example"}},
        {"proxy name unknown",
         [](ConnectionTestSettings& s) { UseProxy(s, PROXY_KIND_HTTP, false); },
         [](TransferFacts& f) {
             f = TransferFacts();
             f.Ran = true;
             f.Result = CURLE_COULDNT_RESOLVE_PROXY;
         },
         Kind::Resolve,
         "proxy-name-unknown",
         {"address of proxy.example", "Proxy address"}},
        {"server refuses",
         None,
         [](TransferFacts& f) {
             f.Connected.clear();
             f.Connect = 0;
             f.Result = CURLE_COULDNT_CONNECT;
             f.OsErrno = 111;
         },
         Kind::Connect,
         "server-refused",
         {"Nothing accepts connections at agent.example:8080"}},
        {"proxy connect times out",
         [](ConnectionTestSettings& s) { UseProxy(s, PROXY_KIND_SOCKS5, false); },
         [](TransferFacts& f) {
             f.Connected.clear();
             f.Connect = 0;
             f.Result = CURLE_OPERATION_TIMEDOUT;
         },
         Kind::Connect,
         "proxy-connect-timeout",
         {"proxy.example:1080 within 300 seconds"}},
        {"SOCKS 5 reply: connection refused",
         [](ConnectionTestSettings& s) { UseProxy(s, PROXY_KIND_SOCKS5, false); },
         [](TransferFacts& f) {
             f.Result = CURLE_PROXY;
             f.ProxyError = CURLPX_REPLY_CONNECTION_REFUSED;
         },
         Kind::Connect,
         "socks-target-refused",
         {"reached agent.example:8080 but nothing accepts"}},
        {"SOCKS 4 reply: not allowed",
         [](ConnectionTestSettings& s) { UseProxy(s, PROXY_KIND_SOCKS4, false); },
         [](TransferFacts& f) {
             f.Result = CURLE_PROXY;
             f.ProxyError = CURLPX_REQUEST_FAILED;
         },
         Kind::Connect,
         "socks-not-allowed",
         {"does not allow a connection to agent.example:8080"}},
        {"SOCKS 5 handshake garbled",
         [](ConnectionTestSettings& s) { UseProxy(s, PROXY_KIND_SOCKS5, false); },
         [](TransferFacts& f) {
             f.Result = CURLE_PROXY;
             f.ProxyError = CURLPX_BAD_VERSION;
         },
         Kind::Connect,
         "socks-handshake",
         {"proxy.example:1080 does not complete the SOCKS"}},
        {"SOCKS 5 auth failed",
         [](ConnectionTestSettings& s) { UseProxy(s, PROXY_KIND_SOCKS5, true); },
         [](TransferFacts& f) {
             f.Result = CURLE_PROXY;
             f.ProxyError = CURLPX_USER_REJECTED;
         },
         Kind::Authentication,
         "socks-login-refused",
         {"refused the user name and password"}},
        {"SOCKS 5 wants a login, none configured",
         [](ConnectionTestSettings& s) { UseProxy(s, PROXY_KIND_SOCKS5, false); },
         [](TransferFacts& f) {
             f.Result = CURLE_PROXY;
             f.ProxyError = CURLPX_NO_AUTH;
         },
         Kind::Authentication,
         "socks-login-required",
         {"requires a user name and password"}},
        {"tunnel refused with 403",
         [](ConnectionTestSettings& s) {
             UseHttps(s);
             UseProxy(s, PROXY_KIND_HTTP, false);
         },
         [](TransferFacts& f) {
             f.Requests = {{"CONNECT agent.example:443 HTTP/1.1", {}}};
             f.Responses = {Response(403, "Forbidden", true)};
             f.Result = CURLE_COULDNT_CONNECT;
         },
         Kind::Connect,
         "tunnel-forbidden",
         {"does not allow a tunnel to agent.example:443 (it answered 403)"}},
        {"tunnel not answered",
         [](ConnectionTestSettings& s) {
             UseHttps(s);
             UseProxy(s, PROXY_KIND_HTTP, false);
         },
         [](TransferFacts& f) { f.Result = CURLE_RECV_ERROR; },
         Kind::Connect,
         "tunnel-no-answer",
         {"proxy.example:3128 did not answer the request"}},
        {"tunnel wants a proxy login",
         [](ConnectionTestSettings& s) {
             UseHttps(s);
             UseProxy(s, PROXY_KIND_HTTP, false);
         },
         [](TransferFacts& f) {
             f.Requests = {{"CONNECT agent.example:443 HTTP/1.1", {}}};
             HttpResponse r = Response(407, "Proxy Authentication Required", true);
             r.Offered = {"Basic"};
             f.Responses = {r};
             f.Result = CURLE_COULDNT_CONNECT;
         },
         Kind::Authentication,
         "proxy-login-required",
         {"The proxy answered 407", "(it offers: Basic)"}},
        {"certificate not yet valid",
         UseHttps,
         [](TransferFacts& f) {
             f.Chain = {Leaf()};
             f.Result = CURLE_PEER_FAILED_VERIFICATION;
             f.VerifyResult = X509_V_ERR_CERT_NOT_YET_VALID;
         },
         Kind::Tls,
         "certificate-not-yet-valid",
         {"not valid yet (from 2030-01-01 00:00:00 UTC)"}},
        {"certificate expired",
         UseHttps,
         [](TransferFacts& f) {
             f.Chain = {Leaf()};
             f.Result = CURLE_PEER_FAILED_VERIFICATION;
             f.VerifyResult = X509_V_ERR_CERT_HAS_EXPIRED;
         },
         Kind::Tls,
         "certificate-expired",
         {"expired on 2031-01-01 00:00:00 UTC"}},
        {"certificate of another CA",
         UseHttps,
         [](TransferFacts& f) {
             f.Chain = {Leaf()};
             f.Result = CURLE_PEER_FAILED_VERIFICATION;
             f.VerifyResult = X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY;
         },
         Kind::Tls,
         "certificate-untrusted",
         {"issued by CN=Opal Test CA"}},
        {"host name mismatch",
         UseHttps,
         [](TransferFacts& f) {
             f.Chain = {Leaf()};
             f.Result = CURLE_PEER_FAILED_VERIFICATION;
             f.Error = "SSL: no alternative certificate subject name matches target host name "
                       "'agent.example'";
         },
         Kind::Tls,
         "host-name-mismatch",
         {"is for other.example, 192.0.2.7, not for agent.example as typed in Server address"}},
        {"host name mismatch, certificate without names",
         UseHttps,
         [](TransferFacts& f) {
             f.Chain = {Leaf()};
             f.Chain[0].HostNames.clear();
             f.Result = CURLE_PEER_FAILED_VERIFICATION;
             f.VerifyResult = X509_V_ERR_HOSTNAME_MISMATCH;
         },
         Kind::Tls,
         "host-name-mismatch",
         {"carries no host name", "for agent.example"}},
        {"plain HTTP at an HTTPS setting",
         UseHttps,
         [](TransferFacts& f) {
             f.Result = CURLE_SSL_CONNECT_ERROR;
             f.Error = "error:0A00010B:SSL routines::wrong version number";
         },
         Kind::Tls,
         "not-tls",
         {"does not answer in TLS"}},
        {"client certificate demanded in the handshake",
         [](ConnectionTestSettings& s) { UseHttps(s); },
         [](TransferFacts& f) {
             f.CertificateRequested = true;
             f.TlsAlerts = {"TLSv1.3 (IN), TLS alert, certificate required (628)"};
             f.Result = CURLE_RECV_ERROR;
         },
         Kind::Tls,
         "client-certificate-required",
         {"requires a client certificate"}},
        {"client certificate requested, then 400",
         [](ConnectionTestSettings& s) { UseHttps(s); },
         [](TransferFacts& f) {
             Handshake(f);
             f.CertificateRequested = true;
             f.Responses = {Response(400, "Bad Request")};
         },
         Kind::HttpStatus,
         "client-certificate-refused",
         {"requires a client certificate and answered 400 without one"}},
        {"client certificate sent, then 400",
         [](ConnectionTestSettings& s) {
             UseHttps(s);
             s.RequireClientCert = true;
             s.ClientCertPath = u"/etc/opal/client.p12";
         },
         [](TransferFacts& f) {
             Handshake(f);
             f.CertificateRequested = true;
             f.Responses = {Response(400, "Bad Request")};
         },
         Kind::HttpStatus,
         "client-certificate-refused",
         {"refused the client certificate with 400"}},
        {"401 offering Digest, Basic configured",
         [](ConnectionTestSettings& s) {
             s.IsUseHTTPAuth = true;
             s.HTTPAuthUser = u"agent";
             s.HTTPAuthPassword = u"Srv-Secret-2";
         },
         [](TransferFacts& f) {
             HttpResponse r = Response(401, "Unauthorized");
             r.Offered = {"Digest"};
             f.Responses = {r};
         },
         Kind::Authentication,
         "server-method-mismatch",
         {"answered 401 and offers Digest while Basic is configured: choose Digest"}},
        {"407 with the wrong password",
         [](ConnectionTestSettings& s) { UseProxy(s, PROXY_KIND_HTTP, true); },
         [](TransferFacts& f) {
             HttpResponse r = Response(407, "Proxy Authentication Required");
             r.Offered = {"Basic"};
             f.Responses = {r};
         },
         Kind::Authentication,
         "proxy-login-refused",
         {"The proxy answered 407 and refused"}},
        {"3xx with a Location",
         None,
         [](TransferFacts& f) {
             HttpResponse r = Response(302, "Found");
             r.Location = "https://agent.example/login";
             f.Responses = {r};
         },
         Kind::HttpStatus,
         "redirect",
         {"answered 302 and sends the request elsewhere (https://agent.example/login)"}},
        {"3xx without a Location",
         None,
         [](TransferFacts& f) { f.Responses = {Response(301, "Moved Permanently")}; },
         Kind::HttpStatus,
         "redirect",
         {"answered 301 and sends the request elsewhere,"}},
        {"404",
         None,
         [](TransferFacts& f) { f.Responses = {Response(404, "Not Found")}; },
         Kind::HttpStatus,
         "no-servlet",
         {"no agent servlet at /opalCommunicatorServer/DataPortServlet on agent.example:8080 (it "
          "answered 404)"}},
        {"502 from a proxy",
         [](ConnectionTestSettings& s) { UseProxy(s, PROXY_KIND_HTTP, false); },
         [](TransferFacts& f) { f.Responses = {Response(502, "Bad Gateway")}; },
         Kind::HttpStatus,
         "proxy-bad-gateway",
         {"The proxy answered 502: it could not get an answer from agent.example:8080"}},
        {"502 without a proxy is the server's",
         None,
         [](TransferFacts& f) { f.Responses = {Response(502, "Bad Gateway")}; },
         Kind::HttpStatus,
         "server-error",
         {"The server answered 502"}},
        {"403 from the server",
         None,
         [](TransferFacts& f) { f.Responses = {Response(403, "Forbidden")}; },
         Kind::HttpStatus,
         "request-refused",
         {"refused the request with 403"}},
        {"no answer within the time-out",
         None,
         [](TransferFacts& f) { f.Result = CURLE_OPERATION_TIMEDOUT; },
         Kind::HttpStatus,
         "no-answer-timeout",
         {"did not answer within 300 seconds"}},
        {"connection closed without an answer",
         None,
         [](TransferFacts& f) { f.Result = CURLE_GOT_NOTHING; },
         Kind::HttpStatus,
         "no-answer-closed",
         {"closed the connection without answering"}},
        {"answer cut short of its Content-Length",
         None,
         [](TransferFacts& f) {
             f.Responses = {Response(200, "OK")};
             f.Framing.ContentLength = 94;
             f.Framing.BodyBytes = 40;
             f.Result = CURLE_PARTIAL_FILE;
             Answered(f, 40, ResponseFraming::TooShort);
         },
         Kind::ServletAnswer,
         "answer-cut-short",
         {"was cut short (40 of 94 bytes arrived)"}},
        {"answer broken off without a length",
         None,
         [](TransferFacts& f) {
             f.Responses = {Response(200, "OK")};
             f.Result = CURLE_RECV_ERROR;
             Answered(f, 40, ResponseFraming::TooShort);
         },
         Kind::ServletAnswer,
         "answer-broken",
         {"The answer was cut off"}},
        {"answer over the bound",
         None,
         [](TransferFacts& f) {
             f.Responses = {Response(200, "OK")};
             f.Result = CURLE_WRITE_ERROR;
             Answered(f, 262144, ResponseFraming::Ok);
             f.AnswerTooLong = true;
         },
         Kind::ServletAnswer,
         "answer-too-long",
         {"far longer than the servlet's"}},
        {"answer too short for the servlet's",
         None,
         [](TransferFacts& f) {
             f.Responses = {Response(200, "OK")};
             Answered(f, 12, ResponseFraming::TooShort);
         },
         Kind::ServletAnswer,
         "answer-too-short",
         {"not the agent servlet's"}},
        {"servlet result code",
         None,
         [](TransferFacts& f) {
             f.Responses = {Response(200, "OK")};
             Answered(f, 94, ResponseFraming::Ok);
         },
         Kind::ServletAnswer,
         "servlet-error",
         {"result code 0x2A"},
         0x2A},
        {"unforeseen libcurl error",
         None,
         [](TransferFacts& f) {
             f = TransferFacts();
             f.Ran = true;
             f.Result = CURLE_UNSUPPORTED_PROTOCOL;
         },
         Kind::Resolve,
         "unexplained",
         {"(libcurl error 1: "}},
        {"client certificate password wrong",
         UseHttps,
         [](TransferFacts& f) {
             f = TransferFacts();
             f.InitializeResult = ERR_EASYCURL_BAD_PASSWORD;
             f.FailedStep = InitializeStep::ClientCert;
         },
         Kind::Tls,
         "client-cert-password",
         {"password is wrong"}},
    };
}

TEST(DiagnosisRules, EachRuleNamesItsStepKeyAndTextInBothLanguages) {
    std::set<std::string> keysSeen;
    for (const Row& row : Rows()) {
        SCOPED_TRACE(row.name);
        ConnectionTestSettings settings = PlainSettings();
        row.settings(settings);
        TransferFacts facts = Reached();
        row.facts(facts);
        ConnectionTestOutcome outcome;
        outcome.ServerCode = row.serverCode;

        const ConnectionDiagnosis d = DiagnoseConnectionTest(settings, outcome, facts);
        SCOPED_TRACE(d.ReportText(EnglishStrings()));
        const DiagnosisStep* failure = d.FirstFailure();
        ASSERT_NE(failure, nullptr);
        EXPECT_EQ(failure->Kind, row.failed);
        EXPECT_EQ(failure->Hint.Key, row.key);
        keysSeen.insert(row.key);

        const std::string english = RenderDiagnosisText(failure->Hint, EnglishStrings());
        const std::string japanese = RenderDiagnosisText(failure->Hint, JapaneseStrings());
        for (const std::string& part : row.english)
            EXPECT_TRUE(Contains(english, part)) << english << "\n  lacks: " << part;
        // Every argument in both, no placeholder left over, and the
        // Japanese text is a translation rather than the English one.
        for (const std::string& arg : failure->Hint.Args) {
            EXPECT_TRUE(Contains(english, arg)) << arg;
            EXPECT_TRUE(Contains(japanese, arg)) << arg;
        }
        EXPECT_FALSE(std::regex_search(english, std::regex("%[1-9]"))) << english;
        EXPECT_FALSE(std::regex_search(japanese, std::regex("%[1-9]"))) << japanese;
        EXPECT_NE(english, japanese);
        EXPECT_FALSE(Contains(japanese, "check")) << japanese;

        // The steps around the failure: passed before it (or not reached
        // behind a proxy's login), skipped after it, one hint only.
        bool after = false;
        for (const DiagnosisStep& step : d.Steps) {
            if (&step == failure) {
                after = true;
                continue;
            }
            EXPECT_TRUE(step.Hint.empty());
            if (after) {
                EXPECT_EQ(step.Verdict, Verdict::Skipped);
            }
        }
        // No password of the settings reaches any text.
        for (const char* secret : {"Pxy-Secret-1", "Srv-Secret-2"})
            EXPECT_FALSE(Contains(d.ReportText(EnglishStrings()), secret));
    }
    EXPECT_GE(keysSeen.size(), 30u);
}

TEST(DiagnosisRules, StepsFollowTheRouteTaken) {
    struct RouteRow {
        const char* name;
        std::function<void(ConnectionTestSettings&)> settings;
        std::vector<std::string> titleKeys;
    };
    const RouteRow rows[] = {
        {"direct HTTP",
         None,
         {"resolve-server-name", "connect-server", "authentication-server", "http-status",
          "answer"}},
        {"direct HTTPS",
         UseHttps,
         {"resolve-server-name", "connect-server", "tls", "authentication-server", "http-status",
          "answer"}},
        {"HTTP proxy",
         [](ConnectionTestSettings& s) { UseProxy(s, PROXY_KIND_HTTP, true); },
         {"resolve-proxy-name", "connect-proxy", "authentication-proxy-and-server", "http-status",
          "answer"}},
        {"SOCKS 4 proxy",
         [](ConnectionTestSettings& s) { UseProxy(s, PROXY_KIND_SOCKS4, false); },
         {"resolve-proxy-and-server-names", "connect-proxy", "authentication-server", "http-status",
          "answer"}},
        // A proxy that is configured but switched off is never contacted.
        {"proxy switched off",
         [](ConnectionTestSettings& s) {
             UseProxy(s, PROXY_KIND_HTTP, true);
             s.ProxyEnabled = false;
         },
         {"resolve-server-name", "connect-server", "authentication-server", "http-status",
          "answer"}},
    };
    for (const RouteRow& row : rows) {
        SCOPED_TRACE(row.name);
        ConnectionTestSettings settings = PlainSettings();
        row.settings(settings);
        TransferFacts facts = Reached();
        if (settings.IsUseHTTPS)
            Handshake(facts);
        facts.Responses = {Response(200, "OK")};
        Answered(facts, 94, ResponseFraming::Ok);
        ConnectionTestOutcome outcome;
        outcome.Success = true;
        const ConnectionDiagnosis d = DiagnoseConnectionTest(settings, outcome, facts);
        std::vector<std::string> keys;
        for (const DiagnosisStep& step : d.Steps) {
            keys.push_back(step.Title.Key);
            EXPECT_EQ(step.Verdict, Verdict::Passed) << step.Title.Key;
        }
        EXPECT_EQ(keys, row.titleKeys);
        const std::string report = d.ReportText(EnglishStrings());
        EXPECT_EQ(Contains(report, "proxy.example"), settings.ProxyEnabled) << report;
    }
}

// Every text the rules can give exists in both tables with the same
// placeholders, and the keys of different rules differ.
TEST(DiagnosisRules, BothTablesCarryEveryTextWithItsPlaceholders) {
    std::vector<unsigned> ids;
    for (unsigned id = IDS_DIAG_FIRST; id <= IDS_DIAG_VERDICT_SKIPPED; ++id)
        ids.push_back(id);
    std::set<unsigned> ruleIds;
    for (const DiagnosisRule& rule : kAllDiagnosisRules) {
        EXPECT_TRUE(ruleIds.insert(rule.Id).second) << rule.Id;
        EXPECT_GE(rule.Id, IDS_DIAG_FIRST);
        EXPECT_LE(rule.Id, 7299u);
        ids.push_back(rule.Id);
    }
    const auto placeholders = [](const std::string& text) {
        std::set<std::string> found;
        const std::regex pattern("%[1-9]");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
             it != std::sregex_iterator(); ++it)
            found.insert(it->str());
        return found;
    };
    for (const unsigned id : ids) {
        SCOPED_TRACE(id);
        const std::string english = Narrow(EnglishStrings()(id));
        const std::string japanese = Narrow(JapaneseStrings()(id));
        ASSERT_FALSE(english.empty());
        ASSERT_FALSE(japanese.empty());
        EXPECT_EQ(placeholders(english), placeholders(japanese));
    }
}

} // namespace
