#!/usr/bin/env bash
# Makes the Windows program on Debian: SQLite and Qt for Windows from Debian's source packages (once, into
# a cache outside the checkout), then the program, its tests and benchmarks with the same CMake files.
# Lays out dist-windows/, what a shop unpacks, and packs it as tovanik-windows-x64.zip.
#   scripts/windows.sh          build and lay out
#   scripts/windows.sh --program   only the program, laid out and packed (what the CI checks, in its time)
#   scripts/windows.sh --test   the program and its tests, which then run under Wine (offscreen)
#   scripts/windows.sh --bench NAME...   also run bench/bench_NAME under Wine beside the Linux build's
# TOVANIK_WINDOWS_CACHE chooses the cache (default /var/cache/tovanik-windows).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/deps.sh"
. "$root/scripts/windows/toolchain.sh"

# apt-get source needs a deb-src line; Debian's images come without one.
if ! grep -rqs '^\(Types: .*deb-src\|deb-src \)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm bookworm-updates' \
        'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
        $sudo tee /etc/apt/sources.list.d/tovanik-deb-src.sources >/dev/null
    $sudo apt-get update -qq
fi
install_missing "${BUILD_PACKAGES[@]}" g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix ninja-build dpkg-dev \
    tcl wine wine64 zip qt6-translations-l10n fonts-noto-cjk

prefix="$(windows_toolchain_ready)"
export TOVANIK_WINDOWS_PREFIX="$prefix"
runtime=(/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++-6.dll /usr/lib/gcc/x86_64-w64-mingw32/12-posix/libgcc_s_seh-1.dll
    /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll)

build="$root/build-windows"
# The benchmarks only where they are run or asked for: the CI's program and tests go without them.
bench=ON
case "${1:-}" in --program | --test) bench=OFF ;; esac
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$windows_toolchain" \
    -DTOVANIK_BUILD_BENCH=$bench \
    -DCMAKE_PREFIX_PATH="$prefix" -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DTOVANIK_SHARED_SQLITE=ON -DSQLite3_INCLUDE_DIR="$prefix/include" -DSQLite3_LIBRARY="$prefix/lib/libsqlite3.dll.a" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$root/scripts/windows/wine-run.sh;$prefix" >/dev/null
targets=()
[ "${1:-}" != "--program" ] || targets=(--target tovanik)
cmake --build "$build" -j"$(nproc)" "${targets[@]}"

# What a shop unpacks: the program, the DLLs it loads and Qt's plugins and Chinese texts, nothing else.
dist="$root/dist-windows"
rm -rf "$dist"
mkdir -p "$dist/platforms" "$dist/styles" "$dist/sqldrivers" "$dist/tls" "$dist/translations"
cp "$build/tovanik.exe" "$dist/"
for module in Core Gui Widgets Network Sql; do cp "$prefix/bin/Qt6$module.dll" "$dist/"; done
cp "$prefix/bin/libsqlite3-0.dll" "${runtime[@]}" "$dist/"
cp "$prefix/plugins/platforms/qwindows.dll" "$dist/platforms/"
cp "$prefix/plugins/styles/qwindowsvistastyle.dll" "$dist/styles/"
cp "$prefix/plugins/sqldrivers/qsqlite.dll" "$dist/sqldrivers/"
cp "$prefix/plugins/tls/qschannelbackend.dll" "$dist/tls/"
cp /usr/share/qt6/translations/qtbase_zh_CN.qm "$dist/translations/"
x86_64-w64-mingw32-strip "$dist"/*.dll "$dist"/*/*.dll "$dist/tovanik.exe"
rm -f "$root/tovanik-windows-x64.zip"
(cd "$dist" && zip -qr "$root/tovanik-windows-x64.zip" .)
echo "Windows program: $dist ($(du -sh "$dist" | cut -f1)), packed as tovanik-windows-x64.zip"

# Wine sets up its prefix on first use; once here, not in two tests at the same time.
[ -z "${1:-}" ] || [ "$1" = "--program" ] || "$root/scripts/windows/wine-run.sh" "$prefix" wineboot -i

case "${1:-}" in
--test)
    (cd "$build" && ctest --output-on-failure -j2)
    bash "$root/scripts/windows/console-check.sh" "$dist"
    ;;
--bench)
    shift
    linux="$root/build-bench"
    cmake -S "$root" -B "$linux" -DCMAKE_BUILD_TYPE=Release -DTOVANIK_BUILD_TESTS=OFF -DTOVANIK_BUILD_BENCH=ON >/dev/null
    for name in "$@"; do cmake --build "$linux" -j"$(nproc)" --target "bench_$name"; done
    export QT_QPA_PLATFORM=offscreen
    for name in "$@"; do
        echo "== bench_$name, Linux"
        "$linux/bench/bench_$name"
        echo "== bench_$name, Windows under Wine"
        "$root/scripts/windows/wine-run.sh" "$prefix" "$build/bench/bench_$name.exe"
    done
    ;;
esac
