#!/bin/sh
# Builds the package, its vignette rendered, and runs R CMD check --as-cran
# on the tarball, without the manual or network checks. Fails on any ERROR
# or WARNING. Leaves the tarball, the build log and the check directory in
# check/ and the test counts in check/test-counts.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
rm -rf check
mkdir check
cd check
R CMD build --no-manual "$root" >build.log 2>&1 || {
  cat build.log; exit 1; }

# --as-cran looks up orphaned packages in CRAN's package database when a
# suggested package is missing; give it an empty local one, as this check
# makes no network calls.
mkdir -p cran-web/web/packages
Rscript -e 'saveRDS(data.frame(Package = character(), Maintainer = character()),
                    "cran-web/web/packages/packages.rds")'

# NOT_CRAN runs the error-message snapshots, which CRAN mode skips.
R_CRAN_WEB="file://$(pwd)/cran-web" NOT_CRAN=true _R_CHECK_CRAN_INCOMING_=false _R_CHECK_FUTURE_FILE_TIMESTAMPS_=false \
  _R_CHECK_CRAN_INCOMING_REMOTE_=false _R_CHECK_FORCE_SUGGESTS_=false \
  R CMD check --as-cran --no-manual Tolvendra_*.tar.gz || true

# testthat's check reporter ends with "[ FAIL n | WARN n | SKIP n | PASS n ]".
out=$(ls Tolvendra.Rcheck/tests/testthat.Rout* 2>/dev/null | head -n 1)
line=$(grep -E '^\[ FAIL [0-9]+ \| WARN [0-9]+ \| SKIP [0-9]+ \| PASS [0-9]+ \]' "${out:-/dev/null}" | tail -n 1)
pass=$(echo "$line" | sed -n 's/.*PASS \([0-9]*\).*/\1/p')
fail=$(echo "$line" | sed -n 's/.*FAIL \([0-9]*\).*/\1/p')
skip=$(echo "$line" | sed -n 's/.*SKIP \([0-9]*\).*/\1/p')
echo "${pass:-0} ${fail:-1} ${skip:-0}" >test-counts

if grep -q -E '^Status:.*(ERROR|WARNING)' Tolvendra.Rcheck/00check.log ||
   ! grep -q '^Status:' Tolvendra.Rcheck/00check.log; then
  echo "R CMD check found problems: see check/Tolvendra.Rcheck/00check.log"
  [ -n "$out" ] && case "$out" in *.fail) tail -n 40 "$out" ;; esac
  exit 1
fi
echo "R CMD check: $(grep '^Status:' Tolvendra.Rcheck/00check.log)"
grep '^configure: using' Tolvendra.Rcheck/00install.out || true
