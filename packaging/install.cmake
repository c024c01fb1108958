# The install layout, for `cmake --install` and the Debian package
# (`DESTDIR=<root> cmake --install build --prefix /usr`, or cpack):
#
#   /opt/opal4hbs/                          the program directory, which is also
#       opal-agent-setting                  the agent's home: the agent's installer
#       opal-agent-ctl                      puts its documents and its service
#       Language/Lexidra.so                 beside the programs. Root's and
#       log/                                closed to others, so the programs
#                                           may stay here and keep finding
#                                           their home through /proc/self/exe
#   <prefix>/bin/opal-agent-setting         absolute links; the programs still
#   <prefix>/bin/opal-agent-ctl             find their home through /proc/self/exe
#   /etc/xdg/autostart/opal-agent-setting.desktop   (where sessions look)
#   <prefix>/share/applications/opal-agent-setting.desktop
#   <prefix>/share/icons/hicolor/<size>/apps/opal-agent-setting.{png,svg}
#   <prefix>/share/man/man1/opal-agent-{setting,ctl}.1.gz
#   <prefix>/share/bash-completion/completions/opal-agent-ctl
#   <prefix>/share/polkit-1/rules.d/50-opal-agent-setting.rules
#   <prefix>/share/opal-agent-setting/      what the set-up script lays out:
#       SettingToolSysConfig.xml            the tool's own document, copied into
#       setup-permissions                   the program directory when missing
#
# The prefix is /usr unless configured otherwise (-DCMAKE_INSTALL_PREFIX);
# the set-up script and postinst name paths under it, so install with the
# prefix the build was configured with.
#
# The group and the modes are not install steps: the package's postinst runs
# setup-permissions, and after a plain `cmake --install` an administrator
# runs it once by hand (see README.md).

set(OPAL_PROGRAM_DIR "/opt/opal4hbs" CACHE PATH
    "The program directory of an installed tool, which is also the agent's home")
set(OPAL_REGISTRY_DIR "/var/lib/opal4hbs/registry" CACHE PATH
    "The registry root the installed tool uses (the store's default)")
if(NOT IS_ABSOLUTE "${OPAL_PROGRAM_DIR}")
  message(FATAL_ERROR "OPAL_PROGRAM_DIR must be absolute: the desktop entries name it")
endif()

include(GNUInstallDirs)
set(OPAL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(OPAL_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
set(OPAL_DATA_SUBDIR ${CMAKE_INSTALL_DATADIR}/opal-agent-setting)
set(OPAL_EXEC "${OPAL_PROGRAM_DIR}/opal-agent-setting")

set(opal_programs opal-agent-setting)
if(TARGET opal-agent-ctl)
  list(APPEND opal_programs opal-agent-ctl)
endif()
install(TARGETS ${opal_programs} RUNTIME DESTINATION ${OPAL_PROGRAM_DIR})
install(FILES ${CMAKE_BINARY_DIR}/bin/Language/Lexidra.so DESTINATION ${OPAL_PROGRAM_DIR}/Language)
install(DIRECTORY DESTINATION ${OPAL_PROGRAM_DIR}/log)
# The sample plug-in is the demo's; an agent plug-in ships its own.
if(TARGET opal_sample_plugin_ui)
  install(TARGETS opal_sample_plugin_ui LIBRARY DESTINATION ${OPAL_PROGRAM_DIR}
          COMPONENT sample EXCLUDE_FROM_ALL)
endif()

# Links in bin/. Absolute, as links between top-level directories are.
foreach(program ${opal_programs})
  file(MAKE_DIRECTORY ${OPAL_PACKAGING_OUT}/bin)
  file(CREATE_LINK "${OPAL_PROGRAM_DIR}/${program}" ${OPAL_PACKAGING_OUT}/bin/${program} SYMBOLIC)
  install(FILES ${OPAL_PACKAGING_OUT}/bin/${program} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

# Desktop entries naming the installed program.
configure_file(${OPAL_PACKAGING_DIR}/opal-agent-setting.desktop.in
               ${OPAL_PACKAGING_OUT}/applications/opal-agent-setting.desktop @ONLY)
configure_file(${OPAL_PACKAGING_DIR}/opal-agent-setting-autostart.desktop.in
               ${OPAL_PACKAGING_OUT}/autostart/opal-agent-setting.desktop @ONLY)
install(FILES ${OPAL_PACKAGING_OUT}/applications/opal-agent-setting.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# Sessions look for autostart entries in /etc/xdg (XDG_CONFIG_DIRS), never
# under another prefix.
set(OPAL_AUTOSTART_DIR /etc/xdg/autostart)
install(FILES ${OPAL_PACKAGING_OUT}/autostart/opal-agent-setting.desktop
        DESTINATION ${OPAL_AUTOSTART_DIR})

# Icon 128 is the tray's normal icon; the application icon is the same
# picture. Every size the resources carry goes into the theme.
foreach(size 16 22 24 32 48 64)
  install(FILES ${PROJECT_SOURCE_DIR}/res/icon/128/${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME opal-agent-setting.png)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/res/images/tray-normal.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME opal-agent-setting.svg)

# Man pages, compressed as Debian installs them (-n: no time stamp, so the
# package is reproducible).
set(opal_man_pages ${OPAL_PACKAGING_DIR}/opal-agent-setting.1)
if(EXISTS ${PROJECT_SOURCE_DIR}/ctl/opal-agent-ctl.1)
  list(APPEND opal_man_pages ${PROJECT_SOURCE_DIR}/ctl/opal-agent-ctl.1)
endif()
find_program(GZIP gzip REQUIRED)
set(opal_man_outputs)
foreach(page ${opal_man_pages})
  get_filename_component(name ${page} NAME)
  set(out ${OPAL_PACKAGING_OUT}/man/${name}.gz)
  add_custom_command(OUTPUT ${out}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${OPAL_PACKAGING_OUT}/man
                     COMMAND ${GZIP} -9nc ${page} > ${out}
                     DEPENDS ${page} VERBATIM)
  list(APPEND opal_man_outputs ${out})
endforeach()
add_custom_target(opal_man_pages ALL DEPENDS ${opal_man_outputs})
install(FILES ${opal_man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(EXISTS ${PROJECT_SOURCE_DIR}/ctl/opal-agent-ctl.bash-completion)
  install(FILES ${PROJECT_SOURCE_DIR}/ctl/opal-agent-ctl.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME opal-agent-ctl)
endif()

# The polkit rule and the set-up script carry the build's choices.
configure_file(${OPAL_PACKAGING_DIR}/polkit.rules.in
               ${OPAL_PACKAGING_OUT}/50-opal-agent-setting.rules @ONLY)
install(FILES ${OPAL_PACKAGING_OUT}/50-opal-agent-setting.rules
        DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/rules.d)
set(OPAL_SETUP_SCRIPT "${CMAKE_INSTALL_FULL_DATADIR}/opal-agent-setting/setup-permissions")
set(OPAL_SETTINGS_TEMPLATE "${CMAKE_INSTALL_FULL_DATADIR}/opal-agent-setting/SettingToolSysConfig.xml")
configure_file(${OPAL_PACKAGING_DIR}/setup-permissions.in
               ${OPAL_PACKAGING_OUT}/setup-permissions @ONLY)
install(PROGRAMS ${OPAL_PACKAGING_OUT}/setup-permissions DESTINATION ${OPAL_DATA_SUBDIR})
# CR LF, as every document in the agent's home.
file(READ ${OPAL_PACKAGING_DIR}/SettingToolSysConfig.xml opal_text)
string(REPLACE "\r\n" "\n" opal_text "${opal_text}")
string(REPLACE "\n" "\r\n" opal_text "${opal_text}")
file(WRITE ${OPAL_PACKAGING_OUT}/SettingToolSysConfig.xml "${opal_text}")
install(FILES ${OPAL_PACKAGING_OUT}/SettingToolSysConfig.xml DESTINATION ${OPAL_DATA_SUBDIR})

include(${OPAL_PACKAGING_DIR}/package.cmake)

# The system helper through which users who are not root change the settings.
include(${CMAKE_CURRENT_LIST_DIR}/helper.cmake)

# The Ansible collection over opal-agent-ctl.
include(${OPAL_PACKAGING_DIR}/ansible.cmake)
