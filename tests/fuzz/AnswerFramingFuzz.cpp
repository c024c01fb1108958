// Feeds arbitrary bytes to the recorder as one HTTP answer: the part before
// the first empty line as header lines (one per debug call, as libcurl
// hands them over), the rest as body. The framing kept must be what the
// headers and the body said: a Content-Length only from a header of digits,
// the body's size counted exactly, earlier answers' framing forgotten.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <curl/curl.h>

#include "comm/DiagnosisRecorder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find("\n\n");
    const std::string_view head = input.substr(0, split);
    const std::string_view body =
        split == std::string_view::npos ? std::string_view() : input.substr(split + 2);

    CDiagnosisRecorder recorder({});
    // An earlier answer (a login demand) with a framing of its own.
    const std::string earlier = "HTTP/1.1 401 Unauthorized\r\nContent-Length: 5\r\n";
    recorder.OnDebug(CURLINFO_HEADER_IN, earlier.data(), earlier.size());
    recorder.OnDebug(CURLINFO_DATA_IN, "12345", 5);
    recorder.OnDebug(CURLINFO_HEADER_IN, "HTTP/1.1 200 OK\r\n", 17);

    std::string_view rest = head;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        recorder.OnDebug(CURLINFO_HEADER_IN, line.data(), line.size());
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    recorder.OnDebug(CURLINFO_DATA_IN, body.data(), body.size());

    const AnswerFraming& framing = recorder.Facts.Framing;
    // A status line among the headers starts a new answer and its framing,
    // so only the body after the last one counts; none here added any.
    if (framing.BodyBytes != static_cast<int64_t>(body.size()))
        std::abort();
    if (framing.ContentLength) {
        if (*framing.ContentLength < 0)
            std::abort();
        if (framing.CutShort() != (!framing.Chunked && framing.BodyBytes < *framing.ContentLength))
            std::abort();
    } else if (framing.CutShort()) {
        std::abort();
    }
    for (const std::string_view value : {"0", " 94 ", "18446744073709551616", "-1", "9x", ""}) {
        const auto parsed = ParseContentLength(value);
        if (parsed && (*parsed < 0 || std::to_string(*parsed).size() > 18))
            std::abort();
    }
    return 0;
}
