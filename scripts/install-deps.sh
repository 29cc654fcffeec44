#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest
  nlohmann-json3-dev libcli11-dev
  zlib1g-dev srecord binutils
  # The desktop program: Qt 6 Widgets and Test, and for its screenshots and offscreen tests a
  # virtual display and a font with Chinese glyphs.
  qt6-base-dev libgl-dev xvfb xauth fonts-wqy-microhei
  # kelvra_at.dll cross-built and tested under wine; the Python binding's tests and its pip
  # install; the Debian packages (dpkg-shlibdeps, file).
  g++-mingw-w64-x86-64-win32 wine64
  # kvat.exe needs std::thread: the POSIX-thread mingw-w64 compiler; its tests read the ZIP.
  g++-mingw-w64-x86-64-posix unzip
  python3-serial python3-pytest python3-venv python3-setuptools python3-wheel
  dpkg-dev file
  # The cipher tests again on an emulated processor without AES instructions.
  qemu-user
  # Station records: the unit database, the broker client, and for the tests a broker, the
  # sqlite3 tool and openssl for a test certificate.
  libsqlite3-dev sqlite3 libmosquitto-dev mosquitto openssl
  # Qt's own dialogs in Chinese.
  qt6-translations-l10n
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
