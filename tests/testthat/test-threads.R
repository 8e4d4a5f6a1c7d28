# Reading a sequence in stretches on several threads: every output the
# same as on one thread, whatever the options, and damage still an error.
# `tolvendra.min_stretch` cuts these short sequences into stretches a few
# hundred positions long, so that reads, mates and fragments cross their
# edges.

# Mixed reads, and long fragments that span several stretches with neither
# mate in the middle ones.
threads_bam <- function(seed, length = 6000) {
  set.seed(seed)
  left <- sort(sample(1:(length - 3100), 20))
  right <- left + sample(400:3000, 20)
  long <- c(sprintf("long%d 99 chr1 %d 60 50M = %d %d * *", seq_along(left),
                    left, right, right + 50 - left),
            sprintf("long%d 147 chr1 %d 60 50M = %d %d * *", seq_along(left),
                    right, left, -(right + 50 - left)))
  make_bam(c(paired_records(seed, pairs = 500, length = length,
                            cigars = c("50M", "20M100N30M", "10S40M", "20M5D25M"),
                            orientations = c("FR", "FR", "RF", "FF"),
                            improper = 0.2, supplementary = 0.1,
                            unmapped_mates = 40),
             long),
           lengths = c(chr1 = length))
}

# What each entry point through the engine gives, without the options it
# echoes (they name the threads).
threads_entry_points <- list(
  analyze_region = function(bam, o) {
    x <- do.call(analyze_region, c(list(bam, "chr1", width = 250), o))
    x[c("coverage", "bins", "regions")]
  },
  analyze_region_window = function(bam, o) {
    do.call(analyze_region, c(list(bam, "chr1", 1234, 5321), o))$coverage
  },
  analyze_samples = function(bam, o) {
    x <- do.call(analyze_samples, c(list(c(a = bam), width = 300, normalize = "cpm"), o))
    regions <- x$regions
    S4Vectors::metadata(regions) <- list()
    list(SummarizedExperiment::assays(x$bins), x$bins$library_size, regions)
  },
  analyze_samples_targets = function(bam, o) {
    where <- data.frame(seqname = "chr1", start = c(10, 2500), end = c(2400, 5990))
    x <- do.call(analyze_samples, c(list(c(a = bam), where = where, width = 100), o))
    SummarizedExperiment::assays(x$bins)
  },
  summarize_features = function(bam, o) {
    features <- data.frame(seqname = "chr1", start = c(1, 700, 1900, 3000, 5800),
                           end = c(900, 2600, 2000, 5500, 6000))
    x <- do.call(summarize_features,
                 c(list(c(a = bam), features, stats = c("sum", "mean", "max", "median"),
                        thresholds = c(1, 5), reads = TRUE), o))
    SummarizedExperiment::assays(x)
  },
  depth_distribution = function(bam, o) {
    x <- do.call(depth_distribution, c(list(c(a = bam), max_depth = 40), o))
    x[c("distribution", "summary")]
  },
  export_coverage = function(bam, o) {
    path <- tempfile(fileext = ".bedGraph")
    do.call(export_coverage, c(list(bam, path, format = "bedGraph"), o))
    readLines(path)
  }
)

test_that("every entry point gives the same on 1, 2 and 3 threads under every option", {
  skip_without_samtools()
  skip_if_not_installed("SummarizedExperiment")
  for (seed in c(11, 12)) {
    bam <- threads_bam(seed)
    set.seed(seed)
    for (options in reading_option_sets) {
      o <- c(options, progress = FALSE)
      one <- lapply(threads_entry_points, function(f) f(bam, c(o, threads = 1)))
      for (threads in 2:3) {
        # stretches from 1,000 positions down to a handful
        stretch <- sample(c(7, 60, 333, 1000), 1)
        withr::local_options(tolvendra.min_stretch = stretch)
        for (entry in names(threads_entry_points)) {
          got <- threads_entry_points[[entry]](bam, c(o, threads = threads))
          expect_identical(got, one[[entry]], label = sprintf(
            "%s on %d threads, stretches of %d or more, %s", entry, threads,
            stretch, case_label(seed, options = options)))
        }
      }
    }
  }
})

test_that("stretches decode each record once and count each read once", {
  skip_without_samtools()
  skip_if_not_installed("SummarizedExperiment")
  bam <- threads_bam(13)
  withr::local_options(tolvendra.min_stretch = 50)
  decoded <- function(threads) {
    before <- Tolvendra:::records_decoded()
    analyze_region(bam, "chr1", threads = threads, progress = FALSE)
    Tolvendra:::records_decoded() - before
  }
  library_size <- function(threads) {
    analyze_samples(c(a = bam), normalize = "cpm", threads = threads,
                    progress = FALSE)$bins$library_size
  }
  # every record of chr1, each once, and the reads that pass, each once
  records <- as.numeric(system2("samtools", c("view", "-c", shQuote(bam)), stdout = TRUE))
  passing <- as.numeric(system2("samtools", c("view", "-c", "-F", "1796", shQuote(bam)),
                                stdout = TRUE))
  for (threads in c(1, 2, 3, 8)) {
    expect_identical(decoded(threads), records, label = paste(threads, "threads"))
    expect_identical(library_size(threads), passing, label = paste(threads, "threads"))
  }
})

test_that("a damaged file read on several threads is an error naming it", {
  skip_without_samtools()
  bam <- threads_bam(14)
  withr::local_options(tolvendra.min_stretch = 100)
  dir <- dirname(bam)
  bytes <- readBin(bam, "raw", file.size(bam))
  n <- length(bytes)
  flipped <- bytes
  flipped[round(n * c(0.3, 0.7))] <- xor(flipped[round(n * c(0.3, 0.7))], as.raw(0xff))
  other <- threads_bam(15)
  files <- list(
    list("flipped.bam", flipped, paste0(bam, ".bai")),
    list("cut.bam", bytes[seq_len(round(n * 0.6))], paste0(bam, ".bai")),
    # another file's index: its count of reads gives it away only once the
    # stretches' counts are summed
    list("foreign.bam", bytes, paste0(other, ".bai")))
  for (f in files) {
    path <- file.path(dir, f[[1]])
    writeBin(f[[2]], path)
    file.copy(f[[3]], paste0(path, ".bai"), overwrite = TRUE)
    for (threads in 2:3) {
      err <- expect_error(x <- analyze_region(path, "chr1", threads = threads,
                                              progress = FALSE),
                          class = "tolvendra_error_bam",
                          label = sprintf("%s on %d threads", f[[1]], threads))
      expect_match(conditionMessage(err), f[[1]], fixed = TRUE)
      expect_false(exists("x", inherits = FALSE))
    }
  }
})

test_that("a CRAM file gives the same on 3 threads as on one", {
  skip_without_samtools()
  bam <- threads_bam(16)
  dir <- dirname(bam)
  set.seed(16)
  fasta <- file.path(dir, "ref.fa")
  writeLines(c(">chr1", strwrap(paste(sample(c("A", "C", "G", "T"), 6000, TRUE),
                                      collapse = ""), 60)), fasta)
  system2("samtools", c("faidx", shQuote(fasta)))
  cram <- file.path(dir, "reads.cram")
  system2("samtools", c("view", "-C", "-T", shQuote(fasta), "-o", shQuote(cram),
                        shQuote(bam)))
  system2("samtools", c("index", shQuote(cram)))
  for (options in list(list(), list(overlap = "once"), list(fragments = TRUE))) {
    depth <- function(threads) {
      do.call(analyze_region, c(list(cram, "chr1", threads = threads, reference = fasta,
                                     progress = FALSE), options))$coverage
    }
    one <- depth(1)
    withr::local_options(tolvendra.min_stretch = 100)
    expect_identical(depth(3), one, label = case_label(16, options = options))
  }
})
