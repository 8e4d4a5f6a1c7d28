# slurm_param() sizes SLURM jobs for the tasks they run. The jobs themselves
# run only where a SLURM cluster answers: tools/slurm.sh starts one.

test_that("job estimates follow the documented rule", {
  # Expected values worked by hand from ?slurm_param: memory is 8 bytes per
  # base and sample plus 8 per base plus 1 GiB, in whole MiB; time is 600 s
  # plus 1 s per million bases read, in whole minutes.
  cases <- data.frame(
    task_bp = c(250e6, 1, 248956422, 1e6, 2^31 - 1, 50e6),
    samples = c(1, 1, 6, 3, 1, 4),
    reads = c(1, 1, 6, 3, 1, 100),
    memory = c(4839, 1025, 14320, 1055, 33792, 2932),
    walltime = c(900, 660, 2100, 660, 2760, 5640)
  )
  for (i in seq_len(nrow(cases))) {
    got <- Tolvendra:::job_estimate(cases$task_bp[i], cases$samples[i],
                                    cases$reads[i])
    expect_identical(got, list(memory = cases$memory[i],
                               walltime = cases$walltime[i]),
                     label = sprintf("job_estimate(%.0f, %g)", cases$task_bp[i],
                                     cases$reads[i]))
  }
})

test_that("slurm_param() asks for the estimate or the given resources", {
  skip_if_not_installed("batchtools")
  # BiocParallel accepts the slurm cluster only where squeue is installed.
  skip_if_not(nzchar(Sys.which("squeue")), "squeue is not installed")
  resources <- function(...) slurm_param(...)$resources
  # 5 tasks over 2 workers: jobs of up to 3 tasks, each reading 4 samples.
  expect_identical(resources(task_bp = 50e6, tasks = 5, samples = 4),
                   list(ncpus = 1L, memory = 2932, walltime = 1200))
  expect_identical(
    resources(workers = 3, cores = 4, memory = 500, walltime = 90,
              partition = "short"),
    list(ncpus = 4L, memory = 500, walltime = 90, partition = "short"))
  param <- slurm_param(workers = 3)
  expect_identical(BiocParallel::bpnworkers(param), 3L)
  expect_identical(param$template,
                   system.file("batchtools", "slurm.tmpl", package = "Tolvendra"))
})

test_that("slurm_param() rejects bad arguments, naming them", {
  expect_snapshot(error = TRUE, {
    slurm_param(workers = 0)
    slurm_param(task_bp = -1)
    slurm_param(task_bp = "1e6")
    slurm_param(tasks = 2.5)
    slurm_param(samples = c(1, 2))
    slurm_param(cores = NA)
    slurm_param(memory = 0)
    slurm_param(walltime = Inf)
    slurm_param(partition = "")
    slurm_param(template = "no/such.tmpl")
    slurm_param(template = 3)
    Tolvendra:::check_installed("notAPackageAtAll", repository = "CRAN")
  })
})

# The tests below submit jobs. A cluster counts as available when its
# commands answer and a node is idle.
slurm_available <- function() {
  answer <- function(command, args) {
    out <- suppressWarnings(tryCatch(
      system2(command, args, stdout = TRUE, stderr = FALSE),
      error = function(e) NULL))
    if (is.null(attr(out, "status"))) out else NULL
  }
  nzchar(Sys.which("sbatch")) && length(answer("sbatch", "--version")) > 0L &&
    any(answer("sinfo", c("--noheader", "--format=%t")) == "idle")
}

# Calls `fun(BPPARAM)` with a slurm_param() whose jobs are short and whose
# wait is bounded by `timeout` seconds, its batchtools registry in a
# temporary folder. Skips without a cluster, unless TOLVENDRA_TEST_SLURM is
# set (as CI sets it under tools/slurm.sh), which makes that a failure.
# For example
#   run_on_slurm(function(BPPARAM) analyze_samples(files, BPPARAM = BPPARAM))
run_on_slurm <- function(fun, workers = 2L, timeout = 300L, ...) {
  if (nzchar(Sys.getenv("TOLVENDRA_TEST_SLURM"))) {
    stopifnot(requireNamespace("batchtools", quietly = TRUE), slurm_available())
  }
  skip_if_not_installed("batchtools")
  skip_if_not(slurm_available(), "no SLURM cluster with an idle node")
  registry <- tempfile("registry")
  on.exit(unlink(registry, recursive = TRUE))
  fun(slurm_param(
    workers = workers, task_bp = 1e6, walltime = timeout, timeout = timeout,
    registryargs = BiocParallel::batchtoolsRegistryargs(file.dir = registry),
    ...))
}

test_that("jobs get the resources asked for and the session's libraries", {
  job <- run_on_slurm(function(BPPARAM) {
    BiocParallel::bplapply(1, function(i) {
      id <- Sys.getenv("SLURM_JOB_ID")
      c(Sys.getenv(c("SLURM_CPUS_PER_TASK", "SLURM_MEM_PER_NODE", "R_LIBS")),
        time = system2("squeue", c("--noheader", "--format=%l", "-j", id),
                       stdout = TRUE))
    }, BPPARAM = BPPARAM)
  }, workers = 1L, timeout = 120L, memory = 500)[[1]]
  expect_equal(unname(job), c("1", "500", Sys.getenv("R_LIBS"), "2:00"))
})

test_that("coverage computed in SLURM jobs is the serial coverage", {
  # Six windows of random reads, two jobs of three tasks.
  set.seed(20)
  tasks <- lapply(setNames(nm = paste0("task", 1:6)), function(name) {
    first <- sample(1e6, 1)
    n <- sample(0:200, 1)
    starts <- first + sample(-50:1000, n, replace = TRUE)
    list(pos = first:(first + 999), starts = starts,
         ends = starts + sample(0:150, n, replace = TRUE))
  })
  coverage <- function(task) Tolvendra::gcoverage(task$pos, task$starts, task$ends)
  on_slurm <- run_on_slurm(function(BPPARAM) {
    BiocParallel::bplapply(tasks, coverage, BPPARAM = BPPARAM)
  })
  serial <- BiocParallel::bplapply(tasks, coverage,
                                   BPPARAM = BiocParallel::SerialParam())
  expect_identical(on_slurm, serial, label = "coverage of seed-20 tasks on SLURM")
})

test_that("a task failing in its job fails the whole call, naming the task", {
  tasks <- list(list(starts = 1, ends = 5), list(starts = 1, ends = 5),
                list(starts = c(1, 2), ends = 5))
  coverage <- function(task) Tolvendra::gcoverage(1:10, task$starts, task$ends)
  err <- run_on_slurm(function(BPPARAM) {
    tryCatch(BiocParallel::bplapply(tasks, coverage, BPPARAM = BPPARAM),
             bperror = identity)
  }, timeout = 120L)
  expect_s3_class(err, "bperror")
  expect_match(conditionMessage(err), "element index: 3", fixed = TRUE)
  expect_match(conditionMessage(err),
               "`starts` and `ends` must have the same length", fixed = TRUE)
})

test_that("a job that dies fails the call instead of returning part of it", {
  # R ending in the middle of a job, as when SLURM kills it for its memory.
  result <- run_on_slurm(function(BPPARAM) {
    tryCatch(BiocParallel::bplapply(1:3, function(i) {
      if (i == 2) quit(save = "no", status = 3)
      i
    }, BPPARAM = BPPARAM), error = identity)
  }, timeout = 120L)
  expect_s3_class(result, "error")
})

test_that("analyze_samples() on SLURM gives the serial results", {
  skip_without_bam()
  study <- make_study()
  analyze <- function(BPPARAM) {
    analyze_samples(study, width = 100, threshold = 5, minlen = 10,
                    BPPARAM = BPPARAM)
  }
  expect_identical(run_on_slurm(analyze), analyze(BiocParallel::SerialParam()))
})

test_that("a BAM file unreadable on the node fails analyze_samples(), naming it", {
  skip_without_bam()
  study <- make_study()
  # Zeroes inside the first block of reads, after the header's block; the
  # header and index still read, so only the tasks meet the damage.
  file <- study$file[2]
  bytes <- readBin(file, "raw", file.size(file))
  header_block <- as.integer(bytes[17]) + 256L * as.integer(bytes[18]) + 1L
  bytes[header_block + 30:60] <- as.raw(0)
  writeBin(bytes, file)
  Sys.setFileTime(paste0(file, ".bai"), Sys.time() + 5)
  err <- run_on_slurm(function(BPPARAM) {
    tryCatch(analyze_samples(study, BPPARAM = BPPARAM), error = identity)
  }, timeout = 120L)
  # the job's error comes back with its class and fields
  expect_s3_class(err, "tolvendra_error_bam")
  expect_identical(err$file, file)
  expect_match(conditionMessage(err), "s2.bam", fixed = TRUE)
})
