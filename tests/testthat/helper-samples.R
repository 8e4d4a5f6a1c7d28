# Small simulated studies: BAM files over three sequences, with plain,
# spliced (N), deleted (D), inserted and clipped reads, and reads that
# coverage tools leave out. The last bins of each sequence are partial.

study_lengths <- c(chrA = 2500, chrB = 1800, chrC = 1234)

# SAM records for `n` reads per sequence; a hot spot on each sequence gives
# regions of high coverage. Reads with deletions or flags only when asked.
simulate_records <- function(n, seed, lengths = study_lengths,
                             deletions = TRUE, flagged = TRUE) {
  old <- if (exists(".Random.seed", globalenv())) get(".Random.seed", globalenv())
  on.exit(if (!is.null(old)) assign(".Random.seed", old, globalenv()))
  set.seed(seed)
  cigars <- c("40M", "15M60N25M", "5S35M", "20M2I18M", "10M5N10M200N20M",
              if (deletions) "12M3D28M")
  records <- character()
  for (s in names(lengths)) {
    len <- lengths[[s]]
    hot <- sample(300:(len - 600), 1)
    cigar <- sample(seq_along(cigars), n, replace = TRUE)
    pos <- ifelse(stats::runif(n) < 0.4,
                  hot + sample(0:250, n, replace = TRUE),
                  sample(1:(len - 260), n, replace = TRUE))
    # one read at each end of the sequence
    pos[1:2] <- c(1, len - 39)
    cigar[1:2] <- 1L
    flag <- sample(c(0L, 16L), n, replace = TRUE)
    mapq <- sample(c(0L, 20L, 60L), n, replace = TRUE)
    if (flagged) {
      odd <- sample(3:n, n %/% 10)
      flag[odd] <- sample(c(256L, 512L, 1024L, 4L), length(odd), replace = TRUE)
    }
    cigar_text <- ifelse(flag == 4L, "*", cigars[cigar])
    records <- c(records, sprintf("r%s_%d\t%d\t%s\t%d\t%d\t%s\t*\t0\t0\t*\t*",
                                  s, seq_len(n), flag, s, pos, mapq, cigar_text))
  }
  records
}

# Writes records as a sorted, indexed BAM file `name`.bam in `dir`.
write_study_bam <- function(records, name, dir, lengths = study_lengths) {
  sam <- file.path(dir, paste0(name, ".sam"))
  writeLines(c("@HD\tVN:1.6\tSO:unsorted",
               sprintf("@SQ\tSN:%s\tLN:%d", names(lengths), lengths),
               records), sam)
  path <- Rsamtools::asBam(sam, file.path(dir, name), overwrite = TRUE)
  unlink(sam)
  unname(path)
}

# Three samples of different depths, named s1..s3, two conditions.
make_study <- function(deletions = TRUE, flagged = TRUE,
                       dir = tempfile("study")) {
  dir.create(dir)
  reads <- c(s1 = 300, s2 = 450, s3 = 200)
  files <- vapply(names(reads), function(s) {
    write_study_bam(simulate_records(reads[[s]], match(s, names(reads)),
                                     deletions = deletions, flagged = flagged),
                    s, dir)
  }, "")
  data.frame(file = unname(files), sample = names(reads),
             condition = c("treated", "treated", "control"))
}

# Per-base depth of every sequence of a BAM file, as a list of integer
# vectors: samtools depth when samtools is there, else GenomicAlignments.
reference_depth <- function(file, lengths = study_lengths) {
  if (nzchar(Sys.which("samtools"))) {
    out <- system2("samtools", c("depth", "-aa", "-J", shQuote(file)),
                   stdout = TRUE)
    fields <- do.call(rbind, strsplit(out, "\t"))
    depth <- split(as.integer(fields[, 3]), factor(fields[, 1], names(lengths)))
  } else {
    flag <- Rsamtools::scanBamFlag(isUnmappedQuery = FALSE,
                                   isSecondaryAlignment = FALSE,
                                   isNotPassingQualityControls = FALSE,
                                   isDuplicate = FALSE)
    depth <- lapply(names(lengths), function(s) {
      ga_coverage(file, s, 1, lengths[[s]], flag = flag)
    })
    names(depth) <- names(lengths)
  }
  stopifnot(all(lengths(depth) == lengths))
  depth
}

# Mapped reads as the index counts them.
reference_mapped <- function(file) {
  sum(as.double(Rsamtools::idxstatsBam(file)$mapped))
}

# Reads that the default filters keep, as samtools counts them (or
# Rsamtools, without samtools).
reference_library <- function(file) {
  if (nzchar(Sys.which("samtools"))) {
    return(as.numeric(system2("samtools", c("view", "-c", "-F", "1796",
                                            shQuote(file)), stdout = TRUE)))
  }
  flag <- Rsamtools::scanBamFlag(isUnmappedQuery = FALSE,
                                 isSecondaryAlignment = FALSE,
                                 isNotPassingQualityControls = FALSE,
                                 isDuplicate = FALSE)
  as.numeric(Rsamtools::countBam(file, param = Rsamtools::ScanBamParam(flag = flag))$records)
}

# A SummarizedExperiment's assays and column data for each sample, by
# name, without the row and column names that tell samples apart.
per_sample <- function(x) {
  lapply(stats::setNames(nm = colnames(x)), function(s) {
    list(assays = lapply(SummarizedExperiment::assays(x), function(a) {
      unname(a[, s])
    }), columns = as.list(SummarizedExperiment::colData(x)[s, ]))
  })
}
