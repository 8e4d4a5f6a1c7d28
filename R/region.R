#' Coverage analysis of a region of a BAM file
#'
#' Reads a region of an indexed BAM file and computes, in one call, its
#' per-base coverage ([gcoverage()]), the coverage summed over consecutive
#' bins of `width` positions, and the regions whose mean coverage reaches
#' `threshold` ([regionmining()]). Unlike [ghistogram()], the bins keep the
#' last, shorter bin and their sums never wrap around.
#'
#' @inheritParams read_blocks
#' @param width Bin width in positions. The last bin ends with the region
#'   and may be shorter; each bin has its own `width` in the result.
#' @param threshold,minlen Regions are stretches whose mean coverage reaches
#'   `threshold` and that span more than `minlen` positions; see
#'   [regionmining()].
#' @return An object of class `tolvendra_region` with `print()`,
#'   `summary()`, `as.data.frame()` and [plot()][plot.tolvendra_region]
#'   methods. It holds the region (`seqname`, `start`, `end`), its depth as
#'   runs of equal depth (`runs`, an [rle()] object), the number of
#'   positions `covered` by at least one read, the `bins` (`start`, `end`,
#'   `width`, coverage `sum` and `mean`) and the `regions` (`start`, `end`,
#'   `width`, `mean`) as data frames, and the parameters.
#'   The depth of every position, an integer vector, is made only when
#'   asked for: `x$coverage` (or `x[["coverage"]]`) and
#'   `as.data.frame(x, what = "coverage")` expand the runs. Sums and means
#'   are doubles, exact however deep or long the region.
#' @export
#' @examplesIf requireNamespace("Rsamtools", quietly = TRUE) && requireNamespace("GenomicAlignments", quietly = TRUE)
#' bam <- system.file("extdata", "ex1.bam", package = "Rsamtools")
#' x <- analyze_region(bam, "seq1", 1, 1575, width = 100, threshold = 45,
#'                     minlen = 20)
#' x
#' summary(x)
#' tail(as.data.frame(x, what = "bins"), 3)
#' plot(x)
analyze_region <- function(file, seqname, start = 1, end = NULL, width = 100,
                           threshold = 10, minlen = 0, index = NULL,
                           options = read_options(), ...) {
  call <- sys.call()
  options <- reading_options(options, list(...), call)
  region <- check_region(file, seqname, start, end, index, call = call)
  width <- check_count(width, "width", min = 1, call = call)
  threshold <- check_count(threshold, "threshold", call = call)
  minlen <- check_count(minlen, "minlen", min = 0, call = call)
  bins <- bin_spans(region$start, region$end, width)
  x <- engine_run(list(region), options, as.data.frame(region[c("seqname", "start", "end")]),
                  bins,
                  list(factors = 1, threshold = threshold, minlen = minlen),
                  keep = "rle", call = call)
  new_region(region, structure(x$runs[[1L, 1L]], class = "rle"),
             x$covered[[1L]], width, bins, x$sums[, 1L], x$region_start,
             x$region_end, x$region_sums[, 1L], threshold, minlen, options)
}

# A tolvendra_region from a coverage vector, for plots and tests without a
# BAM file: the same native summaries that analyze_region() takes.
analyze_coverage <- function(region, cov, width, threshold, minlen, options) {
  bins <- bin_spans(region$start, region$end, width)
  x <- .Call(B_vector_sums$address, as.integer(cov), as.double(region$start),
             as.double(bins$start), as.double(bins$end), as.integer(threshold),
             as.integer(minlen))
  new_region(region, rle(as.integer(cov)), sum(cov > 0), width, bins, x$sums,
             x$region_start, x$region_end, x$region_sums, threshold, minlen,
             options)
}

# `runs`: the depth of the region as an rle; `covered`: its positions of
# depth above 0.
new_region <- function(region, runs, covered, width, bins, sums,
                       region_start, region_end, region_sums, threshold,
                       minlen, options) {
  bins$target <- NULL
  bins$sum <- sums
  bins$mean <- bins$sum / bins$width
  regions <- data.frame(start = as.integer(region_start),
                        end = as.integer(region_end))
  regions$width <- regions$end - regions$start + 1L
  regions$mean <- region_sums / regions$width
  structure(c(region, list(runs = runs, covered = covered, width = width,
                           bins = bins, threshold = threshold,
                           minlen = minlen, regions = regions,
                           options = options)),
            class = "tolvendra_region")
}

# Consecutive bins of `width` positions from each `start` to its `end`;
# the last of each stops at its end, so it may be shorter. `target` is the
# index of the start and end that a bin belongs to. Computed in doubles so
# that a bin reaching past the largest integer coordinate does not
# overflow, and for all targets at once, since studies have thousands.
bin_spans <- function(start, end, width) {
  start <- as.double(start)
  end <- as.double(end)
  counts <- ceiling((end - start + 1) / width)
  target <- rep.int(seq_along(start), counts)
  first <- start[target] + (sequence(counts) - 1) * width
  last <- pmin(first + width - 1, end[target])
  data.frame(target = target, start = as.integer(first),
             end = as.integer(last), width = as.integer(last - first + 1))
}

# A region as "chr1:1,001-2,000".
locus <- function(x) {
  sprintf("%s:%s-%s", x$seqname, format(x$start, big.mark = ","),
          format(x$end, big.mark = ","))
}

region_label <- function(x) {
  paste(locus(x), "of", basename(x$file))
}

# The depth of every position is made from the runs only when asked for.
#' @export
`$.tolvendra_region` <- function(x, name) x[[name]]

#' @export
`[[.tolvendra_region` <- function(x, i, ...) {
  if (identical(i, "coverage")) {
    return(inverse.rle(.subset2(x, "runs")))
  }
  .subset2(x, i, ...)
}

#' @export
print.tolvendra_region <- function(x, ...) {
  cat(sprintf("<tolvendra_region> %s\n", region_label(x)))
  n <- x$end - x$start + 1
  cat(sprintf("Depth: mean %.2f, max %d; %.1f%% of %s positions covered\n",
              sum(x$bins$sum) / n, max(x$runs$values, 0L), 100 * x$covered / n,
              count_text(n)))
  last <- x$bins$width[nrow(x$bins)]
  cat(sprintf("Bins: %s of %s positions%s\n", count_text(nrow(x$bins)),
              count_text(x$width),
              if (last < x$width) paste(", the last of", count_text(last))
              else ""))
  cat(sprintf("Regions with mean depth >= %d over more than %d positions: %s\n",
              x$threshold, x$minlen, count_text(nrow(x$regions))))
  print_head(x$regions)
  invisible(x)
}

# The first rows of a table, and how many more there are.
print_head <- function(table, n = 10L) {
  if (nrow(table) == 0L) return(invisible())
  print(utils::head(table, n), row.names = FALSE, digits = 4L)
  if (nrow(table) > n) {
    cat(sprintf("... and %s more\n", count_text(nrow(table) - n)))
  }
}

#' @export
summary.tolvendra_region <- function(object, ...) {
  n <- object$end - object$start + 1
  depths <- object$runs$values
  structure(list(
    region = region_label(object),
    positions = n,
    depth = c(min = min(depths), median = runs_median(object$runs),
              mean = sum(object$bins$sum) / n, max = max(depths)),
    covered = object$covered / n,
    regions = nrow(object$regions),
    in_regions = sum(as.double(object$regions$width))
  ), class = "summary.tolvendra_region")
}

# The median of a profile held as runs, as median() gives it on the depth
# of every position: the middle depth, or the mean of the two middle ones.
runs_median <- function(runs) {
  counts <- rowsum(as.double(runs$lengths), runs$values)
  depths <- as.integer(rownames(counts))
  seen <- cumsum(counts[, 1L])
  n <- seen[length(seen)]
  middle <- depths[findInterval(c((n + 1) %/% 2, n %/% 2 + 1) - 1, seen) + 1L]
  if (n %% 2 == 1) middle[1L] else mean(middle)
}

#' @export
print.summary.tolvendra_region <- function(x, ...) {
  cat(sprintf("Coverage of %s (%s positions)\n", x$region,
              count_text(x$positions)))
  cat(sprintf("  depth: min %g, median %g, mean %.2f, max %g\n",
              x$depth[["min"]], x$depth[["median"]], x$depth[["mean"]],
              x$depth[["max"]]))
  cat(sprintf("  covered: %.1f%% of positions\n", 100 * x$covered))
  cat(sprintf("  regions: %s, spanning %s positions\n",
              count_text(x$regions), count_text(x$in_regions)))
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
  what <- check_choice(what, c("regions", "bins", "coverage"), "what")
  switch(what,
    regions = cbind(seqname = rep(x$seqname, nrow(x$regions)), x$regions),
    bins = cbind(seqname = rep(x$seqname, nrow(x$bins)), x$bins),
    coverage = data.frame(seqname = rep(x$seqname, x$end - x$start + 1),
                          position = x$start:x$end, depth = x$coverage)
  )
}
