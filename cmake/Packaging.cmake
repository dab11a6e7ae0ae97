# What an installation holds, and the packages CPack makes of it: a Debian package on Linux
# (cpack -G DEB), a ZIP of the program and its read-me on Windows (cpack -G ZIP).
# scripts/package.sh builds, checks and installs them.
#
# Every rule installs into the component "program", and CPack packs only that one, so that
# nothing a dependency might install lands in a package.
#
# Installing builds nothing first: scripts/package.sh builds the targets it packs, and a
# Windows tree need not build its tests to be packed.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_PACKAGE_NAME korvan-tessivo)
set(CPACK_PACKAGE_VENDOR "Korvan Tessivo developers")
set(CPACK_PACKAGE_CONTACT "Korvan Tessivo developers <korvan-tessivo@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "cuts TCP connections on blocked ports")
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};program;/")
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
    install(TARGETS korvan-tessivo RUNTIME DESTINATION . COMPONENT program)
    install(FILES ${PROJECT_SOURCE_DIR}/src/ui/readme.txt DESTINATION . COMPONENT program)

    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME win64)
    set(CPACK_PACKAGE_FILE_NAME
        "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}")
    include(CPack)
    return()
endif()

include(GNUInstallDirs)
set(KT_PACKAGING ${PROJECT_SOURCE_DIR}/packaging)
set(KT_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
set(KT_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/korvan-tessivo)

# Debian wants its manual pages and changelog compressed, without a name or time stamp inside.
find_program(KT_GZIP gzip REQUIRED)
add_custom_command(
    OUTPUT ${KT_PACKAGING_OUT}/korvan-tessivo.1.gz ${KT_PACKAGING_OUT}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KT_PACKAGING_OUT}
    COMMAND ${KT_GZIP} -9n -c ${KT_PACKAGING}/korvan-tessivo.1
            > ${KT_PACKAGING_OUT}/korvan-tessivo.1.gz
    COMMAND ${KT_GZIP} -9n -c ${KT_PACKAGING}/changelog > ${KT_PACKAGING_OUT}/changelog.gz
    DEPENDS ${KT_PACKAGING}/korvan-tessivo.1 ${KT_PACKAGING}/changelog
    COMMENT "Compressing the manual page and the changelog"
    VERBATIM)
add_custom_target(korvan-tessivo-docs ALL
    DEPENDS ${KT_PACKAGING_OUT}/korvan-tessivo.1.gz ${KT_PACKAGING_OUT}/changelog.gz)

install(TARGETS korvan-tessivo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
install(FILES ${KT_PACKAGING}/korvan-tessivo.desktop
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications COMPONENT program)
install(FILES ${KT_PACKAGING}/korvan-tessivo.png
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/32x32/apps COMPONENT program)
install(FILES ${KT_PACKAGING_OUT}/korvan-tessivo.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
install(FILES ${PROJECT_SOURCE_DIR}/src/ui/readme.txt ${KT_PACKAGING}/copyright
              ${KT_PACKAGING_OUT}/changelog.gz
        DESTINATION ${KT_DOC_DIR} COMPONENT program)
# Where Debian 12's systemd and debhelper put a package's units; /usr/lib/systemd/system is the
# same folder on its merged /usr, but Debian moves packages' files there only after bookworm.
install(FILES ${KT_PACKAGING}/korvan-tessivo.service
        DESTINATION /lib/systemd/system COMPONENT program)
# The service's rules: a conffile, so that an upgrade keeps the administrator's edits.
install(FILES ${KT_PACKAGING}/KorvanTessivo.ini
        DESTINATION /etc/korvan-tessivo COMPONENT program)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(KT_WEBSITE)
    set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${KT_WEBSITE})
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# postinst makes the control socket's group with addgroup.
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
# CPack puts the summary first and indents this long text itself; an empty line parts paragraphs.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Korvan Tessivo guards the machine's IPv4 TCP connections: it cuts every
established connection that uses a blocked local port or a blocked remote
port, unless the remote address is on its list of allowed addresses.

A Qt window shows the live connections, the machine's own addresses and the
three rule lists, and keeps the user's rules. A systemd service, not enabled
by default, guards without a window by the rules in
/etc/korvan-tessivo/KorvanTessivo.ini; root and the members of the group
korvan-tessivo read and change them through its control socket. Where the
kernel allows, a BPF program judges each connection as it is established and
it is cut within microseconds; elsewhere the program polls the connection
table.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${KT_PACKAGING}/conffiles ${KT_PACKAGING}/postinst ${KT_PACKAGING}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
