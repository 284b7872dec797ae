#!/usr/bin/env bash
# Installs the Debian packages that building and testing Kelvane need, when they are missing.
# With arguments, installs those packages instead, when they are missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libcurl4-openssl-dev zlib1g-dev libbrotli-dev libzstd-dev
  nginx openssl ca-certificates fonts-dejavu-core
  fp-utils-3.2.2 libchm1 dpkg-dev file
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libcpp-httplib-dev
  chromium python3
  xvfb x11-utils
)
[ $# -gt 0 ] && packages=("$@")

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Kelvane needs these packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "Installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Packages such as nginx would start their service on install; nothing here wants that.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod +x "$policy"
  trap 'rm -f "$policy"' EXIT
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
