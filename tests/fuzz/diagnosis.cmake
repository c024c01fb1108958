# The connection test's diagnosis: the recorder that reads libcurl's debug
# stream (headers, text and TLS records a server or proxy controls) and the
# framing of the answer it keeps.
if(TARGET opal_comm)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(OPAL_FUZZ_CURL REQUIRED IMPORTED_TARGET libcurl)
  foreach(target diagnosis_recorder answer_framing)
    if(target STREQUAL diagnosis_recorder)
      set(source ${CMAKE_CURRENT_LIST_DIR}/DiagnosisRecorderFuzz.cpp)
    else()
      set(source ${CMAKE_CURRENT_LIST_DIR}/AnswerFramingFuzz.cpp)
    endif()
    opal_add_fuzz_target(${target} SOURCE ${source} LIBS opal_comm PkgConfig::OPAL_FUZZ_CURL)
    if(TARGET ${target}_fuzzer)
      # The code under test compiled into the target, so that coverage
      # instrumentation reaches it.
      target_sources(${target}_fuzzer PRIVATE ${PROJECT_SOURCE_DIR}/comm/DiagnosisRecorder.cpp
                                              ${PROJECT_SOURCE_DIR}/comm/CertificateFacts.cpp)
    endif()
  endforeach()
endif()
