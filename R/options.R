#' Options for reading alignments
#'
#' Which reads count and how files are read, for every function that reads
#' BAM or CRAM files: [read_blocks()], [analyze_region()],
#' [compare_samples()], [compare_groups()], [analyze_samples()],
#' [summarize_features()], [depth_distribution()] and [export_coverage()]. Each of them takes an `options` object made by this
#' function and the same options by name through `...`, which override
#' those of `options`:
#' `analyze_region(bam, "chr1", min_mapq = 20)` and
#' `analyze_region(bam, "chr1", options = read_options(min_mapq = 20))` are
#' the same.
#'
#' With the defaults, coverage is counted as `samtools depth -a -J` counts
#' it: every aligned base of every read that passes the flag and quality
#' filters, deletions (CIGAR `D`) included, introns (`N`) not. The other
#' options count reads as other tools do; each gives the numbers of the peer
#' command named, with the same filters:
#'
#' | option | counts | as |
#' |---|---|---|
#' | `deletions = "uncovered"` | aligned bases but deletions | `mosdepth`, `bedtools genomecov -split` |
#' | `overlap = "once"` | a base two records of a template cover once | `samtools depth -a -J -s` (mates without gaps) |
#' | `overlap = "proper"` | a base both mates of a proper pair cover once | `mosdepth` (with `deletions = "uncovered"`) |
#' | `fragments = TRUE` | each forward-reverse proper pair's whole fragment | `bedtools genomecov -d -pc` |
#' | `extend = 200` | each read extended to 200 bases along its strand | `bedtools genomecov -d -fs 200`, deepTools `--extendReads 200` |
#' | `strand = "+"` | only fragments on the forward strand | `bedtools genomecov -d -split -strand + -du` |
#' | `include_flags = 2` | only reads with all these flags | `samtools view -f 2` |
#'
#' With `overlap = "once"`, any two records of a template (by name) pair
#' up, a supplementary piece with its mate too, as `samtools depth -s` pairs
#' them; `overlap = "proper"` pairs only the mates of proper pairs and
#' leaves supplementary pieces alone, as mosdepth does. Either way a pair
#' covers the union of its mates' aligned bases: the second record to come
#' adds only what the first does not cover. Where a mate is spliced,
#' samtools also drops the other mate's bases that fall in the gap, and
#' mosdepth leaves deletions uncovered: Tolvendra counts what is aligned.
#' Only records on the same sequence pair up.
#'
#' With `fragments = TRUE`, a fragment runs from the leftmost aligned base
#' of its pair for the template length (SAM's `TLEN`), and counts once, when
#' its left mate passes the filters. As with `bedtools genomecov -pc`, only
#' proper pairs whose left mate is on the forward strand and right mate on
#' the reverse strand count (not reverse-forward or same-strand pairs);
#' other reads do not count. A fragment can span a window with neither mate
#' in it, so windows are read from the start of their sequence.
#'
#' With `strand`, the strand of a second mate whose mate is mapped is
#' turned round, as `bedtools genomecov -du` turns it; a second mate whose
#' mate is unmapped keeps its own.
#'
#' Library sizes (see [analyze_samples()]) count the reads, or fragments
#' with `fragments = TRUE`, that pass the same options.
#'
#' @param split If `FALSE`, each read counts as one block from its first to
#'   its last aligned coordinate, introns included.
#' @param min_mapq The lowest mapping quality kept, from 0 (all reads) to
#'   255.
#' @param exclude_flags Reads with any of these SAM flag bits (from 0 to
#'   4095) set are left out. The default, 1796, leaves out unmapped (4),
#'   secondary (256), QC-failed (512) and duplicate (1024) reads, as
#'   `samtools depth` does.
#' @param threads Threads that read each file at once. A sequence (or a
#'   group of targets) of at least 512 kb is cut into up to `threads`
#'   stretches of at least 256 kb, each read through its own handle on its
#'   own thread (one of them R's) and then joined; results are the same
#'   for any number. The default is `getOption("tolvendra.threads")` if
#'   set, else 2, or 1 on a machine with one core. With
#'   [analyze_samples()]'s BiocParallel workers, each worker reads with
#'   this many threads. [read_blocks()], which hands the reads over in
#'   order, reads on one; the command line's `tolvendra depth` also
#'   compresses its files on this many.
#' @param include_flags Only reads with all of these SAM flag bits set
#'   count, as with `samtools view -f`; 0 (the default) requires none. It
#'   shares no bit with `exclude_flags`.
#' @param deletions `"covered"` counts the bases a read's deletions (CIGAR
#'   `D`) span, as `samtools depth -J` does; `"uncovered"` does not, as
#'   mosdepth and bedtools do not.
#' @param overlap `"count"` counts every aligned base of both mates of a
#'   pair; `"once"` counts a base that two records of a template cover once;
#'   `"proper"` does so for the mates of proper pairs only.
#' @param fragments If `TRUE`, each forward-reverse proper pair counts as
#'   its whole fragment, and other reads not at all.
#' @param extend `NULL`, or a number of bases: each read is extended from
#'   its start along its strand to that length (spliced reads then cover
#'   their gaps). Not with `fragments = TRUE` or `overlap = "once"`.
#' @param strand `"both"`, or `"+"` or `"-"`: only fragments on that
#'   strand, the strand of single reads and first mates and the opposite of
#'   second mates' (a stranded library read as `bedtools -du` reads it).
#' @param reference For CRAM files, the path of the reference FASTA the
#'   file was compressed against (with its `.fai` index beside it). Without
#'   it, htslib looks where the header's `UR` tags point and in `REF_PATH`
#'   and `REF_CACHE`. A reference that is missing, or is not the one the
#'   header's `M5` checksums name, is an error that says so.
#' @param chunk_size Positions counted at a time. Memory for counting
#'   follows it (4 bytes a position, for no more positions than the longest
#'   stretch read); it also sets the steps of the
#'   progress display. Results do not depend on it.
#' @param progress Show the share of the work done while reading (across
#'   tasks, for the functions that split their work into tasks).
#' @return An object of class `tolvendra_read_options`: a list of the
#'   options, checked.
#' @export
#' @examples
#' read_options(min_mapq = 20, exclude_flags = 1796 + 2048)
read_options <- function(split = TRUE, min_mapq = 0, exclude_flags = 1796,
                         include_flags = 0, deletions = c("covered", "uncovered"),
                         overlap = c("count", "once", "proper"),
                         fragments = FALSE, extend = NULL,
                         strand = c("both", "+", "-"), threads = default_threads(),
                         reference = NULL, chunk_size = 65536,
                         progress = interactive()) {
  check_read_options(as.list(environment()), sys.call())
}

# Checks a list of reading options, whoever passed them.
check_read_options <- function(x, call) {
  if (!is.null(x$reference)) {
    check_string(x$reference, "reference", call)
    if (!file.exists(x$reference)) {
      abort_arg(sprintf("`reference` must be an existing FASTA file; %s does not exist.",
                        describe(x$reference)), call, "reference")
    }
  }
  options <- list(
    split = check_flag(x$split, "split", call),
    min_mapq = check_at_most(x$min_mapq, "min_mapq", 255L,
                             "a mapping quality", call),
    exclude_flags = check_at_most(x$exclude_flags, "exclude_flags", 4095L,
                                  "SAM flag bits", call),
    include_flags = check_at_most(x$include_flags, "include_flags", 4095L,
                                  "SAM flag bits", call),
    deletions = check_choice(x$deletions, c("covered", "uncovered"),
                             "deletions", call),
    overlap = check_choice(x$overlap, c("count", "once", "proper"), "overlap",
                           call),
    fragments = check_flag(x$fragments, "fragments", call),
    extend = if (!is.null(x$extend)) check_count(x$extend, "extend", min = 1,
                                                 call = call),
    strand = check_choice(x$strand, c("both", "+", "-"), "strand", call),
    threads = check_threads(x$threads, call),
    reference = x$reference,
    chunk_size = check_count(x$chunk_size, "chunk_size", min = 1, call = call),
    progress = check_flag(x$progress, "progress", call))
  check_option_pairs(options, call)
  shared <- bitwAnd(options$include_flags, options$exclude_flags)
  if (shared != 0L) {
    abort_arg(sprintf(paste0("`include_flags` and `exclude_flags` must share no ",
                             "bit, not %d: no read could both have and lack it."),
                      shared), call, "include_flags")
  }
  structure(options, class = "tolvendra_read_options")
}

# A count from 0 to `max`: SAM's flags have 12 bits, mapping qualities 8.
check_at_most <- function(x, arg, max, what, call) {
  x <- check_count(x, arg, min = 0, call = call)
  if (x > max) {
    abort_arg(sprintf("`%s` must be %s from 0 to %d, not %s.", arg, what, max,
                      describe(x)), call, arg)
  }
  x
}

# Options that make no sense together.
check_option_pairs <- function(options, call) {
  given <- c(extend = !is.null(options$extend), fragments = options$fragments,
             overlap = options$overlap != "count")
  why <- c("extend+fragments" = "a fragment has its own length",
           "overlap+fragments" = "a fragment counts each base once already",
           "overlap+extend" = "extended mates no longer show their aligned bases")
  for (pair in strsplit(names(why), "+", fixed = TRUE)) {
    if (all(given[pair])) {
      abort_arg(sprintf("`%s` and `%s` cannot be used together: %s.",
                        pair[1L], pair[2L], why[[paste(pair, collapse = "+")]]),
                call, pair[1L])
    }
  }
}

# The options of a reading function's call: `options` with the named
# options of `...` (given as a list) in place of its own.
reading_options <- function(options, dots, call) {
  if (!inherits(options, "tolvendra_read_options")) {
    abort_arg(sprintf("`options` must be made by read_options(), not %s.",
                      describe(options)), call, "options")
  }
  check_dots_names(dots, names(formals(read_options)), call)
  values <- unclass(options)
  values[names(dots)] <- dots
  check_read_options(values, call)
}

#' @export
print.tolvendra_read_options <- function(x, ...) {
  cat("<tolvendra_read_options>\n")
  shown <- vapply(unclass(x), function(v) if (is.null(v)) "NULL" else
    paste(format(v, scientific = FALSE), collapse = ", "), "")
  cat(sprintf("  %-13s %s\n", names(shown), shown), sep = "")
  invisible(x)
}
