#!/usr/bin/env bash
# Installs, with apt-get, whichever of the named Debian packages are missing.
# Usage: scripts/install-deps.sh PACKAGE...
# Waits for another apt or dpkg run to finish rather than failing on its lock.
#
# A mirror in mid-sync can serve one index that does not match its Release
# file for hours; apt-get update then exits 100 although every other list
# was fetched. So the update is tried a few times and, if an index still
# fails, the install goes on with the lists apt has. It stops only when a
# package cannot be installed, naming the package and apt's reason.
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
apt=($sudo apt-get -o DPkg::Lock::Timeout=900)

log=$(mktemp)
trap 'rm -f "$log"' EXIT
for try in 1 2 3; do
    if "${apt[@]}" update -qq >"$log" 2>&1; then
        break
    fi
    if [ "$try" -eq 3 ]; then
        echo "install-deps.sh: apt-get update failed three times; going on with the package lists apt has:" >&2
        grep -E '^(E|W):' "$log" | sed 's/^/  /' >&2 || true
    else
        sleep $((try * 5))
    fi
done

if "${apt[@]}" install -y --no-install-recommends "${missing[@]}" >"$log" 2>&1; then
    exit 0
fi
# Which package, and why: each one asked for on its own, without installing.
echo "install-deps.sh: the install failed" >&2
for pkg in "${missing[@]}"; do
    if ! reason=$("${apt[@]}" install -s -y --no-install-recommends "$pkg" 2>&1); then
        echo "install-deps.sh: cannot install $pkg: $(printf '%s\n' "$reason" | grep -E '^(E:| [^ ].*:)' | tr -s ' ' | paste -sd ' ')" >&2
    fi
done
tail -n 20 "$log" >&2
exit 1
