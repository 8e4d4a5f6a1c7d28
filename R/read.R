# Reading aligned reads from indexed BAM and CRAM files, through the
# package's native htslib reader. A region is read in one index query; its
# reads come back in batches of blocks, so memory follows the window and
# one batch, not the file.

# The reader's routines live in the package's second library, TolvendraBam,
# and are called through their registered addresses (`B_name$address`):
# R CMD check takes the routine objects of any library but a package's
# first for another package's.

# Blocks held at most per batch: 32 MB of coordinates.
max_batch_blocks <- 4194304L

# Fixes offered for each kind of fault the reader reports.
fault_fixes <- c(
  open = "Check the path and that the file can be read.",
  format = "Give a BAM or CRAM file; `samtools view -b` converts SAM to BAM.",
  truncated = "Copy the file again from its source, or rerun the program that wrote it.",
  header = "Copy the file again from its source.",
  index = "Rebuild the index with `samtools index`; if the error stays, copy the file again from its source.",
  damaged = "Copy the file again from its source; `samtools quickcheck` tests a copy.",
  reference = paste("Give the FASTA the CRAM file was written against as",
                    "`reference = \"path/to/genome.fa\"`, indexed with",
                    "`samtools faidx`.")
)

# An error of class "tolvendra_error_bam" that names the file as the user
# passed it, says what is wrong with it and how to fix it.
abort_bam <- function(file, arg, what, fix, call) {
  stop(errorCondition(
    sprintf("`%s` (%s) %s. %s", arg, describe(file), what, fix),
    class = c("tolvendra_error_bam", "tolvendra_error"), call = call))
}

# Returns the value of a native reader call, or raises its fault.
reader_value <- function(value, file, arg, call) {
  if (inherits(value, "tolvendra_fault")) {
    abort_bam(file, arg, value$what, fault_fixes[[value$fault]], call)
  }
  value
}

# The index of an alignment file: `index` if given, else one found beside
# the file (x.bam.bai, x.bai, x.bam.csi, x.cram.crai, x.crai).
find_index <- function(file, index, arg, call) {
  if (!is.null(index)) {
    check_string(index, "index", call)
    if (!file.exists(index)) {
      abort_arg(sprintf("`index` must be an existing index file; %s does not exist.",
                        describe(index)), call)
    }
    return(index)
  }
  stem <- sub("\\.(bam|cram)$", "", file)
  candidates <- c(paste0(file, c(".bai", ".csi", ".crai")),
                  if (stem != file) paste0(stem, c(".bai", ".csi", ".crai")))
  found <- candidates[file.exists(candidates)]
  if (length(found) == 0L) {
    abort_bam(file, arg, "has no index beside it (.bai, .csi or .crai)",
              "Create one with `samtools index`, or name it with `index`.",
              call)
  }
  found[1L]
}

# Checks an alignment file and its index; returns list(file, index).
check_alignments <- function(file, index = NULL, arg = "file",
                             call = sys.call(-1)) {
  force(call)
  check_string(file, arg, call)
  if (dir.exists(file)) {
    abort_arg(sprintf("`%s` must be a BAM or CRAM file, not %s, which is a folder.",
                      arg, describe(file)), call)
  }
  if (!file.exists(file)) {
    abort_arg(sprintf("`%s` must be an existing BAM or CRAM file; %s does not exist.",
                      arg, describe(file)), call)
  }
  index <- find_index(file, index, arg, call)
  if (file.mtime(index) < file.mtime(file)) {
    abort_bam(file, arg, sprintf("has an index (%s) older than itself",
                                 basename(index)),
              fault_fixes[["index"]], call)
  }
  list(file = file, index = index)
}

# Opens checked alignments for reading; close the handle with
# close_alignments() (R's finalizer would, later).
open_alignments <- function(source, options = NULL, arg = "file",
                            call = sys.call(-1)) {
  .Call(B_bam_open$address, source$file, source$index, options$reference,
        options$threads %||% 1L) |>
    reader_value(source$file, arg, call)
}

close_alignments <- function(handle) invisible(.Call(B_bam_close$address, handle))

`%||%` <- function(x, y) if (is.null(x)) y else x

# The sequences of an alignment file: a data frame with `name`, `length`
# and `mapped` (the index's count of mapped reads; NA for CRAM).
alignment_targets <- function(source, arg = "file", call = sys.call(-1)) {
  force(call)
  handle <- open_alignments(source, arg = arg, call = call)
  on.exit(close_alignments(handle))
  targets <- .Call(B_bam_targets$address, handle)
  data.frame(name = targets$name, length = targets$length,
             mapped = targets$mapped)
}

# Named sequence lengths of an alignment file.
seq_lengths <- function(file, index = NULL, arg = "file", call = sys.call(-1)) {
  force(call)
  targets <- alignment_targets(check_alignments(file, index, arg, call), arg, call)
  stats::setNames(targets$length, targets$name)
}

#' Options for reading alignments
#'
#' The reading options that [read_blocks()], [analyze_region()],
#' [compare_samples()] and [analyze_samples()] share.
#'
#' @param split If `FALSE`, each read counts as one block from its first to
#'   its last aligned coordinate, introns included.
#' @param min_mapq The lowest mapping quality kept; 0 keeps all reads.
#' @param exclude_flags Reads with any of these SAM flag bits set are left
#'   out. The default, 1796, leaves out unmapped (4), secondary (256),
#'   QC-failed (512) and duplicate (1024) reads, as `samtools depth` does.
#' @param chunk_size Reads are handed to the coverage engine in batches
#'   spanning this many positions, which bounds the memory a batch needs
#'   and sets the steps of the progress bar.
#' @param threads Threads that read the file. 1, the default, decompresses
#'   on the reading thread; a larger number adds `threads - 1` htslib
#'   decompression threads beside it (mosdepth's `-t` counts only those).
#'   htslib's threaded reader can stall on some damaged files instead of
#'   failing, so the default reads on one thread, where damage is always an
#'   error.
#' @param reference For CRAM files, the path of the reference FASTA the
#'   file was compressed against (with its `.fai` index beside it). Without
#'   it, htslib looks where the header's `UR` tags point and in `REF_PATH`
#'   and `REF_CACHE`. A reference that is missing, or is not the one the
#'   header's `M5` checksums name, is an error that says so.
#' @param progress Show a progress bar while reading more than one batch.
#' @name read_options
#' @keywords internal
NULL

# Options shared by every function that reads alignments.
check_read_options <- function(split = TRUE, min_mapq = 0, chunk_size = 65536,
                               progress = FALSE, threads = 1,
                               reference = NULL,
                               exclude_flags = 1796,
                               call = sys.call(-1)) {
  force(call)
  if (!is.null(reference)) {
    check_string(reference, "reference", call)
    if (!file.exists(reference)) {
      abort_arg(sprintf("`reference` must be an existing FASTA file; %s does not exist.",
                        describe(reference)), call)
    }
  }
  list(split = check_flag(split, "split", call),
       min_mapq = check_count(min_mapq, "min_mapq", min = 0, call = call),
       chunk_size = check_count(chunk_size, "chunk_size", min = 1, call = call),
       progress = check_flag(progress, "progress", call),
       threads = check_threads(threads, call),
       reference = reference,
       exclude_flags = check_count(exclude_flags, "exclude_flags", min = 0,
                                   call = call))
}

# Checks an alignment file and a region of it: list(file, index, seqname,
# start, end). `end = NULL` stands for the end of the sequence.
check_region <- function(file, seqname, start = 1, end = NULL, index = NULL,
                         arg = "file", call = sys.call(-1)) {
  force(call)
  region <- check_alignments(file, index, arg, call)
  lengths <- seq_lengths(region$file, region$index, arg, call)
  check_string(seqname, "seqname", call)
  if (!seqname %in% names(lengths)) {
    shown <- utils::head(names(lengths), 10L)
    abort_arg(sprintf("`seqname` must name a sequence of `%s` (%s%s), not %s.",
                      arg, paste(shown, collapse = ", "),
                      if (length(lengths) > 10L) ", ..." else "",
                      describe(seqname)), call)
  }
  length <- lengths[[seqname]]
  start <- check_count(start, "start", min = 1, call = call)
  end <- if (is.null(end)) length else check_count(end, "end", min = 1, call = call)
  if (start > end) {
    abort_arg(sprintf("`start` (%s) must not lie after `end` (%s).",
                      format(start), format(end)), call)
  }
  if (end > length) {
    abort_arg(sprintf("`end` (%s) lies past the end of %s in `%s`, which has %s positions.",
                      format(end), seqname, arg, format(length, scientific = FALSE)),
              call)
  }
  c(region, list(seqname = seqname, start = start, end = as.integer(end)))
}

# Calls fun(batch) on each batch of blocks of the reads overlapping the
# region, in one index query: batch$start and batch$end are the blocks'
# first and last coordinates (not clipped to the region), batch$lo and
# batch$hi the smallest start and largest end. Each read is seen once.
# A `handle` from open_alignments() is used as it is, so that a caller
# reading many regions of a file opens it once.
scan_region <- function(region, options, fun, arg = "file", call = sys.call(-1),
                        handle = NULL) {
  force(call)
  if (is.null(handle)) {
    handle <- open_alignments(region, options, arg, call)
    on.exit(close_alignments(handle))
  }
  tid <- match(region$seqname, .Call(B_bam_targets$address, handle)$name) - 1L
  .Call(B_bam_query$address, handle, tid, region$start, region$end, options$min_mapq,
        options$exclude_flags, options$split) |>
    reader_value(region$file, arg, call)
  bar <- NULL
  width <- as.double(region$end) - region$start + 1
  if (options$progress && width > options$chunk_size) {
    bar <- utils::txtProgressBar(max = width, style = 3)
    on.exit(close(bar), add = TRUE)
  }
  repeat {
    batch <- .Call(B_bam_next$address, handle, options$chunk_size, max_batch_blocks) |>
      reader_value(region$file, arg, call)
    if (is.null(batch)) break
    fun(batch)
    if (!is.null(bar)) {
      utils::setTxtProgressBar(bar, min(width, batch$hi - region$start + 1))
    }
  }
  invisible(NULL)
}

#' Aligned blocks of the reads in a region of a BAM or CRAM file
#'
#' Reads the alignments that overlap one region of an indexed BAM or CRAM
#' file and returns the stretches of the reference that they cover.
#' Spliced alignments are split at their gaps (CIGAR `N`), so introns are
#' not covered; deletions (CIGAR `D`) are, as in `samtools depth -J` and
#' GenomicAlignments' `coverage()`. Reads are filtered as coverage tools do:
#' unmapped, secondary, QC-failed and duplicate reads are left out
#' (`exclude_flags`), and so are reads below `min_mapq`.
#'
#' A damaged file (truncated, a corrupt block, an index that belongs to
#' another file or is older than the file) is an error of class
#' `tolvendra_error_bam` that names the file and says how to fix it; no
#' partial result is returned.
#'
#' @param file Path of a BAM or CRAM file, indexed.
#' @param seqname Name of a reference sequence of the file, such as `"chr1"`.
#' @param start,end First and last coordinate of the region, 1-based and
#'   both included; `end = NULL` reads to the end of the sequence.
#' @param index Path of the index, when it is not beside the file as
#'   `file.bai`, `file.csi` or `file.crai` (or with the extension replaced).
#' @inheritParams read_options
#' @return A data frame with integer columns `start` and `end`, one row per
#'   block that overlaps the region (blocks are not clipped to it).
#' @seealso [analyze_region()] to compute and plot coverage in one call.
#' @export
#' @examplesIf requireNamespace("Rsamtools", quietly = TRUE)
#' bam <- system.file("extdata", "ex1.bam", package = "Rsamtools")
#' blocks <- read_blocks(bam, "seq1", 100, 300)
#' head(blocks)
#' gcoverage(100:300, blocks$start, blocks$end)
read_blocks <- function(file, seqname, start = 1, end = NULL, split = TRUE,
                        min_mapq = 0, chunk_size = 65536,
                        progress = interactive(), index = NULL, threads = 1,
                        reference = NULL, exclude_flags = 1796) {
  region <- check_region(file, seqname, start, end, index)
  options <- check_read_options(split, min_mapq, chunk_size, progress,
                                threads, reference, exclude_flags)
  starts <- list()
  ends <- list()
  scan_region(region, options, function(batch) {
    starts[[length(starts) + 1L]] <<- batch$start
    ends[[length(ends) + 1L]] <<- batch$end
  })
  data.frame(start = as.integer(unlist(starts)), end = as.integer(unlist(ends)))
}

# Per-base coverage of a region: each batch of blocks goes through the
# coverage routine over the stretch it spans, and is added into the
# region's counts. Those go into `into` when it is given: a vector of
# zeros at least as long as the region, filled in place, so that a caller
# reading many stretches reuses one buffer.
region_coverage <- function(region, options, arg = "file", call = sys.call(-1),
                            handle = NULL, into = NULL) {
  force(call)
  cov <- into %||% integer(region$end - region$start + 1L)
  scan_region(region, options, function(batch) {
    lo <- max(batch$lo, region$start)
    hi <- min(batch$hi, region$end)
    if (lo > hi) return()
    part <- .Call(C_gcoverage, as.integer(lo):as.integer(hi), batch$start,
                  batch$end)
    .Call(B_coverage_add$address, cov, lo - region$start, part)
  }, arg, call, handle)
  cov
}

# Mapped reads of an alignment file, from its index; a CRAM index has no
# counts, so a CRAM file is counted read by read.
mapped_reads <- function(source, options = NULL, arg = "file",
                         call = sys.call(-1)) {
  force(call)
  targets <- alignment_targets(source, arg, call)
  if (!anyNA(targets$mapped)) {
    return(sum(targets$mapped))
  }
  options <- check_read_options(split = FALSE, exclude_flags = 4L,
                                reference = options$reference, call = call)
  total <- 0
  for (i in seq_len(nrow(targets))) {
    region <- c(source, list(seqname = targets$name[i], start = 1L,
                             end = as.integer(targets$length[i])))
    scan_region(region, options, function(batch) {
      total <<- total + batch$reads
    }, arg, call)
  }
  total
}

# Sums of a coverage vector (first coordinate `first`) over closed spans,
# in doubles, so that they never wrap.
span_sums <- function(cov, first, starts, ends) {
  .Call(B_span_sums$address, cov, first, as.integer(starts), as.integer(ends))
}
