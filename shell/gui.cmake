# The tray application on Qt.
find_package(Qt6 6.4 REQUIRED COMPONENTS Widgets DBus)
find_library(OPAL_XCB_LIBRARY xcb REQUIRED)
add_library(opal_shell STATIC MainFrame.cpp QtPluginPaths.cpp SettingApp.cpp TrayIcon.cpp)
set_target_properties(opal_shell PROPERTIES AUTOMOC ON)
target_link_libraries(opal_shell PUBLIC opal_shell_core opal_platform_gui opal_res Qt6::Widgets Qt6::DBus
                      ${OPAL_XCB_LIBRARY})

add_executable(opal-agent-setting main.cpp)
target_link_libraries(opal-agent-setting PRIVATE opal_shell opal_ui)
set_target_properties(opal-agent-setting PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# The sample plug-in UI library.
include(${CMAKE_CURRENT_SOURCE_DIR}/plugin_sample.cmake OPTIONAL)
