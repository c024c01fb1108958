# The language library reader: the ELF section reader and the resource
# bundle check, built here from their sources (no Qt) so that a fuzzing build
# instruments them.
pkg_check_modules(OPAL_FUZZ_LIBELF REQUIRED IMPORTED_TARGET libelf)
add_library(opal_elf_section_fuzzlib STATIC
    ${PROJECT_SOURCE_DIR}/platform/gui/ElfSection.cpp
    ${PROJECT_SOURCE_DIR}/platform/gui/RccBundle.cpp)
target_include_directories(opal_elf_section_fuzzlib PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(opal_elf_section_fuzzlib PUBLIC PkgConfig::OPAL_FUZZ_LIBELF)
if(OPAL_FUZZ)
  target_compile_options(opal_elf_section_fuzzlib PRIVATE -fsanitize=fuzzer-no-link)
endif()
opal_add_fuzz_target(elf_section SOURCE ${CMAKE_CURRENT_LIST_DIR}/ElfSectionFuzz.cpp
                     LIBS opal_elf_section_fuzzlib)
