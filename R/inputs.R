# Checks of inputs at the edges: empty tables and targets, misspelt
# options, paths that are folders or lie in missing folders, and counts
# past what can run.

# More threads than this only queue on the cores that run them.
max_threads <- 64L

# Threads that read a file unless asked otherwise: the user's choice, else
# two where there are two cores (as CRAN allows examples and tests).
default_threads <- function() {
  getOption("tolvendra.threads",
            if (isTRUE(parallel::detectCores() >= 2L)) 2L else 1L)
}

check_threads <- function(threads, call) {
  threads <- check_count(threads, "threads", min = 1, call = call)
  if (threads > max_threads) {
    abort_arg(sprintf("`threads` must be a whole number from 1 to %d, not %s.",
                      max_threads, describe(threads)), call)
  }
  threads
}

# Options passed through `...` must be named and among `known`.
check_dots_names <- function(dots, known, call) {
  unknown <- setdiff(names(dots), known)
  if (length(dots) > 0L && (is.null(names(dots)) || any(names(dots) == "") ||
                            length(unknown) > 0L)) {
    abort_arg(sprintf(
      "`...` must hold options named among %s, not %s.",
      paste0("`", known, "`", collapse = ", "),
      if (length(unknown) > 0L) sprintf("`%s`", unknown[1L]) else
        "an unnamed value"), call, "...")
  }
  invisible(dots)
}

# Columns that analyze_samples() adds to the column data of its results.
reserved_columns <- c("mapped", "covered", "library_size", "scale_factor")

check_reserved_columns <- function(samples, call) {
  taken <- intersect(reserved_columns, names(samples))
  if (length(taken) > 0L) {
    abort_arg(sprintf(paste0(
      "`files` must have annotation columns named other than %s, which the ",
      "results add, not a ",
      "column `%s`; rename it."),
      paste0("`", reserved_columns, "`", collapse = ", "), taken[1L]), call)
  }
  invisible(samples)
}

# An empty `where` would give no targets at all.
check_where_empty <- function(where, arg, call) {
  if (!is.null(where) && NROW(where) == 0L) {
    what <- if (is.data.frame(where)) {
      "a data frame with no rows"
    } else if (is.object(where)) {
      sprintf("an empty <%s>", class(where)[1L])
    } else {
      describe(where)
    }
    abort_arg(sprintf("`%s` must hold at least one target, not %s.", arg, what),
              call)
  }
  invisible(where)
}

# A lone string that is no sequence name and no "chr:start-end" but looks
# like a path (a folder separator or a .bed ending) is a BED file that is
# not there, or a folder.
check_where_path <- function(where, lengths, arg, call) {
  if (!is.character(where) || length(where) != 1L || is.na(where) ||
      where %in% names(lengths) || grepl("^.+:[0-9,]+-[0-9,]+$", where)) {
    return(invisible(where))
  }
  if (dir.exists(where)) {
    abort_arg(sprintf("`%s` must be the path of a BED file, not %s, which is a folder.",
                      arg, describe(where)), call)
  }
  if (!file.exists(where) &&
      grepl("[/\\\\]|\\.bed(\\.gz)?$", where, ignore.case = TRUE)) {
    abort_arg(sprintf(paste0(
      "`%s` must be sequence names, \"chr:start-end\" strings or the path of ",
      "an existing BED file, not %s, which does not exist."),
      arg, describe(where)), call)
  }
  invisible(where)
}
