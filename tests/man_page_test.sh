#!/bin/sh
# The manual page renders without a single groff warning, as man(1) shows it
# in an 80-column terminal. Exits 77 (skipped) when groff is missing.
# Usage: man_page_test.sh PAGE
set -u
page=$1
command -v groff >/dev/null || {
  echo "skipped: groff is not installed"
  exit 77
}
# -ww: every warning; -rLL sets the line length man uses for 80 columns.
err=$(groff -man -Tutf8 -ww -rLL=78n "$page" 2>&1 >/dev/null) || {
  echo "FAIL: groff failed on $page: $err"
  exit 1
}
if [ -n "$err" ]; then
  echo "FAIL: groff warns on $page:"
  echo "$err"
  exit 1
fi
# Not an empty page: the NAME line is there.
groff -man -Tutf8 -rLL=78n "$page" 2>/dev/null | grep -q '^ *tuvolink *- *pack' || {
  echo "FAIL: $page renders without its NAME line"
  exit 1
}
echo "ok: $page renders without warnings"
