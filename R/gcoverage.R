#' Per-base read coverage of a window
#'
#' Counts, for every coordinate of a window, the reads that cover it. Reads
#' are closed intervals: a read from 5 to 7 covers 5, 6 and 7. The counting
#' takes time linear in the window and the number of reads, however long the
#' reads are.
#'
#' Reads may reach outside the window: only their part inside it counts, and
#' a read entirely outside adds nothing. A read whose start lies after its
#' end covers nothing.
#'
#' @param pos The window: consecutive ascending coordinates, such as
#'   `1001:2000`.
#' @param starts,ends First and last coordinate of each read, whole numbers
#'   of equal length.
#' @return An integer vector as long as `pos`: element `k` is the number of
#'   reads covering coordinate `pos[k]`.
#' @seealso [ghistogram()] and [regionmining()] take this profile as input.
#' @export
#' @examples
#' # Three reads over the window 100..109
#' gcoverage(100:109, starts = c(100, 102, 108), ends = c(104, 103, 115))
gcoverage <- function(pos, starts, ends) {
  pos <- check_positions(pos)
  starts <- check_whole(starts, "starts")
  ends <- check_whole(ends, "ends")
  check_same_length(starts, ends, "starts", "ends")
  .Call(C_gcoverage, pos, starts, ends)
}
