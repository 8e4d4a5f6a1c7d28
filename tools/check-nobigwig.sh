#!/bin/sh
# The package built without libBigWig, as where the system has none:
# installs it with TOLVENDRA_BIGWIG=none into check/nobigwig-lib and runs
# the test files of tracks and studies against it, where tracks must be
# refused with the package to install named. Fails if the build reads
# tracks anyway or no test ran.
set -eu
cd "$(dirname "$0")/.."
lib=$(pwd)/check/nobigwig-lib
rm -rf "$lib"
mkdir -p "$lib"
log=$(pwd)/check/install-nobigwig.log
TOLVENDRA_BIGWIG=none R CMD INSTALL --preclean --clean --no-test-load -l "$lib" . \
  >"$log" 2>&1 || { cat "$log"; exit 1; }
R_LIBS=$lib Rscript -e 'Tolvendra::tolvendra_info()'
out=$(R_LIBS=$lib NOT_CRAN=true TOLVENDRA_EXPECT_BIGWIG=none \
  TOLVENDRA_TEST_FILTER='^(tracks|samples)$' Rscript tools/run-tests.R 2>&1) || {
  echo "$out" | tail -n 40; exit 1; }
echo "$out" | tail -n 1
echo "$out" | grep -q '^tests: [1-9][0-9]* expectations, 0 failed$'
