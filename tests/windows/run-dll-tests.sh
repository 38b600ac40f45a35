#!/bin/sh
# Runs the DLL-level suites of the 32-bit or the ARM64 DLLs (dll_tests, or
# the codec's codec_tests) under Wine, as a few processes started together,
# and passes only if every one of them printed GoogleTest's PASSED line and
# no FAILED line: an emulated process that crashes can still end with exit
# code 0.
# Usage: run-dll-tests.sh WINE_RUNNER PROGRAM
#
# Where qemu-i386 runs 32-bit programs (see scripts/wine-env.sh), two threads of
# an emulated Wine process making system calls at once crash the emulator,
# with or without this DLL, and Wine cannot tell an access violation from an
# illegal instruction, as the emulator leaves out the trap number. There the
# tests that need threads or real faults are left out (the guard is still
# driven by faults raised in software), and the leak rounds and the hostile
# sweep each get a process of their own: an emulated process that goes on
# after either dies now and then inside Wine.
#
# The ARM64 suites always run emulated (qemu-aarch64, see
# scripts/arm64-env.sh). Threads and real faults work there; but a process
# that dies of an unhandled fault never ends (Wine hangs in it), so that one
# test is left out, and a fault's read/write flag is always 0, which no test
# here tells apart on a real fault.
set -u
runner=$1 program=$2
export WINEDLLOVERRIDES='mscoree,mshtml=;winedbg.exe=d'  # a crash ends the run, no debugger waits

# The medium-failure test belongs to the 64-bit truncation step. The codec's
# suite is one part.
case $program in
*codec_tests*) parts="*" ;;
*) parts="-Leaks.*:HostileFiles.*:MediumFailure.* Leaks.* HostileFiles.*" ;;
esac
emulated=""
case $program in
*Arm64.exe)
    emulated=":GuardedViewRead.AFaultPastTheViewKillsTheProcess"
    echo "ARM64 programs run under qemu-aarch64: a process dying of an unhandled fault left out"
    ;;
*)
    if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386; then
        emulated=":DllThreads.*:GuardedViewRead.OnlyReadFaults*:GuardedViewRead.AFaultPast*:StackProtector.*"
        echo "32-bit programs run under qemu-i386: threads and real faults left out where the suite has them"
    fi
    ;;
esac

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
n=0
# Under the emulator a process can also hang for good inside Wine: it is
# stopped after ten minutes, which normal runs stay far below.
limit=""
[ -n "$emulated" ] && limit="timeout 600"
run() { $limit "$runner" "$program" --gtest_filter="$1"; }
set -f  # the filters are GoogleTest's patterns, not the shell's
for filter in $parts; do
    case $filter in -*) filter=$filter$emulated ;; esac
    n=$((n + 1))
    run "$filter" >"$out/$n" 2>&1 &
done
wait

passed() { grep -q '^\[  PASSED  \] [0-9]* tests\?\.' "$1" && ! grep -q '^\[  FAILED  \]' "$1"; }
verdict() { grep -q '^\[  \(PASSED\|FAILED\)  \]' "$1"; }

# Under the emulator, a part that died before GoogleTest gave any verdict is
# run once more on its own: that is the emulator's death, not the DLL's. A
# part that reports a failure is never run again.
if [ -n "$emulated" ]; then
    n=0
    for filter in $parts; do
        case $filter in -*) filter=$filter$emulated ;; esac
        n=$((n + 1))
        if ! verdict "$out/$n"; then
            echo "run-dll-tests.sh: part $n died without a verdict under the emulator; running it again"
            cat "$out/$n"
            run "$filter" >"$out/$n" 2>&1
        fi
    done
fi

status=0
for i in $(seq 1 $n); do
    cat "$out/$i"
    if ! passed "$out/$i"; then
        echo "run-dll-tests.sh: part $i did not pass"
        status=1
    fi
done
[ $status -eq 0 ] && echo "run-dll-tests.sh: all $n parts passed"
exit $status
