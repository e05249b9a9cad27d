# 32-bit Windows, the host application's platform, with Debian's mingw-w64.
# This machine cannot run what it builds: wine64 runs 64-bit programs only.
set(MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")
