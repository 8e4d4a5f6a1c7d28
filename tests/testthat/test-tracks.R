# bigWig tracks as samples: the numbers of the reads they were made from,
# locally and over HTTP, the numbers of their full data as rtracklayer
# imports it, options that cannot apply refused, and BAM files and tracks
# in one call.

# Tests that read tracks skip only where the build is known to lack
# libBigWig: the CI stage that builds without it says so with
# TOLVENDRA_EXPECT_BIGWIG=none. Anywhere else such a build fails them.
skip_without_bigwig <- function() {
  skip_if(!isTRUE(tolvendra_info()$bigwig) &&
            Sys.getenv("TOLVENDRA_EXPECT_BIGWIG") == "none",
          "built without libBigWig, as TOLVENDRA_EXPECT_BIGWIG=none says")
}

# The simulated study with a track of each BAM written by export_coverage(),
# named without .bw (tracks are known by their first bytes): made once.
track_study <- local({
  made <- NULL
  function() {
    skip_without_bam()
    skip_if_not_installed("rtracklayer")
    if (is.null(made)) {
      study <- make_study()
      study$track <- sub("\\.bam$", ".depth", study$file)
      for (i in seq_len(nrow(study))) {
        export_coverage(study$file[i], study$track[i], format = "bigWig",
                        progress = FALSE)
      }
      made <<- study
    }
    made
  }
})

study_features <- function() {
  GenomicRanges::GRanges(c("chrA:1-700", "chrA:650-2500", "chrB:333-1000",
                           "chrC:1-1234", "chrC:1200-1234"))
}

all_stats <- c("mean", "sum", "median", "sd", "min", "max")

expect_same_experiment <- function(x, y, label) {
  expect_identical(SummarizedExperiment::assays(x), SummarizedExperiment::assays(y),
                   label = label)
  expect_identical(SummarizedExperiment::rowRanges(x),
                   SummarizedExperiment::rowRanges(y), label = label)
}

test_that("tracks exported from BAM files give the BAM files' numbers, locally and over HTTP", {
  skip_without_bigwig()
  study <- track_study()
  served <- dirname(study$track[1])
  server <- local_range_server(served)
  urls <- paste0(server$url, "/", basename(study$track))
  bam <- analyze_samples(study$file, width = 300, threshold = 4, progress = FALSE)
  features <- summarize_features(study$file, study_features(), all_stats,
                                 thresholds = c(1, 5), relative = 0.5,
                                 progress = FALSE)
  for (case in list(list(files = study$track, where = "local"),
                    list(files = urls, where = "http"))) {
    x <- analyze_samples(case$files, width = 300, threshold = 4, progress = FALSE)
    expect_same_experiment(x$bins, bam$bins, paste(case$where, "bins"))
    expect_same_experiment(x$regions, bam$regions, paste(case$where, "regions"))
    y <- summarize_features(case$files, study_features(), all_stats,
                            thresholds = c(1, 5), relative = 0.5, progress = FALSE)
    expect_same_experiment(y, features, paste(case$where, "features"))
  }
  expect_true(all(paste0("/", basename(study$track)) %in% server$requests()))
  expect_identical(depth_distribution(study$track, progress = FALSE)$distribution,
                   depth_distribution(study$file, progress = FALSE)$distribution)
  compared <- lapply(c("track", "file"), function(column) {
    samples <- data.frame(file = study[[column]], sample = study$sample,
                          condition = study$condition)
    compare_groups(samples, "condition", study_features(), scale = 0.8,
                   progress = FALSE)
  })
  expect_identical(SummarizedExperiment::assays(compared[[1L]]),
                   SummarizedExperiment::assays(compared[[2L]]))
})

test_that("a mixed call of BAM files and tracks equals the calls of each", {
  skip_without_bigwig()
  study <- track_study()
  mixed <- c(study$file[1], study$track[2], study$file[3])
  names(mixed) <- study$sample
  x <- analyze_samples(mixed, width = 250, threshold = 6, progress = FALSE)
  # the regions are across samples: those of the BAM files alone
  all_bam <- analyze_samples(stats::setNames(study$file, study$sample), width = 250,
                             threshold = 6, progress = FALSE)
  expect_same_experiment(x$regions, all_bam$regions, "regions across samples")
  for (s in seq_along(mixed)) {
    alone <- analyze_samples(mixed[s], width = 250, threshold = 6, progress = FALSE)
    expect_identical(SummarizedExperiment::assay(x$bins, "sum")[, s],
                     SummarizedExperiment::assay(alone$bins, "sum")[, 1L],
                     label = paste("bin sums of", mixed[s]))
  }
  # the BAM files among them read in short stretches on two threads
  withr::with_options(list(tolvendra.min_stretch = 97), {
    apart <- analyze_samples(mixed, width = 250, threshold = 6, threads = 2,
                             progress = FALSE)
  })
  expect_same_experiment(apart$bins, x$bins, "bins read in stretches")
  expect_same_experiment(apart$regions, x$regions, "regions read in stretches")
  y <- summarize_features(mixed, study_features(), all_stats, progress = FALSE)
  expect_same_experiment(y, summarize_features(stats::setNames(study$file, study$sample),
                                               study_features(), all_stats,
                                               progress = FALSE), "features")
})

# A track with gaps, as another program writes it: seeded random intervals
# on two sequences, of whole depths or of real values (some negative, as
# log ratios are), or with an infinite value.
random_track <- function(seed, path, values = c("whole", "real", "missing")) {
  values <- match.arg(values)
  set.seed(seed)
  lengths <- c(chr1 = 5000L, chr2 = 3100L)
  pieces <- lapply(names(lengths), function(s) {
    cuts <- sort(sample(2:(lengths[[s]] - 1L), 60))
    keep <- stats::runif(61) < 0.7 # gaps: no interval, depth 0
    data.frame(seqname = s, start = c(1L, cuts)[keep],
               end = c(cuts - 1L, lengths[[s]])[keep])
  })
  pieces <- do.call(rbind, pieces)
  gr <- GenomicRanges::GRanges(pieces$seqname, IRanges::IRanges(pieces$start, pieces$end),
                               seqlengths = lengths)
  n <- length(gr)
  gr$score <- switch(values, whole = sample(0:40, n, replace = TRUE),
                     real = stats::runif(n, -2, 40),
                     missing = replace(stats::runif(n), 5L, Inf))
  rtracklayer::export(gr, path, format = "bigWig")
  path
}

test_that("a track's numbers are those of its full data as rtracklayer imports it", {
  skip_without_bigwig()
  skip_if_not_installed("rtracklayer")
  features <- GenomicRanges::GRanges(c("chr1:1-5000", "chr1:17-333", "chr1:2000-2001",
                                       "chr2:400-3100", "chr2:3100-3100"))
  cases <- expand.grid(seed = c(11, 12), values = c("whole", "real"),
                       stringsAsFactors = FALSE)
  for (k in seq_len(nrow(cases))) {
    seed <- cases$seed[k]
    track <- random_track(seed, tempfile(fileext = ".bw"), cases$values[k])
    label <- case_label(seed, values = cases$values[k], features = "five spans")
    depth <- GenomicRanges::coverage(rtracklayer::import(track), weight = "score")
    values_of <- function(ranges) as.numeric(unlist(depth[ranges], use.names = FALSE))
    got <- summarize_features(track, features, all_stats, thresholds = 20,
                              progress = FALSE)
    ref <- do.call(rbind, lapply(seq_along(features), function(i) {
      d <- values_of(features[i])
      c(mean = mean(d), sum = sum(d), median = stats::median(d), sd = stats::sd(d),
        min = min(d), max = max(d), ge20 = sum(d >= 20))
    }))
    for (stat in all_stats) {
      expect_equal(unname(SummarizedExperiment::assay(got, stat)[, 1L]),
                   unname(ref[, stat]), label = paste(label, stat))
    }
    expect_equal(unname(SummarizedExperiment::assay(got, "bases_ge_20")[, 1L]),
                 unname(ref[, "ge20"]), label = paste(label, "at least 20"))
    # bins sum the values; regions are those of the whole parts of them
    x <- analyze_samples(track, width = 700, threshold = 15, minlen = 50,
                         progress = FALSE)
    bins <- SummarizedExperiment::rowRanges(x$bins)
    expect_equal(unname(SummarizedExperiment::assay(x$bins, "sum")[, 1L]),
                 vapply(seq_along(bins), function(i) sum(values_of(bins[i])), 0),
                 label = paste(label, "bin sums"))
    regions <- unlist(lapply(names(depth), function(s) {
      d <- floor(as.numeric(depth[[s]]))
      found <- regionmining(seq_along(d), d, 15, 50)
      sprintf("%s:%d-%d", rep(s, nrow(found)), found$start, found$end)
    }))
    expect_identical(as.character(SummarizedExperiment::rowRanges(x$regions)), regions,
                     label = paste(label, "regions"))
    # positions by whole depth, those of a real value counted at the whole
    # depth below it, negative ones at 0
    whole <- floor(pmax(values_of(GenomicRanges::GRanges(c("chr1:1-5000", "chr2:1-3100"))), 0))
    dist <- depth_distribution(track, progress = FALSE)$distribution
    total <- dist[dist$seqname == "total", ]
    at_least <- rev(cumsum(rev(tabulate(whole + 1L, nrow(total))))) / length(whole)
    expect_equal(total$fraction, at_least, label = paste(label, "distribution"))
  }
})

test_that("kept runs of a track's real values come back as doubles", {
  skip_without_bigwig()
  skip_if_not_installed("rtracklayer")
  track <- random_track(14, tempfile(fileext = ".bw"), "real")
  depth <- as.numeric(GenomicRanges::coverage(rtracklayer::import(track),
                                              weight = "score")$chr2)
  window <- data.frame(seqname = "chr2", start = 101, end = 2900)
  source <- Tolvendra:::check_source(track)
  kept <- lapply(c(coverage = "coverage", rle = "rle"), function(keep) {
    Tolvendra:::engine_run(list(source), read_options(), window, keep = keep)$runs[[1L]]
  })
  expect_identical(kept$coverage, depth[101:2900])
  expect_identical(rep(kept$rle$values, kept$rle$lengths), depth[101:2900])
  expect_identical(unserialize(serialize(kept$rle, NULL)),
                   lapply(kept$rle, function(v) v[seq_along(v)]))
})

test_that("what cannot apply to a track is refused, naming it", {
  skip_without_bigwig()
  study <- track_study()
  refusals <- list(
    list(quote(analyze_samples(study$track, min_mapq = 20)), "tolvendra_error_arg", "min_mapq"),
    list(quote(summarize_features(study$track, study_features(), strand = "+",
                                  fragments = FALSE, extend = 100)),
         "tolvendra_error_arg", "extend"),
    list(quote(analyze_samples(study$track, normalize = "cpm")), "tolvendra_error_arg", "library size"),
    list(quote(compare_groups(data.frame(file = study$track, sample = study$sample,
                                         condition = study$condition),
                              "condition", study_features())),
         "tolvendra_error_arg", "library size"),
    list(quote(summarize_features(study$track, study_features(), reads = TRUE)),
         "tolvendra_error_arg", "reads"),
    list(quote(analyze_region(study$track[1], "chrA")), "tolvendra_error_arg",
         "a bigWig track"))
  for (r in refusals) {
    expect_error(eval(r[[1L]]), class = r[[2L]], regexp = r[[3L]],
                 label = deparse(r[[1L]])[1L])
  }
  # truncated within its header, its data, its index: a fault, never a crash
  bytes <- readBin(study$track[1], "raw", file.size(study$track[1]))
  for (n in c(50L, 500L, length(bytes) %/% 2L)) {
    cut <- tempfile()
    writeBin(bytes[seq_len(n)], cut)
    expect_error(analyze_samples(cut, progress = FALSE), class = "tolvendra_error_track",
                 regexp = "truncated", label = sprintf("the track cut to %d bytes", n))
  }
  # a byte of its first block of data changed: libBigWig's iterator would
  # end there quietly, so the numbers would lack the rest
  data <- sum(as.integer(bytes[17:24]) * 256^(0:7)) # the full data's offset
  damaged <- tempfile()
  writeBin(replace(bytes, data + 40, xor(bytes[data + 40], as.raw(0x5a))), damaged)
  expect_error(analyze_samples(damaged, progress = FALSE), class = "tolvendra_error_track",
               regexp = "cannot be read")
  missing <- random_track(13, tempfile(fileext = ".bw"), "missing")
  expect_error(analyze_samples(missing, progress = FALSE),
               class = "tolvendra_error_track", regexp = "not a finite number")
})

test_that("a build without libBigWig refuses tracks, naming the package to install", {
  skip_if(isTRUE(tolvendra_info()$bigwig), "built with libBigWig")
  study <- track_study()
  err <- expect_error(analyze_samples(study$track, progress = FALSE),
                      class = "tolvendra_error_missing_package")
  expect_identical(err$package, "libbigwig-dev")
  expect_match(conditionMessage(err), "libbigwig-dev", fixed = TRUE)
})

test_that("the build reads tracks unless it was meant not to", {
  expect_identical(isTRUE(tolvendra_info()$bigwig),
                   Sys.getenv("TOLVENDRA_EXPECT_BIGWIG") != "none")
})
