# What a caller of the system helper sends is outside input to a program
# that runs as root.
if(TARGET opal_helper_service)
  find_package(Qt6 6.4 REQUIRED COMPONENTS Core)
  opal_add_fuzz_target(helper_request SOURCE ${CMAKE_CURRENT_LIST_DIR}/HelperRequestFuzz.cpp
                       LIBS opal_helper_service)
endif()
