#' Write the coverage of a BAM file as a genome browser track
#'
#' Computes the per-base coverage of every sequence of a BAM (or CRAM) file,
#' or of the targets in `where`, and writes it as a bedGraph or bigWig
#' track: runs of positions with equal depth, zero depth included. Sequences
#' are read one at a time, so memory follows the longest sequence (or
#' target), not the genome.
#'
#' The depth is that of `samtools depth -a -J` with the same filters
#' (`-Q` as `min_mapq`; `exclude_flags` defaults to the flags samtools
#' depth leaves out, 1796): deletions (CIGAR `D`) count as covered, introns
#' (`N`) do not, and unmapped, secondary, QC-failed and duplicate reads are
#' left out. With `deletions = "uncovered"` it equals
#' `bedtools genomecov -bga -split` after the same flag filter
#' (`samtools view -F 1796`): bedtools leaves deletions uncovered and
#' filters no flags.
#'
#' bedGraph coordinates are 0-based and half-open: a run over positions 11
#' to 20 is written `10 20`. Depths are written as whole numbers in full
#' (`100000`); normalized depths with 6 significant digits, never in
#' scientific notation. A bigWig file is made from that bedGraph by
#' rtracklayer (a suggested package); it stores values in single precision.
#' Targets are written sorted along the file's sequences; overlapping ones
#' are merged, with a warning (see `where` in [analyze_samples()]).
#'
#' The track is written to a temporary file beside `path` and renamed to
#' `path` once complete: an error or an interrupt leaves no file at `path`
#' (nor replaces one that was there) and no temporary file behind.
#'
#' Reads are counted as the reading options say ([read_options()]): with
#' `strand = "+"` and then `strand = "-"`, two calls write the two strands
#' of a stranded library as two tracks.
#'
#' @param file Path of an indexed BAM or CRAM file.
#' @param path Path of the track to write.
#' @param format `"bigWig"`, `"bedGraph"` or `"bed"`, the last for the
#'   depth in bins of `quantize`.
#' @param quantize With `format = "bed"`: ascending depths that cut the
#'   depth into bins. Runs of positions whose depth falls in one bin are
#'   written as one BED line labelled `lo:hi` (`lo` <= depth < `hi`; the
#'   last bin `lo:inf`), as `mosdepth -q 0:1:5:150:` writes its quantized
#'   file (uncompressed here). Positions below the first depth are left
#'   out.
#' @param where What to write, as for [analyze_samples()]: `NULL` for every
#'   sequence, sequence names, `"chr:start-end"` strings, a data frame, a
#'   `GRanges` or a BED file.
#' @param normalize `"none"` writes the read depth; `"cpm"` the depth per
#'   million reads of the file's library, `"rpgc"` per 1x genome coverage,
#'   or a number, a scale factor that multiplies the depth, as for
#'   [analyze_samples()]. The library must have reads.
#' @param genome_size With `normalize = "rpgc"`, as for [analyze_samples()].
#' @inheritParams read_blocks
#' @return `path`, invisibly.
#' @seealso [export_regions()] writes the regions that [analyze_samples()]
#'   found.
#' @export
#' @examplesIf requireNamespace("Rsamtools", quietly = TRUE)
#' bam <- system.file("extdata", "ex1.bam", package = "Rsamtools")
#' track <- tempfile(fileext = ".bedGraph")
#' export_coverage(bam, track, format = "bedGraph", where = "seq1:1-300")
#' head(readLines(track))
#' # Callable bins: no reads, 1 to 4, 5 to 149, 150 or more
#' bins <- tempfile(fileext = ".bed")
#' export_coverage(bam, bins, format = "bed", quantize = c(0, 1, 5, 150))
#' head(readLines(bins))
#' if (requireNamespace("rtracklayer", quietly = TRUE)) {
#'   bw <- tempfile(fileext = ".bw")
#'   export_coverage(bam, bw, normalize = "cpm")
#'   rtracklayer::import(bw)
#' }
export_coverage <- function(file, path,
                            format = c("bigWig", "bedGraph", "bed"),
                            where = NULL, normalize = c("none", "cpm", "rpgc"),
                            genome_size = NULL, quantize = c(0, 1, 5, 150),
                            options = read_options(), ...) {
  call <- sys.call()
  options <- reading_options(options, list(...), call)
  source <- check_alignments(file, call = call)
  check_output_path(path, "path", call)
  format <- check_choice(format, c("bigWig", "bedGraph", "bed"), "format",
                         call)
  if (format == "bed") {
    quantize <- check_cuts(quantize, call)
    if (!identical(normalize, "none") && !identical(normalize, eval(formals()$normalize))) {
      abort_arg(paste0("`normalize` must be \"none\" with format = \"bed\", ",
                       "whose bins are of read depth."), call, "normalize")
    }
  }
  lengths <- seq_lengths(source$file, source$index, call = call) |>
    check_sequences(file, "file", call)
  # a track's lines in the order of the file's sequences, each position once
  targets <- merge_targets(check_where(where, lengths, "where", call), lengths,
                           "where", call) |>
    sort_targets(lengths)
  if (format == "bigWig") check_installed("rtracklayer", call)
  study <- list(samples = data.frame(sample = describe(file)),
                sources = list(source), options = options)
  factor <- normalize_study(study, normalize, genome_size, call,
                            "file")$samples$scale_factor

  write_atomic(path, function(tmp) {
    if (format != "bigWig") {
      return(write_track_lines(tmp, source, targets, format, quantize, factor,
                               options, call))
    }
    # beside the track, on the disk that must hold it
    bedgraph <- paste0(tmp, ".bedGraph")
    on.exit(unlink(bedgraph))
    write_track_lines(bedgraph, source, targets, "bedGraph", quantize, factor,
                      options, call)
    seqinfo <- GenomicRanges::seqinfo(GenomicRanges::GRanges(
      seqlengths = stats::setNames(as.integer(lengths), names(lengths))))
    rtracklayer::wigToBigWig(bedgraph, seqinfo, dest = tmp)
  })
  invisible(path)
}

# Writes the depth of a source over sorted targets as bedGraph lines
# (scaled by `factor`), or as quantized BED lines for format "bed", a group
# of targets at a time, so that memory follows the group.
write_track_lines <- function(path, source, targets, format, quantize, factor,
                              options, call) {
  groups <- target_groups(targets, ceiling(sum(as.double(targets$end) -
                                                 targets$start + 1) / 64e6))
  write_lines_to(path, function(con) {
    for (g in groups) {
      x <- engine_run(list(source), options, targets[g, ], keep = "runs",
                      quantize = if (format == "bed") quantize, call = call)
      if (format == "bed") {
        write_bins(x$runs[, 1L], targets[g, ], quantize, con)
      } else {
        write_runs(x$runs[, 1L], targets[g, ], factor, con)
      }
    }
  })
}

# Writes the targets' runs of depth as bedGraph lines, 0-based half-open,
# the depth multiplied by `factor`.
write_runs <- function(runs, targets, factor, con) {
  starts <- lapply(runs, `[[`, "start")
  ends <- unlist(Map(function(s, e) c(s[-1L] - 1, e), starts, targets$end))
  values <- unlist(lapply(runs, `[[`, "value"))
  writeLines(sprintf("%s\t%.0f\t%.0f\t%s",
                     rep(targets$seqname, lengths(starts)),
                     unlist(starts) - 1, ends, format_numbers(values * factor)),
             con)
}

# Writes runs of depth bins (as quantize_runs() numbers them) as BED lines
# labelled "lo:hi", the last bin "lo:inf"; positions below the first cut
# are left out.
write_bins <- function(runs, targets, cuts, con) {
  starts <- lapply(runs, `[[`, "start")
  ends <- unlist(Map(function(s, e) c(s[-1L] - 1, e), starts, targets$end))
  bins <- unlist(lapply(runs, `[[`, "value"))
  labels <- paste0(cuts, ":", c(cuts[-1L], "inf"))
  kept <- bins >= 0L
  writeLines(sprintf("%s\t%.0f\t%.0f\t%s",
                     rep(targets$seqname, lengths(starts))[kept],
                     unlist(starts)[kept] - 1, ends[kept],
                     labels[bins[kept] + 1L]), con)
}

# Depths that cut a track into bins: distinct, ascending, non-negative.
check_cuts <- function(x, call) {
  ok <- is.numeric(x) && !is.object(x) && length(x) >= 1L && !anyNA(x) &&
    all(is.finite(x)) && all(x == trunc(x)) && all(x >= 0) &&
    all(x <= .Machine$integer.max) && !is.unsorted(x, strictly = TRUE)
  if (!ok) {
    abort_arg(sprintf(paste0(
      "`quantize` must be ascending non-negative whole depths, such as ",
      "c(0, 1, 5, 150), not %s."), describe(x)), call, "quantize")
  }
  as.integer(x)
}

#' Write the regions found in many samples
#'
#' Writes the regions of an [analyze_samples()] result with the mean
#' coverage of each sample over each region, as a BED file or as a
#' tab-separated table.
#'
#' The BED file is BED6+N, which genome browsers, `bedtools` and
#' `rtracklayer::import()` read: 0-based half-open coordinates, the
#' standard columns `chrom`, `chromStart`, `chromEnd`, `name`
#' (`"chr:start-end"`, 1-based), `score` (always 0) and `strand` (always
#' `.`), then the extra columns `pooled`, the mean across samples, and one
#' per sample, named in a `#` header line. `rtracklayer::import(path,
#' format = "bed", extraCols = c(pooled = "numeric", s1 = "numeric", ...))`
#' reads them back. The table has a header, 1-based coordinates with both
#' ends included, and the width.
#'
#' Means are written with 6 significant digits (whole numbers in full),
#' never in scientific notation. The file is written beside `path` and
#' renamed once complete, so that an error leaves no partial file.
#'
#' @param x The result of [analyze_samples()].
#' @param path Path of the file to write.
#' @param format `"bed"` or `"tsv"`.
#' @return `path`, invisibly.
#' @export
#' @examplesIf requireNamespace("Rsamtools", quietly = TRUE)
#' bam <- system.file("extdata", "ex1.bam", package = "Rsamtools")
#' x <- analyze_samples(c(ex1 = bam), threshold = 45, minlen = 20)
#' bed <- tempfile(fileext = ".bed")
#' export_regions(x, bed)
#' readLines(bed)
export_regions <- function(x, path, format = c("bed", "tsv")) {
  call <- sys.call()
  if (!inherits(x, "tolvendra_samples")) {
    abort_arg(sprintf("`x` must be the result of analyze_samples(), not %s.",
                      describe(x)), call)
  }
  check_output_path(path, "path", call)
  format <- check_choice(format, c("bed", "tsv"), "format", call)
  write_regions(path, format, row_table(x$regions),
                SummarizedExperiment::assay(x$regions, "mean"))
  invisible(path)
}

# export_regions()'s file from the regions (a data frame with seqnames,
# start, end, width and pooled) and their means by sample.
write_regions <- function(path, format, rows, means) {
  numbers <- cbind(pooled = rows$pooled, means)
  text <- matrix(format_numbers(numbers), nrow(numbers),
                 dimnames = list(NULL, colnames(numbers)))
  seqname <- as.character(rows$seqnames)
  if (format == "bed") {
    table <- data.frame(chrom = seqname,
                        chromStart = sprintf("%.0f", rows$start - 1),
                        chromEnd = sprintf("%.0f", rows$end),
                        name = sprintf("%s:%.0f-%.0f", seqname, rows$start,
                                       rows$end),
                        score = rep("0", nrow(rows)),
                        strand = rep(".", nrow(rows)), text,
                        check.names = FALSE)
    header <- paste0("#", paste(names(table), collapse = "\t"))
  } else {
    table <- data.frame(seqname = seqname,
                        start = sprintf("%.0f", rows$start),
                        end = sprintf("%.0f", rows$end),
                        width = sprintf("%.0f", rows$width),
                        text, check.names = FALSE)
    header <- paste(names(table), collapse = "\t")
  }
  lines <- do.call(paste, c(unname(as.list(table)), sep = "\t"))
  write_atomic(path, function(tmp) writeLines(c(header, lines), tmp))
}
