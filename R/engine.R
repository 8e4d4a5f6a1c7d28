# The alignment engine: one native call per group of targets reads each
# file once (nearby targets in one index query) and returns what the job
# needs: sums over spans, covered positions, the regions of the profile
# across samples with each sample's sums over them, and runs of depth.

# `sources`: checked files (list(file, index) each), one per sample.
# `options`: reading options, one for all or a list of one per source.
# `targets`: a data frame with seqname, start and end (1-based, closed), or
#   NULL to count each source's library alone (see library_sizes()).
# `spans`: NULL or a data frame with target (row of `targets`), start and
#   end, each within its target; and optionally `digits`, the decimals
#   each span's mean is printed with (NA for none), for the means as
#   mosdepth prints them (returned as `means`, spans x sources).
# `regions`: NULL, or list(factors, threshold, minlen) to find the regions
#   of floor(sum(factors[s] * depth[s])) that reach `threshold`.
# `keep`: "runs" to return each target's runs of depth for each sample, as
#   list(start, value); "coverage" to return its depth at every position;
#   "rle" to return its runs as list(lengths, values), an Rle's slots.
# `quantize`: NULL, or ascending depths that cut the kept runs into bins:
#   their values are then bin numbers from 0 (-1 below the first cut).
# `groups`: NULL, or list(n, stats, thresholds, depths, reads, histogram)
#   for statistics over groups of spans (`spans$group`, 1..n; the spans of
#   a group must not overlap): stats, those of `group_statistics` wanted
#   (the others come back with no rows); positions at least each of
#   `thresholds` deep; depths = TRUE for each group's (depth, positions)
#   pairs; reads = TRUE for the reads with a block touching each group;
#   histogram = the largest depth of a histogram of positions by depth (-1
#   for none).
# `max_blocks`: blocks held at most before they are counted.
# Returns list(sums, covered, region_target, region_start, region_end,
# region_sums, runs, reads, bases): matrices with one column per source (sums by span,
# covered positions by target, region sums by region), and runs as a list
# matrix, targets x sources (empty unless kept); reads and bases, the reads
# counted and the bases they cover, per source; and `groups`, what the
# engine found over groups (see group_value() in src/r/values.cpp).
engine_run <- function(sources, options, targets, spans = NULL,
                       regions = NULL, keep = "none", groups = NULL,
                       quantize = NULL, arg = "file",
                       call = sys.call(-1), max_blocks = max_batch_blocks) {
  force(call)
  files <- vapply(sources, `[[`, "", "file")
  request <- native_request(sources, options, targets, spans, regions, keep,
                            groups, quantize, max_blocks, call)
  value <- .Call(B_engine_run$address, request$sources, request$targets,
                 request$spans, request$settings)
  if (inherits(value, "tolvendra_fault")) {
    at <- max(1L, value$source)
    raise_fault(value, files[at], rep_len(arg, length(files))[at], call,
                isTRUE(sources[[at]]$track))
  }
  value
}

# The engine's request as its native entry point takes it: list(sources,
# targets, spans, settings), each a list of fields (see engine_run() for
# the arguments).
native_request <- function(sources, options, targets, spans = NULL,
                           regions = NULL, keep = "none", groups = NULL,
                           quantize = NULL, max_blocks = max_batch_blocks,
                           call = NULL) {
  options <- options_per_source(options, length(sources))
  list(
    sources = native_sources(sources, options, call),
    targets = if (!is.null(targets)) {
      list(seqname = as.character(targets$seqname),
           start = as.double(targets$start), end = as.double(targets$end))
    },
    spans = list(target = as.integer(spans$target), start = as.double(spans$start),
                 end = as.double(spans$end), group = as.integer(spans$group),
                 digits = as.integer(spans$digits)),
    settings = list(regions = !is.null(regions),
                    factors = as.double(regions$factors %||% rep(1, length(sources))),
                    threshold = as.double(regions$threshold %||% 0),
                    minlen = as.integer(regions$minlen %||% 0L),
                    keep = match(keep, c("none", "runs", "coverage", "rle")) - 1L,
                    threads = options[[1L]]$threads,
                    quantize = as.integer(quantize),
                    groups = as.integer(groups$n %||% 0L),
                    group_stats = as.integer(sum(
                      2^(match(groups$stats, group_statistics) - 1))),
                    thresholds = as.integer(groups$thresholds),
                    group_depths = isTRUE(groups$depths),
                    group_reads = isTRUE(groups$reads),
                    histogram = as.integer(groups$histogram %||% -1L),
                    # tests cut short segments into stretches
                    min_stretch = as.double(getOption("tolvendra.min_stretch", 262144)),
                    chunk = as.double(options[[1L]]$chunk_size),
                    max_blocks = as.double(max_blocks),
                    progress = options[[1L]]$progress))
}

# The statistics the engine computes over groups of spans, in the order of
# the bits that ask for them (GroupStat in src/engine/request.h).
group_statistics <- c("sum", "bases", "min", "max", "median", "sd")

# Reading options as a list of one per source: `options` for all n
# sources, or already one each.
options_per_source <- function(options, n) {
  if (inherits(options, "tolvendra_read_options")) rep(list(options), n) else options
}

# The sources as the reading library takes them, each reading option
# translated here and nowhere else: one element per source in each field.
# `options`: reading options, one for all or a list of one per source.
# A bigWig track (`track = TRUE`) holds depth, not reads: the options that
# say how reads become depth are refused for it unless at their defaults.
native_sources <- function(sources, options, call = NULL) {
  options <- options_per_source(options, length(sources))
  track <- track_sources(sources)
  for (i in which(track)) check_track_options(options[[i]], sources[[i]]$file, call)
  option <- function(name, type) {
    vapply(options, function(o) o[[name]] %||% type[NA], type)
  }
  code <- function(name, values) {
    vapply(options, function(o) match(o[[name]], values) - 1L, 0L)
  }
  list(file = vapply(sources, `[[`, "", "file"),
       index = vapply(sources, function(s) s$index %||% NA_character_, ""),
       reference = option("reference", ""),
       min_mapq = option("min_mapq", 0L),
       exclude_flags = option("exclude_flags", 0L),
       include_flags = option("include_flags", 0L),
       split = option("split", NA),
       deletions = vapply(options, function(o) o$deletions == "covered", NA),
       overlap = code("overlap", c("count", "once", "proper")),
       fragments = option("fragments", NA),
       extend = option("extend", 0L),
       strand = 1L - code("strand", c("+", "both", "-")),
       track = track)
}

# The reading options that shape how reads become depth.
read_only_options <- c("split", "min_mapq", "exclude_flags", "include_flags",
                       "deletions", "overlap", "fragments", "extend", "strand")

# Refuses, for the track `file`, any of them away from its default.
check_track_options <- function(options, file, call) {
  defaults <- formals(read_options)
  set <- Filter(function(name) {
    default <- eval(defaults[[name]])
    !identical(as.character(options[[name]]), as.character(default[1L]))
  }, read_only_options)
  if (length(set) > 0L) {
    abort_arg(sprintf(paste0(
      "%s cannot apply to %s, a bigWig track: it holds depth, not reads. ",
      "Leave %s at %s default, or give the BAM or CRAM files the track ",
      "was made from."),
      paste0("`", set, "`", collapse = ", "), describe(file),
      if (length(set) == 1L) "it" else "them",
      if (length(set) == 1L) "its" else "their"), call, set[1L])
  }
}

# Which of `sources` are bigWig tracks.
track_sources <- function(sources) {
  vapply(sources, function(s) isTRUE(s$track), NA)
}

# Library sizes need reads: refused for the tracks among `sources`, with
# what to give instead.
check_no_track_libraries <- function(sources, arg, call) {
  track <- which(track_sources(sources))
  if (length(track) == 0L) return(invisible())
  arg <- rep_len(arg, length(sources))[track[1L]]
  abort_arg(sprintf(paste0(
    "`%s` holds a bigWig track (%s), which has no reads to count a ",
    "library size from. Give scale factors: numbers for `normalize`, ",
    "or a number for `scale`."), arg, describe(sources[[track[1L]]]$file)),
    call, arg)
}

# The reads (or fragments) of each source's whole file that its options
# keep, and the bases they cover, as the engine counts them:
# list(reads, bases).
library_sizes <- function(sources, options, arg = "file", call = sys.call(-1)) {
  force(call)
  check_no_track_libraries(sources, arg, call)
  engine_run(sources, options, NULL, arg = arg, call = call)[c("reads", "bases")]
}

# Records the engine has decoded in this process, for tests.
records_decoded <- function() .Call(B_bam_decoded$address)
