# cmake -DOBJDUMP=... -DTREE=build-tree -DPREFIX=folder -P check_installed_module.cmake
#
# Installs the tree into PREFIX as a host's installer would, and checks the
# volumes.pyd installed: no debug section left in it (its DWARF is in
# volumes.pyd.debug beside it), its export and imports as check_pe_module
# requires.
cmake_minimum_required(VERSION 3.18)
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${TREE}" --prefix "${PREFIX}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install ${TREE} failed")
endif()
set(module "${PREFIX}/windows/volumes.pyd")
foreach(file IN ITEMS "${module}" "${module}.debug")
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "Not installed: ${file}")
  endif()
endforeach()

execute_process(COMMAND "${OBJDUMP}" -h "${module}" OUTPUT_VARIABLE sections
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -h ${module} failed")
endif()
string(REGEX MATCHALL "\n +[0-9]+ +\\.z?debug[^ ]*" debug "${sections}")
if(debug)
  string(STRIP "${debug}" debug)
  message(FATAL_ERROR "${module} keeps debug sections: ${debug}")
endif()
execute_process(COMMAND "${OBJDUMP}" -h "${module}.debug" OUTPUT_VARIABLE sections)
if(NOT sections MATCHES "\\.debug_info")
  message(FATAL_ERROR "${module}.debug holds no .debug_info")
endif()
file(SIZE "${module}" size)
message(STATUS "${module}: ${size} bytes, no debug section")

set(MODULE "${module}")
include("${CMAKE_CURRENT_LIST_DIR}/check_pe_module.cmake")
