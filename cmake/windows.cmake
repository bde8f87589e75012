# Windows parts of the build, included by the top CMakeLists.txt after the
# library target exists:
#  - a version resource in dtucentre.dll;
#  - release DLLs stripped, their debug information in dtucentre.dll.debug;
#  - dtucentre.def as shipped (comments and POSIX-only names dropped) and an
#    MSVC-style import library dtucentre.lib made from it;
#  - `cpack -G ZIP`: one package per architecture, holding exactly the DLL,
#    the two import libraries, the .def, the header, the docs and the example.

set(DTUCENTRE_COPYRIGHT "Copyright (C) 2026 the dtucentre developers"
  CACHE STRING "Copyright line of the DLL's version resource")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(DTUCENTRE_WIN_ARCH x64)
  set(_dlltool_machine i386:x86-64)
else()
  set(DTUCENTRE_WIN_ARCH x86)
  set(_dlltool_machine i386)
endif()

# ---- version resource ----------------------------------------------------
enable_language(RC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/dtucentre.rc.in ${PROJECT_BINARY_DIR}/dtucentre.rc @ONLY)
target_sources(dtucentre PRIVATE ${PROJECT_BINARY_DIR}/dtucentre.rc)

# ---- stripped release DLLs -----------------------------------------------
if(NOT MSVC)
  # Release builds carry no debug information by default; compile it in so
  # that there is something to keep beside the stripped DLL.  -g does not
  # change the generated code.
  target_compile_options(dtucentre_objects PRIVATE $<$<CONFIG:Release,MinSizeRel>:-g>)
  if(NOT CMAKE_OBJCOPY)
    find_program(CMAKE_OBJCOPY NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-objcopy objcopy)
  endif()
  add_custom_command(TARGET dtucentre POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DOBJCOPY=${CMAKE_OBJCOPY} -DDLL=$<TARGET_FILE:dtucentre>
            -DCONFIG=$<CONFIG> -P ${CMAKE_CURRENT_LIST_DIR}/strip_dll.cmake
    VERBATIM)
endif()

# ---- the .def as shipped, and dtucentre.lib ------------------------------
if(NOT DTUCENTRE_DEF)
  set(DTUCENTRE_DEF ${PROJECT_SOURCE_DIR}/src/exports/dtucentre.def)
endif()
file(STRINGS ${DTUCENTRE_DEF} _win_def_lines)
set(_win_def "; dtucentre ${PROJECT_VERSION}: the names dtucentre.dll exports (C calling convention)\n")
foreach(_line IN LISTS _win_def_lines)
  string(STRIP "${_line}" _line)
  if(_line MATCHES "^LIBRARY")
    string(APPEND _win_def "LIBRARY dtucentre.dll\n")
  elseif(_line STREQUAL "EXPORTS")
    string(APPEND _win_def "EXPORTS\n")
  elseif(_line MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
    string(APPEND _win_def "    ${_line}\n")
  endif()
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${DTUCENTRE_DEF})
set(DTUCENTRE_WIN_DEF ${PROJECT_BINARY_DIR}/dtucentre.def)
file(WRITE ${DTUCENTRE_WIN_DEF}.tmp "${_win_def}")
configure_file(${DTUCENTRE_WIN_DEF}.tmp ${DTUCENTRE_WIN_DEF} COPYONLY)

# llvm-dlltool writes short import members, which the MSVC linker and lld-link
# accept under /SAFESEH on x86 (the import library that GNU ld writes beside
# the DLL does not pass there).
find_program(DTUCENTRE_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 llvm-dlltool-15 llvm-dlltool-16)
if(DTUCENTRE_LLVM_DLLTOOL)
  set(DTUCENTRE_MSVC_LIB ${PROJECT_BINARY_DIR}/dtucentre.lib)
  add_custom_command(OUTPUT ${DTUCENTRE_MSVC_LIB}
    COMMAND ${DTUCENTRE_LLVM_DLLTOOL} -m ${_dlltool_machine} -d ${DTUCENTRE_WIN_DEF}
            -l ${DTUCENTRE_MSVC_LIB} -D dtucentre.dll
    DEPENDS ${DTUCENTRE_WIN_DEF}
    COMMENT "Import library for MSVC: dtucentre.lib (${DTUCENTRE_WIN_ARCH})"
    VERBATIM)
  add_custom_target(dtucentre_msvc_lib ALL DEPENDS ${DTUCENTRE_MSVC_LIB})
else()
  message(WARNING "llvm-dlltool not found (Debian package llvm): no dtucentre.lib, no ZIP package")
  return()
endif()

# ---- the ZIP package -------------------------------------------------------
# A component of its own, so that the package holds these files and nothing
# else of what `cmake --install` puts in place (CMake and pkg-config files).
set(_pkg COMPONENT winpackage)
install(FILES $<TARGET_FILE:dtucentre> DESTINATION bin ${_pkg})
install(FILES ${DTUCENTRE_MSVC_LIB} $<TARGET_LINKER_FILE:dtucentre> ${DTUCENTRE_WIN_DEF}
  DESTINATION lib ${_pkg})
install(FILES ${PROJECT_SOURCE_DIR}/include/dtucentre.h DESTINATION include ${_pkg})
install(FILES ${PROJECT_SOURCE_DIR}/docs/guide.md ${PROJECT_SOURCE_DIR}/docs/protocol.md
  DESTINATION docs ${_pkg})
install(FILES ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt ${PROJECT_SOURCE_DIR}/examples/host.c
  DESTINATION examples ${_pkg})

set(CPACK_PACKAGE_NAME dtucentre)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME dtucentre-${PROJECT_VERSION}-windows-${DTUCENTRE_WIN_ARCH})
set(CPACK_GENERATOR ZIP)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL winpackage)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_ARCHIVE_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
