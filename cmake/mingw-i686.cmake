# The shipped 32-bit image: i686-w64-mingw32-gcc-posix / -g++-posix / -windres, run under wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(OVAN_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Where the kernel runs no 32-bit user code, tools/wine-route.sh prints the command that runs them under qemu.
set(OVAN_WINE32 wine CACHE FILEPATH "The command that runs 32-bit Windows programs (tools/wine-route.sh prints it)")
set(CMAKE_CROSSCOMPILING_EMULATOR ${OVAN_WINE32})
