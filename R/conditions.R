# The package's conditions. Every error inherits "tolvendra_error" and
# carries its data as fields, so that callers can handle it by class:
#   tolvendra_error_arg              an argument (field `arg` where known)
#   tolvendra_error_bam              a BAM or CRAM file (`file`, `fault`)
#   tolvendra_error_track            a bigWig track (`file`, `fault`)
#   tolvendra_error_overflow         a count past what R's integers hold
#   tolvendra_error_memory           memory ran out (not the file's fault)
#   tolvendra_error_missing_package  a suggested package (`package`)
#   tolvendra_error_write            a file that could not be written
#                                    (`path`, `arg`)
# Warnings inherit "tolvendra_warning":
#   tolvendra_warning_targets        targets merged, cut or left out

abort <- function(message, class, call, ...) {
  stop(errorCondition(message, ..., class = c(class, "tolvendra_error"),
                      call = call))
}

warn <- function(message, class, call) {
  warning(warningCondition(message, class = c(class, "tolvendra_warning"),
                           call = call))
}

abort_arg <- function(message, call, arg = NULL) {
  abort(message, "tolvendra_error_arg", call, arg = arg)
}

# Fixes offered for each kind of fault the reader reports.
fault_fixes <- c(
  open = "Check the path and that the file can be read.",
  format = "Give a BAM or CRAM file; `samtools view -b` converts SAM to BAM.",
  truncated = "Copy the file again from its source, or rerun the program that wrote it.",
  header = "Copy the file again from its source.",
  index = "Rebuild the index with `samtools index`; if the error stays, copy the file again from its source.",
  damaged = "Copy the file again from its source; `samtools quickcheck` tests a copy.",
  reference = paste("Give the FASTA the CRAM file was written against as",
                    "`reference = \"path/to/genome.fa\"`, indexed with",
                    "`samtools faidx`.")
)

# Fixes where the file is on a server.
url_fault_fixes <- c(
  open = "Check the URL, and that its server is up and serves the file.",
  index = paste("Put its index beside it on the server (`samtools index`",
                "makes one), or name one with `index`.")
)

# Fixes for the faults of a bigWig track.
track_fault_fixes <- c(
  open = "Check the path or URL, and that the track can be read.",
  format = paste("Rewrite the track without missing or infinite values",
                 "(positions without data are read as 0), or give the BAM",
                 "or CRAM files it was made from."),
  header = "Copy the track again from its source.",
  damaged = "Copy the track again from its source, or rerun the program that wrote it."
)

# An error of class "tolvendra_error_track" that names the track, says what
# is wrong with it and how to fix it.
abort_track <- function(file, arg, fault, what, call) {
  fix <- if (fault %in% names(track_fault_fixes)) track_fault_fixes[[fault]] else
    track_fault_fixes[["damaged"]]
  abort(sprintf("`%s` (%s) %s. %s", arg, describe(file), what, fix),
        "tolvendra_error_track", call, file = file, fault = fault, arg = arg)
}

# An error of class "tolvendra_error_bam" that names the file as the user
# passed it, says what is wrong with it and how to fix it.
abort_bam <- function(file, arg, fault, what, call,
                      fix = if (is_url(file) && fault %in% names(url_fault_fixes))
                        url_fault_fixes[[fault]] else fault_fixes[[fault]]) {
  abort(sprintf("`%s` (%s) %s. %s", arg, describe(file), what, fix),
        "tolvendra_error_bam", call, file = file, fault = fault, arg = arg)
}

# Raises a fault that the native code returned for `file` (a bigWig track
# if `track`). Running out of memory or past R's integers is no fault of
# the file, and an interrupt is passed on as one.
raise_fault <- function(fault, file, arg, call, track = FALSE) {
  switch(fault$fault,
    memory = abort(sprintf(
      "Reading `%s` (%s) needs more memory than is available. Read fewer or shorter targets at a time, or use a machine with more memory.",
      arg, describe(file)), "tolvendra_error_memory", call, file = file),
    overflow = abort(sprintf(
      "`%s` (%s) %s, past what R's integers hold. Normalize the samples, or study fewer of them at a time.",
      arg, describe(file), fault$what), "tolvendra_error_overflow", call,
      file = file),
    interrupted = {
      signalCondition(structure(class = c("interrupt", "condition"),
                                list(message = "interrupted", call = call)))
      invokeRestart("abort")
    },
    if (track) abort_track(file, arg, fault$fault, fault$what, call) else
      abort_bam(file, arg, fault$fault, fault$what, call))
}

# Returns the value of a native reader call, or raises its fault.
reader_value <- function(value, file, arg, call, track = FALSE) {
  if (inherits(value, "tolvendra_fault")) raise_fault(value, file, arg, call, track)
  value
}

# Tasks run on workers return the package's errors as values, so that
# they keep their class and fields through every back end; relay_errors()
# raises the first again against the user's call.
catch_errors <- function(fun) {
  force(fun)
  function(task) {
    tryCatch(fun(task), tolvendra_error = function(e) {
      e$call <- NULL
      structure(list(condition = e), class = "tolvendra_task_error")
    })
  }
}

relay_errors <- function(results, call) {
  for (r in results) {
    if (inherits(r, "tolvendra_task_error")) {
      e <- r$condition
      e$call <- call
      stop(e)
    }
  }
  results
}
