#!/usr/bin/env bash
# Installs the native build into a temporary prefix and uses it as a new user would: a C host
# built with pkg-config alone and one with find_package(loric) alone, both run against the
# installed simulator; the installed tool and man pages; then the Debian package and, when a
# Windows build is given, its zip, each compared with the contents they must have.
#   usage: check_install.sh NATIVE_BUILD [WINDOWS_BUILD]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd); win=${2:+$(cd "$2" && pwd)}
tmp=$(mktemp -d); prefix=$tmp/prefix; sim_pid=
trap '[ -n "$sim_pid" ] && kill $sim_pid; rm -rf "$tmp"' EXIT
fail() { echo "check_install: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install failed"
cc -Wall -Wextra -Werror "$root/examples/host/host.c" -o "$tmp/host-pc" \
  $(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs loric) || fail "host with pkg-config"
cmake -S "$root/examples/host" -B "$tmp/host-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null && cmake --build "$tmp/host-cmake" >/dev/null ||
  fail "host with find_package(loric)"

export BRENNOCK_SOCKET=$tmp/brennock.sock
"$prefix/bin/tq6410-sim" --instant --socket "$BRENNOCK_SOCKET" >/dev/null 2>&1 & sim_pid=$!
for _ in $(seq 50); do [ -S "$BRENNOCK_SOCKET" ] && break; sleep 0.1; done
data=$prefix/share/loric/flash_devices.dat
LD_LIBRARY_PATH=$prefix/lib "$tmp/host-pc" "$data" | grep -q '^LoadFlashData: 0 ' || fail "pkg-config host run"
"$tmp/host-cmake/host" "$data" | tee "$tmp/host.out" | grep -q '^LoadFlashData: 0 ' || fail "CMake host run"
cat "$tmp/host.out"
env -u LORIC_FLASH_DATA "$prefix/bin/loric" chips | grep -q "^$data: [0-9]* chips" || fail "the installed tool does not use $data"
for page in loric tq6410-sim; do
  sh "$root/doc/check_man.sh" "$prefix/share/man/man1/$page.1" "$prefix/bin/$page" || exit 1
  MANWIDTH=80 man -l "$prefix/share/man/man1/$page.1" 2>&1 >/dev/null | grep . && fail "man -l $page.1 warns"
done

# Package contents: the files (not folders) each package holds, sorted.
pack() { (cd "$2" && cpack -G "$1" >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; fail "cpack -G $1 failed"; }; }
expect() { diff -u <(printf '%s\n' "$@" | sort) <(sort "$tmp/list") || fail "unexpected package contents"; }
pack DEB "$build"
deb=$(ls -t "$build"/loric_*.deb | head -n1)
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's,^\./,,; s,loricTargets-[a-z]*\.,loricTargets-TYPE.,' > "$tmp/list"
u=usr; l=$u/lib; s=$u/share
expect $u/bin/loric $u/bin/tq6410-sim $u/include/loric.h $l/libloric.so $l/libloric.so.1 $l/libloric.so.1.0.0 \
  $l/pkgconfig/loric.pc $l/cmake/loric/{loricConfig,loricConfigVersion,loricTargets,loricTargets-TYPE}.cmake \
  $s/loric/flash_devices.dat $s/loric/examples/{config.json,config.bin,loader.bin,firmware.bin} $s/man/man1/{loric,tq6410-sim}.1 \
  $l/udev/rules.d/60-loric-firewire.rules
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "the package declares no dependencies"
echo "$deb: contents as expected"
[ -n "$win" ] || exit 0
pack ZIP "$win"
zip=$(ls -t "$win"/loric-*-win32.zip | head -n1)
unzip -Z1 "$zip" | grep -v '/$' | sed 's,^[^/]*/,,' > "$tmp/list"
expect bin/loric.dll bin/loric.exe include/loric.h lib/loric.def lib/libloric.dll.a \
  share/loric/flash_devices.dat share/loric/examples/{config.json,config.bin,loader.bin,firmware.bin}
echo "$zip: contents as expected"
