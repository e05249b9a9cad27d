# Tests of a Windows build tree.
#
# Every tree checks, natively, what its extension modules import and export.
# Where this machine can run the tree's programs (the x86_64 tree, through
# wine64 as CMAKE_CROSSCOMPILING_EMULATOR), the platform suites run too:
# against the simulated machine and against kernel32 itself.

foreach(module IN ITEMS volumes winwrap_native)
  add_test(NAME "pe.${module}"
           COMMAND "${CMAKE_COMMAND}" "-DOBJDUMP=${CMAKE_OBJDUMP}"
                   "-DMODULE=$<TARGET_FILE:${module}>"
                   -P "${CMAKE_CURRENT_SOURCE_DIR}/check_pe_module.cmake")
endforeach()

if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(STATUS "No emulator for ${CMAKE_SYSTEM_PROCESSOR} Windows programs: "
                 "the platform suites are built but not run")
endif()

# GoogleTest from source, built for the target (Debian's googletest package).
set(GOOGLETEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH
    "GoogleTest's source tree, to build it for the target")
if(NOT EXISTS "${GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
  message(FATAL_ERROR "No GoogleTest source in ${GOOGLETEST_SOURCE_DIR}")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# GoogleTest looks for a Python of this machine for its own tests; no
# interpreter runs to configure a Windows build.
set(CMAKE_DISABLE_FIND_PACKAGE_Python TRUE)
add_subdirectory("${GOOGLETEST_SOURCE_DIR}" googletest EXCLUDE_FROM_ALL)

include(GoogleTest)
function(add_windows_suite target)
  add_executable(${target} ${ARGN})
  target_link_libraries(${target} PRIVATE volumes_platform GTest::gtest_main)
  volumes_strict_warnings(${target})
  if(CMAKE_CROSSCOMPILING_EMULATOR OR NOT CMAKE_CROSSCOMPILING)
    # Listed when CTest starts rather than at build time, so that the build
    # needs no Wine; the first listing initialises the Wine prefix.
    gtest_discover_tests(${target} TEST_PREFIX "platform."
                         DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 300)
  endif()
endfunction()

add_windows_suite(platform_tests platform/simulated_machine_test.cpp)
add_windows_suite(windows_machine_tests platform/windows_machine_test.cpp)
