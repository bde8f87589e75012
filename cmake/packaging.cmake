# Installing the programs' files and building a Debian package with CPack.
# The programs themselves are installed by tools/CMakeLists.txt.
set(DTUCENTRE_PACKAGE_CONTACT "dtucentre maintainers <dtucentre@localhost>" CACHE STRING
    "The Debian package's maintainer (Name <mail>)")
set(CPACK_PACKAGE_CONTACT "${DTUCENTRE_PACKAGE_CONTACT}")
# The Debian revision of this version's package.
set(DTU_DEB_RELEASE 1)
if(DTUCENTRE_BUILD_TOOLS AND NOT WIN32)
  # The configuration, the unit and the logrotate rules depend on the prefix
  # given at install time (cmake --install --prefix, or cpack's /usr).
  install(CODE "
    set(DTU_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
    set(DTU_BINARY_DIR \"${PROJECT_BINARY_DIR}\")
    set(DTU_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    set(DTU_DOCDIR \"${CMAKE_INSTALL_DOCDIR}\")
    include(\"${PROJECT_SOURCE_DIR}/cmake/install_centre.cmake\")")
  # Every page the program and the README point to, and the API's schema.
  install(FILES README.md docs/centre.md docs/guide.md docs/protocol.md docs/service.md
                docs/mqtt.md docs/http.md docs/events.md docs/openapi.json
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # What a Debian user finds beside every package's docs.
  install(FILES packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
  configure_file(packaging/debian/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
  execute_process(COMMAND gzip -9n
    INPUT_FILE ${PROJECT_BINARY_DIR}/packaging/changelog
    OUTPUT_FILE ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
  install(FILES packaging/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME dtucentre)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME dtucentre)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${DTU_DEB_RELEASE})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "data service centre for GPRS data terminals over UDP")
set(CPACK_PACKAGE_DESCRIPTION "A library that makes its host a data service centre for GPRS data
terminals over UDP, the centre program (dtucentre) that runs it as a
systemd service with a web console, an HTTP API and an MQTT gateway, a
terminal simulator (dtusim) and a Wireshark dissector.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The files in /etc are the administrator's: dpkg keeps their edits.
file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "/etc/dtucentre/dtucentre.conf\n/etc/dtucentre/params.toml\n/etc/logrotate.d/dtucentre\n")
# The shared library: the loader's cache is renewed after install and removal.
file(WRITE ${PROJECT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
# The service is stopped before removal and restarted after an upgrade
# (only where systemd runs).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/conffiles ${PROJECT_BINARY_DIR}/debian/triggers
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Stripped: the build's debug information stays in the build folder.
set(CPACK_STRIP_FILES ON)
# The shared library in the multiarch folder: an ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
include(CPack)
