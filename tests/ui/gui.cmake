# The real sheet on the offscreen platform, against the loopback servlet
# server of the transfer tests.
add_executable(SettingsSheetTest SettingsSheetTest.cpp
               ${PROJECT_SOURCE_DIR}/tests/platform/gui/GuiTestEnvironment.cpp)
target_link_libraries(SettingsSheetTest PRIVATE opal_test_support opal_ui opal_comm_test_harness)
gtest_discover_tests(SettingsSheetTest DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/platform/gui/lsan.supp")
