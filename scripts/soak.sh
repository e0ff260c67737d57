#!/usr/bin/env bash
# The long soak: 10,000 scheduled checks against an unreliable POP3 server.
# Usage: scripts/soak.sh [build-dir] [checks] [seed]
set -euo pipefail
build=${1:-build}
checks=${2:-10000}
seed=${3:-7400}
cmake --build "$build" -j2 --target tst_soak
start=$(date +%s)
# Qt Test stops a test function after 5 minutes unless told otherwise.
QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 TZ=Asia/Tokyo QTEST_FUNCTION_TIMEOUT=3600000 \
  QUIL_SOAK_CHECKS=$checks QUIL_SOAK_SEED=$seed "$build/tests/tst_soak" -maxwarnings 0
echo "soak of $checks checks: $(( $(date +%s) - start )) s wall time"
