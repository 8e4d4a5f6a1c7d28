# Timing commands as fresh processes: /usr/bin/time gives elapsed and user
# CPU seconds and the peak resident memory. Sourced by bench/bam.R and
# bench/samples.R.
if (!file.exists("/usr/bin/time")) {
  stop("/usr/bin/time is missing; install it with `apt-get install time`.")
}
for (tool in c("samtools", "mosdepth", "megadepth")) {
  if (!nzchar(Sys.which(tool))) stop(tool, " is missing from the PATH.")
}
# Debian's mosdepth loads htslib as libhts.so, which only the -dev package
# provides; point it at the runtime library for its own runs only.
hts_dir <- file.path(build, "hts")
dir.create(hts_dir, showWarnings = FALSE)
if (!file.exists(file.path(hts_dir, "libhts.so"))) {
  file.symlink("/usr/lib/x86_64-linux-gnu/libhts.so.3", file.path(hts_dir, "libhts.so"))
}
mosdepth_env <- sprintf("LD_LIBRARY_PATH=%s", shQuote(normalizePath(hts_dir)))
scratch <- file.path(build, "scratch")
dir.create(scratch, showWarnings = FALSE)

rscript <- file.path(R.home("bin"), "Rscript")
r_command <- function(code) paste(shQuote(rscript), "-e", shQuote(code))

# Runs a shell command under /usr/bin/time, with `env` (VAR=value) set for
# it alone. Returns elapsed, user and system CPU seconds and the peak
# resident memory in KiB; with `output = TRUE` also the last line the
# command printed (`said`), which is otherwise thrown away. A command still
# running after `limit` seconds is stopped and its times are Inf.
time_command <- function(command, env = "", output = FALSE, limit = NULL) {
  timing <- tempfile(tmpdir = scratch)
  out <- if (output) tempfile(tmpdir = scratch) else "/dev/null"
  err <- tempfile(tmpdir = scratch)
  on.exit(unlink(c(timing, out[output], err)))
  if (!is.null(limit)) command <- paste("timeout", limit, command)
  status <- system(sprintf("%s /usr/bin/time -f '%%e %%U %%S %%M' -o %s %s >%s 2>%s",
                           env, shQuote(timing), command, out, shQuote(err)))
  stopped <- !is.null(limit) && status == 124
  if (status != 0 && !stopped) {
    stop(sprintf("`%s` failed (status %d):\n%s", command, status,
                 paste(readLines(err), collapse = "\n")))
  }
  v <- scan(text = utils::tail(readLines(timing), 1L), quiet = TRUE)
  t <- data.frame(elapsed = v[1], user = v[2], sys = v[3], rss_kib = v[4])
  if (output) t$said <- utils::tail(c(NA, readLines(out)), 1L)
  if (stopped) t[c("elapsed", "user", "sys")] <- Inf
  t
}
