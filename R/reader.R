# Indexed BAM and CRAM files: finding and checking them and their indexes,
# their sequences and mapped reads, and their reads as blocks; bigWig
# tracks among the samples of a study. This file and engine.R are the only
# ones that call the reading library.

# The reader's routines live in the package's second library, TolvendraBam,
# and are called through their registered addresses (`B_name$address`):
# R CMD check takes the routine objects of any library but a package's
# first for another package's.

# Blocks held at most per batch: 32 MB of coordinates.
max_batch_blocks <- 4194304L

# A URL (http://, https://, ftp://, s3://, gs://, ...) rather than a path.
is_url <- function(x) grepl("^[A-Za-z][A-Za-z0-9+.-]*://", x)

# The index of an alignment file: `index` if given, else one found beside
# the file (x.bam.bai, x.bai, x.bam.csi, x.cram.crai, x.crai). For a file on
# a server, NA: the reader looks beside it there.
find_index <- function(file, index, arg, call) {
  if (is_url(file) && (is.null(index) || identical(index, NA_character_))) {
    return(NA_character_)
  }
  if (!is.null(index)) {
    check_string(index, "index", call)
    if (!is_url(index) && !file.exists(index)) {
      abort_arg(sprintf("`index` must be an existing index file; %s does not exist.",
                        describe(index)), call)
    }
    return(index)
  }
  stem <- sub("\\.(bam|cram)$", "", file)
  candidates <- c(paste0(file, c(".bai", ".csi", ".crai")),
                  if (stem != file) paste0(stem, c(".bai", ".csi", ".crai")))
  found <- candidates[file.exists(candidates)]
  if (length(found) == 0L && is_track(file)) {
    abort_arg(sprintf(paste0(
      "`%s` must be a BAM or CRAM file, not %s, a bigWig track. Tracks are ",
      "read as samples by analyze_samples(), summarize_features(), ",
      "depth_distribution() and compare_groups()."), arg, describe(file)),
      call, arg)
  }
  if (length(found) == 0L) {
    abort_bam(file, arg, "index", "has no index beside it (.bai, .csi or .crai)",
              call, "Create one with `samtools index`, or name it with `index`.")
  }
  found[1L]
}

# A URL whose scheme this build's htslib reads, or a classed error.
check_url <- function(file, arg, call) {
  scheme <- tolower(sub("://.*", "", file))
  protocols <- url_protocols(.Call(B_bam_library_info$address)$protocols)
  if (!scheme %in% protocols) {
    abort_arg(sprintf(paste0(
      "`%s` is a %s URL (%s), which the htslib Tolvendra was built on cannot ",
      "read: it reads %s URLs. Reinstall Tolvendra on an htslib built with ",
      "libcurl (Debian's libhts-dev), or copy the file here."),
      arg, scheme, describe(file), common_protocols(protocols)),
      call, arg)
  }
}

# Checks an alignment file (a path or a URL) and its index; returns
# list(file, index).
check_alignments <- function(file, index = NULL, arg = "file",
                             call = sys.call(-1)) {
  force(call)
  check_string(file, arg, call)
  if (is_url(file)) {
    check_url(file, arg, call)
    return(list(file = file, index = find_index(file, index, arg, call)))
  }
  if (dir.exists(file)) {
    abort_arg(sprintf("`%s` must be a BAM or CRAM file, not %s, which is a folder.",
                      arg, describe(file)), call, arg)
  }
  if (!file.exists(file)) {
    abort_arg(sprintf("`%s` must be an existing BAM or CRAM file; %s does not exist.",
                      arg, describe(file)), call)
  }
  index <- find_index(file, index, arg, call)
  if (!is_url(index) && file.mtime(index) < file.mtime(file)) {
    abort_bam(file, arg, "index", sprintf("has an index (%s) older than itself",
                                          basename(index)), call)
  }
  list(file = file, index = index)
}

# Opens checked alignments for reading; close the handle with
# close_alignments() (R's finalizer would, later).
open_alignments <- function(source, options = NULL, arg = "file",
                            call = sys.call(-1)) {
  .Call(B_bam_open$address, source$file, source$index, options$reference) |>
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

# Calls fun(batch) on each batch of blocks of the reads overlapping the
# region, in one index query: batch$start and batch$end are the blocks'
# first and last coordinates (not clipped to the region).
scan_region <- function(region, options, fun, arg = "file", call = sys.call(-1)) {
  force(call)
  handle <- open_alignments(region, options, arg, call)
  on.exit(close_alignments(handle))
  tid <- match(region$seqname, .Call(B_bam_targets$address, handle)$name) - 1L
  .Call(B_bam_query$address, handle, tid, region$start, region$end,
        native_sources(list(region), options)) |>
    reader_value(region$file, arg, call)
  repeat {
    batch <- .Call(B_bam_next$address, handle, options$chunk_size, max_batch_blocks) |>
      reader_value(region$file, arg, call)
    if (is.null(batch)) break
    fun(batch)
  }
  invisible(NULL)
}

#' Aligned blocks of the reads in a region of a BAM or CRAM file
#'
#' Reads the alignments that overlap one region of an indexed BAM or CRAM
#' file and returns the stretches of the reference that they cover.
#' Spliced alignments are split at their gaps (CIGAR `N`), so introns are
#' not covered; deletions (CIGAR `D`) are, as in `samtools depth -J` and
#' GenomicAlignments' `coverage()`, unless `deletions = "uncovered"`. Reads
#' are filtered as coverage tools do: unmapped, secondary, QC-failed and
#' duplicate reads are left out, and so are reads below a mapping quality.
#' Every reading option of [read_options()] applies: with `overlap`, the
#' blocks of a read leave out what other records of its template cover;
#' with `fragments` or `extend`, the blocks are fragments or extended reads.
#'
#' A damaged file (truncated, a corrupt block, an index that belongs to
#' another file or is older than the file) is an error of class
#' `tolvendra_error_bam` that names the file and says how to fix it; no
#' partial result is returned.
#'
#' @param file Path or URL (`http://`, `https://`, `ftp://`, `s3://`,
#'   `gs://`) of a BAM or CRAM file, indexed. A file on a server is read
#'   through htslib, its index taken from beside it there (`.bai` or
#'   `.csi`, `.crai` for CRAM) or from `index`; nothing is read from or
#'   written to the working folder.
#' @param seqname Name of a reference sequence of the file, such as `"chr1"`.
#' @param start,end First and last coordinate of the region, 1-based and
#'   both included; `end = NULL` reads to the end of the sequence.
#' @param index Path of the index, when it is not beside the file as
#'   `file.bai`, `file.csi` or `file.crai` (or with the extension replaced).
#' @param options Reading options made by [read_options()].
#' @param ... Reading options by name, as for [read_options()], in place of
#'   those of `options`.
#' @return A data frame with integer columns `start` and `end`, one row per
#'   block that overlaps the region (blocks are not clipped to it).
#' @seealso [analyze_region()] to compute and plot coverage in one call.
#' @export
#' @examplesIf requireNamespace("Rsamtools", quietly = TRUE)
#' bam <- system.file("extdata", "ex1.bam", package = "Rsamtools")
#' blocks <- read_blocks(bam, "seq1", 100, 300)
#' head(blocks)
#' gcoverage(100:300, blocks$start, blocks$end)
read_blocks <- function(file, seqname, start = 1, end = NULL, index = NULL,
                        options = read_options(), ...) {
  call <- sys.call()
  options <- reading_options(options, list(...), call)
  region <- check_region(file, seqname, start, end, index, call = call)
  starts <- list()
  ends <- list()
  scan_region(region, options, function(batch) {
    starts[[length(starts) + 1L]] <<- batch$start
    ends[[length(ends) + 1L]] <<- batch$end
  }, call = call)
  data.frame(start = as.integer(unlist(starts)), end = as.integer(unlist(ends)))
}

# The sequence lengths (named) and mapped reads of an alignment file, from
# one opening of it, with whether each sequence has mapped reads (named
# logicals). The counts are the index's; a CRAM index has none, so a CRAM
# file's total is counted read by read and its sequences are NA.
alignment_facts <- function(source, options, arg, call) {
  handle <- open_alignments(source, options, arg, call)
  on.exit(close_alignments(handle))
  targets <- .Call(B_bam_targets$address, handle)
  mapped <- if (anyNA(targets$mapped)) {
    .Call(B_bam_count_mapped$address, handle) |>
      reader_value(source$file, arg, call)
  } else {
    sum(targets$mapped)
  }
  list(lengths = stats::setNames(targets$length, targets$name), mapped = mapped,
       with_reads = stats::setNames(targets$mapped > 0, targets$name))
}

# The first bytes of a bigWig file, as its header stores its magic number
# (little-endian 0x888FFC26).
bigwig_magic <- as.raw(c(0x26, 0xfc, 0x8f, 0x88))

# Whether a file (a path or a URL) is a bigWig track, by its first bytes,
# whatever its name.
is_track <- function(file) {
  identical(.Call(B_file_magic$address, file), bigwig_magic)
}

# A sample's file checked: a bigWig track, list(file, index = NA, track =
# TRUE), or an alignment file as check_alignments() checks it.
check_source <- function(file, index = NULL, arg = "file", call = sys.call(-1)) {
  force(call)
  check_string(file, arg, call)
  if (!is_track(file)) return(check_alignments(file, index, arg, call))
  if (!isTRUE(.Call(B_bam_library_info$address)$bigwig)) {
    abort(sprintf(paste0(
      "`%s` (%s) is a bigWig track, which this build of Tolvendra cannot ",
      "read: it was built without libBigWig. Install libbigwig-dev ",
      "(Debian, Ubuntu) and reinstall Tolvendra."), arg, describe(file)),
      "tolvendra_error_missing_package", call, package = "libbigwig-dev")
  }
  list(file = file, index = NA_character_, track = TRUE)
}

# The facts alignment_facts() gives, for either kind of source: a track's
# sequences come from its header, and it has no reads to count (NA).
source_facts <- function(source, options, arg, call) {
  if (!isTRUE(source$track)) return(alignment_facts(source, options, arg, call))
  sequences <- .Call(B_track_sequences$address, source$file) |>
    reader_value(source$file, arg, call, track = TRUE)
  list(lengths = stats::setNames(sequences$length, sequences$name),
       mapped = NA_real_,
       with_reads = stats::setNames(rep(NA, length(sequences$name)), sequences$name))
}
