# 64-bit Windows with Debian's mingw-w64; test programs run under wine64, in
# one Wine prefix per build tree.
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")

set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;/usr/lib/wine/wine64;${CMAKE_BINARY_DIR}/wine-prefix")
