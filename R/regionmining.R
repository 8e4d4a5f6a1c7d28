#' Stretches of a coverage profile whose mean reaches a threshold
#'
#' Scans a profile from the left. A region starts at the first position
#' whose coverage reaches `threshold` and grows to the right while the mean
#' coverage from its start stays at or above `threshold`; its end moves to
#' the last position reached each time the positions added since the
#' previous end have a mean at or above `threshold` on their own. The scan
#' then resumes just after the region's end. A mean at or above `threshold`
#' reaches it.
#'
#' Means are running means, updated one position at a time in floating
#' point, so a mean that is exactly the threshold in exact arithmetic can
#' come out just below it and fail to reach it. In
#' `regionmining(1:9, c(8, 4, 30, 55, 30, 5, 50, 55, 60), 30, 0)`, the
#' coverage 30, 55, 30, 5 of positions 3 to 6 averages exactly 30, but its
#' running mean is 29.999999999999996: the first region stops at 5 and a
#' second one starts at 7, where exact means would give one region from 3
#' to 9.
#'
#' @param pos The window, consecutive ascending coordinates.
#' @param cov The coverage profile, whole numbers, one per coordinate.
#' @param threshold The coverage to reach, a single whole number.
#' @param minlen A single non-negative whole number: regions spanning fewer
#'   than `minlen + 1` positions are dropped.
#' @return A data frame with integer columns `start` and `end`, the first
#'   and last coordinate of each region in ascending order; zero rows when
#'   there is no region.
#' @seealso [gcoverage()] makes a coverage profile.
#' @export
#' @examples
#' pos <- 1:30
#' cov <- gcoverage(pos, starts = c(3, 4, 5, 20, 21), ends = c(9, 10, 12, 28, 27))
#' regionmining(pos, cov, threshold = 2, minlen = 3)
#'
#' # An exact tie that the running mean misses (see Details)
#' regionmining(1:9, c(8, 4, 30, 55, 30, 5, 50, 55, 60), 30, 0)
regionmining <- function(pos, cov, threshold, minlen) {
  pos <- check_positions(pos)
  cov <- check_whole(cov, "cov")
  check_same_length(pos, cov, "pos", "cov")
  threshold <- check_count(threshold, "threshold")
  minlen <- check_count(minlen, "minlen", min = 0)
  found <- .Call(C_regionmining, pos, cov, threshold, minlen)
  # A lone value is the native "no region" marker: a region has two values.
  if (length(found) == 1L) {
    found <- integer()
  }
  ends <- seq_len(length(found) %/% 2L) * 2L
  data.frame(start = found[ends - 1L], end = found[ends])
}
