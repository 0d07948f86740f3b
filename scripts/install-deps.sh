#!/bin/sh
# Installs the Debian/Ubuntu packages that tuvolink needs and that are not
# installed yet; prints nothing when none is missing.
#
# Usage: scripts/install-deps.sh [build|test|all]
#   build  (default) building the packer and the stubs, and packing
#   test   build's, plus the tests', the benchmarks' and the linters' tools
#   all    test's, plus man(1) and groff to read and check docs/tuvolink.1
#
# Runs apt-get directly as root, through sudo otherwise.
set -eu

# Building: the compiler and CMake; musl for the static Linux stub; xxHash
# for the package seal; MinGW-w64 to cross-build the Windows stub and packer.
build_packages="cmake g++ make musl-tools musl-dev libxxhash-dev g++-mingw-w64-x86-64-win32"
# Testing: GoogleTest and Google Benchmark; Wine to run the Windows stub,
# osslsigncode and openssl to sign a package; clang and its sanitizer
# runtime, clang-format and clang-tidy; the benchmark's peers and corpus
# tools (lz4, zstd, /usr/bin/time, python3, mke2fs); dpkg-shlibdeps and file
# for the .deb's Depends field.
test_packages="libgtest-dev libbenchmark-dev wine wine64 osslsigncode openssl
  clang libclang-rt-14-dev clang-format clang-tidy lz4 zstd time python3 e2fsprogs
  dpkg-dev file"
# Documentation: man and groff.
doc_packages="man-db groff-base"

usage() {
  echo "usage: $0 [build|test|all]" >&2
  exit 2
}

[ $# -le 1 ] || usage
case ${1:-build} in
  build) wanted=$build_packages ;;
  test) wanted="$build_packages $test_packages" ;;
  all) wanted="$build_packages $test_packages $doc_packages" ;;
  -h | --help)
    sed -n '2,11s/^# \{0,1\}//p' "$0"
    exit 0
    ;;
  *) usage ;;
esac

if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
  echo "install-deps: this is not a Debian or Ubuntu system (no dpkg-query or apt-get)." >&2
  # shellcheck disable=SC2086  # one word a package
  echo "install-deps: install the equivalents of:" $wanted >&2
  exit 1
fi

# Installed means configured (the second letter of dpkg's abbreviated status
# is i, or t or W while only its triggers are pending), not merely known to
# dpkg, e.g. with its configuration files left behind after a removal.
missing=
for p in $wanted; do
  if ! dpkg-query -W -f='${db:Status-Abbrev}\n' "$p" 2>/dev/null | grep -q '^.[itW]'; then
    missing="$missing $p"
  fi
done
[ -n "$missing" ] || exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=
elif command -v sudo >/dev/null 2>&1; then
  as_root=sudo
else
  echo "install-deps: these packages are missing:$missing" >&2
  echo "install-deps: installing them needs root, and sudo is not available; as root, run:" >&2
  echo "  apt-get update && apt-get install -y --no-install-recommends$missing" >&2
  exit 1
fi

echo "install-deps: installing$missing"
fail() {
  echo "install-deps: apt-get failed; the missing packages are:$missing" >&2
  exit 1
}
# sudo resets the environment, hence env to pass DEBIAN_FRONTEND through it.
$as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q || fail
# shellcheck disable=SC2086  # one word a package
$as_root env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends $missing || fail
