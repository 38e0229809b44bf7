#!/usr/bin/env bash
# A suite killed with SIGKILL leaves its temporary root; the next suite to start,
# Python or Qt Test, removes it, and removes its own when it ends.
#   tst_cleanup.sh QT_TEST_SUITE
set -uo pipefail
support=$(cd "$(dirname "$0")/support" && pwd)
qt_suite=$1
python_base=/dev/shm
[ -d "$python_base" ] || python_base=${TMPDIR:-/tmp}
failures=0

expect() {
    if [ "$2" = "$3" ]; then echo "PASS $1"; else printf 'FAIL %s: %s, not %s\n' "$1" "$2" "$3"; failures=$((failures + 1)); fi
}

# A Python suite that makes its root and waits ($1 seconds) as a hung one would.
python_suite() {
    python3 -c 'import sys, time; sys.path.insert(0, sys.argv[1]); import headless; time.sleep(float(sys.argv[2]))' \
        "$support" "$1" &
    pid=$!
}

# A hung Python suite, once its root is made; its root in $root.
hung_python_suite() {
    python_suite 60
    root=$python_base/ecg-tests-$pid
    for _ in $(seq 100); do
        [ ! -d "$root" ] || break
        sleep 0.05
    done
}

# Starts a Python suite, kills it once its root is made, and checks it stays.
killed_python_suite() {
    hung_python_suite
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    expect "a killed suite leaves its root" "$([ -d "$root" ] && echo left)" left
}

left() {
    ls -d "$@" 2>/dev/null
}

# One still running, whose root the others keep.
hung_python_suite
running=$pid
running_root=$root

killed_python_suite
"$qt_suite" -silent >/dev/null 2>&1 &
qt=$!
wait "$qt"
expect "a Qt Test suite removes it" "$(left "$root")" ""
expect "and its own" "$(left "${TMPDIR:-/tmp}/ecg-tests-$qt")" ""

killed_python_suite
python_suite 0
wait "$pid"
expect "a Python suite removes it" "$(left "$root")" ""
expect "and its own" "$(left "$python_base/ecg-tests-$pid")" ""
expect "a running suite's root kept" "$(left "$running_root")" "$running_root"
kill -KILL "$running"
wait "$running" 2>/dev/null
# And the next suite takes it away.
python_suite 0
wait "$pid"
exit $((failures > 0))
