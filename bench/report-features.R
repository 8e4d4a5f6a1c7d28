# The features part of RESULTS.md (`features_lines`) and its plot, from
# `features` (runs saved by bench/features.R). Sourced by bench/report.R.
f_info <- features$info
f_runs <- features$runs
f_runs$cpu <- f_runs$user + f_runs$sys
f_summary <- merge(
  stats::aggregate(cbind(elapsed, user, sys, cpu, call, call_cpu) ~ tool, f_runs, stats::median,
                   na.action = na.pass),
  stats::aggregate(rss_kib ~ tool, f_runs, max), by = "tool")
f_summary$mb <- f_summary$rss_kib * 1024 / 1e6
f_of <- function(pattern, what = "elapsed") f_summary[grepl(pattern, f_summary$tool, fixed = TRUE), what]
n_s <- f_info$samples

sf <- "summarize_features()"
md_f <- "mosdepth --by features.bed"
dd <- "depth_distribution()"
md_d <- "distribution: mosdepth"
mc <- "multicov"
su <- "start-up"
sf_ratio <- f_of(sf, "call") / f_of(md_f)
sf_cpu <- f_of(sf, "call_cpu") / f_of(md_f, "cpu")
dd_ratio <- f_of(dd, "call") / f_of(md_d)
dd_cpu <- f_of(dd, "call_cpu") / f_of(md_d, "cpu")
f_secs <- function(x) ifelse(is.na(x), "", ifelse(is.finite(x), sprintf("%.2f s", x), sprintf("over %d s (stopped)", limit_f)))
limit_f <- if (is.null(f_info$limit)) 300 else f_info$limit

features_targets <- c(
  "| target | measured | |",
  "|---|---|---|",
  sprintf("| `summarize_features()` of %s features x %d samples (mean, sum, thresholds 1/10/20, reads) at most 1.5x mosdepth `--by features.bed -T 1,10,20` once per sample | %.2fx elapsed (call %s against %s), %.2fx CPU; bedtools multicov -split over the first sample alone: %s | %s |",
          format(f_info$count, big.mark = ","), n_s, sf_ratio, f_secs(f_of(sf, "call")), f_secs(f_of(md_f)),
          sf_cpu, f_secs(f_of(mc)), verdict(sf_ratio <= 1.5)),
  sprintf("| `depth_distribution()` of %d samples over the whole genome at most 1.5x mosdepth once per sample | %.2fx elapsed (call %s against %s), %.2fx CPU | %s |",
          n_s, dd_ratio, f_secs(f_of(dd, "call")), f_secs(f_of(md_d)), dd_cpu, verdict(dd_ratio <= 1.5))
)

f_order <- c(sf, md_f, mc, dd, md_d, su)
f_summary <- f_summary[order(vapply(f_summary$tool, function(t) which(vapply(f_order, grepl, NA, t, fixed = TRUE))[1], 0)), ]
f_rows <- sprintf("| %s | %s | %s | %.2f s | %s | %.0f MB |", f_summary$tool, f_secs(f_summary$call),
                  f_secs(f_summary$elapsed), f_summary$cpu, f_secs(f_summary$call_cpu), f_summary$mb)

features_plot <- "features.png"
grDevices::png(file.path(out_dir, features_plot), width = 1600, height = 620, res = 120)
graphics::layout(matrix(1:2, 1), widths = c(1.6, 1))
d <- f_summary[!grepl(su, f_summary$tool, fixed = TRUE), ]
d$time <- ifelse(is.na(d$call), d$elapsed, d$call)
d$label <- sub("^(features|distribution): ", "", ifelse(is.na(d$call), d$tool, paste(d$tool, "(call)")))
cols <- ifelse(grepl("mosdepth", d$tool), "#E16A86", ifelse(grepl("bedtools", d$tool), "#5F8A00", "black"))
pchs <- ifelse(grepl("mosdepth", d$tool), 17, ifelse(grepl("bedtools", d$tool), 15, 19))
graphics::par(mar = c(4.5, 24, 4, 1), cex.lab = 1.05)
dot_panel(d$time, d$label, cols, pchs, "elapsed time (s, median, log scale)",
          sprintf("time: %s features x %d samples,\nand depth distributions",
                  format(f_info$count, big.mark = ","), n_s), "%.2f s")
graphics::par(mar = c(4.5, 1, 4, 1))
dot_panel(d$mb, d$label, cols, pchs, "peak resident memory (MB, log scale)",
          "peak memory (Tolvendra: whole process)", "%.0f MB", show_labels = FALSE)
grDevices::dev.off()

ck <- f_info$check
# Where the time goes, when bench/profile-features.R has been run.
f_profile <- if (file.exists(file.path(store, "features-profile.rds"))) readRDS(file.path(store, "features-profile.rds"))
profile_lines <- if (!is.null(f_profile)) {
  describe <- function(x) {
    top <- x$top[!rownames(x$top) %in% c("\".Call\"", "\"engine_run\""), , drop = FALSE]
    st <- x$steps
    steps <- if (!is.null(st) && sum(st[c("parse_features", "feature_plan", "feature_assays")]) > 0) {
      sprintf(" (reading the BED file, `parse_features()`, %.2f s; planning the spans, `feature_plan()`, %.2f s; the assays, `feature_assays()`, %.2f s)",
              st[["parse_features"]], st[["feature_plan"]], st[["feature_assays"]])
    } else ""
    sprintf("%s: %.2f s (CPU %.2f s), of which %.2f s (%.0f%%) under the native engine%s; the largest R self times: %s",
            x$case, x$call, x$cpu, x$engine, 100 * x$engine / x$call, steps,
            paste(sprintf("`%s` %.2f s", gsub("\"", "", utils::head(rownames(top), 4)), utils::head(top$self.time, 4)),
                  collapse = ", "))
  }
  c("### Where the time goes", "",
    "Profiled by `Rprof` in one process after the same small warm-up as the timed runs (`bench/profile-features.R`): the first `summarize_features()` call, as timed above, then the median of three more calls of each; the machine was shared. Later calls in the same process are faster than the first:", "",
    paste0("- ", vapply(f_profile, describe, "")), "")
}
features_lines <- c(
  "## Features and depth distributions", "",
  sprintf(paste(
    "%s features of %d positions at random over the genome of the many-samples part (%s Mb; features may overlap), as a named BED file, in the %d first samples of that part (%gM reads each).",
    "Tolvendra runs in a fresh `Rscript` that loads the package and its Bioconductor imports and warms up, then times the call (elapsed, and the session's user + system CPU); the whole process is timed beside it.",
    "mosdepth (`-n -t 0`) runs once per sample, one after another, timed as a whole; bedtools `multicov -split` once, over the first sample.",
    "Each ran %d time%s; medians, and the largest peak memory. Default build (system htslib). The machine was shared (load average %s before, %s after)."),
    format(f_info$count, big.mark = ","), f_info$width, paste(f_info$genome / 1e6, collapse = " + "),
    n_s, f_info$reads / 1e6, f_info$repeats, if (f_info$repeats > 1) "s" else "",
    paste(strsplit(f_info$load[["before"]], " ")[[1]][1:3], collapse = " "),
    paste(strsplit(f_info$load[["after"]], " ")[[1]][1:3], collapse = " ")), "",
  "- `summarize_features(files, \"features.bed\", stats = c(\"mean\", \"sum\"), thresholds = c(1, 10, 20), reads = TRUE)` against `mosdepth -n -t 0 --by features.bed -T 1,10,20` per sample (means and positions at least 1, 10, 20 deep; no read counts) and `bedtools multicov -split -bams <first sample> -bed features.bed` (read counts only; run once, over one sample, since it takes minutes over these features).",
  "- `depth_distribution(files, max_depth = 1000)` against `mosdepth -n -t 0` per sample (which writes the distribution, `dist.txt`, and `summary.txt`).",
  sprintf(paste(
    "- Before timing: mosdepth leaves deletions uncovered, so the depths were checked on a copy of the first sample without its reads with a deletion: means equal mosdepth's `regions.bed.gz` to its two decimals (largest difference %.4f), sums divided by 150 round to them, the positions at least 1/10/20 deep equal its `thresholds.bed.gz`, and the distribution equals its `dist.txt` to two decimals (largest difference %.4f) with `summary.txt`'s bases equal.",
    "On the sample itself, read counts equal `bedtools multicov -split`'s for every feature; %s of the %s features' means differ from mosdepth's there, by the deletions."),
    ck$mean_diff, ck$dist_diff, format(ck$drift, big.mark = ","), format(f_info$count, big.mark = ",")), "",
  "### Targets", "", features_targets, "",
  sprintf("The calls of the single runs, in order: `summarize_features()` %s; `depth_distribution()` %s; mosdepth over the features %s. Spread between runs is the shared machine's (during the first run of `summarize_features()` another measurement of ours ran beside it).",
          paste(sprintf("%.2f s", f_runs$call[grepl(sf, f_runs$tool, fixed = TRUE)]), collapse = ", "),
          paste(sprintf("%.2f s", f_runs$call[grepl(dd, f_runs$tool, fixed = TRUE)]), collapse = ", "),
          paste(sprintf("%.2f s", f_runs$elapsed[grepl(md_f, f_runs$tool, fixed = TRUE)]), collapse = ", ")), "",
  profile_lines,
  "### Table", "",
  "| tool | call | whole process | whole-process CPU | call CPU | peak memory |",
  "|---|---:|---:|---:|---:|---:|",
  f_rows, "",
  sprintf("Plot: `bench/%s`, median elapsed time (Tolvendra: the call) and peak memory of each tool on log axes.", features_plot), "",
  sprintf("![Features and depth distributions](%s)", features_plot), ""
)
