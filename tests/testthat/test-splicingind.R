si <- function(a, b, scale = 1) with_torture(splicingind(a, b, scale))

test_that("zeros give fixed values", {
  expect_identical(si(0, 0), 0)
  expect_identical(si(0, 5), 1)
  expect_identical(si(3, 0), -1)
  expect_identical(si(-0, 0), 0)
  expect_identical(si(0, -0), 0)
})

test_that("ratios are clamped at 2 and 0.5", {
  expect_identical(si(2, 1), 1)
  expect_identical(si(1, 2), -1)
  expect_identical(si(5, 2), 1)
  expect_identical(si(1, 1), 0)
  expect_identical(si(3, 2), log2(1.5))
  expect_identical(si(-1, 1), -1)
  expect_identical(si(1, -1), -1)
})

test_that("scale and ratio are rounded to single precision", {
  single <- log2(f32(1 / f32(1.1)))
  expect_identical(si(1, 1, 1.1), single)
  expect_false(single == log2(1 / 1.1))
  expect_equal(single, -0.13750358, tolerance = 1e-7)
  expect_equal(log2(1 / 1.1), -0.13750352, tolerance = 1e-7)
})

test_that("NaN and NA give plain NaN unless against a zero", {
  for (na in list(NaN, NA_real_, NA_integer_)) {
    expect_identical(si(na, 0), -1)
    expect_identical(si(0, na), 1)
    expect_identical(si(na, 1), NaN)
    expect_identical(si(1, na), NaN)
  }
})

test_that("a zero scale gives an infinite ratio", {
  expect_identical(si(1, 1, 0), 1)
  expect_identical(si(-1, 1, 0), -1)
  expect_identical(si(1, 1, -0), -1)
  expect_identical(si(1, Inf, 0), NaN)
})

test_that("values beyond single precision saturate", {
  expect_identical(si(1e300, 1), 1)
  expect_identical(si(1e-300, 1), -1)
  expect_identical(si(1, 1, 1e-50), 1)
  expect_identical(si(3, 2, 4e38), -1)
})

test_that("integers give the same as doubles; empty gives empty", {
  expect_identical(si(c(3L, 0L, 1L), c(2L, 4L, 3L)), si(c(3, 0, 1), c(2, 4, 3)))
  expect_identical(si(integer(), integer()), double())
})

test_that("native index handles short or empty arguments", {
  expect_identical(with_torture(native("splicingind", c(1, 2, 3), 1, 1)), c(0, NA, NA))
  expect_identical(native("splicingind", c(1, 0), c(1, 1), double()), c(NaN, 1))
  expect_identical(native("splicingind", 1:2, c(2L, 2L), 1L), c(-1, 0))
})

test_that("the index matches single-precision arithmetic in R", {
  pool <- c(0, -0, NA, NaN, Inf, -Inf, 1e-300, 1e300, 1:20, -3)
  for (seed in 1:200) {
    set.seed(seed)
    n <- sample(0:20, 1)
    draw <- function() {
      as.double(ifelse(runif(n) < 0.3, sample(pool, n, TRUE), rexp(n, 0.1)))
    }
    num <- draw()
    den <- draw()
    scale <- sample(c(1, 0.5, 1.1, 3.3, exp(rnorm(1)), 0, -0, -2), 1)
    expect_identical(si(num, den, scale), ref_splicingind(num, den, scale),
                     info = case_label(seed, num = num, den = den,
                                       scale = scale))
  }
})
