# The Debian package: `cpack -G DEB` in the build directory (or
# scripts/package.sh, which also runs lintian). One package with the
# programs stripped, and a -dbgsym package with their debug symbols.

# The preinst is the set-up script itself: before dpkg unpacks, the home
# must already be a tree that only root can change (an earlier release let
# the group write it), or dpkg would write through what a member planted.
configure_file(${OPAL_PACKAGING_DIR}/setup-permissions.in ${OPAL_PACKAGING_OUT}/debian/preinst @ONLY)
configure_file(${OPAL_PACKAGING_DIR}/debian/postinst.in ${OPAL_PACKAGING_OUT}/debian/postinst @ONLY)
configure_file(${OPAL_PACKAGING_DIR}/debian/postrm.in ${OPAL_PACKAGING_OUT}/debian/postrm @ONLY)
file(WRITE ${OPAL_PACKAGING_OUT}/debian/conffiles
     "${OPAL_AUTOSTART_DIR}/opal-agent-setting.desktop\n")

# The package's documentation: copyright and changelog where Debian wants
# them, the changelog compressed without a time stamp.
set(opal_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/opal-agent-setting)
install(FILES ${OPAL_PACKAGING_DIR}/debian/copyright DESTINATION ${opal_doc_dir})
add_custom_command(OUTPUT ${OPAL_PACKAGING_OUT}/debian/changelog.gz
                   COMMAND ${GZIP} -9nc ${OPAL_PACKAGING_DIR}/debian/changelog
                           > ${OPAL_PACKAGING_OUT}/debian/changelog.gz
                   DEPENDS ${OPAL_PACKAGING_DIR}/debian/changelog VERBATIM)
add_custom_target(opal_changelog ALL DEPENDS ${OPAL_PACKAGING_OUT}/debian/changelog.gz)
install(FILES ${OPAL_PACKAGING_OUT}/debian/changelog.gz DESTINATION ${opal_doc_dir})
install(FILES ${OPAL_PACKAGING_DIR}/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME opal-agent-setting)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME opal-agent-setting)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Norvale)
set(CPACK_PACKAGE_CONTACT "Norvale <support@norvale.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${OPAL_PRODUCT_NAME}: the agent's settings and status")
# CPack puts the summary first and indents these lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The settings tool of the Kestrel Agent. It sits in the notification area
next to the agent's service, shows the agent's status, points the agent at
its management server (address, port, HTTPS, server authentication, a
proxy, the root CA and client certificate), tests that connection and
starts, stops and restarts the agent's service. opal-agent-ctl does the
same from a terminal or a script.

Members of the group ${OPAL_ADMIN_GROUP} change the settings and control the
service; everybody else sees the status.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# groupadd comes from passwd; the polkit rule needs polkitd to mean anything.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "polkitd, qt6-wayland, qt6-translations-l10n")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${OPAL_PACKAGING_OUT}/debian/preinst ${OPAL_PACKAGING_OUT}/debian/postinst
    ${OPAL_PACKAGING_OUT}/debian/postrm
    ${OPAL_PACKAGING_OUT}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Directories as Debian has them, whatever the builder's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
