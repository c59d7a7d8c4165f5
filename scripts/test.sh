#!/usr/bin/env bash
# Installs what is missing, builds and runs every test through CTest.
#   scripts/test.sh             normal build (build-test/)
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/), without the
#                               direct SQLite reader: every reading goes through QSqlQuery, as on Windows,
#                               where Qt's driver carries its own SQLite
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/deps.sh"
install_missing "${BUILD_PACKAGES[@]}" qt6-translations-l10n zbar-tools sqlite3 fonts-noto-cjk fonts-noto-color-emoji curl nodejs

build="$root/build-test"
extra=()
if [ "${1:-}" = "--sanitize" ]; then
    build="$root/build-asan"
    extra=(-DTOVANIK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DTOVANIK_BUILD_BENCH=OFF -DCMAKE_DISABLE_FIND_PACKAGE_SQLite3=ON)
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
export QT_QPA_PLATFORM=offscreen
cd "$build"
ctest --output-on-failure -j2
