#!/usr/bin/env bash
# Builds in Release and runs the benchmarks, each printing its figures.
#   scripts/bench.sh                 every benchmark
#   scripts/bench.sh storage sync    only bench_storage and bench_sync
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/deps.sh"
install_missing "${BUILD_PACKAGES[@]}" sqlite3 curl python3 fonts-noto-cjk

build="$root/build-bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOVANIK_BUILD_TESTS=OFF -DTOVANIK_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
export QT_QPA_PLATFORM=offscreen

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
    names=(storage sync datapage program pages qr csvimport)
    # The window on a real display, when there is one.
    [ -n "${DISPLAY:-}" ] && names+=(window)
fi
for name in "${names[@]}"; do
    echo "== bench_$name"
    "$build/bench/bench_$name"
done
