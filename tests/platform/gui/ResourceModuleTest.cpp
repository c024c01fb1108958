// Resource modules: the program's own bundle, the shipped Japanese library
// and a small test library; the framework's lookup against the direct one.

#include <map>
#include <optional>
#include <regex>
#include <string>

#include <QFile>
#include <QString>
#include <gtest/gtest.h>

#include "platform/gui/ResourceLookup.h"
#include "platform/gui/ResourceModule.h"
#include "tests/support/TestSupport.h"

namespace {

using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

std::string Utf8(const std::u16string& text) {
    return QString::fromStdU16String(text).toStdString();
}

std::unique_ptr<CResourceModule> Load(const std::string& path) {
    QString why;
    std::unique_ptr<CResourceModule> module = CResourceModule::LoadLibraryFile(path, &why);
    EXPECT_TRUE(module) << path << ": " << why.toStdString();
    return module;
}

// Restores the framework's selection after each test.
class ResourceModuleTest : public ::testing::Test {
protected:
    void TearDown() override { CResourceLookup::SetResourceModule(nullptr); }
    const CResourceModule& Program() const { return *CResourceLookup::ProgramModule(); }
};

TEST_F(ResourceModuleTest, StringPresentAbsentOrEmptyInALibrary) {
    const auto library = Load(OPAL_TEST_LIBRARY);
    ASSERT_TRUE(library);
    const struct {
        unsigned id;
        std::optional<std::u16string> expected;
    } cases[] = {
        {7014, u"Allgemein"}, {7033, u""}, // present and empty
        {7015, std::nullopt},              // absent
        {7999, std::nullopt}, {9000, u"\U0001D11E clef"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(library->LoadString(c.id), c.expected) << c.id;
}

TEST_F(ResourceModuleTest, LongStringsAreCutWithoutSplittingACharacter) {
    const auto library = Load(OPAL_TEST_LIBRARY);
    ASSERT_TRUE(library);
    EXPECT_EQ(library->LoadString(7014, 4), u"Allg");
    EXPECT_EQ(library->LoadString(7014, 0), u"");
    EXPECT_EQ(library->LoadString(7014, 9), u"Allgemein");
    // U+1D11E is two UTF-16 units; a cut inside it drops it whole.
    EXPECT_EQ(library->LoadString(9000, 1), u"");
    EXPECT_EQ(library->LoadString(9000, 2), u"\U0001D11E");
}

TEST_F(ResourceModuleTest, FrameworkLookupAsksTheLibraryFirstDirectLookupOnlyIt) {
    const auto library = Load(OPAL_TEST_LIBRARY);
    ASSERT_TRUE(library);
    CResourceLookup::SetResourceModule(library.get());

    // In the library: its own text either way.
    EXPECT_EQ(CResourceLookup::LoadString(7014), u"Allgemein");
    // Missing from the library: the framework falls back to English, the
    // direct lookup finds nothing.
    EXPECT_EQ(CResourceLookup::LoadString(7015), u"Advanced");
    EXPECT_EQ(library->LoadString(7015), std::nullopt);
    // An empty string in the library is a found string: no fallback.
    EXPECT_EQ(CResourceLookup::LoadString(7033), u"");

    // Templates and bitmaps follow the same rule.
    const std::optional<CDialogTemplate> own = CResourceLookup::LoadDialog(165);
    ASSERT_TRUE(own);
    EXPECT_EQ(own->caption, QStringLiteral("HTTPS-Einstellungen"));
    const std::optional<CDialogTemplate> sheet = CResourceLookup::LoadDialog(130);
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->caption, QStringLiteral("Agent "));
    EXPECT_FALSE(library->LoadDialog(130));
    EXPECT_EQ(CResourceLookup::LoadBitmap(137).size(), QSize(280, 44));
    EXPECT_TRUE(library->LoadBitmap(137).isNull());

    CResourceLookup::SetResourceModule(nullptr);
    EXPECT_EQ(CResourceLookup::LoadString(7014), u"General");
    EXPECT_EQ(CResourceLookup::ResourceModule(), CResourceLookup::ProgramModule());
}

TEST_F(ResourceModuleTest, ProgramStringsAreTheEnglishTexts) {
    const std::map<unsigned, std::u16string> texts = {
        {7000, u"[%s] cannot accept an empty string. Enter a valid IP Address or Domain Name."},
        {7001, u"[%s] cannot accept an invalid number. Enter a number between 1 and 65535."},
        {7002, u"[Kestrel Server] and [Proxy server] cannot have the same configuration. Enter two "
               u"different server names or ports."},
        {7004, u"[%s] cannot contain illegal character(s):"},
        {7009, u"Info"},
        {7010, u"Warning"},
        {7011, u"Stop \"%s\" service successfully"},
        {7012, u"Start \"%s\" service successfully"},
        {7013, u"Restart \"%s\" service successfully"},
        {7014, u"General"},
        {7015, u"Advanced"},
        {7016, u"\ncannot accept: "},
        {7019,
         u"Unable to connect to the server.  It may be invalid settings. Enter valid settings "
         u"and try again."},
        {7020, u"Connect to the server successfully."},
        {7021, u"[%s] cannot enter an empty port number. Enter a valid port number."},
        {7022, u"Kestrel Agent Setting Tool"},
        {7023, u"[%s] cannot contain non-digit character(s). Enter a valid number."},
        {7030, u"Invalid file path. The root CA certificate file path cannot exceed 256 bytes. "
               u"Please type a valid file path and try again."},
        {7031, u"Invalid file path. The client certificate file path cannot exceed 256 bytes. "
               u"Please type a valid file path and try again."},
        {7032,
         u"The root CA certificate has not been specified. Please click Settings to specify a "
         u"root CA certificate."},
        {7033, u"An instance of Kestrel Agent Setting Tool is already running. Multiple instances "
               u"running at the same time are not supported."},
        {7034,
         u"Invalid file path. The root CA certificate file path is blank. Please type a valid "
         u"file path and try again."},
        {7035, u"Invalid file path. The client certificate file path is blank. Please type a valid "
               u"file path and try again."},
        {7036, u"The user name field for authenticated access is empty. Please type a valid user "
               u"name."},
        {7037, u"An error occurred loading the network configuration. Please verify that the "
               u"network configuration file is valid and correct, and try again."},
        {7038, u"An error occurred loading the working configuration. Please verify that the "
               u"working configuration file is valid and correct, and try again."},
        {7039, u"An error occurred saving the network configuration. Please verify that the "
               u"network configuration file is valid, correct and writable, and try again."},
        {7040, u"Unknown error encountered. Check the system or restart the agent."},
        {7041, u"Unable to register with the remote server."},
        {7042, u"Unable to connect to the remote server."},
        {7043, u"Agent disabled by Kestrel."},
        {7044, u"Agent does not match the Harbor Business Suite (HBS) version. Install the correct "
               u"agent version."},
        {7045, u"Agent has logged off from the remote server."},
        {7046, u"[%s] cannot enter an empty number. Enter a valid number."},
        {7047, u"[%s] cannot accept an invalid number. Enter a number between %d and %d."},
        {7048, u"Could not start \"%s\" service. This could be an internal Windows error or an "
               u"internal service error."},
        {7049, u"Could not stop \"%s\" service. This could be an internal Windows error or an "
               u"internal service error."},
        {7050, u"Could not restart \"%s\" service. This could be an internal Windows error or an "
               u"internal service error."},
        {7051, u"Kestrel Agent works normally."},
        {7052, u"Unable to communicate with the Kestrel server. The server may be experiencing "
               u"problems. If this problem persists, contact Norvale or your reseller."},
        {7053, u"Unable to load components. Reinstall the agent."},
        {7054, u"Enabled"},
        {7055, u"Disabled"},
        {7056, u"0"},
        {7057, u"English"},
        {7112, u"Configure"},
        {7113, u"Select Language"},
        {7114, u"Start Service"},
        {7115, u"Stop Service"},
        {7116, u"Restart Service"},
        {7117, u"Exit"},
        {7120, u"Please click [OK] button to save your configuration or click [Cancel] to abandon, "
               u"or else, your configuration will be lost!"},
        {7121, u"1.0"},
        {7122, u"Testing the connection to %s:%d\u2026"},
        {7123, u"Cancel"},
    };
    for (const auto& [id, text] : texts)
        EXPECT_EQ(Program().LoadString(id), text) << id;
}

// Every id the tool uses, in both tables, with the same placeholders in the
// same order (the tool formats these texts).
TEST_F(ResourceModuleTest, JapaneseTableMatchesTheProgramsIdsAndPlaceholders) {
    const auto japanese = Load(OPAL_LEXIDRA);
    ASSERT_TRUE(japanese);
    std::vector<unsigned> ids = {128, 7000, 7001, 7002, 7004, 7005, 61443};
    for (unsigned id = 7008; id <= 7023; ++id)
        ids.push_back(id);
    for (unsigned id = 7026; id <= 7057; ++id)
        ids.push_back(id);
    for (unsigned id = 7111; id <= 7123; ++id)
        ids.push_back(id);
    EXPECT_EQ(Program().StringCount(), japanese->StringCount());

    const std::regex placeholder("%[sdS]");
    auto placeholders = [&](const std::u16string& text) {
        const std::string utf8 = Utf8(text);
        std::string found;
        for (auto it = std::sregex_iterator(utf8.begin(), utf8.end(), placeholder);
             it != std::sregex_iterator(); ++it)
            found += it->str();
        return found;
    };
    for (unsigned id : ids) {
        const std::optional<std::u16string> english = Program().LoadString(id);
        const std::optional<std::u16string> translated = japanese->LoadString(id);
        ASSERT_TRUE(english) << id;
        ASSERT_TRUE(translated) << id;
        EXPECT_FALSE(translated->empty()) << id;
        EXPECT_EQ(placeholders(*english), placeholders(*translated)) << id;
    }
}

TEST_F(ResourceModuleTest, JapaneseLibraryIdentityVersionAndImages) {
    const auto japanese = Load(OPAL_LEXIDRA);
    ASSERT_TRUE(japanese);
    EXPECT_EQ(japanese->LoadString(7056), u"3");
    EXPECT_EQ(japanese->LoadString(7121), u"2.5.0.1234");
    EXPECT_EQ(japanese->LoadString(7057), u"日本語 (Japanese)");

    const std::optional<CVersionInfo> version = japanese->LoadVersionInfo();
    ASSERT_TRUE(version);
    EXPECT_EQ(version->FileVersionText(), QStringLiteral("2.6.0.2006"));
    EXPECT_EQ(version->ProductVersionText(), QStringLiteral("2.6.0.2006"));
    EXPECT_EQ(version->language, 1041);
    ASSERT_TRUE(Program().LoadVersionInfo());
    EXPECT_EQ(Program().LoadVersionInfo()->language, 1033);

    const std::map<unsigned, QSize> bitmaps = {
        {137, QSize(280, 44)}, {143, QSize(100, 44)}, {144, QSize(300, 45)}};
    for (const auto& [id, size] : bitmaps) {
        EXPECT_EQ(japanese->LoadBitmap(id).size(), size) << id;
        EXPECT_EQ(Program().LoadBitmap(id).size(), size) << id;
    }
    for (unsigned id : {128u, 166u, 167u, 171u}) {
        for (const CResourceModule* module :
             {&Program(), static_cast<const CResourceModule*>(japanese.get())}) {
            const QIcon icon = module->LoadIcon(id);
            ASSERT_FALSE(icon.isNull()) << id;
            for (int size : {16, 22, 24, 32})
                EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size))) << id << " " << size;
        }
    }
    EXPECT_TRUE(japanese->LoadIcon(999).isNull());
    EXPECT_TRUE(japanese->LoadBitmap(999).isNull());
}

TEST_F(ResourceModuleTest, FilesThatAreNoLanguageLibraryAreRefused) {
    TempDir dir;
    const std::string library = ReadFileBytes(OPAL_TEST_LIBRARY);
    WriteFileBytes(dir.Path() / "text.so", "not a library at all\n");
    WriteFileBytes(dir.Path() / "truncated.so", library.substr(0, library.size() / 2));
    const std::string cases[] = {
        dir / "missing.so",   dir / "text.so", dir / "truncated.so",
        "/proc/self/exe",     // ELF, but no resource section
        OPAL_DAMAGED_LIBRARY, // the section holds no sound bundle
    };
    for (const std::string& path : cases) {
        QString why;
        EXPECT_FALSE(CResourceModule::LoadLibraryFile(path, &why)) << path;
        EXPECT_FALSE(why.isEmpty()) << path;
    }
}

TEST_F(ResourceModuleTest, ModulesHaveRootsOfTheirOwnAndLeaveNothingBehind) {
    auto first = Load(OPAL_TEST_LIBRARY);
    auto second = Load(OPAL_LEXIDRA);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->ResourcePrefix(), second->ResourcePrefix());
    EXPECT_EQ(first->LoadString(7056), u"7");
    EXPECT_EQ(second->LoadString(7056), u"3");

    const QString strings = first->ResourcePrefix() + QStringLiteral("/strings.xml");
    EXPECT_TRUE(QFile::exists(strings));
    first.reset();
    EXPECT_FALSE(QFile::exists(strings));
    EXPECT_EQ(second->LoadString(7056), u"3");
}

} // namespace
