#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Usage: fuzz/make_seeds.py BUILD [WIN64_STUB [SIGNED_STUB [SIGNED_PACKAGE]]]
BUILD holds tuvolink and tuvo.exe. The seeds are small files that reach the
targets' interesting paths; the fuzzers grow the corpora from them. Beside
the named seeds, each corpus keeps the inputs (named by their SHA-1) of a run
of fuzz/run.sh merged with libFuzzer's -merge=1, those of the image target
only up to 4 KiB.
"""
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def records_of(package):
    """A package's records and trailer behind a four-byte stand-in stub."""
    start = struct.unpack("<I", package[-4:])[0]
    return b"STUB" + package[start:-4] + struct.pack("<I", 4)


def packed(build, files):
    with tempfile.TemporaryDirectory() as tmp:
        names = []
        for name, data in files:
            with open(os.path.join(tmp, name), "wb") as f:
                f.write(data)
            names.append(name)
        subprocess.run([os.path.join(build, "tuvolink"), "out"] + names, cwd=tmp, check=True,
                       stdout=subprocess.DEVNULL)
        with open(os.path.join(tmp, "out"), "rb") as f:
            return f.read()


def reader_seeds(build):
    runs = b"\0" * 600 + b"ab" * 10 + b"\xff" * 3 + bytes(range(256)) + b"z" * 511
    good = records_of(packed(build, [("prog", b"#!/bin/sh\n"), ("a.txt", b"hello\n"),
                                     ("empty", b""), ("runs", runs)]))
    write("package_reader_fuzzer", "four_records", good)
    write("package_reader_fuzzer", "all_values",
          records_of(packed(build, [("p", b"#!"), ("v", bytes(range(256)) * 3)])))
    write("package_reader_fuzzer", "long_name",
          records_of(packed(build, [("p", b"#!"), ("n" * 255, b"x")])))
    write("package_reader_fuzzer", "no_records", b"STUB\0" + struct.pack("<I", 4))
    write("package_reader_fuzzer", "truncated", good[:len(good) // 2] + good[-5:])
    write("package_reader_fuzzer", "start_outside", good[:-4] + struct.pack("<I", len(good)))
    write("package_reader_fuzzer", "no_terminator", good[:-5] + b"\1" + good[-4:])


def image_seeds(stubs):
    for name, path in stubs:
        with open(path, "rb") as f:
            write("image_layout_fuzzer", name, f.read())
    # A bare ELF header with no tables, and a PE header with one section.
    elf = bytearray(64)
    elf[0:4] = b"\x7fELF"
    elf[4], elf[5] = 2, 1
    write("image_layout_fuzzer", "elf_header_only", bytes(elf))


def entry_path_seeds():
    names = [b"a/b/c.txt", b"C:\\x\\..\\y", b"/etc/passwd", b"./a//b/.", b"con.txt",
             b"dir/COM1", b"lpt\xb9", b"a<b", b"trail. ", b"..", b"\\\\?\\C:\\a"]
    for i, name in enumerate(names):
        for flags in (0, 1):
            write("entry_path_fuzzer", "name%02d_%d" % (i, flags), bytes([flags, 0]) + name)
        wide = b"".join(struct.pack("<H", c) for c in name)
        write("entry_path_fuzzer", "wide%02d" % i, bytes([3, 0]) + wide)
    write("entry_path_fuzzer", "short_out", bytes([1, 8]) + b"abc/defgh/ij")
    write("entry_path_fuzzer", "superscript", bytes([3, 0]) + "COM\u00b9.txt".encode("utf-16-le"))


def list_seeds():
    write("list_file_fuzzer", "plain", b"prog\ndata.txt\n")
    write("list_file_fuzzer", "crlf_then_end", b"prog\r\ndata\r\n\r\nignored\0\n")
    write("list_file_fuzzer", "zero_byte", b"prog\nda\0ta\n")
    write("list_file_fuzzer", "long_name", b"p\n" + b"n" * 300 + b"\n")
    write("list_file_fuzzer", "escapes", "a\x1b[31m\n\u202ename\nb\xc2\x85\n".encode("utf-8")
          + b"\xff\xfe\n")


def coder_seeds():
    write("run_coder_fuzzer", "empty", b"\0\0\0")
    write("run_coder_fuzzer", "text", b"\0\0\x05" + b"hello, world\n" * 20)
    write("run_coder_fuzzer", "runs", b"\0\0\x21" + b"\0" * 700 + b"ab" + b"\xff" * 300)
    write("run_coder_fuzzer", "forced_crunch", b"\1a\x40" + b"abracadabra" * 60 + b"a" * 270)
    write("run_coder_fuzzer", "all_values", b"\0\0\xff" + bytes(range(256)) * 4)


def main():
    build = os.path.abspath(sys.argv[1])
    stubs = [("stub_elf", os.path.join(build, "tuvo.exe"))]
    for name, arg in zip(("stub_pe", "stub_pe_signed", "package_pe_signed"), sys.argv[2:]):
        stubs.append((name, os.path.abspath(arg)))
    reader_seeds(build)
    image_seeds(stubs)
    entry_path_seeds()
    list_seeds()
    coder_seeds()


if __name__ == "__main__":
    main()
