#pragma once
// One HTTP(S) POST through libcurl's easy interface, with the response body
// collected in memory.
//
// The caller configures the object one setting at a time (time-out, TLS, CA
// and client certificates, proxy, server), hands over the request body and
// runs the transfer. Every operation answers libcurl's result number, 0 for
// success; the certificate steps answer numbers of their own taken from
// libcurl's numbering (see the ERR_EASYCURL_* constants), and the proxy and
// server steps -1 when their host is missing.
//
// Certificates in binary form are converted to PEM files in the program
// directory before libcurl sees them: "ZQCAPEM.cer" for a DER CA,
// "ZQClientCert.PEM" and "ZQClientCertPW.PEM" (the private key, encrypted
// under the certificate password) for a PKCS#12 client certificate.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

typedef void CURL;

// The wrapper's own failure numbers, each one libcurl's number for the same
// kind of trouble.
inline constexpr int32_t ERR_EASYCURL_NO_CLIENT_CERT = 2; // failed initialisation
inline constexpr int32_t ERR_EASYCURL_FILE = 23;          // write error: BIO or file
inline constexpr int32_t ERR_EASYCURL_BAD_PASSWORD = 46;  // bad password
inline constexpr int32_t ERR_EASYCURL_CERT_PROBLEM = 58;  // local certificate problem
inline constexpr int32_t ERR_EASYCURL_CA_PROBLEM = 60;    // CA certificate problem
inline constexpr int32_t ERR_EASYCURL_NO_HOST = -1;

// Authentication method numbers as the configuration stores them.
inline constexpr int32_t AUTH_METHOD_BASIC = 0;
inline constexpr int32_t AUTH_METHOD_DIGEST = 1;
inline constexpr int32_t AUTH_METHOD_NTLM = 2;

// Proxy type numbers, libcurl's own.
inline constexpr int32_t PROXY_TYPE_HTTP = 0;
inline constexpr int32_t PROXY_TYPE_SOCKS4 = 4;
inline constexpr int32_t PROXY_TYPE_SOCKS5 = 5;

// The HTTP status reported when libcurl has none (no response arrived).
inline constexpr long HTTP_CODE_NONE = 100;

inline constexpr char CA_PEM_FILE_NAME[] = "ZQCAPEM.cer";
inline constexpr char CLIENT_CERT_PEM_FILE_NAME[] = "ZQClientCert.PEM";
inline constexpr char CLIENT_KEY_PEM_FILE_NAME[] = "ZQClientCertPW.PEM";

// libcurl's authentication bit for a stored method number: 1 Digest, 2 NTLM,
// every other number Basic.
long MapAuthMethod(int32_t method);

// Looks on at a transfer without taking part in it. Before the transfer it
// may set only libcurl's informational options (verbose output to its own
// debug function, the certificate information, the error buffer); after it,
// it reads what libcurl reports and takes those options back. Nothing it does
// may change what is sent or how the transfer ends.
class CTransferObserver {
public:
    virtual ~CTransferObserver() = default;
    virtual void BeforeTransfer(CURL* curl) = 0;
    virtual void AfterTransfer(CURL* curl, int32_t result) = 0;
};

class CEasycurlHandle {
public:
    CEasycurlHandle();
    virtual ~CEasycurlHandle();
    CEasycurlHandle(const CEasycurlHandle&) = delete;
    CEasycurlHandle& operator=(const CEasycurlHandle&) = delete;

    CURL* Get() const { return m_curl; }

private:
    CURL* m_curl;
};

// The received body. `Length` is what counts; a zero byte after the data is
// kept where there is room but is not part of the contract.
struct ResponseBuffer {
    static constexpr int32_t kInitialCapacity = 10240;
    // The servlet answers with about a hundred bytes; anything beyond this
    // is not its answer and ends the transfer (CURLE_WRITE_ERROR).
    static constexpr std::size_t kMaxLength = 256 * 1024;

    ResponseBuffer();

    // Empties the buffer for a new transfer, zeroing the whole block.
    void Clear();
    // Appends `count` bytes, doubling the block when needed; false when the
    // block cannot grow (no memory) or would hold more than kMaxLength
    // bytes (then `Overflowed` is set and nothing is appended).
    bool Append(const char* bytes, std::size_t count);

    std::unique_ptr<uint8_t[]> Data;
    int32_t Capacity = 0;
    int32_t Length = 0;
    bool Overflowed = false;
};

class CInternet {
public:
    CInternet();
    virtual ~CInternet();
    CInternet(const CInternet&) = delete;
    CInternet& operator=(const CInternet&) = delete;

    // Builds "<scheme>://<server>:<port><path>" and, when a user name is
    // given (empty counts), the server credentials.
    virtual int32_t SetServerInfo(const char* pszURL, const char* pszServer, uint16_t uServerPort,
                                  const char* pszServerUserName, const char* pszServerPassword,
                                  int32_t iMethod);
    // Request data from an upload file. No operation opens one: the request
    // body always comes from memory, so this only reports the missing file
    // and aborts.
    virtual std::size_t OnReadData(char* buffer, std::size_t size, std::size_t count);
    // Response data, appended to the response buffer.
    virtual std::size_t OnWriteData(const char* data, std::size_t size, std::size_t count);
    virtual const char* GetScheme() const = 0;

    int32_t SetTimeOut(int32_t seconds);
    int32_t EnableSSL(int32_t enable);
    int32_t SetVerifyCA(int32_t verify);
    int32_t SetVerifyHost(int32_t verify);
    int32_t SetCAInfo(const char* pszCAFile);
    int32_t SetClientCert(const char* pszClientCert, const char* pszCertPassword,
                          const char* pszCertType);
    int32_t SetProxyInfo(const char* pszProxy, uint16_t uProxyPort, const char* pszProxyUserName,
                         const char* pszProxyPassword, int32_t nProxyType, int32_t iAuthMethod);
    // libcurl reads the body from `body` during DoRequest: the caller keeps it
    // alive until then.
    int32_t SetPostData(const void* body, int32_t size);
    // Lets another thread end a transfer early: from the moment `*cancel`
    // becomes true, the running (or next) DoRequest ends within a fraction of
    // a second with CURLE_ABORTED_BY_CALLBACK, whether it is resolving,
    // connecting, in a TLS or proxy handshake, or waiting for the answer.
    // The flag must outlive the transfers; null turns this off again.
    int32_t SetCancelFlag(const std::atomic<bool>* cancel);
    // Runs the transfer; `response` points at the object's buffer afterwards
    // (also when the transfer could not start) and stays valid for the life
    // of the object.
    int32_t DoRequest(const ResponseBuffer*& response);
    // The observer of the next transfers, or null. It must outlive them.
    void SetTransferObserver(CTransferObserver* observer) { m_observer = observer; }
    long GetHTTPCode() const;
    // Whether the last transfer received a status line from the server (or
    // the proxy); GetHTTPCode stands in 100 when it did not.
    bool HasHTTPCode() const;

    // What was handed to libcurl, for diagnostics.
    const std::string& GetURL() const { return m_pszURL; }
    const std::string& GetProxyServerInfo() const { return m_pszProxyServerInfo; }
    const std::string& GetCAPemPath() const { return m_caPemPath; }
    const std::string& GetClientPemPath() const { return m_clientPemPath; }
    const std::string& GetClientKeyPemPath() const { return m_clientKeyPemPath; }

protected:
    bool IsSecure() const { return m_secure; }

private:
    CEasycurlHandle m_handle;
    // libcurl keeps pointers into these until they are replaced by the next
    // call of the same operation or the object goes.
    std::string m_pszProxyServerInfo;
    std::string m_proxyCredentials;
    std::string m_pszURL;
    std::string m_serverCredentials;
    bool m_secure = false;
    ResponseBuffer m_response;
    std::string m_caPemPath;
    std::string m_certType;
    std::string m_clientPemPath;
    std::string m_clientKeyPemPath;
    const std::atomic<bool>* m_cancel = nullptr;
    CTransferObserver* m_observer = nullptr;
};

class CHTTP : public CInternet {
public:
    CHTTP() = default;
    ~CHTTP() override = default;

    int32_t SetServerInfo(const char* pszURL, const char* pszServer, uint16_t uServerPort,
                          const char* pszServerUserName, const char* pszServerPassword,
                          int32_t iMethod) override;
    const char* GetScheme() const override;
};
