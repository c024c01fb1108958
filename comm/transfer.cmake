# The transfer classes over libcurl, the request packet and the connection
# test. Included by comm/CMakeLists.txt.
pkg_check_modules(LIBCURL REQUIRED IMPORTED_TARGET libcurl)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)

add_library(opal_comm STATIC
    ${CMAKE_CURRENT_LIST_DIR}/Packet.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Easycurl.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ConfigureAgent4VSM.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ConnectionDiagnosis.cpp
    ${CMAKE_CURRENT_LIST_DIR}/CertificateFacts.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DiagnosisRecorder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DiagnosisRules.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DiagnosisHttpRules.cpp)
target_include_directories(opal_comm PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(opal_comm
    PUBLIC opal_common opal_config
    PRIVATE PkgConfig::LIBCURL OpenSSL::Crypto)

# The versions of the transfer libraries, for the support bundle.
target_sources(opal_comm PRIVATE ${CMAKE_CURRENT_LIST_DIR}/LibraryVersions.cpp)
