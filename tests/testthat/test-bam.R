test_that("coverage from a BAM file equals GenomicAlignments' coverage()", {
  skip_without_bam()
  bam <- ex1_bam()
  for (r in list(c("seq1", 1, 1575), c("seq2", 100, 901), c("seq2", 1584, 1584))) {
    from <- as.integer(r[2])
    to <- as.integer(r[3])
    expected <- ga_coverage(bam, r[1], from, to)
    # small chunks: reads crossing chunk borders must count once
    for (chunk in c(1e6, 97, 1)) {
      got <- analyze_region(bam, r[1], from, to, chunk_size = chunk,
                            progress = FALSE)$coverage
      expect_identical(got, expected)
    }
  }
})

test_that("spliced reads are split at their gaps unless asked otherwise", {
  skip_without_bam()
  dir <- tempfile("spliced")
  dir.create(dir)
  bam <- file.path(dir, "treated.bam")
  file.copy(system.file("extdata", "sm_treated1.bam",
                        package = "GenomicAlignments"), bam)
  Rsamtools::indexBam(bam)
  expect_identical(analyze_region(bam, "chr2R", 2000, 28000)$coverage,
                   ga_coverage(bam, "chr2R", 2000, 28000))
  blocks <- read_blocks(bam, "chr2R", 2000, 28000)
  spans <- read_blocks(bam, "chr2R", 2000, 28000, split = FALSE)
  expect_gt(nrow(blocks), nrow(spans))
  expect_gt(sum(spans$end - spans$start), sum(blocks$end - blocks$start))
})

test_that("reads are filtered the way coverage tools filter them", {
  skip_without_bam()
  bam <- make_bam(c(
    "plain   0    chr1 10 60 10M        * 0 0 * *",
    "unmap   4    chr1 15 0  *          * 0 0 * *",
    "second  256  chr1 20 60 10M        * 0 0 * *",
    "qcfail  512  chr1 30 60 10M        * 0 0 * *",
    "dup     1024 chr1 40 60 10M        * 0 0 * *",
    "lowq    0    chr1 50 5  10M        * 0 0 * *",
    "spliced 0    chr1 60 60 5M10N5M    * 0 0 * *",
    "deleted 0    chr1 90 60 5M3D5M     * 0 0 * *"
  ))
  # a deletion does not split a block; an intron (N) does
  expected <- data.frame(start = c(10L, 50L, 60L, 75L, 90L),
                         end = c(19L, 59L, 64L, 79L, 102L))
  blocks <- read_blocks(bam, "chr1", 1, 1000)
  expect_identical(blocks, expected)
  strict <- read_blocks(bam, "chr1", 1, 1000, min_mapq = 10)
  expect_false(50L %in% strict$start)
  spans <- read_blocks(bam, "chr1", 55, 70, split = FALSE)
  expect_identical(spans, data.frame(start = c(50L, 60L), end = c(59L, 79L)))
  cov <- analyze_region(bam, "chr1", 1, 120)$coverage
  expect_identical(which(cov > 0),
                   c(10:19, 50:59, 60:64, 75:79, 90:102))
})

test_that("bad files and regions give clear errors", {
  skip_without_bam()
  unindexed <- file.path(tempfile("noindex"), "ex1.bam")
  dir.create(dirname(unindexed))
  file.copy(ex1_bam(), unindexed)
  not_bam <- file.path(dirname(unindexed), "broken.bam")
  writeLines("not a bam file", not_bam)
  file.create(paste0(not_bam, ".bai"))
  bam <- ex1_bam()
  expect_snapshot(error = TRUE, transform = function(x) gsub("\"[^\"]*/", "\"", x), {
    read_blocks("no/such/file.bam", "seq1", 1, 10)
    read_blocks(unindexed, "seq1", 1, 10)
    read_blocks(not_bam, "seq1", 1, 10)
    read_blocks(bam, "chr1", 1, 10)
    read_blocks(bam, "seq1", 20, 10)
    read_blocks(bam, "seq1", 1, 2000)
    read_blocks(bam, "seq1", 0, 10)
    read_blocks(bam, "seq1", 1, 10, split = NA)
  })
})

test_that("a missing suggested package says how to install it", {
  expect_snapshot(error = TRUE, {
    Tolvendra:::check_installed(c("notAPackageAtAll", "norThisOne"))
  })
})
