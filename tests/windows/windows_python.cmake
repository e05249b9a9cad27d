# The Python side under a Windows CPython 2.7, run by Wine: every suite of
# tests/python, the smoke test on Wine's own machine, and the command.
#
# VOLUMES_WINDOWS_PYTHON names the installation: a copy of what python.org's
# installer leaves in C:\Python27 (python.exe, DLLs\, Lib\), with
# python27.dll beside python.exe; ./test.sh passes
# VOLUMES_WINDOWS_PYTHON_X86 to the i686 tree and VOLUMES_WINDOWS_PYTHON_X64
# to the x86_64 one.  Without python.exe, the tree's launcher
# (python_launcher.cpp) stands in.  The tree says in windows-python.txt, in
# one line that ./test.sh shows, what it runs under the interpreter, or why
# it runs nothing there.
set(VOLUMES_WINDOWS_PYTHON "" CACHE PATH
    "A Windows CPython 2.7 installation, of this tree's width, to run the Python suites in under Wine")

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(windows_python_width "32-bit")
  set(windows_python_variable VOLUMES_WINDOWS_PYTHON_X86)
  set(windows_python_machine "014c")  # IMAGE_FILE_MACHINE_I386
else()
  set(windows_python_width "64-bit")
  set(windows_python_variable VOLUMES_WINDOWS_PYTHON_X64)
  set(windows_python_machine "8664")  # IMAGE_FILE_MACHINE_AMD64
endif()

volumes_windows_program(windows_python_launcher
                        "${CMAKE_CURRENT_LIST_DIR}/python_launcher.cpp")
set_target_properties(windows_python_launcher PROPERTIES
  OUTPUT_NAME python RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/windows-python")
target_include_directories(windows_python_launcher SYSTEM PRIVATE "${PYTHON2_INCLUDE_DIR}")
target_link_libraries(windows_python_launcher PRIVATE python27_import_library)

# The PE machine of a DLL, as four hex digits: its COFF header follows the
# "PE\0\0" at the offset that the DOS header keeps at 0x3c.
function(pe_machine variable file)
  file(READ "${file}" offset OFFSET 60 LIMIT 4 HEX)
  string(REGEX REPLACE "(..)(..)(..)(..)" "\\4\\3\\2\\1" offset "${offset}")
  math(EXPR offset "0x${offset} + 4")
  file(READ "${file}" machine OFFSET ${offset} LIMIT 2 HEX)
  string(REGEX REPLACE "(..)(..)" "\\2\\1" machine "${machine}")
  set(${variable} "${machine}" PARENT_SCOPE)
endfunction()

set(windows_python_home "${VOLUMES_WINDOWS_PYTHON}")
if(windows_python_home STREQUAL "")
  set(windows_python_reason "${windows_python_variable} is not set")
elseif(NOT EXISTS "${windows_python_home}/python27.dll" OR
       NOT EXISTS "${windows_python_home}/Lib/os.py")
  message(FATAL_ERROR "${windows_python_home}: no python27.dll and Lib/ of a "
                      "Windows CPython 2.7 installation (${windows_python_variable})")
else()
  pe_machine(machine "${windows_python_home}/python27.dll")
  if(NOT machine STREQUAL windows_python_machine)
    message(FATAL_ERROR "${windows_python_home}/python27.dll is not a "
                        "${windows_python_width} python27.dll (${windows_python_variable})")
  endif()
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(windows_python_reason "no emulator runs Windows programs here")
  elseif(windows_suites_disabled)
    set(windows_python_reason "${windows_suites_disabled_reason}")
  else()
    set(windows_python_reason "")
  endif()
endif()

get_filename_component(tree_name "${CMAKE_BINARY_DIR}" NAME)
if(windows_python_reason STREQUAL "")
  set(windows_python_line "${tree_name}: the Python suites, the smoke test and the command run under the ${windows_python_width} Windows Python of ${windows_python_home}")
elseif(windows_python_home STREQUAL "")
  set(windows_python_line "${tree_name}: not run: the Python suites, the smoke test and the command under a ${windows_python_width} Windows Python: ${windows_python_reason}")
else()
  set(windows_python_line "${tree_name}: disabled: the Python suites, the smoke test and the command under the ${windows_python_width} Windows Python of ${windows_python_home}: ${windows_python_reason}")
endif()
file(WRITE "${CMAKE_BINARY_DIR}/windows-python.txt" "${windows_python_line}\n")
message(STATUS "${windows_python_line}")

# One test of the Python side: the interpreter run with ARGUMENTS from the
# folder DIRECTORY, ending with STATUS and printing what matches OUTPUT.
#   windows_python_test(NAME DIRECTORY STATUS OUTPUT ARGUMENT...)
function(windows_python_test name directory status output)
  if(EXISTS "${windows_python_home}/python.exe")
    set(python "${windows_python_home}/python.exe")
  else()
    set(python "$<TARGET_FILE:windows_python_launcher>")
  endif()
  string(REPLACE ";" "|" arguments "${ARGN}")
  add_test(NAME "${name}"
           COMMAND "${CMAKE_COMMAND}" "-DPYTHON=${windows_emulator}|${python}"
                   "-DARGUMENTS=${arguments}" "-DHOME=${windows_python_home}"
                   "-DPATHS=${PYTHON_TREE}|${CMAKE_SOURCE_DIR}/tests/python"
                   "-DEXPECT_STATUS=${status}" "-DEXPECT_OUTPUT=${output}"
                   -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/run_python.cmake"
           WORKING_DIRECTORY "${directory}")
  set_tests_properties("${name}" PROPERTIES TIMEOUT 1500
                       DISABLED ${windows_suites_disabled})
endfunction()

# Every suite of `suites` (their files), the smoke test and the command.
function(volumes_windows_python_tests suites)
  if(NOT windows_python_home OR NOT CMAKE_CROSSCOMPILING_EMULATOR)
    return()
  endif()
  foreach(suite IN LISTS suites)
    get_filename_component(name "${suite}" NAME_WE)
    windows_python_test("python.${name}" "${CMAKE_SOURCE_DIR}/tests/python" 0
                        "\nOK( \\([^)]*\\))?\r?\n" -m unittest -v ${name})
  endforeach()
  set(tools "${CMAKE_SOURCE_DIR}/tools")
  windows_python_test(smoke.windows_smoke_test "${tools}" 0 "\npassed\r?\n"
                      windows_smoke_test.py "${PYTHON_TREE}")
  windows_python_test(command.table "${tools}" 0 "^MOUNTPOINTS +LABEL"
                      volume_table.py)
  windows_python_test(command.json "${tools}" 0 "^{\r?\n  \"volumes\": \\["
                      volume_table.py -J)
  windows_python_test(command.path "${tools}" 0 "\nvolume_table\\.py +[A-Z]:"
                      volume_table.py -o PATH,MOUNTPOINT volume_table.py)
  windows_python_test(command.poll_timeout "${tools}" 1 "^ACTION +MOUNTPOINTS"
                      volume_table.py --poll --timeout 1000)
endfunction()
