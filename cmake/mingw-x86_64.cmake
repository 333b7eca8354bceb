# Same sources as 64-bit images, for hosts whose kernel runs no 32-bit user code
# and so cannot start Wine's 32-bit loader.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(OVAN_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
