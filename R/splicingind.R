#' Element-wise splicing index of two profiles
#'
#' For each element, the base-2 logarithm of `num / (scale * den)`, clamped
#' to the range -1 to 1. The scale and each ratio are rounded to single
#' precision before they are compared and logged, so results agree with
#' single-precision implementations to the last bit.
#'
#' Where `num` is 0 the index is 1 (0 when `den` is 0 too); where only `den`
#' is 0 it is -1. A ratio above 2 gives 1, below 0.5 gives -1, and so does a
#' negative one. NA and NaN values give `NaN` (except against a 0, as
#' above).
#'
#' @param num,den Numeric vectors of equal length, such as the coverage of
#'   the same positions in two samples.
#' @param scale A single number that `den` is multiplied by, for example
#'   the ratio of the two samples' read counts.
#' @return A double vector as long as `num`.
#' @export
#' @examples
#' pos <- 1:10
#' a <- gcoverage(pos, starts = c(1, 2, 3, 6), ends = c(5, 6, 10, 10))
#' b <- gcoverage(pos, starts = c(1, 4), ends = c(10, 8))
#' splicingind(a, b)
#' # The second sample was sequenced twice as deeply:
#' splicingind(a, b, scale = 0.5)
splicingind <- function(num, den, scale = 1) {
  check_numeric(num, "num")
  check_numeric(den, "den")
  check_same_length(num, den, "num", "den")
  check_number(scale, "scale")
  .Call(C_splicingind, num, den, scale)
}
