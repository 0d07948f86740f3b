#!/usr/bin/env bash
# The static Linux stub: one file under 128 KiB with no program interpreter
# and no dynamic section, whose packages run in an empty root that holds the
# package alone (and /proc, through which the stub reads its own image): no
# C library, no loader, no shell. Running in that root needs root and a mount
# namespace of its own; without them that part exits 77 (skipped).
# Usage: static_stub_test.sh TUVOLINK STUB
set -u
tuvolink=$1
stub=$2

. "$(dirname "$0")/check_lib.sh"

size=$(stat -c %s "$stub")
expect "the stub is under 128 KiB ($size bytes)" yes "$([ "$size" -lt 131072 ] && echo yes || echo no)"
headers=$(readelf -lW "$stub")
expect "no program interpreter" 0 "$(grep -c 'INTERP' <<<"$headers")"
expect "no dynamic segment" 0 "$(grep -c 'DYNAMIC' <<<"$headers")"

[ "$(id -u)" -eq 0 ] || skip "running in an empty root needs root"
command -v unshare >/dev/null && command -v chroot >/dev/null || skip "no unshare or chroot"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The packed program is the static stub itself: asked for its help, it
# prints it, which shows that a program extracted in the empty root runs.
mkdir -p "$work/src" "$work/root/proc" "$work/root/tmp"
chmod 1777 "$work/root/tmp"
cp "$stub" "$work/src/prog"
cp "$stub" "$work/src/tuvo.exe"  # the packer takes the stub from here first
head -c 100000 /dev/urandom >"$work/src/data.bin"
(cd "$work/src" && "$tuvolink" "$work/root/pkg" prog data.bin >/dev/null) || exit 1
unshare --mount --propagation private true 2>/dev/null || skip "no mount namespace here"
# Runs the package in the root, with /proc mounted in a mount namespace of
# its own and an environment that holds PATH alone; sets out, err, status.
in_root() {
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin unshare --mount --propagation private sh -c \
    'root=$1; shift; mount -t proc proc "$root/proc" && exec chroot "$root" /pkg "$@"' \
    sh "$work/root" "$@" >"$work/out" 2>"$work/err"
  status=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
}
expect "the root holds nothing but the package" "pkg proc tmp" "$(ls "$work/root" | tr '\n' ' ' | sed 's/ $//')"

in_root --tuvo-check
expect "--tuvo-check in the empty root" "0 OK (sealed)" "$status $out"
in_root -- --tuvo-help
expect "the packed program runs there" "0 This program is a self-extracting package made by tuvolink." \
  "$status $(head -n 1 <<<"$out")"
expect "and the temporary folder is removed" "" "$(ls -A "$work/root/tmp")"
in_root --tuvo-extract /out
expect "--tuvo-extract in the empty root" 0 "$status"
cmp -s "$work/src/data.bin" "$work/root/out/data.bin"
expect "the extracted data" 0 $?

finish
