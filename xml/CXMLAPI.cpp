#include "xml/CXMLAPI.h"

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/StdInInputSource.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLException.hpp>

#include "common/ASTCommonFunc.h"
#include "platform/system/AtomicFile.h"

using namespace XERCES_CPP_NAMESPACE;

namespace {

const char16_t* OrEmpty(const XMLCh* text) {
    return text ? text : u"";
}

std::string Where(const char* file, int line) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "|%d]", line);
    return std::string("\n[") + file + buffer;
}

// Identifiers of the failing input, in the narrow charset; "Unknow" stands
// for one the parser does not know.
std::string IdentifierText(const XMLCh* id) {
    if (!id || !*id)
        return "Unknow";
    std::string narrow = ToNarrowString(id, CP_ACP);
    return narrow.empty() ? "Unknow" : narrow;
}

std::string ParseFailureText(uint64_t column, uint64_t line, const XMLCh* publicId,
                             const XMLCh* systemId, int sourceLine) {
    return "The column number of the end of the text where the exception occurred=" +
           std::to_string(column) +
           "\nThe line number of the end of the text where the exception occurred=" +
           std::to_string(line) + "\ne.getPublicId=" + IdentifierText(publicId) +
           "\ne.getSystemId=" + IdentifierText(systemId) + Where(__FILE__, sourceLine);
}

CXMLObjectException LibraryFailure(const XMLException& e, int sourceLine) {
    const char* file = e.getSrcFile();
    return CXMLObjectException(XML_ERR_PARSE,
                               std::string("File name is") + (file ? file : "") +
                                   "\nThe line number of the end of the text where the exception "
                                   "occurred=" +
                                   std::to_string(e.getSrcLine()) + Where(__FILE__, sourceLine));
}

CXMLObjectException PlainFailure(int32_t code, const char* text, int sourceLine) {
    return CXMLObjectException(code, text + Where(__FILE__, sourceLine));
}

// The characters each escaping mode replaces. The library's own modes also
// turn CR (and in attributes TAB and LF) into character references, which
// the agent's files never contain, so the replacing is done here and the
// formatter only encodes.
constexpr std::u16string_view kCharDataSpecials = u"&<>";
constexpr std::u16string_view kAttributeSpecials = u"&<\"";

const XMLCh* EntityFor(char16_t c) {
    switch (c) {
    case u'&':
        return u"&amp;";
    case u'<':
        return u"&lt;";
    case u'>':
        return u"&gt;";
    default:
        return u"&quot;";
    }
}

void WriteEscaped(XMLFormatter& out, std::u16string_view text, std::u16string_view specials) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (specials.find(text[i]) == std::u16string_view::npos)
            continue;
        if (i > start)
            out.formatBuf(text.data() + start, i - start, XMLFormatter::NoEscapes);
        out.formatBuf(EntityFor(text[i]), XMLString::stringLen(EntityFor(text[i])),
                      XMLFormatter::NoEscapes);
        start = i + 1;
    }
    if (text.size() > start)
        out.formatBuf(text.data() + start, text.size() - start, XMLFormatter::NoEscapes);
}

} // namespace

void XMLInitializeOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        XMLPlatformUtils::Initialize();
        std::atexit([] { XMLPlatformUtils::Terminate(); });
    });
}

namespace {

// The object itself is allocated through the library's memory manager (its
// bases come with their own operator new), so the library has to be up
// before the first `new CXMLObject`, not merely before its constructor runs.
[[maybe_unused]] const bool g_xmlReady = (XMLInitializeOnce(), true);

} // namespace

// ---------------------------------------------------------------------------
// CXMLAPIDOMParser

void CXMLAPIDOMParser::XMLDecl(const XMLCh* versionStr, const XMLCh* encodingStr,
                               const XMLCh* standaloneStr, const XMLCh* actualEncStr) {
    XercesDOMParser::XMLDecl(versionStr, encodingStr, standaloneStr, actualEncStr);
    m_hasXMLDecl = true;
    m_declVersion = OrEmpty(versionStr);
    m_declEncoding = OrEmpty(encodingStr);
    m_declStandalone = OrEmpty(standaloneStr);
}

void CXMLAPIDOMParser::CountExpanded(XMLSize_t length) {
    // The expansion count alone lets a large entity be copied thousands of
    // times; the size bound stops that.
    m_expandedChars += length;
    if (m_expandedChars > m_inputSize + MAX_EXPANDED_CHARS)
        throw CXMLObjectException(XML_ERR_PARSE, "The document expands to more than " +
                                                     std::to_string(MAX_EXPANDED_CHARS) +
                                                     " characters" + Where(__FILE__, __LINE__));
}

void CXMLAPIDOMParser::docCharacters(const XMLCh* chars, XMLSize_t length, bool cdataSection) {
    CountExpanded(length);
    XercesDOMParser::docCharacters(chars, length, cdataSection);
}

void CXMLAPIDOMParser::startElement(const XMLElementDecl& elemDecl, unsigned int urlId,
                                    const XMLCh* elemPrefix, const RefVectorOf<XMLAttr>& attrList,
                                    XMLSize_t attrCount, bool isEmpty, bool isRoot) {
    for (XMLSize_t i = 0; i < attrCount; ++i)
        CountExpanded(XMLString::stringLen(attrList.elementAt(i)->getValue()));
    XercesDOMParser::startElement(elemDecl, urlId, elemPrefix, attrList, attrCount, isEmpty,
                                  isRoot);
}

// ---------------------------------------------------------------------------
// CXMLObject

struct CXMLObject::Impl {
    Impl(const char* encodingName, int kind, bool ignoreErrors, bool validating)
        : encoding(encodingName ? encodingName : "UTF-8"), sourceKind(kind),
          ignoreParseErrors(ignoreErrors), validate(validating) {}

    std::string encoding;
    int sourceKind;
    bool ignoreParseErrors;
    bool validate;

    // The text of a memory source or the path of a file source. The parse
    // happens in the constructor, so the caller's text outlives its use and
    // is not copied; a file's bytes are read here and kept for the parse.
    const void* memoryBytes = nullptr;
    std::size_t memoryLength = 0;
    bool wideMemory = false;
    std::string filePath;
    std::u16string filePathWide;
    std::string fileBytes;

    std::unique_ptr<InputSource> memorySource;
    std::unique_ptr<InputSource> fileSource;
    std::unique_ptr<InputSource> stdinSource;
    InputSource* source = nullptr;

    SecurityManager security;
    std::unique_ptr<CXMLAPIDOMParser> parser;
    DOMDocument* document = nullptr;
    // Set only when the parse left no document and one was made here.
    DOMDocument* ownDocument = nullptr;
    DOMElement* root = nullptr;

    std::string output;
    std::unique_ptr<XMLFormatter> formatter;

    ~Impl() {
        formatter.reset();
        if (ownDocument)
            ownDocument->release();
        parser.reset();
    }

    void BuildSource(int line);
    void Parse(ErrorHandler* handler, CXMLDeclaration& declaration);
    void Print(const DOMNode* top, const CXMLDeclaration& declaration);
    void Open(const DOMNode* node, const CXMLDeclaration& declaration, bool& descend);
    void Close(const DOMNode* node);
};

void CXMLObject::Impl::BuildSource(int line) {
    switch (sourceKind) {
    case XML_SOURCE_MEMORY: {
        auto memory = std::make_unique<MemBufInputSource>(static_cast<const XMLByte*>(memoryBytes),
                                                          memoryLength, u"", false);
        // UTF-16 text carries no byte-order mark and may lack a declaration,
        // so the parser is told what it is rather than left to guess.
        if (wideMemory)
            memory->setEncoding(std::endian::native == std::endian::little ? u"UTF-16LE"
                                                                           : u"UTF-16BE");
        memorySource = std::move(memory);
        source = memorySource.get();
        break;
    }
    case XML_SOURCE_FILE: {
        // The file is read here rather than by the library so that the path
        // reaches the system exactly as the caller's charset spells it.
        if (!ReadWholeFile(filePath, fileBytes))
            throw CXMLObjectException(XML_ERR_PARSE,
                                      ParseFailureText(0, 0, nullptr, filePathWide.c_str(), line));
        fileSource =
            std::make_unique<MemBufInputSource>(reinterpret_cast<const XMLByte*>(fileBytes.data()),
                                                fileBytes.size(), filePathWide.c_str(), false);
        source = fileSource.get();
        break;
    }
    case XML_SOURCE_STDIN:
        stdinSource = std::make_unique<StdInInputSource>();
        source = stdinSource.get();
        break;
    default:
        throw PlainFailure(XML_ERR_PARSE, "Unknown source kind", line);
    }
}

CXMLObject::CXMLObject(const char* source, int sourceKind, bool ignoreParseErrors,
                       int /*reserved1*/, const char* encoding, int /*reserved2*/,
                       int /*reserved3*/, bool validate)
    : m_impl(std::make_unique<Impl>(encoding, source ? sourceKind : XML_SOURCE_MEMORY,
                                    ignoreParseErrors, validate)) {
    Impl& impl = *m_impl;
    if (!source)
        source = "";
    if (impl.sourceKind == XML_SOURCE_MEMORY) {
        impl.memoryBytes = source;
        impl.memoryLength = std::strlen(source);
    } else if (impl.sourceKind == XML_SOURCE_FILE) {
        impl.filePath = source;
        impl.filePathWide = ToWideString(source, CP_ACP);
    }
    impl.Parse(this, m_declaration);
}

CXMLObject::CXMLObject(const char16_t* source, int sourceKind, bool ignoreParseErrors,
                       int /*reserved1*/, const char* encoding, int /*reserved2*/,
                       int /*reserved3*/, bool validate)
    : m_impl(std::make_unique<Impl>(encoding, source ? sourceKind : XML_SOURCE_MEMORY,
                                    ignoreParseErrors, validate)) {
    Impl& impl = *m_impl;
    if (!source)
        source = u"";
    if (impl.sourceKind == XML_SOURCE_MEMORY) {
        impl.memoryBytes = source;
        impl.memoryLength = std::char_traits<char16_t>::length(source) * sizeof(char16_t);
        impl.wideMemory = true;
    } else if (impl.sourceKind == XML_SOURCE_FILE) {
        impl.filePathWide = source;
        impl.filePath = ToNarrowString(source, CP_ACP);
    }
    impl.Parse(this, m_declaration);
}

// The parser owns the document and frees every node it ever allocated when it
// goes, whether or not the node is still in the tree. Detaching the root
// first, as the old DOM needed, would gain nothing here and would throw when
// a caller has already moved or detached that element, so it is not done.
CXMLObject::~CXMLObject() = default;

void CXMLObject::Impl::Parse(ErrorHandler* handler, CXMLDeclaration& declaration) {
    BuildSource(__LINE__);

    root = nullptr;
    document = nullptr;
    parser = std::make_unique<CXMLAPIDOMParser>();
    CXMLAPIDOMParser& p = *parser;
    p.setErrorHandler(handler);
    p.setCreateEntityReferenceNodes(true);
    p.setValidationScheme(validate ? XercesDOMParser::Val_Always : XercesDOMParser::Val_Never);
    p.setDoNamespaces(false);
    p.setIncludeIgnorableWhitespace(true);
    // A document never makes us read another file or go to the network: no
    // external DTD, no external entity, whatever it declares. References to
    // them fail the parse instead.
    p.setLoadExternalDTD(false);
    p.setDisableDefaultEntityResolution(true);
    security.setEntityExpansionLimit(CXMLAPIDOMParser::MAX_ENTITY_EXPANSIONS);
    p.setSecurityManager(&security);
    p.SetInputSize(sourceKind == XML_SOURCE_FILE ? fileBytes.size() : memoryLength);

    try {
        p.parse(*source);
    } catch (const CXMLObjectException&) {
        if (!ignoreParseErrors)
            throw;
    } catch (const XMLException& e) {
        throw LibraryFailure(e, __LINE__);
    } catch (const OutOfMemoryException&) {
        throw PlainFailure(XML_ERR_PARSE, "Out of memory", __LINE__);
    } catch (const DOMException& e) {
        throw CXMLObjectException(
            XML_ERR_PARSE, "DOM Exception " + ToNarrowString(OrEmpty(e.getMessage()), CP_ACP) +
                               Where(__FILE__, __LINE__));
    }

    document = p.getDocument();
    if (!document) {
        ownDocument = DOMImplementation::getImplementation()->createDocument();
        document = ownDocument;
    }
    root = document->getDocumentElement();

    declaration.present = p.HasXMLDecl();
    declaration.version = p.GetDeclVersion();
    declaration.encoding = p.GetDeclEncoding();
    declaration.standalone = p.GetDeclStandalone();
}

DOMDocument* CXMLObject::GetDocument() const {
    return m_impl->document;
}

DOMElement* CXMLObject::GetRootElement() const {
    return m_impl->root;
}

std::u16string CXMLObject::GetElementText(const DOMElement* element) const {
    if (!element)
        return {};
    const DOMNode* first = element->getFirstChild();
    if (!first || first->getNodeType() != DOMNode::TEXT_NODE)
        return {};
    return OrEmpty(first->getNodeValue());
}

DOMElement* CXMLObject::AppendTextNode(DOMElement* element, const char16_t* text) {
    if (!element || !m_impl->document)
        return element;
    element->appendChild(m_impl->document->createTextNode(text ? text : u""));
    return element;
}

DOMElement* CXMLObject::AppendChildElement(DOMElement* parent, const char16_t* name,
                                           const char16_t* text) {
    if (!name || !parent || !m_impl->document)
        return parent;
    DOMElement* child = m_impl->document->createElement(name);
    parent->appendChild(child);
    if (text)
        child->appendChild(m_impl->document->createTextNode(text));
    return parent;
}

int CXMLObject::DetachNode(DOMNode* node) {
    if (!node)
        return 0;
    DOMNode* parent = node->getParentNode();
    if (!parent)
        return 0;
    parent->removeChild(node);
    return 1;
}

void CXMLObject::AppendXMLDecl(const char16_t* version, const char16_t* encoding,
                               const char16_t* standalone) {
    m_declaration.present = true;
    m_declaration.version = version ? version : u"1.0";
    m_declaration.encoding = encoding ? encoding : u"";
    m_declaration.standalone = standalone ? standalone : u"";
}

int CXMLObject::SaveToFile(const char* path, mode_t newFileMode) {
    SaveFileOptions options;
    options.newFileMode = newFileMode;
    return SaveToFile(path, options, nullptr);
}

int CXMLObject::SaveToFile(const char* path, const SaveFileOptions& options,
                           SaveFileReport* report) {
    if (!path)
        throw PlainFailure(XML_ERR_NO_PATH, "No file path", __LINE__);
    if (!m_impl->document)
        return 0;
    // Paths keep the length limit the agent's own code has; a path the
    // locale cannot read would not have named a file either.
    const std::size_t length = std::strlen(path);
    std::u16string wide;
    if (length == 0 || length >= MAX_PATH || !LocaleToUtf16(path, CP_ACP, wide))
        return 0;
    // A file that may not be written is refused before anything is made.
    if (CheckFileReplaceable(path) != 0)
        return 0;

    // The whole text is made before the file is touched, and the file is
    // replaced in one step, so a failure at any point leaves the old file.
    const std::string text = SerializeNode(m_impl->document);
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 16 + 1);
    for (const char c : text) {
        if (c == '\n')
            bytes += '\r';
        bytes += c;
    }
    return SaveFile(path, bytes, options, report) == 0 ? 1 : 0;
}

int CXMLObject::PrintNode(const DOMNode* node, std::FILE* stream) {
    if (!node)
        return 0;
    const std::string text = SerializeNode(node);
    std::fwrite(text.data(), 1, text.size(), stream ? stream : stdout);
    return 1;
}

std::string CXMLObject::SerializeNode(const DOMNode* node) {
    Impl& impl = *m_impl;
    impl.output.clear();
    impl.formatter.reset();
    try {
        impl.formatter = std::make_unique<XMLFormatter>(
            impl.encoding.c_str(), this, XMLFormatter::NoEscapes, XMLFormatter::UnRep_CharRef);
        if (node)
            impl.Print(node, node == impl.document ? m_declaration : CXMLDeclaration{});
    } catch (const XMLException& e) {
        impl.output.clear();
        throw LibraryFailure(e, __LINE__);
    } catch (const OutOfMemoryException&) {
        impl.output.clear();
        throw PlainFailure(XML_ERR_PARSE, "Out of memory", __LINE__);
    }
    return impl.output;
}

// Writes the part of `node` that comes before its children; `descend` says
// whether its children follow (and so a closing part after them).
void CXMLObject::Impl::Open(const DOMNode* node, const CXMLDeclaration& declaration,
                            bool& descend) {
    XMLFormatter& out = *formatter;
    descend = false;
    switch (node->getNodeType()) {
    case DOMNode::ELEMENT_NODE: {
        const XMLCh* name = OrEmpty(node->getNodeName());
        out << XMLFormatter::NoEscapes << u"<" << name;
        if (const DOMNamedNodeMap* attributes = node->getAttributes()) {
            for (XMLSize_t i = 0; i < attributes->getLength(); ++i) {
                const DOMNode* attribute = attributes->item(i);
                out << XMLFormatter::NoEscapes << u" " << OrEmpty(attribute->getNodeName())
                    << u"=\"";
                WriteEscaped(out, OrEmpty(attribute->getNodeValue()), kAttributeSpecials);
                out << XMLFormatter::NoEscapes << u"\"";
            }
        }
        if (node->getFirstChild()) {
            out << XMLFormatter::NoEscapes << u">";
            descend = true;
        } else {
            out << XMLFormatter::NoEscapes << u"/>";
        }
        break;
    }
    case DOMNode::TEXT_NODE:
        WriteEscaped(out, OrEmpty(node->getNodeValue()), kCharDataSpecials);
        break;
    case DOMNode::CDATA_SECTION_NODE:
        out << XMLFormatter::NoEscapes << u"<![CDATA[" << OrEmpty(node->getNodeValue()) << u"]]>";
        break;
    case DOMNode::ENTITY_REFERENCE_NODE:
        out << XMLFormatter::NoEscapes << u"&" << OrEmpty(node->getNodeName()) << u";";
        break;
    case DOMNode::PROCESSING_INSTRUCTION_NODE: {
        const XMLCh* data = OrEmpty(node->getNodeValue());
        out << XMLFormatter::NoEscapes << u"<?" << OrEmpty(node->getNodeName());
        if (*data)
            out << u" " << data;
        out << u"?>";
        break;
    }
    case DOMNode::COMMENT_NODE:
        out << XMLFormatter::NoEscapes << u"<!--" << OrEmpty(node->getNodeValue()) << u"-->";
        break;
    case DOMNode::DOCUMENT_NODE:
        if (declaration.present) {
            out << u"<?xml version=\"" << declaration.version.c_str() << u"\" encoding=\"";
            out << ToWideString(encoding, CP_UTF8).c_str();
            if (!declaration.standalone.empty())
                out << u"\" standalone=\"" << declaration.standalone.c_str();
            out << u"\"?>\r\n";
        }
        descend = node->getFirstChild() != nullptr;
        break;
    case DOMNode::DOCUMENT_TYPE_NODE: {
        const auto* type = static_cast<const DOMDocumentType*>(node);
        const XMLCh* publicId = OrEmpty(type->getPublicId());
        const XMLCh* systemId = OrEmpty(type->getSystemId());
        const XMLCh* subset = OrEmpty(type->getInternalSubset());
        out << XMLFormatter::NoEscapes << u"<!DOCTYPE " << OrEmpty(type->getName());
        if (*publicId) {
            out << u" PUBLIC \"" << publicId << u"\"";
            if (*systemId)
                out << u" \"" << systemId << u"\"";
        } else if (*systemId) {
            out << u" SYSTEM \"" << systemId << u"\"";
        }
        if (*subset)
            out << u"[" << subset << u"]";
        out << u">";
        break;
    }
    default:
        std::fprintf(stderr, "Unrecognized node type = %d\n",
                     static_cast<int>(node->getNodeType()));
        break;
    }
}

void CXMLObject::Impl::Close(const DOMNode* node) {
    if (node->getNodeType() == DOMNode::ELEMENT_NODE)
        *formatter << XMLFormatter::NoEscapes << u"</" << OrEmpty(node->getNodeName()) << u">";
}

// Walks the tree without recursion: a hostile file may nest elements far
// deeper than the stack could follow.
void CXMLObject::Impl::Print(const DOMNode* top, const CXMLDeclaration& declaration) {
    const DOMNode* node = top;
    for (;;) {
        bool descend = false;
        Open(node, node == top ? declaration : CXMLDeclaration{}, descend);
        if (descend) {
            node = node->getFirstChild();
            continue;
        }
        while (node != top && !node->getNextSibling()) {
            node = node->getParentNode();
            Close(node);
        }
        if (node == top)
            return;
        node = node->getNextSibling();
    }
}

void CXMLObject::warning(const SAXParseException& e) {
    throw CXMLObjectException(XML_ERR_PARSE,
                              ParseFailureText(e.getColumnNumber(), e.getLineNumber(),
                                               e.getPublicId(), e.getSystemId(), __LINE__));
}

void CXMLObject::error(const SAXParseException& e) {
    throw CXMLObjectException(XML_ERR_PARSE,
                              ParseFailureText(e.getColumnNumber(), e.getLineNumber(),
                                               e.getPublicId(), e.getSystemId(), __LINE__));
}

void CXMLObject::fatalError(const SAXParseException& e) {
    throw CXMLObjectException(XML_ERR_PARSE,
                              ParseFailureText(e.getColumnNumber(), e.getLineNumber(),
                                               e.getPublicId(), e.getSystemId(), __LINE__));
}

void CXMLObject::writeChars(const XMLByte* toWrite, XMLSize_t count, XMLFormatter* /*formatter*/) {
    // The whole chunk, by its count: stopping at a NUL would silently drop
    // the rest of the document.
    m_impl->output.append(reinterpret_cast<const char*>(toWrite), count);
}

// ---------------------------------------------------------------------------
// CXMLObjectFilter, CXMLElementFinder

DOMNodeFilter::FilterAction CXMLObjectFilter::acceptNode(const DOMNode* node) const {
    if (m_nodeType == 0 || (node && node->getNodeType() == m_nodeType))
        return FILTER_ACCEPT;
    return m_reject ? FILTER_REJECT : FILTER_SKIP;
}

CXMLElementFinder::CXMLElementFinder(DOMDocument* document, short nodeType,
                                     unsigned long whatToShow)
    : m_document(document), m_filter(nodeType), m_nodeType(nodeType), m_whatToShow(whatToShow) {
    if (!document)
        throw PlainFailure(XML_ERR_NO_NODE, "No document to search", __LINE__);
    m_walker = m_document->createTreeWalker(m_document, m_whatToShow, &m_filter, true);
}

CXMLElementFinder::~CXMLElementFinder() {
    if (m_walker)
        m_walker->release();
}

DOMNode* CXMLElementFinder::FindElement(const char16_t* name) {
    if (!name) {
        m_lastFound = nullptr;
        return nullptr;
    }
    const std::u16string_view wanted(name);
    DOMNode* node = m_walker->getCurrentNode();
    while (node) {
        if (wanted == OrEmpty(node->getNodeName())) {
            m_lastFound = node;
            return node;
        }
        node = m_walker->nextNode();
    }
    m_lastFound = nullptr;
    return nullptr;
}
