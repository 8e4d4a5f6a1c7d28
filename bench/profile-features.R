# Where the time of summarize_features() and depth_distribution() goes, in
# one process after a warm-up: the first call of summarize_features() in
# the process, then each the median of three calls: the whole call, the
# time under the native engine (Rprof: engine_run()'s total), the steps
# of summarize_features() (reading the features, planning the spans, the
# engine, the assays) and the R functions that take the most of the rest.
# Run from the repository root after bench/features.R (which simulates the
# files): Rscript bench/profile-features.R. Saves features-profile.rds in
# bench/build (or BENCH_STORE) for bench/report-features.R.
suppressPackageStartupMessages({
  library(Tolvendra); library(BiocParallel); library(SummarizedExperiment)
})
store <- Sys.getenv("BENCH_STORE", file.path("bench", "build"))
features <- readRDS(file.path(store, "features-runs.rds"))$info
bams <- file.path("bench", "build", sprintf("sim-%s-%gM-reads-seed%d.bam",
                                            paste(sprintf("%gMb", features$genome / 1e6), collapse = "-"),
                                            features$reads / 1e6, 100L + seq_len(features$samples)))
names(bams) <- sprintf("s%d", seq_along(bams))
bed <- file.path("bench", "build", sprintf("features-%d-of-%dbp-over-%gMb.bed", features$count,
                                           features$width, sum(features$genome) / 1e6))
stopifnot(all(file.exists(bams)), file.exists(bed))
invisible(summarize_features(bams[1], data.frame(seqname = "chr1", start = 1, end = 1000), progress = FALSE))

profile <- function(label, f, times = 3) {
  one <- function() {
    out <- tempfile()
    invisible(gc())
    Rprof(out, interval = 0.01)
    t <- system.time(f(), gcFirst = FALSE)
    Rprof(NULL)
    s <- summaryRprof(out)
    total <- s$by.total
    engine <- sum(total[grepl("^.engine_run.$", rownames(total)), "total.time"])
    steps <- c("parse_features", "feature_plan", "engine_run", "feature_assays")
    steps <- vapply(steps, function(x) sum(total[rownames(total) == sprintf("\"%s\"", x), "total.time"]), 0)
    self <- s$by.self
    self <- self[order(-self$self.time), , drop = FALSE]
    list(call = t[["elapsed"]], cpu = t[["user.self"]] + t[["sys.self"]], engine = engine, steps = steps,
         top = utils::head(self[, "self.time", drop = FALSE], 6))
  }
  runs <- lapply(seq_len(times), function(i) one())
  i <- order(vapply(runs, `[[`, 0, "call"))[ceiling(times / 2)]
  r <- runs[[i]]
  cat(sprintf("%s: call %.2f s (CPU %.2f s), under the engine %.2f s\n", label, r$call, r$cpu, r$engine))
  print(r$steps)
  print(r$top)
  c(list(case = label), r)
}
# The first call in the process, as the timed runs make it, then the
# median of three more.
features_profile <- list(
  first = profile("summarize_features(), first call in the process", function() {
    summarize_features(bams, bed, stats = c("mean", "sum"), thresholds = features$thresholds,
                       reads = TRUE, progress = FALSE)
  }, times = 1),
  features = profile("summarize_features()", function() {
    summarize_features(bams, bed, stats = c("mean", "sum"), thresholds = features$thresholds,
                       reads = TRUE, progress = FALSE)
  }),
  features_no_reads = profile("summarize_features() without reads", function() {
    summarize_features(bams, bed, stats = c("mean", "sum"), thresholds = features$thresholds,
                       progress = FALSE)
  }),
  distribution = profile("depth_distribution()", function() {
    depth_distribution(bams, max_depth = 1000, progress = FALSE)
  }))
saveRDS(features_profile, file.path(store, "features-profile.rds"))
