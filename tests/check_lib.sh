# What the shell tests share, sourced by them: checks that count, a skip that
# does not hide a failure, and a Wine prefix of their own.

failures=0
passes=0
expect() { # what, expected, actual
  if [ "$2" == "$3" ]; then
    echo "ok: $1"
    passes=$((passes + 1))
  else
    printf 'FAIL: %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

# Ends the test as skipped (77) with the reason, or as failed when a check
# has failed already.
skip() {
  echo "$failures failure(s); skipped: $*"
  [ "$failures" -eq 0 ] && exit 77
  exit 1
}

finish() {
  echo "$passes passed, $failures failed"
  [ "$failures" -eq 0 ]
  exit
}

# Wine in a fresh prefix under $work (which the caller made, and which is
# removed at exit) unless the caller (CI) prepared one in WINEPREFIX; quiet,
# and without Mono and Gecko. Skips when the prefix cannot be made.
wine_prefix() {
  # Wine turns Unix arguments and file names into UTF-16 and back by the
  # locale: UTF-8 names need a UTF-8 locale, which a bare system lacks.
  export LC_ALL=C.UTF-8
  own_prefix=false
  if [ -z "${WINEPREFIX:-}" ]; then
    export WINEPREFIX=$work/prefix
    own_prefix=true
  fi
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  trap 'if $own_prefix; then wineserver -k >/dev/null 2>&1; fi; rm -rf "$work"' EXIT
  wineboot -i >/dev/null 2>&1 || skip "wineboot failed"
}
