#include <algorithm>

#include <curl/curl.h>

#include "comm/DiagnosisBuilder.h"

namespace diagnosis_detail {

void CDiagnosisBuilder::AuthFailure(DiagnosisStep& step, bool proxy, const HttpResponse* response) {
    std::vector<std::string> offered;
    if (response != nullptr) {
        step.Details.push_back(std::string(proxy ? "The proxy" : "The server") +
                               " answered: " + response->StatusLine);
        for (const std::string& line : response->Challenges)
            step.Details.push_back(line);
        offered = response->Offered;
    }
    AddSchemesFromBits(
        proxy ? (response && response->Status == 401 ? m_f.HttpAuthAvail : m_f.ProxyAuthAvail)
              : m_f.HttpAuthAvail,
        offered);
    if (!offered.empty())
        step.Details.push_back("Offered: " + Joined(offered));

    const bool socks = proxy && !m_httpProxy;
    const bool haveUser = proxy ? !m_s.ProxyUser.empty() : m_s.IsUseHTTPAuth;
    const std::string method =
        proxy ? MethodName(m_s.HTTPProxyAuthMethod) : MethodName(m_s.ServerAuthMethod);
    if (haveUser) {
        const std::string user = "user '" + Utf8(proxy ? m_s.ProxyUser : m_s.HTTPAuthUser) + "'";
        step.Details.push_back("Configured: " +
                               (socks ? user + " with a password" : method + " as " + user));
    } else {
        step.Details.push_back("Configured: no user authentication");
    }
    if (socks) {
        Fail(step, haveUser ? kSocksLoginRefused : kSocksLoginRequired);
        return;
    }
    const std::string status = response != nullptr ? std::to_string(response->Status) : "?";
    if (!haveUser) {
        Fail(step, proxy ? kProxyLoginRequired : kServerLoginRequired,
             {status, offered.empty() ? "-" : Joined(offered)});
        return;
    }
    if (!offered.empty() && !Offers(offered, method)) {
        Fail(step, proxy ? kProxyMethodMismatch : kServerMethodMismatch,
             {status, Joined(offered), method, offered.front()});
        return;
    }
    Fail(step, proxy ? kProxyLoginRefused : kServerLoginRefused, {status});
}

bool CDiagnosisBuilder::Authentication(DiagnosisStep& step) {
    for (const HttpRequest& request : m_f.Requests) {
        for (const std::string& line : request.Credentials) {
            if (std::find(step.Details.begin(), step.Details.end(), "Sent " + line) ==
                step.Details.end())
                step.Details.push_back("Sent " + line);
        }
    }
    for (const std::string& line : m_f.AuthLines)
        step.Details.push_back(line);

    if (ProxyRefusedLogin()) {
        AuthFailure(step, true, m_tunnel ? m_connectResponse : m_finalResponse);
        return false;
    }
    if (m_finalResponse == nullptr) {
        switch (m_f.Result) {
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            // No login was refused; what went wrong belongs to the status.
            step.Details.push_back("No answer arrived to show whether a login is needed.");
            Pass(step);
            return true;
        default:
            return Undecided(step);
        }
    }
    if (m_finalResponse->Status == 401) {
        AuthFailure(step, false, m_finalResponse);
        return false;
    }
    const bool proxyLogin = m_proxy && !m_s.ProxyUser.empty() && m_s.ProxyKind != PROXY_KIND_SOCKS4;
    if (proxyLogin)
        step.Details.push_back("The proxy accepted the login of user '" + Utf8(m_s.ProxyUser) +
                               "'.");
    if (m_s.IsUseHTTPAuth)
        step.Details.push_back("The server accepted " +
                               std::string(MethodName(m_s.ServerAuthMethod)) + " as user '" +
                               Utf8(m_s.HTTPAuthUser) + "'.");
    if (!proxyLogin && !m_s.IsUseHTTPAuth)
        step.Details.push_back("No login was asked for.");
    Pass(step);
    return true;
}

bool CDiagnosisBuilder::HttpStatus(DiagnosisStep& step) {
    if (m_finalResponse == nullptr) {
        const std::string seconds = std::to_string(m_s.ConnTimeOut);
        step.Details.push_back("No answer arrived.");
        switch (m_f.Result) {
        case CURLE_OPERATION_TIMEDOUT:
            Fail(step, kNoAnswerTimeout, {m_server, seconds});
            return false;
        case CURLE_GOT_NOTHING:
            Fail(step, kNoAnswerClosed, {m_server});
            return false;
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            Fail(step, kNoAnswerBroken, {m_server});
            return false;
        default:
            step.Details.pop_back();
            return Undecided(step);
        }
    }
    const HttpResponse& response = *m_finalResponse;
    step.Details.push_back("Answer: " + response.StatusLine);
    if (!response.Server.empty())
        step.Details.push_back("Answered by: " + response.Server);
    if (m_f.StartTransfer > 0)
        step.Details.push_back("First byte of the answer after " + Milliseconds(m_f.StartTransfer) +
                               ".");
    const int status = response.Status;
    if (status == 200) {
        Pass(step);
        return true;
    }
    step.Details.push_back("Only 200 counts as success.");
    const std::string code = std::to_string(status);
    if (status >= 300 && status < 400) {
        if (!response.Location.empty())
            step.Details.push_back("Sent elsewhere: " + response.Location);
        if (response.Location.empty())
            Fail(step, kRedirectNowhere, {code});
        else
            Fail(step, kRedirect, {code, response.Location});
    } else if (status == 400 && m_s.IsUseHTTPS && m_f.CertificateRequested) {
        // A server that makes the client certificate a condition of the
        // request (not of the handshake) asks for one in the handshake
        // and answers the request with 400 when it got none it trusts.
        step.Details.push_back("The server asked for a client certificate during the TLS "
                               "handshake.");
        Fail(step, m_s.RequireClientCert ? kClientCertRefused : kClientCertMissingFor400);
    } else if (status == 404 || status == 405) {
        Fail(step, kNoServlet, {Utf8(m_s.ServiceURI), m_server, code});
    } else if (m_httpProxy && (status == 502 || status == 503 || status == 504)) {
        Fail(step, kProxyBadGateway, {code, m_server});
    } else if (status >= 500) {
        Fail(step, kServerError, {code});
    } else {
        Fail(step, kRequestRefused, {code});
    }
    return false;
}

bool CDiagnosisBuilder::Answer(DiagnosisStep& step) {
    if (!m_f.Answered)
        return Undecided(step);
    step.Details.push_back("Length: " + std::to_string(m_f.AnswerLength) + " bytes");
    if (m_f.AnswerTooLong) {
        step.Details.push_back("The answer went on beyond " +
                               std::to_string(ResponseBuffer::kMaxLength) +
                               " bytes; the transfer was ended there.");
        Fail(step, kAnswerTooLong, {m_server});
        return false;
    }
    if (m_f.Framing.CutShort()) {
        const std::string received = std::to_string(m_f.Framing.BodyBytes);
        const std::string declared = std::to_string(*m_f.Framing.ContentLength);
        step.Details.push_back("Received " + received + " of the " + declared +
                               " bytes its Content-Length announced.");
        Fail(step, kAnswerCutShort, {m_server, received, declared});
        return false;
    }
    if (m_f.Result != CURLE_OK) {
        Fail(step, kAnswerBroken, {m_server});
        return false;
    }
    switch (m_f.ServletFraming) {
    case ResponseFraming::TooShort:
        step.Details.push_back("Too short: the servlet's answer has at least " +
                               std::to_string(RESPONSE_MIN_LENGTH) + " bytes.");
        Fail(step, kAnswerTooShort);
        return false;
    case ResponseFraming::Invalid:
        step.Details.push_back("The header in it cannot be read.");
        Fail(step, kAnswerUnreadable);
        return false;
    case ResponseFraming::Ok:
        break;
    }
    step.Details.push_back("Framing: the server's header read from bytes 16 to 75.");
    step.Details.push_back("Result code: " + Hex(m_o.ServerCode));
    if (m_o.ServerCode != 0) {
        Fail(step, kServletError, {Hex(m_o.ServerCode)});
        return false;
    }
    Pass(step);
    return true;
}

} // namespace diagnosis_detail
