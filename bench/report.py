#!/usr/bin/env python3
"""Formats the results of bench/compare.sh: the table, the chart data and
docs/performance.md."""
import json
import sys

LABELS = {
    "tuvolink": "tuvolink (pack)",
    "reference": "per-byte reference (pack)",
    "cp": "cp",
    "cat": "cat > /dev/null",
    "lz4": "lz4 -1",
    "zstd": "zstd -1",
    "stub": "stub on the package",
}


SHORT = {"tuvolink": "tuvolink", "reference": "per-byte", "cp": "cp", "cat": "cat",
         "lz4": "lz4-1", "zstd": "zstd-1", "stub": "stub"}


def read_results(path):
    rows = {}
    with open(path) as f:
        for line in f:
            name, seconds, size, rss = line.split()
            rows[name] = (float(seconds), int(size), int(rss))
    return rows


def kernel_rates(path):
    try:
        with open(path) as f:
            data = json.load(f)
    except (OSError, ValueError):
        return {}
    rates = {}
    for b in data.get("benchmarks", []):
        if "bytes_per_second" in b and not b.get("error_occurred"):
            rates[b["name"].replace("/real_time", "")] = (b["bytes_per_second"], b.get("label", ""))
    return rates


def table(results, corpus_bytes, files, kernels_path, big_gb, big_rss, rounds):
    rows = read_results(results)
    mbs = {n: corpus_bytes / s / 1e6 for n, (s, _, _) in rows.items()}
    out = []
    out.append(f"Corpus: {files} files, {corpus_bytes / 2**20:.0f} MiB, page cache warm; "
               f"medians of {rounds} rounds (the reference: fewer), all tools timed in one run.\n")
    out.append("| tool | time (s) | MB/s | × cp | × lz4 -1 | output (MiB) | peak RSS (MiB) |")
    out.append("|---|---:|---:|---:|---:|---:|---:|")
    for name in ["tuvolink", "reference", "cp", "cat", "lz4", "zstd", "stub"]:
        if name not in rows:
            continue
        s, size, rss = rows[name]
        label = LABELS[name]
        if name == "stub" and size == 0:
            label += " (decodes, writes nothing)"
        out.append(f"| {label} | {s:.3f} | {mbs[name]:.0f} | {mbs[name] / mbs['cp']:.2f} | "
                   f"{mbs[name] / mbs['lz4']:.2f} | {size / 2**20:.1f} | {rss / 1024:.1f} |")
    out.append("")
    k = kernel_rates(kernels_path)

    def check(ok):
        return "met" if ok else "missed"

    out.append("| target | required | measured | |")
    out.append("|---|---:|---:|---|")
    r = mbs["tuvolink"] / mbs["cp"]
    out.append(f"| packing / cp | ≥ 0.6 | {r:.2f} | {check(r >= 0.6)} |")
    r = mbs["tuvolink"] / mbs["lz4"]
    out.append(f"| packing / lz4 -1 | ≥ 2.5 | {r:.2f} | {check(r >= 2.5)} |")
    r = mbs["tuvolink"] / mbs["reference"]
    out.append(f"| packing / per-byte reference | ≥ 10 | {r:.1f} | {check(r >= 10)} |")
    for name, label, need in [("BM_CrunchByte", "crunch byte selection, 1 thread", 4),
                              ("BM_Encode", "encoding, 1 thread", 8),
                              ("BM_Decode", "decoding, 1 thread", 7)]:
        if name in k:
            g = k[name][0] / 1e9
            out.append(f"| {label} (GB/s) | ≥ {need} | {g:.2f} | {check(g >= need)} |")
    if "stub" in rows:
        r = mbs["stub"] / mbs["cp"]
        note = "" if rows["stub"][1] > 0 else " (the stub of this build only decodes)"
        out.append(f"| extraction / cp | ≥ 0.75 | {r:.2f} | {check(r >= 0.75)}{note} |")
    if big_gb != "0" and big_rss > 0:
        out.append(f"| peak RSS packing a {big_gb} GiB file (MiB) | < 64 | {big_rss / 1024:.1f} | "
                   f"{check(big_rss / 1024 < 64)} |")
    if k:
        out.append("")
        out.append("Kernel micro benchmarks on the same corpus (Google Benchmark, in memory, one thread):\n")
        out.append("| benchmark | GB/s |")
        out.append("|---|---:|")
        for name, (rate, label) in k.items():
            out.append(f"| {name}{' ' + label if label else ''} | {rate / 1e9:.2f} |")
    return "\n".join(out) + "\n"


def chart(results, corpus_bytes):
    rows = read_results(results)
    lines = []
    for name in ["tuvolink", "cp", "cat", "lz4", "zstd", "reference", "stub"]:
        if name in rows:
            label = SHORT.get(name, name)
            lines.append(f"{label} {corpus_bytes / rows[name][0] / 1e6:.1f}")
    return "\n".join(lines) + "\n"


DOC_HEAD = """# Performance

How fast tuvolink packs, measured against the tools that bound it: `cp` (the
same bytes read and written once), `cat` (read only), `lz4 -1` and `zstd -1`,
and a per-byte build of the same coder (`tuvolink_reference`, one stdio call
per byte, output identical). Every figure below comes from one run of

    bench/compare.sh

on this machine (2 cores, shared). Absolute numbers move with the load of
the machine; the ratios, measured in the same run, are what to compare.

## How the packer is built for speed

- Kernels on blocks: the histogram counts into eight tables from 32-bit loads
  and adds a stretch of equal 64-byte blocks with one addition; the encoder
  takes every item of a 64-byte window from three vector compare masks (the
  window against itself shifted by one and by two bytes, and against C):
  item starts come from the pair mask, so one pass over the event bits
  writes each run code as one 4-byte store after a speculative 64-byte
  literal copy (SSE2, AVX2 chosen at run time, a portable fallback); the
  decoder copies spans and fills runs in 16-byte stores.
- Three threads: the main thread reads each input and counts it; a coder
  thread codes the records (reading large files a second time); a writer
  thread prints the progress lines and writes the target, all in list order.
  The count of a file is shared: the coder, once it has coded everything
  before that file, claims blocks of it too (read with `pread` for a large
  file), so neither core waits while the other counts.
- Bounded memory: files up to 16 MiB are read once into 1 MiB pool blocks;
  larger files are streamed twice. About 30 MiB of buffers in all.
- Where the C++ library has no threads (MinGW-w64 with win32 threads) the
  records are packed on one thread, with the same bytes and messages.

## How the stub extracts

- A check pass first, before anything is written: it scans the items with
  vector compares (end markers and decoded sizes, no output written), so the
  whole package is validated at scan speed.
- Then two threads: the decoder writes straight into a ring of four 1 MiB
  buffers while a writer thread creates, fills and renames each file; the
  package is read with `pread`, one window ahead.
- Each file's size is reserved with `fallocate` and whole 4 KiB blocks of
  zeros are not written (they read back as zeros). This matters for this
  corpus: its 60 MiB `zeros.bin` is written in full by `cp` but skipped by
  the stub, and `cp` in turn skips the holes of the sparse `fs.img`. The
  stub row times `package --tuvo-extract DIR`.

## Results

"""


def doc(table_path, doc_path):
    with open(table_path) as f:
        body = f.read()
    with open(doc_path, "w") as f:
        f.write(DOC_HEAD)
        f.write(body)
        f.write("\n![MB/s per tool](performance.png)\n")


def main():
    args = sys.argv[1:]
    if args[0] == "--chart":
        sys.stdout.write(chart(args[1], int(args[2])))
    elif args[0] == "--doc":
        doc(args[1], args[2])
    else:
        results, corpus_bytes, files, kernels, big_gb, big_rss, rounds = args
        sys.stdout.write(table(results, int(corpus_bytes), files, kernels, big_gb,
                               int(big_rss), rounds))


if __name__ == "__main__":
    main()
