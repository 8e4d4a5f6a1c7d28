# Simulated BAM files for the reading benchmarks: single-end 100-bp reads,
# sorted by position, without sequence or qualities. SAM text is piped in
# chunks into `samtools view -b`, so no file is ever held as one string.
# Each file is cached in bench/build under a name that says what it holds.

read_length <- 100L

# CIGARs of n reads: mostly 100M, a share spliced (50M<intron>N50M), a share
# with a deletion of 1-20 bases.
simulate_cigars <- function(n, spliced = 0.1, deleted = 0.05) {
  kind <- sample(c("M", "N", "D"), n, replace = TRUE,
                 prob = c(1 - spliced - deleted, spliced, deleted))
  cigar <- rep(sprintf("%dM", read_length), n)
  s <- which(kind == "N")
  cigar[s] <- sprintf("50M%dN50M", sample(100:5000, length(s), replace = TRUE))
  d <- which(kind == "D")
  first <- sample(10:90, length(d), replace = TRUE)
  cigar[d] <- sprintf("%dM%dD%dM", first, sample(20L, length(d), replace = TRUE),
                      read_length - first)
  cigar
}

# Writes reads to `path` (BAM) and indexes it. `reads(seqname)` returns a
# data frame of one sequence's reads (pos, cigar, flag) sorted by pos;
# `lengths` is named by sequence, in header order.
write_bam <- function(path, lengths, reads, chunk = 5e5, csi = FALSE) {
  tmp <- paste0(path, ".tmp")
  con <- pipe(sprintf("samtools view -b -o %s -", shQuote(tmp)), "w")
  writeLines(c("@HD\tVN:1.6\tSO:coordinate",
               sprintf("@SQ\tSN:%s\tLN:%.0f", names(lengths), lengths)), con)
  id <- 0
  for (seqname in names(lengths)) {
    r <- reads(seqname)
    if (is.null(r) || nrow(r) == 0L) next
    for (from in seq(1, nrow(r), by = chunk)) {
      i <- from:min(from + chunk - 1, nrow(r))
      writeLines(sprintf("r%.0f\t%d\t%s\t%d\t60\t%s\t*\t0\t0\t*\t*",
                         id + i, r$flag[i], seqname, r$pos[i], r$cigar[i]), con)
    }
    id <- id + nrow(r)
  }
  status <- close(con)
  if (!identical(as.integer(status), 0L)) stop("samtools view failed writing ", path)
  file.rename(tmp, path)
  # BAI indexes stop at 2^29 positions; longer sequences need CSI.
  stopifnot(system2("samtools", c("index", if (csi) "-c", shQuote(path))) == 0)
  path
}

index_of <- function(path) {
  paste0(path, if (file.exists(paste0(path, ".csi"))) ".csi" else ".bai")
}

# n random reads on a sequence of `len` positions; 1% marked as duplicates,
# half on the reverse strand.
random_reads <- function(n, len) {
  cigar <- simulate_cigars(n)
  pos <- sample.int(len - 5200L, n, replace = TRUE)
  o <- order(pos)
  flag <- ifelse(runif(n) < 0.5, 0L, 16L) + ifelse(runif(n) < 0.01, 1024L, 0L)
  data.frame(pos = pos[o], cigar = cigar[o], flag = flag[o])
}

# A BAM of `reads` reads spread over sequences of the given lengths in
# proportion to their length; cached.
simulated_bam <- function(build, lengths, reads, seed = 1L) {
  name <- sprintf("sim-%s-%gM-reads-seed%d.bam",
                  paste(sprintf("%gMb", lengths / 1e6), collapse = "-"),
                  reads / 1e6, seed)
  path <- file.path(build, name)
  if (file.exists(path) && file.exists(paste0(path, ".bai"))) return(path)
  message("simulating ", path)
  set.seed(seed)
  n <- round(reads * lengths / sum(lengths))
  names(n) <- names(lengths)
  write_bam(path, lengths, function(s) random_reads(n[[s]], lengths[[s]]))
}

# One read starting in each 1-Mb chunk of a 50-Mb sequence, each with a gap
# of 990,000 positions, so that every read reaches into the next chunk.
long_gap_bam <- function(build) {
  path <- file.path(build, "sim-50Mb-50-long-gap-reads.bam")
  if (file.exists(path) && file.exists(paste0(path, ".bai"))) return(path)
  set.seed(7)
  write_bam(path, c(chr1 = 50e6), function(s) {
    data.frame(pos = (0:49) * 1e6 + sample.int(5000L, 50), cigar = "1M990000N1M",
               flag = 0L)
  })
}

# A draft assembly: `n` short sequences (200-800 positions), with `reads`
# reads on as many randomly chosen sequences; every other sequence has no
# read and no mapped count in the index.
draft_bam <- function(build, n = 20000L, reads = 30L) {
  path <- file.path(build, sprintf("sim-draft-%d-seqs-%d-reads.bam", n, reads))
  if (file.exists(path) && file.exists(paste0(path, ".bai"))) return(path)
  set.seed(11)
  lengths <- stats::setNames(sample(200:800, n, replace = TRUE), sprintf("contig%05d", seq_len(n)))
  hit <- sort(sample.int(n, reads))
  write_bam(path, lengths, function(s) {
    i <- match(s, names(lengths))
    if (!i %in% hit) return(NULL)
    data.frame(pos = sample.int(lengths[[i]] - read_length, 1L), cigar = "100M", flag = 0L)
  })
}

# One sequence of `len` positions holding a single read; indexed as CSI,
# since BAI cannot address past 2^29 positions.
single_read_bam <- function(build, len = 600e6) {
  path <- file.path(build, sprintf("sim-%gMb-1-read.bam", len / 1e6))
  if (file.exists(path) && file.exists(paste0(path, ".csi"))) return(path)
  write_bam(path, c(chr1 = len), function(s) {
    data.frame(pos = round(len / 2), cigar = "100M", flag = 0L)
  }, csi = TRUE)
}
