# Writing files so that they appear complete or not at all, and numbers in
# text files that any parser reads.

# Significant digits of the non-integer numbers written in text files.
text_digits <- 6L

# Numbers as text: whole numbers in full (100000, never 1e+05), others
# with `text_digits` significant digits, never in scientific notation.
format_numbers <- function(x) {
  x <- as.double(x)
  out <- sprintf("%.*g", text_digits, x)
  # "fg" keeps the digits without an exponent
  tiny_or_huge <- grepl("e", out, fixed = TRUE)
  out[tiny_or_huge] <- formatC(x[tiny_or_huge], digits = text_digits,
                               format = "fg")
  whole <- is.finite(x) & x == round(x) & abs(x) < 2^53
  out[whole] <- sprintf("%.0f", x[whole])
  trimws(out)
}

# A path to write to: a string naming a file, not a directory, in a folder
# that exists.
check_output_path <- function(path, arg, call = sys.call(-1)) {
  force(call)
  check_string(path, arg, call)
  if (dir.exists(path)) {
    abort_arg(sprintf("`%s` must be the path of a file to write, not %s, which is a folder.",
                      arg, describe(path)), call)
  }
  folder <- dirname(path)
  if (!dir.exists(folder)) {
    abort_arg(sprintf(paste0(
      "`%s` must be a path in an existing folder, not %s: folder %s does ",
      "not exist."), arg, describe(path), describe(folder)), call)
  }
  path
}

# Calls write(tmp) on a temporary path beside `path` and renames it to
# `path` once write() has returned: on an error or an interrupt, `path` is
# left as it was and the temporary file is removed. The temporary file is
# in the same folder so that the rename stays on one file system.
write_atomic <- function(path, write, suffix = "") {
  tmp <- tempfile(paste0(".", basename(path), "."), tmpdir = dirname(path),
                  fileext = suffix)
  on.exit(unlink(tmp))
  write(tmp)
  if (!file.rename(tmp, path)) {
    stop(errorCondition(sprintf("Could not move the file written to %s.",
                                describe(path)),
                        class = c("tolvendra_error_write", "tolvendra_error"),
                        call = NULL))
  }
  invisible(path)
}

# Lines written to a new file through a connection that is closed however
# the writing ends; `write(con)` writes them.
write_lines_to <- function(path, write) {
  con <- file(path, "w")
  on.exit(close(con))
  write(con)
}
