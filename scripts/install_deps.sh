#!/usr/bin/env bash
# Installs the Debian packages that building and testing Kelvane need, when they are missing.
# With arguments, installs those packages instead, when they are missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qtkeychain-qt6-dev libsecret-1-0 libcurl4-openssl-dev libssl-dev libzip-dev libdeflate-dev zlib1g-dev libbrotli-dev libzstd-dev
  nginx openssl ca-certificates fonts-dejavu-core wget
  fp-utils-3.2.2 libchm1 dpkg-dev file
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libcpp-httplib-dev nlohmann-json3-dev
  chromium python3
  xvfb x11-utils
  dbus-daemon gnome-keyring
)
# The archives' independent reader runs on Node.js: Debian's, where the machine has none.
if [ $# -eq 0 ] && ! command -v npm >/dev/null; then
  packages+=(nodejs npm)
fi
[ $# -gt 0 ] && packages=("$@")

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
install_packages() {
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
}
[ ${#missing[@]} -eq 0 ] || install_packages
[ $# -gt 0 ] && exit 0

# The archives' reader, at the version the lock file names, beside the tests that use it, and the
# archive player the replay test opens the packages in (its prebuilt files, as published).
# Without them the program builds and runs; only the tests that need them are skipped, and say
# so. Where npm cannot reach its registry, that is noted once, so that every later make does not
# wait for it again; removing the note tries again.
readers=$(dirname "$0")/../tests/archive
player=$readers/player
unreachable=$readers/.npm-unreachable
npm_quick=(--no-audit --no-fund --loglevel=error --fetch-retries=1 --fetch-retry-mintimeout=1000
  --fetch-retry-maxtimeout=3000)
if [ ! -f "$readers/node_modules/warcio/package.json" ] || [ ! -f "$player/sw.js" ]; then
  if [ -f "$unreachable" ]; then
    echo "install_deps: npm could not reach its registry before ($unreachable): the tests that" \
      "read or replay archives are skipped; remove that file to try again" >&2
    exit 0
  fi
fi
if [ ! -f "$readers/node_modules/warcio/package.json" ]; then
  echo "Installing the archive readers (npm)"
  if ! npm ci --prefix "$readers" "${npm_quick[@]}"; then
    echo "install_deps: the archive reader warcio could not be installed from npm; the tests" \
      "that read archives with it are skipped" >&2
    touch "$unreachable"
    exit 0
  fi
fi
if [ ! -f "$player/sw.js" ]; then
  echo "Installing the archive player (npm)"
  packed=$(mktemp -d)
  if (cd "$packed" && npm pack "${npm_quick[@]}" replaywebpage@2.5.3 >/dev/null); then
    mkdir -p "$player"
    tar -xzf "$packed/replaywebpage-2.5.3.tgz" -C "$player" --strip-components=1 \
      package/index.html package/ui.js package/sw.js package/LICENSE
  else
    echo "install_deps: the archive player could not be fetched from npm; the replay test is" \
      "skipped" >&2
    touch "$unreachable"
  fi
  rm -rf "$packed"
fi
