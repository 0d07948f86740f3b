#!/usr/bin/env bash
# The Windows packer under Wine: it finds the Windows stub beside itself,
# takes names with backslashes, drive letters and UTF-8, reads CR LF list
# files and folders, replaces an existing OutFile, writes the same bytes as
# the Linux packer for the same inputs and stub, and its package extracts and
# runs. Exits 77 (skipped) when Wine or the cross build is missing.
# Usage: packer_wine_test.sh TUVOLINK WIN64_FOLDER
set -u
tuvolink=$1
win64=$2

. "$(dirname "$0")/check_lib.sh"
command -v wine >/dev/null || skip "wine is not installed"
for f in tuvolink.exe tuvo.exe tuvo_probe.exe; do
  [ -f "$win64/$f" ] || skip "no cross-built $f in $win64"
done

work=$(mktemp -d)
wine_prefix

# Runs wine with the arguments in the folder $src; sets out and err (CR
# removed) and status.
run() {
  (cd "$src" && wine "$@" >"$work/stdout" 2>"$work/stderr" </dev/null)
  status=$?
  out=$(tr -d '\r' <"$work/stdout")
  err=$(tr -d '\r' <"$work/stderr")
}
winpath() { printf 'Z:%s' "${1//\//\\}"; }
temporaries() { find "$src" -name '*.tmp*' | wc -l; }
names() { # the names a package lists, one a line
  wine "$1" --tuvo-list </dev/null 2>/dev/null | tr -d '\r' | sed 's/^ *[0-9]*  //'
}

# The packer and its stub in a folder of their own; no stub where it runs.
bin=$work/bin
src=$work/src
mkdir -p "$bin" "$src/data/sub"
cp "$win64/tuvolink.exe" "$win64/tuvo.exe" "$bin/"
cp "$win64/tuvo_probe.exe" "$src/prog.exe"
printf 'packed data' >"$src/data.txt"
printf 'one' >"$src/data/b.txt"
printf 'two' >"$src/data/sub/a.txt"
printf 'summer' >"$src/data/été.txt"
packer=$bin/tuvolink.exe

run "$packer" pkg.exe prog.exe data.txt 'data\sub\a.txt'
expect "a package from names with backslashes" 0 "$status"
expect "the stub beside the packer, named on stderr" 1 "$(grep -c "^tuvolink: using the stub '.*bin.tuvo.exe'\$" <<<"$err")"
expect "the progress lines" "Processing data\\sub\\a.txt..." "$(grep -m1 '^Processing' <<<"$out")"
expect "names stored as given" $'data\\sub\\a.txt\ndata.txt\nprog.exe' "$(names "$src/pkg.exe")"
expect "no temporary left" 0 "$(temporaries)"

run "$src/pkg.exe" a "b c" exit=3
expect "the package runs" $'3\n[a]\n[b c]\n[exit=3]\ndata=packed data' \
  "$status"$'\n'"$(grep -e '^\[' -e '^data=' <<<"$out")"
run "$src/pkg.exe" --tuvo-extract "$(winpath "$work/out")"
expect "a backslash is a folder when extracted" "0 two" "$status $(cat "$work/out/data/sub/a.txt" 2>/dev/null)"

printf 'old' >"$src/pkg.exe"
run "$packer" pkg.exe prog.exe "$(winpath "$src/data.txt")"
expect "an existing OutFile is replaced" 0 "$status"
expect "the drive letter draws a warning" 1 "$(grep -c "^tuvolink: warning: the name 'Z:.*data.txt' is extracted as" <<<"$err")"
expect "the new package" "2 MZ" "$(names "$src/pkg.exe" | wc -l) $(head -c 2 "$src/pkg.exe")"
expect "no temporary left" 0 "$(temporaries)"

long=$(printf 'o%.0s' $(seq 250))
run "$packer" "$long" prog.exe data.txt
expect "a 250-character OutFile (the temporary's name is cut)" "0 MZ 0" \
  "$status $(head -c 2 "$src/$long") $(temporaries)"
rm -f "$src/$long"

# The same inputs and stub through both packers: the same bytes. A CR LF
# list file with a folder and a UTF-8 name, and the same on the command line.
printf 'prog.exe\r\ndata\r\ndata.txt\r\n' >"$src/list.txt"
cp "$win64/tuvo.exe" "$work/stub.exe"
(cd "$src" && "$tuvolink" -q --stub "$work/stub.exe" linux.exe list.txt 2>/dev/null)
run "$packer" -q --stub "$(winpath "$work/stub.exe")" windows.exe list.txt
expect "the list file form" 0 "$status"
cmp -s "$src/linux.exe" "$src/windows.exe"
expect "the same bytes from the Linux and the Windows packer (list file)" 0 $?
expect "a folder's files sorted, UTF-8 names kept" \
  $'data.txt\ndata/été.txt\ndata/sub/a.txt\ndata/b.txt\nprog.exe' "$(names "$src/windows.exe")"
run "$packer" -q --stub "$(winpath "$work/stub.exe")" windows.exe prog.exe data data.txt
cmp -s "$src/linux.exe" "$src/windows.exe"
expect "the same bytes from the Linux and the Windows packer (arguments)" 0 $?
run "$src/windows.exe" --tuvo-extract "$(winpath "$work/extracted")"
expect "the folder's files extract" "0 one" "$status $(cat "$work/extracted/data/b.txt" 2>/dev/null)"

# Failures: status 1, one message, the old OutFile kept, no temporary.
run "$packer" pkg.exe prog.exe missing.txt
expect "a missing input" "1 tuvolink: cannot open 'missing.txt': File not found" \
  "$status $(tail -n 1 <<<"$err")"
run "$packer" pkg.exe prog.exe '..\data.txt'
expect "a '..' name" "1 tuvolink: no stub extracts the name '..\\data.txt': it has a '..' component" \
  "$status $(tail -n 1 <<<"$err")"
expect "the old package kept, no temporary" "2 0" "$(names "$src/pkg.exe" | wc -l) $(temporaries)"

finish
