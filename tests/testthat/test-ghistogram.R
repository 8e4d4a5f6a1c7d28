test_that("bins cover whole widths only", {
  expect_identical(ghistogram(1:6, 1:6, 2), c(3L, 7L, 11L))
  expect_identical(ghistogram(1:10, 1:10, 3), c(6L, 15L, 24L))
  expect_identical(ghistogram(1:4, c(7, 0, 3, 9), 1), c(7L, 0L, 3L, 9L))
  expect_identical(ghistogram(1:4, 1:4, 5), integer())
  expect_identical(ghistogram(integer(), integer(), 2), integer())
  # only the first length(pos) counts are binned
  expect_identical(ghistogram(1:4, c(1:4, 100L), 2), c(3L, 7L))
})

test_that("bin sums wrap around like 32-bit integers", {
  big <- .Machine$integer.max
  expect_identical(ghistogram(1:2, c(big, 1L), 2), NA_integer_)
  expect_identical(ghistogram(1:3, c(big, 1L, 1L), 3), -big)
  expect_identical(ghistogram(1:2, c(-big, -1L), 2), NA_integer_)
  expect_identical(ghistogram(1:2, c(-big, -2L), 2), big)
})

test_that("native bins survive a bad width or short counts", {
  expect_identical(native("ghistogram", 1:10, 1:10, 0L), integer())
  expect_identical(native("ghistogram", 1:10, 1:10, -1L), integer())
  expect_identical(native("ghistogram", 1:10, 1:10, integer()), integer())
  expect_identical(native("ghistogram", 1:10, 1:5, 2L), c(3L, 7L))
  expect_identical(native("ghistogram", 1:10, 1:5, 3L), 6L)
})

test_that("bins match a literal loop on random profiles", {
  for (seed in 1:300) {
    set.seed(seed)
    n <- sample(0:60, 1)
    width <- sample(1:12, 1)
    counts <- sample(c(0:9, .Machine$integer.max, -.Machine$integer.max),
                     n, replace = TRUE, prob = c(rep(1, 10), 0.3, 0.3))
    expect_identical(ghistogram(seq_len(n), counts, width),
                     ref_ghistogram(n, counts, width),
                     info = case_label(seed, counts = counts, width = width))
  }
})
