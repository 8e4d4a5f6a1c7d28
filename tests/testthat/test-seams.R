# The seams between samples, targets, files and peers: scaling, targets
# outside the files, and errors that name what went wrong.

test_that("comparisons scale by the reads the options keep, or by the index when asked", {
  skip_without_bam()
  dir <- tempfile("dups")
  dir.create(dir)
  # seed 5: 200 reads a sequence, and the same file with every tenth read
  # again, flagged duplicate
  records <- simulate_records(200, 5, flagged = FALSE)
  fields <- strsplit(records[seq(1, length(records), 10)], "\t")
  dups <- vapply(fields, function(f) {
    f[1:2] <- c(paste0("dup_", f[1]), as.integer(f[2]) + 1024L)
    paste(f, collapse = "\t")
  }, "")
  plain <- write_study_bam(records, "plain", dir)
  copy <- write_study_bam(c(records, dups), "copy", dir)
  x <- compare_samples(plain, copy, "chrA", width = 100)
  expect_identical(x$scale, 1)
  expect_true(all(x$units$index == 0))
  g <- compare_groups(data.frame(file = c(plain, copy), sample = c("a", "b"),
                                 g = c("x", "y")), "g", c("chrA", "chrB"))
  expect_identical(S4Vectors::metadata(g)$scale, 1)
  expect_true(all(SummarizedExperiment::rowData(g)$index == 0))
  mapped <- reference_mapped(plain) / reference_mapped(copy)
  expect_identical(compare_samples(plain, copy, "chrA", scale = "mapped")$scale,
                   mapped)
  expect_identical(S4Vectors::metadata(compare_groups(
    data.frame(file = c(plain, copy), sample = c("a", "b"), g = c("x", "y")),
    "g", "chrA", scale = "mapped"))$scale, mapped)
  expect_error(compare_samples(plain, copy, "chrA", scale = "index"),
               class = "tolvendra_error_arg")
})

# Runs `expr`, expecting `n` warnings of `class`; returns its value.
warned <- function(expr, n = 1L, class = "tolvendra_warning_targets") {
  warnings <- list()
  value <- withCallingHandlers(expr, warning = function(w) {
    warnings[[length(warnings) + 1L]] <<- w
    invokeRestart("muffleWarning")
  })
  expect_length(warnings, n)
  for (w in warnings) expect_s3_class(w, class)
  value
}

test_that("features outside the files give rows of NA, cut ones are read up to the end", {
  skip_without_bam()
  study <- make_study()
  files <- stats::setNames(study$file[1:2], study$sample[1:2])
  features <- c(a = "chrA:2401-2600", z = "chrZ:1-10", b = "chrB:100-200",
                past = "chrC:1300-1400", whole = "chrC")
  x <- warned(summarize_features(files, unname(features),
                                      stats = c("mean", "max"),
                                      relative = 1, reads = TRUE))
  expect_identical(rownames(x), c(unname(features[1:4]), "chrC:1-1234"))
  inside <- summarize_features(files, c("chrA:2401-2500", "chrB:100-200", "chrC"),
                               stats = c("mean", "max"), reads = TRUE)
  for (a in c("mean", "max", "reads")) {
    got <- SummarizedExperiment::assay(x, a)
    expect_identical(unname(got[c(1, 3, 5), ]),
                     unname(SummarizedExperiment::assay(inside, a)), label = a)
    expect_true(all(is.na(got[c(2, 4), ])), label = a)
  }
  expect_identical(SummarizedExperiment::rowData(x)$bases,
                   c(100, NA, 101, NA, 1234))
  # strings, a data frame and a GRanges name the same features
  frame <- data.frame(seqname = c("chrA", "chrB"), start = c(1, 100),
                      end = c(50, 200), name = c("chrA:1-50", "chrB:100-200"))
  expect_identical(
    SummarizedExperiment::assays(summarize_features(files, c("chrA:1-50", "chrB:100-200"))),
    SummarizedExperiment::assays(summarize_features(files, frame)))
  # a gene with an exon on an absent sequence is NA as a whole
  gene <- GenomicRanges::GRangesList(g = GenomicRanges::GRanges(
    c("chrA", "chrZ"), IRanges::IRanges(c(1, 1), c(50, 50))),
    h = GenomicRanges::GRanges("chrB", IRanges::IRanges(1, 50)))
  y <- warned(summarize_features(files, gene, stats = "sum"))
  expect_true(all(is.na(SummarizedExperiment::assay(y, "sum")["g", ])))
  expect_false(anyNA(SummarizedExperiment::assay(y, "sum")["h", ]))
})

test_that("targets that overlap, repeat, or leave the files are merged, cut or left out once", {
  skip_without_bam()
  study <- make_study()
  file <- study$file[1]
  # analyze_samples(): no region or bin twice
  given <- c("chrB", "chrA:50-300", "chrA:1-100", "chrA:1-100", "chrZ",
             "chrC:1200-1500")
  tidy <- c("chrA:1-300", "chrB", "chrC:1200-1234")
  # one warning for the merged targets, one for those outside the files
  x <- warned(analyze_samples(file, given, width = 50, threshold = 3), 2L)
  y <- analyze_samples(file, tidy, width = 50, threshold = 3)
  expect_identical(SummarizedExperiment::assays(x$bins),
                   SummarizedExperiment::assays(y$bins))
  expect_identical(SummarizedExperiment::rowRanges(x$regions),
                   SummarizedExperiment::rowRanges(y$regions))
  # export_coverage(): sorted, never overlapping lines
  tracks <- replicate(2, tempfile(fileext = ".bedGraph"))
  suppressWarnings(export_coverage(file, tracks[1], "bedGraph", where = given))
  export_coverage(file, tracks[2], "bedGraph", where = tidy)
  expect_identical(readLines(tracks[1]), readLines(tracks[2]))
  # depth_distribution(): each position once
  d <- suppressWarnings(depth_distribution(file, given, max_depth = 30))
  expect_identical(d$summary, depth_distribution(file, tidy, max_depth = 30)$summary)
})

test_that("outputs are checked before reading, and write failures name the path", {
  skip_without_bam()
  skip_if_not(dir.exists("/proc/self"), "no /proc/self")
  bam <- ex1_bam()
  x <- analyze_samples(bam, width = 500)
  decoded <- Tolvendra:::records_decoded()
  # /proc/self takes no new files, even from root
  unwritable <- "/proc/self/out"
  for (case in list(
    quote(export_coverage(bam, paste0(unwritable, ".bw"))),
    quote(export_coverage(bam, paste0(unwritable, ".bedGraph"), "bedGraph")),
    quote(export_regions(x, paste0(unwritable, ".bed"))),
    quote(plot(x, file = paste0(unwritable, ".png"))))) {
    e <- expect_error(eval(case), class = "tolvendra_error_write",
                      label = deparse(case))
    expect_match(conditionMessage(e), unwritable, fixed = TRUE)
  }
  expect_identical(Tolvendra:::records_decoded(), decoded)
  # a special file (here a pipe) is never replaced by the renamed track
  fifo <- tempfile("pipe")
  if (system2("mkfifo", shQuote(fifo)) == 0L) {
    expect_error(export_coverage(bam, fifo, "bedGraph"),
                 class = "tolvendra_error_arg")
    expect_identical(system2("test", c("-p", shQuote(fifo))), 0L)
  }
  # a disk that fills up: files past 8 kB fail to grow in a child R
  skip_on_os(c("windows", "mac"))
  script <- tempfile(fileext = ".R")
  writeLines(c(
    "bam <- system.file('extdata', 'ex1.bam', package = 'Rsamtools')",
    "for (f in c('bedGraph', 'bigWig')) {",
    "  path <- file.path(tempdir(), paste0('track.', f))",
    "  e <- tryCatch(Tolvendra::export_coverage(bam, path, f), error = identity)",
    "  cat(class(e)[1], conditionMessage(e) != '' && grepl(path, conditionMessage(e), fixed = TRUE),",
    "      file.exists(path), length(list.files(tempdir(), '^[.]track')), '\\n')",
    "}"), script)
  out <- system2("bash", c("-c", shQuote(sprintf(
    "trap '' XFSZ; ulimit -f 8; R_LIBS=%s %s --vanilla %s",
    shQuote(paste(.libPaths(), collapse = ":")),
    shQuote(file.path(R.home("bin"), "Rscript")), shQuote(script)))),
    stdout = TRUE)
  expect_identical(out, rep("tolvendra_error_write TRUE FALSE 0 ", 2))
})

test_that("a BAM file whose header has no @SQ lines is named as such", {
  skip_without_samtools()
  bam <- make_bam("r1 4 * 0 0 * * 0 0 ACGT *",
                  lengths = stats::setNames(integer(), character()))
  for (call in list(
    quote(analyze_samples(bam)), quote(depth_distribution(bam)),
    quote(summarize_features(bam, "chr1:1-10")),
    quote(export_coverage(bam, tempfile(), "bedGraph")),
    quote(read_blocks(bam, "chr1")))) {
    e <- expect_error(eval(call), class = "tolvendra_error_bam",
                      label = deparse(call))
    expect_match(conditionMessage(e), "no @SQ lines", fixed = TRUE)
    expect_identical(e$file, bam)
  }
})

test_that("a depth distribution's total leaves out sequences without reads, as mosdepth's", {
  skip_without_samtools()
  skip_if(!nzchar(Sys.which("mosdepth")), "mosdepth is not installed")
  # reads on chr1 and chr3; in the second file, chr2 has a read too, of a
  # quality that min_mapq leaves out: mapped, so chr2 counts in its total
  dir <- tempfile("readless")
  lengths <- c(chr1 = 1000, chr2 = 700, chr3 = 500)
  records <- c("a 0 chr1 11 60 50M * 0 0 * *", "b 0 chr1 31 60 50M * 0 0 * *",
               "c 0 chr3 101 60 40M * 0 0 * *")
  files <- c(none = make_bam(records, dir, lengths, "none"),
             low = make_bam(c(records, "d 0 chr2 5 0 30M * 0 0 * *"), dir,
                            lengths, "low"))
  d <- depth_distribution(files, max_depth = 5, min_mapq = 1)
  for (s in names(files)) {
    prefix <- file.path(dir, s)
    stopifnot(system2("mosdepth", c("-n", "-Q", "1", shQuote(prefix),
                                    shQuote(files[[s]])), stdout = FALSE,
                      stderr = FALSE, env = "MOSDEPTH_PRECISION=5") == 0)
    theirs <- utils::read.table(paste0(prefix, ".mosdepth.summary.txt"),
                                header = TRUE)
    ours <- d$summary[d$summary$sample == s, ]
    ours <- ours[match(theirs$chrom, ours$seqname), ]
    expect_identical(ours$length, as.double(theirs$length), label = s)
    expect_equal(round(ours$mean, 5), theirs$mean, label = s)
    # every sequence keeps its rows, a readless one all at depth 0
    expect_setequal(d$summary$seqname[d$summary$sample == s],
                    c(names(lengths), "total"))
  }
  chr2 <- d$distribution[d$distribution$seqname == "chr2", ]
  expect_identical(chr2$fraction, rep(c(1, 0, 0, 0, 0, 0), 2))
})

test_that("fractions of a mean depth of 0 are NA", {
  skip_without_samtools()
  bam <- make_bam("a 0 chr1 11 60 50M * 0 0 * *", lengths = c(chr1 = 1000))
  x <- summarize_features(bam, c("chr1:1-10", "chr1:11-30"), relative = 0.5,
                          min_mapq = 61)
  expect_identical(x$mean_depth, 0)
  expect_true(all(is.na(SummarizedExperiment::assay(x, "fraction_ge_0.5_of_mean"))))
})
