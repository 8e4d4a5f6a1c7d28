# BAM files for the tests: Rsamtools' example, and small ones written here.

skip_without_bam <- function() {
  skip_if_not_installed("Rsamtools")
  skip_if_not_installed("GenomicAlignments")
}

ex1_bam <- function() system.file("extdata", "ex1.bam", package = "Rsamtools")

# Writes SAM records (one string each, tab-separated fields) on a 1000-base
# chr1 as a sorted, indexed BAM file; returns its path.
make_bam <- function(records, dir = tempfile("bam")) {
  dir.create(dir)
  sam <- file.path(dir, "reads.sam")
  writeLines(c("@HD\tVN:1.6\tSO:coordinate", "@SQ\tSN:chr1\tLN:1000",
               gsub(" +", "\t", records)), sam)
  path <- Rsamtools::asBam(sam, file.path(dir, "reads"), overwrite = TRUE)
  unname(path)
}

# Coverage of a region as GenomicAlignments computes it, as an integer vector.
ga_coverage <- function(file, seqname, start, end, flag = Rsamtools::scanBamFlag()) {
  which <- IRanges::IRangesList(IRanges::IRanges(start, end))
  names(which) <- seqname
  param <- Rsamtools::ScanBamParam(which = which, flag = flag)
  reads <- GenomicAlignments::readGAlignments(file, param = param)
  cov <- GenomicAlignments::coverage(reads)[[seqname]]
  as.integer(cov)[start:end]
}
