# What an installation holds: on Linux what the Debian package ships (debian/ builds it with
# debhelper), on Windows a ZIP of the program and its read-me that CPack makes (cpack -G ZIP).
# scripts/package.sh builds and checks both.
#
# Every rule installs into the component "program", and only that one is packed, so that
# nothing a dependency might install lands in a package.
#
# Installing builds nothing first: the package's build makes only the program, and a Windows
# tree need not build its tests to be packed.
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

# The Debian package is built from these rules by debhelper (debian/rules), which also installs
# the units, the copyright and the changelog and compresses the manual page.
install(TARGETS korvan-tessivo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
install(FILES ${KT_PACKAGING}/korvan-tessivo.desktop
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications COMPONENT program)
install(FILES ${KT_PACKAGING}/korvan-tessivo.png
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/32x32/apps COMPONENT program)
install(FILES ${KT_PACKAGING}/korvan-tessivo.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
install(FILES ${PROJECT_SOURCE_DIR}/src/ui/readme.txt
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/korvan-tessivo COMPONENT program)
# The service's default rules. The program rewrites the live file, so it is no conffile: the
# package's postinst copies this one to /etc/korvan-tessivo when none is there.
install(FILES ${KT_PACKAGING}/KorvanTessivo.ini
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/korvan-tessivo COMPONENT program)
