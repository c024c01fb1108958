#pragma once
// Reads one named section out of an ELF file without loading or running
// anything in it. Language libraries carry their resource bundle this way, so
// the tool can take their texts and images while never mapping their code.
// No Qt here: the reader is fuzzed on its own.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The section a language library keeps its resource bundle in.
inline constexpr std::string_view kLanguageResourceSection = ".opal.resources";

enum class ElfSectionResult {
    Ok,
    CannotRead, // the file could not be opened or read, or is too large
    NotElf,     // not an ELF image at all
    Malformed,  // an ELF header, section table or name table that does not hold together
    NoSection,  // a sound ELF file without the section asked for
};

// The bytes of section `name` of the ELF image `data`. `out` is left empty on
// every failure.
ElfSectionResult ReadElfSectionFromMemory(const unsigned char* data, std::size_t size,
                                          std::string_view name, std::vector<unsigned char>& out);

// The same for a file on disk. Files larger than kMaxElfFileSize are refused
// unread: no language library comes anywhere near it.
inline constexpr std::size_t kMaxElfFileSize = 64u * 1024u * 1024u;
ElfSectionResult ReadElfSection(const std::string& path, std::string_view name,
                                std::vector<unsigned char>& out);

const char* ElfSectionResultText(ElfSectionResult result);
