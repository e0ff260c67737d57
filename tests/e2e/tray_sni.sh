#!/usr/bin/env bash
# The tray icon on a desktop with a StatusNotifierItem host (KDE Plasma,
# GNOME with AppIndicator) instead of an XEmbed tray: a watcher of our own
# (sni_watcher.py) on a private session bus, under Xvfb. The program must
# register its item with the picture, the tip and the menu; the menu stays
# greyed while the settings window is open, and an entry chosen through
# dbusmenu does what the tray menu does (終了 removes the icon and ends).
#
#   tests/e2e/tray_sni.sh <builddir>     exit 0: all seen; 1: not; 77: tool missing
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
if [ -z "${QUIL_SNI_INNER:-}" ]; then
  for tool in Xvfb trayer xdotool dbus-run-session; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
  done
  /usr/bin/python3 -c 'from gi.repository import Gio' 2>/dev/null || { echo "SKIP: no python3-gi"; exit 77; }
  exec env QUIL_SNI_INNER=1 dbus-run-session -- bash "$0" "$@"
fi
export LANG=C.UTF-8 TZ=Asia/Tokyo
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
work=$(mktemp -d /tmp/quil-sni.XXXXXX)
. "$src/scripts/session-lib.sh"
trap 'session_cleanup; rm -rf "$work"' EXIT
session_start_x "$work"
fail() { echo "FAIL: $*"; cat "$work"/*.out 2>/dev/null; exit 1; }
# expect FILE PYTHON-EXPRESSION: some JSON line of FILE (as `d`) satisfies it.
expect() {
  /usr/bin/python3 - "$1" "$2" <<'PY'
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1]) if l.startswith("{")]
sys.exit(0 if any(eval(sys.argv[2], {}, {"d": d}) for d in lines) else 1)
PY
}
watch() { # watch NAME [--click LABEL]: a fresh watcher writing NAME.out
  local name=$1
  shift
  /usr/bin/python3 "$src/tests/e2e/sni_watcher.py" "$@" >"$work/$name.out" 2>&1 &
  session_pids+=($!)
  watcher=$!
  session_wait 10 grep -q '"ready"' "$work/$name.out" || fail "watcher did not start"
}
stop() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }

# The program itself, its settings window open at start: the menu is there,
# greyed, and choosing 終了 does nothing.
watch program --click 終了
app=$work/app
mkdir -p "$app"
cp "$build/quilmon7400" "$app/"
"$app/quilmon7400" >"$work/program-stdout.out" 2>&1 &
session_pids+=($!)
program=$!
session_wait 20 grep -q '"clicked"' "$work/program.out" || fail "program: menu not read"
expect "$work/program.out" 'd.get("tooltip") == "メールチェックソフトクイルモン7400"' || fail "tip"
expect "$work/program.out" '[32, 32, 4096] in d.get("icon_pixmaps", [])' || fail "icon"
expect "$work/program.out" 'd.get("title") == "quilmon7400" and d.get("menu") == "/MenuBar"' ||
  fail "title or menu"
expect "$work/program.out" '([e[1] for e in d.get("menu_entries", [])] ==
  ["設定変更", "今すぐチェック", "-", "バージョン情報", "ヘルプ", "-", "終了"])' || fail "menu entries"
expect "$work/program.out" '(d.get("menu_entries") and
  not any(e[2] for e in d["menu_entries"] if e[1] != "-"))' || fail "entries not greyed"
sleep 1
kill -0 "$program" 2>/dev/null || fail "終了 ended the program while its window was open"
stop "$program"
stop "$watcher"

# The tray menu alone, its window hidden: 終了 chosen through dbusmenu.
watch alone --click 終了
"$build/tests/e2e/windows_show" tray >"$work/alone-stdout.out" 2>&1 &
session_pids+=($!)
alone=$!
session_wait 20 grep -q "icon removed" "$work/alone-stdout.out" || fail "終了 did not end the tray"
# 今すぐチェック waits for 実行, which the tray alone never sees.
expect "$work/alone.out" '[e[2] for e in d.get("menu_entries", [])] == [True, False] + [True] * 5' ||
  fail "entries greyed with the window hidden"
stop "$alone"
echo "PASS: item registered, read and its menu chosen through dbusmenu"
