# Each sample's results are its own: alone, or among others of very
# different depths, in any order, on any back end and in chunks of any
# size, every many-sample function gives each sample the same numbers.

test_that("each sample alone equals itself among others, in any order, back end and chunk", {
  skip_without_bam()
  skip_on_cran()
  skip_if_not_installed("BiocParallel")
  dir <- tempfile("metamorphic")
  dir.create(dir)
  # seeds 11, 12, 13: about 1x, 30x and 300x of 40-base reads, with
  # deletions, splices and flagged reads, over three small sequences, the
  # two short ones read in one task
  lengths <- c(chrA = 2000, chrB = 900, chrC = 900)
  reads <- c(x1 = 30, x30 = 900, x300 = 9000)
  files <- vapply(names(reads), function(s) {
    write_study_bam(simulate_records(reads[[s]], 10 + match(s, names(reads)),
                                     lengths), s, dir, lengths)
  }, "")
  # overlapping and unsorted features, one across two sequences' ends
  features <- data.frame(seqname = c("chrB", "chrA", "chrA", "chrC", "chrA"),
                         start = c(1, 300, 250, 850, 1),
                         end = c(900, 900, 1100, 900, 1400),
                         name = paste0("f", 1:5))
  # each function's result for each of the `samples`, as a list by sample
  functions <- list(
    analyze_samples = function(f, ...) {
      x <- analyze_samples(f, width = 97, threshold = 20, ...)$bins
      per_sample(x)
    },
    summarize_features = function(f, ...) {
      per_sample(summarize_features(f, features, stats = c("sum", "median", "sd"),
                                    thresholds = c(1, 30), relative = 0.5,
                                    reads = TRUE, ...))
    },
    depth_distribution = function(f, ...) {
      d <- depth_distribution(f, max_depth = 400, ...)
      lapply(stats::setNames(nm = names(f)), function(s) {
        rows <- function(t) {
          t <- t[t$sample == s, ]
          rownames(t) <- NULL
          t
        }
        list(distribution = rows(d$distribution), summary = rows(d$summary))
      })
    },
    compare_groups = function(f, ...) {
      # alone, a sample is compared with a twin of itself in the other group
      groups <- ifelse(names(f) == "x1", "low", "high")
      if (length(f) == 1L) {
        f <- c(f, twin = unname(f))
        groups <- c(groups, setdiff(c("low", "high"), groups))
      }
      samples <- data.frame(file = unname(f), sample = names(f),
                            group = factor(groups, c("low", "high")))
      x <- compare_groups(samples, "group", features, ...)
      x$group <- NULL
      c(per_sample(x),
        list(groups = list(S4Vectors::metadata(x)$scale,
                           SummarizedExperiment::rowData(x))))
    },
    export_coverage = function(f, ...) {
      lapply(f, function(file) {
        track <- tempfile(fileext = ".bedGraph")
        export_coverage(file, track, "bedGraph", ...)
        readLines(track)
      })
    })
  snow <- BiocParallel::SnowParam(2, exportglobals = FALSE)
  BiocParallel::bpstart(snow)
  on.exit(BiocParallel::bpstop(snow), add = TRUE)
  params <- list(serial = BiocParallel::SerialParam(), snow = snow)
  cases <- expand.grid(chunk = c(1, 64, 65536), order = c("given", "reversed"),
                       param = names(params), stringsAsFactors = FALSE)
  for (name in names(functions)) {
    fun <- functions[[name]]
    alone <- lapply(names(files), function(s) fun(files[s])[[s]])
    names(alone) <- names(files)
    together <- NULL
    for (i in seq_len(nrow(cases))) {
      case <- cases[i, ]
      f <- if (case$order == "given") files else rev(files)
      args <- list(f, chunk_size = case$chunk)
      if (name != "export_coverage") args$BPPARAM <- params[[case$param]]
      got <- do.call(fun, args)
      label <- sprintf("%s, seeds 11-13, %s order, %s, chunk_size %d", name,
                       case$order, case$param, case$chunk)
      for (s in names(files)) {
        expect_identical(got[[s]], alone[[s]], label = paste(label, s))
      }
      # what the groups share does not depend on how they are read
      together <- together %||% got$groups
      expect_identical(got$groups, together, label = label)
      if (name == "depth_distribution") {
        for (s in names(files)) {
          d <- got[[s]]$distribution
          expect_true(all(d$fraction[d$depth == 0] == 1), label = paste(label, s))
        }
      }
      if (name == "export_coverage") break
    }
  }
})
