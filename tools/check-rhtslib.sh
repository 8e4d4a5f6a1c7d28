#!/bin/sh
# The reader built on Rhtslib's htslib, the fallback where the system has
# none: installs the package with TOLVENDRA_HTSLIB=rhtslib into
# check/rhtslib-lib and runs the reader's test files against it. Fails if
# the build did not take Rhtslib's htslib or no test ran.
set -eu
cd "$(dirname "$0")/.."
lib=$(pwd)/check/rhtslib-lib
rm -rf "$lib"
mkdir -p "$lib"
log=$(pwd)/check/install-rhtslib.log
TOLVENDRA_HTSLIB=rhtslib R CMD INSTALL --preclean --clean --no-test-load -l "$lib" . \
  >"$log" 2>&1 || { cat "$log"; exit 1; }
R_LIBS=$lib Rscript -e 'Tolvendra::tolvendra_info()'
out=$(R_LIBS=$lib NOT_CRAN=true TOLVENDRA_EXPECT_HTSLIB=Rhtslib \
  TOLVENDRA_TEST_FILTER='^(read|samples|remote)$' Rscript tools/run-tests.R 2>&1) || {
  echo "$out" | tail -n 40; exit 1; }
echo "$out" | tail -n 1
echo "$out" | grep -q '^tests: [1-9][0-9]* expectations, 0 failed$'
