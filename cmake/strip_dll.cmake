# Strips a release DLL and keeps its debug information beside it in
# <dll>.debug, linked from the DLL by a .gnu_debuglink section (gdb and
# other debuggers that follow it find the symbols).  Debug builds stay as
# they are.  Arguments: OBJCOPY, DLL, CONFIG.
if(CONFIG STREQUAL "Debug")
  return()
endif()
get_filename_component(dir ${DLL} DIRECTORY)
get_filename_component(name ${DLL} NAME)
foreach(args IN ITEMS "--only-keep-debug;${name};${name}.debug"
                      "--strip-all;--add-gnu-debuglink=${name}.debug;${name}")
  execute_process(COMMAND ${OBJCOPY} ${args} WORKING_DIRECTORY ${dir} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJCOPY} ${args} failed")
  endif()
endforeach()
