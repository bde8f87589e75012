# Runs at install time (cmake --install, cpack), when the prefix is known:
# puts the sample configuration and parameter names, the systemd unit made
# for these paths and the logrotate rules in place.  For the prefix /usr (the Debian package)
# the configuration goes to /etc, otherwise to etc under the prefix.
# Set by the caller: DTU_SOURCE_DIR, DTU_BINARY_DIR, DTU_BINDIR, DTU_DOCDIR
# (the last two as GNUInstallDirs gives them, relative or absolute).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(_etc /etc)
else()
  set(_etc ${CMAKE_INSTALL_PREFIX}/etc)
endif()
foreach(_dir BINDIR DOCDIR)
  if(IS_ABSOLUTE "${DTU_${_dir}}")
    set(DTU_${_dir}_FULL "${DTU_${_dir}}")
  else()
    set(DTU_${_dir}_FULL "${CMAKE_INSTALL_PREFIX}/${DTU_${_dir}}")
  endif()
endforeach()
set(DTU_BIN_DIR ${DTU_BINDIR_FULL})
set(DTU_DOC_DIR ${DTU_DOCDIR_FULL})
set(DTU_CONF_DIR ${_etc}/dtucentre)
configure_file(${DTU_SOURCE_DIR}/packaging/dtucentre.service.in
               ${DTU_BINARY_DIR}/packaging/dtucentre.service @ONLY)
file(INSTALL ${DTU_SOURCE_DIR}/packaging/dtucentre.conf ${DTU_SOURCE_DIR}/packaging/params.toml
     DESTINATION ${DTU_CONF_DIR})
file(INSTALL ${DTU_BINARY_DIR}/packaging/dtucentre.service
     DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
file(INSTALL ${DTU_SOURCE_DIR}/packaging/dtucentre.logrotate
     DESTINATION ${_etc}/logrotate.d RENAME dtucentre)
