#!/usr/bin/env bash
# Installs what is missing, builds and runs every test through CTest.
#   scripts/test.sh             normal build (build-test/)
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/), without the
#                               direct SQLite reader: every reading goes through QSqlQuery, as with a Qt whose
#                               driver carries its own SQLite (Qt's own builds for Windows and macOS)
#   scripts/test.sh --threads   ThreadSanitizer build (build-tsan/) of the tests whose code crosses threads
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/deps.sh"
install_missing "${BUILD_PACKAGES[@]}" qt6-translations-l10n zbar-tools sqlite3 fonts-noto-cjk fonts-noto-color-emoji curl nodejs

build="$root/build-test"
extra=()
tests=()
targets=()
if [ "${1:-}" = "--sanitize" ]; then
    build="$root/build-asan"
    extra=(-DTOVANIK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DTOVANIK_BUILD_BENCH=OFF -DCMAKE_DISABLE_FIND_PACKAGE_SQLite3=ON)
elif [ "${1:-}" = "--threads" ]; then
    build="$root/build-tsan"
    extra=(-DTOVANIK_SANITIZE_THREAD=ON -DTOVANIK_BUILD_BENCH=OFF)
    # The storage thread with its jobs and read sessions, the service's readers, the data page's reader, the
    # status card's count, the comparison and its window's readers.
    tests=(-R '^(storagethread|sync|datapage|pages|versiondiff|versioncompare)$')
    targets=(--target tovanik tst_storagethread tst_sync tst_datapage tst_pages tst_versiondiff tst_versioncompare)
    # Qt and GLib are not built with the sanitizer: what they do inside (Qt's posted-event queue, for one)
    # is theirs to answer for, so their own copies are not checked.
    # The program tests start the program as a process of its own from a test with threads running.
    export TSAN_OPTIONS="halt_on_error=1 die_after_fork=0 ignore_noninstrumented_modules=1 suppressions=$root/tests/tsan.supp"
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
export QT_QPA_PLATFORM=offscreen
cd "$build"
ctest --output-on-failure -j2 "${tests[@]}"
