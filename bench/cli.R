# The command line as a pipeline runs it: `tolvendra depth -n --by 1000`
# against `mosdepth -n --by 1000`, each a fresh process (R's start and the
# package's loading count), three times each, on simulated single-end
# files of 1, 3 and 10 million reads over a 50-Mb sequence (bench/simulate.R).
# From the repository root, with the package installed:
#   Rscript bench/cli.R
# appends a section to bench/RESULTS.md and draws bench/cli.png.
# BENCH_CLI_READS overrides the read counts (e.g. 1e6,3e6).
suppressPackageStartupMessages(library(Tolvendra))
build <- file.path("bench", "build")
dir.create(build, recursive = TRUE, showWarnings = FALSE)
source(file.path("bench", "simulate.R"))
source(file.path("bench", "timing.R"))

reads <- as.numeric(strsplit(Sys.getenv("BENCH_CLI_READS", "1e6,3e6,1e7"), ",")[[1]])
repeats <- 3L
bams <- vapply(reads, function(n) simulated_bam(build, c(chr1 = 50e6), n), "")
script <- system.file("exec", "tolvendra", package = "Tolvendra")
libs <- paste(.libPaths(), collapse = .Platform$path.sep)
commands <- list(
  "tolvendra depth" = function(bam) {
    paste(shQuote(rscript), shQuote(script), "depth -n --by 1000",
          shQuote(file.path(scratch, "tolvendra")), shQuote(bam))
  },
  "mosdepth" = function(bam) {
    paste("mosdepth -n --by 1000", shQuote(file.path(scratch, "mosdepth")),
          shQuote(bam))
  },
  # with one decompression thread beside its reading one: as many threads
  # as tolvendra depth's default
  "mosdepth -t 1" = function(bam) {
    paste("mosdepth -t 1 -n --by 1000", shQuote(file.path(scratch, "mosdepth-t1")),
          shQuote(bam))
  })
envs <- c("tolvendra depth" = sprintf("R_LIBS=%s", shQuote(libs)),
          mosdepth = mosdepth_env, "mosdepth -t 1" = mosdepth_env)

# Every tool reads from the page cache, never from disk.
for (f in bams) invisible(system(paste("cat", shQuote(f), "> /dev/null")))
load_before <- readLines("/proc/loadavg")
runs <- list()
for (r in seq_len(repeats)) {
  for (i in seq_along(bams)) {
    for (tool in names(commands)) {
      t <- time_command(commands[[tool]](bams[i]), envs[[tool]], limit = 600)
      runs[[length(runs) + 1L]] <- data.frame(reads = reads[i], tool = tool,
                                              repeat_ = r, t)
      cat(sprintf("%8g reads  %-16s run %d: %6.2fs elapsed %6.2fs user %8.0f KiB\n",
                  reads[i], tool, r, t$elapsed, t$user, t$rss_kib))
    }
  }
}
runs <- do.call(rbind, runs)
load_after <- readLines("/proc/loadavg")

# The two tools' window means differ only by the deletions, which
# Tolvendra counts as covered and mosdepth does not: on the largest file,
# how much ours exceed mosdepth's, and whether any falls below (beyond
# their rounding to two decimals).
means <- function(tool) {
  utils::read.table(file.path(scratch, paste0(tool, ".regions.bed.gz")), sep = "\t")$V4
}
excess <- means("tolvendra") - means("mosdepth")
mean_depth <- mean(means("mosdepth"))
# Counted as mosdepth counts, on the smallest file, every file is mosdepth's.
same_files <- local({
  system(paste(envs[["tolvendra depth"]], commands[["tolvendra depth"]](bams[1]),
               "--deletions uncovered --overlap proper"))
  system(paste(mosdepth_env, commands$mosdepth(bams[1])))
  files <- c(".mosdepth.global.dist.txt", ".mosdepth.region.dist.txt",
             ".mosdepth.summary.txt", ".regions.bed.gz")
  all(vapply(files, function(f) {
    text <- function(tool) {
      con <- gzfile(file.path(scratch, paste0(tool, f)))
      on.exit(close(con))
      readLines(con)
    }
    identical(text("tolvendra"), text("mosdepth"))
  }, NA))
})

medians <- stats::aggregate(cbind(elapsed, user, rss_kib) ~ reads + tool, runs,
                            stats::median)
wide <- reshape(medians, idvar = "reads", timevar = "tool", direction = "wide")

png(file.path("bench", "cli.png"), width = 1400, height = 900, res = 200)
par(mar = c(4.5, 4.5, 3, 1))
colours <- c("tolvendra depth" = "#0072B2", mosdepth = "#D55E00", "mosdepth -t 1" = "#E69F00")
plot(range(reads), range(runs$elapsed), log = "xy", type = "n",
     xlab = "Reads (single-end 100 bp, 50-Mb sequence)",
     ylab = "Elapsed seconds, whole process (log)", xaxt = "n",
     main = "tolvendra depth and mosdepth, -n --by 1000", cex.main = 1)
mtext("whole fresh processes: medians (filled, joined) and each run (open)",
      side = 3, line = 0.3, cex = 0.8)
axis(1, at = reads, labels = sprintf("%gM", reads / 1e6))
grid(equilogs = FALSE)
for (tool in names(colours)) {
  m <- medians[medians$tool == tool, ]
  lines(m$reads, m$elapsed, col = colours[[tool]], lwd = 2, type = "b", pch = 19)
  each <- runs[runs$tool == tool, ]
  points(each$reads, each$elapsed, col = colours[[tool]], pch = 1)
}
legend("topleft", legend = names(colours), col = colours, lwd = 2, pch = 19,
       bty = "n")
invisible(dev.off())

row <- function(n) {
  w <- wide[wide$reads == n, ]
  sprintf("| %gM | %.2f s | %.2f s | %.2f | %.2f s | %.2f | %.2f s | %.2f s | %.0f MiB | %.0f MiB |",
          n / 1e6, w$`elapsed.tolvendra depth`, w$elapsed.mosdepth,
          w$`elapsed.tolvendra depth` / w$elapsed.mosdepth,
          w$`elapsed.mosdepth -t 1`,
          w$`elapsed.tolvendra depth` / w$`elapsed.mosdepth -t 1`,
          w$`user.tolvendra depth`, w$user.mosdepth,
          w$`rss_kib.tolvendra depth` / 1024, w$rss_kib.mosdepth / 1024)
}
section <- c(
  "",
  "## Command line: `tolvendra depth -n --by 1000` against `mosdepth -n --by 1000`",
  "",
  sprintf(paste("Whole processes as a pipeline runs them (R's start, loading the",
                "package and the work for Tolvendra), medians of %d fresh runs each,",
                "interleaved, on simulated single-end files over a 50-Mb sequence",
                "(bench/simulate.R: 10%% spliced, 5%% with a deletion), read from the",
                "page cache; each with its default threads (tolvendra depth: two",
                "reading threads where there are two cores; mosdepth: -t 0, one),",
                "and mosdepth -t 1 beside them. All write",
                "the distribution, the summary and the 1000-bp windows' means.",
                "Load average %s before, %s after (a shared 2-core machine).",
                "Made by `Rscript bench/cli.R` from commit %s."),
          repeats, strsplit(load_before, " ")[[1]][1],
          strsplit(load_after, " ")[[1]][1],
          system("git rev-parse --short HEAD", intern = TRUE)),
  "",
  "| reads | tolvendra elapsed | mosdepth elapsed | ratio | mosdepth -t 1 elapsed | ratio | tolvendra user | mosdepth user | tolvendra RSS | mosdepth RSS |",
  "|---|---|---|---|---|---|---|---|---|---|",
  vapply(reads, row, ""),
  "",
  sprintf(paste("Goal: at most mosdepth's elapsed time at each size, both",
                "with their default threads: %s (%s). Most of Tolvendra's time",
                "is the engine's pass over the file, read in two stretches at",
                "once; after it, on one thread, come the window sums, the",
                "sequence's statistics and depth histogram, and the means that",
                "lie halfway between printed values, summed again as mosdepth",
                "sums them; R's start and loading the package take about 0.2 s."),
          if (all(wide$`elapsed.tolvendra depth` <= wide$elapsed.mosdepth)) "met" else "**missed**",
          paste(sprintf("%.2fx at %gM", wide$`elapsed.tolvendra depth` / wide$elapsed.mosdepth,
                        wide$reads / 1e6), collapse = ", ")),
  "",
  sprintf(paste("On the largest file the windows' means exceed mosdepth's by",
                "%.3f on average (%.1f%% of the mean depth): the deletions, which",
                "Tolvendra counts as covered and mosdepth does not; %s below it."),
          mean(excess), 100 * mean(excess) / mean_depth,
          if (all(excess >= -0.01)) "none is" else "some are"),
  sprintf(paste("With `--deletions uncovered --overlap proper` (mosdepth's",
                "counting), the distributions, the summary and the windows'",
                "means on the %gM file %s mosdepth's, line for line."),
          reads[1] / 1e6, if (same_files) "are" else "are **not**"),
  "",
  "![tolvendra depth against mosdepth](cli.png)",
  "")
cat(section, sep = "\n", file = file.path("bench", "RESULTS.md"), append = TRUE)
cat(section, sep = "\n")
