# Targets: where to read. One parser for every form users give them in:
# sequence names, "chr:start-end" strings, data frames (with the sequence
# in `seqname`, `seqnames`, `chr` or `chrom`), GRanges and BED files.

seqname_columns <- c("seqname", "seqnames", "chr", "chrom")

# Checks an alignment file and a region of it: list(file, index, seqname,
# start, end). `end = NULL` stands for the end of the sequence.
check_region <- function(file, seqname, start = 1, end = NULL, index = NULL,
                         arg = "file", call = sys.call(-1)) {
  force(call)
  region <- check_alignments(file, index, arg, call)
  lengths <- seq_lengths(region$file, region$index, arg, call) |>
    check_sequences(file, arg, call)
  check_string(seqname, "seqname", call)
  if (!seqname %in% names(lengths)) {
    shown <- utils::head(names(lengths), 10L)
    abort_arg(sprintf("`seqname` must name a sequence of `%s` (%s%s), not %s.",
                      arg, paste(shown, collapse = ", "),
                      if (length(lengths) > 10L) ", ..." else "",
                      describe(seqname)), call)
  }
  length <- lengths[[seqname]]
  start <- check_count(start, "start", min = 1, call = call)
  end <- if (is.null(end)) length else check_count(end, "end", min = 1, call = call)
  if (start > end) {
    abort_arg(sprintf("`start` (%s) must not lie after `end` (%s).",
                      format(start), format(end)), call)
  }
  if (end > length) {
    abort_arg(sprintf("`end` (%s) lies past the end of %s in `%s`, which has %s positions.",
                      format(end), seqname, arg, format(length, scientific = FALSE)),
              call)
  }
  c(region, list(seqname = seqname, start = start, end = as.integer(end)))
}

# The sequence lengths of an alignment file, which must name some: a
# header without @SQ lines places no read anywhere.
check_sequences <- function(lengths, file, arg, call) {
  if (length(lengths) == 0L) {
    abort_bam(file, arg, "header", paste(
      "has no reference sequences in its header (no @SQ lines), so no read",
      "in it lies on a sequence"), call, paste(
        "Give the file as the aligner wrote it, or put the reference's",
        "@SQ lines back with `samtools reheader`."))
  }
  lengths
}

# Targets as a data frame with columns seqname, start, end (1-based, both
# included) and name, fitted to the sequence lengths by fit_targets()
# (`outside`: "drop" or "keep").
check_where <- function(where, lengths, arg, call, outside = "drop") {
  check_where_empty(where, arg, call)
  check_where_path(where, lengths, arg, call)
  if (is.null(where)) {
    return(data.frame(seqname = names(lengths), start = 1L,
                      end = as.integer(lengths), name = NA_character_))
  }
  if (inherits(where, "GRanges")) {
    # rtracklayer::import() keeps BED names in a column `name`
    names <- names(where) %||% as.character(S4Vectors::mcols(where)$name)
    where <- data.frame(seqname = as.character(GenomicRanges::seqnames(where)),
                        start = GenomicRanges::start(where),
                        end = GenomicRanges::end(where),
                        name = if (length(names) > 0L) names else
                          rep(NA_character_, length(where)))
  } else if (is.character(where) && length(where) == 1L &&
             !is.na(where) && !where %in% names(lengths) && file.exists(where)) {
    where <- read_bed(where, arg, call)
  } else if (is.character(where)) {
    where <- parse_targets(where, lengths, arg, call)
  }
  if (!is.data.frame(where)) {
    abort_arg(sprintf(paste0(
      "`%s` must be sequence names, \"chr:start-end\" strings, a data frame, ",
      "a GRanges or the path of a BED file, not %s."), arg, describe(where)),
      call)
  }
  column <- intersect(seqname_columns, names(where))
  if (length(column) == 0L || !all(c("start", "end") %in% names(where))) {
    abort_arg(sprintf(paste0(
      "`%s` must have columns `seqname` (or `seqnames` or `chr`), `start` and ",
      "`end`; its columns are %s."), arg, paste(names(where), collapse = ", ")),
      call)
  }
  targets <- data.frame(
    seqname = as.character(where[[column[1L]]]),
    start = check_whole(where$start, paste0(arg, "$start"), call),
    end = check_whole(where$end, paste0(arg, "$end"), call),
    name = if (is.null(where$name)) NA_character_ else as.character(where$name))
  if (nrow(targets) == 0L) {
    abort_arg(sprintf("`%s` must hold at least one target.", arg), call)
  }
  bad <- which(targets$start < 1L | targets$start > targets$end)
  if (length(bad) > 0L) {
    i <- bad[1L]
    abort_arg(sprintf(paste0(
      "Each target of `%s` must have 1 <= start <= end; target %d is ",
      "%s:%.0f-%.0f."), arg, i, targets$seqname[i], targets$start[i],
      targets$end[i]), call, arg)
  }
  fit_targets(targets, lengths, arg, outside, call)
}

# Targets on sequences absent from the files, or that start past a
# sequence's end, cannot be read; those that run past its end are read up
# to it. One warning counts both. `outside = "drop"` leaves the unreadable
# out and clips the others; "keep" keeps every target as given, with the
# sequence's `length` (NA where absent) and whether it is `inside`, for
# the caller to give rows of NA. A call with no readable target at all is
# an error: the targets and the files likely name sequences differently.
fit_targets <- function(targets, lengths, arg, outside, call) {
  length <- unname(lengths[targets$seqname])
  absent <- is.na(length) | targets$start > length
  clipped <- !absent & targets$end > length
  if (all(absent)) {
    shown <- utils::head(names(lengths), 10L)
    first <- if (is.na(length[1L])) {
      sprintf("is on %s", targets$seqname[1L])
    } else {
      sprintf("starts at %.0f, past the end of %s (%s positions)",
              targets$start[1L], targets$seqname[1L], count_text(length[1L]))
    }
    abort_arg(sprintf(paste0(
      "`%s` must hold a target on the sequences of the files (%s%s); ",
      "none does: the first %s."), arg, paste(shown, collapse = ", "),
      if (length(lengths) > 10L) ", ..." else "", first), call, arg)
  }
  if (any(absent | clipped)) {
    missing <- unique(targets$seqname[is.na(length)])
    targets_text <- function(n, one, many) {
      sprintf("%s %s", count_text(n), if (n == 1L) one else many)
    }
    warn(paste0(sprintf("`%s`: ", arg), paste(c(
      if (any(absent)) sprintf(
        "%s on sequences absent from the files%s or past their end; %s",
        targets_text(sum(absent), "target lies", "targets lie"),
        if (length(missing) > 0L) sprintf(" (%s%s)",
          paste(utils::head(missing, 5L), collapse = ", "),
          if (length(missing) > 5L) ", ..." else "") else "",
        if (outside == "keep") "their rows are NA" else "they are left out"),
      if (any(clipped)) sprintf(
        "%s past the end of a sequence, read up to it",
        targets_text(sum(clipped), "target runs", "targets run"))),
      collapse = "; "), "."), "tolvendra_warning_targets", call)
  }
  if (outside == "keep") {
    targets$length <- length
    targets$inside <- !absent
    return(targets)
  }
  targets$end[clipped] <- length[clipped]
  targets <- targets[!absent, ]
  rownames(targets) <- NULL
  targets
}

# Targets sorted along the sequences.
sort_targets <- function(targets, lengths) {
  targets <- targets[order(match(targets$seqname, names(lengths)),
                           targets$start, targets$end), ]
  rownames(targets) <- NULL
  targets
}

# Targets where none overlaps or repeats another: those that do are
# merged, sorted, with one warning, so that no position is read or
# reported twice. Targets that only touch stay apart.
merge_targets <- function(targets, lengths, arg, call) {
  t <- sort_targets(targets, lengths)
  union <- range_unions(t$seqname, t$start, t$end)
  reach <- union$reach
  fresh <- union$fresh
  if (all(fresh)) return(targets)
  group <- cumsum(fresh)
  first <- which(!fresh)[1L]
  warn(sprintf(paste0(
    "`%s` holds %s targets that overlap or repeat others (the first: ",
    "%s:%.0f-%.0f and %s:%.0f-%.0f); they are merged into %s, sorted, so ",
    "that no position is counted twice."), arg, count_text(sum(!fresh) +
      length(unique(group[!fresh]))), t$seqname[first - 1L],
    t$start[first - 1L], t$end[first - 1L], t$seqname[first], t$start[first],
    t$end[first], count_text(length(unique(group[!fresh])))),
    "tolvendra_warning_targets", call)
  names <- tapply(t$name, group, function(x) {
    x <- unique(x[!is.na(x)])
    if (length(x) == 0L) NA_character_ else paste(x, collapse = "+")
  })
  data.frame(seqname = t$seqname[fresh], start = t$start[fresh],
             end = as.vector(tapply(reach, group, max)),
             name = as.vector(names))
}

# For ranges sorted by `key` (their sequence) and start: whether each
# starts a new union of ranges that overlap (with `touching`, or abut),
# and the furthest end that its key's ranges reach up to it.
range_unions <- function(key, start, end, touching = FALSE) {
  n <- length(start)
  reach <- stats::ave(as.double(end), key, FUN = cummax)
  fresh <- c(TRUE, key[-1L] != key[-n] | start[-1L] > reach[-n] + touching)
  list(fresh = fresh, reach = reach)
}

# Sequence names and "chr:start-end" strings as targets.
parse_targets <- function(x, lengths, arg, call) {
  if (anyNA(x)) {
    abort_arg(sprintf("`%s` must not contain NA; element %d is NA.", arg,
                      which(is.na(x))[1L]), call)
  }
  pattern <- "^(.+):([0-9,]+)-([0-9,]+)$"
  # a name that is no sequence of the files is one absent from them
  whole <- x %in% names(lengths) | !grepl(":", x, fixed = TRUE)
  ranged <- !whole & grepl(pattern, x)
  if (!all(whole | ranged)) {
    i <- which(!(whole | ranged))[1L]
    abort_arg(sprintf(paste0(
      "`%s` must hold sequence names of the BAM files or \"chr:start-end\" ",
      "strings; element %d is %s."), arg, i, describe(x[i])), call)
  }
  number <- function(i) as.numeric(gsub(",", "", sub(pattern, i, x[ranged])))
  end <- unname(lengths[x])
  end[is.na(end)] <- 1
  targets <- data.frame(seqname = x, start = 1, end = end)
  targets$seqname[ranged] <- sub(pattern, "\\1", x[ranged])
  targets$start[ranged] <- number("\\2")
  targets$end[ranged] <- number("\\3")
  targets
}

# The first columns of a BED file (0-based, half-open) as 1-based targets;
# the fourth, when there is one, names them.
read_bed <- function(path, arg, call) {
  not_record <- "^(#|track|browser|\\s*$)"
  # Records are scanned from the file itself, past its header, as columns;
  # only a file with other lines among them is read as lines first, which
  # costs R a string a line.
  head <- readLines(path, n = 64L, warn = FALSE)
  header <- match(FALSE, grepl(not_record, head, perl = TRUE), nomatch = 1L) - 1L
  fields <- bed_columns(path, skip = header)
  lines <- NULL
  if (is.null(fields) || anyNA(fields[[2L]]) || anyNA(fields[[3L]])) {
    lines <- readLines(path, warn = FALSE)
    lines <- lines[!grepl(not_record, lines, perl = TRUE)]
    fields <- bed_columns(text = lines)
  }
  bad <- if (!is.null(fields)) which(is.na(fields[[2L]]) | is.na(fields[[3L]]))
  found <- if (length(bad) > 0L) length(strsplit(lines[bad[1L]], "\t", fixed = TRUE)[[1L]])
  if (!is.null(fields) && (length(fields[[1L]]) == 0L || isTRUE(found < 3L))) {
    abort_arg(sprintf(paste0(
      "`%s` must be a BED file with at least three tab-separated columns; ",
      "%s has %s."), arg, describe(path),
      if (length(fields[[1L]]) == 0L) "no records" else
        sprintf("only %d on line %d", found, bad[1L])), call)
  }
  if (is.null(fields) || length(bad) > 0L) {
    abort_arg(sprintf("`%s` must be a BED file with numeric starts and ends.",
                      arg), call)
  }
  data.frame(seqname = fields[[1L]], start = fields[[2L]] + 1, end = fields[[3L]],
             name = if (all(nzchar(fields[[4L]]))) fields[[4L]] else NA_character_)
}

# The first four fields of each line of a BED file (scan()'s `file` and
# `skip`, or `text`) as columns, NA or "" past a line's last field; NULL
# where a start or end is not a number.
bed_columns <- function(...) {
  tryCatch(
    scan(..., what = list("", 0, 0, ""), sep = "\t", quote = "",
         na.strings = character(), comment.char = "", fill = TRUE,
         flush = TRUE, quiet = TRUE),
    error = function(e) NULL)
}

# Stretches of a region given as a data frame with whole-number columns
# `start` and `end` (1-based, both included) and optionally the sequence
# name, as `seqname`, `seqnames`, `chr` or `chrom`. Returns a data frame of
# integer `start` and `end`.
check_spans <- function(x, region, arg, call = sys.call(-1)) {
  force(call)
  if (!is.data.frame(x)) {
    abort_arg(sprintf(paste0("`%s` must be a data frame with columns `start` ",
                             "and `end`, not %s."), arg, describe(x)), call)
  }
  if (!all(c("start", "end") %in% names(x))) {
    bed <- all(c("chromStart", "chromEnd") %in% names(x))
    abort_arg(sprintf(paste0(
      "`%s` must have columns `start` and `end` (1-based, both included); ",
      "it has %s.%s"), arg,
      if (ncol(x) == 0L) "none" else paste0("`", names(x), "`", collapse = ", "),
      if (bed) paste0(" BED coordinates are 0-based: use start = chromStart",
                      " + 1 and end = chromEnd.") else ""), call)
  }
  starts <- check_whole(x$start, paste0(arg, "$start"), call)
  ends <- check_whole(x$end, paste0(arg, "$end"), call)
  column <- intersect(seqname_columns, names(x))
  if (length(column) > 0L) {
    seqnames <- as.character(x[[column[1L]]])
    other <- which(is.na(seqnames) | seqnames != region$seqname)
    if (length(other) > 0L) {
      abort_arg(sprintf(paste0(
        "Each row of `%s` must lie on %s, the sequence compared; row %s is ",
        "on %s."), arg, region$seqname, count_text(other[1L]),
        describe(seqnames[other[1L]])), call)
    }
  }
  bad <- which(starts > ends | starts < region$start | ends > region$end)
  if (length(bad) > 0L) {
    abort_arg(sprintf(paste0(
      "Each row of `%s` must lie within %s:%d-%d with `start` <= `end`; ",
      "row %s is %d-%d."), arg, region$seqname, region$start, region$end,
      count_text(bad[1L]), starts[bad[1L]], ends[bad[1L]]), call)
  }
  data.frame(start = starts, end = ends)
}

