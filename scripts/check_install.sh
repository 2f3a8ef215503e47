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
# The installed header is clean C89 (and every later C) with -pedantic.
printf '#include <loric.h>\nint main(void) { return LORIC_OK; }\n' > "$tmp/c89.c"
for std in c89 c99 c11; do
  cc -std=$std -pedantic -Wall -Wextra -Werror -fsyntax-only -I"$prefix/include" "$tmp/c89.c" ||
    fail "include/loric.h under -std=$std -pedantic"
done
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
# The example configuration file is its JSON description, generated (in a folder of its own:
# a datapage.dat in the current folder would change the result).
mkdir -p "$tmp/generate" && (cd "$tmp/generate" &&
  "$prefix/bin/loric" config generate "$prefix/share/loric/examples/config.json" generated.bin >/dev/null) ||
  fail "loric config generate of the installed examples/config.json"
cmp "$tmp/generate/generated.bin" "$prefix/share/loric/examples/config.bin" ||
  fail "share/loric/examples/config.bin is not what config.json beside it generates"
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
  $l/udev/rules.d/60-loric-firewire.rules $s/doc/loric/firewire.md
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "the package declares no dependencies"
echo "$deb: contents as expected"
[ -n "$win" ] || exit 0
pack ZIP "$win"
zip=$(ls -t "$win"/loric-*-win32.zip | head -n1)
unzip -Z1 "$zip" | grep -v '/$' | sed 's,^[^/]*/,,' > "$tmp/list"
licence=
for f in LICENSE LICENSE.txt LICENSE.md COPYING; do [ -f "$root/$f" ] && { licence=LICENSE.txt; break; }; done
expect README.txt $licence bin/loric.dll bin/loric.exe include/loric.h lib/loric.def lib/libloric.dll.a \
  share/loric/flash_devices.dat share/loric/examples/{config.json,config.bin,loader.bin,firmware.bin}
mkdir -p "$tmp/zip" && unzip -q "$zip" -d "$tmp/zip" || fail "unzip $zip"
z=$(echo "$tmp"/zip/*/)
cmp "$z/share/loric/examples/config.bin" "$prefix/share/loric/examples/config.bin" ||
  fail "the zip's examples/config.bin differs from the one config.json generates"
grep -q $'\r$' "$z/README.txt" || fail "README.txt in the zip has no Windows line ends"
for word in MinGW MSVC llvm-dlltool COM3 BRENNOCK; do
  grep -q "$word" "$z/README.txt" || fail "README.txt in the zip does not mention $word"
done
# Member names of the import library: no folder of the machine that built it.
members=$(ar t "$z/lib/libloric.dll.a") || fail "ar t lib/libloric.dll.a"
if printf '%s\n' "$members" | grep -q /; then
  printf '%s\n' "$members" | grep / | head -n 3
  fail "member names in lib/libloric.dll.a carry paths"
fi
echo "$zip: contents as expected"
