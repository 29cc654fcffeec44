#!/usr/bin/env bash
# install_test.sh BUILD_DIR TEST_SOURCE_DIR C_COMPILER
set -euo pipefail
build=$1 src=$2 cc=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
# The library's two components, as the Debian packages split them.
for component in runtime development; do
  cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
done

lib=$(find "$prefix" -name 'libkelvra_at.so.1' | head -n 1)
libdir=$(dirname "$lib")

# Only the C runtime is needed, the soname carries the major version, and only the 31
# kvat_ functions are exported.
needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
case "$needed" in
  "ld-linux-x86-64.so.2 libc.so.6 "|"libc.so.6 ") ;;
  *) echo "unexpected dependencies: $needed"; exit 1 ;;
esac
readelf -d "$lib" | grep 'SONAME.*\[libkelvra_at.so.1\]' >/dev/null || { echo "bad soname"; exit 1; }
exports=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
[ "$(echo "$exports" | grep -c '^kvat_')" -eq 31 ] || { echo "expected 31 kvat_ exports"; exit 1; }
if echo "$exports" | grep -v '^kvat_' | grep . >/dev/null; then
  echo "other symbols exported:"; echo "$exports" | grep -v '^kvat_'; exit 1
fi

# A C99 program through pkg-config.
export PKG_CONFIG_PATH=$libdir/pkgconfig
"$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror "$src/c99_host/main.c" \
  $(pkg-config --cflags --libs kelvra_at) -o "$work/c99_host"
LD_LIBRARY_PATH=$libdir "$work/c99_host"

# A CMake project through find_package.
cmake -S "$src/find_package_host" -B "$work/fp" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" >/dev/null
cmake --build "$work/fp" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/fp/find_package_host"
echo "installed library: ok"
