# Cross build for 32-bit Windows with Debian's MinGW-w64 toolchain
# (g++-mingw-w64-i686). The posix thread model gives the full C++ thread
# library; everything the runtime needs is linked statically, so the program
# depends only on DLLs that Windows ships.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QVFLASH_MINGW_PREFIX i686-w64-mingw32)
set(QVFLASH_WINE_LOADERS wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
