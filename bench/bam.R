# Reading one BAM file: Tolvendra's analyze_region() side by side with
# mosdepth, megadepth and samtools on simulated files. Every run is a fresh
# process, so start-up and package loading count, timed by /usr/bin/time
# (bench/timing.R).
# Sourced by bench/run.R, which sets `build` and `quick`; leaves the runs in
# `bam_runs` and saves them with notes on the run to bam-runs.rds in `store`.
source(file.path("bench", "simulate.R"))
source(file.path("bench", "timing.R"))

repeats <- if (quick) 1L else 3L
limit <- 300
chr1 <- c(chr1 = if (quick) 10e6 else 50e6)
read_counts <- if (quick) c(1e5, 3e5, 1e6) else c(1e6, 3e6, 1e7, 3e7)
window <- if (quick) c(4000001, 5000000) else c(20000001, 21000000)
long_chr1 <- c(chr1 = 249250621)
long_reads <- if (quick) 2e5 else 2e6
huge_chr1 <- c(chr1 = 600e6)

bams <- vapply(read_counts, function(n) simulated_bam(build, chr1, n), "")
long_bam <- simulated_bam(build, long_chr1, long_reads)
gap_bam <- long_gap_bam(build)
huge_bam <- single_read_bam(build, huge_chr1[[1]])

# ---- commands ------------------------------------------------------------
# Two builds of the package: the one in R's library path (built on the
# system's htslib with libdeflate, the default) and, when BENCH_RHTSLIB_LIB
# names a library holding a build made with TOLVENDRA_HTSLIB=rhtslib, that
# one too (its runs get R_LIBS pointed at that library).
rhtslib_lib <- Sys.getenv("BENCH_RHTSLIB_LIB")
build_info <- function(env = "") {
  system(paste(env, r_command('library(Tolvendra); tolvendra_info()')), intern = TRUE)[2]
}
# `threads` counts the threads that read the file: 2 is mosdepth's -t 1
# (one decompression thread beside the reading one), 1 its -t 0.
tolvendra_code <- function(bam, from, to, threads = 1, width = 1000) {
  sprintf(paste0('library(Tolvendra); x <- analyze_region("%s", "chr1", %.0f, %.0f, ',
                 'width = %.0f, progress = FALSE, threads = %d)'), bam, from, to, width, threads)
}
mosdepth_command <- function(bam, threads, by = 1000) {
  paste("mosdepth -n --by", format(by, scientific = FALSE), "-t", threads,
        shQuote(file.path(scratch, "mosdepth")), shQuote(bam))
}
megadepth_command <- function(bam, threads) {
  paste("megadepth", shQuote(bam), "--annotation 1000 --op sum --filter-out 1796 --threads", threads)
}
commands <- list(
  "tolvendra threads = 1" = function(bam, from, to) r_command(tolvendra_code(bam, from, to, 1)),
  "tolvendra threads = 2" = function(bam, from, to) r_command(tolvendra_code(bam, from, to, 2)),
  "tolvendra Rhtslib threads = 1" = function(bam, from, to) r_command(tolvendra_code(bam, from, to, 1)),
  "tolvendra Rhtslib threads = 2" = function(bam, from, to) r_command(tolvendra_code(bam, from, to, 2)),
  "mosdepth -t 0" = function(bam, from, to) mosdepth_command(bam, 0),
  "mosdepth -t 1" = function(bam, from, to) mosdepth_command(bam, 1),
  "tolvendra threads = 1, width 1e6" = function(bam, from, to) {
    r_command(tolvendra_code(bam, from, to, 1, width = 1e6))
  },
  "mosdepth -t 0 --by 1000000" = function(bam, from, to) mosdepth_command(bam, 0, 1e6),
  "megadepth --threads 1" = function(bam, from, to) megadepth_command(bam, 1),
  "megadepth --threads 2" = function(bam, from, to) megadepth_command(bam, 2),
  samtools = function(bam, from, to) {
    sprintf("samtools depth -a -J -r chr1:%.0f-%.0f %s", from, to, shQuote(bam))
  }
)

# ---- checks ----------------------------------------------------------------
# Tolvendra must count what `samtools depth -a -J` counts (split at N,
# deletions covered, unmapped/secondary/QC-failed/duplicate reads left out):
# the same 1000-position bin sums over the whole sequence, and the same
# per-base depth over the window.
samtools_bin_sums <- function(bam, seqname, width) {
  awk <- sprintf("awk '{s[int(($2-1)/%.0f)]+=$3} END{for(i=0;i<length(s);i++) print s[i]}'", width)
  as.numeric(system(sprintf("samtools depth -a -J -r %s %s | %s", seqname, shQuote(bam), awk),
                    intern = TRUE))
}
check_against_samtools <- function(bam) {
  x <- analyze_region(bam, "chr1", 1, chr1[[1]], width = 1000, progress = FALSE)
  sums <- samtools_bin_sums(bam, "chr1", 1000)
  if (!identical(as.numeric(x$bins$sum), sums)) {
    bad <- which(as.numeric(x$bins$sum) != sums)
    stop(sprintf(paste("Tolvendra's 1000-position bin sums over chr1 of %s disagree",
                       "with samtools depth -a -J in %d of %d bins; first at bin %d:",
                       "%g against %g."), bam, length(bad), length(sums), bad[1],
                 x$bins$sum[bad[1]], sums[bad[1]]))
  }
  w <- analyze_region(bam, "chr1", window[1], window[2], progress = FALSE, threads = 2)
  depth <- as.numeric(system(sprintf("samtools depth -a -J -r chr1:%.0f-%.0f %s | cut -f3",
                                     window[1], window[2], shQuote(bam)), intern = TRUE))
  if (!identical(as.numeric(w$coverage), depth)) {
    bad <- which(as.numeric(w$coverage) != depth)
    stop(sprintf(paste("Tolvendra's per-base coverage of chr1:%.0f-%.0f of %s disagrees",
                       "with samtools depth -a -J at %d positions; first at %.0f:",
                       "%d against %g."), window[1], window[2], bam, length(bad),
                 window[1] + bad[1] - 1, w$coverage[bad[1]], depth[bad[1]]))
  }
  cat(sprintf("checked: Tolvendra agrees with samtools depth -a -J on %s (%d bins, %d positions)\n",
              basename(bam), length(sums), length(depth)))
}
check_against_samtools(bams[1])
# The single read on 600 Mb: the 1e6-position bin sums against samtools
# depth's covered positions summed by bin (mosdepth rounds its bin means to
# two decimals, which hides one read in a bin of 1e6).
local({
  x <- analyze_region(huge_bam, "chr1", width = 1e6, progress = FALSE)
  d <- utils::read.table(text = system(paste("samtools depth -J", shQuote(huge_bam)), intern = TRUE))
  sums <- numeric(nrow(x$bins))
  by_bin <- tapply(d$V3, (d$V2 - 1) %/% 1e6 + 1, sum)
  sums[as.integer(names(by_bin))] <- by_bin
  if (!identical(as.numeric(x$bins$sum), sums)) {
    stop("Tolvendra's bin sums over the 600-Mb sequence disagree with samtools depth's.")
  }
  cat("checked: Tolvendra agrees with samtools depth on the 600-Mb single-read file\n")
})

# ---- runs ------------------------------------------------------------------
whole <- c("tolvendra threads = 1", "tolvendra threads = 2",
           if (nzchar(rhtslib_lib)) c("tolvendra Rhtslib threads = 1", "tolvendra Rhtslib threads = 2"),
           "mosdepth -t 0", "mosdepth -t 1", "megadepth --threads 1", "megadepth --threads 2")
jobs <- rbind(
  do.call(rbind, lapply(seq_along(bams), function(i) rbind(
    data.frame(job = "whole sequence", reads = read_counts[i], tool = whole,
               bam = bams[i], from = 1, to = chr1[[1]]),
    data.frame(job = "1-Mb window", reads = read_counts[i],
               tool = c("tolvendra threads = 1", "samtools"),
               bam = bams[i], from = window[1], to = window[2])))),
  data.frame(job = "249-Mb sequence", reads = long_reads,
             tool = c("tolvendra threads = 1", "mosdepth -t 0"),
             bam = long_bam, from = 1, to = long_chr1[[1]]),
  data.frame(job = "600-Mb sequence, 1 read", reads = 1,
             tool = c("tolvendra threads = 1, width 1e6", "mosdepth -t 0 --by 1000000"),
             bam = huge_bam, from = 1, to = huge_chr1[[1]]),
  data.frame(job = "50 long-gap reads", reads = 50, tool = c("tolvendra threads = 1", "mosdepth -t 0"),
             bam = gap_bam, from = 1, to = 50e6),
  data.frame(job = "start-up", reads = 0, tool = c("R", "tolvendra"),
             bam = NA, from = NA, to = NA)
)
# Start-up: R alone, and R loading the package, reading nothing.
start_up <- c(R = "NULL", tolvendra = "library(Tolvendra)")
jobs$command <- vapply(seq_len(nrow(jobs)), function(i) {
  if (jobs$job[i] == "start-up") return(r_command(start_up[[jobs$tool[i]]]))
  commands[[jobs$tool[i]]](jobs$bam[i], jobs$from[i], jobs$to[i])
}, "")
jobs$env <- ifelse(startsWith(jobs$tool, "mosdepth"), mosdepth_env,
                   ifelse(grepl("Rhtslib", jobs$tool), sprintf("R_LIBS=%s", shQuote(rhtslib_lib)), ""))

# Every tool reads from the page cache, never from disk.
for (f in unique(stats::na.omit(jobs$bam))) invisible(system(paste("cat", shQuote(f), "> /dev/null")))

load_before <- readLines("/proc/loadavg")
runs <- list()
for (r in seq_len(repeats)) {
  for (i in seq_len(nrow(jobs))) {
    t <- time_command(jobs$command[i], jobs$env[i], limit = limit)
    runs[[length(runs) + 1L]] <- cbind(jobs[i, c("job", "reads", "tool")], repeat_ = r, t)
    cat(sprintf("%-18s %9g reads  %-28s run %d: %6.2fs elapsed %6.2fs user %6.2fs sys %8.0f KiB\n",
                jobs$job[i], jobs$reads[i], jobs$tool[i], r, t$elapsed, t$user, t$sys, t$rss_kib))
  }
}
bam_runs <- do.call(rbind, runs)

# Where Tolvendra's time goes, step by step in one process on the largest
# file: bench/profile-region.R, which the report reads from
# region-profile.rds.
status <- system2("Rscript", file.path("bench", "profile-region.R"),
                  env = c(sprintf("BENCH_STORE=%s", shQuote(store)),
                          sprintf("BENCH_PROFILE_BAM=%s", shQuote(bams[length(bams)]))))
if (status != 0) stop("bench/profile-region.R failed")

# The floor of decoding alone, outside R: bench/decode.c reads every record
# of the largest file with sam_read1(), linked against Rhtslib's static
# htslib (what this build of Tolvendra uses) and against the system's
# libhts.so (libdeflate; mosdepth's and megadepth's), one thread each.
decode_floor <- local({
  rhtslib <- system.file(package = "Rhtslib")
  builds <- c(
    rhtslib = sprintf("-I%s/include %s/usrlib/libhts.a -lz -lbz2 -llzma -lcurl -lpthread -lm",
                      rhtslib, rhtslib),
    system = "-lhts")
  do.call(rbind, lapply(names(builds), function(b) {
    exe <- file.path(build, paste0("decode-", b))
    if (system(sprintf("cc -O2 -o %s bench/decode.c %s", shQuote(exe), builds[[b]])) != 0) return(NULL)
    t <- do.call(rbind, lapply(seq_len(repeats), function(r) {
      time_command(paste(shQuote(exe), shQuote(bams[length(bams)])))
    }))
    data.frame(htslib = b, elapsed = stats::median(t$elapsed), user = stats::median(t$user))
  }))
})
print(decode_floor)

bam_info <- list(
  load = c(before = load_before, after = readLines("/proc/loadavg")),
  repeats = repeats, quick = quick, window = window, chr1 = chr1[[1]],
  long_chr1 = long_chr1[[1]], huge_chr1 = huge_chr1[[1]], gap_chr1 = 50e6,
  decode_floor = decode_floor, htslib = htslib_build,
  builds = c(default = build_info(),
             rhtslib = if (nzchar(rhtslib_lib)) build_info(sprintf("R_LIBS=%s", shQuote(rhtslib_lib)))),
  versions = c(
    samtools = system("samtools --version | head -1", intern = TRUE),
    mosdepth = system(paste(mosdepth_env, "mosdepth --version"), intern = TRUE),
    megadepth = system("megadepth --version", intern = TRUE),
    Tolvendra = paste("Tolvendra", packageVersion("Tolvendra"), "from", commit)))
saveRDS(list(runs = bam_runs, info = bam_info), file.path(store, "bam-runs.rds"))
