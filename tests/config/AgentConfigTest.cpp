// Element accessors, the range check and the agent's registry values.

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "config/AgentConfig.h"
#include "tests/config/ConfigTestSupport.h"
#include "xml/CXMLAPI.h"

using namespace configtest;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

namespace {

std::unique_ptr<CXMLObject> Parse(const char* text) {
    return std::make_unique<CXMLObject>(text, XML_SOURCE_MEMORY, false, 1, "UTF-8", 1, 1, false);
}

constexpr char READ_DOC[] = "<Root><A>first</A><A>second</A><N>42</N><Zeros>0000000001</Zeros>"
                            "<Max>2147483647</Max><Over>2147483648</Over><Neg>-1</Neg>"
                            "<Blank> 1</Blank><Plus>+1</Plus><Empty/><Comment><!--c-->7</Comment>"
                            "<Nested><Deep>5</Deep></Nested></Root>";

class ElementAccessorTest : public ConfigTest {};

TEST_F(ElementAccessorTest, IntegerReadersAcceptOnlyPlainDigits) {
    struct Case {
        const char16_t* name;
        bool found;
        int32_t value;
        bool notInteger; // found, but its text is refused
    };
    const Case cases[] = {
        {u"N", true, 42, false},     {u"Zeros", true, 1, false},  {u"Max", true, 2147483647, false},
        {u"Over", false, -7, true},  {u"Neg", false, -7, true},   {u"Blank", false, -7, true},
        {u"Plus", false, -7, true},  {u"Empty", false, -7, true}, {u"Comment", false, -7, true},
        {u"Deep", false, -7, false}, {u"n", false, -7, false},
    };
    auto xml = Parse(READ_DOC);
    for (const Case& c : cases) {
        SCOPED_TRACE(ToNarrowString(c.name, CP_ACP));
        const std::string before = Log();
        int32_t value = -7;
        EXPECT_EQ(GetChildInt(*xml, xml->GetRootElement(), c.name, value), c.found);
        EXPECT_EQ(value, c.value);
        const std::string added = Log().substr(before.size());
        const std::string missing =
            WarningLine("Failed to read the value of " + ToNarrowString(c.name, CP_ACP) + ", [");
        EXPECT_EQ(CountOf(added, WarningLine("Can't convert into integer, [AgentConfig.cpp|")),
                  c.notInteger ? 1 : 0);
        EXPECT_EQ(CountOf(added, missing), c.found ? 0 : 1);
    }
}

TEST_F(ElementAccessorTest, TextReadersTakeTheFirstDirectChild) {
    auto xml = Parse(READ_DOC);
    DOMElement* root = xml->GetRootElement();
    std::u16string text = u"kept";
    EXPECT_TRUE(GetChildText(*xml, root, u"A", text));
    EXPECT_EQ(text, u"first");
    EXPECT_TRUE(GetChildText(*xml, root, u"Comment", text));
    EXPECT_EQ(text, u""); // the first child is the comment
    text = u"kept";
    EXPECT_FALSE(GetChildText(*xml, root, u"Deep", text));
    EXPECT_EQ(text, u"kept");

    std::string narrow = "kept";
    EXPECT_FALSE(GetChildTextA(*xml, root, u"Missing", narrow));
    EXPECT_EQ(narrow, "kept");
    EXPECT_TRUE(GetChildTextA(*xml, root, u"N", narrow));
    EXPECT_EQ(narrow, "42");

    DOMElement* found = nullptr;
    EXPECT_FALSE(FindChildElement(*xml, root, u"Deep", found));
    EXPECT_EQ(found, nullptr);
    EXPECT_TRUE(FindChildElement(*xml, root, u"Nested", found));
    ASSERT_NE(found, nullptr);

    // The text readers' "not found" differs only in its kind.
    const std::string log = Log();
    EXPECT_EQ(CountOf(log, InfoLine("Failed to read the value of Deep, [AgentConfig.cpp|")), 1);
    EXPECT_EQ(CountOf(log, WarningLine("Failed to read the value of Missing, [")), 1);
    EXPECT_EQ(CountOf(log, WarningLine("Failed to read the value of Deep, [")), 1);
}

TEST_F(ElementAccessorTest, WritersReplaceInPlaceOrAppendWithALineBreak) {
    struct Case {
        const char* name;
        const char* input;
        std::function<void(CXMLObject&, DOMElement*)> edit;
        const char* expected;
    };
    const Case cases[] = {
        {"replace keeps the neighbours, drops attributes and children",
         "<R>a<X k=\"v\"><Y/>old</X>b<X>second</X></R>",
         [](CXMLObject& x, DOMElement* r) { SetChildText(x, r, u"X", u"new"); },
         "<R>a<X>new</X>b<X>second</X></R>"},
        {"missing element appended with a carriage return", "<R><A>1</A>\n</R>",
         [](CXMLObject& x, DOMElement* r) { SetChildInt(x, r, u"N", -5); },
         "<R><A>1</A>\n<N>-5</N>\r</R>"},
        {"empty value still gets a text node", "<R/>",
         [](CXMLObject& x, DOMElement* r) { SetChildTextA(x, r, u"P", ""); }, "<R><P></P>\r</R>"},
        {"append never replaces", "<R><A>1</A></R>",
         [](CXMLObject& x, DOMElement* r) {
             AppendChildText(x, r, u"A", u"2");
             AppendChildTextA(x, r, u"B", "\xC3\xA9");
             AppendChildInt(x, r, u"C", 2147483647);
         },
         "<R><A>1</A><A>2</A>\r<B>\xC3\xA9</B>\r<C>2147483647</C>\r</R>"},
        {"container has a line break first and after it", "<R/>",
         [](CXMLObject& x, DOMElement* r) {
             DOMElement* c = nullptr;
             AppendContainer(x, r, u"Box", c);
             AppendChildInt(x, c, u"V", 1);
         },
         "<R><Box>\r<V>1</V>\r</Box>\r</R>"},
        {"find-or-append finds the first, or appends a bare element", "<R><P>1</P><P>2</P></R>",
         [](CXMLObject& x, DOMElement* r) {
             DOMElement* p = nullptr;
             FindOrAppendChild(x, r, u"P", p);
             SetChildInt(x, p, u"In", 1);
             FindOrAppendChild(x, r, u"Q", p);
             SetChildInt(x, p, u"In", 2);
         },
         "<R><P>1<In>1</In>\r</P><P>2</P><Q><In>2</In>\r</Q>\r</R>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto xml = Parse(c.input);
        c.edit(*xml, xml->GetRootElement());
        EXPECT_EQ(xml->SerializeNode(xml->GetRootElement()), c.expected);
    }
}

TEST_F(ElementAccessorTest, CheckRangeIsInclusiveAndLogsTheBoundItMissed) {
    struct Case {
        int32_t value;
        bool inRange;
        int32_t result;
        const char* line;
    };
    const Case cases[] = {
        {10, true, 10, nullptr},
        {20, true, 20, nullptr},
        {9, false, 15, "The value(9) is smaller than the minimum value(10). [AgentConfig.cpp|"},
        {21, false, 15, "The value(21) is larger than the maximum value(20). [AgentConfig.cpp|"},
        {-2147483647 - 1, false, 15,
         "The value(-2147483648) is smaller than the minimum value(10). ["},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const std::size_t before = Log().size();
        int32_t value = c.value;
        EXPECT_EQ(CheckRange(value, 20, 10, 15), c.inRange);
        EXPECT_EQ(value, c.result);
        const std::string added = Log().substr(before);
        if (c.line)
            EXPECT_EQ(CountOf(added, WarningLine(c.line)), 1);
        else
            EXPECT_EQ(added, "");
    }
}

class AgentRegistryTest : public ConfigTest {};

TEST_F(AgentRegistryTest, SavesWriteDecimalTextOfEachValue) {
    EXPECT_EQ(SaveAgentStatusReg(16), 0);
    EXPECT_EQ(SaveToolExitTagReg(-1), 0);
    EXPECT_EQ(ReadFileBytes(AgentRegistryValueFile("AgentStatus")), "16");
    EXPECT_EQ(ReadFileBytes(AgentRegistryValueFile("ToolTag")), "-1");
    const std::string log = Log();
    EXPECT_EQ(CountOf(log, InfoLine("Save Agent status Reg. [AgentConfig.cpp|")), 1);
    EXPECT_EQ(CountOf(log, InfoLine("Save Tool Exit Tag Reg. [AgentConfig.cpp|")), 1);
}

TEST_F(AgentRegistryTest, LoadTakesStoredValuesAndCreatesMissingOnesFromTheRecord) {
    std::filesystem::create_directories(AgentRegistryValueFile("AgentStatus").parent_path());
    WriteFileBytes(AgentRegistryValueFile("AgentStatus"), "32");
    AgentStatusRecord record{1, 4, 9, 1, 1};
    EXPECT_EQ(LoadStatusReg(record), 0);
    EXPECT_EQ(record, (AgentStatusRecord{1, 32, 9, 1, 1}));
    EXPECT_EQ(ReadFileBytes(AgentRegistryValueFile("ToolTag")), "9");
    const std::string log = Log();
    EXPECT_EQ(CountOf(log, InfoLine("Begin to load Agent status Reg. [AgentConfig.cpp|")), 1);
    EXPECT_EQ(CountOf(log, WarningLine("Failed to read register item: ToolTag, [")), 1);
    EXPECT_EQ(CountOf(log, "register item: AgentStatus"), 0);
}

TEST_F(AgentRegistryTest, AKeyThatCannotBeOpenedFailsEveryOperation) {
    // A registry root below a regular file can never be created.
    WriteFileBytes(m_temp.Path() / "plainfile", "x");
    ::setenv(REGISTRY_ROOT_ENV, (m_temp.Path() / "plainfile" / "root").c_str(), 1);
    AgentStatusRecord record{0, 4, 0, 0, 0};
    EXPECT_EQ(LoadStatusReg(record), ERR_CONFIG_LOAD);
    EXPECT_EQ(record, (AgentStatusRecord{0, 4, 0, 0, 0}));
    EXPECT_EQ(SaveAgentStatusReg(16), ERR_CONFIG_SAVE);
    EXPECT_EQ(SaveToolExitTagReg(0), ERR_CONFIG_SAVE);
    EXPECT_EQ(CountOf(Log(), WarningLine("Failed to open register entry: "
                                         "SOFTWARE\\Norvale\\OPAL4HBS\\Agent, [AgentConfig.cpp|")),
              3);
}

} // namespace
