// Any bytes as a language library: the section reader must fail cleanly or
// return bytes from inside the input, and the bundle check must never read
// outside what it is given.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/gui/ElfSection.h"
#include "platform/gui/RccBundle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<unsigned char> section;
    const ElfSectionResult result =
        ReadElfSectionFromMemory(data, size, kLanguageResourceSection, section);
    if (result != ElfSectionResult::Ok && !section.empty())
        std::abort();
    if (section.size() > size)
        std::abort();
    if (result == ElfSectionResult::Ok)
        CheckRccBundle(section.data(), section.size());
    // The bundle check on its own, on the raw input: exact-size copies so that
    // the sanitizer sees any read past the end.
    const std::vector<unsigned char> copy(data, data + size);
    CheckRccBundle(copy.data(), copy.size());
    return 0;
}
