#!/bin/sh
# The example program: greets with the text of the data file packed beside it.
here=$(dirname "$0")
echo "hello.sh running in $(pwd)"
echo "arguments: $*"
cat "$here/greeting.txt"
