# Studies of many samples: the samples, their targets, and the tasks that
# read them through BiocParallel. A task covers a group of targets and
# reads every sample's file once for all of them, in one engine call.

# Checks the samples, targets and back end shared by the functions that
# work on many samples. Returns the samples (with their mapped reads, and
# by sequence whether they have any as `with_reads`), the
# targets (fitted to the files as `outside` says: see fit_targets()), the
# sequence lengths, each sample's file and index (`sources`),
# the reading options and whether to show progress across tasks.
open_study <- function(files, where, where_arg, BPPARAM, options, call,
                       outside = "drop") {
  samples <- check_samples(files, call)
  if (!inherits(BPPARAM, "BiocParallelParam")) {
    abort_arg(sprintf(paste0(
      "`BPPARAM` must be a BiocParallel back end, such as ",
      "BiocParallel::SerialParam() or BiocParallel::MulticoreParam(2), ",
      "not %s."), describe(BPPARAM)), call, "BPPARAM")
  }
  # BAM or CRAM files and bigWig tracks alike
  sources <- lapply(samples$file, check_source, arg = "files", call = call)
  native_sources(sources, options, call) # refuses options tracks cannot take
  # each file is opened once here, for its sequences and mapped reads
  found <- lapply(sources, source_facts, options = options, arg = "files",
                  call = call)
  lengths <- Map(check_sequences, lapply(found, `[[`, "lengths"), samples$file,
                 "files", list(call))
  targets <- check_where(where, lengths[[1L]], where_arg, call, outside)
  check_headers(lengths, samples, if (!is.null(where)) {
    unique(targets$seqname[targets$inside %||% TRUE])
  }, call)
  samples$mapped <- vapply(found, `[[`, 0, "mapped")
  with_reads <- lapply(found, `[[`, "with_reads")
  # tasks read without a display of their own
  progress <- options$progress
  options$progress <- FALSE
  list(samples = samples, targets = targets, lengths = lengths[[1L]],
       sources = sources, options = options, progress = progress,
       with_reads = with_reads)
}

# The targets in groups, as lists of their row numbers: a task reads one
# group, opening each file once for all its targets. A group holds at most
# `targets_per_task` targets and, where targets allow, at most a share of
# the positions that gives each worker two tasks, so that tasks balance.
target_groups <- function(targets, workers = 1L) {
  widths <- as.double(targets$end) - targets$start + 1
  budget <- max(sum(widths) / (2 * workers), 1)
  order <- order(match(targets$seqname, unique(targets$seqname)),
                 targets$start)
  n <- length(order)
  if (n == 0L) return(list(integer()))
  reach <- cumsum(widths[order])
  groups <- list()
  first <- 1L
  while (first <= n) {
    # the first target, then those that keep the group within budget
    held <- if (first > 1L) reach[first - 1L] else 0
    last <- min(first + targets_per_task - 1L,
                max(first, findInterval(held + budget, reach)))
    groups[[length(groups) + 1L]] <- order[first:last]
    first <- last + 1L
  }
  groups
}

# Each task opens every file (and its index) once per reading thread, a
# few milliseconds that a hundred tasks of 1,000 targets added up; and
# holds the runs of depth of its span, which 10,000 targets made 40 MB.
targets_per_task <- 2500L

# Starts the back end's workers unless they are up, so that the passes of
# one call share them rather than each starting its own (forking R, or
# starting and loading R, costs seconds a time); TRUE if it started them.
start_workers <- function(BPPARAM) {
  if (BiocParallel::bpisup(BPPARAM)) return(FALSE)
  BiocParallel::bpstart(BPPARAM)
  TRUE
}

# Runs the tasks through BiocParallel. Progress is shown across tasks, not
# within them, whose displays would interleave. The back end's progress bar
# is switched on for the call and restored after it (bplapply's BPOPTIONS
# fails unless BiocParallel is attached). The package's errors come back
# with their class and fields, reported against `call`.
run_tasks <- function(tasks, fun, BPPARAM, progress, call) {
  if (progress) {
    shown <- BiocParallel::bpprogressbar(BPPARAM)
    BiocParallel::bpprogressbar(BPPARAM) <- TRUE
    on.exit(BiocParallel::bpprogressbar(BPPARAM) <- shown)
  }
  BiocParallel::bplapply(tasks, catch_errors(fun), BPPARAM = BPPARAM) |>
    relay_errors(call)
}

# One pass over every sample for every target: each sample's sums over
# `spans` (a data frame with target, start and end), its covered positions
# over the targets, and with `regions` (list(factors, threshold, minlen))
# the regions of the profile across samples with each sample's sums over
# them. Returns list(sums, covered, regions, region_sums).
study_pass <- function(study, spans, regions, BPPARAM, call) {
  targets <- study$targets
  n_samples <- nrow(study$samples)
  groups <- target_groups(targets, BiocParallel::bpnworkers(BPPARAM))
  span_rows <- split(seq_len(nrow(spans)), factor(spans$target, seq_len(nrow(targets))))
  tasks <- lapply(groups, function(g) {
    rows <- unlist(span_rows[g], use.names = FALSE)
    list(sources = study$sources, options = study$options,
         targets = targets[g, c("seqname", "start", "end")],
         spans = data.frame(target = match(spans$target[rows], g),
                            start = spans$start[rows], end = spans$end[rows]),
         rows = rows, regions = regions)
  })
  results <- run_tasks(tasks, study_task, BPPARAM, study$progress, call)
  sums <- matrix(0, nrow(spans), n_samples,
                 dimnames = list(NULL, study$samples$sample))
  covered <- double(n_samples)
  found <- list()
  for (k in seq_along(tasks)) {
    r <- results[[k]]
    sums[tasks[[k]]$rows, ] <- r$sums
    covered <- covered + colSums(r$covered)
    found[[k]] <- list(target = groups[[k]][r$region_target],
                       start = r$region_start, end = r$region_end,
                       sums = r$region_sums)
  }
  target <- unlist(lapply(found, `[[`, "target"))
  start <- unlist(lapply(found, `[[`, "start"))
  order <- order(target, start)
  region_sums <- do.call(rbind, lapply(found, `[[`, "sums"))
  reads <- Reduce(`+`, lapply(results, `[[`, "reads"))
  list(sums = sums, covered = covered, reads = reads,
       regions = data.frame(target = as.integer(target[order]),
                            start = as.integer(start[order]),
                            end = as.integer(unlist(lapply(found, `[[`, "end"))[order])),
       region_sums = region_sums[order, , drop = FALSE])
}

# Task: one engine call over every sample for a group of targets.
study_task <- function(task) {
  engine_run(task$sources, task$options, task$targets, task$spans,
             task$regions, arg = "files", call = NULL)
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


# The study's normalization: `normalize` as "none", "cpm", "rpgc" or one
# scale factor per sample. Adds `library_size` (the reads, or fragments,
# that the reading options keep, counted in one pass over each file when a
# factor needs it; NA otherwise) and `scale_factor` to the samples, and
# the name of the normalization as `normalize`.
normalize_study <- function(study, normalize, genome_size, call,
                            arg = "files") {
  how <- check_normalize(normalize, genome_size, nrow(study$samples), call)
  study$normalize <- how$normalize
  study$samples$library_size <- NA_real_
  if (how$normalize %in% c("none", "scaled")) {
    study$samples$scale_factor <- how$factors
    return(study)
  }
  library <- library_sizes(study$sources, study$options, arg, call)
  empty <- which(library$reads == 0)
  if (length(empty) > 0L) {
    who <- study$samples$sample[empty[1L]]
    abort_arg(sprintf(paste0(
      "`%s` must have reads that the reading options keep to be ",
      "normalized by them, but %s has none."), arg,
      if (arg == "files") paste("sample", who) else who), call, arg)
  }
  study$samples$library_size <- library$reads
  study$samples$scale_factor <- if (how$normalize == "cpm") {
    1e6 / library$reads
  } else {
    # 1x: the library's bases spread over the genome
    how$genome_size / library$bases
  }
  study
}

# `normalize` and `genome_size` checked for n samples: list(normalize =
# "none", "cpm", "rpgc" or "scaled" (factors given), factors, genome_size).
check_normalize <- function(normalize, genome_size, n, call) {
  if (is.numeric(normalize) && !is.object(normalize)) {
    if (length(normalize) != n || anyNA(normalize) ||
        any(!is.finite(normalize) | normalize <= 0)) {
      abort_arg(sprintf(paste0(
        "`normalize` must be \"none\", \"cpm\", \"rpgc\" or %d positive ",
        "finite scale factor%s, one per sample, not %s."), n,
        if (n == 1L) "" else "s",
        describe(normalize)), call, "normalize")
    }
    return(list(normalize = "scaled", factors = as.double(normalize)))
  }
  normalize <- check_choice(normalize, c("none", "cpm", "rpgc"), "normalize",
                            call)
  if (!is.null(genome_size) && normalize != "rpgc") {
    abort_arg(sprintf(paste0(
      "`genome_size` goes with `normalize = \"rpgc\"`, not with ",
      "`normalize = \"%s\"`."), normalize), call, "genome_size")
  }
  if (normalize == "rpgc") {
    if (is.null(genome_size)) {
      abort_arg(paste("`genome_size` must be given with `normalize = \"rpgc\"`:",
                      "the number of bases a library of 1x depth covers."),
                call, "genome_size")
    }
    genome_size <- check_positive(genome_size, "genome_size", call)
  }
  list(normalize = normalize, factors = 1, genome_size = genome_size)
}
