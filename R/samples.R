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
#' Each task covers one sequence or target: a task per sequence or target
#' reads each sample in turn to find the regions, then a task per sample and
#' sequence or target computes that sample's coverage and returns its bin
#' and region sums. A task's memory follows the length of its sequence or
#' target and is released before the next task: about 8 bytes per position
#' for a sample's task (its coverage and a scratch copy), 16 for a region
#' task (the integer profile across samples and the region search's
#' scratch space); 2.4 GB for a sequence of 150 million positions.
#'
#' The regions are those that [regionmining()] finds on the profile
#' `floor(sum(f[s] * coverage[s]))`, the sum over the samples `s` of their
#' coverage times a factor, against the threshold `S * threshold` for `S`
#' samples. The factor is 1 with `normalize = "none"`, so that a region is
#' exactly a stretch whose mean of the samples' coverage reaches
#' `threshold`. With `normalize = "cpm"` it is `1e6 / mapped[s]`, coverage
#' per million mapped reads, so that samples sequenced to different depths
#' weigh the same; the profile is then rounded down to whole numbers after
#' the summing, which is done in double precision in the samples' order.
#' The profile holds R integers (up to 2,147,483,647), so where
#' `S * threshold` passes that, no region can reach it and none is found.
#'
#' @param files Paths of indexed BAM (or CRAM) files, named by sample; names
#'   default to the base names without extension. Or a data frame with
#'   columns `file` and `sample` and any sample annotations (such as
#'   `condition`), which become the column data of the results.
#' @param where What to cover: `NULL` for every sequence of the files (whose
#'   headers must then agree); sequence names; `"chr:start-end"` strings
#'   (1-based, both ends included, commas allowed); a data frame with
#'   columns `seqname` (or `seqnames` or `chr`), `start` and `end`; a
#'   `GRanges`; or the path of a BED file (whose 0-based starts are
#'   converted).
#' @param width Bin width in positions. Bins start at the first position of
#'   each sequence or target; the last bin keeps what is left, with its own
#'   width.
#' @param threshold,minlen Regions are stretches whose mean coverage across
#'   samples reaches `threshold` and that span more than `minlen` positions;
#'   see Details and [regionmining()].
#' @param normalize `"none"` to find regions on the coverage as counted,
#'   `"cpm"` on coverage per million mapped reads; see Details. With
#'   `"cpm"`, the results also hold an assay `cpm` of normalized means.
#' @param BPPARAM A BiocParallel back end, such as
#'   [BiocParallel::SerialParam()], [BiocParallel::MulticoreParam()] or
#'   [BiocParallel::SnowParam()]. Workers in new R processes need Tolvendra
#'   installed in a library they see.
#' @param ... Reading options, as for [read_blocks()]: `split`, `min_mapq`,
#'   `chunk_size`, and `progress`, which shows a progress bar across tasks.
#' @return An object of class `tolvendra_samples` with `print()`,
#'   `summary()` and `plot()` methods, a list of:
#'   * `bins`: a `RangedSummarizedExperiment` with one row per bin and one
#'     column per sample; assays `sum` and `mean` (doubles), and `cpm` with
#'     `normalize = "cpm"`. Its column data hold the sample annotations, the
#'     `file`, the `mapped` reads (from the index) and the fraction of
#'     positions `covered` by at least one read.
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
                            minlen = 0, normalize = c("none", "cpm"),
                            BPPARAM = BiocParallel::SerialParam(), ...) {
  call <- sys.call()
  width <- check_count(width, "width", min = 1)
  threshold <- check_count(threshold, "threshold")
  minlen <- check_count(minlen, "minlen", min = 0)
  normalize <- check_choice(normalize, c("none", "cpm"), "normalize")
  study <- open_study(files, where, "where", BPPARAM, call, ...)
  if (start_workers(BPPARAM)) on.exit(BiocParallel::bpstop(BPPARAM), add = TRUE)
  targets <- study$targets
  samples <- study$samples

  bins <- do.call(rbind, lapply(seq_len(nrow(targets)), function(t) {
    cbind(target = t, bin_spans(targets$start[t], targets$end[t], width))
  }))
  if (normalize == "cpm" && any(samples$mapped == 0)) {
    abort_arg(sprintf(paste0(
      "`files` must have mapped reads to be normalized by them, but sample ",
      "%s has none."), samples$sample[samples$mapped == 0][1L]), call)
  }
  factors <- if (normalize == "cpm") 1e6 / samples$mapped else rep(1, nrow(samples))
  groups <- target_groups(targets)
  found <- run_tasks(lapply(groups, function(g) {
    list(sources = study$sources, targets = targets[g, ], factors = factors,
         threshold = nrow(samples) * as.double(threshold), minlen = minlen,
         options = study$options, chunk = profile_chunk)
  }), region_task, BPPARAM, study)
  # back from the order of the groups to that of the targets
  found <- unlist(found, recursive = FALSE)[order(unlist(groups))]
  regions <- do.call(rbind, lapply(seq_along(found), function(t) {
    if (nrow(found[[t]]) == 0L) return(NULL)
    cbind(target = t, found[[t]])
  }))
  if (is.null(regions)) {
    regions <- data.frame(target = integer(), start = integer(), end = integer())
  }

  spans <- list(bins = bins, regions = regions)
  sums <- study_sums(study, spans, BPPARAM)
  samples$covered <- sums$covered / sum(targets$end - targets$start + 1)
  study$samples <- samples
  coverage <- lapply(names(spans), function(what) {
    coverage_summary(spans[[what]], sums[[what]], study, normalize)
  })
  names(coverage) <- names(spans)
  pooled <- sums$regions %*% factors / nrow(samples)
  SummarizedExperiment::rowData(coverage$regions)$pooled <-
    as.vector(pooled) / (regions$end - regions$start + 1)

  structure(list(bins = coverage$bins, regions = coverage$regions,
                 targets = targets, lengths = study$lengths,
                 width = width, threshold = threshold,
                 minlen = minlen, normalize = normalize,
                 options = study$options),
            class = "tolvendra_samples")
}

# Checks the samples, targets and back end shared by the functions that
# work on many samples. Returns the samples (with their mapped reads), the
# targets, the sequence lengths, each sample's file and index (`sources`),
# the reading options and whether to show progress across tasks.
open_study <- function(files, where, where_arg, BPPARAM, call, ...) {
  samples <- check_samples(files, call)
  options <- list(...)
  known <- setdiff(names(formals(check_read_options)), "call")
  unknown <- setdiff(names(options), known)
  if (length(options) > 0L && (is.null(names(options)) || length(unknown) > 0L)) {
    abort_arg(sprintf(paste0(
      "`...` must hold reading options named among %s; %s is not one."),
      paste0("`", known, "`", collapse = ", "),
      if (length(unknown) > 0L) sprintf("`%s`", unknown[1L]) else "an unnamed value"),
      call)
  }
  if (is.null(options[["progress"]])) options$progress <- interactive()
  options <- do.call(check_read_options, c(options, list(call = call)),
                     quote = TRUE)
  if (!inherits(BPPARAM, "BiocParallelParam")) {
    abort_arg(sprintf(paste0(
      "`BPPARAM` must be a BiocParallel back end, such as ",
      "BiocParallel::SerialParam() or BiocParallel::MulticoreParam(2), ",
      "not %s."), describe(BPPARAM)), call)
  }
  sources <- lapply(samples$file, check_alignments, arg = "files", call = call)
  lengths <- lapply(sources, function(source) {
    seq_lengths(source$file, source$index, "files", call)
  })
  targets <- check_where(where, lengths[[1L]], where_arg, call)
  check_headers(lengths, samples, if (!is.null(where)) unique(targets$seqname),
                call)
  samples$mapped <- vapply(sources, mapped_reads, 0, options = options,
                           arg = "files", call = call)
  # tasks read without a bar of their own
  progress <- options$progress
  options$progress <- FALSE
  list(samples = samples, targets = targets, lengths = lengths[[1L]],
       sources = sources, options = options, progress = progress)
}

# The targets grouped by sequence, at most `targets_per_task` a group, as
# lists of their row numbers. A task covers one group, so that it opens
# each file once for many targets; its memory follows the largest target,
# and a sequence with many targets still makes several tasks.
target_groups <- function(targets) {
  by_sequence <- split(seq_len(nrow(targets)),
                       factor(targets$seqname, unique(targets$seqname)))
  groups <- lapply(by_sequence, function(rows) {
    split(rows, ceiling(seq_along(rows) / targets_per_task))
  })
  unname(unlist(groups, recursive = FALSE))
}

targets_per_task <- 1000L

# Starts the back end's workers unless they are up, so that the passes of
# one call share them rather than each starting its own (forking R, or
# starting and loading R, costs seconds a time); TRUE if it started them.
start_workers <- function(BPPARAM) {
  if (BiocParallel::bpisup(BPPARAM)) return(FALSE)
  BiocParallel::bpstart(BPPARAM)
  TRUE
}

# Runs the tasks through BiocParallel. Progress is shown across tasks, not
# within them, whose bars would interleave. The back end's progress bar is
# switched on for the call and restored after it (bplapply's BPOPTIONS
# fails unless BiocParallel is attached).
run_tasks <- function(tasks, fun, BPPARAM, study) {
  if (study$progress) {
    shown <- BiocParallel::bpprogressbar(BPPARAM)
    BiocParallel::bpprogressbar(BPPARAM) <- TRUE
    on.exit(BiocParallel::bpprogressbar(BPPARAM) <- shown)
  }
  BiocParallel::bplapply(tasks, fun, BPPARAM = BPPARAM)
}

# Sums of each sample's coverage over spans of the targets: `spans` is a
# list of data frames with columns target, start and end. One task per
# sample and sequence. Returns, for each element of `spans`, a matrix of
# sums with one column per sample, and the number of covered positions of
# each sample.
study_sums <- function(study, spans, BPPARAM) {
  n_samples <- nrow(study$samples)
  tasks <- list()
  for (g in target_groups(study$targets)) {
    # each target's spans, and their rows in the order the task sums them
    by_target <- lapply(spans, function(s) {
      rows <- which(s$target %in% g)
      split(rows, factor(s$target[rows], g))
    })
    mine <- lapply(names(spans), function(what) {
      lapply(by_target[[what]], function(r) {
        list(start = spans[[what]]$start[r], end = spans[[what]]$end[r])
      })
    })
    names(mine) <- names(spans)
    rows <- lapply(by_target, unlist, use.names = FALSE)
    for (s in seq_len(n_samples)) {
      tasks[[length(tasks) + 1L]] <- list(
        source = study$sources[[s]], sample = s, targets = study$targets[g, ],
        spans = mine, rows = rows, options = study$options)
    }
  }
  results <- run_tasks(tasks, sample_task, BPPARAM, study)
  sums <- lapply(names(spans), function(what) {
    m <- matrix(0, nrow(spans[[what]]), n_samples,
                dimnames = list(NULL, study$samples$sample))
    for (k in seq_along(tasks)) {
      m[tasks[[k]]$rows[[what]], tasks[[k]]$sample] <- results[[k]]$sums[[what]]
    }
    m
  })
  names(sums) <- names(spans)
  sample_of <- vapply(tasks, function(task) task$sample, 0L)
  covered <- vapply(seq_len(n_samples), function(s) {
    sum(vapply(results[sample_of == s], function(r) r$covered, 0))
  }, 0)
  c(sums, list(covered = covered))
}

# Task: one sample's coverage of the targets of one sequence, each summed
# over its spans, in the order of the spans' rows.
sample_task <- function(task) {
  handle <- open_alignments(task$source, task$options)
  on.exit(close_alignments(handle))
  sums <- lapply(task$spans, function(s) vector("list", nrow(task$targets)))
  covered <- 0
  for (i in seq_len(nrow(task$targets))) {
    target <- task$targets[i, ]
    region <- c(task$source, list(seqname = target$seqname,
                                  start = target$start, end = target$end))
    cov <- region_coverage(region, task$options, handle = handle)
    for (what in names(task$spans)) {
      s <- task$spans[[what]][[i]]
      sums[[what]][[i]] <- span_sums(cov, target$start, s$start, s$end)
    }
    covered <- covered + .Call(B_count_positive$address, cov)
  }
  list(sums = lapply(sums, unlist), covered = as.double(covered))
}

# Task: the regions of the targets of one sequence, one data frame each,
# found on the profile summed over the samples (see analyze_samples()).
# Each sample's file is opened once for all the targets.
region_task <- function(task) {
  handles <- lapply(task$sources, open_alignments, options = task$options)
  on.exit(lapply(handles, close_alignments))
  lapply(seq_len(nrow(task$targets)), function(i) {
    target_regions(task, task$targets[i, ], handles)
  })
}

# The regions of one target. The profile is built a stretch of
# `task$chunk` positions at a time: each sample's coverage of the stretch
# is scaled and added into a stretch of doubles, in the order of the
# samples, which is then rounded down into the profile. The two stretch
# buffers are made once and reused in place, so memory holds the integer
# profile and one stretch of each kind.
target_regions <- function(task, target, handles) {
  # The profile holds R integers: a threshold past them is never reached.
  if (task$threshold > .Machine$integer.max) {
    return(data.frame(start = integer(), end = integer()))
  }
  n <- target$end - target$start + 1L
  profile <- integer(n)
  total <- double(min(task$chunk, n))
  cov <- integer(length(total))
  for (from in seq(as.double(target$start), target$end, by = task$chunk)) {
    stretch <- list(seqname = target$seqname, start = as.integer(from),
                    end = as.integer(min(from + task$chunk - 1, target$end)))
    for (s in seq_along(handles)) {
      region_coverage(c(task$sources[[s]], stretch), task$options,
                      handle = handles[[s]], into = cov)
      .Call(B_profile_add$address, total, cov, task$factors[s])
    }
    if (!.Call(B_profile_store$address, profile, from - target$start, total)) {
      stop(sprintf("The coverage summed over the samples passes %d on %s.",
                   .Machine$integer.max, target$seqname), call. = FALSE)
    }
  }
  regionmining(target$start:target$end, profile, task$threshold, task$minlen)
}

# Positions of the profile across samples built at a time: 32 MB of
# doubles, and few index queries per sequence.
profile_chunk <- 4194304

# A RangedSummarizedExperiment of coverage sums over spans of the targets.
coverage_summary <- function(spans, sums, study, normalize) {
  lengths <- study$lengths
  samples <- study$samples
  rows <- GenomicRanges::GRanges(
    factor(study$targets$seqname[spans$target], levels = names(lengths)),
    IRanges::IRanges(spans$start, spans$end),
    seqlengths = stats::setNames(as.integer(lengths), names(lengths)),
    target = spans$target)
  mean <- sums / (spans$end - spans$start + 1)
  assays <- list(sum = sums, mean = mean)
  if (normalize == "cpm") {
    assays$cpm <- sweep(mean, 2L, 1e6 / samples$mapped, `*`)
  }
  columns <- S4Vectors::DataFrame(samples[setdiff(names(samples), "sample")],
                                  row.names = samples$sample,
                                  check.names = FALSE)
  SummarizedExperiment::SummarizedExperiment(assays = assays,
                                             rowRanges = rows,
                                             colData = columns)
}

# Samples as a data frame with columns sample, file and the annotations.
check_samples <- function(files, call) {
  if (is.data.frame(files)) {
    if (!all(c("file", "sample") %in% names(files))) {
      abort_arg(sprintf(paste0(
        "`files` must be a data frame with columns `file` and `sample`; ",
        "its columns are %s."), paste(names(files), collapse = ", ")), call)
    }
    if (nrow(files) == 0L) {
      abort_arg("`files` must hold at least one sample, not a data frame with no rows.",
                call)
    }
    check_reserved_columns(files, call)
    samples <- data.frame(sample = as.character(files$sample),
                          file = as.character(files$file))
    samples <- cbind(samples, files[setdiff(names(files), c("file", "sample"))])
  } else {
    if (!is.character(files) || length(files) == 0L || anyNA(files)) {
      abort_arg(sprintf(paste0(
        "`files` must be paths of BAM files or a data frame with columns ",
        "`file` and `sample`, not %s."), describe(files)), call)
    }
    names <- sub("\\.[^.]*$", "", basename(files))
    if (!is.null(names(files))) {
      names <- ifelse(is.na(names(files)) | names(files) == "", names,
                      names(files))
    }
    samples <- data.frame(sample = names, file = unname(files))
  }
  if (anyNA(samples$sample) || any(samples$sample == "") ||
      anyDuplicated(samples$sample)) {
    bad <- which(is.na(samples$sample) | samples$sample == "" |
                   duplicated(samples$sample))[1L]
    abort_arg(sprintf("`files` must name each sample once; sample %d is %s.",
                      bad, describe(samples$sample[bad])), call)
  }
  samples
}

# The BAM headers must agree on the sequences used: all of them, or those
# named in `seqnames`.
check_headers <- function(lengths, samples, seqnames, call) {
  first <- lengths[[1L]]
  for (i in seq_along(lengths)[-1L]) {
    other <- lengths[[i]]
    names <- if (is.null(seqnames)) union(names(first), names(other)) else seqnames
    differ <- names[is.na(first[names]) | is.na(other[names]) |
                      first[names] != other[names]]
    if (length(differ) > 0L) {
      s <- differ[1L]
      describe_in <- function(x, sample) {
        if (is.na(x[s])) {
          sprintf("is missing from %s", sample)
        } else {
          sprintf("has %s positions in %s", count_text(x[[s]]),
                  sample)
        }
      }
      abort_arg(sprintf(paste0(
        "`files` must have the same reference sequences, but sequence %s ",
        "%s and %s."), s, describe_in(first, samples$sample[1L]),
        describe_in(other, samples$sample[i])), call)
    }
  }
  invisible(TRUE)
}

# Targets as a data frame with columns seqname, start, end (1-based, both
# included) and name, checked against the sequence lengths.
check_where <- function(where, lengths, arg, call) {
  check_where_empty(where, arg, call)
  check_where_path(where, lengths, arg, call)
  if (is.null(where)) {
    return(data.frame(seqname = names(lengths), start = 1L,
                      end = as.integer(lengths), name = NA_character_))
  }
  if (inherits(where, "GRanges")) {
    where <- data.frame(seqname = as.character(GenomicRanges::seqnames(where)),
                        start = GenomicRanges::start(where),
                        end = GenomicRanges::end(where),
                        name = names(where) %||% NA_character_)
  } else if (is.character(where) && length(where) == 1L &&
             !is.na(where) && !where %in% names(lengths) && file.exists(where)) {
    where <- read_bed(where, arg, call)
  } else if (is.character(where)) {
    where <- parse_targets(where, lengths, arg, call)
  }
  if (!is.data.frame(where)) {
    abort_arg(sprintf(paste0(
      "`%s` must be sequence names, \"chr:start-end\" strings, a data frame, ",
      "a GRanges or the path of a BED file, not %s."), arg, describe(where)),
      call)
  }
  column <- intersect(c("seqname", "seqnames", "chr", "chrom"), names(where))
  if (length(column) == 0L || !all(c("start", "end") %in% names(where))) {
    abort_arg(sprintf(paste0(
      "`%s` must have columns `seqname` (or `seqnames` or `chr`), `start` and ",
      "`end`; its columns are %s."), arg, paste(names(where), collapse = ", ")),
      call)
  }
  targets <- data.frame(
    seqname = as.character(where[[column[1L]]]),
    start = check_whole(where$start, paste0(arg, "$start"), call),
    end = check_whole(where$end, paste0(arg, "$end"), call),
    name = if (is.null(where$name)) NA_character_ else as.character(where$name))
  if (nrow(targets) == 0L) {
    abort_arg(sprintf("`%s` must hold at least one target.", arg), call)
  }
  known <- targets$seqname %in% names(lengths)
  bad <- which(!known | targets$start < 1L | targets$start > targets$end |
                 targets$end > lengths[targets$seqname])
  if (length(bad) > 0L) {
    i <- bad[1L]
    shown <- utils::head(names(lengths), 10L)
    abort_arg(sprintf(paste0(
      "Each target of `%s` must lie on a sequence of the BAM files, with ",
      "1 <= start <= end <= its length; target %d is %s:%d-%d (%s)."),
      arg, i, targets$seqname[i], targets$start[i], targets$end[i],
      if (!known[i]) {
        sprintf("sequences: %s%s", paste(shown, collapse = ", "),
                if (length(lengths) > 10L) ", ..." else "")
      } else {
        sprintf("%s has %s positions", targets$seqname[i],
                count_text(lengths[[targets$seqname[i]]]))
      }), call)
  }
  targets
}

# Sequence names and "chr:start-end" strings as targets.
parse_targets <- function(x, lengths, arg, call) {
  if (anyNA(x)) {
    abort_arg(sprintf("`%s` must not contain NA; element %d is NA.", arg,
                      which(is.na(x))[1L]), call)
  }
  whole <- x %in% names(lengths)
  pattern <- "^(.+):([0-9,]+)-([0-9,]+)$"
  ranged <- !whole & grepl(pattern, x)
  if (!all(whole | ranged)) {
    i <- which(!(whole | ranged))[1L]
    abort_arg(sprintf(paste0(
      "`%s` must hold sequence names of the BAM files or \"chr:start-end\" ",
      "strings; element %d is %s."), arg, i, describe(x[i])), call)
  }
  number <- function(i) as.numeric(gsub(",", "", sub(pattern, i, x[ranged])))
  targets <- data.frame(seqname = x, start = 1, end = unname(lengths[x]))
  targets$seqname[ranged] <- sub(pattern, "\\1", x[ranged])
  targets$start[ranged] <- number("\\2")
  targets$end[ranged] <- number("\\3")
  targets
}

# The first columns of a BED file (0-based, half-open) as 1-based targets;
# the fourth, when there is one, names them.
read_bed <- function(path, arg, call) {
  lines <- readLines(path, warn = FALSE)
  lines <- lines[nzchar(trimws(lines)) & !grepl("^(#|track|browser)", lines)]
  fields <- strsplit(lines, "\t", fixed = TRUE)
  if (length(fields) == 0L || any(lengths(fields) < 3L)) {
    abort_arg(sprintf(paste0(
      "`%s` must be a BED file with at least three tab-separated columns; ",
      "%s has %s."), arg, describe(path),
      if (length(fields) == 0L) "no records" else
        sprintf("only %d on line %d", min(lengths(fields)),
                which(lengths(fields) < 3L)[1L])), call)
  }
  column <- function(k) vapply(fields, function(f) f[k], "")
  numbers <- suppressWarnings(as.numeric(c(column(2L), column(3L))))
  if (anyNA(numbers)) {
    abort_arg(sprintf("`%s` must be a BED file with numeric starts and ends.",
                      arg), call)
  }
  n <- length(fields)
  data.frame(seqname = column(1L), start = numbers[seq_len(n)] + 1,
             end = numbers[n + seq_len(n)],
             name = if (all(lengths(fields) >= 4L)) column(4L) else NA_character_)
}

# One row per sample: annotations, mapped reads, mean depth over the
# targets, fraction covered, and mean depth over the regions.
sample_table <- function(x) {
  columns <- as.data.frame(SummarizedExperiment::colData(x$bins))
  sums <- SummarizedExperiment::assay(x$bins, "sum")
  in_regions <- SummarizedExperiment::assay(x$regions, "sum")
  data.frame(sample = rownames(columns),
                      columns[setdiff(names(columns),
                                      c("file", "mapped", "covered"))],
                      mapped = columns$mapped,
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
          if (x$normalize == "cpm") "coverage per million mapped reads"
          else "depth", x$threshold, x$minlen)
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
  factors <- if (x$normalize == "cpm") 1e6 / x$bins$mapped else rep(1, ncol(sums))
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
             ylab %||% sprintf("Mean depth%s per %s",
                               if (x$normalize == "cpm") " per million reads"
                               else "", bin_text(x$width, k)),
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
