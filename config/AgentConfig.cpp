// The pieces every agent document shares: element accessors, the range
// check, opening/starting/saving documents, the exception log lines, and the
// agent's registry values.

#include "config/AgentConfig.h"

#include <cerrno>
#include <string>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/ConfigDocument.h"
#include "platform/system/AtomicFile.h"

#include <sys/stat.h>
#include <unistd.h>

using XERCES_CPP_NAMESPACE::XMLString;

namespace {

constexpr char16_t MSG_READ_FAILED[] = u"Failed to read the value of %s, [%s|%d]";
constexpr char16_t REG_AGENT_STATUS[] = u"AgentStatus";
constexpr char16_t REG_TOOL_TAG[] = u"ToolTag";

// The first direct child element `name` of `parent`, without logging.
DOMElement* FirstChildNamed(DOMElement* parent, const char16_t* name) {
    if (!parent || !name)
        return nullptr;
    for (DOMNode* node = parent->getFirstChild(); node; node = node->getNextSibling()) {
        if (node->getNodeType() == DOMNode::ELEMENT_NODE &&
            XMLString::equals(node->getNodeName(), name))
            return static_cast<DOMElement*>(node);
    }
    return nullptr;
}

DOMText* NewLineBreak(CXMLObject& xml) {
    return xml.GetDocument()->createTextNode(LINE_BREAK);
}

// A plain element `name` whose only child is a text node with `value`.
DOMElement* NewTextElement(CXMLObject& xml, const char16_t* name, const std::u16string& value) {
    DOMDocument* document = xml.GetDocument();
    DOMElement* element = document->createElement(name);
    element->appendChild(document->createTextNode(value.c_str()));
    return element;
}

std::u16string FormatInt(int32_t value) {
    return ToWideString(std::to_string(value), CP_ACP);
}

} // namespace

// ---------------------------------------------------------------------------
// Element accessors

bool FindChildElement(CXMLObject& /*xml*/, DOMElement* parent, const char16_t* name,
                      DOMElement*& element) {
    DOMElement* found = FirstChildNamed(parent, name);
    if (!found) {
        LOG_PRINTFW(LK_WARNING, MSG_READ_FAILED, name);
        return false;
    }
    element = found;
    return true;
}

bool GetChildText(CXMLObject& xml, DOMElement* parent, const char16_t* name,
                  std::u16string& value) {
    DOMElement* found = FirstChildNamed(parent, name);
    if (!found) {
        LOG_PRINTFW(LK_INFO, MSG_READ_FAILED, name);
        return false;
    }
    value = xml.GetElementText(found);
    return true;
}

bool GetChildTextA(CXMLObject& xml, DOMElement* parent, const char16_t* name, std::string& value) {
    DOMElement* found = FirstChildNamed(parent, name);
    if (!found) {
        LOG_PRINTFW(LK_WARNING, MSG_READ_FAILED, name);
        return false;
    }
    value = ToNarrowString(xml.GetElementText(found), CP_ACP);
    return true;
}

bool GetChildInt(CXMLObject& xml, DOMElement* parent, const char16_t* name, int32_t& value) {
    DOMElement* found = FirstChildNamed(parent, name);
    if (found) {
        const std::string text = ToNarrowString(xml.GetElementText(found), CP_ACP);
        bool error = false;
        const int32_t parsed = ParseNonNegativeInt(text.c_str(), error);
        if (!error) {
            value = parsed;
            return true;
        }
        LOG_PRINTF(LK_WARNING, "Can't convert into integer, [%s|%d]");
    }
    LOG_PRINTFW(LK_WARNING, MSG_READ_FAILED, name);
    return false;
}

bool SetChildText(CXMLObject& xml, DOMElement* parent, const char16_t* name,
                  const std::u16string& value) {
    DOMElement* replacement = NewTextElement(xml, name, value);
    if (DOMElement* existing = FirstChildNamed(parent, name)) {
        parent->replaceChild(replacement, existing);
        return true;
    }
    parent->appendChild(replacement);
    parent->appendChild(NewLineBreak(xml));
    return true;
}

bool SetChildTextA(CXMLObject& xml, DOMElement* parent, const char16_t* name,
                   const std::string& value) {
    return SetChildText(xml, parent, name, ToWideString(value, CP_ACP));
}

bool SetChildInt(CXMLObject& xml, DOMElement* parent, const char16_t* name, int32_t value) {
    return SetChildText(xml, parent, name, FormatInt(value));
}

bool AppendChildText(CXMLObject& xml, DOMElement* parent, const char16_t* name,
                     const std::u16string& value) {
    xml.AppendChildElement(parent, name, value.c_str());
    xml.AppendTextNode(parent, LINE_BREAK);
    return true;
}

bool AppendChildTextA(CXMLObject& xml, DOMElement* parent, const char16_t* name,
                      const std::string& value) {
    return AppendChildText(xml, parent, name, ToWideString(value, CP_ACP));
}

bool AppendChildInt(CXMLObject& xml, DOMElement* parent, const char16_t* name, int32_t value) {
    return AppendChildText(xml, parent, name, FormatInt(value));
}

bool AppendContainer(CXMLObject& xml, DOMElement* parent, const char16_t* name,
                     DOMElement*& element) {
    DOMElement* container = xml.GetDocument()->createElement(name);
    container->appendChild(NewLineBreak(xml));
    parent->appendChild(container);
    parent->appendChild(NewLineBreak(xml));
    element = container;
    return true;
}

bool FindOrAppendChild(CXMLObject& xml, DOMElement* parent, const char16_t* name,
                       DOMElement*& element) {
    if (DOMElement* existing = FirstChildNamed(parent, name)) {
        element = existing;
        return true;
    }
    DOMElement* child = xml.GetDocument()->createElement(name);
    parent->appendChild(child);
    parent->appendChild(NewLineBreak(xml));
    element = child;
    return true;
}

bool CheckRange(int32_t& value, int32_t maximum, int32_t minimum, int32_t defaultValue) {
    if (value < minimum) {
        LOG_PRINTF(LK_WARNING, "The value(%d) is smaller than the minimum value(%d). [%s|%d]",
                   value, minimum);
        value = defaultValue;
        return false;
    }
    if (value > maximum) {
        LOG_PRINTF(LK_WARNING, "The value(%d) is larger than the maximum value(%d). [%s|%d]", value,
                   maximum);
        value = defaultValue;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Documents

std::u16string HomeDirectory() {
    std::u16string home;
    if (!GetModuleDirectoryW(home))
        home.clear();
    return home;
}

std::u16string HomeFilePath(const char16_t* fileName) {
    return HomeDirectory() + fileName;
}

std::unique_ptr<CXMLObject> OpenDocument(const std::u16string& path) {
    return std::make_unique<CXMLObject>(path.c_str(), XML_SOURCE_FILE, false, 1, "UTF-8", 1, 1,
                                        false);
}

std::unique_ptr<CXMLObject> NewDocument(const char16_t* rootName, DOMElement*& root) {
    auto xml = std::make_unique<CXMLObject>("", XML_SOURCE_MEMORY, true, 1, "UTF-8", 1, 1, false);
    xml->AppendXMLDecl(u"1.0", u"UTF-8", u"yes");
    DOMDocument* document = xml->GetDocument();
    if (!document)
        throw CXMLObjectException(XML_ERR_NO_NODE, "no document to build on");
    root = document->createElement(rootName);
    document->appendChild(root);
    root->appendChild(document->createTextNode(LINE_BREAK));
    return xml;
}

DOMElement* DocumentRoot(CXMLObject& xml) {
    DOMDocument* document = xml.GetDocument();
    return document ? document->getDocumentElement() : nullptr;
}

DOMElement* FindFirstElement(CXMLObject& xml, const char16_t* name) {
    CXMLElementFinder finder(xml.GetDocument(), DOMNode::ELEMENT_NODE, 0xFFFF);
    DOMNode* node = finder.FindElement(name);
    return node && node->getNodeType() == DOMNode::ELEMENT_NODE ? static_cast<DOMElement*>(node)
                                                                : nullptr;
}

bool SaveDocument(CXMLObject& xml, const std::u16string& path, mode_t newFileMode,
                  const char* sourceFile, int line) {
    const std::string narrowPath = ToNarrowString(path, CP_ACP);
    SaveFileOptions options;
    options.newFileMode = newFileMode;
    options.sharedFileMode = SharedDocumentMode(newFileMode);
    options.inPlaceWhenDirectoryRefuses = true;
    SaveFileReport report;
    const bool saved =
        !narrowPath.empty() && xml.SaveToFile(narrowPath.c_str(), options, &report) == 1;
    if (!saved)
        LogPrintf(LK_WARNING, MSG_SAVE_FAILED, path, SourceFileName(sourceFile), line);
    else if (report.inPlace)
        LogSavedInPlace(narrowPath, sourceFile, line);
    return saved;
}

bool KeepUnreadableDocument(const std::u16string& path) {
    const std::string narrow = ToNarrowString(path, CP_ACP);
    struct stat info {};
    if (narrow.empty() || ::stat(narrow.c_str(), &info) != 0 || CheckFileReplaceable(narrow) != 0)
        return true;
    std::string bytes;
    const bool read = ReadWholeFile(narrow, bytes);
    const std::string copy = narrow + UNREADABLE_SUFFIX;
    SaveFileOptions options;
    options.newFileMode = info.st_mode & 07777;
    options.exactMode = true;
    if (!read || SaveToolFile(copy, bytes, options) != 0) {
        LOG_PRINTF(LK_WARNING, "Failed to keep the unreadable %s, it is left as it is. [%s|%d]",
                   narrow);
        return false;
    }
    LOG_PRINTF(LK_WARNING, "The unreadable document was kept as %s. [%s|%d]", copy);
    return true;
}

void LogDomException(const DOMException& e, const char* sourceFile, int line) {
    const XMLCh* message = e.getMessage();
    LogPrintf(LK_ERROR, "DOM Exception %S!  [%s|%d]", message ? message : u"",
              SourceFileName(sourceFile), line);
}

void LogUnknownException(int lastError, const char* sourceFile, int line) {
    LogPrintf(LK_ERROR, "Unknow Exception! Last Error Code=%d, [%s|%d]", lastError,
              SourceFileName(sourceFile), line);
}

void LogMissingDefaultText(const char16_t* name, const std::u16string& value,
                           const char* sourceFile, int line) {
    LogPrintf(LK_WARNING, MSG_MISSING_DEFAULT_TEXT, name, ToNarrowString(value, CP_ACP),
              SourceFileName(sourceFile), line);
}

// ---------------------------------------------------------------------------
// Registry values

namespace {

// Opens the agent's key, logging when it cannot; the key's Win32 result.
long OpenAgentKey(RegistryKey& key) {
    const long rc = key.Create(AgentRegistryKey, HKEY_LOCAL_MACHINE);
    if (rc != ERROR_SUCCESS)
        LOG_PRINTFW(LK_WARNING, u"Failed to open register entry: %s, [%s|%d]", AgentRegistryKey);
    return rc;
}

int WriteAgentValue(const char16_t* name, int32_t value) {
    RegistryKey key;
    if (OpenAgentKey(key) != ERROR_SUCCESS)
        return ERR_CONFIG_SAVE;
    if (key.WriteInt(name, value) != ERROR_SUCCESS) {
        LOG_PRINTFW(LK_WARNING, u"Failed to write register item: %s, [%s|%d]", name);
        return ERR_CONFIG_SAVE;
    }
    return CONFIG_SUCCESS;
}

// A value the agent has not written yet is created from what the caller
// holds, so that both sides see the same state afterwards; by a user who
// may write it only.
void ReadOrCreateAgentValue(RegistryKey& key, const char16_t* name, int32_t& value) {
    if (key.ReadInt(name, value) == ERROR_SUCCESS)
        return;
    LOG_PRINTFW(LK_WARNING, u"Failed to read register item: %s, [%s|%d]", name);
    if (!key.MaySetValues())
        return;
    if (key.WriteInt(name, value) != ERROR_SUCCESS)
        LOG_PRINTFW(LK_WARNING, u"Failed to write register item: %s, [%s|%d]", name);
}

// The key as a reader opens it: with the right to set values where this
// user has it (a missing value is then created), read-only where not, so
// that a user outside the administrators' group still reads the true
// status; a missing key is created as the writers create it.
long OpenAgentKeyToRead(RegistryKey& key) {
    long rc = key.Open(AgentRegistryKey, HKEY_LOCAL_MACHINE, KEY_READ | KEY_SET_VALUE);
    if (rc == ERROR_ACCESS_DENIED)
        rc = key.Open(AgentRegistryKey, HKEY_LOCAL_MACHINE, KEY_READ);
    else if (rc == ERROR_FILE_NOT_FOUND)
        rc = key.Create(AgentRegistryKey, HKEY_LOCAL_MACHINE);
    if (rc != ERROR_SUCCESS)
        LOG_PRINTFW(LK_WARNING, u"Failed to open register entry: %s, [%s|%d]", AgentRegistryKey);
    return rc;
}

} // namespace

int SaveAgentStatusReg(int32_t value) {
    LOG_PRINTF(LK_INFO, "Save Agent status Reg. [%s|%d]");
    return WriteAgentValue(REG_AGENT_STATUS, value);
}

int SaveToolExitTagReg(int32_t value) {
    LOG_PRINTF(LK_INFO, "Save Tool Exit Tag Reg. [%s|%d]");
    return WriteAgentValue(REG_TOOL_TAG, value);
}

int LoadStatusReg(AgentStatusRecord& record) {
    LOG_PRINTF(LK_INFO, "Begin to load Agent status Reg. [%s|%d]");
    return ReadStatusReg(record);
}

int ReadStatusReg(AgentStatusRecord& record) {
    RegistryKey key;
    if (OpenAgentKeyToRead(key) != ERROR_SUCCESS)
        return ERR_CONFIG_LOAD;
    ReadOrCreateAgentValue(key, REG_AGENT_STATUS, record.AgentStatus);
    ReadOrCreateAgentValue(key, REG_TOOL_TAG, record.ToolTag);
    return CONFIG_SUCCESS;
}

void PeekStatusReg(AgentStatusSnapshot& snapshot) {
    RegistryKeyHandle key;
    if (RegOpenKey(HKEY_LOCAL_MACHINE, AgentRegistryKey, KEY_READ, key) != ERROR_SUCCESS)
        return;
    const auto read = [&key](const char16_t* name, int32_t& value) {
        std::u16string text;
        // The same 256-byte buffer as RegistryKey::ReadInt.
        if (RegQueryString(key, name, text, 256) != ERROR_SUCCESS)
            return false;
        value = static_cast<int32_t>(WideToLong(text));
        return true;
    };
    snapshot.AgentStatusRead = read(REG_AGENT_STATUS, snapshot.Record.AgentStatus);
    snapshot.ToolTagRead = read(REG_TOOL_TAG, snapshot.Record.ToolTag);
}

std::u16string AgentDocumentPath(AgentDocument document) {
    switch (document) {
    case AgentDocument::LocalConfig:
        return HomeFilePath(LOCAL_CONFIG_FILE);
    case AgentDocument::WorkingConfig:
        return HomeFilePath(WORKING_CONFIG_FILE);
    case AgentDocument::SysConfig:
        return HomeFilePath(SYS_CONFIG_FILE);
    case AgentDocument::Status:
        break;
    }
    return HomeFilePath(STATUS_FILE);
}
