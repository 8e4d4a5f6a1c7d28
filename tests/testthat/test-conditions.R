# Every error of the package inherits "tolvendra_error" and carries its
# data as fields, through every back end.

test_that("each class of error inherits tolvendra_error and carries its fields", {
  skip_without_samtools()
  bam <- make_bam(sprintf("r%d 0 chr1 %d 60 50M * 0 0 * *", 1:20, 1:20))
  cases <- list(
    list(quote(analyze_region(bam, "chr1", width = -3)),
         "tolvendra_error_arg", list(arg = NULL)),
    list(quote(analyze_region(bam, "chr1", chunksize = 5)),
         "tolvendra_error_arg", list(arg = "...")),
    list(quote(analyze_region(bam, "chr1", options = list())),
         "tolvendra_error_arg", list(arg = "options")),
    list(quote(read_blocks(paste0(bam, ".bai"), "chr1")),
         "tolvendra_error_bam", list(file = paste0(bam, ".bai"), fault = "index")),
    list(quote(Tolvendra:::raise_fault(list(fault = "memory", what = ""), bam,
                                       "file", NULL)),
         "tolvendra_error_memory", list(file = bam)),
    list(quote(Tolvendra:::raise_fault(list(fault = "overflow", what = ""),
                                       bam, "files", NULL)),
         "tolvendra_error_overflow", list(file = bam)),
    list(quote(Tolvendra:::check_installed("notAPackageAtAll")),
         "tolvendra_error_missing_package", list(package = "notAPackageAtAll"))
  )
  for (case in cases) {
    err <- expect_error(eval(case[[1]]), class = case[[2]],
                        label = deparse(case[[1]]))
    expect_s3_class(err, "tolvendra_error")
    for (field in names(case[[3]])) {
      expect_identical(err[[field]], case[[3]][[field]],
                       label = paste(deparse(case[[1]]), field))
    }
  }
})

test_that("a damaged file in a study is a BAM error naming it, on every back end", {
  skip_without_samtools()
  skip_if_not_installed("BiocParallel")
  skip_on_cran()
  good <- make_bam(sprintf("r%d 0 chr1 %d 60 50M * 0 0 * *", 1:2000,
                           rep(1:900, length.out = 2000)), name = "good")
  bytes <- readBin(good, "raw", file.size(good))
  bad <- file.path(tempfile("bad"), "bad.bam")
  dir.create(dirname(bad))
  writeBin(bytes[-(length(bytes) %/% 2 + 0:40)], bad)
  file.copy(paste0(good, ".bai"), paste0(bad, ".bai"))
  for (param in list(BiocParallel::SerialParam(), BiocParallel::SnowParam(2))) {
    err <- expect_error(
      x <- analyze_samples(c(a = good, b = bad), BPPARAM = param,
                           progress = FALSE),
      class = "tolvendra_error_bam", label = class(param)[1])
    expect_identical(err$file, bad)
    expect_match(conditionMessage(err), "^`files` \\(")
    expect_identical(deparse(conditionCall(err)[[1]]), "analyze_samples")
    expect_false(exists("x", inherits = FALSE))
  }
})

test_that("a study decodes each file once", {
  skip_without_samtools()
  skip_if_not_installed("BiocParallel")
  reads <- sprintf("r%d 0 chr%d %d 60 30M * 0 0 * *", 1:600, rep(1:3, 200),
                   rep(seq(1, 900, by = 3), 2))
  bam <- make_bam(reads, lengths = c(chr1 = 1000, chr2 = 1000, chr3 = 1000))
  decoded <- function() Tolvendra:::records_decoded()
  for (where in list(NULL, c("chr1:1-400", "chr1:420-900", "chr3:1-1000"))) {
    before <- decoded()
    x <- analyze_samples(c(a = bam, b = bam), where, progress = FALSE)
    # each sample's reads of the targets' sequences, once
    expected <- 2 * if (is.null(where)) 600 else 400
    expect_identical(decoded() - before, expected,
                     label = paste(where, collapse = ", "))
  }
})
