# The Debian package, built by CPack: `cmake --build build --target package` writes
# build/dorvekzol_<version>_<arch>.deb. It holds the executable in /opt/dorvekzol, the
# database scripts and the Prometheus alerting rules in /usr/share/dorvekzol, the README
# and the manual page dorvekzol(8).
# Installing it registers and starts nothing: `/opt/dorvekzol/dorvekzol INSTALL` does.
# Upgrading it restarts a running service.
# Depends is found from the executable by dpkg-shlibdeps, plus what the executable loads
# or runs without linking it.

execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE DORVEK_DEB_ARCH
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(DORVEK_PACKAGE_FILE ${CMAKE_BINARY_DIR}/dorvekzol_${PROJECT_VERSION}_${DORVEK_DEB_ARCH}.deb)

# The manual page with its version filled in, gzipped as Debian keeps manual pages
# (-n: no name or time stamp inside, so the same page gives the same bytes).
configure_file(${CMAKE_SOURCE_DIR}/doc/dorvekzol.8.in ${CMAKE_BINARY_DIR}/man/dorvekzol.8 @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/dorvekzol.8.gz
                   COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/man/dorvekzol.8
                   DEPENDS ${CMAKE_BINARY_DIR}/man/dorvekzol.8
                   VERBATIM)
add_custom_target(man_page ALL DEPENDS ${CMAKE_BINARY_DIR}/man/dorvekzol.8.gz)

# Paths are the package's own, from the root.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS dorvekzol RUNTIME DESTINATION opt/dorvekzol)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/src/db/schema/ DESTINATION usr/share/dorvekzol
        FILES_MATCHING PATTERN "*.sql")
install(FILES ${CMAKE_SOURCE_DIR}/monitoring/dorvekzol.rules.yml DESTINATION usr/share/dorvekzol)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION usr/share/doc/dorvekzol)
install(FILES ${CMAKE_BINARY_DIR}/man/dorvekzol.8.gz DESTINATION usr/share/man/man8)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dorvekzol)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "dorvekzol maintainers <dorvekzol@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "taxi dispatch database to vehicle terminal link (service DorvekZOL)")
# The long description's lines, a blank line between paragraphs; CPack indents them.
set(CPACK_PACKAGE_DESCRIPTION
    "dorvekzol couples a taxi company's dispatch database with the data terminals
in its vehicles, through one TCP connection to a terminal gateway. It runs
unattended as the systemd service DorvekZOL under the user dorvekzol.

Installing the package starts nothing: run /opt/dorvekzol/dorvekzol INSTALL
to create the user, register the service and write the configuration
template, then see dorvekzol(8). Upgrading the package restarts the
service when it runs.")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME dorvekzol_${PROJECT_VERSION}_${DORVEK_DEB_ARCH}.deb)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${DORVEK_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the executable links (dpkg-shlibdeps, from dpkg-dev) ...
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# ... and what it needs without linking: the FreeTDS ODBC driver, which the ODBC
# manager loads by its name "FreeTDS"; useradd for INSTALL; systemd to run the unit.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tdsodbc, passwd, systemd")
# The sqlite3 shell makes a trial database from /usr/share/dorvekzol/sqlite.sql.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "sqlite3")
# The maintainer scripts: the prerm unregisters the service at removal, the postinst
# restarts it after an upgrade (it knows its own version, to tell a reinstallation).
configure_file(${CMAKE_SOURCE_DIR}/packaging/postinst.in ${CMAKE_BINARY_DIR}/packaging/postinst @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                                WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/prerm ${CMAKE_BINARY_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
