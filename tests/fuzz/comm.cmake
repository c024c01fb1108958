# The request packet parser and the response framing around it: the framing
# reads whatever body a server (or anything posing as one) sends back.
#
# The parser's source is compiled into the targets themselves rather than
# linked from opal_comm, so that libFuzzer's coverage instrumentation (and the
# sanitizers) reach the code under test, not only the harness.
if(TARGET opal_comm)
  opal_add_fuzz_target(packet SOURCE ${CMAKE_CURRENT_LIST_DIR}/PacketFuzz.cpp LIBS opal_common)
  target_sources(packet_replay PRIVATE ${PROJECT_SOURCE_DIR}/comm/Packet.cpp)
  if(TARGET packet_fuzzer)
    target_sources(packet_fuzzer PRIVATE ${PROJECT_SOURCE_DIR}/comm/Packet.cpp)
    if(NOT OPAL_SANITIZE)
      target_compile_options(packet_fuzzer PRIVATE -fsanitize=address,undefined)
      target_link_options(packet_fuzzer PRIVATE -fsanitize=address,undefined)
    endif()
  endif()
endif()
