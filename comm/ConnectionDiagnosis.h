#pragma once
// A step-by-step account of one connection test, for the administrator who
// has to find out why a test failed: which step failed (name lookup,
// connect, TLS, authentication, HTTP status, the servlet's answer), what was
// seen there and which setting to change.
//
// The account is gathered from libcurl's own information about the very
// transfer the test makes (comm/DiagnosisRecorder.h); the rules that turn
// it into steps are comm/DiagnosisRules.h. Gathering it never changes what
// the test sends or the outcome it reports.
//
// Titles and hints are string-table entries (ids 7200-7299) with their
// arguments, so that the dialog shows them in the selected language while
// the command line and scripts keep English and stable keys.

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "comm/ConfigureAgent4VSM.h"

enum class DiagnosisStepKind {
    Resolve,        // the proxy's name when a proxy is used, else the server's
    Connect,        // to the proxy and then through it, or to the server
    Tls,            // HTTPS only
    Authentication, // 401 / 407 and the methods offered
    HttpStatus,
    ServletAnswer, // length, framing and the server's result code
};

enum class DiagnosisVerdict { Passed, Failed, Skipped };

// A string of the tables with what fills its "%1".."%9". `Key` is the
// stable English name scripts see ("host-name-mismatch"); Id 0 is no text.
struct DiagnosisText {
    unsigned Id = 0;
    std::string Key;
    std::vector<std::string> Args; // UTF-8, inserted literally

    bool empty() const { return Id == 0; }
};

// The selected language's strings by id (empty when missing).
using DiagnosisStrings = std::function<std::u16string(unsigned id)>;

// The text in the language of `strings`, UTF-8: each "%n" replaced by the
// n-th argument once (a '%' in an argument stays). A string the table lacks
// shows as its key and arguments rather than nothing.
std::string RenderDiagnosisText(const DiagnosisText& text, const DiagnosisStrings& strings);

struct DiagnosisStep {
    DiagnosisStepKind Kind = DiagnosisStepKind::Resolve;
    DiagnosisVerdict Verdict = DiagnosisVerdict::Skipped;
    // One line, e.g. "Resolve the proxy name proxy.example".
    DiagnosisText Title;
    // What was observed, one fact per line (addresses, times, the
    // certificate's subject, the methods offered, ...): English, as libcurl
    // and the servers say it.
    std::vector<std::string> Details;
    // Failed steps only: what to do, in plain words, naming the setting to
    // change (e.g. the proxy's authentication method). Its Key is the rule
    // that failed the step.
    DiagnosisText Hint;
};

struct ConnectionDiagnosis {
    // Only the steps the transfer had to go through, in their order; the
    // steps it did not reach are Skipped (all after the failing one, and TLS
    // when a proxy wanted a login before it would open the way to the
    // server).
    std::vector<DiagnosisStep> Steps;

    // The first failed step, or null when none failed.
    const DiagnosisStep* FirstFailure() const;

    // The report as plain text (UTF-8, LF line ends): one block per step
    // with its verdict, title, details and hint, in the language of
    // `strings`. This is what the dialog's "Details" shows and what the
    // command line prints.
    std::string ReportText(const DiagnosisStrings& strings) const;
};

// Stable lower-case names for scripts and the command line's JSON:
// "resolve", "connect", "tls", "authentication", "http-status", "answer";
// "passed", "failed", "skipped".
const char* DiagnosisStepKindName(DiagnosisStepKind kind);
const char* DiagnosisVerdictName(DiagnosisVerdict verdict);

// RunConnectionTest, observed: the same transfer and the same outcome, with
// the account of each step written into `diagnosis` (which must not be
// null).
ConnectionTestOutcome RunConnectionTest(const ConnectionTestSettings& settings,
                                        const std::atomic<bool>* cancel,
                                        ConnectionDiagnosis* diagnosis);
