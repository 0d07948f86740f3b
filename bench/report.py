#!/usr/bin/env python3
"""Turns the measurements of bench/compare.sh into tables, a results file, and
on request the results part of docs/performance.md and its chart.

Usage: report.py RESULTS_DIR [--write-docs DOCS_DIR]

RESULTS_DIR holds what compare.sh wrote: runs.tsv (one line per timed run),
rounds.tsv (the machine's load per round), meta.tsv (machine, tools,
parameters) and kernels.json (Google Benchmark, when built). This script
adds results.json there (all of it, with the summaries) and prints the tables
in Markdown. Every ratio is the median over rounds of the ratio measured
within one round, never a ratio of two medians.

With --write-docs, the part of DOCS_DIR/performance.md between the markers
below is replaced (or, without markers, the section "## Results" to the end
of the file); the prose around it is left as it is. The chart
DOCS_DIR/performance.png needs matplotlib; without it the chart is skipped
and the document says so.
"""
import json
import os
import statistics
import sys

BEGIN = "<!-- results:begin: made by bench/report.py, edits here are overwritten -->"
END = "<!-- results:end -->"

MIX_CLASSES = ["bin", "text", "small", "image", "compressed"]
SET_LABELS = {
    "mix": "real-file mix", "bin": "ELF binaries and libraries", "text": "text",
    "small": "small files", "image": "ext2 image (dense)", "compressed": "compressed files",
    "pieces": "4 KiB pieces", "random": "random bytes", "zero": "zeros",
}
TOOL_LABELS = {
    "tuvolink": "tuvolink", "reference": "per-byte reference packer", "cp": "cp (one file)",
    "tar": "tar -cf", "lz4": "tar -cf - | lz4 -1", "zstd": "tar -cf - | zstd -1",
    "stub": "package --tuvo-extract", "script": "the script alone", "package": "the package",
}
PACK_TOOLS = ["tuvolink", "cp", "tar", "lz4", "zstd", "reference"]
EXTRACT_TOOLS = ["stub", "tar", "cp"]
EXTRACT_LABELS = {"stub": "package --tuvo-extract DIR", "tar": "tar -xf (--no-same-owner)",
                  "cp": "cp of the one file"}

# Where the machine counts as too busy for the ratios to mean much.
BUSY_LOAD_PER_CPU = 0.5      # 1-minute load at launch, per CPU
BUSY_OTHERS_SHARE = 0.10     # CPU taken by other processes, whole timed part
BUSY_OTHERS_ROUND = 0.25     # the same, in any one round
DOUBT_SPREAD = 0.5           # a baseline that varied more makes a target doubtful
SPREAD_LIMIT = 0.25          # (max - min) / median of a tool's times,
SPREAD_MIN_WALL = 0.05       # for runs long enough for the clock and the
                             # start of a process not to dominate


def read_tsv(path):
    with open(path) as f:
        header = f.readline().rstrip("\n").split("\t")
        return [dict(zip(header, line.rstrip("\n").split("\t"))) for line in f if line.strip()]


def read_meta(path):
    meta = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("\t")
            meta[key] = value
    return meta


def read_manifest(corpus):
    classes = {}
    with open(os.path.join(corpus, "MANIFEST.tsv")) as f:
        for line in f:
            if line.startswith("#"):
                continue
            cls, _, size, _ = line.rstrip("\n").split("\t", 3)
            c = classes.setdefault(cls, {"files": 0, "bytes": 0})
            c["files"] += 1
            c["bytes"] += int(size)
    return classes


def read_kernels(path):
    try:
        with open(path) as f:
            data = json.load(f)
    except (OSError, ValueError):
        return []
    # Each benchmark's repetitions (Google Benchmark's own aggregates are
    # left out): their median, and their range to show the spread.
    runs = {}
    for b in data.get("benchmarks", []):
        if b.get("run_type", "iteration") != "iteration" or b.get("error_occurred"):
            continue
        if "bytes_per_second" in b:
            name = b.get("run_name", b["name"]).replace("/real_time", "")
            entry = runs.setdefault(name, {"name": name, "label": b.get("label", ""), "all": []})
            entry["all"].append(b["bytes_per_second"] / 1e9)
    out = []
    for entry in runs.values():
        entry["gb_per_s"] = statistics.median(entry["all"])
        entry["low"], entry["high"] = min(entry["all"]), max(entry["all"])
        out.append(entry)
    # In name order: the repetitions ran in a random one.
    return sorted(out, key=lambda e: [int(p) if p.isdigit() else p for p in e["name"].split("/")])


# --- Summaries -------------------------------------------------------------------------

def load(results_dir):
    runs = read_tsv(os.path.join(results_dir, "runs.tsv"))
    for r in runs:
        r["wall"] = int(r["wall_us"]) / 1e6
        r["cpu"] = float(r["user_s"]) + float(r["sys_s"])
        for k in ("round", "maxrss_kb", "out_bytes", "in_bytes", "files"):
            r[k] = int(r[k])
    rounds = read_tsv(os.path.join(results_dir, "rounds.tsv"))
    meta = read_meta(os.path.join(results_dir, "meta.tsv"))
    return runs, rounds, meta


def by_round(runs, phase, set_, tool):
    return {r["round"]: r for r in runs if (r["phase"], r["set"], r["tool"]) == (phase, set_, tool)}


def summary(runs, phase, set_, tool, base):
    """Medians over rounds for one tool on one set, and the median of the
    per-round ratios of BASE's speed to this tool's (>1: BASE is faster)."""
    mine = by_round(runs, phase, set_, tool)
    if not mine:
        return None
    walls = [r["wall"] for r in mine.values()]
    any_run = next(iter(mine.values()))
    s = {
        "rounds": len(mine),
        "wall_s": statistics.median(walls),
        "cpu_s": statistics.median(r["cpu"] for r in mine.values()),
        "mb_per_s": statistics.median(r["in_bytes"] / r["wall"] / 1e6 for r in mine.values()),
        "out_bytes": any_run["out_bytes"],
        "in_bytes": any_run["in_bytes"],
        "files": any_run["files"],
        "maxrss_kb": max(r["maxrss_kb"] for r in mine.values()),
        "spread": (max(walls) - min(walls)) / statistics.median(walls),
    }
    theirs = by_round(runs, phase, set_, base)
    ratios = [mine[k]["wall"] / theirs[k]["wall"] for k in mine if k in theirs]
    if ratios:
        s["ratio"] = statistics.median(ratios)
        s["ratio_min"], s["ratio_max"] = min(ratios), max(ratios)
    return s


def summarise(runs, meta):
    out = {"pack": {}, "extract": {}, "startup": {}, "memory": {}}
    sets = sorted({r["set"] for r in runs if r["phase"] == "pack"})
    for set_ in sets:
        out["pack"][set_] = {t: s for t in PACK_TOOLS
                             if (s := summary(runs, "pack", set_, t, "tuvolink"))}
    for set_ in sorted({r["set"] for r in runs if r["phase"] == "extract"}):
        out["extract"][set_] = {t: s for t in EXTRACT_TOOLS
                                if (s := summary(runs, "extract", set_, t, "stub"))}
    n = int(meta.get("startup_runs", "1"))
    script = by_round(runs, "startup", "startup", "script")
    package = by_round(runs, "startup", "startup", "package")
    empty = by_round(runs, "startup", "startup", "empty")
    both = [k for k in package if k in script]
    if both:
        out["startup"] = {
            "runs_per_round": n,
            "script_ms": statistics.median(script[k]["wall"] / n * 1e3 for k in both),
            "package_ms": statistics.median(package[k]["wall"] / n * 1e3 for k in both),
            "overhead_ms": statistics.median((package[k]["wall"] - script[k]["wall"]) / n * 1e3
                                             for k in both),
            "ratio": statistics.median(package[k]["wall"] / script[k]["wall"] for k in both),
            "package_cpu_ms": statistics.median(package[k]["cpu"] / n * 1e3 for k in both),
            "script_cpu_ms": statistics.median(script[k]["cpu"] / n * 1e3 for k in both),
        }
        all3 = [k for k in both if k in empty]
        if all3:
            out["startup"]["empty_ms"] = statistics.median(empty[k]["wall"] / n * 1e3
                                                           for k in all3)
            out["startup"]["empty_cpu_ms"] = statistics.median(empty[k]["cpu"] / n * 1e3
                                                               for k in all3)
            out["startup"]["beyond_process_ms"] = statistics.median(
                (package[k]["wall"] - script[k]["wall"] - empty[k]["wall"]) / n * 1e3
                for k in all3)
    for r in runs:
        if r["phase"] == "memory":
            out["memory"][r["set"]] = {"in_bytes": r["in_bytes"], "maxrss_kb": r["maxrss_kb"]}
    return out


def busy_warnings(runs, rounds, meta, summ):
    warn = []
    cpus = int(meta.get("cpus", "1"))
    load1 = float(meta.get("load_at_launch", "0").split()[0])
    if load1 > BUSY_LOAD_PER_CPU * cpus:
        warn.append(f"the 1-minute load was {load1:.2f} at launch, above {BUSY_LOAD_PER_CPU} × "
                    f"{cpus} CPUs: other work was running (or had just ended)")
    ticks = sum(int(r["ticks"]) for r in rounds)
    others = sum(int(r["others_ticks"]) for r in rounds)
    if ticks and others / ticks > BUSY_OTHERS_SHARE:
        warn.append(f"other processes (and the hypervisor's steal) took {others / ticks:.0%} of "
                    f"the machine's CPU time while the tools were timed")
    worst = max(rounds, key=lambda r: int(r["others_ticks"]) / max(1, int(r["ticks"])), default=None)
    if worst and int(worst["others_ticks"]) / max(1, int(worst["ticks"])) > BUSY_OTHERS_ROUND:
        warn.append(f"in {worst['phase']} round {int(worst['round']) + 1}, other processes took "
                    f"{int(worst['others_ticks']) / int(worst['ticks']):.0%} of the CPU time")
    spread = []
    for phase in ("pack", "extract"):
        for set_, tools in summ[phase].items():
            for tool, s in tools.items():
                if s["rounds"] >= 3 and s["wall_s"] >= SPREAD_MIN_WALL and s["spread"] > SPREAD_LIMIT:
                    spread.append((s["spread"], f"{phase} {set_} {tool}"))
    if spread:
        spread.sort(key=lambda x: -x[0])
        pairs = sum(1 for phase in ("pack", "extract") for tools in summ[phase].values()
                    for s in tools.values() if s["rounds"] >= 3 and s["wall_s"] >= SPREAD_MIN_WALL)
        warn.append(f"the times of {len(spread)} of {pairs} tool-and-set pairs (those of "
                    f"{SPREAD_MIN_WALL * 1000:.0f} ms or more) differ by more than "
                    f"{SPREAD_LIMIT:.0%} between rounds ((max - min) / median; worst: " +
                    ", ".join(f"{name} {v:.0%}" for v, name in spread[:5]) + ")")
    if int(meta.get("rounds", "1")) < 3:
        warn.append("fewer than 3 rounds: every median is one or two measurements")
    if meta.get("quick") == "1":
        warn.append("QUICK=1: a corpus of a few MB, for a smoke test; these figures mean nothing")
    return warn


# --- Tables ------------------------------------------------------------------------------

def md(text):
    """Text for a Markdown table cell: a '|' would end the cell."""
    return text.replace("|", "\\|")


def mib(n):
    return n / 2**20


def fmt_ratio(s):
    if "ratio" not in s:
        return ""
    if s["rounds"] == 1 or s["ratio_min"] == s["ratio_max"]:
        return f"{s['ratio']:.2f}"
    return f"{s['ratio']:.2f} ({s['ratio_min']:.2f}–{s['ratio_max']:.2f})"


def pack_table(tools, title):
    lines = [title, "",
             "| tool | time (s) | MB/s | CPU (s) | output (MiB) | output / input | "
             "peak RSS (MiB) | tuvolink's speed, × this tool's |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for t in PACK_TOOLS:
        s = tools.get(t)
        if not s:
            continue
        rounds = (f" ({s['rounds']} round{'s' if s['rounds'] != 1 else ''})"
                  if t == "reference" else "")
        lines.append(f"| {md(TOOL_LABELS[t])}{rounds} | {s['wall_s']:.3f} | {s['mb_per_s']:.0f} | "
                     f"{s['cpu_s']:.2f} | {mib(s['out_bytes']):.1f} | "
                     f"{s['out_bytes'] / s['in_bytes']:.1%} | {s['maxrss_kb'] / 1024:.1f} | "
                     f"{'—' if t == 'tuvolink' else fmt_ratio(s)} |")
    return lines


def class_table(pack, sets, title):
    lines = [title, "",
             "× X: tuvolink's speed divided by X's on the same set, the median of the per-round "
             "ratios (above 1: tuvolink is faster).", "",
             "| set | files | MiB | tuvolink MB/s | CPU (s) | output / input | × cp | × tar | "
             "× tar\\|lz4 | × tar\\|zstd | × reference |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for set_ in sets:
        tools = pack.get(set_)
        if not tools or "tuvolink" not in tools:
            continue
        t = tools["tuvolink"]

        def r(name):
            return f"{tools[name]['ratio']:.2f}" if name in tools and "ratio" in tools[name] else ""
        lines.append(f"| {SET_LABELS.get(set_, set_)} | {t['files']} | {mib(t['in_bytes']):.1f} | "
                     f"{t['mb_per_s']:.0f} | {t['cpu_s']:.2f} | {t['out_bytes'] / t['in_bytes']:.1%} | "
                     f"{r('cp')} | {r('tar')} | {r('lz4')} | {r('zstd')} | {r('reference')} |")
    return lines


def extract_table(extract):
    lines = ["| set | tool | time (s) | MB/s | CPU (s) | peak RSS (MiB) | the stub's speed, × this tool's |",
             "|---|---|---:|---:|---:|---:|---:|"]
    for set_, tools in extract.items():
        for t in EXTRACT_TOOLS:
            s = tools.get(t)
            if s:
                lines.append(f"| {SET_LABELS.get(set_, set_)} ({s['files']} files) | "
                             f"{EXTRACT_LABELS[t]} | {s['wall_s']:.3f} | {s['mb_per_s']:.0f} | "
                             f"{s['cpu_s']:.2f} | {s['maxrss_kb'] / 1024:.1f} | "
                             f"{'—' if t == 'stub' else fmt_ratio(s)} |")
    return lines


def targets_table(summ, kernels):
    """The project's standing targets, each against the figure that measures
    it here."""
    def check(ok):
        return "met" if ok else "missed"
    lines = ["| target | required | measured | |", "|---|---:|---:|---|"]

    def ratio_row(table, set_, tool, label, need):
        s = table.get(set_, {}).get(tool)
        if s and "ratio" in s:
            r = s["ratio"]
            verdict = check(r >= need)
            # A baseline whose time swung this much between rounds makes the
            # median of the ratios a matter of which rounds were slow.
            if s.get("spread", 0) > DOUBT_SPREAD and s["wall_s"] >= SPREAD_MIN_WALL:
                verdict += f" (doubtful: the baseline's times varied {s['spread']:.0%})"
            lines.append(f"| {md(label)} | ≥ {need} | {r:.2f} | {md(verdict)} |")

    for tool, label, need in [("cp", "packing the mix, × cp of one file of the same bytes", 0.8),
                              ("lz4", "packing the mix, × tar -cf | lz4 -1", 3),
                              ("tar", "packing the mix, × tar -cf", 1.5)]:
        ratio_row(summ["pack"], "mix", tool, label, need)
    ratio_row(summ["pack"], "pieces", "tar", "packing 4 KiB pieces, × tar -cf", 1.0)
    # The real-file classes of the kernel benchmarks: programs and text.
    k = {(b["name"].split("/")[0], b["label"]): b["gb_per_s"] for b in kernels}
    for name, label, need in [("BM_CrunchByte", "count", 4), ("BM_Encode", "encoding", 6)]:
        for cls in ("programs", "text"):
            if (name, cls) in k:
                v = k[(name, cls)]
                lines.append(f"| {label} of {cls}, 1 thread (GB/s) | ≥ {need} | {v:.2f} | "
                             f"{check(v >= need)} |")
    ratio_row(summ["extract"], "mix", "tar", "extracting the mix, × tar -xf", 1.0)
    ratio_row(summ["extract"], "pieces", "tar", "extracting 4 KiB pieces, × tar -xf", 1.0)
    st = summ["startup"]
    if st:
        v = st["overhead_ms"]
        lines.append(f"| start-up added to the program's own (ms) | ≤ 1 | {v:.2f} | {check(v <= 1)} |")
    for set_, m in summ["memory"].items():
        v = m["maxrss_kb"] / 1024
        lines.append(f"| peak RSS packing a {m['in_bytes'] / 2**30:.0f} GiB sparse file (MiB) | "
                     f"< 64 | {v:.1f} | {check(v < 64)} |")
    return lines


def tables(summ, kernels, warnings, meta):
    out = []
    if warnings:
        out += ["**Warning: these figures may not mean much:**", ""]
        out += [f"- {w}" for w in warnings]
        out.append("")
    mix = summ["pack"].get("mix")
    if mix and "tuvolink" in mix:
        t = mix["tuvolink"]
        out += pack_table(mix, f"### Packing the real-file mix ({t['files']} files, "
                               f"{mib(t['in_bytes']):.0f} MiB)")
        out.append("")
    out += class_table(summ["pack"], MIX_CLASSES + ["pieces"],
                       "### Packing each class of real files, and the 4 KiB pieces")
    out.append("")
    out += class_table(summ["pack"], ["random", "zero"],
                       "### Apart, not in the mix: random bytes and zeros")
    out.append("")
    if summ["extract"]:
        out += ["### Extraction", ""] + extract_table(summ["extract"]) + [""]
    st = summ["startup"]
    if st:
        out += ["### Start-up", "",
                f"A 1 KB shell script, started {st['runs_per_round']} times a round in a loop "
                "(mean per start):", "",
                "| | ms per start | CPU ms per start |", "|---|---:|---:|",
                f"| the script alone | {st['script_ms']:.2f} | {st['script_cpu_ms']:.2f} |",
                f"| the package (stub checks, extracts, runs it, cleans up) | "
                f"{st['package_ms']:.2f} | {st['package_cpu_ms']:.2f} |",
                f"| the package's overhead | {st['overhead_ms']:.2f} | |",
                f"| package / script (median of per-round ratios) | {st['ratio']:.2f} | |"]
        if "empty_ms" in st:
            out += [f"| a static program that does nothing (one more process) | "
                    f"{st['empty_ms']:.2f} | {st['empty_cpu_ms']:.2f} |",
                    f"| the package's overhead less that | {st['beyond_process_ms']:.2f} | |"]
        out.append("")
    out += ["### Targets", ""] + targets_table(summ, kernels) + [""]
    if kernels:
        out += ["### Kernel micro benchmarks", "",
                "Google Benchmark, data in memory (the mix), one thread; the median of "
                "the repetitions and their range:", "",
                "| benchmark | GB/s | range |", "|---|---:|---:|"]
        out += [f"| {b['name']}{' ' + b['label'] if b['label'] else ''} | {b['gb_per_s']:.2f} "
                f"| {b['low']:.2f}–{b['high']:.2f} |" for b in kernels]
        out.append("")
    return out


def method(meta, corpus, rounds_rows, summ):
    """The section that says exactly how the figures were obtained."""
    ticks = sum(int(r["ticks"]) for r in rounds_rows)
    others = sum(int(r["others_ticks"]) for r in rounds_rows)
    steal = sum(int(r["steal_ticks"]) for r in rounds_rows)
    mix_files = sum(corpus[c]["files"] for c in MIX_CLASSES if c in corpus)
    mix_bytes = sum(corpus[c]["bytes"] for c in MIX_CLASSES if c in corpus)
    desc = {
        "bin": "ELF executables and shared libraries from /usr/bin, /usr/sbin, /usr/libexec "
               "and /usr/lib (not /usr/lib/debug), 10 KiB and over",
        "text": "text files of 10 KiB and over (no 0 byte, valid UTF-8): headers, sources, "
                "documents, and man pages decompressed, each as a file of its own",
        "small": "real files under 10 KiB of every kind from /usr, in the proportions the "
                 "system has them",
        "image": "an ext2 image made by mke2fs -d from real files (about 70 % full), "
                 "written densely: no holes for any tool to skip",
        "compressed": "gzip, xz, bzip2, zstd, zip/jar files and PNG/JPEG pictures from /usr",
        "pieces": "consecutive 4 KiB pieces cut in turn from the binaries, text and compressed "
                  "files of the corpus",
        "random": "bytes from /dev/urandom (apart)",
        "zero": "zero bytes, written densely (apart)",
    }
    lines = ["## How these numbers were obtained", "",
             f"One run of `bench/compare.sh` on {meta.get('date', '?')}, at commit "
             f"{meta.get('commit', '?')} built {meta.get('build_type', '?')}.", "",
             f"- Machine: {meta.get('cpu_model', '?')}, {meta.get('cpus', '?')} CPUs, "
             f"{meta.get('memory_gib', '?')} GiB, {meta.get('kernel', '?')}; the work folder on "
             f"{meta.get('work_fs', '?')}.",
             f"- Load averages (1, 5, 15 min): {meta.get('load_at_launch', '?')} at launch, "
             f"{meta.get('load_at_timing_start', '?')} when the timing began (after building the "
             f"corpus), {meta.get('load_at_timing_end', '?')} at its end (this includes the "
             f"benchmark's own work). Other processes and the hypervisor's steal took "
             f"{(others / ticks if ticks else 0):.1%} of the CPU time during the timed rounds "
             f"(steal alone {(steal / ticks if ticks else 0):.1%}); kernel writeback of the "
             f"tools' outputs counts there too.",
             f"- Rounds: {meta.get('rounds')} timed (after {meta.get('warmup')} untimed warm-up "
             f"round), the per-byte reference packer in the first {meta.get('ref_rounds')}. A round "
             f"runs every tool once on each set, in an order shuffled with a fixed seed "
             f"({meta.get('seed')}). Each ratio is the median over the rounds of the ratio of "
             f"the two tools' times in the same round (the range of the per-round ratios is "
             f"in brackets); times, MB/s and CPU seconds are medians over the rounds; peak RSS is "
             f"the largest of the rounds.",
             "- Every run: wall time from the shell's microsecond clock, user + system CPU "
             "seconds and peak RSS (of the largest process) from `/usr/bin/time`. The page cache "
             "holds the corpus (read once, then `sync`, before timing). After each run, outside "
             "the timing, its output is checked and then removed at once (a removed file's "
             "dirty pages are dropped, not written) or, when a later step needs it, flushed "
             "with fsync, so that no run pays for the writeback of the one before; no tool's "
             "time includes writing its output to disk. Outputs go to the same file system as "
             "the corpus. MB/s is 10^6 bytes of input per second.",
             "",
             f"Corpus (from the files of this machine; `{os.path.basename(meta.get('corpus', ''))}`):",
             "", "| class | files | bytes | what |", "|---|---:|---:|---|"]
    for cls in MIX_CLASSES + ["pieces", "random", "zero"]:
        if cls in corpus:
            c = corpus[cls]
            lines.append(f"| {cls} | {c['files']} | {c['bytes']:,} | {desc[cls]} |")
    lines += [f"| the mix (the first five) | {mix_files} | {mix_bytes:,} | |", "",
              "What each tool does (run from inside the corpus folder, on short relative names):",
              "",
              "- `tuvolink OUT LIST`: packs the set; LIST is a list file, one name a line. "
              "Progress goes to /dev/null.",
              "- per-byte reference packer: `tuvolink_reference STUB OUT FILE...`, the same "
              "package with one stdio call per byte; its output must equal tuvolink's byte for "
              "byte (checked on every set it ran on).",
              "- `cp --sparse=never --reflink=never ONE OUT`: copies one dense file holding the "
              "set's bytes (concatenated once, outside the timing, and checked to have no hole) "
              "through read and write: it pays no per-file cost, cannot skip holes, and cannot "
              "clone blocks instead of copying them.",
              "- `tar -cf OUT -T LIST`: an uncompressed archive of the same files.",
              "- `tar -cf - -T LIST | lz4 -1` and `... | zstd -1 -T1`: the same files archived "
              "and compressed, as one packs a folder with them; they pay the per-file work like "
              "the packer, and tar and the coder run on two cores in a pipe (the CPU column adds "
              "both).",
              "- Extraction: `PACKAGE --tuvo-extract DIR` against `tar -xf` of a tar of the same "
              "files (with `--no-same-owner`, what tar does for an ordinary user) and `cp` of the "
              "one concatenated file, each into a fresh empty folder made outside the timing. After "
              "the run the folder's files are emptied and it is kept until the timing ends: on ext4 "
              "without a journal, files removed in the last minutes slow down the creation of new "
              "ones (the search for a free inode passes over each), which made every extraction "
              "of many files ten times slower once a few trees had been removed. The stub's "
              "output is compared with the inputs after the first round.",
              f"- Start-up: a loop in bash starts the 1 KB script, the package holding it, or a "
              f"static program that does nothing, {meta.get('startup_runs')} times a round; the "
              f"figure is the loop's time divided by the starts, fork of the loop included in "
              f"all. A package is two processes (the stub, then the program as its child, "
              f"since the stub removes the folder after it), so its overhead includes the start "
              f"of one more process, which the empty program measures.",
              "- Peak memory: the largest RSS of the packer's runs on each set is in the tables; "
              "the sparse-file row packs one large file of holes (read as zeros) once, as a check "
              "that the packer's memory does not grow with a file's size, not as a speed figure.",
              "- The kernel micro benchmarks run on the mix held in memory.",
              "", f"Tools: {meta.get('tar')}; {meta.get('lz4')}; {meta.get('zstd')}; "
              f"{meta.get('cp')}.", ""]
    return lines


# --- Chart and document -----------------------------------------------------------------

def chart(summ, path, warnings):
    """Two panels: MB/s of every tool on the mix, and tuvolink's speed against
    the other tools per class (median per-round ratios). False without
    matplotlib."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    try:
        fig, (a, b) = plt.subplots(1, 2, figsize=(12, 4.6), width_ratios=[1, 1.6])
    except TypeError:  # matplotlib before 3.6: panels of equal width
        fig, (a, b) = plt.subplots(1, 2, figsize=(12, 4.6))
    mix = summ["pack"].get("mix", {})
    tools = [t for t in PACK_TOOLS if t in mix]
    rates = [mix[t]["mb_per_s"] for t in tools]
    bars = a.bar(range(len(tools)), rates, color=["#c0392b" if t == "tuvolink" else "#3b6ea8"
                                                    for t in tools])
    a.bar_label(bars, fmt="%.0f", fontsize=8)
    a.set_xticks(range(len(tools)), [TOOL_LABELS[t].replace(" | ", "|\n") for t in tools],
                 fontsize=7, rotation=20)
    a.set_ylabel("MB/s (median of rounds)")
    a.set_title("Packing the real-file mix", fontsize=10)
    sets = [s for s in MIX_CLASSES + ["pieces", "random", "zero"] if s in summ["pack"]]
    others = ["cp", "tar", "lz4", "zstd"]
    width = 0.8 / len(others)
    for i, t in enumerate(others):
        vals = [summ["pack"][s].get(t, {}).get("ratio", 0) for s in sets]
        b.bar([x + i * width for x in range(len(sets))], vals, width, label=TOOL_LABELS[t])
    b.axhline(1, color="black", linewidth=0.8)
    apart = [i for i, s in enumerate(sets) if s in ("random", "zero")]
    if apart:
        b.axvline(apart[0] - 0.15, color="grey", linestyle="--", linewidth=0.8)
    b.set_xticks([x + 0.4 - width / 2 for x in range(len(sets))],
                 [SET_LABELS[s].replace(" ", "\n", 1) for s in sets], fontsize=7)
    b.set_yscale("log")
    b.set_ylabel("tuvolink's speed, × the tool's (median per-round ratio)")
    b.set_title("Per class (random and zeros: apart, not in the mix)", fontsize=10)
    b.legend(fontsize=7, ncol=4, loc="upper center", bbox_to_anchor=(0.5, -0.16))
    if warnings:
        fig.suptitle("The machine was busy or the rounds varied: see the warnings with the tables",
                     fontsize=9, color="#c0392b")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def write_docs(docs_dir, body_lines, have_chart):
    path = os.path.join(docs_dir, "performance.md")
    try:
        with open(path) as f:
            text = f.read()
    except FileNotFoundError:
        text = "# Performance\n\n"
    block = "\n".join([BEGIN, "", *body_lines,
                       "![tuvolink against the other tools](performance.png)" if have_chart else
                       "(No chart: matplotlib was not found when these figures were made.)",
                       "", END]) + "\n"
    if BEGIN in text and END in text:
        head, rest = text.split(BEGIN, 1)
        text = head + block + rest.split(END, 1)[1].lstrip("\n")
    elif "\n## Results\n" in text:
        head = text.split("\n## Results\n", 1)[0]
        text = head + "\n## Results\n\n" + block
    else:
        text = text.rstrip("\n") + "\n\n## Results\n\n" + block
    with open(path, "w") as f:
        f.write(text)


def main():
    args = sys.argv[1:]
    if not args or args[0].startswith("-"):
        sys.exit(__doc__)
    results_dir = args[0]
    docs_dir = args[2] if len(args) >= 3 and args[1] == "--write-docs" else None
    runs, rounds, meta = load(results_dir)
    corpus = read_manifest(meta["corpus"])
    kernels = read_kernels(os.path.join(results_dir, "kernels.json"))
    summ = summarise(runs, meta)
    warnings = busy_warnings(runs, rounds, meta, summ)
    body = tables(summ, kernels, warnings, meta)
    how = method(meta, corpus, rounds, summ)
    with open(os.path.join(results_dir, "results.json"), "w") as f:
        json.dump({"meta": meta, "corpus": corpus, "summary": summ, "warnings": warnings,
                   "kernels": kernels, "rounds": rounds, "runs": runs}, f, indent=1)
    print("\n".join(body + how))
    for w in warnings:
        print(f"WARNING: {w}", file=sys.stderr)
    if docs_dir:
        have_chart = chart(summ, os.path.join(docs_dir, "performance.png"), warnings)
        if not have_chart:
            print("report.py: matplotlib not found: docs/performance.png not made", file=sys.stderr)
        write_docs(docs_dir, body + how, have_chart)
        print(f"report.py: wrote {os.path.join(docs_dir, 'performance.md')}", file=sys.stderr)


if __name__ == "__main__":
    main()
