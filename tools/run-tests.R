# Runs the test suite against the installed package; exits non-zero on any
# failure. Used by the reliability checks, which install special builds.
args <- commandArgs(trailingOnly = TRUE)
path <- if (length(args) > 0) args[1] else "tests/testthat"
library(testthat)
filter <- Sys.getenv("TOLVENDRA_TEST_FILTER", NA)
results <- as.data.frame(test_dir(path, package = "Tolvendra",
                                  load_package = "installed",
                                  filter = if (is.na(filter)) NULL else filter,
                                  reporter = "summary",
                                  stop_on_failure = FALSE))
failed <- sum(results$failed) + sum(results$error)
cat(sprintf("tests: %d expectations, %d failed\n", sum(results$nb), failed))
if (failed > 0) quit(status = 1)
