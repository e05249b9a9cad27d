# cmake -DPYTHON=wine-run.sh|WINE|PREFIX|python.exe -DARGUMENTS=A|B...
#       -DHOME=INSTALLATION -DPATHS=DIR|DIR... -DEXPECT_STATUS=N
#       -DEXPECT_OUTPUT=REGEX -P run_python.cmake
#
# Runs a Windows CPython 2.7 under Wine, with the installation INSTALLATION
# as its home and on the Windows PATH (where python27.dll is), PATHS (Unix
# paths) as its PYTHONPATH and no simulated machine, and fails unless it
# ends with EXPECT_STATUS and its output matches EXPECT_OUTPUT: Wine that
# cannot start a program can end without a word and a status of 0.
cmake_minimum_required(VERSION 3.18)
string(REPLACE "|" ";" PYTHON "${PYTHON}")
string(REPLACE "|" ";" ARGUMENTS "${ARGUMENTS}")

# Wine's drive Z: is this machine's root.
function(windows_path variable path)
  string(REPLACE "/" "\\" path "Z:${path}")
  set(${variable} "${path}" PARENT_SCOPE)
endfunction()
windows_path(home "${HOME}")
set(python_path "")
string(REPLACE "|" ";" PATHS "${PATHS}")
foreach(path IN LISTS PATHS)
  windows_path(path "${path}")
  list(APPEND python_path "${path}")
endforeach()
list(JOIN python_path ";" python_path)
set(ENV{PYTHONHOME} "${home}")
set(ENV{WINEPATH} "${home}")
set(ENV{PYTHONPATH} "${python_path}")
set(ENV{PYTHONDONTWRITEBYTECODE} 1)
set(ENV{VOLUMES_SIMULATION} "")
set(ENV{VOLUMES_SIMULATION_JOURNAL} "")

execute_process(COMMAND ${PYTHON} ${ARGUMENTS}
                OUTPUT_VARIABLE output ERROR_VARIABLE errors
                RESULT_VARIABLE status)
message("${output}${errors}")
if(NOT status EQUAL EXPECT_STATUS)
  message(FATAL_ERROR "ended with ${status}, not ${EXPECT_STATUS}")
endif()
if(NOT "${output}${errors}" MATCHES "${EXPECT_OUTPUT}")
  message(FATAL_ERROR "printed nothing that matches ${EXPECT_OUTPUT}")
endif()
