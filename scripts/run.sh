#!/usr/bin/env bash
# Installs what is missing, builds in Release, deploys into dist/ and starts the program.
# dist/ holds the program's database, backups and settings; a clean rebuild never touches it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/deps.sh"
install_missing "${BUILD_PACKAGES[@]}" qt6-translations-l10n fonts-noto-cjk fonts-noto-color-emoji

build="$root/build-release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOVANIK_BUILD_TESTS=OFF -DTOVANIK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target tovanik -j"$(nproc)"

dist="$root/dist"
mkdir -p "$dist"
install -m 755 "$build/tovanik" "$dist/tovanik"

cd "$dist"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "没有图形显示：不开窗口运行，同步服务照常为手机提供服务（Ctrl+C 结束）。"
    echo "No display found: running without a window (--headless); the sync service still serves phones."
    exec "$dist/tovanik" --headless
fi
exec "$dist/tovanik"
