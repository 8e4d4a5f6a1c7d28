# Example study of several samples over whole sequences: writes four
# simulated BAM files (two treated, two control samples, 100-base reads
# over three sequences of 1.5 to 4 Mb), analyses them with
# analyze_samples() and writes the overview plot, the regions and a track.
#   Rscript tools/samples-demo.R [output folder]
library(Tolvendra)

out <- if (length(commandArgs(TRUE)) > 0) commandArgs(TRUE)[1] else "tolvendra-study"
dir.create(out, showWarnings = FALSE)

lengths <- c(chr1 = 4e6, chr2 = 2.5e6, chr3 = 1.5e6)
# Enriched domains: where, how wide, the extra depth, and in which samples
domains <- data.frame(
  seqname = c("chr1", "chr1", "chr1", "chr2", "chr2", "chr3"),
  start = c(600e3, 1.9e6, 3.3e6, 700e3, 1.8e6, 900e3),
  width = c(60e3, 120e3, 40e3, 90e3, 50e3, 80e3),
  depth = c(30, 25, 40, 30, 20, 35),
  treated_only = c(FALSE, TRUE, FALSE, TRUE, FALSE, TRUE))
samples <- data.frame(sample = c("treated1", "treated2", "control1", "control2"),
                      condition = c("treated", "treated", "control", "control"),
                      depth = c(4, 5, 4, 6))

simulate_sample <- function(i) {
  set.seed(i)
  records <- list()
  for (s in names(lengths)) {
    n <- round(lengths[[s]] * samples$depth[i] / 100)
    pos <- sample.int(lengths[[s]] - 100, n, replace = TRUE)
    here <- domains[domains$seqname == s &
                      (!domains$treated_only | samples$condition[i] == "treated"), ]
    for (d in seq_len(nrow(here))) {
      extra <- round(here$width[d] * here$depth[d] / 100 * samples$depth[i] / 5)
      pos <- c(pos, here$start[d] + sample.int(here$width[d], extra, replace = TRUE))
    }
    pos <- sort(pos)
    records[[s]] <- sprintf("r%s_%d\t0\t%s\t%d\t60\t100M\t*\t0\t0\t*\t*",
                            s, seq_along(pos), s, pos)
  }
  sam <- file.path(out, paste0(samples$sample[i], ".sam"))
  writeLines(c("@HD\tVN:1.6\tSO:coordinate",
               sprintf("@SQ\tSN:%s\tLN:%d", names(lengths), lengths),
               unlist(records, use.names = FALSE)), sam)
  bam <- Rsamtools::asBam(sam, sub("\\.sam$", "", sam), overwrite = TRUE)
  unlink(sam)
  unname(bam)
}
samples$file <- vapply(seq_len(nrow(samples)), simulate_sample, "")
samples$depth <- NULL

x <- analyze_samples(samples, width = 20000, threshold = 15, minlen = 5000,
                     BPPARAM = BiocParallel::MulticoreParam(2))
print(x)
print(summary(x))
png <- file.path(out, "samples-overview.png")
plot(x, file = png)
export_regions(x, file.path(out, "regions.bed"))
if (requireNamespace("rtracklayer", quietly = TRUE)) {
  export_coverage(samples$file[1], file.path(out, "treated1.bw"))
}
cat(sprintf("Wrote the BAM files, %s, regions.bed and treated1.bw in %s\n",
            basename(png), out))
