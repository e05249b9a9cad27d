# cmake -DEMULATOR=wine-run.sh|WINE|PREFIX -DLOADER=load_module.exe
#       -DMODULE=volumes.pyd -DINIT=initvolumes [-DEXPECT_UNRESOLVED_IN=FILE]
#       -P load_module.cmake
#
# Loads MODULE under Wine with the loader program and fails if the load,
# the lookup of INIT or the unloading failed, or if Wine reported an import
# that it could not resolve: Wine binds such an import to a stub that fails
# only when called, and says so only on its module debug channel.
# With EXPECT_UNRESOLVED_IN, passes only if Wine reported unresolved the
# python27.dll import named in FILE: the check above, seen to work.
cmake_minimum_required(VERSION 3.18)
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
set(ENV{WINEDEBUG} "warn+module")
# The interpreter loads an extension by its full path, drive letter and
# all: only that makes the loader look for its DLLs beside it.  Wine's
# drive Z: is this machine's root.
string(REPLACE "/" "\\" windows_path "Z:${MODULE}")
execute_process(COMMAND ${EMULATOR} "${LOADER}" "${windows_path}" "${INIT}"
                OUTPUT_VARIABLE output ERROR_VARIABLE errors
                RESULT_VARIABLE status)
message("${output}")
# Of the module channel's many warnings, the imports that Wine stubbed and
# its errors are the ones that matter.
string(REGEX MATCHALL "[^\n]*(No implementation for|err:module)[^\n]*" reports "${errors}")
list(JOIN reports "\n" shown)
message("${shown}")

set(problems "")
if(NOT status EQUAL 0)
  list(APPEND problems "the loader ended with ${status}")
endif()
get_filename_component(name "${MODULE}" NAME)
if(NOT output MATCHES "\nunloaded [^\r\n]*${name}\r?\n")
  list(APPEND problems "the loader did not say that it unloaded ${name}")
endif()
foreach(report IN LISTS reports)
  if(report MATCHES "No implementation for ([^ ]+)")
    list(APPEND problems "unresolved import ${CMAKE_MATCH_1}")
  elseif(report MATCHES "err:module")
    list(APPEND problems "Wine: ${report}")
  endif()
endforeach()

if(DEFINED EXPECT_UNRESOLVED_IN)
  file(READ "${EXPECT_UNRESOLVED_IN}" EXPECT_UNRESOLVED)
  if(NOT "unresolved import python27.dll.${EXPECT_UNRESOLVED}" IN_LIST problems)
    message(FATAL_ERROR "Wine did not report python27.dll.${EXPECT_UNRESOLVED} "
                        "unresolved; problems seen: ${problems}")
  endif()
elseif(problems)
  list(JOIN problems "\n  " problems)
  message(FATAL_ERROR "Loading ${name}:\n  ${problems}")
endif()
