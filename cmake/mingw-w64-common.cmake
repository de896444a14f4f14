# What the MinGW-w64 cross builds share; the toolchain file of each target
# sets CMAKE_SYSTEM_PROCESSOR, QVFLASH_MINGW_PREFIX and QVFLASH_WINE_LOADERS
# (the Wine loaders that run its programs) and includes this file.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${QVFLASH_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QVFLASH_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QVFLASH_MINGW_PREFIX}-windres)
set(CMAKE_AR ${QVFLASH_MINGW_PREFIX}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${QVFLASH_MINGW_PREFIX}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${QVFLASH_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Header-only packages of the build machine that the cross build may use:
# their package files live here and expose only the package's own headers
# (never the build machine's /usr/include as a whole).
list(APPEND CMAKE_PREFIX_PATH ${CMAKE_CURRENT_LIST_DIR}/mingw-deps)
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-deps/nlohmann_json CACHE PATH
    "nlohmann-json for the cross build (header-only, taken from the build machine)")

# -O2 as in the native build: GCC 12's -O3 reports false -Wrestrict errors
# inside std::string (GCC bug 105651). Set as a cache entry so that it takes
# the place of the platform's default rather than being added to it.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of the Release build")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Wine runs the cross-built programs (tests and tools that run the program).
find_program(QVFLASH_WINE NAMES ${QVFLASH_WINE_LOADERS} PATHS /usr/lib/wine)
if(QVFLASH_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QVFLASH_WINE})
endif()
