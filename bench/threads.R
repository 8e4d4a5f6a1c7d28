# analyze_region() over one whole sequence on 1 and 2 threads, against
# mosdepth -n --by 1000 with -t 0 and -t 1, as fresh processes taken in
# turn, medians of ROUNDS. The library Tolvendra is loaded from is R's
# (set R_LIBS to choose it).
#
#   Rscript bench/threads.R BAM SEQNAME [ROUNDS]
args <- commandArgs(TRUE)
bam <- normalizePath(args[1])
seqname <- args[2]
rounds <- if (length(args) > 2) as.integer(args[3]) else 3L
here <- dirname(sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE)))
build <- tempfile("bench-threads")
dir.create(build)
source(file.path(here, "timing.R"))

tolvendra <- function(threads) {
  r_command(sprintf(paste0("suppressMessages(library(Tolvendra)); x <- analyze_region(",
                           "'%s', '%s', width = 1000, progress = FALSE, threads = %d)"),
                    bam, seqname, threads))
}
mosdepth <- function(t) {
  sprintf("mosdepth -n --by 1000 -t %d %s %s", t,
          shQuote(file.path(scratch, paste0("m", t))), shQuote(bam))
}
commands <- list(`tolvendra threads = 1` = list(tolvendra(1), ""),
                 `tolvendra threads = 2` = list(tolvendra(2), ""),
                 `mosdepth -t 0` = list(mosdepth(0), mosdepth_env),
                 `mosdepth -t 1` = list(mosdepth(1), mosdepth_env))
times <- do.call(rbind, lapply(seq_len(rounds), function(round) {
  do.call(rbind, lapply(names(commands), function(name) {
    cbind(tool = name, time_command(commands[[name]][[1]], commands[[name]][[2]]))
  }))
}))
medians <- aggregate(cbind(elapsed, user, sys, rss_kib) ~ tool, times, stats::median)
medians$cpu <- medians$user + medians$sys
base <- function(name, column) medians[[column]][medians$tool == name]
medians$vs_t0 <- medians$elapsed / base("mosdepth -t 0", "elapsed")
medians$vs_t1 <- medians$elapsed / base("mosdepth -t 1", "elapsed")
cat(sprintf("load average after the runs: %s\n", readLines("/proc/loadavg")))
print(medians[c("tool", "elapsed", "cpu", "rss_kib", "vs_t0", "vs_t1")], digits = 3,
      row.names = FALSE)
