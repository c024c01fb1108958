#include "comm/Easycurl.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <source_location>
#include <sys/stat.h>
#include <unistd.h>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "platform/system/AtomicFile.h"
#include "platform/system/InstanceLock.h"

namespace {

const char* OrNull(const char* text) {
    return text != nullptr ? text : "null";
}

// libcurl's write function: the user pointer is the transfer object.
std::size_t WriteCallback(char* data, std::size_t size, std::size_t count, void* user) {
    if (user == nullptr)
        return 0;
    return static_cast<CInternet*>(user)->OnWriteData(data, size, count);
}

// libcurl's progress function: a non-zero answer ends the transfer with
// CURLE_ABORTED_BY_CALLBACK. The user pointer is the cancel flag.
int CancelCallback(void* flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
}

// How long a cancellable transfer waits for its sockets before it looks at
// the flag again. curl_easy_perform waits up to a second while nothing
// arrives, which is too long for a Cancel button.
constexpr int kCancelPollMs = 50;

CURLcode ToEasyResult(CURLMcode code) {
    return code == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_BAD_FUNCTION_ARGUMENT;
}

// curl_easy_perform, driven through a multi handle of its own so that the
// waits stay short. The progress function aborts the transfer in every state
// in which libcurl calls it; a state in which it does not (some connect
// phases) is cut short here, with the same result.
CURLcode PerformCancellable(CURL* curl, const std::atomic<bool>& cancel) {
    CURLM* multi = curl_multi_init();
    if (multi == nullptr)
        return CURLE_OUT_OF_MEMORY;
    CURLMcode code = curl_multi_add_handle(multi, curl);
    if (code != CURLM_OK) {
        curl_multi_cleanup(multi);
        return ToEasyResult(code);
    }
    CURLcode result = CURLE_OK;
    for (;;) {
        int running = 0;
        code = curl_multi_perform(multi, &running);
        if (code != CURLM_OK) {
            result = ToEasyResult(code);
            break;
        }
        bool done = false;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == curl) {
                result = message->data.result;
                done = true;
            }
        }
        if (done)
            break;
        if (cancel.load()) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        code = curl_multi_poll(multi, nullptr, 0, kCancelPollMs, nullptr);
        if (code != CURLM_OK) {
            result = ToEasyResult(code);
            break;
        }
    }
    curl_multi_remove_handle(multi, curl);
    curl_multi_cleanup(multi);
    return result;
}

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Deleter {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct Pkcs12Deleter {
    void operator()(PKCS12* p12) const { PKCS12_free(p12); }
};
struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

std::string MemoryBioText(BIO* bio) {
    BUF_MEM* buffer = nullptr;
    BIO_get_mem_ptr(bio, &buffer);
    return buffer != nullptr ? std::string(buffer->data, buffer->length) : std::string();
}

// A failed atomic write either could not create its file or could not put
// the bytes into it; the two have different numbers.
bool IsWriteFailure(int error) {
    return error == ENOSPC || error == EDQUOT || error == EIO || error == EFBIG;
}

// A PEM copy is saved as every file of the tool is. The key file must never
// be readable by others, so it ends 0600 even where it replaces a copy left
// with a looser mode (by hand, or by an older tool).
int SavePemFile(const std::string& path, const std::string& text, bool privateKey,
                const std::source_location& where = std::source_location::current()) {
    SaveFileOptions options;
    options.newFileMode = privateKey ? 0600 : 0644;
    options.sharedFileMode = privateKey ? 0600 : 0664;
    options.exactMode = privateKey;
    return SaveToolFile(path, text, options, where);
}

// Where the PEM copies for a transfer go: beside the program for root and
// for the user who owns the agent home (the demo, the tests); every other
// user gets a private directory of their own, $XDG_RUNTIME_DIR/
// opal-agent-setting/ or, without a runtime directory, the same per-user
// directory in /tmp as the instance lock. So nobody's copy ever meets
// another user's, and no user's key lies where others could swap it.
bool PemCopyDirectory(std::string& directory) {
    std::string program;
    if (!GetModuleDirectory(program))
        return false;
    struct stat info {};
    const uid_t self = ::geteuid();
    if (self == 0 || (::stat(program.c_str(), &info) == 0 && info.st_uid == self)) {
        directory = program;
        return true;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string own = runtime != nullptr && runtime[0] == '/'
                                ? std::string(runtime) + "/opal-agent-setting"
                                : InstanceLock::PrivateTmpDirectory();
    if (const int error = EnsurePrivateDirectory(own); error != 0) {
        LOG_PRINTF(LK_WARNING, "%s cannot hold this user's PEM copies: %s [%s|%d]", own,
                   std::string(std::strerror(error)));
        return false;
    }
    directory = own + "/";
    return true;
}

// Writes the certificate and the private key taken out of a PKCS#12 file as
// the two PEM files in the program directory; each path is set once its file
// is in place.
int32_t WriteClientPemFiles(X509* cert, EVP_PKEY* key, const char* password,
                            const EVP_CIPHER* cipher, std::string& certPathOut,
                            std::string& keyPathOut) {
    std::string directory;
    const bool haveDirectory = PemCopyDirectory(directory);

    BioPtr certPem(BIO_new(BIO_s_mem()));
    if (!certPem) {
        LOG_PRINTF(LK_WARNING, "BIO_new Failed (client cert), [%s|%d]");
        return ERR_EASYCURL_FILE;
    }
    if (!haveDirectory) {
        LOG_PRINTF(LK_WARNING, "Failed to create client certificate, [%s|%d]");
        return ERR_EASYCURL_FILE;
    }
    if (PEM_write_bio_X509(certPem.get(), cert) != 1) {
        LOG_PRINTF(LK_WARNING, "Failed to write client certificate, [%s|%d]");
        return ERR_EASYCURL_CA_PROBLEM;
    }
    const std::string certPath = directory + CLIENT_CERT_PEM_FILE_NAME;
    int error = SavePemFile(certPath, MemoryBioText(certPem.get()), false);
    if (error != 0) {
        if (IsWriteFailure(error)) {
            LOG_PRINTF(LK_WARNING, "Failed to write client certificate, [%s|%d]");
            return ERR_EASYCURL_CA_PROBLEM;
        }
        LOG_PRINTF(LK_WARNING, "Failed to create client certificate, [%s|%d]");
        return ERR_EASYCURL_FILE;
    }
    certPathOut = certPath;

    BioPtr keyPem(BIO_new(BIO_s_mem()));
    if (!keyPem) {
        LOG_PRINTF(LK_WARNING, "BIO_new Failed (client password), [%s|%d]");
        return ERR_EASYCURL_FILE;
    }
    // Without a password there is nothing to encrypt the key under, and an
    // encrypted key without one would make OpenSSL prompt on a terminal when
    // libcurl loads it; the key is written in the clear, readable by the
    // owner only, as the PKCS#12 file it came from already was.
    const bool encrypt = password != nullptr && password[0] != '\0';
    const int written = encrypt ? PEM_write_bio_PrivateKey(
                                      keyPem.get(), key, cipher,
                                      reinterpret_cast<unsigned char*>(const_cast<char*>(password)),
                                      static_cast<int>(std::strlen(password)), nullptr, nullptr)
                                : PEM_write_bio_PrivateKey(keyPem.get(), key, nullptr, nullptr, 0,
                                                           nullptr, nullptr);
    if (written != 1) {
        LOG_PRINTF(LK_WARNING, "Failed to write client password, [%s|%d]");
        return ERR_EASYCURL_CA_PROBLEM;
    }
    const std::string keyPath = directory + CLIENT_KEY_PEM_FILE_NAME;
    error = SavePemFile(keyPath, MemoryBioText(keyPem.get()), true);
    if (error != 0) {
        if (IsWriteFailure(error)) {
            LOG_PRINTF(LK_WARNING, "Failed to write client password, [%s|%d]");
            return ERR_EASYCURL_CA_PROBLEM;
        }
        LOG_PRINTF(LK_WARNING, "Failed to create client password, [%s|%d]");
        return ERR_EASYCURL_FILE;
    }
    keyPathOut = keyPath;
    return 0;
}

} // namespace

long MapAuthMethod(int32_t method) {
    switch (method) {
    case AUTH_METHOD_DIGEST:
        return CURLAUTH_DIGEST;
    case AUTH_METHOD_NTLM:
        return CURLAUTH_NTLM;
    default:
        return CURLAUTH_BASIC;
    }
}

// ---------------------------------------------------------------------------

namespace {

// curl_easy_init would set libcurl up itself on first use, from whichever
// thread gets there first; doing it once here keeps that out of any race
// with a transfer already running on another thread.
CURL* NewEasyHandle() {
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    return initialised == CURLE_OK ? curl_easy_init() : nullptr;
}

} // namespace

CEasycurlHandle::CEasycurlHandle() : m_curl(NewEasyHandle()) {}

CEasycurlHandle::~CEasycurlHandle() {
    if (m_curl != nullptr)
        curl_easy_cleanup(m_curl);
}

// ---------------------------------------------------------------------------

ResponseBuffer::ResponseBuffer()
    : Data(new uint8_t[kInitialCapacity]()), Capacity(kInitialCapacity), Length(0) {}

void ResponseBuffer::Clear() {
    std::memset(Data.get(), 0, static_cast<std::size_t>(Capacity));
    Length = 0;
    Overflowed = false;
}

bool ResponseBuffer::Append(const char* bytes, std::size_t count) {
    const std::size_t length = static_cast<std::size_t>(Length);
    if (count > kMaxLength - length) {
        Overflowed = true;
        return false;
    }
    const std::size_t needed = length + count;
    if (needed >= static_cast<std::size_t>(Capacity)) {
        // Doubling keeps the copies linear in the answer's length; the bound
        // keeps a runaway answer from taking the machine's memory.
        std::size_t grown = static_cast<std::size_t>(Capacity);
        while (grown <= needed)
            grown *= 2;
        grown = std::min(grown, kMaxLength + 1);
        std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[grown]());
        if (!block)
            return false;
        std::memcpy(block.get(), Data.get(), length);
        Data = std::move(block);
        Capacity = static_cast<int32_t>(grown);
    }
    if (count != 0)
        std::memcpy(Data.get() + length, bytes, count);
    Length = static_cast<int32_t>(needed);
    Data[needed] = 0;
    return true;
}

// ---------------------------------------------------------------------------

CInternet::CInternet() {
    // The agent service runs without the user's proxy variables: the test
    // takes the agent's route, so neither http_proxy/https_proxy/all_proxy
    // nor no_proxy may change it. SetProxyInfo sets the configured proxy.
    curl_easy_setopt(m_handle.Get(), CURLOPT_PROXY, "");
    curl_easy_setopt(m_handle.Get(), CURLOPT_NOPROXY, "");
}

CInternet::~CInternet() = default;

std::size_t CInternet::OnReadData(char*, std::size_t, std::size_t) {
    LOG_PRINTF(LK_WARNING, "invalid file handle, [%s|%d]");
    return CURL_READFUNC_ABORT;
}

std::size_t CInternet::OnWriteData(const char* data, std::size_t size, std::size_t count) {
    if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) {
        LOG_PRINTF(LK_WARNING, "invalid file handle, [%s|%d]");
        return 0;
    }
    const std::size_t total = size * count;
    if (!m_response.Append(data, total)) {
        if (m_response.Overflowed)
            LOG_PRINTF(LK_WARNING,
                       "Response content is longer than %d bytes; the transfer is ended. [%s|%d]",
                       static_cast<int>(ResponseBuffer::kMaxLength));
        else
            LOG_PRINTF(LK_WARNING, "invalid file handle, [%s|%d]");
        return 0;
    }
    return total;
}

int32_t CInternet::SetTimeOut(int32_t seconds) {
    LOG_PRINTF(LK_ENTER, "SetTimeOut(%d), [%s|%d]", seconds);
    const CURLcode result =
        curl_easy_setopt(m_handle.Get(), CURLOPT_TIMEOUT, static_cast<long>(seconds));
    if (result != CURLE_OK)
        LOG_PRINTF(LK_WARNING, "Failed to set SetTimeOut (%d), [%s|%d]", static_cast<int>(result));
    return result;
}

int32_t CInternet::EnableSSL(int32_t enable) {
    m_secure = enable != 0;
    // TLS 1.2 is the oldest protocol worth offering; libcurl refuses a request
    // for SSL 3.0 outright.
    return curl_easy_setopt(m_handle.Get(), CURLOPT_SSLVERSION,
                            static_cast<long>(CURL_SSLVERSION_TLSv1_2));
}

int32_t CInternet::SetVerifyCA(int32_t verify) {
    LOG_PRINTF(LK_ENTER, "SetVerifyCA(), [%s|%d]");
    const CURLcode result =
        curl_easy_setopt(m_handle.Get(), CURLOPT_SSL_VERIFYPEER, verify != 0 ? 1L : 0L);
    LOG_PRINTF(LK_LEAVE, "(%d) = SetVerifyCA(), [%s|%d]", static_cast<int>(result));
    return result;
}

int32_t CInternet::SetVerifyHost(int32_t verify) {
    LOG_PRINTF(LK_ENTER, "SetVerifyHost(), [%s|%d]");
    const CURLcode result =
        curl_easy_setopt(m_handle.Get(), CURLOPT_SSL_VERIFYHOST, verify != 0 ? 2L : 0L);
    LOG_PRINTF(LK_LEAVE, "(%d) = SetVerifyHost(), [%s|%d]", static_cast<int>(result));
    return result;
}

int32_t CInternet::SetCAInfo(const char* pszCAFile) {
    LOG_PRINTF(LK_ENTER, "SetCAInfo(%s), [%s|%d]", OrNull(pszCAFile));
    m_caPemPath.clear();

    BioPtr source(BIO_new(BIO_s_file()));
    if (!source) {
        LOG_PRINTF(LK_WARNING, "BIO_new Failed, [%s|%d]");
        ERR_clear_error();
        return ERR_EASYCURL_FILE;
    }
    if (pszCAFile == nullptr || BIO_read_filename(source.get(), pszCAFile) <= 0) {
        LOG_PRINTF(LK_WARNING, "BIO_read_filename Failed, [%s|%d]");
        ERR_clear_error();
        return ERR_EASYCURL_CA_PROBLEM;
    }

    std::string fileToUse = pszCAFile;
    std::unique_ptr<X509, X509Deleter> certificate(d2i_X509_bio(source.get(), nullptr));
    if (certificate) {
        BioPtr pem(BIO_new(BIO_s_mem()));
        std::string directory;
        if (!pem) {
            LOG_PRINTF(LK_WARNING, "BIO_new Failed (CA PEM), [%s|%d]");
            ERR_clear_error();
            return ERR_EASYCURL_FILE;
        }
        if (!PemCopyDirectory(directory)) {
            LOG_PRINTF(LK_WARNING, "Failed to open CA PEM FILE, [%s|%d]");
            return ERR_EASYCURL_FILE;
        }
        if (PEM_write_bio_X509(pem.get(), certificate.get()) != 1) {
            LOG_PRINTF(LK_WARNING, "Failed to write CA PEM file, [%s|%d]");
            ERR_clear_error();
            return ERR_EASYCURL_CA_PROBLEM;
        }
        const std::string path = directory + CA_PEM_FILE_NAME;
        const int error = SavePemFile(path, MemoryBioText(pem.get()), false);
        if (error != 0) {
            if (IsWriteFailure(error)) {
                LOG_PRINTF(LK_WARNING, "Failed to write CA PEM file, [%s|%d]");
                return ERR_EASYCURL_CA_PROBLEM;
            }
            LOG_PRINTF(LK_WARNING, "Failed to open CA PEM FILE, [%s|%d]");
            return ERR_EASYCURL_FILE;
        }
        m_caPemPath = path;
        fileToUse = path;
    }
    // A file that is not DER is handed to libcurl as it is (PEM, or whatever
    // libcurl makes of it); the failed DER attempt must not linger in the
    // error queue that libcurl reads later.
    ERR_clear_error();
    return curl_easy_setopt(m_handle.Get(), CURLOPT_CAINFO, fileToUse.c_str());
}

int32_t CInternet::SetClientCert(const char* pszClientCert, const char* pszCertPassword,
                                 const char* pszCertType) {
    LOG_PRINTF(LK_ENTER, "pszClientCert(%s), pszCertPassword(%s), pszCertType(%s) [%s|%d]",
               OrNull(pszClientCert), "", OrNull(pszCertType));
    if (pszClientCert == nullptr || pszClientCert[0] == '\0') {
        LOG_PRINTF(LK_WARNING, "Client certificate is null, [%s|%d]");
        return ERR_EASYCURL_NO_CLIENT_CERT;
    }
    m_certType = pszCertType != nullptr ? pszCertType : "";
    m_clientPemPath.clear();
    m_clientKeyPemPath.clear();
    const EVP_CIPHER* keyCipher = EVP_aes_256_cbc();

    int32_t result = 0;
    std::string certFile = pszClientCert;
    std::string keyFile = pszClientCert;
    {
        BioPtr source(BIO_new(BIO_s_file()));
        if (!source) {
            LOG_PRINTF(LK_WARNING, "BIO_new Failed (Client Certificate), [%s|%d]");
            ERR_clear_error();
            return ERR_EASYCURL_FILE;
        }
        if (BIO_read_filename(source.get(), pszClientCert) <= 0) {
            LOG_PRINTF(LK_WARNING, "Failed to open client certificate file, [%s|%d]");
            ERR_clear_error();
            return ERR_EASYCURL_FILE;
        }
        std::unique_ptr<PKCS12, Pkcs12Deleter> p12(d2i_PKCS12_bio(source.get(), nullptr));
        if (p12) {
            EVP_PKEY* rawKey = nullptr;
            X509* rawCert = nullptr;
            const int parsed = PKCS12_parse(p12.get(), pszCertPassword, &rawKey, &rawCert, nullptr);
            std::unique_ptr<EVP_PKEY, PkeyDeleter> key(rawKey);
            std::unique_ptr<X509, X509Deleter> cert(rawCert);
            if (parsed != 1 || !key || !cert) {
                // A file holding no key or no certificate is as unusable as
                // one that does not parse.
                LOG_PRINTF(LK_WARNING, "The client certificate is invalid, [%s|%d]");
                const unsigned long error = ERR_peek_last_error();
                result = parsed == 1 || ERR_GET_REASON(error) != PKCS12_R_MAC_VERIFY_FAILURE
                             ? ERR_EASYCURL_CERT_PROBLEM
                             : ERR_EASYCURL_BAD_PASSWORD;
            } else {
                result = WriteClientPemFiles(cert.get(), key.get(), pszCertPassword, keyCipher,
                                             m_clientPemPath, m_clientKeyPemPath);
                certFile = m_clientPemPath;
                keyFile = m_clientKeyPemPath;
            }
        }
    }
    ERR_clear_error();
    if (result != 0)
        return result;

    CURL* curl = m_handle.Get();
    CURLcode code = curl_easy_setopt(curl, CURLOPT_SSLCERTTYPE, m_certType.c_str());
    if (code != CURLE_OK) {
        LOG_PRINTF(LK_WARNING, "Failed to set client certificate type, [%s|%d]");
        return code;
    }
    code = curl_easy_setopt(curl, CURLOPT_SSLCERT, certFile.c_str());
    if (code != CURLE_OK) {
        LOG_PRINTF(LK_WARNING, "Failed to set client certificate (%s), [%s|%d]", pszClientCert);
        return code;
    }
    code = curl_easy_setopt(curl, CURLOPT_SSLCERTPASSWD, pszCertPassword);
    if (code != CURLE_OK)
        return code;
    code = curl_easy_setopt(curl, CURLOPT_SSLKEYTYPE, m_certType.c_str());
    if (code != CURLE_OK)
        return code;
    code = curl_easy_setopt(curl, CURLOPT_SSLKEY, keyFile.c_str());
    if (code != CURLE_OK) {
        LOG_PRINTF(LK_WARNING, "Failed to set client certificate password, [%s|%d]");
        return code;
    }
    return 0;
}

int32_t CInternet::SetProxyInfo(const char* pszProxy, uint16_t uProxyPort,
                                const char* pszProxyUserName, const char* pszProxyPassword,
                                int32_t nProxyType, int32_t iAuthMethod) {
    LOG_PRINTF(LK_ENTER,
               "pszProxy(%s), uProxyPort(%d), pszProxyUserName(%s), pszProxyPassword(%s), "
               "nProxyType(%d), iAuthMethod(%d) [%s|%d]",
               pszProxy, uProxyPort, pszProxyUserName, "", nProxyType, iAuthMethod);
    int32_t result = ERR_EASYCURL_NO_HOST;
    if (pszProxy != nullptr) {
        CURL* curl = m_handle.Get();
        m_pszProxyServerInfo = std::string(pszProxy) + ":" + std::to_string(uProxyPort);
        LOG_PRINTF(LK_INFO, "m_pszProxyServerInfo=%s, [%s|%d]", m_pszProxyServerInfo);
        CURLcode code = curl_easy_setopt(curl, CURLOPT_PROXY, m_pszProxyServerInfo.c_str());
        LOG_PRINTF(LK_INFO, "(%d) = curl_easy_setopt(CURLOPT_PROXY), [%s|%d]",
                   static_cast<int>(code));
        result = curl_easy_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(nProxyType));
        LOG_PRINTF(LK_INFO, "(%d) = curl_easy_setopt(CURLOPT_PROXYTYPE), [%s|%d]", result);

        if (pszProxyUserName != nullptr && pszProxyUserName[0] != '\0') {
            m_proxyCredentials = std::string(pszProxyUserName) + ":" +
                                 (pszProxyPassword != nullptr ? pszProxyPassword : "");
            code = curl_easy_setopt(curl, CURLOPT_PROXYUSERPWD, m_proxyCredentials.c_str());
            LOG_PRINTF(LK_INFO, "(%d) = curl_easy_setopt(CURLOPT_PROXYUSERPWD), [%s|%d]",
                       static_cast<int>(code));
            result = curl_easy_setopt(curl, CURLOPT_PROXYAUTH, MapAuthMethod(iAuthMethod));
            LOG_PRINTF(LK_INFO, "(%d) = curl_easy_setopt(CURLOPT_PROXYAUTH), [%s|%d]", result);
        } else {
            // Without a user the proxy gets no credentials at all: an empty
            // user and password would make libcurl offer the SOCKS 5
            // username/password method, which a proxy may then insist on.
            m_proxyCredentials.clear();
            curl_easy_setopt(curl, CURLOPT_PROXYUSERPWD, nullptr);
        }
    }
    LOG_PRINTF(LK_LEAVE, "(%d) = SetProxyInfo(), [%s|%d]", result);
    return result;
}

int32_t CInternet::SetServerInfo(const char* pszURL, const char* pszServer, uint16_t uServerPort,
                                 const char* pszServerUserName, const char* pszServerPassword,
                                 int32_t iMethod) {
    LOG_PRINTF(LK_ENTER,
               "pszURL(%s), pszServer(%s), uServerPort(%d), pszServerUserName(%s), "
               "pszServerPassword(%s), iMethod(%d) [%s|%d]",
               pszURL, pszServer, uServerPort, pszServerUserName, "", iMethod);
    int32_t result = ERR_EASYCURL_NO_HOST;
    if (pszURL != nullptr && pszServer != nullptr) {
        CURL* curl = m_handle.Get();
        m_pszURL = std::string(GetScheme()) + "://" + pszServer + ":" +
                   std::to_string(uServerPort) + pszURL;
        LOG_PRINTF(LK_INFO, "m_pszURL = %s, [%s|%d]", m_pszURL);
        result = curl_easy_setopt(curl, CURLOPT_URL, m_pszURL.c_str());
        LOG_PRINTF(LK_INFO, "(%d) = curl_easy_setopt(CURLOPT_URL), [%s|%d]", result);
        if (result != 0)
            return result;

        if (pszServerUserName != nullptr) {
            m_serverCredentials = std::string(pszServerUserName) + ":" +
                                  (pszServerPassword != nullptr ? pszServerPassword : "");
            const CURLcode code =
                curl_easy_setopt(curl, CURLOPT_USERPWD, m_serverCredentials.c_str());
            LOG_PRINTF(LK_INFO, "(%d) = curl_easy_setopt(CURLOPT_USERPWD), [%s|%d]",
                       static_cast<int>(code));
            result = curl_easy_setopt(curl, CURLOPT_HTTPAUTH, MapAuthMethod(iMethod));
            LOG_PRINTF(LK_INFO, "(%d) = curl_easy_setopt(CURLOPT_HTTPAUTH), [%s|%d]", result);
        }
    }
    LOG_PRINTF(LK_LEAVE, "(%d) = SetServerInfo(), [%s|%d]", result);
    return result;
}

int32_t CInternet::SetPostData(const void* body, int32_t size) {
    CURL* curl = m_handle.Get();
    const CURLcode code = curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
    LOG_PRINTF(LK_INFO, "(%d) = curl_easy_setopt(CURLOPT_POSTFIELDS), [%s|%d]",
               static_cast<int>(code));
    const CURLcode result = curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(size));
    LOG_PRINTF(LK_INFO, "(%d) = curl_easy_setopt(CURLOPT_POSTFIELDSIZE) size(%d), [%s|%d]",
               static_cast<int>(result), size);
    return result;
}

int32_t CInternet::SetCancelFlag(const std::atomic<bool>* cancel) {
    CURL* curl = m_handle.Get();
    m_cancel = cancel;
    if (cancel == nullptr)
        return curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
    CURLcode result = curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &CancelCallback);
    if (result == CURLE_OK)
        result = curl_easy_setopt(curl, CURLOPT_XFERINFODATA,
                                  const_cast<void*>(static_cast<const void*>(cancel)));
    if (result == CURLE_OK)
        result = curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    return result;
}

int32_t CInternet::DoRequest(const ResponseBuffer*& response) {
    CURL* curl = m_handle.Get();
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, static_cast<void*>(this));
    int32_t result = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &WriteCallback);
    if (result == CURLE_OK) {
        m_response.Clear();
        if (m_observer != nullptr)
            m_observer->BeforeTransfer(curl);
        result =
            m_cancel != nullptr ? PerformCancellable(curl, *m_cancel) : curl_easy_perform(curl);
        if (m_observer != nullptr)
            m_observer->AfterTransfer(curl, result);
        const long httpCode = GetHTTPCode();
        if (httpCode != 200) {
            long available = 0;
            curl_easy_getinfo(curl, CURLINFO_PROXYAUTH_AVAIL, &available);
            LOG_PRINTF(LK_ENTER, "HTTP Code: %d, Available authentication method %d, [%s|%d]",
                       httpCode, available);
        }
    }
    response = &m_response;
    return result;
}

long CInternet::GetHTTPCode() const {
    long code = HTTP_CODE_NONE;
    // libcurl answers 0 when no response arrived at all: that is "none" too.
    if (curl_easy_getinfo(m_handle.Get(), CURLINFO_RESPONSE_CODE, &code) != CURLE_OK || code == 0)
        return HTTP_CODE_NONE;
    return code;
}

bool CInternet::HasHTTPCode() const {
    long code = 0;
    return curl_easy_getinfo(m_handle.Get(), CURLINFO_RESPONSE_CODE, &code) == CURLE_OK &&
           code != 0;
}

// ---------------------------------------------------------------------------

int32_t CHTTP::SetServerInfo(const char* pszURL, const char* pszServer, uint16_t uServerPort,
                             const char* pszServerUserName, const char* pszServerPassword,
                             int32_t iMethod) {
    return CInternet::SetServerInfo(pszURL, pszServer, uServerPort, pszServerUserName,
                                    pszServerPassword, iMethod);
}

const char* CHTTP::GetScheme() const {
    return IsSecure() ? "https" : "http";
}
