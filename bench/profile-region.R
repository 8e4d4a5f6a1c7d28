# Where analyze_region()'s time goes over a whole sequence, step by step,
# in one process after a first call, each the best of five: decoding the
# reads alone (scan_region() with nothing to do per batch); the engine
# asked for the bin sums alone; for the sums and the per-base coverage
# vector; for the sums and the regions; for the sums, the regions and the
# depth kept as runs, as analyze_region() asks; and the whole call.
# bench/bam.R runs it on the file it simulates; saves region-profile.rds in
# bench/build (or BENCH_STORE) for bench/report-bam.R.
library(Tolvendra)
store <- Sys.getenv("BENCH_STORE", file.path("bench", "build"))
bam <- Sys.getenv("BENCH_PROFILE_BAM", file.path("bench", "build", "sim-50Mb-10M-reads-seed1.bam"))
len <- 50e6
ns <- asNamespace("Tolvendra")
options <- read_options(progress = FALSE, threads = 1)
region <- ns$check_region(bam, "chr1", 1, len)
bins <- ns$bin_spans(region$start, region$end, 1000)
targets <- as.data.frame(region[c("seqname", "start", "end")])
regions <- list(factors = 1, threshold = 10, minlen = 0)
steps <- list(
  decode = function() ns$scan_region(region, options, function(batch) NULL),
  sums = function() ns$engine_run(list(region), options, targets, bins),
  sums_coverage = function() ns$engine_run(list(region), options, targets, bins, keep = "coverage"),
  sums_regions = function() ns$engine_run(list(region), options, targets, bins, regions),
  engine = function() ns$engine_run(list(region), options, targets, bins, regions, keep = "rle"),
  call = function() analyze_region(bam, "chr1", 1, len, width = 1000, progress = FALSE,
                                   threads = 1),
  alloc = function() integer(len))
invisible(steps$call())
best <- function(f) {
  t <- replicate(5, {
    invisible(gc())
    system.time(f(), gcFirst = FALSE)[c("elapsed", "user.self", "sys.self")]
  })
  t[, which.min(t["elapsed", ])]
}
region_profile <- do.call(rbind, lapply(names(steps), function(s) {
  t <- best(steps[[s]])
  data.frame(step = s, elapsed = t[["elapsed"]], cpu = t[["user.self"]] + t[["sys.self"]])
}))
region_profile$file <- basename(bam)
region_profile$build <- utils::capture.output(tolvendra_info())[2]
region_profile$load <- readLines("/proc/loadavg")
print(region_profile)
saveRDS(region_profile, file.path(store, "region-profile.rds"))
