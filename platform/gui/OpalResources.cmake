# Resource bundles and language libraries.
#
# opal_add_resource_bundle(<target> OUTPUT <file.rcc> DIRECTORIES <dir>...
#                          [ICON_DIRECTORY <dir>])
#   Packs the resources found under each directory (strings.xml, version.xml,
#   menu/*.xml, dialog/*.xml, bitmap/*.png, icon/<id>/*.png) into one binary
#   bundle with `rcc --binary`. Icons may come from another directory
#   (a language library carries the program's own). Uncompressed: the images
#   are compressed already, and the tool accepts no zstd payloads.
#
# opal_add_language_library(<target> BUNDLE <file.rcc> OUTPUT <path/Name.so>
#                           DEPENDS <bundle target>)
#   A language library: an ELF shared object linked from an empty object, so
#   it holds no code, with the bundle added as the section the tool reads.

include_guard(GLOBAL)

function(_opal_collect_resources dir out_var)
  file(GLOB_RECURSE found RELATIVE ${dir} CONFIGURE_DEPENDS
       ${dir}/strings.xml ${dir}/version.xml ${dir}/menu/*.xml ${dir}/dialog/*.xml
       ${dir}/bitmap/*.png)
  set(${out_var} ${found} PARENT_SCOPE)
endfunction()

function(opal_add_resource_bundle target)
  cmake_parse_arguments(B "" "OUTPUT;ICON_DIRECTORY" "DIRECTORIES" ${ARGN})
  set(entries "")
  set(inputs "")
  set(aliases "")
  foreach(dir ${B_DIRECTORIES})
    _opal_collect_resources(${dir} found)
    foreach(rel ${found})
      set(source_of_${rel} ${dir}/${rel})
      list(APPEND aliases ${rel})
    endforeach()
  endforeach()
  set(icon_dir ${B_ICON_DIRECTORY})
  if(NOT icon_dir)
    list(GET B_DIRECTORIES 0 icon_dir)
  endif()
  file(GLOB_RECURSE icons RELATIVE ${icon_dir} CONFIGURE_DEPENDS ${icon_dir}/icon/*.png)
  foreach(rel ${icons})
    set(source_of_${rel} ${icon_dir}/${rel})
    list(APPEND aliases ${rel})
  endforeach()
  list(REMOVE_DUPLICATES aliases)
  list(SORT aliases)
  foreach(rel ${aliases})
    string(APPEND entries "    <file alias=\"${rel}\">${source_of_${rel}}</file>\n")
    list(APPEND inputs ${source_of_${rel}})
  endforeach()
  set(qrc ${CMAKE_CURRENT_BINARY_DIR}/${target}.qrc)
  file(CONFIGURE OUTPUT ${qrc}
       CONTENT "<RCC>\n  <qresource prefix=\"/\">\n${entries}  </qresource>\n</RCC>\n")
  add_custom_command(
    OUTPUT ${B_OUTPUT}
    COMMAND Qt6::rcc --binary --no-compress -o ${B_OUTPUT} ${qrc}
    DEPENDS ${qrc} ${inputs}
    COMMENT "Packing resource bundle ${target}"
    VERBATIM)
  add_custom_target(${target} DEPENDS ${B_OUTPUT})
endfunction()

function(opal_add_language_library target)
  cmake_parse_arguments(L "" "BUNDLE;OUTPUT" "DEPENDS" ${ARGN})
  get_filename_component(out_dir ${L_OUTPUT} DIRECTORY)
  get_filename_component(out_name ${L_OUTPUT} NAME)
  # kLanguageResourceSection in platform/gui/ElfSection.h
  set(section ".opal.resources")
  set(empty_object ${CMAKE_CURRENT_BINARY_DIR}/${target}-empty.o)
  # A build id like every other ELF file of the package, so that packaging
  # tools can tell it. Compiled and linked without the project's flags: sanitizer or coverage
  # options would bring code into a library that must have none.
  add_custom_command(
    OUTPUT ${L_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir}
    COMMAND ${CMAKE_C_COMPILER} -c -x c /dev/null -o ${empty_object}
    COMMAND ${CMAKE_LINKER} -shared -soname ${out_name} --build-id -z noexecstack
            -o ${L_OUTPUT}.tmp ${empty_object}
    COMMAND ${CMAKE_OBJCOPY} --add-section ${section}=${L_BUNDLE}
            --set-section-flags ${section}=contents,readonly
            ${L_OUTPUT}.tmp ${L_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E remove ${L_OUTPUT}.tmp ${empty_object}
    DEPENDS ${L_BUNDLE} ${L_DEPENDS}
    COMMENT "Building language library ${out_name}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${L_OUTPUT})
endfunction()
