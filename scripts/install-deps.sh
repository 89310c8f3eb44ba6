#!/usr/bin/env bash
# Installs every Debian package the project needs to build, run and test.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config
  libgtest-dev
  libsqlite3-dev
  libcurl4-openssl-dev
  libssl-dev
  nlohmann-json3-dev
  libicu-dev
  qt6-base-dev
  fonts-inter
  fonts-dejavu-core
  adwaita-icon-theme
  libqt6svg6
  qt6-wayland
  libcpp-httplib-dev
  desktop-file-utils
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "install-deps.sh: these packages are missing: ${missing[*]}" >&2
    echo "install-deps.sh: install them as root (apt-get install ${missing[*]}) or install sudo." >&2
    exit 1
  fi
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
