#' Distribution of depths of many samples
#'
#' For each sample, the fraction of positions covered at least `d` deep for
#' every depth `d` from 0 to `max_depth`, on each sequence and over all of
#' them (as mosdepth's `dist.txt`), and a summary of the depth of each
#' sequence and of all of them (as mosdepth's `summary.txt`), in one pass
#' over each file. Samples may be bigWig tracks, as for
#' [analyze_samples()] (see its section on them).
#'
#' Depths are those of [analyze_samples()] with the same reading options:
#' deletions (CIGAR `D`) count as covered, introns (`N`) do not; mosdepth
#' leaves deletions uncovered and counts overlapping mates of proper pairs
#' once, which `deletions = "uncovered", overlap = "proper"` does too.
#' With `where`, only its targets count, each position once however many
#' targets hold it; a sequence's `length` is then the positions of its
#' targets. Depths above `max_depth` are counted
#' as `max_depth` in the distribution only: the summary's `bases`, `mean`
#' and `max` are exact.
#'
#' As in mosdepth's `summary.txt` and `dist.txt`, a sample's `"total"`
#' leaves out the sequences on which its file has no mapped reads (by its
#' index; for a CRAM file, whose index holds no counts, those no read kept
#' by the options covers; for a bigWig track, those at depth 0 throughout),
#' so that unplaced scaffolds or decoys without
#' reads do not dilute the genome's mean. Unlike mosdepth, each such
#' sequence keeps its own rows, all at depth 0, so that every sample has
#' the same rows. Where a sample has reads on no sequence, its total is
#' `NA`.
#'
#' @param max_depth The largest depth of the distribution.
#' @inheritParams analyze_samples
#' @return An object of class `tolvendra_distribution` with `print()` and
#'   `plot()` methods, a list of:
#'   * `distribution`: a data frame with columns `sample`, `seqname` (a
#'     sequence, or `"total"`), `depth` (0 to `max_depth`) and `fraction`,
#'     the fraction of the positions at least `depth` deep.
#'   * `summary`: a data frame with columns `sample`, `seqname`, `length`
#'     (positions), `bases` (the sum of the depths, as mosdepth counts
#'     them), `covered` (positions at least 1 deep), `mean`, `min` and
#'     `max` depth.
#'   * `samples`: the samples with their annotations, `file` and `mapped`
#'     reads; `max_depth` and the reading `options`.
#' @seealso [summarize_features()] for statistics over features.
#' @export
#' @examplesIf requireNamespace("Rsamtools", quietly = TRUE)
#' bam <- system.file("extdata", "ex1.bam", package = "Rsamtools")
#' x <- depth_distribution(c(ex1 = bam), max_depth = 200)
#' x
#' head(x$distribution)
#' x$summary
#' plot(x, seqnames = c("seq1", "seq2", "total"))
depth_distribution <- function(files, where = NULL, max_depth = 1000,
                               BPPARAM = BiocParallel::SerialParam(),
                               options = read_options(), ...) {
  call <- sys.call()
  options <- reading_options(options, list(...), call)
  max_depth <- check_count(max_depth, "max_depth", min = 0, call = call)
  if (max_depth > 1e6) {
    abort_arg(sprintf("`max_depth` must be at most 1,000,000, not %s.",
                      describe(max_depth)), call, "max_depth")
  }
  study <- open_study(files, where, "where", BPPARAM, options, call)
  if (start_workers(BPPARAM)) on.exit(BiocParallel::bpstop(BPPARAM), add = TRUE)
  pieces <- cbind(study$targets[c("seqname", "start", "end")],
                  group = seq_len(nrow(study$targets)))
  plan <- feature_plan(pieces, study$lengths, BiocParallel::bpnworkers(BPPARAM))
  tasks <- lapply(plan$tasks, function(rows) {
    targets <- plan$targets[rows, ]
    list(sources = study$sources, options = study$options, targets = targets,
         spans = data.frame(target = seq_along(rows), start = targets$start,
                            end = targets$end, group = seq_along(rows)),
         groups = list(n = length(rows), stats = c("sum", "bases", "min", "max"),
                       histogram = max_depth))
  })
  results <- run_tasks(tasks, distribution_task, BPPARAM, study$progress, call)
  distribution_tables(plan, unlist(plan$tasks), results, study, max_depth)
}

distribution_task <- function(task) {
  engine_run(task$sources, task$options, task$targets, task$spans,
             groups = task$groups, arg = "files", call = NULL)$groups
}

# Histograms and statistics of the targets gathered by sequence and in
# total. The engine's histograms are depths x targets x samples. A
# sample's total leaves out the sequences it has no reads on, as
# mosdepth's does; their own rows stay, all zero.
distribution_tables <- function(plan, rows, results, study, max_depth) {
  samples <- study$samples
  n_samples <- nrow(samples)
  bins <- max_depth + 1L
  seqname <- plan$targets$seqname[rows]
  level <- factor(seqname, intersect(names(study$lengths), seqname))
  stack <- function(name) do.call(rbind, lapply(results, `[[`, name))
  sum <- stack("sum")
  bases <- stack("bases")
  low <- stack("min")
  high <- stack("max")
  summary <- list()
  distribution <- list()
  for (s in seq_len(n_samples)) {
    h <- do.call(cbind, lapply(results, function(r) {
      matrix(r$histogram[, , s], bins)
    }))
    h <- t(rowsum(t(h), level))
    by_seq <- function(x, f) c(tapply(x, level, f))
    kept <- study$with_reads[[s]][colnames(h)]
    if (anyNA(kept)) kept <- by_seq(sum[, s], base::sum) > 0
    total_of <- function(x) if (any(kept)) x else NA
    h <- cbind(h, total = rowSums(h[, kept, drop = FALSE]))
    length <- by_seq(bases[, s], base::sum)
    length <- c(length, total = base::sum(length[kept]))
    total <- by_seq(sum[, s], base::sum)
    total <- c(total, total = base::sum(total[kept]))
    low_s <- by_seq(low[, s], min)
    high_s <- by_seq(high[, s], max)
    at_least <- apply(h, 2L, function(x) rev(cumsum(rev(x))))
    at_least <- matrix(at_least, bins)
    summary[[s]] <- data.frame(
      sample = samples$sample[s], seqname = colnames(h), length = length,
      bases = total, covered = length - h[1L, ], mean = total / length,
      min = c(low_s, total = total_of(min(low_s[kept]))),
      max = c(high_s, total = total_of(max(high_s[kept]))))
    distribution[[s]] <- data.frame(
      sample = samples$sample[s], seqname = rep(colnames(h), each = bins),
      depth = rep(seq_len(bins) - 1L, ncol(h)),
      fraction = as.vector(sweep(at_least, 2L, length, `/`)))
  }
  summary <- do.call(rbind, summary)
  rownames(summary) <- NULL
  summary$mean[is.nan(summary$mean)] <- NA
  summary$min <- as.integer(summary$min)
  summary$max <- as.integer(summary$max)
  distribution <- do.call(rbind, distribution)
  distribution$fraction[is.nan(distribution$fraction)] <- NA
  structure(list(distribution = distribution,
                 summary = summary,
                 samples = samples, max_depth = max_depth,
                 options = study$options),
            class = "tolvendra_distribution")
}

#' @export
print.tolvendra_distribution <- function(x, ...) {
  seqnames <- setdiff(unique(x$summary$seqname), "total")
  cat(sprintf("<tolvendra_distribution> %d sample%s over %s sequence%s, depths 0 to %s\n",
              nrow(x$samples), if (nrow(x$samples) == 1L) "" else "s",
              count_text(length(seqnames)),
              if (length(seqnames) == 1L) "" else "s",
              count_text(x$max_depth)))
  total <- x$summary[x$summary$seqname == "total", ]
  at <- function(d) {
    rows <- x$distribution$seqname == "total" & x$distribution$depth == d
    x$distribution$fraction[rows][match(total$sample,
                                        x$distribution$sample[rows])]
  }
  shown <- data.frame(sample = total$sample, length = total$length,
                      mean = total$mean, min = total$min, max = total$max)
  for (d in intersect(c(1, 10, 30), seq(0, x$max_depth))) {
    shown[[sprintf(">=%d", d)]] <- sprintf("%.1f%%", 100 * at(d))
  }
  cat("Over all sequences (share of positions at least 1, 10 and 30 deep):\n")
  print(shown, row.names = FALSE, digits = 4L)
  invisible(x)
}

#' @param x A `tolvendra_distribution` object.
#' @param seqnames For `plot()`: the sequences to show, one panel each;
#'   `"total"` stands for all of them.
#' @param xlim For `plot()`: the depths shown; by default up to the depth
#'   that at most 1% of the positions of every sample reach.
#' @param file,size,main,xlab,ylab For `plot()`: a `.png`, `.pdf` or `.svg`
#'   file to draw into instead of the current device, its width and height
#'   in inches, and the title and axis labels (`NULL` for the defaults).
#'   The plot shows, for each sample, the fraction of positions covered at
#'   least each depth, as a line of its own colour and line type, named in
#'   the legend.
#' @param ... For `plot()`, graphical parameters passed on to
#'   [graphics::plot()].
#' @rdname depth_distribution
#' @export
plot.tolvendra_distribution <- function(x, seqnames = "total", xlim = NULL,
                                        file = NULL, size = c(9, 5),
                                        main = NULL, xlab = NULL, ylab = NULL,
                                        ...) {
  call <- sys.call()
  known <- unique(x$summary$seqname)
  if (!is.character(seqnames) || length(seqnames) == 0L || anyNA(seqnames) ||
      !all(seqnames %in% known)) {
    shown <- utils::head(known, 10L)
    abort_arg(sprintf("`seqnames` must name sequences of `x` (%s%s), not %s.",
                      paste(shown, collapse = ", "),
                      if (length(known) > 10L) ", ..." else "",
                      describe(seqnames)), call, "seqnames")
  }
  if (!is.null(xlim) && !(is.numeric(xlim) && length(xlim) == 2L &&
                          !anyNA(xlim) && xlim[1L] < xlim[2L])) {
    abort_arg(sprintf("`xlim` must be two ascending depths, not %s.",
                      describe(xlim)), call, "xlim")
  }
  draw_to(file, size, draw_distribution(x, unique(seqnames), xlim, main, xlab,
                                        ylab, list(...)), call)
  invisible(x)
}

# One panel per sequence, the samples' cumulative curves in each, and one
# legend of the samples beside them.
draw_distribution <- function(x, seqnames, xlim, main, xlab, ylab, dots) {
  d <- x$distribution[x$distribution$seqname %in% seqnames, ]
  samples <- x$samples$sample
  n <- length(samples)
  if (is.null(xlim)) {
    reached <- d$depth[d$fraction > 0.01]
    xlim <- c(0, max(1, ceiling(1.05 * max(c(reached, 1)))))
    xlim[2L] <- min(xlim[2L], x$max_depth)
  }
  colours <- distribution_colours(n)
  types <- rep_len(1:3, n)
  columns <- if (length(seqnames) > 1L) 2L else 1L
  rows <- ceiling(length(seqnames) / columns)
  panels <- matrix(seq_len(rows * columns), rows, columns, byrow = TRUE)
  widths <- rep(1, columns)
  if (n > 1L) {
    # a column for the legend, as wide as the names need
    panels <- cbind(panels, rows * columns + 1L)
    widths <- c(widths, 0.25 + 0.015 * max(nchar(samples)) *
                  (if (n > 16L) 2 else 1))
  }
  old <- graphics::par(oma = c(0, 0, 2, 0), mar = c(4.2, 4.2, 2, 1))
  on.exit(graphics::par(old))
  graphics::layout(panels, widths = widths)
  for (s in seqnames) {
    draw_frame(xlim, c(0, 1.02), "", xlab %||% "Depth",
               ylab %||% "Fraction of positions at least this deep",
               utils::modifyList(list(xaxt = "n"), dots),
               yticks = seq(0, 1, 0.2))
    if (!isFALSE(dots$axes)) graphics::axis(1L)
    graphics::title(main = if (s == "total") "All sequences" else s,
                    line = 0.6, cex.main = 1)
    graphics::abline(h = seq(0, 1, 0.2), col = "grey90")
    for (k in seq_len(n)) {
      rows <- d$seqname == s & d$sample == samples[k] & d$depth <= xlim[2L]
      graphics::lines(d$depth[rows], d$fraction[rows], col = colours[k],
                      lty = types[k], lwd = 2)
    }
  }
  for (k in seq_len(length(panels[, seq_len(columns)]) - length(seqnames))) {
    graphics::plot.new()
  }
  if (n > 1L) {
    graphics::par(mar = c(4.2, 0, 2, 0))
    graphics::plot.new()
    graphics::legend("topleft", legend = samples, col = colours, lty = types,
                     lwd = 2, bty = "n", title = "Sample", title.adj = 0,
                     ncol = if (n > 16L) 2L else 1L,
                     cex = if (n > 8L) 0.85 else 1)
  }
  graphics::mtext(main %||% sprintf(
    "Depth distribution of %d sample%s%s", n, if (n == 1L) "" else "s",
    if (n == 1L) paste0(": ", samples) else ""),
    outer = TRUE, font = 2, cex = 1.2, line = 0.5)
}

# Colours told apart by most readers: Okabe-Ito's but black and yellow
# (faint on white) for up to seven samples, then hues around the wheel
# (with line types to tell neighbours apart).
distribution_colours <- function(n) {
  if (n <= 7L) {
    okabe_ito <- grDevices::palette.colors(9L, "Okabe-Ito")
    unname(okabe_ito[!names(okabe_ito) %in% c("black", "yellow")][seq_len(n)])
  } else {
    grDevices::hcl.colors(n, "Dark 3")
  }
}
