#pragma once
// What every operation of the configuration store shares: where the agent's
// documents are, how one is opened, started and saved, and the log lines
// that several operations write. Private to config/.

#include <memory>
#include <string>
#include <sys/types.h>

#include "xml/CXMLAPI.h"

// Messages shared by several documents, kept here so that their text exists
// once.
inline constexpr char MSG_NO_ROOT[] = "Failed to find <%S> element, [%s|%d]";
inline constexpr char MSG_MISSING[] = "Failed to find <%S> element. [%s|%d]";
inline constexpr char MSG_MISSING_DEFAULT_INT[] =
    "Failed to find <%S> element, use the default value <%d>. [%s|%d]";
inline constexpr char MSG_MISSING_DEFAULT_TEXT[] =
    "Failed to find <%S> element, use the default value <%s>. [%s|%d]";
inline constexpr char MSG_SAVE_FAILED[] = "Failed to save %S. [%s|%d]";

inline constexpr char16_t LOCAL_CONFIG_FILE[] = u"AgentLocalConfig.xml";
inline constexpr char16_t WORKING_CONFIG_FILE[] = u"AgentWorkConfig.xml";
inline constexpr char16_t SYS_CONFIG_FILE[] = u"AgentSysConfig.xml";
inline constexpr char16_t STATUS_FILE[] = u"AgentStatus.xml";

// The debug-log block of the local configuration: read at start-up, written
// when the tool recreates the file.
inline constexpr char16_t DEBUG_LOG_CONFIG[] = u"DebugLogConfig";
inline constexpr char16_t DEBUG_LOG_LEVEL[] = u"DebugLogLevel";
inline constexpr char16_t DEBUG_LOG_PATH[] = u"DebugLogPath";
inline constexpr char16_t DEBUG_LOG_FILE_NAME[] = u"DebugLogFileName";
inline constexpr char16_t DEBUG_LOG_FILE_MAX_SIZE[] = u"DebugLogFileMaxSize";

// Mode of a newly created document. The local configuration holds the
// (encrypted) passwords, so nobody but its owner may read it; a document that
// is replaced keeps the mode it had. In a shared (set-group-id) directory,
// the install's layout, the group is the administrators' and gets the
// owner's rights as well: 0664 and 0660 (SharedDocumentMode).
inline constexpr mode_t DOCUMENT_MODE = 0644;
inline constexpr mode_t SECRET_DOCUMENT_MODE = 0600;
constexpr mode_t SharedDocumentMode(mode_t mode) {
    return mode | ((mode & 0600) >> 3);
}

// The carriage return that separates the elements of the documents the agent
// and this tool write.
inline constexpr char16_t LINE_BREAK[] = u"\r";

// The agent's home directory: the program's own, computed afresh every time,
// ending with the separator; empty when it cannot be determined, so that a
// bare file name resolves against the working directory.
std::u16string HomeDirectory();
std::u16string HomeFilePath(const char16_t* fileName);

// An existing document; throws CXMLObjectException when it is missing,
// unreadable or malformed.
std::unique_ptr<CXMLObject> OpenDocument(const std::u16string& path);

// A new document with its declaration and the root element `rootName`, whose
// first child is a carriage return.
std::unique_ptr<CXMLObject> NewDocument(const char16_t* rootName, DOMElement*& root);

// The document element, or the first element `name` anywhere in the
// document; null when there is none.
DOMElement* DocumentRoot(CXMLObject& xml);
DOMElement* FindFirstElement(CXMLObject& xml, const char16_t* name);

// Saves the whole document to `path`. On failure logs "Failed to save ..."
// at the caller's line and answers false; the file on disk is then as it was.
// Where the directory takes no new file but the file accepts writes, the
// file is rewritten in place, and that is logged.
bool SaveDocument(CXMLObject& xml, const std::u16string& path, mode_t newFileMode,
                  const char* sourceFile, int line);
#define SAVE_DOCUMENT(xml, path, mode) SaveDocument((xml), (path), (mode), __FILE__, __LINE__)

// Before a document that failed to load is replaced: its bytes are copied
// beside it as "<name>.unreadable" (the latest only, the original's mode,
// written atomically) and the copy is named in the log. True when the
// replacement may go ahead: the copy is made, or there is nothing to keep
// (no file, or one the save will refuse anyway); false when the bytes could
// not be kept, and the document must then stay as it is.
bool KeepUnreadableDocument(const std::u16string& path);
inline constexpr char UNREADABLE_SUFFIX[] = ".unreadable";

// The two exception handlers' log lines, with the caller's file and line.
void LogDomException(const DOMException& e, const char* sourceFile, int line);
void LogUnknownException(int lastError, const char* sourceFile, int line);
#define LOG_DOM_EXCEPTION(e) LogDomException((e), __FILE__, __LINE__)
// errno is taken before anything else can change it.
#define LOG_UNKNOWN_EXCEPTION() LogUnknownException(errno, __FILE__, __LINE__)

// A missing optional text, logged with the value the field keeps.
void LogMissingDefaultText(const char16_t* name, const std::u16string& value,
                           const char* sourceFile, int line);
#define LOG_MISSING_DEFAULT_TEXT(name, value)                                                      \
    LogMissingDefaultText((name), (value), __FILE__, __LINE__)
