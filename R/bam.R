# Reading aligned reads from indexed BAM files, through Rsamtools and
# GenomicAlignments. A region is read in chunks so that memory is bounded by
# the window and one chunk of reads, not by the file.

bam_packages <- c("Rsamtools", "GenomicAlignments", "IRanges")

# Checks a BAM file and a region of it; returns them as a list.
check_region <- function(file, seqname, start, end, call = sys.call(-1)) {
  force(call)
  check_installed(bam_packages, call)
  check_string(file, "file", call)
  if (!file.exists(file)) {
    abort_arg(sprintf("`file` must be an existing BAM file; %s does not exist.",
                      describe(file)), call)
  }
  index <- c(paste0(file, ".bai"), sub("\\.bam$", ".bai", file))
  index <- index[file.exists(index)]
  if (length(index) == 0L) {
    abort_arg(sprintf(paste0(
      "`file` must be an indexed BAM file, but %s has no index (.bai); ",
      "create one with Rsamtools::indexBam()."), describe(file)), call)
  }
  lengths <- tryCatch(Rsamtools::scanBamHeader(file)[[1L]]$targets,
                      error = function(e) NULL)
  if (is.null(lengths)) {
    abort_arg(sprintf("`file` must be a BAM file; %s could not be read as one.",
                      describe(file)), call)
  }
  check_string(seqname, "seqname", call)
  if (!seqname %in% names(lengths)) {
    shown <- utils::head(names(lengths), 10L)
    abort_arg(sprintf("`seqname` must name a sequence of the BAM file (%s%s), not %s.",
                      paste(shown, collapse = ", "),
                      if (length(lengths) > 10L) ", ..." else "",
                      describe(seqname)), call)
  }
  start <- check_count(start, "start", min = 1, call = call)
  end <- check_count(end, "end", min = 1, call = call)
  if (start > end) {
    abort_arg(sprintf("`start` (%d) must not lie after `end` (%d).", start, end),
              call)
  }
  if (end > lengths[[seqname]]) {
    abort_arg(sprintf("`end` (%d) lies past the end of %s, which has %d positions.",
                      end, seqname, lengths[[seqname]]), call)
  }
  list(file = file, index = index[1L], seqname = seqname,
       start = start, end = end)
}

# Options shared by every function that reads a BAM file.
check_read_options <- function(split, min_mapq, chunk_size, progress,
                               call = sys.call(-1)) {
  force(call)
  list(split = check_flag(split, "split", call),
       min_mapq = check_count(min_mapq, "min_mapq", min = 0, call = call),
       chunk_size = check_count(chunk_size, "chunk_size", min = 1, call = call),
       progress = check_flag(progress, "progress", call))
}

# Calls fun(starts, ends) with the reference blocks of the reads of each
# chunk of the region. Each read is seen once: in the chunk where it starts,
# or in the first chunk if it starts before the region.
scan_region <- function(region, options, fun) {
  flag <- Rsamtools::scanBamFlag(isUnmappedQuery = FALSE,
                                 isSecondaryAlignment = FALSE,
                                 isNotPassingQualityControls = FALSE,
                                 isDuplicate = FALSE)
  bam <- Rsamtools::BamFile(region$file, index = region$index)
  froms <- seq(region$start, region$end, by = options$chunk_size)
  bar <- NULL
  if (options$progress && length(froms) > 1L) {
    bar <- utils::txtProgressBar(max = length(froms), style = 3)
    on.exit(close(bar))
  }
  for (i in seq_along(froms)) {
    to <- min(froms[i] + options$chunk_size - 1, region$end)
    which <- IRanges::IRangesList(IRanges::IRanges(froms[i], to))
    names(which) <- region$seqname
    param <- Rsamtools::ScanBamParam(which = which, flag = flag,
                                     mapqFilter = options$min_mapq,
                                     what = c("pos", "cigar"))
    reads <- Rsamtools::scanBam(bam, param = param)[[1L]]
    keep <- i == 1L | reads$pos >= froms[i]
    blocks <- read_blocks_of(reads$pos[keep], reads$cigar[keep], options$split)
    fun(blocks$start, blocks$end)
    if (!is.null(bar)) utils::setTxtProgressBar(bar, i)
  }
  invisible(NULL)
}

# Reference blocks of reads: split at gaps (CIGAR N), or whole spans.
# Deletions count as covered, as in GenomicAlignments' coverage().
read_blocks_of <- function(pos, cigar, split) {
  if (split) {
    blocks <- unlist(GenomicAlignments::extractAlignmentRangesOnReference(
      cigar, pos = pos), use.names = FALSE)
    list(start = IRanges::start(blocks), end = IRanges::end(blocks))
  } else {
    width <- GenomicAlignments::cigarWidthAlongReferenceSpace(cigar)
    list(start = pos, end = pos + width - 1L)
  }
}

#' Aligned blocks of the reads in a region of a BAM file
#'
#' Reads the alignments that overlap one region of an indexed BAM file and
#' returns the stretches of the reference that they cover. Spliced
#' alignments are split at their gaps (CIGAR `N`), so introns are not
#' covered; deletions (CIGAR `D`) are. Reads are filtered as coverage tools
#' do: unmapped, secondary, QC-failed and duplicate reads are left out, and
#' so are reads below `min_mapq`.
#'
#' @param file Path of a BAM file with its index (`.bai`) beside it.
#' @param seqname Name of a reference sequence of the file, such as `"chr1"`.
#' @param start,end First and last coordinate of the region, 1-based and
#'   both included.
#' @param split If `FALSE`, each read counts as one block from its first to
#'   its last aligned coordinate, gaps included.
#' @param min_mapq The lowest mapping quality kept; 0 keeps all reads.
#' @param chunk_size How many coordinates of the region are read at a time.
#' @param progress Show a progress bar while reading more than one chunk.
#' @return A data frame with integer columns `start` and `end`, one row per
#'   block that overlaps the region (blocks are not clipped to it).
#' @seealso [analyze_region()] to compute and plot coverage in one call.
#' @export
#' @examplesIf requireNamespace("Rsamtools", quietly = TRUE) && requireNamespace("GenomicAlignments", quietly = TRUE)
#' bam <- system.file("extdata", "ex1.bam", package = "Rsamtools")
#' blocks <- read_blocks(bam, "seq1", 100, 300)
#' head(blocks)
#' gcoverage(100:300, blocks$start, blocks$end)
read_blocks <- function(file, seqname, start, end, split = TRUE, min_mapq = 0,
                        chunk_size = 1e6, progress = interactive()) {
  region <- check_region(file, seqname, start, end)
  options <- check_read_options(split, min_mapq, chunk_size, progress)
  starts <- list()
  ends <- list()
  scan_region(region, options, function(s, e) {
    inside <- e >= region$start & s <= region$end
    starts[[length(starts) + 1L]] <<- s[inside]
    ends[[length(ends) + 1L]] <<- e[inside]
  })
  data.frame(start = as.integer(unlist(starts)), end = as.integer(unlist(ends)))
}

# Coverage of a region, accumulated chunk by chunk; also counts the reads.
region_coverage <- function(region, options) {
  pos <- region$start:region$end
  cov <- integer(length(pos))
  scan_region(region, options, function(s, e) {
    if (length(s) == 0L) return()
    lo <- max(region$start, min(s))
    hi <- min(region$end, max(e))
    if (lo > hi) return()
    idx <- (lo - region$start + 1L):(hi - region$start + 1L)
    cov[idx] <<- cov[idx] + .Call(C_gcoverage, lo:hi, s, e)
  })
  cov
}
