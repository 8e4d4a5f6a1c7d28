// Faults of C++ handed to R as values, which R/conditions.R raises as
// classed errors naming the file.
#include "glue.h"

namespace tolvendra {

Outcome outcome_of(const Status &s, int source)
{
    Outcome o;
    o.fault = s.fault;
    o.source = source;
    snprintf(o.what, sizeof o.what, "%s", s.what.c_str());
    return o;
}

Outcome out_of_memory()
{
    Outcome o;
    o.fault = Fault::memory;
    snprintf(o.what, sizeof o.what, "needs more memory than is available");
    return o;
}

namespace {

const char *fault_name(Fault f)
{
    switch (f) {
    case Fault::open: return "open";
    case Fault::format: return "format";
    case Fault::truncated: return "truncated";
    case Fault::header: return "header";
    case Fault::index: return "index";
    case Fault::damaged: return "damaged";
    case Fault::overflow: return "overflow";
    case Fault::memory: return "memory";
    case Fault::interrupted: return "interrupted";
    case Fault::reference: return "reference";
    default: return "none";
    }
}

} // namespace

SEXP fault_value(const Outcome &o)
{
    SEXP values[] = {PROTECT(Rf_mkString(fault_name(o.fault))),
                     PROTECT(Rf_mkString(o.what)),
                     PROTECT(Rf_ScalarInteger(o.source + 1))};
    const char *names[] = {"fault", "what", "source"};
    SEXP out = PROTECT(named_list(values, names, 3));
    Rf_setAttrib(out, R_ClassSymbol, Rf_mkString("tolvendra_fault"));
    UNPROTECT(4);
    return out;
}

} // namespace tolvendra
