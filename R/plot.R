#' Plot a coverage analysis or a comparison of two samples
#'
#' Draws what [analyze_region()] or [compare_samples()] computed, on the
#' current graphics device or into a file. However long the region, the
#' drawing follows the device's resolution: consecutive positions and bins
#' are merged into spans of about one pixel column (2,000 spans at most),
#' and regions or features narrower than a few pixels are widened about
#' their middle so that they stay visible. Positions are labelled in bp, kb
#' or Mb.
#'
#' A region's plot shows the read depth (grey; where positions are merged,
#' the highest depth of each span), the mean depth of each bin (blue;
#' merged bins give the mean of all their positions), the threshold (dashed
#' red) and the regions found (orange bands).
#'
#' A comparison's upper panel shows the mean depth of both samples, the
#' second multiplied by `scale`. The lower panel shows the splicing index of
#' each bin or feature where both samples have reads, and shades those
#' where only one sample or neither has reads instead of drawing their
#' fixed index (see "Reading the index" in [compare_samples()]). Merged
#' bins have the index of their summed coverage.
#'
#' @param x A `tolvendra_region` or `tolvendra_comparison` object.
#' @param file A file to draw into instead of the current device. Its
#'   extension, `.png`, `.pdf` or `.svg`, chooses the format.
#' @param size Width and height of the file's image in inches; PNG images
#'   have 120 pixels per inch.
#' @param main,xlab,ylab Title and axis labels; `NULL` gives the default.
#'   For a comparison, `main` is the title above both panels and `ylab` may
#'   hold two labels, one per panel.
#' @param xlim First and last coordinate to show, within the region; by
#'   default the whole region.
#' @param ... Other graphical parameters, passed on to [plot.default()],
#'   such as `ylim` (for a comparison, of the depth panel), `cex.axis` or
#'   `las`.
#' @return `x`, invisibly.
#' @seealso [analyze_region()], [compare_samples()]
#' @export
#' @examplesIf requireNamespace("Rsamtools", quietly = TRUE) && requireNamespace("GenomicAlignments", quietly = TRUE)
#' bam <- system.file("extdata", "ex1.bam", package = "Rsamtools")
#' x <- analyze_region(bam, "seq1", 1, 1575, width = 100, threshold = 45)
#' plot(x)
#' plot(x, xlim = c(1000, 1400), main = "Two regions of seq1")
#' file <- tempfile(fileext = ".pdf")
#' plot(x, file = file, size = c(8, 4))
#'
#' exons <- data.frame(start = c(100, 600, 1200), end = c(400, 900, 1500))
#' y <- compare_samples(bam, bam, "seq1", 1, 1575, features = exons,
#'                      min_mapq = c(0, 99))
#' plot(y)
plot.tolvendra_region <- function(x, file = NULL, size = c(10, 5),
                                  main = NULL, xlab = NULL, ylab = NULL,
                                  xlim = NULL, ...) {
  xlim <- check_xlim(xlim, x)
  draw_to(file, size, draw_region(x, xlim, main, xlab, ylab, list(...)))
  invisible(x)
}

#' @rdname plot.tolvendra_region
#' @export
plot.tolvendra_comparison <- function(x, file = NULL, size = c(10, 7),
                                      main = NULL, xlab = NULL, ylab = NULL,
                                      xlim = NULL, ...) {
  xlim <- check_xlim(xlim, x)
  draw_to(file, size, draw_comparison(x, xlim, main, xlab, ylab, list(...)))
  invisible(x)
}

# Draws on a file when `file` is given, its device chosen by the extension,
# else on the current device; `draw` is evaluated once the device is open.
# The file is drawn beside `file` and renamed once the device is closed,
# so that a plot that fails leaves no file.
draw_to <- function(file, size, draw, call = sys.call(-1)) {
  force(call)
  if (!is.null(file)) {
    check_output_path(file, "file", call)
    extension <- tolower(sub(".*\\.", "", basename(file)))
    device <- switch(extension,
      png = function(file, width, height) {
        grDevices::png(file, width, height, units = "in", res = 120)
      },
      pdf = grDevices::pdf,
      svg = grDevices::svg
    )
    if (is.null(device)) {
      abort_arg(sprintf("`file` must end in .png, .pdf or .svg, not %s.",
                        describe(file)), call)
    }
    ok <- is.numeric(size) && length(size) == 2L && all(is.finite(size)) &&
      all(size > 0)
    if (!ok) {
      abort_arg(sprintf(paste0("`size` must be two positive numbers, width ",
                               "and height in inches, not %s."),
                        describe(size)), call)
    }
    return(write_atomic(file, function(tmp) {
      device(tmp, width = size[1L], height = size[2L])
      opened <- grDevices::dev.cur()
      on.exit(grDevices::dev.off(opened))
      force(draw)
    }, suffix = paste0(".", extension), arg = "file", call = call))
  }
  invisible(draw)
}

check_xlim <- function(xlim, x, call = sys.call(-1)) {
  force(call)
  if (is.null(xlim)) {
    return(c(x$start, x$end))
  }
  ok <- is.numeric(xlim) && length(xlim) == 2L && !anyNA(xlim) &&
    xlim[1L] <= xlim[2L] && xlim[1L] <= x$end && xlim[2L] >= x$start
  if (!isTRUE(ok)) {
    shown <- if (is.numeric(xlim) && length(xlim) == 2L) {
      paste(format(xlim), collapse = " to ")
    } else {
      describe(xlim)
    }
    abort_arg(sprintf(paste0("`xlim` must be two ascending coordinates that ",
                             "overlap %s, not %s."), locus(x), shown), call)
  }
  c(max(ceiling(xlim[1L]), x$start), min(floor(xlim[2L]), x$end))
}

draw_region <- function(x, xlim, main, xlab, ylab, dots) {
  spans <- column_spans(xlim, plot_columns())
  depth <- span_stats(x$runs, x$start, spans)
  bins <- x$bins[view_rows(x$bins, xlim), ]
  k <- ceiling(spans$step / x$width)
  if (k > 1) bins <- merge_bins(bins, k, "sum")
  draw_frame(xlim, c(0, max(depth$max, x$threshold, 1) * 1.08),
             main %||% sprintf("Coverage of %s", region_label(x)),
             xlab %||% sprintf("Position on %s", x$seqname),
             ylab %||% "Read depth", dots)
  graphics::polygon(steps(spans, depth$max, closed = TRUE), col = "grey80",
                    border = "grey55")
  shade(x$regions, region_colour)
  graphics::lines(steps(bins, bins$sum / bins$width), col = "steelblue4",
                  lwd = 2)
  graphics::abline(h = x$threshold, lty = 2, col = "firebrick")
  graphics::box()
  legend_above(
    legend = c(if (spans$step > 1) {
                 sprintf("highest depth per %s", bp_format(spans$step))
               } else "depth",
               paste("mean per", bin_text(x$width, k)),
               sprintf("threshold %d", x$threshold),
               sprintf("regions found (%s)", count_text(nrow(x$regions)))),
    col = c(NA, "steelblue4", "firebrick", NA),
    lty = c(NA, 1, 2, NA), lwd = c(NA, 2, 1, NA),
    fill = c("grey80", NA, NA, region_colour), border = NA)
}

region_colour <- grDevices::adjustcolor("darkorange", 0.35)
sample_colours <- c("steelblue4", "darkorange3")
# Shades of the units with reads in sample 1 only, sample 2 only, neither.
alone_colours <- c(grDevices::adjustcolor(sample_colours, 0.3), "grey88")

draw_comparison <- function(x, xlim, main, xlab, ylab, dots) {
  old <- graphics::par(mfrow = c(2L, 1L), oma = c(0.5, 0, 2, 0),
                       mar = c(4, 4.1, 3, 2.1))
  on.exit(graphics::par(old))
  files <- basename(x$files)
  spans <- column_spans(xlim, plot_columns())
  depth1 <- span_stats(rle(x$coverage1), x$start, spans)$mean
  depth2 <- span_stats(rle(x$coverage2), x$start, spans)$mean * x$scale
  xlab <- xlab %||% sprintf("Position on %s", x$seqname)
  ylab <- rep_len(ylab %||% c(if (spans$step > 1) {
    sprintf("Mean depth per %s", bp_format(spans$step))
  } else "Read depth", "Splicing index (log2 ratio)"), 2L)

  draw_frame(xlim, c(0, max(depth1, depth2, 1) * 1.08), "", xlab, ylab[1L],
             dots)
  graphics::lines(steps(spans, depth1), col = sample_colours[1L])
  graphics::lines(steps(spans, depth2), col = sample_colours[2L])
  legend_above(legend = c(sprintf("sample 1, %s", files[1L]),
                          sprintf("sample 2, %s, x %.3g", files[2L], x$scale)),
               col = sample_colours, lty = 1, lwd = 2)

  units <- x$units[view_rows(x$units, xlim), ]
  k <- if (is.null(x$width)) 1 else ceiling(spans$step / x$width)
  if (k > 1) {
    units <- merge_bins(units, k, c("sum1", "sum2"))
    units$index <- splicingind(units$sum1, units$sum2, x$scale)
    units$detected <- detection(units$sum1, units$sum2)
  }
  # `ylim` is for the depth; the index always spans -1 to 1
  draw_frame(xlim, c(-1.1, 1.1), "", xlab, ylab[2L],
             dots[names(dots) != "ylim"], yticks = c(-1, -0.5, 0, 0.5, 1))
  for (i in 1:3) {
    shade(units[units$detected == detected_levels[i + 1L], ], alone_colours[i])
  }
  graphics::abline(h = 0, col = "grey50")
  graphics::box()
  both <- units[units$detected == "both", ]
  drawn <- widen(both$start, both$end, least_width())
  graphics::segments(drawn$start, both$index, drawn$end, both$index,
                     lwd = 3, col = "grey10")
  # the shaded cases only where they occur in view
  shown <- c(TRUE, detected_levels[-1L] %in% units$detected)
  legend_above(
    legend = c(sprintf("index where both have reads, per %s",
                       if (is.null(x$width)) "feature" else bin_text(x$width, k)),
               "reads in sample 1 only", "reads in sample 2 only",
               "no reads in either")[shown],
    col = c("grey10", NA, NA, NA)[shown], lty = c(1, NA, NA, NA)[shown],
    lwd = c(3, NA, NA, NA)[shown], fill = c(NA, alone_colours)[shown],
    border = NA)
  graphics::mtext(main %||% sprintf("%s against %s, %s", files[1L],
                                    files[2L], locus(x)),
                  outer = TRUE, font = 2, cex = 1.2, line = 0.5)
}

# An empty plot of xlim by ylim, with positions labelled in bp, kb or Mb.
# The user's graphical arguments override the defaults.
draw_frame <- function(xlim, ylim, main, xlab, ylab, dots, yticks = NULL) {
  args <- utils::modifyList(
    list(x = xlim + c(-0.5, 0.5), y = ylim, type = "n", xaxs = "i",
         yaxs = "i", xaxt = "n", yaxt = "n", main = "", xlab = xlab,
         ylab = ylab), dots)
  do.call(graphics::plot, args)
  pars <- dots[names(dots) %in% names(graphics::par())]
  do.call(graphics::title, c(list(main = main, line = 2.6), pars))
  if (isFALSE(dots$axes)) return(invisible())
  if (is.null(dots$xaxt)) {
    at <- graphics::axTicks(1L)
    step <- if (length(at) > 1L) at[2L] - at[1L] else 1
    do.call(graphics::axis, c(list(1L, at = at, labels = bp_format(at, step)),
                              pars))
  }
  if (is.null(dots$yaxt)) {
    at <- yticks %||% graphics::axTicks(2L)
    labels <- format(at, big.mark = ",", scientific = FALSE, trim = TRUE,
                     drop0trailing = TRUE)
    do.call(graphics::axis, c(list(2L, at = at, labels = labels), pars))
  }
}

# What a drawn bin stands for: a bin of `width` positions, or k of them
# merged.
bin_text <- function(width, k) {
  if (k == 1) {
    sprintf("%s bin", bp_format(width))
  } else {
    sprintf("%s (%s bins of %s)", bp_format(k * width), count_text(k),
            bp_format(width))
  }
}

# Positions or lengths in bp, kb or Mb, the unit chosen by `by`.
bp_format <- function(x, by = x) {
  unit <- if (by >= 1e6) 3L else if (by >= 1e3) 2L else 1L
  paste(format(x / c(1, 1e3, 1e6)[unit], big.mark = ",", scientific = FALSE,
               trim = TRUE, drop0trailing = TRUE), c("bp", "kb", "Mb")[unit])
}

# A legend in the margin just above the plot: one row, or two columns if
# one row does not fit.
legend_above <- function(...) {
  usr <- graphics::par("usr")
  args <- list(x = mean(usr[1:2]), y = usr[4L], xjust = 0.5, yjust = 0,
               xpd = NA, bty = "n", cex = 0.85, ...)
  row <- do.call(graphics::legend, c(args, horiz = TRUE, plot = FALSE))
  if (row$rect$w <= diff(usr[1:2])) {
    do.call(graphics::legend, c(args, horiz = TRUE))
  } else {
    do.call(graphics::legend, c(args, ncol = 2L))
  }
}

# How many spans a plot is summarised into: about one per pixel column of
# the plotting area, at most 2,000.
plot_columns <- function() {
  dpi <- grDevices::dev.size("px")[1L] / grDevices::dev.size("in")[1L]
  min(2000, max(1, ceiling(graphics::par("pin")[1L] * dpi)))
}

# The fewest coordinates a drawn stretch spans: three pixel columns.
least_width <- function() {
  usr <- graphics::par("usr")[1:2]
  3 * diff(usr) / abs(diff(graphics::grconvertX(usr, "user", "device")))
}

# Consecutive spans that cover xlim in at most `columns` spans, each of a
# round whole number of positions (1, 1.5, 2, 2.5, 3, 4, 5, 6 or 8 times a
# power of 10); the last may be shorter.
column_spans <- function(xlim, columns) {
  least <- (xlim[2L] - xlim[1L] + 1) / columns
  power <- 10^floor(log10(max(least, 1)))
  nice <- power * c(1, 1.5, 2, 2.5, 3, 4, 5, 6, 8, 10)
  step <- nice[nice >= least & nice == floor(nice)][1L]
  start <- seq(xlim[1L], xlim[2L], by = step)
  list(start = start, end = pmin(start + step - 1, xlim[2L]), step = step)
}

# Highest and mean value of a per-base profile (an rle whose first
# coordinate is `first`) over each span, a run at a time.
span_stats <- function(profile, first, spans) {
  values <- profile$values
  ends <- cumsum(as.double(profile$lengths))
  before <- c(0, ends)
  totals <- c(0, cumsum(as.double(values) * profile$lengths))
  # the run holding each position p, and the profile summed over 1..p
  run_of <- function(p) findInterval(p - 1, ends) + 1L
  summed <- function(p, run) totals[run] + (p - before[run]) * values[run]
  a <- spans$start - first + 1
  b <- spans$end - first + 1
  from <- run_of(a)
  to <- run_of(b)
  list(max = vapply(seq_along(a), function(i) max(values[from[i]:to[i]]), 0),
       mean = (summed(b, to) - summed(a - 1, run_of(a - 1))) / (b - a + 1))
}

# Outline of a profile drawn as flat steps over spans; `closed` adds the
# baseline at both ends, for a filled shape.
steps <- function(spans, values, closed = FALSE) {
  x <- as.vector(rbind(spans$start - 0.5, spans$end + 0.5))
  y <- rep(values, each = 2L)
  if (closed) {
    list(x = c(x[1L], x, x[length(x)]), y = c(0, y, 0))
  } else {
    list(x = x, y = y)
  }
}

# The rows of a table of stretches that overlap xlim.
view_rows <- function(table, xlim) {
  which(table$end >= xlim[1L] & table$start <= xlim[2L])
}

# Consecutive bins merged k at a time: `width` and the `sums` columns add
# up, in doubles.
merge_bins <- function(bins, k, sums) {
  first <- seq(1, nrow(bins), by = k)
  group <- rep(seq_along(first), each = k, length.out = nrow(bins))
  totals <- rowsum(as.matrix(bins[c("width", sums)]) + 0, group,
                   reorder = FALSE)
  cbind(data.frame(start = bins$start[first],
                   end = bins$end[c(first[-1L] - 1, nrow(bins))]),
        as.data.frame(totals, row.names = NULL))
}

# Stretches as drawn: at least `least` coordinates wide about their middle.
widen <- function(starts, ends, least) {
  middle <- (starts + ends) / 2
  half <- pmax(ends - starts + 1, least) / 2
  list(start = middle - half, end = middle + half)
}

# Full-height bands over the stretches of a table, widened to stay visible
# and merged where they then overlap.
shade <- function(table, colour) {
  if (nrow(table) == 0L) return(invisible())
  band <- widen(table$start, table$end, least_width())
  order <- order(band$start)
  lo <- band$start[order]
  hi <- cummax(band$end[order])
  new <- c(TRUE, lo[-1L] > hi[-length(hi)])
  usr <- graphics::par("usr")
  graphics::rect(lo[new], usr[3L], hi[c(which(new)[-1L] - 1L, length(hi))],
                 usr[4L], col = colour, border = NA)
}
