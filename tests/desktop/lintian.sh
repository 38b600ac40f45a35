#!/usr/bin/env bash
# Debian's lintian over the packages given: no error and no warning allowed
# (informational tags are shown but pass). Prints one line per package.
# Usage: tests/desktop/lintian.sh PACKAGE.deb...
set -uo pipefail
passed=0 failed=0
for deb in "$@"; do
    # lintian warns on stderr when run as root; that is no finding.
    if out=$(lintian --fail-on error,warning "$deb" 2>/dev/null); then
        echo "ok: lintian $(basename "$deb")"
        passed=$((passed + 1))
    else
        echo "FAILED: lintian $(basename "$deb")"
        failed=$((failed + 1))
    fi
    [ -n "$out" ] && printf '%s\n' "$out"
done
echo "lintian: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
