// The agent's system configuration, "AgentSysConfig.xml", written by its
// installer: identity, versions, service names and plug-ins. Read only.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <source_location>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/AgentConfig.h"
#include "config/ConfigDocument.h"

namespace {

constexpr char16_t ROOT_NAME[] = u"AgentSysConfig";
constexpr char16_t AGENT_GUID[] = u"AgentGUID";
constexpr char16_t AGENT_NAME[] = u"AgentName";
constexpr char16_t VERSION[] = u"Version";
constexpr char16_t SERVICE_PACK_VERSION[] = u"ServicePackVersion";
constexpr char16_t BUILD[] = u"Build";
constexpr char16_t LANGUAGE[] = u"Language";
constexpr char16_t HOME_DIRECTORY[] = u"HomeDirectory";
constexpr char16_t AGENT_SERVICE_NAME[] = u"AgentServiceName";
constexpr char16_t AGENT_SERVICE_DISP_NAME[] = u"AgentServiceDispName";
constexpr char16_t PLUGIN_DLL_NAME[] = u"PluginDllName";
constexpr char16_t PLUGIN_UI_DLL_NAME[] = u"PluginUIDllName";
constexpr char16_t AGENT_TYPE[] = u"AgentType";
constexpr char16_t PLUGIN_VERSION[] = u"PluginVersion";
constexpr char16_t PLUGIN_SP_VERSION[] = u"PluginSPVersion";
constexpr char16_t PLUGIN_HOTFIX_VERSION[] = u"PluginHotfixVersion";
constexpr char16_t PLUGIN_TYPE[] = u"PluginType";

constexpr char16_t DEFAULT_AGENT_NAME[] = u"OPALAgentDefaultName";
constexpr char16_t DEFAULT_SERVICE_NAME[] = u"OPAL Agent empty";
constexpr char16_t DEFAULT_SERVICE_DISP_NAME[] = u"Norvale Opal Center Agent empty";
constexpr int32_t DEFAULT_AGENT_TYPE = 10;

// Copies `text` into a fixed field, keeping at most size - 1 bytes so the
// field stays NUL-terminated. True when it had to be cut.
template <std::size_t N> bool CopyFixed(char (&field)[N], const std::string& text) {
    const std::size_t kept = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), kept);
    std::memset(field + kept, 0, N - kept);
    return kept < text.size();
}

class SysConfigReader {
public:
    explicit SysConfigReader(CXMLObject& xml, DOMElement* root) : m_xml(xml), m_root(root) {}

    // Each logs a missing value at the line that asked for it.
    bool Required(const char16_t* name, std::string& value,
                  const std::source_location& where = std::source_location::current()) {
        if (GetChildTextA(m_xml, m_root, name, value))
            return true;
        LogPrintfAt(where, LK_WARNING, MSG_MISSING, name);
        return false;
    }
    bool Required(const char16_t* name, int32_t& value,
                  const std::source_location& where = std::source_location::current()) {
        if (GetChildInt(m_xml, m_root, name, value))
            return true;
        LogPrintfAt(where, LK_WARNING, MSG_MISSING, name);
        return false;
    }
    template <std::size_t N>
    bool RequiredFixed(const char16_t* name, char (&field)[N], const char* tooLongMessage,
                       const std::source_location& where = std::source_location::current()) {
        std::string text;
        if (!Required(name, text, where))
            return false;
        if (CopyFixed(field, text))
            LogPrintfAt(where, LK_WARNING, tooLongMessage);
        return true;
    }
    void Optional(const char16_t* name, std::u16string& value,
                  const std::source_location& where = std::source_location::current()) {
        if (!GetChildText(m_xml, m_root, name, value))
            LogPrintfAt(where, LK_WARNING, MSG_MISSING, name);
    }

private:
    CXMLObject& m_xml;
    DOMElement* m_root;
};

int ReadSysConfig(SysConfigRecord& record) {
    auto xml = OpenDocument(HomeFilePath(SYS_CONFIG_FILE));
    DOMElement* root = DocumentRoot(*xml);
    if (!root) {
        LOG_PRINTF(LK_WARNING, MSG_NO_ROOT, ROOT_NAME);
        return ERR_CONFIG_LOAD;
    }
    SysConfigReader read(*xml, root);
    if (!read.RequiredFixed(AGENT_GUID, record.AgentGUID, "Agent GUID is too long. [%s|%d]"))
        return ERR_CONFIG_LOAD;
    read.Optional(AGENT_NAME, record.AgentName);
    if (!read.RequiredFixed(VERSION, record.Version, "Agent Version is too long. [%s|%d]") ||
        !read.RequiredFixed(SERVICE_PACK_VERSION, record.ServicePackVersion,
                            "Agent SP Version is too long. [%s|%d]") ||
        !read.RequiredFixed(BUILD, record.Build, "Agent hotfix Version is too long. [%s|%d]"))
        return ERR_CONFIG_LOAD;
    if (!GetChildInt(*xml, root, LANGUAGE, record.Language))
        LOG_PRINTF(LK_WARNING, "Failed to find <%S> element. Use default value %d. [%s|%d]",
                   LANGUAGE, record.Language);
    if (!read.Required(HOME_DIRECTORY, record.HomeDirectory))
        return ERR_CONFIG_LOAD;
    read.Optional(AGENT_SERVICE_NAME, record.AgentServiceName);
    read.Optional(AGENT_SERVICE_DISP_NAME, record.AgentServiceDispName);
    if (!read.Required(PLUGIN_DLL_NAME, record.PluginDllName) ||
        !read.Required(PLUGIN_UI_DLL_NAME, record.PluginUIDllName) ||
        !read.Required(AGENT_TYPE, record.AgentType))
        return ERR_CONFIG_LOAD;
    if (!read.RequiredFixed(PLUGIN_VERSION, record.PluginVersion,
                            "Agent Plugin Version is too long. [%s|%d]") ||
        !read.RequiredFixed(PLUGIN_SP_VERSION, record.PluginSPVersion,
                            "Agent plugin SP Version is too long. [%s|%d]") ||
        !read.RequiredFixed(PLUGIN_HOTFIX_VERSION, record.PluginHotfixVersion,
                            "Agent plugin hotfix Version is too long. [%s|%d]"))
        return ERR_CONFIG_LOAD;
    if (!read.Required(PLUGIN_TYPE, record.PluginType))
        return ERR_CONFIG_LOAD;
    return CONFIG_SUCCESS;
}

// The single-value readers: one child of the root, into `value` only when it
// is there. `read` is GetChildText, GetChildTextA or GetChildInt.
template <class Value, class Read>
int ReadSingleValue(const char16_t* name, Value& value, Read read,
                    const std::source_location& where = std::source_location::current()) {
    try {
        auto xml = OpenDocument(HomeFilePath(SYS_CONFIG_FILE));
        DOMElement* root = DocumentRoot(*xml);
        if (!root) {
            LOG_PRINTF(LK_WARNING, MSG_NO_ROOT, ROOT_NAME);
            return ERR_CONFIG_LOAD;
        }
        Value readValue = value;
        if (!read(*xml, root, name, readValue)) {
            LogPrintfAt(where, LK_WARNING, MSG_MISSING, name);
            return ERR_CONFIG_LOAD;
        }
        value = std::move(readValue);
        return CONFIG_SUCCESS;
    } catch (...) {
        LOG_UNKNOWN_EXCEPTION();
    }
    return ERR_CONFIG_LOAD;
}

} // namespace

void SysConfigRecord::Reset() {
    std::memset(AgentGUID, 0, sizeof AgentGUID);
    AgentName = DEFAULT_AGENT_NAME;
    std::memset(Version, 0, sizeof Version);
    std::memset(ServicePackVersion, 0, sizeof ServicePackVersion);
    std::memset(Build, 0, sizeof Build);
    Language = 0;
    HomeDirectory.clear();
    AgentServiceName = DEFAULT_SERVICE_NAME;
    AgentServiceDispName = DEFAULT_SERVICE_DISP_NAME;
    PluginDllName.clear();
    PluginUIDllName.clear();
    AgentType = DEFAULT_AGENT_TYPE;
    std::memset(PluginVersion, 0, sizeof PluginVersion);
    std::memset(PluginSPVersion, 0, sizeof PluginSPVersion);
    std::memset(PluginHotfixVersion, 0, sizeof PluginHotfixVersion);
    PluginType = 0;
}

int LoadSysConfig(SysConfigRecord& record) {
    LOG_PRINTF(LK_INFO, "Begin to load Agent system config. [%s|%d]");
    ConfigLockGuard lock;
    record.Reset();
    try {
        return ReadSysConfig(record);
    } catch (...) {
        LOG_UNKNOWN_EXCEPTION();
    }
    return ERR_CONFIG_LOAD;
}

int GetPluginUIDLLName(std::string& name) {
    LOG_PRINTF(LK_INFO, "GetPluginUIDLLName. [%s|%d]");
    ConfigLockGuard lock;
    return ReadSingleValue(PLUGIN_UI_DLL_NAME, name, GetChildTextA);
}

int32_t GetPluginType() {
    LOG_PRINTF(LK_INFO, "GetPluginType, [%s|%d]");
    int32_t type = 0;
    if (ReadSingleValue(PLUGIN_TYPE, type, GetChildInt) != CONFIG_SUCCESS)
        return 0;
    return type;
}

int GetAgentServiceName(std::u16string& name) {
    LOG_PRINTF(LK_INFO, "GetAgentServiceName. [%s|%d]");
    return ReadSingleValue(AGENT_SERVICE_NAME, name, GetChildText);
}

int GetAgentDisplayName(std::u16string& name) {
    LOG_PRINTF(LK_INFO, "GetAgentDisplayName. [%s|%d]");
    return ReadSingleValue(AGENT_SERVICE_DISP_NAME, name, GetChildText);
}
