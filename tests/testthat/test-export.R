# Per-base values of a bigWig file read back, one vector per sequence.
import_bigwig <- function(path, seqnames) {
  track <- rtracklayer::import(path)
  lapply(stats::setNames(seqnames, seqnames), function(s) {
    runs <- track[as.character(GenomicRanges::seqnames(track)) == s]
    rep(runs$score, GenomicRanges::width(runs))
  })
}

test_that("a bigWig track read back equals the per-base coverage", {
  skip_without_bam()
  skip_if_not_installed("rtracklayer")
  study <- make_study()
  depth <- reference_depth(study$file[2])
  bw <- tempfile(fileext = ".bw")
  expect_identical(export_coverage(study$file[2], bw), bw)
  expect_identical(import_bigwig(bw, names(study_lengths)),
                   lapply(depth, as.double))

  # per million reads of the library, in single precision
  export_coverage(study$file[2], bw, normalize = "cpm")
  factor <- 1e6 / reference_library(study$file[2])
  expect_equal(import_bigwig(bw, names(study_lengths)),
               lapply(depth, function(d) d * factor), tolerance = 1e-6)

  # targets are written sorted
  export_coverage(study$file[2], bw, where = c("chrC:5-20", "chrA:1-30"))
  track <- rtracklayer::import(bw)
  expect_identical(as.character(GenomicRanges::seqnames(track)[c(1, length(track))]),
                   c("chrA", "chrC"))
  expect_identical(rep(track$score, GenomicRanges::width(track)),
                   as.double(c(depth$chrA[1:30], depth$chrC[5:20])))
})

test_that("a bedGraph track equals bedtools genomecov -bga -split", {
  skip_without_bam()
  skip_if(!nzchar(Sys.which("bedtools")) || !nzchar(Sys.which("samtools")),
          "bedtools or samtools missing")
  # bedtools counts deletions differently and does not filter flags: give
  # it reads without deletions, filtered as the reader filters them
  study <- make_study(deletions = FALSE)
  for (file in study$file) {
    filtered <- tempfile(fileext = ".bam")
    system2("samtools", c("view", "-b", "-F", "1796", "-o", filtered,
                          shQuote(file)))
    expected <- system2("bedtools", c("genomecov", "-bga", "-split", "-ibam",
                                      filtered), stdout = TRUE)
    track <- tempfile(fileext = ".bedGraph")
    export_coverage(file, track, format = "bedGraph")
    expect_identical(readLines(track), expected, label = basename(file))
  }
})

test_that("bedGraph runs of targets are 0-based and half-open", {
  skip_without_bam()
  study <- make_study()
  depth <- reference_depth(study$file[1])
  track <- tempfile(fileext = ".bedGraph")
  where <- data.frame(chr = c("chrB", "chrA"), start = c(1001, 7),
                      end = c(1800, 7))
  export_coverage(study$file[1], track, format = "bedGraph", where = where)
  lines <- read.table(track, sep = "\t", col.names = c("seq", "from", "to", "depth"))
  # sorted along the file's sequences, as genome browsers want them
  expect_identical(lines$from[1:2], c(6L, 1000L))
  expect_identical(tail(lines$to, 1), 1800L)
  expect_identical(lines$seq[1], "chrA")
  # expanding the runs gives back the depth
  expanded <- rep(lines$depth, lines$to - lines$from)
  expect_identical(expanded, c(depth$chrA[7], depth$chrB[1001:1800]))
  # neighbouring runs differ
  same_seq <- lines$seq[-1] == lines$seq[-nrow(lines)]
  expect_true(all(lines$depth[-1][same_seq] != lines$depth[-nrow(lines)][same_seq]))
})

test_that("regions are written as BED and TSV with each sample's mean", {
  skip_without_bam()
  study <- make_study()
  x <- analyze_samples(study, threshold = 10, minlen = 20, progress = FALSE)
  regions <- as.data.frame(SummarizedExperiment::rowRanges(x$regions))
  means <- unname(SummarizedExperiment::assay(x$regions, "mean"))

  bed <- tempfile(fileext = ".bed")
  expect_identical(export_regions(x, bed), bed)
  header <- readLines(bed, n = 1)
  expect_identical(header, paste0("#chrom\tchromStart\tchromEnd\tname\t",
                                  "score\tstrand\tpooled\ts1\ts2\ts3"))
  got <- read.table(bed, sep = "\t", comment.char = "#")
  expect_identical(got$V1, as.character(regions$seqnames))
  expect_identical(got$V2 + 1L, regions$start)
  expect_identical(got$V3, regions$end)
  expect_identical(got$V4, sprintf("%s:%d-%d", regions$seqnames,
                                   regions$start, regions$end))
  expect_identical(got$V5, rep(0L, nrow(got)))
  expect_identical(got$V6, rep(".", nrow(got)))
  # 6 significant digits
  expect_equal(unname(as.matrix(got[8:10])), means, tolerance = 1e-5)

  # BED readers take it as BED6+4
  if (requireNamespace("rtracklayer", quietly = TRUE)) {
    extra <- c(pooled = "numeric", s1 = "numeric", s2 = "numeric",
               s3 = "numeric")
    track <- rtracklayer::import(bed, format = "bed", extraCols = extra)
    expect_identical(GenomicRanges::start(track), regions$start)
    expect_equal(unname(as.matrix(S4Vectors::mcols(track)[names(extra)][-1])),
                 means, tolerance = 1e-5)
    expect_equal(track$pooled, regions$pooled, tolerance = 1e-5)
  }
  if (nzchar(Sys.which("bedtools"))) {
    merged <- system2("bedtools", c("merge", "-c", "8,9,10", "-o", "sum",
                                    "-i", shQuote(bed)), stdout = TRUE)
    fields <- do.call(rbind, strsplit(merged, "\t"))
    expect_equal(sum(as.numeric(fields[, 4:6])), sum(means), tolerance = 1e-5)
  }

  tsv <- tempfile(fileext = ".tsv")
  export_regions(x, tsv, format = "tsv")
  got <- read.delim(tsv)
  expect_identical(names(got), c("seqname", "start", "end", "width", "pooled",
                                 "s1", "s2", "s3"))
  expect_identical(got$start, regions$start)
  expect_equal(unname(as.matrix(got[6:8])), means, tolerance = 1e-5)
})

test_that("bad tracks and regions give clear errors", {
  skip_without_bam()
  study <- make_study()
  file <- study$file[1]
  expect_snapshot(error = TRUE, {
    export_coverage(file, tempfile(), format = "wig")
    export_coverage(file, NA)
    export_coverage(file, tempfile(), where = c("chrA:1-100", "chrA:50-60"))
    export_regions(list(), tempfile())
    export_regions(structure(list(), class = "tolvendra_samples"), tempfile(),
                   format = "csv")
  })
})
