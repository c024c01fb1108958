#pragma once
// The document object through which every XML file of the tool is parsed,
// searched, edited and saved, and the serializer that gives saved files the
// exact bytes the agent expects.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/types.h>

#include "platform/system/AtomicFile.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/XMLFormatter.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>

using XERCES_CPP_NAMESPACE::DOMDocument;
using XERCES_CPP_NAMESPACE::DOMElement;
using XERCES_CPP_NAMESPACE::DOMException;
using XERCES_CPP_NAMESPACE::DOMNode;
using XERCES_CPP_NAMESPACE::DOMNodeFilter;
using XERCES_CPP_NAMESPACE::DOMText;
using XERCES_CPP_NAMESPACE::DOMTreeWalker;

inline constexpr int XML_SOURCE_MEMORY = 1;
inline constexpr int XML_SOURCE_FILE = 2;
inline constexpr int XML_SOURCE_STDIN = 3;

inline constexpr int32_t XML_ERR_NO_NODE = 1002;
inline constexpr int32_t XML_ERR_NO_PATH = 1004;
// Parse and library errors carry their information in the message; this is
// the code they get.
inline constexpr int32_t XML_ERR_PARSE = 1001;

// Xerces' XMLPlatformUtils must be initialised before the first document and
// terminated at process exit, once per process. The document layer does it
// during static initialisation (CXMLObject is allocated through the library's
// memory manager, so even its operator new needs it); further calls do
// nothing. Termination is registered with atexit.
void XMLInitializeOnce();

class CXMLObjectException {
public:
    CXMLObjectException(int32_t code, std::string message)
        : m_code(code), m_message(std::move(message)) {}
    int32_t GetCode() const { return m_code; }
    const std::string& GetMessage() const { return m_message; }

private:
    int32_t m_code;
    std::string m_message;
};

// The 3.x DOM has no node for the XML declaration, so the parser records the
// one it saw and the document object keeps it beside the document.
class CXMLAPIDOMParser : public XERCES_CPP_NAMESPACE::XercesDOMParser {
public:
    using XercesDOMParser::XercesDOMParser;

    void XMLDecl(const XMLCh* versionStr, const XMLCh* encodingStr, const XMLCh* standaloneStr,
                 const XMLCh* actualEncStr) override;
    // Both count what the document expands to, text and attribute values,
    // and end the parse once that passes the input's own size by more than
    // MAX_EXPANDED_CHARS.
    void docCharacters(const XMLCh* chars, XMLSize_t length, bool cdataSection) override;
    void
    startElement(const XERCES_CPP_NAMESPACE::XMLElementDecl& elemDecl, unsigned int urlId,
                 const XMLCh* elemPrefix,
                 const XERCES_CPP_NAMESPACE::RefVectorOf<XERCES_CPP_NAMESPACE::XMLAttr>& attrList,
                 XMLSize_t attrCount, bool isEmpty, bool isRoot) override;

    // Entity references a document may expand, and the characters of text
    // and attribute values it may expand to: beyond any hand-edited document
    // (a few hundred references), far below what an expansion bomb needs to
    // hurt: ten entities nested four deep already take 3,333 expansions,
    // and one large entity repeated is stopped by the size.
    static constexpr XMLSize_t MAX_ENTITY_EXPANSIONS = 3000;
    static constexpr XMLSize_t MAX_EXPANDED_CHARS = 8 * 1024 * 1024;

    bool HasXMLDecl() const { return m_hasXMLDecl; }
    const std::u16string& GetDeclVersion() const { return m_declVersion; }
    const std::u16string& GetDeclEncoding() const { return m_declEncoding; }
    // Empty when the declaration had no standalone pseudo-attribute.
    const std::u16string& GetDeclStandalone() const { return m_declStandalone; }

    // The size of the input about to be parsed, in bytes.
    void SetInputSize(XMLSize_t bytes) { m_inputSize = bytes; }

private:
    void CountExpanded(XMLSize_t length);

    XMLSize_t m_inputSize = 0;
    XMLSize_t m_expandedChars = 0;
    bool m_hasXMLDecl = false;
    std::u16string m_declVersion;
    std::u16string m_declEncoding;
    std::u16string m_declStandalone;
};

// The XML declaration of a document: present or not, and its values.
struct CXMLDeclaration {
    bool present = false;
    std::u16string version;
    std::u16string encoding;
    std::u16string standalone; // empty = absent
};

class CXMLObject : public XERCES_CPP_NAMESPACE::DefaultHandler,
                   public XERCES_CPP_NAMESPACE::XMLFormatTarget {
public:
    CXMLObject(const char* source, int sourceKind, bool ignoreParseErrors, int reserved1,
               const char* encoding, int reserved2, int reserved3, bool validate);
    CXMLObject(const char16_t* source, int sourceKind, bool ignoreParseErrors, int reserved1,
               const char* encoding, int reserved2, int reserved3, bool validate);
    ~CXMLObject() override;

    CXMLObject(const CXMLObject&) = delete;
    CXMLObject& operator=(const CXMLObject&) = delete;

    DOMDocument* GetDocument() const;
    // The document element after the last parse (null for an empty document).
    DOMElement* GetRootElement() const;

    std::u16string GetElementText(const DOMElement* element) const;
    DOMElement* AppendTextNode(DOMElement* element, const char16_t* text);
    DOMElement* AppendChildElement(DOMElement* parent, const char16_t* name, const char16_t* text);
    int DetachNode(DOMNode* node);

    // Gives a new document its XML declaration; it is written as the
    // document's first line.
    void AppendXMLDecl(const char16_t* version, const char16_t* encoding,
                       const char16_t* standalone);
    const CXMLDeclaration& GetXMLDecl() const { return m_declaration; }

    // Writes the document to `path` (locale charset) with every LF stored as
    // CR LF. 1 on success, 0 when the file cannot be written (the previous
    // file, if any, is then untouched). A null path throws XML_ERR_NO_PATH.
    // A new file gets `newFileMode`; a replaced one keeps its own.
    int SaveToFile(const char* path, mode_t newFileMode = 0644);
    // The same with every option of SaveFile (platform/system/AtomicFile.h);
    // `report` says how the file was written.
    int SaveToFile(const char* path, const SaveFileOptions& options, SaveFileReport* report);
    int PrintNode(const DOMNode* node, std::FILE* stream);
    std::string SerializeNode(const DOMNode* node);

    // SAX error handler: every complaint ends the parse.
    void warning(const XERCES_CPP_NAMESPACE::SAXParseException& e) override;
    void error(const XERCES_CPP_NAMESPACE::SAXParseException& e) override;
    void fatalError(const XERCES_CPP_NAMESPACE::SAXParseException& e) override;

    // Output sink of the serializer: appends to the output buffer.
    void writeChars(const XMLByte* toWrite, XMLSize_t count,
                    XERCES_CPP_NAMESPACE::XMLFormatter* formatter) override;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    CXMLDeclaration m_declaration;
};

class CXMLObjectFilter : public DOMNodeFilter {
public:
    explicit CXMLObjectFilter(short nodeType) : m_nodeType(nodeType) {}
    FilterAction acceptNode(const DOMNode* node) const override;

private:
    short m_nodeType;
    bool m_reject = false;
};

class CXMLElementFinder {
public:
    CXMLElementFinder(DOMDocument* document, short nodeType, unsigned long whatToShow);
    ~CXMLElementFinder();
    CXMLElementFinder(const CXMLElementFinder&) = delete;
    CXMLElementFinder& operator=(const CXMLElementFinder&) = delete;

    DOMNode* FindElement(const char16_t* name);

private:
    DOMDocument* m_document;
    CXMLObjectFilter m_filter;
    DOMTreeWalker* m_walker = nullptr;
    // Kept for whoever inspects the finder; the filter does the selecting.
    [[maybe_unused]] short m_nodeType;
    unsigned long m_whatToShow;
    DOMNode* m_lastFound = nullptr;
};
