skip_without_samples <- function() {
  skip_without_bam()
  skip_if_not_installed("BiocParallel")
  skip_if_not_installed("SummarizedExperiment")
}

assay <- function(x, what) unname(SummarizedExperiment::assay(x, what))

# Bin sums, regions and region means computed straight from the per-base
# depth of each sample (samtools depth, or GenomicAlignments).
reference_samples <- function(study, width, threshold, minlen, normalize,
                              targets = NULL) {
  depth <- lapply(study$file, reference_depth)
  if (is.null(targets)) {
    targets <- data.frame(seqname = names(study_lengths), start = 1,
                          end = unname(study_lengths))
  }
  mapped <- vapply(study$file, reference_mapped, 0)
  factors <- if (normalize == "cpm") {
    1e6 / vapply(study$file, reference_library, 0)
  } else {
    rep(1, nrow(study))
  }
  bins <- list()
  regions <- list()
  for (t in seq_len(nrow(targets))) {
    span <- targets$start[t]:targets$end[t]
    starts <- seq(targets$start[t], targets$end[t], by = width)
    ends <- pmin(starts + width - 1, targets$end[t])
    cov <- lapply(depth, function(d) d[[targets$seqname[t]]][span])
    for (k in seq_along(starts)) {
      bins[[length(bins) + 1]] <- vapply(cov, function(d) {
        sum(as.double(d[(starts[k]:ends[k]) - targets$start[t] + 1]))
      }, 0)
    }
    total <- 0
    for (s in seq_along(cov)) total <- total + cov[[s]] * factors[s]
    found <- regionmining(span, floor(total), length(cov) * threshold, minlen)
    for (k in seq_len(nrow(found))) {
      inside <- (found$start[k]:found$end[k]) - targets$start[t] + 1
      regions[[length(regions) + 1]] <- list(
        seqname = targets$seqname[t], start = found$start[k],
        end = found$end[k], means = vapply(cov, function(d) mean(d[inside]), 0))
    }
  }
  list(bin_sums = do.call(rbind, bins), mapped = unname(mapped),
       regions = data.frame(
         seqname = vapply(regions, `[[`, "", "seqname"),
         start = vapply(regions, `[[`, 0L, "start"),
         end = vapply(regions, `[[`, 0L, "end")),
       region_means = do.call(rbind, lapply(regions, `[[`, "means")))
}

expect_matches_reference <- function(x, ref, label) {
  expect_identical(assay(x$bins, "sum"), ref$bin_sums, label = label)
  widths <- GenomicRanges::width(x$bins)
  expect_identical(assay(x$bins, "mean"), ref$bin_sums / widths, label = label)
  got <- as.data.frame(SummarizedExperiment::rowRanges(x$regions))
  expect_identical(as.character(got$seqnames), ref$regions$seqname,
                   label = label)
  expect_identical(got$start, ref$regions$start, label = label)
  expect_identical(got$end, ref$regions$end, label = label)
  expect_equal(assay(x$regions, "mean"), ref$region_means, label = label,
               tolerance = 1e-12)
  expect_identical(x$bins$mapped, ref$mapped, label = label)
}

test_that("bins and regions of whole sequences match per-base depth", {
  skip_without_samples()
  study <- make_study()
  cases <- expand.grid(width = c(1000, 7), threshold = c(6, 12),
                       normalize = c("none", "cpm"), stringsAsFactors = FALSE)
  cases$minlen <- c(0, 0, 5, 5, 0, 3, 0, 3)
  # about 1,000 mapped reads per sample: a depth of 6 is some 6,000 per million
  cases$threshold <- ifelse(cases$normalize == "cpm", 1000, 1) * cases$threshold
  for (i in seq_len(nrow(cases))) {
    case <- cases[i, ]
    label <- sprintf("width %d, threshold %d, minlen %d, normalize %s",
                     case$width, case$threshold, case$minlen, case$normalize)
    x <- analyze_samples(study, width = case$width,
                         threshold = case$threshold, minlen = case$minlen,
                         normalize = case$normalize, progress = FALSE)
    ref <- reference_samples(study, case$width, case$threshold, case$minlen,
                             case$normalize)
    expect_matches_reference(x, ref, label)
    expect_gt(nrow(x$regions), 0)
  }
  # depth is counted a stretch at a time, and a task's targets on one
  # sequence, overlapping or not, do not disturb one another
  targets <- data.frame(seqname = "chrA", start = c(3, 1200), end = c(1100, 2500))
  whole <- analyze_samples(study, targets, threshold = 7, minlen = 2,
                           progress = FALSE)
  expect_gt(nrow(whole$regions), 1)
  for (chunk in c(1, 97, 2397)) {
    x <- analyze_samples(study, targets, threshold = 7, minlen = 2,
                         progress = FALSE, chunk_size = chunk)
    for (what in c("bins", "regions")) {
      expect_identical(SummarizedExperiment::assays(x[[what]]),
                       SummarizedExperiment::assays(whole[[what]]),
                       label = sprintf("%s in chunks of %d", what, chunk))
      expect_identical(SummarizedExperiment::rowRanges(x[[what]]),
                       SummarizedExperiment::rowRanges(whole[[what]]))
    }
  }
  reversed <- analyze_samples(study, targets[2:1, ], threshold = 7, minlen = 2,
                              progress = FALSE)
  expect_identical(assay(reversed$bins, "sum"),
                   assay(whole$bins, "sum")[c(3:4, 1:2), ])
  # the last bin of each sequence keeps what is left
  x <- analyze_samples(study, progress = FALSE)
  expect_identical(GenomicRanges::width(x$bins),
                   c(1000L, 1000L, 500L, 1000L, 800L, 1000L, 234L))
  expect_identical(x$bins$condition, study$condition)
  expect_identical(colnames(x$bins), study$sample)
})

test_that("targets are grouped into tasks as a walk along them groups them", {
  # the reference walks the targets in order along each sequence, starting
  # a new task when one holds `targets_per_task` targets or the next would
  # pass the budget of positions
  cap <- Tolvendra:::targets_per_task
  walk <- function(targets, workers) {
    widths <- as.double(targets$end) - targets$start + 1
    budget <- max(sum(widths) / (2 * workers), 1)
    groups <- list()
    current <- integer()
    held <- 0
    for (t in order(match(targets$seqname, unique(targets$seqname)), targets$start)) {
      if (length(current) > 0L && (length(current) >= cap || held + widths[t] > budget)) {
        groups[[length(groups) + 1L]] <- current
        current <- integer()
        held <- 0
      }
      current <- c(current, t)
      held <- held + widths[t]
    }
    c(groups, list(current))
  }
  for (seed in 1:60) {
    set.seed(seed)
    n <- sample(c(0:5, 100, 2500, 2.5 * cap), 1)
    targets <- data.frame(seqname = sample(c("chrA", "chrB", "chrC"), n, replace = TRUE),
                          start = sample(1e6, n, replace = TRUE))
    targets$end <- targets$start + sample(c(0, 10, 1e5, 5e5), n, replace = TRUE)
    workers <- sample(c(1, 2, 7), 1)
    expect_identical(Tolvendra:::target_groups(targets, workers), walk(targets, workers),
                     info = case_label(seed, n = n, workers = workers))
  }
})

test_that("cpm weighs samples by their library sizes", {
  skip_without_samples()
  study <- make_study()
  x <- analyze_samples(study, threshold = 8000, normalize = "cpm",
                       progress = FALSE)
  cpm <- assay(x$regions, "cpm")
  expect_equal(cpm, sweep(assay(x$regions, "mean"), 2, 1e6 / x$bins$library_size, `*`))
  # the pooled mean is the mean of the normalized means, and reaches the
  # threshold where the integer profile does
  expect_equal(SummarizedExperiment::rowData(x$regions)$pooled, rowMeans(cpm))
  expect_true(all(SummarizedExperiment::rowData(x$regions)$pooled >= 8000 * (1 - 1e-12)))
  expect_gt(nrow(x$regions), 0)
})

test_that("every form of `where` gives the same targets", {
  skip_without_samples()
  study <- make_study()
  bed <- tempfile(fileext = ".bed")
  # targets of one sequence need not be next to each other
  writeLines(c("track name=targets", "chrA\t100\t900\tfirst",
               "chrC\t1000\t1234\tsecond", "chrA\t1499\t2000\tthird"), bed)
  frame <- data.frame(chr = c("chrA", "chrC", "chrA"),
                      start = c(101, 1001, 1500), end = c(900, 1234, 2000))
  forms <- list(
    strings = c("chrA:101-900", "chrC:1,001-1,234", "chrA:1500-2000"),
    frame = frame,
    seqnames = setNames(frame, c("seqnames", "start", "end")),
    granges = GenomicRanges::GRanges(frame$chr,
                                     IRanges::IRanges(frame$start, frame$end)),
    bed = bed)
  ref <- reference_samples(study, 300, 6, 0, "none",
                           setNames(frame, c("seqname", "start", "end")))
  for (form in names(forms)) {
    x <- analyze_samples(study, forms[[form]], width = 300, threshold = 6,
                         progress = FALSE)
    expect_matches_reference(x, ref, form)
    expect_identical(x$targets$start, c(101L, 1001L, 1500L), label = form)
  }
  expect_identical(x$targets$name, c("first", "second", "third"))
  whole <- analyze_samples(study, c("chrB", "chrA:1-10"), width = 1000,
                           progress = FALSE)
  expect_identical(as.character(GenomicRanges::seqnames(whole$bins)),
                   c("chrB", "chrB", "chrA"))
  expect_identical(GenomicRanges::end(whole$bins), c(1000L, 1800L, 10L))
})

test_that("a misspelt reading option is an error, not ignored", {
  skip_without_samples()
  study <- make_study()
  expect_error(analyze_samples(study, chunksize = 5), "not `chunksize`",
               class = "tolvendra_error_arg")
})

test_that("sample names default to the file names", {
  skip_without_samples()
  study <- make_study()
  x <- analyze_samples(study$file[1:2], "chrB", progress = FALSE)
  expect_identical(colnames(x$bins), c("s1", "s2"))
  named <- analyze_samples(c(a = study$file[3]), "chrB", progress = FALSE)
  expect_identical(colnames(named$regions), "a")
})

test_that("results are identical on every BiocParallel back end", {
  skip_without_samples()
  skip_on_os("windows")
  study <- make_study()
  serial <- analyze_samples(study, width = 500, threshold = 6,
                            normalize = "cpm", progress = FALSE)
  for (param in list(BiocParallel::MulticoreParam(2),
                     BiocParallel::SnowParam(2, exportglobals = FALSE))) {
    other <- analyze_samples(study, width = 500, threshold = 6,
                             normalize = "cpm", BPPARAM = param,
                             progress = FALSE)
    expect_identical(other, serial, label = class(param)[1])
  }
})

test_that("printing shows the samples and regions", {
  skip_without_samples()
  study <- make_study()
  x <- analyze_samples(study, width = 1000, threshold = 10, minlen = 20,
                       progress = FALSE)
  expect_snapshot({
    x
    summary(x)
  })
  png <- tempfile(fileext = ".png")
  expect_identical(plot(x, file = png), x)
  expect_identical(readBin(png, "raw", 4), as.raw(c(0x89, 0x50, 0x4e, 0x47)))
})

test_that("bad samples, targets and back ends give clear errors", {
  skip_without_samples()
  study <- make_study()
  dir <- tempfile("other")
  dir.create(dir)
  other <- write_study_bam(simulate_records(20, 9, c(chrA = 2500, chrB = 1700)),
                           "other", dir, c(chrA = 2500, chrB = 1700))
  files <- study$file
  expect_snapshot(error = TRUE, transform = function(x) gsub("\"[^\"]*/", "\"", x), {
    analyze_samples(c(files, other))
    analyze_samples(c(files[1], other), "chrC")
    analyze_samples(c(files[1], "no/such.bam"))
    analyze_samples(c(a = files[1], a = files[2]))
    analyze_samples(data.frame(path = files))
    analyze_samples(42)
    analyze_samples(files, "chrA:0-10")
    analyze_samples(files, c("chrZ:1-10", "chrY"))
    analyze_samples(files, "chrZ")
    analyze_samples(files, data.frame(seqname = "chrA", begin = 1, end = 2))
    analyze_samples(files, list(1))
    analyze_samples(files, normalize = "tpm")
    analyze_samples(files, BPPARAM = 2)
    analyze_samples(files, width = 0)
  })
  empty <- write_study_bam(character(), "empty", dir)
  expect_snapshot(error = TRUE, transform = function(x) gsub("\"[^\"]*/", "\"", x), {
    analyze_samples(c(files[1], empty), normalize = "cpm")
  })
  # headers that differ only in sequences left out do not matter
  x <- analyze_samples(c(files[1], other), "chrA", progress = FALSE)
  expect_identical(ncol(x$bins), 2L)
})

test_that("sums past 2^31 do not wrap", {
  skip_without_samples()
  dir <- tempfile("deep")
  dir.create(dir)
  # 300 reads that each cover 10,000,002 positions through a long deletion
  lengths <- c(chrL = 10000100)
  records <- sprintf("d%d\t0\tchrL\t1\t60\t1M10000000D1M\t*\t0\t0\t*\t*", 1:300)
  bam <- write_study_bam(records, "deep", dir, lengths)
  x <- analyze_samples(bam, width = 2e7, threshold = 300, progress = FALSE)
  expect_identical(assay(x$bins, "sum"), matrix(300 * 10000002))
  expect_identical(GenomicRanges::end(x$regions), 10000002L)
  expect_identical(assay(x$regions, "sum"), matrix(300 * 10000002))
  expect_identical(assay(x$regions, "mean"), matrix(300))
})
