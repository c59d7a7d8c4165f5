#!/usr/bin/env bash
# Runs a Windows program of the build under Wine, as CTest's emulator: Qt's and SQLite's DLLs from the
# cache, the MinGW runtime from the cross compiler, a Wine prefix of our own, and Wine's heap checks.
#   wine-run.sh QT_PREFIX PROGRAM.exe [ARGUMENTS...]
set -euo pipefail
prefix="$1"
shift
cache="${TOVANIK_WINDOWS_CACHE:-/var/cache/tovanik-windows}"
export WINEPREFIX="${WINEPREFIX:-$cache/wine}"
# No Wine chatter, but its heap checks: freed blocks are filled and each block's tail is guarded, and
# what breaks them is said, so a test that reads freed memory or writes past a block fails where it does.
export WINEDEBUG="${WINEDEBUG:--all,err+heap,warn+heap}"
# Wine reads Chinese file names and arguments through the locale.
export LC_ALL=C.UTF-8
# No Mono or Gecko installer dialogs on the prefix's first start.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Wine's GDI gives no outline metrics for a font without outlines (Noto Color Emoji, a bitmap font that
# Linux desktops carry for emoji), and Qt's Windows font engine then reads an unfilled buffer and crashes.
# Windows has no such fonts (its emoji font has outlines), so Wine is shown only the folders without one.
# Wine's own processes outlive a run and keep the file's name, hence a lasting file, replaced whole.
mkdir -p "$cache"
fonts="$cache/wine-fonts.conf"
{
    echo '<?xml version="1.0"?><!DOCTYPE fontconfig SYSTEM "fonts.dtd"><fontconfig>'
    fc-scan --format '%{file}\t%{outline}\n' /usr/share/fonts /usr/local/share/fonts 2>/dev/null | awk -F'\t' '
        { n = split($1, part, "/"); dir = substr($1, 1, length($1) - length(part[n]) - 1); dirs[dir] = 1
          if ($2 == "False") bad[$1] = 1 }
        END { for (d in dirs) { ok = 1; for (b in bad) if (index(b, d "/") == 1) ok = 0
                                if (ok) print "<dir>" d "</dir>" } }'
    echo '<cachedir>/var/cache/fontconfig</cachedir><cachedir prefix="xdg">fontconfig</cachedir></fontconfig>'
} >"$fonts.$$"
mv -f "$fonts.$$" "$fonts"
export FONTCONFIG_FILE="$fonts"
export WINEPATH="Z:${prefix}/bin;Z:/usr/lib/gcc/x86_64-w64-mingw32/12-posix;Z:/usr/x86_64-w64-mingw32/lib"
# QtTest and Qt's messages go to the debugger's channel on Windows when no console is attached; the
# tests' results and messages belong on standard output and error, as on Linux.
export QT_FORCE_STDERR_LOGGING=1
# Wine keeps the host's QT_ variables from Windows programs (they are meant for the host's Qt) and hands
# on those named WINEQT_ as QT_: the tests' QT_QPA_PLATFORM=offscreen reaches them that way.
for name in $(compgen -e | grep '^QT_' || true); do
    export "WINE$name=${!name}"
done
exec wine "$@"
