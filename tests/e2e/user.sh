#!/usr/bin/env bash
# The program as a user meets it, from start to the first scheduled check.
#
#   tests/e2e/user.sh <builddir> [popup] [forward]
#
# For each notice mode: a copy of the built program in a folder of its own
# with a settings file (LAN, every 10 minutes), Dovecot on 127.0.0.1:110 with
# two messages, an SMTP server on 127.0.0.1:25, an X server with trayer as the
# notification area, and the program under libfaketime starting at 11:59:20.
# The user retypes the password, clicks テスト, acknowledges its outcome,
# clicks 実行; three messages arrive, and the check at 12:00 must find them:
# the popup with "3通の新着メールがあります", or the notice mail received.
# Screenshots and the files of each run are kept in <builddir>/e2e-user/.
#
# Runs in a network namespace of its own (also under CTest, so the fixed
# ports never meet another test's servers) and on a private session bus
# shared by the program and the AT-SPI reader. Exit 0: all seen; 1: something was wrong (the reason is printed);
# 77: a needed tool is missing.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
shift || true
modes=("$@")
[ ${#modes[@]} -eq 0 ] && modes=(popup forward)
src=$(cd "$(dirname "$0")/../.." && pwd)

if [ -z "${QUIL_E2E_INNER:-}" ]; then
  for tool in Xvfb trayer xdotool xwininfo import dbus-run-session iconv /usr/sbin/dovecot; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
  done
  [ -e /usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1 ] || { echo "SKIP: no libfaketime"; exit 77; }
  [ "$(id -u)" -eq 0 ] || { echo "SKIP: Dovecot and the fixed ports need root"; exit 77; }
  [ -x "$build/quilmon7400" ] || { echo "no program in $build" >&2; exit 1; }
  # A runtime folder of its own: the accessibility bus puts its socket there,
  # and a shared one would meet another session's.
  runtime=$(mktemp -d /tmp/quil-e2e-run.XXXXXX)
  chmod 700 "$runtime"
  exec env QUIL_E2E_INNER=1 XDG_RUNTIME_DIR="$runtime" unshare -n -- dbus-run-session -- \
    bash "$0" "$build" "${modes[@]}"
fi

ip link set lo up
# shellcheck source=../../scripts/session-lib.sh
. "$src/scripts/session-lib.sh"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
export TZ=Asia/Tokyo LANG=C.UTF-8 LC_ALL=C.UTF-8 # the program itself gets ja_JP
outroot=$build/e2e-user
mkdir -p "$outroot"
work=$(mktemp -d /tmp/quil-e2e.XXXXXX)
chmod 755 "$work" # Dovecot's login processes run unprivileged
app_pid=
cleanup() {
  if [ -n "$app_pid" ]; then
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
  fi
  session_cleanup
  rm -rf "$work"
  case "${XDG_RUNTIME_DIR:-}" in /tmp/quil-e2e-run.*) rm -rf "$XDG_RUNTIME_DIR" ;; esac
}
trap cleanup EXIT
trap 'exit 1' TERM INT

failures=0
fail() {
  echo "FAIL [$mode]: $*"
  failures=$((failures + 1))
}
ok() { echo "ok   [$mode]: $*"; }
shoot() { import -window root "$out/$1.png" && echo "     [$mode]: screenshot $out/$1.png"; }

log_text() { iconv -f CP932 -t UTF-8 "$app/quil7400.log" 2>/dev/null | tr -d '\r'; }
log_has() { log_text | grep -F -- "$1" >/dev/null; } # grep -q would end the pipe early
# The log's messages without their date and time, one a line.
log_messages() { log_text | sed -E 's#^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{1,2}:[0-9]{2}:[0-9]{2} {0,2}##'; }

# What a screen reader reads in the window with this title.
atspi_texts() { timeout 5 /usr/bin/python3 "$src/tests/e2e/atspi_texts.py" "$1" 2>/dev/null; }
atspi_has() { atspi_texts "$1" | grep -F -- "$2" >/dev/null; }

# The sink's Nth message as "subject|body", decoded by Python's email library.
mail_summary() {
  /usr/bin/python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); print(r["subject"]+"|"+r["body"].strip()+"|"+",".join(r["rcpt_tos"]))' \
    "$smtp/$1.json"
}

SETTINGS=クイルモン7400
POPUP=クイルモン７４００．．．着信のお知らせ！！
# Controls in twips: Text2 sits in Frame1 (240, 120).
read -r TEXT2_X TEXT2_Y <<<"$(centre $((240 + 2880)) $((120 + 1680)) 3255 375)"
read -r TEST_X TEST_Y <<<"$(centre 5400 5640 1215 375)"
read -r RUN_X RUN_Y <<<"$(centre 5400 6120 1215 375)"
read -r OK_X OK_Y <<<"$(centre 1800 960 1215 375)"

run_mode() {
  mode=$1
  local trf=0
  [ "$mode" = forward ] && trf=1
  out=$outroot/$mode
  rm -rf "$out"
  mkdir -p "$out"
  local d=$work/$mode
  mkdir -p "$d"
  smtp=$d/smtp
  session_start_x "$d" || { fail "no X server"; return; }
  session_start_dovecot "$d/dovecot" e2e e2epass || { fail "no Dovecot"; return; }
  session_add_messages 2 before
  session_start_smtp "$smtp" || { fail "no SMTP server"; return; }

  app=$d/app
  mkdir -p "$app"
  cp "$build/quilmon7400" "$src/resources/quillmon.hlp" "$app/"
  local line
  line=$(printf '"127.0.0.1","e2epass","127.0.0.1","mobile@example.jp","e2e","",0,4,0,%d,"0:00","0:00",""' "$trf")
  printf '%s\r\n' "$line" | iconv -f UTF-8 -t CP932 >"$app/quil7400.dat"

  # The fake clock starts with the program, 40 s before the ten-minute mark.
  env -u LC_ALL LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1 \
    FAKETIME="@2026-01-01 11:59:20" FAKETIME_DONT_FAKE_MONOTONIC=1 \
    LANG=ja_JP.UTF-8 QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$app/quilmon7400" >"$out/program.out" 2>&1 &
  app_pid=$!
  local started=$SECONDS

  if session_wait 20 window_of "$SETTINGS" >/dev/null; then ok "settings window on screen"; else
    fail "settings window never appeared; windows:"
    for w in $(xdotool search --name . 2>/dev/null); do echo "  $w $(xdotool getwindowname "$w") $(xwininfo -id "$w" | grep -E "Map State")"; done
    return
  fi
  # The first reader starts the accessibility bus, which can take long on
  # a busy machine: start it now, off the path to 実行.
  (timeout 60 /usr/bin/python3 "$src/tests/e2e/atspi_texts.py" "$SETTINGS" >/dev/null 2>&1 || true) &
  session_pids+=($!)
  sleep 1 # let it paint
  if [ "$(session_tray_icons)" -ge 1 ]; then ok "tray icon embedded in trayer"; else fail "no tray icon"; fi
  shoot settings-loaded

  # The loaded settings leave テスト disabled: retyping the password enables it.
  click_at "$SETTINGS" "$TEXT2_X" "$TEXT2_Y"
  xdotool key ctrl+a
  xdotool type --delay 20 e2epass
  click_at "$SETTINGS" "$TEST_X" "$TEST_Y"
  if session_wait 30 log_has "テスト終了"; then ok "test ended: $(log_text | grep -F テスト終了 | tail -1)"; else
    fail "the test never ended; log:"
    log_text
    return
  fi
  if [ "$mode" = popup ]; then
    if session_wait 10 window_of "$POPUP" >/dev/null; then
      sleep 0.5
      shoot test-popup
      # Its text is read only when there is time: Run must come before 12:00.
      if atspi_has "$POPUP" "テストが終了しました"; then ok "popup reads テストが終了しました"; fi
      click_at "$POPUP" "$OK_X" "$OK_Y"
      if session_wait 10 no_window "$POPUP"; then ok "ＯＫ closed the test popup"; else fail "test popup still there"; fi
    else
      fail "no test popup"
    fi
  else
    if session_wait 20 test -e "$smtp/1.json"; then
      local m
      m=$(mail_summary 1)
      case "$m" in
      "メール着信がありました|TEST MAIL|mobile@example.jp") ok "test mail received: $m" ;;
      *) fail "test mail: $m" ;;
      esac
    else
      fail "no test mail"
    fi
  fi

  click_at "$SETTINGS" "$RUN_X" "$RUN_Y"
  if session_wait 10 no_window "$SETTINGS"; then ok "実行 hid the settings window"; else fail "settings window still shown after 実行"; fi
  if session_wait 5 log_has "実行開始しました。"; then :; else fail "no 実行開始 in the log"; fi
  local saved
  saved=$(iconv -f CP932 -t UTF-8 "$app/quil7400.dat" | tr -d '\r')
  [ "$saved" = "$line" ] && ok "tested settings saved" || fail "settings file now: $saved"

  local elapsed=$((SECONDS - started))
  if [ "$elapsed" -ge 38 ]; then
    fail "Run was reached ${elapsed}s after start, past the ten-minute mark"
    return
  fi
  session_add_messages 3 after
  shoot monitoring

  if [ "$mode" = popup ]; then
    if session_wait 75 window_of "$POPUP" >/dev/null; then
      sleep 0.5
      shoot new-mail-popup
      if session_wait 60 atspi_has "$POPUP" "3通の新着メールがあります"; then
        ok "popup reads 3通の新着メールがあります"
      else
        fail "new-mail popup text: $(atspi_texts "$POPUP" | tr '\n' ' ')"
      fi
    else
      fail "no new-mail popup by 12:00"
    fi
  else
    if session_wait 75 test -e "$smtp/2.json"; then
      local m
      m=$(mail_summary 2)
      case "$m" in
      "メール着信がありました|3通のメール着信あり。|mobile@example.jp") ok "notice mail received: $m" ;;
      *) fail "notice mail: $m" ;;
      esac
    else
      fail "no notice mail by 12:00"
    fi
    session_wait 5 log_has "メッセージを転送しました" || true
    if no_window "$POPUP"; then ok "no popup in forwarding mode"; else fail "a popup was shown in forwarding mode"; fi
  fi
  if [ "$(session_tray_icons)" -ge 1 ]; then ok "tray icon still there while monitoring"; else fail "tray icon gone"; fi

  # The log, in order; the check is the scheduled one at 12:00.
  local expected
  if [ "$mode" = popup ]; then
    expected=$'接続テスト開始\n2通の新着メールがあります\nテスト終了、エラーなし\n実行開始しました。\n3通の新着メールがあります'
  else
    expected=$'接続テスト開始\n2通の新着メールがあります\n　テスト終了、エラーなし\n実行開始しました。\n3通の新着メールがあります\n　メッセージを転送しました'
  fi
  if [ "$(log_messages)" = "$expected" ]; then ok "log lines in order"; else
    fail "log differs; it reads:"
    log_text
  fi
  if log_text | grep -E '^2026/01/01 12:00:[0-9]{2}  3通の新着メールがあります$' >/dev/null; then
    ok "the check ran at 12:00"
  else
    fail "no check at 12:00 in the log"
  fi
  log_text >"$out/quil7400.log.txt"
  cp "$app/quil7400.dat" "$app/quilmon.dat" "$out/" 2>/dev/null || true
  cp "$smtp"/*.eml "$out/" 2>/dev/null || true

}

# Ends the program and the servers of a mode, however it ended.
stop_mode() {
  if [ -n "$app_pid" ]; then
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
  fi
  app_pid=
  session_cleanup
}

for m in "${modes[@]}"; do
  case "$m" in
  popup | forward)
    run_mode "$m"
    stop_mode
    ;;
  *)
    echo "unknown mode $m (popup, forward)" >&2
    exit 2
    ;;
  esac
done
echo "screenshots and files in $outroot"
[ "$failures" -eq 0 ] && echo "PASS" || echo "$failures failure(s)"
[ "$failures" -eq 0 ]
