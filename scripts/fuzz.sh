#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one.
#   scripts/fuzz.sh [seconds-per-target]   (default 30; the long runs use 600)
# The committed seed corpora stay read-only; new inputs go to a work folder.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-30}
build=build-fuzz
cmake -S . -B $build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIL_FUZZ=ON -DQUIL_SANITIZE=ON \
  -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_C_COMPILER=clang-14 >/dev/null
targets=$(ls fuzz/fuzz_*.cpp | xargs -n1 basename | sed 's/\.cpp$//')
cmake --build $build -j2 --target $targets >/dev/null
status=0
for t in $targets; do
  seeds=fuzz/corpus/${t#fuzz_}
  work=fuzz/corpus-work/${t#fuzz_}
  mkdir -p "$work"
  echo "== $t ($secs s)"
  if ! ASAN_OPTIONS=detect_leaks=1 "$build/fuzz/$t" -max_total_time="$secs" -max_len=65536 \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" "$seeds" 2>"$build/$t.log"; then
    status=1
    tail -40 "$build/$t.log"
  fi
  grep -E 'stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb' "$build/$t.log" || true
  echo "corpus: $(ls "$work" | wc -l) files"
done
exit $status
