#!/usr/bin/env bash
# The packer on a busy machine against itself pinned to one CPU: with 0, 1
# and 2 busy loops (`yes > /dev/null`) beside it, packs the real-file mix of
# bench/compare.sh by its own choice of workers and under `taskset -c 0`,
# interleaved, ROUNDS rounds after a warm-up, and prints the medians and the
# median of the per-round ratios with the load. Needs the corpus and lists
# that a run of bench/compare.sh left in its work folder.
#
# Usage: bench/busy.sh [BUILD_DIR]     (default build-bench)
# Environment: ROUNDS [5], LIST [mix] (a list of compare-work/lists/).
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
build=$(cd "${1:-build-bench}" && pwd)
tuvolink=$build/tuvolink
work=$build/compare-work
corpus=$(ls -d "$work"/corpus-* 2>/dev/null | head -n 1)
[ -x "$tuvolink" ] && [ -n "$corpus" ] || {
  echo "busy.sh: run bench/compare.sh first (no packer or corpus in $build)" >&2
  exit 1
}
list=$work/lists/${LIST:-mix}.txt
out=$build/busy-out.exe
rounds=${ROUNDS:-5}
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; rm -f "$out"' EXIT
cd "$corpus"

pack() { # own|pinned
  # The inputs read just before, outside the timing, as in compare.sh.
  tr '\n' '\0' < "$list" | xargs -0 cat > /dev/null
  local start=$EPOCHREALTIME
  if [ "$1" = own ]; then
    "$tuvolink" -q "$out" "$list" >/dev/null 2>&1
  else
    taskset -c 0 "$tuvolink" -q "$out" "$list" >/dev/null 2>&1
  fi
  local end=$EPOCHREALTIME
  rm -f "$out"
  echo "$end - $start" | bc
}

for loops in 0 1 2; do
  pids=()
  for ((i = 0; i < loops; i++)); do (exec yes >/dev/null) & pids+=($!); done
  sleep 2
  own=() pinned=()
  for ((r = 0; r <= rounds; r++)); do
    a=$(pack own) b=$(pack pinned)
    if [ "$r" -gt 0 ]; then own+=("$a") pinned+=("$b"); fi
  done
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  [ ${#pids[@]} -eq 0 ] || kill "${pids[@]}"
  wait 2>/dev/null || true
  python3 - "$loops" "$load" "${own[*]}" "${pinned[*]}" <<'PY'
import statistics as st
import sys
loops, load = sys.argv[1], sys.argv[2]
own, pinned = ([float(x) for x in a.split()] for a in sys.argv[3:5])
ratios = [p / o for o, p in zip(own, pinned)]
print(f"busy loops {loops}: own choice {st.median(own):.3f} s, pinned {st.median(pinned):.3f} s, "
      f"pinned / own {st.median(ratios):.2f} (rounds {min(ratios):.2f} to {max(ratios):.2f}), "
      f"load {load}")
PY
done
