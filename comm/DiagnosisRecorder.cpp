#include "comm/DiagnosisRecorder.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "common/TextEscape.h"

namespace {

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

bool SameSchemeName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && StartsWithNoCase(a, b);
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

int DebugCallback(CURL*, curl_infotype type, char* data, std::size_t size, void* user) {
    static_cast<CDiagnosisRecorder*>(user)->OnDebug(type, data, size);
    return 0;
}

} // namespace

std::optional<int64_t> ParseContentLength(std::string_view value) {
    const std::string text = Trimmed(value);
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    int64_t length = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        length = length * 10 + (c - '0');
    }
    return length;
}

CDiagnosisRecorder::CDiagnosisRecorder(std::vector<std::string> secrets)
    : m_secrets(std::move(secrets)) {}

void CDiagnosisRecorder::OnConfigured(CHTTP& http, int32_t result, InitializeStep failedStep) {
    Facts.InitializeResult = result;
    Facts.FailedStep = failedStep;
    if (result == 0)
        http.SetTransferObserver(this);
}

void CDiagnosisRecorder::OnAnswer(const ResponseBuffer& response, ResponseFraming framing) {
    Facts.Answered = true;
    Facts.AnswerLength = response.Length;
    Facts.AnswerTooLong = response.Overflowed;
    Facts.ServletFraming = framing;
}

void CDiagnosisRecorder::BeforeTransfer(CURL* curl) {
    Facts.Ran = true;
    m_error[0] = '\0';
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, m_error);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &DebugCallback);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, static_cast<void*>(this));
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_CERTINFO, 1L);
}

void CDiagnosisRecorder::AfterTransfer(CURL* curl, int32_t result) {
    TransferFacts& f = Facts;
    f.Result = result;
    m_error[CURL_ERROR_SIZE - 1] = '\0';
    f.Error = Kept(Trimmed(m_error)) ? EscapeControlChars(Trimmed(m_error)) : std::string();
    curl_off_t times[6] = {};
    curl_easy_getinfo(curl, CURLINFO_NAMELOOKUP_TIME_T, &times[0]);
    curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &times[1]);
    curl_easy_getinfo(curl, CURLINFO_APPCONNECT_TIME_T, &times[2]);
    curl_easy_getinfo(curl, CURLINFO_PRETRANSFER_TIME_T, &times[3]);
    curl_easy_getinfo(curl, CURLINFO_STARTTRANSFER_TIME_T, &times[4]);
    curl_easy_getinfo(curl, CURLINFO_TOTAL_TIME_T, &times[5]);
    f.NameLookup = times[0];
    f.Connect = times[1];
    f.AppConnect = times[2];
    f.PreTransfer = times[3];
    f.StartTransfer = times[4];
    f.Total = times[5];
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
    if (curl_easy_getinfo(curl, CURLINFO_CERTINFO, &certinfo) == CURLE_OK && certinfo != nullptr &&
        certinfo->num_of_certs > 0) {
        std::vector<CertificateFacts> chain;
        for (int i = 0; i < certinfo->num_of_certs; ++i) {
            for (const curl_slist* item = certinfo->certinfo[i]; item; item = item->next) {
                if (StartsWith(item->data, "Cert:")) {
                    for (CertificateFacts& cert : CertificatesOfPem(item->data + 5))
                        chain.push_back(std::move(cert));
                }
            }
        }
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

void CDiagnosisRecorder::ReadRoots(const std::string& path) {
    Facts.Roots = CertificatesOfFile(path);
    Facts.RootsRead = true;
}

void CDiagnosisRecorder::OnDebug(curl_infotype type, const char* data, std::size_t size) {
    switch (type) {
    case CURLINFO_TEXT:
        for (const std::string& line : SplitLines(std::string_view(data, size)))
            OnText(line);
        break;
    case CURLINFO_HEADER_OUT:
        OnHeaderOut(std::string_view(data, size));
        break;
    case CURLINFO_HEADER_IN:
        for (const std::string& line : SplitLines(std::string_view(data, size)))
            OnHeaderIn(line);
        break;
    case CURLINFO_DATA_IN:
        Facts.Framing.BodyBytes += static_cast<int64_t>(size);
        break;
    case CURLINFO_SSL_DATA_IN:
        // The first Certificate message that arrives is the server's.
        if (Facts.Chain.empty())
            Facts.Chain = CertificatesOfHandshake(reinterpret_cast<const uint8_t*>(data), size);
        break;
    default:
        // Outgoing bodies and TLS records say nothing the test does not
        // already know.
        break;
    }
}

// A line from the transfer that could carry a password is never kept.
bool CDiagnosisRecorder::Kept(const std::string& line) const {
    return std::none_of(m_secrets.begin(), m_secrets.end(),
                        [&](const std::string& secret) { return Contains(line, secret); });
}

void CDiagnosisRecorder::OnText(const std::string& line) {
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
    else if ((StartsWith(line, "TLSv1") || StartsWith(line, "SSLv3")) && Contains(line, "(IN)")) {
        // What the server answered in; the client's hello says only what it
        // offered.
        f.TlsVersion = line.substr(0, line.find(' '));
        if (Contains(line, "Request CERT"))
            f.CertificateRequested = true;
        if (Contains(line, "TLS alert"))
            f.TlsAlerts.push_back(line);
    }
}

void CDiagnosisRecorder::OnHeaderOut(std::string_view block) {
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

void CDiagnosisRecorder::OnHeaderIn(const std::string& line) {
    TransferFacts& f = Facts;
    if (StartsWith(line, "HTTP/")) {
        HttpResponse response;
        response.ToConnect =
            !f.Requests.empty() && StartsWith(f.Requests.back().RequestLine, "CONNECT ");
        response.StatusLine = line;
        const std::size_t space = line.find(' ');
        if (space != std::string::npos) {
            // Three digits, as HTTP has them; anything else is no status.
            const std::string code = line.substr(space + 1, 3);
            if (code.size() == 3 &&
                std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; }))
                response.Status = std::stoi(code);
        }
        f.Responses.push_back(std::move(response));
        // Each answer has its own framing; the last one's is the answer's.
        f.Framing = AnswerFraming();
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
        if (!scheme.empty() &&
            std::none_of(response.Offered.begin(), response.Offered.end(),
                         [&](const std::string& name) { return SameSchemeName(name, scheme); }))
            response.Offered.push_back(scheme);
    } else if (StartsWithNoCase(line, "Server:")) {
        response.Server = value;
    } else if (StartsWithNoCase(line, "Location:")) {
        response.Location = value;
    } else if (StartsWithNoCase(line, "Content-Length:")) {
        f.Framing.ContentLength = ParseContentLength(value);
    } else if (StartsWithNoCase(line, "Transfer-Encoding:")) {
        f.Framing.Chunked = Contains(value, "chunked");
    }
}
