test_that("coordinate arguments explain what is wrong", {
  expect_snapshot(error = TRUE, {
    gcoverage(1:3, "a", 1)
    gcoverage(1:3, factor("a"), 1)
    gcoverage(1:3, c(1, NA), 1:2)
    gcoverage(1:3, c(1, Inf), 1:2)
    gcoverage(1:3, c(1, 2.5), 1:2)
    gcoverage(1:3, 1, 3e9)
    gcoverage(1:3, 1:2, 1:3)
    gcoverage(c(5, 6, 8), 1, 1)
    gcoverage(3:1, 1, 1)
  })
})

test_that("bin arguments explain what is wrong", {
  expect_snapshot(error = TRUE, {
    ghistogram(1:4, 1:4, -3)
    ghistogram(1:4, 1:4, 0)
    ghistogram(1:4, 1:4, 1.5)
    ghistogram(1:4, 1:4, c(2, 2))
    ghistogram(1:4, 1:4, NULL)
    ghistogram(1:4, 1:3, 2)
    ghistogram(1:4, c(1, NA, 1, 1), 2)
  })
})

test_that("region arguments explain what is wrong", {
  expect_snapshot(error = TRUE, {
    regionmining(1:4, 1:3, 2, 0)
    regionmining(1:4, 1:4, NA, 0)
    regionmining(1:4, 1:4, "2", 0)
    regionmining(1:4, 1:4, 2, -1)
  })
})

test_that("splicing arguments explain what is wrong", {
  expect_snapshot(error = TRUE, {
    splicingind("1", 1)
    splicingind(1, list(1))
    splicingind(1:2, 1)
    splicingind(1, 1, NA)
    splicingind(1, 1, c(1, 2))
    splicingind(1, 1, sum)
  })
})

test_that("argument errors have a class and the user's call", {
  err <- tryCatch(ghistogram(1:4, 1:4, 0), error = identity)
  expect_s3_class(err, "tolvendra_error_arg")
  expect_identical(conditionCall(err), quote(ghistogram(1:4, 1:4, 0)))
})

test_that("whole-number doubles are accepted as integers", {
  expect_identical(gcoverage(c(1, 2, 3), c(1, 2), c(2, 3)),
                   gcoverage(1:3, 1:2, 2:3))
  expect_identical(ghistogram(1:4, c(1, 2, 3, 4), 2), c(3L, 7L))
})

test_that("messages give the lengths of long vectors", {
  long <- seq_len(3e9) # a compact sequence: nothing is allocated
  expect_snapshot(error = TRUE, {
    splicingind(long, 1)
    ghistogram(1:4, 1:4, long)
  })
})

test_that("a missing suggested package says how to install it", {
  expect_snapshot(error = TRUE, {
    Tolvendra:::check_installed(c("notAPackageAtAll", "norThisOne"))
  })
})

test_that("reading options beyond SAM's ranges, or that keep no read, are refused", {
  expect_snapshot(error = TRUE, {
    read_options(min_mapq = 256)
    read_options(exclude_flags = 4096)
    read_options(include_flags = 1024 + 2)
    read_options(overlap = "proper", fragments = TRUE)
    read_options(deletions = "skipped")
  })
})
