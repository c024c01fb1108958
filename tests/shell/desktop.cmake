# The tool on a desktop. Without Qt: service commands on their worker thread
# and the display check.
opal_add_test(ServiceCommandRunnerTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/ServiceCommandRunnerTest.cpp
              LIBS opal_shell_core opal_fake_system_bus LABELS threads)
opal_add_test(DisplayCheckTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/DisplayCheckTest.cpp
              LIBS opal_shell_core)
