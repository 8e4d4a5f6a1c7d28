# BAM files for the tests: Rsamtools' example, and small ones written here.

# TOLVENDRA_NO_BIOC leaves out the tests that load the Bioconductor stack,
# as the valgrind run does.
skip_without_bam <- function() {
  skip_if(nzchar(Sys.getenv("TOLVENDRA_NO_BIOC")), "TOLVENDRA_NO_BIOC is set")
  skip_if_not_installed("Rsamtools")
  skip_if_not_installed("GenomicAlignments")
}

skip_without_samtools <- function() {
  skip_if(!nzchar(Sys.which("samtools")), "samtools is not installed")
}

ex1_bam <- function() system.file("extdata", "ex1.bam", package = "Rsamtools")

# Writes SAM records (one string each, fields separated by tabs or runs of
# spaces) as a sorted, indexed BAM file; returns its path. samtools writes
# it when it is there (it needs no R package), else Rsamtools.
make_bam <- function(records, dir = tempfile("bam"), lengths = c(chr1 = 1000),
                     name = "reads") {
  dir.create(dir, showWarnings = FALSE)
  sam <- file.path(dir, paste0(name, ".sam"))
  writeLines(c("@HD\tVN:1.6\tSO:coordinate",
               sprintf("@SQ\tSN:%s\tLN:%d", names(lengths), lengths),
               gsub(" +", "\t", records)), sam)
  bam <- file.path(dir, paste0(name, ".bam"))
  if (nzchar(Sys.which("samtools"))) {
    stopifnot(system2("samtools", c("sort", "-o", shQuote(bam), shQuote(sam)),
                      stdout = FALSE, stderr = FALSE) == 0,
              system2("samtools", c("index", shQuote(bam))) == 0)
  } else {
    skip_if_not_installed("Rsamtools")
    Rsamtools::asBam(sam, sub("\\.bam$", "", bam), overwrite = TRUE)
  }
  bam
}

# Per-base depth of a region as `samtools depth -a -J` counts it.
samtools_depth <- function(file, seqname, start, end, args = character()) {
  region <- sprintf("%s:%d-%d", seqname, start, end)
  out <- system2("samtools", c("depth", "-a", "-J", args, "-r", region,
                               shQuote(file)), stdout = TRUE)
  depth <- integer(end - start + 1)
  if (length(out) > 0) {
    fields <- do.call(rbind, strsplit(out, "\t"))
    depth[as.integer(fields[, 2]) - start + 1] <- as.integer(fields[, 3])
  }
  depth
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
