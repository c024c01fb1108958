# Agent service control against the fake systemd of tests/platform/system.
opal_add_test(AgentServiceControlTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/AgentServiceControlTest.cpp
              LIBS opal_shell_core opal_fake_system_bus)
opal_add_test(AgentServiceWatchTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/AgentServiceWatchTest.cpp
              LIBS opal_shell_core opal_fake_system_bus)
