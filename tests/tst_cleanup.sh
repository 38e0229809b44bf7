#!/usr/bin/env bash
# A suite killed with SIGKILL leaves its temporary root; the next suite to start,
# Python or Qt Test, removes it, and removes its own when it ends.
#   tst_cleanup.sh QT_TEST_SUITE
set -uo pipefail
support=$(cd "$(dirname "$0")/support" && pwd)
qt_suite=$1
failures=0
listing=$(mktemp)
trap 'rm -f "$listing"' EXIT

expect() {
    if [ "$2" = "$3" ]; then echo "PASS $1"; else printf 'FAIL %s: %s, not %s\n' "$1" "$2" "$3"; failures=$((failures + 1)); fi
}

# A Python suite that makes its root, says where, and waits to be killed; its
# pid and root in $pid and $root.
start_python_suite() {
    python3 -c 'import sys, time; sys.path.insert(0, sys.argv[1]); import headless
print(headless.ROOT, flush=True); time.sleep(60)' "$support" >"$listing" &
    pid=$!
    root=""
    for _ in $(seq 100); do
        root=$(cat "$listing")
        [ -z "$root" ] || break
        sleep 0.05
    done
    expect "the suite's root made" "$([ -n "$root" ] && [ -d "$root" ] && echo yes)" yes
}

kill_suite() {
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    expect "a killed suite leaves its root" "$([ -d "$root" ] && echo yes)" yes
}

start_python_suite
kill_suite
"$qt_suite" -silent >/dev/null 2>&1 &
qt=$!
wait "$qt"
expect "a Qt Test suite removes it" "$([ -e "$root" ] && echo left)" ""
expect "and its own" "$(ls -d /dev/shm/ecg-tests-"$qt" "${TMPDIR:-/tmp}"/ecg-tests-"$qt" 2>/dev/null)" ""

start_python_suite
kill_suite
python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import headless; print(headless.ROOT)' "$support" >"$listing"
expect "a Python suite removes it" "$([ -e "$root" ] && echo left)" ""
expect "and its own" "$([ -e "$(cat "$listing")" ] && echo left)" ""
exit $((failures > 0))
