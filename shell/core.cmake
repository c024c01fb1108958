# Agent service control: start, stop, restart and the running check over the
# system layer's service manager, with its messages; needs no Qt.
target_sources(opal_shell_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/AgentServiceControl.cpp)
target_link_libraries(opal_shell_core PUBLIC opal_common opal_platform_system)
