#!/usr/bin/env python3
"""Builds, or finds again, the corpus that bench/compare.sh times the tools on.

Every file of the corpus comes from this machine (under /usr), copied byte for
byte and written densely, except the two classes that are reported apart
(random bytes and zeros). The corpus folder is named after a hash of the
parameters and of this file's source, so a changed parameter or a changed
selection rule gives a new corpus; a folder is used again only when it is
complete (renamed into place at the end) and its files still have the sizes
its manifest records.

Layout of corpus-KEY/:
  mix/bin/         ELF executables and shared libraries
  mix/text/        text files (headers, sources, documents, man pages
                   decompressed), each a file of its own
  mix/small/sNN/   SMALL_FILES real files under SMALL_MAX_KB each, any kind
  mix/image/       one ext2 image made by mke2fs -d from real files, dense
  mix/compressed/  gzip, xz, bzip2, zstd, zip/jar and PNG/JPEG files
  apart/random/    random bytes     (not part of the mix)
  apart/zero/      zeros, dense     (not part of the mix)
  pieces/pNN/      PIECES files of PIECE_KB each, cut from the real files
  MANIFEST.tsv     class, path, bytes, source of every file
  PARAMS.json      the parameters and the key
Building a new corpus removes the other corpus-* folders of WORK: they were
made for other parameters or by an older version of this script.

Usage:
  corpus.py build WORK [--name value ...]   prints the corpus folder
  corpus.py dense FILE...                   fails unless every FILE has no hole
"""
import argparse
import gzip
import hashlib
import json
import os
import shutil
import stat
import subprocess
import sys
import time

# Only /usr: programs, libraries, headers and shared data. /etc and home
# folders are left alone (they may hold secrets and are not ours to copy).
ROOTS = ["/usr/bin", "/usr/sbin", "/usr/libexec", "/usr/lib", "/usr/include", "/usr/share"]
MiB = 1 << 20
KiB = 1 << 10

SOURCE_EXT = {".py", ".pl", ".pm", ".rb", ".js", ".mjs", ".ts", ".sh", ".tcl", ".lua", ".el",
              ".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp", ".java", ".go", ".rs", ".cmake",
              ".m4", ".awk", ".sed", ".php", ".scm", ".vim"}
COMPRESSED_MAGIC = {
    "gzip": [b"\x1f\x8b"],
    "xz-bzip2-zstd": [b"\xfd7zXZ\x00", b"BZh", b"\x28\xb5\x2f\xfd"],
    "zip": [b"PK\x03\x04"],
    "picture": [b"\x89PNG\r\n\x1a\n", b"\xff\xd8\xff"],
}


def log(msg):
    print(f"corpus: {msg}", file=sys.stderr, flush=True)


def params_from(args):
    return {
        "bin_mb": args.bin_mb, "text_mb": args.text_mb, "image_mb": args.image_mb,
        "compressed_mb": args.compressed_mb, "small_files": args.small_files,
        "small_max_kb": args.small_max_kb, "pieces": args.pieces, "piece_kb": args.piece_kb,
        "random_mb": args.random_mb, "zero_mb": args.zero_mb, "max_file_mb": args.max_file_mb,
        "seed": args.seed,
    }


def corpus_key(params):
    """A hash of the parameters and of this script: the corpus is rebuilt when
    either changes."""
    h = hashlib.sha256()
    with open(os.path.abspath(__file__), "rb") as f:
        h.update(f.read())
    h.update(json.dumps(params, sort_keys=True).encode())
    return h.hexdigest()[:16]


# --- Scanning the machine -----------------------------------------------------

class Candidate:
    __slots__ = ("path", "size", "order")

    def __init__(self, path, size, order):
        self.path, self.size, self.order = path, size, order


def scan(seed, exclude):
    """Every regular, readable, non-empty file under ROOTS, once per inode
    (hard links and symbolic links are not counted twice), in an order that is
    pseudo-random but fixed by the seed, so that each class is a spread over
    the system and not the first folders in alphabetical order."""
    seen = set()
    found = []
    for root in ROOTS:
        for folder, dirs, names in os.walk(root, followlinks=False):
            if any(folder == e or folder.startswith(e + os.sep) for e in exclude):
                dirs[:] = []
                continue
            dirs.sort()
            for name in sorted(names):
                path = os.path.join(folder, name)
                try:
                    st = os.lstat(path)
                except OSError:
                    continue
                if not stat.S_ISREG(st.st_mode) or st.st_size == 0:
                    continue
                if (st.st_dev, st.st_ino) in seen or not os.access(path, os.R_OK):
                    continue
                seen.add((st.st_dev, st.st_ino))
                order = hashlib.blake2b(f"{seed}:{path}".encode(), digest_size=8).digest()
                found.append(Candidate(path, st.st_size, order))
    found.sort(key=lambda c: c.order)
    return found


def head(path, n):
    try:
        with open(path, "rb") as f:
            return f.read(n)
    except OSError:
        return b""


def read_all(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def is_text(data):
    """Text as a person would call it: no 0 byte and valid UTF-8 (ASCII
    included)."""
    if not data or b"\x00" in data:
        return False
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def round_robin(groups, take):
    """Takes candidates from each group in turn, so that no single kind of
    file (say, Python sources of one large package) fills a class alone.
    take(candidate) returns False once the class is full."""
    iters = [iter(g) for g in groups.values() if g]
    while iters:
        still = []
        for it in iters:
            c = next(it, None)
            if c is None:
                continue
            if not take(c):
                return
            still.append(it)
        iters = still


# --- Writing the corpus ---------------------------------------------------------

class Writer:
    def __init__(self, folder):
        self.folder = folder
        self.rows = []  # (class, relative path, bytes, source)
        self.used = set()  # source paths already in the corpus
        self.names = set()

    def name_for(self, rel_dir, source, index):
        """A short relative name, unique, safe for every tool's list file:
        letters, digits, '.', '_' and '-' only, never starting with '-'."""
        base = os.path.basename(source)
        if base.endswith(".gz") and rel_dir.endswith("text"):
            base = base[:-3]
        safe = "".join(ch if ch.isalnum() and ch.isascii() or ch in "._-" else "_" for ch in base)
        name = f"{rel_dir}/{index:05d}_{safe[:40]}"
        assert name not in self.names
        self.names.add(name)
        return name

    def add(self, cls, rel, data, source):
        path = os.path.join(self.folder, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        # Written with plain writes, never with copy_file_range, which could
        # share the blocks of the source (reflinks) or keep its holes.
        with open(path, "wb") as f:
            f.write(data)
        # The manifest is tab-separated, one file a line.
        shown = source.replace("\t", "?").replace("\n", "?")
        self.rows.append((cls, rel, len(data), shown))
        self.used.add(source)


def elf_program(path):
    """An ELF executable or shared library (e_type 2 or 3): not an object
    file, and nothing under /usr/lib/debug, whose files hold debug sections
    only."""
    h = head(path, 18)
    return (len(h) == 18 and h[:4] == b"\x7fELF" and h[16] in (2, 3) and
            not path.startswith("/usr/lib/debug/"))


def build_bin(cands, w, budget, min_size, max_size):
    groups = {"executables": [], "libraries": []}
    for c in cands:
        if min_size <= c.size <= max_size and c.path not in w.used:
            kind = "libraries" if ".so" in os.path.basename(c.path) else "executables"
            groups[kind].append(c)
    state = {"left": budget, "n": 0}

    def take(c):
        if c.size > state["left"] or not elf_program(c.path):
            return state["left"] > min_size
        data = read_all(c.path)
        if data is None or len(data) != c.size:
            return True
        w.add("bin", w.name_for("mix/bin", c.path, state["n"]), data, c.path)
        state["n"] += 1
        state["left"] -= c.size
        return state["left"] > min_size
    round_robin(groups, take)


def build_text(cands, w, budget, min_size, max_size):
    groups = {"headers": [], "sources": [], "man pages": [], "documents": []}
    for c in cands:
        if c.path in w.used or c.size > max_size:
            continue
        ext = os.path.splitext(c.path)[1]
        if c.path.startswith("/usr/share/man/") and ext == ".gz":
            groups["man pages"].append(c)  # size checked once decompressed
        elif c.size < min_size or ext in (".gz", ".xz", ".bz2", ".zst"):
            continue
        elif c.path.startswith("/usr/include/"):
            groups["headers"].append(c)
        elif ext in SOURCE_EXT:
            groups["sources"].append(c)
        else:
            groups["documents"].append(c)
    state = {"left": budget, "n": 0}

    def take(c):
        data = read_all(c.path)
        if data is not None and c.path.endswith(".gz"):
            try:
                data = gzip.decompress(data)
            except (OSError, EOFError, ValueError):
                data = None
        if data is None or not (min_size <= len(data) <= min(max_size, state["left"])):
            return state["left"] > min_size
        if not is_text(data):
            return True
        w.add("text", w.name_for("mix/text", c.path, state["n"]), data, c.path)
        state["n"] += 1
        state["left"] -= len(data)
        return state["left"] > min_size
    round_robin(groups, take)


def build_compressed(cands, w, budget, min_size, max_size):
    groups = {k: [] for k in COMPRESSED_MAGIC}
    ext_kind = {".gz": "gzip", ".tgz": "gzip", ".xz": "xz-bzip2-zstd", ".bz2": "xz-bzip2-zstd",
                ".zst": "xz-bzip2-zstd", ".zip": "zip", ".jar": "zip", ".whl": "zip",
                ".png": "picture", ".jpg": "picture", ".jpeg": "picture"}
    for c in cands:
        kind = ext_kind.get(os.path.splitext(c.path)[1].lower())
        if kind and min_size <= c.size <= max_size and c.path not in w.used:
            groups[kind].append(c)
    state = {"left": budget, "n": 0}

    def take(c):
        kind = ext_kind[os.path.splitext(c.path)[1].lower()]
        magic = head(c.path, 8)
        if c.size > state["left"] or not any(magic.startswith(m) for m in COMPRESSED_MAGIC[kind]):
            return state["left"] > min_size
        data = read_all(c.path)
        if data is None or len(data) != c.size:
            return True
        w.add("compressed", w.name_for("mix/compressed", c.path, state["n"]), data, c.path)
        state["n"] += 1
        state["left"] -= c.size
        return state["left"] > min_size
    round_robin(groups, take)


def build_small(cands, w, count, max_size):
    """Real files under max_size bytes, of any kind, in the scan's spread
    order: as many man pages, scripts, icons and data files as the system
    has of each."""
    n = 0
    for c in cands:
        if n == count:
            break
        if c.size >= max_size or c.path in w.used:
            continue
        data = read_all(c.path)
        if not data or len(data) != c.size:
            continue
        w.add("small", w.name_for(f"mix/small/s{n // 500:02d}", c.path, n), data, c.path)
        n += 1
    if n < count:
        log(f"only {n} small files found, {count} asked")


def build_image(cands, w, size, staging, max_file):
    """An ext2 image filled to about 70 % by mke2fs -d with real files (their
    folder tree kept), then written out densely: every byte of it, the unused
    blocks included, is on disk, so no tool can skip holes in it."""
    fill = int(size * 0.70)
    os.makedirs(staging)
    staged = 0
    for c in cands:
        if fill <= 0:
            break
        if c.size > min(max_file, fill) or c.path in w.used:
            continue
        data = read_all(c.path)
        if data is None:
            continue
        dest = os.path.join(staging, c.path.lstrip("/"))
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        with open(dest, "wb") as f:
            f.write(data)
        # Counted in whole 4 KiB blocks, a block more for a new folder, so
        # that the files surely fit beside the file system's own tables.
        fill -= (len(data) + 4095) // 4096 * 4096 + 4096
        staged += 1
    inodes = sum(len(d) + len(f) for _, d, f in os.walk(staging)) + 64
    sparse = os.path.join(os.path.dirname(staging), "image.sparse")
    with open(sparse, "wb") as f:
        f.truncate(size)
    # A fixed UUID and hash seed and a fixed clock make the image the same
    # from run to run for the same files.
    env = dict(os.environ, E2FSPROGS_FAKE_TIME="1700000000")
    subprocess.run(["mke2fs", "-q", "-F", "-t", "ext2", "-N", str(inodes), "-U", "5f1c7a3e-0000-4000-8000-000000000001",
                    "-E", "hash_seed=5f1c7a3e-0000-4000-8000-000000000002,root_owner=0:0",
                    "-d", staging, sparse], check=True, env=env, stdout=subprocess.DEVNULL)
    shutil.rmtree(staging)
    with open(sparse, "rb") as f:
        data = f.read()
    os.remove(sparse)
    w.add("image", "mix/image/fs.img", data, f"mke2fs -t ext2 -d, {staged} files from /usr")


def build_apart(w, random_size, zero_size):
    if random_size:
        w.add("random", "apart/random/random.bin", os.urandom(random_size), "/dev/urandom")
    if zero_size:
        w.add("zero", "apart/zero/zero.bin", bytes(zero_size), "zeros")


def build_pieces(w, folder, count, piece):
    """Pieces of real data, cut in turn from the binaries, the text and the
    compressed files of the corpus (each read from its start onwards, and
    read again from the start if the corpus is too small for the count
    asked), so that the three kinds share the set evenly."""
    classes = ["bin", "text", "compressed"]
    streams = {c: [r[1] for r in w.rows if r[0] == c] for c in classes}
    streams = {c: rels for c, rels in streams.items() if rels}

    def pieces_of(rels):
        while True:
            cut = 0
            for rel in rels:
                with open(os.path.join(folder, rel), "rb") as f:
                    while True:
                        data = f.read(piece)
                        if len(data) < piece:
                            break
                        cut += 1
                        yield rel, data
            if cut == 0:  # every file shorter than a piece
                return

    gens = [pieces_of(rels) for rels in streams.values()]
    made = 0
    while made < count and gens:
        gen = gens[made % len(gens)]
        got = next(gen, None)
        if got is None:
            gens.remove(gen)
            continue
        w.add("pieces", f"pieces/p{made // 1000:02d}/{made:05d}", got[1], got[0])
        made += 1
    if made < count:
        log(f"only {made} pieces cut, {count} asked")


def no_holes(path):
    """True when the file has no hole: SEEK_HOLE finds the first only at
    its end."""
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        if size == 0:
            return True
        try:
            return os.lseek(f.fileno(), 0, os.SEEK_HOLE) >= size
        except OSError:
            st = os.fstat(f.fileno())
            return st.st_blocks * 512 >= size


def verify(folder):
    """A built corpus is used again only if every file of its manifest is
    there with its recorded size and no other file is."""
    try:
        with open(os.path.join(folder, "MANIFEST.tsv")) as f:
            rows = [line.rstrip("\n").split("\t", 3) for line in f if not line.startswith("#")]
    except OSError:
        return False
    expected = {rel: int(size) for _, rel, size, _ in rows}
    found = 0
    for dirpath, _, names in os.walk(folder):
        for name in names:
            rel = os.path.relpath(os.path.join(dirpath, name), folder)
            if rel in ("MANIFEST.tsv", "PARAMS.json"):
                continue
            if expected.get(rel) != os.path.getsize(os.path.join(dirpath, name)):
                return False
            found += 1
    return found == len(expected)


def build(work, params):
    key = corpus_key(params)
    folder = os.path.join(work, f"corpus-{key}")
    if os.path.isdir(folder):
        if verify(folder):
            log(f"using {folder} (built for these parameters, checked against its manifest)")
            return folder
        log(f"{folder} does not match its manifest: rebuilding it")
    # Corpora of other parameters or of an older script are stale: removed,
    # with any half-built one.
    os.makedirs(work, exist_ok=True)
    for name in os.listdir(work):
        if name.startswith("corpus-"):
            shutil.rmtree(os.path.join(work, name))
    partial = folder + ".partial"
    os.makedirs(partial)
    started = time.time()
    log(f"building {folder} from the files of this machine ...")
    cands = scan(params["seed"], exclude=[os.path.realpath(work)])
    w = Writer(partial)
    small_max = params["small_max_kb"] * KiB
    max_file = params["max_file_mb"] * MiB
    build_bin(cands, w, params["bin_mb"] * MiB, small_max, max_file)
    build_text(cands, w, params["text_mb"] * MiB, small_max, max_file)
    build_compressed(cands, w, params["compressed_mb"] * MiB, small_max, max_file)
    build_small(cands, w, params["small_files"], small_max)
    if params["image_mb"]:
        build_image(cands, w, params["image_mb"] * MiB, os.path.join(partial, "staging"),
                    4 * MiB)
    build_apart(w, params["random_mb"] * MiB, params["zero_mb"] * MiB)
    build_pieces(w, partial, params["pieces"], params["piece_kb"] * KiB)
    for cls, rel, _, _ in w.rows:
        if not no_holes(os.path.join(partial, rel)):
            raise SystemExit(f"corpus: {rel} has holes; the corpus must be written densely")
    with open(os.path.join(partial, "MANIFEST.tsv"), "w") as f:
        f.write("# class\tpath\tbytes\tsource\n")
        for row in w.rows:
            f.write("\t".join(str(x) for x in row) + "\n")
    with open(os.path.join(partial, "PARAMS.json"), "w") as f:
        json.dump({"key": key, "params": params, "built": time.strftime("%Y-%m-%d %H:%M:%S"),
                   "roots": ROOTS}, f, indent=1)
    os.rename(partial, folder)
    log(f"built in {time.time() - started:.0f} s")
    return folder


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "dense":
        bad = [p for p in sys.argv[2:] if not no_holes(p)]
        for p in bad:
            print(f"corpus: {p} has holes", file=sys.stderr)
        sys.exit(1 if bad else 0)
    ap = argparse.ArgumentParser()
    ap.add_argument("command", choices=["build"])
    ap.add_argument("work")
    for name, default in [("bin-mb", 192), ("text-mb", 96), ("image-mb", 96),
                          ("compressed-mb", 72), ("small-files", 5000), ("small-max-kb", 10),
                          ("pieces", 20000), ("piece-kb", 4), ("random-mb", 32),
                          ("zero-mb", 32), ("max-file-mb", 64), ("seed", 1)]:
        ap.add_argument("--" + name, type=int, default=default)
    args = ap.parse_args()
    print(build(os.path.abspath(args.work), params_from(args)))


if __name__ == "__main__":
    main()
