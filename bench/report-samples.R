# The many-samples part of RESULTS.md (`samples_lines`) and its plot, from
# `samples` (runs saved by bench/samples.R). Sourced by bench/report.R.
s_info <- samples$info
s_keys <- c("case", "samples", "workers", "tool")
s_runs <- samples$runs
s_runs$call[is.na(s_runs$call)] <- s_runs$elapsed[is.na(s_runs$call)]
s_summary <- merge(
  stats::aggregate(cbind(elapsed, call, user) ~ case + samples + workers + tool, s_runs,
                   stats::median),
  stats::aggregate(rss_kib ~ case + samples + workers + tool, s_runs, max), by = s_keys)
s_cell <- function(case, n, workers, tool, what = "call") {
  s_summary[s_summary$case == case & s_summary$samples == n & s_summary$workers == workers &
              s_summary$tool == tool, what]
}
s_counts <- sort(unique(s_summary$samples[s_summary$case == "whole genome"]))
n_max <- max(s_counts)
speedup <- s_cell("whole genome", n_max, 1, "tolvendra") / s_cell("whole genome", n_max, 2, "tolvendra")
n_t <- unique(s_summary$samples[s_summary$case == "targets"])
t_serial <- s_cell("targets", n_t, 1, "tolvendra")
t_two <- s_cell("targets", n_t, 2, "tolvendra")
secs <- function(x) ifelse(is.finite(x), sprintf("%.2f s", x), sprintf("over %g s (stopped)", s_info$limit))
genome_label <- paste(sprintf("%g", s_info$genome / 1e6), collapse = " + ")

samples_table <- function(case, counts) {
  rows <- vapply(counts, function(n) {
    tv <- function(w) {
      call <- s_cell(case, n, w, "tolvendra")
      if (is.finite(call)) sprintf("%s (%s)", secs(call), secs(s_cell(case, n, w, "tolvendra", "elapsed")))
      else secs(call)
    }
    up <- s_cell(case, n, 1, "tolvendra") / s_cell(case, n, 2, "tolvendra")
    sprintf("| %d | %s | %s | %s | %s | %s | %.0f MB |", n, tv(1), tv(2),
            if (is.finite(up) && up > 0) sprintf("%.2fx", up) else "",
            secs(s_cell(case, n, 1, "mosdepth")), secs(s_cell(case, n, 2, "mosdepth")),
            max(s_summary$rss_kib[s_summary$case == case & s_summary$samples == n &
                                    s_summary$tool == "tolvendra"]) * 1024 / 1e6)
  }, "")
  c("| samples | Tolvendra, SerialParam | Tolvendra, SnowParam(2) | speed-up | mosdepth, 1 at a time | mosdepth, 2 at a time | Tolvendra peak memory |",
    "|---:|---:|---:|---:|---:|---:|---:|", rows, "")
}

samples_plot <- "samples.png"
grDevices::png(file.path(out_dir, samples_plot), width = 1100, height = 650, res = 120)
graphics::layout(matrix(1:2, 1), widths = c(1, 0.5))
graphics::par(mar = c(4.5, 4.5, 3, 1), cex.lab = 1.1)
series <- list(
  "Tolvendra, SerialParam" = list(workers = 1, tool = "tolvendra", col = "black", lty = 1),
  "Tolvendra, SnowParam(2)" = list(workers = 2, tool = "tolvendra", col = "black", lty = 2),
  "mosdepth, 1 at a time" = list(workers = 1, tool = "mosdepth", col = "#E16A86", lty = 1),
  "mosdepth, 2 at a time" = list(workers = 2, tool = "mosdepth", col = "#E16A86", lty = 2))
d <- s_summary[s_summary$case == "whole genome", ]
graphics::plot(range(d$samples), range(d$call[is.finite(d$call)]), log = "xy", type = "n", axes = FALSE,
               xlab = "samples", ylab = "elapsed time of the call (s)",
               cex.main = 1, main = sprintf("Whole genome (%s Mb)\n%gM reads per sample", genome_label,
                              s_info$reads / 1e6))
graphics::axis(1, at = s_counts)
graphics::axis(2, las = 1)
graphics::box()
graphics::abline(v = s_counts, h = graphics::axTicks(2), col = "grey88", lty = 3)
for (s in series) {
  x <- d[d$workers == s$workers & d$tool == s$tool, ]
  x <- x[order(x$samples), ]
  graphics::lines(x$samples, x$call, type = "b", pch = 19, lwd = 2, col = s$col, lty = s$lty)
}
graphics::par(mar = c(4.5, 0, 3, 0))
graphics::plot.new()
graphics::legend("center", legend = names(series), col = vapply(series, `[[`, "", "col"),
                 lty = vapply(series, `[[`, 0, "lty"), lwd = 2, pch = 19, bty = "n")
grDevices::dev.off()

samples_lines <- c(
  "### Many samples", "",
  sprintf("`analyze_samples()` (Tolvendra from %s) over %d samples of %gM reads each, simulated as above on three sequences of %s Mb, with `width = 1000`; and over %s targets of 1000 positions (a BED file) in %d samples. Each configuration ran once (runs still going after %g s were stopped), as a fresh `Rscript` that loads the packages, warms up on a small region and starts the workers (`SnowParam(2)`, whose workers are fresh R processes), then times the call; the tables give the call's elapsed time, with the whole process's in brackets. mosdepth (`-n --by 1000` or `--by <bed>`, `-t 0`) runs once per sample, one or two processes at a time, timed as a whole. Before timing, one sample's bins from `analyze_samples()` are checked to equal `analyze_region()`'s, and two workers' results to equal one's.",
          s_info$commit, n_max, s_info$reads / 1e6, genome_label, format(s_info$targets, big.mark = ","),
          n_t, s_info$limit),
  "",
  if (!is.null(s_info$one_sample_seconds)) c(sprintf(paste(
    "For one sample, `analyze_samples()` takes %s, against %.2f s for `analyze_region()` over each of its sequences in turn (in the benchmark's own process):",
    "each further sample adds about %.2f s, up to %d samples."),
    secs(s_cell("whole genome", 1, 1, "tolvendra")), s_info$one_sample_seconds,
    (s_cell("whole genome", n_max, 1, "tolvendra") - s_cell("whole genome", 1, 1, "tolvendra")) / (n_max - 1),
    n_max), ""),
  "| target | measured | |",
  "|---|---|---|",
  sprintf("| SnowParam(2) at least 1.7x faster than SerialParam, %d samples, whole genome | %.2fx (mosdepth two at a time against one: %.2fx on the same machine) | %s |",
          n_max, speedup,
          s_cell("whole genome", n_max, 1, "mosdepth") / s_cell("whole genome", n_max, 2, "mosdepth"),
          verdict(speedup >= 1.7)),
  sprintf("| %s targets x %d samples under a minute | SerialParam %s, SnowParam(2) %s | %s |",
          format(s_info$targets, big.mark = ","), n_t, secs(t_serial), secs(t_two),
          verdict(min(t_serial, t_two) < 60)),
  "",
  sprintf("#### Whole genome (%s Mb)", genome_label), "",
  samples_table("whole genome", s_counts),
  sprintf("#### %s targets of 1000 positions", format(s_info$targets, big.mark = ",")), "",
  samples_table("targets", n_t),
  sprintf("Plot: `bench/%s`.", samples_plot), ""
)
