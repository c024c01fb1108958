// The connection test as the command line runs it, with or without the
// step-by-step diagnosis.

#include "ctl/CtlCommon.h"
#include "ctl/SupportBundle.h"

#if OPAL_HAVE_CONNECTION_DIAGNOSIS
#include "comm/ConnectionDiagnosis.h"
#endif

bool DiagnosisAvailable() {
    return OPAL_HAVE_CONNECTION_DIAGNOSIS != 0;
}

ConnectionTestOutcome RunCtlConnectionTest(const ConnectionTestSettings& settings, bool diagnose,
                                           JsonValue* diagnosis, std::string* report) {
#if OPAL_HAVE_CONNECTION_DIAGNOSIS
    if (diagnose) {
        ConnectionDiagnosis account;
        const ConnectionTestOutcome outcome = RunConnectionTest(settings, nullptr, &account);
        // The account may quote what the peers answered; a proxy's or
        // server's challenge is fine, a credential never is.
        const std::vector<std::string> secrets = {Utf8(settings.HTTPAuthPassword),
                                                  Utf8(settings.ProxyPassword),
                                                  Utf8(settings.ClientCertPswd)};
        if (diagnosis) {
            JsonValue steps = JsonValue::Array();
            for (const DiagnosisStep& step : account.Steps) {
                JsonValue json = JsonValue::Object();
                json.Set("kind", DiagnosisStepKindName(step.Kind));
                json.Set("verdict", DiagnosisVerdictName(step.Verdict));
                json.Set("title", ScrubLines(step.Title, secrets));
                JsonValue details = JsonValue::Array();
                for (const std::string& detail : step.Details)
                    details.Push(ScrubLines(detail, secrets));
                json.Set("details", std::move(details));
                json.Set("hint", step.Hint.empty() ? JsonValue() : JsonValue(ScrubLines(step.Hint, secrets)));
                steps.Push(std::move(json));
            }
            const DiagnosisStep* failed = account.FirstFailure();
            *diagnosis = JsonValue::Object();
            diagnosis->Set("firstFailure", failed ? JsonValue(DiagnosisStepKindName(failed->Kind))
                                                  : JsonValue());
            diagnosis->Set("steps", std::move(steps));
        }
        if (report)
            *report = ScrubLines(account.ReportText(), secrets);
        return outcome;
    }
#else
    (void)diagnose;
#endif
    if (diagnosis)
        *diagnosis = JsonValue();
    if (report)
        report->clear();
    return RunConnectionTest(settings);
}
