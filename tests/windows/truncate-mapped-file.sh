#!/bin/sh
# Runs the medium-failure test of a Windows test program under Wine and, when
# the program has mapped its file and says so, cuts that file short from the
# Linux side: a failing medium does not ask, but neither Wine nor Windows lets
# a program truncate a file that has a mapped view.
# Usage: truncate-mapped-file.sh WINE_RUNNER PROGRAM FOLDER [ARGS...]
set -eu
runner=$1 program=$2 folder=$3
shift 3
rm -rf "$folder"
mkdir -p "$folder"
TIM_TRUNCATE_DIR=$folder "$runner" "$program" "$@" &
pid=$!
i=0
while [ ! -e "$folder/ready" ] && [ $i -lt 1200 ] && kill -0 $pid 2>/dev/null; do
    sleep 0.1
    i=$((i + 1))
done
cut=0
if [ -e "$folder/ready" ]; then
    # Keep the header page, drop every page of pixels after the first.
    truncate -s 8192 "$folder/image.tim"
    touch "$folder/truncated"
    cut=1
    echo "truncate-mapped-file: cut $folder/image.tim to 8192 bytes"
else
    echo "truncate-mapped-file: the program never reported its file mapped" >&2
fi
status=0
wait $pid || status=$?
rm -rf "$folder"
# A run that never reached the cut proves nothing, whatever the program said.
[ $cut = 1 ] || exit 1
exit $status
