# The agent's local configuration is a file that anybody with write access to
# the program directory may have edited by hand.
if(TARGET opal_config)
  opal_add_fuzz_target(local_config SOURCE ${CMAKE_CURRENT_LIST_DIR}/LocalConfigFuzz.cpp
                       LIBS opal_config opal_common)
endif()
