#!/usr/bin/env bash
# Runs the benchmarks inside a private network namespace: the local Dovecot
# listens on the fixed port 110 of a loopback nobody else can reach. Then the
# desktop figures (start-up, idle) on a private X server; QUIL_IDLE_SECONDS
# sets the idle period (default 60; 600 gives the ten-minute figure).
set -euo pipefail
build=${1:-build}
if [ -z "${QUIL_IN_NETNS:-}" ]; then
  ns=(-n)
  [ "$(id -u)" -ne 0 ] && ns=(-r -n)
  exec env QUIL_IN_NETNS=1 unshare "${ns[@]}" -- "$0" "$build"
fi
ip link set lo up
status=0
for b in "$build"/bench/bench_*; do
  [ -f "$b" ] && [ -x "$b" ] || continue
  "$b" || status=1
done
if [ -x "$build/bench/startwatch" ] && command -v Xvfb >/dev/null; then
  bash "$(dirname "$0")/bench-desktop.sh" "$build" "${QUIL_IDLE_SECONDS:-60}" || status=1
fi
exit $status
