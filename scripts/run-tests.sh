#!/usr/bin/env bash
# Runs every test inside a private network namespace: the POP3 and SMTP peers
# listen on the fixed ports 110 and 25 of a loopback nobody else can reach.
set -euo pipefail
build=${1:-build}
shift || true
if [ -z "${QUIL_IN_NETNS:-}" ]; then
  ns=(-n)
  [ "$(id -u)" -ne 0 ] && ns=(-r -n)
  exec env QUIL_IN_NETNS=1 unshare "${ns[@]}" -- "$0" "$build" "$@"
fi
ip link set lo up
ctest --test-dir "$build" --output-on-failure -j2 "$@"
