#!/usr/bin/env bash
# Installs every Debian package Orvel needs to build, test and run.
# Safe to run again: it only installs what is missing, and updates the package lists once per run.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools qt6-httpserver-dev qt6-websockets-dev libgl-dev
  librtmidi-dev libasound2-dev libjack-jackd2-dev jackd2
  clang-format clang-tidy clang libclang-rt-dev
  xvfb xauth x11-utils openssl ca-certificates
  fonts-dejavu-core
  dbus-daemon
  dpkg-dev file desktop-file-utils appstream lintian librsvg2-bin
  qt6-wayland weston libxcb1-dev trayer haskell-gtk-sni-tray-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
echo "install-deps: installing ${missing[*]}"
# jackd2 asks whether to enable realtime scheduling; answer "no" up front so nothing prompts.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
