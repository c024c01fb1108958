#include "platform/gui/ElfSection.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool LibelfReady() {
    static const bool ready = elf_version(EV_CURRENT) != EV_NONE;
    return ready;
}

struct ElfHandle {
    Elf* elf = nullptr;
    ~ElfHandle() {
        if (elf != nullptr)
            elf_end(elf);
    }
};

} // namespace

ElfSectionResult ReadElfSectionFromMemory(const unsigned char* data, std::size_t size,
                                          std::string_view name, std::vector<unsigned char>& out) {
    out.clear();
    if (!LibelfReady())
        return ElfSectionResult::CannotRead;
    if (data == nullptr || size < EI_NIDENT || std::memcmp(data, ELFMAG, SELFMAG) != 0)
        return ElfSectionResult::NotElf;

    // libelf wants a writable image and may keep pointers into it for the
    // life of the handle, so it works on a private copy.
    std::vector<char> image(data, data + size);
    ElfHandle handle;
    handle.elf = elf_memory(image.data(), image.size());
    if (handle.elf == nullptr)
        return ElfSectionResult::Malformed;
    if (elf_kind(handle.elf) != ELF_K_ELF)
        return ElfSectionResult::NotElf;

    GElf_Ehdr header;
    if (gelf_getehdr(handle.elf, &header) == nullptr)
        return ElfSectionResult::Malformed;
    std::size_t namesIndex = 0;
    if (elf_getshdrstrndx(handle.elf, &namesIndex) != 0)
        return ElfSectionResult::Malformed;
    std::size_t sectionCount = 0;
    if (elf_getshdrnum(handle.elf, &sectionCount) != 0)
        return ElfSectionResult::Malformed;
    if (sectionCount == 0)
        return ElfSectionResult::NoSection;
    if (namesIndex >= sectionCount)
        return ElfSectionResult::Malformed;

    for (Elf_Scn* section = elf_nextscn(handle.elf, nullptr); section != nullptr;
         section = elf_nextscn(handle.elf, section)) {
        GElf_Shdr sectionHeader;
        if (gelf_getshdr(section, &sectionHeader) == nullptr)
            return ElfSectionResult::Malformed;
        const char* sectionName = elf_strptr(handle.elf, namesIndex, sectionHeader.sh_name);
        if (sectionName == nullptr)
            return ElfSectionResult::Malformed;
        if (name != sectionName)
            continue;
        if (sectionHeader.sh_type == SHT_NOBITS)
            return ElfSectionResult::Malformed;
        // libelf checks this as well; a bundle read past the end of the file
        // would be the one fault that matters, so it is checked here too.
        if (sectionHeader.sh_offset > size ||
            sectionHeader.sh_size > size - sectionHeader.sh_offset)
            return ElfSectionResult::Malformed;
        Elf_Data* bytes = elf_rawdata(section, nullptr);
        if (bytes == nullptr) {
            if (sectionHeader.sh_size == 0)
                return ElfSectionResult::Ok;
            return ElfSectionResult::Malformed;
        }
        if (bytes->d_size != sectionHeader.sh_size ||
            (bytes->d_size > 0 && bytes->d_buf == nullptr))
            return ElfSectionResult::Malformed;
        const auto* begin = static_cast<const unsigned char*>(bytes->d_buf);
        out.assign(begin, begin + bytes->d_size);
        return ElfSectionResult::Ok;
    }
    return ElfSectionResult::NoSection;
}

ElfSectionResult ReadElfSection(const std::string& path, std::string_view name,
                                std::vector<unsigned char>& out) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return ElfSectionResult::CannotRead;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0 ||
        static_cast<unsigned long long>(status.st_size) > kMaxElfFileSize) {
        ::close(fd);
        return ElfSectionResult::CannotRead;
    }
    std::vector<unsigned char> file(static_cast<std::size_t>(status.st_size));
    std::size_t done = 0;
    while (done < file.size()) {
        const ssize_t got = ::read(fd, file.data() + done, file.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    // A file that shrank while it was read is taken as what was read; the ELF
    // checks then decide.
    return ReadElfSectionFromMemory(file.data(), done, name, out);
}

const char* ElfSectionResultText(ElfSectionResult result) {
    switch (result) {
    case ElfSectionResult::Ok:
        return "ok";
    case ElfSectionResult::CannotRead:
        return "cannot read the file";
    case ElfSectionResult::NotElf:
        return "not an ELF file";
    case ElfSectionResult::Malformed:
        return "malformed ELF file";
    case ElfSectionResult::NoSection:
        return "no resource section";
    }
    return "unknown";
}
