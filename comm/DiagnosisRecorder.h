#pragma once
// The connection test's transfer as plain facts: libcurl's information and
// debug stream (times, addresses, the proxy and TLS handshakes, the
// certificates and their verification, the headers received, the answer's
// framing) turned into the TransferFacts the rules read. Credentials never
// enter the facts: credential headers keep only their scheme, and a line
// that holds one of the test's passwords is dropped.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <curl/curl.h>

#include "comm/CertificateFacts.h"
#include "comm/ConnectionTestWatch.h"
#include "comm/Easycurl.h"

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

// How the last answer's body was delimited, and how much of it came.
struct AnswerFraming {
    std::optional<int64_t> ContentLength; // a valid Content-Length header
    bool Chunked = false;                 // Transfer-Encoding: chunked
    int64_t BodyBytes = 0;                // body bytes received (decoded)

    // A declared length the body fell short of.
    bool CutShort() const { return ContentLength && !Chunked && BodyBytes < *ContentLength; }
};

// A Content-Length value: up to 18 digits, blanks around them allowed;
// nullopt otherwise.
std::optional<int64_t> ParseContentLength(std::string_view value);

struct TransferFacts {
    // The configuration before anything was sent.
    int32_t InitializeResult = 0;
    InitializeStep FailedStep = InitializeStep::None;

    bool Ran = false; // the transfer was started
    int32_t Result = 0;
    std::string Error; // libcurl's message, escaped; empty when it held a secret
    int64_t NameLookup = 0, Connect = 0, AppConnect = 0, PreTransfer = 0, StartTransfer = 0,
            Total = 0; // microseconds from the start
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
    // The configured root CA file's certificates (HTTPS only).
    std::vector<CertificateFacts> Roots;
    bool RootsRead = false;
    std::vector<HttpRequest> Requests;
    std::vector<HttpResponse> Responses;
    AnswerFraming Framing;

    // What the test made of the body it kept.
    bool Answered = false;
    int32_t AnswerLength = 0;
    bool AnswerTooLong = false;
    ResponseFraming ServletFraming = ResponseFraming::TooShort;
};

class CDiagnosisRecorder final : public CTransferObserver, public IConnectionTestWatcher {
public:
    // `secrets`: the passwords whose appearance drops a line.
    explicit CDiagnosisRecorder(std::vector<std::string> secrets);

    void OnConfigured(CHTTP& http, int32_t result, InitializeStep failedStep) override;
    void OnAnswer(const ResponseBuffer& response, ResponseFraming framing) override;
    void BeforeTransfer(CURL* curl) override;
    void AfterTransfer(CURL* curl, int32_t result) override;

    // One piece of libcurl's debug stream, as its debug function gets it.
    void OnDebug(curl_infotype type, const char* data, std::size_t size);

    // The configured root CA file, read once the transfer has shown it
    // matters.
    void ReadRoots(const std::string& path);

    TransferFacts Facts;

private:
    bool Kept(const std::string& line) const;
    void OnText(const std::string& line);
    void OnHeaderOut(std::string_view block);
    void OnHeaderIn(const std::string& line);

    std::vector<std::string> m_secrets;
    char m_error[CURL_ERROR_SIZE] = {};
};
