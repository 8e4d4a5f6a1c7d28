# Argument checks shared by the exported functions. Each fails with an error
# of class "tolvendra_error_arg" that names the argument, says what was
# expected and what was received, and is reported against the caller.

abort_arg <- function(message, call, class = "tolvendra_error_arg") {
  stop(errorCondition(message, class = c(class, "tolvendra_error"),
                      call = call))
}

# A short description of a value, for "..., not <description>."
describe <- function(x) {
  if (is.null(x)) {
    return("NULL")
  }
  if (is.object(x)) {
    return(sprintf("an object of class <%s>", class(x)[1L]))
  }
  if (is.atomic(x) && length(x) == 1L) {
    if (is.character(x)) {
      return(encodeString(x, quote = "\""))
    }
    return(format(x, digits = 15L))
  }
  type <- switch(typeof(x), closure = , builtin = , special = "function",
                 typeof(x))
  article <- if (grepl("^[aeiou]", type)) "an" else "a"
  if (is.atomic(x) || is.list(x)) {
    sprintf("%s %s vector of length %s", article, type, count_text(length(x)))
  } else {
    paste(article, type)
  }
}

describe_element <- function(x, i) {
  sprintf("element %s is %s", count_text(i), format(x[[i]], digits = 15L))
}

# A count or index as digits, such as 1,234. Lengths and indices of long
# vectors are doubles, which "%d" refuses.
count_text <- function(n) {
  format(n, big.mark = ",", scientific = FALSE, trim = TRUE)
}

# Whole numbers within R's integer range, without NA; returns them as an
# integer vector.
check_whole <- function(x, arg, call = sys.call(-1)) {
  force(call)
  if (!is.numeric(x) || is.object(x)) {
    abort_arg(sprintf("`%s` must be a numeric vector of whole numbers, not %s.",
                      arg, describe(x)), call)
  }
  if (anyNA(x) || (is.double(x) && any(is.infinite(x)))) {
    i <- which(!is.finite(x))[1L]
    abort_arg(sprintf("`%s` must not contain NA, NaN or infinite values; %s.",
                      arg, describe_element(x, i)), call)
  }
  if (is.double(x)) {
    if (any(x != trunc(x))) {
      i <- which(x != trunc(x))[1L]
      abort_arg(sprintf("`%s` must hold whole numbers; %s.",
                        arg, describe_element(x, i)), call)
    }
    limit <- .Machine$integer.max
    if (any(abs(x) > limit)) {
      i <- which(abs(x) > limit)[1L]
      abort_arg(sprintf("`%s` must lie between -%d and %d; %s.",
                        arg, limit, limit, describe_element(x, i)), call)
    }
  }
  as.integer(x)
}

# A window of consecutive ascending coordinates, such as 1001:2000.
check_positions <- function(pos, arg = "pos", call = sys.call(-1)) {
  force(call)
  pos <- check_whole(pos, arg, call)
  n <- length(pos)
  if (n > 1L && (as.double(pos[n]) - pos[1L] != n - 1 ||
                 is.unsorted(pos, strictly = TRUE))) {
    i <- which(diff(as.double(pos)) != 1)[1L] + 1L
    abort_arg(sprintf(paste0(
      "`%s` must hold consecutive ascending coordinates, such as 1001:2000; ",
      "element %s is %d but element %s is %d."),
      arg, count_text(i - 1), pos[i - 1L], count_text(i), pos[i]), call)
  }
  pos
}

check_same_length <- function(x, y, x_arg, y_arg, call = sys.call(-1)) {
  force(call)
  if (length(x) != length(y)) {
    abort_arg(sprintf("`%s` and `%s` must have the same length, not %s and %s.",
                      x_arg, y_arg, count_text(length(x)),
                      count_text(length(y))), call)
  }
  invisible(TRUE)
}

# A single whole number of at least `min` (no lower bound when `min` is
# -Inf); returns it as an integer.
check_count <- function(x, arg, min = -Inf, call = sys.call(-1)) {
  force(call)
  what <- if (min == 1) {
    "a single positive whole number"
  } else if (min == 0) {
    "a single non-negative whole number"
  } else {
    "a single whole number"
  }
  ok <- is.numeric(x) && !is.object(x) && length(x) == 1L && !is.na(x) &&
    x == trunc(x) && abs(x) <= .Machine$integer.max && x >= min
  if (!isTRUE(ok)) {
    if (isTRUE(is.numeric(x) && length(x) == 1L && is.finite(x) &&
               abs(x) > .Machine$integer.max)) {
      what <- sprintf("%s within R's integer range (up to %s)", what,
                      count_text(.Machine$integer.max))
    }
    abort_arg(sprintf("`%s` must be %s, not %s.", arg, what, describe(x)), call)
  }
  as.integer(x)
}

# Numbers of any kind; NA and NaN are allowed.
check_numeric <- function(x, arg, call = sys.call(-1)) {
  force(call)
  if (!is.numeric(x) || is.object(x)) {
    abort_arg(sprintf("`%s` must be a numeric vector, not %s.",
                      arg, describe(x)), call)
  }
  invisible(x)
}

check_number <- function(x, arg, call = sys.call(-1)) {
  force(call)
  if (!is.numeric(x) || is.object(x) || length(x) != 1L || is.na(x)) {
    abort_arg(sprintf("`%s` must be a single number, not %s.",
                      arg, describe(x)), call)
  }
  invisible(x)
}

# A single positive finite number, such as a scaling factor.
check_positive <- function(x, arg, call = sys.call(-1)) {
  force(call)
  ok <- is.numeric(x) && !is.object(x) && length(x) == 1L && !is.na(x) &&
    is.finite(x) && x > 0
  if (!isTRUE(ok)) {
    abort_arg(sprintf("`%s` must be a single positive finite number, not %s.",
                      arg, describe(x)), call)
  }
  as.double(x)
}

# One of a few strings, spelled out; the whole vector of choices, as an
# argument's default, stands for the first.
check_choice <- function(x, choices, arg, call = sys.call(-1)) {
  force(call)
  if (identical(x, choices)) {
    return(choices[1L])
  }
  if (!is.character(x) || length(x) != 1L || !x %in% choices) {
    abort_arg(sprintf("`%s` must be one of %s, not %s.", arg,
                      paste0("\"", choices, "\"", collapse = ", "),
                      describe(x)), call)
  }
  x
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
  column <- intersect(c("seqname", "seqnames", "chr", "chrom"), names(x))
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

check_flag <- function(x, arg, call = sys.call(-1)) {
  force(call)
  if (!is.logical(x) || length(x) != 1L || is.na(x)) {
    abort_arg(sprintf("`%s` must be TRUE or FALSE, not %s.", arg, describe(x)),
              call)
  }
  x
}

check_string <- function(x, arg, call = sys.call(-1)) {
  force(call)
  if (!is.character(x) || length(x) != 1L || is.na(x) || !nzchar(x)) {
    abort_arg(sprintf("`%s` must be a single non-empty string, not %s.",
                      arg, describe(x)), call)
  }
  x
}

# Suggested packages that a feature needs, with how to install them from
# their repository, "Bioconductor" or "CRAN".
check_installed <- function(packages, call = sys.call(-1),
                            repository = "Bioconductor") {
  force(call)
  missing <- packages[!vapply(packages, requireNamespace, logical(1),
                              quietly = TRUE)]
  if (length(missing) > 0L) {
    cran <- repository == "CRAN"
    debian <- paste0(if (cran) "r-cran-" else "r-bioc-", tolower(missing),
                     collapse = " ")
    abort_arg(sprintf(paste0(
      "This needs the %s package%s %s. Install %s with ",
      "`apt-get install %s` on Debian, or with ",
      "`%s(c(%s))` in R."),
      repository, if (length(missing) > 1L) "s" else "",
      paste(missing, collapse = ", "),
      if (length(missing) > 1L) "them" else "it",
      debian, if (cran) "install.packages" else "BiocManager::install",
      paste0("\"", missing, "\"", collapse = ", ")),
      call, class = "tolvendra_error_missing_package")
  }
  invisible(TRUE)
}
