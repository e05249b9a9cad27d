# cmake -DOBJDUMP=... -DMODULE=volumes.pyd -DOUTPUT=python27.cpp [-DOMIT_FIRST=ON]
#       -P python27_standin.cmake
#
# Writes the source of a stand-in python27.dll for loading MODULE: it exports
# every name that MODULE imports from python27.dll, each a block of int3
# instructions in read-only data, so that loading the module finds every
# import while a call into any of them would trap.  With OMIT_FIRST, the
# first import is left out, and its name written to OUTPUT.omitted.
cmake_minimum_required(VERSION 3.18)
execute_process(COMMAND "${OBJDUMP}" -p "${MODULE}" OUTPUT_VARIABLE dump
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${MODULE} failed")
endif()
string(REGEX MATCH "DLL Name: python27\\.dll\n[^\n]*\n(([ \t]*[0-9a-fA-F]+[ \t]+[0-9]+[ \t]+[^\n]+\n)*)"
       block "${dump}")
string(REGEX MATCHALL "[^ \t\n]+\n" imports "${CMAKE_MATCH_1}")
list(TRANSFORM imports STRIP)
if(NOT imports)
  message(FATAL_ERROR "${MODULE} imports nothing from python27.dll")
endif()
if(OMIT_FIRST)
  list(POP_FRONT imports omitted)
  file(WRITE "${OUTPUT}.omitted" "${omitted}")
endif()

set(source "// Made from the python27.dll imports of ${MODULE}.\n")
foreach(name IN LISTS imports)
  string(APPEND source "extern \"C\" __declspec(dllexport) const unsigned char ${name}[16] = {\n"
                       "    0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC,\n"
                       "    0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC};\n")
endforeach()
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
endif()
if(NOT previous STREQUAL source)
  file(WRITE "${OUTPUT}" "${source}")
endif()
