// Feeds arbitrary bytes to the diagnosis recorder as libcurl's debug stream
// (records of one type byte, a two-byte length and that many bytes: text,
// headers in and out, body, TLS records), then runs the rules on the facts
// it kept. Nothing of a password may reach the facts or the report, and the
// report holds no raw control character.

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string>

#include <curl/curl.h>

#include "comm/DiagnosisRecorder.h"
#include "comm/DiagnosisRules.h"
#include "common/TextEscape.h"

namespace {

constexpr char kSecret[] = "Fz-Secret-4711";

void Check(const std::string& text) {
    if (text.find(kSecret) != std::string::npos || HasControlChars(text))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CDiagnosisRecorder recorder({kSecret});
    std::size_t at = 0;
    while (at + 3 <= size) {
        const auto type = static_cast<curl_infotype>(data[at] % (CURLINFO_SSL_DATA_OUT + 1));
        const std::size_t length =
            std::min<std::size_t>((data[at + 1] << 8) | data[at + 2], size - at - 3);
        recorder.OnDebug(type, reinterpret_cast<const char*>(data + at + 3), length);
        at += 3 + length;
    }
    const TransferFacts& f = recorder.Facts;
    for (const auto* lines : {&f.Tried, &f.Connected, &f.ProxyLines, &f.AuthLines, &f.TlsAlerts})
        for (const std::string& line : *lines)
            Check(line);
    for (const HttpRequest& request : f.Requests) {
        Check(request.RequestLine);
        for (const std::string& line : request.Credentials)
            Check(line);
    }
    for (const HttpResponse& response : f.Responses) {
        if (response.Status < 0 || response.Status > 999)
            std::abort();
        for (const std::string& line : response.Challenges)
            Check(line);
        Check(response.Server);
        Check(response.Location);
    }
    for (const CertificateFacts& cert : f.Chain) {
        Check(cert.Subject);
        Check(cert.Issuer);
    }
    if (f.Framing.BodyBytes < 0 || (f.Framing.ContentLength && *f.Framing.ContentLength < 0))
        std::abort();

    // The rules take whatever the stream left, through a proxy and without.
    ConnectionTestSettings settings;
    settings.ServerName = u"agent.example";
    settings.ServerPort = 443;
    settings.IsUseHTTPS = (size & 1) != 0;
    settings.ProxyEnabled = (size & 2) != 0;
    settings.ProxyServerName = u"proxy.example";
    settings.ProxyServerPort = 3128;
    settings.ServiceURI = u"/opalCommunicatorServer/DataPortServlet";
    ConnectionTestOutcome outcome;
    const ConnectionDiagnosis diagnosis = DiagnoseConnectionTest(settings, outcome, f);
    const std::string report = diagnosis.ReportText({});
    if (diagnosis.FirstFailure() == nullptr || HasControlChars(report) ||
        report.find(kSecret) != std::string::npos)
        std::abort();
    return 0;
}
