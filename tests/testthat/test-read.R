# The native reader against samtools and GenomicAlignments, its batches
# against one pass, and damaged files against loud errors.

# Coverage of a region through the public functions: blocks, then counts.
coverage_of <- function(file, seqname, start, end, ...) {
  blocks <- read_blocks(file, seqname, start, end, progress = FALSE, ...)
  gcoverage(start:end, blocks$start, blocks$end)
}

# Random SAM records on chr1 and chr2: spliced, deleted, inserted and
# clipped reads, some flagged, of random mapping quality.
random_records <- function(seed, n = 300) {
  set.seed(seed)
  cigars <- c("30M", "10M200N20M", "5S25M", "12M3D18M", "8M2I20M", "3H27M2S",
              "10M5N5M50N15M", "4M1D4M30N22M", "30M4S")
  chrom <- sample(c("chr1", "chr2"), n, replace = TRUE)
  last <- ifelse(chrom == "chr1", 1000, 700)
  sprintf("r%d %d %s %d %d %s * 0 0 * *", seq_len(n),
          sample(c(0, 16, 256, 512, 1024, 2048), n, replace = TRUE,
                 prob = c(10, 10, 1, 1, 1, 1)),
          chrom, ceiling(stats::runif(n) * last),
          sample(c(0, 10, 30, 60, 255), n, replace = TRUE),
          sample(cigars, n, replace = TRUE))
}

test_that("coverage equals samtools depth -J and GenomicAlignments on real files", {
  skip_without_bam()
  skip_without_samtools()
  dir <- tempfile("real")
  dir.create(dir)
  sm <- function(name) {
    path <- file.path(dir, name)
    file.copy(system.file("extdata", name, package = "GenomicAlignments"), path)
    system2("samtools", c("index", shQuote(path)))
    path
  }
  kept <- Rsamtools::scanBamFlag(isUnmappedQuery = FALSE,
                                 isSecondaryAlignment = FALSE,
                                 isNotPassingQualityControls = FALSE,
                                 isDuplicate = FALSE)
  cases <- list(list(ex1_bam(), "seq1", 1, 1575), list(ex1_bam(), "seq2", 100, 901),
                list(sm("sm_treated1.bam"), "chr2R", 2000, 28000),
                list(sm("sm_untreated1.bam"), "chr2L", 7000, 12500),
                list(file.path(dir, "sm_untreated1.bam"), "chr3L", 1, 40000))
  for (case in cases) {
    label <- sprintf("%s %s:%d-%d", basename(case[[1]]), case[[2]], case[[3]], case[[4]])
    got <- do.call(coverage_of, case)
    expect_identical(got, do.call(samtools_depth, case), label = label)
    expect_identical(got, do.call(ga_coverage, c(case, list(flag = kept))),
                     label = label)
  }
})

test_that("spliced reads are split at their gaps unless asked otherwise", {
  skip_without_bam()
  dir <- tempfile("spliced")
  dir.create(dir)
  bam <- file.path(dir, "treated.bam")
  file.copy(system.file("extdata", "sm_treated1.bam",
                        package = "GenomicAlignments"), bam)
  Rsamtools::indexBam(bam)
  blocks <- read_blocks(bam, "chr2R", 2000, 28000)
  spans <- read_blocks(bam, "chr2R", 2000, 28000, split = FALSE)
  expect_gt(nrow(blocks), nrow(spans))
  expect_gt(sum(spans$end - spans$start), sum(blocks$end - blocks$start))
})

test_that("filters, splitting and clipping match samtools depth on random reads", {
  skip_without_samtools()
  settings <- list(list(args = character(), opts = list()),
                   list(args = c("-Q", "30"), opts = list(min_mapq = 30)),
                   list(args = c("-g", "772"), opts = list(exclude_flags = 1024)),
                   list(args = c("-G", "2048"), opts = list(exclude_flags = 3844)))
  for (seed in 1:4) {
    bam <- make_bam(random_records(seed), lengths = c(chr1 = 1000, chr2 = 700))
    for (s in settings) {
      for (r in list(c(1, 1000), c(250, 260), c(999, 1000))) {
        label <- sprintf("seed %d, samtools depth %s, chr1:%d-%d", seed,
                         paste(s$args, collapse = " "), r[1], r[2])
        got <- do.call(coverage_of, c(list(bam, "chr1", r[1], r[2]), s$opts))
        expect_identical(got, samtools_depth(bam, "chr1", r[1], r[2], s$args),
                         label = label)
      }
    }
  }
})

test_that("CIGAR operations become blocks as documented", {
  skip_without_samtools()
  bam <- make_bam(c(
    "plain   0    chr1 10 60 10M        * 0 0 * *",
    "unmap   4    chr1 15 0  *          * 0 0 * *",
    "second  256  chr1 20 60 10M        * 0 0 * *",
    "qcfail  512  chr1 30 60 10M        * 0 0 * *",
    "dup     1024 chr1 40 60 10M        * 0 0 * *",
    "lowq    0    chr1 50 5  10M        * 0 0 * *",
    "spliced 0    chr1 60 60 5M10N5M    * 0 0 * *",
    "deleted 0    chr1 90 60 2S5M3D5M1I2M3H * 0 0 * *"
  ))
  expect_identical(read_blocks(bam, "chr1", 1, 1000),
                   data.frame(start = c(10L, 50L, 60L, 75L, 90L),
                              end = c(19L, 59L, 64L, 79L, 104L)))
  expect_identical(read_blocks(bam, "chr1", min_mapq = 10)$start,
                   c(10L, 60L, 75L, 90L))
  expect_identical(read_blocks(bam, "chr1", 55, 70, split = FALSE),
                   data.frame(start = c(50L, 60L), end = c(59L, 79L)))
  # a block that only the region's edge touches is kept whole
  expect_identical(read_blocks(bam, "chr1", 64, 75),
                   data.frame(start = c(60L, 75L), end = c(64L, 79L)))
  expect_identical(nrow(read_blocks(bam, "chr1", 65, 74)), 0L)
  expect_identical(nrow(read_blocks(bam, "chr1", 30, 45, exclude_flags = 0)), 2L)
})

test_that("stretches and batches of any size give the coverage of one pass", {
  skip_without_samtools()
  engine_run <- getFromNamespace("engine_run", "Tolvendra")
  # overlapping, nearby and distant targets, read in one call
  targets <- data.frame(seqname = c("chr1", "chr2", "chr1", "chr1"),
                        start = c(337, 1, 1, 990), end = c(802, 700, 400, 1000))
  for (seed in 11:13) {
    bam <- make_bam(random_records(seed, 2000), lengths = c(chr1 = 1000, chr2 = 700))
    expected <- lapply(seq_len(nrow(targets)), function(t) {
      coverage_of(bam, targets$seqname[t], targets$start[t], targets$end[t])
    })
    source <- list(check_alignments(bam))
    cases <- expand.grid(chunk = c(1, 7, 250, .Machine$integer.max),
                         blocks = c(1, 3, 4194304), threads = 1:3)
    for (i in seq_len(nrow(cases))) {
      case <- cases[i, ]
      options <- read_options(chunk_size = case$chunk, threads = case$threads,
                              progress = FALSE)
      x <- engine_run(source, options, targets, keep = "coverage",
                      max_blocks = case$blocks)
      got <- x$runs[, 1L]
      expect_identical(got, expected, label = sprintf(
        "seed %d, chunk_size %g, %g blocks, threads %d", seed, case$chunk,
        case$blocks, case$threads))
    }
  }
})

test_that("an index is found beside the file, as .csi, or where it is named", {
  skip_without_samtools()
  bam <- make_bam(random_records(5), lengths = c(chr1 = 1000, chr2 = 700))
  expected <- coverage_of(bam, "chr2", 1, 700)
  dir <- dirname(bam)
  plain <- file.path(dir, "plain.bam")
  file.copy(bam, plain)
  system2("samtools", c("index", "-c", shQuote(plain)))
  expect_true(file.exists(paste0(plain, ".csi")))
  expect_identical(coverage_of(plain, "chr2", 1, 700), expected)
  stem <- file.path(dir, "stem.bam")
  file.copy(bam, stem)
  file.copy(paste0(bam, ".bai"), file.path(dir, "stem.bai"))
  expect_identical(coverage_of(stem, "chr2", 1, 700), expected)
  elsewhere <- file.path(tempfile("index"), "reads.index")
  dir.create(dirname(elsewhere))
  file.copy(paste0(bam, ".bai"), elsewhere)
  odd <- file.path(dir, "reads.alignments")
  file.copy(bam, odd)
  Sys.setFileTime(elsewhere, Sys.time() + 5)
  expect_identical(coverage_of(odd, "chr2", 1, 700, index = elsewhere), expected)
})

test_that("a CRAM file reads as its BAM does, given its reference", {
  skip_without_samtools()
  dir <- tempfile("cram")
  dir.create(dir)
  set.seed(3)
  fasta <- file.path(dir, "ref.fa")
  genome <- vapply(c(chr1 = 1000, chr2 = 700), function(n) {
    paste(sample(c("A", "C", "G", "T"), n, replace = TRUE), collapse = "")
  }, "")
  writeLines(c(">chr1", genome[["chr1"]], ">chr2", genome[["chr2"]]), fasta)
  system2("samtools", c("faidx", shQuote(fasta)))
  bam <- make_bam(random_records(7), dir = dir, lengths = c(chr1 = 1000, chr2 = 700))
  cram <- file.path(dir, "reads.cram")
  system2("samtools", c("view", "-C", "-T", shQuote(fasta), "-o", shQuote(cram),
                        shQuote(bam)))
  system2("samtools", c("index", shQuote(cram)))
  expect_identical(coverage_of(cram, "chr1", 1, 1000, reference = fasta),
                   coverage_of(bam, "chr1", 1, 1000))
  facts <- getFromNamespace("alignment_facts", "Tolvendra")
  check_alignments <- getFromNamespace("check_alignments", "Tolvendra")
  expect_identical(facts(check_alignments(cram), read_options(reference = fasta),
                         "file", NULL)$mapped,
                   facts(check_alignments(bam), NULL, "file", NULL)$mapped)
})

test_that("damaged files and indexes are errors that name the file, never results", {
  skip_without_samtools()
  bam <- make_bam(random_records(9, 20000), lengths = c(chr1 = 1000, chr2 = 700))
  dir <- dirname(bam)
  bytes <- readBin(bam, "raw", file.size(bam))
  damaged <- function(name, content, index = paste0(bam, ".bai")) {
    path <- file.path(dir, name)
    writeBin(content, path)
    file.copy(index, paste0(path, ".bai"), overwrite = TRUE)
    path
  }
  n <- length(bytes)
  flipped <- bytes
  at <- round(n * c(0.25, 0.75))
  flipped[at] <- xor(flipped[at], as.raw(0xff))
  # An index of another file with the same sequences can point at reads
  # that happen to be right for part of a sequence; over a whole sequence
  # its count of reads gives it away.
  other <- make_bam(random_records(10, 20000), dir = tempfile("other"),
                    lengths = c(chr1 = 1000, chr2 = 700))
  more <- make_bam(random_records(10, 200), dir = tempfile("more"),
                   lengths = c(chr1 = 1000, chr2 = 700, chr3 = 500))
  files <- c(vapply(c(0.3, 0.6, 0.9), function(at) {
               damaged(sprintf("cut-%g.bam", at), bytes[seq_len(n * at)])
             }, ""),
             damaged("cut-eof.bam", bytes[seq_len(n - 10)]),
             damaged("flipped.bam", flipped),
             damaged("foreign.bam", bytes, paste0(other, ".bai")),
             damaged("foreign-header.bam", bytes, paste0(more, ".bai")))
  for (file in files) {
    for (seqname in c("chr1", "chr2")) {
      err <- expect_error(x <- read_blocks(file, seqname, progress = FALSE),
                          class = "tolvendra_error_bam",
                          label = sprintf("%s, %s", basename(file), seqname))
      expect_match(conditionMessage(err), basename(file), fixed = TRUE)
      expect_false(exists("x", inherits = FALSE))
    }
  }
  touched <- damaged("touched.bam", bytes)
  Sys.setFileTime(touched, Sys.time() + 60)
  expect_error(x <- read_blocks(touched, "chr1", 1, 700),
               class = "tolvendra_error_bam")
  expect_false(exists("x", inherits = FALSE))
})

test_that("bad files and regions give clear errors", {
  skip_without_samtools()
  bam <- make_bam(random_records(4))
  dir <- dirname(bam)
  unindexed <- file.path(dir, "unindexed.bam")
  file.copy(bam, unindexed)
  no_suffix <- file.path(dir, "reads.alignments")
  file.copy(bam, no_suffix)
  text <- file.path(dir, "text.bam")
  writeLines("not a bam file", text)
  file.copy(paste0(bam, ".bai"), paste0(text, ".bai"))
  expect_snapshot(error = TRUE, transform = function(x) gsub("\"[^\"]*/", "\"", x), {
    read_blocks("no/such/file.bam", "chr1", 1, 10)
    read_blocks(unindexed, "chr1", 1, 10)
    read_blocks(no_suffix, "chr1", 1, 10)
    read_blocks(text, "chr1", 1, 10)
    read_blocks(bam, "chr1", 1, 10, index = "no/such/index.bai")
    read_blocks(bam, "chrX", 1, 10)
    read_blocks(bam, "chr1", 20, 10)
    read_blocks(bam, "chr1", 1, 2000)
    read_blocks(bam, "chr1", 0, 10)
    read_blocks(bam, "chr1", 1, 10, split = NA)
    read_blocks(bam, "chr1", 1, 10, threads = 0)
    read_blocks(bam, "chr1", 1, 10, chunk_size = 2^31)
    read_blocks(bam, "chr1", 1, 10, reference = "no/such/ref.fa")
  })
})

test_that("reading a region loads no Bioconductor BAM package", {
  skip_on_cran()
  skip_without_bam()
  script <- tempfile(fileext = ".R")
  writeLines(c(
    "library(Tolvendra)",
    sprintf("x <- analyze_region(%s, \"seq1\", 1, 1575)", deparse(ex1_bam())),
    "cat(intersect(c('Rsamtools', 'GenomicAlignments', 'GenomicRanges'), loadedNamespaces()))"
  ), script)
  out <- system2(file.path(R.home("bin"), "Rscript"), shQuote(script),
                 stdout = TRUE, env = paste0("R_LIBS=", paste(.libPaths(), collapse = ":")))
  expect_identical(out, character())
})

test_that("the reader says which htslib it runs on", {
  info <- tolvendra_info()
  expect_match(info$htslib, "^[0-9]+\\.[0-9]+")
  expect_true(info$source %in% c("system", "Rhtslib"))
  expect_output(print(info), sprintf("htslib %s (%s, ", info$htslib, info$source),
                fixed = TRUE)
  # CI names the htslib that each of its builds must have chosen.
  want <- Sys.getenv("TOLVENDRA_EXPECT_HTSLIB")
  if (nzchar(want)) expect_equal(info$source, want)
})

test_that("the engine's entry point refuses any field missing or mistyped", {
  skip_without_samtools()
  bam <- make_bam(random_records(3, 50))
  request <- native_request(
    list(check_alignments(bam)), read_options(progress = FALSE),
    data.frame(seqname = "chr1", start = 1, end = 600),
    spans = data.frame(target = 1L, start = c(1, 300), end = c(200, 600), group = 1:2,
                       digits = c(NA, 2L)),
    regions = list(factors = 1, threshold = 1, minlen = 0), keep = "runs",
    groups = list(n = 2L, stats = c("sum", "median"), thresholds = 1L, depths = TRUE,
                  reads = TRUE, histogram = 5L), quantize = c(0L, 2L))
  run <- function(r) .Call(B_engine_run$address, r$sources, r$targets, r$spans, r$settings)
  expect_named(run(request), c("sums", "covered", "region_target", "region_start",
                               "region_end", "region_sums", "runs", "reads", "bases",
                               "groups", "means"))
  for (part in c("sources", "targets", "spans", "settings")) {
    for (name in names(request[[part]])) {
      broken <- request
      broken[[part]][name] <- list(NULL)
      expect_error(run(broken), sprintf("`%s`", name), label = paste(part, name, "missing"))
      broken[[part]][[name]] <- list()
      expect_error(run(broken), sprintf("`%s`|one file", name),
                   label = paste(part, name, "a list"))
    }
  }
})
