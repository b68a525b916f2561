#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when all are there.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev
          # The station's web server (Boost.Beast, header-only, for the Windows build too).
          libboost-dev
          qt6-base-dev fonts-dejavu-core clang libclang-rt-14-dev clang-format clang-tidy
          # The window's full-width comma: the Latin fonts above lack it.
          fonts-wqy-microhei
          g++-mingw-w64-x86-64-posix socat lrzsz ser2net xvfb xauth imagemagick
          # The line server: libpq, and PostgreSQL itself for its tests and benchmark.
          libpq-dev postgresql
          # The station's page in a real browser, and its metrics read by a real parser.
          chromium chromium-driver python3-selenium python3-prometheus-client
          # The packages and their install tests: Depends from dpkg-shlibdeps, the installer.
          dpkg-dev binutils nsis unzip
          # The station's unit and rotation rule as systemd and logrotate read them.
          systemd man-db logrotate
          # Wine itself (the wine package makes the wine command) and what it only recommends
          # but the Windows window needs under Xvfb: its fonts and X extensions.
          wine wine64 fonts-wine libxrender1 libxcursor1 libxi6 libxrandr2 libxinerama1
          libxcomposite1 libxfixes3 libgnutls30 libdbus-1-3)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
