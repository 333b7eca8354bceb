#!/usr/bin/env bash
# Prints the command that runs 32-bit Windows programs under Wine here.
#
#   tools/wine-route.sh <cache folder>
#
# Where the kernel runs 32-bit user code, that is Wine's own `wine`. Where it does not, each 32-bit Wine
# process runs under qemu's user-mode emulator: its system calls go to this kernel, so files, sockets,
# signals and process ids are the host's own, and nothing system-wide changes. The route is a loader
# folder in <cache folder>/wine-route:
#   usr/lib/wine/wine        a script that runs the copy of Wine's 32-bit loader beside it under qemu-i386,
#                            with argv[0] set to itself: Wine starts every new process by exec'ing
#                            <folder of /proc/self/exe>/<its own argv[0]>, so every 32-bit child comes back here
#   usr/lib/wine/wine.i386   the copy of the 32-bit loader (/proc/self/exe of a 32-bit process under qemu)
#   usr/lib/wine/wine64      a copy of the 64-bit loader, so that 64-bit processes start their 32-bit children here too
#   usr/lib/wine/qemu-i386   qemu 10 from bookworm-backports (bookworm's own 7.2 ignores MAP_FIXED_NOREPLACE,
#                            which makes every Wine start split its reservation into 64 KiB pieces)
#   usr/lib/<triple>/wine, usr/share/wine   links to the system's Wine, found from the loader as from /usr/lib/wine
# qemu is fetched with `apt-get download` through a private apt configuration (the archive address of this
# machine's own Debian sources, suite bookworm-backports) and unpacked; no package is installed.
set -euo pipefail

cache=${1:?usage: wine-route.sh <cache folder>}
system_wine=/usr/lib/wine

if "$system_wine/wine" --version >/dev/null 2>&1; then
    echo wine
    exit 0
fi

fail() {
    echo "wine-route: $*" >&2
    exit 1
}

mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
route=$cache/wine-route
loader=$route/usr/lib/wine
qemu_version=10.0

debian_archive() {
    local address
    address=$(grep -hoE '^(deb +|URIs: *)(\[[^]]*\] *)?https?://[^ ]+/debian/?( |$)' \
                  /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
              grep -oE 'https?://[^ ]+' | head -n 1)
    [ -n "$address" ] || fail "no Debian archive address in this machine's apt sources"
    echo "${address%/}"
}

fetch_qemu() {
    local apt=$cache/qemu-apt
    rm -rf "$apt"
    mkdir -p "$apt/etc/sources.list.d" "$apt/etc/preferences.d" "$apt/state/lists/partial" \
             "$apt/cache/archives/partial" "$apt/deb"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_archive) bookworm-backports main" \
        > "$apt/etc/sources.list"
    local options=(-o "Dir::Etc=$apt/etc" -o "Dir::Etc::SourceList=$apt/etc/sources.list"
                   -o "Dir::Etc::SourceParts=$apt/etc/sources.list.d" -o "Dir::State=$apt/state"
                   -o "Dir::Cache=$apt/cache" -o "Dir::State::status=/var/lib/dpkg/status"
                   -o Debug::NoLocking=1 -o APT::Sandbox::User=root -q)
    apt-get "${options[@]}" update >/dev/null || fail "apt-get update of bookworm-backports failed"
    (cd "$apt/deb" && apt-get "${options[@]}" download qemu-user >/dev/null) ||
        fail "apt-get download qemu-user from bookworm-backports failed"
    dpkg-deb --fsys-tarfile "$apt"/deb/qemu-user_*.deb | tar -x -C "$apt/deb" ./usr/bin/qemu-i386 ||
        fail "qemu-i386 not found in the qemu-user package"
    mkdir -p "$loader"
    mv "$apt/deb/usr/bin/qemu-i386" "$loader/qemu-i386"
    rm -rf "$apt"
}

# A loader another prefix runs from stays in place: a running program's file cannot be written over.
place_copy() {
    cmp -s "$1" "$2" && return
    cp "$1" "$2.tmp"
    mv -f "$2.tmp" "$2"
}

build_loader_folder() {
    mkdir -p "$loader" "$route/usr/share"
    place_copy "$system_wine/wine" "$loader/wine.i386"
    place_copy "$system_wine/wine64" "$loader/wine64"
    for server in wineserver wineserver64; do
        ln -sfn "$system_wine/$server" "$loader/$server"
    done
    for triple in i386-linux-gnu x86_64-linux-gnu; do
        mkdir -p "$route/usr/lib/$triple"
        ln -sfn "/usr/lib/$triple/wine" "$route/usr/lib/$triple/wine"
    done
    ln -sfn /usr/share/wine "$route/usr/share/wine"
    # WINELOADERNOEXEC skips the loader's one re-exec of itself, which under qemu costs a second start.
    cat > "$loader/wine" <<'EOF'
#!/bin/sh
here=${0%/*}
WINELOADERNOEXEC=1 exec "$here/qemu-i386" -0 "$0" "$here/wine.i386" "$@"
EOF
    chmod +x "$loader/wine"
}

if ! "$loader/qemu-i386" --version 2>/dev/null | grep -q "version $qemu_version"; then
    fetch_qemu
fi
build_loader_folder
# The loader and ntdll start under qemu. (With WINELOADERNOEXEC set, Wine takes --version for a program name.)
"$loader/qemu-i386" -0 "$loader/wine" "$loader/wine.i386" --version 2>/dev/null | grep -q '^wine-' ||
    fail "Wine's 32-bit loader does not start under $loader/qemu-i386"
echo "$loader/wine"
