// The connection test as the command line runs it, with or without the
// step-by-step diagnosis.

#include "comm/ConnectionDiagnosis.h"
#include "ctl/CtlCommon.h"
#include "ctl/SupportBundle.h"

ConnectionTestOutcome RunCtlConnectionTest(const ConnectionTestSettings& settings, bool diagnose,
                                           const StringLoader& strings, JsonValue* diagnosis,
                                           std::string* report, const std::atomic<bool>* cancel) {
    if (diagnose) {
        ConnectionDiagnosis account;
        const ConnectionTestOutcome outcome = RunConnectionTest(settings, cancel, &account);
        // The account withholds credentials itself; the passwords are
        // looked for once more, and only they go (a hint that names the
        // Password field stays whole).
        const std::vector<std::string> secrets = {Utf8(settings.HTTPAuthPassword),
                                                  Utf8(settings.ProxyPassword),
                                                  Utf8(settings.ClientCertPswd)};
        if (diagnosis) {
            JsonValue steps = JsonValue::Array();
            for (const DiagnosisStep& step : account.Steps) {
                JsonValue json = JsonValue::Object();
                json.Set("kind", DiagnosisStepKindName(step.Kind));
                json.Set("verdict", DiagnosisVerdictName(step.Verdict));
                json.Set("titleKey", step.Title.Key);
                json.Set("title",
                         WithoutKnownSecrets(RenderDiagnosisText(step.Title, strings), secrets));
                JsonValue details = JsonValue::Array();
                for (const std::string& detail : step.Details)
                    details.Push(WithoutKnownSecrets(detail, secrets));
                json.Set("details", std::move(details));
                json.Set("rule", step.Hint.empty() ? JsonValue() : JsonValue(step.Hint.Key));
                json.Set("hint", step.Hint.empty()
                                     ? JsonValue()
                                     : JsonValue(WithoutKnownSecrets(
                                           RenderDiagnosisText(step.Hint, strings), secrets)));
                steps.Push(std::move(json));
            }
            const DiagnosisStep* failed = account.FirstFailure();
            *diagnosis = JsonValue::Object();
            diagnosis->Set("firstFailure",
                           failed ? JsonValue(DiagnosisStepKindName(failed->Kind)) : JsonValue());
            diagnosis->Set("steps", std::move(steps));
        }
        if (report)
            *report = WithoutKnownSecrets(account.ReportText(strings), secrets);
        return outcome;
    }
    if (diagnosis)
        *diagnosis = JsonValue();
    if (report)
        report->clear();
    return RunConnectionTest(settings, cancel);
}
