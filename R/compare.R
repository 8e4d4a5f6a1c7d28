#' Compare the coverage of a region in two BAM files
#'
#' Computes the coverage of the same region in two samples and the splicing
#' index ([splicingind()]) of the first against the second, per bin of
#' `width` positions or per feature (for example per exon).
#'
#' @section Reading the index:
#' The index of a bin or feature is `log2(sum1 / (scale * sum2))`, where
#' `sum1` and `sum2` are the two samples' coverage summed over it, clamped
#' to the range -1 to 1. Above 0, sample 1 has more coverage than sample 2
#' after scaling; below 0, less; 1 and -1 mean at least twice as much and
#' at most half as much.
#'
#' This reading holds only where both samples have reads. Where only one
#' does, there is no ratio, and [splicingind()] gives a fixed value that
#' does not follow the rule above: **-1 where only sample 1 has reads** and
#' +1 where only sample 2 has reads. Where neither has reads the index is
#' 0, which here means "no data", not "no change". The `detected` column
#' says which case each row is; read the index as a ratio only where it is
#' `"both"`. The printed summary counts the cases and the plot draws
#' one-sample and empty stretches as shaded bands rather than as index
#' values.
#'
#' @param file1,file2 Indexed BAM files of the two samples. Or, to compare
#'   two groups of samples, a data frame of samples as for
#'   [analyze_samples()] and the name of its column that splits them in
#'   two, with `features` given: see [compare_groups()].
#' @inheritParams read_blocks
#' @param min_mapq The lowest mapping quality kept: one value for both
#'   files, or two, one per file.
#' @param width Bin width in positions, used when `features` is `NULL`. The
#'   last bin ends with the region and may be shorter.
#' @param features Optional data frame with whole-number columns `start`
#'   and `end`, 1-based and both included: the stretches of the region to
#'   compare, such as exons. A column `seqname` (or `seqnames`, `chr`,
#'   `chrom`), if present, must name `seqname` on every row.
#' @param scale Factor applied to the second sample, a positive finite
#'   number. By default, the ratio of the two files' mapped-read counts
#'   (from their indexes), so that samples sequenced to different depths
#'   compare fairly; a file without mapped reads is then an error.
#' @return An object of class `tolvendra_comparison` with `print()`,
#'   `as.data.frame()` and [plot()][plot.tolvendra_comparison] methods. It
#'   holds the region, the `files`, both `coverage` vectors, the `scale`,
#'   and a data frame `units` with, for each bin or feature, its `start`,
#'   `end` and `width`, the coverage sums `sum1` and `sum2` (doubles, exact),
#'   the `index`, and `detected`: a factor saying which samples have reads
#'   there, `"both"`, `"sample 1 only"`, `"sample 2 only"` or `"neither"`.
#' @export
#' @examplesIf requireNamespace("Rsamtools", quietly = TRUE) && requireNamespace("GenomicAlignments", quietly = TRUE)
#' bam <- system.file("extdata", "ex1.bam", package = "Rsamtools")
#' # The same file twice, with reads of low mapping quality left out of one
#' exons <- data.frame(start = c(100, 600, 1200), end = c(400, 900, 1500))
#' x <- compare_samples(bam, bam, "seq1", 1, 1575, features = exons,
#'                      min_mapq = c(0, 99))
#' x
#' as.data.frame(x)
#' plot(x)
compare_samples <- function(file1, file2, seqname, start = 1, end = NULL,
                            width = 100, features = NULL, scale = NULL,
                            split = TRUE, min_mapq = 0, chunk_size = 65536,
                            progress = interactive(), threads = 1,
                            reference = NULL, exclude_flags = 1796) {
  if (is.data.frame(file1)) {
    return(group_comparison(file1, file2, features, scale,
                            BiocParallel::SerialParam(), split = split,
                            min_mapq = min_mapq, chunk_size = chunk_size,
                            progress = progress, threads = threads,
                            reference = reference,
                            exclude_flags = exclude_flags, call = sys.call()))
  }
  region1 <- check_region(file1, seqname, start, end, arg = "file1")
  region2 <- check_region(file2, seqname, region1$start, region1$end,
                          arg = "file2")
  min_mapq <- check_per_file(min_mapq, "min_mapq")
  options1 <- check_read_options(split, min_mapq[1L], chunk_size, progress,
                                 threads, reference, exclude_flags)
  options2 <- check_read_options(split, min_mapq[2L], chunk_size, progress,
                                 threads, reference, exclude_flags)
  if (is.null(features)) {
    width <- check_count(width, "width", min = 1)
    units <- bin_spans(region1$start, region1$end, width)
  } else {
    units <- check_spans(features, region1, "features")
    units$width <- units$end - units$start + 1L
  }
  scale <- if (is.null(scale)) {
    check_mapped(region1, options1, "file1") /
      check_mapped(region2, options2, "file2")
  } else {
    check_positive(scale, "scale")
  }

  compare_coverage(region1, c(file1, file2),
                   region_coverage(region1, options1, "file1"),
                   region_coverage(region2, options2, "file2"),
                   units, scale, if (is.null(features)) width)
}

# The comparison of two samples' coverage of a region over `units` (bins
# of `width` positions, or features when `width` is NULL).
compare_coverage <- function(region, files, cov1, cov2, units, scale, width) {
  units$sum1 <- span_sums(cov1, region$start, units$start, units$end)
  units$sum2 <- span_sums(cov2, region$start, units$start, units$end)
  units$index <- splicingind(units$sum1, units$sum2, scale)
  units$detected <- detection(units$sum1, units$sum2)
  structure(c(region[c("seqname", "start", "end")],
              list(files = files, coverage1 = cov1, coverage2 = cov2,
                   scale = scale, units = units, width = width)),
            class = "tolvendra_comparison")
}

# A whole number per file: one for both, or one each; returns two.
check_per_file <- function(x, arg, call = sys.call(-1)) {
  force(call)
  ok <- is.numeric(x) && !is.object(x) && length(x) %in% 1:2
  bad <- if (ok) which(is.na(x) | x < 0 | x != trunc(x) |
                       x > .Machine$integer.max)
  if (!ok || length(bad) > 0L) {
    got <- if (!ok || length(x) == 1L) {
      paste("not", describe(x))
    } else {
      sprintf("but the %s, for `file%d`, is %s", c("first", "second")[bad[1L]],
              bad[1L], describe(x[bad[1L]]))
    }
    abort_arg(sprintf(paste0("`%s` must be one or two non-negative whole ",
                             "numbers, one per file, %s."), arg, got), call)
  }
  as.integer(rep_len(x, 2L))
}

# The mapped reads of a sample's file, which must have some.
check_mapped <- function(region, options, arg, call = sys.call(-1)) {
  force(call)
  reads <- mapped_reads(region, options, arg, call)
  if (reads == 0) {
    abort_arg(sprintf(paste0("`%s` must have mapped reads to be compared, ",
                             "but %s has none."), arg, describe(region$file)),
              call)
  }
  reads
}

detected_levels <- c("both", "sample 1 only", "sample 2 only", "neither")

# Which samples have reads in each unit, from their coverage sums.
detection <- function(sum1, sum2) {
  factor(detected_levels[1L + (sum2 == 0) + 2L * (sum1 == 0)],
         levels = detected_levels)
}

#' @export
print.tolvendra_comparison <- function(x, ...) {
  cat(sprintf("<tolvendra_comparison> %s\n", locus(x)))
  cat(sprintf("  sample 1: %s (mean depth %.2f)\n", basename(x$files[1L]),
              mean(x$coverage1)))
  cat(sprintf("  sample 2: %s (mean depth %.2f), scaled by %.4g\n",
              basename(x$files[2L]), mean(x$coverage2), x$scale))
  counts <- table(x$units$detected)
  cat(sprintf("Splicing index of %s %s; reads in %s.\n",
              count_text(nrow(x$units)),
              if (is.null(x$width)) "features"
              else sprintf("bins of %s positions", count_text(x$width)),
              paste(sprintf("%s: %s", names(counts), count_text(c(counts))),
                    collapse = ", ")))
  if (sum(counts[c("sample 1 only", "sample 2 only")]) > 0L) {
    cat(paste("Where one sample alone has reads the index is fixed, not a",
              "ratio: -1 for sample 1 only, +1 for sample 2 only.\n"))
  }
  print_head(x$units)
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
