#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the SDK.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
PACKAGES=(cmake ninja-build g++ clang clang-format binutils pkg-config zlib1g-dev libssl-dev
          libgtest-dev libgmock-dev libbenchmark-dev python3
          libusb-1.0-0-dev libsystemd-dev libbluetooth-dev
          libpugixml-dev nlohmann-json3-dev)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y "${missing[@]}"
fi
