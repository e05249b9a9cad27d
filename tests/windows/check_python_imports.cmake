# cmake -DOBJDUMP=... -DCXX=... -DINCLUDE_DIR=... -DMODULES=a.pyd|b.pyd
#       -DSTAMP=file -P check_python_imports.cmake
#
# Every name that the modules import from python27.dll is one that the
# interpreter's headers declare with PyAPI_FUNC or PyAPI_DATA, as this build
# sees them: the headers are preprocessed with the build's pyconfig.h, so
# that a name counts under the name it links by (PyUnicodeUCS2_FromUnicode
# for PyUnicode_FromUnicode; Py_InitModule4_64 for Py_InitModule4 in a
# 64-bit build).  The import library is made from a list kept by hand
# (cmake/python27.def): this check keeps that list to what python27.dll
# exports.
cmake_minimum_required(VERSION 3.18)
string(REPLACE "|" ";" MODULES "${MODULES}")

# Every header of the folder, after Python.h, but those written for other
# systems.
file(GLOB headers RELATIVE "${INCLUDE_DIR}" "${INCLUDE_DIR}/*.h")
list(REMOVE_ITEM headers py_curses.h pymactoolbox.h)
list(TRANSFORM headers REPLACE "(.+)" "#include <\\1>\n")
string(JOIN "" includes ${headers})
get_filename_component(work "${STAMP}" DIRECTORY)
file(WRITE "${work}/python27_headers.cpp" "#include <Python.h>\n${includes}")
execute_process(
  COMMAND "${CXX}" -E -x c++ "-I${INCLUDE_DIR}" "${work}/python27_headers.cpp"
  OUTPUT_VARIABLE text RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "Preprocessing the Python 2.7 headers failed:\n${errors}")
endif()

# Only what the interpreter's own headers declare counts, not the C
# runtime's: the line markers say which file each part comes from.  (';'
# is set aside first, as it separates CMake's list items.)
string(REPLACE ";" "`" text "${text}")
string(REGEX REPLACE "\n# [0-9]+ \"([^\"]*)\"[^\n]*" ";\\1\n" parts "${text}")
set(python_text "")
foreach(part IN LISTS parts)
  string(FIND "${part}" "\n" end)
  string(SUBSTRING "${part}" 0 ${end} file)
  string(FIND "${file}" "${INCLUDE_DIR}/" at)
  if(at EQUAL 0)
    string(SUBSTRING "${part}" ${end} -1 body)
    string(APPEND python_text "${body}")
  endif()
endforeach()

# "__attribute__((dllimport)) TYPE NAME(", "... TYPE NAME, NAME`", and for
# a pointer to a function "TYPE (*NAME)(": a name ends each declarator.
string(REGEX MATCHALL
       "dllimport\\)\\)[^`(\\[]*(\\( *\\* *[A-Za-z_0-9]+ *\\))?" declarations
       "${python_text}")
set(declared "")
foreach(declaration IN LISTS declarations)
  string(REPLACE "," ";" declarators "${declaration}")
  foreach(declarator IN LISTS declarators)
    string(REGEX MATCH "([A-Za-z_][A-Za-z_0-9]*)[ )]*$" name "${declarator}")
    list(APPEND declared "${CMAKE_MATCH_1}")
  endforeach()
endforeach()
list(LENGTH declared count)
if(count LESS 500)
  message(FATAL_ERROR "Only ${count} declarations found in the Python 2.7 headers")
endif()

set(problems "")
foreach(module IN LISTS MODULES)
  execute_process(COMMAND "${OBJDUMP}" -p "${module}" OUTPUT_VARIABLE dump
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${module} failed")
  endif()
  # The import table names each DLL, then one "vma hint name" line per
  # import, up to a blank line.
  string(REGEX MATCH "DLL Name: python27\\.dll\n[^\n]*\n(([ \t]*[0-9a-fA-F]+[ \t]+[0-9]+[ \t]+[^\n]+\n)*)"
         block "${dump}")
  string(REGEX MATCHALL "[^ \t\n]+\n" imports "${CMAKE_MATCH_1}")
  list(TRANSFORM imports STRIP)
  get_filename_component(name "${module}" NAME)
  if(NOT imports)
    list(APPEND problems "${name} imports nothing from python27.dll")
  endif()
  foreach(import IN LISTS imports)
    if(NOT import IN_LIST declared)
      list(APPEND problems "${name} imports ${import}, which the Python 2.7 headers do not declare")
    endif()
  endforeach()
  list(LENGTH imports imported)
  list(APPEND summary "${name}: ${imported}")
endforeach()
if(problems)
  list(JOIN problems "\n  " problems)
  message(FATAL_ERROR "python27.dll:\n  ${problems}")
endif()
list(JOIN summary ", " summary)
message(STATUS "Imports of python27.dll, each declared by the headers: ${summary}")
file(TOUCH "${STAMP}")
