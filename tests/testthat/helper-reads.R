# Simulated reads for the tests of counting: pairs and single reads of
# every kind the reading options tell apart, and the sets of options that
# every reading path is compared under.

# Paired-end reads (overlapping or not, R1 left or right, some left mates
# spliced, clipped or with deletions) and single reads. `orientations` of
# the pairs: "FR" (left mate forward, right reverse), "RF" or "FF". Shares
# of the pairs are improper, have a supplementary piece of the right read
# over the left mate, or (as single reads with flag 1) an unmapped mate.
paired_records <- function(seed, pairs = 300, singles = 100, length = 5000,
                           cigars = c("50M", "50M", "20M100N30M", "10S40M"),
                           orientations = "FR", improper = 0,
                           supplementary = 0, unmapped_mates = 0) {
  set.seed(seed)
  records <- character()
  for (i in seq_len(pairs)) {
    left <- sample(1:(length - 500), 1)
    right <- left + sample(10:250, 1)
    tlen <- right + 49 - left + 1
    r1_left <- sample(c(TRUE, FALSE), 1)
    reverse <- switch(sample(orientations, 1), FR = c(FALSE, TRUE),
                      RF = c(TRUE, FALSE), FF = c(FALSE, FALSE))
    proper <- if (stats::runif(1) < improper) 0 else 2
    read <- if (r1_left) c(64, 128) else c(128, 64)
    flags <- 1 + proper + 16 * reverse + 32 * rev(reverse) + read
    records <- c(records,
      sprintf("p%d %d chr1 %d %d %s = %d %d * *", i, flags[1], left,
              sample(c(20, 60), 1), sample(cigars, 1), right, tlen),
      sprintf("p%d %d chr1 %d 60 50M = %d %d * *", i, flags[2], right, left, -tlen))
    if (stats::runif(1) < supplementary) {
      records <- c(records, sprintf("p%d %d chr1 %d 60 20M = %d 0 * *", i,
                                    2048 + 1 + read[2] + 16 * reverse[2],
                                    left + sample(0:40, 1), left))
    }
  }
  lone <- sample(1:(length - 100), unmapped_mates, replace = TRUE)
  c(records,
    sprintf("s%d %d chr1 %d 60 50M * 0 0 * *", seq_len(singles),
            sample(c(0, 16), singles, replace = TRUE),
            sample(1:(length - 100), singles, replace = TRUE)),
    sprintf("u%d %d chr1 %d 60 50M = %d 0 * *", seq_along(lone),
            1 + 8 + sample(c(64, 128), length(lone), replace = TRUE) +
              sample(c(0, 16), length(lone), replace = TRUE), lone, lone))
}

# A library with every kind of record the reading options tell apart.
mixed_records <- function(seed, cigars = c("50M", "20M100N30M", "10S40M",
                                           "20M5D25M")) {
  paired_records(seed, cigars = cigars, orientations = c("FR", "FR", "RF", "FF"),
                 improper = 0.2, supplementary = 0.1, unmapped_mates = 40)
}

# Reading options that each count the reads another way; the last also
# counts a few positions at a time.
reading_option_sets <- list(
  list(), list(deletions = "uncovered"), list(overlap = "once"),
  list(overlap = "proper"), list(fragments = TRUE), list(extend = 150),
  list(strand = "+"), list(strand = "-", fragments = TRUE),
  list(include_flags = 64), list(min_mapq = 30), list(split = FALSE),
  list(exclude_flags = 0, chunk_size = 7))
