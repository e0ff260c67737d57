#!/usr/bin/env bash
# Screenshots of the settings window (first run and with a settings file),
# the tray menu, the version window, the assistant, the popup, the connection
# dialog, the password prompt and the help viewer on a private X server with trayer as the tray host.
# Also checks that the icon appears, that a right click opens the menu and
# that 終了 removes the icon.   scripts/screenshots.sh <builddir> [outdir]
set -euo pipefail
# One private session bus for everything started here, so each window's
# program is a child of this script and ends by its PID.
if [ -z "${QUIL_SHOTS_INNER:-}" ]; then
  exec env QUIL_SHOTS_INNER=1 dbus-run-session -- bash "$0" "$@"
fi
build=$(cd "${1:-build}" && pwd)
out=${2:-$build/screenshots}
src=$(cd "$(dirname "$0")/.." && pwd)
show=$build/tests/e2e/windows_show
mkdir -p "$out"
export LANG=C.UTF-8 TZ=Asia/Tokyo
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

. "$src/scripts/session-lib.sh"
trap session_cleanup EXIT
session_start_x "$out"
run() { "$show" "$@"; }
shoot() { import -window root "$out/$1.png"; echo "wrote $out/$1.png"; }

# --- the settings window of the real program: first run, then with a settings file
appdir=$(mktemp -d /tmp/quil-shots.XXXXXX)
cp "$build/quilmon7400" "$appdir/"
for state in first-run loaded; do
  if [ "$state" = loaded ]; then
    printf '"pop.example.jp","secret","smtp.example.jp","taro@example.ne.jp","taro","Taro",0,4,1,1,"23:00","6:00",""\r\n' \
      | iconv -f UTF-8 -t CP932 >"$appdir/quil7400.dat"
  fi
  "$appdir/quilmon7400" >/dev/null 2>&1 &
  p=$!
  session_wait 20 window_of "クイルモン7400" >/dev/null || echo "FAIL: no settings window ($state)"
  sleep 1
  shoot "settings-$state"
  kill "$p" 2>/dev/null || true
  wait "$p" 2>/dev/null || true
done
rm -rf "$appdir"

# --- tray: icon appears, right click opens the menu, 終了 removes the icon
run tray >"$out/tray.log" 2>&1 &
session_pids+=($!)
tray_pid=$!
sleep 2
grep -q "added: 1" "$out/tray.log" || { echo "FAIL: icon not added"; cat "$out/tray.log"; exit 1; }
[ "$(session_tray_icons)" -ge 1 ] || { echo "FAIL: icon not embedded in trayer"; exit 1; }
icon=$(xdotool search --classname quilmon 2>/dev/null | head -1 || true)
[ -z "$icon" ] && icon=$(xdotool search --name "windows_show" 2>/dev/null | head -1 || true)
# The embedded icon sits in trayer's strip: click the strip's right end.
xdotool mousemove 1265 16 click 3
sleep 1
grep -q "activated: right click" "$out/tray.log" || { echo "FAIL: right click did not reach the handler"; cat "$out/tray.log"; exit 1; }
shoot menu
# 終了 is the menu's last item.
menu=$(xdotool search --onlyvisible --name "popup" 2>/dev/null | tail -1 || true)
if [ -n "$menu" ]; then
  eval "$(xdotool getwindowgeometry --shell "$menu")"
  xdotool mousemove $((X + 20)) $((Y + HEIGHT - 12)) click 1
else
  xdotool key Up Return
fi
sleep 1
grep -q "icon removed" "$out/tray.log" && echo "OK: 終了 removed the icon" || echo "FAIL: icon not removed"
shoot tray-after-end
wait "$tray_pid" 2>/dev/null || true

# --- the windows, one at a time
for w in verdisp assist form4 connection prompt; do
  run "$w" >/dev/null 2>&1 &
  p=$!
  sleep 2
  shoot "$w"
  kill "$p" 2>/dev/null || true
  wait "$p" 2>/dev/null || true
done
run help "$src/resources/quillmon.hlp" >/dev/null 2>&1 &
p=$!
sleep 2
shoot help
kill "$p" 2>/dev/null || true
run help /nonexistent/quillmon.hlp >/dev/null 2>&1 &
p=$!
sleep 2
shoot help-missing
kill "$p" 2>/dev/null || true
