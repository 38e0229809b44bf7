#!/usr/bin/env bash
# Checks the packages that tools/package.sh and tools/package.sh --armhf built,
# as Debian would before accepting them: lintian, hardened binaries, the menu
# entry and the manual page; then installs the amd64 package, runs it, opens
# its manual page and purges it, which must leave none of its files behind.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh packagecheck
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
failures=0
check() {
    local what=$1
    shift
    if "$@"; then echo "checkpackage: ok    $what"; else echo "checkpackage: WRONG $what"; failures=$((failures + 1)); fi
}

changes=(build-package/*.changes build-package-armhf/*.changes)
check "lintian --pedantic: no error, no warning" lintian --pedantic -I --fail-on error,warning "${changes[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for out in build-package build-package-armhf; do
    deb=$(ls "$out"/ecg-simulator_*.deb)
    dpkg-deb -x "$deb" "$work/$out"
    # Its fortify test finds no checkable call (what is left is memcpy of a
    # run-time length, which no compiler can check): the build log shows the flag.
    check "$deb: PIE, stack protector, read-only relocations, immediate binding" \
        hardening-check --nofortify --nocfprotection "$work/$out/usr/bin/ecg-simulator"
    check "$deb: compiled with _FORTIFY_SOURCE" grep -q -- "-D_FORTIFY_SOURCE=2 .*main.cpp" "$out/build.log"
    check "$deb: menu entry valid" desktop-file-validate "$work/$out/usr/share/applications/ecg-simulator.desktop"
    check "$deb: manual page without warning" mandoc -T lint -W warning "$work/$out/usr/share/man/man1/ecg-simulator.1.gz"
done

version=$(dpkg-parsechangelog -S Version)
$sudo apt-get install -y -qq ./build-package/ecg-simulator_"$version"_amd64.deb >/dev/null
check "installed: --version prints $version" test "$(ecg-simulator --version)" = "ecg-simulator $version"
check "installed: the manual page opens" man -w ecg-simulator
installed=$(dpkg -L ecg-simulator | while read -r path; do [ -d "$path" ] || echo "$path"; done)
$sudo apt-get purge -y -qq ecg-simulator >/dev/null
left=$(for path in $installed; do [ ! -e "$path" ] || echo "$path"; done)
check "purged: none of its $(echo "$installed" | wc -l) files left ${left:+(left: $left)}" test -z "$left"
[ "$failures" -eq 0 ]
