# Tests of the transfer classes, the request packet and the connection test.
# They run against real peers on loopback: tests/comm/servlet_server.py,
# tinyproxy, dante, microsocks and nginx, with certificates that
# tests/comm/make_test_certs.sh makes with the openssl command.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_program(OPAL_TINYPROXY_PROGRAM tinyproxy PATHS /usr/bin /usr/sbin)
find_program(OPAL_DANTED_PROGRAM NAMES danted sockd PATHS /usr/sbin /usr/bin)
find_program(OPAL_MICROSOCKS_PROGRAM microsocks PATHS /usr/bin /usr/sbin)
find_program(OPAL_NGINX_PROGRAM nginx PATHS /usr/sbin /usr/bin)
find_program(OPAL_SQUID_PROGRAM squid PATHS /usr/sbin /usr/bin)
foreach(tool OPAL_TINYPROXY_PROGRAM OPAL_DANTED_PROGRAM OPAL_MICROSOCKS_PROGRAM OPAL_NGINX_PROGRAM
             OPAL_SQUID_PROGRAM)
  if(NOT ${tool})
    message(WARNING "${tool} not found: the proxy tests will fail (scripts/install-deps.sh installs it)")
    set(${tool} "/nonexistent/${tool}")
  endif()
endforeach()

add_library(opal_comm_test_harness STATIC ${CMAKE_CURRENT_LIST_DIR}/CommTestHarness.cpp
    ${CMAKE_CURRENT_LIST_DIR}/StringTableFile.cpp)
target_include_directories(opal_comm_test_harness PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(opal_comm_test_harness PUBLIC opal_comm)
target_compile_definitions(opal_comm_test_harness PUBLIC
    OPAL_COMM_TEST_DIR="${CMAKE_CURRENT_LIST_DIR}"
    OPAL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    OPAL_PYTHON3="${Python3_EXECUTABLE}"
    OPAL_TINYPROXY="${OPAL_TINYPROXY_PROGRAM}"
    OPAL_DANTED="${OPAL_DANTED_PROGRAM}"
    OPAL_MICROSOCKS="${OPAL_MICROSOCKS_PROGRAM}"
    OPAL_NGINX="${OPAL_NGINX_PROGRAM}"
    OPAL_SQUID="${OPAL_SQUID_PROGRAM}"
    OPAL_SQUID_HELPERS="/usr/lib/squid")

opal_add_test(PacketTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/PacketTest.cpp LIBS opal_comm)
opal_add_test(EasycurlTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/EasycurlTest.cpp
              LIBS opal_comm opal_comm_test_harness OpenSSL::Crypto)
opal_add_test(ConfigureAgent4VSMTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/ConfigureAgent4VSMTest.cpp
              LIBS opal_comm opal_comm_test_harness OpenSSL::Crypto)
opal_add_test(ConnectionDiagnosisTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/ConnectionDiagnosisTest.cpp
              LIBS opal_comm opal_comm_test_harness OpenSSL::Crypto)
# Through squid demanding Basic, Digest and NTLM logins.
opal_add_test(SquidProxyTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/SquidProxyTest.cpp
              LIBS opal_comm opal_comm_test_harness OpenSSL::Crypto)
# The rules from tables of facts, without sockets.
opal_add_test(DiagnosisRulesTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/DiagnosisRulesTest.cpp
              LIBS opal_comm opal_comm_test_harness)

# The connection test timed against the curl command; run by
# benchmarks/connection_test_bench.sh, never by ctest.
add_executable(connection_test_bench ${PROJECT_SOURCE_DIR}/benchmarks/ConnectionTestBench.cpp)
target_link_libraries(connection_test_bench PRIVATE opal_comm)
# The connection test on a worker thread beside the UI and monitor threads'
# work, run to its end and cancelled; the TSan build runs it.
opal_add_test(ConnectionTestThreadsTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/ConnectionTestThreadsTest.cpp
              LIBS opal_comm opal_comm_crypt opal_comm_test_harness LABELS threads)
