#!/usr/bin/env bash
# Builds the fuzz targets with clang as libFuzzer programs (ASan and UBSan on)
# and runs each for a bounded time from its seed corpus and regressions.
# Prints the executions of each target; exits non-zero when one crashes,
# leaving the crashing input in BUILD/artifacts/<target>/.
#
# Usage: fuzz/run.sh [SECONDS] [TARGET...]    (SECONDS: each, default 60)
# Environment: BUILD (default build-fuzz), JOBS (default 2), NICE (default 10).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
build=${BUILD:-build-fuzz}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(entry_path_fuzzer image_layout_fuzzer list_file_fuzzer package_reader_fuzzer
    run_coder_fuzzer)
fi

CC=clang CXX=clang++ cmake -S . -B "$build" -DTUVOLINK_FUZZ=ON -DTUVOLINK_BUILD_TESTS=OFF \
  -DTUVOLINK_BUILD_BENCHMARKS=OFF -DTUVOLINK_CROSS_WINDOWS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice -n "${NICE:-10}" cmake --build "$build" -j"${JOBS:-2}" --target "${targets[@]}" >/dev/null

failed=0
for target in "${targets[@]}"; do
  # New inputs go to a working corpus in the build folder; the seeds and the
  # regressions in the tree are read only.
  work="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  rm -rf "$artifacts"
  mkdir -p "$work" "$artifacts"
  log="$build/$target.log"
  status=0
  nice -n "${NICE:-10}" "$build/fuzz/$target" -max_total_time="$seconds" -timeout=25 \
    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$work" "fuzz/corpus/$target" "fuzz/regressions/$target" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  found=$(find "$artifacts" -type f | wc -l)
  echo "$target: ${runs:-?} executions in ${seconds} s, exit $status, $found crashing inputs"
  if [ "$status" -ne 0 ]; then
    failed=1
    grep -m 5 -E 'ERROR|property does not hold|runtime error|Test unit written' "$log" || true
  fi
done
exit $failed
