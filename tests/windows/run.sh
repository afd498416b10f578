#!/bin/sh
# Builds the 32-bit Windows programs with MinGW-w64 and runs the Windows
# tests under Wine:  tests/windows/run.sh [ctest arguments]
# The build directory is build-win (PAIREX_WINDOWS_BUILD to change it); the
# Wine prefix is made on first use (tests/windows/wine.sh).
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${PAIREX_WINDOWS_BUILD:-$root/build-win}

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake"
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2 "$@"
