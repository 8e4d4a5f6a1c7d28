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

# A path to write to: a string naming a file, not a directory nor a
# device, in a folder that exists and takes new files. Checked before any
# reading, so that a long computation does not end on a folder it cannot
# write.
check_output_path <- function(path, arg, call = sys.call(-1)) {
  force(call)
  check_string(path, arg, call)
  if (dir.exists(path)) {
    abort_arg(sprintf("`%s` must be the path of a file to write, not %s, which is a folder.",
                      arg, describe(path)), call)
  }
  if (is_special_file(path)) {
    abort_arg(sprintf(paste0(
      "`%s` must be the path of a regular file to write, not %s, which is ",
      "a device or another special file."), arg, describe(path)), call, arg)
  }
  folder <- dirname(path)
  if (!dir.exists(folder)) {
    abort_arg(sprintf(paste0(
      "`%s` must be a path in an existing folder, not %s: folder %s does ",
      "not exist."), arg, describe(path), describe(folder)), call)
  }
  # a file made and removed, as write_atomic() will make one there
  probe <- tempfile(paste0(".", basename(path), "."), tmpdir = folder)
  made <- suppressWarnings(file.create(probe))
  unlink(probe)
  if (!made) {
    abort_write(path, arg, sprintf("its folder %s does not take new files",
                                   describe(folder)), call)
  }
  path
}

# Whether `path` is a device, pipe or socket, which a renamed file would
# replace. R sees no file types but folders; a special file has size 0.
is_special_file <- function(path) {
  if (!file.exists(path) || isTRUE(file.size(path) > 0) ||
      .Platform$OS.type != "unix") {
    return(FALSE)
  }
  system2("test", c("-f", shQuote(path))) != 0L
}

# An error of class "tolvendra_error_write" that names the file that could
# not be written and why.
abort_write <- function(path, arg, why, call) {
  abort(sprintf(paste0(
    "Could not write `%s` (%s): %s. Check that the folder is writable and ",
    "its disk has space."), arg, describe(path), why),
    "tolvendra_error_write", call, path = path, arg = arg)
}

# Calls write(tmp) on a temporary path beside `path` and renames it to
# `path` once write() has returned: on an error or an interrupt, `path` is
# left as it was and the temporary file is removed. The temporary file is
# in the same folder so that the rename stays on one file system. Failures
# to write (a full disk, a folder gone read-only, a writer's own error)
# are errors of class "tolvendra_error_write" naming `path`; the package's
# own errors, from reading, pass as they are. R reports some write
# failures, such as a full disk on closing a file, only as warnings.
write_atomic <- function(path, write, suffix = "", arg = "path",
                         call = sys.call(-1)) {
  force(call)
  tmp <- tempfile(paste0(".", basename(path), "."), tmpdir = dirname(path),
                  fileext = suffix)
  on.exit(unlink(tmp))
  failed <- function(why) abort_write(path, arg, why, call)
  withCallingHandlers(
    tryCatch(write(tmp), error = function(e) {
      if (inherits(e, "tolvendra_error")) stop(e)
      failed(conditionMessage(e))
    }),
    warning = function(w) {
      if (grepl(write_warnings, conditionMessage(w))) {
        failed(conditionMessage(w))
      }
    })
  if (!file.rename(tmp, path)) {
    failed("could not move the file written beside it into place")
  }
  invisible(path)
}

# Warnings by which R's connections report that writing failed.
write_warnings <- paste0("closing connection|No space left|File too large|",
                         "Permission denied|Read-only file system|cannot open")

# Lines written to a new file through a connection that is closed however
# the writing ends; `write(con)` writes them.
write_lines_to <- function(path, write) {
  con <- file(path, "w")
  on.exit(close(con))
  write(con)
}
