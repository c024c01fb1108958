# The system helper: the program, its D-Bus activation and bus policy, its
# systemd unit and the polkit actions it checks. Included by install.cmake.
#
#   <libexecdir>/opal-agent-setting/opal-agent-helper
#   <datadir>/dbus-1/system-services/org.opal.AgentSetting1.service
#   <datadir>/dbus-1/system.d/org.opal.AgentSetting1.conf
#   /lib/systemd/system/opal-agent-helper.service   (<prefix>/lib/... elsewhere)
#   <datadir>/polkit-1/actions/org.opal.agent.policy

if(NOT TARGET opal-agent-helper)
  return()
endif()

set(OPAL_HELPER_DIR ${CMAKE_INSTALL_FULL_LIBEXECDIR}/opal-agent-setting)
set(OPAL_HELPER_EXEC ${OPAL_HELPER_DIR}/opal-agent-helper)
# Debian keeps the units of packages under /lib; another prefix has its own.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(OPAL_SYSTEMD_UNIT_DIR /lib/systemd/system)
else()
  set(OPAL_SYSTEMD_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()

configure_file(${OPAL_PACKAGING_DIR}/dbus/org.opal.AgentSetting1.service.in
               ${OPAL_PACKAGING_OUT}/dbus/org.opal.AgentSetting1.service @ONLY)
configure_file(${OPAL_PACKAGING_DIR}/systemd/opal-agent-helper.service.in
               ${OPAL_PACKAGING_OUT}/systemd/opal-agent-helper.service @ONLY)

install(TARGETS opal-agent-helper RUNTIME DESTINATION ${OPAL_HELPER_DIR})
install(FILES ${OPAL_PACKAGING_OUT}/dbus/org.opal.AgentSetting1.service
        DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/system-services)
install(FILES ${OPAL_PACKAGING_DIR}/dbus/org.opal.AgentSetting1.conf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/system.d)
install(FILES ${OPAL_PACKAGING_OUT}/systemd/opal-agent-helper.service
        DESTINATION ${OPAL_SYSTEMD_UNIT_DIR})
install(FILES ${OPAL_PACKAGING_DIR}/polkit/org.opal.agent.policy
        DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions)
