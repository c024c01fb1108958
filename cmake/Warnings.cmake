# Warnings are errors for our own code; third-party headers come in as system
# headers and are not held to it.
add_compile_options(-Wall -Wextra -Werror)

# GCC 12 reports impossible overlaps inside std::string's own inlined copies
# at -O2 (-Wrestrict, GCC bug 105329); the warning says nothing about our
# code there, so it is kept but not fatal.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-Wno-error=restrict)
endif()
