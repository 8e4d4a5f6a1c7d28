# Ordinary but hostile inputs: each is refused with a classed error that
# names the argument, and no write leaves a partial file behind.

# Files in `dir`, hidden ones included, and the open connections.
leftovers <- function(dir) list.files(dir, all.files = TRUE, no.. = TRUE)
open_connections <- function() nrow(showConnections())

test_that("edge inputs are classed errors that name the argument", {
  skip_without_bam()
  study <- make_study()
  bam <- study$file[1]
  x <- analyze_samples(study, threshold = 10, progress = FALSE)
  empty <- make_bam(character(), lengths = c(chrA = 100))
  # a fixed base name, for the snapshots
  dir <- file.path(tempfile("edges"), "out")
  dir.create(dir, recursive = TRUE)
  track <- file.path(dir, "track.bedGraph")
  cases <- list(
    list(quote(analyze_samples(study[0, ])), "tolvendra_error_arg"),
    list(quote(analyze_samples(cbind(study, mapped = 1))), "tolvendra_error_arg"),
    list(quote(analyze_samples(study, where = character(0))), "tolvendra_error_arg"),
    list(quote(analyze_samples(study, where = GenomicRanges::GRanges())),
         "tolvendra_error_arg"),
    list(quote(analyze_samples(study, where = data.frame(
      seqname = character(), start = integer(), end = integer()))),
      "tolvendra_error_arg"),
    list(quote(analyze_samples(study, where = "no/such/targets.bed")),
         "tolvendra_error_arg"),
    list(quote(analyze_samples(study, where = dir)), "tolvendra_error_arg"),
    list(quote(export_coverage(bam, track, format = "bedGraph", min_mapp = 10)),
         "tolvendra_error_arg"),
    list(quote(slurm_param(workers = 2, registry = "jobs")), "tolvendra_error_arg"),
    list(quote(export_coverage(bam, file.path(dir, "no", "track.bedGraph"),
                               format = "bedGraph")), "tolvendra_error_arg"),
    list(quote(export_coverage(bam, dir, format = "bedGraph")),
         "tolvendra_error_arg"),
    list(quote(export_coverage(dir, track, format = "bedGraph")),
         "tolvendra_error_arg"),
    list(quote(export_coverage(empty, track, format = "bedGraph",
                               normalize = "cpm")), "tolvendra_error_arg"),
    list(quote(export_regions(x, file.path(dir, "no", "regions.bed"))),
         "tolvendra_error_arg"),
    list(quote(plot(x, file = file.path(dir, "no", "plot.png"))),
         "tolvendra_error_arg"),
    list(quote(read_blocks(bam, "chrA", threads = 1e6)), "tolvendra_error_arg")
  )
  scrub <- function(lines) gsub("\"[^\"]*/", "\"", lines)
  for (case in cases) {
    err <- expect_error(eval(case[[1]]), class = case[[2]],
                        label = deparse(case[[1]])[1])
    expect_s3_class(err, "tolvendra_error")
    eval(bquote(expect_snapshot(.(case[[1]]), error = TRUE, transform = scrub)))
  }
  expect_identical(leftovers(dir), character())
})

test_that("BED files are read by columns, and a malformed line is named", {
  bed <- tempfile(fileext = ".bed")
  cases <- list(
    list(c("track name=x", "", "chrA\t5\t10\tf1\t0\t+", "# note", "chrB\t0\t7\tf2"),
         data.frame(seqname = c("chrA", "chrB"), start = c(6, 1), end = c(10, 7),
                    name = c("f1", "f2"))),
    list(c("browser position chrA", "track name=y", "chrA\t0\t5\tz"),
         data.frame(seqname = "chrA", start = 1, end = 5, name = "z")),
    list(c("chrA\t5\t10\tf1", "chrA\t20\t30"),
         data.frame(seqname = "chrA", start = c(6, 21), end = c(10, 30), name = NA_character_)),
    list(c("chrA\t5\t10", "chrA\t7"), "only 2 on line 2"),
    list(c("chrA\t5\t10", "chrA"), "only 1 on line 2"),
    list("browser position chrA", "no records"),
    list("chrA\t5\tten", "numeric starts and ends"),
    list("chrA\tNA\t10", "numeric starts and ends"))
  for (case in cases) {
    writeLines(case[[1L]], bed)
    label <- paste(case[[1L]], collapse = " | ")
    if (is.data.frame(case[[2L]])) {
      expect_identical(Tolvendra:::read_bed(bed, "where", NULL), case[[2L]], label = label)
    } else {
      expect_error(Tolvendra:::read_bed(bed, "where", NULL), class = "tolvendra_error_arg",
                   regexp = case[[2L]], label = label)
    }
  }
})

test_that("a read that fails mid-way or an interrupt leaves nothing at path", {
  skip_without_bam()
  skip_without_samtools()
  skip_if_not_installed("rtracklayer")
  set.seed(9)
  n <- 20000
  chrom <- rep(c("chr1", "chr2"), each = n / 2)
  pos <- sort(sample(1:650, n, replace = TRUE))
  bam <- make_bam(sprintf("r%d 0 %s %d 60 30M * 0 0 * *", seq_len(n), chrom,
                          pos), lengths = c(chr1 = 1000, chr2 = 700))
  bytes <- readBin(bam, "raw", file.size(bam))
  at <- round(length(bytes) * 2 / 3)
  bytes[at] <- xor(bytes[at], as.raw(0xff))
  damaged <- file.path(dirname(bam), "damaged.bam")
  writeBin(bytes, damaged)
  file.copy(paste0(bam, ".bai"), paste0(damaged, ".bai"))
  Sys.setFileTime(paste0(damaged, ".bai"), Sys.time() + 5)

  dir <- tempfile("out")
  dir.create(dir)
  connections <- open_connections()
  bigwig_temp <- function() list.files(tempdir(), "\\.bedGraph$")
  before <- bigwig_temp()
  for (format in c("bedGraph", "bigWig")) {
    path <- file.path(dir, paste0("track.", format))
    expect_error(export_coverage(damaged, path, format = format),
                 class = "tolvendra_error_bam", label = format)
    # a track already there is kept as it was
    writeLines("kept", path)
    expect_error(export_coverage(damaged, path, format = format),
                 class = "tolvendra_error_bam")
    expect_identical(readLines(path), "kept")
    unlink(path)
  }
  expect_identical(leftovers(dir), character())
  expect_identical(bigwig_temp(), before)
  expect_identical(open_connections(), connections)

  # An interrupt once lines have been written
  interrupt <- quote(stop(structure(class = c("interrupt", "condition"),
                                    list(message = "", call = NULL))))
  suppressMessages(trace("write_runs", exit = interrupt, print = FALSE,
                         where = asNamespace("Tolvendra")))
  on.exit(suppressMessages(untrace("write_runs",
                                   where = asNamespace("Tolvendra"))))
  for (format in c("bedGraph", "bigWig")) {
    path <- file.path(dir, paste0("track.", format))
    got <- tryCatch(export_coverage(bam, path, format = format),
                    interrupt = function(e) "interrupted")
    expect_identical(got, "interrupted")
  }
  x <- analyze_samples(c(a = bam), threshold = 2, progress = FALSE)
  got <- tryCatch(plot(x, file = file.path(dir, "plot.png"), col = "none"),
                  error = function(e) "failed")
  expect_identical(got, "failed")
  expect_identical(leftovers(dir), character())
  expect_identical(bigwig_temp(), before)
  expect_identical(open_connections(), connections)
})

test_that("numbers are written in full, with 6 significant digits", {
  format_numbers <- getFromNamespace("format_numbers", "Tolvendra")
  x <- c(0, 7, 1e5, 123456789, 2^52, 0.5, 1 / 3, 2 / 3 * 1e5, 1e6 / 7,
         123456.4, 2.5e-7, 99999.95)
  got <- format_numbers(x)
  expect_false(any(grepl("e", got)))
  whole <- x == round(x)
  expect_identical(got[whole], sprintf("%.0f", x[whole]))
  expect_identical(as.numeric(got[!whole]),
                   as.numeric(sprintf("%.6g", x[!whole])))
})

test_that("a 100,000-deep pile is written as integers", {
  skip_without_bam()
  skip_without_samtools()
  records <- sprintf("r%d 0 chr1 101 60 50M * 0 0 * *", seq_len(1e5))
  bam <- make_bam(records, lengths = c(chr1 = 300))
  track <- tempfile(fileext = ".bedGraph")
  export_coverage(bam, track, format = "bedGraph")
  lines <- strsplit(readLines(track), "\t")
  expect_identical(vapply(lines, `[`, "", 4L), c("0", "100000", "0"))
  expect_identical(samtools_depth(bam, "chr1", 101, 101), 100000L)
  # per million mapped reads: 1e6 exactly, and 0
  export_coverage(bam, track, format = "bedGraph", normalize = "cpm")
  expect_identical(vapply(strsplit(readLines(track), "\t"), `[`, "", 4L),
                   c("0", "1000000", "0"))
})

test_that("a CRAM file without its reference, or with another, says so", {
  skip_without_samtools()
  # htslib must not look for references anywhere else
  withr::local_envvar(REF_PATH = file.path(tempdir(), "no-refs"),
                      REF_CACHE = file.path(tempdir(), "no-refs"))
  dir <- tempfile("cram")
  dir.create(dir)
  set.seed(5)
  genome <- paste(sample(c("A", "C", "G", "T"), 1000, replace = TRUE),
                  collapse = "")
  fasta <- function(name, seqname, sequence) {
    path <- file.path(dir, name)
    writeLines(c(paste0(">", seqname), sequence), path)
    system2("samtools", c("faidx", shQuote(path)))
    path
  }
  right <- fasta("right.fa", "chr1", genome)
  wrong <- fasta("wrong.fa", "chr1", paste(rev(strsplit(genome, "")[[1]]),
                                          collapse = ""))
  other <- fasta("other.fa", "chrX", genome)
  starts <- sort(sample(1:950, 40))
  bam <- make_bam(sprintf("r%d 0 chr1 %d 60 50M * 0 0 %s *", 1:40, starts,
                          substring(genome, starts, starts + 49)), dir = dir)
  cram <- file.path(dir, "reads.cram")
  system2("samtools", c("view", "-C", "-T", shQuote(right), "-o", shQuote(cram),
                        shQuote(bam)))
  system2("samtools", c("index", shQuote(cram)))
  expected <- read_blocks(bam, "chr1")
  expect_identical(read_blocks(cram, "chr1", reference = right), expected)
  # the header names the reference's path: move it away
  moved <- file.path(dir, "moved.fa")
  file.rename(right, moved)
  file.rename(paste0(right, ".fai"), paste0(moved, ".fai"))
  # the functions of one file and of many say the same
  calls <- list(
    quote(read_blocks(cram, "chr1", reference = reference)),
    quote(analyze_samples(cram, reference = reference)),
    quote(depth_distribution(cram, reference = reference)),
    quote(summarize_features(cram, "chr1:1-10", reference = reference)),
    quote(compare_groups(data.frame(file = cram, sample = c("a", "b"),
                                    g = c("x", "y")), "g", "chr1",
                         reference = reference)))
  for (reference in list(NULL, wrong, other)) {
    for (call in calls) {
      err <- expect_error(eval(call), class = "tolvendra_error_bam",
                          label = paste(deparse(call[[1]]), if (is.null(reference))
                            "none" else basename(reference)))
      expect_match(conditionMessage(err), "`reference = \"", fixed = TRUE)
      expect_no_match(conditionMessage(err), "index belongs")
    }
  }
  expect_identical(read_blocks(cram, "chr1", reference = moved), expected)
})

test_that("a threshold past R's integers finds no region, without overflow", {
  skip_without_bam()
  study <- make_study()
  expect_no_warning(x <- analyze_samples(study[1:2, ], threshold = 1.5e9,
                                         progress = FALSE))
  expect_identical(nrow(x$regions), 0L)
  expect_identical(x$threshold, 1500000000L)
})
