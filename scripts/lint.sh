#!/usr/bin/env bash
# Lint, as CI runs it: the C++ sources as clang-format writes them, a clang
# build with warnings as errors (the clang preset, build-clang/), and no
# clang-tidy finding (.clang-tidy) in the code that ships. Usage: scripts/lint.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

step_start=$SECONDS
step_done() { # what
  echo "lint: $1 ($((SECONDS - step_start)) s)"
  step_start=$SECONDS
}

# Every tracked C++ file, with the repository's .clang-format.
git ls-files -z '*.cc' '*.h' | xargs -0 clang-format --dry-run --Werror
step_done "clang-format: clean"

# clang warns where g++ does not (-Wconversion includes -Wsign-conversion).
# Its compile database is the one clang-tidy reads. The build's output is
# shown only when it fails.
cmake --preset clang >/dev/null
if ! cmake --build --preset clang >build-clang/lint-build.log 2>&1; then
  grep -E 'error|warning' build-clang/lint-build.log || cat build-clang/lint-build.log
  echo "lint: the clang build failed"
  exit 1
fi
step_done "clang build: no warning"

# The packer, the stub and the format library; the tests are left out, since
# their findings are about the speed of test code, and they would double the
# time. The Windows sources are not in the (Linux) compile database: the
# MinGW build compiles them with warnings as errors.
sources="^$root/(lib|src|stub)/"
# One file: its findings printed at once, so that the two jobs' do not mix;
# fails when there is any.
tidy_one() {
  local out
  out=$(clang-tidy -p build-clang --quiet --header-filter="$sources" "$1" 2>&1) && return 0
  printf '%s\n' "$out" | grep -v '^[0-9]* warnings\? generated\.$'
  return 1
}
export -f tidy_one
export sources
sed -n 's/^  "file": "\(.*\)",\{0,1\}$/\1/p' build-clang/compile_commands.json | grep -E "$sources" |
  sort >build-clang/lint-tidy-files
xargs -P 2 -n 1 bash -c 'tidy_one "$0"' <build-clang/lint-tidy-files || {
  echo "lint: clang-tidy found the above"
  exit 1
}
step_done "clang-tidy: $(wc -l <build-clang/lint-tidy-files) files, no finding"
