#!/usr/bin/env python3
"""The stubs' check pass and extraction against cp.

Packs the corpus of bench/compare.sh once with each stub given, then times,
round by round and interleaved (so that a burst of load on a shared machine
hits all alike), cp of the files, `package --tuvo-check` and `package
--tuvo-extract DIR` with each, and prints the medians of the wall time and of
the CPU time (user + system, threads included) and their ratios to cp's. A
stub given as STUB:unsealed is timed on its package with the seal slot
cleared, which shows what the hash costs.

Usage: bench/stub_speed.py TUVOLINK STUB[:unsealed]...
Environment: ROUNDS (default 9); WORK (default /tmp/tuvolink-bench, whose
corpus bench/compare.sh builds: run it once first); OUT (where cp and the
stubs write, default a folder under WORK).
"""
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MAGIC = b'tuvoseal\xce\xb9\x70\x79\xe0\xa4\xbc\x61'  # lib/format/seal.h


def clear_slot(package, stub_size):
    data = bytearray(open(package, 'rb').read())
    at = data.find(MAGIC, 0, stub_size)
    if at < 0:
        sys.exit('stub_speed.py: no seal slot in the stub of ' + package)
    data[at + 16:at + 40] = bytes(24)
    open(package, 'wb').write(data)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    tuvolink = os.path.realpath(sys.argv[1])
    rounds = int(os.environ.get('ROUNDS', '9'))
    work = os.environ.get('WORK', '/tmp/tuvolink-bench')
    corpus = os.path.join(work, 'corpus')
    if not os.path.isdir(corpus):
        sys.exit('stub_speed.py: no corpus in %s (run bench/compare.sh)' % corpus)
    scratch = tempfile.mkdtemp(prefix='stub-speed.', dir=work)
    out = os.environ.get('OUT') or scratch
    try:
        names = sorted(os.path.relpath(os.path.join(d, f), corpus)
                       for d, _, fs in os.walk(corpus) for f in fs
                       if not f.startswith('.') and not f.endswith('.stub'))
        size = sum(os.path.getsize(os.path.join(corpus, n)) for n in names)
        # The packer takes tuvo.exe from the current folder: a folder of links
        # to the corpus, with each stub in turn.
        src = os.path.join(scratch, 'src')
        for n in names:
            os.makedirs(os.path.dirname(os.path.join(src, n)), exist_ok=True)
            os.symlink(os.path.join(os.path.realpath(corpus), n), os.path.join(src, n))
        stubs = []
        for i, arg in enumerate(sys.argv[2:]):
            stub = arg[:-len(':unsealed')] if arg.endswith(':unsealed') else arg
            label = os.path.relpath(os.path.realpath(stub))
            package = os.path.join(scratch, 'pkg%d' % i)
            shutil.copy(stub, os.path.join(src, 'tuvo.exe'))
            subprocess.run([tuvolink, package] + names, cwd=src, check=True,
                           stdout=subprocess.DEVNULL)
            if stub != arg:
                clear_slot(package, os.path.getsize(stub))
                label += ' (slot cleared)'
            check = subprocess.run([package, '--tuvo-check'], check=True, capture_output=True)
            stubs.append((label + ': ' + check.stdout.decode().strip(), package))

        times = {}

        def run(key, argv):
            r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
            t0 = time.perf_counter()
            subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
            t1 = time.perf_counter()
            r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu = r1.ru_utime - r0.ru_utime + r1.ru_stime - r0.ru_stime
            times.setdefault(key, []).append((t1 - t0, cpu))

        def fresh(folder):
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            return folder

        for _ in range(rounds):
            run('cp', ['cp', '-L'] + [os.path.join(src, n) for n in names]
                + [fresh(os.path.join(out, 'copy'))])
            for label, package in stubs:
                run((label, 'check'), [package, '--tuvo-check'])
                run((label, 'extract'), [package, '--tuvo-extract', fresh(os.path.join(out, 'x'))])

        def medians(key):
            return tuple(statistics.median(t[k] for t in times[key]) for k in (0, 1))

        cp_wall, cp_cpu = medians('cp')
        print('corpus: %d files, %d MiB; %d rounds, medians; load %s'
              % (len(names), size >> 20, rounds, ' '.join(open('/proc/loadavg').read().split()[:3])))
        print('%-8s %9s %9s %12s %12s' % ('', 'wall (s)', 'cpu (s)', 'cp/x wall', 'cp/x cpu'))
        print('%-8s %9.3f %9.3f %12.2f %12.2f' % ('cp', cp_wall, cp_cpu, 1.0, 1.0))
        for label, _ in stubs:
            print(label)
            for what in ('check', 'extract'):
                wall, cpu = medians((label, what))
                print('%-8s %9.3f %9.3f %12.2f %12.2f'
                      % (what, wall, cpu, cp_wall / wall, cp_cpu / cpu if cpu else 0.0))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
        for folder in ('copy', 'x'):
            shutil.rmtree(os.path.join(out, folder), ignore_errors=True)


if __name__ == '__main__':
    main()
