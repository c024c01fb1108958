# The real sheet on the offscreen platform, against the loopback servlet
# server of the transfer tests.
foreach(test SettingsSheetTest ConnectionTestProgressTest)
  add_executable(${test} ${test}.cpp ${PROJECT_SOURCE_DIR}/tests/platform/gui/GuiTestEnvironment.cpp)
  target_link_libraries(${test} PRIVATE opal_test_support opal_ui opal_res opal_comm_test_harness)
  gtest_discover_tests(${test} DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT 120
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/platform/gui/lsan.supp")
endforeach()
# The sheet of a user who is not root saves through the system helper.
if(TARGET opal-agent-helper)
  target_link_libraries(SettingsSheetTest PRIVATE opal_helper_test_system)
endif()
