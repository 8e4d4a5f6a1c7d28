skip_without_features <- function() {
  skip_without_bam()
  skip_if_not_installed("BiocParallel")
  skip_if_not_installed("SummarizedExperiment")
}

skip_without_peers <- function() {
  for (tool in c("samtools", "mosdepth", "bedtools")) {
    skip_if(!nzchar(Sys.which(tool)), paste(tool, "is not installed"))
  }
}

assay_of <- function(x, what) unname(SummarizedExperiment::assay(x, what))

# Random named features, overlapping, unsorted and on every sequence, of
# odd widths (mosdepth -m reports the lower middle depth of even widths).
random_features <- function(seed, lengths, n) {
  set.seed(seed)
  seqname <- sample(names(lengths), n, replace = TRUE)
  width <- 2L * sample(0:150, n, replace = TRUE) + 1L
  start <- vapply(seq_len(n), function(i) {
    sample.int(lengths[[seqname[i]]] - width[i] + 1L, 1L)
  }, 0L)
  data.frame(seqname = seqname, start = start, end = start + width - 1L,
             name = sprintf("feature%03d", seq_len(n)))
}

write_features_bed <- function(features, path) {
  writeLines(sprintf("%s\t%d\t%d\t%s", features$seqname, features$start - 1L,
                     features$end, features$name), path)
  path
}

gz_table <- function(path) {
  con <- gzfile(path, "r")
  on.exit(close(con))
  utils::read.table(con, sep = "\t", comment.char = "#",
                    stringsAsFactors = FALSE)
}

# mosdepth on one file: its regions (means, or medians with -m),
# thresholds, distribution, summary and quantized files.
run_mosdepth <- function(bam, bed, dir, median = FALSE) {
  prefix <- file.path(dir, paste0(sub("\\.bam$", "", basename(bam)),
                                  if (median) "_median"))
  args <- c("-n", "--by", bed, "-T", "1,5,10", if (median) "-m",
            if (!median) c("-q", "0:1:5:150:"), prefix, bam)
  status <- system2("mosdepth", shQuote(args), env = "MOSDEPTH_PRECISION=5",
                    stdout = FALSE, stderr = FALSE)
  stopifnot(status == 0)
  prefix
}

test_that("feature summaries, distributions and quantized tracks equal their peers", {
  skip_without_features()
  skip_without_peers()
  # mosdepth and samtools bedcov -j leave deletions uncovered: reads
  # without deletions. bedtools multicov counts secondary reads: leave out
  # only unmapped, QC-failed and duplicate reads (1540) when comparing.
  study <- make_study(deletions = FALSE)
  sm <- file.path(tempfile("sm"), "sm_treated1.bam")
  dir.create(dirname(sm))
  file.copy(system.file("extdata", "sm_treated1.bam",
                        package = "GenomicAlignments"), sm)
  stopifnot(system2("samtools", c("index", shQuote(sm))) == 0)
  sm_lengths <- c(chr2L = 23011544, chr2R = 21146708, chr3L = 24543557)
  sm_features <- rbind(
    data.frame(seqname = "chr2L", start = seq(7001, 11001, by = 250),
               end = seq(7001, 11001, by = 250) + 300),
    data.frame(seqname = c("chr3L", "chr2R", "chr2R"),
               start = c(27601, 2001, 4101), end = c(28001, 3201, 5101)))
  sm_features$name <- sprintf("sm%02d", seq_len(nrow(sm_features)))
  sets <- list(
    simulated = list(files = stats::setNames(study$file, study$sample),
                     # seed 19, 60 features over chrA, chrB, chrC
                     features = random_features(19, study_lengths, 60)),
    sm_treated1 = list(files = c(sm_treated1 = sm),
                       features = sm_features[sample(nrow(sm_features)), ]))
  rows <- list()
  add <- function(set, what, peer, ours, theirs, tolerance = 0) {
    rows[[length(rows) + 1L]] <<- list(set = set, what = what, peer = peer,
                                       ours = ours, theirs = theirs,
                                       tolerance = tolerance)
  }
  for (set in names(sets)) {
    files <- sets[[set]]$files
    features <- sets[[set]]$features
    dir <- tempfile("peers")
    dir.create(dir)
    bed <- write_features_bed(features, file.path(dir, "features.bed"))
    x <- summarize_features(files, features, stats = c("mean", "sum", "median"),
                            thresholds = c(1, 5, 10))
    expect_identical(rownames(x), features$name)
    n <- system2(
      "bedtools", c("multicov", "-split", "-bams", shQuote(files), "-bed",
                    shQuote(bed)), stdout = TRUE)
    multicov <- do.call(rbind, strsplit(n, "\t"))
    counts <- summarize_features(files, bed, stats = NULL, reads = TRUE,
                                 exclude_flags = 1540)
    add(set, "reads", "bedtools multicov -split",
        assay_of(counts, "reads"),
        matrix(as.integer(multicov[, 4L + seq_along(files)]), nrow(features)))
    for (s in seq_along(files)) {
      bedcov <- system2("samtools", c("bedcov", "-j", shQuote(bed),
                                      shQuote(files[[s]])), stdout = TRUE)
      add(set, "sum", "samtools bedcov -j", assay_of(x, "sum")[, s],
          as.double(do.call(rbind, strsplit(bedcov, "\t"))[, 5L]))
      prefix <- run_mosdepth(files[[s]], bed, dir)
      regions <- gz_table(paste0(prefix, ".regions.bed.gz"))
      at <- match(features$name, regions$V4)
      add(set, "mean", "mosdepth --by", assay_of(x, "mean")[, s],
          regions$V5[at], tolerance = 5e-6)
      thresholds <- gz_table(paste0(prefix, ".thresholds.bed.gz"))
      add(set, "bases_ge", "mosdepth -T 1,5,10",
          cbind(assay_of(x, "bases_ge_1")[, s], assay_of(x, "bases_ge_5")[, s],
                assay_of(x, "bases_ge_10")[, s]),
          as.matrix(thresholds[match(features$name, thresholds$V4), 5:7]),
          tolerance = 0)
      medians <- gz_table(paste0(run_mosdepth(files[[s]], bed, dir, TRUE),
                                 ".regions.bed.gz"))
      add(set, "median", "mosdepth --by -m", assay_of(x, "median")[, s],
          medians$V5[match(features$name, medians$V4)])

      # the whole genome: distribution, summary and quantized track
      d <- depth_distribution(files[s], max_depth = 1000)
      dist <- utils::read.table(paste0(prefix, ".mosdepth.global.dist.txt"),
                                col.names = c("seqname", "depth", "fraction"))
      ours <- d$distribution[match(paste(dist$seqname, dist$depth),
                                   paste(d$distribution$seqname,
                                         d$distribution$depth)), ]
      add(set, "distribution", "mosdepth dist.txt", ours$fraction,
          dist$fraction, tolerance = 5e-6)
      beyond <- d$distribution$depth > stats::ave(dist$depth, dist$seqname,
                                                  FUN = max)[
        match(d$distribution$seqname, dist$seqname)]
      # mosdepth leaves out the depths of tiny shares (all below 1e-4 here)
      add(set, "distribution beyond the deepest", "mosdepth dist.txt",
          pmin(d$distribution$fraction[beyond], 1e-4), rep(0, sum(beyond)),
          tolerance = 1e-4)
      summary <- utils::read.table(paste0(prefix, ".mosdepth.summary.txt"),
                                   header = TRUE)
      summary <- summary[!grepl("_region$", summary$chrom), ]
      mine <- d$summary[match(summary$chrom, d$summary$seqname), ]
      add(set, "summary", "mosdepth summary.txt",
          cbind(mine$length, mine$bases, mine$min, mine$max),
          unname(cbind(summary$length, summary$bases, summary$min,
                       summary$max)))
      add(set, "summary mean", "mosdepth summary.txt", mine$mean,
          summary$mean, tolerance = 5e-6)
      track <- file.path(dir, "quantized.bed")
      export_coverage(files[[s]], track, format = "bed")
      quantized <- gzfile(paste0(prefix, ".quantized.bed.gz"), "r")
      add(set, "quantized", "mosdepth -q 0:1:5:150:", readLines(track),
          readLines(quantized))
      close(quantized)
    }
  }
  for (r in rows) {
    label <- sprintf("%s: %s against %s", r$set, r$what, r$peer)
    if (r$tolerance > 0) {
      expect_true(isTRUE(all(abs(r$ours - r$theirs) <= r$tolerance)) &&
                    length(r$ours) == length(r$theirs), label = label)
    } else {
      expect_equal(r$ours, r$theirs, ignore_attr = TRUE, label = label)
    }
  }
})

test_that("medians, spreads and fractions of the mean equal R's on the per-base depth", {
  skip_without_features()
  skip_without_samtools()
  study <- make_study()
  # seed 7, 50 features of any width; even widths too, where median()
  # takes the mean of the middle two
  features <- random_features(7, study_lengths, 50)
  features$end <- features$end + rep(0:1, 25)
  features <- features[features$end <= study_lengths[features$seqname], ]
  x <- summarize_features(stats::setNames(study$file, study$sample), features,
                          stats = c("median", "min", "max", "sd"),
                          relative = c(0.2, 1))
  depth <- lapply(study$file, reference_depth)
  inside <- lapply(seq_len(nrow(features)), function(i) {
    features$start[i]:features$end[i]
  })
  union <- lapply(names(study_lengths), function(s) {
    sort(unique(unlist(inside[features$seqname == s])))
  })
  names(union) <- names(study_lengths)
  for (s in seq_along(depth)) {
    d <- lapply(seq_len(nrow(features)), function(i) {
      depth[[s]][[features$seqname[i]]][inside[[i]]]
    })
    mean_depth <- sum(unlist(Map(function(dd, u) as.double(dd[u]), depth[[s]],
                                 union[names(depth[[s]])]))) /
      sum(lengths(union))
    expect_equal(x$mean_depth[s], mean_depth, tolerance = 1e-12)
    expect_identical(assay_of(x, "median")[, s], vapply(d, stats::median, 0))
    expect_identical(assay_of(x, "min")[, s], vapply(d, min, 0L))
    expect_identical(assay_of(x, "max")[, s], vapply(d, max, 0L))
    expect_equal(assay_of(x, "sd")[, s], vapply(d, stats::sd, 0),
                 tolerance = 1e-12)
    for (f in c(0.2, 1)) {
      expect_identical(assay_of(x, sprintf("fraction_ge_%s_of_mean", f))[, s],
                       vapply(d, function(v) mean(v >= f * mean_depth), 0))
    }
  }
})

test_that("each subset of statistics gives the columns of the call that asks for all", {
  skip_without_features()
  study <- make_study()
  files <- stats::setNames(study$file, study$sample)
  known <- c("mean", "sum", "median", "min", "max", "sd")
  for (seed in 1:6) {
    features <- random_features(seed, study_lengths, 40)
    thresholds <- sort(sample(0:30, 2))
    all <- summarize_features(files, features, stats = known, thresholds = thresholds,
                              relative = 0.5, reads = TRUE, progress = FALSE)
    set.seed(100 + seed)
    for (k in 1:4) {
      stats <- sample(known, sample(1:6, 1))
      extra <- list(thresholds = if (k %% 2 == 0) thresholds,
                    relative = if (k == 3) 0.5, reads = k == 4)
      info <- case_label(seed, k = k, stats = stats, extra = extra)
      x <- do.call(summarize_features, c(list(files, features, stats = stats,
                                              progress = FALSE), extra))
      expect_identical(SummarizedExperiment::assays(x),
                       SummarizedExperiment::assays(all)[SummarizedExperiment::assayNames(x)],
                       info = info)
      expect_identical(SummarizedExperiment::rowRanges(x),
                       SummarizedExperiment::rowRanges(all), info = info)
      expect_identical(SummarizedExperiment::colData(x),
                       SummarizedExperiment::colData(all), info = info)
    }
  }
  # the engine shapes only the statistics asked for; the others have no rows
  source <- Tolvendra:::check_alignments(study$file[1])
  targets <- data.frame(seqname = "chrA", start = 1, end = 2000)
  spans <- data.frame(target = 1L, start = c(1, 501, 1201), end = c(400, 1000, 2000),
                      group = c(1L, 1L, 2L))
  run <- function(stats) {
    Tolvendra:::engine_run(list(source), read_options(), targets, spans,
                           groups = list(n = 2L, stats = stats))$groups
  }
  every <- run(Tolvendra:::group_statistics)
  set.seed(5)
  for (k in 1:8) {
    stats <- sample(Tolvendra:::group_statistics, sample(0:6, 1))
    g <- run(stats)
    for (name in Tolvendra:::group_statistics) {
      expect_identical(g[[name]], if (name %in% stats) every[[name]] else matrix(0, 0, 1),
                       info = paste(name, "with", deparse1(stats)))
    }
  }
})

test_that("a gene counts each position and each read once, however its exons lie", {
  skip_without_features()
  # an exon at each end of a 300 kb sequence, further apart than nearby
  # targets are read together, and a read spliced across both; two more
  # reads on the first exon, one of them also on an overlapping exon
  bam <- make_bam(c(
    "a 0 chr1 1001 60 40M * 0 0 * *",
    "b 0 chr1 1011 60 30M198960N30M * 0 0 * *",
    "c 0 chr1 1021 60 40M * 0 0 * *",
    "d 0 chr1 250001 60 20M * 0 0 * *"), lengths = c(chr1 = 300000, chr2 = 5000))
  gene <- GenomicRanges::GRangesList(
    g = GenomicRanges::GRanges("chr1", IRanges::IRanges(
      c(1001, 1021, 200001), c(1040, 1060, 200100))),
    split = GenomicRanges::GRanges(c("chr2", "chr1"),
                                   IRanges::IRanges(c(1, 250011), c(10, 250020))))
  x <- summarize_features(bam, gene, stats = c("sum", "mean"), reads = TRUE)
  expect_identical(rownames(x), c("g", "split"))
  # g: positions 1001-1060 and 200001-200100 once each
  expect_identical(SummarizedExperiment::rowData(x)$bases, c(160, 20))
  expect_identical(assay_of(x, "sum")[, 1],
                   c(40 + 30 + 40 + 30, 10))
  expect_identical(assay_of(x, "reads")[, 1], c(3L, 1L))
  # features without a name (NA or "") are named by their range
  where <- data.frame(seqname = c("chr1", "chr1", "chr2"), start = c(1001, 250001, 1),
                      end = c(1040, 250020, 10), name = c("a", NA, ""))
  x <- summarize_features(bam, where, stats = "sum")
  expect_identical(rownames(x), c("a", "chr1:250001-250020", "chr2:1-10"))
  expect_identical(assay_of(x, "sum")[, 1], c(40 + 30 + 20, 20, 0))
  # and a gene without one by its span
  names(gene)[1] <- ""
  x <- summarize_features(bam, gene, stats = "sum")
  expect_identical(rownames(x), c("chr1:1001-200100", "split"))
})

test_that("features give the same results on every back end, split across tasks", {
  skip_without_features()
  skip_on_cran()
  study <- make_study()
  files <- stats::setNames(study$file, study$sample)
  # seed 3: 30 features, and genes whose exons lie on two sequences
  features <- random_features(3, study_lengths, 30)
  genes <- GenomicRanges::GRangesList(
    across = GenomicRanges::GRanges(c("chrA", "chrC"),
                                    IRanges::IRanges(c(5, 1100), c(300, 1200))),
    ends = GenomicRanges::GRanges("chrB", IRanges::IRanges(c(1, 1701), c(90, 1800))))
  run <- function(param) {
    list(summarize_features(files, features, stats = c("mean", "median", "sd"),
                            thresholds = 3, relative = 0.5, reads = TRUE,
                            BPPARAM = param),
         summarize_features(files, genes, stats = "sum", reads = TRUE,
                            BPPARAM = param),
         depth_distribution(files, max_depth = 20, BPPARAM = param))
  }
  serial <- run(BiocParallel::SerialParam())
  snow <- run(BiocParallel::SnowParam(2, exportglobals = FALSE))
  expect_identical(snow, serial)
  # the whole genome's distribution is the sum of its parts
  parts <- depth_distribution(files, c("chrA:1-1000", "chrA:900-2500", "chrB",
                                       "chrC"), max_depth = 20)
  expect_equal(parts$summary, serial[[3]]$summary)
  expect_equal(parts$distribution, serial[[3]]$distribution)
})

test_that("depths past max_depth gather in the last bin", {
  skip_without_features()
  skip_without_samtools()
  study <- make_study()
  d <- depth_distribution(study$file[1], where = "chrB", max_depth = 3)
  depth <- reference_depth(study$file[1])$chrB
  expect_identical(d$distribution$fraction[d$distribution$seqname == "chrB"],
                   vapply(0:3, function(k) mean(depth >= k), 0))
  expect_identical(d$summary$max[1], max(depth))
})

test_that("bad features, statistics and bins are refused with classed errors", {
  skip_without_features()
  bam <- ex1_bam()
  expect_error(summarize_features(bam, data.frame(seqname = "seq9", start = 1, end = 5)),
               class = "tolvendra_error_arg")
  expect_error(summarize_features(bam, GenomicRanges::GRanges("seq1:1-10"),
                                  stats = "mode"), class = "tolvendra_error_arg")
  expect_error(summarize_features(bam, GenomicRanges::GRanges("seq1:1-10"),
                                  thresholds = -1), class = "tolvendra_error_arg")
  expect_error(export_coverage(bam, tempfile(), format = "bed",
                               quantize = c(5, 1)), class = "tolvendra_error_arg")
  expect_error(plot(depth_distribution(bam, max_depth = 5), seqnames = "chrZ"),
               class = "tolvendra_error_arg")
})
