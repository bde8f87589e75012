# The centre program and its front ends (service/, mqtt/, http/, tools/) need
# a few Debian libraries that the library itself does not.  Where one is
# missing, the programs are skipped with a message naming the packages, and
# the library still builds and installs on its own.
set(DTUCENTRE_HOST_SIDE_MISSING "")
find_package(PkgConfig QUIET)
foreach(_pair IN ITEMS "libuv=libuv1-dev" "libpcap=libpcap-dev" "libedit=libedit-dev"
                       "libmosquitto=libmosquitto-dev" "cpp-httplib=libcpp-httplib-dev")
  string(REPLACE "=" ";" _pair "${_pair}")
  list(GET _pair 0 _module)
  list(GET _pair 1 _package)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(_dtu_probe_${_module} QUIET ${_module})
  endif()
  if(NOT _dtu_probe_${_module}_FOUND)
    list(APPEND DTUCENTRE_HOST_SIDE_MISSING ${_package})
  endif()
endforeach()
find_package(nlohmann_json 3 QUIET)
if(NOT nlohmann_json_FOUND)
  list(APPEND DTUCENTRE_HOST_SIDE_MISSING nlohmann-json3-dev)
endif()
find_path(_dtu_probe_tomlpp toml++/toml.h)
if(NOT _dtu_probe_tomlpp)
  list(APPEND DTUCENTRE_HOST_SIDE_MISSING libtomlplusplus-dev)
endif()
if(NOT PKG_CONFIG_FOUND)
  list(APPEND DTUCENTRE_HOST_SIDE_MISSING pkg-config)
endif()
if(DTUCENTRE_HOST_SIDE_MISSING)
  list(JOIN DTUCENTRE_HOST_SIDE_MISSING " " _missing)
  message(STATUS "dtucentre: the centre program and simulator are skipped; they need: ${_missing} "
                 "(apt-get install ${_missing})")
endif()
