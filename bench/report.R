# Writes RESULTS.md and the plots into `out_dir` from the results that
# bench/run.R saved in `store`. On its own (Rscript bench/report.R) it
# rewrites bench/RESULTS.md from the last full run's results.
if (!exists("store")) {
  store <- file.path("bench", "build")
  out_dir <- "bench"
}
saved <- function(name) {
  path <- file.path(store, name)
  if (file.exists(path)) readRDS(path)
}
results <- saved("results.rds")
bam <- saved("bam-runs.rds")
samples <- saved("samples-runs.rds")
paired <- saved("paired-runs.rds")
features <- saved("features-runs.rds")

fmt_time <- function(s) format(bench::as_bench_time(s))
fmt_mem <- function(b) format(bench::as_bench_bytes(b))
verdict <- function(ok) if (ok) "met" else "**missed**"

# A dot chart of one value per tool on a log axis, the tools named on the
# left (when `labels`), each point labelled with its value.
dot_panel <- function(v, labels, cols, pchs, xlab, main, fmt, show_labels = TRUE) {
  y <- rev(seq_along(v))
  graphics::plot(v, y, log = "x", type = "n", yaxt = "n", ylab = "", xlab = xlab, main = main,
                 xlim = range(v) * c(0.6, 1.8), ylim = c(0.5, length(v) + 0.5), cex.main = 1)
  graphics::abline(h = y, col = "grey90", lty = 3)
  graphics::abline(v = graphics::axTicks(1), col = "grey90", lty = 3)
  graphics::points(v, y, pch = pchs, col = cols, cex = 1.6)
  if (show_labels) graphics::axis(2, at = y, labels = labels, las = 1, cex.axis = 0.9)
  graphics::text(v, y, sprintf(fmt, v), pos = 3, cex = 0.8, offset = 0.7)
}

cpu <- grep("^model name", readLines("/proc/cpuinfo"), value = TRUE)[1]
mem <- grep("^MemTotal", readLines("/proc/meminfo"), value = TRUE)
machine <- c(
  sprintf("- CPU: %s, %d cores", trimws(sub(".*:", "", cpu)), parallel::detectCores()),
  sprintf("- Memory: %s", trimws(sub(".*:", "", mem))),
  sprintf("- %s, %s; bench %s, IRanges %s", R.version.string, R.version$platform,
          packageVersion("bench"), packageVersion("IRanges")),
  sprintf("- Run on %s", format(Sys.time(), "%Y-%m-%d %H:%M UTC", tz = "UTC"))
)

routine_lines <- bam_lines <- samples_lines <- paired_lines <- features_lines <- routines_kept <- NULL
if (!is.null(results)) {
  source(file.path("bench", "report-routines.R"))
} else if (file.exists(file.path(out_dir, "RESULTS.md"))) {
  # No saved routine results here: keep the routines part of the last
  # report as it was written.
  last <- readLines(file.path(out_dir, "RESULTS.md"))
  from <- match("## Targets", last)
  to <- grep("^## (Reading|Many samples|Paired|Features)", last)
  to <- if (length(to)) to[1] - 1L else length(last)
  if (!is.na(from) && to >= from) routine_lines <- last[from:to]
  # Which commit the kept routines part was measured at: as the last
  # report said, or as its reading part named the package then.
  said <- regmatches(last, regexpr("routines part was measured at commit `[0-9a-f]+`", last))
  then <- if (length(said)) sub(".*`([0-9a-f]+)`", "\\1", said[1]) else {
    named <- regmatches(last, regexpr("Tolvendra [0-9.]+ from [0-9a-f]+", last))
    if (length(named)) sub(".* from ", "", named[1])
  }
  routines_kept <- sprintf("The routines part was not re-measured in this run: it is kept from the last report%s.",
                           if (length(then)) sprintf(" (the routines part was measured at commit `%s`)", then) else "")
}
if (!is.null(samples)) source(file.path("bench", "report-samples.R"))
if (!is.null(bam)) source(file.path("bench", "report-bam.R"))
if (!is.null(paired)) source(file.path("bench", "report-paired.R"))
if (!is.null(features)) source(file.path("bench", "report-features.R"))

contents <- c(if (!is.null(routine_lines)) "the four routines on vectors in memory, side by side with their literal algorithms and peers (from Targets to Tables)",
              if (!is.null(bam_lines)) "reading one BAM file with `analyze_region()`, from a fresh process, side by side with mosdepth, megadepth and samtools (Reading one BAM file)",
              if (!is.null(samples_lines)) "reading many samples with `analyze_samples()` and `export_coverage()`, side by side with mosdepth and bedtools (Many samples)",
              if (!is.null(paired_lines)) "paired-end reads counted per mate, with overlaps once and as fragments, side by side with samtools and mosdepth (Paired-end reads)",
              if (!is.null(features_lines)) "statistics over many small features and depth distributions with `summarize_features()` and `depth_distribution()`, side by side with mosdepth and bedtools (Features and depth distributions)")
writeLines(c("# Benchmark results", "",
             "Produced by `Rscript bench/run.R` on:", "", machine, "",
             "Timings were taken on a shared machine: two cores, with other sessions building and checking the package (R CMD check) at the same time, so elapsed times carry their load; CPU times (user + system) are given beside them and their ratios are the steadier measure.", "",
             if (exists("commit")) c(sprintf("Tolvendra measured: the package at commit `%s`, installed from `git archive` of that commit (the reading parts' own notes say which htslib each build uses).%s", commit,
                                             if (is.null(routines_kept)) "" else paste0(" ", routines_kept)), ""),
             paste0("Parts: ", paste(contents, collapse = "; "), "."), "",
             routine_lines, bam_lines, samples_lines, paired_lines, features_lines),
           file.path(out_dir, "RESULTS.md"))
cat(sprintf("Wrote %s and the plots\n", file.path(out_dir, "RESULTS.md")))
