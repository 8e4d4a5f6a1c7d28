# Example analysis: coverage of seq1:1-1575 in Rsamtools' example BAM file.
# Writes the regions as a TSV file and the coverage plot as a PNG.
library(Tolvendra)

out <- if (length(commandArgs(TRUE)) > 0) commandArgs(TRUE)[1] else "tolvendra-demo"
dir.create(out, showWarnings = FALSE)

bam <- system.file("extdata", "ex1.bam", package = "Rsamtools")
x <- analyze_region(bam, "seq1", 1, 1575, width = 100, threshold = 45,
                    minlen = 20)
print(x)
print(summary(x))

tsv <- file.path(out, "ex1-seq1-regions.tsv")
png <- file.path(out, "ex1-seq1-coverage.png")
utils::write.table(as.data.frame(x), tsv, sep = "\t", quote = FALSE,
                   row.names = FALSE)
plot(x, file = png)
cat(sprintf("Wrote %s and %s\n", tsv, png))
