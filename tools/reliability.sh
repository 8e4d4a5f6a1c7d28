#!/bin/bash
# The native library under the checks CRAN runs on compiled code:
#   1. the test suite with gcc's AddressSanitizer and UBSan,
#   2. the test suite under valgrind memcheck,
#   3. the splicing index tests under gctorture,
#   4. a libFuzzer run comparing the region search with its literal form.
# Any report fails the run. FUZZ_SECONDS sets the fuzzing time (60).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/tools/build
rm -rf "$build"
mkdir -p "$build/asan-lib" "$build/lib"
export NOT_CRAN=true

# --preclean: never reuse object files of another build.
install_into() {
  local log=$build/install-$(basename "$1").log
  R CMD INSTALL --preclean --clean --no-test-load -l "$1" "$root" >"$log" 2>&1 ||
    { cat "$log"; return 1; }
}

echo "--- AddressSanitizer and UndefinedBehaviorSanitizer"
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cat >"$build/Makevars.asan" <<MAKEVARS
CXX17 = g++ $flags
CXX17FLAGS = -g -O1
MAKEVARS
R_MAKEVARS_USER=$build/Makevars.asan install_into "$build/asan-lib"
LD_PRELOAD=$(gcc -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
  R_LIBS=$build/asan-lib Rscript tools/run-tests.R 2>&1 | tail -n 25
# The BAM tests are left out under valgrind: they spend their time loading
# the Bioconductor stack (over 20 minutes), and the native routines they
# call are exercised by the other tests, hostile inputs included.
echo "--- valgrind memcheck"
install_into "$build/lib"
TOLVENDRA_TEST_SKIP="bam|analysis" R_LIBS=$build/lib R -d "valgrind --error-exitcode=1 --quiet" --vanilla --slave \
  -f tools/run-tests.R 2>&1 | tail -n 25

echo "--- gctorture of the splicing index"
TOLVENDRA_GCTORTURE=1 TOLVENDRA_TEST_FILTER=splicingind R_LIBS=$build/lib \
  Rscript tools/run-tests.R 2>&1 | tail -n 5

echo "--- libFuzzer: region search"
rinc=$(R RHOME)/include
[ -d "$rinc" ] || rinc=/usr/share/R/include
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined \
  -fno-sanitize-recover=all -I"$rinc" \
  tools/fuzz/regionmining_fuzz.cpp src/regionmining.cpp \
  -L"$(R RHOME)/lib" -lR -Wl,-rpath,"$(R RHOME)/lib" -o "$build/regionmining_fuzz"
mkdir -p "$build/corpus"
"$build/regionmining_fuzz" -max_total_time="${FUZZ_SECONDS:-60}" -max_len=512 \
  -print_final_stats=1 "$build/corpus" 2>&1 | tail -n 6
echo "reliability checks passed"
