#!/usr/bin/env bash
# Installs the Debian packages the build needs, and only those that are missing:
# the build tools, and the extra packages of the target that calls it (the
# tests', fuzzing's, the benchmarks').
# Usage: scripts/ensure-deps.sh [extra-package ...]
set -euo pipefail
# CLI11 and nlohmann-json are header-only packages of the programs (the
# agent, ifa-inspect); the libraries use neither.
needed=(cmake ninja-build g++ make libcli11-dev nlohmann-json3-dev "$@")
missing=()
for pkg in "${needed[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi
echo "Installing missing packages: ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
