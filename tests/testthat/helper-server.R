# A local HTTP server answering Range requests (Debian's
# python3-rangehttpserver) over `dir`, on 127.0.0.1 and a free port, for as
# long as the calling test runs (and 5 minutes at the most). Returns its
# base URL and a function that gives the paths requested so far.
local_range_server <- function(dir, env = parent.frame()) {
  python <- Sys.which(c("/usr/bin/python3", "python3"))
  python <- python[nzchar(python)][1]
  ok <- !is.na(python) && system2(python, c("-c", shQuote("import RangeHTTPServer")),
                                  stdout = FALSE, stderr = FALSE) == 0
  skip_if(!ok, "python3-rangehttpserver is not installed")
  skip_if_not_installed("processx")
  script <- paste(
    "import http.server, sys, RangeHTTPServer",
    "server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), RangeHTTPServer.RangeRequestHandler)",
    "print(server.server_address[1], flush=True)",
    "server.serve_forever()", sep = "\n")
  log <- tempfile("requests")
  p <- processx::process$new("timeout", c("300", python, "-c", script), wd = dir,
                             stdout = "|", stderr = log)
  withr::defer(p$kill_tree(), envir = env)
  port <- character()
  for (i in 1:100) {
    p$poll_io(100)
    port <- p$read_output_lines(1)
    if (length(port) > 0L || !p$is_alive()) break
  }
  stopifnot(length(port) == 1L)
  list(url = sprintf("http://127.0.0.1:%s", port),
       requests = function() {
         lines <- readLines(log, warn = FALSE)
         sub('.*"[A-Z]+ ([^ ]*) HTTP.*', "\\1", grep('"[A-Z]+ ', lines, value = TRUE))
       })
}
