#include "xml/CXMLAPI.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/system/AtomicFile.h"
#include "tests/support/TestSupport.h"

namespace {

using testsupport::DataFile;
using testsupport::FileExists;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

using XERCES_CPP_NAMESPACE::DOMDocumentFragment;
using XERCES_CPP_NAMESPACE::DOMImplementation;

// The module as the compiler named it: absolute, or relative to the build
// directory where a compiler cache rewrites the paths.
bool IsXmlModule(const std::string& file) {
    return file.ends_with("/xml/CXMLAPI.cpp");
}

CXMLObject ParseText(const char* text, bool ignoreErrors = false) {
    return CXMLObject(text, XML_SOURCE_MEMORY, ignoreErrors, 1, "UTF-8", 1, 1, false);
}

std::unique_ptr<CXMLObject> Load(const char* text) {
    return std::make_unique<CXMLObject>(text, XML_SOURCE_MEMORY, false, 1, "UTF-8", 1, 1, false);
}

std::unique_ptr<CXMLObject> LoadFile(const std::string& path) {
    return std::make_unique<CXMLObject>(path.c_str(), XML_SOURCE_FILE, false, 1, "UTF-8", 1, 1,
                                        false);
}

std::string RoundTrip(const char* text) {
    auto xml = Load(text);
    return xml->SerializeNode(xml->GetDocument());
}

// The parse failure's message without its trailing "\n[file|line]", after
// checking that the tail names this module.
std::string ParseFailureBody(const CXMLObjectException& e) {
    static const std::regex tail("\n\\[([^|\\]]+)\\|([0-9]+)\\]$");
    std::smatch match;
    const std::string& message = e.GetMessage();
    EXPECT_TRUE(std::regex_search(message, match, tail)) << message;
    if (match.empty())
        return message;
    EXPECT_TRUE(IsXmlModule(match[1].str())) << match[1].str();
    EXPECT_GT(std::stoi(match[2].str()), 0);
    return message.substr(0, static_cast<std::size_t>(match.position(0)));
}

std::string SaxText(int column, int line, const std::string& publicId,
                    const std::string& systemId) {
    return "The column number of the end of the text where the exception occurred=" +
           std::to_string(column) +
           "\nThe line number of the end of the text where the exception occurred=" +
           std::to_string(line) + "\ne.getPublicId=" + publicId + "\ne.getSystemId=" + systemId;
}

// A new status-like document as the configuration code builds it: the
// declaration, then the root whose first child is a CR, then each value
// element followed by a CR.
std::unique_ptr<CXMLObject> NewStatusDocument() {
    auto xml = std::make_unique<CXMLObject>("", XML_SOURCE_MEMORY, true, 1, "UTF-8", 1, 1, false);
    DOMDocument* document = xml->GetDocument();
    EXPECT_NE(document, nullptr);
    EXPECT_EQ(document->getFirstChild(), nullptr);
    xml->AppendXMLDecl(u"1.0", u"UTF-8", u"yes");
    DOMElement* root = document->createElement(u"AgentStatusData");
    document->appendChild(root);
    xml->AppendTextNode(root, u"\r");
    xml->AppendChildElement(root, u"AgentStatus", u"1");
    xml->AppendTextNode(root, u"\r");
    xml->AppendChildElement(root, u"ToolTag", u"0");
    xml->AppendTextNode(root, u"\r");
    return xml;
}

TEST(CXMLObjectSave, NewDocumentHasDeclarationThenCrCrLf) {
    TempDir dir;
    auto xml = NewStatusDocument();
    EXPECT_EQ(xml->SerializeNode(xml->GetDocument()),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
              "<AgentStatusData>\r<AgentStatus>1</AgentStatus>\r<ToolTag>0</ToolTag>\r"
              "</AgentStatusData>");
    ASSERT_EQ(xml->SaveToFile((dir / "AgentStatus.xml").c_str()), 1);
    EXPECT_EQ(ReadFileBytes(dir / "AgentStatus.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\r\n"
              "<AgentStatusData>\r<AgentStatus>1</AgentStatus>\r<ToolTag>0</ToolTag>\r"
              "</AgentStatusData>");
}

TEST(CXMLObjectSave, LoadedLineEndsComeBackAsCrLf) {
    TempDir dir;
    auto xml = LoadFile(DataFile("xml/LocalConfigLf.xml").string());
    ASSERT_EQ(xml->SaveToFile((dir / "out.xml").c_str()), 1);
    // The declaration had no standalone and gains only the encoding; the
    // file's last line end is outside the root and so not kept.
    EXPECT_EQ(ReadFileBytes(dir / "out.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\r\n"
              "<PXRAgentLocalConfig>\r\n\t<NetworkConfig>\r\n\t\t<ServerName>mgr.example</"
              "ServerName>\r\n\t\t<ServerPort>8080</ServerPort>\r\n\t</NetworkConfig>\r\n"
              "\t<DebugLog>\r\n\t\t<LogLevel>LL_FOR_ALL</LogLevel>\r\n\t</DebugLog>\r\n"
              "</PXRAgentLocalConfig>");

    // Saving the saved file again changes nothing: its CR LF were read as LF.
    auto again = LoadFile(dir / "out.xml");
    ASSERT_EQ(again->SaveToFile((dir / "out2.xml").c_str()), 1);
    EXPECT_EQ(ReadFileBytes(dir / "out2.xml"), ReadFileBytes(dir / "out.xml"));
}

TEST(CXMLObjectSave, OtherEncodingIsSavedAsUtf8) {
    TempDir dir;
    auto xml = LoadFile(DataFile("xml/Latin1Declared.xml").string());
    EXPECT_TRUE(xml->GetXMLDecl().present);
    EXPECT_EQ(xml->GetXMLDecl().encoding, u"ISO-8859-1");
    EXPECT_EQ(xml->GetElementText(static_cast<DOMElement*>(
                  xml->GetRootElement()->getElementsByTagName(u"AgentName")->item(0))),
              u"Caf\u00e9 \u00b5");
    ASSERT_EQ(xml->SaveToFile((dir / "out.xml").c_str()), 1);
    EXPECT_EQ(ReadFileBytes(dir / "out.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\r\n"
              "<AgentSysConfig>\r\n<AgentName>Caf\xc3\xa9 \xc2\xb5</AgentName>\r\n"
              "</AgentSysConfig>");
}

TEST(CXMLObjectSave, CrInTextAndAttributesStaysARawByte) {
    TempDir dir;
    auto xml = NewStatusDocument();
    DOMElement* root = xml->GetDocument()->getDocumentElement();
    DOMElement* note = xml->GetDocument()->createElement(u"Note");
    note->setAttribute(u"a", u"x\ry");
    root->appendChild(note);
    xml->AppendTextNode(note, u"one\rtwo\nthree");
    ASSERT_EQ(xml->SaveToFile((dir / "out.xml").c_str()), 1);
    const std::string bytes = ReadFileBytes(dir / "out.xml");
    EXPECT_NE(bytes.find("<Note a=\"x\ry\">one\rtwo\r\nthree</Note></AgentStatusData>"),
              std::string::npos)
        << bytes;
    EXPECT_EQ(bytes.find("&#"), std::string::npos);
}

TEST(CXMLObjectSave, MissingDirectoryLongPathAndNullPath) {
    TempDir dir;
    auto xml = NewStatusDocument();
    EXPECT_EQ(xml->SaveToFile((dir / "missing/AgentStatus.xml").c_str()), 0);
    EXPECT_FALSE(FileExists(dir / "missing"));
    EXPECT_EQ(xml->SaveToFile(""), 0);
    EXPECT_EQ(xml->SaveToFile((dir / "bad\xff.xml").c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));

    // 259 bytes is the longest path there is; 260 is refused untouched.
    std::string deep = dir / "";
    while (259 - deep.size() > 120) {
        deep += std::string(100, 'd') + "/";
        std::filesystem::create_directory(deep);
    }
    const std::string at259 = deep + std::string(259 - deep.size(), 'f');
    const std::string at260 = deep + std::string(260 - deep.size(), 'f');
    ASSERT_EQ(at259.size(), 259u);
    EXPECT_EQ(xml->SaveToFile(at260.c_str()), 0);
    EXPECT_FALSE(FileExists(at260));
    EXPECT_EQ(xml->SaveToFile(at259.c_str()), 1);
    EXPECT_TRUE(FileExists(at259));

    try {
        xml->SaveToFile(nullptr);
        FAIL() << "no exception for a null path";
    } catch (const CXMLObjectException& e) {
        EXPECT_EQ(e.GetCode(), XML_ERR_NO_PATH);
    }
}

TEST(CXMLObjectSave, FailedWriteLeavesThePreviousFileAndMode) {
    TempDir dir;
    const std::string path = dir / "AgentLocalConfig.xml";
    const std::string previous = "<?xml version=\"1.0\"?>\r\n<Old>\r\n</Old>";
    WriteFileBytes(path, previous);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);

    auto xml = NewStatusDocument();
    SetAtomicWriteFaultForTesting(1, ENOSPC);
    EXPECT_EQ(xml->SaveToFile(path.c_str()), 0);
    SetAtomicWriteFaultForTesting(0, 0);
    EXPECT_EQ(ReadFileBytes(path), previous);
    // Nothing but the file itself is left in the directory.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        ++entries;
    EXPECT_EQ(entries, 1u);

    ASSERT_EQ(xml->SaveToFile(path.c_str()), 1);
    EXPECT_EQ(ReadFileBytes(path).substr(0, 5), "<?xml");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST(CXMLObjectSave, UnwritableDirectoryKeepsTheFile) {
    TempDir dir;
    const std::filesystem::path locked = dir.Path() / "locked";
    std::filesystem::create_directory(locked);
    const std::string path = (locked / "AgentStatus.xml").string();
    WriteFileBytes(path, "old");
    ::chmod(dir.Path().c_str(), 0755);
    ::chmod(locked.c_str(), 0555);
    ::chmod(path.c_str(), 0666);
    auto xml = NewStatusDocument();
    const int rc = testsupport::RunUnprivileged([&] { return xml->SaveToFile(path.c_str()); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadFileBytes(path), "old");
    ::chmod(locked.c_str(), 0755);
}

struct SerializeCase {
    const char* name;
    const char* input;
    const char* output;
};

class CXMLSerializer : public ::testing::TestWithParam<SerializeCase> {};

TEST_P(CXMLSerializer, WritesExactBytes) {
    EXPECT_EQ(RoundTrip(GetParam().input), GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(
    NodeTypes, CXMLSerializer,
    ::testing::Values(
        SerializeCase{"NoDeclarationStaysWithout", "<a/>", "<a/>"},
        SerializeCase{"DeclarationWithoutStandalone", "<?xml version=\"1.0\"?><a/>",
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<a/>"},
        SerializeCase{"DeclarationKeepsStandaloneAndVersion",
                      "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?><a/>",
                      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n<a/>"},
        SerializeCase{"EmptyElementShortForm", "<a><b/><c></c></a>", "<a><b/><c/></a>"},
        SerializeCase{"TextEscapesLtGtAmpOnly", "<a>&lt;&gt;&amp;\"'</a>",
                      "<a>&lt;&gt;&amp;\"'</a>"},
        SerializeCase{"AttributeEscapesLtAmpQuoteOnly", "<a v=\"&lt;&gt;&amp;&quot;'\"/>",
                      "<a v=\"&lt;>&amp;&quot;'\"/>"},
        SerializeCase{"AttributesKeepMapOrder", "<a x=\"1\" y=\"2\"/>", "<a x=\"1\" y=\"2\"/>"},
        SerializeCase{"NonAsciiIsUtf8", "<a>\xe6\x97\xa5\xf0\x9f\x98\x80</a>",
                      "<a>\xe6\x97\xa5\xf0\x9f\x98\x80</a>"},
        SerializeCase{"CdataUnescaped", "<a><![CDATA[<&>]]></a>", "<a><![CDATA[<&>]]></a>"},
        SerializeCase{"CommentUnescaped", "<a><!-- <&> --></a>", "<a><!-- <&> --></a>"},
        SerializeCase{"ProcessingInstructionWithData", "<?pi some data?><a/>",
                      "<?pi some data?><a/>"},
        SerializeCase{"ProcessingInstructionWithoutData", "<a><?pi?></a>", "<a><?pi?></a>"},
        SerializeCase{"DoctypePublicAndSystem", "<!DOCTYPE a PUBLIC \"-//P//x\" \"a.dtd\"><a/>",
                      "<!DOCTYPE a PUBLIC \"-//P//x\" \"a.dtd\"><a/>"},
        SerializeCase{"DoctypeSystemOnly", "<!DOCTYPE a SYSTEM \"a.dtd\"><a/>",
                      "<!DOCTYPE a SYSTEM \"a.dtd\"><a/>"},
        SerializeCase{"DoctypeInternalSubsetAndEntityReference",
                      "<!DOCTYPE a [<!ENTITY e \"x y\">]><a>&e;&amp;</a>",
                      "<!DOCTYPE a[<!ENTITY e \"x y\">]><a>&e;&amp;</a>"},
        SerializeCase{"WhitespaceBetweenElementsKept", "<a>\n\t<b> </b>\r\n</a>",
                      "<a>\n\t<b> </b>\n</a>"}),
    [](const ::testing::TestParamInfo<SerializeCase>& info) { return info.param.name; });

TEST(CXMLSerializerBuilt, EmptyTextChildGetsLongFormAndDoctypeForms) {
    auto xml = NewStatusDocument();
    DOMDocument* document = xml->GetDocument();
    DOMElement* empty = document->createElement(u"Empty");
    xml->AppendTextNode(empty, u"");
    EXPECT_EQ(xml->SerializeNode(empty), "<Empty></Empty>");
    EXPECT_EQ(xml->SerializeNode(document->createElement(u"Bare")), "<Bare/>");

    // Types made apart from any document belong to the test.
    DOMImplementation* dom = document->getImplementation();
    const struct {
        const char16_t* publicId;
        const char16_t* systemId;
        const char* expected;
    } types[] = {
        {u"pub", u"sys", "<!DOCTYPE r PUBLIC \"pub\" \"sys\">"},
        {u"pub", nullptr, "<!DOCTYPE r PUBLIC \"pub\">"},
        {nullptr, u"sys", "<!DOCTYPE r SYSTEM \"sys\">"},
        {nullptr, nullptr, "<!DOCTYPE r>"},
    };
    for (const auto& t : types) {
        XERCES_CPP_NAMESPACE::DOMDocumentType* type =
            dom->createDocumentType(u"r", t.publicId, t.systemId);
        EXPECT_EQ(xml->SerializeNode(type), t.expected);
        type->release();
    }

    // Text is escaped for itself only: the attribute after it still gets
    // the attribute rules.
    DOMElement* mixed = document->createElement(u"M");
    xml->AppendTextNode(mixed, u"a>\"b");
    DOMElement* inner = document->createElement(u"I");
    inner->setAttribute(u"q", u">\"");
    mixed->appendChild(inner);
    EXPECT_EQ(xml->SerializeNode(mixed), "<M>a&gt;\"b<I q=\">&quot;\"/></M>");

    EXPECT_EQ(xml->SerializeNode(nullptr), "");
}

TEST(CXMLSerializerBuilt, UnknownNodeTypeGoesToStandardError) {
    auto xml = Load("<a/>");
    DOMDocument* document = xml->GetDocument();
    DOMDocumentFragment* fragment = document->createDocumentFragment();
    fragment->appendChild(document->createElement(u"x"));
    DOMElement* holder = document->createElement(u"h");
    holder->setAttribute(u"k", u"v");
    ::testing::internal::CaptureStderr();
    const std::string out = xml->SerializeNode(fragment);
    const std::string attr = xml->SerializeNode(holder->getAttributeNode(u"k"));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "");
    EXPECT_EQ(attr, "");
    EXPECT_EQ(err, "Unrecognized node type = 11\nUnrecognized node type = 2\n");
}

TEST(CXMLSerializerBuilt, UnknownEncodingIsALibraryFailure) {
    CXMLObject xml("<a/>", XML_SOURCE_MEMORY, false, 1, "NO-SUCH-CHARSET", 1, 1, false);
    try {
        xml.SerializeNode(xml.GetDocument());
        FAIL() << "an unknown output encoding was accepted";
    } catch (const CXMLObjectException& e) {
        static const std::regex form("File name is[^\n]+\\.cpp\nThe line number of the end of the "
                                     "text where the exception occurred=[0-9]+\n\\[([^|]+)\\|"
                                     "[0-9]+\\]");
        std::smatch match;
        ASSERT_TRUE(std::regex_match(e.GetMessage(), match, form)) << e.GetMessage();
        EXPECT_TRUE(IsXmlModule(match[1].str())) << match[1].str();
    }
}

TEST(CXMLSerializerBuilt, DeepNestingDoesNotExhaustTheStack) {
    std::string text;
    constexpr int depth = 200000;
    for (int i = 0; i < depth; ++i)
        text += "<e>";
    for (int i = 0; i < depth; ++i)
        text += "</e>";
    std::string expected;
    for (int i = 1; i < depth; ++i)
        expected += "<e>";
    expected += "<e/>";
    for (int i = 1; i < depth; ++i)
        expected += "</e>";
    auto xml = Load(text.c_str());
    EXPECT_EQ(xml->SerializeNode(xml->GetDocument()), expected);
}

TEST(CXMLObjectText, GetElementTextLooksAtTheFirstChildOnly) {
    auto xml = Load("<r><t>value</t><c><!--x-->text</c><d><![CDATA[cd]]></d><n/>"
                    "<m>first<e/>second</m><s>a&amp;b</s></r>");
    auto child = [&](const char16_t* name) {
        return static_cast<DOMElement*>(xml->GetDocument()->getElementsByTagName(name)->item(0));
    };
    EXPECT_EQ(xml->GetElementText(child(u"t")), u"value");
    EXPECT_EQ(xml->GetElementText(child(u"c")), u"");
    EXPECT_EQ(xml->GetElementText(child(u"d")), u"");
    EXPECT_EQ(xml->GetElementText(child(u"n")), u"");
    EXPECT_EQ(xml->GetElementText(child(u"m")), u"first");
    EXPECT_EQ(xml->GetElementText(child(u"s")), u"a&b");
    EXPECT_EQ(xml->GetElementText(nullptr), u"");
}

TEST(CXMLObjectEdit, AppendAndDetach) {
    auto xml = Load("<r/>");
    DOMElement* root = xml->GetRootElement();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(xml->AppendChildElement(root, nullptr, u"ignored"), root);
    EXPECT_EQ(xml->AppendChildElement(root, u"a", u"1"), root);
    EXPECT_EQ(xml->AppendChildElement(root, u"b", nullptr), root);
    EXPECT_EQ(xml->AppendTextNode(root, u"<t>"), root);
    EXPECT_EQ(xml->SerializeNode(xml->GetDocument()), "<r><a>1</a><b/>&lt;t&gt;</r>");

    DOMNode* a = root->getFirstChild();
    EXPECT_EQ(xml->DetachNode(a), 1);
    EXPECT_EQ(xml->DetachNode(a), 0);
    EXPECT_EQ(xml->DetachNode(nullptr), 0);
    EXPECT_EQ(xml->SerializeNode(xml->GetDocument()), "<r><b/>&lt;t&gt;</r>");

    // The root may be detached and the document rebuilt before the object
    // goes away.
    EXPECT_EQ(xml->DetachNode(root), 1);
    xml->GetDocument()->appendChild(xml->GetDocument()->createElement(u"other"));
    EXPECT_EQ(xml->SerializeNode(xml->GetDocument()), "<other/>");
}

TEST(CXMLObjectSources, WideMemoryStandardInputAndPrint) {
    CXMLObject wide(u"<a>\u00e9\U0001F600</a>", XML_SOURCE_MEMORY, false, 1, "UTF-8", 1, 1, false);
    EXPECT_EQ(wide.SerializeNode(wide.GetDocument()), "<a>\xc3\xa9\xf0\x9f\x98\x80</a>");

    TempDir dir;
    WriteFileBytes(dir / "in.xml", "<?xml version=\"1.0\"?><fromStdin/>");
    const int saved = ::dup(0);
    const int input = ::open((dir / "in.xml").c_str(), O_RDONLY);
    ASSERT_GE(input, 0);
    ::dup2(input, 0);
    ::close(input);
    std::string printed;
    {
        CXMLObject xml("-", XML_SOURCE_STDIN, false, 1, "UTF-8", 1, 1, false);
        ::dup2(saved, 0);
        ::close(saved);
        std::FILE* out = std::fopen((dir / "printed").c_str(), "wb");
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(xml.PrintNode(xml.GetDocument(), out), 1);
        EXPECT_EQ(xml.PrintNode(nullptr, out), 0);
        std::fclose(out);
    }
    EXPECT_EQ(ReadFileBytes(dir / "printed"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<fromStdin/>");

    // A wide path is a file path as well.
    const std::u16string widePath = dir.Path().u16string() + u"/\u00e9.xml";
    WriteFileBytes(dir.Path() / std::filesystem::path(u8"\u00e9.xml"), "<w/>");
    CXMLObject fromWide(widePath.c_str(), XML_SOURCE_FILE, false, 1, "UTF-8", 1, 1, false);
    EXPECT_EQ(fromWide.SerializeNode(fromWide.GetDocument()), "<w/>");
}

TEST(CXMLElementFinder, FirstMatchContinueAndEarlierIsNull) {
    auto xml = Load("<PXRAgentLocalConfig><Version>1</Version><Outer><NetworkConfig>"
                    "<ServerName>a</ServerName></NetworkConfig></Outer>"
                    "<NetworkConfig><ServerName>b</ServerName></NetworkConfig>"
                    "</PXRAgentLocalConfig>");
    DOMDocument* document = xml->GetDocument();
    CXMLElementFinder finder(document, DOMNode::ELEMENT_NODE, 0xFFFF);
    DOMNode* first = finder.FindElement(u"NetworkConfig");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->getParentNode()->getNodeName(), std::u16string_view(u"Outer"));
    // The same name again stays on the same element.
    EXPECT_EQ(finder.FindElement(u"NetworkConfig"), first);
    DOMNode* server = finder.FindElement(u"ServerName");
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(xml->GetElementText(static_cast<DOMElement*>(server)), u"a");
    // An element before the current position is not found any more.
    EXPECT_EQ(finder.FindElement(u"Version"), nullptr);
    // Names are compared exactly.
    CXMLElementFinder other(document, DOMNode::ELEMENT_NODE, 0xFFFF);
    EXPECT_EQ(other.FindElement(u"networkconfig"), nullptr);
    CXMLElementFinder fresh(document, DOMNode::ELEMENT_NODE, 0xFFFF);
    EXPECT_EQ(fresh.FindElement(u"Version"), document->getDocumentElement()->getFirstChild());
    EXPECT_EQ(fresh.FindElement(nullptr), nullptr);

    try {
        CXMLElementFinder none(nullptr, DOMNode::ELEMENT_NODE, 0xFFFF);
        FAIL() << "a finder was made without a document";
    } catch (const CXMLObjectException& e) {
        EXPECT_EQ(e.GetCode(), XML_ERR_NO_NODE);
    }
}

TEST(CXMLObjectErrors, ParseFailureTexts) {
    try {
        ParseText("<a>\n<b></a>");
        FAIL() << "mismatched tags were accepted";
    } catch (const CXMLObjectException& e) {
        EXPECT_EQ(e.GetCode(), XML_ERR_PARSE);
        EXPECT_EQ(ParseFailureBody(e), SaxText(6, 2, "Unknow", "Unknow"));
    }

    TempDir dir;
    const std::string broken = dir / "broken.xml";
    WriteFileBytes(broken, "<a>\n\n  <b>");
    try {
        LoadFile(broken);
        FAIL() << "a truncated file was accepted";
    } catch (const CXMLObjectException& e) {
        EXPECT_EQ(ParseFailureBody(e), SaxText(6, 3, "Unknow", broken));
    }

    const std::string missing = dir / "missing.xml";
    try {
        LoadFile(missing);
        FAIL() << "a missing file was accepted";
    } catch (const CXMLObjectException& e) {
        EXPECT_EQ(ParseFailureBody(e), SaxText(0, 0, "Unknow", missing));
    }

    // A warning ends the parse like an error.
    try {
        ParseText("<!DOCTYPE a [<!ATTLIST a x CDATA #IMPLIED><!ATTLIST a x CDATA #IMPLIED>]><a/>");
        FAIL() << "a warning did not end the parse";
    } catch (const CXMLObjectException& e) {
        EXPECT_EQ(ParseFailureBody(e), SaxText(56, 1, "Unknow", "Unknow"));
    }
}

TEST(CXMLObjectErrors, BadInputAlwaysThrows) {
    TempDir dir;
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"blank", " \n"},
        {"truncated", "<?xml version=\"1.0\"?><a><b>"},
        {"two roots", "<a/><b/>"},
        {"invalid UTF-8", "<a>\xc3\x28</a>"},
        {"lone continuation byte", "<a>\x80</a>"},
        {"encoded surrogate", "<a>\xed\xa0\x80</a>"},
        {"NUL byte", std::string("<a>\0</a>", 8)},
        {"undeclared entity", "<a>&nope;</a>"},
        {"UTF-16 declared, UTF-8 given", "<?xml version=\"1.0\" encoding=\"UTF-16\"?><a/>"},
        {"unknown encoding", "<?xml version=\"1.0\" encoding=\"x-nothing\"?><a/>"},
        {"directory", "DIR"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir / "case.xml";
        if (c.bytes == "DIR")
            path = dir.Path().string();
        else
            WriteFileBytes(path, c.bytes);
        EXPECT_THROW(LoadFile(path), CXMLObjectException);
    }
    EXPECT_THROW(CXMLObject("<a/>", 4, false, 1, "UTF-8", 1, 1, false), CXMLObjectException);
}

TEST(CXMLObjectErrors, IgnoredErrorsKeepWhatWasParsed) {
    auto xml = std::make_unique<CXMLObject>("<a><b>text</b><c>", XML_SOURCE_MEMORY, true, 1,
                                            "UTF-8", 1, 1, false);
    ASSERT_NE(xml->GetRootElement(), nullptr);
    EXPECT_EQ(xml->SerializeNode(xml->GetDocument()), "<a><b>text</b><c/></a>");
}

TEST(CXMLObjectSecurity, ExternalEntitiesAreNeverRead) {
    TempDir dir;
    const std::string secret = dir / "secret.txt";
    WriteFileBytes(secret, "TOP-SECRET-VALUE");
    const std::string dtd = dir / "leak.dtd";
    WriteFileBytes(dtd, "<!ENTITY leak \"TOP-SECRET-VALUE\">");

    const std::string documents[] = {
        "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + secret + "\">]><r>&x;</r>",
        "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + secret + "\">]><r a=\"1\">&x;</r>",
        "<!DOCTYPE r [<!ENTITY % p SYSTEM \"file://" + dtd + "\"> %p;]><r>&leak;</r>",
        "<!DOCTYPE r SYSTEM \"file://" + dtd + "\"><r>&leak;</r>",
        "<!DOCTYPE r SYSTEM \"http://127.0.0.1:9/leak.dtd\"><r>&leak;</r>",
    };
    for (const std::string& text : documents) {
        for (const bool validate : {false, true}) {
            SCOPED_TRACE(text + (validate ? " validating" : ""));
            try {
                CXMLObject xml(text.c_str(), XML_SOURCE_MEMORY, false, 1, "UTF-8", 1, 1, validate);
                EXPECT_EQ(xml.SerializeNode(xml.GetDocument()).find("TOP-SECRET"),
                          std::string::npos);
                // Entity references serialize as their names, so look at
                // what they expanded to as well.
                const XMLCh* content = xml.GetRootElement()->getTextContent();
                EXPECT_EQ(std::u16string_view(content ? content : u"").find(u"TOP-SECRET"),
                          std::u16string_view::npos);
            } catch (const CXMLObjectException& e) {
                EXPECT_EQ(e.GetMessage().find("TOP-SECRET"), std::string::npos);
            }
        }
    }
    // The general entity in content does not load quietly: it fails.
    const std::string direct = documents[0];
    EXPECT_THROW(ParseText(direct.c_str()), CXMLObjectException);
}

TEST(CXMLObjectSecurity, EntityExpansionIsBounded) {
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"lollollollol\">";
    char previous = 'a';
    for (char name = 'b'; name <= 'j'; ++name) {
        laughs += std::string("<!ENTITY ") + name + " \"";
        for (int i = 0; i < 10; ++i)
            laughs += std::string("&") + previous + ";";
        laughs += "\">";
        previous = name;
    }
    laughs += "]>";
    // A large entity referenced many times is the other way to blow up.
    const std::string big = "<!DOCTYPE l [<!ENTITY a \"" + std::string(10000, 'x') + "\">]><l>" +
                            [] {
                                std::string refs;
                                for (int i = 0; i < 5000; ++i)
                                    refs += "&a;";
                                return refs;
                            }() +
                            "</l>";
    const std::string documents[] = {laughs + "<l>&j;</l>", laughs + "<l v=\"&j;\"/>", big};
    for (const std::string& text : documents) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(ParseText(text.c_str()), CXMLObjectException);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    }
    // A few references are fine.
    auto ok = Load("<!DOCTYPE l [<!ENTITY a \"A\"><!ENTITY b \"&a;&a;\">]><l>&b;&b;</l>");
    EXPECT_EQ(ok->SerializeNode(ok->GetDocument()),
              "<!DOCTYPE l[<!ENTITY a \"A\"><!ENTITY b \"&a;&a;\">]><l>&b;&b;</l>");
}

} // namespace

namespace {

std::string WithEntityReferences(int references, const std::string& value = "Norvale Corp.") {
    std::string text = "<?xml version=\"1.0\"?>\n<!DOCTYPE AgentLocalConfig [\n"
                       "  <!ENTITY vendor \"" +
                       value +
                       "\">\n  <!ENTITY server \"mgmt.&vendor;\">\n]>\n"
                       "<AgentLocalConfig>";
    for (int i = 0; i < references; ++i)
        text += i % 2 ? "<Note>&vendor;</Note>" : "<Host name=\"&server;\">&server;</Host>";
    return text + "</AgentLocalConfig>";
}

} // namespace

TEST(CXMLObjectSecurity, HandEditedDocumentsWithEntitiesLoadAndBombsStopQuickly) {
    struct Case {
        const char* name;
        std::string text;
        bool loads;
    } cases[] = {
        // Each Host holds two references that expand two entities each.
        {"a few hundred references", WithEntityReferences(400), true},
        {"a couple of thousand expansions", WithEntityReferences(1000), true},
        {"too many expansions", WithEntityReferences(2200), false},
        {"a large entity repeated", WithEntityReferences(1000, std::string(20000, 'x')), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = std::chrono::steady_clock::now();
        if (c.loads) {
            auto xml = Load(c.text.c_str());
            const XMLCh* content = xml->GetRootElement()->getTextContent();
            EXPECT_NE(std::u16string_view(content).find(u"mgmt.Norvale Corp."),
                      std::u16string_view::npos);
        } else {
            EXPECT_THROW(ParseText(c.text.c_str()), CXMLObjectException);
        }
        // A bomb that got through would run for minutes; the bound is wide
        // enough for a sanitizer build on a loaded machine.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    }
}
