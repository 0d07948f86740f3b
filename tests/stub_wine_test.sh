#!/usr/bin/env bash
# The Windows stub under Wine: a package made with build/win64/tuvo.exe runs
# the packed program with its arguments, lists, checks and extracts (long
# paths too) with UTF-8 names, tells the program its caller's folder and
# package, refuses bad packages and damaged sealed ones, takes its program
# along when it is killed and clears up after killed stubs, draws its progress
# line on a console only, and still works once signed with Authenticode.
# Exits 77 (skipped) when Wine or the cross-built stub is
# missing. Usage: stub_wine_test.sh TUVOLINK WIN64_FOLDER
set -u
tuvolink=$1
win64=$2

. "$(dirname "$0")/check_lib.sh"
command -v wine >/dev/null || skip "wine is not installed"
[ -f "$win64/tuvo.exe" ] && [ -f "$win64/tuvo_probe.exe" ] || skip "no cross-built stub in $win64"

work=$(mktemp -d)
wine_prefix

# Runs wine with the arguments; sets out (CR removed), err and status.
run() {
  wine "$@" >"$work/stdout" 2>"$work/stderr" </dev/null
  status=$?
  out=$(tr -d '\r' <"$work/stdout")
  err=$(tr -d '\r' <"$work/stderr")
}
# A Windows path on Wine's Z: drive for a Unix path.
winpath() { printf 'Z:%s' "${1//\//\\}"; }
temp_left() { find "$WINEPREFIX/drive_c/users" -maxdepth 4 -name 'tuvo-*' | wc -l; }

# The packer takes tuvo.exe from the current folder: the Windows stub.
src=$work/src
mkdir -p "$src/data"
cp "$win64/tuvo.exe" "$src/tuvo.exe"
cp "$win64/tuvo_probe.exe" "$src/prog.exe"
printf 'packed data' >"$src/data.txt"
(cd "$src" && "$tuvolink" pkg.exe prog.exe data.txt >/dev/null) || exit 1
pkg=$src/pkg.exe

run "$pkg" a "b c" 'd"e' "" exit=3
expect "the program's exit status" 3 "$status"
expect "the arguments, one by one" $'[a]\n[b c]\n[d"e]\n[]\n[exit=3]' \
  "$(grep '^\[' <<<"$out")"
expect "the raw command line tail" ' a "b c" d\"e "" exit=3' \
  "$(sed -n 's/^line="[^"]*prog\.exe"//p' <<<"$out")"
expect "the data file beside the program" "data=packed data" "$(grep '^data=' <<<"$out")"
expect "the working folder is the extraction folder" 1 \
  "$(grep -c '^cwd=C:\\users\\.*\\tuvo-[0-9a-f]*$' <<<"$out")"
expect "the temporary folder is removed" 0 "$(temp_left)"

# The program learns the caller's folder and the package's path.
(cd "$work" && wine "$pkg" >"$work/stdout" 2>/dev/null </dev/null)
expect "TUVO_CALLER_DIR" "caller=$(winpath "$work")" "$(tr -d '\r' <"$work/stdout" | grep '^caller=')"
expect "TUVO_PACKAGE" "package=$(winpath "$pkg")" "$(tr -d '\r' <"$work/stdout" | grep '^package=')"

run "$pkg" -- --tuvo-list x
expect "-- is dropped, options pass" $'[--tuvo-list]\n[x]' "$(grep '^\[' <<<"$out")"

run "$pkg" --tuvo-keep
expect "--tuvo-keep runs and keeps" "0 1" "$status $(temp_left)"
kept=$(find "$WINEPREFIX/drive_c/users" -maxdepth 4 -name 'tuvo-*' -printf '%f')

# A stub ended by TerminateProcess (taskkill /F) takes its program with it,
# and a later run removes the folder it left; a kept folder and the folder
# of a run still going are left alone.
cp "$pkg" "$src/sleeper.exe"
started() {  # output file of a run of sleeper.exe: waits for its program, prints its folder
  for _ in $(seq 1 150); do
    grep -q '^cwd=' "$1" 2>/dev/null && break
    sleep 0.2
  done
  grep '^cwd=' "$1" | tr -d '\r' | sed 's/.*\\//'
}
temp_has() { [ -n "$(find "$WINEPREFIX/drive_c/users" -maxdepth 4 -name "$1")" ] && echo yes || echo no; }
wine "$src/sleeper.exe" sleep=3000 >"$work/killed" 2>&1 </dev/null &
stub=$!
killed=$(started "$work/killed")
wine taskkill /F /IM sleeper.exe >/dev/null 2>&1
wait "$stub"
sleep 4
expect "the program does not outlive its stub" "0" "$(grep -c '^woke' "$work/killed")"
expect "a killed stub leaves its folder" "yes" "$(temp_has "$killed")"
# The temporary folder, named while the killed stub's folder is there (the
# next run removes it): a lock without its folder goes there, never elsewhere.
temp_dir=$(find "$WINEPREFIX/drive_c/users" -maxdepth 4 -name "$killed" -printf '%h' -quit)
if [ -z "$killed" ] || [ -z "$temp_dir" ]; then
  expect "the killed stub's folder is found" yes no
  finish
fi
# Long enough for the next run to end first, even on a busy machine.
wine "$src/sleeper.exe" sleep=8000 >"$work/live" 2>&1 </dev/null &
stub=$!
live=$(started "$work/live")
: >"$temp_dir/tuvo-0123456789abcdef.lock"
run "$pkg"
expect "the next run removes the folder of a killed stub" "0 no" "$status $(temp_has "$killed")"
expect "and a lock left without its folder" "no" "$(temp_has tuvo-0123456789abcdef.lock)"
expect "and leaves a kept folder and a live run's folder" "yes yes" "$(temp_has "$kept") $(temp_has "$live")"
wait "$stub"
live_status=$?
expect "the live run goes on" "0 1 no" "$live_status $(grep -c '^woke' "$work/live") $(temp_has "$live")"
find "$WINEPREFIX/drive_c/users" -maxdepth 4 -name 'tuvo-*' -exec rm -rf {} +
# What the program leaves running outlives a stub that ends as usual.
run "$pkg" "spawn=$(winpath "$src/prog.exe")"
sleep 3
expect "a process the program started goes on" 1 "$(grep -c '^woke' "$work/stdout")"

run "$pkg" --tuvo-list
expect "--tuvo-list" "$(printf '%12d  data.txt\n%12d  prog.exe' 11 "$(stat -c %s "$src/prog.exe")")" "$out"
run "$pkg" --tuvo-check
expect "--tuvo-check" "0 OK (sealed)" "$status $out"

# One byte changed after the stub: the seal no longer matches.
stub_size=$(stat -c %s "$win64/tuvo.exe")
at=$((stub_size + 3))
byte=$(od -An -tx1 -j "$at" -N1 "$pkg" | tr -d ' ')
{ head -c "$at" "$pkg"; if [ "$byte" = 5a ]; then printf Y; else printf Z; fi
  tail -c +$((at + 2)) "$pkg"; } >"$work/damaged.exe"
run "$work/damaged.exe" --tuvo-extract "$(winpath "$work/damaged-out")"
expect "a changed byte is refused, nothing written" "125 1 no" \
  "$status $(grep -c '^tuvo: damaged package: ' <<<"$err") $([ -e "$work/damaged-out" ] && echo yes || echo no)"

deep=$work/out
for i in $(seq 1 12); do deep=$deep/a-rather-long-folder-name-$i; done
run "$pkg" --tuvo-extract "$(winpath "$deep")"
expect "--tuvo-extract into a path of ${#deep} characters" "0" "$status"
expect "the extracted data" "packed data" "$(cat "$deep/data.txt" 2>/dev/null)"
cmp -s "$deep/prog.exe" "$src/prog.exe"
expect "the extracted program" 0 $?

# A name packed on Linux is UTF-8, and comes out as such.
printf 'accent' >"$src/q é.txt"
(cd "$src" && "$tuvolink" names.exe prog.exe "q é.txt" >/dev/null) || exit 1
run "$src/names.exe" --tuvo-extract "$(winpath "$work/names")"
expect "a UTF-8 name" "0 accent" "$status $(cat "$work/names/q é.txt" 2>/dev/null)"

run "$src/tuvo.exe"
expect "a bare stub" "125 tuvo: no package is attached to this program (see --tuvo-help)" \
  "$status $err"

head -c -1 "$pkg" >"$work/cut.exe"
run "$work/cut.exe" --tuvo-check
expect "a truncated package" 125 "$status"

# Names that Windows must refuse: a '..' component, a colon, a device name.
mkdir -p "$work/bad/in"
cp "$win64/tuvo.exe" "$src/prog.exe" "$work/bad/in/"
printf x >"$work/bad/con.txt"
printf x >"$work/bad/in/ab:c"
printf x >"$work/bad/in/con.txt"
mkdir -p "$work/bad/in/xx"
printf x >"$work/bad/in/xx/con.txt"
for name in ../con.txt ab:c con.txt; do
  # The packer refuses a '..' name itself (and warns of the others): pack
  # xx/con.txt in its place and patch the name in the record.
  packed=${name/#../xx}
  (cd "$work/bad/in" && "$tuvolink" ../bad.exe prog.exe "$packed" >/dev/null 2>&1) || exit 1
  [ "$packed" = "$name" ] || perl -0777 -pi -e 's{xx/con\.txt\0}{../con.txt\0}' "$work/bad/bad.exe"
  run "$work/bad/bad.exe" --tuvo-extract "$(winpath "$work/bad/dest")"
  expect "the name '$name' is refused, nothing written" "125 no" \
    "$status $([ -e "$work/bad/dest" ] && echo yes || echo no)"
done
expect "and the stub says why" 1 "$(grep -c 'Windows device' <<<"$err")"

# The progress line of a large extraction goes to standard error when that
# is a console (Wine gives one on a terminal: script(1)'s), and nowhere else.
head -c 68000000 /dev/zero >"$src/big.bin"
(cd "$src" && "$tuvolink" big.exe prog.exe big.bin >/dev/null) || exit 1
script -qec "wine '$src/big.exe' exit=6 >'$work/big-out'" /dev/null >"$work/tty" 2>&1 </dev/null
expect "the progress line on a console" "6 1" "$? $(grep -c 'tuvo: extracting   0%' "$work/tty")"
script -qec "wine '$src/big.exe' 2>'$work/big-err'" /dev/null >"$work/tty" 2>&1 </dev/null
expect "none in a file" "0 0" "$? $(cat "$work/tty" "$work/big-err" | grep -c extracting)"

# Signed with Authenticode after packing: the certificate table follows the
# trailer, and the package still runs and extracts.
if command -v osslsigncode >/dev/null && command -v openssl >/dev/null; then
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
    -days 2 -subj "/CN=tuvolink test" >/dev/null 2>&1
  osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -in "$pkg" \
    -out "$work/signed.exe" >/dev/null
  expect "osslsigncode signed the package" 1 "$(osslsigncode verify -in "$work/signed.exe" 2>&1 | grep -c 'Signature Index')"
  run "$work/signed.exe" x "y z" exit=5
  expect "the signed package runs" $'5\n[x]\n[y z]\n[exit=5]' "$status"$'\n'"$(grep '^\[' <<<"$out")"
  run "$work/signed.exe" --tuvo-check
  expect "the signed package's seal still matches" "0 OK (sealed)" "$status $out"
  run "$work/signed.exe" --tuvo-extract "$(winpath "$work/signed-out")"
  expect "the signed package extracts" "0 packed data" "$status $(cat "$work/signed-out/data.txt" 2>/dev/null)"
  expect "the temporary folder is removed" 0 "$(temp_left)"
else
  echo "FAIL: osslsigncode and openssl are needed for the signed package"
  failures=$((failures + 1))
fi

finish
