#!/usr/bin/env bash
# Builds the request-parser fuzzer with libFuzzer, AddressSanitizer and UBSan, and runs it.
#   scripts/fuzz.sh [seconds]   (default 180)
# The kept corpus in fuzz/corpus/request seeds the run; new inputs go to build-fuzz/corpus, and a crash
# is written to build-fuzz/ as crash-<hash>, to be turned into a test case.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-180}"
out="$root/build-fuzz"
mkdir -p "$out/corpus"

clang++ -std=c++17 -g -O1 -fPIC -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root" $(pkg-config --cflags Qt6Core) \
    "$root/fuzz/fuzz_request.cpp" "$root/sync/httprequest.cpp" \
    $(pkg-config --libs Qt6Core) -o "$out/fuzz_request"

cd "$out"
./fuzz_request -max_total_time="$seconds" -max_len=8192 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$out/" "$out/corpus" "$root/fuzz/corpus/request"
