#!/usr/bin/env bash
# Builds the shipped 32-bit launcher and runs every test under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
# The end-to-end programs run in five lanes (see tests/CMakeLists.txt), the unit tests beside them.
test_jobs=6
configure_and_build() {
    local dir=$1 arch=$2
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=Release
    cmake --build "$dir" -j "$jobs"
}

configure_and_build build i686
arch=$(tools/wine-arch.sh)
if [ "$arch" = i686 ]; then
    ctest --test-dir build --output-on-failure -j "$test_jobs"
else
    # This kernel runs no 32-bit user code, so Wine cannot start 32-bit programs: the same sources
    # are tested as 64-bit programs, and the shipped 32-bit image is checked on its own.
    echo "Wine cannot run 32-bit programs here; testing the x86_64 build, checking the i686 image."
    ctest --test-dir build --output-on-failure -L image
    configure_and_build build-x64 x86_64
    ctest --test-dir build-x64 --output-on-failure -j "$test_jobs"
fi
