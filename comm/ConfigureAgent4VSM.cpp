#include "comm/ConfigureAgent4VSM.h"

#include <cstring>
#include <memory>

#include "comm/ConnectionTestWatch.h"
#include "comm/Easycurl.h"
#include "comm/Packet.h"
#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/AgentConfig.h"

namespace {

// The pages hold UTF-16; libcurl wants the system's narrow text. An empty or
// unconvertible value becomes "none", which the transfer object treats as
// absent.
class NarrowText {
public:
    explicit NarrowText(const std::u16string& text)
        : m_text(WideToMultiByte(text.c_str(), CP_ACP)) {}
    const char* Get() const { return m_text.get(); }

private:
    std::unique_ptr<char[]> m_text;
};

uint16_t LowPort(int32_t port) {
    return static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xFFFFu);
}

bool Raised(const std::atomic<bool>* flag) {
    return flag != nullptr && flag->load();
}

ConnectionTestOutcome CancelledOutcome(ConnectionTestOutcome outcome) {
    LOG_PRINTF(LK_INFO, MSG_CONNTEST_CANCELLED);
    outcome.Cancelled = true;
    return outcome;
}

} // namespace

int32_t InitializeHTTP(CHTTP& http, const ConnectionTestSettings& settings) {
    InitializeStep failedStep = InitializeStep::None;
    return InitializeHTTP(http, settings, failedStep);
}

int32_t InitializeHTTP(CHTTP& http, const ConnectionTestSettings& settings,
                       InitializeStep& failedStep) {
    LOG_PRINTF(LK_INFO, "InitializeHTTP: begin. [%s|%d]");

    failedStep = InitializeStep::TimeOut;
    int32_t result = http.SetTimeOut(settings.ConnTimeOut);
    if (result != 0)
        return result;

    if (settings.IsUseHTTPS) {
        LOG_PRINTF(LK_INFO, "CCommunicateWithServ::InitializeHTTP: config SSL. [%s|%d]");
        failedStep = InitializeStep::Tls;
        if ((result = http.EnableSSL(1)) != 0)
            return result;
        if ((result = http.SetVerifyCA(1)) != 0)
            return result;
        // The server certificate must chain to the given root CA and name
        // the server as typed (a name, or an address among its IP entries):
        // without the name check any certificate of that CA would pass for
        // the server.
        if ((result = http.SetVerifyHost(1)) != 0)
            return result;
        failedStep = InitializeStep::CaInfo;
        const NarrowText caPath(settings.CACertPath);
        result = http.SetCAInfo(caPath.Get());
        if (result != 0) {
            LOG_PRINTF(LK_WARNING, "Failed to set CA. LibCurl Error code=%d. [%s|%d]", result);
            return result;
        }
        if (settings.RequireClientCert) {
            LOG_PRINTF(LK_INFO,
                       "CCommunicateWithServ::InitializeHTTP: config client certificate. [%s|%d]");
            failedStep = InitializeStep::ClientCert;
            const NarrowText certPath(settings.ClientCertPath);
            const NarrowText certPassword(settings.ClientCertPswd);
            result = http.SetClientCert(certPath.Get(), certPassword.Get(), "PEM");
            if (result != 0) {
                LOG_PRINTF(LK_WARNING,
                           "Failed to set client certificate. LibCurl Error code=%d. [%s|%d]",
                           result);
                return result;
            }
        }
    }

    if (settings.ProxyEnabled) {
        failedStep = InitializeStep::Proxy;
        const NarrowText address(settings.ProxyServerName);
        const NarrowText user(settings.ProxyUser);
        const NarrowText password(settings.ProxyPassword);
        const uint16_t port = LowPort(settings.ProxyServerPort);
        bool called = true;
        switch (settings.ProxyKind) {
        case PROXY_KIND_HTTP:
            result = http.SetProxyInfo(address.Get(), port, user.Get(), password.Get(),
                                       PROXY_TYPE_HTTP, settings.HTTPProxyAuthMethod);
            break;
        case PROXY_KIND_SOCKS5:
            result = http.SetProxyInfo(address.Get(), port, user.Get(), password.Get(),
                                       PROXY_TYPE_SOCKS5, AUTH_METHOD_BASIC);
            break;
        case PROXY_KIND_SOCKS4:
            // SOCKS 4 has no authentication: whatever user the page still
            // holds is never sent.
            result = http.SetProxyInfo(address.Get(), port, "", "", PROXY_TYPE_SOCKS4,
                                       AUTH_METHOD_BASIC);
            break;
        default:
            called = false;
            break;
        }
        if (called && result != 0) {
            LOG_PRINTF(LK_WARNING, "Failed to set proxy. LibCurl Error code=%d. [%s|%d]", result);
            return result;
        }
    }

    failedStep = InitializeStep::Server;
    const NarrowText servicePath(settings.ServiceURI);
    const NarrowText server(settings.ServerName);
    const uint16_t serverPort = LowPort(settings.ServerPort);
    if (settings.IsUseHTTPAuth) {
        const NarrowText user(settings.HTTPAuthUser);
        const NarrowText password(settings.HTTPAuthPassword);
        result = http.SetServerInfo(servicePath.Get(), server.Get(), serverPort, user.Get(),
                                    password.Get(), settings.ServerAuthMethod);
    } else {
        result = http.SetServerInfo(servicePath.Get(), server.Get(), serverPort, nullptr, nullptr,
                                    AUTH_METHOD_BASIC);
    }
    if (result != 0) {
        LOG_PRINTF(LK_WARNING, "Failed to SetServerInfo. LibCurl Error code=%d. [%s|%d]", result);
        return result;
    }
    failedStep = InitializeStep::None;
    return 0;
}

ConnectionTestOutcome RunConnectionTest(const ConnectionTestSettings& settings,
                                        const std::atomic<bool>* cancel) {
    return RunConnectionTestWatched(settings, cancel, nullptr);
}

ConnectionTestOutcome RunConnectionTestWatched(const ConnectionTestSettings& settings,
                                               const std::atomic<bool>* cancel,
                                               IConnectionTestWatcher* watcher) {
    ConnectionTestOutcome outcome;
    CHTTP http;

    // A cancel that comes during the set-up (certificate conversion, the
    // system configuration) spares the user the connection attempt too.
    InitializeStep failedStep = InitializeStep::None;
    outcome.InitializeResult = InitializeHTTP(http, settings, failedStep);
    if (watcher != nullptr)
        watcher->OnConfigured(http, outcome.InitializeResult, failedStep);
    if (Raised(cancel))
        return CancelledOutcome(outcome);
    if (outcome.InitializeResult != 0)
        return outcome;
    if (cancel != nullptr)
        http.SetCancelFlag(cancel);

    // The identity is read afresh for every test; a failed load sends
    // whatever the record holds by then.
    SysConfigRecord sysConfig;
    LoadSysConfig(sysConfig);
    if (Raised(cancel))
        return CancelledOutcome(outcome);

    PacketHeader request;
    InitPacketHeader(request);
    request.PluginType = static_cast<uint16_t>(static_cast<uint32_t>(sysConfig.PluginType));
    static_assert(sizeof(request.AgentGUID) == sizeof(sysConfig.AgentGUID));
    std::memcpy(request.AgentGUID, sysConfig.AgentGUID, sizeof(request.AgentGUID));
    request.AgentGUID[PACKET_GUID_LENGTH] = '\0';
    request.Code = PACKET_CODE_TEST_CONNECTION;
    request.Param2 = 0;
    request.Param3 = 0;
    request.PayloadLength = 0;

    auto body = std::make_unique<uint8_t[]>(PACKET_HEADER_SIZE + request.PayloadLength);
    BuildPacketHeader(request, body.get());
    request.PacketBuffer = body.get();

    const ResponseBuffer* response = nullptr;
    const int32_t postResult = http.SetPostData(
        body.get(), static_cast<int32_t>(PACKET_HEADER_SIZE + request.PayloadLength));
    if (postResult != 0) {
        LOG_PRINTF(LK_WARNING, "Failed to SetPostData. LibCurl Error code=%d. [%s|%d]", postResult);
        outcome.TransferResult = postResult;
        outcome.HttpCode = 200;
        outcome.ServerCode = 0;
    } else {
        outcome.TransferResult = http.DoRequest(response);
        outcome.HttpCode = http.GetHTTPCode();
        outcome.HttpCodeReceived = http.HasHTTPCode();
        // What a cut-off transfer left in the buffer says nothing about the
        // server; only a transfer that got through before the cancel counts.
        if (outcome.TransferResult != 0 && Raised(cancel))
            return CancelledOutcome(outcome);
        PacketHeader answer;
        InitPacketHeader(answer);
        const ResponseFraming framing =
            ParseResponseBody(response->Data.get(), response->Length, answer);
        if (watcher != nullptr)
            watcher->OnAnswer(*response, framing);
        switch (framing) {
        case ResponseFraming::TooShort:
            LOG_PRINTF(LK_WARNING, "Response content length is wrong. [%s|%d]");
            outcome.ServerCode = SERVER_CODE_UNREADABLE;
            break;
        case ResponseFraming::Invalid:
            LOG_PRINTF(LK_WARNING, "Response content is invalid. [%s|%d]");
            outcome.ServerCode = SERVER_CODE_UNREADABLE;
            break;
        case ResponseFraming::Ok:
            outcome.ServerCode = answer.Code;
            outcome.ServerCodeReceived =
                outcome.HttpCodeReceived && outcome.HttpCode == 200 && outcome.TransferResult == 0;
            break;
        }
    }
    request.PacketBuffer = nullptr;
    body.reset();

    if (outcome.TransferResult != 0 || outcome.HttpCode != 200) {
        LOG_PRINTF(LK_WARNING,
                   "Failed to do HTTP request. LibCurl Error code=%d, HTTP code = %d. [%s|%d]",
                   outcome.TransferResult, outcome.HttpCode);
        return outcome;
    }
    if (outcome.ServerCode != 0) {
        LOG_PRINTF(LK_WARNING, "Server error code is 0x%X. [%s|%d]", outcome.ServerCode);
        outcome.TextId = IDS_CONNTEST_SERVER_ERROR;
        return outcome;
    }
    outcome.CaptionId = IDS_CONNTEST_CAPTION_INFO;
    outcome.TextId = IDS_CONNTEST_SUCCESS;
    outcome.Success = true;
    return outcome;
}
