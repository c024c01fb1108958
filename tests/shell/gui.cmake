# The tray application on Qt's offscreen platform, with the agent's files in
# a temporary home, the registry in a temporary root and a fake systemd on a
# private bus.
add_executable(ShellTest SettingAppTest.cpp
               ${PROJECT_SOURCE_DIR}/tests/platform/gui/GuiTestEnvironment.cpp)
target_link_libraries(ShellTest PRIVATE opal_test_support opal_shell opal_ui opal_fake_system_bus)
target_compile_definitions(ShellTest PRIVATE
    OPAL_LEXIDRA="${CMAKE_BINARY_DIR}/bin/Language/Lexidra.so"
    TEST_PLUGIN_UI="$<TARGET_FILE:test_plugin_ui>")
add_dependencies(ShellTest lexidra test_plugin_ui)
gtest_discover_tests(ShellTest DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 LABELS threads
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/platform/gui/lsan.supp")

# The installed desktop entries, from a real install into a scratch prefix.
add_test(NAME install.desktop_entries
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh ${CMAKE_BINARY_DIR}
                 ${CMAKE_INSTALL_PREFIX})
set_tests_properties(install.desktop_entries PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120
                     LABELS install)
