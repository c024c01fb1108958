// The ELF section reader and the bundle check, on real files: a language
// library built like the shipped ones, damaged copies of it, and files that
// are no library at all.

#include <cstring>
#include <elf.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/gui/ElfSection.h"
#include "platform/gui/RccBundle.h"
#include "tests/support/TestSupport.h"

namespace {

using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

std::vector<unsigned char> Bytes(const std::string& text) {
    return std::vector<unsigned char>(text.begin(), text.end());
}

ElfSectionResult ReadBytes(const std::vector<unsigned char>& image,
                           std::vector<unsigned char>& out) {
    return ReadElfSectionFromMemory(image.data(), image.size(), kLanguageResourceSection, out);
}

// The section header of `name` inside a 64-bit image.
Elf64_Shdr* FindSectionHeader(std::vector<unsigned char>& image, const char* name) {
    auto* header = reinterpret_cast<Elf64_Ehdr*>(image.data());
    auto* sections = reinterpret_cast<Elf64_Shdr*>(image.data() + header->e_shoff);
    const Elf64_Shdr& names = sections[header->e_shstrndx];
    for (int i = 0; i < header->e_shnum; ++i) {
        const char* sectionName =
            reinterpret_cast<const char*>(image.data() + names.sh_offset + sections[i].sh_name);
        if (std::strcmp(sectionName, name) == 0)
            return &sections[i];
    }
    return nullptr;
}

class ElfSectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_library = Bytes(ReadFileBytes(OPAL_TEST_LIBRARY));
        m_bundle = Bytes(ReadFileBytes(OPAL_TEST_BUNDLE));
        ASSERT_GT(m_library.size(), sizeof(Elf64_Ehdr));
        ASSERT_FALSE(m_bundle.empty());
    }
    std::vector<unsigned char> m_library;
    std::vector<unsigned char> m_bundle;
};

TEST_F(ElfSectionTest, ReadsTheBundleOutOfALibrary) {
    std::vector<unsigned char> section;
    EXPECT_EQ(ReadElfSection(OPAL_TEST_LIBRARY, kLanguageResourceSection, section),
              ElfSectionResult::Ok);
    EXPECT_EQ(section, m_bundle);

    // The shipped library too, and its bundle passes the check.
    EXPECT_EQ(ReadElfSection(OPAL_LEXIDRA, kLanguageResourceSection, section),
              ElfSectionResult::Ok);
    EXPECT_EQ(section, Bytes(ReadFileBytes(OPAL_LEXIDRA_BUNDLE)));
    std::string why;
    EXPECT_TRUE(CheckRccBundle(section.data(), section.size(), &why)) << why;
}

TEST_F(ElfSectionTest, FilesThatAreNoLibraryFailCleanly) {
    TempDir dir;
    WriteFileBytes(dir.Path() / "text.so", "just some text, long enough for an ELF header\n");
    WriteFileBytes(dir.Path() / "empty.so", "");
    WriteFileBytes(dir.Path() / "magic.so", "\x7f"
                                            "ELF");
    const struct {
        std::string path;
        ElfSectionResult expected;
    } cases[] = {
        {dir / "missing.so", ElfSectionResult::CannotRead},
        {dir.Path().string(), ElfSectionResult::CannotRead}, // a directory
        {dir / "text.so", ElfSectionResult::NotElf},
        {dir / "empty.so", ElfSectionResult::NotElf},
        {dir / "magic.so", ElfSectionResult::NotElf},
        {"/proc/self/exe", ElfSectionResult::NoSection}, // sound ELF without the section
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> section{1, 2, 3};
        EXPECT_EQ(ReadElfSection(c.path, kLanguageResourceSection, section), c.expected) << c.path;
        EXPECT_TRUE(section.empty()) << c.path;
    }
}

TEST_F(ElfSectionTest, NoTruncationOfALibraryIsRead) {
    // Every proper prefix of the file loses the section table at its end.
    std::vector<unsigned char> section;
    for (std::size_t size = 0; size < m_library.size(); ++size) {
        const std::vector<unsigned char> prefix(m_library.begin(), m_library.begin() + size);
        ASSERT_NE(ReadBytes(prefix, section), ElfSectionResult::Ok) << "cut at " << size;
        ASSERT_TRUE(section.empty());
    }
}

TEST_F(ElfSectionTest, DamagedHeadersAreRefused) {
    const struct {
        const char* what;
        void (*damage)(std::vector<unsigned char>&);
    } cases[] = {
        {"section table beyond the file",
         [](std::vector<unsigned char>& image) {
             reinterpret_cast<Elf64_Ehdr*>(image.data())->e_shoff = 0xFFFFFFFFFFFFFF00ull;
         }},
        {"section count beyond the table",
         [](std::vector<unsigned char>& image) {
             reinterpret_cast<Elf64_Ehdr*>(image.data())->e_shnum = 0x7FFF;
         }},
        {"name table index out of range",
         [](std::vector<unsigned char>& image) {
             reinterpret_cast<Elf64_Ehdr*>(image.data())->e_shstrndx = 0x7FFF;
         }},
        {"section offset that overflows",
         [](std::vector<unsigned char>& image) {
             FindSectionHeader(image, ".opal.resources")->sh_offset = 0xFFFFFFFFFFFFFFF0ull;
         }},
        {"section size beyond the file",
         [](std::vector<unsigned char>& image) {
             FindSectionHeader(image, ".opal.resources")->sh_size = 0xFFFFFFFFFFFFFFF0ull;
         }},
        {"section name index beyond the name table",
         [](std::vector<unsigned char>& image) {
             FindSectionHeader(image, ".opal.resources")->sh_name = 0x7FFFFFFF;
         }},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> image = m_library;
        c.damage(image);
        std::vector<unsigned char> section;
        const ElfSectionResult result = ReadBytes(image, section);
        EXPECT_TRUE(result == ElfSectionResult::Malformed || result == ElfSectionResult::NoSection)
            << c.what << ": " << ElfSectionResultText(result);
        EXPECT_TRUE(section.empty()) << c.what;
    }
}

TEST_F(ElfSectionTest, BundleCheckRefusesDamage) {
    std::string why;
    ASSERT_TRUE(CheckRccBundle(m_bundle.data(), m_bundle.size(), &why)) << why;

    auto put32 = [](std::vector<unsigned char>& b, std::size_t at, uint32_t value) {
        b[at] = static_cast<unsigned char>(value >> 24);
        b[at + 1] = static_cast<unsigned char>(value >> 16);
        b[at + 2] = static_cast<unsigned char>(value >> 8);
        b[at + 3] = static_cast<unsigned char>(value);
    };
    const uint32_t tree = (uint32_t{m_bundle[8]} << 24) | (uint32_t{m_bundle[9]} << 16) |
                          (uint32_t{m_bundle[10]} << 8) | m_bundle[11];
    const struct {
        const char* what;
        std::size_t at;
        uint32_t value;
    } cases[] = {
        {"signature", 0, 0x71726574},
        {"version", 4, 4},
        {"tree offset", 8, 0xFFFFFFF0},
        {"payload offset", 12, 0xFFFFFFF0},
        {"name offset", 16, 0xFFFFFFF0},
        {"header flags", 20, 0x4},
        {"root name", tree, 0x7FFFFFFF},
        {"root's children point back at it", tree + 10, 0},
        {"more children than nodes", tree + 6, 0x7FFFFFFF},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> bundle = m_bundle;
        put32(bundle, c.at, c.value);
        EXPECT_FALSE(CheckRccBundle(bundle.data(), bundle.size(), &why)) << c.what;
    }
    for (std::size_t size = 0; size < m_bundle.size(); ++size)
        ASSERT_FALSE(CheckRccBundle(m_bundle.data(), size)) << "cut at " << size;
}

} // namespace
