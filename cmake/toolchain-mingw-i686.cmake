# Cross-compiles the 32-bit Windows build (PE32, i386) with Debian's
# MinGW-w64 i686 compiler:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
#   cmake --build build-win -j2
# Tests built this way run under Wine (tests/windows/wine.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(PAIREX_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${PAIREX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PAIREX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PAIREX_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PAIREX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# add_test() commands that name a Windows target run through Wine.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine.sh)
endif()
