# `tolvendra depth`: mosdepth's files from the package's engine, in one
# pass over the file (a second one only for -T with -b, or -q beside the
# per-base file). mosdepth 0.3.3's conventions are kept where they show in
# the files: sequences without reads are left out of the summary and the
# distributions, windows' region distribution counts windows by their
# rounded mean, regions of a BED file count their overlaps twice. Nothing
# here loads SummarizedExperiment or GenomicRanges.

depth_flags <- function() {
  o <- optparse::make_option
  list(
    o(c("-b", "--by"), type = "character", default = NULL, metavar = "BED|WINDOW",
      help = "A BED file of regions, or a window size: their mean depths."),
    o(c("-n", "--no-per-base"), action = "store_true", default = FALSE,
      help = "Do not write the per-base depth."),
    o(c("-T", "--thresholds"), type = "character", default = NULL, metavar = "LIST",
      help = "For each region of --by, the positions at least each of these deep (1,10,20)."),
    o(c("-q", "--quantize"), type = "character", default = NULL, metavar = "SEGMENTS",
      help = "Depth bins of the quantized file, as mosdepth's (0:1:5:150:)."),
    o(c("-c", "--chrom"), type = "character", default = NULL, metavar = "CHROM",
      help = "Only this sequence."),
    o("--max-depth", default = "10000", metavar = "N",
      help = paste("Depths above N count as N in the distributions (only):",
                   "memory for them follows N [%default].")))
}

check_depth <- function(flags, args) {
  window <- !is.null(flags$by) && grepl("^[0-9]+$", flags$by)
  max_depth <- check_count(flag_number(flags$`max-depth`, "--max-depth"),
                           "--max-depth", min = 0, call = NULL)
  if (max_depth > 1e6) {
    abort_arg("`--max-depth` must be at most 1000000.", NULL, "--max-depth")
  }
  list(prefix = args[1L], file = args[2L], by = flags$by,
       window = if (window) check_count(as.numeric(flags$by), "-b/--by", min = 1,
                                        call = NULL),
       per_base = !flags$`no-per-base`,
       thresholds = check_depths(flag_numbers(flags$thresholds, "-T/--thresholds"),
                                 "-T/--thresholds", NULL),
       quantize = if (!is.null(flags$quantize)) quantize_segments(flags$quantize),
       chrom = flags$chrom, max_depth = max_depth,
       digits = mosdepth_precision(), options = cli_read_options(flags))
}

# mosdepth's -q: "0:1:5:150:" cuts at 0, 1, 5 and 150, the last bin open;
# without the last colon, 150 closes the last bin. "10" is ":10:".
quantize_segments <- function(x) {
  if (!grepl(":", x, fixed = TRUE)) x <- paste0(":", x, ":")
  if (startsWith(x, ":")) x <- paste0("0", x)
  open <- endsWith(x, ":")
  cuts <- sort(flag_numbers(gsub(":", ",", sub(":$", "", x)), "-q/--quantize"))
  list(cuts = check_cuts(cuts, NULL), open = open)
}

mosdepth_precision <- function() {
  digits <- suppressWarnings(as.integer(Sys.getenv("MOSDEPTH_PRECISION")))
  if (is.na(digits) || digits < 0L) 2L else digits
}

run_depth <- function(s) {
  files <- depth_files(s)
  check_output_path(files[[1L]], "PREFIX", NULL)
  source <- check_alignments(s$file, arg = "FILE", call = NULL)
  sequences <- alignment_targets(source, "FILE", NULL)
  lengths <- stats::setNames(sequences$length, sequences$name)
  targets <- flag_checked(check_where(s$chrom, lengths, "-c/--chrom", NULL))
  regions <- depth_regions(s, targets, lengths)
  if (!is.null(regions) && is.null(s$window) && !s$per_base &&
      length(s$thresholds) == 0L && is.null(s$quantize)) {
    # as mosdepth: nothing to write for a sequence without regions
    targets <- targets[targets$seqname %in% regions$seqname, ]
    regions$target <- match(regions$seqname, targets$seqname)
  }
  # mosdepth leaves sequences without reads out of the summary and
  # distributions; CRAM indexes do not count reads, so all stay
  mapped <- sequences$mapped[match(targets$seqname, sequences$name)]
  targets$present <- is.na(mapped) | mapped > 0
  write_files(files, function(tmp) {
    # the .bed.gz files are written as text beside their temporary paths,
    # then compressed with their indexes
    bed <- names(files)[endsWith(files, ".bed.gz")]
    text <- stats::setNames(paste0(tmp[bed], ".txt"), bed)
    on.exit(unlink(text))
    found <- depth_pass(s, source, targets, regions, text)
    lines <- mosdepth_text(s, targets, regions, found)
    writeLines(lines$summary, tmp[["summary"]])
    writeLines(lines$global, tmp[["global"]])
    if (!is.null(regions)) {
      writeLines(lines$region_dist, tmp[["region_dist"]])
      writeLines(region_lines(regions, found$means, s$digits), text[["regions"]])
    }
    if (length(s$thresholds) > 0L) {
      writeLines(c(
        paste(c("#chrom\tstart\tend\tregion", paste0(s$thresholds, "X")),
              collapse = "\t"),
        if (!is.null(regions)) threshold_lines(regions, found$ge)),
        text[["thresholds"]])
    }
    for (name in bed) {
      write_bgzf(text[[name]], tmp[[name]], tmp[[paste0(name, "_index")]],
                 files[[name]], s$options$threads)
    }
  })
}

# A finished text file compressed as BGZF into `out`, with its CSI index
# written to `index`, so that tabix can query it as it queries mosdepth's;
# `path` is the file they become, named on a fault.
write_bgzf <- function(text, out, index, path, threads) {
  why <- .Call(B_bgzf_index$address, path.expand(text), path.expand(out),
               path.expand(index), as.integer(threads))
  if (!is.null(why)) abort_write(path, "PREFIX", why, NULL)
}

# The files written, named by what they hold; each .bed.gz file has its
# CSI index, NAME_index, renamed into place with it.
depth_files <- function(s) {
  p <- s$prefix
  bed <- c(regions = if (!is.null(s$by)) paste0(p, ".regions.bed.gz"),
           thresholds = if (length(s$thresholds) > 0L) paste0(p, ".thresholds.bed.gz"),
           quantized = if (!is.null(s$quantize)) paste0(p, ".quantized.bed.gz"),
           per_base = if (s$per_base) paste0(p, ".per-base.bed.gz"))
  c(global = paste0(p, ".mosdepth.global.dist.txt"),
    summary = paste0(p, ".mosdepth.summary.txt"),
    region_dist = if (!is.null(s$by)) paste0(p, ".mosdepth.region.dist.txt"),
    bed, stats::setNames(paste0(bed, ".csi"), paste0(names(bed), "_index")))
}

# The regions of -b on the targets, in the targets' order and by start
# within each: windows, or the records of a BED file.
depth_regions <- function(s, targets, lengths) {
  if (is.null(s$by)) return(NULL)
  if (!is.null(s$window)) {
    bins <- bin_spans(targets$start, targets$end, s$window)
    regions <- data.frame(seqname = targets$seqname[bins$target],
                          start = bins$start, end = bins$end, name = NA_character_)
  } else {
    regions <- check_where(s$by, lengths, "-b/--by", NULL)
    regions <- regions[regions$seqname %in% targets$seqname, ]
  }
  regions$target <- match(regions$seqname, targets$seqname)
  regions <- regions[order(regions$target, regions$start), ]
  # overlapping regions of a BED file go to separate layers, so that each
  # layer's spans are disjoint and a position counts once per region
  regions$layer <- 1L
  if (is.null(s$window)) regions$layer <- region_layers(regions)
  rownames(regions) <- NULL
  regions
}

# Layers of regions sorted by target and start: each region goes to the
# first layer whose last region ends before it starts.
region_layers <- function(regions) {
  layer <- integer(nrow(regions))
  ends <- double()
  for (i in seq_len(nrow(regions))) {
    if (i > 1L && regions$target[i] != regions$target[i - 1L]) ends <- double()
    free <- which(ends < regions$start[i])
    k <- if (length(free) > 0L) free[1L] else length(ends) + 1L
    ends[k] <- regions$end[i]
    layer[i] <- k
  }
  layer
}

# Reads the file, a group of targets at a time, and streams the per-base
# and quantized files. Returns the global distribution lines and the
# statistics of each target, of the region layers, the regions' means and,
# with -T, their positions at least each threshold deep.
depth_pass <- function(s, source, targets, regions, text) {
  streams <- list()
  for (name in intersect(c("per_base", "quantized"), names(text))) {
    streams[[name]] <- file(text[[name]], "w")
  }
  on.exit(for (con in streams) close(con))
  # depth runs for the per-base file; quantized runs in the same pass when
  # it does not need the depth's
  quantize_here <- !is.null(s$quantize) && !s$per_base
  runs <- if (s$per_base || quantize_here) "runs" else "none"
  widths <- as.double(targets$end) - targets$start + 1
  calls <- if (runs == "none") list(seq_len(nrow(targets))) else
    target_groups(targets, ceiling(sum(widths) / 64e6))
  whole <- list()
  layers <- list()
  means <- double(NROW(regions))
  ge <- matrix(0, NROW(regions), length(s$thresholds))
  for (g in calls) {
    k <- length(g)
    local <- targets[g, c("seqname", "start", "end")]
    spans <- data.frame(target = seq_len(k), start = local$start,
                        end = local$end, group = seq_len(k))
    at <- which(regions$target %in% g)
    own <- if (length(at) > 0L) {
      data.frame(target = match(regions$target[at], g), start = regions$start[at],
                 end = regions$end[at])
    }
    # windows tile their sequences, whose statistics are theirs too: only
    # a BED file's regions get groups of their own, a layer each
    layered <- is.null(s$window) && length(at) > 0L
    key <- if (layered) paste(regions$target[at], regions$layer[at]) else character()
    layer <- match(key, unique(key))
    if (length(at) > 0L) {
      spans <- rbind(spans, cbind(own, group = 0L),
                     if (layered) cbind(own, group = k + layer))
    }
    spans$digits <- rep(c(NA, s$digits, NA), c(k, length(at), length(key)))
    r <- engine_run(list(source), s$options, local, spans, keep = runs,
                    quantize = if (quantize_here) s$quantize$cuts,
                    groups = list(n = k + length(unique(key)),
                                  stats = c("sum", "bases", "min", "max"),
                                  histogram = s$max_depth),
                    arg = "FILE", call = NULL)
    means[at] <- r$means[k + seq_along(at), 1L]
    groups <- r$groups
    part <- function(cols) {
      list(sum = groups$sum[cols, , drop = FALSE],
           bases = groups$bases[cols, , drop = FALSE],
           min = groups$min[cols, , drop = FALSE],
           max = groups$max[cols, , drop = FALSE],
           histogram = matrix(groups$histogram, s$max_depth + 1L)[, cols, drop = FALSE])
    }
    whole[[length(whole) + 1L]] <- part(seq_len(k))
    if (layered) {
      first <- !duplicated(key)
      layers[[length(layers) + 1L]] <- c(part(k + layer[first]),
                                         list(target = regions$target[at][first]))
    }
    if (s$per_base) write_runs(r$runs, local, 1, streams$per_base)
    if (quantize_here) write_quantized(r$runs, local, s$quantize, streams$quantized)
    # -T needs a group per region, and -q beside the per-base file its own
    # runs: a second pass over the group
    again <- (length(s$thresholds) > 0L && length(at) > 0L) ||
      (!is.null(s$quantize) && !quantize_here)
    if (again) {
      counted <- length(s$thresholds) > 0L && length(at) > 0L
      r <- engine_run(list(source), s$options, local,
                      if (counted) cbind(own, group = seq_along(at)),
                      keep = if (!quantize_here && !is.null(s$quantize)) "runs" else "none",
                      quantize = s$quantize$cuts,
                      groups = if (counted) list(n = length(at), thresholds = s$thresholds),
                      arg = "FILE", call = NULL)
      if (counted) ge[at, ] <- r$groups$ge[, 1L, ]
      if (!is.null(s$quantize) && !quantize_here) {
        write_quantized(r$runs, local, s$quantize, streams$quantized)
      }
    }
  }
  list(whole = whole, layers = layers, means = means, ge = ge)
}

# Quantized runs as mosdepth writes them; with a closed last bin, depths
# past it are left out.
write_quantized <- function(runs, targets, quantize, con) {
  if (!quantize$open) {
    last <- length(quantize$cuts) - 1L
    runs <- lapply(runs, function(r) {
      r$value[r$value >= last] <- -1L
      r
    })
  }
  write_bins(runs, targets, quantize$cuts, con)
}

# Statistics and distributions of groups (of targets or region layers)
# gathered by sequence and in total, by the package's depth_distribution()
# code; only the sequences with reads.
depth_tables <- function(parts, seqnames, present, max_depth, options) {
  keep <- seqnames %in% present
  if (!any(keep)) return(NULL)
  stack <- function(name) {
    x <- do.call(rbind, lapply(parts, `[[`, name))
    x[keep, , drop = FALSE]
  }
  histogram <- do.call(cbind, lapply(parts, `[[`, "histogram"))[, keep, drop = FALSE]
  groups <- list(sum = stack("sum"), bases = stack("bases"), min = stack("min"),
                 max = stack("max"),
                 histogram = array(histogram, c(dim(histogram), 1L)))
  distribution_tables(list(targets = data.frame(seqname = seqnames[keep])),
                      seq_len(sum(keep)), list(groups),
                      list(samples = data.frame(sample = "file"),
                           lengths = stats::setNames(seq_along(present), present),
                           with_reads = list(stats::setNames(rep(TRUE, sum(keep)),
                                                             seqnames[keep])),
                           options = options), max_depth)
}

# Positions by depth (0 to the largest) of each sequence and "total", from
# the cumulative fractions of depth_tables().
depth_counts <- function(tables) {
  d <- tables$distribution
  length <- tables$summary$length[match(d$seqname, tables$summary$seqname)]
  at_least <- split(round(d$fraction * length), factor(d$seqname, unique(d$seqname)))
  lapply(at_least, function(x) x - c(x[-1L], 0))
}

# mosdepth's dist.txt lines of a sequence: from the deepest, the share of
# positions at least each depth deep, summed as mosdepth sums it; depths
# past 300 that no position has are left out, and shares below 8e-5.
dist_lines <- function(seqname, counts, digits) {
  total <- sum(counts)
  if (total < 1) return(character())
  depth <- rev(seq_along(counts) - 1L)
  counts <- rev(counts)
  cum <- Reduce(`+`, counts / total, accumulate = TRUE)
  keep <- (depth <= 300L | counts > 0) & cum >= 8e-5
  sprintf("%s\t%d\t%.*f", seqname, depth[keep], digits, cum[keep])
}

summary_lines <- function(label, x, digits) {
  if (is.null(x) || nrow(x) == 0L) {
    return(sprintf("%s\t0\t0\t%.*f\t0\t0", label, digits, 0))
  }
  sprintf("%s\t%.0f\t%.0f\t%.*f\t%d\t%d", label, x$length, x$bases, digits,
          ifelse(x$length > 0, x$bases / x$length, 0), x$min, x$max)
}

# The lines of the summary and of the distributions, as mosdepth writes
# them.
mosdepth_text <- function(s, targets, regions, found) {
  present <- targets$seqname[targets$present]
  whole <- depth_tables(found$whole, targets$seqname, present, s$max_depth,
                        s$options)
  layered <- if (!is.null(regions) && is.null(s$window) && length(found$layers) > 0L) {
    depth_tables(found$layers,
                 targets$seqname[unlist(lapply(found$layers, `[[`, "target"))],
                 present, s$max_depth, s$options)
  }
  row <- function(tables, seqname) {
    if (is.null(tables)) return(NULL)
    tables$summary[tables$summary$seqname == seqname, ]
  }
  by <- !is.null(regions)
  # windows tile their sequences: their statistics are the sequences'
  region_tables <- if (!is.null(s$window)) whole else layered
  lines <- "chrom\tlength\tbases\tmean\tmin\tmax"
  for (seqname in c(present, "total")) {
    if (is.null(whole)) break
    lines <- c(lines, summary_lines(seqname, row(whole, seqname), s$digits),
               if (by) summary_lines(paste0(seqname, "_region"),
                                     row(region_tables, seqname), s$digits))
  }
  list(summary = lines, global = dist_sections(whole, s$digits),
       region_dist = if (!by) character() else if (!is.null(s$window)) {
         window_dist(regions, found$means, present, s$digits)
       } else {
         dist_sections(layered, s$digits)
       })
}

dist_sections <- function(tables, digits) {
  if (is.null(tables)) return(character())
  counts <- depth_counts(tables)
  unlist(Map(dist_lines, names(counts), counts, digits), use.names = FALSE)
}

# With windows, mosdepth's region distribution counts windows by their
# mean depth rounded half up (to at most 999).
window_dist <- function(regions, means, present, digits) {
  on <- regions$seqname %in% present
  bin <- pmin(floor(means[on] + 0.5), 999) + 1
  counts <- lapply(split(bin, factor(regions$seqname[on], present)), tabulate,
                   nbins = 1000L)
  counts$total <- Reduce(`+`, counts, integer(1000L))
  unlist(Map(dist_lines, names(counts), counts, digits), use.names = FALSE)
}

region_lines <- function(regions, means, digits) {
  sprintf("%s\t%.0f\t%.0f%s\t%.*f", regions$seqname, regions$start - 1,
          regions$end, ifelse(is.na(regions$name), "", paste0("\t", regions$name)),
          digits, means)
}

threshold_lines <- function(regions, ge) {
  counts <- apply(matrix(sprintf("%.0f", ge), nrow(ge)), 1L, paste, collapse = "\t")
  sprintf("%s\t%.0f\t%.0f\t%s\t%s", regions$seqname, regions$start - 1,
          regions$end, ifelse(is.na(regions$name), "unknown", regions$name),
          counts)
}

# Calls write(tmp) with a temporary path for each of `paths` (named as
# they are) and renames each to its path once write() has returned, as
# write_atomic() does for one: an error leaves none of them behind.
write_files <- function(paths, write) {
  if (length(paths) == 0L) return(write(character()))
  write_atomic(paths[[1L]], function(tmp) {
    write_files(paths[-1L], function(rest) {
      write(stats::setNames(c(tmp, rest), names(paths)))
    })
  })
}
