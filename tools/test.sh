#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   --sanitize=LIST   build with -fsanitize=LIST in its own folder (e.g. address,undefined)
# Warnings are errors when CI is set.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
for argument in "$@"; do
    case "$argument" in
        --sanitize=*) sanitize="${argument#--sanitize=}" ;;
        *) echo "usage: $0 [--sanitize=LIST]" >&2; exit 2 ;;
    esac
done

tools/deps.sh

build=build
[ -z "$sanitize" ] || build="build-${sanitize//,/-}"
werror=OFF
[ -z "${CI:-}" ] || werror=ON

cmake -S . -B "$build" -DECG_WERROR="$werror" -DECG_SANITIZE="$sanitize" >/dev/null
cmake --build "$build" -j"$(nproc)"
# Full unwinding, so that leaks inside Qt plugins can be told apart by module.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:fast_unwind_on_malloc=0}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tools/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j2
