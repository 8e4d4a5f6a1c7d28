// The engine's request from R's arguments (engine_run() and
// native_sources() in R/engine.R). Each table below both checks its
// fields and fills them, so that a field is named once. The R side checks
// what users pass; this only keeps bad calls from reaching the engine.
#include "glue.h"

namespace tolvendra {

namespace {

std::string string_at(SEXP x, R_xlen_t i)
{
    return STRING_ELT(x, i) == NA_STRING ? std::string()
                                         : std::string(CHAR(STRING_ELT(x, i)));
}

// The fields of the sources, one element per source.
struct SourceField {
    const char *name;
    SEXPTYPE type;
    void (*fill)(Source *, SEXP, R_xlen_t);
};

const SourceField source_fields[] = {
    {"file", STRSXP, [](Source *s, SEXP x, R_xlen_t i) { s->path = string_at(x, i); }},
    {"index", STRSXP, [](Source *s, SEXP x, R_xlen_t i) { s->index = string_at(x, i); }},
    {"reference", STRSXP,
     [](Source *s, SEXP x, R_xlen_t i) { s->reference = string_at(x, i); }},
    {"min_mapq", INTSXP,
     [](Source *s, SEXP x, R_xlen_t i) { s->filter.min_mapq = INTEGER(x)[i]; }},
    {"exclude_flags", INTSXP,
     [](Source *s, SEXP x, R_xlen_t i) {
         s->filter.exclude_flags = static_cast<uint32_t>(INTEGER(x)[i]);
     }},
    {"include_flags", INTSXP,
     [](Source *s, SEXP x, R_xlen_t i) {
         s->filter.include_flags = static_cast<uint32_t>(INTEGER(x)[i]);
     }},
    {"split", LGLSXP,
     [](Source *s, SEXP x, R_xlen_t i) { s->filter.split = LOGICAL(x)[i] == TRUE; }},
    {"deletions", LGLSXP,
     [](Source *s, SEXP x, R_xlen_t i) { s->filter.deletions = LOGICAL(x)[i] == TRUE; }},
    {"overlap", INTSXP,
     [](Source *s, SEXP x, R_xlen_t i) {
         s->filter.overlap = static_cast<Overlap>(INTEGER(x)[i]);
     }},
    {"fragments", LGLSXP,
     [](Source *s, SEXP x, R_xlen_t i) { s->filter.fragments = LOGICAL(x)[i] == TRUE; }},
    {"extend", INTSXP,
     [](Source *s, SEXP x, R_xlen_t i) {
         s->filter.extend = INTEGER(x)[i] > 0 ? INTEGER(x)[i] : 0;
     }},
    {"strand", INTSXP,
     [](Source *s, SEXP x, R_xlen_t i) { s->filter.strand = INTEGER(x)[i]; }},
    {"track", LGLSXP,
     [](Source *s, SEXP x, R_xlen_t i) { s->track = LOGICAL(x)[i] == TRUE; }},
};

// The settings: a length of -1 takes any, -2 one per source.
struct SettingField {
    const char *name;
    SEXPTYPE type;
    R_xlen_t length;
    void (*fill)(Job *, SEXP);
};

const SettingField setting_fields[] = {
    {"regions", LGLSXP, 1, [](Job *j, SEXP x) { j->request.regions = LOGICAL(x)[0] == TRUE; }},
    {"factors", REALSXP, -2,
     [](Job *j, SEXP x) { j->request.factors.assign(REAL(x), REAL(x) + XLENGTH(x)); }},
    {"threshold", REALSXP, 1, [](Job *j, SEXP x) { j->request.threshold = REAL(x)[0]; }},
    {"minlen", INTSXP, 1, [](Job *j, SEXP x) { j->request.minlen = INTEGER(x)[0]; }},
    {"keep", INTSXP, 1,
     [](Job *j, SEXP x) {
         const int keep = INTEGER(x)[0]; // none, runs, coverage, rle
         j->request.keep_runs = keep > 0;
         j->runs_form = keep == 2   ? Job::RunsForm::depths
                        : keep == 3 ? Job::RunsForm::lengths
                                    : Job::RunsForm::starts;
     }},
    {"threads", INTSXP, 1, [](Job *j, SEXP x) { j->request.threads = INTEGER(x)[0]; }},
    {"quantize", INTSXP, -1,
     [](Job *j, SEXP x) {
         j->request.quantize.assign(INTEGER(x), INTEGER(x) + XLENGTH(x));
     }},
    {"groups", INTSXP, 1, [](Job *j, SEXP x) { j->request.groups = INTEGER(x)[0]; }},
    {"group_stats", INTSXP, 1,
     [](Job *j, SEXP x) { j->request.group_stats = static_cast<unsigned>(INTEGER(x)[0]); }},
    {"thresholds", INTSXP, -1,
     [](Job *j, SEXP x) {
         j->request.thresholds.assign(INTEGER(x), INTEGER(x) + XLENGTH(x));
     }},
    {"group_depths", LGLSXP, 1,
     [](Job *j, SEXP x) { j->request.group_depths = LOGICAL(x)[0] == TRUE; }},
    {"group_reads", LGLSXP, 1,
     [](Job *j, SEXP x) { j->request.group_reads = LOGICAL(x)[0] == TRUE; }},
    {"histogram", INTSXP, 1, [](Job *j, SEXP x) { j->request.histogram = INTEGER(x)[0]; }},
    {"min_stretch", REALSXP, 1,
     [](Job *j, SEXP x) { j->request.min_stretch = static_cast<int64_t>(REAL(x)[0]); }},
    {"chunk", REALSXP, 1,
     [](Job *j, SEXP x) { j->request.chunk = static_cast<int64_t>(REAL(x)[0]); }},
    {"max_blocks", REALSXP, 1,
     [](Job *j, SEXP x) { j->request.max_blocks = static_cast<size_t>(REAL(x)[0]); }},
    {"progress", LGLSXP, 1, [](Job *j, SEXP x) { j->show_progress = LOGICAL(x)[0] == TRUE; }},
};

void check_targets(SEXP targets, SEXP spans, SEXP settings)
{
    SEXP seqname = field(targets, "seqname");
    if (TYPEOF(seqname) != STRSXP)
        Rf_error("the engine's `seqname` must be strings");
    const R_xlen_t n = XLENGTH(seqname);
    const double *start = REAL(typed(targets, "start", REALSXP, n));
    const double *end = REAL(typed(targets, "end", REALSXP, n));
    for (R_xlen_t t = 0; t < n; ++t) {
        if (!(start[t] >= 1 && end[t] >= start[t] && end[t] <= 2147483647.0))
            Rf_error("the engine's target %ld is not 1 <= start <= end < 2^31",
                     static_cast<long>(t + 1));
    }
    SEXP span_target = typed(spans, "target", INTSXP, -1);
    const R_xlen_t m = XLENGTH(span_target);
    const double *a = REAL(typed(spans, "start", REALSXP, m));
    const double *b = REAL(typed(spans, "end", REALSXP, m));
    for (R_xlen_t i = 0; i < m; ++i) {
        const int t = INTEGER(span_target)[i] - 1;
        if (t < 0 || t >= n || !(a[i] >= start[t] && b[i] <= end[t]))
            Rf_error("the engine's span %ld lies outside its target",
                     static_cast<long>(i + 1));
    }
    // Groups number 1..groups (0 for none); each group's spans must not
    // overlap, which the R side ensures.
    SEXP group = typed(spans, "group", INTSXP, -1);
    const int groups = INTEGER(field(settings, "groups"))[0];
    if (XLENGTH(group) != 0 && XLENGTH(group) != m)
        Rf_error("the engine's span groups must be one per span");
    for (R_xlen_t i = 0; i < XLENGTH(group); ++i) {
        if (INTEGER(group)[i] < 0 || INTEGER(group)[i] > groups)
            Rf_error("the engine's span %ld has no group among 1..%d",
                     static_cast<long>(i + 1), groups);
    }
    if (groups < 0 || (groups > 0 && XLENGTH(group) == 0))
        Rf_error("the engine's groups need a group for each span");
    SEXP digits = typed(spans, "digits", INTSXP, -1);
    if (XLENGTH(digits) != 0 && XLENGTH(digits) != m)
        Rf_error("the engine's span digits must be one per span");
    for (R_xlen_t i = 0; i < XLENGTH(digits); ++i) {
        if (INTEGER(digits)[i] != NA_INTEGER && INTEGER(digits)[i] < 0)
            Rf_error("the engine's span %ld has negative digits",
                     static_cast<long>(i + 1));
    }
}

} // namespace

void check_sources(SEXP sources)
{
    SEXP file = field(sources, "file");
    if (TYPEOF(file) != STRSXP || XLENGTH(file) < 1)
        Rf_error("the engine needs at least one file");
    for (const SourceField &f : source_fields)
        typed(sources, f.name, f.type, XLENGTH(file));
    SEXP overlap = field(sources, "overlap");
    SEXP strand = field(sources, "strand");
    for (R_xlen_t i = 0; i < XLENGTH(file); ++i) {
        if (INTEGER(overlap)[i] < 0 || INTEGER(overlap)[i] > 2 ||
            INTEGER(strand)[i] < -1 || INTEGER(strand)[i] > 1)
            Rf_error("the engine's `overlap` or `strand` is out of range");
    }
}

void fill_sources(SEXP sources, std::vector<Source> *out)
{
    const R_xlen_t n = XLENGTH(element(sources, "file"));
    out->assign(static_cast<size_t>(n), Source());
    for (const SourceField &f : source_fields) {
        SEXP x = element(sources, f.name);
        for (R_xlen_t i = 0; i < n; ++i)
            f.fill(&(*out)[static_cast<size_t>(i)], x, i);
    }
}

void check_request(SEXP sources, SEXP targets, SEXP spans, SEXP settings)
{
    check_sources(sources);
    const R_xlen_t n_sources = XLENGTH(field(sources, "file"));
    for (const SettingField &f : setting_fields)
        typed(settings, f.name, f.type, f.length == -2 ? n_sources : f.length);
    const int histogram = INTEGER(field(settings, "histogram"))[0];
    if (histogram < -1 || histogram > 1000000)
        Rf_error("the engine's `histogram` must lie between -1 and 1e6");
    SEXP quantize = field(settings, "quantize");
    for (R_xlen_t i = 1; i < XLENGTH(quantize); ++i) {
        if (INTEGER(quantize)[i] <= INTEGER(quantize)[i - 1])
            Rf_error("the engine's `quantize` must ascend");
    }
    const double chunk = REAL(field(settings, "chunk"))[0];
    if (!(chunk >= 1 && chunk <= 2147483647.0))
        Rf_error("the engine's `chunk` must lie between 1 and 2^31 - 1");
    const double stretch = REAL(field(settings, "min_stretch"))[0];
    if (!(stretch >= 1 && stretch <= 2147483647.0))
        Rf_error("the engine's `min_stretch` must lie between 1 and 2^31 - 1");
    const double blocks = REAL(field(settings, "max_blocks"))[0];
    if (!(blocks >= 1 && blocks <= 1e9))
        Rf_error("the engine's `max_blocks` must lie between 1 and 1e9");
    if (targets != R_NilValue)
        check_targets(targets, spans, settings);
}

Status fill_request(Job *job, SEXP sources, SEXP targets, SEXP spans,
                    SEXP settings)
{
    Request &rq = job->request;
    fill_sources(sources, &rq.sources);
    for (const SettingField &f : setting_fields)
        f.fill(job, element(settings, f.name));
    if (targets == R_NilValue)
        return Status(); // libraries only
    SEXP seqname = element(targets, "seqname");
    SEXP start = element(targets, "start");
    SEXP end = element(targets, "end");
    for (R_xlen_t t = 0; t < XLENGTH(seqname); ++t) {
        Target target;
        target.seqname = string_at(seqname, t);
        target.start = static_cast<int64_t>(REAL(start)[t]);
        target.end = static_cast<int64_t>(REAL(end)[t]);
        rq.targets.push_back(target);
    }
    SEXP span_target = element(spans, "target");
    SEXP span_start = element(spans, "start");
    SEXP span_end = element(spans, "end");
    for (R_xlen_t i = 0; i < XLENGTH(span_target); ++i) {
        rq.span_target.push_back(INTEGER(span_target)[i] - 1);
        rq.span_start.push_back(static_cast<int64_t>(REAL(span_start)[i]));
        rq.span_end.push_back(static_cast<int64_t>(REAL(span_end)[i]));
    }
    SEXP span_digits = element(spans, "digits");
    for (R_xlen_t i = 0; i < XLENGTH(span_digits); ++i) {
        const int d = INTEGER(span_digits)[i];
        rq.span_digits.push_back(d == NA_INTEGER ? -1 : d);
    }
    SEXP span_group = element(spans, "group");
    for (R_xlen_t i = 0; i < XLENGTH(span_group); ++i)
        rq.span_group.push_back(INTEGER(span_group)[i] - 1);
    return Status();
}

} // namespace tolvendra
