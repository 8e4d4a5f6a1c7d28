#' Sums of a profile over fixed-width bins
#'
#' Cuts a per-coordinate profile into consecutive bins of `width`
#' coordinates, starting at the first, and sums each bin. Trailing elements
#' that do not fill a whole bin belong to no bin. Sums wrap around modulo
#' 2^32, as 32-bit integer sums do; a sum that wraps to -2^31 reads as `NA`,
#' which is how R stores that value.
#'
#' @param pos The window. Only its length is used: the number of profile
#'   elements to bin.
#' @param counts The profile: whole numbers, one per coordinate of `pos`.
#' @param width The bin width, a single positive whole number.
#' @return An integer vector with one sum per whole bin, of length
#'   `length(pos) %/% width`.
#' @seealso [gcoverage()] makes a coverage profile.
#' @export
#' @examples
#' pos <- 1:20
#' cov <- gcoverage(pos, starts = c(1, 3, 12), ends = c(8, 15, 20))
#' ghistogram(pos, cov, width = 5)
ghistogram <- function(pos, counts, width) {
  # Only the length of `pos` matters, so its values are not scanned; the
  # compact sequence passed on costs no memory.
  check_numeric(pos, "pos")
  counts <- check_whole(counts, "counts")
  width <- check_count(width, "width", min = 1)
  if (length(counts) < length(pos)) {
    abort_arg(sprintf(
      "`counts` must be at least as long as `pos` (%s), not of length %s.",
      count_text(length(pos)), count_text(length(counts))), sys.call())
  }
  .Call(C_ghistogram, seq_len(length(pos)), counts, width)
}
