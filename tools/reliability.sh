#!/bin/bash
# The native libraries under the checks CRAN runs on compiled code:
#   1. the test suite with gcc's AddressSanitizer and UBSan,
#   2. the routine and reader tests under valgrind memcheck,
#   3. the splicing index tests under gctorture,
#   4. libFuzzer runs: the region search against its literal form, depth
#      held as runs against the depth itself, and the alignment reader on
#      mutated BAM files, on both htslibs it builds on,
#   5. damaged BAM files read on one thread, as each of the package's
#      reading threads reads, and with htslib's threads, which it avoids,
#   6. the engine reading a sequence in stretches on several threads under
#      ThreadSanitizer, against one thread.
# Any report fails the run. FUZZ_SECONDS sets each fuzzing time (60).
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

# The sanitized and plain builds take configure's default: the system's
# htslib where it is usable.
echo "--- AddressSanitizer and UndefinedBehaviorSanitizer"
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cat >"$build/Makevars.asan" <<MAKEVARS
CXX17 = g++ $flags
CXX17FLAGS = -g -O1
MAKEVARS
R_MAKEVARS_USER=$build/Makevars.asan install_into "$build/asan-lib"
LD_PRELOAD=$(gcc -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
  R_LIBS=$build/asan-lib Rscript tools/run-tests.R 2>&1 | tail -n 25
# Under valgrind, only the tests of the native code run, named whole (the
# threads' tests run under ThreadSanitizer below), and without the
# Bioconductor stack (TOLVENDRA_NO_BIOC): loading it there takes over 20
# minutes. The reader's tests make their files with samtools instead.
echo "--- valgrind memcheck"
install_into "$build/lib"
TOLVENDRA_NO_BIOC=1 TOLVENDRA_TEST_FILTER="^(init|gcoverage|ghistogram|regionmining|splicingind|hostile|checks|read)$" \
  R_LIBS=$build/lib R -d "valgrind --error-exitcode=1 --quiet" --vanilla --slave \
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

echo "--- libFuzzer: depth as runs"
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined \
  -fno-sanitize-recover=all -I"$rinc" \
  tools/fuzz/runs_fuzz.cpp src/kernels/runs.cpp src/kernels/depths.cpp \
  src/regionmining.cpp \
  -L"$(R RHOME)/lib" -lR -Wl,-rpath,"$(R RHOME)/lib" -o "$build/runs_fuzz"
mkdir -p "$build/runs-corpus"
"$build/runs_fuzz" -max_total_time="${FUZZ_SECONDS:-60}" -max_len=512 \
  -print_final_stats=1 "$build/runs-corpus" 2>&1 | tail -n 6

# The reader on both htslibs it can be built on: Rhtslib's static one and
# the system's, found by pkg-config.
hts=$(Rscript -e 'cat(system.file(package = "Rhtslib"))')
build_bam_tool() { # name sources htslib [flags]
  local flags
  if [ "$3" = system ]; then
    flags="$(pkg-config --cflags htslib) $2 $(pkg-config --libs htslib)"
  else
    flags="-I$hts/include $2 $hts/usrlib/libhts.a -lcurl -lz -lbz2 -llzma -lpthread"
  fi
  # shellcheck disable=SC2086
  clang++ -std=c++17 -g -O1 ${4:-} $flags -o "$build/$1"
}
# Seeds: a small BAM file, as it is and as its uncompressed stream.
mkdir -p "$build/bam-seeds"
printf '@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:1000\n@SQ\tSN:chr2\tLN:500\n%s\n%s\n%s\n%s\n%s\n%s\n%s\n%s\n%s\n' \
  "r1	0	chr1	5	60	10M5N3D4M	*	0	0	*	*" \
  "r2	16	chr1	20	60	3S10M2I4M	*	0	0	*	*" \
  "p1	99	chr1	30	60	10M	=	35	15	*	*" \
  "p1	2193	chr1	33	60	5M	=	30	0	*	*" \
  "p1	147	chr1	35	60	10M	=	30	-15	*	*" \
  "r3	0	chr2	40	60	10M	*	0	0	*	*" \
  "r4	1024	chr2	60	60	10M100N5M	*	0	0	*	*" \
  "r5	0	chr2	80	60	4M1I3M	*	0	0	ACGTACGT	IIIIIIII" \
  "r6	0	chr2	90	60	8S8N	*	0	0	ACGTACGT	*	CG:B:I,128" >"$build/seed.sam"
samtools view -b -o "$build/bam-seeds/seed.bam" "$build/seed.sam"
gzip -dc "$build/bam-seeds/seed.bam" >"$build/bam-seeds/seed.raw"
# htslib's own header reader leaks on some malformed headers, and trusts
# their sizes: huge allocations fail (return NULL) instead of stopping.
printf 'leak:bam_hdr_read\nleak:sam_hdr_init\n' >"$build/lsan.supp"
for lib in Rhtslib system; do
  echo "--- libFuzzer: alignment reader on htslib of $lib"
  build_bam_tool "bam_fuzz_$lib" "tools/fuzz/bam_fuzz.cpp src/bam/alignments.cpp src/bam/reads.cpp src/bam/records.cpp" "$lib" \
    "-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all"
  rm -rf "$build/bam-corpus-$lib"
  cp -r "$build/bam-seeds" "$build/bam-corpus-$lib"
  log=$build/bam_fuzz_$lib.log
  ( cd "$build" && TMPDIR="$build" \
    ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=2048 \
    LSAN_OPTIONS=suppressions="$build/lsan.supp" \
    "./bam_fuzz_$lib" -max_total_time="${FUZZ_SECONDS:-60}" -timeout=60 -max_len=4096 \
      -malloc_limit_mb=1000000 -rss_limit_mb=4096 -print_final_stats=1 \
      "bam-corpus-$lib" >"$log" 2>&1 ) || { tail -n 40 "$log"; exit 1; }
  grep -E '^(Done|stat::)' "$log"
done

# Damaged copies of a BAM file of a few BGZF blocks, read on one thread and
# with a decompression thread. The package's threads each read a stretch
# through a handle of their own, on one thread as htslib sees it, so there
# any stall or crash fails; htslib's threads, which the package does not
# use, are only counted (htslib 1.15 and 1.16 both stall on some).
echo "--- damaged files, with and without decompression threads (system htslib)"
build_bam_tool bam_stall tools/fuzz/bam_stall.cpp system
mkdir -p "$build/stall"
Rscript -e 'set.seed(1); n <- 20000; chr <- sample(c("chr1", "chr2"), n, TRUE)
  pos <- sample(1e5, n, TRUE); seq <- strrep("ACGTTGCA", 6)
  writeLines(c("@SQ\tSN:chr1\tLN:100100", "@SQ\tSN:chr2\tLN:100100",
               sprintf("r%d\t0\t%s\t%d\t60\t48M\t*\t0\t0\t%s\t*", seq_len(n),
                       chr, pos, seq)), commandArgs(TRUE))' "$build/stall/seed.sam"
samtools sort -o "$build/stall/seed.bam" "$build/stall/seed.sam" 2>/dev/null
"$build/bam_stall" "$build/stall/seed.bam" "$build/stall" "${STALL_VARIANTS:-150}" 5 |
  tail -n 1
echo "--- ThreadSanitizer: a sequence read in stretches (system htslib)"
build_bam_tool threads_tsan "tools/fuzz/threads_tsan.cpp src/engine/*.cpp src/bam/*.cpp src/kernels/*.cpp src/bigwig/*.cpp" \
  system "-fsanitize=thread -pthread"
mkdir -p "$build/tsan"
Rscript -e 'source("tests/testthat/helper-bam.R"); source("tests/testthat/helper-reads.R")
  make_bam(paired_records(3, pairs = 3000, singles = 500, length = 60000,
                          supplementary = 0.1),
           dir = commandArgs(TRUE), lengths = c(chr1 = 60000))' "$build/tsan" >/dev/null
for mode in count once fragments; do
  one=$(TSAN_OPTIONS=halt_on_error=1 "$build/threads_tsan" "$build/tsan/reads.bam" chr1 60000 1 100 $mode)
  for threads in 2 3; do
    apart=$(TSAN_OPTIONS=halt_on_error=1 "$build/threads_tsan" "$build/tsan/reads.bam" chr1 60000 $threads 100 $mode)
    [ "$apart" = "$one" ] || { echo "$mode on $threads threads: $apart, not $one"; exit 1; }
  done
  echo "$mode: $one"
done
echo "reliability checks passed"
