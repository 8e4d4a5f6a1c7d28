#' Compare the coverage of a region in two BAM files
#'
#' Computes the coverage of the same region in two samples and the splicing
#' index ([splicingind()]) of the first against the second, per bin of
#' `width` positions or per feature (for example per exon). The index is
#' `log2` of the ratio of the two samples' coverage sums, clamped to the
#' range -1 to 1, after scaling the second sample by `scale`.
#'
#' @param file1,file2 Indexed BAM files of the two samples.
#' @inheritParams read_blocks
#' @param width Bin width in positions, used when `features` is `NULL`.
#' @param features Optional data frame with whole-number columns `start`
#'   and `end`: the stretches of the region to compare, such as exons.
#' @param scale Factor applied to the second sample. By default, the ratio
#'   of the two files' mapped-read counts (from their indexes), so that
#'   samples sequenced to different depths compare fairly.
#' @return An object of class `tolvendra_comparison` with `print()`,
#'   `as.data.frame()` and `plot()` methods. It holds the region, both
#'   `coverage` vectors, the `scale`, and a data frame `units` with the
#'   `start`, `end`, coverage sums `sum1` and `sum2`, and `index` of each bin
#'   or feature.
#' @export
#' @examplesIf requireNamespace("Rsamtools", quietly = TRUE) && requireNamespace("GenomicAlignments", quietly = TRUE)
#' bam <- system.file("extdata", "ex1.bam", package = "Rsamtools")
#' # The same file twice, with reads of low mapping quality left out of one
#' exons <- data.frame(start = c(100, 600, 1200), end = c(400, 900, 1500))
#' x <- compare_samples(bam, bam, "seq1", 1, 1575, features = exons,
#'                      min_mapq = c(0, 99))
#' x
#' plot(x)
compare_samples <- function(file1, file2, seqname, start, end, width = 100,
                            features = NULL, scale = NULL, split = TRUE,
                            min_mapq = 0, chunk_size = 1e6,
                            progress = interactive()) {
  region1 <- check_region(file1, seqname, start, end)
  region2 <- check_region(file2, seqname, start, end)
  if (!is.numeric(min_mapq) || !length(min_mapq) %in% 1:2) {
    abort_arg(sprintf(paste0("`min_mapq` must be one or two non-negative ",
                             "whole numbers (one per file), not %s."),
                      describe(min_mapq)), sys.call())
  }
  min_mapq <- rep_len(min_mapq, 2L)
  options1 <- check_read_options(split, min_mapq[1L], chunk_size, progress)
  options2 <- check_read_options(split, min_mapq[2L], chunk_size, progress)
  if (is.null(features)) {
    width <- check_count(width, "width", min = 1)
    units <- bin_spans(region1$start, region1$end - region1$start + 1L, width)
  } else {
    units <- check_features(features, region1)
  }
  if (is.null(scale)) {
    scale <- mapped_reads(region1$index, region1$file) /
      mapped_reads(region2$index, region2$file)
  }
  check_number(scale, "scale")

  cov1 <- region_coverage(region1, options1)
  cov2 <- region_coverage(region2, options2)
  units$sum1 <- span_sums(cov1, region1$start, units$start, units$end)
  units$sum2 <- span_sums(cov2, region1$start, units$start, units$end)
  units$index <- splicingind(units$sum1, units$sum2, scale)
  structure(c(region1[c("seqname", "start", "end")],
              list(files = c(file1, file2), coverage1 = cov1,
                   coverage2 = cov2, scale = scale, units = units,
                   binned = is.null(features))),
            class = "tolvendra_comparison")
}

check_features <- function(features, region, call = sys.call(-1)) {
  force(call)
  if (!is.data.frame(features) || !all(c("start", "end") %in% names(features))) {
    abort_arg(sprintf(paste0("`features` must be a data frame with columns ",
                             "`start` and `end`, not %s."),
                      describe(features)), call)
  }
  starts <- check_whole(features$start, "features$start", call)
  ends <- check_whole(features$end, "features$end", call)
  bad <- which(starts > ends | starts < region$start | ends > region$end)
  if (length(bad) > 0L) {
    abort_arg(sprintf(paste0(
      "Each feature must lie within %s:%d-%d with `start` <= `end`; ",
      "feature %d is %d-%d."), region$seqname, region$start, region$end,
      bad[1L], starts[bad[1L]], ends[bad[1L]]), call)
  }
  data.frame(start = starts, end = ends)
}

mapped_reads <- function(index, file) {
  stats <- Rsamtools::idxstatsBam(Rsamtools::BamFile(file, index = index))
  sum(as.double(stats$mapped))
}

#' @export
print.tolvendra_comparison <- function(x, ...) {
  cat(sprintf("<tolvendra_comparison> %s:%d-%d\n", x$seqname, x$start, x$end))
  cat(sprintf("  sample 1: %s (mean depth %.2f)\n", basename(x$files[1L]),
              mean(x$coverage1)))
  cat(sprintf("  sample 2: %s (mean depth %.2f), scaled by %.4g\n",
              basename(x$files[2L]), mean(x$coverage2), x$scale))
  cat(sprintf("Splicing index of %d %s:\n", nrow(x$units),
              if (x$binned) "bins" else "features"))
  print(utils::head(x$units, 10L), row.names = FALSE, digits = 4L)
  if (nrow(x$units) > 10L) cat(sprintf("... and %d more\n", nrow(x$units) - 10L))
  invisible(x)
}

#' @param x A `tolvendra_comparison` object.
#' @param row.names,optional,... Ignored.
#' @rdname compare_samples
#' @export
as.data.frame.tolvendra_comparison <- function(x, row.names = NULL,
                                               optional = FALSE, ...) {
  cbind(seqname = rep(x$seqname, nrow(x$units)), x$units)
}

#' @param file For `plot()`: a PNG file to draw into instead of the current
#'   device.
#' @param png_width,png_height Size of the PNG in pixels.
#' @rdname compare_samples
#' @export
plot.tolvendra_comparison <- function(x, file = NULL, png_width = 1200,
                                      png_height = 800, ...) {
  draw_to(file, png_width, png_height, draw_comparison(x, ...))
  invisible(x)
}

draw_comparison <- function(x, ...) {
  old <- graphics::par(mfrow = c(2L, 1L), mar = c(4, 4, 2.5, 1))
  on.exit(graphics::par(old))
  pos <- x$start:x$end
  top <- max(x$coverage1, x$coverage2 * x$scale, 1) * 1.08
  graphics::plot(range(pos), c(0, top), type = "n", xaxs = "i", yaxs = "i",
                 xlab = sprintf("Position on %s", x$seqname),
                 ylab = "Read depth",
                 main = sprintf("Coverage of %s:%d-%d", x$seqname, x$start, x$end))
  graphics::lines(pos, x$coverage1, col = "steelblue4")
  graphics::lines(pos, x$coverage2 * x$scale, col = "darkorange3")
  graphics::legend("topleft", bty = "n", cex = 0.85, lty = 1,
                   col = c("steelblue4", "darkorange3"),
                   legend = c(basename(x$files[1L]),
                              sprintf("%s x %.3g", basename(x$files[2L]), x$scale)))
  graphics::plot(range(pos), c(-1.05, 1.05), type = "n", xaxs = "i",
                 xlab = sprintf("Position on %s", x$seqname),
                 ylab = "Splicing index (log2 ratio)",
                 main = sprintf("Sample 1 against sample 2, per %s",
                                if (x$binned) "bin" else "feature"), ...)
  graphics::abline(h = 0, col = "grey60")
  u <- x$units
  graphics::segments(u$start, u$index, u$end + 1, u$index, lwd = 3,
                     col = ifelse(u$index >= 0, "steelblue4", "darkorange3"))
}
