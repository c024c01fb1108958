#include "comm/ConnectionDiagnosis.h"

#include <algorithm>

#include "comm/DiagnosisRecorder.h"
#include "comm/DiagnosisRules.h"
#include "common/ASTCommonFunc.h"
#include "common/TextEscape.h"

namespace {

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

std::string String(const DiagnosisStrings& strings, unsigned id) {
    return strings ? ToNarrowString(strings(id), CP_UTF8) : std::string();
}

} // namespace

std::string RenderDiagnosisText(const DiagnosisText& text, const DiagnosisStrings& strings) {
    if (text.empty())
        return std::string();
    const std::string format = String(strings, text.Id);
    if (format.empty()) {
        std::string fallback = text.Key;
        for (const std::string& arg : text.Args)
            fallback += " " + arg;
        return fallback;
    }
    std::string rendered;
    rendered.reserve(format.size());
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] >= '1' &&
            format[i + 1] <= '9') {
            const std::size_t n = static_cast<std::size_t>(format[i + 1] - '1');
            if (n < text.Args.size())
                rendered += text.Args[n];
            ++i;
        } else {
            rendered += format[i];
        }
    }
    return rendered;
}

const DiagnosisStep* ConnectionDiagnosis::FirstFailure() const {
    for (const DiagnosisStep& step : Steps) {
        if (step.Verdict == DiagnosisVerdict::Failed)
            return &step;
    }
    return nullptr;
}

std::string ConnectionDiagnosis::ReportText(const DiagnosisStrings& strings) const {
    const auto render = [&](const DiagnosisText& text) {
        return EscapeControlChars(RenderDiagnosisText(text, strings));
    };
    std::string text;
    const DiagnosisStep* failure = FirstFailure();
    const bool allPassed = std::all_of(Steps.begin(), Steps.end(), [](const DiagnosisStep& step) {
        return step.Verdict == DiagnosisVerdict::Passed;
    });
    text += failure != nullptr
                ? render({IDS_DIAG_REPORT_FAILED_AT, "failed-at", {render(failure->Title)}})
            : allPassed ? render({IDS_DIAG_REPORT_ALL_PASSED, "every-step-passed", {}})
                        : render({IDS_DIAG_REPORT_NOT_ALL_DONE, "not-every-step-done", {}});
    text += "\n";
    for (const DiagnosisStep& step : Steps) {
        const unsigned verdict = step.Verdict == DiagnosisVerdict::Passed ? IDS_DIAG_VERDICT_PASSED
                                 : step.Verdict == DiagnosisVerdict::Failed
                                     ? IDS_DIAG_VERDICT_FAILED
                                     : IDS_DIAG_VERDICT_SKIPPED;
        text += "\n[" + render({verdict, DiagnosisVerdictName(step.Verdict), {}}) + "] " +
                render(step.Title) + "\n";
        for (const std::string& detail : step.Details)
            text += "    " + EscapeControlChars(detail) + "\n";
        if (!step.Hint.empty())
            text += "    " +
                    render({IDS_DIAG_REPORT_WHAT_TO_DO, "what-to-do", {render(step.Hint)}}) + "\n";
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
    // The configured root is named beside the server's chain whenever a
    // handshake was reached.
    if (settings.IsUseHTTPS && recorder.Facts.Ran)
        recorder.ReadRoots(ToNarrowString(settings.CACertPath, CP_ACP));
    *diagnosis = DiagnoseConnectionTest(settings, outcome, recorder.Facts);
    return outcome;
}
