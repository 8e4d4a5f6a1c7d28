test_that("one call gives coverage, bins and regions that agree", {
  skip_without_bam()
  x <- analyze_region(ex1_bam(), "seq1", 101, 1575, width = 100,
                      threshold = 45, minlen = 20)
  pos <- 101:1575
  expect_identical(x$bins$sum, ghistogram(pos, x$coverage, 100))
  expect_identical(x$bins$start, seq(101L, by = 100L, length.out = 14))
  expect_identical(x$regions[c("start", "end")],
                   regionmining(pos, x$coverage, 45, 20))
  first <- x$regions$start[1] - 100
  last <- x$regions$end[1] - 100
  expect_equal(x$regions$mean[1], mean(x$coverage[first:last]))

  expect_identical(as.data.frame(x)$start, x$regions$start)
  expect_identical(nrow(as.data.frame(x, what = "bins")), 14L)
  expect_identical(as.data.frame(x, what = "coverage")$depth, x$coverage)
  expect_snapshot({
    x
    summary(x)
  })
})

test_that("the coverage plot is written as a PNG", {
  skip_without_bam()
  x <- analyze_region(ex1_bam(), "seq1", 1, 1575, threshold = 45)
  png <- tempfile(fileext = ".png")
  expect_identical(plot(x, file = png), x)
  expect_identical(readBin(png, "raw", 4), as.raw(c(0x89, 0x50, 0x4e, 0x47)))
})

test_that("comparing two samples gives the splicing index of their sums", {
  skip_without_bam()
  bam <- ex1_bam()
  exons <- data.frame(start = c(100, 600), end = c(400, 900))
  x <- compare_samples(bam, bam, "seq1", 1, 1575, features = exons,
                       min_mapq = c(0, 99))
  expect_identical(x$scale, 1)
  cov1 <- ga_coverage(bam, "seq1", 1, 1575)
  expect_identical(x$coverage1, cov1)
  expect_identical(x$units$sum1,
                   as.double(c(sum(cov1[100:400]), sum(cov1[600:900]))))
  expect_identical(x$units$index, splicingind(x$units$sum1, x$units$sum2))
  expect_true(all(x$units$index > 0)) # the second sample drops reads

  bins <- compare_samples(bam, bam, "seq2", 1, 1584, width = 500, scale = 2)
  expect_identical(bins$units$start, c(1L, 501L, 1001L))
  expect_identical(bins$units$index, rep(-1, 3))
  expect_identical(nrow(as.data.frame(bins)), 3L)
  png <- tempfile(fileext = ".png")
  plot(bins, file = png)
  expect_true(file.size(png) > 0)
})

test_that("features must lie in the region", {
  skip_without_bam()
  expect_snapshot(error = TRUE, {
    compare_samples(ex1_bam(), ex1_bam(), "seq1", 1, 100,
                    features = data.frame(start = 50, end = 150))
    compare_samples(ex1_bam(), ex1_bam(), "seq1", 1, 100, features = 1:3)
  })
})
