#' Tolvendra: fast exact coverage routines for sequencing reads
#'
#' Four native routines work on a window of genomic coordinates:
#' [gcoverage()] counts the reads covering each coordinate, [ghistogram()]
#' sums a profile over fixed-width bins, [regionmining()] finds the stretches
#' whose mean coverage reaches a threshold, and [splicingind()] compares two
#' profiles element by element.
#'
#' @keywords internal
#' @useDynLib Tolvendra, .registration = TRUE, .fixes = "C_"
#' @useDynLib TolvendraBam, .registration = TRUE, .fixes = "B_"
"_PACKAGE"
