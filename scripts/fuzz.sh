#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and runs each
# for a bounded time on its corpus in fuzz/corpus/<name>/, which grows as the fuzzer finds new paths.
#   scripts/fuzz.sh [seconds per target, default 60] [target names...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/deps.sh"
install_missing "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev

seconds="${1:-60}"
shift || true
build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVANIK_FUZZ=ON \
    -DTOVANIK_BUILD_TESTS=OFF -DTOVANIK_BUILD_BENCH=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for source in "$root"/fuzz/fuzz_*.cpp; do
        name="$(basename "$source" .cpp)"
        targets+=("${name#fuzz_}")
    done
fi
for name in "${targets[@]}"; do
    cmake --build "$build" -j"$(nproc)" --target "fuzz_$name"
done

export QT_QPA_PLATFORM=offscreen
for name in "${targets[@]}"; do
    corpus="$root/fuzz/corpus/$name"
    mkdir -p "$corpus" "$build/artifacts/$name"
    echo "== fuzz_$name for ${seconds}s"
    "$build/fuzz_$name" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=65536 -artifact_prefix="$build/artifacts/$name/" -print_final_stats=1 2>&1 | tail -n 12
done
