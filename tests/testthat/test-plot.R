# Plots of analyses built from coverage vectors, without BAM files.

fake_region <- function(cov, width = 100, threshold = 10) {
  region <- list(file = "sim.bam", seqname = "chrS", start = 1L,
                 end = length(cov))
  Tolvendra:::analyze_coverage(region, as.integer(cov), width, threshold, 0L,
                               list())
}

fake_comparison <- function(cov1, cov2, width = 100) {
  region <- list(seqname = "chrS", start = 1L, end = length(cov1))
  bins <- Tolvendra:::bin_spans(1L, length(cov1), width)[-1L]
  sums <- function(cov) vapply(seq_len(nrow(bins)), function(i) {
    sum(as.double(cov[bins$start[i]:bins$end[i]]))
  }, 0)
  Tolvendra:::compare_coverage(region, c("a.bam", "b.bam"), as.integer(cov1),
                               as.integer(cov2), bins, sums(cov1), sums(cov2),
                               1, width)
}

test_that("the file's extension chooses the format", {
  x <- fake_region(rep(c(0, 5, 20), c(300, 400, 300)))
  y <- fake_comparison(rep(c(0, 5), 500), rep(c(3, 0), c(700, 300)))
  magic <- list(png = c(0x89, 0x50, 0x4e, 0x47), pdf = c(0x25, 0x50, 0x44, 0x46),
                svg = c(0x3c, 0x3f, 0x78, 0x6d))
  for (type in names(magic)) {
    for (object in list(x, y)) {
      file <- tempfile(fileext = paste0(".", type))
      expect_identical(plot(object, file = file, size = c(6, 4)), object)
      expect_identical(readBin(file, "raw", 4), as.raw(magic[[type]]),
                       label = type)
    }
  }
  expect_snapshot(error = TRUE, {
    plot(x, file = "coverage.jpg")
    plot(x, file = "coverage.png", size = 5)
    plot(x, xlim = c(2000, 3000))
  })
})

test_that("the user's titles and graphical arguments are honoured", {
  x <- fake_region(rpois(5000, 20))
  y <- fake_comparison(rpois(5000, 20), rpois(5000, 10))
  grDevices::pdf(NULL)
  on.exit(grDevices::dev.off())
  expect_silent(plot(x, main = "A", xlab = "B", ylab = "C", xlim = c(100, 900),
                     ylim = c(0, 50), las = 1, cex.axis = 0.7, col.main = "red"))
  expect_silent(plot(y, main = "A", xlab = "B", ylab = c("C", "D"), axes = FALSE,
                     ylim = c(0, 40)))
  expect_silent(plot(fake_region(7)))
})

test_that("the drawing summary covers the view with exact maxima and means", {
  for (seed in 1:50) {
    set.seed(seed)
    n <- sample(1:3000, 1)
    profile <- sample(0:50, n, replace = TRUE)
    xlim <- sort(sample(n, 2, replace = TRUE))
    columns <- sample(1:400, 1)
    spans <- Tolvendra:::column_spans(xlim, columns)
    # the spans read from runs, checked against the depth of each position
    stats <- Tolvendra:::span_stats(rle(profile), 1, spans)
    info <- case_label(seed, n = n, xlim = xlim, columns = columns)
    expect_lte(length(spans$start), columns)
    expect_identical(c(spans$start[1], spans$end[length(spans$end)]),
                     as.double(xlim), info = info)
    expect_identical(spans$start[-1], spans$end[-length(spans$end)] + 1,
                     info = info)
    parts <- lapply(seq_along(spans$start), function(i) {
      profile[spans$start[i]:spans$end[i]]
    })
    expect_identical(as.double(stats$max), vapply(parts, max, 0), info = info)
    expect_equal(stats$mean, vapply(parts, mean, 0), info = info)
  }
})

test_that("merged bins add up and keep their edges", {
  bins <- Tolvendra:::bin_spans(1L, 1050L, 100L)[-1L]
  bins$sum <- as.double(seq_len(nrow(bins)))
  merged <- Tolvendra:::merge_bins(bins, 4, "sum")
  expect_identical(merged$start, c(1L, 401L, 801L))
  expect_identical(merged$end, c(400L, 800L, 1050L))
  expect_identical(merged$width, c(400, 400, 250))
  expect_identical(merged$sum, c(10, 26, 30))
})

test_that("positions are labelled in bp, kb or Mb", {
  expect_identical(Tolvendra:::bp_format(c(0, 500, 1500), 500),
                   c("0 bp", "500 bp", "1,500 bp"))
  expect_identical(Tolvendra:::bp_format(c(5e6, 5.05e6), 5e4),
                   c("5,000 kb", "5,050 kb"))
  expect_identical(Tolvendra:::bp_format(c(0, 1.5e7, 3e7), 1.5e7),
                   c("0 Mb", "15 Mb", "30 Mb"))
})

test_that("many-sample plots draw short, many and single targets", {
  skip_without_bam()
  study <- make_study()
  # 50 short targets side by side
  starts <- seq(1, by = 49, length.out = 50)
  many <- data.frame(seqname = "chrA", start = starts, end = starts + 40)
  cases <- list(short = c("chrA:1-100", "chrB:1-1800"), many = many,
                single = "chrA", whole = NULL)
  dir <- tempfile("plots")
  dir.create(dir)
  for (case in names(cases)) {
    x <- analyze_samples(study, cases[[case]], width = 10, threshold = 10,
                         progress = FALSE)
    file <- file.path(dir, paste0(case, ".png"))
    expect_identical(plot(x, file = file), x, label = case)
    expect_identical(readBin(file, "raw", 4), as.raw(c(0x89, 0x50, 0x4e, 0x47)))
  }
  expect_setequal(list.files(dir, all.files = TRUE, no.. = TRUE),
                  paste0(names(cases), ".png"))
})

test_that("a plot of 2,000 whole sequences draws", {
  skip_on_cran()
  skip_without_bam()
  skip_without_samtools()
  lengths <- stats::setNames(rep(c(500, 3000), 1000), sprintf("c%04d", 1:2000))
  set.seed(1)
  records <- sprintf("r%d 0 %s %d 60 40M * 0 0 * *", 1:3000,
                     sample(names(lengths), 3000, replace = TRUE),
                     sample(1:400, 3000, replace = TRUE))
  x <- analyze_samples(c(a = make_bam(records, lengths = lengths)),
                       width = 100, threshold = 2, progress = FALSE)
  file <- tempfile(fileext = ".png")
  expect_identical(plot(x, file = file), x)
  expect_gt(file.size(file), 0)
})
