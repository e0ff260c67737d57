#!/usr/bin/env bash
# Start-up and idle figures of the program on a private X server with trayer,
# each beside a bare Qt Widgets program showing one window (bench/bare_window).
#
#   scripts/bench-desktop.sh <builddir> [idle-seconds (default 60; 600 for the full figure)]
#
# Start-up: milliseconds from exec until the window is mapped; 15 runs each,
# taken in turn, so that all three see the same machine. The median is the
# figure; the fastest run is shown beside it, as the least disturbed one.
# Idle: the program with a tested settings file, 実行 clicked (monitoring,
# window hidden, checks every 10 minutes against a loopback where nothing
# listens): anonymous memory (what the process costs; library code and fonts
# the kernel drops by itself under pressure), resident size beside it, and
# CPU time from the click on. The yardsticks' figures are read afterwards,
# once they have been up for 10 s.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
idle=${2:-60}
src=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${QUIL_BENCH_INNER:-}" ]; then
  exec env QUIL_BENCH_INNER=1 unshare -n -- dbus-run-session -- bash "$0" "$build" "$idle"
fi
ip link set lo up
. "$src/scripts/session-lib.sh"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
export TZ=Asia/Tokyo LANG=C.UTF-8 LC_ALL=C.UTF-8
work=$(mktemp -d /tmp/quil-bench.XXXXXX)
trap 'session_cleanup; rm -rf "$work"' EXIT
trap 'exit 1' TERM INT
session_start_x "$work"

app=$work/app
mkdir -p "$app"
cp "$build/quilmon7400" "$app/"
printf '"127.0.0.1","pass","127.0.0.1","dest@example.jp","user","",0,4,0,0,"0:00","0:00",""\r\n' >"$app/quil7400.dat"
bare=$build/bench/bare_window
watch=$build/bench/startwatch

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# --- start-up, alternating the two programs so both see the same machine
: >"$work/prog.ms"
: >"$work/bare.ms"
: >"$work/label.ms"
for _ in $(seq 15); do
  "$watch" "クイルモン7400" env -u LC_ALL LANG=ja_JP.UTF-8 "$app/quilmon7400" >>"$work/prog.ms"
  "$watch" "bare window" env -u LC_ALL LANG=ja_JP.UTF-8 "$bare" >>"$work/bare.ms"
  "$watch" "bare window" env -u LC_ALL LANG=ja_JP.UTF-8 "$bare" --label >>"$work/label.ms"
done
p=$(median <"$work/prog.ms")
b=$(median <"$work/bare.ms")
l=$(median <"$work/label.ms")
fastest() { sort -n | head -1; }
pf=$(fastest <"$work/prog.ms")
bf=$(fastest <"$work/bare.ms")
lf=$(fastest <"$work/label.ms")
echo "startup: program $p ms, bare Qt window $b ms, bare window with one Japanese label $l ms (medians of 15)"
echo "startup: fastest runs: $pf / $bf / $lf ms, ratio $(awk -v p="$pf" -v b="$bf" 'BEGIN {printf "%.2f", p/b}')"
echo "startup: runs: $(tr '\n' ' ' <"$work/prog.ms")/ $(tr '\n' ' ' <"$work/bare.ms")/ $(tr '\n' ' ' <"$work/label.ms")"
awk -v p="$p" -v b="$b" -v l="$l" 'BEGIN {r=p/b; printf "startup: ratio %.2f to the bare window (goal <= 1.5: %s), %.2f to the labelled one\n", r, r <= 1.5 ? "met" : "MISSED", p/l}'

# --- idle
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
anon_kb() { awk '/^RssAnon/ {print $2}' "/proc/$1/status"; }
pss_kb() { awk '/^Pss:/ {print $2}' "/proc/$1/smaps_rollup"; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)

# The program first, alone beside trayer: what its pages share with other
# programs stays resident, so the yardsticks start only after its figure is read.
env -u LC_ALL LANG=ja_JP.UTF-8 "$app/quilmon7400" >"$work/prog.out" 2>&1 &
prog_pid=$!
session_pids+=("$prog_pid")
session_wait 20 window_of "クイルモン7400" >/dev/null
sleep 1
shown=$(rss_kb "$prog_pid")
read -r RUN_X RUN_Y <<<"$(centre 5400 6120 1215 375)"
c0=$(cpu_ticks "$prog_pid")
click_at "クイルモン7400" "$RUN_X" "$RUN_Y"
session_wait 10 no_window "クイルモン7400" || { echo "idle: 実行 did not hide the window" >&2; exit 1; }
hidden=$(rss_kb "$prog_pid")
echo "idle: monitoring for $idle s..."
sleep "$idle"
kill -0 "$prog_pid" || { echo "idle: the program ended" >&2; exit 1; }
c1=$(cpu_ticks "$prog_pid")
pr=$(rss_kb "$prog_pid")
pp=$(pss_kb "$prog_pid")
pa=$(anon_kb "$prog_pid")

env -u LC_ALL LANG=ja_JP.UTF-8 "$bare" >/dev/null 2>&1 &
bare_pid=$!
session_pids+=("$bare_pid")
env -u LC_ALL LANG=ja_JP.UTF-8 "$bare" --label >/dev/null 2>&1 &
label_pid=$!
session_pids+=("$label_pid")
session_wait 20 window_of "bare window" >/dev/null
sleep 10
br=$(rss_kb "$bare_pid")
lr=$(rss_kb "$label_pid")
bp=$(pss_kb "$bare_pid")
lp=$(pss_kb "$label_pid")
ba=$(anon_kb "$bare_pid")
la=$(anon_kb "$label_pid")
beside=$(rss_kb "$prog_pid")
echo "idle: program resident size: window shown $shown kB, just hidden $hidden kB, after $idle s of monitoring $pr kB (PSS $pp kB); $beside kB once the yardsticks run"
echo "idle: bare Qt window $br kB, with one Japanese label $lr kB (PSS $bp / $lp kB)"
echo "idle: anonymous memory: program $pa kB, bare Qt window $ba kB, with one Japanese label $la kB"
awk -v p="$pa" -v b="$ba" -v l="$la" 'BEGIN {r=p/b; printf "idle: anonymous memory ratio %.2f to the bare window (goal <= 1.2: %s), %.2f to the labelled one\n", r, r <= 1.2 ? "met" : "MISSED", p/l}'
awk -v p="$pr" -v b="$br" -v l="$lr" 'BEGIN {printf "idle: RSS ratio %.2f to the bare window, %.2f to the labelled one\n", p/b, p/l}'
awk -v c=$((c1 - c0)) -v hz="$hz" -v s="$idle" 'BEGIN {
  printf "idle: CPU from 実行 through %d s of monitoring: %.2f s; per 10 minutes %.2f s (goal < 0.5: %s)\n",
    s, c/hz, c/hz*600/s, c/hz*600/s < 0.5 ? "met" : "MISSED"}'
grep -c . "$app/quil7400.log" | xargs -I{} echo "idle: {} log lines written while idle"
iconv -f cp932 -t utf-8 "$app/quil7400.log" | sed "s/^/idle: log: /"
