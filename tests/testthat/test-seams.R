# The seams between samples, targets, files and peers: scaling, targets
# outside the files, and errors that name what went wrong.

test_that("comparisons scale by the reads the options keep, or by the index when asked", {
  skip_without_bam()
  dir <- tempfile("dups")
  dir.create(dir)
  # seed 5: 200 reads a sequence, and the same file with every tenth read
  # again, flagged duplicate
  records <- simulate_records(200, 5, flagged = FALSE)
  fields <- strsplit(records[seq(1, length(records), 10)], "\t")
  dups <- vapply(fields, function(f) {
    f[1:2] <- c(paste0("dup_", f[1]), as.integer(f[2]) + 1024L)
    paste(f, collapse = "\t")
  }, "")
  plain <- write_study_bam(records, "plain", dir)
  copy <- write_study_bam(c(records, dups), "copy", dir)
  x <- compare_samples(plain, copy, "chrA", width = 100)
  expect_identical(x$scale, 1)
  expect_true(all(x$units$index == 0))
  g <- compare_groups(data.frame(file = c(plain, copy), sample = c("a", "b"),
                                 g = c("x", "y")), "g", c("chrA", "chrB"))
  expect_identical(S4Vectors::metadata(g)$scale, 1)
  expect_true(all(SummarizedExperiment::rowData(g)$index == 0))
  mapped <- reference_mapped(plain) / reference_mapped(copy)
  expect_identical(compare_samples(plain, copy, "chrA", scale = "mapped")$scale,
                   mapped)
  expect_identical(S4Vectors::metadata(compare_groups(
    data.frame(file = c(plain, copy), sample = c("a", "b"), g = c("x", "y")),
    "g", "chrA", scale = "mapped"))$scale, mapped)
  expect_error(compare_samples(plain, copy, "chrA", scale = "index"),
               class = "tolvendra_error_arg")
})
