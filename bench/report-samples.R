# The many-samples part of RESULTS.md (`samples_lines`) and its plot, from
# `samples` (runs saved by bench/samples.R). Sourced by bench/report.R.
s_info <- samples$info
s_runs <- samples$runs
s_runs$backend[is.na(s_runs$backend)] <- ""
s_runs$call[is.na(s_runs$call)] <- s_runs$elapsed[is.na(s_runs$call)]
s_runs$cpu <- s_runs$user + s_runs$sys
if (is.null(s_runs$call_cpu)) s_runs$call_cpu <- NA_real_
s_runs$call_cpu[is.na(s_runs$call_cpu)] <- s_runs$cpu[is.na(s_runs$call_cpu)]
s_keys <- c("case", "samples", "tool", "backend", "threads", "workers")
s_summary <- merge(
  stats::aggregate(cbind(elapsed, call, user, cpu, call_cpu) ~ case + samples + tool + backend + threads + workers,
                   s_runs, stats::median, na.action = na.pass),
  stats::aggregate(rss_kib ~ case + samples + tool + backend + threads + workers, s_runs, max),
  by = s_keys)
s_summary$mb <- s_summary$rss_kib * 1024 / 1e6
s_cell <- function(case, n, tool, backend = "", workers = 1, threads = 0, what = "call") {
  x <- s_summary[s_summary$case == case & s_summary$samples == n & s_summary$tool == tool &
                   s_summary$backend == backend & s_summary$workers == workers &
                   s_summary$threads == threads, what]
  if (length(x) == 1L) x else NA_real_
}
secs <- function(x) ifelse(is.finite(x), sprintf("%.2f s", x), sprintf("over %g s (stopped)", s_info$limit))
genome_label <- paste(sprintf("%g", s_info$genome / 1e6), collapse = " + ")
s_counts <- sort(unique(s_summary$samples[s_summary$case == "whole genome"]))
n_max <- max(s_counts)
n_t <- unique(s_summary$samples[s_summary$case == "targets"])
back_label <- c(serial = "SerialParam", snow = "SnowParam(2)", multicore = "MulticoreParam(2)")

# One row per comparison: a Tolvendra run (the call, and the whole process)
# against a peer's whole process.
compare_row <- function(case, n, tool, backend, peer, peer_label, peer_workers = 1, peer_threads = 0) {
  call <- s_cell(case, n, tool, backend, if (backend %in% c("snow", "multicore")) 2 else 1)
  whole <- s_cell(case, n, tool, backend, if (backend %in% c("snow", "multicore")) 2 else 1,
                  what = "elapsed")
  mb <- s_cell(case, n, tool, backend, if (backend %in% c("snow", "multicore")) 2 else 1, what = "mb")
  p <- s_cell(case, n, peer, "", peer_workers, peer_threads, what = "elapsed")
  pmb <- s_cell(case, n, peer, "", peer_workers, peer_threads, what = "mb")
  ccpu <- s_cell(case, n, tool, backend, if (backend %in% c("snow", "multicore")) 2 else 1, what = "call_cpu")
  pcpu <- s_cell(case, n, peer, "", peer_workers, peer_threads, what = "cpu")
  label <- if (tool == "tolvendra") sprintf("`analyze_samples()`, %s", back_label[[backend]]) else
    "`export_coverage(format = \"bedGraph\")`, whole process"
  cpu_cell <- if (backend == "snow") "(workers not counted)" else sprintf("%.2fx", ccpu / pcpu)
  sprintf("| %s | %s | %s | %s | %.0f MB | %s | %s | %.0f MB | **%.2fx** | %s | %.2fx |", case, n, label,
          if (tool == "tolvendra") secs(call) else "", mb, secs(whole), peer_label, pmb, call / p,
          cpu_cell, whole / p)
}
compare_rows <- c(
  unlist(lapply(s_counts, function(n) c(
    compare_row("whole genome", n, "tolvendra", "serial", "mosdepth", sprintf("mosdepth -t 0, 1 at a time: %s", secs(s_cell("whole genome", n, "mosdepth", "", 1)))),
    compare_row("whole genome", n, "tolvendra", "snow", "mosdepth", sprintf("mosdepth -t 0, 2 at a time: %s", secs(s_cell("whole genome", n, "mosdepth", "", 2))), 2)))),
  compare_row("whole genome", 1, "tolvendra", "snow", "mosdepth", sprintf("mosdepth -t 1: %s", secs(s_cell("whole genome", 1, "mosdepth", "", 1, 1))), 1, 1),
  compare_row("targets", n_t, "tolvendra", "serial", "mosdepth", sprintf("mosdepth --by targets.bed, 1 at a time: %s", secs(s_cell("targets", n_t, "mosdepth", "", 1)))),
  compare_row("targets", n_t, "tolvendra", "snow", "mosdepth", sprintf("mosdepth --by targets.bed, 2 at a time: %s", secs(s_cell("targets", n_t, "mosdepth", "", 2))), 2),
  compare_row("draft assembly", 1, "tolvendra", "serial", "bedtools", sprintf("bedtools genomecov -bga: %s", secs(s_cell("draft assembly", 1, "bedtools")))),
  compare_row("draft assembly", 1, "export_coverage", "", "bedtools", sprintf("bedtools genomecov -bga: %s", secs(s_cell("draft assembly", 1, "bedtools")))),
  compare_row("249-Mb sequence", 1, "tolvendra", "serial", "mosdepth", sprintf("mosdepth -n --by 1000 -t 0: %s", secs(s_cell("249-Mb sequence", 1, "mosdepth")))),
  compare_row("600-Mb sequence, 1 read", 1, "tolvendra", "serial", "mosdepth", sprintf("mosdepth -n --by 1000000 -t 0: %s", secs(s_cell("600-Mb sequence, 1 read", 1, "mosdepth"))))
)

ratio <- function(case, n, backend, peer = "mosdepth", pw = 1, pt = 0) {
  s_cell(case, n, "tolvendra", backend, if (backend == "serial") 1 else 2) /
    s_cell(case, n, peer, "", pw, pt, what = "elapsed")
}
one <- ratio("whole genome", 1, "serial")
many <- c(serial = ratio("whole genome", n_max, "serial"), snow = ratio("whole genome", n_max, "snow", pw = 2))
one_cpu <- s_cell("whole genome", 1, "tolvendra", "serial", what = "call_cpu") /
  s_cell("whole genome", 1, "mosdepth", "", 1, what = "cpu")
tgt_cpu <- s_cell("targets", n_t, "tolvendra", "serial", what = "call_cpu") /
  s_cell("targets", n_t, "mosdepth", "", 1, what = "cpu")
l_call <- s_cell("249-Mb sequence", 1, "tolvendra", "serial")
l_mb <- s_cell("249-Mb sequence", 1, "tolvendra", "serial", what = "mb")
l_peer <- s_cell("249-Mb sequence", 1, "mosdepth", "", what = "elapsed")
tgt <- ratio("targets", n_t, "serial")
tgt2 <- ratio("targets", n_t, "snow", pw = 2)
two <- c(snow = s_cell("whole genome", 1, "tolvendra", "snow", 2))
m1 <- s_cell("whole genome", 1, "mosdepth", "", 1, 1, what = "elapsed")
d_call <- s_cell("draft assembly", 1, "tolvendra", "serial")
d_whole <- s_cell("draft assembly", 1, "tolvendra", "serial", what = "elapsed")
d_export <- s_cell("draft assembly", 1, "export_coverage", "", what = "elapsed")
huge <- "600-Mb sequence, 1 read"
h_call <- s_cell(huge, 1, "tolvendra", "serial")
h_whole <- s_cell(huge, 1, "tolvendra", "serial", what = "elapsed")
h_mb <- s_cell(huge, 1, "tolvendra", "serial", what = "mb")
h_peer <- s_cell(huge, 1, "mosdepth", "", what = "elapsed")
h_peer_mb <- s_cell(huge, 1, "mosdepth", "", what = "mb")
floor_mb <- s_cell("start-up", 0, "tolvendra", "serial", what = "mb")
floor_s <- s_cell("start-up", 0, "tolvendra", "serial", what = "elapsed")

samples_targets <- c(
  "| target | measured | |",
  "|---|---|---|",
  sprintf("| `analyze_samples()`, 1 sample, whole genome, at most 1.2x mosdepth `-n --by 1000` (same threads: `threads = 1`, `-t 0`) | %.2fx elapsed, %.2fx CPU (call %s, mosdepth %s) | %s |",
          one, one_cpu, secs(s_cell("whole genome", 1, "tolvendra", "serial")),
          secs(s_cell("whole genome", 1, "mosdepth", "", 1, what = "elapsed")), verdict(one <= 1.2)),
  sprintf("| %d samples at most 1.2x mosdepth once per sample: serially; and on two workers against two at a time | SerialParam %.2fx; SnowParam(2) %.2fx | %s |",
          n_max, many[["serial"]], many[["snow"]],
          verdict(many[["serial"]] <= 1.2 && many[["snow"]] <= 1.2)),
  sprintf("| %s targets of 1 kb x %d samples at most 1.5x mosdepth `--by targets.bed` once per sample | SerialParam %.2fx elapsed, %.2fx CPU (SnowParam(2) against two at a time: %.2fx) | %s |",
          format(s_info$targets, big.mark = ","), n_t, tgt, tgt_cpu, tgt2, verdict(tgt <= 1.5)),
  sprintf("| one sample's whole genome on two workers faster than mosdepth `-t 1` | SnowParam(2) call %s, mosdepth -t 1 %s | %s |",
          secs(two[["snow"]]), secs(m1), verdict(min(two) < m1)),
  sprintf("| draft assembly (20,000 sequences, 30 reads): `analyze_samples()` call and `export_coverage()` from a fresh `Rscript` each under 2 s | `analyze_samples()` call %s (whole process %s); `export_coverage()` %s; bedtools %s | %s |",
          secs(d_call), secs(d_whole), secs(d_export), secs(s_cell("draft assembly", 1, "bedtools", what = "elapsed")),
          verdict(d_call < 2 && d_export < 2)),
  sprintf("| `analyze_samples()` over a 249.3-Mb sequence (2M reads) in at most 2.5 GB | %.0f MB (call %s; mosdepth -t 0 %s) | %s |",
          l_mb, secs(l_call), secs(l_peer), verdict(l_mb <= 2500)),
  sprintf("| `analyze_samples()` over a 600-Mb sequence holding one read within mosdepth `-n --by 1000000`'s time and memory | call %s (whole process %s), %.0f MB (a process that only loads the package and its Bioconductor imports peaks at %.0f MB), against %s and %.0f MB | %s |",
          secs(h_call), secs(h_whole), h_mb, floor_mb, secs(h_peer), h_peer_mb,
          verdict(h_call <= h_peer && h_mb <= h_peer_mb))
)

samples_plot <- "samples.png"
grDevices::png(file.path(out_dir, samples_plot), width = 1200, height = 650, res = 120)
graphics::layout(matrix(1:2, 1), widths = c(1, 0.6))
graphics::par(mar = c(4.5, 4.8, 3.5, 1), cex.lab = 1.1)
series <- list(
  "Tolvendra, SerialParam (call)" = list(tool = "tolvendra", backend = "serial", workers = 1, col = "black", lty = 1, pch = 19),
  "Tolvendra, SnowParam(2) (call)" = list(tool = "tolvendra", backend = "snow", workers = 2, col = "black", lty = 2, pch = 1),
  "mosdepth -t 0, 1 at a time" = list(tool = "mosdepth", backend = "", workers = 1, col = "#E16A86", lty = 1, pch = 17),
  "mosdepth -t 0, 2 at a time" = list(tool = "mosdepth", backend = "", workers = 2, col = "#E16A86", lty = 2, pch = 2))
d <- s_summary[s_summary$case == "whole genome" & s_summary$threads == 0, ]
graphics::plot(range(d$samples), range(d$call[is.finite(d$call)]), log = "xy", type = "n", axes = FALSE,
               xlab = "samples (log scale)", ylab = "elapsed time, median of runs (s, log scale)",
               cex.main = 1, main = sprintf("analyze_samples(), whole genome (%s Mb)\n%gM reads per sample",
                                            genome_label, s_info$reads / 1e6))
graphics::axis(1, at = s_counts)
graphics::axis(2, las = 1)
graphics::box()
graphics::abline(v = s_counts, h = graphics::axTicks(2), col = "grey88", lty = 3)
for (s in series) {
  x <- d[d$tool == s$tool & d$backend == s$backend & d$workers == s$workers, ]
  x <- x[order(x$samples), ]
  graphics::lines(x$samples, x$call, type = "b", pch = s$pch, lwd = 2, col = s$col, lty = s$lty)
}
graphics::par(mar = c(4.5, 0, 3, 0))
graphics::plot.new()
graphics::legend("center", legend = names(series), col = vapply(series, `[[`, "", "col"),
                 lty = vapply(series, `[[`, 0, "lty"), pch = vapply(series, `[[`, 0, "pch"),
                 lwd = 2, bty = "n")
grDevices::dev.off()

samples_lines <- c(
  "## Many samples", "",
  sprintf("`analyze_samples()` (Tolvendra from %s) over up to %d samples of %gM reads each, simulated as above on three sequences of %s Mb, with `width = 1000`; over %s targets of 1000 positions (a BED file) in %d samples; over a draft assembly of 20,000 sequences of 200-800 positions holding 30 reads; over one 249.3-Mb sequence holding 2M reads; and over one 600-Mb sequence holding one read (CSI index, `width = 1e6`). Each configuration ran %d time%s (runs still going after %g s would be stopped) as a fresh `Rscript` that loads the package and its Bioconductor imports (SummarizedExperiment, BiocParallel), warms up on a small region and starts the workers (`SnowParam(2)`: fresh R processes, started before the call), then times the call. The tables give the call's median elapsed time, and the whole process's beside it; the call's CPU time (user + system of the session, from `system.time()`) against the peer's whole-process CPU time is given for serial runs, since SnowParam's workers' CPU is not counted in the session's. MulticoreParam was not run this time. mosdepth (`-n --by 1000` or `--by <bed>`, `-t 0` unless said) runs once per sample, one or two processes at a time, and bedtools `genomecov -bga -ibam` once, each timed as a whole process. Peak memory is the largest resident set of any process of the run (`/usr/bin/time`; for SnowParam it is the session's, not the workers'). The machine (2 cores) was shared with other sessions running builds and tests.",
          s_info$commit, n_max, s_info$reads / 1e6, genome_label, format(s_info$targets, big.mark = ","),
          n_t, s_info$repeats, if (s_info$repeats > 1) "s" else "", s_info$limit),
  "",
  sprintf("A fresh process that only loads the package and its Bioconductor imports and warms up takes %s and %.0f MB: the floor of every whole-process time and memory below.",
          secs(floor_s), floor_mb),
  "",
  "Before timing: one sample's bins from `analyze_samples()` are checked to equal `analyze_region()`'s (themselves checked against `samtools depth -a -J`), SerialParam's results to equal SnowParam(2)'s, the target sums those of `samtools depth -a -J -b targets.bed`, and on the draft assembly the covered runs of `export_coverage()`'s bedGraph and the per-sequence sums of `analyze_samples()` those of `bedtools genomecov -bga`.",
  "",
  "### Targets", "", samples_targets, "",
  if (!is.null(s_info$profile)) {
    pr <- s_info$profile
    row <- function(case) pr[pr$case == case, ]
    c("### Where the time goes", "",
      sprintf(paste(
        "Profiled by `Rprof` in one process after a warm-up: the targets call (%d samples x %s targets) took %.2f s, of which %.2f s (%.0f%%) under the native engine, which reads the %d files;",
        "the draft-assembly call (one sample, 20,000 sequences, each its own target) %.2f s, of which %.2f s (%.0f%%) in the engine. The rest is R: checking the targets, building the bins and the SummarizedExperiment."),
        n_t, format(s_info$targets, big.mark = ","), row("targets")$call, row("targets")$engine,
        100 * row("targets")$engine / row("targets")$call, n_t,
        row("draft assembly")$call, row("draft assembly")$engine,
        100 * row("draft assembly")$engine / row("draft assembly")$call), "")
  },
  "### Tables", "",
  "| case | samples | Tolvendra | call | peak memory | whole process | peer (whole process) | peer peak memory | call / peer | call CPU / peer CPU | whole process / peer |",
  "|---|---:|---|---:|---:|---:|---|---:|---:|---:|---:|",
  compare_rows, "",
  sprintf("Plot: `bench/%s`, the call's median elapsed time against samples on log-log axes, beside mosdepth's.", samples_plot), "",
  sprintf("![Many samples](%s)", samples_plot), ""
)
