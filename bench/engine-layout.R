# The engine before and after a change of its layout: analyze_region(),
# analyze_samples() and summarize_features() timed in fresh Rscript
# processes against two installed copies of the package, run alternately
# (before, after, before, ...) so that the load of a shared machine falls on
# both alike; the median of the repeats of each.
#
#   Rscript bench/engine-layout.R BEFORE_LIB AFTER_LIB [REPEATS]
#
# Prints a Markdown table of the call's own elapsed and CPU (user + system)
# seconds, loading the package left out; on a busy machine the CPU seconds
# are the steadier measure.
source(file.path("bench", "simulate.R"))

args <- commandArgs(trailingOnly = TRUE)
if (length(args) < 2L) stop("usage: Rscript bench/engine-layout.R BEFORE_LIB AFTER_LIB [REPEATS]")
libs <- c(before = normalizePath(args[[1]]), after = normalizePath(args[[2]]))
repeats <- if (length(args) > 2L) as.integer(args[[3]]) else 3L
build <- file.path("bench", "build")
dir.create(build, showWarnings = FALSE, recursive = TRUE)

genome <- c(chr1 = 50e6)
one <- simulated_bam(build, genome, 3e6, seed = 1L)
samples <- vapply(1:3, function(s) simulated_bam(build, genome, 1e6, seed = 200L + s), "")

# 100,000 features of 150 positions at random along the sequence, as a BED
# file; five in a row share a name, which does not merge them.
features_bed <- file.path(build, "features-100000-of-150bp-over-50Mb.bed")
if (!file.exists(features_bed)) {
  set.seed(23)
  starts <- sort(sample.int(genome[[1]] - 200L, 1e5))
  bed <- data.frame(seqname = "chr1", start0 = starts - 1L, end = starts + 149L,
                    name = sprintf("g%05d", (seq_along(starts) - 1L) %/% 5L + 1L))
  utils::write.table(bed, features_bed, sep = "\t", quote = FALSE,
                     row.names = FALSE, col.names = FALSE)
}

calls <- c(
  analyze_region = sprintf(
    'analyze_region("%s", "chr1", 1, 50e6, width = 1000, progress = FALSE)', one),
  analyze_samples = sprintf(
    'analyze_samples(c(%s), width = 1000, progress = FALSE)',
    paste(sprintf('s%d = "%s"', 1:3, samples), collapse = ", ")),
  summarize_features = sprintf(
    paste0('summarize_features(c(%s), "%s", stats = c("mean", "sum"), ',
           'thresholds = c(1, 10, 20), reads = TRUE, progress = FALSE)'),
    paste(sprintf('s%d = "%s"', 1:3, samples), collapse = ", "), features_bed))

rscript <- file.path(R.home("bin"), "Rscript")
# The call's elapsed and CPU seconds in a fresh process on library `lib`;
# a first call warms the files into the page cache.
time_call <- function(call, lib) {
  code <- sprintf(paste0('suppressPackageStartupMessages(library(Tolvendra)); ',
                         't <- system.time(invisible(%s)); ',
                         'cat(t[["elapsed"]], t[["user.self"]] + t[["sys.self"]])'), call)
  out <- system2(rscript, c("-e", shQuote(code)), stdout = TRUE,
                 env = sprintf("R_LIBS=%s", shQuote(lib)))
  v <- scan(text = utils::tail(out, 1L), quiet = TRUE)
  data.frame(elapsed = v[1], cpu = v[2])
}

times <- list()
for (name in names(calls)) {
  invisible(time_call(calls[[name]], libs[["after"]]))
  for (r in seq_len(repeats)) {
    for (which in names(libs)) {
      times[[length(times) + 1L]] <- data.frame(
        call = name, lib = which, run = r, time_call(calls[[name]], libs[[which]]))
    }
  }
}
times <- do.call(rbind, times)
med <- function(x) tapply(x, list(times$call, times$lib), stats::median)
el <- med(times$elapsed)
cpu <- med(times$cpu)
cat("| call | elapsed before (s) | elapsed after (s) | CPU before (s) | CPU after (s) | CPU after / before |\n",
    "|---|---:|---:|---:|---:|---:|\n", sep = "")
for (name in names(calls)) {
  cat(sprintf("| `%s()` | %.2f | %.2f | %.2f | %.2f | %.2f |\n", name, el[name, "before"],
              el[name, "after"], cpu[name, "before"], cpu[name, "after"],
              cpu[name, "after"] / cpu[name, "before"]))
}
cat("\nAll runs (s):\n")
print(times, row.names = FALSE)
