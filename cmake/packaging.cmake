# Installing the programs' files and building a Debian package with CPack.
# The programs themselves are installed by tools/CMakeLists.txt.
if(DTUCENTRE_BUILD_TOOLS AND NOT WIN32)
  # /etc for a /usr prefix (the package); otherwise etc under the prefix
  # given at install time.
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(DTUCENTRE_CONF_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/dtucentre)
  else()
    set(DTUCENTRE_CONF_DIR ${CMAKE_INSTALL_SYSCONFDIR}/dtucentre)
  endif()
  install(FILES packaging/dtucentre.conf DESTINATION ${DTUCENTRE_CONF_DIR})
  install(FILES packaging/dtucentre.service DESTINATION lib/systemd/system)
  install(FILES docs/centre.md docs/guide.md docs/protocol.md README.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME dtucentre)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "dtucentre maintainers <dtucentre@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "data service centre for GPRS data terminals over UDP")
set(CPACK_PACKAGE_DESCRIPTION
    "A library that makes its host a data service centre for GPRS data terminals, the centre program (dtucentre) that runs it as a service, and a terminal simulator (dtusim).")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The configuration is the administrator's: dpkg keeps their edits.
file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/dtucentre/dtucentre.conf\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/conffiles)
# The shared library in the multiarch folder: an ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_SET_DESTDIR ON)
include(CPack)
