#!/usr/bin/env bash
# Whole-command comparison: packs a corpus of a few hundred MB with tuvolink
# and times it, in the same run, against cp, cat, lz4 -1, zstd -1 and the
# per-byte reference packer; times the stub on the package against cp of the
# decoded bytes; measures peak RSS; runs the kernel micro benchmarks; and
# writes the table and a chart into docs/performance.md.
#
# Usage: bench/compare.sh [BUILD_DIR]        (default: build-bench, configured
#                                             and built here in Release)
# Environment: ROUNDS (default 5), REF_ROUNDS (default 3), WORK (scratch
# folder, default /tmp/tuvolink-bench, or /tmp/tuvolink-bench-quick with
# QUICK=1), CORPUS_MB (programs part, default 120), BIG_GB (size of the sparse
# file of the memory check, default 4; 0 to skip), QUICK=1 (small corpus, one
# round, nothing written to docs: the CI smoke test).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build-bench}
rounds=${ROUNDS:-5}
ref_rounds=${REF_ROUNDS:-3}
work=${WORK:-/tmp/tuvolink-bench}
corpus_mb=${CORPUS_MB:-120}
big_gb=${BIG_GB:-4}
quick=${QUICK:-0}
if [ "$quick" = 1 ]; then
  rounds=1 ref_rounds=1 corpus_mb=8 big_gb=0
  # A folder of its own, so that the smoke test never replaces a full corpus.
  work=${WORK:-/tmp/tuvolink-bench-quick}
fi

for tool in lz4 zstd /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "compare.sh: '$tool' is needed" >&2; exit 1; }
done

if [ ! -x "$build/tuvolink" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j2 >/dev/null
tuvolink=$root/$build/tuvolink
reference=$root/$build/bench/tuvolink_reference
stub=$root/$build/tuvo.exe

# --- The corpus ------------------------------------------------------------
corpus=$work/corpus
out=$work/out
rm -rf "$out"
mkdir -p "$corpus" "$out"
stamp=$corpus/.complete-$corpus_mb
if [ ! -e "$stamp" ]; then
  echo "building the corpus in $corpus ..."
  rm -rf "$corpus" && mkdir -p "$corpus/programs"
  # Shared libraries and executables, largest first, up to corpus_mb.
  budget=$((corpus_mb << 20))
  while IFS= read -r f; do
    size=$(stat -Lc %s "$f")
    [ "$size" -le "$budget" ] || continue
    cp -L "$f" "$corpus/programs/$(basename "$f")" 2>/dev/null || continue
    budget=$((budget - size))
    [ "$budget" -gt 65536 ] || break
  done < <(find /usr/lib/x86_64-linux-gnu /usr/bin /usr/lib -maxdepth 1 -type f \
             \( -name '*.so*' -o -perm -u+x \) -size +64k 2>/dev/null | sort -u | head -4000)
  scale=$((corpus_mb / 8 > 0 ? corpus_mb / 8 : 1))
  # A tar of text files.
  tar -cf "$corpus/headers.tar" -C /usr/include . 2>/dev/null || true
  head -c $((scale * 4 << 20)) "$corpus/headers.tar" > "$corpus/text.tar" && rm "$corpus/headers.tar"
  # A filesystem image made from documentation folders.
  truncate -s $((scale * 6))M "$corpus/fs.img"
  mke2fs -q -F -t ext2 -d /usr/share/doc "$corpus/fs.img" >/dev/null 2>&1 ||
    mke2fs -q -F -t ext2 "$corpus/fs.img" >/dev/null
  head -c $((scale * 4 << 20)) /dev/urandom > "$corpus/random.bin"
  head -c $((scale * 2 << 20)) /dev/zero > "$corpus/zeros.bin"
  touch "$stamp"
fi
mapfile -t files < <(cd "$corpus" && find . -type f ! -name '.*' | sort)
bytes=$(cd "$corpus" && cat "${files[@]}" | wc -c)
echo "corpus: ${#files[@]} files, $((bytes >> 20)) MiB"
cp "$stub" "$corpus/tuvo.exe.stub"
cat "${files[@]/#/$corpus/}" > /dev/null  # warm the page cache

# --- Timing ------------------------------------------------------------------
now() { date +%s.%N; }
median() { python3 -c 'import sys,statistics; print(statistics.median(float(x) for x in sys.argv[1:]))' "$@"; }
declare -A seconds size rss

mkdir -p "$out"
# Each takes the file names as its arguments.
cp_files() { mkdir -p "$out/copy" && cp "$@" "$out/copy/"; }
cat_files() { cat "$@" > /dev/null; }
lz4_files() { lz4 -1 -q -m -c "$@" > "$out/all.lz4"; }
zstd_files() { zstd -1 -q -c "$@" > "$out/all.zst"; }
pack() { "$tuvolink" "$out/package.exe" "$@"; }
pack_reference() { "$reference" "$corpus/tuvo.exe.stub" "$out/reference.exe" "$@"; }
export -f cp_files cat_files lz4_files zstd_files pack pack_reference
export out tuvolink reference corpus

echo "timing, $rounds rounds (reference: $ref_rounds), medians:"
# Run through bash -c so that /usr/bin/time sees a program; the file list is
# passed as arguments.
run() { local f=$1; shift; bash -c "$f \"\$@\"" _ "$@"; }
export -f run
# Interleave the tools round by round, so that a burst of load on this shared
# machine hits them alike.
declare -A times_of
for ((r = 0; r < rounds; r++)); do
  for name in cp cat lz4 zstd tuvolink; do
    case $name in
      cp) f=cp_files o=$out/copy ;;
      cat) f=cat_files o=$out/none ;;
      lz4) f=lz4_files o=$out/all.lz4 ;;
      zstd) f=zstd_files o=$out/all.zst ;;
      tuvolink) f=pack o=$out/package.exe ;;
    esac
    rm -rf "$o"
    t0=$(now)
    (cd "$corpus" && run "$f" "${files[@]}") >/dev/null
    t1=$(now)
    times_of[$name]+=" $(python3 -c "print($t1 - $t0)")"
  done
done
for name in cp cat lz4 zstd tuvolink; do
  # shellcheck disable=SC2086
  seconds[$name]=$(median ${times_of[$name]})
done
size[cp]=$(du -sb "$out/copy" | cut -f1)
size[lz4]=$(stat -c %s "$out/all.lz4")
size[zstd]=$(stat -c %s "$out/all.zst")
size[tuvolink]=$(stat -c %s "$out/package.exe")
size[cat]=0

ref_times=""
for ((r = 0; r < ref_rounds; r++)); do
  rm -f "$out/reference.exe"
  t0=$(now)
  (cd "$corpus" && run pack_reference "${files[@]}") >/dev/null
  t1=$(now)
  ref_times+=" $(python3 -c "print($t1 - $t0)")"
done
# shellcheck disable=SC2086
seconds[reference]=$(median $ref_times)
size[reference]=$(stat -c %s "$out/reference.exe")
# The reference copies the stub as it is, while tuvolink writes its seal into
# the stub's slot: the two are compared from the records on.
stub_size=$(stat -c %s "$corpus/tuvo.exe.stub")
if ! cmp -s -i "$stub_size" "$out/package.exe" "$out/reference.exe"; then
  echo "compare.sh: tuvolink's package differs from the per-byte reference's" >&2
  exit 1
fi
echo "  after the stub, the package is byte for byte the reference packer's"

for name in cp cat lz4 zstd tuvolink reference; do
  case $name in
    cp) f=cp_files ;; cat) f=cat_files ;; lz4) f=lz4_files ;; zstd) f=zstd_files ;;
    tuvolink) f=pack ;; reference) f=pack_reference ;;
  esac
  rss[$name]=$(cd "$corpus" && /usr/bin/time -f %M bash -c "$f \"\$@\"" _ "${files[@]}" 2>&1 >/dev/null | tail -1)
done
# bash -c itself is in the figure for every tool; tuvolink's own peak comes
# from a direct run.
rss[tuvolink]=$(cd "$corpus" && /usr/bin/time -f %M "$tuvolink" "$out/package.exe" "${files[@]}" 2>&1 >/dev/null | tail -1)
rss[reference]=$(cd "$corpus" && /usr/bin/time -f %M "$reference" "$corpus/tuvo.exe.stub" "$out/reference.exe" "${files[@]}" 2>&1 >/dev/null | tail -1)

# Extraction: the stub run on the package, against cp of the decoded bytes.
chmod +x "$out/package.exe"
ext_times=""
for ((r = 0; r < rounds; r++)); do
  rm -rf "$out/extract" && mkdir -p "$out/extract"
  t0=$(now)
  "$out/package.exe" --tuvo-extract "$out/extract" >/dev/null
  t1=$(now)
  ext_times+=" $(python3 -c "print($t1 - $t0)")"
done
# shellcheck disable=SC2086
seconds[stub]=$(median $ext_times)
extracted=$(du -sb "$out/extract" | cut -f1)
rm -rf "$out/extract"
rss[stub]=$(/usr/bin/time -f %M "$out/package.exe" --tuvo-extract "$out/extract" 2>&1 >/dev/null | tail -1)
size[stub]=$extracted

# Peak memory packing one large sparse file.
big_rss=""
if [ "$big_gb" != 0 ]; then
  truncate -s "${big_gb}G" "$work/big.sparse"
  echo x > "$work/small.txt"  # a second name, so that the first is not taken for a list file
  big_rss=$(cd "$work" && /usr/bin/time -f %M "$tuvolink" "$out/big.exe" big.sparse small.txt 2>&1 >/dev/null | tail -1)
  rm -f "$work/big.sparse" "$work/small.txt" "$out/big.exe"
  echo "  peak RSS packing a ${big_gb} GiB file: $((big_rss / 1024)) MiB"
fi

# --- Kernels -------------------------------------------------------------------
kernels_json=$out/kernels.json
if [ -x "$build/bench/tuvolink_bench" ]; then
  min_time=1
  [ "$quick" = 1 ] && min_time=0.05
  TUVOLINK_BENCH_CORPUS=$corpus "$build/bench/tuvolink_bench" \
    --benchmark_min_time="$min_time" --benchmark_format=json > "$kernels_json" 2>/dev/null
fi

# --- The table -------------------------------------------------------------------
{
  for name in cp cat lz4 zstd tuvolink reference stub; do
    echo "$name ${seconds[$name]} ${size[$name]} ${rss[$name]}"
  done
} > "$out/results.txt"
python3 "$root/bench/report.py" "$out/results.txt" "$bytes" "${#files[@]}" "$kernels_json" \
  "${big_gb}" "${big_rss:-0}" "$rounds" > "$out/table.md"
cat "$out/table.md"

if [ "$quick" != 1 ]; then
  doc=$root/docs/performance.md
  mkdir -p "$root/docs"
  python3 "$root/bench/report.py" --chart "$out/results.txt" "$bytes" > "$out/chart.dat"
  if command -v gnuplot >/dev/null; then
    gnuplot <<EOF
set terminal pngcairo size 800,420 noenhanced
set output "$root/docs/performance.png"
set title "Throughput on a $((bytes >> 20)) MiB corpus (page cache warm, medians of $rounds rounds)"
set ylabel "MB/s"
set style fill solid 0.8
set boxwidth 0.6
set grid ytics
set yrange [0:*]
unset key
plot "$out/chart.dat" using 0:2:xtic(1) with boxes lc rgb "#3b6ea8", \
     "" using 0:2:(sprintf("%.0f", \$2)) with labels offset 0,0.8
EOF
  fi
  python3 "$root/bench/report.py" --doc "$out/table.md" "$root/docs/performance.md"
  echo "wrote docs/performance.md"
fi
