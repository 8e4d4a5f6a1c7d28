# Slow, obviously right versions of the native routines, written straight
# from their definitions. The tests compare the native results against them.

# Calls a native routine straight, through the registered symbol that the
# package's own R code uses, so that R checks the number of arguments.
native <- function(name, ...) {
  .Call(get(paste0("C_", name), envir = asNamespace("Tolvendra")), ...)
}

# CI's gctorture run sets TOLVENDRA_GCTORTURE: the garbage collector then
# runs at every allocation while `expr` is evaluated, which exposes an
# object the native code forgot to protect.
with_torture <- function(expr) {
  if (nzchar(Sys.getenv("TOLVENDRA_GCTORTURE"))) {
    gctorture(TRUE)
    on.exit(gctorture(FALSE))
  }
  expr
}

# Wrap a vector of exact sums into 32-bit two's complement, as R integers.
# -2^31 is R's NA_integer_, which is what the native sum produces too.
wrap32 <- function(x) {
  x <- x %% 2^32
  x <- ifelse(x >= 2^31, x - 2^32, x)
  out <- rep(NA_integer_, length(x))
  ok <- x != -2^31
  out[ok] <- as.integer(x[ok])
  out
}

# An integer's value as stored: NA_integer_ is -2^31.
as_int32 <- function(x) {
  x <- as.double(x)
  x[is.na(x)] <- -2^31
  x
}

# Each coordinate of the window counts the reads that cover it.
ref_gcoverage <- function(pos, starts, ends) {
  n <- min(length(starts), length(ends))
  starts <- as_int32(starts[seq_len(n)])
  ends <- as_int32(ends[seq_len(n)])
  coords <- as_int32(pos[1]) + seq_along(pos) - 1
  wrap32(vapply(coords, function(x) sum(starts <= x & x <= ends), 0))
}

ref_ghistogram <- function(n, counts, width) {
  bins <- n %/% width
  vapply(seq_len(bins), function(k) {
    wrap32(sum(as.double(counts[(k - 1) * width + seq_len(width)])))
  }, 0L)
}

# The running mean, one element at a time, exactly as the native avg().
ref_avg <- function(x, from, to) {
  m <- 0
  if (from > to) return(m)
  for (i in seq_len(to - from + 1)) {
    m <- (m * (i - 1)) / i + x[from + i] / i # x indexed from 0
  }
  m
}

# The region search with both means recomputed from their first element at
# every step. Returns start/end coordinates in one vector, or 0 for none.
ref_regionmining <- function(pos, cov, threshold, minlen) {
  cov <- as.double(cov)
  last <- length(cov) - 1
  found <- integer()
  j <- 0
  while (j <= last) {
    hits <- which(cov[(j:last) + 1] >= threshold)
    if (length(hits) == 0) break
    s <- j + hits[1] - 1
    e <- s
    b <- s
    repeat {
      if (ref_avg(cov, s, e) < threshold) break
      if (e == last) break
      e <- e + 1
      if (ref_avg(cov, b + 1, e) >= threshold) b <- e
    }
    if (b - s >= minlen) found <- c(found, pos[s + 1], pos[b + 1])
    j <- b + 1
  }
  if (length(found) == 0) 0L else found
}

# Round to single precision and back.
f32 <- function(x) {
  readBin(writeBin(as.double(x), raw(), size = 4), "double",
          n = length(x), size = 4)
}

ref_splicingind <- function(num, den, scale) {
  num <- as.double(num)
  den <- as.double(den)
  f <- f32(scale[1])
  vapply(seq_along(num), function(i) {
    a <- num[i]
    b <- den[i]
    if (isTRUE(a == 0)) return(if (isTRUE(b == 0)) 0 else 1)
    if (isTRUE(b == 0)) return(-1)
    r <- f32(a / (f * b))
    if (isTRUE(r > 2)) 1 else if (isTRUE(r < 0.5)) -1 else log2(r)
  }, 0)
}

# Bins of `width` positions over a profile whose first coordinate is
# `first`, the last one cut short at the end, each summed element by element.
ref_bins <- function(cov, first, width) {
  starts <- seq(first, by = width, length.out = ceiling(length(cov) / width))
  ends <- pmin(starts + width - 1, first + length(cov) - 1)
  sums <- vapply(seq_along(starts), function(i) {
    sum(as.double(cov[(starts[i]:ends[i]) - first + 1]))
  }, 0)
  data.frame(start = as.integer(starts), end = as.integer(ends),
             width = as.integer(ends - starts + 1), sum = sums,
             mean = sums / (ends - starts + 1))
}

# What a failing randomized case prints: the seed that draws it again and
# its inputs.
case_label <- function(seed, ...) {
  inputs <- vapply(list(...), deparse1, "", collapse = " ")
  sprintf("set.seed(%d); %s", seed,
          paste(names(inputs), inputs, sep = " = ", collapse = "; "))
}
