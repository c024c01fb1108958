// The agent's local configuration, "AgentLocalConfig.xml": the server, the
// proxies, HTTPS, and a few queue, cache and polling values. Passwords are
// plain in memory and encrypted in the file.

#include <cerrno>
#include <source_location>
#include <unistd.h>

#include "comm/ValueEncryption.h"
#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/AgentConfig.h"
#include "config/ConfigDocument.h"

NetworkConfigRecord g_networkConfig;

namespace {

constexpr char16_t ROOT_NAME[] = u"PXRAgentLocalConfig";

constexpr char16_t NETWORK_CONFIG[] = u"NetworkConfig";
constexpr char16_t SERVER_NAME[] = u"ServerName";
constexpr char16_t SERVER_PORT[] = u"ServerPort";
constexpr char16_t SERVICE_URI[] = u"ServiceURI";
constexpr char16_t CONN_TIME_OUT[] = u"ConnTimeOut";
constexpr char16_t WAIT_INTERVAL[] = u"WaitInterval";
constexpr char16_t MAX_RETRY_TIMES[] = u"MAXRetryTimes";
constexpr char16_t IS_USE_HTTP_AUTH[] = u"IsUseHTTPAuth";
constexpr char16_t HTTP_AUTH_USER[] = u"HTTPAuthUser";
constexpr char16_t HTTP_AUTH_PASSWORD[] = u"HTTPAuthPassword";
constexpr char16_t SERVER_AUTH_METHOD[] = u"ServerAuthMethod";
constexpr char16_t SOCK4_PROXY[] = u"SOCK4Proxy";
constexpr char16_t SOCK5_PROXY[] = u"SOCK5Proxy";
constexpr char16_t HTTP_PROXY[] = u"HTTPProxy";
constexpr char16_t ALREADY_CONFIG[] = u"AlreadyConfig";
constexpr char16_t PROXY_USER[] = u"ProxyUser";
constexpr char16_t PROXY_PASSWORD[] = u"ProxyPassword";
constexpr char16_t HTTP_PROXY_AUTH_METHOD[] = u"HTTPProxyAuthMethod";
constexpr char16_t IS_USE_HTTPS[] = u"IsUseHTTPS";
constexpr char16_t CA_CERT_PATH[] = u"CACertPath";
constexpr char16_t REQUIRE_CLIENT_CERT[] = u"RequireClientCert";
constexpr char16_t CLIENT_CERT_PATH[] = u"ClientCertPath";
constexpr char16_t CLIENT_CERT_PSWD[] = u"ClientCertPswd";
constexpr char16_t MAX_QUEUE_NUMBER[] = u"MAXQueueNumber";
constexpr char16_t CACHE_PATH[] = u"CachePath";
constexpr char16_t UPDATE_CHECK_INTERVAL[] = u"UpdateCheckInterval";
constexpr char16_t COMMAND_INTERVAL_4_DISABLE[] = u"CommandInterval4Disable";

constexpr char16_t DEFAULT_SERVICE_URI[] = u"/opalCommunicatorServer/DataPortServlet";
constexpr char16_t DEFAULT_CACHE_PATH[] = u"cache";

// A proxy port is checked only for the proxy in use; an unused block may
// hold anything.
constexpr int32_t PORT_MAX = 65535;
constexpr int32_t PORT_MIN = 1;
constexpr int32_t PORT_DEFAULT = 80;

// Reads and logs are kept together per kind of value, so that each missing
// element is reported with the message its field calls for, at the line that
// asked for the value.
using Where = std::source_location;

class LocalConfigReader {
public:
    explicit LocalConfigReader(CXMLObject& xml) : m_xml(xml) {}

    bool Required(DOMElement* parent, const char16_t* name, std::u16string& value,
                  const Where& where = Where::current()) {
        if (GetChildText(m_xml, parent, name, value))
            return true;
        LogPrintfAt(where, LK_WARNING, MSG_MISSING, name);
        return false;
    }
    bool Required(DOMElement* parent, const char16_t* name, int32_t& value,
                  const Where& where = Where::current()) {
        if (GetChildInt(m_xml, parent, name, value))
            return true;
        LogPrintfAt(where, LK_WARNING, MSG_MISSING, name);
        return false;
    }
    // Optional values whose absence is logged without a default.
    void Optional(DOMElement* parent, const char16_t* name, std::u16string& value,
                  const Where& where = Where::current()) {
        if (!GetChildText(m_xml, parent, name, value))
            LogPrintfAt(where, LK_WARNING, MSG_MISSING, name);
    }
    void Optional(DOMElement* parent, const char16_t* name, int32_t& value,
                  const Where& where = Where::current()) {
        if (!GetChildInt(m_xml, parent, name, value))
            LogPrintfAt(where, LK_WARNING, MSG_MISSING, name);
    }
    // Optional values whose absence is logged with the value kept.
    void WithDefault(DOMElement* parent, const char16_t* name, std::u16string& value,
                     const Where& where = Where::current()) {
        if (!GetChildText(m_xml, parent, name, value))
            LogMissingDefaultText(name, value, where.file_name(), static_cast<int>(where.line()));
    }
    void WithDefault(DOMElement* parent, const char16_t* name, int32_t& value,
                     const Where& where = Where::current()) {
        if (!GetChildInt(m_xml, parent, name, value))
            LogPrintfAt(where, LK_WARNING, MSG_MISSING_DEFAULT_INT, name, value);
    }
    // A stored password: decrypted when the element is there and not empty.
    void Password(DOMElement* parent, const char16_t* name, std::string& value,
                  const Where& where = Where::current()) {
        std::string stored;
        if (!GetChildTextA(m_xml, parent, name, stored)) {
            LogPrintfAt(where, LK_WARNING, MSG_MISSING, name);
            return;
        }
        value = stored.empty() ? std::string() : DecryptValue(stored);
    }

private:
    CXMLObject& m_xml;
};

void CheckPort(int32_t& port, const char* invalidMessage, const Where& where = Where::current()) {
    if (!CheckRange(port, PORT_MAX, PORT_MIN, PORT_DEFAULT))
        LogPrintfAt(where, LK_WARNING, invalidMessage);
}

// The proxy blocks share their first three values; a missing block is logged
// and its values stay as they are. Every line names the caller's line, which
// differs per block.
template <class Proxy>
DOMElement* ReadProxyHead(CXMLObject& xml, LocalConfigReader& read, DOMElement* network,
                          const char16_t* blockName, Proxy& proxy, const char* invalidPortMessage,
                          const Where& where = Where::current()) {
    DOMElement* block = nullptr;
    if (!FindChildElement(xml, network, blockName, block)) {
        LogPrintfAt(where, LK_WARNING, MSG_MISSING, blockName);
        return nullptr;
    }
    read.WithDefault(block, ALREADY_CONFIG, proxy.AlreadyConfig, where);
    read.Optional(block, SERVER_NAME, proxy.ServerName, where);
    read.Optional(block, SERVER_PORT, proxy.ServerPort, where);
    if (proxy.AlreadyConfig != 0)
        CheckPort(proxy.ServerPort, invalidPortMessage, where);
    return block;
}

// The stored form of a password; an empty one stays empty.
std::string StoredPassword(const std::string& plain) {
    return plain.empty() ? std::string() : EncryptValue(plain);
}

// An element holding a line break as its first child, appended to `parent`
// with no line break after it (the two top-level blocks of the layout).
DOMElement* AppendBlock(CXMLObject& xml, DOMElement* parent, const char16_t* name) {
    DOMElement* block = xml.GetDocument()->createElement(name);
    block->appendChild(xml.GetDocument()->createTextNode(LINE_BREAK));
    parent->appendChild(block);
    return block;
}

void BuildLocalConfig(CXMLObject& xml, DOMElement* root, const NetworkConfigRecord& record) {
    DOMElement* debug = AppendBlock(xml, root, DEBUG_LOG_CONFIG);
    AppendChildText(xml, debug, DEBUG_LOG_LEVEL, g_debugLogConfig.DebugLogLevel);
    AppendChildText(xml, debug, DEBUG_LOG_PATH, g_debugLogConfig.DebugLogPath);
    AppendChildText(xml, debug, DEBUG_LOG_FILE_NAME, g_debugLogConfig.DebugLogFileName);
    AppendChildInt(xml, debug, DEBUG_LOG_FILE_MAX_SIZE, g_debugLogConfig.DebugLogFileMaxSize);

    DOMElement* network = AppendBlock(xml, root, NETWORK_CONFIG);
    AppendChildText(xml, network, SERVER_NAME, record.ServerName);
    AppendChildInt(xml, network, SERVER_PORT, record.ServerPort);
    AppendChildText(xml, network, SERVICE_URI, record.ServiceURI);
    AppendChildInt(xml, network, CONN_TIME_OUT, record.ConnTimeOut);
    AppendChildInt(xml, network, WAIT_INTERVAL, record.WaitInterval);
    AppendChildInt(xml, network, MAX_RETRY_TIMES, record.MAXRetryTimes);
    AppendChildInt(xml, network, IS_USE_HTTP_AUTH, record.IsUseHTTPAuth);
    AppendChildText(xml, network, HTTP_AUTH_USER, record.HTTPAuthUser);
    AppendChildTextA(xml, network, HTTP_AUTH_PASSWORD, StoredPassword(record.HTTPAuthPassword));
    AppendChildInt(xml, network, SERVER_AUTH_METHOD, record.ServerAuthMethod);

    DOMElement* proxy = nullptr;
    AppendContainer(xml, network, SOCK4_PROXY, proxy);
    AppendChildInt(xml, proxy, ALREADY_CONFIG, record.Sock4.AlreadyConfig);
    AppendChildText(xml, proxy, SERVER_NAME, record.Sock4.ServerName);
    AppendChildInt(xml, proxy, SERVER_PORT, record.Sock4.ServerPort);

    AppendContainer(xml, network, SOCK5_PROXY, proxy);
    AppendChildInt(xml, proxy, ALREADY_CONFIG, record.Sock5.AlreadyConfig);
    AppendChildText(xml, proxy, SERVER_NAME, record.Sock5.ServerName);
    AppendChildInt(xml, proxy, SERVER_PORT, record.Sock5.ServerPort);
    AppendChildText(xml, proxy, PROXY_USER, record.Sock5.ProxyUser);
    AppendChildTextA(xml, proxy, PROXY_PASSWORD, StoredPassword(record.Sock5.ProxyPassword));

    AppendContainer(xml, network, HTTP_PROXY, proxy);
    AppendChildInt(xml, proxy, ALREADY_CONFIG, record.Http.AlreadyConfig);
    AppendChildText(xml, proxy, SERVER_NAME, record.Http.ServerName);
    AppendChildInt(xml, proxy, SERVER_PORT, record.Http.ServerPort);
    AppendChildText(xml, proxy, PROXY_USER, record.Http.ProxyUser);
    AppendChildTextA(xml, proxy, PROXY_PASSWORD, StoredPassword(record.Http.ProxyPassword));
    AppendChildInt(xml, proxy, HTTP_PROXY_AUTH_METHOD, record.Http.HTTPProxyAuthMethod);

    AppendChildInt(xml, network, IS_USE_HTTPS, record.IsUseHTTPS);
    AppendChildText(xml, network, CA_CERT_PATH, record.CACertPath);
    AppendChildInt(xml, network, REQUIRE_CLIENT_CERT, record.RequireClientCert);
    AppendChildText(xml, network, CLIENT_CERT_PATH, record.ClientCertPath);
    AppendChildTextA(xml, network, CLIENT_CERT_PSWD, StoredPassword(record.ClientCertPswd));

    AppendChildInt(xml, root, MAX_QUEUE_NUMBER, record.MAXQueueNumber);
    AppendChildText(xml, root, CACHE_PATH, record.CachePath);
    AppendChildInt(xml, root, UPDATE_CHECK_INTERVAL, record.UpdateCheckInterval);
}

// Rewrites the values the settings sheet edits, in place, keeping every other
// node of the block as it is.
void UpdateNetworkConfig(CXMLObject& xml, DOMElement* network, const NetworkConfigRecord& record) {
    SetChildText(xml, network, SERVER_NAME, record.ServerName);
    SetChildInt(xml, network, SERVER_PORT, record.ServerPort);
    SetChildInt(xml, network, CONN_TIME_OUT, record.ConnTimeOut);
    SetChildInt(xml, network, WAIT_INTERVAL, record.WaitInterval);
    SetChildInt(xml, network, MAX_RETRY_TIMES, record.MAXRetryTimes);
    SetChildInt(xml, network, IS_USE_HTTP_AUTH, record.IsUseHTTPAuth);
    SetChildText(xml, network, HTTP_AUTH_USER, record.HTTPAuthUser);
    SetChildTextA(xml, network, HTTP_AUTH_PASSWORD, StoredPassword(record.HTTPAuthPassword));
    SetChildInt(xml, network, SERVER_AUTH_METHOD, record.ServerAuthMethod);

    DOMElement* proxy = nullptr;
    FindOrAppendChild(xml, network, SOCK4_PROXY, proxy);
    SetChildInt(xml, proxy, ALREADY_CONFIG, record.Sock4.AlreadyConfig);
    SetChildText(xml, proxy, SERVER_NAME, record.Sock4.ServerName);
    SetChildInt(xml, proxy, SERVER_PORT, record.Sock4.ServerPort);

    FindOrAppendChild(xml, network, SOCK5_PROXY, proxy);
    SetChildInt(xml, proxy, ALREADY_CONFIG, record.Sock5.AlreadyConfig);
    SetChildText(xml, proxy, SERVER_NAME, record.Sock5.ServerName);
    SetChildInt(xml, proxy, SERVER_PORT, record.Sock5.ServerPort);
    SetChildText(xml, proxy, PROXY_USER, record.Sock5.ProxyUser);
    SetChildTextA(xml, proxy, PROXY_PASSWORD, StoredPassword(record.Sock5.ProxyPassword));

    FindOrAppendChild(xml, network, HTTP_PROXY, proxy);
    SetChildInt(xml, proxy, ALREADY_CONFIG, record.Http.AlreadyConfig);
    SetChildText(xml, proxy, SERVER_NAME, record.Http.ServerName);
    SetChildInt(xml, proxy, SERVER_PORT, record.Http.ServerPort);
    SetChildText(xml, proxy, PROXY_USER, record.Http.ProxyUser);
    SetChildTextA(xml, proxy, PROXY_PASSWORD, StoredPassword(record.Http.ProxyPassword));
    SetChildInt(xml, proxy, HTTP_PROXY_AUTH_METHOD, record.Http.HTTPProxyAuthMethod);

    SetChildInt(xml, network, IS_USE_HTTPS, record.IsUseHTTPS);
    SetChildText(xml, network, CA_CERT_PATH, record.CACertPath);
    SetChildInt(xml, network, REQUIRE_CLIENT_CERT, record.RequireClientCert);
    SetChildText(xml, network, CLIENT_CERT_PATH, record.ClientCertPath);
    SetChildTextA(xml, network, CLIENT_CERT_PSWD, StoredPassword(record.ClientCertPswd));
}

} // namespace

void NetworkConfigRecord::Reset() {
    ServerName.clear();
    ServerPort = 80;
    ServiceURI = DEFAULT_SERVICE_URI;
    ConnTimeOut = 600;
    WaitInterval = 60;
    MAXRetryTimes = 3;
    IsUseHTTPAuth = 0;
    ServerAuthMethod = 0;
    Sock4.AlreadyConfig = 0;
    Sock4.ServerPort = 0;
    Sock5.AlreadyConfig = 0;
    Sock5.ServerPort = 0;
    Http.AlreadyConfig = 0;
    Http.ServerPort = 0;
    Http.HTTPProxyAuthMethod = 0;
    IsUseHTTPS = 0;
    RequireClientCert = 0;
    MAXQueueNumber = 60;
    CachePath = DEFAULT_CACHE_PATH;
    UpdateCheckInterval = 30;
    CommandInterval4Disable = 300;
}

int LoadLocalConfig() {
    LOG_PRINTF(LK_INFO, "Begin to load agent local config. [%s|%d]");
    ConfigLockGuard lock;
    NetworkConfigRecord& config = g_networkConfig;
    config.Reset();
    try {
        auto xml = OpenDocument(HomeFilePath(LOCAL_CONFIG_FILE));
        DOMElement* network = FindFirstElement(*xml, NETWORK_CONFIG);
        if (!network) {
            LOG_PRINTF(LK_WARNING, MSG_NO_ROOT, NETWORK_CONFIG);
            return ERR_CONFIG_LOAD;
        }
        LocalConfigReader read(*xml);
        if (!read.Required(network, SERVER_NAME, config.ServerName))
            return ERR_CONFIG_LOAD;
        if (!read.Required(network, SERVER_PORT, config.ServerPort))
            return ERR_CONFIG_LOAD;
        CheckPort(config.ServerPort, "WebServerPort is invalid, [%s|%d]");

        read.WithDefault(network, SERVICE_URI, config.ServiceURI);
        read.WithDefault(network, CONN_TIME_OUT, config.ConnTimeOut);
        if (!CheckRange(config.ConnTimeOut, 3600, 300, 600))
            LOG_PRINTF(LK_WARNING, "ConnTimeout is invalid, [%s|%d]");
        read.WithDefault(network, WAIT_INTERVAL, config.WaitInterval);
        if (!CheckRange(config.WaitInterval, 3600, 30, 60))
            LOG_PRINTF(LK_WARNING, "WaitInterval is invalid, [%s|%d]");
        read.WithDefault(network, MAX_RETRY_TIMES, config.MAXRetryTimes);
        if (!CheckRange(config.MAXRetryTimes, 5, 1, 3))
            LOG_PRINTF(LK_WARNING, "MaxRetryTimes is invalid, [%s|%d]");
        read.WithDefault(network, IS_USE_HTTP_AUTH, config.IsUseHTTPAuth);
        read.Optional(network, HTTP_AUTH_USER, config.HTTPAuthUser);
        read.Password(network, HTTP_AUTH_PASSWORD, config.HTTPAuthPassword);
        read.WithDefault(network, SERVER_AUTH_METHOD, config.ServerAuthMethod);

        ReadProxyHead(*xml, read, network, SOCK4_PROXY, config.Sock4,
                      "Sock4ServerPort is invalid, [%s|%d]");
        if (DOMElement* block = ReadProxyHead(*xml, read, network, SOCK5_PROXY, config.Sock5,
                                              "Sock5ServerPort is invalid, [%s|%d]")) {
            read.Optional(block, PROXY_USER, config.Sock5.ProxyUser);
            read.Password(block, PROXY_PASSWORD, config.Sock5.ProxyPassword);
        }
        if (DOMElement* block = ReadProxyHead(*xml, read, network, HTTP_PROXY, config.Http,
                                              "HTTPProxyPort is invalid, [%s|%d]")) {
            read.Optional(block, PROXY_USER, config.Http.ProxyUser);
            read.Password(block, PROXY_PASSWORD, config.Http.ProxyPassword);
            read.WithDefault(block, HTTP_PROXY_AUTH_METHOD, config.Http.HTTPProxyAuthMethod);
        }

        read.WithDefault(network, IS_USE_HTTPS, config.IsUseHTTPS);
        read.Optional(network, CA_CERT_PATH, config.CACertPath);
        read.Optional(network, REQUIRE_CLIENT_CERT, config.RequireClientCert);
        read.Optional(network, CLIENT_CERT_PATH, config.ClientCertPath);
        read.Password(network, CLIENT_CERT_PSWD, config.ClientCertPswd);

        DOMElement* root = DocumentRoot(*xml);
        read.WithDefault(root, MAX_QUEUE_NUMBER, config.MAXQueueNumber);
        read.WithDefault(root, CACHE_PATH, config.CachePath);
        read.WithDefault(root, UPDATE_CHECK_INTERVAL, config.UpdateCheckInterval);
        if (!CheckRange(config.UpdateCheckInterval, 3600, 5, 30))
            LOG_PRINTF(LK_WARNING, "UpdateCheckInterval is invalid, [%s|%d]");
        read.WithDefault(root, COMMAND_INTERVAL_4_DISABLE, config.CommandInterval4Disable);
        if (!CheckRange(config.CommandInterval4Disable, 3600, 120, 300))
            LOG_PRINTF(LK_WARNING, "CommandInterval4Disable is invalid, [%s|%d]");
        return CONFIG_SUCCESS;
    } catch (...) {
        LOG_UNKNOWN_EXCEPTION();
    }
    return ERR_CONFIG_LOAD;
}

int CreateNetworkConfig(const NetworkConfigRecord& record) {
    LOG_PRINTF(LK_INFO, "CreateNetworkConfig. [%s|%d]");
    ConfigLockGuard lock;
    try {
        DOMElement* root = nullptr;
        auto xml = NewDocument(ROOT_NAME, root);
        BuildLocalConfig(*xml, root, record);
        if (!SAVE_DOCUMENT(*xml, HomeFilePath(LOCAL_CONFIG_FILE), SECRET_DOCUMENT_MODE))
            return ERR_CONFIG_SAVE;
        g_networkConfig = record;
        return CONFIG_SUCCESS;
    } catch (const DOMException& e) {
        LOG_DOM_EXCEPTION(e);
    } catch (...) {
        LOG_UNKNOWN_EXCEPTION();
    }
    return ERR_CONFIG_SAVE;
}

int SaveNetworkConfig(const NetworkConfigRecord& record) {
    LOG_PRINTF(LK_INFO, "Begin to SaveNetworkConfig. [%s|%d]");
    ConfigLockGuard lock;
    const std::u16string path = HomeFilePath(LOCAL_CONFIG_FILE);
    // A document that cannot be read or updated is made afresh, once
    // whatever could not be read is kept beside it.
    const auto recreate = [&] {
        return KeepUnreadableDocument(path) ? CreateNetworkConfig(record) : ERR_CONFIG_SAVE;
    };
    if (::access(ToNarrowString(path, CP_ACP).c_str(), R_OK | W_OK) != 0)
        return recreate();
    try {
        auto xml = OpenDocument(path);
        DOMElement* network = FindFirstElement(*xml, NETWORK_CONFIG);
        if (!network) {
            DOMElement* root = DocumentRoot(*xml);
            if (!root)
                throw CXMLObjectException(XML_ERR_NO_NODE, "document without root element");
            network = xml->GetDocument()->createElement(NETWORK_CONFIG);
            root->appendChild(network);
        }
        UpdateNetworkConfig(*xml, network, record);
        // Should the file have gone in the meantime, the new one holds
        // passwords like any other.
        if (!SAVE_DOCUMENT(*xml, path, SECRET_DOCUMENT_MODE))
            return ERR_CONFIG_SAVE;
        return CONFIG_SUCCESS;
    } catch (const DOMException& e) {
        LOG_DOM_EXCEPTION(e);
    } catch (...) {
        LOG_UNKNOWN_EXCEPTION();
    }
    return recreate();
}
