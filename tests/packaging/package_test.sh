#!/usr/bin/env bash
# package_test.sh SOURCE_DIR WORK_DIR C_COMPILER
# Builds the Debian packages, checks their names, control fields and file lists, unpacks them
# into a scratch folder, builds C hosts against the unpacked development files and runs the
# unpacked kvat.
set -euo pipefail
src=$1 work=$2 cc=$3
version=$(sed -n 's/^project(kelvra VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
major=${version%%.*}
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || "$cc" -print-multiarch)
lib=usr/lib/$multiarch
fail=0
mkdir -p "$work"
bad() { echo "FAILED: $*"; fail=1; }

out=$(bash "$src/scripts/package.sh" "$work/tree" 2>"$work/build.log" | tail -n 1) ||
  { tail -n 40 "$work/build.log"; exit 1; }
runtime=$out/libkelvra-at${major}_${version}_$arch.deb
dev=$out/libkelvra-at-dev_${version}_$arch.deb
tools=$out/kelvra-tools_${version}_$arch.deb
gui=$out/kelvra-gui_${version}_$arch.deb  # only when the desktop program is built
for deb in "$runtime" "$dev" "$tools"; do
  [ -f "$deb" ] || { echo "missing package $(basename "$deb"); made:"; ls "$out"; exit 1; }
done
debs=("$runtime" "$dev" "$tools")
[ -f "$gui" ] && debs+=("$gui")
[ "$(ls "$out"/*.deb | wc -l)" -eq "${#debs[@]}" ] || bad "other packages: $(ls "$out")"

# Control fields.
field() { dpkg-deb -f "$1" "$2"; }
expect_field() {  # DEB FIELD EXTENDED-REGEX
  local value
  value=$(field "$1" "$2")
  [[ "$value" =~ $3 ]] || bad "$(basename "$1"): $2 is '$value', expected /$3/"
}
for deb in "${debs[@]}"; do
  expect_field "$deb" Version "^$version\$"
  expect_field "$deb" Architecture "^$arch\$"
  expect_field "$deb" Maintainer "."
  expect_field "$deb" Description "."
done
expect_field "$runtime" Package "^libkelvra-at$major\$"
expect_field "$runtime" Section "^libs\$"
expect_field "$runtime" Depends "^libc6 \(>= [0-9.]+\)\$"
expect_field "$dev" Package "^libkelvra-at-dev\$"
expect_field "$dev" Section "^libdevel\$"
expect_field "$dev" Depends "^libkelvra-at$major \(= $version\)\$"
expect_field "$tools" Package "^kelvra-tools\$"
expect_field "$tools" Depends "libc6 \(>= [0-9.]+\)"
expect_field "$tools" Depends "libstdc\+\+6"
expect_field "$tools" Recommends "^udev\$"
if [ -f "$gui" ]; then
  expect_field "$gui" Package "^kelvra-gui\$"
  expect_field "$gui" Depends "libc6 \(>= [0-9.]+\)"
  expect_field "$gui" Depends "(^|, )fonts-wqy-microhei \| fonts-noto-cjk(,|\$)"
  expect_field "$gui" Depends "(^|, )qt6-translations-l10n(,|\$)"
  expect_field "$gui" Recommends "^kelvra-tools\$"
fi
# The runtime package declares its shared library and runs ldconfig.
ctl=$work/control
rm -rf "$ctl" && dpkg-deb -e "$runtime" "$ctl"
grep -qx "libkelvra_at $major libkelvra-at$major (>= $version)" "$ctl/shlibs" ||
  bad "shlibs: $(cat "$ctl/shlibs" 2>/dev/null)"
grep -qs ldconfig "$ctl/triggers" "$ctl/postinst" || bad "ldconfig is not run"

# File lists: exactly these files and links, and no file in two packages.
files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort; }
expect_files() {  # DEB FILE...
  local deb=$1; shift
  diff -u <(printf '%s\n' "$@" | sort) <(files "$deb") >"$work/files.diff" ||
    { bad "$(basename "$deb") holds other files:"; cat "$work/files.diff"; }
}
expect_files "$runtime" "$lib/libkelvra_at.so.$major" "$lib/libkelvra_at.so.$version"
expect_files "$dev" usr/include/kelvra_at.h usr/include/kelvra_at_records.h \
  "$lib/libkelvra_at.so" "$lib/pkgconfig/kelvra_at.pc" \
  "$lib/cmake/kelvra_at/kelvra_atConfig.cmake" "$lib/cmake/kelvra_at/kelvra_atConfigVersion.cmake" \
  "$lib/cmake/kelvra_at/kelvra_atTargets.cmake" \
  "$lib/cmake/kelvra_at/kelvra_atTargets-relwithdebinfo.cmake"
expect_files "$tools" usr/bin/kvat usr/lib/udev/rules.d/70-kelvra-writer.rules
dups=$(for deb in "${debs[@]}"; do files "$deb"; done | sort | uniq -d)
[ -z "$dups" ] || bad "files in two packages: $dups"
for deb in "${debs[@]}"; do
  outside=$(files "$deb" | grep -v '^usr/' || true)
  [ -z "$outside" ] || bad "$(basename "$deb") installs outside /usr: $outside"
done

# Unpacked into a scratch folder: the library's soname, build C hosts against the header with
# pkg-config and with find_package, run them, and run kvat.
root=$work/root
rm -rf "$root" && mkdir -p "$root"
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
so=$root/$lib/libkelvra_at.so.$version
readelf -d "$so" | grep "SONAME.*\[libkelvra_at.so.$major\]" >/dev/null || bad "soname"
[ "$(readlink "$root/$lib/libkelvra_at.so")" = "libkelvra_at.so.$major" ] || bad "namelink"
cmp -s "$root/usr/include/kelvra_at.h" "$src/lib/include/kelvra_at.h" || bad "header differs"
cmp -s "$root/usr/lib/udev/rules.d/70-kelvra-writer.rules" "$src/packaging/udev/70-kelvra-writer.rules" ||
  bad "udev rule differs"
file "$root/usr/bin/kvat" | grep 'stripped' >/dev/null && ! file "$root/usr/bin/kvat" | grep 'not stripped' >/dev/null ||
  bad "kvat is not stripped"

export LD_LIBRARY_PATH=$root/$lib
flags=$(PKG_CONFIG_PATH=$root/$lib/pkgconfig PKG_CONFIG_LIBDIR= pkg-config --cflags --libs kelvra_at)
include=$(PKG_CONFIG_PATH=$root/$lib/pkgconfig PKG_CONFIG_LIBDIR= pkg-config --variable=includedir kelvra_at)
[ "$(realpath "$include")" = "$root/usr/include" ] || bad "pkg-config includedir: $include"
"$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror "$src/tests/lib/c99_host/main.c" $flags \
  -o "$work/c99_host"
ldd "$work/c99_host" | grep "libkelvra_at.so.$major => $root/$lib/" >/dev/null || bad "c99_host links elsewhere"
"$work/c99_host" || bad "c99_host failed"
rm -rf "$work/fp"
cmake -S "$src/tests/lib/find_package_host" -B "$work/fp" -DCMAKE_PREFIX_PATH="$root/usr" \
  -DCMAKE_C_COMPILER="$cc" >/dev/null
cmake --build "$work/fp" >/dev/null
"$work/fp/find_package_host" || bad "find_package host failed"

kvat_version=$("$root/usr/bin/kvat" --version) || bad "kvat --version failed"
[ "$kvat_version" = "kvat $version" ] || bad "kvat --version printed '$kvat_version'"
[ "$fail" -eq 0 ] || exit 1
echo "packages: $(cd "$out" && ls *.deb | tr '\n' ' ')"
