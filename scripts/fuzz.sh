#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs them.
#   scripts/fuzz.sh [SECONDS] [TARGET...]   each target SECONDS (default 30) on
#                                           its seeds; the long runs use 600
#   scripts/fuzz.sh --merge [TARGET...]     folds what the runs found into the
#                                           committed seeds, keeping only inputs
#                                           that reach something new
# TARGET is a name such as pop3 (fuzz/fuzz_pop3.cpp, seeds in fuzz/corpus/pop3).
# The seeds stay read-only during a run; new inputs go to fuzz/corpus-work.
# Exits non-zero when any target finds a crash, leak, hang or undefined
# behaviour; the input that did it is left in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
merge=0
if [[ ${1:-} == --merge ]]; then
  merge=1
  shift
  secs=0
else
  secs=${1:-30}
  shift || true
fi
build=build-fuzz
if [[ $# -gt 0 ]]; then
  targets=$(printf 'fuzz_%s\n' "$@")
else
  targets=$(ls fuzz/fuzz_*.cpp | xargs -n1 basename | sed 's/\.cpp$//')
fi
cmake -S . -B $build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIL_FUZZ=ON -DQUIL_SANITIZE=ON \
  -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_C_COMPILER=clang-14 -DQUIL_WERROR="${CI:+ON}" >/dev/null
nice cmake --build $build -j2 --target $targets >/dev/null
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for t in $targets; do
  seeds=fuzz/corpus/${t#fuzz_}
  work=fuzz/corpus-work/${t#fuzz_}
  mkdir -p "$work" "$seeds"
  if [[ $merge == 1 ]]; then
    before=$(ls "$seeds" | wc -l)
    # Edges only, not hit counts: tens of seeds, not hundreds.
    nice "$build/fuzz/$t" -merge=1 -use_counters=0 "$seeds" "$work" >"$build/$t.merge.log" 2>&1
    echo "== $t: seeds $before -> $(ls "$seeds" | wc -l) files, $(du -sk "$seeds" | cut -f1) kB"
    continue
  fi
  echo "== $t ($secs s)"
  if ! nice "$build/fuzz/$t" -max_total_time="$secs" -max_len=65536 -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/$t-" \
      "$work" "$seeds" >"$build/$t.log" 2>&1; then
    status=1
    echo "FAILED: $t (log: $build/$t.log)"
    grep -E -A30 '^==[0-9]+==|runtime error|ERROR: libFuzzer' "$build/$t.log" | head -60 || true
  fi
  grep -E 'stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb' \
    "$build/$t.log" || true
  echo "corpus: $(ls "$work" | wc -l) files found, $(ls "$seeds" | wc -l) seeds"
done
exit $status
