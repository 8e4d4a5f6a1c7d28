# Benchmarks of the four routines, side by side with their literal
# algorithms and with peers, on the same inputs in the same run. Sourced by
# bench/run.R, which sets `build` and `store`; leaves the timings in
# `results` and saves them to results.rds in `store`.
suppressPackageStartupMessages({
  library(bench)
  library(IRanges)
})
set.seed(42)

# The literal algorithms, compiled for this run only.
so <- file.path(build, paste0("literal", .Platform$dynlib.ext))
stopifnot(system2(file.path(R.home("bin"), "R"),
                  c("CMD", "SHLIB", "-o", so, file.path("bench", "literal.cpp")),
                  stdout = FALSE) == 0)
dyn.load(so)
lit_gcoverage <- getNativeSymbolInfo("literal_gcoverage", "literal")
lit_regionmining <- getNativeSymbolInfo("literal_regionmining", "literal")

# First calls pay for lazy loading and byte compiling, and bench's first
# run for its own set-up; keep them out of the results.
invisible(list(gcoverage(1:10, 1, 2), ghistogram(1:10, 1:10, 2),
               regionmining(1:3, 1:3, 2, 0), splicingind(1, 2)))
invisible(bench::mark(gcoverage(1:1e5, 1:100, 101:200), memory = TRUE))

results <- list()
# Times the named expressions (the first is Tolvendra's) after checking that
# the values given in `same` are identical to the first's.
measure <- function(routine, series, size, ..., same = list(), max_iterations = 200) {
  for (name in names(same)[-1]) {
    if (!identical(same[[1]], same[[name]])) {
      stop(sprintf("%s (%s, size %g): %s disagrees with %s", routine, series,
                   size, name, names(same)[1]))
    }
  }
  res <- bench::mark(..., check = FALSE, min_iterations = 3,
                     max_iterations = max_iterations, min_time = 0.3,
                     filter_gc = FALSE, memory = TRUE, env = parent.frame())
  row <- data.frame(routine = routine, series = series, size = size,
                    expression = as.character(res$expression),
                    median = as.numeric(res$median),
                    mem_alloc = as.numeric(res$mem_alloc))
  row$ratio <- row$median / row$median[1]
  results[[length(results) + 1]] <<- row
  cat(sprintf("%-12s %-22s %9g  %s\n", routine, series, size,
              paste(sprintf("%s %.3gs", row$expression, row$median), collapse = ", ")))
  invisible(row)
}

# ---- gcoverage -----------------------------------------------------------
iranges_coverage <- function(base, n, starts, ends) {
  as.integer(coverage(IRanges(starts, ends), shift = 1L - base, width = n))
}
base_coverage <- function(base, n, starts, ends) {
  cumsum(tabulate(starts - base + 1L, n + 1L) -
           tabulate(ends - base + 2L, n + 1L))[seq_len(n)]
}
random_reads <- function(base, n, m, len) {
  len <- as.integer(min(len, n))
  starts <- base + sample.int(n - len + 1L, m, replace = TRUE) - 1L
  list(starts = starts, ends = starts + len - 1L)
}
coverage_case <- function(series, size, n, m, len) {
  base <- 1000001L
  pos <- base + seq_len(n) - 1L
  r <- random_reads(base, n, m, len)
  tv <- gcoverage(pos, r$starts, r$ends)
  measure("gcoverage", series, size,
          tolvendra = gcoverage(pos, r$starts, r$ends),
          literal = .Call(lit_gcoverage, pos, r$starts, r$ends),
          iranges = iranges_coverage(base, n, r$starts, r$ends),
          base_r = base_coverage(base, n, r$starts, r$ends),
          alloc_floor = integer(n),
          same = list(tolvendra = tv,
                      literal = .Call(lit_gcoverage, pos, r$starts, r$ends),
                      iranges = iranges_coverage(base, n, r$starts, r$ends),
                      base_r = base_coverage(base, n, r$starts, r$ends)),
          max_iterations = 50)
}
for (len in c(100L, 1000L)) {
  for (m in 10^(2:6)) {
    coverage_case(sprintf("reads, %d bp, 1e5 window", len), m, 1e5, m, len)
  }
}
for (n in 10^(3:7)) coverage_case("window, 1e5 reads of 100 bp", n, n, 1e5, 100L)

# ---- ghistogram ----------------------------------------------------------
for (n in 10^(3:7)) {
  pos <- seq_len(n)
  counts <- sample.int(60L, n, replace = TRUE)
  w <- 100L
  bins <- n %/% w
  colsums <- function() as.integer(colSums(matrix(counts[seq_len(bins * w)], nrow = w)))
  kernel <- getFromNamespace("C_ghistogram", "Tolvendra")
  measure("ghistogram", "width 100", n,
          tolvendra = ghistogram(pos, counts, w),
          tolvendra_kernel = .Call(kernel, pos, counts, w),
          colsums = colsums(),
          sum_floor = sum(counts),
          same = list(tolvendra = ghistogram(pos, counts, w),
                      tolvendra_kernel = .Call(kernel, pos, counts, w),
                      colsums = colsums()))
}

# ---- regionmining --------------------------------------------------------
# One region over the whole profile: values alternate between 2 above and 1
# below the threshold, so the mean from the start stays above it and the end
# moves every other position.
threshold <- 10L
for (n in c(10^(3:6))) {
  pos <- seq_len(n)
  cov <- rep_len(c(threshold + 2L, threshold - 1L), n)
  as_pairs <- function(df) as.integer(rbind(df$start, df$end))
  exprs <- list(tolvendra = quote(regionmining(pos, cov, threshold, 0L)),
                iranges_slice = quote(slice(Rle(cov), lower = threshold)))
  same <- list(tolvendra = as_pairs(regionmining(pos, cov, threshold, 0L)))
  if (n <= 1e5) {
    exprs$literal <- quote(.Call(lit_regionmining, pos, cov, threshold, 0L))
    same$literal <- .Call(lit_regionmining, pos, cov, threshold, 0L)
  }
  # the region ends at the last value above the threshold
  stopifnot(identical(same$tolvendra, c(1L, as.integer(n) - 1L)))
  do.call(measure, c(list("regionmining", "one region over the profile", n),
                     exprs, list(same = same, max_iterations = 20)))
}

# ---- splicingind ---------------------------------------------------------
f32 <- function(x) readBin(writeBin(x, raw(), size = 4), "double",
                           n = length(x), size = 4)
base_splicingind <- function(num, den, scale) {
  r <- f32(num / (f32(scale) * den))
  out <- log2(r)
  out[which(r > 2)] <- 1
  out[which(r < 0.5)] <- -1
  out[which(den == 0)] <- -1
  out[which(num == 0)] <- 1
  out[which(num == 0 & den == 0)] <- 0
  out
}
for (n in 10^(3:7)) {
  den <- rexp(n, 0.05)
  num <- den * runif(n, 0.4, 2.2)
  num[sample.int(n, n %/% 100)] <- 0
  kernel <- getFromNamespace("C_splicingind", "Tolvendra")
  measure("splicingind", "ratios around 1", n,
          tolvendra = splicingind(num, den, 1.1),
          tolvendra_kernel = .Call(kernel, num, den, 1.1),
          base_r = base_splicingind(num, den, 1.1),
          log2_floor = log2(num),
          same = list(tolvendra = splicingind(num, den, 1.1),
                      tolvendra_kernel = .Call(kernel, num, den, 1.1),
                      base_r = base_splicingind(num, den, 1.1)))
}

results <- do.call(rbind, results)
saveRDS(results, file.path(store, "results.rds"))
