# The shipped 32-bit image: i686-w64-mingw32-gcc-posix / -g++-posix / -windres, run under wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(OVAN_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
