# The install layout (`cmake --install <build> --prefix <prefix>`):
#
#   <prefix>/lib/opal-agent-setting/        the program directory, which is also
#       opal-agent-setting                  the agent's home: the agent's installer
#       Language/Lexidra.so                 puts its documents and its service
#       libOpalSamplePluginUI.so            beside the program
#       SettingToolSysConfig.xml            (only when not there yet)
#   <prefix>/bin/opal-agent-setting         symlink; the program still finds its
#                                           home through /proc/self/exe
#   <prefix>/etc/xdg/autostart/opal-agent-setting.desktop   (/etc/... for /usr)
#   <prefix>/share/applications/opal-agent-setting.desktop
#   <prefix>/share/icons/hicolor/<size>/apps/opal-agent-setting.{png,svg}
#
# The desktop entries name the program by its installed path, which is only
# known at install time (--prefix may differ from CMAKE_INSTALL_PREFIX at
# configure time), so they are written by install code.

set(OPAL_PROGRAM_SUBDIR lib/opal-agent-setting)
set(OPAL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(OPAL_INSTALL_STAGING ${CMAKE_BINARY_DIR}/install-staging)

install(TARGETS opal-agent-setting RUNTIME DESTINATION ${OPAL_PROGRAM_SUBDIR})
install(FILES ${CMAKE_BINARY_DIR}/bin/Language/Lexidra.so DESTINATION ${OPAL_PROGRAM_SUBDIR}/Language)
if(TARGET opal_sample_plugin_ui)
  install(TARGETS opal_sample_plugin_ui LIBRARY DESTINATION ${OPAL_PROGRAM_SUBDIR})
endif()

# Icon 128 is the tray's normal icon; the application icon is the same
# picture. Every size the resources carry goes into the theme.
foreach(size 16 22 24 32 48 64)
  install(FILES ${PROJECT_SOURCE_DIR}/res/icon/128/${size}.png
          DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME opal-agent-setting.png)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/res/images/tray-normal.svg
        DESTINATION share/icons/hicolor/scalable/apps RENAME opal-agent-setting.svg)

install(CODE "
  set(OPAL_PROGRAM_SUBDIR \"${OPAL_PROGRAM_SUBDIR}\")
  set(OPAL_PACKAGING_DIR \"${OPAL_PACKAGING_DIR}\")
  set(OPAL_INSTALL_STAGING \"${OPAL_INSTALL_STAGING}\")
")
install(CODE [[
  set(program_dir "${CMAKE_INSTALL_PREFIX}/${OPAL_PROGRAM_SUBDIR}")
  set(OPAL_EXEC "${program_dir}/opal-agent-setting")
  file(MAKE_DIRECTORY "${OPAL_INSTALL_STAGING}")

  # Desktop entries with the installed path of the program.
  foreach(entry opal-agent-setting opal-agent-setting-autostart)
    configure_file("${OPAL_PACKAGING_DIR}/${entry}.desktop.in"
                   "${OPAL_INSTALL_STAGING}/${entry}/opal-agent-setting.desktop" @ONLY)
  endforeach()
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/share/applications" TYPE FILE
       FILES "${OPAL_INSTALL_STAGING}/opal-agent-setting/opal-agent-setting.desktop")
  # The system's configuration lives in /etc, not /usr/etc, for a /usr
  # install as for GNUInstallDirs' sysconfdir; anywhere else it stays under
  # the prefix.
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(autostart_dir "/etc/xdg/autostart")
  else()
    set(autostart_dir "${CMAKE_INSTALL_PREFIX}/etc/xdg/autostart")
  endif()
  file(INSTALL DESTINATION "${autostart_dir}" TYPE FILE
       FILES "${OPAL_INSTALL_STAGING}/opal-agent-setting-autostart/opal-agent-setting.desktop")

  # The tool's own settings document: the tool never creates it, so without
  # one a language chosen in the menu would not survive the run. An existing
  # one holds the administrator's choice and is kept. CR LF, as every
  # document in the agent's home.
  if(NOT EXISTS "$ENV{DESTDIR}${program_dir}/SettingToolSysConfig.xml")
    file(READ "${OPAL_PACKAGING_DIR}/SettingToolSysConfig.xml" text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE "${OPAL_INSTALL_STAGING}/SettingToolSysConfig.xml" "${text}")
    file(INSTALL DESTINATION "${program_dir}" TYPE FILE
         FILES "${OPAL_INSTALL_STAGING}/SettingToolSysConfig.xml")
  endif()

  # bin/ holds a relative link, so the tree can be moved as a whole (DESTDIR
  # staging for a package).
  set(link "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/opal-agent-setting")
  file(MAKE_DIRECTORY "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin")
  file(REMOVE "${link}")
  file(CREATE_LINK "../${OPAL_PROGRAM_SUBDIR}/opal-agent-setting" "${link}" SYMBOLIC)
  message(STATUS "Installing: ${link} -> ../${OPAL_PROGRAM_SUBDIR}/opal-agent-setting")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_PREFIX}/bin/opal-agent-setting")
]])
