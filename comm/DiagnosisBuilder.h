#pragma once
// The rules' working state, shared by comm/DiagnosisRules.cpp (the way to the
// server: setup, name, connection, proxy, TLS) and comm/DiagnosisHttpRules.cpp
// (the HTTP exchange: logins, status, the answer). Only those two include it.

#include <cstdint>
#include <string>
#include <vector>

#include "comm/DiagnosisRules.h"

namespace diagnosis_detail {

std::string Utf8(const std::u16string& text);
std::string Joined(const std::vector<std::string>& names);
std::string Milliseconds(int64_t microseconds);
const char* MethodName(int32_t storedMethod);
bool Offers(const std::vector<std::string>& offered, const std::string& method);
bool IsAuthStatus(int status);
std::string Hex(uint32_t value);
// Adds the names of the schemes in libcurl's CURLAUTH_* bits not yet there.
void AddSchemesFromBits(long bits, std::vector<std::string>& names);

class CDiagnosisBuilder {
public:
    CDiagnosisBuilder(const ConnectionTestSettings& settings, const ConnectionTestOutcome& outcome,
                      const TransferFacts& facts);
    ConnectionDiagnosis Build();

private:
    DiagnosisStep& Add(DiagnosisStepKind kind, DiagnosisText title);
    DiagnosisStep* FirstFailed();
    DiagnosisStep* Step(DiagnosisStepKind kind);
    // Each step the transfer has to go through, in its order; a step that is
    // not reached leaves the rest skipped.
    void AddAllSteps();
    void Pass(DiagnosisStep& step) { step.Verdict = DiagnosisVerdict::Passed; }
    void Fail(DiagnosisStep& step, const DiagnosisRule& rule, std::vector<std::string> args = {});
    // The configuration of the transfer failed: nothing was sent.
    void SetupFailed();
    // No transfer ran.
    void NotSent(const std::string& why);
    void Transfer();
    bool Connected() const { return !m_f.Connected.empty() || m_f.Connect > 0; }
    bool ProxyRefusedLogin() const;
    bool Resolve(DiagnosisStep& step);
    bool Connect(DiagnosisStep& step);
    bool SocksRefused(DiagnosisStep& step);
    // The configured CA issued the top of the chain the server sent, or is
    // that certificate itself.
    bool ChainsToConfiguredRoot() const;
    void AddCertificateDetails(DiagnosisStep& step);
    bool Tls(DiagnosisStep& step);
    bool VerificationFailed(DiagnosisStep& step, const CertificateFacts* leaf);
    void AuthFailure(DiagnosisStep& step, bool proxy, const HttpResponse* response);
    bool Authentication(DiagnosisStep& step);
    bool HttpStatus(DiagnosisStep& step);
    bool Answer(DiagnosisStep& step);
    // Nothing shows this step passed, and no known failure explains why.
    bool Undecided(DiagnosisStep& step);
    void Unexplained();
    void FailUnexplained(DiagnosisStep& step);

    const ConnectionTestSettings& m_s;
    const ConnectionTestOutcome& m_o;
    const TransferFacts& m_f;
    bool m_proxy = false;
    bool m_httpProxy = false;
    bool m_tunnel = false;
    std::string m_server;
    std::string m_proxyAddress;
    const HttpResponse* m_connectResponse = nullptr;
    const HttpResponse* m_finalResponse = nullptr;
    ConnectionDiagnosis m_d;
};

} // namespace diagnosis_detail
