regions <- function(...) {
  x <- c(...)
  data.frame(start = as.integer(x[c(TRUE, FALSE)]),
             end = as.integer(x[c(FALSE, TRUE)]))
}
no_region <- regions()

test_that("avg is the running mean, not sum over count", {
  x <- c(4L, 0L, 3L, 1L)
  # 2 - 2^-52, the double just below 2, printed as 1.9999999999999998
  expect_identical(ref_avg(x, 0, 3), 2 - .Machine$double.eps)
  expect_false(ref_avg(x, 0, 3) == sum(x) / 4)
  # The search relies on avg(); this profile separates the two means.
  expect_identical(regionmining(1:6, c(4, 0, 3, 1, 9, 9), 2, 1), regions(3, 6))
})

test_that("a mean equal to the threshold can fall just below it", {
  cov <- c(8, 4, 30, 55, 30, 5, 50, 55, 60)
  # 30, 55, 30, 5 average exactly 30; their running mean is the double
  # just below, 29.999999999999996, so the region ends at 5 and 7-9 is new
  expect_identical(ref_avg(cov, 2, 5), 30 - 2^-48)
  expect_identical(regionmining(1:9, cov, 30, 0), regions(3, 5, 7, 9))
})

test_that("regions respect the minimum length", {
  cov <- c(0, 5, 5, 0, 0, 6, 6, 6)
  expect_identical(regionmining(1:8, cov, 3, 1), regions(2, 3, 6, 8))
  expect_identical(regionmining(1:8, cov, 3, 2), regions(6, 8))
  expect_identical(regionmining(1:8, cov, 3, 0), regions(2, 3, 6, 8))
  expect_identical(regionmining(1:3, c(5, 0, 0), 3, 0), regions(1, 1))
  expect_identical(regionmining(1:4, c(10, 0, 0, 0), 3, 0), regions(1, 1))
  expect_identical(regionmining(1:4, c(10, 0, 0, 0), 3, 1), no_region)
})

test_that("no region gives zero rows", {
  expect_identical(regionmining(1:4, c(1, 2, 2, 1), 3, 0), no_region)
  expect_identical(regionmining(integer(), integer(), 3, 0), no_region)
  expect_identical(native("regionmining", 1:4, c(1L, 2L, 2L, 1L), 3L, 0L), 0L)
})

test_that("a region starting at coordinate 0 is kept", {
  expect_identical(regionmining(0:3, c(5, 5, 0, 0), 3, 1), regions(0, 1))
  expect_identical(regionmining(0:3, c(5, 0, 5, 5), 3, 0), regions(0, 0, 2, 3))
  expect_identical(regionmining(-2:1, c(5, 0, 5, 5), 3, 0),
                   regions(-2, -2, 0, 1))
  expect_identical(native("regionmining", 0:3, c(5L, 5L, 0L, 0L), 3L, 1L),
                   c(0L, 1L))
})

test_that("native search stays inside `pos` when `cov` is longer", {
  expect_identical(native("regionmining", 1:3, rep(5L, 6), 3L, 0L), c(1L, 3L))
  expect_identical(native("regionmining", 1:2, c(0L, 0L, 0L, 5L, 0L, 5L), 3L, 0L),
                   c(2L, 2L, 2L, 2L))
  expect_identical(native("regionmining", integer(), rep(5L, 4), 3L, 0L), 0L)
})

# Profiles that hover around the threshold, in runs, so that means land on
# it exactly and last-bit differences in the running mean matter.
random_profile <- function(threshold) {
  runs <- sample(1:8, sample(1:12, 1), replace = TRUE)
  values <- sample(threshold + (-3:3), length(runs), replace = TRUE)
  spikes <- sample(c(0L, 3L * threshold), length(runs), replace = TRUE,
                   prob = c(0.85, 0.15))
  rep(values + spikes, runs)
}

test_that("the linear search matches recomputed means on random profiles", {
  for (seed in 1:2000) {
    set.seed(seed)
    threshold <- sample(1:6, 1)
    cov <- random_profile(threshold)
    pos <- sample(-5:5, 1) + seq_along(cov) - 1L
    minlen <- sample(0:3, 1)
    expect_identical(native("regionmining", pos, cov, threshold, minlen),
                     ref_regionmining(pos, cov, threshold, minlen),
                     info = case_label(seed, pos = pos, cov = cov,
                                       threshold = threshold, minlen = minlen))
  }
})

test_that("the search over runs finds what regionmining() finds", {
  # profiles with long flat stretches, where the search skips runs, and
  # noisy ones, where it grows regions a position at a time
  for (seed in 1:300) {
    set.seed(seed)
    runs <- sample(1:40, 1)
    cov <- rep(sample(c(0:12, 1e6), runs, replace = TRUE),
               sample(c(1:5, 500), runs, replace = TRUE))
    first <- sample(1:1000, 1)
    threshold <- sample(0:12, 1)
    minlen <- sample(0:20, 1)
    region <- list(file = "x.bam", seqname = "chr1", start = first,
                   end = first + length(cov) - 1L)
    x <- Tolvendra:::analyze_coverage(region, cov, 50L, threshold, minlen, list())
    pos <- region$start:region$end
    expected <- regionmining(pos, cov, threshold, minlen)
    label <- case_label(seed, first = first, threshold = threshold,
                        minlen = minlen, cov = cov)
    expect_identical(x$regions[c("start", "end")], expected, info = label)
    means <- vapply(seq_len(nrow(expected)), function(k) {
      mean(cov[(expected$start[k]:expected$end[k]) - first + 1])
    }, 0)
    expect_equal(x$regions$mean, means, info = label)
  }
})
