#!/usr/bin/env bash
# Builds the shipped 32-bit launcher and runs every test on it under Wine; builds the 64-bit one beside it
# and runs its unit tests.
#
#   tools/run-tests.sh         the i686 image: every test (under qemu where the kernel runs no 32-bit code)
#   tools/run-tests.sh x64     the x86_64 build: every test
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
# The end-to-end programs run in five lanes (see tests/CMakeLists.txt), the unit tests beside them.
test_jobs=6
configure_and_build() {
    local dir=$1 arch=$2
    shift 2
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=Release "$@"
    cmake --build "$dir" -j "$jobs"
}

if [ "${1:-}" = x64 ]; then
    configure_and_build build-x64 x86_64
    ctest --test-dir build-x64 --output-on-failure -j "$test_jobs"
    exit 0
fi

if ! wine32=$(tools/wine-route.sh build); then
    echo "Cannot run 32-bit Windows programs here: Wine's 32-bit loader does not start, and the qemu route" \
         "could not be set up (see above)." >&2
    exit 1
fi
echo "32-bit programs run with: $wine32"
configure_and_build build i686 -DOVAN_WINE32="$wine32"
ctest --test-dir build --output-on-failure -j "$test_jobs"
# A 64-bit launcher stays possible: the same sources build, and their pure pieces pass.
configure_and_build build-x64 x86_64
ctest --test-dir build-x64 --output-on-failure -L unit
