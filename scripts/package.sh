#!/usr/bin/env bash
# package.sh [DIR] : builds the Debian packages libkelvra-at1, libkelvra-at-dev and
# kelvra-tools in DIR (default build-deb), a tree configured for /usr, and prints the folder
# that holds the .deb files.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$(realpath -m "${1:-build-deb}")
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DKELVRA_BUILD_TESTS=OFF -DKELVRA_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" >&2
rm -rf "$dir/packages"
cpack --config "$dir/CPackConfig.cmake" -B "$dir/packages" >&2
rm -rf "$dir/packages/_CPack_Packages"
echo "$dir/packages"
