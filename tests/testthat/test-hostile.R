# Broken preconditions passed straight to the native routines. Each call
# must return a value or raise an R error, never crash or touch memory
# outside its vectors (the sanitizer and valgrind runs watch for that).
# Long vectors matter: R keeps short ones in pools where an overrun hides.

big <- .Machine$integer.max
na <- NA_integer_
returns_or_errors <- function(expr) {
  value <- tryCatch(suppressWarnings(expr), error = function(e) e)
  expect_true(is.atomic(value) || inherits(value, "error"))
}

test_that("coverage survives any read coordinates", {
  for (n in c(0L, 1L, 3L, 1000L)) {
    pos <- seq_len(n)
    for (m in c(0L, 1L, 700L)) {
      starts <- rep_len(c(-big, big, na, 0L, 500L, -5L), m)
      ends <- rep_len(c(big, -big, na, 2000L, big, 1L), m)
      got <- native("gcoverage", pos, starts, ends)
      expect_identical(got, ref_gcoverage(pos, starts, ends))
      expect_length(native("gcoverage", pos, starts, ends[0]), n)
      expect_length(native("gcoverage", pos, starts, ends[seq_len(m %/% 2)]), n)
    }
    expect_length(native("gcoverage", rep(na, n), 1:5, 6:10), n)
    expect_length(native("gcoverage", rep(big, n), -big, big), n)
    expect_length(native("gcoverage", rep(-big, n), -big, big), n)
  }
  returns_or_errors(native("gcoverage", 1:10, c(1, 2), 3:4))
  returns_or_errors(native("gcoverage", NULL, NULL, NULL))
  returns_or_errors(native("gcoverage", "a", 1L, 1L))
})

test_that("bins survive any width and short counts", {
  for (n in c(0L, 5L, 1000L)) {
    for (w in c(-big, -1L, 0L, 1L, 3L, big, na)) {
      for (m in c(0L, n %/% 2L, n)) {
        got <- native("ghistogram", seq_len(n), rep(big, m), w)
        expected <- if (!is.na(w) && w > 0) min(n, m) %/% w else 0L
        expect_length(got, expected)
      }
    }
    expect_identical(native("ghistogram", seq_len(n), seq_len(n), integer()),
                     integer())
  }
  returns_or_errors(native("ghistogram", 1:10, 1:10, 2.5))
  returns_or_errors(native("ghistogram", 1:10, NULL, 2L))
})

test_that("region search survives any profile and scalars", {
  for (p in c(0L, 1L, 4L, 600L)) {
    for (m in c(0L, 1L, p, 2L * p + 500L)) {
      cov <- rep_len(c(5L, 0L, na, big, -big, 3L), m)
      for (t in c(na, -big, 0L, 3L, big)) {
        for (l in c(na, -1L, 0L, 2L, big)) {
          got <- native("regionmining", seq_len(p), cov, t, l)
          expect_true(is.integer(got) && length(got) <= max(1L, 2L * m))
          if (p == 0L) expect_identical(got, 0L)
        }
      }
      expect_identical(native("regionmining", seq_len(p), cov, integer(), 0L), 0L)
      expect_identical(native("regionmining", seq_len(p), cov, 3L, integer()), 0L)
    }
  }
  returns_or_errors(native("regionmining", 1:3, c(1, 2, 3), 1L, 0L))
  returns_or_errors(native("regionmining", 1:3, NULL, 1L, 0L))
})

test_that("splicing index survives short, empty and odd arguments", {
  for (n in c(0L, 1L, 5L, 800L)) {
    num <- rep_len(c(1, 0, NA, -0, Inf, 1e300), n)
    for (d in unique(c(0L, 1L, n %/% 2L, n))) {
      den <- rep_len(c(2, 0, NaN, 3), d)
      got <- native("splicingind", num, den, 1)
      expect_length(got, n)
      expect_true(all(is.na(got[seq_len(n) > d]) & !is.nan(got[seq_len(n) > d])))
      expect_length(native("splicingind", num, den, double()), n)
      expect_length(native("splicingind", num, den, NA), n)
    }
  }
  expect_identical(native("splicingind", NULL, NULL, NULL), double())
  returns_or_errors(native("splicingind", c("1", "x"), "2", "1"))
  returns_or_errors(native("splicingind", list(1, "a"), list(2), TRUE))
  returns_or_errors(native("splicingind", sum, 1, 1))
  returns_or_errors(native("splicingind", 1, new.env(), 1))
})
