#include "comm/DiagnosisRules.h"

#include "comm/DiagnosisBuilder.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include "common/ASTCommonFunc.h"

namespace diagnosis_detail {

std::string Utf8(const std::u16string& text) {
    return ToNarrowString(text, CP_UTF8);
}

std::string HostAndPort(const std::u16string& host, int32_t port) {
    return Utf8(host) + ":" +
           std::to_string(static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xFFFFu));
}

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

std::string Milliseconds(int64_t microseconds) {
    if (microseconds < 100)
        return "under 0.1 ms";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(microseconds) / 1000.0);
    return text;
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

const char* MethodName(int32_t storedMethod) {
    switch (MapAuthMethod(storedMethod)) {
    case CURLAUTH_DIGEST:
        return "Digest";
    case CURLAUTH_NTLM:
        return "NTLM";
    default:
        return "Basic";
    }
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool Offers(const std::vector<std::string>& offered, const std::string& method) {
    return std::any_of(offered.begin(), offered.end(),
                       [&](const std::string& name) { return SameName(name, method); });
}

// The authentication schemes in libcurl's bits, by the names the servers
// give them.
void AddSchemesFromBits(long bits, std::vector<std::string>& names) {
    static constexpr struct {
        unsigned long bit;
        const char* name;
    } kSchemes[] = {{CURLAUTH_BASIC, "Basic"},   {CURLAUTH_DIGEST, "Digest"},
                    {CURLAUTH_NTLM, "NTLM"},     {CURLAUTH_NEGOTIATE, "Negotiate"},
                    {CURLAUTH_BEARER, "Bearer"}, {CURLAUTH_AWS_SIGV4, "AWS4-HMAC-SHA256"}};
    for (const auto& scheme : kSchemes) {
        if ((static_cast<unsigned long>(bits) & scheme.bit) != 0 && !Offers(names, scheme.name))
            names.push_back(scheme.name);
    }
}

bool IsProxyLoginError(long proxyError) {
    switch (proxyError) {
    case CURLPX_USER_REJECTED:
    case CURLPX_NO_AUTH:
    case CURLPX_SEND_AUTH:
    case CURLPX_RECV_AUTH:
    case CURLPX_LONG_USER:
    case CURLPX_LONG_PASSWD:
        return true;
    default:
        return false;
    }
}

bool IsAuthStatus(int status) {
    return status == 401 || status == 407;
}

DiagnosisText Text(unsigned id, const char* key, std::vector<std::string> args = {}) {
    return DiagnosisText{id, key, std::move(args)};
}

CDiagnosisBuilder::CDiagnosisBuilder(const ConnectionTestSettings& settings,
                                     const ConnectionTestOutcome& outcome,
                                     const TransferFacts& facts)
    : m_s(settings), m_o(outcome), m_f(facts) {
    m_proxy = settings.ProxyEnabled && settings.ProxyKind >= PROXY_KIND_HTTP &&
              settings.ProxyKind <= PROXY_KIND_SOCKS4;
    m_httpProxy = m_proxy && settings.ProxyKind == PROXY_KIND_HTTP;
    m_tunnel = m_httpProxy && settings.IsUseHTTPS;
    m_server = HostAndPort(settings.ServerName, settings.ServerPort);
    m_proxyAddress = HostAndPort(settings.ProxyServerName, settings.ProxyServerPort);
    for (const HttpResponse& response : m_f.Responses)
        (response.ToConnect ? m_connectResponse : m_finalResponse) = &response;
}

ConnectionDiagnosis CDiagnosisBuilder::Build() {
    if (m_o.Cancelled && !m_f.Ran)
        NotSent("Cancelled before the request was sent.");
    else if (m_f.InitializeResult != 0)
        SetupFailed();
    else if (!m_f.Ran)
        NotSent("Not attempted: the request could not be prepared (libcurl error " +
                std::to_string(m_o.TransferResult) + ").");
    else
        Transfer();
    // A failed test always names a step; the rules above cannot foresee
    // every libcurl error, so whatever they left open takes it.
    if (!m_o.Success && !m_o.Cancelled && FirstFailed() == nullptr)
        Unexplained();
    for (DiagnosisStep& step : m_d.Steps) {
        if (step.Verdict == DiagnosisVerdict::Skipped && step.Details.empty())
            step.Details.push_back("Not reached.");
    }
    return std::move(m_d);
}

DiagnosisStep& CDiagnosisBuilder::Add(DiagnosisStepKind kind, DiagnosisText title) {
    DiagnosisStep& step = m_d.Steps.emplace_back();
    step.Kind = kind;
    step.Title = std::move(title);
    return step;
}

DiagnosisStep* CDiagnosisBuilder::FirstFailed() {
    for (DiagnosisStep& step : m_d.Steps) {
        if (step.Verdict == DiagnosisVerdict::Failed)
            return &step;
    }
    return nullptr;
}

DiagnosisStep* CDiagnosisBuilder::Step(DiagnosisStepKind kind) {
    for (DiagnosisStep& step : m_d.Steps) {
        if (step.Kind == kind)
            return &step;
    }
    return nullptr;
}

// Each step the transfer has to go through, in its order; a step that is
// not reached leaves the rest skipped.
void CDiagnosisBuilder::AddAllSteps() {
    const std::string server = Utf8(m_s.ServerName);
    const std::string proxy = Utf8(m_s.ProxyServerName);
    if (!m_proxy)
        Add(DiagnosisStepKind::Resolve,
            Text(IDS_DIAG_RESOLVE_SERVER, "resolve-server-name", {server}));
    else if (m_httpProxy)
        Add(DiagnosisStepKind::Resolve,
            Text(IDS_DIAG_RESOLVE_PROXY, "resolve-proxy-name", {proxy}));
    else
        // libcurl looks the server's name up itself and hands the SOCKS
        // proxy an address.
        Add(DiagnosisStepKind::Resolve,
            Text(IDS_DIAG_RESOLVE_SOCKS, "resolve-proxy-and-server-names", {proxy, server}));
    if (!m_proxy) {
        Add(DiagnosisStepKind::Connect,
            Text(IDS_DIAG_CONNECT_SERVER, "connect-server", {m_server}));
    } else {
        const char* kind = m_s.ProxyKind == PROXY_KIND_HTTP     ? "HTTP"
                           : m_s.ProxyKind == PROXY_KIND_SOCKS5 ? "SOCKS 5"
                                                                : "SOCKS 4";
        Add(DiagnosisStepKind::Connect,
            Text(IDS_DIAG_CONNECT_PROXY, "connect-proxy", {kind, m_proxyAddress, m_server}));
    }
    if (m_s.IsUseHTTPS)
        Add(DiagnosisStepKind::Tls, Text(IDS_DIAG_TLS, "tls", {m_server}));
    const bool proxyLogin = m_httpProxy || (m_proxy && m_s.ProxyKind == PROXY_KIND_SOCKS5);
    Add(DiagnosisStepKind::Authentication,
        proxyLogin ? Text(IDS_DIAG_AUTH_PROXY_AND_SERVER, "authentication-proxy-and-server")
                   : Text(IDS_DIAG_AUTH_SERVER, "authentication-server"));
    Add(DiagnosisStepKind::HttpStatus,
        Text(IDS_DIAG_HTTP_STATUS, "http-status", {Utf8(m_s.ServiceURI)}));
    Add(DiagnosisStepKind::ServletAnswer, Text(IDS_DIAG_ANSWER, "answer"));
}

void CDiagnosisBuilder::Fail(DiagnosisStep& step, const DiagnosisRule& rule,
                             std::vector<std::string> args) {
    step.Verdict = DiagnosisVerdict::Failed;
    if (!m_f.Error.empty() && std::find(step.Details.begin(), step.Details.end(),
                                        "libcurl: " + m_f.Error) == step.Details.end())
        step.Details.push_back("libcurl: " + m_f.Error);
    step.Hint = Text(rule.Id, rule.Key, std::move(args));
}

// The configuration of the transfer failed: nothing was sent.
void CDiagnosisBuilder::SetupFailed() {
    AddAllSteps();
    for (DiagnosisStep& step : m_d.Steps)
        step.Details.push_back("Not attempted: the test stopped while it set up the transfer.");
    const int32_t result = m_f.InitializeResult;
    const std::string code = "Result " + std::to_string(result) + ".";
    DiagnosisStep* tls = Step(DiagnosisStepKind::Tls);
    switch (m_f.FailedStep) {
    case InitializeStep::CaInfo:
        if (tls == nullptr)
            break;
        tls->Details = {"Root CA certificate: " + Utf8(m_s.CACertPath), code};
        Fail(*tls, result == ERR_EASYCURL_CA_PROBLEM ? kRootCaUnreadable : kRootCaUnconvertible);
        return;
    case InitializeStep::ClientCert:
        if (tls == nullptr)
            break;
        tls->Details = {"Client certificate: " + Utf8(m_s.ClientCertPath), code};
        Fail(*tls, result == ERR_EASYCURL_BAD_PASSWORD     ? kClientCertPassword
                   : result == ERR_EASYCURL_CERT_PROBLEM   ? kClientCertDamaged
                   : result == ERR_EASYCURL_NO_CLIENT_CERT ? kClientCertMissing
                                                           : kClientCertUnreadable);
        return;
    case InitializeStep::Proxy:
        Step(DiagnosisStepKind::Connect)->Details.push_back(code);
        Fail(*Step(DiagnosisStepKind::Connect), kProxySetup);
        return;
    default:
        break;
    }
    m_d.Steps.front().Details.push_back(code);
    Fail(m_d.Steps.front(), kTransferSetup);
}

// No transfer ran.
void CDiagnosisBuilder::NotSent(const std::string& why) {
    AddAllSteps();
    for (DiagnosisStep& step : m_d.Steps)
        step.Details.push_back(why);
}

void CDiagnosisBuilder::Transfer() {
    AddAllSteps();
    bool reached = Resolve(*Step(DiagnosisStepKind::Resolve));
    reached = reached && Connect(*Step(DiagnosisStepKind::Connect));
    if (m_s.IsUseHTTPS) {
        DiagnosisStep& tls = *Step(DiagnosisStepKind::Tls);
        if (reached)
            reached = Tls(tls);
        else if (ProxyRefusedLogin())
            tls.Details.push_back("Not reached: the proxy did not open the way to the server.");
    }
    // The proxy's demand for a login ends the way at the proxy, whatever
    // was skipped on the way there.
    reached = (reached || ProxyRefusedLogin()) &&
              Authentication(*Step(DiagnosisStepKind::Authentication));
    reached = reached && HttpStatus(*Step(DiagnosisStepKind::HttpStatus));
    reached = reached && Answer(*Step(DiagnosisStepKind::ServletAnswer));
    if (m_o.Cancelled) {
        for (DiagnosisStep& step : m_d.Steps) {
            if (step.Verdict != DiagnosisVerdict::Passed) {
                step.Verdict = DiagnosisVerdict::Skipped;
                step.Hint = DiagnosisText();
                step.Details.push_back("Cancelled before this step was done.");
                break;
            }
        }
    }
}

bool CDiagnosisBuilder::ProxyRefusedLogin() const {
    if (m_tunnel && m_connectResponse != nullptr && IsAuthStatus(m_connectResponse->Status))
        return true;
    if (m_httpProxy && !m_tunnel && m_finalResponse != nullptr && m_finalResponse->Status == 407)
        return true;
    return m_proxy && !m_httpProxy && m_f.Result == CURLE_PROXY &&
           IsProxyLoginError(m_f.ProxyError);
}

bool CDiagnosisBuilder::Resolve(DiagnosisStep& step) {
    const bool proxyName = m_f.Result == CURLE_COULDNT_RESOLVE_PROXY;
    const bool serverName = m_f.Result == CURLE_COULDNT_RESOLVE_HOST ||
                            (m_f.Result == CURLE_PROXY && m_f.ProxyError == CURLPX_RESOLVE_HOST);
    if (proxyName || serverName) {
        const std::string name = Utf8(proxyName ? m_s.ProxyServerName : m_s.ServerName);
        step.Details.push_back("The name " + name + " was not found.");
        Fail(step, proxyName ? kProxyNameUnknown : kServerNameUnknown, {name});
        return false;
    }
    if (m_f.NameLookup == 0 && m_f.Tried.empty() && !Connected())
        return Undecided(step);
    // "Trying 127.0.0.1:3128..." names each address the lookup gave.
    for (const std::string& line : m_f.Tried) {
        std::string address = line.substr(std::strlen("Trying "));
        while (!address.empty() && address.back() == '.')
            address.pop_back();
        address = "Address: " + address.substr(0, address.rfind(':'));
        if (std::find(step.Details.begin(), step.Details.end(), address) == step.Details.end())
            step.Details.push_back(address);
    }
    step.Details.push_back("Looked up in " + Milliseconds(m_f.NameLookup) + ".");
    Pass(step);
    return true;
}

bool CDiagnosisBuilder::Connect(DiagnosisStep& step) {
    const std::string& target = m_proxy ? m_proxyAddress : m_server;
    if (!Connected()) {
        for (const std::string& line : m_f.Tried)
            step.Details.push_back(line);
        if (m_f.OsErrno != 0)
            step.Details.push_back(std::string("System error: ") +
                                   std::strerror(static_cast<int>(m_f.OsErrno)) + ".");
        if (m_f.Result == CURLE_COULDNT_CONNECT) {
            Fail(step, m_proxy ? kProxyRefused : kServerRefused, {target});
            return false;
        }
        if (m_f.Result == CURLE_OPERATION_TIMEDOUT) {
            Fail(step, m_proxy ? kProxyConnectTimeout : kServerConnectTimeout,
                 {target, std::to_string(m_s.ConnTimeOut)});
            return false;
        }
        return Undecided(step);
    }
    for (const std::string& line : m_f.Connected)
        step.Details.push_back(line);
    if (m_f.Connect > 0)
        step.Details.push_back("Connected in " + Milliseconds(m_f.Connect) + ".");
    for (const std::string& line : m_f.ProxyLines)
        step.Details.push_back(line);

    if (m_proxy && !m_httpProxy && m_f.Result == CURLE_PROXY) {
        if (IsProxyLoginError(m_f.ProxyError)) {
            step.Details.push_back("The proxy asked for a login before it went on to " + m_server +
                                   ".");
            Pass(step);
            return false;
        }
        return SocksRefused(step);
    }
    if (m_tunnel) {
        if (m_connectResponse == nullptr) {
            if (m_f.Result == CURLE_OK)
                return Undecided(step);
            Fail(step, kTunnelNoAnswer, {m_proxyAddress});
            return false;
        }
        const int status = m_connectResponse->Status;
        if (IsAuthStatus(status)) {
            step.Details.push_back("The proxy asked for a login before it opened the tunnel.");
            Pass(step);
            return false;
        }
        step.Details.push_back("The proxy answered: " + m_connectResponse->StatusLine);
        if (status < 200 || status > 299) {
            Fail(step, status == 403 || status == 405 ? kTunnelForbidden : kTunnelFailed,
                 {m_server, std::to_string(status)});
            return false;
        }
    }
    Pass(step);
    return true;
}

bool CDiagnosisBuilder::SocksRefused(DiagnosisStep& step) {
    switch (m_f.ProxyError) {
    case CURLPX_REPLY_CONNECTION_REFUSED:
        Fail(step, kSocksTargetRefused, {m_server});
        break;
    case CURLPX_REPLY_HOST_UNREACHABLE:
    case CURLPX_REPLY_NETWORK_UNREACHABLE:
    case CURLPX_REPLY_TTL_EXPIRED:
        Fail(step, kSocksTargetUnreachable, {m_server});
        break;
    case CURLPX_REPLY_NOT_ALLOWED:
    case CURLPX_REQUEST_FAILED:
    case CURLPX_IDENTD:
    case CURLPX_IDENTD_DIFFER:
        Fail(step, kSocksNotAllowed, {m_server});
        break;
    default:
        Fail(step, kSocksHandshake, {m_proxyAddress});
        break;
    }
    return false;
}

// The configured CA issued the top of the chain the server sent, or is
// that certificate itself.
bool CDiagnosisBuilder::ChainsToConfiguredRoot() const {
    if (m_f.Chain.empty())
        return false;
    const CertificateFacts& top = m_f.Chain.back();
    return std::any_of(m_f.Roots.begin(), m_f.Roots.end(), [&](const CertificateFacts& root) {
        return root.Subject == top.Issuer || root.Subject == top.Subject;
    });
}

void CDiagnosisBuilder::AddCertificateDetails(DiagnosisStep& step) {
    for (std::size_t i = 0; i < m_f.Chain.size(); ++i) {
        const CertificateFacts& cert = m_f.Chain[i];
        step.Details.push_back((i == 0 ? "Server certificate: " : "Chain certificate: ") +
                               cert.Subject);
        step.Details.push_back("  issued by " + cert.Issuer);
        step.Details.push_back("  valid from " + cert.NotBefore + " to " + cert.NotAfter +
                               (cert.Expired       ? " (expired)"
                                : cert.NotYetValid ? " (not yet valid)"
                                                   : ""));
    }
    if (!m_f.RootsRead)
        return;
    if (m_f.Roots.empty())
        step.Details.push_back("Configured root CA: " + Utf8(m_s.CACertPath) +
                               " (no certificate could be read from it)");
    for (const CertificateFacts& root : m_f.Roots)
        step.Details.push_back("Configured root CA: " + root.Subject + " (" + Utf8(m_s.CACertPath) +
                               ")");
}

bool CDiagnosisBuilder::Tls(DiagnosisStep& step) {
    const bool done = !m_f.TlsConnection.empty() || m_f.AppConnect > 0;
    const std::string protocol = !m_f.TlsConnection.empty() ? m_f.TlsConnection : m_f.TlsVersion;
    if (!protocol.empty())
        step.Details.push_back("Protocol: " + protocol);
    AddCertificateDetails(step);
    for (const std::string& alert : m_f.TlsAlerts)
        step.Details.push_back("The server sent: " + alert);
    // A server that asked for a client certificate and then ended the
    // connection before any answer did not take the one it got, if any.
    // TLS 1.3 servers say so only after the client has finished its part
    // of the handshake, so the client may fail sending its request
    // instead of reading the alert.
    const bool ended = m_f.Responses.empty() && m_f.Result != CURLE_OK &&
                       m_f.Result != CURLE_ABORTED_BY_CALLBACK &&
                       m_f.Result != CURLE_OPERATION_TIMEDOUT;
    if (m_f.CertificateRequested && ended &&
        (!m_s.RequireClientCert || !m_f.TlsAlerts.empty() || Contains(m_f.Error, " alert "))) {
        step.Details.push_back("The server asked for a client certificate.");
        Fail(step, m_s.RequireClientCert ? kClientCertRejectedInHandshake
                                         : kClientCertRequiredInHandshake);
        return false;
    }
    if (done && m_f.Result != CURLE_PEER_FAILED_VERIFICATION) {
        step.Details.push_back(ChainsToConfiguredRoot()
                                   ? "The server certificate chains to the configured root CA."
                                   : "The server certificate was accepted through one of this "
                                     "computer's trusted CAs.");
        if (m_f.AppConnect > m_f.Connect)
            step.Details.push_back("Handshake done in " +
                                   Milliseconds(m_f.AppConnect - m_f.Connect) + ".");
        Pass(step);
        return true;
    }
    const CertificateFacts* leaf = m_f.Chain.empty() ? nullptr : &m_f.Chain.front();
    switch (m_f.Result) {
    case CURLE_PEER_FAILED_VERIFICATION:
        return VerificationFailed(step, leaf);
    case CURLE_SSL_CACERT_BADFILE:
        Fail(step, kRootCaUnusable);
        return false;
    case CURLE_SSL_CERTPROBLEM:
        Fail(step, kClientCertUnusable);
        return false;
    case CURLE_SSL_CONNECT_ERROR:
        Fail(step,
             Contains(m_f.Error, "wrong version number") ||
                     Contains(m_f.Error, "packet length too long")
                 ? kNotTls
                 : kTlsFailed,
             {m_server});
        return false;
    case CURLE_OPERATION_TIMEDOUT:
        Fail(step, kTlsTimeout, {m_server, std::to_string(m_s.ConnTimeOut)});
        return false;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
        Fail(step, kTlsClosed, {m_server});
        return false;
    default:
        return Undecided(step);
    }
}

bool CDiagnosisBuilder::VerificationFailed(DiagnosisStep& step, const CertificateFacts* leaf) {
    // libcurl compares the name itself after OpenSSL accepted the chain,
    // and then reports only "unspecified" as the verify result; its
    // message names the target host.
    if (m_f.VerifyResult == X509_V_ERR_HOSTNAME_MISMATCH ||
        m_f.VerifyResult == X509_V_ERR_IP_ADDRESS_MISMATCH ||
        Contains(m_f.Error, "target host name") ||
        Contains(m_f.Error, "does not match target host")) {
        // The chain was good; the certificate is another host's.
        const std::string typed = Utf8(m_s.ServerName);
        const bool named = leaf != nullptr && !leaf->HostNames.empty();
        const std::string names = named ? Joined(leaf->HostNames) : "(none)";
        step.Details.push_back("Host name check: the certificate is for " + names +
                               "; Server address is " + typed + ".");
        if (named)
            Fail(step, kHostNameMismatch, {names, typed});
        else
            Fail(step, kHostNameMismatchNoName, {typed});
        return false;
    }
    step.Details.push_back("Not accepted: " +
                           std::string(m_f.VerifyResult != X509_V_OK
                                           ? X509_verify_cert_error_string(m_f.VerifyResult)
                                           : "unspecified") +
                           ".");
    switch (m_f.VerifyResult) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        Fail(step, kCertificateExpired, {leaf ? leaf->NotAfter : "?"});
        break;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        Fail(step, kCertificateNotYetValid, {leaf ? leaf->NotBefore : "?"});
        break;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        Fail(step, kCertificateUntrusted, {leaf ? leaf->Issuer : "?"});
        break;
    default:
        Fail(step, kCertificateRejected,
             {m_f.VerifyResult != X509_V_OK ? X509_verify_cert_error_string(m_f.VerifyResult)
                                            : "unspecified"});
        break;
    }
    return false;
}

// Nothing shows this step passed, and no known failure explains why.
bool CDiagnosisBuilder::Undecided(DiagnosisStep& step) {
    if (!m_o.Cancelled && m_f.Result != CURLE_ABORTED_BY_CALLBACK)
        FailUnexplained(step);
    return false;
}

void CDiagnosisBuilder::Unexplained() {
    for (DiagnosisStep& step : m_d.Steps) {
        if (step.Verdict != DiagnosisVerdict::Passed) {
            FailUnexplained(step);
            return;
        }
    }
    if (!m_d.Steps.empty())
        FailUnexplained(m_d.Steps.back());
}

void CDiagnosisBuilder::FailUnexplained(DiagnosisStep& step) {
    if (m_f.Ran)
        Fail(step, kUnexplainedTransfer,
             {std::to_string(m_f.Result), curl_easy_strerror(static_cast<CURLcode>(m_f.Result))});
    else
        Fail(step, kUnexplained);
}

} // namespace diagnosis_detail

ConnectionDiagnosis DiagnoseConnectionTest(const ConnectionTestSettings& settings,
                                           const ConnectionTestOutcome& outcome,
                                           const TransferFacts& facts) {
    return diagnosis_detail::CDiagnosisBuilder(settings, outcome, facts).Build();
}
