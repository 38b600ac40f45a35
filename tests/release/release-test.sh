#!/usr/bin/env bash
# The release as a user gets it, under Wine, in a prefix of its own
# (build/release-test/wineprefix):
#  - scripts/release.sh run twice, here and in a copy of the sources in another
#    folder: dist/ must be byte for byte the same;
#  - the MSI installed per user: files in place, the registry exactly what
#    TimThumbnailSetup install writes, status reporting it; then removed;
#  - the MSI installed for all users: timthumb renders every sample through
#    COM; the installed tim2png and png2tim take every sample there and back
#    byte for byte; the image codec's registry is exactly what
#    TimThumbnailSetup install --machine writes; removal leaves the registry
#    and the folders as they were;
#  - the zip holds exactly the files the MSI installs;
#  - an older package installed, then this one: one product, the new files.
# Prints one line per check and fails if any check fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
work=$root/build/release-test
rm -rf "$work"
mkdir -p "$work"
: "${SOURCE_DATE_EPOCH:=$(git log -1 --format=%ct)}"
export SOURCE_DATE_EPOCH

export WINEPREFIX=$work/wineprefix
wine=$root/scripts/wine-run.sh
trap '"$wine" wineserver -k 2>/dev/null || true' EXIT
# The prefix is a copy of the one the Windows tests made, when there is one
# (making one takes minutes where 32-bit Wine runs under emulation), or else
# made while the release builds. wineboot returns while parts of the setup
# (32-bit registrations) still run; the server ends only once every process
# in the prefix has.
template=$root/build/windows/wineprefix
if [ -f "$template/system.reg" ]; then
    { WINEPREFIX=$template "$wine" wineserver -w; cp -a "$template" "$WINEPREFIX"; } >"$work/wineboot.log" 2>&1 &
else
    mkdir -p "$WINEPREFIX"
    { "$wine" wineboot --init && "$wine" wineserver -w; } >"$work/wineboot.log" 2>&1 &
fi
boot=$!

failures=0
check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        failures=$((failures + 1))
    fi
}

echo "=== release build ==="
t0=$(date +%s)
elapsed() { echo "($(($(date +%s) - t0)) s since the start)"; }
scripts/release.sh >"$work/release-here.log" 2>&1 || { cat "$work/release-here.log"; exit 1; }
t1=$(date +%s)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
msi=$root/dist/TimThumbnailHandler-$version-win64.msi
stage=$root/build/release/stage
echo "release build: $((t1 - t0)) s"

# The second build runs in the background while Wine works.
copy=$work/elsewhere/tim-thumbnailer
mkdir -p "$copy"
git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$copy"
# The copy starts with this tree's ARM64 compiler, compile cache and root
# tarball, which are caches and no input of the build: made afresh they take
# many minutes.
mkdir -p "$copy/build/arm64"
for cached in build/arm64/zig-* build/arm64/root-*.tar.zst; do
    [ -e "$cached" ] && cp -a "$cached" "$copy/build/arm64/"
done
(cd "$copy" && scripts/release.sh >"$work/release-elsewhere.log" 2>&1; echo $? >"$work/release-elsewhere.status") &
second=$!

wait "$boot" || { cat "$work/wineboot.log"; exit 1; }
winpath() { "$wine" winepath -u "$1" 2>/dev/null | tr -d '\r'; }
localappdata=$(winpath "$("$wine" cmd /c echo %LOCALAPPDATA% | tr -d '\r')")
programfiles=$WINEPREFIX/drive_c/Program\ Files
user_dir=$localappdata/Programs/TIM\ Thumbnail\ Handler
machine_dir=$programfiles/TIM\ Thumbnail\ Handler
clsid='{05F9AEDE-6CE7-49FC-A33B-6FD075B39C2D}'
decoder='{2AB092AC-4978-4BA4-B7A6-95EF6F16D7E3}'
properties='{A4869093-7584-4A77-A41E-676581D67947}'
wic_decoders='{7ED96837-96F0-4812-B211-F13C24117ED3}'
property_handlers='HKLM\Software\Microsoft\Windows\CurrentVersion\PropertySystem\PropertyHandlers'
property_handlers32='HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\PropertySystem\PropertyHandlers'
kind_map='HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\KindMap'
arp='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# Windows has these folders and keys (the latter the installer's own records),
# a new Wine prefix not yet; made here so that what removal leaves can be
# compared with what was there before.
mkdir -p "$localappdata/Programs"
for key in 'HKCU\Software\Classes' 'HKLM\Software\Classes\Installer\Features' \
    'HKLM\Software\Classes\Installer\Products' 'HKLM\Software\Classes\Installer\UpgradeCodes'; do
    "$wine" reg add "$key" /f >/dev/null 2>&1
done

# Wine on a loaded machine now and then fails to start a program at all
# ("ShellExecuteEx failed: Internal error", nothing run): that start is tried
# once more. A run that started and failed is never repeated.
msiexec() {
    local before
    before=$(wc -l <"$work/msiexec.log" 2>/dev/null || echo 0)
    "$wine" msiexec "$@" >>"$work/msiexec.log" 2>&1 && return 0
    tail -n "+$((before + 1))" "$work/msiexec.log" | grep -q 'ShellExecuteEx failed: Internal error' || return 1
    echo "msiexec $*: Wine did not start it; once more" >>"$work/msiexec.log"
    "$wine" msiexec "$@" >>"$work/msiexec.log" 2>&1
}
# A key as reg exports it (types and values), in UTF-8; nothing when it is absent.
reg_export() {
    rm -f "$work/part.reg"
    "$wine" reg export "$1" "$work/part.reg" /y >/dev/null 2>&1 || return 0
    iconv -f UTF-16 -t UTF-8 "$work/part.reg" | tr -d '\r'
}
# The whole registry the handler and the installer could touch.
export_registry() {  # export_registry NAME
    local key
    for key in 'HKCU\Software\Classes' 'HKLM\Software\Classes' "$arp" \
        'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall' "$property_handlers" "$kind_map" \
        "$property_handlers32"; do
        reg_export "$key"
    done >"$work/$1.reg"
}
# The handler's own keys in one scope, as TimThumbnailSetup writes them.
export_handler() {  # export_handler HKCU|HKLM NAME
    local key
    # Wow6432Node: the registry's 32-bit view, where the 32-bit DLL is registered.
    for key in ".tim" "SystemFileAssociations\\.tim" "CLSID\\$clsid" "Wow6432Node\\CLSID\\$clsid"; do
        reg_export "$1\\Software\\Classes\\$key"
    done >"$work/$2.reg"
}
# The image codec's keys for all users, in both views, as install --machine writes them.
export_codec() {  # export_codec NAME
    local key
    for key in "CLSID\\$decoder" "CLSID\\$properties" "CLSID\\$wic_decoders\\Instance\\$decoder" \
        "Wow6432Node\\CLSID\\$decoder" "Wow6432Node\\CLSID\\$properties" \
        "Wow6432Node\\CLSID\\$wic_decoders\\Instance\\$decoder" ".tim" "SystemFileAssociations\\.tim"; do
        reg_export "HKLM\\Software\\Classes\\$key"
    done >"$work/$1.reg"
    for key in "$property_handlers\\.tim" "$property_handlers32\\.tim"; do reg_export "$key"; done >>"$work/$1.reg"
    "$wine" reg query "$kind_map" /v .tim 2>/dev/null | tr -d '\r' | grep -i '\.tim' >>"$work/$1.reg" || true
}
folders() { find "$localappdata" "$programfiles" | sort; }
same_files() {  # same_files DIR: DIR holds exactly the staged files, byte for byte
    [ "$(ls "$1")" = "$(ls "$stage")" ] && for f in "$stage"/*; do cmp -s "$f" "$1/$(basename "$f")" || return 1; done
}
products() {  # the version of each installed product named TIM Thumbnail Handler, one a line
    { "$wine" reg query "$arp" /s; "$wine" reg query "${arp/HKLM/HKCU}" /s; } 2>/dev/null | tr -d '\r' |
        awk '/^HKEY/ {name=""} /DisplayName/ && /TIM Thumbnail Handler/ {name=1} /DisplayVersion/ && name {print $3}'
}

export_registry before
folders >"$work/folders-before.txt"

echo "=== per user: msiexec /i $(basename "$msi") /qn === $(elapsed)"
check "per-user install succeeds" msiexec /i "$msi" /qn
check "the files are in %LocalAppData%\\Programs\\TIM Thumbnail Handler" same_files "$user_dir"
export_handler HKCU by-msi
"$wine" "$user_dir/TimThumbnailSetup.exe" status >"$work/status.txt" 2>&1 || true
tr -d '\r' <"$work/status.txt" | sed -n '/^For the current user/,/^For all users/p' >"$work/status-user.txt"
check "status reports the handler for the current user, its DLL present" \
    grep -q "TimThumbnailHandler.dll (file exists)" "$work/status-user.txt"
check "status reports both thumbnail entries" test "$(grep -c '(this handler)' "$work/status-user.txt")" = 2
check "TimThumbnailSetup re-registers from the installed folder" \
    "$wine" "$user_dir/TimThumbnailSetup.exe" uninstall >/dev/null
check "... and registers again" "$wine" "$user_dir/TimThumbnailSetup.exe" install >/dev/null
export_handler HKCU by-tool
check "the registry holds exactly what TimThumbnailSetup install writes (values and types)" \
    cmp -s "$work/by-msi.reg" "$work/by-tool.reg"
check "... and that is the handler's registration" grep -qi 'InprocServer32' "$work/by-msi.reg"
check "one product registered, version $version" test "$(products)" = "$version"
check "per-user removal succeeds" msiexec /x "$msi" /qn
export_registry after-user
check "after removal the registry is as before" cmp -s "$work/before.reg" "$work/after-user.reg"
check "after removal the folders are as before" diff <(folders) "$work/folders-before.txt"

echo "=== all users: msiexec /i $(basename "$msi") ALLUSERS=1 /qn === $(elapsed)"
check "per-machine install succeeds" msiexec /i "$msi" ALLUSERS=1 /qn
check "the files are in %ProgramFiles%\\TIM Thumbnail Handler" same_files "$machine_dir"
export_handler HKLM machine
check "registered for all users (HKLM)" grep -q "TimThumbnailHandler.dll" "$work/machine.reg"
check "the 32-bit DLL registered in the 32-bit view" grep -q "TimThumbnailHandler32.dll" "$work/machine.reg"
export_codec codec-by-msi
check "the image codec registered for all users" grep -q "TimImageCodec.dll" "$work/codec-by-msi.reg"
check "... its 32-bit build in the 32-bit view" grep -q "TimImageCodec32.dll" "$work/codec-by-msi.reg"
check "... the property handler for .tim" grep -q "$properties" <(sed -n '/PropertyHandlers.\.tim\]/,/^$/p' "$work/codec-by-msi.reg")
check "TimThumbnailSetup uninstall --machine from the installed folder" \
    "$wine" "$machine_dir/TimThumbnailSetup.exe" uninstall --machine >/dev/null
check "... and install --machine" "$wine" "$machine_dir/TimThumbnailSetup.exe" install --machine >/dev/null
export_codec codec-by-tool
check "the codec's registry holds exactly what TimThumbnailSetup install --machine writes" \
    cmp -s "$work/codec-by-msi.reg" "$work/codec-by-tool.reg"
# The ARM64 DLLs ship in the same package (for ARM64 Windows), but an x64
# system's 64-bit view names the x64 ones.
arm64_machine() { [ "$(od -An -tx1 -j "$(($(od -An -tu4 -j60 -N4 "$1") + 4))" -N2 "$1" | tr -d ' ')" = 64aa ]; }
for dll in TimThumbnailHandlerArm64.dll TimImageCodecArm64.dll; do
    check "$dll is installed, built for ARM64" arm64_machine "$machine_dir/$dll"
    check "... and in the zip" python3 -c 'import sys, zipfile
sys.exit(not any(n.endswith(sys.argv[2]) for n in zipfile.ZipFile(sys.argv[1]).namelist()))' "$root"/dist/*-win64.zip "$dll"
done
check "the zip holds exactly the files the MSI installs" python3 -c 'import os, sys, zipfile
sys.exit(sorted(zipfile.ZipFile(sys.argv[1]).namelist()) != sorted(os.listdir(sys.argv[2])))' "$root"/dist/*-win64.zip \
    "$machine_dir"
check "the x64 DLLs, not the ARM64 ones, take the 64-bit view on x64" sh -c '! grep -q "Arm64" "$1" "$2"' sh \
    "$work/machine.reg" "$work/codec-by-tool.reg"
mkdir -p "$work/thumbnails"
rendered=0 refused=0 wrong=0
for tim in samples/*.tim; do
    name=$(basename "$tim" .tim)
    status=0
    "$wine" "$machine_dir/timthumb.exe" "$tim" "$work/thumbnails/$name.png" >>"$work/timthumb.log" 2>&1 || status=$?
    case "$name:$status" in
        refused-*:1) refused=$((refused + 1)) ;;
        refused-*:*) wrong=$((wrong + 1)) ;;
        *:0) [ -s "$work/thumbnails/$name.png" ] && rendered=$((rendered + 1)) || wrong=$((wrong + 1)) ;;
        *) wrong=$((wrong + 1)) ;;
    esac
done
check "timthumb through COM renders every sample ($rendered) and refuses the damaged one ($refused)" \
    test "$wrong" = 0 -a "$refused" = 1 -a "$rendered" -gt 0
cmake --build build/windows --target wic_read >"$work/wic_read.log" 2>&1 || cat "$work/wic_read.log"
check "the hostile files of tests/claims/ through the installed handler (timthumb) and codec (WIC)" \
    /usr/bin/python3 tests/claims/claims_test.py --windows "$wine" "$machine_dir/timthumb.exe" \
    build/windows/bin/wic_read.exe
# The converters as installed: each drawn sample to PNG and back to its own bytes.
mkdir -p "$work/converted"
converted=0 wrong=0
for tim in samples/*.tim; do
    name=$(basename "$tim" .tim)
    case $name in refused-*) continue ;; esac
    if "$wine" "$machine_dir/tim2png.exe" "$tim" "$work/converted/$name.png" >>"$work/converters.log" 2>&1 &&
        "$wine" "$machine_dir/png2tim.exe" "$work/converted/$name.png" "$work/converted/$name.tim" \
            >>"$work/converters.log" 2>&1 &&
        cmp -s "$tim" "$work/converted/$name.tim"; then
        converted=$((converted + 1))
    else
        wrong=$((wrong + 1))
    fi
done
check "the installed tim2png.exe and png2tim.exe give every sample ($converted) back byte for byte" \
    test "$wrong" = 0 -a "$converted" -gt 0
# timscan as installed: every drawn sample found in one file that packs them.
packed=$work/converted/packed.bin drawn=0
: >"$packed"
for tim in samples/*.tim; do
    case $(basename "$tim") in refused-*) continue ;; esac
    head -c 333 /dev/urandom >>"$packed" && cat "$tim" >>"$packed" && drawn=$((drawn + 1))
done
found=$("$wine" "$machine_dir/timscan.exe" --json "$packed" 2>>"$work/converters.log" | grep -c '"offset"')
check "the installed timscan.exe finds every sample packed in one file ($found of $drawn)" test "$found" = "$drawn"
# Wine's msiexec finds a product installed for all users only when told ALLUSERS=1.
check "per-machine removal succeeds" msiexec /x "$msi" ALLUSERS=1 /qn
export_registry after-machine
check "after removal the registry is as before" cmp -s "$work/before.reg" "$work/after-machine.reg"
check "after removal the folders are as before" diff <(folders) "$work/folders-before.txt"

echo "=== upgrade: an older version, then $version === $(elapsed)"
old_stage=$work/old-stage
cp -r "$stage" "$old_stage"
echo "the older version" >>"$old_stage/README.txt"
packaging/windows/msi.sh 0.9.0 "$old_stage" "$work/old.msi"
check "the older version installs" msiexec /i "$work/old.msi" /qn
check "... as version 0.9.0" test "$(products)" = "0.9.0"
check "$version installs over it" msiexec /i "$msi" /qn
check "one product registered, version $version" test "$(products)" = "$version"
check "the new files are in place" same_files "$user_dir"
export_handler HKCU upgraded
check "the registration is the new version's" cmp -s "$work/by-tool.reg" "$work/upgraded.reg"
check "removal succeeds" msiexec /x "$msi" /qn
export_registry after-upgrade
check "after removal the registry is as before" cmp -s "$work/before.reg" "$work/after-upgrade.reg"
check "after removal the folders are as before" diff <(folders) "$work/folders-before.txt"

echo "=== reproducible: the same release built in another folder === $(elapsed)"
wait "$second" || true
t2=$(date +%s)
if [ "$(cat "$work/release-elsewhere.status")" != 0 ]; then
    cat "$work/release-elsewhere.log"
    check "the release builds in another folder" false
else
    for f in "$root"/dist/* "$stage"/*.dll "$stage"/*.exe; do
        other=$copy/${f#"$root"/}
        check "$(basename "$f") is the same byte for byte" cmp "$f" "$other"
    done
    check "dist/ holds the same files" diff <(ls "$root/dist") <(ls "$copy/dist")
fi
echo "second release build finished $((t2 - t1)) s after the first"

echo "=== release test: $failures failed $(elapsed) ==="
[ "$failures" = 0 ]
