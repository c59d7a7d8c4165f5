#!/usr/bin/env bash
# The reliability runs that take minutes rather than seconds: the load test and the crash test,
# each against the real program started from a temporary folder and reached only on 127.0.0.1.
#   scripts/reliability.sh            both
#   scripts/reliability.sh load|crash one of them
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/deps.sh"
install_missing "${BUILD_PACKAGES[@]}"

build="$root/build-bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOVANIK_BUILD_TESTS=OFF -DTOVANIK_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target tovanik bench_load bench_crash
export QT_QPA_PLATFORM=offscreen

what="${1:-all}"
if [ "$what" = all ] || [ "$what" = load ]; then
    echo "== load test"
    timeout 900 "$build/bench/bench_load" "$build/tovanik"
fi
if [ "$what" = all ] || [ "$what" = crash ]; then
    echo "== crash test"
    timeout 1800 "$build/bench/bench_crash" "$build/tovanik"
fi
