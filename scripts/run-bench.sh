#!/usr/bin/env bash
# Runs the benchmarks inside a private network namespace: the local Dovecot
# listens on the fixed port 110 of a loopback nobody else can reach.
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
  [ -x "$b" ] || continue
  "$b" || status=1
done
exit $status
