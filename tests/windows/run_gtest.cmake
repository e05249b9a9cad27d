# cmake -DEMULATOR=wine-run.sh|WINE|PREFIX -DPROGRAM=tests.exe -DREPORT=file.xml
#       -P run_gtest.cmake
#
# Runs a GoogleTest program once under Wine, all its tests, with its report
# in REPORT, which the tests of each case read (gtest_case.cmake).  Fails
# unless the program printed GoogleTest's closing line and either succeeded
# or failed only through tests that it lists as failed: Wine that cannot
# start a program can end without a word and a status of 0.
cmake_minimum_required(VERSION 3.18)
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
get_filename_component(directory "${REPORT}" DIRECTORY)
get_filename_component(report_name "${REPORT}" NAME)
file(REMOVE "${REPORT}")
execute_process(COMMAND ${EMULATOR} "${PROGRAM}" "--gtest_output=xml:${report_name}"
                WORKING_DIRECTORY "${directory}"
                OUTPUT_VARIABLE output ERROR_VARIABLE errors
                RESULT_VARIABLE status)
message("${output}${errors}")
get_filename_component(name "${PROGRAM}" NAME)
if(NOT output MATCHES "\n\\[  PASSED  \\] [0-9]+ tests?\\.\r?\n")
  message(FATAL_ERROR "${name} did not print GoogleTest's closing line (status ${status})")
endif()
if(NOT status EQUAL 0 AND NOT (status EQUAL 1 AND output MATCHES "\n\\[  FAILED  \\] "))
  message(FATAL_ERROR "${name} ended with ${status}")
endif()
if(NOT EXISTS "${REPORT}")
  message(FATAL_ERROR "${name} wrote no report")
endif()
