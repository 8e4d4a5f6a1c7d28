# Reads counted as peers count them: mates, fragments, extension, strands,
# and the library sizes that normalization divides by.

# Paired-end reads in forward-reverse pairs (overlapping or not, R1 left or
# right, some left mates spliced or clipped) and single reads.
paired_records <- function(seed, pairs = 300, singles = 100, length = 5000,
                           cigars = c("50M", "50M", "20M100N30M", "10S40M")) {
  set.seed(seed)
  records <- character()
  for (i in seq_len(pairs)) {
    left <- sample(1:(length - 500), 1)
    right <- left + sample(10:250, 1)
    tlen <- right + 49 - left + 1
    r1_left <- sample(c(TRUE, FALSE), 1)
    flags <- c(1 + 2 + 32 + if (r1_left) 64 else 128,
               1 + 2 + 16 + if (r1_left) 128 else 64)
    records <- c(records,
      sprintf("p%d %d chr1 %d %d %s = %d %d * *", i, flags[1], left,
              sample(c(20, 60), 1), sample(cigars, 1), right, tlen),
      sprintf("p%d %d chr1 %d 60 50M = %d %d * *", i, flags[2], right, left, -tlen))
  }
  c(records, sprintf("s%d %d chr1 %d 60 50M * 0 0 * *", seq_len(singles),
                     sample(c(0, 16), singles, replace = TRUE),
                     sample(1:(length - 100), singles, replace = TRUE)))
}

# The reads of a BAM file with all these flags, as samtools view -f keeps them.
filtered <- function(bam, flags) {
  out <- tempfile(fileext = ".bam")
  system2("samtools", c("view", "-b", "-f", flags, "-o", shQuote(out), shQuote(bam)))
  system2("samtools", c("index", shQuote(out)))
  out
}

bedtools_depth <- function(bam, args) {
  out <- system2("bedtools", c("genomecov", "-ibam", shQuote(bam), "-d", args),
                 stdout = TRUE)
  as.integer(vapply(strsplit(out, "\t"), `[`, "", 3L))
}

# Each pair covers the union of its mates' aligned blocks, computed here
# from GenomicAlignments' blocks, without the package.
union_depth <- function(bam, length) {
  param <- Rsamtools::ScanBamParam(what = "qname",
                                   flag = Rsamtools::scanBamFlag(isUnmappedQuery = FALSE))
  reads <- GenomicAlignments::readGAlignments(bam, param = param)
  blocks <- unlist(GenomicAlignments::grglist(reads))
  names(blocks) <- NULL
  pairs <- GenomicRanges::split(blocks, rep(S4Vectors::mcols(reads)$qname,
                                            lengths(GenomicAlignments::grglist(reads))))
  covered <- unlist(GenomicRanges::reduce(pairs, ignore.strand = TRUE))
  depth <- as.integer(GenomicRanges::coverage(covered)[["chr1"]])
  c(depth, integer(length - length(depth)))
}

test_that("reading options give the peers' per-base depth", {
  skip_without_samtools()
  skip_if(!nzchar(Sys.which("bedtools")), "bedtools is not installed")
  plain <- make_bam(paired_records(1, cigars = "50M"), lengths = c(chr1 = 5000))
  spliced <- make_bam(paired_records(2), lengths = c(chr1 = 5000))
  ex1 <- ex1_bam()
  cases <- list(
    list("overlap once, mates without gaps", plain, list(overlap = "once"),
         function() samtools_depth(plain, "chr1", 1, 5000, "-s")),
    list("overlap once on Rsamtools' ex1.bam", ex1, list(overlap = "once"),
         function() samtools_depth(ex1, "seq1", 1, 1575, "-s")),
    list("fragments", spliced, list(fragments = TRUE),
         function() bedtools_depth(spliced, "-pc")),
    list("extend 200", spliced, list(extend = 200),
         function() bedtools_depth(spliced, c("-fs", "200"))),
    list("strand +", spliced, list(strand = "+"),
         function() bedtools_depth(spliced, c("-split", "-strand", "+", "-du"))),
    list("strand -", spliced, list(strand = "-"),
         function() bedtools_depth(spliced, c("-split", "-strand", "-", "-du"))),
    list("include flags", spliced, list(include_flags = 64 + 32),
         function() samtools_depth(filtered(spliced, "96"), "chr1", 1, 5000))
  )
  if (requireNamespace("GenomicAlignments", quietly = TRUE)) {
    cases <- c(cases, list(list("overlap once, spliced mates", spliced,
                                list(overlap = "once"),
                                function() union_depth(spliced, 5000))))
  }
  for (case in cases) {
    seqname <- if (identical(case[[2]], ex1)) "seq1" else "chr1"
    got <- do.call(analyze_region, c(list(case[[2]], seqname, progress = FALSE),
                                     case[[3]]))$coverage
    expect_identical(got, case[[4]](), label = case[[1]])
  }
  # windows: fragments and extended reads that start before or after one
  # still count inside it, whatever the stretches counted at a time
  for (options in list(list(fragments = TRUE), list(extend = 200))) {
    whole <- do.call(analyze_region, c(list(spliced, "chr1", progress = FALSE),
                                       options))$coverage
    for (chunk in c(1, 64, 65536)) {
      window <- do.call(analyze_region, c(list(spliced, "chr1", 2001, 3000,
                                                progress = FALSE, chunk_size = chunk),
                                           options))$coverage
      expect_identical(window, whole[2001:3000],
                       label = sprintf("%s, chunk_size %d", names(options), chunk))
    }
  }
})

test_that("library sizes count what the options keep, as samtools view -c", {
  skip_without_samtools()
  skip_if_not_installed("BiocParallel")
  skip_if_not_installed("SummarizedExperiment")
  bam <- make_bam(paired_records(3), lengths = c(chr1 = 5000))
  count <- function(args) {
    as.numeric(system2("samtools", c("view", "-c", args, shQuote(bam)), stdout = TRUE))
  }
  cases <- list(
    list(list(), c("-F", "1796")),
    list(list(min_mapq = 30), c("-F", "1796", "-q", "30")),
    list(list(include_flags = 64), c("-F", "1796", "-f", "64")),
    # fragments: proper pairs, counted once by their left (TLEN > 0) mate
    list(list(fragments = TRUE), c("-F", "1796", "-f", "2", "-e", "'tlen > 0'"))
  )
  for (case in cases) {
    x <- do.call(analyze_samples, c(list(c(a = bam), normalize = "cpm",
                                         progress = FALSE), case[[1]]))
    expect_identical(x$bins$library_size, count(case[[2]]),
                     label = paste(names(case[[1]]), collapse = ", "))
    expect_identical(x$bins$scale_factor, 1e6 / count(case[[2]]))
  }
  # the index counts 3,271 mapped reads on ex1.bam; 3,210 have quality 30
  x <- analyze_samples(c(a = ex1_bam()), normalize = "cpm", min_mapq = 30,
                       progress = FALSE)
  expect_identical(x$bins$library_size, 3210)
  expect_identical(x$bins$mapped, 3271)
})
