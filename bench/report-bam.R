# The BAM reading part of RESULTS.md (`bam_lines`) and its plot, from
# `bam` (runs saved by bench/bam.R), with the many-samples part
# (`samples_lines`) when there is one. Sourced by bench/report.R.
info <- bam$info
keys <- c("job", "reads", "tool")
bam_summary <- merge(
  stats::aggregate(cbind(elapsed, user, sys) ~ job + reads + tool, bam$runs, stats::median),
  stats::aggregate(rss_kib ~ job + reads + tool, bam$runs, max), by = keys)
bam_summary$mb <- bam_summary$rss_kib * 1024 / 1e6
cell <- function(job, reads, tool, what = "elapsed") {
  x <- bam_summary[bam_summary$job == job & bam_summary$reads == reads &
                     bam_summary$tool == tool, what]
  if (length(x) == 1L) x else NA_real_
}
read_label <- function(n) {
  ifelse(n >= 1e6, sprintf("%gM", n / 1e6), ifelse(n >= 1e3, sprintf("%gk", n / 1e3), sprintf("%g", n)))
}
# "mosdepth" is the -t 1 run, the one the targets name.
tool_label <- function(tool) ifelse(tool == "mosdepth", "mosdepth -t 1", tool)
sizes <- sort(unique(bam_summary$reads[bam_summary$job == "whole sequence"]))
mb_of <- function(positions) sprintf("%g Mb", round(positions / 1e6, 1))

# ---- targets -----------------------------------------------------------------
whole_ratio_to <- function(tool, what = "elapsed") vapply(sizes, function(n) {
  cell("whole sequence", n, "tolvendra", what) / cell("whole sequence", n, tool, what)
}, 0)
whole_ratio <- whole_ratio_to("mosdepth")
window_time <- vapply(sizes, function(n) cell("1-Mb window", n, "tolvendra"), 0)
whole_mb <- max(bam_summary$mb[bam_summary$tool == "tolvendra" &
                                 bam_summary$job %in% c("whole sequence", "1-Mb window")])
long_reads <- unique(bam_summary$reads[bam_summary$job == "249-Mb window"])
long_mb <- cell("249-Mb window", long_reads, "tolvendra", "mb")
gap_time <- cell("50 long-gap reads", 50, "tolvendra")
log_slope <- function(tool) {
  d <- bam_summary[bam_summary$job == "whole sequence" & bam_summary$tool == tool, ]
  unname(stats::coef(stats::lm(log10(elapsed) ~ log10(reads), data = d))[2])
}
per_million <- function(tool) {
  d <- bam_summary[bam_summary$job == "whole sequence" & bam_summary$tool == tool, ]
  d <- d[order(d$reads), ]
  (d$elapsed[nrow(d)] - d$elapsed[1]) / (d$reads[nrow(d)] - d$reads[1]) * 1e6
}
both <- function(x, fmt) paste(sprintf(fmt, x), collapse = " / ")
at_sizes <- paste(read_label(sizes), collapse = " / ")

bam_targets <- c(
  "| target | measured | |",
  "|---|---|---|",
  sprintf("| `analyze_region()` over the whole sequence with `threads = 2` within 1.5x of `mosdepth -n --by 1000 -t 1` elapsed, at %s reads | %s (user CPU: %s)%s | %s |",
          at_sizes, both(whole_ratio, "%.2fx"), both(whole_ratio_to("mosdepth", "user"), "%.2fx"),
          if (isTRUE(info$threads)) {
            sprintf("; with `threads = 1`, the default, against `-t 0`: %s", both(vapply(sizes, function(n) {
              cell("whole sequence", n, "tolvendra threads = 1") / cell("whole sequence", n, "mosdepth -t 0")
            }, 0), "%.2fx"))
          } else "",
          verdict(all(whole_ratio <= 1.5))),
  sprintf("| 1-Mb window from a fresh `Rscript` under 1 s, at %s reads | %s | %s |",
          at_sizes, both(window_time, "%.2f s"), verdict(all(window_time < 1))),
  sprintf("| peak memory at most 1.2 GB over the %s sequence (whole or window, any size) | %.0f MB | %s |",
          mb_of(info$chr1), whole_mb, verdict(whole_mb <= 1200)),
  sprintf("| peak memory at most 4 GB over a %s window (%s reads) | %.0f MB | %s |",
          mb_of(info$long_chr1), read_label(long_reads), long_mb, verdict(long_mb <= 4000)),
  sprintf("| 50 reads with 990,000-position gaps, one per 1-Mb chunk of %s, under 2 s | %.2f s | %s |",
          mb_of(info$gap_chr1), gap_time, verdict(gap_time < 2)),
  sprintf("| time linear in reads, whole sequence | log-log slope %.2f (mosdepth %.2f); %.2f s per extra million reads (mosdepth %.2f s) | %s |",
          log_slope("tolvendra"), log_slope("mosdepth"), per_million("tolvendra"),
          per_million("mosdepth"), verdict(log_slope("tolvendra") < 1.2))
)

# ---- tables ------------------------------------------------------------------
job_table <- function(job, reads) {
  d <- bam_summary[bam_summary$job == job & bam_summary$reads == reads, ]
  d <- d[order(d$tool != "tolvendra", d$elapsed), ]
  mos <- cell(job, reads, "mosdepth")
  title <- switch(job,
    "whole sequence" = sprintf("Whole sequence (%s), %s reads", mb_of(info$chr1), read_label(reads)),
    "1-Mb window" = sprintf("1-Mb window (chr1:%.0f-%.0f), %s reads", info$window[1],
                            info$window[2], read_label(reads)),
    "249-Mb window" = sprintf("Whole %s sequence, %s reads", mb_of(info$long_chr1), read_label(reads)),
    "50 long-gap reads" = sprintf("50 long-gap reads over %s", mb_of(info$gap_chr1)),
    "start-up" = "Start-up only: a fresh `Rscript` loading the package, reading nothing")
  c(sprintf("#### %s", title), "",
    "| tool | elapsed | user CPU | system CPU | peak memory | elapsed / mosdepth |",
    "|---|---:|---:|---:|---:|---:|",
    sprintf("| %s | %.2f s | %.2f s | %.2f s | %.0f MB | %s |", tool_label(d$tool), d$elapsed, d$user, d$sys, d$mb,
            if (is.na(mos)) "" else sprintf("%.2fx", d$elapsed / mos)),
    "")
}
job_order <- c("whole sequence", "1-Mb window", "249-Mb window", "50 long-gap reads", "start-up")
jobs_seen <- unique(bam_summary[c("job", "reads")])
jobs_seen <- jobs_seen[order(match(jobs_seen$job, job_order), jobs_seen$reads), ]
bam_tables <- unlist(Map(job_table, jobs_seen$job, jobs_seen$reads), use.names = FALSE)

# ---- where the time goes -----------------------------------------------------
p <- info$profile
largest <- max(sizes)
bam_notes <- c(
  sprintf("A fresh `Rscript` that only loads Tolvendra takes %.2f s (R alone: %.2f s; loading GenomicAlignments: %.2f s), which is the floor of every Tolvendra and GenomicAlignments run above.",
          cell("start-up", 0, "tolvendra"), cell("start-up", 0, "R"),
          cell("start-up", 0, "GenomicAlignments")),
  "",
  sprintf(paste("Inside one R process, after a first call, on the %s-read file over the whole %s sequence (best of two):",
                "`analyze_region()` takes %.2f s; reading the coverage (`region_coverage()`) %.2f s of it,",
                "of which %.2f s go to decoding the reads in the native reader (`scan_region()` with nothing to do per batch)",
                "and %.2f s to adding their blocks into the coverage; the remaining %.2f s go to binning, region mining and the checks, over all %s positions."),
          read_label(largest), mb_of(info$chr1), p[["call"]], p[["read"]], p[["decode"]],
          p[["read"]] - p[["decode"]], p[["call"]] - p[["read"]],
          format(info$chr1, big.mark = ",", scientific = FALSE)),
  "",
  sprintf("Over the whole sequence, Tolvendra used %s s of CPU for %s s elapsed at %s reads; mosdepth %s s for %s s.",
          both(vapply(sizes, function(n) cell("whole sequence", n, "tolvendra", "user"), 0), "%.2f"),
          both(vapply(sizes, function(n) cell("whole sequence", n, "tolvendra"), 0), "%.2f"),
          at_sizes,
          both(vapply(sizes, function(n) cell("whole sequence", n, "mosdepth", "user"), 0), "%.2f"),
          both(vapply(sizes, function(n) cell("whole sequence", n, "mosdepth"), 0), "%.2f")),
  ""
)

# ---- plot ----------------------------------------------------------------------
bam_tools <- intersect(c("tolvendra", "tolvendra threads = 1", "mosdepth", "mosdepth -t 0",
                         "megadepth", "samtools", "GenomicAlignments"), bam_summary$tool)
tool_cols <- stats::setNames(c("black", "grey55", grDevices::hcl.colors(5, "Dark 3")),
                             c("tolvendra", "tolvendra threads = 1", "mosdepth", "mosdepth -t 0",
                               "megadepth", "samtools", "GenomicAlignments"))[bam_tools]
plot_file <- "bam-reading.png"
grDevices::png(file.path(out_dir, plot_file), width = 1500, height = 650, res = 120)
graphics::layout(matrix(1:3, 1), widths = c(1, 1, 0.42))
for (job in c("whole sequence", "1-Mb window")) {
  d <- bam_summary[bam_summary$job == job, ]
  graphics::par(mar = c(4.5, 4.5, 3, 1), cex.lab = 1.1)
  graphics::plot(range(d$reads), range(d$elapsed), log = "xy", type = "n", axes = FALSE,
                 xlab = "reads in the file", ylab = "elapsed time, median of runs (s)",
                 main = if (job == "whole sequence") sprintf("Whole sequence (%s)", mb_of(info$chr1))
                        else sprintf("1-Mb window of the %s sequence", mb_of(info$chr1)))
  graphics::axis(1, at = sizes, labels = read_label(sizes))
  graphics::axis(2, las = 1)
  graphics::box()
  graphics::abline(v = sizes, h = graphics::axTicks(2), col = "grey88", lty = 3)
  for (tool in intersect(bam_tools, d$tool)) {
    x <- d[d$tool == tool, ]
    x <- x[order(x$reads), ]
    graphics::lines(x$reads, x$elapsed, type = "b", pch = 19, col = tool_cols[[tool]],
                    lwd = if (startsWith(tool, "tolvendra")) 3 else 2)
  }
}
graphics::par(mar = c(4.5, 0, 3, 0))
graphics::plot.new()
graphics::legend("center", legend = tool_label(bam_tools), col = tool_cols, lwd = 2, pch = 19, bty = "n",
                 title = "tool")
grDevices::dev.off()

# ---- the section ---------------------------------------------------------------
threads_note <- if (isTRUE(info$threads)) {
  "`analyze_region(..., threads = 2)`, which decompresses in one thread beside the reading one, as `mosdepth -t 1` does; `tolvendra threads = 1`: the same with `threads = 1`, the default, decompressing on the reading thread as `mosdepth -t 0` does"
} else {
  "`analyze_region()` (this version has no `threads` argument)"
}
bam_lines <- c(
  "## Reading BAM files", "",
  sprintf("Each tool ran %d time%s per case as a fresh process, timed by `/usr/bin/time` (elapsed, user and system CPU, peak resident memory); the tables give the median elapsed and CPU times and the largest peak memory. The machine is shared with other jobs: load average %s before the runs and %s after.",
          info$repeats, if (info$repeats > 1) "s" else "",
          paste(strsplit(info$load[["before"]], " ")[[1]][1:3], collapse = " "),
          paste(strsplit(info$load[["after"]], " ")[[1]][1:3], collapse = " ")),
  "",
  paste0("- ", info$versions),
  "",
  "### Targets", "", bam_targets, "",
  "### What is compared", "",
  sprintf("- Files: simulated single-end 100-bp reads on one %s sequence, sorted, without sequence or qualities: 85%% `100M`, 10%% spliced (`50M<100-5000>N50M`), 5%% with a 1-20 base deletion; 1%% flagged as duplicates. Built by `bench/simulate.R`, cached in `bench/build/`.",
          mb_of(info$chr1)),
  sprintf("- `tolvendra`: `Rscript -e 'library(Tolvendra); x <- analyze_region(bam, \"chr1\", start, end, width = 1000, progress = FALSE)'`, through %s.", threads_note),
  "- `mosdepth -t 1`: `mosdepth -n --by 1000 -t 1` (1000-position bin means, no per-base output, one decompression thread besides the main one); `mosdepth -t 0`: the same with no decompression thread.",
  "- `megadepth`: `megadepth <bam> --annotation 1000 --op sum --filter-out 1796 --threads 1` (1000-position bin sums; the flag filter drops the reads the other tools drop).",
  "- `samtools`: `samtools depth -a -J -r <region>` to `/dev/null` (per-base depth, every position, deletions counted).",
  "- `GenomicAlignments`: `Rscript -e` loading GenomicAlignments, `readGAlignments()` of the region with the same flag filter, then `coverage()`.",
  "- Before timing, Tolvendra's 1000-position bin sums over the whole sequence and its per-base coverage over the 1-Mb window, on the smallest file, are checked to equal `samtools depth -a -J`'s. mosdepth and megadepth leave deletions uncovered, so their sums are slightly lower (about 0.5% on these files); they are here for speed.",
  "",
  "### Where the time goes", "", bam_notes,
  if (!is.null(samples_lines)) samples_lines else c(
    "### Many samples", "",
    "Not run: this version of Tolvendra has no `analyze_samples()`.", ""),
  "### Tables", "", bam_tables,
  sprintf("Plot: `bench/%s`, median elapsed time against reads on log-log axes.", plot_file), ""
)
