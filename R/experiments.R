# The Bioconductor objects the package returns, built from the plain
# values that the computing functions make (which the command line writes
# without loading these classes): samples' bins and regions, features.

# The samples as column data: their annotations, one row each, named.
sample_columns <- function(samples) {
  S4Vectors::DataFrame(samples[setdiff(names(samples), "sample")],
                       row.names = samples$sample, check.names = FALSE)
}

# The values of samples_values() as a tolvendra_samples object.
samples_experiment <- function(x) {
  study <- x$study
  pass <- x$pass
  coverage <- list(bins = coverage_experiment(x$bins, pass$sums, study,
                                             x$normalize),
                   regions = coverage_experiment(pass$regions, pass$region_sums,
                                                 study, x$normalize))
  SummarizedExperiment::rowData(coverage$regions)$pooled <- x$pooled
  structure(list(bins = coverage$bins, regions = coverage$regions,
                 targets = study$targets, lengths = study$lengths,
                 width = x$width, threshold = x$threshold,
                 minlen = x$minlen, normalize = x$normalize,
                 options = study$options),
            class = "tolvendra_samples")
}

# A RangedSummarizedExperiment of coverage sums over spans of the targets.
coverage_experiment <- function(spans, sums, study, normalize) {
  lengths <- study$lengths
  samples <- study$samples
  rows <- GenomicRanges::GRanges(
    factor(study$targets$seqname[spans$target], levels = names(lengths)),
    IRanges::IRanges(spans$start, spans$end),
    seqlengths = stats::setNames(as.integer(lengths), names(lengths)),
    target = spans$target)
  mean <- sums / (spans$end - spans$start + 1)
  assays <- list(sum = sums, mean = mean)
  if (normalize != "none") {
    assays[[normalize]] <- sweep(mean, 2L, samples$scale_factor, `*`)
  }
  columns <- sample_columns(samples)
  SummarizedExperiment::SummarizedExperiment(
    assays = assays, rowRanges = rows, colData = columns,
    metadata = list(normalize = normalize, options = study$options))
}

# The values of feature_values() as a RangedSummarizedExperiment.
feature_experiment <- function(x) {
  samples <- x$samples
  ranges <- feature_ranges(x$parsed, x$lengths)
  columns <- sample_columns(samples)
  se <- SummarizedExperiment::SummarizedExperiment(
    assays = x$assays, rowRanges = ranges, colData = columns)
  SummarizedExperiment::rowData(se)$bases <- unname(x$bases)
  se
}

# The row ranges: the features as a GRanges, or their merged ranges as a
# GRangesList; those read are cut at their sequence's end as they were
# read, the others kept as given (out of bounds on purpose).
feature_ranges <- function(parsed, lengths) {
  p <- parsed$pieces
  levels <- union(names(lengths), p$seqname)
  info <- GenomicRanges::seqinfo(GenomicRanges::GRanges(
    seqlengths = stats::setNames(as.integer(lengths[levels]), levels)))
  end <- p$end
  end[p$read] <- p$last[p$read]
  ranges <- withCallingHandlers(
    GenomicRanges::GRanges(factor(p$seqname, levels), IRanges::IRanges(p$start, end),
                           seqinfo = info),
    warning = function(w) {
      if (grepl("out-of-bound", conditionMessage(w))) {
        invokeRestart("muffleWarning")
      }
    })
  if (parsed$list) {
    ranges <- S4Vectors::split(ranges, factor(p$group, seq_along(parsed$names)))
  }
  names(ranges) <- parsed$names
  ranges
}
