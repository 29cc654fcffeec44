#!/usr/bin/env bash
# build-windows.sh [DIR] : cross-builds kelvra_at.dll for 64-bit Windows with Debian's
# mingw-w64 toolchain in DIR (default build-mingw), installs DLL, import library, .def file and
# header into DIR/stage, packs them into DIR/kelvra_at-<version>-win64.zip and prints the
# stage folder.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$(realpath -m "${1:-build-mingw}")
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_BUILD_HOST=OFF -DKELVRA_BUILD_TESTS=OFF \
  -DKELVRA_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" >&2
rm -rf "$dir/stage"
cmake --install "$dir" --prefix "$dir/stage" --strip >/dev/null
(cd "$dir" && cpack --config CPackConfig.cmake >/dev/null && rm -rf _CPack_Packages)
echo "$dir/stage"
