#pragma once
// A step-by-step account of one connection test, for the administrator who
// has to find out why a test failed: which step failed (name lookup,
// connect, TLS, authentication, HTTP status, the servlet's answer), what was
// seen there and which setting to change.
//
// The account is gathered from libcurl's own information about the very
// transfer the test makes (times, the debug callback, the certificate
// information, the error buffer); gathering it never changes what the test
// sends or the outcome it reports.

#include <atomic>
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

struct DiagnosisStep {
    DiagnosisStepKind Kind = DiagnosisStepKind::Resolve;
    DiagnosisVerdict Verdict = DiagnosisVerdict::Skipped;
    // One line, e.g. "Resolve the proxy name proxy.example".
    std::string Title;
    // What was observed, one fact per line (addresses, times, the
    // certificate's subject, the methods offered, ...).
    std::vector<std::string> Details;
    // Failed steps only: what to do, in plain words, naming the setting to
    // change (e.g. the proxy's authentication method).
    std::string Hint;
    // Failed steps of some rules: a stable key for scripts
    // ("host-name-mismatch", "client-certificate-refused",
    // "answer-too-long"); empty otherwise.
    std::string Rule;
};

struct ConnectionDiagnosis {
    // In the order the transfer goes through them; the steps it did not
    // reach are Skipped (all after the failing one, and TLS when a proxy
    // wanted a login before it would open the way to the server).
    std::vector<DiagnosisStep> Steps;

    // The first failed step, or null when none failed.
    const DiagnosisStep* FirstFailure() const;

    // The report as plain text (UTF-8, LF line ends): one block per step
    // with its verdict, title, details and hint. This is what the dialog's
    // "Details" shows and what the command line prints.
    std::string ReportText() const;
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
