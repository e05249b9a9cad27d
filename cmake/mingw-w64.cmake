# What the two mingw-w64 toolchain files share; they set MINGW_TRIPLE first.
#
# The -posix compilers carry the thread model that std::mutex and
# std::thread need.  Linking statically puts libgcc, libstdc++ and
# winpthreads inside each binary, so that a module or test program needs no
# mingw DLL beside it: only the system's own DLLs and the C runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER "${MINGW_TRIPLE}-gcc-posix")
set(CMAKE_CXX_COMPILER "${MINGW_TRIPLE}-g++-posix")
set(CMAKE_RC_COMPILER "${MINGW_TRIPLE}-windres")
set(CMAKE_DLLTOOL "${MINGW_TRIPLE}-dlltool" CACHE FILEPATH "dlltool of the target")

# Libraries, headers and packages come from the target's own sysroot only,
# never from this Linux machine's /usr.
set(CMAKE_FIND_ROOT_PATH "/usr/${MINGW_TRIPLE}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
