#!/usr/bin/env bash
# Whole-command benchmark of tuvolink against the ordinary tools, on a corpus
# of real files from this machine.
#
# What it times, every tool in the same run, round by round (each round runs
# every tool once, in a shuffled order), with medians of per-round ratios:
#   packing     tuvolink OUT LIST, against cp of one file holding the same
#               bytes, tar -cf, tar | lz4 -1, tar | zstd -1 and the per-byte
#               reference packer (first REF_ROUNDS rounds only), on the mix of
#               real files, on each class of it, on 4 KiB pieces, and apart on
#               random bytes and on zeros;
#   extraction  PACKAGE --tuvo-extract DIR against tar -xf and cp of the one
#               file, on the mix and on the pieces;
#   start-up    a package holding a 1 KB shell script against the script
#               and against a static program that does nothing;
# and, once, the peak memory of packing a large sparse file and the kernel
# micro benchmarks. Every run records wall time, user and system CPU time and
# peak RSS; the load of the machine is recorded beside them.
#
# Checks that fail the run (exit 1): the package differs from the per-byte
# reference packer's output for the same inputs, the stub extracts anything
# other than the inputs, a copy is sparse, or any tool fails.
#
# Usage: bench/compare.sh [BUILD_DIR]     (default build-bench, configured in
#                                          Release and built here if needed)
# Environment (defaults in brackets, QUICK=1 values after the slash):
#   QUICK=1         the CI smoke test: tiny corpus, one round, no docs
#   ROUNDS          timed rounds [5 / 1]; REF_ROUNDS for the reference [3 / 1]
#   WARMUP          untimed rounds first [1 / 0]
#   STARTUP_RUNS    package starts per round [200 / 20]
#   MIX_MB          size of the real-file mix [480 / 8], shared out as
#                   BIN_MB 40 %, TEXT_MB 20 %, IMAGE_MB 20 %, COMPRESSED_MB 15 %
#                   (each may be set alone) plus SMALL_FILES [5000 / 200]
#                   files under SMALL_MAX_KB [10]
#   PIECES          files cut from real data [20000 / 500] of PIECE_KB [4]
#   RANDOM_MB, ZERO_MB   the classes reported apart [32 / 1 each]
#   MAX_FILE_MB     largest file taken from the system [64]
#   SEED            which files are picked and the order of tools [1]
#   BIG_GB          sparse file for the peak-memory check [4 / 0]; 0 skips it
#   KERNEL_MIN_TIME seconds of timing per kernel benchmark [1 / 0.05], shared
#                   among KERNEL_REPETITIONS [5 / 1] runs of it that Google
#                   Benchmark interleaves at random with the others'; the
#                   report gives their median and range
#   WORK            work folder [BUILD_DIR/compare-work / BUILD_DIR/compare-work-quick],
#                   relative to the source tree: inside the build tree by
#                   default, so that two checkouts sharing a machine never
#                   share (and clobber) one
#   WRITE_DOCS=1    also write the results part of docs/performance.md and
#                   docs/performance.png (the chart needs matplotlib, e.g.
#                   Debian's python3-matplotlib; without it: no chart, a note)
#   KEEP_OUTPUT=1   leave WORK/out (the packages and tar archives that later
#                   steps used), WORK/cats and WORK/tmp in place
#
# The corpus is cached in WORK/corpus-KEY, KEY a hash of its parameters and
# of bench/corpus.py. Results: WORK/results/results.json (every run) and
# WORK/results/report.md (the tables), made by bench/report.py.
set -euo pipefail
export LC_ALL=C  # EPOCHREALTIME with a '.', sort and awk without surprises

cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build-bench}
case $build in /*) ;; *) build=$root/$build ;; esac

quick=${QUICK:-0}
if [ "$quick" = 1 ]; then q=1; else q=0; fi
pick() { if [ "$q" = 1 ]; then echo "$2"; else echo "$1"; fi; }  # full / quick
rounds=${ROUNDS:-$(pick 5 1)}
ref_rounds=${REF_ROUNDS:-$(pick 3 1)}
warmup=${WARMUP:-$(pick 1 0)}
startup_runs=${STARTUP_RUNS:-$(pick 200 20)}
mix_mb=${MIX_MB:-$(pick 480 8)}
bin_mb=${BIN_MB:-$((mix_mb * 40 / 100))}
text_mb=${TEXT_MB:-$((mix_mb * 20 / 100))}
image_mb=${IMAGE_MB:-$((mix_mb * 20 / 100))}
compressed_mb=${COMPRESSED_MB:-$((mix_mb * 15 / 100))}
[ "$image_mb" -gt 0 ] || image_mb=1  # mke2fs wants some room
[ "$compressed_mb" -gt 0 ] || compressed_mb=1
small_files=${SMALL_FILES:-$(pick 5000 200)}
small_max_kb=${SMALL_MAX_KB:-10}
pieces=${PIECES:-$(pick 20000 500)}
piece_kb=${PIECE_KB:-4}
random_mb=${RANDOM_MB:-$(pick 32 1)}
zero_mb=${ZERO_MB:-$(pick 32 1)}
max_file_mb=${MAX_FILE_MB:-64}
seed=${SEED:-1}
big_gb=${BIG_GB:-$(pick 4 0)}
kernel_min_time=${KERNEL_MIN_TIME:-$(pick 1 0.05)}
kernel_repetitions=${KERNEL_REPETITIONS:-$(pick 5 1)}
work=${WORK:-$(pick "$build/compare-work" "$build/compare-work-quick")}
case $work in /*) ;; *) work=$root/$work ;; esac
write_docs=${WRITE_DOCS:-0}
keep_output=${KEEP_OUTPUT:-0}
[ "$q" = 1 ] && write_docs=0  # the smoke test never touches docs/
[ "$ref_rounds" -le "$rounds" ] || ref_rounds=$rounds

ncpu=$(nproc)
load_at_launch=$(cut -d' ' -f1-3 /proc/loadavg)  # before this script adds its own

die() { echo "compare.sh: $*" >&2; exit 1; }
launched=$EPOCHREALTIME
say() { echo "[$(( (${EPOCHREALTIME/./} - ${launched/./}) / 1000000 )) s] $*"; }

# --- Tools and build -------------------------------------------------------------

check_tools() {
  local tool
  for tool in cmake tar lz4 zstd python3 mke2fs /usr/bin/time cmp diff sync; do
    command -v "$tool" >/dev/null || die "'$tool' is needed"
  done
}

# The interpreter itself, resolved once: a version manager's shim in PATH
# can cost a second a call on a busy machine.
find_python() {
  python=$(python3 -c 'import sys; print(sys.executable)')
}

build_tools() {
  if [ ! -x "$build/tuvolink" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  cmake --build "$build" -j2 >/dev/null
  tuvolink=$build/tuvolink
  stub=$build/tuvo.exe
  reference=$build/bench/tuvolink_reference
  kernels=$build/bench/tuvolink_bench
  [ -x "$tuvolink" ] && [ -f "$stub" ] && [ -x "$reference" ] ||
    die "the build in $build lacks tuvolink, tuvo.exe or bench/tuvolink_reference"
}

# --- Corpus and the sets timed on it ------------------------------------------------

sets_pack=(mix bin text small image compressed pieces random zero)
sets_extract=(mix pieces)

make_corpus() {
  corpus=$("$python" "$root/bench/corpus.py" build "$work" \
    --bin-mb "$bin_mb" --text-mb "$text_mb" --image-mb "$image_mb" \
    --compressed-mb "$compressed_mb" --small-files "$small_files" \
    --small-max-kb "$small_max_kb" --pieces "$pieces" --piece-kb "$piece_kb" \
    --random-mb "$random_mb" --zero-mb "$zero_mb" --max-file-mb "$max_file_mb" \
    --seed "$seed")
}

# For every set: a list file (one relative name a line, as tuvolink and tar
# -T read it) and one dense file holding the same bytes for cp. Both are made
# here, outside the timing. The mix is the five real classes together.
prepare_sets() {
  local set
  lists=$work/lists cats=$work/cats
  rm -rf "$lists" "$cats"
  mkdir -p "$lists" "$cats"
  for set in "${sets_pack[@]}"; do
    case $set in
      mix) awk -F'\t' '$1 ~ /^(bin|text|small|image|compressed)$/ {print $2}' \
             "$corpus/MANIFEST.tsv" ;;
      *) awk -F'\t' -v c="$set" '$1 == c {print $2}' "$corpus/MANIFEST.tsv" ;;
    esac > "$lists/$set.txt"
    [ -s "$lists/$set.txt" ] || die "the corpus has no file of the set '$set'"
    (cd "$corpus" && tr '\n' '\0' < "$lists/$set.txt" | xargs -0 cat) > "$cats/$set.bin"
    set_files[$set]=$(wc -l < "$lists/$set.txt")
    set_bytes[$set]=$(stat -c %s "$cats/$set.bin")
  done
  local summary=""
  for set in "${sets_pack[@]}"; do
    summary+=" $set ${set_files[$set]}/$((set_bytes[$set] >> 20))"
  done
  say "sets (files/MiB):$summary"
  "$python" "$root/bench/corpus.py" dense "$cats"/*.bin ||
    die "a concatenated file is sparse: cp could skip its holes"
  # Read everything once, so that every tool starts from a warm page cache,
  # and write back what building the corpus and these files left dirty.
  cat "$cats"/*.bin > /dev/null
  (cd "$corpus" && find . -type f -print0 | xargs -0 cat) > /dev/null
  sync
}

# --- Measuring ---------------------------------------------------------------------

# Runs COMMAND in DIR under /usr/bin/time (user and system CPU seconds, peak
# RSS of the largest process) and the shell's microsecond clock (wall time),
# then appends one line to runs.tsv, unless ROUND is "warm-up".
# Usage: timed PHASE SET TOOL ROUND DIR OUTPUT -- COMMAND...
timed() {
  local phase=$1 set=$2 tool=$3 round=$4 dir=$5 output=$6 t0 t1 rc=0 user sys rss
  shift 7
  cd "$dir"
  t0=$EPOCHREALTIME
  /usr/bin/time -f '%U %S %M' -o "$results/time.txt" "$@" >/dev/null 2>"$results/stderr.txt" || rc=$?
  t1=$EPOCHREALTIME
  cd "$root"
  if [ "$rc" != 0 ]; then
    cat "$results/stderr.txt" >&2
    die "$tool failed (status $rc) on the set '$set', phase $phase"
  fi
  [ "$round" = warm-up ] && return 0
  local lines
  mapfile -t lines < "$results/time.txt"  # a failed command adds a line before
  read -r user sys rss <<< "${lines[-1]}"
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$phase" "$set" "$tool" "$round" \
    "$(( ${t1/./} - ${t0/./} ))" "$user" "$sys" "$rss" "$(bytes_of "$output")" \
    "${set_bytes[$set]:-0}" "${set_files[$set]:-0}" >> "$results/runs.tsv"
}

bytes_of() {
  if [ -z "$1" ]; then echo 0
  elif [ -d "$1" ]; then du -sb "$1" | cut -f1
  else stat -c %s "$1"
  fi
}

# Puts its arguments into the array "order", shuffled by the seeded $RANDOM
# (in this shell, not in a subshell, so that the seed holds), so that no tool
# always runs right after the same other one: the writeback of a large
# output, say, would then always fall on the same neighbour.
shuffle() {
  order=("$@")
  local i j t
  for ((i = ${#order[@]} - 1; i > 0; i--)); do
    j=$((RANDOM % (i + 1)))
    t=${order[i]} order[i]=${order[j]} order[j]=$t
  done
}

# What becomes of an output once timed (outside the timing): checked, then
# removed at once unless a later step needs it, since the dirty pages of a
# removed file are dropped, never written; one that is kept is flushed with
# fsync. Either way no run pays for the writeback of the run before it, and
# no global sync waits for other users' writes.
after_pack() {
  local tool=$1 set=$2 round=$3
  case $tool in
    cp) if [ "$round" = 0 ]; then check_copy "$set"; fi ;;
    # The reference packer's output is compared at the end of the round.
    reference) sync -- "$output"; return ;;
    # The packages are compared with the reference's and extracted later.
    tuvolink) if reference_round "$round" || extracted "$set"; then sync -- "$output"; return; fi ;;
    tar) if extracted "$set"; then sync -- "$output"; return; fi ;;
  esac
  rm -f "$output"
}

reference_round() { [ "$1" != warm-up ] && [ "$1" -lt "$ref_rounds" ]; }
extracted() { case " ${sets_extract[*]} " in *" $1 "*) return 0 ;; esac; return 1; }

# CPU time of the whole machine against this script's own (itself and all
# the children it waited for), from /proc, in clock ticks: what others used
# between two samples is the difference.
cpu_sample() {
  local user nice sys idle iowait irq softirq steal rest self
  read -r _ user nice sys idle iowait irq softirq steal rest < /proc/stat
  read -r -a self < <(sed 's/^.*) //' /proc/$$/stat)
  # fields 14 to 17 of the stat line: utime stime cutime cstime
  echo "$((user + nice + sys + irq + softirq + steal)) $((user + nice + sys + idle + iowait + irq + softirq + steal)) $steal $((self[11] + self[12] + self[13] + self[14]))"
}

# Starts a round: notes the load and the CPU counters.
round_begin() {
  round_start_cpu=$(cpu_sample)
  round_start_time=$EPOCHREALTIME
  round_start_load=$(cut -d' ' -f1 /proc/loadavg)
}

# Ends a round: the share of the machine's CPU time that other processes (and
# the hypervisor's steal) took while it ran, into rounds.tsv.
round_end() {
  local phase=$1 round=$2 b0 t0 s0 o0 b1 t1 s1 o1
  read -r b0 t0 s0 o0 <<< "$round_start_cpu"
  read -r b1 t1 s1 o1 <<< "$(cpu_sample)"
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$phase" "$round" "$round_start_load" \
    "$(( ${EPOCHREALTIME/./} - ${round_start_time/./} ))" "$((t1 - t0))" \
    "$(( (b1 - b0) - (o1 - o0) ))" "$((s1 - s0))" >> "$results/rounds.tsv"
}

# The command of TOOL packing SET, into the array cmd; its output path in
# the variable output.
pack_command() {
  local tool=$1 set=$2 list=$lists/$2.txt
  output=$out/$set.$tool
  case $tool in
    tuvolink) cmd=("$tuvolink" "$output" "$list") ;;
    reference) mapfile -t names < "$list"
               cmd=("$reference" "$stub" "$output" "${names[@]}") ;;
    # --reflink=never: a real copy through read and write, never a clone of
    # the blocks (copy_file_range or a reflink on a copy-on-write file
    # system would copy nothing); --sparse=never: zeros written as data.
    cp) cmd=(cp --sparse=never --reflink=never "$cats/$set.bin" "$output") ;;
    tar) cmd=(tar -cf "$output" --verbatim-files-from -T "$list") ;;
    # lz4 and zstd get the same files as the packer through tar, as one
    # would archive a folder with them: the per-file work (open, stat, read)
    # is theirs too, and tar and the coder run on two cores in a pipe.
    lz4) cmd=(bash -c 'set -o pipefail; tar -cf - --verbatim-files-from -T "$1" | lz4 -1 -q -c > "$2"'
              _ "$list" "$output") ;;
    zstd) cmd=(bash -c 'set -o pipefail; tar -cf - --verbatim-files-from -T "$1" | zstd -1 -T1 -q -c > "$2"'
               _ "$list" "$output") ;;
  esac
}

# Reads what a timed run is about to read, outside its timing, so that every
# run starts from a warm page cache even where the kernel pages out files
# left idle for a while with memory to spare (as DAMON's proactive reclaim
# does: its waits for the disk showed in the packer's reads and made the
# times of every tool vary between rounds).
# Usage: warm_set SET TOOL (a packing run) | warm_files FILE...
warm_set() {
  if [ "$2" = cp ]; then warm_files "$cats/$1.bin"; return; fi
  (cd "$corpus" && tr '\n' '\0' < "$lists/$1.txt" | xargs -0 cat) > /dev/null
}
warm_files() { cat "$@" > /dev/null; }

# One round of packing: every set, every tool once, tools in shuffled order.
pack_round() {
  local round=$1 set tool tools
  for set in "${sets_pack[@]}"; do
    tools=(tuvolink cp tar lz4 zstd)
    if reference_round "$round"; then tools+=(reference); fi
    shuffle "${tools[@]}"
    for tool in "${order[@]}"; do
      pack_command "$tool" "$set"
      rm -f "$output"
      warm_set "$set" "$tool"
      timed pack "$set" "$tool" "$round" "$corpus" "$output" -- "${cmd[@]}"
      after_pack "$tool" "$set" "$round"
    done
    if reference_round "$round"; then check_reference "$set"; fi
  done
}

# cp wrote every byte, holes included (checked once per set).
check_copy() {
  [ "$(stat -c %s "$out/$1.cp")" = "${set_bytes[$1]}" ] || die "cp copied a wrong size for '$1'"
  "$python" "$root/bench/corpus.py" dense "$out/$1.cp" || die "the copy of '$1' is sparse"
}

# The packer's output must be byte for byte the per-byte reference packer's,
# from the records on: the reference copies the stub as it is, while tuvolink
# writes its seal into the stub's slot.
check_reference() {
  if ! cmp -i "$(stat -c %s "$stub")" "$out/$1.tuvolink" "$out/$1.reference"; then
    echo "compare.sh: MISMATCH: tuvolink's package of the set '$1' differs from the" \
      "per-byte reference packer's output for the same inputs (kept in $out)" >&2
    keep_output=1
    exit 1
  fi
  rm -f "$out/$1.reference"
  case " ${checked_sets[*]} " in *" $1 "*) ;; *) checked_sets+=("$1") ;; esac
}

# One round of extraction, each tool into a fresh empty folder made before
# the timed run. The folder is not removed after it: its files are emptied
# (their pages dropped before any writeback, see after_pack) and it is kept
# until the timing ends. Removing thousands of files between runs made every
# later run of every tool slow on some file systems: ext4 without a journal
# passes over each recently freed inode (for 1 to 5 minutes) when it looks
# for a free one, so 20,000 files that took 0.5 s to extract took 5 s after a
# few removed trees, nearly all of it in that search.
kept_trees=0
extract_round() {
  local round=$1 set tool dest
  for set in "${sets_extract[@]}"; do
    shuffle stub tar cp
    for tool in "${order[@]}"; do
      dest=$out/extract.$tool
      mkdir "$dest"
      case $tool in
        stub) cmd=("$out/$set.tuvolink" --tuvo-extract "$dest") ;;
        # --no-same-owner: what tar does for an ordinary user; as root it
        # would also set the owner of every file.
        tar) cmd=(tar -xf "$out/$set.tar" --no-same-owner -C "$dest") ;;
        cp) cmd=(cp --sparse=never --reflink=never "$cats/$set.bin" "$dest/") ;;
      esac
      case $tool in
        stub) warm_files "$out/$set.tuvolink" ;;
        tar) warm_files "$out/$set.tar" ;;
        cp) warm_files "$cats/$set.bin" ;;
      esac
      timed extract "$set" "$tool" "$round" "$work" "$dest" -- "${cmd[@]}"
      if [ "$tool" = stub ] && [ "$round" = 0 ]; then check_extracted "$set" "$dest"; fi
      find "$dest" -type f -exec truncate -s 0 {} +
      mkdir -p "$out/kept"
      kept_trees=$((kept_trees + 1))
      mv "$dest" "$out/kept/$kept_trees"
    done
  done
}

# The stub must give back exactly the inputs, each at its name: the set's
# files are the whole of one top folder of the corpus (mix/ or pieces/), so
# one recursive comparison also finds a missing or an extra file.
check_extracted() {
  local set=$1 dest=$2
  [ "$(ls -A "$dest")" = "$set" ] || die "the stub extracted other files than the inputs of '$set'"
  diff -rq "$corpus/$set" "$dest/$set" >&2 || die "the stub extracted the set '$set' wrongly"
}

# A package holding a 1 KB shell script, started STARTUP_RUNS times in a
# loop, against the script started as often, and against a static program
# that does nothing: the cost of one more process, which a package (the stub,
# then the program as its child) cannot avoid. The loop's own cost (a fork of
# bash for each start) is in all three. The stub extracts into
# TMPDIR=WORK/tmp, which must be empty again afterwards.
prepare_startup() {
  sdir=$work/startup
  rm -rf "$sdir" && mkdir -p "$sdir"
  {
    echo '#!/bin/sh'
    echo '# Start-up benchmark: prints one line. The comment lines below only'
    echo '# bring the script to about 1 KB, the size of a small launcher.'
    for i in $(seq 1 13); do echo "# padding line $i of a launcher script of about one kilobyte....."; done
    echo 'echo "started with $# arguments"'
  } > "$sdir/hello.sh"
  chmod +x "$sdir/hello.sh"
  echo hello.sh > "$sdir/list.txt"
  (cd "$sdir" && "$tuvolink" hello.exe list.txt >/dev/null)
  [ "$(cd "$sdir" && ./hello.exe a b)" = "$(cd "$sdir" && ./hello.sh a b)" ] ||
    die "the start-up package does not print what its script prints"
  set_bytes[startup]=$(stat -c %s "$sdir/hello.sh") set_files[startup]=1
  # Static like the Linux stub, with musl where it is installed.
  echo 'int main(void) { return 0; }' > "$sdir/empty.c"
  local cc=cc
  command -v musl-gcc >/dev/null && cc=musl-gcc
  "$cc" -static -O2 -o "$sdir/empty" "$sdir/empty.c" || die "cannot build the empty program"
}

startup_round() {
  local round=$1 tool
  shuffle script package empty
  for tool in "${order[@]}"; do
    local prog=./hello.sh
    [ "$tool" = package ] && prog=./hello.exe
    [ "$tool" = empty ] && prog=./empty
    timed startup startup "$tool" "$round" "$sdir" "" -- \
      bash -c 'for ((i = 0; i < $1; i++)); do "$2" > /dev/null; done' _ "$startup_runs" "$prog"
  done
  [ -z "$(ls -A "$work/tmp")" ] || die "the stub left files in its temporary folder"
}

# Peak memory packing one large sparse file: a check of bounded buffers, not
# a speed figure (its holes read as zeros).
memory_check() {
  [ "$big_gb" != 0 ] || return 0
  mkdir -p "$work/big"
  truncate -s "${big_gb}G" "$work/big/big.sparse"
  echo big.sparse > "$work/big/list.txt"
  set_bytes[sparse]=$((big_gb << 30)) set_files[sparse]=1
  timed memory sparse tuvolink 0 "$work/big" "$work/big/big.exe" -- \
    "$tuvolink" "$work/big/big.exe" "$work/big/list.txt"
  rm -rf "$work/big"
}

run_kernels() {
  [ -x "$kernels" ] || { say "(no $kernels: kernel micro benchmarks skipped)"; return 0; }
  # This machine has slow spells of tens of seconds, even when idle: in one
  # run every benchmark of the first half minute came out a fifth slower
  # than the same kernels minutes later. Interleaved repetitions spread a
  # spell over many benchmarks, and their median leaves it out.
  local each
  each=$(awk -v t="$kernel_min_time" -v n="$kernel_repetitions" 'BEGIN {printf "%.3f", t / n}')
  say "kernel micro benchmarks ($kernel_repetitions x $each s each, interleaved) ..."
  TUVOLINK_BENCH_CORPUS=$corpus/mix "$kernels" --benchmark_min_time="$each" \
    --benchmark_repetitions="$kernel_repetitions" --benchmark_enable_random_interleaving=true \
    --benchmark_format=json > "$results/kernels.json" 2>/dev/null
}

# --- Facts about the run, for the report ------------------------------------------

meta() { printf '%s\t%s\n' "$1" "$2" >> "$results/meta.tsv"; }

write_meta() {
  meta date "$(date -u '+%Y-%m-%d %H:%M UTC')"
  meta cpu_model "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
  meta cpus "$ncpu"
  meta memory_gib "$(awk '/MemTotal/ {printf "%.1f", $2 / 1048576}' /proc/meminfo)"
  meta kernel "$(uname -sr)"
  meta work_fs "$(df -T "$work" | awk 'NR == 2 {print $2}')"
  meta commit "$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$root" diff --quiet HEAD 2>/dev/null || echo ' (modified)')"
  meta build_type "$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt" 2>/dev/null)"
  meta tar "$(tar --version | head -n 1)"
  meta lz4 "$(lz4 --version 2>&1 | head -n 1 | tr -d '*' | sed 's/^ *//;s/ *$//')"
  meta zstd "$(zstd --version | tr -d '*' | sed 's/^ *//;s/ *$//')"
  meta cp "$(cp --version | head -n 1)"
  meta quick "$q"
  meta rounds "$rounds"
  meta ref_rounds "$ref_rounds"
  meta warmup "$warmup"
  meta startup_runs "$startup_runs"
  meta seed "$seed"
  meta corpus "$corpus"
  meta load_at_launch "$load_at_launch"
}

# --- The run ---------------------------------------------------------------------------

cleanup() {
  if [ "$keep_output" != 1 ]; then rm -rf "$work/out" "$work/cats" "$work/tmp" "$work/big"; fi
}

main() {
  check_tools
  find_python
  build_tools
  mkdir -p "$work/tmp"
  trap cleanup EXIT
  # Every tool's temporary files, the stub's folders included, stay in WORK.
  export TMPDIR=$work/tmp
  make_corpus
  results=$work/results out=$work/out
  rm -rf "$results" "$out"
  mkdir -p "$results" "$out"
  declare -gA set_bytes set_files
  checked_sets=()
  prepare_sets
  printf 'phase\tset\ttool\tround\twall_us\tuser_s\tsys_s\tmaxrss_kb\tout_bytes\tin_bytes\tfiles\n' > "$results/runs.tsv"
  printf 'phase\tround\tload1\twall_us\tticks\tothers_ticks\tsteal_ticks\n' > "$results/rounds.tsv"
  write_meta
  local r t_start=$EPOCHREALTIME
  RANDOM=$seed
  meta load_at_timing_start "$(cut -d' ' -f1-3 /proc/loadavg)"
  say "corpus: $corpus"
  say "timing: $rounds rounds (+$warmup warm-up, reference in $ref_rounds), $ncpu CPUs, load at launch $load_at_launch"

  # The one-thread kernels first, before the other steps leave the machine
  # busy with their files: run last, after the extraction and start-up
  # rounds, they once came out a third lower than alone minutes later.
  run_kernels
  for ((r = 0; r < warmup; r++)); do pack_round warm-up; done
  for ((r = 0; r < rounds; r++)); do
    round_begin; pack_round "$r"; round_end pack "$r"
    say "packing round $((r + 1))/$rounds done"
  done
  [ ${#checked_sets[@]} -gt 0 ] || die "the reference packer ran on no set"
  say "the packages equal the per-byte reference packer's output (${checked_sets[*]})"

  # Extraction reads the packages and tar archives of the last packing round.
  for ((r = 0; r < warmup; r++)); do extract_round warm-up; done
  for ((r = 0; r < rounds; r++)); do
    round_begin; extract_round "$r"; round_end extract "$r"
  done
  say "extraction timed; the stub gave back every input unchanged"

  prepare_startup
  for ((r = 0; r < warmup; r++)); do startup_round warm-up; done
  for ((r = 0; r < rounds; r++)); do
    round_begin; startup_round "$r"; round_end startup "$r"
  done
  say "start-up timed"

  memory_check
  rm -rf "$out/kept"  # the emptied extraction folders, after all the timing
  meta load_at_timing_end "$(cut -d' ' -f1-3 /proc/loadavg)"
  meta timing_seconds "$(( (${EPOCHREALTIME/./} - ${t_start/./}) / 1000000 ))"
  rm -f "$results/time.txt" "$results/stderr.txt"
  meta total_seconds "$(( (${EPOCHREALTIME/./} - ${launched/./}) / 1000000 ))"

  local args=()
  if [ "$write_docs" = 1 ]; then
    # The chart needs matplotlib, which Debian's python3-matplotlib gives to
    # the system interpreter; take that one when the first has none.
    if ! "$python" -c 'import matplotlib' 2>/dev/null && /usr/bin/python3 -c 'import matplotlib' 2>/dev/null; then
      python=/usr/bin/python3
    fi
    args=(--write-docs "$root/docs")
  fi
  "$python" "$root/bench/report.py" "$work/results" "${args[@]}" | tee "$results/report.md"
}

main "$@"
