test_that("coverage counts closed intervals", {
  expect_identical(gcoverage(1:5, integer(), integer()), integer(5))
  expect_identical(gcoverage(1:5, 3, 3), c(0L, 0L, 1L, 0L, 0L))
  expect_identical(gcoverage(1:5, 4, 2), integer(5))
  expect_identical(gcoverage(1:5, c(2, 2), c(3, 3)), c(0L, 2L, 2L, 0L, 0L))
  expect_identical(gcoverage(11:15, 11, 15), rep(1L, 5))
  expect_identical(gcoverage(integer(), integer(), integer()), integer())
  expect_identical(gcoverage(-2:2, -1, 0), c(0L, 1L, 1L, 0L, 0L))
})

test_that("only the first coordinate and the length of `pos` matter", {
  starts <- c(3L, 5L)
  ends <- c(6L, 5L)
  expect_identical(native("gcoverage", c(2L, 99L, -7L, 0L), starts, ends),
                   gcoverage(2:5, starts, ends))
})

test_that("reads reaching outside the window are clipped", {
  expect_identical(gcoverage(10:14, 8, 11), c(1L, 1L, 0L, 0L, 0L))
  expect_identical(gcoverage(10:14, 13, 20), c(0L, 0L, 0L, 1L, 1L))
  expect_identical(gcoverage(10:14, 1, 100), rep(1L, 5))
  expect_identical(gcoverage(10:14, c(1, 15), c(9, 30)), integer(5))
  big <- .Machine$integer.max
  expect_identical(gcoverage(10:14, -big, big), rep(1L, 5))
  expect_identical(gcoverage((big - 2):big, c(-big, big), c(big, big)),
                   c(1L, 1L, 2L))
  expect_identical(gcoverage(-big + 0:2, -big, -big), c(1L, 0L, 0L))
})

test_that("native coverage ignores reads without an end", {
  expect_identical(native("gcoverage", 1:4, c(1L, 2L, 3L), 4L),
                   c(1L, 1L, 1L, 1L))
  expect_identical(native("gcoverage", 1:4, 1:3, integer()), integer(4))
})

test_that("coverage matches a per-coordinate count on random reads", {
  for (seed in 1:500) {
    set.seed(seed)
    n <- sample(0:40, 1)
    first <- sample(-50:50, 1)
    pos <- first + seq_len(n) - 1L
    m <- sample(0:30, 1)
    starts <- sample((first - 20):(first + n + 20), m, replace = TRUE)
    ends <- starts + sample(-3:25, m, replace = TRUE)
    expect_identical(gcoverage(pos, starts, ends),
                     ref_gcoverage(pos, starts, ends),
                     info = case_label(seed, pos = pos, starts = starts,
                                       ends = ends))
  }
})
