# The exported names, from the one list in the module definition file.
#
# dtucentre_read_exports(<def-file> <out-var>) sets <out-var> to the names of
# the EXPORTS section, plus the ";posix NAME" lines when not building for
# Windows, and makes a change to the file reconfigure the build.
#
# dtucentre_write_version_script(<names> <file>) writes a GNU ld version
# script that exports exactly <names> and hides everything else.
function(dtucentre_read_exports def_file out_var)
  file(STRINGS ${def_file} _lines)
  set(_names "")
  set(_in_exports OFF)
  foreach(_line IN LISTS _lines)
    string(STRIP "${_line}" _line)
    if(_line STREQUAL "EXPORTS")
      set(_in_exports ON)
    elseif(_line MATCHES "^;posix[ \t]+([A-Za-z_][A-Za-z0-9_]*)$")
      if(NOT WIN32)
        list(APPEND _names ${CMAKE_MATCH_1})
      endif()
    elseif(_in_exports AND _line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)$")
      list(APPEND _names ${CMAKE_MATCH_1})
    endif()
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def_file})
  set(${out_var} ${_names} PARENT_SCOPE)
endfunction()

function(dtucentre_write_version_script names file)
  list(JOIN names ";\n    " _globals)
  file(WRITE ${file} "{\n  global:\n    ${_globals};\n  local: *;\n};\n")
endfunction()
