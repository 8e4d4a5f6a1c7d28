#' Write the coverage of a BAM file as a genome browser track
#'
#' Computes the per-base coverage of every sequence of a BAM (or CRAM) file,
#' or of the targets in `where`, and writes it as a bedGraph or bigWig
#' track: runs of positions with equal depth, zero depth included, as
#' `bedtools genomecov -bga -split` writes them. Sequences are read one at a
#' time, so memory follows the longest sequence (or target), not the genome.
#'
#' bedGraph coordinates are 0-based and half-open: a run over positions 11
#' to 20 is written `10 20`. A bigWig file is made from that bedGraph by
#' rtracklayer (a suggested package); it stores values in single precision.
#' Targets in a bigWig file must not overlap; they are written sorted.
#'
#' @param file Path of an indexed BAM or CRAM file.
#' @param path Path of the track to write.
#' @param format `"bigWig"` or `"bedGraph"`.
#' @param where What to write, as for [analyze_samples()]: `NULL` for every
#'   sequence, sequence names, `"chr:start-end"` strings, a data frame, a
#'   `GRanges` or a BED file.
#' @param normalize `"none"` writes the read depth; `"cpm"` the depth per
#'   million mapped reads of the file.
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
#' if (requireNamespace("rtracklayer", quietly = TRUE)) {
#'   bw <- tempfile(fileext = ".bw")
#'   export_coverage(bam, bw, normalize = "cpm")
#'   rtracklayer::import(bw)
#' }
export_coverage <- function(file, path, format = c("bigWig", "bedGraph"),
                            where = NULL, normalize = c("none", "cpm"),
                            options = read_options(), ...) {
  call <- sys.call()
  options <- reading_options(options, list(...), call)
  source <- check_alignments(file, call = call)
  check_string(path, "path", call)
  format <- check_choice(format, c("bigWig", "bedGraph"), "format", call)
  normalize <- check_choice(normalize, c("none", "cpm"), "normalize", call)
  lengths <- seq_lengths(source$file, source$index, call = call)
  targets <- check_where(where, lengths, "where", call)
  if (format == "bigWig") {
    check_installed("rtracklayer", call)
    targets <- check_disjoint(targets, lengths, call)
  }
  factor <- if (normalize == "cpm") 1e6 / mapped_reads(source, options, call = call) else 1

  bedgraph <- if (format == "bigWig") tempfile(fileext = ".bedGraph") else path
  con <- file(bedgraph, "w")
  # a group of targets at a time, so that memory follows the group
  for (g in target_groups(targets, ceiling(sum(as.double(targets$end) -
                                                 targets$start + 1) / 64e6))) {
    x <- engine_run(list(source), options, targets[g, ], keep = TRUE,
                    call = call)
    write_runs(x$runs, targets[g, ], factor, con)
  }
  close(con)
  if (format == "bigWig") {
    on.exit(unlink(bedgraph))
    seqinfo <- GenomicRanges::seqinfo(GenomicRanges::GRanges(
      seqlengths = stats::setNames(as.integer(lengths), names(lengths))))
    rtracklayer::wigToBigWig(bedgraph, seqinfo, dest = path)
  }
  invisible(path)
}

# Writes the targets' runs of depth as bedGraph lines, 0-based half-open,
# the depth multiplied by `factor`.
write_runs <- function(runs, targets, factor, con) {
  starts <- lapply(runs, `[[`, "start")
  ends <- unlist(Map(function(s, e) c(s[-1L] - 1, e), starts, targets$end))
  values <- unlist(lapply(runs, `[[`, "value"))
  writeLines(sprintf("%s\t%.0f\t%.0f\t%s",
                     rep(targets$seqname, lengths(starts)),
                     unlist(starts) - 1, ends, as.character(values * factor)),
             con)
}

# Targets sorted along the file's sequences; they must not overlap.
check_disjoint <- function(targets, lengths, call) {
  targets <- targets[order(match(targets$seqname, names(lengths)),
                           targets$start), ]
  same <- targets$seqname[-1L] == targets$seqname[-nrow(targets)]
  overlap <- which(same & targets$start[-1L] <= targets$end[-nrow(targets)])
  if (length(overlap) > 0L) {
    i <- overlap[1L]
    abort_arg(sprintf(paste0(
      "`where` must not hold overlapping targets for a bigWig file; ",
      "%s:%d-%d overlaps %s:%d-%d."),
      targets$seqname[i], targets$start[i], targets$end[i],
      targets$seqname[i + 1L], targets$start[i + 1L], targets$end[i + 1L]),
      call)
  }
  targets
}

#' Write the regions found in many samples
#'
#' Writes the regions of an [analyze_samples()] result with the mean
#' coverage of each sample over each region: as a BED file (0-based
#' half-open coordinates; columns `chrom`, `start`, `end`, `name`, the
#' `pooled` mean across samples, then one column per sample, named in a
#' `#` header line) or as a tab-separated table with a header (1-based
#' coordinates, both ends included, and the width).
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
  if (!inherits(x, "tolvendra_samples")) {
    abort_arg(sprintf("`x` must be the result of analyze_samples(), not %s.",
                      describe(x)), sys.call())
  }
  check_string(path, "path")
  format <- check_choice(format, c("bed", "tsv"), "format")
  rows <- row_table(x$regions)
  means <- SummarizedExperiment::assay(x$regions, "mean")
  table <- data.frame(seqname = as.character(rows$seqnames),
                      start = rows$start, end = rows$end,
                      width = rows$width, pooled = rows$pooled, means,
                      check.names = FALSE)
  if (format == "bed") {
    table$start <- table$start - 1L
    table$width <- NULL
    table <- cbind(table[1:3],
                   name = sprintf("%s:%d-%d", table$seqname, rows$start,
                                  rows$end),
                   table[-(1:3)])
    writeLines(paste0("#", paste(c("chrom", names(table)[-1L]),
                                 collapse = "\t")), path)
  }
  utils::write.table(table, path, sep = "\t", quote = FALSE,
                     row.names = FALSE, col.names = format == "tsv",
                     append = format == "bed")
  invisible(path)
}
