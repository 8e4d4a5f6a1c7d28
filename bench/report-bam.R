# The part of RESULTS.md on reading one BAM file (`bam_lines`) and its
# plot, from `bam` (runs saved by bench/bam.R). Sourced by bench/report.R.
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
sizes <- sort(unique(bam_summary$reads[bam_summary$job == "whole sequence"]))
mb_of <- function(positions) sprintf("%g Mb", round(positions / 1e6, 1))
both <- function(x, fmt) paste(sprintf(fmt, x), collapse = " / ")
at_sizes <- paste(read_label(sizes), collapse = " / ")
# Each Tolvendra configuration against mosdepth with the same threads.
peer_of <- c("tolvendra threads = 1" = "mosdepth -t 0", "tolvendra threads = 2" = "mosdepth -t 1",
             "tolvendra Rhtslib threads = 1" = "mosdepth -t 0", "tolvendra Rhtslib threads = 2" = "mosdepth -t 1",
             "tolvendra threads = 1, width 1e6" = "mosdepth -t 0 --by 1000000")
whole_ratio <- function(tool, what = "elapsed") vapply(sizes, function(n) {
  value <- function(t) {
    if (what == "cpu") cell("whole sequence", n, t, "user") + cell("whole sequence", n, t, "sys")
    else cell("whole sequence", n, t, what)
  }
  value(tool) / value(peer_of[[tool]])
}, 0)
r1 <- whole_ratio("tolvendra threads = 1")
r2 <- whole_ratio("tolvendra threads = 2")
c1 <- whole_ratio("tolvendra threads = 1", "cpu")
c2 <- whole_ratio("tolvendra threads = 2", "cpu")
has_rh <- any(bam_summary$tool == "tolvendra Rhtslib threads = 1")
if (has_rh) {
  h1 <- whole_ratio("tolvendra Rhtslib threads = 1")
  h2 <- whole_ratio("tolvendra Rhtslib threads = 2")
  hc1 <- whole_ratio("tolvendra Rhtslib threads = 1", "cpu")
  hc2 <- whole_ratio("tolvendra Rhtslib threads = 2", "cpu")
}
# threads = 2 against megadepth with two threads, elapsed
m2 <- vapply(sizes, function(n) cell("whole sequence", n, "tolvendra threads = 2") /
               cell("whole sequence", n, "megadepth --threads 2"), 0)
long_reads <- unique(bam_summary$reads[bam_summary$job == "249-Mb sequence"])
long_mb <- cell("249-Mb sequence", long_reads, "tolvendra threads = 1", "mb")
huge <- "600-Mb sequence, 1 read"
huge_t <- cell(huge, 1, "tolvendra threads = 1, width 1e6")
huge_m <- cell(huge, 1, "mosdepth -t 0 --by 1000000")
huge_tmb <- cell(huge, 1, "tolvendra threads = 1, width 1e6", "mb")
huge_mmb <- cell(huge, 1, "mosdepth -t 0 --by 1000000", "mb")

# The targets are set at 10M reads; the other sizes show the trend.
at10 <- sizes == 1e7
bam_targets <- c(
  "| target | measured | |",
  "|---|---|---|",
  sprintf("| `analyze_region()` over the whole 50-Mb sequence at 10M reads, default build (system htslib, libdeflate): `threads = 1` at most 1.0x mosdepth `-n --by 1000 -t 0` | elapsed at %s reads: %s; CPU (user + system): %s | %s |",
          at_sizes, both(r1, "%.2fx"), both(c1, "%.2fx"), verdict(all(r1[at10] <= 1.0))),
  sprintf("| the same, `threads = 2` at most 0.55x mosdepth `-t 1` and at most megadepth `--threads 2` | elapsed against mosdepth `-t 1`: %s; against megadepth `--threads 2`: %s; CPU against mosdepth `-t 1`: %s | %s |",
          both(r2, "%.2fx"), both(m2, "%.2fx"), both(c2, "%.2fx"),
          verdict(all(r2[at10] <= 0.55 & m2[at10] <= 1))),
  if (has_rh) sprintf("| the same, Rhtslib build (htslib 1.15.1, zlib), at most 1.0x | elapsed: `threads = 1` against `-t 0`: %s; `threads = 2` against `-t 1`: %s. CPU (user + system): %s; %s | %s |",
          both(h1, "%.2fx"), both(h2, "%.2fx"), both(hc1, "%.2fx"), both(hc2, "%.2fx"),
          verdict(all(c(h1[at10], h2[at10]) <= 1.0))),
  sprintf("| `analyze_region()` over a %s sequence (%s reads) in at most 2.5 GB | %.0f MB | %s |",
          mb_of(info$long_chr1), read_label(long_reads), long_mb, verdict(long_mb <= 2500)),
  sprintf("| `analyze_region()` over a %s sequence holding one read (CSI index, `width = 1e6`) within mosdepth `-n --by 1000000`'s time and memory | %.2f s and %.0f MB against %.2f s and %.0f MB | %s |",
          mb_of(info$huge_chr1), huge_t, huge_tmb, huge_m, huge_mmb,
          verdict(huge_t <= huge_m && huge_tmb <= huge_mmb))
)

# ---- tables ------------------------------------------------------------------
# CPU (user + system) against mosdepth with the same threads, for the
# Tolvendra runs that have such a peer in the same case.
cpu_ratio <- function(d) vapply(seq_len(nrow(d)), function(i) {
  peer <- peer_of[d$tool[i]]
  if (is.na(peer)) return("")
  p <- d[d$tool == peer, ]
  if (nrow(p) != 1L) return("")
  sprintf("%.2fx", (d$user[i] + d$sys[i]) / (p$user + p$sys))
}, "")
job_table <- function(job, reads) {
  d <- bam_summary[bam_summary$job == job & bam_summary$reads == reads, ]
  d <- d[order(!startsWith(d$tool, "tolvendra"), d$tool), ]
  m0 <- cell(job, reads, "mosdepth -t 0")
  m1 <- cell(job, reads, "mosdepth -t 1")
  ratio <- function(ref) if (is.na(ref)) rep("", nrow(d)) else sprintf("%.2fx", d$elapsed / ref)
  title <- switch(job,
    "whole sequence" = sprintf("Whole sequence (%s), %s reads", mb_of(info$chr1), read_label(reads)),
    "1-Mb window" = sprintf("1-Mb window (chr1:%.0f-%.0f), %s reads", info$window[1],
                            info$window[2], read_label(reads)),
    "249-Mb sequence" = sprintf("Whole %s sequence, %s reads", mb_of(info$long_chr1), read_label(reads)),
    "600-Mb sequence, 1 read" = sprintf("Whole %s sequence holding one read, 1e6-position bins, CSI index", mb_of(info$huge_chr1)),
    "50 long-gap reads" = sprintf("50 long-gap reads over %s", mb_of(info$gap_chr1)),
    "start-up" = "Start-up only: a fresh `Rscript` loading the package, reading nothing")
  c(sprintf("#### %s", title), "",
    "| tool | elapsed | user CPU | system CPU | peak memory | elapsed / mosdepth -t 0 | elapsed / mosdepth -t 1 | CPU / same-threads mosdepth |",
    "|---|---:|---:|---:|---:|---:|---:|---:|",
    sprintf("| %s | %.2f s | %.2f s | %.2f s | %.0f MB | %s | %s | %s |", d$tool, d$elapsed, d$user, d$sys,
            d$mb, ratio(m0), ratio(m1), cpu_ratio(d)),
    "")
}
job_order <- c("whole sequence", "1-Mb window", "249-Mb sequence", "600-Mb sequence, 1 read",
               "50 long-gap reads", "start-up")
jobs_seen <- unique(bam_summary[c("job", "reads")])
jobs_seen <- jobs_seen[order(match(jobs_seen$job, job_order), jobs_seen$reads), ]
bam_tables <- unlist(Map(job_table, jobs_seen$job, jobs_seen$reads), use.names = FALSE)

# ---- plot ----------------------------------------------------------------------
tool_style <- data.frame(
  tool = c("tolvendra threads = 1", "tolvendra threads = 2", "tolvendra Rhtslib threads = 1",
           "tolvendra Rhtslib threads = 2", "mosdepth -t 0", "mosdepth -t 1",
           "megadepth --threads 1", "megadepth --threads 2"),
  col = c("black", "black", "#8A5A00", "#8A5A00", "#E16A86", "#E16A86", "#00A6CA", "#00A6CA"),
  lty = c(1, 2, 1, 2, 1, 2, 1, 2), pch = c(19, 1, 15, 0, 17, 2, 4, 3))
tool_style <- tool_style[tool_style$tool %in% bam_summary$tool, ]
tool_style$label <- sub("^tolvendra threads", "tolvendra (system htslib) threads", tool_style$tool)
plot_file <- "bam-reading.png"
grDevices::png(file.path(out_dir, plot_file), width = 1500, height = 650, res = 120)
graphics::layout(matrix(1:3, 1), widths = c(1, 1, 0.5))
d <- bam_summary[bam_summary$job == "whole sequence", ]
for (what in c("elapsed", "mb")) {
  graphics::par(mar = c(4.5, 4.8, 3, 1), cex.lab = 1.1)
  graphics::plot(range(d$reads), range(d[[what]]), log = "xy", type = "n", axes = FALSE,
                 xlab = "reads in the file (log scale)",
                 ylab = if (what == "elapsed") "elapsed time, median of runs (s, log scale)"
                        else "peak resident memory (MB, log scale)",
                 main = sprintf("Whole %s sequence: %s", mb_of(info$chr1),
                                if (what == "elapsed") "time" else "memory"))
  graphics::axis(1, at = sizes, labels = read_label(sizes))
  graphics::axis(2, las = 1)
  graphics::box()
  graphics::abline(v = sizes, h = graphics::axTicks(2), col = "grey88", lty = 3)
  for (i in seq_len(nrow(tool_style))) {
    x <- d[d$tool == tool_style$tool[i], ]
    x <- x[order(x$reads), ]
    graphics::lines(x$reads, x[[what]], type = "b", pch = tool_style$pch[i], col = tool_style$col[i],
                    lty = tool_style$lty[i], lwd = 2)
  }
}
graphics::par(mar = c(4.5, 0, 3, 0))
graphics::plot.new()
graphics::legend("center", legend = tool_style$label, col = tool_style$col, lty = tool_style$lty,
                 pch = tool_style$pch, lwd = 2, bty = "n", title = "tool")
grDevices::dev.off()

# ---- where the time goes -----------------------------------------------------
largest <- max(sizes)
bam_notes <- character()
# bench/profile-region.R's split, which bench/bam.R runs.
rp_path <- file.path(store, "region-profile.rds")
rp <- if (file.exists(rp_path)) readRDS(rp_path)
at <- function(step) rp$elapsed[rp$step == step]
if (!is.null(info$decode_floor) && !is.null(rp)) {
  f <- info$decode_floor
  f_of <- function(b, what = "elapsed") f[f$htslib == b, what]
  bam_notes <- c(bam_notes, sprintf(paste(
    "Decoding alone outside R (`bench/decode.c`: `sam_read1()` over every record of the same file, one thread, fresh process, median of runs):",
    "%.2f s (%.2f s CPU) linked against Rhtslib's static htslib, which inflates with zlib, as the Rhtslib build of Tolvendra is;",
    "%.2f s (%.2f s CPU) against the system's `libhts.so.3`, which inflates with libdeflate, as the default build, mosdepth and megadepth are (%.2fx).",
    "mosdepth `-t 0` takes %.2f s over the whole file, so the decode floor alone is %.2fx mosdepth's whole run with the system htslib and %.2fx with Rhtslib's.",
    "Inside the package, decoding with its batching (`scan_region()`, below) takes %.2f s against that %.2f s floor."),
    f_of("rhtslib"), f_of("rhtslib", "user"), f_of("system"), f_of("system", "user"),
    f_of("rhtslib") / f_of("system"), cell("whole sequence", largest, "mosdepth -t 0"),
    f_of("system") / cell("whole sequence", largest, "mosdepth -t 0"),
    f_of("rhtslib") / cell("whole sequence", largest, "mosdepth -t 0"), at("decode"), f_of("system")), "")
}

# Memory over the whole sequence: the per-base vector alone is 4 bytes a
# position; what grows beyond it with the reads.
mem_note <- local({
  t1 <- "tolvendra threads = 1"
  m <- vapply(sizes, function(n) cell("whole sequence", n, t1, "mb"), 0)
  start_mb <- cell("start-up", 0, "tolvendra", "mb")
  sprintf(paste(
    "Peak memory over the whole %s sequence (`threads = 1`, default build): %s MB at %s reads.",
    "The call returns the depth as runs, 8 bytes a run, and R with the package loaded takes %.0f MB; the peak grows by %.0f MB from %s to %s reads, as the runs do, since denser coverage changes depth more often (mosdepth's per-base array stays at %.0f MB)."),
    mb_of(info$chr1), both(m, "%.0f"), at_sizes, start_mb, m[length(m)] - m[1], read_label(sizes[1]),
    read_label(sizes[length(sizes)]), cell("whole sequence", max(sizes), "mosdepth -t 0", "mb"))
})
bam_notes <- c(bam_notes, mem_note, "")

if (!is.null(rp)) {
  floor_s <- info$decode_floor$elapsed[info$decode_floor$htslib == "system"]
  md0 <- cell("whole sequence", largest, "mosdepth -t 0")
  bam_notes <- c(bam_notes, sprintf(paste(
    "Where the time of one call goes (`bench/profile-region.R`: one process, after a first call, each step the best of five, %s, load average %s):",
    "decoding through `scan_region()` (which also splits the records into blocks and hands each batch of blocks to R) %.2f s; the engine asked for the bin sums %.2f s (+%.2f s over that for adding the blocks and summing the bins); for the sums and the per-base coverage vector %.2f s (+%.2f s for the vector);",
    "for the sums and the regions %.2f s (+%.2f s for the regions); for all three, as `analyze_region()` asks, %.2f s; the whole call %.2f s (`integer(5e7)` alone takes %.2f s).",
    "Against mosdepth `-t 0`'s %.2f s for the whole process on this file, `scan_region()` is %.2fx, the engine asked for the bin sums alone %.2fx, and the coverage vector and the regions together add %.2f s (%.2fx) that mosdepth `-n` does not produce.",
    "`scan_region()`, which also splits the records into blocks and hands batches to R, takes %.2f s %s `bench/decode.c`'s %.2f s floor with the same htslib: the package reads a BAM record where it lies in the inflated block, where `sam_read1()` copies it out field by field; the engine does not hand batches to R, and the +%.2f s above is what adding the blocks and summing the bins cost over `scan_region()`."),
    rp$build[1], paste(strsplit(rp$load[1], " ")[[1]][1:3], collapse = " "),
    at("decode"), at("sums"), at("sums") - at("decode"), at("sums_coverage"), at("sums_coverage") - at("sums"),
    at("sums_regions"), at("sums_regions") - at("sums"), at("engine"), at("call"), at("alloc"),
    md0, at("decode") / md0, at("sums") / md0, at("engine") - at("sums"), (at("engine") - at("sums")) / md0,
    abs(at("decode") - floor_s), if (at("decode") < floor_s) "less than" else "more than",
    floor_s, at("sums") - at("decode")), "")
}

bam_lines <- c(
  "## Reading one BAM file", "",
  sprintf("Each tool ran %d time%s per case as a fresh process, timed by `/usr/bin/time` (elapsed, user and system CPU, peak resident memory); the tables give the median elapsed and CPU times and the largest peak memory. The machine (2 cores) was shared with other sessions running builds and tests: load average %s before the runs and %s after, so differences of tens of percent between runs are noise.",
          info$repeats, if (info$repeats > 1) "s" else "",
          paste(strsplit(info$load[["before"]], " ")[[1]][1:3], collapse = " "),
          paste(strsplit(info$load[["after"]], " ")[[1]][1:3], collapse = " ")),
  "",
  paste0("- ", info$versions),
  sprintf("- Tolvendra's reader: `tolvendra_info()` of the default build says \"%s\"%s. Rows named `tolvendra threads = N` are the default build, `tolvendra Rhtslib threads = N` the Rhtslib one; the other cases ran on the default build only.",
          info$builds[["default"]],
          if (!is.na(info$builds["rhtslib"])) sprintf("; of the build made with `TOLVENDRA_HTSLIB=rhtslib`, \"%s\"", info$builds[["rhtslib"]]) else ""),
  "",
  "### Targets", "", bam_targets, "",
  "### What is compared", "",
  sprintf("- Files: simulated single-end 100-bp reads on one %s sequence, sorted, without sequence or qualities: 85%% `100M`, 10%% spliced (`50M<100-5000>N50M`), 5%% with a 1-20 base deletion; 1%% flagged as duplicates. Built by `bench/simulate.R`, cached in `bench/build/`.",
          mb_of(info$chr1)),
  "- `tolvendra [Rhtslib] threads = 1`: `Rscript -e 'library(Tolvendra); x <- analyze_region(bam, \"chr1\", start, end, width = 1000, progress = FALSE, threads = 1)'`, decompressing on the reading thread as `mosdepth -t 0` does; `threads = 2`: the sequence cut into two stretches, each read and decompressed on its own thread through its own handle, then joined (two threads, as `mosdepth -t 1` has).",
  "- `mosdepth -t N`: `mosdepth -n --by 1000 -t N` (1000-position bin means, no per-base output).",
  "- `megadepth`: `megadepth <bam> --annotation 1000 --op sum --filter-out 1796 --threads 1` (1000-position bin sums; the flag filter drops the reads the other tools drop).",
  "- `samtools`: `samtools depth -a -J -r <region>` to `/dev/null` (per-base depth, every position, deletions counted).",
  "- Before timing, Tolvendra's 1000-position bin sums over the whole sequence and its per-base coverage over the 1-Mb window, on the smallest file, are checked to equal `samtools depth -a -J`'s, and its 1e6-position bin sums over the 600-Mb file those of `samtools depth`. mosdepth and megadepth leave deletions uncovered, so their sums are slightly lower (about 0.5% on these files); they are here for speed.",
  "",
  "### Where the time goes", "", bam_notes,
  "### Tables", "", bam_tables,
  sprintf("Plot: `bench/%s`, median elapsed time and peak memory against reads, over the whole 50-Mb sequence, on log-log axes.", plot_file), "",
  sprintf("![Reading one BAM file](%s)", plot_file), ""
)
