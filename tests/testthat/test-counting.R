# Reads counted as peers count them: mates, fragments, extension, strands,
# and the library sizes that normalization divides by.

# Per-base depth of a whole sequence from mosdepth's per-base BED.
mosdepth_depth <- function(bam, seqname, length) {
  prefix <- tempfile("mosdepth")
  stopifnot(system2("mosdepth", c(shQuote(prefix), shQuote(bam))) == 0)
  runs <- utils::read.table(gzfile(paste0(prefix, ".per-base.bed.gz")),
                            colClasses = c("character", "numeric", "numeric", "integer"))
  runs <- runs[runs[[1]] == seqname, ]
  rep(runs[[4]], runs[[3]] - runs[[2]])[seq_len(length)]
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

# Each template covers the union of its records' aligned blocks, computed
# here from GenomicAlignments' blocks, without the package.
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
  skip_if(!nzchar(Sys.which("mosdepth")), "mosdepth is not installed")
  plain <- make_bam(paired_records(1, cigars = "50M"), lengths = c(chr1 = 5000))
  spliced <- make_bam(paired_records(2), lengths = c(chr1 = 5000))
  # supplementary pieces over their mates; pairs in every orientation,
  # improper ones, and mates of unmapped reads
  pieces <- make_bam(paired_records(4, supplementary = 0.3), lengths = c(chr1 = 5000))
  piece <- make_bam(c("a 65 chr1 21 30 10M = 25 14 * *",
                      "a 2177 chr1 25 30 10M = 21 14 * *",
                      "b 99 chr1 41 30 10M = 45 14 * *",
                      "b 147 chr1 45 30 10M = 41 -14 * *"), lengths = c(chr1 = 100))
  mixed <- make_bam(mixed_records(5), lengths = c(chr1 = 5000))
  ex1 <- ex1_bam()
  cases <- list(
    list("overlap once, mates without gaps", plain, list(overlap = "once"),
         function() samtools_depth(plain, "chr1", 1, 5000, "-s")),
    list("overlap once, a supplementary piece over its mate", piece,
         list(overlap = "once"), function() samtools_depth(piece, "chr1", 1, 100, "-s")),
    list("overlap once on Rsamtools' ex1.bam", ex1, list(overlap = "once"),
         function() samtools_depth(ex1, "seq1", 1, 1575, "-s")),
    list("overlap proper, deletions uncovered", mixed,
         list(overlap = "proper", deletions = "uncovered"),
         function() mosdepth_depth(mixed, "chr1", 5000)),
    list("deletions uncovered", mixed, list(deletions = "uncovered"),
         function() bedtools_depth(mixed, "-split")),
    list("fragments", spliced, list(fragments = TRUE),
         function() bedtools_depth(spliced, "-pc")),
    list("fragments of pairs in every orientation", mixed, list(fragments = TRUE),
         function() bedtools_depth(mixed, "-pc")),
    list("extend 200", spliced, list(extend = 200),
         function() bedtools_depth(spliced, c("-fs", "200"))),
    list("strand +", spliced, list(strand = "+"),
         function() bedtools_depth(spliced, c("-split", "-strand", "+", "-du"))),
    list("strand -", spliced, list(strand = "-"),
         function() bedtools_depth(spliced, c("-split", "-strand", "-", "-du"))),
    list("strand -, unmapped mates", mixed, list(strand = "-", deletions = "uncovered"),
         function() bedtools_depth(mixed, c("-split", "-strand", "-", "-du"))),
    list("include flags", spliced, list(include_flags = 64 + 32),
         function() samtools_depth(filtered(spliced, "96"), "chr1", 1, 5000))
  )
  if (requireNamespace("GenomicAlignments", quietly = TRUE)) {
    cases <- c(cases, list(
      list("overlap once, spliced mates", spliced, list(overlap = "once"),
           function() union_depth(spliced, 5000)),
      list("overlap once, supplementary pieces", pieces, list(overlap = "once"),
           function() union_depth(pieces, 5000))))
  }
  for (case in cases) {
    seqname <- if (identical(case[[2]], ex1)) "seq1" else "chr1"
    got <- do.call(analyze_region, c(list(case[[2]], seqname, progress = FALSE),
                                     case[[3]]))$coverage
    expect_identical(got, case[[4]](), label = case[[1]])
  }
})

# Each entry point's depth of a window `w` (list(start, end, pieces), on
# chr1), or what it makes of it, next to what that is from the window's
# per-base depth `d`.
where_of <- function(w) data.frame(seqname = "chr1", start = w$start, end = w$end)
entry_points <- list(
  analyze_region = list(
    got = function(bam, w, o) {
      do.call(analyze_region, c(list(bam, "chr1", w$start, w$end), o))$coverage
    },
    want = function(d, w) d),
  read_blocks = list(
    got = function(bam, w, o) {
      b <- do.call(read_blocks, c(list(bam, "chr1", w$start, w$end), o))
      gcoverage(w$start:w$end, b$start, b$end)
    },
    want = function(d, w) d),
  compare_samples = list(
    got = function(bam, w, o) {
      x <- do.call(compare_samples, c(list(bam, bam, "chr1", w$start, w$end, scale = 1), o))
      x$coverage2
    },
    want = function(d, w) d),
  analyze_samples = list(
    got = function(bam, w, o) {
      x <- do.call(analyze_samples, c(list(c(a = bam), where = where_of(w), width = 1), o))
      as.integer(SummarizedExperiment::assay(x$bins, "sum"))
    },
    want = function(d, w) d),
  summarize_features = list(
    got = function(bam, w, o) {
      x <- do.call(summarize_features, c(list(c(a = bam), w$pieces, stats = c("sum", "max")), o))
      unname(c(SummarizedExperiment::assay(x, "sum"), SummarizedExperiment::assay(x, "max")))
    },
    want = function(d, w) {
      at <- lapply(seq_len(nrow(w$pieces)), function(i) {
        (w$pieces$start[i]:w$pieces$end[i]) - w$start + 1
      })
      c(vapply(at, function(i) sum(d[i]), 0), vapply(at, function(i) max(d[i]), 0))
    }),
  export_coverage = list(
    got = function(bam, w, o) {
      path <- tempfile(fileext = ".bedGraph")
      do.call(export_coverage, c(list(bam, path, format = "bedGraph", where = where_of(w)), o))
      runs <- utils::read.table(path, colClasses = c("character", "numeric", "numeric", "numeric"))
      as.integer(rep(runs[[4]], runs[[3]] - runs[[2]]))
    },
    want = function(d, w) d),
  depth_distribution = list(
    got = function(bam, w, o) {
      x <- do.call(depth_distribution, c(list(c(a = bam), where = where_of(w), max_depth = 50), o))
      s <- x$summary[x$summary$seqname == "total", ]
      c(s$bases, s$covered, s$max)
    },
    want = function(d, w) c(sum(d), sum(d > 0), max(d)))
)

test_that("every entry point gives the whole sequence's depth under every option", {
  skip_without_samtools()
  skip_if_not_installed("SummarizedExperiment")
  records <- mixed_records(6)
  # a pair whose fragment spans 1,101..1,800 with neither mate in 1,200..1,700
  records <- c(records, "gap 99 chr1 1101 60 50M = 1751 700 * *",
               "gap 147 chr1 1751 60 50M = 1101 -700 * *")
  bam <- make_bam(records, lengths = c(chr1 = 5000))
  set.seed(7)
  windows <- lapply(c(1, 37, 400, 1500), function(width) {
    start <- sample(1:(5000 - width + 1), 1)
    list(start = start, end = start + width - 1)
  })
  windows <- c(windows, list(list(start = 1200, end = 1700)))
  for (options in reading_option_sets) {
    o <- c(options, progress = FALSE)
    whole <- do.call(analyze_region, c(list(bam, "chr1"), o))$coverage
    for (w in windows) {
      pieces <- sort(w$start - 1 + sample.int(w$end - w$start + 1, 4, replace = TRUE))
      w$pieces <- data.frame(seqname = "chr1", start = pieces[c(1, 2)],
                             end = pieces[c(3, 4)])
      for (entry in names(entry_points)) {
        got <- entry_points[[entry]]$got(bam, w, o)
        want <- entry_points[[entry]]$want(whole[w$start:w$end], w)
        expect_equal(got, want, label = sprintf(
          "%s over chr1:%d-%d with %s (seed 7)", entry, w$start, w$end,
          paste(names(options), options, sep = " = ", collapse = ", ")))
      }
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

test_that("records of every shape, across blocks and in CG tags, count as samtools reads them", {
  skip_without_samtools()
  # names of every length put each CIGAR at every alignment; sequences make
  # the CIGAR's length checked; thousands of records fill several BGZF
  # blocks, so that some lie across two; a CIGAR of 70,000 operations is
  # kept in a CG tag
  for (seed in 1:2) {
    set.seed(seed)
    n <- 3000
    names <- vapply(sample(1:80, n, replace = TRUE), function(k) {
      paste(sample(c(letters, 0:9), k, replace = TRUE), collapse = "")
    }, "")
    cigars <- c("40M", "10M2D30M", "15M300N25M", "5S35M", "12M3I25M", "40M")
    cigar <- sample(cigars, n, replace = TRUE)
    seq <- ifelse(runif(n) < 0.5, "*", strrep("A", 40))
    reads <- sprintf("%s 0 chr1 %d 60 %s * 0 0 %s *", names,
                     sample.int(99000, n, replace = TRUE), cigar, seq)
    long <- sprintf("long 0 chr1 500 60 %s * 0 0 * *", strrep("1M1D", 35000))
    bam <- make_bam(c(reads, long), lengths = c(chr1 = 100000))
    x <- analyze_region(bam, "chr1", progress = FALSE, threads = 1)
    expect_identical(x$coverage, samtools_depth(bam, "chr1", 1, 100000),
                     info = case_label(seed, reads = n + 1))
  }
})
