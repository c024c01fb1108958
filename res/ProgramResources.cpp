#include "res/ProgramResources.h"

#include "platform/gui/ResourceLookup.h"
#include "platform/gui/ResourceModule.h"

// The bundle made by rcc at build time, taken in as it is. Aligned because the
// resource system reads its header as 32-bit words.
asm(".section .rodata.opal_program_bundle,\"a\",@progbits\n"
    ".balign 16\n"
    ".globl opal_program_bundle_begin\n"
    ".hidden opal_program_bundle_begin\n"
    "opal_program_bundle_begin:\n"
    ".incbin \"" OPAL_PROGRAM_BUNDLE "\"\n"
    ".globl opal_program_bundle_end\n"
    ".hidden opal_program_bundle_end\n"
    "opal_program_bundle_end:\n"
    ".previous\n");

extern "C" {
__attribute__((visibility("hidden"))) extern const unsigned char opal_program_bundle_begin[];
__attribute__((visibility("hidden"))) extern const unsigned char opal_program_bundle_end[];
}

const unsigned char* ProgramResourceBundle(std::size_t* size) {
    if (size != nullptr)
        *size = static_cast<std::size_t>(opal_program_bundle_end - opal_program_bundle_begin);
    return opal_program_bundle_begin;
}

bool InstallProgramResources() {
    std::size_t size = 0;
    const unsigned char* data = ProgramResourceBundle(&size);
    std::unique_ptr<CResourceModule> module = CResourceModule::FromStaticBundle(data, size);
    if (!module)
        return false;
    CResourceLookup::SetProgramModule(std::move(module));
    return true;
}
