# The paired-end part of RESULTS.md (`paired_lines`) and its plot, from
# `paired` (runs saved by bench/paired.R). Sourced by bench/report.R.
p_info <- paired$info
p_summary <- merge(stats::aggregate(cbind(elapsed, user, sys) ~ tool, paired$runs, stats::median),
                   stats::aggregate(rss_kib ~ tool, paired$runs, max), by = "tool")
p_summary$mb <- p_summary$rss_kib * 1024 / 1e6
p_summary$cpu <- p_summary$user + p_summary$sys
p_order <- c("tolvendra default", "tolvendra overlap = \"once\"", "tolvendra fragments = TRUE",
             "mosdepth -t 0", "mosdepth -t 0 --fast-mode", "samtools depth -a -J",
             "samtools depth -a -J -s")
p_summary <- p_summary[order(match(p_summary$tool, p_order)), ]
p_of <- function(tool, what = "elapsed") p_summary[p_summary$tool == tool, what]
p_ratio <- function(a, b, what = "elapsed") p_of(a, what) / p_of(b, what)
p_secs <- function(x) ifelse(is.finite(x), sprintf("%.2f s", x), "stopped")

# Each of our configurations against the peer that counts the same thing,
# and the cost of each option against our default.
p_peer <- c("tolvendra default" = "mosdepth -t 0 --fast-mode",
            "tolvendra overlap = \"once\"" = "mosdepth -t 0")
p_rows <- sprintf("| %s | %s | %.2f s | %.2f s | %.0f MB | %s | %s | %s |",
                  p_summary$tool, p_secs(p_summary$elapsed), p_summary$user, p_summary$sys, p_summary$mb,
                  sprintf("%.2fx", p_summary$elapsed / p_of("tolvendra default")),
                  sprintf("%.2fx", p_summary$elapsed / p_of("mosdepth -t 0")),
                  sprintf("%.2fx", p_summary$cpu / p_of("mosdepth -t 0", "cpu")))

paired_plot <- "paired.png"
grDevices::png(file.path(out_dir, paired_plot), width = 1500, height = 620, res = 120)
graphics::layout(matrix(1:2, 1), widths = c(1.45, 1))
cols <- ifelse(startsWith(p_summary$tool, "tolvendra"), "black",
               ifelse(startsWith(p_summary$tool, "mosdepth"), "#E16A86", "#5F8A00"))
pchs <- ifelse(startsWith(p_summary$tool, "tolvendra"), 19, ifelse(startsWith(p_summary$tool, "mosdepth"), 17, 15))
graphics::par(mar = c(4.5, 15, 3, 1), cex.lab = 1.05)
dot_panel(p_summary$elapsed, p_summary$tool, cols, pchs, "elapsed time, median of runs (s, log scale)",
          sprintf("%gM paired reads over %g Mb: time", 2 * p_info$pairs / 1e6, p_info$len / 1e6), "%.2f s")
graphics::par(mar = c(4.5, 1, 3, 1))
dot_panel(p_summary$mb, p_summary$tool, cols, pchs, "peak resident memory (MB, log scale)",
          "peak memory", "%.0f MB", show_labels = FALSE)
grDevices::dev.off()

b <- p_info$bases
big <- function(x) format(x, big.mark = ",", scientific = FALSE)
paired_lines <- c(
  "## Paired-end reads", "",
  sprintf(paste(
    "One simulated BAM of %gM proper FR pairs (%gM reads) of 2 x 100 bp (`100M`, no gaps) over one %g-Mb sequence, fragment lengths uniform over %d-%d bp, so the pairs with fragments under 200 bp (%.0f%% of them) have overlapping mates;",
    "written as SAM text by vectorised R and sorted by `samtools sort -@2` (`bench/paired.R`, kept in `bench/build/`).",
    "Over the whole sequence, counting every mate gives %s bases of depth, counting overlaps once %s (%.2f%% fewer), and counting whole fragments %s."),
    p_info$pairs / 1e6, 2 * p_info$pairs / 1e6, p_info$len / 1e6, p_info$fragments[1], p_info$fragments[2],
    100 * (200 - p_info$fragments[1]) / (p_info$fragments[2] - p_info$fragments[1] + 1),
    big(b[["count"]]), big(b[["once"]]), 100 * (1 - b[["once"]] / b[["count"]]), big(b[["fragments"]])), "",
  sprintf(paste(
    "Before timing, over chr1:%.0f-%.0f, `analyze_region()`'s per-base coverage with the default options equals `samtools depth -a -J`'s and with `overlap = \"once\"` equals `samtools depth -a -J -s`'s at every position.",
    "`fragments = TRUE` was not checked here (the package's tests check it against `bedtools genomecov -pc`)."),
    p_info$window[1], p_info$window[2]), "",
  sprintf(paste(
    "Each tool ran %d time%s as a fresh process over the whole sequence (Tolvendra: `analyze_region(bam, \"chr1\", 1, %.0f, width = 1000, threads = 1, ...)`; mosdepth: `-n --by 1000 -t 0`; samtools: `depth -a -J [-s] -r chr1` to `/dev/null`, per-base output of every position),",
    "on the default build (system htslib). The machine was shared (load average %s before, %s after)."),
    p_info$repeats, if (p_info$repeats > 1) "s" else "", p_info$len,
    paste(strsplit(p_info$load[["before"]], " ")[[1]][1:3], collapse = " "),
    paste(strsplit(p_info$load[["after"]], " ")[[1]][1:3], collapse = " ")), "",
  sprintf(paste(
    "Cost of the options: `overlap = \"once\"` takes %.2fx the default's time (%.2fx its CPU), `fragments = TRUE` %.2fx (%.2fx CPU).",
    "mosdepth's own overlap correction costs it %.2fx its `--fast-mode`; samtools' `-s` %.2fx its plain run.",
    "Against the peer that counts the same thing: our default %.2fx mosdepth `--fast-mode` (%.2fx CPU), our `overlap = \"once\"` %.2fx mosdepth's default (%.2fx CPU)."),
    p_ratio("tolvendra overlap = \"once\"", "tolvendra default"),
    p_ratio("tolvendra overlap = \"once\"", "tolvendra default", "cpu"),
    p_ratio("tolvendra fragments = TRUE", "tolvendra default"),
    p_ratio("tolvendra fragments = TRUE", "tolvendra default", "cpu"),
    p_ratio("mosdepth -t 0", "mosdepth -t 0 --fast-mode"),
    p_ratio("samtools depth -a -J -s", "samtools depth -a -J"),
    p_ratio("tolvendra default", "mosdepth -t 0 --fast-mode"),
    p_ratio("tolvendra default", "mosdepth -t 0 --fast-mode", "cpu"),
    p_ratio("tolvendra overlap = \"once\"", "mosdepth -t 0"),
    p_ratio("tolvendra overlap = \"once\"", "mosdepth -t 0", "cpu")), "",
  "| tool | elapsed | user CPU | system CPU | peak memory | elapsed / Tolvendra default | elapsed / mosdepth -t 0 | CPU / mosdepth -t 0 |",
  "|---|---:|---:|---:|---:|---:|---:|---:|",
  p_rows, "",
  sprintf("Plot: `bench/%s`, median elapsed time and peak memory of each tool on log axes.", paired_plot), "",
  sprintf("![Paired-end reads](%s)", paired_plot), ""
)
