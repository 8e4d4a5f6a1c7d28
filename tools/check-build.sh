#!/bin/sh
# Another build of the package, tested: installs it with the configure
# setting BUILD (such as TOLVENDRA_HTSLIB=rhtslib, the fallback where the
# system has no htslib, or TOLVENDRA_BIGWIG=none, a system without
# libBigWig) into check/NAME-lib and runs the test files FILTER matches
# with EXPECT set, which tells them which build to expect. Fails if the
# build is not the one asked for or no test ran.
# Usage: tools/check-build.sh NAME BUILD EXPECT FILTER
set -eu
[ $# -eq 4 ] || { echo "usage: $0 NAME BUILD EXPECT FILTER" >&2; exit 2; }
name=$1 build=$2 expect=$3 filter=$4
cd "$(dirname "$0")/.."
lib=$(pwd)/check/$name-lib
rm -rf "$lib"
mkdir -p "$lib"
log=$(pwd)/check/install-$name.log
env "$build" R CMD INSTALL --preclean --clean --no-test-load -l "$lib" . \
  >"$log" 2>&1 || { cat "$log"; exit 1; }
R_LIBS=$lib Rscript -e 'Tolvendra::tolvendra_info()'
out=$(env R_LIBS="$lib" NOT_CRAN=true "$expect" TOLVENDRA_TEST_FILTER="$filter" \
  Rscript tools/run-tests.R 2>&1) || { echo "$out" | tail -n 40; exit 1; }
echo "$out" | tail -n 1
echo "$out" | grep -q '^tests: [1-9][0-9]* expectations, 0 failed$'
