#!/usr/bin/env bash
# Runs a Windows program of the build under Wine, as CTest's emulator: Qt's and SQLite's DLLs from the
# cache, the MinGW runtime from the cross compiler, a Wine prefix of our own, and no Wine chatter.
#   wine-run.sh QT_PREFIX PROGRAM.exe [ARGUMENTS...]
set -euo pipefail
prefix="$1"
shift
cache="${TOVANIK_WINDOWS_CACHE:-/var/cache/tovanik-windows}"
export WINEPREFIX="${WINEPREFIX:-$cache/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
# Wine reads Chinese file names and arguments through the locale.
export LC_ALL=C.UTF-8
# No Mono or Gecko installer dialogs on the prefix's first start.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEPATH="Z:${prefix}/bin;Z:/usr/lib/gcc/x86_64-w64-mingw32/12-posix;Z:/usr/x86_64-w64-mingw32/lib"
# With a display (the --test run starts an Xvfb) the tests paint through Qt's own Windows platform, on
# Wine's X11 driver, as on a shop's computer.
if [ -n "${DISPLAY:-}" ]; then
    export QT_QPA_PLATFORM=windows
fi
exec wine "$@"
