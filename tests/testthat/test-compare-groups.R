test_that("groups are compared by their summed coverage per feature", {
  skip_without_bam()
  study <- make_study()
  depth <- lapply(study$file, reference_depth)
  # scaled by the reads the options keep, as samtools view -c counts them
  library <- vapply(study$file, reference_library, 0)
  features <- data.frame(seqname = c("chrA", "chrB", "chrC", "chrA"),
                         start = c(1, 1500, 1000, 2400),
                         end = c(900, 1800, 1234, 2400),
                         name = c("e1", "e2", "e3", "e4"))
  x <- compare_groups(study, "condition", features, progress = FALSE)
  sums <- sapply(depth, function(d) {
    mapply(function(s, a, b) sum(as.double(d[[s]][a:b])),
           features$seqname, features$start, features$end)
  })
  expect_identical(unname(SummarizedExperiment::assay(x, "sum")), unname(sums))
  rows <- SummarizedExperiment::rowData(x)
  treated <- study$condition == "treated"
  expect_identical(rows$sum1, unname(rowSums(sums[, treated])))
  expect_identical(rows$sum2, unname(sums[, !treated]))
  scale <- sum(library[treated]) / library[[which(!treated)]]
  expect_identical(S4Vectors::metadata(x)$scale, scale)
  expect_identical(rows$index, splicingind(rows$sum1, rows$sum2, scale))
  expect_identical(rows$name, features$name)
  expect_identical(S4Vectors::metadata(x)$levels, c("treated", "control"))

  # a factor orders the groups; a given scale is used as is
  study$condition <- factor(study$condition, c("control", "treated"))
  y <- compare_groups(study, "condition", features, scale = 1,
                      progress = FALSE)
  expect_identical(SummarizedExperiment::rowData(y)$sum1, rows$sum2)
  expect_identical(SummarizedExperiment::rowData(y)$index,
                   splicingind(rows$sum2, rows$sum1, 1))
})

test_that("compare_samples() still takes the study form, deprecated", {
  skip_without_bam()
  study <- make_study()
  exons <- GenomicRanges::GRanges("chrA", IRanges::IRanges(c(1, 1001), c(1000, 2500)))
  bed <- tempfile(fileext = ".bed")
  writeLines(c("chrA\t0\t1000", "chrA\t1000\t2500"), bed)
  x <- compare_groups(study, "condition", exons, progress = FALSE)
  expect_warning(y <- compare_samples(study, "condition", features = bed,
                                      progress = FALSE),
                 "use compare_groups", class = "deprecatedWarning")
  expect_identical(y, x)
})

test_that("bad groups give clear errors", {
  skip_without_bam()
  study <- make_study()
  exons <- "chrA:1-100"
  expect_snapshot(error = TRUE, {
    compare_groups(study, "batch", exons)
    compare_groups(study, "sample", exons)
    compare_groups(cbind(study, three = c("a", "b", "c")), "three", exons)
    compare_groups(study, "condition", NULL)
    compare_groups(study$file, "condition", exons)
  })
})
