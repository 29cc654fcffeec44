#!/usr/bin/env bash
# build-windows.sh [DIR] : cross-builds kelvra_at.dll and kvat.exe for 64-bit Windows with
# Debian's mingw-w64 toolchain in DIR (default build-mingw), installs DLL, import library,
# .def file, header and kvat.exe into DIR/stage, packs them into
# DIR/kelvra_at-<version>-win64.zip and prints the stage folder. kvat.exe needs the
# POSIX-thread compiler (g++-mingw-w64-x86-64-posix); without it only the library is built.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$(realpath -m "${1:-build-mingw}")
host=ON
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "build-windows.sh: no x86_64-w64-mingw32-g++-posix: building kelvra_at.dll without kvat.exe" >&2
  host=OFF
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_BUILD_HOST=$host -DKELVRA_BUILD_TESTS=OFF \
  -DKELVRA_BUILD_BENCH=OFF >/dev/null
targets=(--target kelvra_at)
[ "$host" = ON ] && targets+=(kvat)
cmake --build "$dir" -j"$(nproc)" "${targets[@]}" >&2
rm -rf "$dir/stage"
cmake --install "$dir" --prefix "$dir/stage" --strip >/dev/null
(cd "$dir" && cpack --config CPackConfig.cmake >/dev/null && rm -rf _CPack_Packages)
echo "$dir/stage"
