#!/usr/bin/env bash
# `make demo`: shows the program at work without a mail account. Starts a
# local POP3 server (Dovecot, three messages waiting) and an SMTP server
# (aiosmtpd) on 127.0.0.1:110 and :25 inside a private network namespace,
# writes a settings file for them beside a copy of the program in a
# temporary folder, and starts the program on your display. The servers stop
# when the program ends.
#
# Needs: root (or unprivileged user namespaces) for `unshare -n`, and an X11
# display reached through a unix socket (DISPLAY=:0 and the like, not a TCP
# display such as ssh's localhost:10): path sockets under /tmp/.X11-unix
# stay reachable from inside the namespace. A Wayland session works through
# XWayland.
set -euo pipefail
build=${1:-build}
build=$(cd "$build" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)

if [ -z "${QUIL_DEMO_IN_NETNS:-}" ]; then
  [ -x "$build/quilmon7400" ] || { echo "no program in $build: run make build first" >&2; exit 1; }
  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "no display: start the demo from a desktop session" >&2
    exit 1
  fi
  case "${DISPLAY:-}" in
    *?:*) [ "${DISPLAY%%:*}" = unix ] || echo "warning: DISPLAY=$DISPLAY is a network display; it is unreachable from the private network" >&2 ;;
  esac
  ns=(-n)
  [ "$(id -u)" -ne 0 ] && ns=(-r -n)
  exec env QUIL_DEMO_IN_NETNS=1 unshare "${ns[@]}" -- "$0" "$build"
fi

ip link set lo up
demo=$(mktemp -d /tmp/quilmon-demo.XXXXXX)
chmod 755 "$demo" # Dovecot's login processes run as an unprivileged user
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  echo "demo folder kept: $demo (settings, log, seen-id list, received notices in smtp.log)"
}
trap cleanup EXIT

# --- POP3: Dovecot (mail read as the system user "mail") with a maildir of three messages for user demo / pass demo
mkdir -p "$demo/dovecot/run" "$demo/dovecot/state" "$demo/mail/demo/new" "$demo/mail/demo/cur" "$demo/mail/demo/tmp"
for i in 1 2 3; do
  printf 'From: sender%s@example.jp\r\nTo: demo@example.jp\r\nSubject: demo %s\r\nDate: %s\r\n\r\nHello %s\r\n' \
    "$i" "$i" "$(date -R)" "$i" >"$demo/mail/demo/new/$(date +%s).$i.demo"
done
chown -R mail:mail "$demo/mail" # Dovecot never reads mail as root
printf 'demo:{PLAIN}demo::::%s/mail/demo::\n' "$demo" >"$demo/dovecot/passwd"
cat >"$demo/dovecot/dovecot.conf" <<CONF
protocols = pop3
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
base_dir = $demo/dovecot/run
state_dir = $demo/dovecot/state
log_path = $demo/dovecot/dovecot.log
first_valid_uid = 1
mail_location = maildir:$demo/mail/%u
passdb {
  driver = passwd-file
  args = $demo/dovecot/passwd
}
userdb {
  driver = passwd-file
  args = $demo/dovecot/passwd
  default_fields = uid=mail gid=mail
}
CONF
/usr/sbin/dovecot -F -c "$demo/dovecot/dovecot.conf" &
pids+=($!)

# --- SMTP: aiosmtpd printing what it receives into smtp.log
/usr/bin/python3 -m aiosmtpd -n -l 127.0.0.1:25 -c aiosmtpd.handlers.Debugging >"$demo/smtp.log" 2>&1 &
pids+=($!)

for _ in $(seq 50); do
  if (exec 3<>/dev/tcp/127.0.0.1/110) 2>/dev/null && (exec 3<>/dev/tcp/127.0.0.1/25) 2>/dev/null; then
    break
  fi
  sleep 0.1
done

# --- The program's folder: program, help, and a settings file in code page 932 (CR LF)
cp "$build/quilmon7400" "$demo/"
cp "$src/resources/quillmon.hlp" "$demo/"
printf '"127.0.0.1","demo","127.0.0.1","me@example.jp","demo","",0,4,0,0,"0:00","0:00",""\r\n' >"$demo/quil7400.dat"
chmod 600 "$demo/quil7400.dat"

echo "POP3 127.0.0.1:110 (demo/demo, 3 messages), SMTP 127.0.0.1:25; program in $demo"
"$demo/quilmon7400" || true
