# BiocCheck offline on a source tarball; see tools/bioccheck.sh.
#   Rscript tools/bioccheck.R tarball output-folder [build log]
args <- commandArgs(TRUE)
tarball <- normalizePath(args[1])
out <- normalizePath(args[2])
log <- if (length(args) > 2L && nzchar(args[3])) normalizePath(args[3])

for (p in c("BiocCheck", "BiocVersion")) {
  if (!requireNamespace(p, quietly = TRUE)) {
    stop("BiocCheck needs the R package ", p, " (Debian: r-bioc-",
         tolower(p), "; tools/deps.sh installs it).", call. = FALSE)
  }
}

# BiocManager asks Bioconductor's online config.yaml which releases there
# are and for which R; a local one names the release of the installed
# BiocVersion package, for this R, as current, the one before it as out
# of date and the next, for the next R, as devel.
bioc <- packageVersion("BiocVersion")[, 1:2]
r <- getRversion()[, 1:2]
releases <- sprintf("%d.%d", bioc$major, bioc$minor + -1:1)
config <- file.path(out, "config.yaml")
writeLines(c(sprintf('release_version: "%s"', releases[2]),
             sprintf('devel_version: "%s"', releases[3]),
             "r_ver_for_bioc_ver:",
             sprintf('  "%s": "%d.%d"', releases, r$major,
                     r$minor + c(0L, 0L, 1L))),
           config)
Sys.setenv(BIOCONDUCTOR_CONFIG_FILE = config)

# A local repository of the installed packages stands in for CRAN and
# Bioconductor, whose indexes BiocManager::available() would download.
repo <- file.path(out, "repository")
contrib <- file.path(repo, c("cran", file.path("packages", bioc, c(
  "bioc", "data/annotation", "data/experiment", "workflows", "books"))),
  "src", "contrib")
for (d in contrib) dir.create(d, recursive = TRUE)
installed <- installed.packages()[, c("Package", "Version")]
write.dcf(installed[!duplicated(installed[, "Package"]), ],
          file.path(contrib[1], "PACKAGES"))
for (d in contrib[-1]) file.create(file.path(d, "PACKAGES"))
options(repos = c(CRAN = paste0("file://", file.path(repo, "cran"))),
        BioC_mirror = paste0("file://", repo))

checks <- list(`no-check-deprecated` = TRUE, `no-check-CRAN` = TRUE,
               `no-check-bioc-help` = TRUE)
if (!is.null(log)) checks$`build-output-file` <- log
result <- do.call(BiocCheck::BiocCheck,
                  c(list(tarball, checkDir = out), checks))
problems <- result$getNum(c("error", "warning"))
cat(sprintf("BiocCheck: %d ERROR(s), %d WARNING(s), %d NOTE(s)\n",
            problems[1], problems[2], result$getNum("note")))
if (any(problems > 0)) quit(status = 1)
