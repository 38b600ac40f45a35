#!/usr/bin/env bash
# Usage: packaging/windows/msi.sh VERSION STAGE OUT.msi
# Builds the Windows Installer package of the files in STAGE with wixl. The
# product code follows from the version, the package code from the version
# and the files, and the summary dates from SOURCE_DATE_EPOCH, so the same
# inputs give the same package.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
version=$1 stage=$2 out=$(realpath -m "$3")
product=$("$here/pack.py" uuid "TimThumbnailHandler product $version")
package=$("$here/pack.py" uuid "TimThumbnailHandler package $version $(cd "$stage" && sha256sum -- * | sha256sum)")
# wixl takes the files from the current folder; its warnings about attributes
# it does not know are noise, errors still show.
(cd "$stage" && TZ=UTC wixl -a x64 -D Version="$version" -D ProductCode="$product" \
    -o "$out.partial" "$here/TimThumbnailHandler.wxs" 2> >(grep -v -e GLib-GObject-WARNING -e '^$' >&2))
"$here/pack.py" msi-summary "$out.partial" "$package"
mv "$out.partial" "$out"
