#pragma once
// The agent's configuration store: its XML documents in the program
// directory ("AgentLocalConfig.xml", "AgentWorkConfig.xml",
// "AgentSysConfig.xml", "AgentStatus.xml") and its two registry values.
//
// Every operation opens, uses and releases its own document, catches what the
// XML layer throws and answers with a result code: 0, ERR_CONFIG_LOAD or
// ERR_CONFIG_SAVE. The document operations hold g_configLock; the registry
// operations and the single-value readers GetPluginType, GetAgentServiceName,
// GetAgentDisplayName take no lock.

#include <cstddef>
#include <cstdint>
#include <string>

#include <xercesc/util/XercesDefs.hpp>

#include "config/DebugConfig.h"

XERCES_CPP_NAMESPACE_BEGIN
class DOMElement;
XERCES_CPP_NAMESPACE_END

class CXMLObject;

inline constexpr int CONFIG_SUCCESS = 0;
inline constexpr int ERR_CONFIG_LOAD = 0x00020013;
inline constexpr int ERR_CONFIG_SAVE = 0x00020014;

// HKEY_LOCAL_MACHINE subkey holding "AgentStatus" and "ToolTag".
inline constexpr char16_t AgentRegistryKey[] = u"SOFTWARE\\Norvale\\OPAL4HBS\\Agent";

// The agent's documents, by full path, for callers outside the store that
// name or copy them (the command line's messages, the support bundle).
enum class AgentDocument { LocalConfig, WorkingConfig, SysConfig, Status };
std::u16string AgentDocumentPath(AgentDocument document);

// ---------------------------------------------------------------------------
// Element accessors. Only direct children of `parent` are examined, in child
// order; names compare exactly; the first match wins. The readers leave their
// out value untouched when they answer false.

bool FindChildElement(CXMLObject& xml, XERCES_CPP_NAMESPACE::DOMElement* parent,
                      const char16_t* name, XERCES_CPP_NAMESPACE::DOMElement*& element);
bool GetChildText(CXMLObject& xml, XERCES_CPP_NAMESPACE::DOMElement* parent, const char16_t* name,
                  std::u16string& value);
bool GetChildTextA(CXMLObject& xml, XERCES_CPP_NAMESPACE::DOMElement* parent, const char16_t* name,
                   std::string& value);
// Accepts only what ParseNonNegativeInt accepts (1 to 10 digits, at most
// 2147483647).
bool GetChildInt(CXMLObject& xml, XERCES_CPP_NAMESPACE::DOMElement* parent, const char16_t* name,
                 int32_t& value);

// Replace the first child `name` in place by a plain element holding only
// `value`, or append one (followed by a carriage-return text node).
bool SetChildText(CXMLObject& xml, XERCES_CPP_NAMESPACE::DOMElement* parent, const char16_t* name,
                  const std::u16string& value);
bool SetChildTextA(CXMLObject& xml, XERCES_CPP_NAMESPACE::DOMElement* parent, const char16_t* name,
                   const std::string& value);
bool SetChildInt(CXMLObject& xml, XERCES_CPP_NAMESPACE::DOMElement* parent, const char16_t* name,
                 int32_t value);

// Always append: the element holding `value`, then a carriage-return text
// node in `parent`.
bool AppendChildText(CXMLObject& xml, XERCES_CPP_NAMESPACE::DOMElement* parent,
                     const char16_t* name, const std::u16string& value);
bool AppendChildTextA(CXMLObject& xml, XERCES_CPP_NAMESPACE::DOMElement* parent,
                      const char16_t* name, const std::string& value);
bool AppendChildInt(CXMLObject& xml, XERCES_CPP_NAMESPACE::DOMElement* parent, const char16_t* name,
                    int32_t value);
// An empty element whose first child is a carriage return, appended to
// `parent` and followed by a carriage return there.
bool AppendContainer(CXMLObject& xml, XERCES_CPP_NAMESPACE::DOMElement* parent,
                     const char16_t* name, XERCES_CPP_NAMESPACE::DOMElement*& element);
// The first direct child `name`, or a new empty one appended to `parent`
// (followed by a carriage return).
bool FindOrAppendChild(CXMLObject& xml, XERCES_CPP_NAMESPACE::DOMElement* parent,
                       const char16_t* name, XERCES_CPP_NAMESPACE::DOMElement*& element);

// Bounds inclusive. Out of range: logged, `value` = `defaultValue`, false.
bool CheckRange(int32_t& value, int32_t maximum, int32_t minimum, int32_t defaultValue);

// ---------------------------------------------------------------------------
// Local configuration, "AgentLocalConfig.xml".

struct Sock4ProxyConfig {
    int32_t AlreadyConfig = 0;
    std::u16string ServerName;
    int32_t ServerPort = 0;

    bool operator==(const Sock4ProxyConfig&) const = default;
};

struct Sock5ProxyConfig {
    int32_t AlreadyConfig = 0;
    std::u16string ServerName;
    int32_t ServerPort = 0;
    std::u16string ProxyUser;
    std::string ProxyPassword; // plain text in memory, encrypted in the file

    bool operator==(const Sock5ProxyConfig&) const = default;
};

struct HttpProxyConfig {
    int32_t AlreadyConfig = 0;
    std::u16string ServerName;
    int32_t ServerPort = 0;
    std::u16string ProxyUser;
    std::string ProxyPassword; // plain text in memory, encrypted in the file
    int32_t HTTPProxyAuthMethod = 0;

    bool operator==(const HttpProxyConfig&) const = default;
};

struct NetworkConfigRecord {
    NetworkConfigRecord() { Reset(); }

    // Integers, ServerName, ServiceURI and CachePath to their reset values;
    // users, passwords, proxy names and certificate paths are kept.
    void Reset();

    std::u16string ServerName;
    int32_t ServerPort = 0;
    std::u16string ServiceURI;
    int32_t ConnTimeOut = 0;
    int32_t WaitInterval = 0;
    int32_t MAXRetryTimes = 0;
    int32_t IsUseHTTPAuth = 0;
    std::u16string HTTPAuthUser;
    std::string HTTPAuthPassword;
    int32_t ServerAuthMethod = 0; // 0 Basic, 1 Digest, 2 NTLM
    Sock4ProxyConfig Sock4;
    Sock5ProxyConfig Sock5;
    HttpProxyConfig Http;
    int32_t IsUseHTTPS = 0;
    std::u16string CACertPath;
    int32_t RequireClientCert = 0;
    std::u16string ClientCertPath;
    std::string ClientCertPswd;
    int32_t MAXQueueNumber = 0;
    std::u16string CachePath;
    int32_t UpdateCheckInterval = 0;
    int32_t CommandInterval4Disable = 0;

    bool operator==(const NetworkConfigRecord&) const = default;
};

// Filled by LoadLocalConfig; replaced by a successful CreateNetworkConfig.
extern NetworkConfigRecord g_networkConfig;

int LoadLocalConfig();
// Writes a whole new file from `record` (passwords encrypted); on success
// g_networkConfig becomes `record`.
int CreateNetworkConfig(const NetworkConfigRecord& record);
// Updates the "NetworkConfig" block of the existing file in place, keeping
// everything else; falls back to CreateNetworkConfig when the file is not
// readable and writable or cannot be parsed.
int SaveNetworkConfig(const NetworkConfigRecord& record);

// ---------------------------------------------------------------------------
// Working configuration, "AgentWorkConfig.xml" (read only).

struct WorkingConfigRecord {
    int32_t EnableAgent = 1;
    int32_t LogUploadMaxInterval = 30;
    int32_t LogUploadMaxSize = 204800;
    int32_t CommandInterval = 300;
    int32_t AutoUpdate = 1;

    bool operator==(const WorkingConfigRecord&) const = default;
};

extern WorkingConfigRecord g_workingConfig;

int LoadWorkingConfig();

// ---------------------------------------------------------------------------
// System configuration, "AgentSysConfig.xml" (read only).

inline constexpr std::size_t AGENT_GUID_SIZE = 37;    // 36 characters and NUL
inline constexpr std::size_t AGENT_VERSION_SIZE = 10; // 9 characters and NUL

struct SysConfigRecord {
    SysConfigRecord() { Reset(); }
    void Reset();

    // Fixed-size fields hold NUL-terminated ANSI text; the last byte is
    // always 0, longer values are cut when loaded.
    char AgentGUID[AGENT_GUID_SIZE];
    std::u16string AgentName;
    char Version[AGENT_VERSION_SIZE];
    char ServicePackVersion[AGENT_VERSION_SIZE];
    char Build[AGENT_VERSION_SIZE];
    int32_t Language = 0;
    std::string HomeDirectory;
    std::u16string AgentServiceName;
    std::u16string AgentServiceDispName;
    std::string PluginDllName;
    std::string PluginUIDllName;
    int32_t AgentType = 0;
    char PluginVersion[AGENT_VERSION_SIZE];
    char PluginSPVersion[AGENT_VERSION_SIZE];
    char PluginHotfixVersion[AGENT_VERSION_SIZE];
    int32_t PluginType = 0;

    bool operator==(const SysConfigRecord&) const = default;
};

int LoadSysConfig(SysConfigRecord& record);
// The out value is set only when the result is 0.
int GetPluginUIDLLName(std::string& name);
// 0 when the value cannot be read.
int32_t GetPluginType();
int GetAgentServiceName(std::u16string& name);
int GetAgentDisplayName(std::u16string& name);

// ---------------------------------------------------------------------------
// Agent status: "AgentStatus.xml" and the registry values.

struct AgentStatusRecord {
    int32_t RegisterStatus = 0;
    int32_t AgentStatus = 0;
    int32_t ToolTag = 0;
    int32_t NetConfigChanged = 0;
    int32_t MonitorExitTag = 0;

    bool operator==(const AgentStatusRecord&) const = default;
};

// Reads the document and, through LoadStatusReg, the registry's AgentStatus
// and ToolTag (the authoritative copies). A document that cannot be read is
// recreated from `record` and the result is CreateStatusData's.
int LoadStatusData(AgentStatusRecord& record);
int CreateStatusData(const AgentStatusRecord& record);
// Sets "NetConfigChanged" in the existing document; never creates it.
int SaveNetConfigChange(int32_t value);

// Registry values of AgentRegistryKey. LoadStatusReg writes a missing value
// from the record's current one and answers 0 unless the key cannot be
// opened.
int LoadStatusReg(AgentStatusRecord& record);
// LoadStatusReg without its opening log line: the status monitor's poll,
// which runs every five seconds.
int ReadStatusReg(AgentStatusRecord& record);
int SaveAgentStatusReg(int32_t value);
int SaveToolExitTagReg(int32_t value);

// The published state as it stands, read without changing anything: no
// document is made or replaced and no registry key or value is written, for
// readers that must leave the agent's state alone (the command line's
// status, the support bundle). Each flag says whether its source answered;
// a field that could not be read keeps the value it had.
struct AgentStatusSnapshot {
    AgentStatusRecord Record;
    bool DocumentRead = false;
    bool AgentStatusRead = false;
    bool ToolTagRead = false;
};
void PeekAgentStatus(AgentStatusSnapshot& snapshot);
// The registry half of PeekAgentStatus.
void PeekStatusReg(AgentStatusSnapshot& snapshot);
