# Shell pieces shared by the scripts that run the program as a user would:
# a private X server with a tray host, a local Dovecot and an SMTP sink.
# Source it; every process started here is recorded in session_pids and
# stopped by session_cleanup, by PID only.

session_pids=()

session_cleanup() {
  local p
  for p in "${session_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${session_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  session_pids=()
}

# session_wait SECONDS COMMAND...: polls COMMAND every 0.2 s; false on timeout.
session_wait() {
  local limit=$1
  shift
  local end=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -ge "$end" ] && return 1
    sleep 0.2
  done
}

# session_start_x WORKDIR: Xvfb at 96 dpi with trayer at the top right as the
# notification area; exports DISPLAY.
session_start_x() {
  local work=$1 dpy
  exec 5< <(Xvfb -displayfd 3 -screen 0 1280x1024x24 -dpi 96 -nolisten tcp 3>&1 1>/dev/null 2>&1 &
    echo $! >"$work/.xvfb.pid")
  # A loaded machine (a sanitizer build beside) can take long to start X.
  read -r -t 30 dpy <&5 || { echo "Xvfb did not start" >&2; return 1; }
  exec 5<&-
  session_pids+=("$(cat "$work/.xvfb.pid")")
  rm -f "$work/.xvfb.pid"
  export DISPLAY=:$dpy
  trayer --edge top --align right --widthtype pixel --width 120 --height 32 --transparent false \
    --tint 0x404040 >/dev/null 2>&1 &
  session_pids+=($!)
  session_wait 30 session_tray_window >/dev/null
}

# The tray host's own window, once it is mapped.
session_tray_window() {
  xdotool search --onlyvisible --class trayer 2>/dev/null | head -1 | grep .
}

# Icons embedded in the tray host: the windows below trayer's own.
session_tray_icons() {
  local tray
  tray=$(session_tray_window) || { echo 0; return; }
  xwininfo -tree -id "$tray" 2>/dev/null | grep -cE '^ +0x[0-9a-f]+ .*[0-9]+x[0-9]+\+' || true
}

# session_start_dovecot DIR USER PASS: Dovecot on 127.0.0.1:110 with one
# maildir user. Dovecot never reads mail as root: the maildir belongs to the
# system user "mail". Sets session_maildir.
session_start_dovecot() {
  local d=$1 user=$2 pass=$3
  session_port_open 110 && { echo "port 110 is taken" >&2; return 1; }
  mkdir -p "$d"
  chmod 755 "$d" # the login processes run unprivileged
  mkdir -p "$d/run" "$d/state" "$d/mail/$user/new" "$d/mail/$user/cur" "$d/mail/$user/tmp"
  chown -R mail:mail "$d/mail"
  session_maildir=$d/mail/$user
  printf '%s:{PLAIN}%s::::%s/mail/%s::\n' "$user" "$pass" "$d" "$user" >"$d/passwd"
  cat >"$d/dovecot.conf" <<CONF
protocols = pop3
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
base_dir = $d/run
state_dir = $d/state
log_path = $d/dovecot.log
first_valid_uid = 1
mail_location = maildir:$d/mail/%u
passdb {
  driver = passwd-file
  args = $d/passwd
}
userdb {
  driver = passwd-file
  args = $d/passwd
  default_fields = uid=mail gid=mail
}
CONF
  /usr/sbin/dovecot -F -c "$d/dovecot.conf" >"$d/dovecot.out" 2>&1 &
  session_pids+=($!)
  session_wait 10 session_port_open 110 || { echo "Dovecot did not start" >&2; cat "$d/dovecot.log" >&2; return 1; }
}

session_port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# session_add_messages COUNT TAG: COUNT new messages in the maildir,
# written aside and moved in, so Dovecot never sees half a file.
session_add_messages() {
  local n=$1 tag=$2 i f
  for i in $(seq "$n"); do
    f="$(date +%s).$tag$i.e2e"
    printf 'From: sender%s@example.jp\r\nTo: user@example.jp\r\nSubject: %s %s\r\n\r\nHello %s\r\n' \
      "$i" "$tag" "$i" "$i" >"$session_maildir/tmp/$f"
    chown mail:mail "$session_maildir/tmp/$f"
    mv "$session_maildir/tmp/$f" "$session_maildir/new/$f"
  done
}

# session_start_smtp DIR: aiosmtpd on 127.0.0.1:25 storing each message as
# DIR/N.eml and DIR/N.json (see tests/support/smtp_sink.py).
session_start_smtp() {
  local d=$1 src
  session_port_open 25 && { echo "port 25 is taken" >&2; return 1; }
  src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  mkdir -p "$d"
  /usr/bin/python3 "$src/tests/support/smtp_sink.py" --dir "$d" >"$d/sink.out" 2>&1 &
  session_pids+=($!)
  session_wait 10 grep -q ready "$d/sink.out" || { echo "SMTP sink did not start" >&2; cat "$d/sink.out" >&2; return 1; }
}

# The mapped window with exactly this title. Compared as _NET_WM_NAME:
# under a locale glibc lacks (ja_JP without generated locales) Qt's legacy
# WM_NAME, which xdotool's --name matches, is not UTF-8.
window_of() {
  local w
  for w in $(xdotool search --onlyvisible --name . 2>/dev/null); do
    [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "$1" ] && { echo "$w"; return 0; }
  done
  return 1
}
no_window() { ! window_of "$1" >/dev/null; }

# click_at TITLE X Y: a left click at client coordinates of that window.
click_at() {
  local win X Y WIDTH HEIGHT SCREEN WINDOW
  win=$(window_of "$1") || return 1
  eval "$(xdotool getwindowgeometry --shell "$win")"
  xdotool mousemove "$((X + $2))" "$((Y + $3))" click 1
}

# The centre of a control given in twips (left, top, width, height), in pixels at 96 dpi.
centre() { echo "$((($1 + $3 / 2) / 15)) $((($2 + $4 / 2) / 15))"; }
