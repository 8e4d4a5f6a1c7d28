# `tolvendra regions`, `features` and `track`: the many-sample commands, each
# a thin layer over the R function it wraps (analyze_samples() with
# export_regions(), summarize_features(), export_coverage()), and the flags
# and sample tables they share.

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
  files <- sample_files(s$samples)
  flag_checked(check_normalize(s$normalize, s$genome_size, NROW(files), NULL))
  x <- samples_values(files, s$where, s$width, s$threshold,
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
# of its records of type `type`, as gene_pieces() makes them.
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
  start <- suppressWarnings(as.numeric(column(4L)[kept]))
  end <- suppressWarnings(as.numeric(column(5L)[kept]))
  bad <- which(is.na(start) | is.na(end) | start < 1 | end < start)
  if (length(bad) > 0L) {
    abort_arg(sprintf(paste0(
      "`--features` must be a GTF file whose records span start to end, ",
      "from 1; %s has %s to %s on its %s record %d."), describe(path),
      column(4L)[kept][bad[1L]], column(5L)[kept][bad[1L]], type, bad[1L]),
      NULL, "--features")
  }
  genes <- factor(names, unique(names))
  gene_pieces(column(1L)[kept], start, end, as.integer(genes), levels(genes))
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
  normalize <- flag_normalize(flags$normalize)
  genome_size <- flag_number(flags$`genome-size`, "--genome-size")
  # one file, so one scale factor
  check_normalize(normalize, genome_size, 1L, NULL)
  list(file = args[1L], path = args[2L],
       format = flag_choice(format, c("bigWig", "bedGraph", "bed"), "--format"),
       normalize = normalize, genome_size = genome_size,
       where = flags$where,
       quantize = flag_numbers(flags$quantize, "-q/--quantize"),
       options = cli_read_options(flags))
}

run_track <- function(s) {
  export_coverage(s$file, s$path, s$format, where = s$where,
                  normalize = s$normalize, genome_size = s$genome_size,
                  quantize = s$quantize, options = s$options)
}
