#' Coverage of many samples over whole sequences or targets
#'
#' Computes, for each sample, the coverage summed over bins of `width`
#' positions along every sequence of the BAM files (or along the targets in
#' `where`), and finds the regions where the mean coverage across samples
#' reaches `threshold`, with each sample's mean coverage over each region.
#' The work is split into tasks run through [BiocParallel::bplapply()], so
#' the same call runs serially, on local cores, on a socket cluster or on a
#' cluster scheduler, with identical results.
#'
#' The targets are split into tasks of whole sequences or targets (at most
#' 1,000 targets each, sized so that each worker gets about two). A task
#' reads each sample's file once, in one pass over its targets (targets
#' less than 64 kb apart share one index query), and keeps each sample's
#' depth as runs of equal depth until the regions are known: memory
#' follows the longest stretch read in one query and the reads, at most 8
#' bytes per run and sample, and a read adds at most two runs (about 0.4
#' bytes per position and sample at 30-fold depth of 150-base reads; 8
#' bytes at worst, where the depth changes at every position). Counting
#' takes 4 bytes per position of `chunk_size` on top. Every file is
#' decoded once per call, and once more to count its library when
#' `normalize` needs it.
#'
#' The regions are those that [regionmining()] finds on the profile
#' `floor(sum(f[s] * coverage[s]))`, the sum over the samples `s` of their
#' coverage times a factor, against the threshold `S * threshold` for `S`
#' samples. The factor is 1 with `normalize = "none"`, so that a region is
#' exactly a stretch whose mean of the samples' coverage reaches
#' `threshold`. Otherwise it is the sample's scale factor, so that samples
#' sequenced to different depths weigh the same: with `"cpm"`,
#' `1e6 / library_size[s]`, depth per million reads; with `"rpgc"`,
#' `genome_size / bases[s]`, where `bases` is what the library's reads
#' cover, so that 1 is the depth the library would have spread evenly over
#' `genome_size` bases (deepTools' RPGC: library size times mean read or
#' fragment length over the genome size); or the factors you give. The
#' profile is rounded down to whole numbers after the summing, which is
#' done in double precision in the samples' order.
#'
#' The library size is the number of reads (or fragments, with
#' `fragments = TRUE`) of the whole file that the reading options keep,
#' counted exactly, not the index's count of mapped reads: with
#' `min_mapq = 30`, reads below 30 are not in it.
#' The profile holds R integers (up to 2,147,483,647), so where
#' `S * threshold` passes that, no region can reach it and none is found.
#'
#' @section bigWig tracks:
#' A sample's file may be a bigWig track in place of a BAM or CRAM file (a
#' path or a URL, known by its first bytes whatever its name), such as
#' [export_coverage()] writes, and BAM files and tracks may be mixed in
#' one call when their sequences agree. A track is read through libBigWig
#' from its full data, never from its zoom levels, so its numbers are
#' exact; its sequences and their lengths come from its header, and
#' positions that no interval covers have depth 0. A track exported from a
#' BAM file without normalizing gives that file's numbers. Values that
#' are not whole (fold changes, normalized signal, negative log ratios)
#' are read as doubles: sums and means are taken in long double, and
#' statistics as R takes them of the expanded values; the region search,
#' like that of scaled samples, runs on the whole part (`floor()`) of the
#' profile, and [depth_distribution()] counts a value at the whole depth
#' below it (negative ones at 0). A value that is not finite is an error
#' of class `tolvendra_error_track`.
#'
#' The reading options that say how reads become depth (`split`,
#' `min_mapq`, `exclude_flags`, `include_flags`, `deletions`, `overlap`,
#' `fragments`, `extend` and `strand`) cannot apply to a track: any of them
#' away from its default is an error of class `tolvendra_error_arg` that
#' names it. A track has no reads, so no library size: `normalize = "cpm"`
#' or `"rpgc"`, and [compare_groups()]' default `scale`, are refused for
#' it (give scale factors instead); its `mapped` column is `NA`. Tracks
#' need Tolvendra built on libBigWig ([tolvendra_info()] says whether it
#' was); a build without it refuses them with an error of class
#' `tolvendra_error_missing_package` that names `libbigwig-dev`.
#'
#' @param files Paths or URLs of indexed BAM (or CRAM) files or of bigWig
#'   tracks (see the section on them), named by sample; names
#'   default to the base names without extension. Or a data frame with
#'   columns `file` and `sample` and any sample annotations (such as
#'   `condition`), which become the column data of the results.
#' @param where What to cover: `NULL` for every sequence of the files (whose
#'   headers must then agree); sequence names; `"chr:start-end"` strings
#'   (1-based, both ends included, commas allowed); a data frame with
#'   columns `seqname` (or `seqnames` or `chr`), `start` and `end`; a
#'   `GRanges`; or the path of a BED file (whose 0-based starts are
#'   converted). Targets on sequences absent from the files, or that start
#'   past a sequence's end, are left out, and targets that run past a
#'   sequence's end are cut at it, with one warning that counts them (an
#'   error when no target is left). Targets that overlap or repeat others
#'   are merged, sorted, with a warning, so that no position is counted or
#'   written twice.
#' @param width Bin width in positions. Bins start at the first position of
#'   each sequence or target; the last bin keeps what is left, with its own
#'   width.
#' @param threshold,minlen Regions are stretches whose mean coverage across
#'   samples reaches `threshold` and that span more than `minlen` positions;
#'   see Details and [regionmining()].
#' @param normalize `"none"` to find regions on the coverage as counted;
#'   `"cpm"` on coverage per million reads of each library; `"rpgc"` on
#'   coverage per 1x genome coverage; or a positive scale factor per sample
#'   that multiplies its coverage (for a differential-expression package's
#'   size factors, which divide, give `1 / size_factors`). See Details. The
#'   results then also hold an assay of normalized means, named `cpm`,
#'   `rpgc` or `scaled`.
#' @param genome_size With `normalize = "rpgc"`: the number of bases of the
#'   genome that reads can map to (its effective size).
#' @param BPPARAM A BiocParallel back end, such as
#'   [BiocParallel::SerialParam()], [BiocParallel::MulticoreParam()] or
#'   [BiocParallel::SnowParam()]. Workers in new R processes need Tolvendra
#'   installed in a library they see.
#' @inheritParams read_blocks
#' @return An object of class `tolvendra_samples` with `print()`,
#'   `summary()` and `plot()` methods, a list of:
#'   * `bins`: a `RangedSummarizedExperiment` with one row per bin and one
#'     column per sample; assays `sum` and `mean` (doubles), and a normalized one with
#'     `normalize` other than `"none"`. Its column data hold the sample
#'     annotations, the `file`, the `mapped` reads (from the index), the
#'     `library_size` (counted when `normalize` needs it or the call covers
#'     whole files, NA otherwise), the `scale_factor` used and the fraction
#'     of positions `covered` by at least one read; its metadata the
#'     normalization and the reading options.
#'   * `regions`: a `RangedSummarizedExperiment` with one row per region,
#'     the same columns and assays: each sample's coverage sum and mean over
#'     each region. Its row data hold `pooled`, the mean over the region of
#'     the (normalized) mean coverage across samples.
#'   * `targets`: the sequences or targets covered, as a data frame, and
#'     `lengths`, the lengths of the files' sequences.
#'   * the parameters `width`, `threshold`, `minlen`, `normalize` and the
#'     reading `options`.
#' @seealso [analyze_region()] for one region of one file,
#'   [export_regions()] to write the regions, [export_coverage()] to write a
#'   sample's coverage as a genome browser track.
#' @export
#' @examplesIf requireNamespace("Rsamtools", quietly = TRUE) && requireNamespace("GenomicAlignments", quietly = TRUE) && requireNamespace("SummarizedExperiment", quietly = TRUE) && requireNamespace("BiocParallel", quietly = TRUE)
#' bam <- system.file("extdata", "ex1.bam", package = "Rsamtools")
#' # The same file twice stands for two samples here
#' samples <- data.frame(file = c(bam, bam), sample = c("a", "b"),
#'                       condition = c("treated", "control"))
#' x <- analyze_samples(samples, width = 200, threshold = 45, minlen = 20)
#' x
#' summary(x)
#' SummarizedExperiment::assay(x$bins, "mean")[1:3, ]
#' x$regions
#' plot(x)
#' # Two targets, on two local cores
#' analyze_samples(c(a = bam), c("seq1:1001-1500", "seq2:1-800"),
#'                 BPPARAM = BiocParallel::MulticoreParam(2))
analyze_samples <- function(files, where = NULL, width = 1000, threshold = 10,
                            minlen = 0, normalize = c("none", "cpm", "rpgc"),
                            genome_size = NULL,
                            BPPARAM = BiocParallel::SerialParam(),
                            options = read_options(), ...) {
  samples_experiment(samples_values(files, where, width, threshold, minlen,
                                    normalize, genome_size, BPPARAM, options,
                                    list(...), sys.call()))
}

# analyze_samples() as plain data frames and matrices, without the
# Bioconductor classes (for the command line): list(study, bins, pass,
# pooled, normalize, width, threshold, minlen).
samples_values <- function(files, where, width, threshold, minlen, normalize,
                           genome_size, BPPARAM, options, dots, call) {
  options <- reading_options(options, dots, call)
  width <- check_count(width, "width", min = 1, call = call)
  threshold <- check_count(threshold, "threshold", call = call)
  minlen <- check_count(minlen, "minlen", min = 0, call = call)
  study <- open_study(files, where, "where", BPPARAM, options, call)
  study$targets <- merge_targets(study$targets, study$lengths, "where", call)
  if (start_workers(BPPARAM)) on.exit(BiocParallel::bpstop(BPPARAM), add = TRUE)
  study <- normalize_study(study, normalize, genome_size, call)
  normalize <- study$normalize
  targets <- study$targets
  samples <- study$samples
  factors <- samples$scale_factor

  bins <- bin_spans(targets$start, targets$end, width)
  # the threshold of the sum across samples, in doubles: past R's integers
  # no profile reaches it
  pass <- study_pass(study, bins,
                     list(factors = factors,
                          threshold = nrow(samples) * as.double(threshold),
                          minlen = minlen), BPPARAM, call)
  regions <- pass$regions
  samples$covered <- pass$covered / sum(as.double(targets$end) - targets$start + 1)
  # a pass over every sequence whole counts each library as it goes
  if (is.null(where) && anyNA(samples$library_size)) {
    samples$library_size <- pass$reads
  }
  study$samples <- samples
  pooled <- pass$region_sums %*% factors / nrow(samples)
  list(study = study, bins = bins, pass = pass, normalize = normalize,
       pooled = as.vector(pooled) / (regions$end - regions$start + 1),
       width = width, threshold = threshold, minlen = minlen)
}

# One row per sample: annotations, mapped reads, mean depth over the
# targets, fraction covered, and mean depth over the regions.
sample_table <- function(x) {
  columns <- as.data.frame(SummarizedExperiment::colData(x$bins))
  sums <- SummarizedExperiment::assay(x$bins, "sum")
  in_regions <- SummarizedExperiment::assay(x$regions, "sum")
  data.frame(sample = rownames(columns),
                      columns[setdiff(names(columns),
                                      c("file", reserved_columns))],
                      mapped = columns$mapped,
                      library = columns$library_size,
                      scale = columns$scale_factor,
                      depth = colSums(sums) / sum(target_widths(x)),
                      covered = sprintf("%.1f%%", 100 * columns$covered),
                      in_regions = if (nrow(in_regions) == 0L) NA else
                        colSums(in_regions) / sum(GenomicRanges::width(x$regions)),
                      row.names = NULL, check.names = FALSE)
}

row_table <- function(x) {
  as.data.frame(SummarizedExperiment::rowRanges(x))
}

is_whole_sequence <- function(x) {
  x$targets$start == 1L & x$targets$end == x$lengths[x$targets$seqname]
}

target_widths <- function(x) x$targets$end - x$targets$start + 1

# "3 samples over 2 sequences (4,300 positions)"
extent_label <- function(x) {
  n <- ncol(x$bins)
  targets <- nrow(x$targets)
  sprintf("%d sample%s over %s %s%s (%s positions)", n,
          if (n == 1L) "" else "s", count_text(targets),
          if (all(is_whole_sequence(x))) "sequence" else "target",
          if (targets == 1L) "" else "s", count_text(sum(target_widths(x))))
}

regions_label <- function(x) {
  sprintf("Regions with mean %s >= %d across samples over more than %d positions",
          depth_text(x$normalize), x$threshold, x$minlen)
}

# What a normalized depth is, in words.
depth_text <- function(normalize) {
  switch(normalize, none = "depth",
         cpm = "depth per million reads",
         rpgc = "depth per 1x genome coverage",
         scaled = "scaled depth")
}

#' @export
print.tolvendra_samples <- function(x, ...) {
  cat(sprintf("<tolvendra_samples> %s\n", extent_label(x)))
  cat(sprintf("Bins: %d of %s positions (the last of each target may be shorter)\n",
              nrow(x$bins), count_text(x$width)))
  cat(sprintf("%s: %d\n", regions_label(x), nrow(x$regions)))
  if (nrow(x$regions) > 0L) {
    shown <- utils::head(row_table(x$regions), 6L)
    print(shown[c("seqnames", "start", "end", "width", "pooled")],
          row.names = FALSE, digits = 4L)
    if (nrow(x$regions) > 6L) cat(sprintf("... and %d more\n", nrow(x$regions) - 6L))
  }
  cat("Samples (mean depth over the targets and over the regions):\n")
  print(sample_table(x), row.names = FALSE, digits = 4L)
  invisible(x)
}

#' @export
summary.tolvendra_samples <- function(object, ...) {
  structure(list(samples = sample_table(object),
                 extent = extent_label(object),
                 positions = sum(target_widths(object)),
                 regions = nrow(object$regions),
                 in_regions = sum(GenomicRanges::width(object$regions)),
                 label = regions_label(object)),
            class = "summary.tolvendra_samples")
}

#' @export
print.summary.tolvendra_samples <- function(x, ...) {
  cat(sprintf("Coverage of %s\n", x$extent))
  cat(sprintf("%s: %d, spanning %s positions (%.1f%%)\n", x$label, x$regions,
              count_text(x$in_regions),
              100 * x$in_regions / x$positions))
  print(x$samples, row.names = FALSE, digits = 4L)
  invisible(x)
}

#' @param x A `tolvendra_samples` object.
#' @param file,size,main,xlab,ylab For `plot()`: a `.png`, `.pdf` or `.svg`
#'   file to draw into instead of the current device, its width and height
#'   in inches, and the title and axis labels (`NULL` for the defaults), as
#'   for [plot.tolvendra_region()]. The plot shows the targets side by side,
#'   each sample's mean depth per bin as a line (per million mapped reads
#'   with `normalize = "cpm"`), the regions as bands and the threshold.
#'   Bins are merged to about one per pixel column, so that whole genomes
#'   draw quickly.
#' @rdname analyze_samples
#' @export
plot.tolvendra_samples <- function(x, file = NULL, size = c(12, 5),
                                   main = NULL, xlab = NULL, ylab = NULL,
                                   ...) {
  draw_to(file, size, draw_samples(x, main, xlab, ylab, list(...)))
  invisible(x)
}

# Genome-wide overview: the targets side by side along x, separated by a
# gap, each with its own axis.
draw_samples <- function(x, main, xlab, ylab, dots) {
  widths <- target_widths(x)
  n <- length(widths)
  gap <- 0.01 * sum(widths)
  offsets <- c(0, cumsum(widths + gap))[seq_len(n)]
  at <- function(t, pos) offsets[t] + pos - x$targets$start[t] + 1
  k <- max(1, ceiling(sum(widths) / plot_columns() / x$width))
  sums <- SummarizedExperiment::assay(x$bins, "sum")
  factors <- x$bins$scale_factor
  columns <- paste0("v", seq_len(ncol(sums)))
  bins <- row_table(x$bins)
  lines <- lapply(seq_len(n), function(t) {
    rows <- bins$target == t
    table <- cbind(bins[rows, c("start", "end", "width")],
                   stats::setNames(as.data.frame(sums[rows, , drop = FALSE]),
                                   columns))
    merged <- if (k > 1) merge_bins(table, k, columns) else table
    means <- sweep(as.matrix(merged[columns]), 2L, factors, `*`) / merged$width
    list(bins = merged, means = means)
  })
  top <- max(unlist(lapply(lines, `[[`, "means")), x$threshold, 1) * 1.08
  whole <- all(is_whole_sequence(x))
  draw_frame(c(1, offsets[n] + widths[n]), c(0, top),
             main %||% sprintf("Coverage of %s", extent_label(x)),
             xlab %||% sprintf("Position on each %s",
                               if (whole) "sequence" else "target"),
             ylab %||% sprintf("Mean %s per %s", depth_text(x$normalize),
                               bin_text(x$width, k)),
             utils::modifyList(dots, list(xaxt = "n")))
  usr <- graphics::par("usr")
  regions <- row_table(x$regions)
  shade(data.frame(start = at(regions$target, regions$start),
                   end = at(regions$target, regions$end)), region_colour)
  if (n > 1L) {
    # a line between two targets at least 4 pixels wide each; between
    # narrower ones (many small contigs) lines would grey the plot out
    wide <- widths + gap >= 4 / 3 * least_width()
    between <- wide[-1L] & wide[-n]
    graphics::abline(v = offsets[-1L][between] - gap / 2, col = "grey50")
  }
  colours <- grDevices::hcl.colors(max(ncol(sums), 2L), "Dark 3")
  for (t in seq_len(n)) {
    for (s in seq_len(ncol(sums))) {
      line <- steps(lines[[t]]$bins, lines[[t]]$means[, s])
      graphics::lines(at(t, line$x), line$y, col = colours[s], lwd = 1.5)
    }
    name <- if (is.na(x$targets$name[t])) target_label(x, t) else x$targets$name[t]
    # a name wider than its target would run over its neighbours'
    if (graphics::strwidth(name, cex = 0.85) * 1.1 <= widths[t] + gap) {
      graphics::text(at(t, x$targets$start[t]), usr[4L], adj = c(-0.1, 1.5),
                     cex = 0.85, name)
    }
    if (!isFALSE(dots$axes)) target_axis(x, t, at, gap)
  }
  graphics::abline(h = x$threshold, lty = 2, col = "firebrick")
  legend_above(
    legend = c(colnames(sums), sprintf("threshold %d", x$threshold),
               sprintf("regions (%s)", count_text(nrow(regions)))),
    col = c(colours[seq_len(ncol(sums))], "firebrick", NA),
    lty = c(rep(1, ncol(sums)), 2, NA), lwd = c(rep(1.5, ncol(sums)), 1, NA),
    fill = c(rep(NA, ncol(sums) + 1L), region_colour), border = NA)
}

target_label <- function(x, t) {
  if (is_whole_sequence(x)[t]) {
    x$targets$seqname[t]
  } else {
    sprintf("%s:%s-%s", x$targets$seqname[t], count_text(x$targets$start[t]),
            count_text(x$targets$end[t]))
  }
}

# Ticks of target t at round positions, in bp, kb or Mb, as many as fit:
# each label stays within the target's share of the axis (the target and
# half the gap on either side), so that neighbours' labels never meet. A
# target too narrow for one label gets no ticks.
target_axis <- function(x, t, at, gap) {
  from <- x$targets$start[t]
  to <- x$targets$end[t]
  cex <- graphics::par("cex.axis")
  widest <- graphics::strwidth(bp_format(to, max(1, (to - from) / 4)),
                               cex = cex)
  fit <- floor((to - from + 1 + gap) / (1.5 * widest))
  if (fit < 1) return(invisible())
  share <- (to - from) / sum(target_widths(x))
  n <- min(fit, max(2, round(10 * share)))
  # fewer ticks until neighbouring labels keep apart; axis() would drop
  # some labels unevenly instead
  repeat {
    ticks <- pretty(c(from, to), n = n)
    ticks <- ticks[ticks >= from - 1 & ticks <= to]
    step <- if (length(ticks) > 1L) ticks[2L] - ticks[1L] else to - from + 1
    labels <- bp_format(ticks, step)
    if (n <= 1 || step >= 1.3 * max(graphics::strwidth(labels, cex = cex))) break
    n <- n - 1
  }
  half <- graphics::strwidth(labels, cex = cex) / 2
  inside <- at(t, ticks) - half >= at(t, from) - gap / 2 &
    at(t, ticks) + half <= at(t, to) + gap / 2
  if (any(inside)) {
    graphics::axis(1L, at = at(t, ticks[inside]), labels = labels[inside])
  }
}
