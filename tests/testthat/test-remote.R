# Files on a server, read through htslib: the same numbers as the local
# copy, faults that name the URL, and nothing taken from or left in the
# working folder.

test_that("a BAM file over HTTP reads as its local copy", {
  skip_without_bam()
  skip_if_not("http" %in% tolvendra_info()$protocols, "htslib reads no http URLs")
  served <- tempfile("served")
  dir.create(served)
  bam <- file.path(served, "reads.bam")
  file.copy(ex1_bam(), bam)
  file.copy(paste0(ex1_bam(), ".bai"), paste0(bam, ".bai"))
  server <- local_range_server(served)
  url <- paste0(server$url, "/reads.bam")
  # a stray index of another file, under the remote file's name, in the
  # working folder
  work <- withr::local_tempdir()
  other <- make_bam(sprintf("r%d 0 seq1 %d 60 10M * 0 0 * *", 1:50, 1:50),
                    lengths = c(seq1 = 1575, seq2 = 1584))
  file.copy(paste0(other, ".bai"), file.path(work, "reads.bam.bai"))
  withr::local_dir(work)
  local <- analyze_region(bam, "seq1", progress = FALSE)
  remote <- analyze_region(url, "seq1", progress = FALSE)
  expect_identical(remote$coverage, local$coverage)
  expect_identical(remote$regions, local$regions)
  expect_true("/reads.bam.bai" %in% server$requests())
  expect_identical(read_blocks(url, "seq2", 100, 200), read_blocks(bam, "seq2", 100, 200))
  skip_if_not_installed("SummarizedExperiment")
  sums <- function(file) {
    x <- analyze_samples(c(a = file), width = 100, threshold = 40, progress = FALSE)
    list(SummarizedExperiment::assay(x$bins, "sum"), SummarizedExperiment::rowRanges(x$regions))
  }
  expect_identical(sums(url), sums(bam))
  expect_identical(sort(list.files(work, all.files = TRUE, no.. = TRUE)),
                   "reads.bam.bai")
})

test_that("unreachable files and missing indexes on a server are classed errors", {
  skip_without_bam()
  skip_if_not("http" %in% tolvendra_info()$protocols, "htslib reads no http URLs")
  served <- tempfile("served")
  dir.create(served)
  file.copy(ex1_bam(), file.path(served, "unindexed.bam"))
  server <- local_range_server(served)
  # a port nothing listens on: the server's, once it is stopped
  closed <- local({
    s <- local_range_server(served)
    s$url
  })
  cases <- list(
    list("missing", paste0(server$url, "/missing.bam"), "open"),
    list("no index", paste0(server$url, "/unindexed.bam"), "index"),
    list("refused", paste0(closed, "/unindexed.bam"), "open"))
  for (case in cases) {
    err <- expect_error(analyze_region(case[[2]], "seq1", progress = FALSE),
                        class = "tolvendra_error_bam", label = case[[1]])
    expect_identical(err$file, case[[2]], label = case[[1]])
    expect_identical(err$fault, case[[3]], label = case[[1]])
  }
  expect_error(analyze_region("nosuch://host/x.bam", "seq1"),
               class = "tolvendra_error_arg")
})
