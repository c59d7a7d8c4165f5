#!/usr/bin/env bash
# The Windows program as a shop starts it, under Wine: copied with its DLLs into a folder whose path holds
# Chinese characters and a space, started with --headless. It must print the connection text and its
# backup line, keep config.json, data/ and the backups in its own folder, and refuse a second copy in the
# same folder. (A program built for the window has no console under Wine to take Ctrl+C from: it is
# ended by force here.)
#   console-check.sh DIST_FOLDER
set -euo pipefail
dist="$1"
here="$(cd "$(dirname "$0")" && pwd)"
cache="${TOVANIK_WINDOWS_CACHE:-/var/cache/tovanik-windows}"
export WINEPREFIX="${WINEPREFIX:-$cache/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export QT_QPA_PLATFORM=offscreen
# Wine reads the Chinese folder names through the locale.
export LC_ALL=C.UTF-8

drive_c="$WINEPREFIX/drive_c"
folder="$drive_c/users/店主/桌面/电脑 主库"
rm -rf "$drive_c/users/店主"
mkdir -p "$folder"
cp -r "$dist"/. "$folder/"
# No outside network here: a public host set by hand keeps the address lookup quiet.
printf '{\n    "publicHost": "203.0.113.9",\n    "syncPort": %d\n}\n' "$(( 20000 + RANDOM % 20000 ))" >"$folder/config.json"

fail() {
    echo "console check: $*" >&2
    exit 1
}

out="$(mktemp)"
trap 'rm -f "$out" "$out.second"; kill -9 "${pid:-0}" 2>/dev/null || true' EXIT
(cd "$folder" && exec wine "C:\\users\\店主\\桌面\\电脑 主库\\tovanik.exe" --headless) >"$out" 2>&1 &
pid=$!
for _ in $(seq 1 300); do
    grep -q "手机连接：" "$out" && grep -q "已自动备份数据库到" "$out" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
done
grep -q "手机连接：" "$out" || { cat "$out"; fail "no connection text on standard output"; }
grep -q "已自动备份数据库到" "$out" || { cat "$out"; fail "no backup line"; }

(cd "$folder" && timeout 60 wine "C:\\users\\店主\\桌面\\电脑 主库\\tovanik.exe" --headless) >"$out.second" 2>&1 &&
    fail "a second copy in the same folder started"
grep -q "【程序已在运行】" "$out.second" || { cat "$out.second"; fail "the second copy did not say why it stopped"; }

[ -f "$folder/config.json" ] || fail "no config.json beside the program"
[ -f "$folder/data/plindor.db" ] || fail "no data/plindor.db beside the program"
ls "$folder/data/备份/"plindor-*.db >/dev/null 2>&1 || fail "no backup in data/备份"
echo "console check: passed in $folder"
