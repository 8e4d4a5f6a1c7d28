#' Coverage statistics and read counts of features in many samples
#'
#' Summarizes the depth of each sample over each feature (exons, genes,
#' capture targets): its sum, mean, median, minimum, maximum and standard
#' deviation, the positions covered at least a given depth, the positions
#' covered at least a fraction of the sample's mean depth, and the reads
#' that touch each feature, in one pass over each file. Features may
#' overlap, lie on any sequence in any order and number in the hundreds of
#' thousands; the results keep their order and names.
#'
#' Samples may be bigWig tracks, as for [analyze_samples()] (see its
#' section on them); `reads = TRUE` is refused for them, which hold no
#' reads.
#'
#' A feature of a `GRangesList` (a gene made of exons) is the union of its
#' ranges: a position covered by two overlapping exons counts once, and
#' strands are ignored. Its statistics are over all the positions of that
#' union, and a read counts once for it however many of its exons it
#' touches.
#'
#' Depths are those of [analyze_samples()] with the same reading options:
#' deletions (CIGAR `D`) count as covered, introns (`N`) do not; with
#' `deletions = "uncovered"` and `overlap = "proper"`, depths count as
#' mosdepth counts them. The
#' statistics are those of R on the per-base depths of the feature:
#' `median()` (the mean of the two middle depths for an even number of
#' positions) and `sd()`. `bases_ge_<t>` counts the positions at least `t`
#' deep, as `mosdepth -T` does. `fraction_ge_<f>_of_mean` is the fraction
#' of a feature's positions whose depth is at least `f` times the sample's
#' mean depth over all the features, each position of their union counted
#' once (the mean that capture-efficiency reports call the mean target
#' coverage); the sample's mean is in the column data as `mean_depth`.
#' Where that mean is 0 (no read on any feature), the fractions are `NA`:
#' every position reaches 0 times nothing, which says nothing of coverage.
#' `reads` counts, for each feature, the reads that pass the filters and
#' have an aligned block (split at introns; at deletions too with
#' `deletions = "uncovered"`) touching
#' it, each once per feature, as `bedtools multicov -split` counts them.
#'
#' @param features The features: a `GRanges` (named, or with names in a
#'   column `name` as `rtracklayer::import()` reads them from BED), a
#'   `GRangesList` (each element one feature, the union of its ranges), a
#'   data frame with columns `seqname` (or `seqnames`, `chr` or `chrom`),
#'   `start`, `end` (1-based, both included) and optionally `name`,
#'   `"chr:start-end"` strings or sequence names, or the path of a BED file
#'   (0-based starts; its fourth column names the features), as `where`
#'   for [analyze_samples()]. Features without names are named
#'   `seqname:start-end`. A feature on a sequence absent from the files,
#'   or that starts past a sequence's end, gets a row of `NA`; one that
#'   runs past a sequence's end is summarized up to it (its row range is
#'   cut there); one warning counts both.
#' @param stats Statistics to compute, among `"mean"`, `"sum"`,
#'   `"median"`, `"min"`, `"max"` and `"sd"`; one assay each.
#' @param thresholds Depths: for each, an assay `bases_ge_<t>` of the
#'   positions covered at least that deep.
#' @param relative Fractions of each sample's mean depth: for each, an
#'   assay `fraction_ge_<f>_of_mean` of the fraction of positions covered at
#'   least that deep. The depths of every feature are kept until the mean
#'   is known, about 12 bytes per distinct depth of a feature and sample.
#' @param reads `TRUE` for an integer assay `reads` of the reads that
#'   touch each feature, ready for DESeq2 or edgeR.
#' @inheritParams analyze_samples
#' @return A `RangedSummarizedExperiment` with one row per feature in the
#'   order given, named by the features, and one column per sample. Its row
#'   ranges are a `GRanges` (a `GRangesList` of the merged ranges for a
#'   `GRangesList`) with the `bases` of each feature; its column data hold
#'   the sample annotations, the `file`, the `mapped` reads, the fraction
#'   of the features' positions `covered` by at least one read and the
#'   `mean_depth` over them. The assays are named after the statistics, in
#'   the order: `stats`, then `bases_ge_<t>`, `fraction_ge_<f>_of_mean` and
#'   `reads`. `sum` is a double, `bases_ge_<t>` and `reads` are integers,
#'   `min` and `max` integers too unless a track holds depths that are not
#'   whole, the others doubles (`sd` is `NA` for one position).
#' @seealso [depth_distribution()] for the distribution of depths of whole
#'   samples, [analyze_samples()] for bins and regions.
#' @export
#' @examplesIf requireNamespace("Rsamtools", quietly = TRUE) && requireNamespace("GenomicRanges", quietly = TRUE)
#' bam <- system.file("extdata", "ex1.bam", package = "Rsamtools")
#' features <- GenomicRanges::GRanges(
#'   c("seq2", "seq1", "seq1"),
#'   IRanges::IRanges(c(101, 1001, 1051), width = c(99, 201, 101),
#'                    names = c("b", "a", "a_inner")))
#' x <- summarize_features(c(ex1 = bam), features,
#'                         stats = c("mean", "median", "sd"),
#'                         thresholds = c(10, 30), relative = 0.5,
#'                         reads = TRUE)
#' x
#' SummarizedExperiment::assay(x, "median")
#' SummarizedExperiment::assay(x, "reads")
#' # A gene as the union of its exons
#' gene <- GenomicRanges::GRangesList(g = GenomicRanges::GRanges(
#'   "seq1", IRanges::IRanges(c(1001, 1101), c(1150, 1300))))
#' SummarizedExperiment::assays(summarize_features(bam, gene, reads = TRUE))
summarize_features <- function(files, features, stats = c("mean", "sum"),
                               thresholds = NULL, relative = NULL,
                               reads = FALSE,
                               BPPARAM = BiocParallel::SerialParam(),
                               options = read_options(), ...) {
  feature_experiment(feature_values(files, features, stats, thresholds,
                                    relative, reads, BPPARAM, options,
                                    list(...), sys.call()))
}

# summarize_features() as plain matrices, without the Bioconductor classes
# (for the command line): list(assays, samples, bases, parsed, lengths).
feature_values <- function(files, features, stats, thresholds, relative,
                           reads, BPPARAM, options, dots, call) {
  options <- reading_options(options, dots, call)
  stats <- check_stats(stats, call)
  thresholds <- check_depths(thresholds, "thresholds", call)
  relative <- check_fractions(relative, call)
  reads <- check_flag(reads, "reads", call)
  if (length(stats) + length(thresholds) + length(relative) == 0L && !reads) {
    abort_arg(paste0("`stats` must name a statistic when no `thresholds`, ",
                     "`relative` or `reads` are asked for, not an empty vector."),
              call, "stats")
  }
  genes <- if (inherits(features, "GRangesList")) {
    parse_genes(features, call)
  } else if (inherits(features, "tolvendra_genes")) {
    features
  }
  study <- open_study(files, genes$pieces %||% features, "features", BPPARAM,
                      options, call, outside = "keep")
  if (reads && any(track_sources(study$sources))) {
    abort_arg(paste("`reads = TRUE` counts reads, which bigWig tracks among",
                    "`files` do not hold; leave it FALSE for tracks."), call, "reads")
  }
  if (start_workers(BPPARAM)) on.exit(BiocParallel::bpstop(BPPARAM), add = TRUE)
  parsed <- feature_pieces(study$targets, genes)
  read <- parsed$pieces
  if (!all(read$read)) read <- read[read$read, ] # rows of features on no file's sequences
  pieces <- data.frame(seqname = read$seqname, start = read$start,
                       end = read$last, group = read$group)
  plan <- feature_plan(pieces, study$lengths,
                       BiocParallel::bpnworkers(BPPARAM))
  settings <- list(stats = feature_statistics(stats), thresholds = thresholds,
                   depths = length(relative) > 0L, reads = reads)
  # columns, not data frames, are cut up here: 100,000 features make
  # tens of tasks
  tasks <- Map(function(rows, held) {
    targets <- lapply(plan$targets, `[`, rows)
    local <- unique(pieces$group[held])
    # each target once more, ungrouped, for the sample's mean
    spans <- list(target = c(match(plan$piece_target[held], rows), seq_along(rows)),
                  start = c(pieces$start[held], targets$start),
                  end = c(pieces$end[held], targets$end),
                  group = c(match(pieces$group[held], local), integer(length(rows))))
    list(sources = study$sources, options = study$options, targets = targets,
         spans = spans, features = local,
         groups = c(list(n = length(local)), settings))
  }, plan$tasks, plan$pieces)
  results <- run_tasks(tasks, feature_task, BPPARAM, study$progress, call)
  # the tasks' spans are garbage from here: only their features are kept,
  # so that R's collector need not walk the whole heap to free them
  tasks <- lapply(tasks, `[`, "features")
  feature_assays(tasks, results, study, parsed, stats, thresholds, relative,
                 reads, plan, call)
}

# The engine's statistics behind the assays of `stats`, no others: a mean
# is a sum over bases; bases always, for the row data.
feature_statistics <- function(stats) {
  unique(c("bases", sub("^mean$", "sum", stats)))
}

# Task: one engine call over every sample for a group of targets.
feature_task <- function(task) {
  r <- engine_run(task$sources, task$options, task$targets, task$spans,
                  groups = task$groups, arg = "files", call = NULL)
  # only what the caller uses goes back from the worker
  n <- length(task$targets$start)
  list(groups = r$groups, covered = colSums(r$covered),
       union_sums = colSums(r$sums[length(task$spans$start) - n + seq_len(n), ,
                                   drop = FALSE]))
}

# The ranges of a GRangesList's features, each the union of its ranges,
# as gene_pieces() gives them.
parse_genes <- function(features, call) {
  if (length(features) == 0L) {
    abort_arg("`features` must hold at least one feature, not an empty <GRangesList>.",
              call, "features")
  }
  sizes <- S4Vectors::elementNROWS(features)
  empty <- which(sizes == 0L)
  if (length(empty) > 0L) {
    abort_arg(sprintf("Each feature of `features` must hold a range; feature %s is empty.",
                      count_text(empty[1L])), call, "features")
  }
  flat <- unlist(features, use.names = FALSE)
  gene_pieces(S4Vectors::decode(GenomicRanges::seqnames(flat)),
              GenomicRanges::start(flat), GenomicRanges::end(flat),
              rep(seq_along(features), sizes), names(features))
}

# Features made of ranges (`feature` the number of the one each belongs
# to), each the union of its ranges, those that overlap or abut merged:
# list(pieces (seqname, start, end, group: the feature), names), of class
# "tolvendra_genes". Features without a name are named by their span.
gene_pieces <- function(seqname, start, end, feature, names = NULL) {
  seqname <- as.factor(seqname)
  order <- order(feature, as.integer(seqname), start)
  key <- feature[order] * (nlevels(seqname) + 1) + as.integer(seqname)[order]
  union <- range_unions(key, start[order], end[order], touching = TRUE)
  first <- order[union$fresh]
  last <- c(which(union$fresh)[-1L] - 1L, length(order))
  pieces <- data.frame(seqname = as.character(seqname[first]),
                       start = start[first], end = union$reach[last],
                       group = feature[first])
  group <- pieces$group
  names <- names_or_ranges(names, pieces$seqname[!duplicated(group)],
                           tapply(pieces$start, group, min),
                           tapply(pieces$end, group, max))
  structure(list(pieces = pieces, names = names), class = "tolvendra_genes")
}

# `names`, or "seq:start-end" where a name is NA or empty (all of them
# when `names` is NULL).
names_or_ranges <- function(names, seqname, start, end) {
  names <- names %||% rep(NA_character_, length(start))
  none <- is.na(names) | names == ""
  names[none] <- sprintf("%s:%.0f-%.0f", seqname[none], as.double(start[none]),
                         as.double(end[none]))
  names
}

# The features' pieces from the targets that check_where() kept as given,
# with `last`, the end read (cut at the sequence's end), and `read`,
# whether the feature they belong to lies wholly on the files' sequences
# (its rows are NA otherwise); the features' names, and whether they came
# as a GRangesList.
feature_pieces <- function(targets, genes) {
  group <- genes$pieces$group %||% seq_len(nrow(targets))
  names <- genes$names %||% names_or_ranges(targets$name, targets$seqname,
                                            targets$start, targets$end)
  read <- !group %in% group[!targets$inside]
  list(pieces = data.frame(seqname = targets$seqname, start = targets$start,
                           end = targets$end, group = group, read = read,
                           last = pmin(targets$end, targets$length)),
       names = names, list = !is.null(genes))
}

# Engine targets for the pieces: their union on each sequence, so that a
# position is read once however many features hold it. Targets go to
# tasks as analyze_samples() groups them, except that all the targets of
# a feature go to one task, which alone sees all its positions.
feature_plan <- function(pieces, lengths, workers) {
  seq <- match(pieces$seqname, names(lengths))
  order <- order(seq, pieces$start)
  s <- seq[order]
  start <- as.double(pieces$start[order])
  end <- as.double(pieces$end[order])
  union <- range_unions(s, start, end)
  reach <- union$reach
  fresh <- union$fresh
  target <- cumsum(fresh)
  last <- c(which(fresh)[-1L] - 1L, length(s))
  targets <- data.frame(seqname = names(lengths)[s[fresh]],
                        start = start[fresh], end = reach[last])
  piece_target <- integer(length(order))
  piece_target[order] <- target
  task <- integer(nrow(targets))
  groups <- target_groups(targets, workers)
  task[unlist(groups)] <- rep(seq_along(groups), lengths(groups))
  # the tasks a feature's pieces lie in join the first of them, until no
  # feature spans two
  held <- pieces$group %in% pieces$group[duplicated(pieces$group)]
  repeat {
    at <- task[piece_target[held]]
    first <- stats::ave(at, pieces$group[held], FUN = min)
    if (all(at == first)) break
    map <- seq_len(max(task))
    lowest <- tapply(first, at, min)
    moved <- as.integer(names(lowest))
    map[moved] <- pmin(map[moved], lowest)
    task <- map[task]
  }
  task <- match(task, unique(sort(task)))
  list(targets = targets, piece_target = piece_target,
       tasks = unname(split(seq_len(nrow(targets)), task)),
       pieces = unname(split(seq_along(piece_target), task[piece_target])))
}

# The results of the tasks as assays of features by samples.
feature_assays <- function(tasks, results, study, parsed, stats, thresholds,
                           relative, reads, plan, call) {
  samples <- study$samples
  n <- length(parsed$names)
  empty <- function() matrix(0, n, nrow(samples),
                             dimnames = list(parsed$names, samples$sample))
  found <- gather_features(tasks, results, empty,
                           c(feature_statistics(stats), if (reads) "reads"),
                           thresholds, length(relative) > 0L)
  width <- sum(plan$targets$end - plan$targets$start + 1)
  samples$covered <- found$covered / width
  samples$mean_depth <- found$union_sums / width
  bases <- found$bases[, 1L]
  integer_matrix <- function(x) {
    storage.mode(x) <- "integer"
    x
  }
  # a track's depths may not be whole
  depth_matrix <- function(x) {
    if (all(x == trunc(x), na.rm = TRUE)) integer_matrix(x) else x
  }
  assays <- list()
  for (name in stats) {
    assays[[name]] <- switch(name,
      mean = found$sum / bases,
      sum = found$sum,
      median = found$median,
      min = depth_matrix(found$min),
      max = depth_matrix(found$max),
      sd = {
        sd <- found$sd
        sd[is.nan(sd)] <- NA_real_
        sd
      })
  }
  for (j in seq_along(thresholds)) {
    assays[[sprintf("bases_ge_%d", thresholds[j])]] <- integer_matrix(found$ge[[j]])
  }
  for (f in relative) {
    assays[[sprintf("fraction_ge_%s_of_mean", format(f))]] <-
      fraction_of_mean(found$depths, f, samples$mean_depth, empty()) / bases
  }
  if (reads) {
    if (any(found$reads > .Machine$integer.max)) {
      abort(paste("`files` hold features touched by more reads than R's",
                  "integers hold; count fewer reads at a time."),
            "tolvendra_error_overflow", call)
    }
    assays$reads <- integer_matrix(found$reads)
  }
  unread <- setdiff(seq_len(n), parsed$pieces$group[parsed$pieces$read])
  for (name in names(assays)) assays[[name]][unread, ] <- NA
  bases[unread] <- NA
  list(assays = lapply(assays, `dimnames<-`, list(parsed$names, samples$sample)),
       samples = samples, bases = bases, parsed = parsed,
       lengths = study$lengths)
}

# The tasks' group statistics laid into features x samples matrices (made
# by `empty()`): those `named` (among the engine's statistics and reads),
# one `ge` per threshold, the (feature, sample, depth, count) `depths` when
# asked, and each sample's covered positions and depth summed over the
# features.
gather_features <- function(tasks, results, empty, named, thresholds, depths) {
  found <- lapply(stats::setNames(nm = named), function(name) empty())
  ge <- lapply(thresholds, function(t) empty())
  pairs <- list()
  covered <- union_sums <- 0
  for (k in seq_along(tasks)) {
    rows <- tasks[[k]]$features
    g <- results[[k]]$groups
    for (name in names(found)) {
      if (nrow(g[[name]]) > 0L) found[[name]][rows, ] <- g[[name]]
    }
    for (j in seq_along(thresholds)) ge[[j]][rows, ] <- g$ge[, , j]
    if (depths) {
      pairs[[k]] <- data.frame(feature = rows[g$depths$group],
                               sample = g$depths$sample,
                               depth = g$depths$depth,
                               count = g$depths$count)
    }
    covered <- covered + results[[k]]$covered
    union_sums <- union_sums + results[[k]]$union_sums
  }
  c(found, list(ge = ge, depths = do.call(rbind, pairs), covered = covered,
                union_sums = union_sums))
}

# Positions of each feature (rows of `empty`) at least `f` times its
# sample's mean deep, from the (feature, sample, depth, count) pairs; NA
# for a sample whose mean is 0, where no share tells covered from not.
fraction_of_mean <- function(depths, f, mean_depth, empty) {
  at_least <- depths$depth >= f * mean_depth[depths$sample]
  totals <- tapply(depths$count * at_least,
                   list(factor(depths$feature, seq_len(nrow(empty))),
                        factor(depths$sample, seq_len(ncol(empty)))), sum)
  empty[] <- ifelse(is.na(totals), 0, totals)
  empty[, mean_depth == 0] <- NA
  empty
}

check_stats <- function(stats, call) {
  known <- c("mean", "sum", "median", "min", "max", "sd")
  if (is.null(stats)) return(character())
  if (!is.character(stats) || anyNA(stats) || !all(stats %in% known) ||
      anyDuplicated(stats)) {
    bad <- if (is.character(stats)) {
      stats[is.na(stats) | !stats %in% known | duplicated(stats)][1L]
    } else {
      stats
    }
    abort_arg(sprintf("`stats` must name statistics among %s, each once, not %s.",
                      paste0("\"", known, "\"", collapse = ", "), describe(bad)),
              call, "stats")
  }
  stats
}

# Distinct non-negative whole depths, ascending.
check_depths <- function(x, arg, call) {
  if (is.null(x) || length(x) == 0L) return(integer())
  ok <- is.numeric(x) && !is.object(x) && !anyNA(x) && all(is.finite(x)) &&
    all(x == trunc(x)) && all(x >= 0) && all(x <= .Machine$integer.max)
  if (!ok) {
    abort_arg(sprintf("`%s` must be non-negative whole numbers, not %s.", arg,
                      describe(x)), call, arg)
  }
  sort(unique(as.integer(x)))
}

check_fractions <- function(x, call) {
  if (is.null(x) || length(x) == 0L) return(double())
  if (!is.numeric(x) || is.object(x) || anyNA(x) || any(!is.finite(x)) ||
      any(x <= 0)) {
    abort_arg(sprintf("`relative` must be positive fractions of the mean, not %s.",
                      describe(x)), call, "relative")
  }
  unique(as.double(x))
}
