# Every benchmark, side by side with peers, in one run. From the repository
# root, with the package and the peers installed (sh tools/setup.sh):
#   Rscript bench/run.R
# writes bench/RESULTS.md and the plots in bench/. The BAM parts take about
# fifteen minutes on two cores: every tool runs three times, each in a
# fresh process, on files of up to 10 million reads (simulated the first
# time, in under two minutes, and kept in bench/build/). Set BENCH_COMMIT
# to the commit the installed package was built from when it is not the
# one checked out.
#
# The BAM part runs bench/profile-region.R, where the time of one call
# goes, step by step in one process. A finer split of the features call is
# run after it and picked up by the report when present:
#   Rscript bench/profile-features.R; Rscript bench/report.R
#
# BENCH_QUICK=1 is for trying things: small files, one run each, the
# routines left out, and everything written to bench/build/quick/ instead.
# BENCH_PARTS picks parts, e.g. BENCH_PARTS=bam,samples (default: all of
# routines, bam, samples, paired, features); a report part that was not run
# this time is taken from the last run that saved it. BENCH_RHTSLIB_LIB
# names a library holding a second build of the package, made with
# TOLVENDRA_HTSLIB=rhtslib, for bench/bam.R to time beside the default one
# (put the default build first in R_LIBS).
suppressPackageStartupMessages(library(Tolvendra))
quick <- !Sys.getenv("BENCH_QUICK") %in% c("", "0")
parts <- strsplit(Sys.getenv("BENCH_PARTS", if (quick) "bam,samples,paired,features" else "routines,bam,samples,paired,features"),
                  ",")[[1]]
build <- file.path("bench", "build")
store <- if (quick) file.path(build, "quick") else build
out_dir <- if (quick) store else "bench"
dir.create(store, recursive = TRUE, showWarnings = FALSE)
# The commit the installed package was built from (BENCH_COMMIT), by
# default the one checked out as the run starts.
commit <- Sys.getenv("BENCH_COMMIT", system("git rev-parse --short HEAD", intern = TRUE))
# Which htslib the installed package's reader is linked against.
htslib_build <- local({
  so <- system.file("libs", "TolvendraBam.so", package = "Tolvendra")
  linked <- grep("libhts", system(paste("ldd", shQuote(so)), intern = TRUE), value = TRUE)
  if (length(linked)) paste("system htslib:", trimws(sub("=>.*", "", linked[1])))
  else "Rhtslib (static libhts.a, zlib)"
})

if ("routines" %in% parts) source(file.path("bench", "routines.R"))
if ("bam" %in% parts) source(file.path("bench", "bam.R"))
if ("samples" %in% parts) {
  if (exists("analyze_samples", asNamespace("Tolvendra"))) {
    source(file.path("bench", "samples.R"))
  } else {
    cat("Skipping the many-samples benchmark: this version of Tolvendra has no analyze_samples().\n")
    unlink(file.path(store, "samples-runs.rds"))
  }
}
if ("paired" %in% parts) source(file.path("bench", "paired.R"))
if ("features" %in% parts) source(file.path("bench", "features.R"))
source(file.path("bench", "report.R"))
