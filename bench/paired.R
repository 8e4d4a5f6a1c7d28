# Paired-end reads: what counting each pair's overlap once, or each pair as
# its whole fragment, costs analyze_region() over a whole sequence, side
# by side with samtools depth (-J, and -s for overlaps) and mosdepth
# (which corrects mate overlaps by default; --fast-mode does not).
# Sourced by bench/run.R, which sets `build`, `store` and `quick`. Saves
# the runs to paired-runs.rds in `store`.
source(file.path("bench", "simulate.R"))
source(file.path("bench", "timing.R"))

repeats <- as.integer(Sys.getenv("BENCH_REPEATS", if (quick) "1" else "3"))
limit <- 300
paired_len <- if (quick) 10e6 else 50e6
pairs <- if (quick) 5e5 else 5e6
fragment_range <- c(150L, 500L)
paired_window <- if (quick) c(4000001, 5000000) else c(20000001, 21000000)

# Proper FR pairs of 2 x 100 bp on one sequence, fragment lengths uniform
# over `fragment_range`: the left mate forward, the right one reverse, half
# of the pairs with the first mate on the left. SAM text is written in
# chunks, vectorised, and sorted by samtools sort -@2.
paired_bam <- function(build, len, pairs, seed = 18L) {
  path <- file.path(build, sprintf("sim-paired-%gMb-%gM-pairs-%d-%dbp-seed%d.bam", len / 1e6,
                                   pairs / 1e6, fragment_range[1], fragment_range[2], seed))
  if (file.exists(path) && file.exists(paste0(path, ".bai"))) return(path)
  message("simulating ", path)
  set.seed(seed)
  tmp <- paste0(path, ".tmp")
  con <- pipe(sprintf("samtools sort -@2 -m 1G -T %s -o %s -", shQuote(paste0(path, ".sort")),
                      shQuote(tmp)), "w")
  writeLines(c("@HD\tVN:1.6\tSO:unsorted", sprintf("@SQ\tSN:chr1\tLN:%.0f", len)), con)
  chunk <- 1e6
  for (from in seq(1, pairs, by = chunk)) {
    n <- min(chunk, pairs - from + 1)
    id <- sprintf("p%.0f", from + seq_len(n) - 1)
    size <- sample(fragment_range[1]:fragment_range[2], n, replace = TRUE)
    left <- sample.int(len - fragment_range[2] - 1L, n, replace = TRUE)
    right <- left + size - read_length
    first_left <- runif(n) < 0.5
    # 99/147: first mate forward on the left; 163/83: second mate on the left.
    flag_left <- ifelse(first_left, 99L, 163L)
    flag_right <- ifelse(first_left, 147L, 83L)
    writeLines(c(
      sprintf("%s\t%d\tchr1\t%d\t60\t100M\t=\t%d\t%d\t*\t*", id, flag_left, left, right, size),
      sprintf("%s\t%d\tchr1\t%d\t60\t100M\t=\t%d\t%d\t*\t*", id, flag_right, right, left, -size)),
      con)
  }
  status <- close(con)
  if (!identical(as.integer(status), 0L)) stop("samtools sort failed writing ", path)
  file.rename(tmp, path)
  stopifnot(system2("samtools", c("index", shQuote(path))) == 0)
  path
}
pbam <- paired_bam(build, paired_len, pairs)

# ---- checks ----------------------------------------------------------------
# Over a window: the default counts what samtools depth -a -J counts, and
# overlap = "once" what samtools depth -a -J -s counts (mates without gaps).
local({
  region <- sprintf("chr1:%.0f-%.0f", paired_window[1], paired_window[2])
  peer <- function(flags) {
    as.integer(system(sprintf("samtools depth -a %s -r %s %s | cut -f3", flags, region,
                              shQuote(pbam)), intern = TRUE))
  }
  for (k in list(list(overlap = "count", flags = "-J"), list(overlap = "once", flags = "-J -s"))) {
    x <- analyze_region(pbam, "chr1", paired_window[1], paired_window[2], progress = FALSE,
                        overlap = k$overlap)
    d <- peer(k$flags)
    if (!identical(as.integer(x$coverage), d)) {
      bad <- which(as.integer(x$coverage) != d)
      stop(sprintf("overlap = \"%s\" disagrees with samtools depth -a %s over %s at %d positions; first at %.0f: %d against %d.",
                   k$overlap, k$flags, region, length(bad), paired_window[1] + bad[1] - 1,
                   x$coverage[bad[1]], d[bad[1]]))
    }
  }
  cat(sprintf("checked: analyze_region() with overlap = \"count\" / \"once\" equals samtools depth -a -J / -a -J -s over %s\n",
              region))
})
# How much overlap there is to correct: the whole sequence's depth with
# every mate counted, and with overlaps counted once.
paired_bases <- local({
  a <- analyze_region(pbam, "chr1", width = 1e6, progress = FALSE)
  b <- analyze_region(pbam, "chr1", width = 1e6, progress = FALSE, overlap = "once")
  f <- analyze_region(pbam, "chr1", width = 1e6, progress = FALSE, fragments = TRUE)
  c(count = sum(a$bins$sum), once = sum(b$bins$sum), fragments = sum(f$bins$sum))
})
print(paired_bases)

# ---- runs ------------------------------------------------------------------
paired_code <- function(option) {
  sprintf(paste0('library(Tolvendra); x <- analyze_region("%s", "chr1", 1, %.0f, ',
                 'width = 1000, progress = FALSE, threads = 1%s)'), pbam, paired_len, option)
}
paired_tools <- c(
  "tolvendra default" = r_command(paired_code("")),
  "tolvendra overlap = \"once\"" = r_command(paired_code(', overlap = "once"')),
  "tolvendra fragments = TRUE" = r_command(paired_code(", fragments = TRUE")),
  "samtools depth -a -J" = sprintf("samtools depth -a -J -r chr1 %s", shQuote(pbam)),
  "samtools depth -a -J -s" = sprintf("samtools depth -a -J -s -r chr1 %s", shQuote(pbam)),
  "mosdepth -t 0" = sprintf("mosdepth -n --by 1000 -t 0 %s %s", shQuote(file.path(scratch, "paired")),
                            shQuote(pbam)),
  "mosdepth -t 0 --fast-mode" = sprintf("mosdepth -n --fast-mode --by 1000 -t 0 %s %s",
                                        shQuote(file.path(scratch, "paired-fast")), shQuote(pbam)))
invisible(system(paste("cat", shQuote(pbam), "> /dev/null")))
paired_load <- readLines("/proc/loadavg")
runs <- list()
for (r in seq_len(repeats)) {
  for (tool in names(paired_tools)) {
    t <- time_command(paired_tools[[tool]], if (startsWith(tool, "mosdepth")) mosdepth_env else "",
                      limit = limit)
    runs[[length(runs) + 1L]] <- cbind(tool = tool, repeat_ = r, t)
    cat(sprintf("paired %-28s run %d: %6.2fs elapsed %6.2fs user %6.2fs sys %8.0f KiB\n",
                tool, r, t$elapsed, t$user, t$sys, t$rss_kib))
  }
}
saveRDS(list(runs = do.call(rbind, runs),
             info = list(len = paired_len, pairs = pairs, fragments = fragment_range,
                         window = paired_window, bases = paired_bases, repeats = repeats,
                         commit = commit, file = basename(pbam),
                         load = c(before = paired_load, after = readLines("/proc/loadavg")))),
        file.path(store, "paired-runs.rds"))
