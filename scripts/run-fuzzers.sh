#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each one:
# first over its regression inputs (fuzz/regressions/<target>/, inputs that
# once failed and must keep passing), then for FUZZ_SECONDS (default 30)
# from its seed corpus. All targets run at the same time. A crash, leak,
# time-out or sanitizer report fails the run; the input that caused it is
# left in build-fuzz/findings/<target>/ to become a regression input.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DTARNOVELL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"

targets=$(cd fuzz && ls ./*_fuzz.cpp | sed 's#^\./##; s#_fuzz\.cpp$##')
# What the image libraries leak themselves (see the file) is not a finding.
export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
rm -rf "$build/findings" "$build/work"
failed=0
pids=()
for target in $targets; do
  (
    set +e
    binary=$build/fuzz/${target}_fuzz
    findings=$build/findings/$target
    mkdir -p "$findings" "$build/work/$target"
    if [ -d "fuzz/regressions/$target" ] && [ -n "$(ls -A "fuzz/regressions/$target")" ]; then
      "$binary" fuzz/regressions/"$target"/* >"$build/work/$target.regressions.log" 2>&1 || {
        echo "fuzz $target: a regression input fails again (see $build/work/$target.regressions.log)"
        exit 1
      }
    fi
    # The seeds stay as they are; what the run finds goes to a scratch corpus.
    "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=131072 \
      -artifact_prefix="$findings/" "$build/work/$target" "fuzz/corpus/$target" \
      >"$build/work/$target.log" 2>&1
    status=$?
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*\|#[0-9]*.*DONE' "$build/work/$target.log" | tail -1)
    if [ $status -ne 0 ]; then
      echo "fuzz $target: FAILED (status $status); input in $findings, log $build/work/$target.log"
      tail -30 "$build/work/$target.log"
      exit 1
    fi
    echo "fuzz $target: clean for ${seconds}s ${runs}"
  ) &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
exit $failed
