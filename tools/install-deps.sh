#!/usr/bin/env bash
# Installs what building and testing need on Debian, skipping what is already there.
set -euo pipefail

packages=()
need() { command -v "$1" >/dev/null 2>&1 || packages+=("$2"); }
need cmake cmake
need make make
need python3 python3
need openssl openssl
need curl curl
need strace strace
need tinyproxy tinyproxy
need npm npm
need bsdiff bsdiff
need clang clang
[ -f /usr/include/zlib.h ] || packages+=(zlib1g-dev)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || packages+=(libclang-rt-14-dev)
[ -x /usr/sbin/nginx ] || packages+=(nginx)
need i686-w64-mingw32-g++-posix g++-mingw-w64-i686-posix
need i686-w64-mingw32-gcc-posix gcc-mingw-w64-i686-posix
need i686-w64-mingw32-windres binutils-mingw-w64-i686
need x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix
need x86_64-w64-mingw32-gcc-posix gcc-mingw-w64-x86-64-posix
[ -x /usr/lib/wine/wine64 ] || packages+=(wine64)
[ -x /usr/lib/wine/wine ] || packages+=(wine wine32:i386)
[ -f /usr/src/googletest/CMakeLists.txt ] || packages+=(googletest)
[ -f /usr/i686-w64-mingw32/lib/libz.a ] && [ -f /usr/x86_64-w64-mingw32/lib/libz.a ] || packages+=(libz-mingw-w64-dev)

if [ ${#packages[@]} -eq 0 ]; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${packages[*]} (run as root to install them)" >&2
    exit 1
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${packages[@]}"
