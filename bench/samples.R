# Reading many samples with analyze_samples(): serially and on two workers,
# over the whole genome, over many small targets, over a draft assembly of
# many short sequences and over one very long sequence; side by side with
# mosdepth run once per sample with the same number of processes, and
# bedtools genomecov for the draft assembly.
# Sourced by bench/run.R, which sets `build`, `store` and `quick`. Saves
# the runs to samples-runs.rds in `store`.
source(file.path("bench", "simulate.R"))
source(file.path("bench", "timing.R"))

# A run still going after `limit` seconds is stopped and reported as such.
repeats <- as.integer(Sys.getenv("BENCH_REPEATS", if (quick) "1" else "3"))
limit <- if (quick) 120 else 300
genome <- if (quick) c(chr1 = 2e6, chr2 = 3e6, chr3 = 5e6) else c(chr1 = 10e6, chr2 = 15e6, chr3 = 25e6)
reads_per_sample <- if (quick) 1e5 else 5e5
sample_counts <- c(1, 2, 8)
target_count <- if (quick) 2000 else 20000
target_samples <- 5

sample_bams <- vapply(seq_len(max(sample_counts)), function(s) {
  simulated_bam(build, genome, reads_per_sample, seed = 100L + s)
}, "")
names(sample_bams) <- sprintf("s%d", seq_along(sample_bams))
draft <- draft_bam(build)
huge <- single_read_bam(build, 600e6)
long <- simulated_bam(build, c(chr1 = 249250621), if (quick) 2e5 else 2e6)

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
bin_table <- function(x) {
  r <- SummarizedExperiment::rowRanges(x$bins)
  data.frame(seqname = as.character(GenomicRanges::seqnames(r)), start = GenomicRanges::start(r),
             sum = as.numeric(SummarizedExperiment::assay(x$bins, "sum")[, 1]))
}
local({
  # A sample's bins from analyze_samples() are those of analyze_region()
  # (which bench/bam.R checks against samtools), and every back end gives
  # what one process gives.
  files <- sample_bams[1:2]
  serial <- analyze_samples(files, width = 1000, progress = FALSE)
  for (p in list(BiocParallel::SnowParam(2))) {
    if (!identical(serial, analyze_samples(files, width = 1000, progress = FALSE, BPPARAM = p))) {
      stop("analyze_samples() gives different results with SerialParam() and ", class(p)[1], ".")
    }
  }
  sums <- bin_table(serial)
  for (s in names(genome)) {
    one <- analyze_region(files[[1]], s, 1, genome[[s]], width = 1000, progress = FALSE)
    if (!identical(sums$sum[sums$seqname == s], as.numeric(one$bins$sum))) {
      stop(sprintf("analyze_samples()' bins of %s on %s differ from analyze_region()'s.",
                   basename(files[[1]]), s))
    }
  }
  # Targets: each target's sum against samtools depth -a -J over the BED
  # file (every position of each 1000-position target, in order).
  x <- bin_table(analyze_samples(files[1], targets_bed, width = 1000, progress = FALSE))
  bed <- utils::read.table(targets_bed, col.names = c("seqname", "start0", "end"))
  depth <- as.numeric(system(sprintf(
    "samtools depth -a -J -b %s %s | awk '{s+=$3; n++; if (n==1000) {print s; s=0; n=0}}'",
    shQuote(targets_bed), shQuote(files[[1]])), intern = TRUE))
  mine <- x$sum[match(paste(bed$seqname, bed$start0 + 1), paste(x$seqname, x$start))]
  if (nrow(x) != nrow(bed) || !identical(mine, depth)) {
    stop("analyze_samples()' target sums differ from samtools depth -a -J's.")
  }
  # Draft assembly: the bedGraph of export_coverage() holds the covered runs
  # of bedtools genomecov -bga, and analyze_samples()' one-bin-per-sequence
  # sums their depth times width.
  track <- tempfile(fileext = ".bedGraph")
  export_coverage(draft, track, format = "bedGraph", progress = FALSE)
  mine <- utils::read.table(track, comment.char = "", skip = sum(startsWith(readLines(track, 5), "track")))
  peer <- utils::read.table(text = system(paste("bedtools genomecov -bga -ibam", shQuote(draft)),
                                          intern = TRUE))
  mine <- mine[mine$V4 != 0, ]
  peer <- peer[peer$V4 != 0, ]
  rownames(mine) <- rownames(peer) <- NULL
  if (!isTRUE(all.equal(mine, peer, check.attributes = FALSE))) {
    stop("export_coverage()'s bedGraph of the draft assembly differs from bedtools genomecov -bga.")
  }
  y <- bin_table(analyze_samples(draft, width = 1000, progress = FALSE))
  by_seq <- tapply((peer$V3 - peer$V2) * peer$V4, peer$V1, sum)
  if (length(unique(y$seqname)) != 20000L || sum(y$sum) != sum(by_seq) ||
      !identical(as.numeric(by_seq), y$sum[match(names(by_seq), y$seqname)])) {
    stop("analyze_samples()' sums over the draft assembly differ from bedtools genomecov -bga.")
  }
  cat("checked: analyze_samples() agrees with analyze_region() across back ends,",
      "with samtools depth on the targets, and export_coverage() and analyze_samples()",
      "with bedtools genomecov on the draft assembly\n")
})

# ---- commands --------------------------------------------------------------
# Tolvendra: one fresh R process per run, loading the package and its
# Bioconductor imports and warming up on a small region first, so that the
# time printed is the call's; the whole process is timed beside it.
# The call prints its elapsed time and its CPU time (user + system of the
# session; SnowParam's workers are not counted in it).
backends <- c(serial = "SerialParam()", snow = "SnowParam(2); bpstart(p)")
samples_command <- function(files, where, backend, width = 1000, call = TRUE) {
  r_command(sprintf(paste0(
    'suppressPackageStartupMessages({library(Tolvendra); library(BiocParallel); ',
    'library(SummarizedExperiment)}); files <- c(%s); ',
    'invisible(analyze_samples("%s", "chr1:1-10000", progress = FALSE)); ',
    'p <- %s; %s'),
    paste(sprintf('%s = "%s"', names(files), files), collapse = ", "), sample_bams[[1]],
    backends[[backend]],
    if (!call) 'cat(0, 0, "\\n")' else sprintf(paste0(
      't <- system.time(analyze_samples(files, %s, width = %.0f, progress = FALSE, ',
      'BPPARAM = p)); cat(t[["elapsed"]], t[["user.self"]] + t[["sys.self"]], "\\n")'),
      if (is.null(where)) "NULL" else sprintf('"%s"', where), width)))
}
# mosdepth: one process per sample, `workers` at a time.
mosdepth_samples_command <- function(files, where, workers, threads = 0, by = 1000) {
  runs <- sprintf("mosdepth -n --by %s -t %d %s %s",
                  if (is.null(where)) format(by, scientific = FALSE) else shQuote(where), threads,
                  shQuote(file.path(scratch, names(files))), shQuote(files))
  sprintf("sh -c %s", shQuote(sprintf("printf '%%s\\n' %s | xargs -d '\\n' -P %d -I{} sh -c {}",
                                      paste(shQuote(runs), collapse = " "), workers)))
}
export_command <- function(file) {
  r_command(sprintf(paste0('library(Tolvendra); export_coverage("%s", "%s", ',
                           'format = "bedGraph", progress = FALSE)'),
                    file, file.path(scratch, "draft.bedGraph")))
}

case <- function(case, samples, tool, backend = NA, threads = 0, workers = 1) {
  data.frame(case = case, samples = samples, tool = tool, backend = backend,
             threads = threads, workers = workers)
}
cases <- rbind(
  do.call(rbind, lapply(sample_counts, function(n) rbind(
    case("whole genome", n, "tolvendra", names(backends), workers = c(1, 2)),
    case("whole genome", n, "mosdepth", workers = 1:2)))),
  case("whole genome", 1, "mosdepth", threads = 1),
  case("targets", target_samples, "tolvendra", c("serial", "snow"), workers = 1:2),
  case("targets", target_samples, "mosdepth", workers = 1:2),
  case("draft assembly", 1, c("tolvendra", "export_coverage", "bedtools"), c("serial", NA, NA)),
  case("600-Mb sequence, 1 read", 1, c("tolvendra", "mosdepth"), c("serial", NA)),
  case("249-Mb sequence", 1, c("tolvendra", "mosdepth"), c("serial", NA)),
  case("start-up", 0, "tolvendra", "serial"))

command_of <- function(k) {
  files <- switch(k$case, "draft assembly" = c(draft = draft),
                  "600-Mb sequence, 1 read" = c(huge = huge), "249-Mb sequence" = c(long = long),
                  sample_bams[seq_len(k$samples)])
  where <- if (k$case == "targets") targets_bed
  width <- if (k$case == "600-Mb sequence, 1 read") 1e6 else 1000
  switch(k$tool,
    tolvendra = samples_command(files, where, k$backend, width, call = k$case != "start-up"),
    mosdepth = mosdepth_samples_command(files, where, k$workers, k$threads, width),
    export_coverage = export_command(files[[1]]),
    bedtools = sprintf("bedtools genomecov -bga -ibam %s", shQuote(files[[1]])))
}

for (f in c(sample_bams, draft, huge, long)) invisible(system(paste("cat", shQuote(f), "> /dev/null")))
runs <- list()
for (r in seq_len(repeats)) {
  for (i in seq_len(nrow(cases))) {
    k <- cases[i, ]
    t <- time_command(command_of(k), if (k$tool == "mosdepth") mosdepth_env else "",
                      output = k$tool == "tolvendra", limit = limit)
    said <- if (k$tool == "tolvendra" && !is.infinite(t$elapsed)) scan(text = t$said, quiet = TRUE) else c(NA, NA)
    t$call <- if (is.infinite(t$elapsed)) Inf else said[1]
    t$call_cpu <- said[2]
    runs[[length(runs) + 1L]] <- cbind(k, repeat_ = r,
                                       t[c("elapsed", "user", "sys", "rss_kib", "call", "call_cpu")])
    cat(sprintf("%-24s %d samples %-15s %-9s t%d w%d run %d: %6.2fs elapsed (call %s) %6.2fs user %8.0f KiB\n",
                k$case, k$samples, k$tool, k$backend, k$threads, k$workers, r, t$elapsed,
                if (is.na(t$call)) "-" else sprintf("%.2fs", t$call), t$user, t$rss_kib))
  }
}
# Where the time of a targets or draft-assembly call goes, in one process
# after a warm-up, profiled by Rprof: the whole call, and the time under
# the native engine (engine_run()'s total time); the rest is R.
samples_profile <- local({
  code <- sprintf(paste0(
    'suppressPackageStartupMessages({library(Tolvendra); library(BiocParallel); ',
    'library(SummarizedExperiment)}); ns <- asNamespace("Tolvendra"); ',
    'invisible(analyze_samples("%1$s", "chr1:1-10000", progress = FALSE)); ',
    'one <- function(files, where) {',
    '  f <- tempfile(); Rprof(f, interval = 0.01); ',
    # one reading thread: Rprof samples the process's CPU time, which a
    # second thread would count as more than the call's elapsed time
    '  call <- system.time(analyze_samples(files, where, width = 1000, threads = 1, ',
    '                                      progress = FALSE))[["elapsed"]]; ',
    '  Rprof(NULL); s <- summaryRprof(f); t <- s$by.total; ',
    '  engine <- sum(t[grepl("^.engine_run.$", rownames(t)), "total.time"]); ',
    '  c(call, engine, s$sampling.time) }; ',
    'cat(one(c(%2$s), "%3$s"), one("%4$s", NULL))'),
    sample_bams[[1]], paste(sprintf('"%s"', sample_bams[seq_len(target_samples)]), collapse = ", "),
    targets_bed, draft)
  v <- scan(text = system(r_command(code), intern = TRUE), quiet = TRUE)
  data.frame(case = c("targets", "draft assembly"), call = v[c(1, 4)], engine = v[c(2, 5)],
             profiled = v[c(3, 6)])
})
print(samples_profile)

saveRDS(list(runs = do.call(rbind, runs),
             info = list(genome = genome, reads = reads_per_sample, targets = target_count,
                         repeats = repeats, limit = limit, commit = commit,
                         load = readLines("/proc/loadavg"), profile = samples_profile)),
        file.path(store, "samples-runs.rds"))
