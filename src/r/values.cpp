// R values of the engine's results, named and shaped as they are:
// matrices and arrays with their dimensions, runs per target and sample.
#include <string.h>

#include <algorithm>

#include "glue.h"

namespace tolvendra {

SEXP named_list(const SEXP *values, const char *const *names, int n)
{
    SEXP out = PROTECT(Rf_allocVector(VECSXP, n));
    SEXP labels = PROTECT(Rf_allocVector(STRSXP, n));
    for (int i = 0; i < n; ++i) {
        SET_VECTOR_ELT(out, i, values[i]);
        SET_STRING_ELT(labels, i, Rf_mkChar(names[i]));
    }
    Rf_setAttrib(out, R_NamesSymbol, labels);
    UNPROTECT(2);
    return out;
}

namespace {

SEXP dim_value(const std::vector<int> &dim)
{
    SEXP out = Rf_allocVector(INTSXP, static_cast<R_xlen_t>(dim.size()));
    std::copy(dim.begin(), dim.end(), INTEGER(out));
    return out;
}

// The depth of every position of the runs: integers, or doubles for real
// runs.
SEXP position_depths(const Runs &r)
{
    const size_t n = r.at.size();
    SEXP out = Rf_allocVector(r.is_real() ? REALSXP : INTSXP, static_cast<R_xlen_t>(r.length));
    auto fill = [&](auto *d, const auto &depth) {
        for (size_t i = 0; i < n; ++i) {
            const size_t from = r.at[i];
            const size_t to = i + 1 < n ? r.at[i + 1] : static_cast<size_t>(r.length);
            std::fill(d + from, d + to, depth[i]);
        }
    };
    if (r.is_real())
        fill(REAL(out), r.real);
    else
        fill(INTEGER(out), r.value);
    return out;
}

// The depth of each run, taken from the runs.
SEXP run_depths(Runs *r)
{
    return r->is_real() ? adopted(&r->real) : adopted(&r->value);
}

// Runs as list(start, value): the first coordinate of each run and its
// depth.
SEXP runs_value(Runs *r)
{
    const R_xlen_t n = static_cast<R_xlen_t>(r->at.size());
    SEXP start = PROTECT(Rf_allocVector(REALSXP, n));
    double *d = REAL(start);
    for (R_xlen_t i = 0; i < n; ++i)
        d[i] = static_cast<double>(r->first + r->at[i]);
    SEXP values[] = {start, PROTECT(run_depths(r))};
    const char *names[] = {"start", "value"};
    SEXP out = named_list(values, names, 2);
    UNPROTECT(2);
    return out;
}

// Runs as list(lengths, values), the slots of an S4Vectors Rle, both taken
// from the runs: their starts become lengths in place (a run is never
// longer than a target, which fits an R integer).
SEXP rle_value(Runs *r)
{
    const size_t n = r->at.size();
    uint32_t *at = r->at.data();
    for (size_t i = 0; i + 1 < n; ++i)
        at[i] = at[i + 1] - at[i];
    if (n > 0)
        at[n - 1] = static_cast<uint32_t>(r->length) - at[n - 1];
    SEXP lengths = PROTECT(adopted(&r->at));
    SEXP parts[] = {lengths, PROTECT(run_depths(r))};
    const char *names[] = {"lengths", "values"};
    SEXP out = named_list(parts, names, 2);
    UNPROTECT(2);
    return out;
}

// A list array of runs in the form the job asked for.
SEXP runs_array(Grid<Runs> *x, Job::RunsForm form)
{
    SEXP out = PROTECT(Rf_allocVector(VECSXP, static_cast<R_xlen_t>(x->x.size())));
    for (size_t i = 0; i < x->x.size(); ++i) {
        Runs *r = &x->x[i];
        SET_VECTOR_ELT(out, static_cast<R_xlen_t>(i),
                       form == Job::RunsForm::depths    ? position_depths(*r)
                       : form == Job::RunsForm::lengths ? rle_value(r)
                                                        : runs_value(r));
    }
    Rf_setAttrib(out, R_DimSymbol, dim_value(x->dim));
    UNPROTECT(1);
    return out;
}

// Regions: target (1-based), start, end, and sums (regions x samples), in
// values[0..3], left protected.
void region_values(const Regions &r, SEXP *values)
{
    const R_xlen_t k = static_cast<R_xlen_t>(r.start.size());
    values[0] = PROTECT(Rf_allocVector(INTSXP, k));
    values[1] = PROTECT(Rf_allocVector(REALSXP, k));
    values[2] = PROTECT(Rf_allocVector(REALSXP, k));
    const int samples = static_cast<int>(r.sums.size());
    values[3] = PROTECT(Rf_allocMatrix(REALSXP, static_cast<int>(k), samples));
    for (R_xlen_t i = 0; i < k; ++i) {
        INTEGER(values[0])[i] = r.target[i] + 1;
        REAL(values[1])[i] = static_cast<double>(r.start[i]);
        REAL(values[2])[i] = static_cast<double>(r.end[i]);
    }
    for (int s = 0; s < samples; ++s)
        std::copy(r.sums[s].begin(), r.sums[s].end(), REAL(values[3]) + k * s);
}

// list(sum, bases, min, max, median, sd, ge, reads, histogram, depths):
// the arrays as Groups shapes them, and depths as list(group, sample,
// depth, count), 1-based.
SEXP group_value(const Groups &g)
{
    const Grid<double> *arrays[] = {&g.sum, &g.bases, &g.min, &g.max, &g.median,
                                    &g.sd, &g.ge, &g.reads, &g.histogram};
    SEXP values[10];
    for (int i = 0; i < 9; ++i)
        values[i] = PROTECT(array_value(*arrays[i]));
    const R_xlen_t m = static_cast<R_xlen_t>(g.depth_value.size());
    SEXP parts[] = {PROTECT(Rf_allocVector(INTSXP, m)), PROTECT(Rf_allocVector(INTSXP, m)),
                    PROTECT(doubles(g.depth_value)), PROTECT(doubles(g.depth_count))};
    for (R_xlen_t i = 0; i < m; ++i) {
        INTEGER(parts[0])[i] = g.depth_group[i] + 1;
        INTEGER(parts[1])[i] = g.depth_sample[i] + 1;
    }
    const char *part_names[] = {"group", "sample", "depth", "count"};
    values[9] = PROTECT(named_list(parts, part_names, 4));
    const char *names[] = {"sum", "bases", "min", "max", "median", "sd",
                           "ge", "reads", "histogram", "depths"};
    SEXP out = named_list(values, names, 10);
    UNPROTECT(14);
    return out;
}

} // namespace

SEXP doubles(const std::vector<double> &x)
{
    SEXP out = Rf_allocVector(REALSXP, static_cast<R_xlen_t>(x.size()));
    std::copy(x.begin(), x.end(), REAL(out));
    return out;
}

SEXP array_value(const Grid<double> &x)
{
    SEXP out = PROTECT(doubles(x.x));
    Rf_setAttrib(out, R_DimSymbol, dim_value(x.dim));
    UNPROTECT(1);
    return out;
}

SEXP result_value(Job *job)
{
    Result &res = job->result;
    const R_xlen_t n_samples = static_cast<R_xlen_t>(res.reads.size());
    SEXP values[11];
    values[0] = PROTECT(array_value(res.sums));
    values[1] = PROTECT(array_value(res.covered));
    region_values(res.regions, values + 2);
    values[6] = PROTECT(runs_array(&res.runs, job->runs_form));
    values[7] = PROTECT(Rf_allocVector(REALSXP, n_samples));
    for (R_xlen_t s = 0; s < n_samples; ++s)
        REAL(values[7])[s] = static_cast<double>(res.reads[s]);
    values[8] = PROTECT(doubles(res.bases));
    values[9] = PROTECT(group_value(res.groups));
    values[10] = PROTECT(array_value(res.means));
    const char *names[] = {"sums", "covered", "region_target", "region_start",
                           "region_end", "region_sums", "runs", "reads", "bases",
                           "groups", "means"};
    SEXP out = named_list(values, names, 11);
    UNPROTECT(11);
    return out;
}

} // namespace tolvendra
