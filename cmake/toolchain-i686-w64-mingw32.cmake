# 32-bit Windows, the host application's platform, with Debian's mingw-w64;
# test programs run under 32-bit Wine, in one Wine prefix per build tree.
set(MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")

set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;/usr/lib/wine/wine;${CMAKE_BINARY_DIR}/wine-prefix")
