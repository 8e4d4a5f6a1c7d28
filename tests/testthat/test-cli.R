# The command line, run in this process through tolvendra_main(), and
# once through the installed script.

# Runs the command line; returns its status with what it wrote.
cli <- function(...) {
  status <- NULL
  err <- utils::capture.output(
    out <- utils::capture.output(status <- tolvendra_main(c(...))),
    type = "message")
  list(status = status, out = out, err = err)
}

read_text <- function(path) {
  con <- if (grepl("\\.gz$", path)) gzfile(path, "r") else file(path, "r")
  on.exit(close(con))
  readLines(con)
}

# The lines of a .bed.gz file that tabix finds in chr:start-end through
# its CSI index, and, the slow way, the lines of its text that overlap it.
tabix_file <- function(path) Rsamtools::TabixFile(path, index = paste0(path, ".csi"))
tabix_lines <- function(path, seqname, start, end) {
  Rsamtools::scanTabix(tabix_file(path), param = GenomicRanges::GRanges(
    seqname, IRanges::IRanges(start, end)))[[1L]]
}
overlapping_lines <- function(path, seqname, start, end) {
  lines <- grep("^#", read_text(path), value = TRUE, invert = TRUE)
  fields <- strsplit(lines, "\t")
  on <- vapply(fields, function(f) {
    f[1L] == seqname && as.numeric(f[2L]) < end && as.numeric(f[3L]) >= start
  }, TRUE)
  lines[on]
}

test_that("tolvendra depth writes mosdepth's files with mosdepth's numbers, which MultiQC reads", {
  skip_without_bam()
  skip_if(!nzchar(Sys.which("mosdepth")), "mosdepth is not installed")
  skip_if_not_installed("Rsamtools")
  # mosdepth leaves deletions uncovered: reads without them, and reads
  # with them counted as mosdepth counts them
  studies <- list(plain = make_study(deletions = FALSE),
                  deletions = make_study(deletions = TRUE))
  study <- studies$plain
  dir <- tempfile("depth")
  dir.create(file.path(dir, "ours"), recursive = TRUE)
  dir.create(file.path(dir, "mosdepth"))
  bed <- file.path(dir, "regions.bed")
  # overlapping, unsorted, named regions on two of the three sequences
  writeLines(c("chrB\t0\t1800\tr3", "chrA\t300\t900\tr2", "chrA\t100\t400\tr1",
               "chrA\t2000\t2500\tr5"), bed)
  cases <- list(
    # windows of 200 whose means often lie halfway between printed values
    list(file = 1, args = c("-n", "--by", "200", "-T", "1,5,10")),
    list(file = 2, args = c("--by", bed, "-T", "1,5", "-q", "0:1:5:150:")),
    list(file = 3, args = c("-q", "0:1:5:150", "-c", "chrB", "-Q", "20")),
    list(file = 1, args = c("-n", "--by", bed, "-F", "0"), precision = "5"),
    list(file = 2, args = c("-n", "--by", "333", "-i", "16")),
    # reads with deletions, counted as mosdepth counts them
    list(file = 3, args = c("--by", bed, "-T", "2"), study = "deletions",
         ours = c("--deletions", "uncovered", "--overlap", "proper")))
  for (k in seq_along(cases)) {
    case <- cases[[k]]
    bam <- studies[[case$study %||% "plain"]]$file[case$file]
    label <- paste(c("depth", case$args, case$ours, basename(bam)), collapse = " ")
    prefix <- function(who) file.path(dir, who, sprintf("case%d", k))
    withr::local_envvar(MOSDEPTH_PRECISION = case$precision %||% "")
    expect_identical(cli("depth", case$args, case$ours, prefix("ours"), bam)$status, 0L,
                     label = label)
    stopifnot(system2("mosdepth", shQuote(c(case$args, prefix("mosdepth"), bam)),
                      stdout = FALSE, stderr = FALSE) == 0)
    theirs <- list.files(dirname(prefix("mosdepth")), sprintf("^case%d\\.", k))
    # the .bed.gz files with their CSI indexes, as mosdepth's
    expect_setequal(list.files(dirname(prefix("ours")), sprintf("^case%d\\.", k)),
                    theirs)
    for (f in theirs[!grepl("\\.csi$", theirs)]) {
      ours <- read_text(file.path(dir, "ours", f))
      mosdepth <- read_text(file.path(dir, "mosdepth", f))
      if (grepl("summary", f)) {
        # mosdepth 0.3.3 starts the minimum of the totals and of the first
        # sequence's regions at 0, whatever the depths; later versions do not
        quirk <- c(grep("^total", mosdepth), grep("_region\t", mosdepth)[1L])
        quirk <- quirk[!is.na(quirk)]
        ours[quirk] <- sub("\t[0-9]+\t([0-9]+)$", "\t0\t\\1", ours[quirk])
      }
      expect_identical(ours, mosdepth, label = paste(label, f))
    }
    # tabix finds, through the index, the lines that overlap a random span,
    # and the last base of a random line alone (which the next line, if
    # adjacent, does not hold: BED starts count from 0)
    set.seed(k)
    for (f in grep("\\.bed\\.gz$", theirs, value = TRUE)) {
      path <- file.path(dir, "ours", f)
      indexed <- Rsamtools::headerTabix(tabix_file(path))$seqnames
      if (length(indexed) == 0L) next
      seqname <- indexed[sample(length(indexed), 1L)]
      span <- sort(sample(study_lengths[[seqname]], 2L))
      lines <- overlapping_lines(path, seqname, 1, Inf)
      end <- as.numeric(strsplit(lines[sample(length(lines), 1L)], "\t")[[1L]][3L])
      for (at in list(span, c(end, end))) {
        where <- sprintf("seed %d: %s %s:%.0f-%.0f", k, f, seqname, at[1L], at[2L])
        expect_identical(tabix_lines(path, seqname, at[1L], at[2L]),
                         overlapping_lines(path, seqname, at[1L], at[2L]),
                         label = where)
      }
    }
  }
  # the per-base file is export_coverage()'s bedGraph
  track <- tempfile(fileext = ".bedGraph")
  export_coverage(study$file[2], track, format = "bedGraph")
  expect_identical(read_text(file.path(dir, "ours", "case2.per-base.bed.gz")),
                   readLines(track))

  skip_if(!nzchar(Sys.which("multiqc")), "multiqc is not installed")
  report <- file.path(dir, "report")
  status <- system2("multiqc", c("--no-ansi", "-q", "-o", shQuote(report),
                                 shQuote(file.path(dir, "ours"))),
                    stdout = FALSE, stderr = FALSE)
  expect_identical(status, 0L)
  sources <- utils::read.delim(file.path(report, "multiqc_data",
                                         "multiqc_sources.txt"))
  expect_setequal(sources$Sample.Name[sources$Module == "mosdepth"],
                  sprintf("case%d", seq_along(cases)))
})

test_that("tolvendra regions, features and track write what their R functions give", {
  skip_without_bam()
  skip_if_not_installed("SummarizedExperiment")
  study <- make_study()
  dir <- tempfile("commands")
  dir.create(dir)
  table <- file.path(dir, "samples.tsv")
  utils::write.table(study, table, sep = "\t", quote = FALSE, row.names = FALSE)
  files <- stats::setNames(study$file, study$sample)
  within <- function(...) file.path(dir, ...)

  # regions, from FILE... and from --samples alike
  expect_identical(cli("regions", "-w", "400", "--threshold", "6", "--minlen", "20",
                       "--normalize", "cpm", "-Q", "20", within("cli"), study$file)$status, 0L)
  expect_identical(cli("regions", "-w", "400", "--threshold", "6", "--minlen", "20",
                       "--normalize", "cpm", "-Q", "20", "--samples", table,
                       within("table"))$status, 0L)
  x <- analyze_samples(files, width = 400, threshold = 6, minlen = 20,
                       normalize = "cpm", min_mapq = 20)
  export_regions(x, within("r.bed"))
  export_regions(x, within("r.tsv"), "tsv")
  bins <- utils::read.delim(within("cli.bins.tsv"), check.names = FALSE)
  rows <- as.data.frame(SummarizedExperiment::rowRanges(x$bins))
  # --samples keeps the annotation columns, which the BED file does not show
  for (prefix in c("cli", "table")) {
    expect_identical(readLines(within(paste0(prefix, ".regions.bed"))), readLines(within("r.bed")))
    expect_identical(readLines(within(paste0(prefix, ".regions.tsv"))), readLines(within("r.tsv")))
  }
  expect_identical(bins$start, rows$start)
  expect_equal(as.matrix(bins[study$sample]),
               SummarizedExperiment::assay(x$bins, "mean"), tolerance = 1e-6,
               ignore_attr = TRUE)

  # features of a BED file, and genes of a GTF file as unions of exons
  bed <- within("features.bed")
  writeLines(c("chrA\t99\t400\tf1", "chrB\t0\t900\tf2", "chrA\t299\t1200\tf3"), bed)
  gtf <- within("genes.gtf")
  writeLines(c(
    'chrA\tsim\texon\t100\t400\t.\t+\t.\tgene_id "g1"; transcript_id "t1";',
    'chrA\tsim\tCDS\t150\t300\t.\t+\t.\tgene_id "g1"; transcript_id "t1";',
    'chrA\tsim\texon\t300\t1200\t.\t+\t.\tgene_id "g1"; transcript_id "t2";',
    'chrC\tsim\texon\t10\t500\t.\t-\t.\tgene_id "g2"; transcript_id "t3";'), gtf)
  genes <- GenomicRanges::GRangesList(
    g1 = GenomicRanges::GRanges("chrA", IRanges::IRanges(c(100, 300), c(400, 1200))),
    g2 = GenomicRanges::GRanges("chrC", IRanges::IRanges(10, 500)))
  for (set in list(list(features = bed, r = bed, prefix = "bed"),
                   list(features = gtf, r = genes, prefix = "gtf"))) {
    expect_identical(cli("features", "--features", set$features, "--stats",
                         "mean,median,max", "-T", "1,5", "--reads",
                         within(set$prefix), study$file)$status, 0L)
    y <- summarize_features(files, set$r, stats = c("mean", "median", "max"),
                            thresholds = c(1, 5), reads = TRUE)
    for (assay in SummarizedExperiment::assayNames(y)) {
      written <- utils::read.delim(within(sprintf("%s.%s.tsv", set$prefix, assay)),
                                   row.names = 1L, check.names = FALSE)
      expect_equal(as.matrix(written), SummarizedExperiment::assay(y, assay),
                   tolerance = 1e-6, ignore_attr = TRUE,
                   label = paste(set$prefix, assay))
      expect_identical(rownames(written), rownames(y))
    }
  }

  # random genes of exons that overlap, abut or stand apart, on two
  # sequences: their unions as GenomicRanges::reduce() makes them
  for (seed in 1:5) {
    set.seed(seed)
    n <- 12L
    exons <- data.frame(seqname = sample(c("chrA", "chrB"), n, TRUE),
                        start = sample(1:60, n, TRUE), width = sample(1:15, n, TRUE),
                        gene = sample(c("a", "b", "c"), n, TRUE))
    exons$end <- exons$start + exons$width - 1
    path <- within(sprintf("random%d.gtf", seed))
    writeLines(sprintf('%s\tsim\texon\t%d\t%d\t.\t+\t.\tgene_id "%s";',
                       exons$seqname, exons$start, exons$end, exons$gene), path)
    genes <- read_gtf(path, "exon", "gene_id")
    ranges <- GenomicRanges::GRanges(exons$seqname, IRanges::IRanges(exons$start, exons$end))
    merged <- unlist(GenomicRanges::reduce(S4Vectors::split(
      ranges, factor(exons$gene, unique(exons$gene)))))
    expected <- data.frame(seqname = as.character(GenomicRanges::seqnames(merged)),
                           start = GenomicRanges::start(merged),
                           end = GenomicRanges::end(merged),
                           gene = names(merged))
    found <- data.frame(genes$pieces[1:3], gene = genes$names[genes$pieces$group])
    key <- function(x) x[do.call(order, x[c("gene", "seqname", "start")]), ]
    expect_equal(key(found), key(expected), ignore_attr = TRUE,
                 label = sprintf("seed %d: genes of %s", seed,
                                 paste(exons$gene, exons$seqname, exons$start,
                                       exons$end, collapse = ", ")))
  }

  # track: a normalized strand as bedGraph, and quantized bins
  expect_identical(cli("track", "--strand", "+", "--normalize", "cpm",
                       "--where", "chrB", study$file[1], within("plus.bedGraph"))$status, 0L)
  export_coverage(study$file[1], within("plus.bg"), "bedGraph", where = "chrB",
                  normalize = "cpm", strand = "+")
  expect_identical(readLines(within("plus.bedGraph")), readLines(within("plus.bg")))
  expect_identical(cli("track", "-q", "0,2,8", study$file[2], within("q.bed"))$status, 0L)
  export_coverage(study$file[2], within("q2.bed"), "bed", quantize = c(0, 2, 8))
  expect_identical(readLines(within("q.bed")), readLines(within("q2.bed")))
})

test_that("usage errors exit 2 with the usage, faults of the data 1 with the file and the fix", {
  skip_without_bam()
  bam <- ex1_bam()
  dir <- tempfile("faults")
  dir.create(dir)
  broken <- file.path(dir, "broken.bam")
  file.copy(bam, broken)
  file.copy(paste0(bam, ".bai"), paste0(broken, ".bai"))
  # a copy whose index is older than itself
  Sys.setFileTime(paste0(broken, ".bai"), Sys.time() - 60)
  out <- file.path(dir, "out")
  table <- file.path(dir, "one.tsv")
  writeLines(c("sample\tfile", paste0("ex1\t", bam)), table)
  cases <- list(
    list(args = character(), status = 2L, says = "a command is needed"),
    list(args = "coverage", status = 2L, says = "'coverage' is not a command"),
    list(args = c("depth", "--bogus", out, bam), status = 2L, says = "no such option"),
    list(args = c("depth", out), status = 2L, says = "2 arguments are needed"),
    list(args = c("depth", "-Q", "many", out, bam), status = 2L,
         says = "`-Q/--mapq` must be a number"),
    list(args = c("depth", "--mapq=-3", out, bam), status = 2L,
         says = "`-Q/--mapq` must be a single non-negative whole number"),
    list(args = c("depth", "-q", "5:1:x", out, bam), status = 2L, says = "-q/--quantize"),
    list(args = c("track", bam, file.path(dir, "x.wig")), status = 2L,
         says = "`--format` must be given"),
    list(args = c("features", out, bam), status = 2L, says = "`--features` must name"),
    list(args = c("regions", out), status = 2L, says = "FILE... or `--samples`"),
    # flags checked against the samples and the sequences, before reading
    list(args = c("regions", "--normalize", "1,2", out, bam), status = 2L,
         says = "`--normalize` must be \"none\", \"cpm\", \"rpgc\" or 1 positive"),
    list(args = c("regions", "--normalize", "1,2", "--samples", table, out),
         status = 2L, says = "or 1 positive finite scale factor, one per sample"),
    list(args = c("regions", "--normalize", "cpm", "--genome-size", "100", out, bam),
         status = 2L, says = "`--genome-size` goes with"),
    list(args = c("track", "--normalize", "1,2", bam, file.path(dir, "x.bedGraph")),
         status = 2L, says = "`--normalize` must be"),
    list(args = c("depth", "-c", "chrZ", out, bam), status = 2L, says = "-c/--chrom"),
    list(args = c("depth", out, file.path(dir, "missing.bam")), status = 1L,
         says = "missing.bam\" does not exist"),
    list(args = c("depth", out, broken), status = 1L, says = "samtools index"),
    list(args = c("regions", "--samples", file.path(dir, "none.tsv"), out),
         status = 1L, says = "none.tsv\" does not exist"),
    list(args = c("depth", file.path(dir, "no", "folder"), bam), status = 1L,
         says = "does not exist"),
    list(args = "--version", status = 0L, says = NULL),
    list(args = c("track", "--help"), status = 0L, says = NULL))
  for (case in cases) {
    label <- paste(c("tolvendra", case$args), collapse = " ")
    r <- cli(case$args)
    expect_identical(r$status, case$status, label = label)
    err <- paste(r$err, collapse = "\n")
    if (case$status == 2L) expect_match(err, "Usage: tolvendra", fixed = TRUE, label = label)
    if (!is.null(case$says)) expect_match(err, case$says, fixed = TRUE, label = label)
    if (case$status == 0L) expect_identical(err, "", label = label)
  }
  expect_length(list.files(dir, "^out"), 0L)
})

test_that("the installed script runs; the commands load neither SummarizedExperiment nor GenomicRanges", {
  skip_without_bam()
  script <- system.file("exec", "tolvendra", package = "Tolvendra")
  expect_true(file.exists(script))
  rscript <- file.path(R.home("bin"), "Rscript")
  libs <- paste(.libPaths(), collapse = .Platform$path.sep)
  env <- sprintf("R_LIBS=%s", shQuote(libs))
  prefix <- file.path(tempfile("script"), "ex1")
  dir.create(dirname(prefix))
  status <- system2(rscript, shQuote(c(script, "depth", "-n", "--by", "1000",
                                       prefix, ex1_bam())), env = env)
  expect_identical(status, 0L)
  first <- analyze_region(ex1_bam(), "seq1", width = 1000)$bins$mean[1L]
  expect_identical(read_text(paste0(prefix, ".regions.bed.gz"))[1L],
                   sprintf("seq1\t0\t1000\t%.2f", first))
  expect_identical(system2(rscript, shQuote(c(script, "depth", "--by")),
                           env = env, stdout = FALSE, stderr = FALSE), 2L)
  # the commands that write files, in one fresh process
  bed <- file.path(dirname(prefix), "f.bed")
  writeLines("seq1\t100\t400\tf1", bed)
  gtf <- file.path(dirname(prefix), "g.gtf")
  writeLines(c('seq1\tsim\texon\t100\t400\t.\t+\t.\tgene_id "g1";',
               'seq1\tsim\texon\t350\t700\t.\t+\t.\tgene_id "g1";'), gtf)
  runs <- list(c("depth", "-q", "0:1:", "-b", "500", paste0(prefix, "2"), ex1_bam()),
               c("regions", "--threshold", "40", paste0(prefix, "3"), ex1_bam()),
               c("features", "--features", bed, "--reads", paste0(prefix, "4"), ex1_bam()),
               c("features", "--features", gtf, paste0(prefix, "5"), ex1_bam()))
  calls <- vapply(runs, function(r) {
    sprintf("stopifnot(Tolvendra::tolvendra_main(c(%s)) == 0L); ",
            paste0("'", r, "'", collapse = ", "))
  }, "")
  code <- paste0(paste(calls, collapse = ""), "cat(loadedNamespaces())")
  loaded <- system2(rscript, c("-e", shQuote(code)), env = env, stdout = TRUE)
  loaded <- strsplit(paste(loaded, collapse = " "), " ")[[1L]]
  expect_true("optparse" %in% loaded)
  expect_false(any(c("SummarizedExperiment", "GenomicRanges") %in% loaded))
})

test_that("a .bed.gz file that cannot be compressed is an error naming it", {
  dir <- tempfile("bgzf")
  dir.create(dir)
  path <- file.path(dir, "x.regions.bed.gz")
  cases <- list(
    list(text = file.path(dir, "gone.txt"), out = path, says = "could not open the text"),
    list(text = NULL, out = file.path(dir, "no", "x.gz"), says = "BGZF compression"))
  for (case in cases) {
    text <- case$text %||% {
      writeLines("chr1\t0\t10\t1.00", file.path(dir, "t.txt"))
      file.path(dir, "t.txt")
    }
    e <- expect_error(write_bgzf(text, case$out, paste0(case$out, ".csi"), path, 1L),
                      class = "tolvendra_error_write", label = case$says)
    expect_match(conditionMessage(e), path, fixed = TRUE, label = case$says)
    expect_match(conditionMessage(e), case$says, fixed = TRUE, label = case$says)
  }
})
