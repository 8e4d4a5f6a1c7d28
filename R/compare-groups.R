#' Compare two groups of samples per feature
#'
#' Sums the coverage of each sample over each feature (for example each
#' exon), adds up the sums of each of two groups of samples, and computes
#' the splicing index ([splicingind()]) of the first group against the
#' second: `log2(sum1 / (scale * sum2))` clamped to the range -1 to 1. As
#' with two samples, the index reads as a ratio only where both groups have
#' reads; see "Reading the index" in [compare_samples()]. The work is split
#' into tasks of one sample and one feature, run through
#' [BiocParallel::bplapply()].
#'
#' `compare_samples(samples, group, features = features)` calls this
#' function when its first argument is a data frame.
#'
#' @param samples A data frame with columns `file` and `sample` and the
#'   sample annotations, as for [analyze_samples()].
#' @param group The name of a column of `samples` with two values: the
#'   samples of the first (its first level when it is a factor, else the
#'   first value to appear) form group 1, the others group 2.
#' @param features The stretches to compare: sequence names,
#'   `"chr:start-end"` strings, a data frame with columns `seqname`, `start`
#'   and `end`, a `GRanges`, or the path of a BED file, as `where` for
#'   [analyze_samples()].
#' @param scale Factor applied to the second group's sums. By default, the
#'   ratio of the groups' mapped reads (summed over their samples), so that
#'   groups sequenced to different depths compare fairly.
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
                           BPPARAM = BiocParallel::SerialParam(), ...) {
  group_comparison(samples, group, features, scale, BPPARAM, ...,
                   call = sys.call())
}

# compare_groups(), with errors reported against `call`, which may be a
# call of compare_samples().
group_comparison <- function(samples, group, features, scale, BPPARAM, ...,
                             call) {
  if (!is.data.frame(samples)) {
    abort_arg(sprintf(paste0(
      "`samples` must be a data frame with columns `file`, `sample` and ",
      "the group column, not %s."), describe(samples)), call)
  }
  levels <- check_group(samples, group, call)
  if (is.null(features)) {
    abort_arg("`features` must be given to compare groups of samples.", call)
  }
  study <- open_study(samples, features, "features", BPPARAM, call, ...)
  if (start_workers(BPPARAM)) on.exit(BiocParallel::bpstop(BPPARAM), add = TRUE)
  in1 <- samples[[group]] == levels[1L]
  if (is.null(scale)) {
    mapped <- c(sum(study$samples$mapped[in1]), sum(study$samples$mapped[!in1]))
    if (any(mapped == 0)) {
      abort_arg(sprintf(paste0(
        "`samples` must have mapped reads in both groups to be compared, ",
        "but group %s has none."), describe(levels[mapped == 0][1L])), call)
    }
    scale <- mapped[1L] / mapped[2L]
  } else {
    scale <- check_positive(scale, "scale", call)
  }

  n <- nrow(study$targets)
  spans <- data.frame(target = seq_len(n), start = study$targets$start,
                      end = study$targets$end)
  sums <- study_sums(study, list(features = spans), BPPARAM)
  study$samples$covered <- sums$covered /
    sum(study$targets$end - study$targets$start + 1)
  x <- coverage_summary(spans, sums$features, study, "none")
  sum1 <- rowSums(sums$features[, in1, drop = FALSE])
  sum2 <- rowSums(sums$features[, !in1, drop = FALSE])
  rows <- SummarizedExperiment::rowData(x)
  rows$target <- NULL
  rows$name <- study$targets$name
  rows$sum1 <- unname(sum1)
  rows$sum2 <- unname(sum2)
  rows$index <- splicingind(sum1, sum2, scale)
  rows$detected <- detection(sum1, sum2)
  SummarizedExperiment::rowData(x) <- rows
  S4Vectors::metadata(x) <- list(group = group, levels = levels, scale = scale)
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
