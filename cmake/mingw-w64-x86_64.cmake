# Cross build for 64-bit Windows with Debian's MinGW-w64 toolchain
# (g++-mingw-w64-x86-64): the same sources as the 32-bit program, checked
# under wine64 where the kernel cannot run 32-bit programs (and so neither
# Wine's 32-bit loader). Linked statically like the 32-bit build.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QVFLASH_MINGW_PREFIX x86_64-w64-mingw32)
# /usr/bin/wine prefers the 32-bit loader whenever it is installed, even
# where it cannot start: ask for the 64-bit one by name.
set(QVFLASH_WINE_LOADERS wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
