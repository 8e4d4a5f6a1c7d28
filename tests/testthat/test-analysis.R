test_that("one call gives coverage, bins and regions that agree", {
  skip_without_bam()
  x <- analyze_region(ex1_bam(), "seq1", 101, 1575, width = 100,
                      threshold = 45, minlen = 20)
  pos <- 101:1575
  expect_identical(x$bins, ref_bins(x$coverage, 101, 100))
  expect_identical(x$regions[c("start", "end")],
                   regionmining(pos, x$coverage, 45, 20))
  first <- x$regions$start[1] - 100
  last <- x$regions$end[1] - 100
  expect_equal(x$regions$mean[1], mean(x$coverage[first:last]))

  expect_identical(as.data.frame(x)$start, x$regions$start)
  expect_identical(as.data.frame(x, what = "bins")$end, x$bins$end)
  expect_identical(as.data.frame(x, what = "coverage")$depth, x$coverage)
  expect_snapshot({
    x
    summary(x)
  })
  expect_snapshot(as.data.frame(x, what = "reads"), error = TRUE)
})

test_that("bins tile the region, the last one cut short, on random profiles", {
  region <- list(file = "x.bam", seqname = "chr1")
  for (seed in 1:200) {
    set.seed(seed)
    n <- sample(1:60, 1)
    region$start <- sample(1:50, 1)
    region$end <- region$start + n - 1L
    width <- sample(1:15, 1)
    cov <- sample(c(0:9, .Machine$integer.max), n, replace = TRUE)
    x <- Tolvendra:::analyze_coverage(region, cov, width, 5L, 0L, list())
    expect_identical(x$bins, ref_bins(cov, region$start, width),
                     info = case_label(seed, start = region$start, cov = cov,
                                       width = width))
  }
})

test_that("a region kept as runs shows, summarizes and expands as its depths", {
  skip_without_samtools()
  # random reads, from none to stacks hundreds deep; the runs expanded are
  # the engine's depth of every position, and the statistics printed from
  # the runs are R's on that vector
  cigars <- c("30M", "10M200N20M", "12M3D18M", "5S25M", "100M")
  for (seed in 1:20) {
    set.seed(seed)
    n <- sample(c(0:3, 50, 400, 3000), 1)
    reads <- sprintf("r%d 0 chr1 %d 60 %s * 0 0 * *", seq_len(n),
                     sort(sample.int(1900, n, replace = TRUE)),
                     sample(cigars, n, replace = TRUE))
    bam <- make_bam(reads, lengths = c(chr1 = 2000))
    start <- sample(1:1500, 1)
    end <- start + sample(c(0:3, 10:500), 1)
    info <- case_label(seed, reads = n, start = start, end = end)
    x <- analyze_region(bam, "chr1", start, end, width = 50, threshold = 3,
                        progress = FALSE)
    source <- Tolvendra:::check_region(bam, "chr1", start, end)
    cov <- Tolvendra:::engine_run(list(source), read_options(),
                                  data.frame(seqname = "chr1", start = start, end = end),
                                  keep = "coverage")$runs[[1L, 1L]]
    expect_identical(x$coverage, cov, info = info)
    expect_identical(x[["coverage"]], cov, info = info)
    expect_identical(as.data.frame(x, what = "coverage"),
                     data.frame(seqname = "chr1", position = start:end, depth = cov),
                     info = info)
    expect_identical(capture.output(print(x))[2], sprintf(
      "Depth: mean %.2f, max %d; %.1f%% of %s positions covered",
      mean(cov), max(cov, 0L), 100 * mean(cov > 0), length(cov)), info = info)
    s <- summary(x)
    expect_identical(s$depth[c("min", "median", "max")],
                     c(min = min(cov), median = median(cov), max = max(cov)) + 0,
                     info = info)
    expect_equal(s$depth[["mean"]], mean(cov), tolerance = 1e-15, info = info)
    expect_equal(s$covered, mean(cov > 0), tolerance = 1e-15, info = info)
    expect_identical(capture.output(print(s))[2], sprintf(
      "  depth: min %g, median %g, mean %.2f, max %g",
      min(cov), median(cov), mean(cov), max(cov)), info = info)
  }
})

test_that("runs R reads where the engine left them act as ordinary vectors", {
  skip_without_samtools()
  set.seed(5)
  reads <- sprintf("r%d 0 chr1 %d 60 30M * 0 0 * *", 1:300,
                   sort(sample.int(1900, 300, replace = TRUE)))
  x <- analyze_region(make_bam(reads, lengths = c(chr1 = 2000)), "chr1",
                      progress = FALSE)
  runs <- unclass(x$runs)
  plain <- lapply(runs, function(v) v[seq_along(v)])
  expect_identical(runs, plain)
  path <- tempfile(fileext = ".rds")
  saveRDS(x, path)
  expect_identical(unclass(readRDS(path)$runs), plain)
  expect_identical(unserialize(serialize(runs, NULL)), plain)
  # a changed copy leaves the result as it was
  changed <- x$runs$values
  changed[1] <- -1L
  expect_identical(changed[-1], plain$values[-1])
  expect_identical(unclass(x$runs), plain)
  expect_identical(sum(as.numeric(runs$lengths)), 2000)
  rm(x, runs, changed)
  invisible(gc())
})

test_that("bin and region sums past 2^31 stay exact", {
  skip_without_samtools()
  # 300 reads each covering the first 10,000,002 positions
  reads <- sprintf("r%d 0 chr1 1 60 1M10000000D1M * 0 0 * *", 1:300)
  bam <- make_bam(reads, lengths = c(chr1 = 2e7))
  x <- analyze_region(bam, "chr1", 1, 2e7, width = 1e7, threshold = 300,
                      progress = FALSE)
  expect_identical(x$bins$sum, c(3e9, 600))
  expect_identical(x$bins$mean[1], 300)
  expect_identical(x$regions, data.frame(start = 1L, end = 10000002L,
                                         width = 10000002L, mean = 300))
})

# Sample 1 has reads on 1-100 and 201-300, sample 2 on 1-100 and 401-500.
two_samples <- function() {
  dir <- tempfile("samples")
  c(make_bam(c("a 0 chr1 1 60 50M * 0 0 * *", "b 0 chr1 51 60 50M * 0 0 * *",
               "c 0 chr1 201 60 100M * 0 0 * *"), dir, name = "treated"),
    make_bam(c("a 0 chr1 1 60 100M * 0 0 * *", "b 0 chr1 401 60 100M * 0 0 * *"),
             dir, name = "untreated"))
}

test_that("comparisons say which samples have reads in each unit", {
  skip_without_samtools()
  bams <- two_samples()
  exons <- data.frame(chr = "chr1", start = c(1, 201, 401, 601),
                      end = c(100, 300, 500, 700))
  x <- compare_samples(bams[1], bams[2], "chr1", 1, 1000, features = exons)
  expect_identical(x$scale, 3 / 2)
  expect_identical(x$units$sum1, c(100, 100, 0, 0))
  expect_identical(x$units$sum2, c(100, 0, 100, 0))
  expect_identical(x$units$index, splicingind(c(100, 100, 0, 0),
                                              c(100, 0, 100, 0), 1.5))
  expect_identical(as.character(x$units$detected),
                   c("both", "sample 1 only", "sample 2 only", "neither"))
  expect_identical(as.data.frame(x)$detected, x$units$detected)
  expect_snapshot(x)

  bins <- compare_samples(bams[1], bams[2], "chr1", 1, 1000, width = 300,
                          scale = 2)
  expect_identical(bins$units[c("start", "end", "width")],
                   data.frame(start = c(1L, 301L, 601L, 901L),
                              end = c(300L, 600L, 900L, 1000L),
                              width = c(300L, 300L, 300L, 100L)))
  expect_identical(bins$units$sum1, c(200, 0, 0, 0))
  expect_identical(bins$units$index, splicingind(c(200, 0, 0, 0),
                                                 c(100, 100, 0, 0), 2))
})

test_that("comparison arguments are checked against the file they belong to", {
  skip_without_samtools()
  bams <- two_samples()
  empty <- make_bam(character(), tempfile("empty"))
  exons <- function(...) data.frame(...)
  expect_snapshot(error = TRUE, transform = function(x) gsub("\"[^\"]*/", "\"", x), {
    compare_samples(bams[1], "nope.bam", "chr1", 1, 100)
    compare_samples(bams[1], empty, "chr1", 1, 100)
    compare_samples(bams[1], bams[2], "chr1", 1, 100, min_mapq = c(0, -1))
    compare_samples(bams[1], bams[2], "chr1", 1, 100, min_mapq = 1:3)
    compare_samples(bams[1], bams[2], "chr1", 1, 100, scale = 0)
    compare_samples(bams[1], bams[2], "chr1", 1, 100, scale = Inf)
    compare_samples(bams[1], bams[2], "chr1", 1, 100, features = 1:3)
    compare_samples(bams[1], bams[2], "chr1", 1, 100,
                    features = exons(start = 50, end = 150))
    compare_samples(bams[1], bams[2], "chr1", 1, 100,
                    features = exons(seqname = c("chr1", "chr2"), start = 1, end = 9))
    compare_samples(bams[1], bams[2], "chr1", 1, 100,
                    features = exons(chrom = "chr1", chromStart = 0, chromEnd = 9))
  })
})
