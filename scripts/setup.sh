#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; only what is
# missing, and `apt-get update` only when something is.
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config git
      qt6-base-dev qt6-translations-l10n libgl-dev fonts-dejavu-core fonts-liberation2
      libzip-dev libcurl4-openssl-dev
      googletest libgtest-dev libshp-dev
      python3 python3-pyftpdlib python3-dbf python3-dbfread libdbd-xbase-perl
      zip unzip locales tzdata)
missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  if ((EUID != 0)); then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them by running, as root: bash scripts/setup.sh" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
