# The tool on a desktop. Without Qt: service commands on their worker thread
# and the display check.
opal_add_test(ServiceCommandRunnerTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/ServiceCommandRunnerTest.cpp
              LIBS opal_shell_core opal_fake_system_bus LABELS threads)
opal_add_test(DisplayCheckTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/DisplayCheckTest.cpp
              LIBS opal_shell_core)
if(OPAL_BUILD_GUI)
  # On Qt's offscreen platform, in-process and with the real program.
  add_executable(DesktopTest ${CMAKE_CURRENT_LIST_DIR}/DesktopTest.cpp
                 ${PROJECT_SOURCE_DIR}/tests/platform/gui/GuiTestEnvironment.cpp)
  target_link_libraries(DesktopTest PRIVATE opal_test_support opal_shell opal_ui opal_fake_system_bus)
  target_compile_definitions(DesktopTest PRIVATE
      OPAL_LEXIDRA="${CMAKE_BINARY_DIR}/bin/Language/Lexidra.so"
      OPAL_PROGRAM="$<TARGET_FILE:opal-agent-setting>")
  add_dependencies(DesktopTest lexidra opal-agent-setting)
  gtest_discover_tests(DesktopTest DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT 120
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/platform/gui/lsan.supp")

  # The status window on an X server of its own with no tray host, then
  # trayer; one ctest entry, since it starts the server before its tests.
  add_executable(StatusWindowXvfbTest ${CMAKE_CURRENT_LIST_DIR}/StatusWindowXvfbTest.cpp)
  target_link_libraries(StatusWindowXvfbTest PRIVATE opal_test_support opal_shell opal_ui
                        opal_fake_system_bus)
  target_compile_definitions(StatusWindowXvfbTest PRIVATE
      OPAL_LEXIDRA="${CMAKE_BINARY_DIR}/bin/Language/Lexidra.so"
      OPAL_SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/screenshots")
  add_dependencies(StatusWindowXvfbTest lexidra)
  add_test(NAME shell.status_window_xvfb COMMAND StatusWindowXvfbTest)
  set_tests_properties(shell.status_window_xvfb PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180
      LABELS x11
      ENVIRONMENT "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/x11-lsan.supp")
endif()

if(OPAL_BUILD_GUI)
  # The tray icon against a StatusNotifierWatcher and host of the test's own
  # on a private session bus, on an X server and on a headless Wayland
  # compositor; each ctest entry starts its own display server and bus.
  find_package(Qt6 6.4 REQUIRED COMPONENTS DBus)
  find_library(OPAL_TEST_XCB_LIBRARY xcb REQUIRED)
  add_executable(TrayHostTest ${CMAKE_CURRENT_LIST_DIR}/TrayHostTest.cpp)
  target_link_libraries(TrayHostTest PRIVATE opal_test_support opal_shell opal_ui
                        opal_fake_system_bus Qt6::DBus ${OPAL_TEST_XCB_LIBRARY})
  target_compile_definitions(TrayHostTest PRIVATE
      SNI_WATCHER="${CMAKE_CURRENT_LIST_DIR}/sni_watcher.py"
      OPAL_PROGRAM="$<TARGET_FILE:opal-agent-setting>"
      OPAL_MULTIARCH="${CMAKE_LIBRARY_ARCHITECTURE}")
  add_dependencies(TrayHostTest opal-agent-setting)
  # "xfce": Debian's panel as the tray, on an X server of its own.
  foreach(platform x11 wayland xfce)
    add_test(NAME shell.tray_host_${platform} COMMAND TrayHostTest ${platform})
    set_tests_properties(shell.tray_host_${platform} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120
        LABELS x11
        ENVIRONMENT "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/x11-lsan.supp")
  endforeach()
endif()

# What a Wayland desktop needs reaches both a fresh CI machine and a user's
# install: the install script and the package's relations (as CPack has them).
add_test(NAME shell.wayland_platform_installed
         COMMAND bash -c "grep -Eq '^[^#]*\\bqt6-wayland\\b' '${PROJECT_SOURCE_DIR}/scripts/install-deps.sh' && grep -Eq 'CPACK_DEBIAN_PACKAGE_(DEPENDS|RECOMMENDS) \"[^\"]*qt6-wayland' '${CMAKE_BINARY_DIR}/CPackConfig.cmake' && grep -Eq 'CPACK_DEBIAN_PACKAGE_RECOMMENDS \"[^\"]*qt6-translations-l10n' '${CMAKE_BINARY_DIR}/CPackConfig.cmake'")
set_tests_properties(shell.wayland_platform_installed PROPERTIES LABELS install)
