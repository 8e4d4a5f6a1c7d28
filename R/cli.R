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
#'   `PREFIX.quantized.bed.gz`, `PREFIX.per-base.bed.gz`, each BGZF with
#'   its CSI index `.csi` for `tabix`), with mosdepth's names, columns and
#'   flags, so that MultiQC reports them.
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
  as_usage <- function(e) {
    usage_error(sprintf("tolvendra %s: %s", name, flag_names(conditionMessage(e))),
                usage)
  }
  # flags are checked first: their errors are usage errors, as are those
  # of flags checked against the samples or sequences once known
  settings <- tryCatch(command_function(name, "check_%s")(parsed$options, parsed$args),
                       tolvendra_error_arg = as_usage)
  tryCatch(command_function(name, "run_%s")(settings),
           tolvendra_error_flag = as_usage)
  invisible()
}

# expr, a check of flags against what the input holds (its samples, its
# sequences), made before any reading: its errors are usage errors.
flag_checked <- function(expr) {
  tryCatch(expr, tolvendra_error_arg = function(e) {
    class(e) <- c("tolvendra_error_flag", class(e))
    stop(e)
  })
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
    o(c("-t", "--threads"), type = "character", default = NULL, metavar = "N",
      help = paste("Threads beside the first, as mosdepth's -t: a long sequence is",
                   "read in N + 1 stretches at once [default: read_options()'s",
                   "threads - 1, so 1 on two cores or more]")),
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
    threads = if (is.null(flags$threads)) default_threads() else
      flag_number(flags$threads, "-t/--threads") + 1,
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
      "PREFIX.quantized.bed.gz: mosdepth's files, names and columns, the .bed.gz",
      "files BGZF with a CSI index (.csi) for tabix. Numbers have",
      "MOSDEPTH_PRECISION decimals [2].", counting_note)),
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
