# Outputs only when asked, on one big file: 10M single-end reads on a
# 50-Mb sequence (bench/simulate.R).
# - analyze_region() over the whole sequence, bins of 1000, the whole
#   Rscript timed (R's start and loading the package included), beside
#   `mosdepth -n --by 1000 -t 0`;
# - summarize_features() of 100,000 features of 150 positions at random
#   along it (mean, positions at least 1, 10 and 20 deep), the call timed
#   in an Rscript that has loaded the package and its Bioconductor imports
#   (SummarizedExperiment, BiocParallel) first, as bench/samples.R does,
#   beside `mosdepth -n -t 0 --by features.bed -T 1,10,20`.
# Each round runs every job once as a fresh process, in turn; elapsed and
# CPU (of the call where the Rscript reports it) and the peak resident
# memory of each process, by /usr/bin/time; medians of the rounds.
#   Rscript bench/outputs.R [rounds] [library ...]
# Each library holds a build of the package to compare (default: the
# first of .libPaths()). BENCH_BUILD (default bench/build) holds the
# simulated files.
args <- commandArgs(trailingOnly = TRUE)
rounds <- if (length(args) >= 1L) as.integer(args[1L]) else 3L
libs <- if (length(args) >= 2L) args[-1L] else .libPaths()[1L]
build <- Sys.getenv("BENCH_BUILD", file.path("bench", "build"))
dir.create(build, showWarnings = FALSE, recursive = TRUE)
source(file.path("bench", "simulate.R"))
source(file.path("bench", "timing.R"))

bam <- simulated_bam(build, c(chr1 = 50e6), 1e7, seed = 1L)
bed <- file.path(build, "features-100000-of-150bp-over-50Mb.bed")
if (!file.exists(bed)) {
  set.seed(25)
  start0 <- sort(floor(runif(1e5) * (50e6 - 150)))
  utils::write.table(data.frame("chr1", start0, start0 + 150, sprintf("f%06d", seq_along(start0))),
                     bed, sep = "\t", quote = FALSE, row.names = FALSE, col.names = FALSE)
}

region_code <- function(lib) {
  sprintf(paste0('library(Tolvendra, lib.loc = "%s"); ',
                 'x <- analyze_region("%s", "chr1", width = 1000, progress = FALSE)'), lib, bam)
}
features_code <- function(lib) {
  sprintf(paste0(
    'suppressPackageStartupMessages({library(Tolvendra, lib.loc = "%s"); ',
    'library(SummarizedExperiment); library(BiocParallel)}); ',
    't <- system.time(x <- summarize_features("%s", "%s", stats = "mean", ',
    'thresholds = c(1, 10, 20), progress = FALSE)); ',
    'cat(t[["elapsed"]], t[["user.self"]] + t[["sys.self"]], "\\n")'), lib, bam, bed)
}
prefix <- shQuote(file.path(scratch, "outputs"))
jobs <- rbind(
  data.frame(job = "region", tool = paste("analyze_region()", libs),
             command = vapply(libs, function(l) r_command(region_code(l)), ""), env = ""),
  data.frame(job = "region", tool = "mosdepth -n --by 1000 -t 0",
             command = sprintf("mosdepth -n --by 1000 -t 0 %s %s", prefix, shQuote(bam)),
             env = mosdepth_env),
  data.frame(job = "features", tool = paste("summarize_features()", libs),
             command = vapply(libs, function(l) r_command(features_code(l)), ""), env = ""),
  data.frame(job = "features", tool = "mosdepth -n -t 0 --by features.bed -T 1,10,20",
             command = sprintf("mosdepth -n -t 0 --by %s -T 1,10,20 %s %s", shQuote(bed), prefix,
                               shQuote(bam)), env = mosdepth_env))
invisible(system(paste("cat", shQuote(bam), "> /dev/null")))
cat("load before:", readLines("/proc/loadavg"), "\n")
runs <- do.call(rbind, lapply(seq_len(rounds), function(r) {
  do.call(rbind, lapply(seq_len(nrow(jobs)), function(i) {
    reports <- startsWith(jobs$tool[i], "summarize_features")
    t <- time_command(jobs$command[i], jobs$env[i], output = reports)
    said <- if (reports) scan(text = t$said, quiet = TRUE) else c(NA, NA)
    data.frame(jobs[i, c("job", "tool")], round = r, elapsed = t$elapsed,
               cpu = t$user + t$sys, call = said[1], call_cpu = said[2],
               rss_mib = t$rss_kib / 1024)
  }))
}))
cat("load after:", readLines("/proc/loadavg"), "\n")
print(runs, digits = 3, row.names = FALSE)
medians <- aggregate(cbind(elapsed, cpu, call, call_cpu, rss_mib) ~ job + tool, runs,
                     stats::median, na.action = na.pass)
print(medians[order(medians$job), ], digits = 3, row.names = FALSE)
