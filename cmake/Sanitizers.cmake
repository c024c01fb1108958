if(OPAL_SANITIZE AND OPAL_TSAN)
  message(FATAL_ERROR "OPAL_SANITIZE and OPAL_TSAN cannot be combined")
endif()
# Every sanitizer build stops at the first report: a report that lets the
# program carry on is easy to miss in a test log, and in a fuzzing build it
# would never become a crash the fuzzer keeps.
set(OPAL_SANITIZER_STOP -fno-sanitize-recover=all)
if(OPAL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer ${OPAL_SANITIZER_STOP})
  add_link_options(-fsanitize=address,undefined)
  # With the sanitizers' instrumentation GCC 12 loses track of what the
  # standard library's own types initialise (std::regex, std::function) and
  # warns about them at -O2; the ordinary build keeps the warning fatal.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-error=maybe-uninitialized)
  endif()
endif()
if(OPAL_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer ${OPAL_SANITIZER_STOP})
  add_link_options(-fsanitize=thread)
endif()

# In a fuzzing build every library is instrumented for coverage, not only the
# fuzz drivers, so that libFuzzer can steer through the code under test. The
# sanitizer runtimes supply the coverage callbacks to the ordinary binaries.
if(OPAL_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      ${OPAL_SANITIZER_STOP})
  add_link_options(-fsanitize=address,undefined)
endif()
