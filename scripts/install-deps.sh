#!/usr/bin/env bash
# Installs, with apt-get, whichever of the named Debian packages are missing.
# Usage: scripts/install-deps.sh PACKAGE...
# Waits for another apt or dpkg run to finish rather than failing on its lock.
set -euo pipefail

missing=()
for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq -o DPkg::Lock::Timeout=900
$sudo apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=900 "${missing[@]}"
