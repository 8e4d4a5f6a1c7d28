#' Run tasks as SLURM jobs
#'
#' Builds a [BiocParallel::BatchtoolsParam()] that submits tasks to a SLURM
#' cluster through batchtools, with the job template shipped in this
#' package and resources sized for the tasks. Pass it as `BPPARAM` to a
#' function that splits its work into tasks, such as [analyze_samples()].
#'
#' Tasks are grouped into `workers` SLURM jobs; with more tasks than
#' workers, a job runs its share of them one after another. Each job asks
#' for:
#'
#' * `cores` CPUs;
#' * memory, unless given: 8 bytes per base of the largest task for each
#'   sample, 8 more per base, and 1 GiB for R and its packages, in whole
#'   MiB; 4839 MiB for a task of 250 million bases in one sample. That is
#'   the most a task of [analyze_samples()] can hold: each sample's depth
#'   as runs of equal depth (at most 8 bytes a run, and at most a run per
#'   base) and the profile across samples likewise. Real data change depth
#'   far less often than at every base (at 30-fold depth of 150-base reads,
#'   about once in 2.5 bases), so jobs mostly need much less.
#' * a time limit, unless given: 10 minutes to start R and open the files,
#'   plus 1 second per million bases for each sample that each task reads,
#'   for each task the job runs, in whole minutes; 15 minutes for one
#'   task of 250 million bases in one sample. The region search reads a
#'   sample of 30-fold depth at about 6 million bases a second on one core,
#'   so the limit allows depths up to about 150-fold; give `walltime` for
#'   deeper data.
#'
#' Jobs inherit the environment of the R session that submits them, so
#' `R_LIBS` must name libraries that the nodes can read. batchtools keeps
#' its registry (the tasks, their results and the job logs) in a folder
#' of the working directory, which must be on a file system the nodes
#' share; choose another with `registryargs =
#' BiocParallel::batchtoolsRegistryargs(file.dir = )`.
#'
#' @param workers Number of SLURM jobs to spread the tasks over.
#' @param task_bp Length in bases of the largest task: the longest sequence
#'   or target it covers.
#' @param tasks Number of tasks, to size the time limit of jobs that run
#'   several: for [analyze_samples()], the number of sequences or targets.
#' @param samples Number of samples each task reads: for
#'   [analyze_samples()], whose region search reads every sample of the
#'   study, the number of samples.
#' @param cores CPUs per job.
#' @param memory Memory per job in MiB, or `NULL` for the estimate above.
#' @param walltime Time limit per job in seconds (SLURM rounds it up to
#'   whole minutes), or `NULL` for the estimate above.
#' @param partition SLURM partition to submit to, or `NULL` for the
#'   cluster's default.
#' @param template Path of a batchtools template file, or `NULL` for the
#'   package's, `system.file("batchtools", "slurm.tmpl", package =
#'   "Tolvendra")`. It receives the resources `ncpus`, `memory` (MiB),
#'   `walltime` (seconds) and, when given, `partition`.
#' @param ... Further arguments to [BiocParallel::BatchtoolsParam()], such
#'   as `registryargs`, `timeout` or `log`.
#' @return A [BiocParallel::BatchtoolsParam()] object for the `"slurm"`
#'   cluster; its `resources` field holds the job resources.
#' @seealso batchtools ships templates for other schedulers in
#'   `system.file("templates", package = "batchtools")`.
#' @export
#' @examplesIf requireNamespace("batchtools", quietly = TRUE) && nzchar(Sys.which("squeue"))
#' # 10 samples over the 24 human chromosomes (the longest has 248956422
#' # bases), in 8 jobs at a time
#' param <- slurm_param(workers = 8, task_bp = 248956422, tasks = 24,
#'                      samples = 10)
#' str(param$resources)
slurm_param <- function(workers = 2L, task_bp = 250e6, tasks = workers,
                        samples = 1L, cores = 1L, memory = NULL,
                        walltime = NULL, partition = NULL, template = NULL,
                        ...) {
  check_dots_names(list(...), setdiff(
    names(formals(BiocParallel::BatchtoolsParam)),
    c("workers", "cluster", "template", "resources")), sys.call())
  workers <- check_count(workers, "workers", min = 1)
  task_bp <- as.double(check_count(task_bp, "task_bp", min = 1))
  tasks <- check_count(tasks, "tasks", min = 1)
  samples <- check_count(samples, "samples", min = 1)
  cores <- check_count(cores, "cores", min = 1)
  estimate <- job_estimate(task_bp, samples, ceiling(tasks / workers) * samples)
  memory <- if (is.null(memory)) {
    estimate$memory
  } else {
    as.double(check_count(memory, "memory", min = 1))
  }
  walltime <- if (is.null(walltime)) {
    estimate$walltime
  } else {
    as.double(check_count(walltime, "walltime", min = 1))
  }
  if (!is.null(partition)) {
    check_string(partition, "partition")
  }
  if (is.null(template)) {
    template <- system.file("batchtools", "slurm.tmpl", package = "Tolvendra")
  } else if (!is.character(template) || length(template) != 1L ||
             is.na(template) || !file.exists(template)) {
    abort_arg(sprintf(
      "`template` must be the path of an existing template file, not %s.",
      describe(template)), sys.call())
  }
  check_installed("batchtools", repository = "CRAN")
  resources <- list(ncpus = cores, memory = memory, walltime = walltime,
                    partition = partition)
  BiocParallel::BatchtoolsParam(workers = workers, cluster = "slurm",
                                template = template,
                                resources = Filter(Negate(is.null), resources),
                                ...)
}

# Memory (MiB) and time limit (seconds) of a job whose tasks hold the depth
# of `samples` samples over at most `task_bp` bases and read a sample's
# coverage of that many bases `reads` times, as ?slurm_param documents them.
job_estimate <- function(task_bp, samples, reads) {
  list(memory = ceiling(((8 * samples + 8) * task_bp + 2^30) / 2^20),
       walltime = ceiling((600 + reads * task_bp / 1e6) / 60) * 60)
}
