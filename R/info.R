#' The libraries that the package reads with
#'
#' The package reads BAM and CRAM files through htslib: the system's when
#' the package was built where `pkg-config` finds a usable one, which
#' distributions build with libdeflate, a faster inflater than zlib, and
#' Rhtslib's otherwise. Set the environment variable `TOLVENDRA_HTSLIB` to
#' `"system"` or `"rhtslib"` when installing to choose. It reads bigWig
#' tracks through the system's libBigWig (Debian's `libbigwig-dev`) when
#' it was built where that library is; `TOLVENDRA_BIGWIG=none` builds
#' without it, `TOLVENDRA_BIGWIG=system` fails without it.
#'
#' @return A list of class `"tolvendra_info"`: `version`, the package's
#'   version; `htslib`, the version of the htslib it runs on; `source`,
#'   `"system"` or `"Rhtslib"`; `libdeflate`, whether that htslib inflates
#'   with libdeflate; `protocols`, the URL schemes it reads files from
#'   (`"http"`, `"https"`, `"s3"` and others when it was built with libcurl);
#'   `bigwig`, whether it reads bigWig tracks.
#' @examples
#' tolvendra_info()
#' @export
tolvendra_info <- function() {
  info <- .Call(B_bam_library_info$address)
  structure(c(list(version = as.character(utils::packageVersion("Tolvendra"))), info),
            class = "tolvendra_info")
}

#' @export
print.tolvendra_info <- function(x, ...) {
  cat(format(x, ...), sep = "\n")
  invisible(x)
}

#' @export
format.tolvendra_info <- function(x, ...) {
  c(paste("Tolvendra", x$version),
    sprintf("htslib %s (%s, %s)", x$htslib, x$source,
            if (isTRUE(x$libdeflate)) "libdeflate" else "zlib"),
    paste("reads", common_protocols(url_protocols(x$protocols)), "URLs"),
    if (isTRUE(x$bigwig)) "reads bigWig tracks (libBigWig)" else
      "reads no bigWig tracks (built without libBigWig)")
}

# The schemes of URLs among htslib's (not its local "file", "data" and
# "preload").
url_protocols <- function(protocols) {
  setdiff(protocols, c("file", "data", "preload", "fd", "mem"))
}

# The usual URL schemes among `protocols`, in words.
common_protocols <- function(protocols) {
  usual <- intersect(c("http", "https", "ftp", "ftps", "s3", "gs"), protocols)
  if (length(usual) == 0L) return("no")
  others <- length(protocols) - length(usual)
  paste0(paste(usual, collapse = ", "),
         if (others > 0L) sprintf(" (and %d more)", others))
}
