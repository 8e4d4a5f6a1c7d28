# Reading many samples with analyze_samples(): serially against two
# workers, over the whole genome and over many small targets, side by side
# with mosdepth run once per sample with the same number of processes.
# Sourced by bench/run.R, which sets `build`, `store` and `quick`. Saves
# the runs to samples-runs.rds in `store`.
source(file.path("bench", "simulate.R"))
source(file.path("bench", "timing.R"))

# One run each: a whole-genome run of 8 samples takes minutes; a run
# still going after `limit` seconds is stopped and reported as such.
repeats <- 1L
limit <- if (quick) 120 else 300
genome <- if (quick) c(chr1 = 2e6, chr2 = 3e6, chr3 = 5e6) else c(chr1 = 10e6, chr2 = 15e6, chr3 = 25e6)
reads_per_sample <- if (quick) 1e5 else 5e5
sample_counts <- c(1, 2, 4, 8)
target_count <- if (quick) 2000 else 20000
target_samples <- 5

sample_bams <- vapply(seq_len(max(sample_counts)), function(s) {
  simulated_bam(build, genome, reads_per_sample, seed = 100L + s)
}, "")
names(sample_bams) <- sprintf("s%d", seq_along(sample_bams))

# Targets of 1000 positions, evenly spread over the genome, as a BED file.
targets_bed <- file.path(build, sprintf("targets-%d-over-%gMb.bed", target_count, sum(genome) / 1e6))
if (!file.exists(targets_bed)) {
  per_seq <- round(target_count * genome / sum(genome))
  per_seq[length(per_seq)] <- target_count - sum(per_seq[-length(per_seq)])
  bed <- do.call(rbind, lapply(names(genome), function(s) {
    starts <- round(seq(1, genome[[s]] - 2000, length.out = per_seq[[s]]))
    data.frame(seqname = s, start0 = starts - 1, end = starts + 999)
  }))
  utils::write.table(format(bed, scientific = FALSE, trim = TRUE), targets_bed, sep = "\t",
                     quote = FALSE, row.names = FALSE, col.names = FALSE)
}

# ---- checks ----------------------------------------------------------------
# A sample's bins from analyze_samples() are those of analyze_region() (which
# bench/bam.R checks against samtools), and two workers give what one gives.
local({
  files <- sample_bams[1:2]
  serial <- analyze_samples(files, width = 1000, progress = FALSE)
  snow <- analyze_samples(files, width = 1000, progress = FALSE,
                          BPPARAM = BiocParallel::SnowParam(2))
  if (!identical(serial, snow)) {
    stop("analyze_samples() gives different results with SerialParam() and SnowParam(2).")
  }
  sums <- SummarizedExperiment::assay(serial$bins, "sum")
  chr <- as.character(GenomicRanges::seqnames(serial$bins))
  # analyze_region() over every sequence of the first sample, timed as a
  # reference for what one sample costs when read alone
  one_sample_seconds <<- system.time(for (s in names(genome)) {
    one <- analyze_region(files[[1]], s, 1, genome[[s]], width = 1000, progress = FALSE)
    if (!identical(as.numeric(sums[chr == s, 1]), as.numeric(one$bins$sum))) {
      stop(sprintf("analyze_samples()' bins of %s on %s differ from analyze_region()'s.",
                   basename(files[[1]]), s))
    }
  })[["elapsed"]]
  cat("checked: analyze_samples() agrees with analyze_region() and across back ends\n")
})

# ---- commands --------------------------------------------------------------
# Tolvendra: one fresh R process per run, loading the packages and warming
# up on a small region first, so that the time printed is the call's.
samples_command <- function(files, where, workers) {
  r_command(sprintf(paste0(
    'suppressPackageStartupMessages({library(Tolvendra); library(BiocParallel); ',
    'library(SummarizedExperiment)}); files <- c(%s); ',
    'invisible(analyze_samples(files[1], "chr1:1-10000", progress = FALSE)); ',
    'p <- %s; cat(system.time(analyze_samples(files, %s, width = 1000, progress = FALSE, ',
    'BPPARAM = p))[["elapsed"]], "\\n")'),
    paste(sprintf('%s = "%s"', names(files), files), collapse = ", "),
    # Workers are started before the call is timed, as a session keeps a
    # cluster up between calls. SnowParam, not MulticoreParam: workers
    # forked from a session holding the Bioconductor stack copy its memory
    # page by page as they collect garbage, which cost more than the second
    # core gave here (0.46x to 1.2x against one process).
    if (workers == 1) "SerialParam()" else sprintf("SnowParam(%d); bpstart(p)", workers),
    if (is.null(where)) "NULL" else sprintf('"%s"', where)))
}
# mosdepth: one process per sample, `workers` at a time.
mosdepth_samples_command <- function(files, where, workers) {
  runs <- sprintf("mosdepth -n --by %s -t 0 %s %s", if (is.null(where)) "1000" else shQuote(where),
                  shQuote(file.path(scratch, names(files))), shQuote(files))
  sprintf("sh -c %s", shQuote(sprintf("printf '%%s\\n' %s | xargs -d '\\n' -P %d -I{} sh -c {}",
                                      paste(shQuote(runs), collapse = " "), workers)))
}

cases <- rbind(
  expand.grid(case = "whole genome", samples = sample_counts, workers = 1:2,
              tool = c("tolvendra", "mosdepth"), stringsAsFactors = FALSE),
  expand.grid(case = "targets", samples = target_samples, workers = 1:2,
              tool = c("tolvendra", "mosdepth"), stringsAsFactors = FALSE))
cases$where <- ifelse(cases$case == "targets", targets_bed, NA)

runs <- list()
for (r in seq_len(repeats)) {
  for (i in seq_len(nrow(cases))) {
    k <- cases[i, ]
    files <- sample_bams[seq_len(k$samples)]
    where <- if (is.na(k$where)) NULL else k$where
    t <- if (k$tool == "tolvendra") {
      time_command(samples_command(files, where, k$workers), output = TRUE, limit = limit)
    } else {
      cbind(time_command(mosdepth_samples_command(files, where, k$workers), mosdepth_env),
            said = NA)
    }
    t$call <- if (is.infinite(t$elapsed)) Inf else as.numeric(t$said)
    runs[[length(runs) + 1L]] <- cbind(k[c("case", "samples", "workers", "tool")], repeat_ = r,
                                       t[c("elapsed", "user", "sys", "rss_kib", "call")])
    cat(sprintf("%-12s %d samples %d worker(s) %-9s run %d: %6.2fs elapsed (call %s) %6.2fs user %8.0f KiB\n",
                k$case, k$samples, k$workers, k$tool, r, t$elapsed,
                if (is.na(t$call)) "-" else sprintf("%.2fs", t$call), t$user, t$rss_kib))
  }
}
saveRDS(list(runs = do.call(rbind, runs),
             info = list(genome = genome, reads = reads_per_sample, targets = target_count,
                         repeats = repeats, limit = limit, commit = commit,
                         one_sample_seconds = one_sample_seconds)),
        file.path(store, "samples-runs.rds"))
