#!/usr/bin/env bash
# The Debian package as a user meets it: built from <builddir> (`make deb`),
# installed with apt-get, started by an unprivileged user on a private X
# server and session bus, started a second time, and removed again.
#
#   scripts/package-check.sh [builddir]
#
# Needs root. It changes nothing on the machine but the package it installs
# (removed at the end) and a user of its own (made and deleted here).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
user=quilpkgcheck

if [ "${1:-}" = --inner ]; then
  # As the user, inside dbus-run-session.
  work=$2
  # shellcheck source=session-lib.sh
  . "$work/session-lib.sh"
  app_pid=
  cleanup() {
    [ -n "$app_pid" ] && { kill "$app_pid" 2>/dev/null || true; wait "$app_pid" 2>/dev/null || true; }
    session_cleanup
  }
  trap cleanup EXIT
  fail() { echo "FAIL: $*"; exit 1; }
  exec 5< <(Xvfb -displayfd 3 -screen 0 1280x1024x24 -dpi 96 -nolisten tcp 3>&1 1>/dev/null 2>&1 &
    echo $! >"$work/xvfb.pid")
  read -r -t 30 dpy <&5 || fail "Xvfb did not start"
  exec 5<&-
  session_pids+=("$(cat "$work/xvfb.pid")")
  export DISPLAY=:$dpy QT_QPA_PLATFORM=xcb LANG=ja_JP.UTF-8 TZ=Asia/Tokyo
  unset XDG_CONFIG_HOME XDG_STATE_HOME
  /usr/bin/quilmon7400 >"$work/first.out" 2>&1 &
  app_pid=$!
  win=
  session_wait 30 window_of クイルモン7400 >/dev/null || { cat "$work/first.out"; fail "no settings window"; }
  win=$(window_of クイルモン7400)
  for d in "$HOME/.config/quilmon7400" "$HOME/.local/state/quilmon7400"; do
    [ -d "$d" ] || fail "$d was not made"
    [ "$(stat -c %a "$d")" = 700 ] || fail "$d is $(stat -c %a "$d"), not 700"
  done
  [ -e "$HOME/.local/state/quilmon7400/quil7400.lock" ] || fail "no lock in the state folder"
  echo "ok   the installed copy made its folders 0700 and holds its lock there"
  # Without a notification area a second start brings the running copy's
  # window forward: it comes above a window that covered it.
  win=$(printf '0x%x' "$win")
  topmost() { xwininfo -root -children 2>/dev/null | awk '/^ +0x/ {print $1; exit}'; }
  on_top() { [ "$(topmost)" = "$win" ]; }
  covered() { ! on_top; }
  xmessage -geometry 1280x1024+0+0 cover >/dev/null 2>&1 &
  session_pids+=($!)
  session_wait 10 covered || fail "nothing covers the settings window"
  start=$SECONDS
  timeout 20 /usr/bin/quilmon7400 >"$work/second.out" 2>&1 || fail "the second start failed ($?)"
  [ $((SECONDS - start)) -lt 10 ] || fail "the second start took $((SECONDS - start)) s"
  kill -0 "$app_pid" 2>/dev/null || fail "the first copy ended"
  session_wait 10 on_top || fail "the running copy did not come forward (top: $(topmost))"
  echo "ok   a second start ended at once and the running copy came forward"
  exit 0
fi

[ "$(id -u)" -eq 0 ] || { echo "run as root: it installs and removes the package" >&2; exit 1; }
build=$(cd "${1:-build}" && pwd)
(cd "$build" && cpack -G DEB >/dev/null 2>&1) || { echo "cpack failed" >&2; exit 1; }
deb=$(ls "$build"/quilmon7400_*.deb | tail -1)
work=$(mktemp -d /tmp/quil-pkg.XXXXXX)
made_user=
installed=
cleanup() {
  [ -n "$installed" ] && DEBIAN_FRONTEND=noninteractive apt-get remove -y -q quilmon7400 >/dev/null
  [ -n "$made_user" ] && userdel -r "$user" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" >"$work/apt.out" 2>&1 ||
  { cat "$work/apt.out"; exit 1; }
installed=1
echo "ok   installed $(basename "$deb")"
if ! id "$user" >/dev/null 2>&1; then
  useradd --create-home --shell /bin/bash "$user"
  made_user=1
fi
home=$(getent passwd "$user" | cut -d: -f6)
run=$work/run
mkdir -p "$run"
# An X server started by a user cannot make the socket folder itself.
[ -d /tmp/.X11-unix ] || install -d -m 1777 /tmp/.X11-unix
# The user may not be able to read the checkout: the scripts go along.
cp "$src/scripts/package-check.sh" "$src/scripts/session-lib.sh" "$work/"
chown -R "$user:" "$work"
chmod 700 "$run"
status=0
runuser -u "$user" -- env -i HOME="$home" USER="$user" PATH=/usr/bin:/bin XDG_RUNTIME_DIR="$run" \
  dbus-run-session -- bash "$work/package-check.sh" --inner "$work" || status=$?
if [ -n "$(find /usr/bin -maxdepth 1 -name 'quil*' ! -name quilmon7400)" ]; then
  echo "FAIL: files beside /usr/bin/quilmon7400"
  status=1
fi
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q quilmon7400 >/dev/null
installed=
[ ! -e /usr/bin/quilmon7400 ] || { echo "FAIL: the program stayed after removal"; status=1; }
[ $status -eq 0 ] && echo "ok   removed again"
exit $status
