#include "comm/ConnectionDiagnosis.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string_view>

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include "comm/ConnectionTestWatch.h"
#include "comm/Easycurl.h"
#include "common/ASTCommonFunc.h"
#include "common/TextEscape.h"

namespace {

// ---------------------------------------------------------------------------
// Where the settings are, by the labels the pages show them under.

constexpr char kServerSettings[] = "Server address and Server port on the General page";
constexpr char kProxySettings[] =
    "Proxy address and Proxy port under Proxy server settings on the General page";
constexpr char kServerAuth[] = "User authentication under Kestrel server on the General page";
constexpr char kProxyAuth[] = "User authentication under Proxy server on the General page";
constexpr char kRootCa[] =
    "Root CA certificate path in the HTTPS settings (Settings... on the General page)";
constexpr char kClientCert[] = "Client certificate in the HTTPS settings (Settings... on the "
                               "General page)";
constexpr char kTimeout[] = "Timeout after on the Advanced page";

// ---------------------------------------------------------------------------
// Small text helpers.

std::string Trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return std::string(text);
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

std::vector<std::string> SplitLines(std::string_view block) {
    std::vector<std::string> lines;
    while (!block.empty()) {
        const std::size_t end = block.find('\n');
        // Text from the network: a terminal or the log must never get its
        // control sequences raw.
        std::string line = EscapeControlChars(Trimmed(block.substr(0, end)));
        if (!line.empty())
            lines.push_back(std::move(line));
        if (end == std::string_view::npos)
            break;
        block.remove_prefix(end + 1);
    }
    return lines;
}

std::string Milliseconds(curl_off_t microseconds) {
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

std::string Utf8(const std::u16string& text) {
    return ToNarrowString(text, CP_UTF8);
}

std::string HostAndPort(const std::u16string& host, int32_t port) {
    return Utf8(host) + ":" +
           std::to_string(static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xFFFFu));
}

std::string JoinedOr(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            text += i + 1 == names.size() ? " or " : ", ";
        text += names[i];
    }
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
        if ((static_cast<unsigned long>(bits) & scheme.bit) != 0 &&
            std::find(names.begin(), names.end(), scheme.name) == names.end())
            names.push_back(scheme.name);
    }
}

bool Offers(const std::vector<std::string>& offered, const std::string& method) {
    return std::any_of(offered.begin(), offered.end(), [&](const std::string& name) {
        return name.size() == method.size() && StartsWithNoCase(name, method);
    });
}

// A header line as it may be kept: the credentials of an Authorization or
// Proxy-Authorization header are replaced by a note, keeping only the scheme.
std::string SafeHeaderLine(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return std::string(line);
    const std::string name = Trimmed(line.substr(0, colon));
    if (StartsWithNoCase(name, "Authorization") || StartsWithNoCase(name, "Proxy-Authorization")) {
        const std::string value = Trimmed(line.substr(colon + 1));
        const std::string scheme = value.substr(0, value.find(' '));
        return name + ": " + scheme + " (credentials withheld)";
    }
    return std::string(line);
}

// ---------------------------------------------------------------------------
// Certificates.

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

struct CertificateFacts {
    std::string Subject;
    std::string Issuer;
    std::string NotBefore;
    std::string NotAfter;
    std::vector<std::string> HostNames;
    bool Expired = false;
    bool NotYetValid = false;
};

std::string NameText(const X509_NAME* name) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || name == nullptr)
        return "?";
    X509_NAME_print_ex(bio.get(), name, 0,
                       (XN_FLAG_ONELINE & ~XN_FLAG_SPC_EQ & ~ASN1_STRFLGS_ESC_MSB) |
                           ASN1_STRFLGS_UTF8_CONVERT);
    BUF_MEM* memory = nullptr;
    BIO_get_mem_ptr(bio.get(), &memory);
    return memory != nullptr ? EscapeControlChars(std::string_view(memory->data, memory->length))
                             : std::string("?");
}

// The names a certificate is valid for: its DNS and IP entries, or its
// common name where it has none (libcurl then compares that).
std::vector<std::string> HostNamesOf(X509* cert) {
    std::vector<std::string> names;
    auto* entries =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    bool anyHostEntry = false;
    for (int i = 0; entries != nullptr && i < sk_GENERAL_NAME_num(entries); ++i) {
        const GENERAL_NAME* entry = sk_GENERAL_NAME_value(entries, i);
        if (entry->type == GEN_DNS) {
            anyHostEntry = true;
            const ASN1_IA5STRING* dns = entry->d.dNSName;
            names.push_back(EscapeControlChars(
                std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                                 static_cast<std::size_t>(ASN1_STRING_length(dns)))));
        } else if (entry->type == GEN_IPADD) {
            anyHostEntry = true;
            const ASN1_OCTET_STRING* ip = entry->d.iPAddress;
            const unsigned char* bytes = ASN1_STRING_get0_data(ip);
            char text[64] = "?";
            if (ASN1_STRING_length(ip) == 4)
                std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2],
                              bytes[3]);
            else if (ASN1_STRING_length(ip) == 16)
                inet_ntop(AF_INET6, bytes, text, sizeof text);
            names.push_back(text);
        }
    }
    GENERAL_NAMES_free(entries);
    if (!anyHostEntry) {
        const X509_NAME* subject = X509_get_subject_name(cert);
        const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
        if (at >= 0) {
            const ASN1_STRING* cn = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
            names.push_back(EscapeControlChars(
                std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(cn)),
                                 static_cast<std::size_t>(ASN1_STRING_length(cn)))));
        }
    }
    ERR_clear_error();
    return names;
}

std::string TimeText(const ASN1_TIME* time) {
    std::tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1)
        return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

CertificateFacts FactsOf(X509* cert) {
    CertificateFacts facts;
    facts.Subject = NameText(X509_get_subject_name(cert));
    facts.Issuer = NameText(X509_get_issuer_name(cert));
    facts.NotBefore = TimeText(X509_get0_notBefore(cert));
    facts.NotAfter = TimeText(X509_get0_notAfter(cert));
    facts.HostNames = HostNamesOf(cert);
    facts.Expired = X509_cmp_current_time(X509_get0_notAfter(cert)) < 0;
    facts.NotYetValid = X509_cmp_current_time(X509_get0_notBefore(cert)) > 0;
    return facts;
}

uint32_t U24(const uint8_t* p) {
    return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

// The certificates of a TLS Certificate handshake message (type 11), as
// OpenSSL's message callback hands it to libcurl's debug function: TLS 1.3
// puts a request context before the list and extensions after each entry,
// TLS 1.2 has neither. Empty when the message is neither form.
std::vector<CertificateFacts> CertificatesOfHandshake(const uint8_t* data, std::size_t size) {
    std::vector<CertificateFacts> chain;
    if (size < 4 || data[0] != 11 || 4 + std::size_t{U24(data + 1)} > size)
        return chain;
    const uint8_t* body = data + 4;
    const std::size_t length = U24(data + 1);

    const auto parseList = [&](std::size_t listAt, bool withExtensions) {
        std::size_t at = listAt + 3;
        const std::size_t end = at + U24(body + listAt);
        while (at + 3 <= end) {
            const std::size_t certLength = U24(body + at);
            at += 3;
            if (at + certLength > end)
                return;
            const unsigned char* der = body + at;
            X509Ptr cert(d2i_X509(nullptr, &der, static_cast<long>(certLength)));
            ERR_clear_error();
            if (!cert)
                return;
            chain.push_back(FactsOf(cert.get()));
            at += certLength;
            if (withExtensions) {
                if (at + 2 > end)
                    return;
                at += 2 + ((std::size_t{body[at]} << 8) | body[at + 1]);
            }
        }
    };
    if (length >= 4) {
        const std::size_t context = body[0];
        if (1 + context + 3 <= length && 1 + context + 3 + U24(body + 1 + context) == length) {
            parseList(1 + context, true);
            return chain;
        }
    }
    if (length >= 3 && 3 + std::size_t{U24(body)} == length)
        parseList(0, false);
    return chain;
}

// The certificates of a CA file as libcurl would read it: PEM (one or more)
// or, after the wrapper's conversion, a single DER certificate.
std::vector<CertificateFacts> CertificatesOfFile(const std::string& path) {
    std::vector<CertificateFacts> certificates;
    BioPtr file(BIO_new_file(path.c_str(), "rb"));
    if (!file) {
        ERR_clear_error();
        return certificates;
    }
    while (X509Ptr cert{PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr)})
        certificates.push_back(FactsOf(cert.get()));
    ERR_clear_error();
    if (certificates.empty() && BIO_reset(file.get()) == 0) {
        if (X509Ptr cert{d2i_X509_bio(file.get(), nullptr)})
            certificates.push_back(FactsOf(cert.get()));
        ERR_clear_error();
    }
    return certificates;
}

// ---------------------------------------------------------------------------
// What the transfer showed, gathered while it ran.

struct HttpResponse {
    bool ToConnect = false; // the proxy's answer to CONNECT
    int Status = 0;
    std::string StatusLine;
    std::vector<std::string> Challenges; // WWW-/Proxy-Authenticate lines
    std::vector<std::string> Offered;    // their schemes
    std::string Server;
    std::string Location;
};

struct HttpRequest {
    std::string RequestLine;
    std::vector<std::string> Credentials; // "Proxy-Authorization: Basic (credentials withheld)"
};

struct TransferFacts {
    bool Ran = false;
    int32_t Result = 0;
    std::string Error;
    curl_off_t NameLookup = 0, Connect = 0, AppConnect = 0, PreTransfer = 0, StartTransfer = 0,
               Total = 0;
    std::string PrimaryIp;
    long PrimaryPort = 0;
    long ResponseCode = 0, ConnectCode = 0, VerifyResult = 0, ProxyError = 0;
    long HttpAuthAvail = 0, ProxyAuthAvail = 0, OsErrno = 0;
    std::vector<std::string> Tried;      // "Trying 127.0.0.1:3128..."
    std::vector<std::string> Connected;  // "Connected to ..."
    std::vector<std::string> ProxyLines; // the SOCKS handshake and the CONNECT tunnel
    std::vector<std::string> AuthLines;  // "Proxy auth using Basic with user 'x'"
    std::string TlsVersion;              // from the handshake messages
    std::string TlsConnection;           // "TLSv1.3 / TLS_AES_256_GCM_SHA384"
    bool CertificateRequested = false;   // the server asked for a client certificate
    std::vector<std::string> TlsAlerts;  // those the server sent
    std::vector<CertificateFacts> Chain; // the server's, leaf first
    std::vector<HttpRequest> Requests;
    std::vector<HttpResponse> Responses;
    bool Answered = false;
    int32_t AnswerLength = 0;
    bool AnswerTooLong = false;
    ResponseFraming Framing = ResponseFraming::TooShort;
};

class CDiagnosisRecorder final : public CTransferObserver, public IConnectionTestWatcher {
public:
    explicit CDiagnosisRecorder(std::vector<std::string> secrets) : m_secrets(std::move(secrets)) {}

    void OnConfigured(CHTTP& http, int32_t result, InitializeStep failedStep) override {
        InitializeResult = result;
        FailedStep = failedStep;
        if (result == 0)
            http.SetTransferObserver(this);
    }

    void OnAnswer(const ResponseBuffer& response, ResponseFraming framing) override {
        Facts.Answered = true;
        Facts.AnswerLength = response.Length;
        Facts.AnswerTooLong = response.Overflowed;
        Facts.Framing = framing;
    }

    void BeforeTransfer(CURL* curl) override {
        Facts.Ran = true;
        m_error[0] = '\0';
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, m_error);
        curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &DebugCallback);
        curl_easy_setopt(curl, CURLOPT_DEBUGDATA, static_cast<void*>(this));
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(curl, CURLOPT_CERTINFO, 1L);
    }

    void AfterTransfer(CURL* curl, int32_t result) override {
        TransferFacts& f = Facts;
        f.Result = result;
        m_error[CURL_ERROR_SIZE - 1] = '\0';
        f.Error = Kept(Trimmed(m_error)) ? EscapeControlChars(Trimmed(m_error)) : std::string();
        curl_easy_getinfo(curl, CURLINFO_NAMELOOKUP_TIME_T, &f.NameLookup);
        curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &f.Connect);
        curl_easy_getinfo(curl, CURLINFO_APPCONNECT_TIME_T, &f.AppConnect);
        curl_easy_getinfo(curl, CURLINFO_PRETRANSFER_TIME_T, &f.PreTransfer);
        curl_easy_getinfo(curl, CURLINFO_STARTTRANSFER_TIME_T, &f.StartTransfer);
        curl_easy_getinfo(curl, CURLINFO_TOTAL_TIME_T, &f.Total);
        char* ip = nullptr;
        if (curl_easy_getinfo(curl, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip != nullptr)
            f.PrimaryIp = ip;
        curl_easy_getinfo(curl, CURLINFO_PRIMARY_PORT, &f.PrimaryPort);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &f.ResponseCode);
        curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &f.ConnectCode);
        curl_easy_getinfo(curl, CURLINFO_SSL_VERIFYRESULT, &f.VerifyResult);
        curl_easy_getinfo(curl, CURLINFO_PROXY_ERROR, &f.ProxyError);
        curl_easy_getinfo(curl, CURLINFO_HTTPAUTH_AVAIL, &f.HttpAuthAvail);
        curl_easy_getinfo(curl, CURLINFO_PROXYAUTH_AVAIL, &f.ProxyAuthAvail);
        curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &f.OsErrno);
        // libcurl's own account of the chain is the whole one; the handshake
        // message seen earlier is all there is when verification failed.
        curl_certinfo* certinfo = nullptr;
        if (curl_easy_getinfo(curl, CURLINFO_CERTINFO, &certinfo) == CURLE_OK &&
            certinfo != nullptr && certinfo->num_of_certs > 0) {
            std::vector<CertificateFacts> chain;
            for (int i = 0; i < certinfo->num_of_certs; ++i) {
                for (const curl_slist* item = certinfo->certinfo[i]; item; item = item->next) {
                    if (!StartsWith(item->data, "Cert:"))
                        continue;
                    BioPtr pem(BIO_new_mem_buf(item->data + 5, -1));
                    X509Ptr cert(pem ? PEM_read_bio_X509(pem.get(), nullptr, nullptr, nullptr)
                                     : nullptr);
                    if (cert)
                        chain.push_back(FactsOf(cert.get()));
                }
            }
            ERR_clear_error();
            if (!chain.empty())
                f.Chain = std::move(chain);
        }
        // The handle must not point into this object once it is gone.
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
        curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, nullptr);
        curl_easy_setopt(curl, CURLOPT_DEBUGDATA, nullptr);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
        curl_easy_setopt(curl, CURLOPT_CERTINFO, 0L);
    }

    int32_t InitializeResult = 0;
    InitializeStep FailedStep = InitializeStep::None;
    TransferFacts Facts;

private:
    static int DebugCallback(CURL*, curl_infotype type, char* data, std::size_t size, void* user) {
        auto* self = static_cast<CDiagnosisRecorder*>(user);
        switch (type) {
        case CURLINFO_TEXT:
            for (const std::string& line : SplitLines(std::string_view(data, size)))
                self->OnText(line);
            break;
        case CURLINFO_HEADER_OUT:
            self->OnHeaderOut(std::string_view(data, size));
            break;
        case CURLINFO_HEADER_IN:
            for (const std::string& line : SplitLines(std::string_view(data, size)))
                self->OnHeaderIn(line);
            break;
        case CURLINFO_SSL_DATA_IN:
            self->OnTlsIn(reinterpret_cast<const uint8_t*>(data), size);
            break;
        default:
            // Bodies and outgoing TLS records say nothing the test does not
            // already know.
            break;
        }
        return 0;
    }

    // A line from the transfer that could carry a password is never kept.
    bool Kept(const std::string& line) const {
        return std::none_of(m_secrets.begin(), m_secrets.end(),
                            [&](const std::string& secret) { return Contains(line, secret); });
    }

    void OnText(const std::string& line) {
        if (!Kept(line))
            return;
        TransferFacts& f = Facts;
        if (StartsWith(line, "Trying "))
            f.Tried.push_back(line);
        else if (StartsWith(line, "Connected to "))
            f.Connected.push_back(line);
        else if (Contains(line, "SOCKS") || StartsWith(line, "Establish HTTP proxy tunnel") ||
                 StartsWith(line, "CONNECT tunnel") || StartsWith(line, "CONNECT phase"))
            f.ProxyLines.push_back(line);
        else if (Contains(line, " auth using ")) {
            if (std::find(f.AuthLines.begin(), f.AuthLines.end(), line) == f.AuthLines.end())
                f.AuthLines.push_back(line);
        } else if (StartsWith(line, "SSL connection using "))
            f.TlsConnection = line.substr(std::strlen("SSL connection using "));
        else if ((StartsWith(line, "TLSv1") || StartsWith(line, "SSLv3")) &&
                 Contains(line, "(IN)")) {
            // What the server answered in; the client's hello says only what
            // it offered.
            f.TlsVersion = line.substr(0, line.find(' '));
            if (Contains(line, "Request CERT"))
                f.CertificateRequested = true;
            if (Contains(line, "TLS alert"))
                f.TlsAlerts.push_back(line);
        }
    }

    void OnHeaderOut(std::string_view block) {
        const std::vector<std::string> lines = SplitLines(block);
        if (lines.empty())
            return;
        HttpRequest request;
        request.RequestLine = Kept(lines.front()) ? lines.front() : "(request line withheld)";
        for (std::size_t i = 1; i < lines.size(); ++i) {
            if (StartsWithNoCase(lines[i], "Authorization:") ||
                StartsWithNoCase(lines[i], "Proxy-Authorization:"))
                request.Credentials.push_back(SafeHeaderLine(lines[i]));
        }
        Facts.Requests.push_back(std::move(request));
    }

    void OnHeaderIn(const std::string& line) {
        TransferFacts& f = Facts;
        if (StartsWith(line, "HTTP/")) {
            HttpResponse response;
            response.ToConnect =
                !f.Requests.empty() && StartsWith(f.Requests.back().RequestLine, "CONNECT ");
            response.StatusLine = line;
            const std::size_t space = line.find(' ');
            if (space != std::string::npos)
                response.Status = std::atoi(line.c_str() + space + 1);
            f.Responses.push_back(std::move(response));
            return;
        }
        if (f.Responses.empty() || !Kept(line))
            return;
        HttpResponse& response = f.Responses.back();
        const std::string value = Trimmed(line.substr(std::min(line.size(), line.find(':') + 1)));
        if (StartsWithNoCase(line, "WWW-Authenticate:") ||
            StartsWithNoCase(line, "Proxy-Authenticate:")) {
            response.Challenges.push_back(line);
            const std::string scheme = value.substr(0, value.find(' '));
            if (!scheme.empty() && !Offers(response.Offered, scheme))
                response.Offered.push_back(scheme);
        } else if (StartsWithNoCase(line, "Server:")) {
            response.Server = value;
        } else if (StartsWithNoCase(line, "Location:")) {
            response.Location = value;
        }
    }

    void OnTlsIn(const uint8_t* data, std::size_t size) {
        // The first Certificate message that arrives is the server's.
        if (Facts.Chain.empty())
            Facts.Chain = CertificatesOfHandshake(data, size);
    }

    std::vector<std::string> m_secrets;
    char m_error[CURL_ERROR_SIZE] = {};
};

// ---------------------------------------------------------------------------
// From what was seen to the steps.

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

class CDiagnosisBuilder {
public:
    CDiagnosisBuilder(const ConnectionTestSettings& settings, const ConnectionTestOutcome& outcome,
                      const CDiagnosisRecorder& recorder)
        : m_s(settings), m_o(outcome), m_r(recorder), m_f(recorder.Facts) {
        m_proxy = settings.ProxyEnabled && settings.ProxyKind >= PROXY_KIND_HTTP &&
                  settings.ProxyKind <= PROXY_KIND_SOCKS4;
        m_httpProxy = m_proxy && settings.ProxyKind == PROXY_KIND_HTTP;
        m_tunnel = m_httpProxy && settings.IsUseHTTPS;
        m_server = HostAndPort(settings.ServerName, settings.ServerPort);
        m_proxyAddress = HostAndPort(settings.ProxyServerName, settings.ProxyServerPort);
        for (const HttpResponse& response : m_f.Responses)
            (response.ToConnect ? m_connectResponse : m_finalResponse) = &response;
    }

    ConnectionDiagnosis Build() {
        if (m_o.Cancelled && !m_f.Ran)
            NotSent("Cancelled before the request was sent.");
        else if (m_r.InitializeResult != 0)
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

private:
    DiagnosisStep& Add(DiagnosisStepKind kind, std::string title) {
        DiagnosisStep& step = m_d.Steps.emplace_back();
        step.Kind = kind;
        step.Title = std::move(title);
        return step;
    }

    DiagnosisStep* FirstFailed() {
        for (DiagnosisStep& step : m_d.Steps) {
            if (step.Verdict == DiagnosisVerdict::Failed)
                return &step;
        }
        return nullptr;
    }

    // Each step of the transfer, in its order; a step that is not reached
    // leaves the rest skipped.
    void AddAllSteps() {
        Add(DiagnosisStepKind::Resolve, ResolveTitle());
        Add(DiagnosisStepKind::Connect, ConnectTitle());
        if (m_s.IsUseHTTPS)
            Add(DiagnosisStepKind::Tls, "TLS with the server " + m_server);
        const bool proxyLogin = m_httpProxy || (m_proxy && m_s.ProxyKind == PROXY_KIND_SOCKS5);
        Add(DiagnosisStepKind::Authentication, proxyLogin
                                                   ? "Authentication with the proxy and the server"
                                                   : "Authentication with the server");
        Add(DiagnosisStepKind::HttpStatus, "HTTP status of the POST to " + Utf8(m_s.ServiceURI));
        Add(DiagnosisStepKind::ServletAnswer, "The servlet's answer");
    }

    DiagnosisStep* Step(DiagnosisStepKind kind) {
        for (DiagnosisStep& step : m_d.Steps) {
            if (step.Kind == kind)
                return &step;
        }
        return nullptr;
    }

    std::string ResolveTitle() const {
        if (!m_proxy)
            return "Resolve the server name " + Utf8(m_s.ServerName);
        if (m_httpProxy)
            return "Resolve the proxy name " + Utf8(m_s.ProxyServerName);
        // libcurl looks the server's name up itself and hands the SOCKS
        // proxy an address.
        return "Resolve the proxy name " + Utf8(m_s.ProxyServerName) + " and the server name " +
               Utf8(m_s.ServerName);
    }

    std::string ConnectTitle() const {
        if (!m_proxy)
            return "Connect to the server " + m_server;
        const char* kind = m_s.ProxyKind == PROXY_KIND_HTTP     ? "HTTP"
                           : m_s.ProxyKind == PROXY_KIND_SOCKS5 ? "SOCKS 5"
                                                                : "SOCKS 4";
        return std::string("Connect to the ") + kind + " proxy " + m_proxyAddress +
               ", then through it to " + m_server;
    }

    void Pass(DiagnosisStep& step) { step.Verdict = DiagnosisVerdict::Passed; }

    void Fail(DiagnosisStep& step, std::string hint, const char* rule = "") {
        step.Verdict = DiagnosisVerdict::Failed;
        step.Rule = rule;
        if (!m_f.Error.empty() && std::find(step.Details.begin(), step.Details.end(),
                                            "libcurl: " + m_f.Error) == step.Details.end())
            step.Details.push_back("libcurl: " + m_f.Error);
        step.Hint = std::move(hint);
    }

    // The configuration of the transfer failed: nothing was sent.
    void SetupFailed() {
        AddAllSteps();
        for (DiagnosisStep& step : m_d.Steps)
            step.Details.push_back("Not attempted: the test stopped while it set up the transfer.");
        const int32_t result = m_r.InitializeResult;
        const std::string code = "Result " + std::to_string(result) + ".";
        switch (m_r.FailedStep) {
        case InitializeStep::CaInfo: {
            DiagnosisStep& tls = *Step(DiagnosisStepKind::Tls);
            tls.Details = {"Root CA certificate: " + Utf8(m_s.CACertPath), code};
            Fail(tls, result == ERR_EASYCURL_CA_PROBLEM
                          ? "The root CA certificate file cannot be read: choose a readable file "
                            "as " +
                                std::string(kRootCa) + "."
                          : "The root CA certificate could not be converted for use (the program "
                            "directory must be writable): check " +
                                std::string(kRootCa) + ".");
            return;
        }
        case InitializeStep::ClientCert: {
            DiagnosisStep& tls = *Step(DiagnosisStepKind::Tls);
            tls.Details = {"Client certificate: " + Utf8(m_s.ClientCertPath), code};
            std::string hint;
            switch (result) {
            case ERR_EASYCURL_BAD_PASSWORD:
                hint = "The client certificate's password is wrong: correct Password under ";
                break;
            case ERR_EASYCURL_CERT_PROBLEM:
                hint = "The client certificate file is damaged or holds no private key: choose "
                       "another File path under ";
                break;
            case ERR_EASYCURL_NO_CLIENT_CERT:
                hint = "No client certificate file is given: choose its File path under ";
                break;
            default:
                hint = "The client certificate file cannot be read, or its copy cannot be "
                       "written into the program directory: check File path under ";
                break;
            }
            Fail(tls, hint + kClientCert + ".");
            return;
        }
        case InitializeStep::Proxy: {
            DiagnosisStep& connect = *Step(DiagnosisStepKind::Connect);
            connect.Details.push_back(code);
            Fail(connect, "The proxy cannot be set up: check " + std::string(kProxySettings) + ".");
            return;
        }
        default: {
            DiagnosisStep& resolve = m_d.Steps.front();
            resolve.Details.push_back(code);
            Fail(resolve, "The transfer cannot be set up: check " + std::string(kServerSettings) +
                              " and the protocol.");
            return;
        }
        }
    }

    // No transfer ran.
    void NotSent(const std::string& why) {
        AddAllSteps();
        for (DiagnosisStep& step : m_d.Steps)
            step.Details.push_back(why);
    }

    void Transfer() {
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
                    step.Hint.clear();
                    step.Details.push_back("Cancelled before this step was done.");
                    break;
                }
            }
        }
    }

    bool Connected() const { return !m_f.Connected.empty() || m_f.Connect > 0; }

    bool ProxyRefusedLogin() const {
        if (m_tunnel && m_connectResponse != nullptr && IsAuthStatus(m_connectResponse->Status))
            return true;
        if (m_httpProxy && !m_tunnel && m_finalResponse != nullptr &&
            m_finalResponse->Status == 407)
            return true;
        return m_proxy && !m_httpProxy && m_f.Result == CURLE_PROXY &&
               IsProxyLoginError(m_f.ProxyError);
    }

    bool Resolve(DiagnosisStep& step) {
        const bool proxyName = m_f.Result == CURLE_COULDNT_RESOLVE_PROXY;
        const bool serverName =
            m_f.Result == CURLE_COULDNT_RESOLVE_HOST ||
            (m_f.Result == CURLE_PROXY && m_f.ProxyError == CURLPX_RESOLVE_HOST);
        if (proxyName || serverName) {
            const std::string name = Utf8(proxyName ? m_s.ProxyServerName : m_s.ServerName);
            step.Details.push_back("The name " + name + " was not found.");
            Fail(step, "This computer cannot find the address of " + name + ": correct " +
                           (proxyName ? "Proxy address under Proxy server settings"
                                      : std::string("Server address")) +
                           " on the General page (an IP address also works), or check this "
                           "computer's name service (DNS).");
            return false;
        }
        if (m_f.NameLookup == 0 && m_f.Tried.empty() && !Connected())
            return Undecided(step);
        // "Trying 127.0.0.1:3128..." names each address the lookup gave.
        for (const std::string& line : m_f.Tried) {
            std::string address = line.substr(std::strlen("Trying "));
            while (!address.empty() && address.back() == '.')
                address.pop_back();
            address = address.substr(0, address.rfind(':'));
            if (std::find(step.Details.begin(), step.Details.end(), "Address: " + address) ==
                step.Details.end())
                step.Details.push_back("Address: " + address);
        }
        step.Details.push_back("Looked up in " + Milliseconds(m_f.NameLookup) + ".");
        Pass(step);
        return true;
    }

    bool Connect(DiagnosisStep& step) {
        const std::string& target = m_proxy ? m_proxyAddress : m_server;
        if (!Connected()) {
            for (const std::string& line : m_f.Tried)
                step.Details.push_back(line);
            if (m_f.OsErrno != 0)
                step.Details.push_back(std::string("System error: ") + std::strerror(m_f.OsErrno) +
                                       ".");
            const std::string where =
                m_proxy ? std::string(kProxySettings) : std::string(kServerSettings);
            if (m_f.Result == CURLE_COULDNT_CONNECT) {
                Fail(step, "Nothing accepts connections at " + target + ": check " + where +
                               ", and that the " + (m_proxy ? "proxy" : "server") +
                               " is running; a firewall may also refuse the connection.");
                return false;
            }
            if (m_f.Result == CURLE_OPERATION_TIMEDOUT) {
                Fail(step, "No connection to " + target + " within " +
                               std::to_string(m_s.ConnTimeOut) + " seconds: check " + where +
                               " and any firewall on the way; a slow network needs a longer " +
                               kTimeout + ".");
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
                step.Details.push_back("The proxy asked for a login before it went on to " +
                                       m_server + ".");
                Pass(step);
                return false;
            }
            return SocksRefused(step);
        }
        if (m_tunnel) {
            if (m_connectResponse == nullptr) {
                if (m_f.Result == CURLE_OK)
                    return Undecided(step);
                Fail(step, "The proxy at " + m_proxyAddress +
                               " did not answer the request for a tunnel: check that it is an "
                               "HTTP proxy (Type under Proxy server settings on the General page) "
                               "and its Proxy port.");
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
                Fail(step, status == 403 || status == 405
                               ? "The proxy does not allow a tunnel to " + m_server +
                                     ": ask its administrator to allow this port, or choose "
                                     "another proxy under Proxy server settings on the General "
                                     "page."
                               : "The proxy could not reach " + m_server + ": check " +
                                     kServerSettings + ".");
                return false;
            }
        }
        Pass(step);
        return true;
    }

    bool SocksRefused(DiagnosisStep& step) {
        switch (m_f.ProxyError) {
        case CURLPX_REPLY_CONNECTION_REFUSED:
            Fail(step, "The proxy reached " + m_server +
                           " but nothing accepts connections there: "
                           "check " +
                           kServerSettings + ", and that the server is running.");
            break;
        case CURLPX_REPLY_HOST_UNREACHABLE:
        case CURLPX_REPLY_NETWORK_UNREACHABLE:
        case CURLPX_REPLY_TTL_EXPIRED:
            Fail(step, "The proxy cannot reach " + m_server + ": check " + kServerSettings +
                           "; the server may not be reachable from the proxy's network.");
            break;
        case CURLPX_REPLY_NOT_ALLOWED:
        case CURLPX_REQUEST_FAILED:
        case CURLPX_IDENTD:
        case CURLPX_IDENTD_DIFFER:
            Fail(step, "The proxy does not allow a connection to " + m_server +
                           ": ask its administrator, or choose another proxy under Proxy server "
                           "settings on the General page.");
            break;
        default:
            Fail(step, "The proxy at " + m_proxyAddress +
                           " does not complete the SOCKS handshake: check Type (SOCKS 5 or "
                           "SOCKS 4) and Proxy port under Proxy server settings on the General "
                           "page.");
            break;
        }
        return false;
    }

    // The configured CA issued the top of the chain the server sent, or is
    // that certificate itself.
    bool ChainsToConfiguredRoot() const {
        if (m_f.Chain.empty())
            return false;
        const CertificateFacts& top = m_f.Chain.back();
        return std::any_of(m_roots.begin(), m_roots.end(), [&](const CertificateFacts& root) {
            return root.Subject == top.Issuer || root.Subject == top.Subject;
        });
    }

    void AddCertificateDetails(DiagnosisStep& step) {
        for (std::size_t i = 0; i < m_f.Chain.size(); ++i) {
            const CertificateFacts& cert = m_f.Chain[i];
            const std::string who = i == 0 ? "Server certificate" : "Chain certificate";
            step.Details.push_back(who + ": " + cert.Subject);
            step.Details.push_back("  issued by " + cert.Issuer);
            step.Details.push_back("  valid from " + cert.NotBefore + " to " + cert.NotAfter +
                                   (cert.Expired       ? " (expired)"
                                    : cert.NotYetValid ? " (not yet valid)"
                                                       : ""));
        }
        m_roots = CertificatesOfFile(ToNarrowString(m_s.CACertPath, CP_ACP));
        if (m_roots.empty())
            step.Details.push_back("Configured root CA: " + Utf8(m_s.CACertPath) +
                                   " (no certificate could be read from it)");
        for (const CertificateFacts& root : m_roots)
            step.Details.push_back("Configured root CA: " + root.Subject + " (" +
                                   Utf8(m_s.CACertPath) + ")");
    }

    bool Tls(DiagnosisStep& step) {
        const bool done = !m_f.TlsConnection.empty() || m_f.AppConnect > 0;
        const std::string protocol =
            !m_f.TlsConnection.empty() ? m_f.TlsConnection : m_f.TlsVersion;
        if (!protocol.empty())
            step.Details.push_back("Protocol: " + protocol);
        AddCertificateDetails(step);
        const std::string reason =
            m_f.VerifyResult != X509_V_OK ? X509_verify_cert_error_string(m_f.VerifyResult) : "";

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
        const bool clientCertRefused =
            m_f.CertificateRequested && ended &&
            (!m_s.RequireClientCert || !m_f.TlsAlerts.empty() || Contains(m_f.Error, " alert "));
        if (clientCertRefused) {
            step.Details.push_back("The server asked for a client certificate.");
            Fail(step, m_s.RequireClientCert
                           ? "The server refused the client certificate: choose one that the "
                             "server's CA issued under " +
                                 std::string(kClientCert) + "."
                           : "The server requires a client certificate: check Web server requires "
                             "client certificates and choose the certificate under " +
                                 std::string(kClientCert) + ".");
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
            // libcurl compares the name itself after OpenSSL accepted the
            // chain, and then reports only "unspecified" as the verify
            // result; its message names the target host.
            if (m_f.VerifyResult == X509_V_ERR_HOSTNAME_MISMATCH ||
                m_f.VerifyResult == X509_V_ERR_IP_ADDRESS_MISMATCH ||
                Contains(m_f.Error, "target host name") ||
                Contains(m_f.Error, "does not match target host")) {
                // The chain was good; the certificate is another host's.
                const std::string typed = Utf8(m_s.ServerName);
                const std::string names = leaf != nullptr && !leaf->HostNames.empty()
                                              ? JoinedOr(leaf->HostNames)
                                              : std::string("no host name");
                step.Details.push_back("Host name check: the certificate is for " + names +
                                       "; Server address is " + typed + ".");
                Fail(step,
                     "The server's certificate is for " + names + ", not for " + typed +
                         " as typed in Server address: type the name the certificate carries as "
                         "Server address on the General page, or have the server's certificate "
                         "issued for " +
                         typed + ".",
                     "host-name-mismatch");
                return false;
            }
            step.Details.push_back("Not accepted: " + reason + ".");
            switch (m_f.VerifyResult) {
            case X509_V_ERR_CERT_HAS_EXPIRED:
                Fail(step, "The server's certificate expired" +
                               (leaf ? " on " + leaf->NotAfter : std::string()) +
                               ": the server needs a new certificate, which no setting here can "
                               "replace. If that date has not passed yet, correct this "
                               "computer's clock.");
                break;
            case X509_V_ERR_CERT_NOT_YET_VALID:
                Fail(step, "The server's certificate is not valid yet" +
                               (leaf ? " (from " + leaf->NotBefore + ")" : std::string()) +
                               ": correct this computer's clock, or give the server a "
                               "certificate that is valid now.");
                break;
            case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
            case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
            case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
            case X509_V_ERR_CERT_SIGNATURE_FAILURE:
                Fail(step, "The server's certificate does not chain to the configured root CA" +
                               (leaf ? " (it was issued by " + leaf->Issuer + ")" : std::string()) +
                               ": choose the certificate of the CA that issued it as " + kRootCa +
                               ".");
                break;
            default:
                Fail(step, "The server's certificate was not accepted (" + reason + "): check " +
                               kRootCa + ", or ask the server's administrator.");
                break;
            }
            return false;
        case CURLE_SSL_CACERT_BADFILE:
            Fail(step, "libcurl cannot use the root CA certificate file: choose a certificate "
                       "file in PEM or DER form as " +
                           std::string(kRootCa) + ".");
            return false;
        case CURLE_SSL_CERTPROBLEM:
            Fail(step, "libcurl cannot use the client certificate: check File path and Password "
                       "under " +
                           std::string(kClientCert) + ".");
            return false;
        case CURLE_SSL_CONNECT_ERROR:
            if (Contains(m_f.Error, "wrong version number") ||
                Contains(m_f.Error, "packet length too long")) {
                Fail(step, "The server at " + m_server +
                               " does not answer in TLS: choose HTTP as "
                               "Protocol, or correct Server port, on the General page.");
            } else {
                Fail(step, "The TLS handshake with " + m_server +
                               " failed: check Protocol and "
                               "Server port on the General page and " +
                               kClientCert + ".");
            }
            return false;
        case CURLE_OPERATION_TIMEDOUT:
            Fail(step, "The TLS handshake with " + m_server + " did not finish within " +
                           std::to_string(m_s.ConnTimeOut) +
                           " seconds: check that Server port "
                           "on the General page serves HTTPS; a slow network needs a longer " +
                           kTimeout + ".");
            return false;
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            Fail(step, "The server at " + m_server +
                           " closed the connection during the TLS "
                           "handshake: check Protocol and Server port on the General page and " +
                           kClientCert + ".");
            return false;
        default:
            return Undecided(step);
        }
    }

    void AuthFailure(DiagnosisStep& step, bool proxy, const HttpResponse* response) {
        std::vector<std::string> offered;
        if (response != nullptr) {
            step.Details.push_back(std::string(proxy ? "The proxy" : "The server") +
                                   " answered: " + response->StatusLine);
            for (const std::string& line : response->Challenges)
                step.Details.push_back(line);
            offered = response->Offered;
        }
        AddSchemesFromBits(
            proxy ? (response && response->Status == 401 ? m_f.HttpAuthAvail : m_f.ProxyAuthAvail)
                  : m_f.HttpAuthAvail,
            offered);
        if (!offered.empty())
            step.Details.push_back("Offered: " + JoinedOr(offered));

        const bool socks = proxy && !m_httpProxy;
        const bool haveUser = proxy ? !m_s.ProxyUser.empty() : m_s.IsUseHTTPAuth;
        const std::string method =
            proxy ? MethodName(m_s.HTTPProxyAuthMethod) : MethodName(m_s.ServerAuthMethod);
        const std::string who = proxy ? (socks ? "The SOCKS 5 proxy" : "The proxy") : "The server";
        const std::string where = proxy ? kProxyAuth : kServerAuth;
        if (haveUser) {
            const std::string user =
                "user '" + Utf8(proxy ? m_s.ProxyUser : m_s.HTTPAuthUser) + "'";
            step.Details.push_back("Configured: " +
                                   (socks ? user + " with a password" : method + " as " + user));
        } else {
            step.Details.push_back("Configured: no user authentication");
        }
        const std::string answered =
            response != nullptr ? " answered " + std::to_string(response->Status) + " and" : "";

        if (socks) {
            Fail(step, haveUser ? who +
                                      " refused the user name and password: correct User name "
                                      "and Password under " +
                                      where + "."
                                : who + " requires a user name and password: check " + where +
                                      " and enter them.");
            return;
        }
        if (!haveUser) {
            std::string hint = who + answered + " asks for a user name and password" +
                               (offered.empty() ? "" : " (it offers " + JoinedOr(offered) + ")") +
                               ": check " + where + " and enter them";
            if (!offered.empty() && !Offers(offered, method))
                hint += ", with " + offered.front() + " as Method";
            Fail(step, hint + ".");
            return;
        }
        if (!offered.empty() && !Offers(offered, method)) {
            Fail(step, who + answered + " offers " + JoinedOr(offered) + " while " + method +
                           " is configured: choose " + offered.front() + " as Method under " +
                           where + ".");
            return;
        }
        Fail(step, who + answered +
                       " refused the user name and password: correct User name and "
                       "Password under " +
                       where + ".");
    }

    bool Authentication(DiagnosisStep& step) {
        for (const HttpRequest& request : m_f.Requests) {
            for (const std::string& line : request.Credentials) {
                if (std::find(step.Details.begin(), step.Details.end(), "Sent " + line) ==
                    step.Details.end())
                    step.Details.push_back("Sent " + line);
            }
        }
        for (const std::string& line : m_f.AuthLines)
            step.Details.push_back(line);

        if (ProxyRefusedLogin()) {
            AuthFailure(step, true, m_tunnel ? m_connectResponse : m_finalResponse);
            return false;
        }
        if (m_finalResponse == nullptr)
            return NoAnswerYet(step);
        if (m_finalResponse->Status == 401) {
            AuthFailure(step, false, m_finalResponse);
            return false;
        }
        const bool proxyLogin =
            m_proxy && !m_s.ProxyUser.empty() && m_s.ProxyKind != PROXY_KIND_SOCKS4;
        if (proxyLogin)
            step.Details.push_back("The proxy accepted the login of user '" + Utf8(m_s.ProxyUser) +
                                   "'.");
        if (m_s.IsUseHTTPAuth)
            step.Details.push_back("The server accepted " +
                                   std::string(MethodName(m_s.ServerAuthMethod)) + " as user '" +
                                   Utf8(m_s.HTTPAuthUser) + "'.");
        if (!proxyLogin && !m_s.IsUseHTTPAuth)
            step.Details.push_back("No login was asked for.");
        Pass(step);
        return true;
    }

    // The request went out and no answer came back.
    bool NoAnswerYet(DiagnosisStep& step) {
        switch (m_f.Result) {
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            // No login was refused; what went wrong belongs to the status.
            step.Details.push_back("No answer arrived to show whether a login is needed.");
            step.Verdict = DiagnosisVerdict::Passed;
            return true;
        default:
            return Undecided(step);
        }
    }

    bool HttpStatus(DiagnosisStep& step) {
        if (m_finalResponse == nullptr) {
            std::string hint;
            switch (m_f.Result) {
            case CURLE_OPERATION_TIMEDOUT:
                hint = m_server + " took the request but did not answer within " +
                       std::to_string(m_s.ConnTimeOut) +
                       " seconds: the server may be "
                       "overloaded; a longer " +
                       kTimeout + " gives it more time.";
                break;
            case CURLE_GOT_NOTHING:
                hint = m_server + " closed the connection without answering: check Protocol "
                                  "(HTTP or HTTPS) and Server port on the General page.";
                break;
            case CURLE_RECV_ERROR:
            case CURLE_SEND_ERROR:
                hint = "The connection to " + m_server +
                       " broke before the answer arrived: try "
                       "again; if this persists, check Protocol and Server port on the General "
                       "page.";
                break;
            default:
                return Undecided(step);
            }
            step.Details.push_back("No answer arrived.");
            Fail(step, hint);
            return false;
        }
        const HttpResponse& response = *m_finalResponse;
        step.Details.push_back("Answer: " + response.StatusLine);
        if (!response.Server.empty())
            step.Details.push_back("Answered by: " + response.Server);
        if (m_f.StartTransfer > 0)
            step.Details.push_back("First byte of the answer after " +
                                   Milliseconds(m_f.StartTransfer) + ".");
        if (response.Status == 200) {
            Pass(step);
            return true;
        }
        step.Details.push_back("Only 200 counts as success.");
        const int status = response.Status;
        const std::string path = Utf8(m_s.ServiceURI);
        if (status >= 300 && status < 400) {
            Fail(step,
                 "The server sends the request elsewhere" +
                     (response.Location.empty() ? std::string() : " (" + response.Location + ")") +
                     ", and the test does not follow: check Protocol and Server port on "
                     "the General page.");
        } else if (status == 400 && m_s.IsUseHTTPS && m_f.CertificateRequested) {
            // A server that makes the client certificate a condition of the
            // request (not of the handshake) asks for one in the handshake
            // and answers the request with 400 when it got none it trusts.
            step.Details.push_back("The server asked for a client certificate during the TLS "
                                   "handshake.");
            Fail(step,
                 m_s.RequireClientCert
                     ? "The server refused the client certificate with 400: choose one that the "
                       "server's CA issued under " +
                           std::string(kClientCert) + "."
                     : "The server requires a client certificate and answered 400 without one: "
                       "check Web server requires client certificates and choose the "
                       "certificate under " +
                           std::string(kClientCert) + ".",
                 "client-certificate-refused");
        } else if (status == 404 || status == 405) {
            Fail(step, "There is no agent servlet at " + path + " on " + m_server + ": check " +
                           kServerSettings + " and the Protocol.");
        } else if (m_httpProxy && (status == 502 || status == 503 || status == 504)) {
            Fail(step, "The proxy answered " + std::to_string(status) +
                           ": it could not get an "
                           "answer from " +
                           m_server + ". Check " + kServerSettings + ".");
        } else if (status >= 500) {
            Fail(step, "The server answered " + std::to_string(status) +
                           ": it has a problem of "
                           "its own, which no setting here can fix. If this persists, contact the "
                           "server's administrator.");
        } else {
            Fail(step, "The server refused the request with " + std::to_string(status) +
                           ": check " + kServerSettings + " and the Protocol.");
        }
        return false;
    }

    bool Answer(DiagnosisStep& step) {
        if (!m_f.Answered)
            return Undecided(step);
        step.Details.push_back("Length: " + std::to_string(m_f.AnswerLength) + " bytes");
        if (m_f.AnswerTooLong) {
            step.Details.push_back("The answer went on beyond " +
                                   std::to_string(ResponseBuffer::kMaxLength) +
                                   " bytes; the transfer was ended there.");
            Fail(step,
                 "The answer is far longer than the servlet's: something else answers at " +
                     m_server + ". Check " + kServerSettings + " and the Protocol.",
                 "answer-too-long");
            return false;
        }
        if (m_f.Result != CURLE_OK) {
            Fail(step, "The answer was cut off: try again; if this persists, check the network "
                       "between this computer and " +
                           m_server + ".");
            return false;
        }
        switch (m_f.Framing) {
        case ResponseFraming::TooShort:
            step.Details.push_back("Too short: the servlet's answer has at least " +
                                   std::to_string(RESPONSE_MIN_LENGTH) + " bytes.");
            Fail(step, "The answer is not the agent servlet's: check " +
                           std::string(kServerSettings) +
                           " and the Protocol; if they are "
                           "right, the servlet may not be running on the server.");
            return false;
        case ResponseFraming::Invalid:
            step.Details.push_back("The header in it cannot be read.");
            Fail(step, "The answer is not the agent servlet's: check " +
                           std::string(kServerSettings) + " and the Protocol.");
            return false;
        case ResponseFraming::Ok:
            break;
        }
        step.Details.push_back("Framing: the server's header read from bytes 16 to 75.");
        step.Details.push_back("Result code: " + Hex(m_o.ServerCode));
        if (m_o.ServerCode != 0) {
            Fail(step, "The servlet answered with result code " + Hex(m_o.ServerCode) +
                           ": the settings reached it, and it reports a problem of its own. If "
                           "this persists, contact the server's administrator.");
            return false;
        }
        Pass(step);
        return true;
    }

    // Nothing shows this step passed, and no known failure explains why.
    bool Undecided(DiagnosisStep& step) {
        if (m_o.Cancelled || m_f.Result == CURLE_ABORTED_BY_CALLBACK)
            return false;
        Fail(step, GenericHint());
        return false;
    }

    void Unexplained() {
        for (DiagnosisStep& step : m_d.Steps) {
            if (step.Verdict != DiagnosisVerdict::Passed) {
                Fail(step, GenericHint());
                return;
            }
        }
        if (!m_d.Steps.empty())
            Fail(m_d.Steps.back(), GenericHint());
    }

    std::string GenericHint() const {
        std::string hint = "The test failed here";
        if (m_f.Ran)
            hint += std::string(" (libcurl error ") + std::to_string(m_f.Result) + ": " +
                    curl_easy_strerror(static_cast<CURLcode>(m_f.Result)) + ")";
        return hint + ": check the values of the General page.";
    }

    const ConnectionTestSettings& m_s;
    const ConnectionTestOutcome& m_o;
    const CDiagnosisRecorder& m_r;
    const TransferFacts& m_f;
    bool m_proxy = false;
    bool m_httpProxy = false;
    bool m_tunnel = false;
    std::string m_server;
    std::string m_proxyAddress;
    const HttpResponse* m_connectResponse = nullptr;
    const HttpResponse* m_finalResponse = nullptr;
    std::vector<CertificateFacts> m_roots;
    ConnectionDiagnosis m_d;
};

// The passwords whose appearance drops a line of the transfer's account.
// libcurl writes none of them into its messages, and the credential headers
// are withheld by name; this is the second guard. A password of a few
// characters would drop nearly every line while telling nobody anything, so
// only longer ones count.
std::vector<std::string> Secrets(const ConnectionTestSettings& s) {
    constexpr std::size_t kShortest = 4;
    std::vector<std::string> secrets;
    for (const std::u16string* password :
         {&s.HTTPAuthPassword, &s.ProxyPassword, &s.ClientCertPswd}) {
        for (unsigned codePage : {CP_ACP, CP_UTF8}) {
            std::string narrow = ToNarrowString(*password, codePage);
            if (narrow.size() >= kShortest)
                secrets.push_back(std::move(narrow));
        }
    }
    return secrets;
}

} // namespace

const DiagnosisStep* ConnectionDiagnosis::FirstFailure() const {
    for (const DiagnosisStep& step : Steps) {
        if (step.Verdict == DiagnosisVerdict::Failed)
            return &step;
    }
    return nullptr;
}

std::string ConnectionDiagnosis::ReportText() const {
    std::string text;
    const DiagnosisStep* failure = FirstFailure();
    text += failure != nullptr ? std::string("Connection test failed at: ") + failure->Title
            : std::all_of(Steps.begin(), Steps.end(),
                          [](const DiagnosisStep& step) {
                              return step.Verdict == DiagnosisVerdict::Passed;
                          })
                ? std::string("Connection test: every step passed")
                : std::string("Connection test: not every step was done");
    text += "\n";
    for (const DiagnosisStep& step : Steps) {
        text += "\n[";
        text += DiagnosisVerdictName(step.Verdict);
        text += "] ";
        text += EscapeControlChars(step.Title);
        text += "\n";
        for (const std::string& detail : step.Details)
            text += "    " + EscapeControlChars(detail) + "\n";
        if (!step.Hint.empty())
            text += "    What to do: " + EscapeControlChars(step.Hint) + "\n";
    }
    return text;
}

const char* DiagnosisStepKindName(DiagnosisStepKind kind) {
    switch (kind) {
    case DiagnosisStepKind::Resolve:
        return "resolve";
    case DiagnosisStepKind::Connect:
        return "connect";
    case DiagnosisStepKind::Tls:
        return "tls";
    case DiagnosisStepKind::Authentication:
        return "authentication";
    case DiagnosisStepKind::HttpStatus:
        return "http-status";
    case DiagnosisStepKind::ServletAnswer:
        return "answer";
    }
    return "unknown";
}

const char* DiagnosisVerdictName(DiagnosisVerdict verdict) {
    switch (verdict) {
    case DiagnosisVerdict::Passed:
        return "passed";
    case DiagnosisVerdict::Failed:
        return "failed";
    case DiagnosisVerdict::Skipped:
        return "skipped";
    }
    return "unknown";
}

ConnectionTestOutcome RunConnectionTest(const ConnectionTestSettings& settings,
                                        const std::atomic<bool>* cancel,
                                        ConnectionDiagnosis* diagnosis) {
    CDiagnosisRecorder recorder(Secrets(settings));
    const ConnectionTestOutcome outcome = RunConnectionTestWatched(settings, cancel, &recorder);
    *diagnosis = CDiagnosisBuilder(settings, outcome, recorder).Build();
    return outcome;
}
