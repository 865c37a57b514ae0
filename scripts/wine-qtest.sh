#!/usr/bin/env bash
# Runs one Windows QTest program under Wine and prints its report: a Windows
# program without a console sends QTest's output to the debugger, so the
# report goes through a file. Wine hands no QT_* variable to a Windows
# program: a GUI test gets its platform on the command line (tests/windows).
# The exit code is the test's.
# Environment: set up by scripts/windows-checks.sh (WINEPREFIX, WINEPATH...).
set -uo pipefail
exe=$1
shift
report=$(mktemp --suffix=.txt)
trap 'rm -f "$report"' EXIT
wine "$exe" -o "$report,txt" "$@" 2>/dev/null
rc=$?
cat "$report"
exit $rc
