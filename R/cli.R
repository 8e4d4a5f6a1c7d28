# The command line: `tolvendra COMMAND [options] ARGS`, for pipelines.
# exec/tolvendra runs tolvendra_main() and exits with the status it
# returns. A usage error is a condition of class "tolvendra_error_usage"
# (exit 2, usage on stderr); the package's other errors are faults of the
# data (exit 1, the message on stderr).

#' Run Tolvendra's command line
#'
#' The `tolvendra` command, installed with the package as
#' `system.file("exec", "tolvendra", package = "Tolvendra")` (and linked
#' onto the `PATH` by `tools/setup.sh`), runs this function on its
#' arguments and exits with the status it returns. Its commands:
#'
#' * `tolvendra depth [options] PREFIX FILE`: mosdepth's files for one BAM
#'   or CRAM file (`PREFIX.mosdepth.global.dist.txt`,
#'   `PREFIX.mosdepth.summary.txt`, and as asked `PREFIX.regions.bed.gz`,
#'   `PREFIX.mosdepth.region.dist.txt`, `PREFIX.thresholds.bed.gz`,
#'   `PREFIX.quantized.bed.gz`, `PREFIX.per-base.bed.gz`), with mosdepth's
#'   names, columns and flags, so that MultiQC reports them.
#' * `tolvendra regions [options] PREFIX FILE...`: [analyze_samples()] over
#'   many samples, written by [export_regions()] (`PREFIX.regions.bed`,
#'   `PREFIX.regions.tsv`) with the bins' means (`PREFIX.bins.tsv`).
#' * `tolvendra features [options] PREFIX FILE...`: [summarize_features()]
#'   over the features of a BED or GTF file, one table per statistic
#'   (`PREFIX.mean.tsv`, `PREFIX.reads.tsv`, ...), features by samples.
#' * `tolvendra track [options] FILE OUT`: [export_coverage()], a bigWig,
#'   bedGraph or quantized BED track.
#'
#' `tolvendra --help` and `tolvendra COMMAND --help` say more. Reading
#' options are mosdepth's flags where they mean the same (`-Q`, `-F`, `-i`,
#' `-t`, `-f`) and the package's own (`--deletions`, `--overlap`,
#' `--fragments`, `--extend`, `--strand`), all passed to [read_options()].
#' Depth is counted the package's way by default (deletions covered, as
#' `samtools depth -J`; both mates where they overlap);
#' `--deletions uncovered --overlap proper` counts as mosdepth does. Each
#' file is written beside its path and renamed once complete. Progress is
#' shown only when standard error is a terminal.
#'
#' @param args The command's arguments, as strings.
#' @return The exit status, invisibly: 0 on success, 1 when the data are at
#'   fault (the message, naming the file and the fix, on standard error), 2
#'   on a usage error (the usage on standard error).
#' @export
#' @examples
#' tolvendra_main("--help")
#' tolvendra_main(c("depth", "--help"))
#' # a usage error returns 2
#' tolvendra_main(c("depth", "--no-such-flag"))
tolvendra_main <- function(args = commandArgs(trailingOnly = TRUE)) {
  status <- tryCatch({
    run_command(as.character(args))
    0L
  }, tolvendra_error_usage = function(e) {
    cat(conditionMessage(e), "\n", e$usage, sep = "", file = stderr())
    2L
  }, tolvendra_error = function(e) {
    cat("tolvendra: ", flag_names(conditionMessage(e)), "\n", sep = "",
        file = stderr())
    1L
  })
  invisible(status)
}

run_command <- function(args) {
  if (length(args) == 0L || args[1L] %in% c("-h", "--help")) {
    if (length(args) == 0L) usage_error("tolvendra: a command is needed.", main_usage())
    cat(main_usage(), sep = "")
    return(invisible())
  }
  if (args[1L] == "--version") {
    cat(sprintf("tolvendra (Tolvendra %s)\n", utils::packageVersion("Tolvendra")))
    return(invisible())
  }
  name <- args[1L]
  if (!name %in% names(cli_commands)) {
    usage_error(sprintf("tolvendra: %s is not a command.", encodeString(name, quote = "'")),
                main_usage())
  }
  command <- cli_commands[[name]]
  parser <- command_parser(name)
  help <- paste(utils::capture.output(optparse::print_help(parser)), collapse = "\n")
  usage <- sprintf("Usage: tolvendra %s\n`tolvendra %s --help` describes the options.\n",
                   command$usage, name)
  parsed <- tryCatch(
    optparse::parse_args(parser, args[-1L], positional_arguments = TRUE,
                         print_help_and_exit = FALSE),
    error = function(e) {
      usage_error(sprintf("tolvendra %s: %s.", name, conditionMessage(e)), usage)
    })
  if (isTRUE(parsed$options$help)) {
    cat(help, "\n", sep = "")
    return(invisible())
  }
  n <- length(parsed$args)
  if (n < command$positional[1L] || n > command$positional[2L]) {
    usage_error(sprintf("tolvendra %s: %s arguments are needed, not %d.", name,
                        if (command$positional[1L] == command$positional[2L])
                          command$positional[1L] else
                          sprintf("at least %d", command$positional[1L]), n),
                usage)
  }
  # flags are checked first: their errors are usage errors
  settings <- tryCatch(command_function(name, "check_%s")(parsed$options, parsed$args),
                       tolvendra_error_arg = function(e) {
                         usage_error(sprintf("tolvendra %s: %s", name,
                                             flag_names(conditionMessage(e))), usage)
                       })
  command_function(name, "run_%s")(settings)
  invisible()
}

command_function <- function(name, pattern) {
  get(sprintf(pattern, name), mode = "function")
}

usage_error <- function(message, usage) {
  abort(message, "tolvendra_error_usage", NULL, usage = usage)
}

main_usage <- function() {
  width <- max(nchar(names(cli_commands)))
  paste0("Usage: tolvendra COMMAND [options] ARGS\n\nCommands:\n",
         paste0(sprintf("  %-*s  %s\n", width, names(cli_commands),
                        vapply(cli_commands, `[[`, "", "summary")), collapse = ""),
         "\n`tolvendra COMMAND --help` describes a command; ",
         "`tolvendra --version` prints the version.\n",
         "Exit status: 0 on success, 1 when the data are at fault, 2 on a usage error.\n")
}

command_parser <- function(name) {
  command <- cli_commands[[name]]
  optparse::OptionParser(
    usage = sprintf("%%prog %s", command$usage), prog = "tolvendra",
    option_list = c(command_function(name, "%s_flags")(), reading_flags()),
    description = command$summary, epilogue = command$epilogue)
}

# ---- reading options ---------------------------------------------------

# The flags of read_options(), mosdepth's letters where they mean the same.
reading_flags <- function() {
  o <- optparse::make_option
  list(
    o(c("-Q", "--mapq"), default = "0", metavar = "MAPQ",
      help = "Leave out reads of a mapping quality below MAPQ [%default]."),
    o(c("-F", "--flag"), default = "1796", metavar = "FLAG",
      help = paste("Leave out reads with any of the bits of FLAG set",
                   "[%default: unmapped, secondary, QC-failed, duplicate].")),
    o(c("-i", "--include-flag"), default = "0", metavar = "FLAG",
      help = paste("Count only reads with all the bits of FLAG set",
                   "(mosdepth's -i: any of them) [%default].")),
    o(c("-t", "--threads"), default = "0", metavar = "N",
      help = "Decompression threads beside the reading one, as mosdepth's -t [%default]."),
    o(c("-f", "--fasta"), type = "character", default = NULL, metavar = "FASTA",
      help = "The reference FASTA of a CRAM file, indexed (samtools faidx)."),
    o("--deletions", default = "covered", metavar = "HOW",
      help = paste("covered, or uncovered: whether a read's deletions (CIGAR D)",
                   "count, as samtools depth -J, or not, as mosdepth [%default].")),
    o("--overlap", default = "count", metavar = "MODE",
      help = paste("count, once or proper: once counts a base two records of a",
                   "template cover once (samtools depth -s), proper does so for",
                   "proper pairs' mates (mosdepth) [%default].")),
    o("--fragments", action = "store_true", default = FALSE,
      help = "Count each proper pair's whole fragment (bedtools genomecov -pc)."),
    o("--extend", type = "character", default = NULL, metavar = "N",
      help = "Extend each read to N bases along its strand (bedtools -fs N)."),
    o("--strand", default = "both", metavar = "STRAND",
      help = "both, + or -: count only fragments on this strand (bedtools -strand -du) [%default]."))
}

# The flags that stand for the R functions' arguments, for messages.
flag_of_option <- c(min_mapq = "-Q/--mapq", exclude_flags = "-F/--flag",
                    include_flags = "-i/--include-flag",
                    threads = "-t/--threads", reference = "-f/--fasta",
                    deletions = "--deletions", overlap = "--overlap",
                    fragments = "--fragments",
                    extend = "--extend", strand = "--strand",
                    normalize = "--normalize", genome_size = "--genome-size",
                    where = "--where", width = "-w/--width",
                    threshold = "--threshold", minlen = "--minlen",
                    quantize = "-q/--quantize", stats = "--stats",
                    thresholds = "-T/--thresholds", relative = "--relative")

# A message about options of the R functions, in the flags' names.
flag_names <- function(message) {
  for (option in names(flag_of_option)) {
    message <- gsub(sprintf("`%s`", option),
                    sprintf("`%s`", flag_of_option[[option]]), message,
                    fixed = TRUE)
  }
  message
}

# The reading options that the flags ask for, made by read_options().
cli_read_options <- function(flags) {
  read_options(
    min_mapq = flag_number(flags$mapq, "-Q/--mapq"),
    exclude_flags = flag_number(flags$flag, "-F/--flag"),
    include_flags = flag_number(flags$`include-flag`, "-i/--include-flag"),
    threads = flag_number(flags$threads, "-t/--threads") + 1,
    reference = flags$fasta, deletions = flags$deletions,
    overlap = flags$overlap,
    fragments = flags$fragments,
    extend = if (!is.null(flags$extend)) flag_number(flags$extend, "--extend"),
    strand = flags$strand, progress = isatty(stderr()))
}

# A flag's value as a number, checked by the function it goes to.
flag_number <- function(x, flag) {
  if (is.null(x)) return(NULL)
  value <- suppressWarnings(as.numeric(x))
  if (length(value) != 1L || is.na(value)) {
    abort_arg(sprintf("`%s` must be a number, not %s.", flag, describe(x)),
              NULL, flag)
  }
  value
}

# Whole numbers separated by commas, such as "1,10,20".
flag_numbers <- function(x, flag) {
  if (is.null(x)) return(NULL)
  vapply(strsplit(x, ",", fixed = TRUE)[[1L]], flag_number, 0, flag = flag,
         USE.NAMES = FALSE)
}

flag_choice <- function(x, choices, flag) check_choice(x, choices, flag, NULL)

# ---- samples -----------------------------------------------------------

sample_flags <- function() {
  o <- optparse::make_option
  list(
    o(c("-s", "--samples"), type = "character", default = NULL, metavar = "TSV",
      help = paste("A tab-separated table of the samples with columns 'sample'",
                   "and 'file' (paths from the working folder) and any",
                   "annotations, in place of FILE...")),
    o(c("-p", "--processes"), default = "1", metavar = "N",
      help = "Samples' tasks run in N processes (BiocParallel) [%default]."))
}

# The samples of a many-sample command: the files named after PREFIX, or
# the table of --samples.
cli_samples <- function(flags, files) {
  if (!is.null(flags$samples)) {
    if (length(files) > 0L) {
      abort_arg("`--samples` and FILE... cannot be used together.", NULL)
    }
    return(list(table = flags$samples))
  }
  if (length(files) == 0L) {
    abort_arg("FILE... or `--samples` must name the samples' files.", NULL)
  }
  list(files = files)
}

# The samples as the R functions take them; reading the table of
# --samples is part of the work (a missing table is a fault of the data).
sample_files <- function(samples) {
  if (is.null(samples$table)) return(samples$files)
  path <- samples$table
  if (!file.exists(path) || dir.exists(path)) {
    abort_arg(sprintf("`--samples` must be an existing tab-separated file; %s does not exist.",
                      describe(path)), NULL, "--samples")
  }
  utils::read.delim(path, colClasses = "character", check.names = FALSE)
}

back_end <- function(processes) {
  if (processes > 1) BiocParallel::MulticoreParam(processes) else
    BiocParallel::SerialParam()
}

# A table of numbers by row written as a tab-separated file with a header.
write_tsv <- function(path, labels, numbers) {
  text <- matrix(format_numbers(numbers), nrow(numbers))
  lines <- do.call(paste, c(unname(as.list(labels)),
                            lapply(seq_len(ncol(text)), function(j) text[, j]),
                            sep = "\t"))
  header <- paste(c(names(labels), colnames(numbers)), collapse = "\t")
  write_atomic(path, function(tmp) writeLines(c(header, lines), tmp))
}

# Normalization and targets, as analyze_samples() and export_coverage()
# take them; `what` the command does with the targets.
scale_flags <- function(what) {
  o <- optparse::make_option
  list(
    o("--normalize", default = "none", metavar = "HOW",
      help = paste("none, cpm, rpgc, or scale factors (one per sample, by",
                   "commas): depth as counted, per million reads, per 1x",
                   "genome coverage, or times the factors [%default].")),
    o("--genome-size", type = "character", default = NULL, metavar = "N",
      help = "With --normalize rpgc: the genome's effective size."),
    o("--where", type = "character", default = NULL, metavar = "BED|REGION",
      help = sprintf("A BED file, a sequence or chr:start-end to %s [everything].",
                     what)))
}

# --normalize: a name, or numbers for scale factors.
flag_normalize <- function(x) {
  if (grepl("^[0-9.eE+,-]+$", x)) return(flag_numbers(x, "--normalize"))
  flag_choice(x, c("none", "cpm", "rpgc"), "--normalize")
}

# ---- regions -----------------------------------------------------------

regions_flags <- function() {
  o <- optparse::make_option
  c(sample_flags(), list(
    o(c("-w", "--width"), default = "1000", metavar = "N",
      help = "Bin width [%default]."),
    o("--threshold", default = "10", metavar = "DEPTH",
      help = "Regions reach this mean depth across samples [%default]."),
    o("--minlen", default = "0", metavar = "N",
      help = "Regions span more than N positions [%default].")),
    scale_flags("cover"))
}

check_regions <- function(flags, args) {
  list(prefix = args[1L], samples = cli_samples(flags, args[-1L]),
       width = flag_number(flags$width, "--width"),
       threshold = flag_number(flags$threshold, "--threshold"),
       minlen = flag_number(flags$minlen, "--minlen"),
       normalize = flag_normalize(flags$normalize),
       genome_size = flag_number(flags$`genome-size`, "--genome-size"),
       where = flags$where, BPPARAM = back_end(flag_number(flags$processes, "--processes")),
       options = cli_read_options(flags))
}

# analyze_samples()'s values, its regions written as export_regions()
# writes them and its bins' means beside them, without building its
# Bioconductor objects.
run_regions <- function(s) {
  x <- samples_values(sample_files(s$samples), s$where, s$width, s$threshold,
                      s$minlen, s$normalize, s$genome_size, s$BPPARAM,
                      s$options, list(), NULL)
  seqnames <- x$study$targets$seqname
  names <- x$study$samples$sample
  regions <- x$pass$regions
  width <- regions$end - regions$start + 1
  rows <- data.frame(seqnames = seqnames[regions$target], start = regions$start,
                     end = regions$end, width = width, pooled = x$pooled)
  means <- x$pass$region_sums / width
  colnames(means) <- names
  write_regions(paste0(s$prefix, ".regions.bed"), "bed", rows, means)
  write_regions(paste0(s$prefix, ".regions.tsv"), "tsv", rows, means)
  bins <- x$bins
  write_tsv(paste0(s$prefix, ".bins.tsv"),
            data.frame(seqname = seqnames[bins$target],
                       start = sprintf("%.0f", bins$start),
                       end = sprintf("%.0f", bins$end),
                       width = sprintf("%.0f", bins$width)),
            `colnames<-`(x$pass$sums / bins$width, names))
}

# ---- features ----------------------------------------------------------

features_flags <- function() {
  o <- optparse::make_option
  c(sample_flags(), list(
    o("--features", type = "character", default = NULL, metavar = "BED|GTF",
      help = paste("The features: a BED file (its 4th column names them) or",
                   "a GTF file (.gtf or .gtf.gz), whose features are the",
                   "unions of the --type records of each --id.")),
    o("--type", default = "exon", metavar = "TYPE",
      help = "GTF records that make the features [%default]."),
    o("--id", default = "gene_id", metavar = "ATTRIBUTE",
      help = "GTF attribute that names the features [%default]."),
    o("--stats", default = "mean,sum", metavar = "LIST",
      help = "Statistics among mean, sum, median, min, max, sd [%default]."),
    o(c("-T", "--thresholds"), type = "character", default = NULL, metavar = "LIST",
      help = "Depths: the positions at least each deep, as mosdepth -T."),
    o("--relative", type = "character", default = NULL, metavar = "LIST",
      help = "Fractions of the sample's mean depth: the fraction of positions at least that deep."),
    o("--reads", action = "store_true", default = FALSE,
      help = "Count the reads touching each feature (PREFIX.reads.tsv, for DESeq2 or edgeR).")))
}

check_features <- function(flags, args) {
  if (is.null(flags$features)) abort_arg("`--features` must name a BED or GTF file.", NULL)
  list(prefix = args[1L], samples = cli_samples(flags, args[-1L]),
       features = flags$features, type = flags$type, id = flags$id,
       stats = strsplit(flags$stats, ",", fixed = TRUE)[[1L]],
       thresholds = flag_numbers(flags$thresholds, "-T/--thresholds"),
       relative = flag_numbers(flags$relative, "--relative"),
       reads = flags$reads,
       BPPARAM = back_end(flag_number(flags$processes, "--processes")),
       options = cli_read_options(flags))
}

# summarize_features()'s values, one table of features by samples per
# statistic, without building its Bioconductor objects.
run_features <- function(s) {
  features <- if (grepl("\\.gtf(\\.gz)?$", s$features, ignore.case = TRUE)) {
    read_gtf(s$features, s$type, s$id)
  } else {
    s$features
  }
  x <- feature_values(sample_files(s$samples), features, s$stats,
                      s$thresholds, s$relative, s$reads, s$BPPARAM, s$options,
                      list(), NULL)
  for (assay in names(x$assays)) {
    write_tsv(paste0(s$prefix, ".", assay, ".tsv"),
              data.frame(feature = x$parsed$names), x$assays[[assay]])
  }
}

# The features of a GTF file: for each value of attribute `id`, the union
# of its records of type `type`, as a GRangesList.
read_gtf <- function(path, type, id) {
  if (!file.exists(path)) {
    abort_arg(sprintf("`--features` must be an existing file; %s does not exist.",
                      describe(path)), NULL, "--features")
  }
  lines <- readLines(path, warn = FALSE)
  fields <- strsplit(lines[!startsWith(lines, "#") & nzchar(lines)], "\t", fixed = TRUE)
  fields <- fields[lengths(fields) >= 9L]
  column <- function(k) vapply(fields, `[`, "", k)
  kept <- column(3L) == type
  pattern <- sprintf('(^|;)\\s*%s "([^"]*)"', id)
  attributes <- column(9L)[kept]
  names <- ifelse(grepl(pattern, attributes),
                  sub(sprintf(".*%s.*", pattern), "\\2", attributes), NA)
  if (!any(kept) || anyNA(names)) {
    abort_arg(sprintf(paste0(
      "`--features` must be a GTF file whose %s records each have a %s ",
      "attribute; %s has %s."), type, id, describe(path),
      if (!any(kept)) sprintf("no %s records", type) else
        sprintf("one without it on its %s record %d", type, which(is.na(names))[1L])),
      NULL, "--features")
  }
  ranges <- GenomicRanges::GRanges(column(1L)[kept], IRanges::IRanges(
    as.numeric(column(4L)[kept]), as.numeric(column(5L)[kept])))
  S4Vectors::split(ranges, factor(names, unique(names)))
}

# ---- track -------------------------------------------------------------

track_flags <- function() {
  o <- optparse::make_option
  c(list(
    o("--format", type = "character", default = NULL, metavar = "FORMAT",
      help = paste("bigWig, bedGraph or bed (quantized) [from OUT's extension:",
                   ".bw, .bigWig, .bedGraph, .bg, .bed].")),
    o(c("-q", "--quantize"), default = "0,1,5,150", metavar = "LIST",
      help = "With --format bed: ascending depths that cut the depth into bins [%default].")),
    scale_flags("write"))
}

check_track <- function(flags, args) {
  format <- flags$format %||% {
    known <- c(bw = "bigWig", bigwig = "bigWig", bedgraph = "bedGraph",
               bg = "bedGraph", bed = "bed")
    extension <- tolower(sub(".*\\.", "", args[2L]))
    if (!extension %in% names(known)) {
      abort_arg(sprintf("`--format` must be given for %s, whose extension is none of %s.",
                        describe(args[2L]), paste0(".", names(known), collapse = ", ")),
                NULL)
    }
    known[[extension]]
  }
  list(file = args[1L], path = args[2L],
       format = flag_choice(format, c("bigWig", "bedGraph", "bed"), "--format"),
       normalize = flag_normalize(flags$normalize),
       genome_size = flag_number(flags$`genome-size`, "--genome-size"),
       where = flags$where,
       quantize = flag_numbers(flags$quantize, "-q/--quantize"),
       options = cli_read_options(flags))
}

run_track <- function(s) {
  export_coverage(s$file, s$path, s$format, where = s$where,
                  normalize = s$normalize, genome_size = s$genome_size,
                  quantize = s$quantize, options = s$options)
}

# ---- the commands ------------------------------------------------------

counting_note <- paste(
  "Depth counts every aligned base of the reads kept, deletions (CIGAR D)",
  "included and introns (N) not, as samtools depth -J, and both mates of a",
  "pair where they overlap; --deletions uncovered --overlap proper counts as",
  "mosdepth does.")

# Each command `x` has its flags from x_flags(), checks them into settings
# with check_x(flags, args) and runs with run_x(settings).
cli_commands <- list(
  depth = list(
    summary = "mosdepth's files for one BAM or CRAM file, for MultiQC.",
    usage = "depth [options] PREFIX FILE", positional = c(2L, 2L),
    epilogue = paste(
      "Writes PREFIX.mosdepth.global.dist.txt, PREFIX.mosdepth.summary.txt,",
      "PREFIX.per-base.bed.gz (unless -n) and with -b PREFIX.regions.bed.gz and",
      "PREFIX.mosdepth.region.dist.txt, with -T PREFIX.thresholds.bed.gz, with -q",
      "PREFIX.quantized.bed.gz: mosdepth's files, names and columns (gzip, not",
      "bgzip). Numbers have MOSDEPTH_PRECISION decimals [2].", counting_note)),
  regions = list(
    summary = "Bins and mean-threshold regions across many samples.",
    usage = "regions [options] PREFIX [FILE...]", positional = c(1L, Inf),
    epilogue = paste(
      "Writes PREFIX.regions.bed (BED6+N: pooled mean, then each sample's mean),",
      "PREFIX.regions.tsv (regions x samples) and PREFIX.bins.tsv (bins x",
      "samples, mean depths), as analyze_samples() and export_regions() make",
      "them. Samples are named after their files.", counting_note)),
  features = list(
    summary = "Per-sample statistics and read counts of features.",
    usage = "features [options] --features BED|GTF PREFIX [FILE...]",
    positional = c(1L, Inf),
    epilogue = paste(
      "Writes PREFIX.<statistic>.tsv for each statistic (features x samples),",
      "as summarize_features() computes them; PREFIX.reads.tsv is a count",
      "table for DESeq2 or edgeR.", counting_note)),
  track = list(
    summary = "A BAM or CRAM file's depth as a bigWig, bedGraph or quantized BED track.",
    usage = "track [options] FILE OUT", positional = c(2L, 2L),
    epilogue = paste("Writes OUT as export_coverage() does; --strand + and",
                     "--strand - write a stranded library's two tracks.",
                     counting_note))
)
