#pragma once
// The connection test behind the settings dialog's "Test Connection"
// button: one request packet posted to the configured server with exactly
// the values the pages show, ending in the one message the user is shown.
//
// The dialog gathers the values (after its own field checks) into a
// ConnectionTestSettings record and shows the message that RunConnectionTest
// answers; nothing here touches a widget, a file of the configuration or a
// setting.

#include <atomic>
#include <cstdint>
#include <string>

class CHTTP;

// String resources of the outcome: captions and texts.
inline constexpr uint32_t IDS_CONNTEST_CAPTION_INFO = 7009;
inline constexpr uint32_t IDS_CONNTEST_CAPTION_WARNING = 7010;
inline constexpr uint32_t IDS_CONNTEST_UNABLE_TO_CONNECT = 7019;
inline constexpr uint32_t IDS_CONNTEST_SUCCESS = 7020;
inline constexpr uint32_t IDS_CONNTEST_SERVER_ERROR = 7052;

// The server result code taken when the answer cannot be read.
inline constexpr uint32_t SERVER_CODE_UNREADABLE = 0x10020;

// The one line a cancelled test leaves in the log.
inline constexpr char MSG_CONNTEST_CANCELLED[] = "Connection test cancelled by the user. [%s|%d]";

// Proxy kinds in the order of the General page's protocol buttons.
inline constexpr int32_t PROXY_KIND_HTTP = 0;
inline constexpr int32_t PROXY_KIND_SOCKS5 = 1;
inline constexpr int32_t PROXY_KIND_SOCKS4 = 2;

// The values of the General and Advanced pages at the moment of the test,
// saved or not. Ports are used by their low 16 bits.
struct ConnectionTestSettings {
    std::u16string ServerName;
    int32_t ServerPort = 0;
    bool IsUseHTTPS = false;
    bool IsUseHTTPAuth = false;
    std::u16string HTTPAuthUser;
    std::u16string HTTPAuthPassword;
    int32_t ServerAuthMethod = 0; // 0 Basic, 1 Digest, 2 NTLM
    bool ProxyEnabled = false;
    int32_t ProxyKind = PROXY_KIND_HTTP;
    std::u16string ProxyServerName;
    int32_t ProxyServerPort = 0;
    std::u16string ProxyUser;
    std::u16string ProxyPassword;
    int32_t HTTPProxyAuthMethod = 0; // for an HTTP proxy only
    std::u16string CACertPath;
    bool RequireClientCert = false;
    std::u16string ClientCertPath;
    std::u16string ClientCertPswd;
    std::u16string ServiceURI;
    int32_t ConnTimeOut = 0;
};

// The message to show, and what led to it (for the caller's diagnostics and
// for tests; the user sees only the message).
struct ConnectionTestOutcome {
    uint32_t CaptionId = IDS_CONNTEST_CAPTION_WARNING;
    uint32_t TextId = IDS_CONNTEST_UNABLE_TO_CONNECT;
    bool Success = false;
    // The first failing configuration step's result, else 0.
    int32_t InitializeResult = 0;
    // libcurl's result of the transfer (or of SetPostData when that failed).
    int32_t TransferResult = 0;
    long HttpCode = 0;
    uint32_t ServerCode = 0;
    // What really arrived: a status line (HttpCode is 100 without one), and
    // the servlet's own header in a 200 answer (ServerCode means nothing
    // otherwise, e.g. when read out of a proxy's error page).
    bool HttpCodeReceived = false;
    bool ServerCodeReceived = false;
    // The cancel flag was raised before the test could finish: there is
    // nothing to show, and the other fields say only how far it got.
    bool Cancelled = false;
};

// Configures a freshly constructed transfer object from the page values:
// time-out, TLS with the CA and client certificate for HTTPS, the proxy and
// the server. 0, or the first non-zero result of a step.
int32_t InitializeHTTP(CHTTP& http, const ConnectionTestSettings& settings);

// Runs the whole test: configures the transfer, loads the agent's identity
// afresh from its system configuration, posts the 60-byte header of request
// code 50 and reads the server's result code out of the answer.
//
// Safe on a thread of its own while other threads use the log, the
// configuration store and the encryption. `cancel`, when given, may be
// raised from any thread: the transfer then ends within a fraction of a
// second and the outcome is Cancelled, unless the transfer had already
// succeeded. The flag must outlive the call.
ConnectionTestOutcome RunConnectionTest(const ConnectionTestSettings& settings,
                                        const std::atomic<bool>* cancel = nullptr);
