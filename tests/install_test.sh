#!/usr/bin/env bash
# The packages as a user gets them: builds the .deb from the build tree,
# installs it with dpkg, packs and runs a package from a fresh folder as an
# unprivileged user, removes the .deb and checks that its files are gone; then
# builds the Windows zip, checks its list and, when CI has a Wine prefix ready
# (WINEPREFIX), packs and runs a package with the zip's tuvolink.exe.
# Needs root and dpkg; exits 77 (skipped) without them. Usage: install_test.sh BUILD
set -u
build=$(cd "$1" && pwd) || exit 1
source=$(cd "$(dirname "$0")/.." && pwd)

. "$source/tests/check_lib.sh"
[ "$(id -u)" -eq 0 ] || skip "installing the .deb needs root"
command -v dpkg >/dev/null || skip "dpkg is not installed"
# Outside CI, never replace or remove a tuvolink that someone installed.
if dpkg-query -W -f='${Status}' tuvolink 2>/dev/null | grep -q ' installed$' && [ -z "${CI:-}" ]; then
  skip "the package tuvolink is installed already"
fi

work=$(mktemp -d)
installed=false
cleanup() {
  if $installed; then dpkg -r tuvolink >/dev/null 2>&1; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Whether file $1 starts with the whole of file $2, but for the length and
# hash of the seal slot (docs/format.md), which the packer fills.
starts_with() {
  python3 -c '
import sys
package, stub = (open(path, "rb").read() for path in sys.argv[1:3])
head = bytearray(package[:len(stub)])
slot = stub.find(b"tuvoseal\xce\xb9\x70\x79\xe0\xa4\xbc\x61")
if slot >= 0:
    head[slot + 16:slot + 40] = stub[slot + 16:slot + 40]
print("yes" if head == stub else "no")' "$1" "$2"
}

# The .deb, installed.
rm -f "$build"/tuvolink_*.deb
cmake --build "$build" --target package >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log"
  exit 1
}
deb=$(ls "$build"/tuvolink_*.deb)
installed=true # removed at exit even when half installed
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || {
  cat "$work/dpkg.log"
  exit 1
}
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' >"$work/files"
hash -r
expect "tuvolink on the PATH" /usr/bin/tuvolink "$(command -v tuvolink)"
expect "the Linux stub installed" yes "$([ -x /usr/lib/tuvolink/tuvo.exe ] && echo yes)"
expect "the docs installed" yes "$([ -f /usr/share/doc/tuvolink/docs/format.md ] && echo yes)"
if command -v man >/dev/null; then
  expect "man finds tuvolink(1)" /usr/share/man/man1/tuvolink.1 "$(man -w tuvolink 2>&1)"
fi

# A new user packs a script and its data in a folder of their own.
user=nobody
id "$user" >/dev/null 2>&1 && command -v runuser >/dev/null || user=
home=$work/home
mkdir -p "$home"
chmod 755 "$work"
printf '#!/bin/sh\necho "args: $*"\ncat data.txt\n' >"$home/prog.sh"
printf 'packed data\n' >"$home/data.txt"
chmod 755 "$home/prog.sh"
[ -z "$user" ] || chown -R "$user" "$home"
as_user() { # runs the command line in $home as $user; sets out, err and status
  if [ -n "$user" ]; then
    out=$(cd "$home" && runuser -u "$user" -- sh -c "$1" 2>"$work/err" </dev/null)
  else
    out=$(cd "$home" && sh -c "$1" 2>"$work/err" </dev/null)
  fi
  status=$?
  err=$(cat "$work/err")
}
echo "packing as ${user:-$(id -un)} in $home"
as_user 'tuvolink out.pkg prog.sh data.txt'
expect "tuvolink out.pkg prog.sh data.txt: status" 0 "$status"
[ "$status" -eq 0 ] || echo "$err"
expect "the package starts with the installed stub" \
  yes "$(starts_with "$home/out.pkg" /usr/lib/tuvolink/tuvo.exe)"
as_user './out.pkg one two'
expect "./out.pkg one two" "$(printf 'args: one two\npacked data')" "$out"
[ "$status" -eq 0 ] || echo "$err"
as_user './out.pkg --tuvo-check'
expect "./out.pkg --tuvo-check: status" 0 "$status"
# --stub windows, once the packer has it.
if [ -f /usr/lib/tuvolink/win64/tuvo.exe ] && tuvolink --help 2>&1 | grep -q -- '--stub'; then
  as_user 'tuvolink --stub windows out.exe prog.sh data.txt'
  expect "tuvolink --stub windows: status" 0 "$status"
  [ "$status" -eq 0 ] || echo "$err"
  expect "the package starts with the installed Windows stub" \
    yes "$(starts_with "$home/out.exe" /usr/lib/tuvolink/win64/tuvo.exe)"
else
  echo "skipped: tuvolink --stub windows (no Windows stub or no --stub option)"
fi

# Removed, nothing of it is left.
dpkg -r tuvolink >"$work/dpkg.log" 2>&1 || cat "$work/dpkg.log"
installed=false
left=$(while read -r f; do [ ! -e "$f" ] || echo "$f"; done <"$work/files")
expect "dpkg -r leaves no file of the package" "" "$left"
expect "dpkg -r removes /usr/lib/tuvolink" no "$([ -e /usr/lib/tuvolink ] && echo yes || echo no)"

# The Windows zip.
if [ ! -f "$build/win64/tuvo.exe" ]; then
  echo "skipped: the Windows zip (no cross build in $build/win64)"
  finish
fi
rm -f "$build"/tuvolink-*-win64.zip
cmake --build "$build" --target package_win64 >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log"
  exit 1
}
zip=$(ls "$build"/tuvolink-*-win64.zip)
top=$(basename "$zip" .zip)
# The programs, README.md and docs/, nothing else (no test program).
wanted=$( (cd "$source" && shopt -s nullglob && printf '%s\n' README.md docs/*.md docs/*.png tuvo.exe tuvolink.exe) |
  sed "s|^|$top/|" | sort)
expect "the zip's files" "$wanted" "$(cmake -E tar tf "$zip" | grep -v '/$' | sort)"
if [ -n "${WINEPREFIX:-}" ] && command -v wine >/dev/null && [ -f "$build/win64/tuvo_probe.exe" ]; then
  (cd "$work" && cmake -E tar xf "$zip")
  cp "$build/win64/tuvo_probe.exe" "$home/prog.exe"
  out=$(cd "$home" && WINEDEBUG=-all wine "$work/$top/tuvolink.exe" win.exe prog.exe data.txt 2>&1)
  expect "wine tuvolink.exe win.exe prog.exe data.txt: status" 0 "$?"
  expect "the Windows package starts with the zip's stub" \
    yes "$(starts_with "$home/win.exe" "$work/$top/tuvo.exe")"
  out=$(cd "$home" && WINEDEBUG=-all wine ./win.exe hello 2>&1 | tr -d '\r' | grep -E '^\[|^data=')
  expect "wine win.exe hello" "$(printf '[hello]\ndata=packed data')" "$out"
else
  echo "skipped: the zip's tuvolink.exe under Wine (no WINEPREFIX prepared)"
fi
finish
