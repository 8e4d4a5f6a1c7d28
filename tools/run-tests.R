# Runs the test suite against the installed package; exits non-zero on any
# failure. Used by the reliability checks, which install special builds.
args <- commandArgs(trailingOnly = TRUE)
path <- if (length(args) > 0) args[1] else "tests/testthat"
library(testthat)
# TOLVENDRA_TEST_FILTER keeps only the test files it matches;
# TOLVENDRA_TEST_SKIP leaves out those it matches.
keep <- Sys.getenv("TOLVENDRA_TEST_FILTER")
skip <- Sys.getenv("TOLVENDRA_TEST_SKIP")
run <- function(filter = NULL, ...) {
  test_dir(path, package = "Tolvendra", load_package = "installed",
           filter = filter, ..., reporter = "summary", stop_on_failure = FALSE)
}
results <- as.data.frame(
  if (nzchar(keep)) run(keep) else if (nzchar(skip)) run(skip, invert = TRUE) else run()
)
failed <- sum(results$failed) + sum(results$error)
cat(sprintf("tests: %d expectations, %d failed\n", sum(results$nb), failed))
if (failed > 0) quit(status = 1)
