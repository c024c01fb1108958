#pragma once
// The diagnosis's rules: from the facts a transfer left (comm/DiagnosisRecorder.h),
// the settings it ran with and the outcome the test reported, the steps and
// what to do about the one that failed. A pure function: no I/O, no clock,
// so that every rule can be tested from a table of facts.

#include "comm/ConnectionDiagnosis.h"
#include "comm/DiagnosisRecorder.h"

ConnectionDiagnosis DiagnoseConnectionTest(const ConnectionTestSettings& settings,
                                           const ConnectionTestOutcome& outcome,
                                           const TransferFacts& facts);

// The string-table ids of the titles, the report's frame and the hints
// (7200-7299 in res/strings.xml and every language library).
inline constexpr unsigned IDS_DIAG_FIRST = 7200;
inline constexpr unsigned IDS_DIAG_RESOLVE_SERVER = 7200; // %1 server name
inline constexpr unsigned IDS_DIAG_RESOLVE_PROXY = 7201;  // %1 proxy name
inline constexpr unsigned IDS_DIAG_RESOLVE_SOCKS = 7202;  // %1 proxy, %2 server name
inline constexpr unsigned IDS_DIAG_CONNECT_SERVER = 7203; // %1 server:port
inline constexpr unsigned IDS_DIAG_CONNECT_PROXY = 7204;  // %1 kind, %2 proxy, %3 server
inline constexpr unsigned IDS_DIAG_TLS = 7205;            // %1 server:port
inline constexpr unsigned IDS_DIAG_AUTH_PROXY_AND_SERVER = 7206;
inline constexpr unsigned IDS_DIAG_AUTH_SERVER = 7207;
inline constexpr unsigned IDS_DIAG_HTTP_STATUS = 7208; // %1 servlet path
inline constexpr unsigned IDS_DIAG_ANSWER = 7209;
inline constexpr unsigned IDS_DIAG_REPORT_FAILED_AT = 7210; // %1 title
inline constexpr unsigned IDS_DIAG_REPORT_ALL_PASSED = 7211;
inline constexpr unsigned IDS_DIAG_REPORT_NOT_ALL_DONE = 7212;
inline constexpr unsigned IDS_DIAG_REPORT_WHAT_TO_DO = 7213; // %1 hint
inline constexpr unsigned IDS_DIAG_VERDICT_PASSED = 7214;
inline constexpr unsigned IDS_DIAG_VERDICT_FAILED = 7215;
inline constexpr unsigned IDS_DIAG_VERDICT_SKIPPED = 7216;
// Hints, in the order of the steps: the id of the text and the stable
// name of the rule that gives it (some rules have two texts).
// A hint: its string and the stable name of the rule that gives it.
struct DiagnosisRule {
    unsigned Id;
    const char* Key;
};

inline constexpr DiagnosisRule kRootCaUnreadable{7220, "root-ca-unreadable"};
inline constexpr DiagnosisRule kRootCaUnconvertible{7221, "root-ca-unconvertible"};
inline constexpr DiagnosisRule kClientCertPassword{7222, "client-cert-password"};
inline constexpr DiagnosisRule kClientCertDamaged{7223, "client-cert-damaged"};
inline constexpr DiagnosisRule kClientCertMissing{7224, "client-cert-missing"};
inline constexpr DiagnosisRule kClientCertUnreadable{7225, "client-cert-unreadable"};
inline constexpr DiagnosisRule kProxySetup{7226, "proxy-setup"};
inline constexpr DiagnosisRule kTransferSetup{7227, "transfer-setup"};
inline constexpr DiagnosisRule kProxyNameUnknown{7228, "proxy-name-unknown"};
inline constexpr DiagnosisRule kServerNameUnknown{7229, "server-name-unknown"};
inline constexpr DiagnosisRule kProxyRefused{7230, "proxy-refused"};
inline constexpr DiagnosisRule kServerRefused{7231, "server-refused"};
inline constexpr DiagnosisRule kProxyConnectTimeout{7232, "proxy-connect-timeout"};
inline constexpr DiagnosisRule kServerConnectTimeout{7233, "server-connect-timeout"};
inline constexpr DiagnosisRule kTunnelNoAnswer{7234, "tunnel-no-answer"};
inline constexpr DiagnosisRule kTunnelForbidden{7235, "tunnel-forbidden"};
inline constexpr DiagnosisRule kTunnelFailed{7236, "tunnel-failed"};
inline constexpr DiagnosisRule kSocksTargetRefused{7237, "socks-target-refused"};
inline constexpr DiagnosisRule kSocksTargetUnreachable{7238, "socks-target-unreachable"};
inline constexpr DiagnosisRule kSocksNotAllowed{7239, "socks-not-allowed"};
inline constexpr DiagnosisRule kSocksHandshake{7240, "socks-handshake"};
inline constexpr DiagnosisRule kClientCertRejectedInHandshake{7241, "client-certificate-rejected"};
inline constexpr DiagnosisRule kClientCertRequiredInHandshake{7242, "client-certificate-required"};
inline constexpr DiagnosisRule kHostNameMismatch{7243, "host-name-mismatch"};
inline constexpr DiagnosisRule kCertificateExpired{7244, "certificate-expired"};
inline constexpr DiagnosisRule kCertificateNotYetValid{7245, "certificate-not-yet-valid"};
inline constexpr DiagnosisRule kCertificateUntrusted{7246, "certificate-untrusted"};
inline constexpr DiagnosisRule kCertificateRejected{7247, "certificate-rejected"};
inline constexpr DiagnosisRule kRootCaUnusable{7248, "root-ca-unusable"};
inline constexpr DiagnosisRule kClientCertUnusable{7249, "client-cert-unusable"};
inline constexpr DiagnosisRule kNotTls{7250, "not-tls"};
inline constexpr DiagnosisRule kTlsFailed{7251, "tls-failed"};
inline constexpr DiagnosisRule kTlsTimeout{7252, "tls-timeout"};
inline constexpr DiagnosisRule kTlsClosed{7253, "tls-closed"};
inline constexpr DiagnosisRule kSocksLoginRefused{7254, "socks-login-refused"};
inline constexpr DiagnosisRule kSocksLoginRequired{7255, "socks-login-required"};
inline constexpr DiagnosisRule kProxyLoginRequired{7256, "proxy-login-required"};
inline constexpr DiagnosisRule kServerLoginRequired{7257, "server-login-required"};
inline constexpr DiagnosisRule kProxyMethodMismatch{7258, "proxy-method-mismatch"};
inline constexpr DiagnosisRule kServerMethodMismatch{7259, "server-method-mismatch"};
inline constexpr DiagnosisRule kProxyLoginRefused{7260, "proxy-login-refused"};
inline constexpr DiagnosisRule kServerLoginRefused{7261, "server-login-refused"};
inline constexpr DiagnosisRule kNoAnswerTimeout{7262, "no-answer-timeout"};
inline constexpr DiagnosisRule kNoAnswerClosed{7263, "no-answer-closed"};
inline constexpr DiagnosisRule kNoAnswerBroken{7264, "no-answer-broken"};
inline constexpr DiagnosisRule kRedirect{7265, "redirect"};
inline constexpr DiagnosisRule kRedirectNowhere{7266, "redirect"};
inline constexpr DiagnosisRule kClientCertRefused{7267, "client-certificate-refused"};
inline constexpr DiagnosisRule kClientCertMissingFor400{7268, "client-certificate-refused"};
inline constexpr DiagnosisRule kNoServlet{7269, "no-servlet"};
inline constexpr DiagnosisRule kProxyBadGateway{7270, "proxy-bad-gateway"};
inline constexpr DiagnosisRule kServerError{7271, "server-error"};
inline constexpr DiagnosisRule kRequestRefused{7272, "request-refused"};
inline constexpr DiagnosisRule kAnswerTooLong{7273, "answer-too-long"};
inline constexpr DiagnosisRule kAnswerCutShort{7274, "answer-cut-short"};
inline constexpr DiagnosisRule kAnswerBroken{7275, "answer-broken"};
inline constexpr DiagnosisRule kAnswerTooShort{7276, "answer-too-short"};
inline constexpr DiagnosisRule kAnswerUnreadable{7277, "answer-unreadable"};
inline constexpr DiagnosisRule kServletError{7278, "servlet-error"};
inline constexpr DiagnosisRule kUnexplainedTransfer{7279, "unexplained"};
inline constexpr DiagnosisRule kUnexplained{7280, "unexplained"};
inline constexpr DiagnosisRule kHostNameMismatchNoName{7281, "host-name-mismatch"};

inline constexpr DiagnosisRule kAllDiagnosisRules[] = {
    kRootCaUnreadable,
    kRootCaUnconvertible,
    kClientCertPassword,
    kClientCertDamaged,
    kClientCertMissing,
    kClientCertUnreadable,
    kProxySetup,
    kTransferSetup,
    kProxyNameUnknown,
    kServerNameUnknown,
    kProxyRefused,
    kServerRefused,
    kProxyConnectTimeout,
    kServerConnectTimeout,
    kTunnelNoAnswer,
    kTunnelForbidden,
    kTunnelFailed,
    kSocksTargetRefused,
    kSocksTargetUnreachable,
    kSocksNotAllowed,
    kSocksHandshake,
    kClientCertRejectedInHandshake,
    kClientCertRequiredInHandshake,
    kHostNameMismatch,
    kCertificateExpired,
    kCertificateNotYetValid,
    kCertificateUntrusted,
    kCertificateRejected,
    kRootCaUnusable,
    kClientCertUnusable,
    kNotTls,
    kTlsFailed,
    kTlsTimeout,
    kTlsClosed,
    kSocksLoginRefused,
    kSocksLoginRequired,
    kProxyLoginRequired,
    kServerLoginRequired,
    kProxyMethodMismatch,
    kServerMethodMismatch,
    kProxyLoginRefused,
    kServerLoginRefused,
    kNoAnswerTimeout,
    kNoAnswerClosed,
    kNoAnswerBroken,
    kRedirect,
    kRedirectNowhere,
    kClientCertRefused,
    kClientCertMissingFor400,
    kNoServlet,
    kProxyBadGateway,
    kServerError,
    kRequestRefused,
    kAnswerTooLong,
    kAnswerCutShort,
    kAnswerBroken,
    kAnswerTooShort,
    kAnswerUnreadable,
    kServletError,
    kUnexplainedTransfer,
    kUnexplained,
    kHostNameMismatchNoName,
};
