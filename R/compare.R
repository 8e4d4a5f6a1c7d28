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
#' @param ... Reading options by name, as for [read_options()], in place of
#'   those of `options`; `min_mapq` may hold two values, one per file.
#' @param width Bin width in positions, used when `features` is `NULL`. The
#'   last bin ends with the region and may be shorter.
#' @param features Optional data frame with whole-number columns `start`
#'   and `end`, 1-based and both included: the stretches of the region to
#'   compare, such as exons. A column `seqname` (or `seqnames`, `chr`,
#'   `chrom`), if present, must name `seqname` on every row.
#' @param scale Factor applied to the second sample: a positive finite
#'   number; `NULL` (the default) for the ratio of the two files' library
#'   sizes, the reads (or fragments) of each whole file that the reading
#'   options keep, counted as [analyze_samples()] counts them, so that
#'   samples sequenced to different depths compare fairly; or `"mapped"`
#'   for the ratio of the mapped reads that the files' indexes count, which
#'   costs no pass over the files but includes the duplicate, secondary,
#'   QC-failed and low-quality reads that the sums leave out. A file
#'   without such reads is then an error.
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
                            options = read_options(), ...) {
  call <- sys.call()
  if (is.data.frame(file1)) {
    .Deprecated(msg = paste(
      "compare_samples() with a data frame of samples is deprecated;",
      "use compare_groups(samples, group, features) instead."))
    return(compare_groups(file1, file2, features, scale, options = options, ...))
  }
  dots <- list(...)
  min_mapq <- check_per_file(dots$min_mapq %||% options$min_mapq, "min_mapq", call)
  dots$min_mapq <- NULL
  options <- reading_options(options, dots, call)
  options <- lapply(min_mapq, function(q) {
    reading_options(options, list(min_mapq = q), call)
  })
  region1 <- check_region(file1, seqname, start, end, arg = "file1", call = call)
  region2 <- check_region(file2, seqname, region1$start, region1$end,
                          arg = "file2", call = call)
  if (is.null(features)) {
    width <- check_count(width, "width", min = 1, call = call)
    units <- bin_spans(region1$start, region1$end, width)[-1L]
  } else {
    units <- check_spans(features, region1, "features", call)
    units$width <- units$end - units$start + 1L
  }
  scale <- compare_scale(scale, list(region1, region2), options,
                         c("file1", "file2"), 1:2,
                         c(describe(file1), describe(file2)), call)
  x <- engine_run(list(region1, region2), options,
                  as.data.frame(region1[c("seqname", "start", "end")]),
                  cbind(target = 1L, units[c("start", "end")]), keep = "coverage",
                  arg = c("file1", "file2"), call = call)
  compare_coverage(region1, c(file1, file2),
                   x$runs[[1L, 1L]],
                   x$runs[[1L, 2L]], units,
                   x$sums[, 1L], x$sums[, 2L], scale, if (is.null(features)) width)
}

# The comparison of two samples' coverage of a region over `units` (bins
# of `width` positions, or features when `width` is NULL), given their sums.
compare_coverage <- function(region, files, cov1, cov2, units, sum1, sum2,
                             scale, width) {
  units$sum1 <- sum1
  units$sum2 <- sum2
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

# The factor applied to the second group (or sample) of `sources`
# (`group`: 1 or 2 for each): as given, or the ratio of the groups' reads,
# counted with the reading options (`scale = NULL`) or by the indexes
# (`scale = "mapped"`). Each group (named in `who`) must have some.
compare_scale <- function(scale, sources, options, arg, group, who, call) {
  if (!is.null(scale) && !identical(scale, "mapped")) {
    if (is.character(scale)) {
      abort_arg(sprintf(paste0(
        "`scale` must be NULL, \"mapped\" or a positive finite number, ",
        "not %s."), describe(scale)), call, "scale")
    }
    return(check_positive(scale, "scale", call))
  }
  reads <- if (is.null(scale)) {
    library_sizes(sources, options, arg, call)$reads
  } else {
    check_no_track_libraries(sources, arg, call)
    options <- options_per_source(options, length(sources))
    vapply(seq_along(sources), function(i) {
      alignment_facts(sources[[i]], options[[i]],
                      rep_len(arg, length(sources))[i], call)$mapped
    }, 0)
  }
  sums <- c(sum(reads[group == 1L]), sum(reads[group == 2L]))
  if (any(sums == 0)) {
    g <- which(sums == 0)[1L]
    what <- if (is.null(scale)) "reads that the reading options keep" else
      "mapped reads"
    abort_arg(sprintf("`%s` must have %s to be compared, but %s has none.",
                      rep_len(arg, 2L)[g], what, who[g]), call,
              rep_len(arg, 2L)[g])
  }
  sums[1L] / sums[2L]
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
#' @param row.names,optional Ignored.
#' @rdname compare_samples
#' @export
as.data.frame.tolvendra_comparison <- function(x, row.names = NULL,
                                               optional = FALSE, ...) {
  cbind(seqname = rep(x$seqname, nrow(x$units)), x$units)
}

#' Compare two groups of samples per feature
#'
#' Sums the coverage of each sample over each feature (for example each
#' exon), adds up the sums of each of two groups of samples, and computes
#' the splicing index ([splicingind()]) of the first group against the
#' second: `log2(sum1 / (scale * sum2))` clamped to the range -1 to 1. As
#' with two samples, the index reads as a ratio only where both groups have
#' reads; see "Reading the index" in [compare_samples()]. The features are
#' read as [analyze_samples()] reads targets: in tasks of nearby features,
#' each reading every sample's file once, run through
#' [BiocParallel::bplapply()]. Samples may be bigWig tracks, as for
#' [analyze_samples()] (see its section on them): they have no library
#' size, so give `scale` (or `normalize`) as numbers for them.
#'
#' @param samples A data frame with columns `file` and `sample` and the
#'   sample annotations, as for [analyze_samples()].
#' @param group The name of a column of `samples` with two values: the
#'   samples of the first (its first level when it is a factor, else the
#'   first value to appear) form group 1, the others group 2.
#' @param features The stretches to compare: sequence names,
#'   `"chr:start-end"` strings, a data frame with columns `seqname`, `start`
#'   and `end`, a `GRanges`, or the path of a BED file, as `where` for
#'   [analyze_samples()]: those on sequences absent from the files are left
#'   out, and those past a sequence's end cut at it, with one warning.
#'   Features may overlap: each is compared whole.
#' @param normalize,genome_size How each sample's sums are scaled before
#'   they are added up per group, as for [analyze_samples()]: `"none"`,
#'   `"cpm"`, `"rpgc"` or a scale factor per sample. The factors used are
#'   the column data's `scale_factor`.
#' @param scale Factor applied to the second group's sums. By default, 1
#'   where `normalize` scales the samples, and otherwise the ratio of the
#'   groups' library sizes (summed over their samples; see [analyze_samples()]
#'   and `scale` in [compare_samples()]), so that groups sequenced to
#'   different depths compare fairly; `"mapped"` for the ratio of the
#'   mapped reads that the indexes count; or a positive finite number.
#' @inheritParams analyze_samples
#' @return A `RangedSummarizedExperiment` with one row per feature and one
#'   column per sample: assays `sum` and `mean` (each sample's coverage over
#'   each feature), column data with the annotations and `mapped` reads,
#'   and row data with the groups' sums `sum1` and `sum2`, the `index`, and
#'   `detected`, which groups have reads there (`"both"`, `"sample 1
#'   only"`, `"sample 2 only"`, `"neither"`, sample meaning group here). Its
#'   metadata hold the `group` column, the two `levels` and the `scale`.
#' @export
#' @examplesIf requireNamespace("Rsamtools", quietly = TRUE)
#' bam <- system.file("extdata", "ex1.bam", package = "Rsamtools")
#' # The same file stands for every sample here
#' samples <- data.frame(file = bam, sample = c("t1", "t2", "c1"),
#'                       condition = c("treated", "treated", "control"))
#' exons <- data.frame(seqname = "seq1", start = c(100, 600, 1200),
#'                     end = c(400, 900, 1500))
#' x <- compare_groups(samples, "condition", exons)
#' SummarizedExperiment::rowData(x)
compare_groups <- function(samples, group, features, scale = NULL,
                           normalize = "none", genome_size = NULL,
                           BPPARAM = BiocParallel::SerialParam(),
                           options = read_options(), ...) {
  call <- sys.call()
  options <- reading_options(options, list(...), call)
  if (!is.data.frame(samples)) {
    abort_arg(sprintf(paste0(
      "`samples` must be a data frame with columns `file`, `sample` and ",
      "the group column, not %s."), describe(samples)), call)
  }
  levels <- check_group(samples, group, call)
  if (is.null(features)) {
    abort_arg("`features` must be given to compare groups of samples.", call)
  }
  study <- open_study(samples, features, "features", BPPARAM, options, call)
  if (start_workers(BPPARAM)) on.exit(BiocParallel::bpstop(BPPARAM), add = TRUE)
  in1 <- samples[[group]] == levels[1L]
  study <- normalize_study(study, normalize, genome_size, call)
  scale <- if (is.null(scale) && study$normalize != "none") {
    1
  } else {
    compare_scale(scale, study$sources, study$options, "samples",
                  2L - in1, paste("group", vapply(levels, describe, "")),
                  call)
  }

  n <- nrow(study$targets)
  spans <- data.frame(target = seq_len(n), start = study$targets$start,
                      end = study$targets$end)
  pass <- study_pass(study, spans, NULL, BPPARAM, call)
  study$samples$covered <- pass$covered /
    sum(as.double(study$targets$end) - study$targets$start + 1)
  x <- coverage_experiment(spans, pass$sums, study, study$normalize)
  scaled <- sweep(pass$sums, 2L, study$samples$scale_factor, `*`)
  sum1 <- rowSums(scaled[, in1, drop = FALSE])
  sum2 <- rowSums(scaled[, !in1, drop = FALSE])
  rows <- SummarizedExperiment::rowData(x)
  rows$target <- NULL
  rows$name <- study$targets$name
  rows$sum1 <- unname(sum1)
  rows$sum2 <- unname(sum2)
  rows$index <- splicingind(sum1, sum2, scale)
  rows$detected <- detection(sum1, sum2)
  SummarizedExperiment::rowData(x) <- rows
  S4Vectors::metadata(x) <- c(S4Vectors::metadata(x),
                              list(group = group, levels = levels, scale = scale))
  x
}

# The two values of a group column, in order.
check_group <- function(samples, group, call) {
  check_string(group, "group", call)
  if (!group %in% setdiff(names(samples), c("file", "sample"))) {
    abort_arg(sprintf(paste0(
      "`group` must name a column of `samples` other than `file` and ",
      "`sample` (%s), not %s."),
      paste(setdiff(names(samples), c("file", "sample")), collapse = ", "),
      describe(group)), call)
  }
  values <- samples[[group]]
  levels <- if (is.factor(values)) {
    levels(droplevels(values))
  } else {
    unique(as.character(values))
  }
  if (anyNA(values) || length(levels) != 2L) {
    abort_arg(sprintf(paste0(
      "`group` must name a column with two values, one per group, but ",
      "column %s holds %s."), group,
      if (anyNA(values)) "NA" else paste(levels, collapse = ", ")), call)
  }
  levels
}
