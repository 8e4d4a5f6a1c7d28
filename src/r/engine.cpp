// engine_run() and vector_sums(): the engine's passes for R.
#include "../engine/engine.h"
#include "glue.h"

namespace tolvendra {

namespace {

void check_interrupt(void *) { R_CheckUserInterrupt(); }

// Shows progress and hears interrupts, without letting R unwind through
// the engine's frames.
bool poll(void *context, double done)
{
    Job *job = static_cast<Job *>(context);
    if (job->show_progress) {
        const int percent = static_cast<int>(100 * done);
        if (percent != job->shown) {
            REprintf("\rReading alignments: %3d%%", percent);
            job->shown = percent;
        }
    }
    return R_ToplevelExec(check_interrupt, nullptr) == TRUE;
}

Outcome run(Job *job, SEXP sources, SEXP targets, SEXP spans, SEXP settings)
{
    Outcome o = guarded([&] {
        return fill_request(job, sources, targets, spans, settings);
    });
    if (!o.ok())
        return o;
    job->request.poll = poll;
    job->request.poll_context = job;
    o = guarded([&] {
        if (targets == R_NilValue)
            count_libraries(job->request, &job->result);
        else
            run_engine(job->request, &job->result);
        return job->result.status;
    });
    if (o.fault != Fault::memory)
        o.source = job->result.failed;
    return o;
}

// A coverage vector's sums over spans and its regions with their sums.
struct Summary {
    Runs runs;
    std::vector<int64_t> regions;
    std::vector<double> sums, region_sums;
};

Status sum_vector(const int *cov, int64_t n, int64_t first, const double *a,
                 const double *b, int64_t m, int threshold, int minlen,
                 Summary *out)
{
    out->runs.reset(first);
    out->runs.append_depths(reinterpret_cast<const uint32_t *>(cov), n);
    for (int64_t i = 0; i < m; ++i) {
        out->sums.push_back(span_stats(
            out->runs, static_cast<int64_t>(a[i]), static_cast<int64_t>(b[i])).sum);
    }
    runs_regions(out->runs, threshold, minlen, &out->regions);
    for (size_t k = 0; k < out->regions.size(); k += 2) {
        out->region_sums.push_back(
            span_stats(out->runs, out->regions[k], out->regions[k + 1]).sum);
    }
    return Status();
}

} // namespace

} // namespace tolvendra

using namespace tolvendra;

extern "C" {

// One pass of the engine over the files of `sources` for `targets`; see
// engine_run() in R/engine.R for the arguments and the value. A fault comes
// back as a value of class "tolvendra_fault".
SEXP engine_run(SEXP sources, SEXP targets, SEXP spans, SEXP settings)
{
    check_request(sources, targets, spans, settings);
    Job *job = nullptr;
    SEXP handle = Owned<Job>::make(&job);
    const Outcome o = job ? run(job, sources, targets, spans, settings)
                          : out_of_memory();
    if (job && job->show_progress && job->shown >= 0)
        REprintf("\n");
    SEXP out = o.ok() ? result_value(job) : fault_value(o);
    Owned<Job>::release(handle);
    UNPROTECT(1);
    return out;
}

// The sums of a coverage vector (first coordinate `first`) over spans, and
// its regions with their sums, through the same kernels as the engine:
// list(sums, region_start, region_end, region_sums).
SEXP vector_sums(SEXP cov, SEXP first, SEXP starts, SEXP ends,
                      SEXP threshold, SEXP minlen)
{
    if (TYPEOF(cov) != INTSXP || TYPEOF(starts) != REALSXP ||
        TYPEOF(ends) != REALSXP || XLENGTH(starts) != XLENGTH(ends) ||
        TYPEOF(first) != REALSXP || XLENGTH(first) != 1 ||
        TYPEOF(threshold) != INTSXP || XLENGTH(threshold) != 1 ||
        TYPEOF(minlen) != INTSXP || XLENGTH(minlen) != 1)
        Rf_error("vector_sums() takes an integer profile, double spans "
                 "and integer threshold and minlen");
    Summary *sm = nullptr;
    SEXP handle = Owned<Summary>::make(&sm);
    const Outcome o = !sm ? out_of_memory() : guarded([&] {
        return sum_vector(INTEGER(cov), XLENGTH(cov),
                         static_cast<int64_t>(REAL(first)[0]), REAL(starts),
                         REAL(ends), XLENGTH(starts), INTEGER(threshold)[0],
                         INTEGER(minlen)[0], sm);
    });
    if (!o.ok()) {
        Owned<Summary>::release(handle);
        UNPROTECT(1);
        return fault_value(o);
    }
    const R_xlen_t k = static_cast<R_xlen_t>(sm->regions.size() / 2);
    SEXP values[] = {PROTECT(doubles(sm->sums)), PROTECT(Rf_allocVector(REALSXP, k)),
                     PROTECT(Rf_allocVector(REALSXP, k)),
                     PROTECT(doubles(sm->region_sums))};
    for (R_xlen_t i = 0; i < k; ++i) {
        REAL(values[1])[i] = static_cast<double>(sm->regions[2 * i]);
        REAL(values[2])[i] = static_cast<double>(sm->regions[2 * i + 1]);
    }
    const char *names[] = {"sums", "region_start", "region_end", "region_sums"};
    SEXP out = named_list(values, names, 4);
    Owned<Summary>::release(handle);
    UNPROTECT(5);
    return out;
}

} // extern "C"
