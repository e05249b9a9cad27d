# Python 2.7 for a Windows build, without running any interpreter.
#
# The headers are those of the interpreter at PYTHON2_ROOT, except its
# pyconfig.h, which describes the machine it was built on: they are copied
# into an include folder of this build beside the Windows pyconfig.h of
# cmake/python27-windows.  (Python.h includes "pyconfig.h" from its own
# folder first, so the interpreter's own folder cannot be used as it is.)
# python27.dll is linked through an import library that dlltool makes from
# cmake/python27.def.
set(python2_headers "${PYTHON2_ROOT}/include/python2.7")
if(NOT EXISTS "${python2_headers}/Python.h")
  message(FATAL_ERROR "No Python 2.7 headers in ${python2_headers}: set PYTHON2_ROOT")
endif()
set(PYTHON2_INCLUDE_DIR "${CMAKE_BINARY_DIR}/python27-windows/include")
file(GLOB python2_header_files "${python2_headers}/*.h")
list(FILTER python2_header_files EXCLUDE REGEX "/pyconfig\\.h$")
file(COPY ${python2_header_files} DESTINATION "${PYTHON2_INCLUDE_DIR}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/python27-windows/pyconfig.h"
               "${PYTHON2_INCLUDE_DIR}/pyconfig.h" COPYONLY)

if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES dlltool REQUIRED)
endif()
set(python27_import_library "${CMAKE_BINARY_DIR}/python27-windows/libpython27.a")
add_custom_command(
  OUTPUT "${python27_import_library}"
  COMMAND "${CMAKE_DLLTOOL}" --input-def "${CMAKE_CURRENT_LIST_DIR}/python27.def"
          --dllname python27.dll --output-lib "${python27_import_library}"
  DEPENDS "${CMAKE_CURRENT_LIST_DIR}/python27.def"
  COMMENT "Making the import library of python27.dll")
add_custom_target(python27_import_library_file DEPENDS "${python27_import_library}")
add_library(python27_import_library INTERFACE)
target_link_libraries(python27_import_library INTERFACE "${python27_import_library}")
add_dependencies(python27_import_library python27_import_library_file)
