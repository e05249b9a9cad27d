# cmake -DOBJDUMP=... -DMODULE=file.pyd -P check_pe_module.cmake
#
# A Python 2.7 extension for Windows exports its init function alone, and
# needs nothing beyond python27.dll, kernel32 and the C runtime: no DLL of
# the compiler's.
cmake_policy(SET CMP0057 NEW)  # IN_LIST
execute_process(COMMAND "${OBJDUMP}" -p "${MODULE}"
                OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${MODULE} failed")
endif()
get_filename_component(name "${MODULE}" NAME_WE)

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
list(TRANSFORM imports REPLACE "DLL Name: " "")
foreach(import IN LISTS imports)
  string(TOLOWER "${import}" lower)
  if(NOT lower MATCHES "^(python27|kernel32|msvcrt|api-ms-win-crt-[a-z0-9-]+)\\.dll$")
    message(SEND_ERROR "${name}: imports ${import}")
  endif()
endforeach()
if(NOT "python27.dll" IN_LIST imports)
  message(SEND_ERROR "${name}: does not import python27.dll")
endif()

# The export table lists each name as "[   n] name" after this heading.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([ \t]*\\[[ 0-9]+\\][^\n]*\n)*)"
       table "${dump}")
string(REGEX MATCHALL "\\] [^\n]+" exports "${CMAKE_MATCH_1}")
list(TRANSFORM exports REPLACE "^\\] " "")
if(NOT exports STREQUAL "init${name}")
  message(SEND_ERROR "${name}: exports [${exports}], not init${name} alone")
endif()
message(STATUS "${name}: imports ${imports}; exports ${exports}")
