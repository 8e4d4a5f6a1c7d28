#' Coverage analysis of a region of a BAM file
#'
#' Reads a region of an indexed BAM file and computes, in one call, its
#' per-base coverage ([gcoverage()]), the coverage summed over bins of
#' `width` positions ([ghistogram()]), and the regions whose mean coverage
#' reaches `threshold` ([regionmining()]).
#'
#' @inheritParams read_blocks
#' @param width Bin width in positions; a last bin shorter than `width` is
#'   left out.
#' @param threshold,minlen Regions are stretches whose mean coverage reaches
#'   `threshold` and that span more than `minlen` positions; see
#'   [regionmining()].
#' @param ... Passed to [read_blocks()]'s reading options: `split`,
#'   `min_mapq`, `chunk_size`, `progress`.
#' @return An object of class `tolvendra_region` with `print()`,
#'   `summary()`, `as.data.frame()` and `plot()` methods. It holds the
#'   region (`seqname`, `start`, `end`), the `coverage` vector, the `bins`
#'   and the `regions` as data frames, and the parameters.
#' @export
#' @examplesIf requireNamespace("Rsamtools", quietly = TRUE) && requireNamespace("GenomicAlignments", quietly = TRUE)
#' bam <- system.file("extdata", "ex1.bam", package = "Rsamtools")
#' x <- analyze_region(bam, "seq1", 1, 1575, width = 100, threshold = 45,
#'                     minlen = 20)
#' x
#' summary(x)
#' head(as.data.frame(x, what = "bins"))
#' plot(x)
analyze_region <- function(file, seqname, start, end, width = 100,
                           threshold = 10, minlen = 0, split = TRUE,
                           min_mapq = 0, chunk_size = 1e6,
                           progress = interactive()) {
  region <- check_region(file, seqname, start, end)
  options <- check_read_options(split, min_mapq, chunk_size, progress)
  width <- check_count(width, "width", min = 1)
  threshold <- check_count(threshold, "threshold")
  minlen <- check_count(minlen, "minlen", min = 0)

  cov <- region_coverage(region, options)
  pos <- region$start:region$end
  bins <- bin_spans(region$start, length(pos), width)
  bins$sum <- .Call(C_ghistogram, pos, cov, width)
  bins$mean <- bins$sum / width
  regions <- regionmining(pos, cov, threshold, minlen)
  regions$width <- regions$end - regions$start + 1L
  regions$mean <- span_sums(cov, region$start, regions$start, regions$end) /
    regions$width

  structure(c(region, list(coverage = cov, width = width, bins = bins,
                           threshold = threshold, minlen = minlen,
                           regions = regions, options = options)),
            class = "tolvendra_region")
}

# First and last coordinate of each whole bin of `width` positions in a
# window of n positions from `start`.
bin_spans <- function(start, n, width) {
  first <- start + (seq_len(n %/% width) - 1L) * width
  data.frame(start = first, end = first + width - 1L)
}

# Sums of a coverage vector (first coordinate `first`) over closed spans.
span_sums <- function(cov, first, starts, ends) {
  total <- c(0, cumsum(as.double(cov)))
  total[ends - first + 2L] - total[starts - first + 1L]
}

region_label <- function(x) {
  sprintf("%s:%d-%d of %s", x$seqname, x$start, x$end, basename(x$file))
}

#' @export
print.tolvendra_region <- function(x, ...) {
  cat(sprintf("<tolvendra_region> %s\n", region_label(x)))
  cat(sprintf("Depth: mean %.2f, max %d; %.1f%% of %d positions covered\n",
              mean(x$coverage), max(x$coverage, 0L),
              100 * mean(x$coverage > 0), length(x$coverage)))
  cat(sprintf("Bins: %d of %d positions\n", nrow(x$bins), x$width))
  cat(sprintf("Regions with mean depth >= %d over more than %d positions: %d\n",
              x$threshold, x$minlen, nrow(x$regions)))
  if (nrow(x$regions) > 0L) {
    print(utils::head(x$regions, 10L), row.names = FALSE, digits = 4L)
    if (nrow(x$regions) > 10L) cat(sprintf("... and %d more\n", nrow(x$regions) - 10L))
  }
  invisible(x)
}

#' @export
summary.tolvendra_region <- function(object, ...) {
  cov <- object$coverage
  structure(list(
    region = region_label(object),
    positions = length(cov),
    depth = c(min = min(cov, Inf), median = stats::median(cov),
              mean = mean(cov), max = max(cov, -Inf)),
    covered = mean(cov > 0),
    regions = nrow(object$regions),
    in_regions = sum(object$regions$width)
  ), class = "summary.tolvendra_region")
}

#' @export
print.summary.tolvendra_region <- function(x, ...) {
  cat(sprintf("Coverage of %s (%d positions)\n", x$region, x$positions))
  cat(sprintf("  depth: min %g, median %g, mean %.2f, max %g\n",
              x$depth[["min"]], x$depth[["median"]], x$depth[["mean"]],
              x$depth[["max"]]))
  cat(sprintf("  covered: %.1f%% of positions\n", 100 * x$covered))
  cat(sprintf("  regions: %d, spanning %d positions\n", x$regions,
              x$in_regions))
  invisible(x)
}

#' @param x A `tolvendra_region` object.
#' @param row.names,optional Ignored.
#' @param what Which table: the `"regions"`, the `"bins"`, or the per-base
#'   `"coverage"`.
#' @rdname analyze_region
#' @export
as.data.frame.tolvendra_region <- function(x, row.names = NULL,
                                           optional = FALSE,
                                           what = c("regions", "bins", "coverage"),
                                           ...) {
  what <- match.arg(what)
  switch(what,
    regions = cbind(seqname = rep(x$seqname, nrow(x$regions)), x$regions),
    bins = cbind(seqname = rep(x$seqname, nrow(x$bins)), x$bins),
    coverage = data.frame(seqname = rep(x$seqname, length(x$coverage)),
                          position = x$start:x$end, depth = x$coverage)
  )
}

#' @param file For `plot()`: a PNG file to draw into instead of the current
#'   device.
#' @param png_width,png_height Size of the PNG in pixels.
#' @rdname analyze_region
#' @export
plot.tolvendra_region <- function(x, file = NULL, png_width = 1200,
                                  png_height = 600, ...) {
  draw_to(file, png_width, png_height, draw_region(x, ...))
  invisible(x)
}

draw_region <- function(x, ...) {
  pos <- x$start:x$end
  top <- max(x$coverage, x$threshold, 1L) * 1.08
  graphics::plot(range(pos), c(0, top), type = "n", xaxs = "i", yaxs = "i",
                 xlab = sprintf("Position on %s", x$seqname),
                 ylab = "Read depth",
                 main = sprintf("Coverage of %s", region_label(x)), ...)
  graphics::polygon(c(pos[1L], pos, pos[length(pos)]), c(0, x$coverage, 0),
                    col = "grey75", border = "grey45")
  if (nrow(x$regions) > 0L) {
    graphics::rect(x$regions$start - 0.5, 0, x$regions$end + 0.5, top,
                   col = grDevices::adjustcolor("darkorange", 0.25), border = NA)
  }
  if (nrow(x$bins) > 0L) {
    graphics::segments(x$bins$start, x$bins$mean, x$bins$end + 1, x$bins$mean,
                       col = "steelblue4", lwd = 2)
  }
  graphics::abline(h = x$threshold, lty = 2, col = "firebrick")
  graphics::legend("topleft", bty = "n", cex = 0.85,
                   legend = c("depth", sprintf("bin mean (%d bp)", x$width),
                              sprintf("threshold %d", x$threshold),
                              sprintf("regions (%d)", nrow(x$regions))),
                   col = c("grey45", "steelblue4", "firebrick", NA),
                   lty = c(1, 1, 2, NA), lwd = c(1, 2, 1, NA),
                   fill = c(NA, NA, NA, grDevices::adjustcolor("darkorange", 0.25)),
                   border = NA)
}

# Draws on a PNG file when `file` is given, else on the current device;
# `draw` is evaluated once the device is open.
draw_to <- function(file, width, height, draw, call = sys.call(-1)) {
  force(call)
  if (!is.null(file)) {
    check_string(file, "file", call)
    grDevices::png(file, width = width, height = height, res = 120)
    on.exit(grDevices::dev.off())
  }
  invisible(draw)
}
