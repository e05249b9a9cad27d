# Standing checks beyond the suites of tests/: the sanitizer build, the
# libFuzzer targets' build (tests/CMakeLists.txt lists them with the other
# test programs) and valgrind's memcheck.  Included by CMakeLists.txt
# after the interpreter is found and before any target is made, so that the
# sanitizer flags reach every target.
#
#   -DVOLUMES_SANITIZE=ON  every target with AddressSanitizer and
#                          UndefinedBehaviorSanitizer (build-asan/); the
#                          Python suites run in an interpreter that loads the
#                          sanitizer runtimes first.
#   -DVOLUMES_FUZZ=ON      the libFuzzer targets (clang; build-fuzz/), each a
#                          CTest test labelled "fuzz".
#   VOLUMES_LONG_CHECKS=1  (environment, when the tests run) the long
#                          versions of the fuzz, refcount and thread checks.

set(VOLUMES_CHECKS_DIR "${CMAKE_CURRENT_LIST_DIR}")
option(VOLUMES_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(VOLUMES_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
set(VOLUMES_FUZZ_RUNS_MACHINE_FILE 100000 CACHE STRING
    "libFuzzer runs of the machine-file reader in the test command (VOLUMES_LONG_CHECKS=1: 20 times as many)")
set(VOLUMES_FUZZ_RUNS_PLATFORM_CALLS 20000 CACHE STRING
    "libFuzzer runs of the platform calls in the test command (VOLUMES_LONG_CHECKS=1: 20 times as many)")

if(VOLUMES_SANITIZE)
  set(sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all
                 -fno-omit-frame-pointer)
  add_compile_options(${sanitizers})
  add_link_options(${sanitizers})
  # The module is loaded by an interpreter built without the sanitizers:
  # their runtimes must come first in its process, ahead of libc's malloc.
  foreach(runtime asan ubsan)
    execute_process(
      COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${runtime}.so
      OUTPUT_VARIABLE ${runtime}_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${${runtime}_runtime}")
      message(FATAL_ERROR "${CMAKE_CXX_COMPILER} has no lib${runtime}.so")
    endif()
  endforeach()
  set(PYTHON2_REAL_EXECUTABLE "${PYTHON2_EXECUTABLE}")
  configure_file("${CMAKE_CURRENT_LIST_DIR}/sanitized-python.in"
                 "${CMAKE_BINARY_DIR}/sanitized-python" @ONLY)
  file(CHMOD "${CMAKE_BINARY_DIR}/sanitized-python"
       PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                   GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  # Every Python suite of this tree runs in that interpreter.
  set(PYTHON2_EXECUTABLE "${CMAKE_BINARY_DIR}/sanitized-python")
  # The C++ tests: any report ends the test with a failure.
  set(VOLUMES_SANITIZER_ENVIRONMENT
      "ASAN_OPTIONS=abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1"
      "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endif()

# Called by CMakeLists.txt once the platform library and the tests exist
# (tests/CMakeLists.txt lists the C++ test programs, the fuzz targets
# included).
function(volumes_add_checks)
  # Valgrind's memcheck over the Python suites, in the plain build (the
  # sanitizers and valgrind do not mix).  The suites that make hundreds of
  # thousands of calls, spawn interpreters or mount filesystems are left to
  # the other checks.
  find_program(VALGRIND_EXECUTABLE valgrind)
  if(BUILD_TESTING AND NOT VOLUMES_SANITIZE AND NOT VOLUMES_FUZZ AND VALGRIND_EXECUTABLE)
    file(GLOB suites RELATIVE "${CMAKE_SOURCE_DIR}/tests/python" CONFIGURE_DEPENDS
         "${CMAKE_SOURCE_DIR}/tests/python/test_*.py")
    set(memcheck_suites "")
    foreach(suite IN LISTS suites)
      get_filename_component(name "${suite}" NAME_WE)
      if(NOT name MATCHES "^test_(fuzz|refcounts|threads|linux_machine|volume_table_tool)$")
        list(APPEND memcheck_suites ${name})
      endif()
    endforeach()
    add_test(NAME memcheck.python_suites
             COMMAND "${PYTHON2_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/tests/memcheck.py"
                     ${memcheck_suites}
             WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}/tests/python")
    set_tests_properties(memcheck.python_suites PROPERTIES
      ENVIRONMENT "PYTHONPATH=${PYTHON_TREE}:${CMAKE_SOURCE_DIR}/tests/python;PYTHONDONTWRITEBYTECODE=1;VOLUMES_SIMULATION=;VOLUMES_SIMULATION_JOURNAL="
      TIMEOUT 1200)
  endif()

  if(VOLUMES_FUZZ)
    # The library under test is instrumented for coverage, not linked with
    # libFuzzer's main.
    target_compile_options(volumes_platform PRIVATE
      -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
  endif()
endfunction()

# A libFuzzer target of build-fuzz/ and its CTest test, labelled "fuzz": a
# fresh corpus each run, grown from the seeds; the seed of the random
# choices is fixed, so a run is repeatable.  TARGET is fuzz_NAME, and
# VOLUMES_FUZZ_RUNS_NAME its number of runs.
function(volumes_add_fuzzer target source)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VOLUMES_FUZZ needs clang: CXX=clang++")
  endif()
  set(fuzz_flags -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
  string(REGEX REPLACE "^fuzz_" "" name "${target}")
  string(TOUPPER "${name}" upper)
  add_executable(${target} ${source})
  target_compile_options(${target} PRIVATE ${fuzz_flags})
  target_link_options(${target} PRIVATE ${fuzz_flags})
  target_link_libraries(${target} PRIVATE volumes_platform nlohmann_json::nlohmann_json)
  add_test(NAME fuzz.${name}
           COMMAND "${CMAKE_COMMAND}"
                   -DFUZZER=$<TARGET_FILE:${target}>
                   -DSEEDS=${CMAKE_SOURCE_DIR}/fuzz/seeds
                   -DEXAMPLES=${CMAKE_SOURCE_DIR}/examples
                   -DCORPUS=${CMAKE_BINARY_DIR}/fuzz-corpus/${name}
                   -DRUNS=${VOLUMES_FUZZ_RUNS_${upper}}
                   -P "${VOLUMES_CHECKS_DIR}/run_fuzzer.cmake")
  set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz TIMEOUT 3000)
endfunction()
