# What a Windows build tree tests, besides the programs that tests/CMakeLists.txt
# lists for it (registered here by volumes_windows_gtest and
# volumes_windows_loader):
#   pe.*              natively, each module's imports and exports
#   python27_imports  at build time, that python27.dll's headers declare
#                     every name the modules import
#   python27_layout   at build time, the interpreter's structures that the
#                     module reads, as python27.dll lays them out
#   install.volumes   the installed module: no debug sections, one export
#   python.*, smoke.*, command.*
#                     under a Windows CPython 2.7, where one is given
#                     (windows_python.cmake)
# The programs run under Wine, the tree's CMAKE_CROSSCOMPILING_EMULATOR
# (cmake/wine-run.sh): 32-bit Wine for the i686 tree, wine64 for x86_64.

foreach(module IN ITEMS volumes winwrap_native)
  add_test(NAME "pe.${module}"
           COMMAND "${CMAKE_COMMAND}" "-DOBJDUMP=${CMAKE_OBJDUMP}"
                   "-DMODULE=$<TARGET_FILE:${module}>"
                   -P "${CMAKE_CURRENT_LIST_DIR}/check_pe_module.cmake")
endforeach()

set(python27_imports_stamp "${CMAKE_CURRENT_BINARY_DIR}/python27_imports.checked")
add_custom_command(
  OUTPUT "${python27_imports_stamp}"
  COMMAND "${CMAKE_COMMAND}" "-DOBJDUMP=${CMAKE_OBJDUMP}"
          "-DCXX=${CMAKE_CXX_COMPILER}" "-DINCLUDE_DIR=${PYTHON2_INCLUDE_DIR}"
          "-DMODULES=$<TARGET_FILE:volumes>|$<TARGET_FILE:winwrap_native>"
          "-DSTAMP=${python27_imports_stamp}"
          -P "${CMAKE_CURRENT_LIST_DIR}/check_python_imports.cmake"
  DEPENDS volumes winwrap_native "${CMAKE_CURRENT_LIST_DIR}/check_python_imports.cmake"
  COMMENT "Checking the modules' python27.dll imports against the headers"
  VERBATIM)
add_custom_target(python27_imports ALL DEPENDS "${python27_imports_stamp}")

# Static assertions only: compiled as the module is, never linked.
add_library(python27_layout OBJECT "${CMAKE_CURRENT_LIST_DIR}/python27_layout.cpp")
target_include_directories(python27_layout SYSTEM PRIVATE "${PYTHON2_INCLUDE_DIR}")
volumes_strict_warnings(python27_layout)

# The install step of the tree, into a folder of its own, and what it put
# there.
set(install_check "${CMAKE_CURRENT_BINARY_DIR}/install-check")
add_test(NAME install.volumes
         COMMAND "${CMAKE_COMMAND}" "-DOBJDUMP=${CMAKE_OBJDUMP}"
                 "-DTREE=${CMAKE_BINARY_DIR}" "-DPREFIX=${install_check}"
                 -P "${CMAKE_CURRENT_LIST_DIR}/check_installed_module.cmake")

if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(STATUS "No emulator for ${CMAKE_SYSTEM_PROCESSOR} Windows programs: "
                 "the test programs are built but not run")
endif()
string(REPLACE ";" "|" windows_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")

# On a kernel that refuses 32-bit programs, 32-bit Wine runs under qemu's
# user-mode emulation (scripts/setup_windows.sh).  There it loads the module,
# but Wine cannot take a fault (qemu's signal frames carry no trap number),
# and the GoogleTest programs crash or hang in Wine's own code: their tests
# are listed, disabled.
set(windows_suites_disabled FALSE)
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND EXISTS "/proc/sys/fs/binfmt_misc/qemu-i386")
  file(STRINGS "/proc/sys/fs/binfmt_misc/qemu-i386" binfmt LIMIT_COUNT 1)
  if(binfmt STREQUAL "enabled")
    set(windows_suites_disabled TRUE)
    set(windows_suites_disabled_reason
        "this kernel runs no 32-bit programs, and 32-bit Wine under qemu cannot take a fault")
    message(STATUS "32-bit Wine runs under qemu here: the GoogleTest programs' "
                   "tests are disabled")
  endif()
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

# A test program's stack committed whole: where 32-bit Wine runs under
# qemu's user-mode emulation, the signal of a touched guard page carries no
# trap number, and Wine cannot grow a stack through it.
function(volumes_windows_program target)
  add_executable(${target} ${ARGN})
  volumes_strict_warnings(${target})
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(${target} PRIVATE "SHELL:-Xlinker --stack -Xlinker 0x200000,0x200000")
  endif()
endfunction()

# The program runs once under Wine, all its tests in one process (a 32-bit
# Wine process under emulation takes a minute to start); each test case of
# its sources is a CTest test of its own, which reads that run's report.
function(volumes_windows_gtest target prefix)
  volumes_windows_program(${target} ${ARGN})
  target_link_libraries(${target} PRIVATE GTest::gtest_main)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    return()
  endif()
  set(report "${CMAKE_CURRENT_BINARY_DIR}/${target}.xml")
  add_test(NAME "run.${target}"
           COMMAND "${CMAKE_COMMAND}" "-DEMULATOR=${windows_emulator}"
                   "-DPROGRAM=$<TARGET_FILE:${target}>" "-DREPORT=${report}"
                   -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/run_gtest.cmake")
  set_tests_properties("run.${target}" PROPERTIES
    FIXTURES_SETUP ${target} TIMEOUT 1500 DISABLED ${windows_suites_disabled})
  foreach(source IN LISTS ARGN)
    get_filename_component(source "${source}" ABSOLUTE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
    file(STRINGS "${source}" cases REGEX "^[ \t]*TEST(_F)?\\(")
    foreach(case IN LISTS cases)
      if(NOT case MATCHES "TEST(_F)?\\( *([A-Za-z0-9_]+) *, *([A-Za-z0-9_]+) *\\)")
        message(FATAL_ERROR "${source}: cannot read the test case of: ${case}")
      endif()
      set(name "${prefix}.${CMAKE_MATCH_2}.${CMAKE_MATCH_3}")
      add_test(NAME "${name}"
               COMMAND "${CMAKE_COMMAND}" "-DREPORT=${report}"
                       "-DSUITE=${CMAKE_MATCH_2}" "-DCASE=${CMAKE_MATCH_3}"
                       -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/gtest_case.cmake")
      set_tests_properties("${name}" PROPERTIES
        FIXTURES_REQUIRED ${target} SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
        DISABLED ${windows_suites_disabled})
    endforeach()
  endforeach()
endfunction()

# The module as Windows' loader takes it: the shipped volumes.pyd beside a
# stand-in python27.dll made from the module's own imports, loaded by the
# loader program.  The second test leaves the module's first import out of
# the stand-in, and passes only if the first one's check would fail.
function(volumes_windows_loader target)
  volumes_windows_program(${target} ${ARGN})
  set(module "${CMAKE_BINARY_DIR}/shipped/volumes.pyd")
  foreach(variant IN ITEMS complete missing)
    set(folder "${CMAKE_CURRENT_BINARY_DIR}/load-${variant}")
    set(standin_source "${CMAKE_CURRENT_BINARY_DIR}/python27_standin_${variant}.cpp")
    set(omit "")
    if(variant STREQUAL "missing")
      set(omit "-DOMIT_FIRST=ON")
    endif()
    add_custom_command(
      OUTPUT "${standin_source}"
      BYPRODUCTS "${folder}/volumes.pyd"
      COMMAND "${CMAKE_COMMAND}" "-DOBJDUMP=${CMAKE_OBJDUMP}" "-DMODULE=${module}"
              "-DOUTPUT=${standin_source}" ${omit}
              -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/python27_standin.cmake"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${folder}"
      COMMAND "${CMAKE_COMMAND}" -E copy "${module}" "${folder}/volumes.pyd"
      DEPENDS volumes "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/python27_standin.cmake"
      VERBATIM)
    add_library(python27_standin_${variant} MODULE "${standin_source}")
    set_target_properties(python27_standin_${variant} PROPERTIES
      PREFIX "" OUTPUT_NAME python27 SUFFIX ".dll"
      LIBRARY_OUTPUT_DIRECTORY "${folder}")
    add_dependencies(${target} python27_standin_${variant})
  endforeach()
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    return()
  endif()
  foreach(variant IN ITEMS complete missing)
    set(expect "")
    if(variant STREQUAL "missing")
      set(expect "-DEXPECT_UNRESOLVED_IN=${CMAKE_CURRENT_BINARY_DIR}/python27_standin_missing.cpp.omitted")
    endif()
    add_test(NAME "load.volumes_${variant}"
             COMMAND "${CMAKE_COMMAND}" "-DEMULATOR=${windows_emulator}"
                     "-DLOADER=$<TARGET_FILE:${target}>"
                     "-DMODULE=${CMAKE_CURRENT_BINARY_DIR}/load-${variant}/volumes.pyd"
                     -DINIT=initvolumes ${expect}
                     -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/load_module.cmake")
    set_tests_properties("load.volumes_${variant}" PROPERTIES TIMEOUT 900)
  endforeach()
endfunction()

include("${CMAKE_CURRENT_LIST_DIR}/windows_python.cmake")
