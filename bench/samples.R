# Reading many samples with analyze_samples(): serial against two workers,
# and many targets per sample, side by side with mosdepth run per sample.
# Sourced by bench/run.R; skipped while the package has no analyze_samples().
if (!exists("analyze_samples", asNamespace("Tolvendra"))) {
  cat("Skipping the many-samples benchmark: this version of Tolvendra has no analyze_samples().\n")
  unlink(file.path(store, "samples-runs.rds"))
} else {
  stop("not written yet")
}
