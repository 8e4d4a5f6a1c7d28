# Many small features in many samples: summarize_features() (means, sums,
# positions at least 1, 10 and 20 deep, and read counts) side by side with
# mosdepth --by features.bed -T 1,10,20 once per sample and bedtools
# multicov -split; and depth_distribution() over the whole genome side by
# side with mosdepth (its dist.txt) once per sample.
# Sourced by bench/run.R, which sets `build`, `store` and `quick`. Uses the
# samples simulated by bench/samples.R (same genome, same seeds). Saves the
# runs to features-runs.rds in `store`.
source(file.path("bench", "simulate.R"))
source(file.path("bench", "timing.R"))

repeats <- as.integer(Sys.getenv("BENCH_REPEATS", if (quick) "1" else "3"))
limit <- 300
f_genome <- if (quick) c(chr1 = 2e6, chr2 = 3e6, chr3 = 5e6) else c(chr1 = 10e6, chr2 = 15e6, chr3 = 25e6)
f_reads <- if (quick) 1e5 else 5e5
f_samples <- 5L
f_count <- if (quick) 20000L else 200000L
f_width <- 150L
f_thresholds <- c(1L, 10L, 20L)

f_bams <- vapply(seq_len(f_samples), function(s) simulated_bam(build, f_genome, f_reads, seed = 100L + s), "")
names(f_bams) <- sprintf("s%d", seq_along(f_bams))

# Features of 150 positions at random over the genome (they may overlap),
# named, as a BED file sorted by position.
features_bed <- file.path(build, sprintf("features-%d-of-%dbp-over-%gMb.bed", f_count, f_width,
                                         sum(f_genome) / 1e6))
if (!file.exists(features_bed)) {
  set.seed(19)
  seq_of <- sample(names(f_genome), f_count, replace = TRUE, prob = f_genome)
  start0 <- floor(runif(f_count) * (f_genome[seq_of] - f_width))
  o <- order(match(seq_of, names(f_genome)), start0)
  bed <- data.frame(seqname = seq_of[o], start0 = start0[o], end = start0[o] + f_width,
                    name = sprintf("f%06d", seq_len(f_count)))
  utils::write.table(format(bed, scientific = FALSE, trim = TRUE), features_bed, sep = "\t",
                     quote = FALSE, row.names = FALSE, col.names = FALSE)
}
bed <- utils::read.table(features_bed, col.names = c("seqname", "start0", "end", "name"))

# ---- checks ----------------------------------------------------------------
# mosdepth leaves deletions (CIGAR D) uncovered, which Tolvendra, as
# samtools depth -J, counts; so the depth checks against mosdepth run on a
# copy of the first sample without the reads that have a deletion, where
# the two must agree. Read counts are checked on the sample itself against
# bedtools multicov -split.
nodel <- file.path(build, sub("\\.bam$", "-no-deletions.bam", basename(f_bams[[1]])))
if (!file.exists(paste0(nodel, ".bai"))) {
  stopifnot(system(sprintf("samtools view -h %s | awk '/^@/ || $6 !~ /D/' | samtools view -b -o %s -",
                           shQuote(f_bams[[1]]), shQuote(nodel))) == 0,
            system2("samtools", c("index", shQuote(nodel))) == 0)
}
gz_table <- function(path) utils::read.table(gzfile(path), comment.char = "#", sep = "\t")
f_check <- local({
  prefix <- file.path(scratch, "features-check")
  stopifnot(system(sprintf("%s mosdepth -n -t 0 --by %s -T %s %s %s", mosdepth_env, shQuote(features_bed),
                           paste(f_thresholds, collapse = ","), shQuote(prefix), shQuote(nodel))) == 0)
  x <- summarize_features(c(nodel = nodel), features_bed, stats = c("mean", "sum"),
                          thresholds = f_thresholds, progress = FALSE)
  a <- SummarizedExperiment::assays(x)
  regions <- gz_table(paste0(prefix, ".regions.bed.gz"))
  thresholds <- gz_table(paste0(prefix, ".thresholds.bed.gz"))
  key <- function(d) paste(d[[1]], d[[2]], d[[3]], d[[4]])
  regions <- regions[match(key(bed), key(regions)), ]
  thresholds <- thresholds[match(key(bed), key(thresholds)), ]
  mean_diff <- max(abs(a$mean[, 1] - regions$V5))
  sum_diff <- max(abs(round(a$sum[, 1] / f_width, 2) - regions$V5))
  th <- as.matrix(thresholds[, 5:7])
  ours <- cbind(a$bases_ge_1[, 1], a$bases_ge_10[, 1], a$bases_ge_20[, 1])
  if (anyNA(regions$V5) || mean_diff > 0.005 + 1e-9 || sum_diff > 1e-9 || !all(ours == th)) {
    stop(sprintf("summarize_features() disagrees with mosdepth on %s: largest mean difference %g, %d threshold counts differ.",
                 basename(nodel), mean_diff, sum(ours != th)))
  }
  # Reads that touch each feature, against bedtools multicov -split.
  y <- summarize_features(f_bams[1], features_bed, stats = "sum", reads = TRUE, progress = FALSE)
  mc <- utils::read.table(text = system(sprintf("bedtools multicov -split -bams %s -bed %s",
                                                shQuote(f_bams[[1]]), shQuote(features_bed)), intern = TRUE))
  mc <- mc[match(key(bed), key(mc)), ]
  if (!identical(as.integer(SummarizedExperiment::assay(y, "reads")[, 1]), as.integer(mc$V5))) {
    stop("summarize_features()' read counts differ from bedtools multicov -split's in ",
         sum(SummarizedExperiment::assay(y, "reads")[, 1] != mc$V5), " features.")
  }
  # The distribution of depths over the whole genome against mosdepth's
  # dist.txt (fractions to two decimals) and its summary's bases.
  stopifnot(system(sprintf("%s mosdepth -n -t 0 %s %s", mosdepth_env, shQuote(prefix), shQuote(nodel))) == 0)
  dist <- utils::read.table(paste0(prefix, ".mosdepth.global.dist.txt"), col.names = c("seqname", "depth", "fraction"))
  summ <- utils::read.table(paste0(prefix, ".mosdepth.summary.txt"), header = TRUE)
  z <- depth_distribution(c(nodel = nodel), max_depth = 1000, progress = FALSE)
  mine <- z$distribution[z$distribution$seqname == "total", ]
  peer <- dist[dist$seqname == "total", ]
  mine <- mine[match(peer$depth, mine$depth), ]
  dist_diff <- max(abs(mine$fraction - peer$fraction))
  bases_ok <- identical(as.numeric(z$summary$bases[match(summ$chrom, z$summary$seqname)]), as.numeric(summ$bases))
  if (dist_diff > 0.005 + 1e-9 || !bases_ok) {
    stop(sprintf("depth_distribution() disagrees with mosdepth on %s: largest fraction difference %g; bases %s.",
                 basename(nodel), dist_diff, if (bases_ok) "equal" else "differ"))
  }
  # On the sample with deletions, how far the two drift apart.
  prefix1 <- file.path(scratch, "features-check-s1")
  stopifnot(system(sprintf("%s mosdepth -n -t 0 --by %s %s %s", mosdepth_env, shQuote(features_bed),
                           shQuote(prefix1), shQuote(f_bams[[1]]))) == 0)
  r1 <- gz_table(paste0(prefix1, ".regions.bed.gz"))
  r1 <- r1[match(key(bed), key(r1)), ]
  drift <- sum(abs(SummarizedExperiment::assay(y, "sum")[, 1] / f_width - r1$V5) > 0.005 + 1e-9)
  cat(sprintf(paste("checked: summarize_features() means, sums and thresholds equal mosdepth's on %s (largest mean difference %.4f, mosdepth rounds to 0.01);",
                    "read counts equal bedtools multicov -split's on %s; depth_distribution() equals mosdepth's dist.txt (largest difference %.4f) and summary bases;",
                    "with deletions, %d of %d features' means differ from mosdepth's\n"),
              basename(nodel), mean_diff, basename(f_bams[[1]]), dist_diff, drift, nrow(bed)))
  list(mean_diff = mean_diff, dist_diff = dist_diff, drift = drift)
})

# ---- commands --------------------------------------------------------------
# Tolvendra: a fresh R process that loads the package and its Bioconductor
# imports and warms up, then times the call (elapsed, and the session's
# user + system CPU); the whole process is timed beside it.
f_files <- paste(sprintf('%s = "%s"', names(f_bams), f_bams), collapse = ", ")
f_r <- function(call) {
  r_command(sprintf(paste0(
    'suppressPackageStartupMessages({library(Tolvendra); library(BiocParallel); ',
    'library(SummarizedExperiment)}); files <- c(%s); ',
    'invisible(summarize_features(files[1], data.frame(seqname = "chr1", start = 1, end = 1000), progress = FALSE)); ',
    't <- system.time(%s); cat(t[["elapsed"]], t[["user.self"]] + t[["sys.self"]], "\\n")'),
    f_files, call))
}
one_per_sample <- function(run) {
  sprintf("sh -c %s", shQuote(paste(vapply(names(f_bams), run, ""), collapse = "; ")))
}
f_tools <- list(
  "features: summarize_features()" = f_r(sprintf(paste0(
    'x <- summarize_features(files, "%s", stats = c("mean", "sum"), thresholds = c(%s), ',
    'reads = TRUE, progress = FALSE)'), features_bed, paste(f_thresholds, collapse = ", "))),
  "features: mosdepth --by features.bed -T 1,10,20, once per sample" = one_per_sample(function(s) {
    sprintf("%s mosdepth -n -t 0 --by %s -T %s %s %s", mosdepth_env, shQuote(features_bed),
            paste(f_thresholds, collapse = ","), shQuote(file.path(scratch, paste0("features-", s))),
            shQuote(f_bams[[s]]))
  }),
  "features: bedtools multicov -split, first sample only, once" = sprintf(
    "bedtools multicov -split -bams %s -bed %s", shQuote(f_bams[[1]]), shQuote(features_bed)),
  "distribution: depth_distribution()" = f_r('x <- depth_distribution(files, max_depth = 1000, progress = FALSE)'),
  "distribution: mosdepth, once per sample" = one_per_sample(function(s) {
    sprintf("%s mosdepth -n -t 0 %s %s", mosdepth_env, shQuote(file.path(scratch, paste0("dist-", s))),
            shQuote(f_bams[[s]]))
  }),
  "start-up: R with the package and its imports, warmed up" = f_r("NULL"))

for (f in f_bams) invisible(system(paste("cat", shQuote(f), "> /dev/null")))
f_load <- readLines("/proc/loadavg")
runs <- list()
for (r in seq_len(repeats)) {
  for (tool in names(f_tools)) {
    # bedtools multicov takes minutes over these features: one run only.
    if (grepl("multicov", tool) && r > 1) next
    mine <- !grepl("mosdepth|bedtools", tool)
    t <- time_command(f_tools[[tool]], output = mine, limit = limit)
    said <- if (mine && is.finite(t$elapsed)) scan(text = t$said, quiet = TRUE) else c(NA, NA)
    runs[[length(runs) + 1L]] <- data.frame(tool = tool, repeat_ = r, elapsed = t$elapsed,
                                            user = t$user, sys = t$sys, rss_kib = t$rss_kib,
                                            call = said[1], call_cpu = said[2])
    cat(sprintf("%-70s run %d: %6.2fs elapsed (call %s) %6.2fs user %6.2fs sys %8.0f KiB\n", tool, r,
                t$elapsed, if (is.na(said[1])) "-" else sprintf("%.2fs", said[1]), t$user, t$sys, t$rss_kib))
  }
}
saveRDS(list(runs = do.call(rbind, runs),
             info = list(genome = f_genome, reads = f_reads, samples = f_samples, count = f_count,
                         width = f_width, thresholds = f_thresholds, repeats = repeats, limit = limit,
                         commit = commit, check = f_check,
                         load = c(before = f_load, after = readLines("/proc/loadavg")))),
        file.path(store, "features-runs.rds"))
