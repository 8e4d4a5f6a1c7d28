#include <R_ext/Rdynload.h>

#include "tolvendra.h"

static const R_CallMethodDef call_methods[] = {
    {"gcoverage", (DL_FUNC) &gcoverage, 3},
    {"ghistogram", (DL_FUNC) &ghistogram, 3},
    {"regionmining", (DL_FUNC) &regionmining, 4},
    {"splicingind", (DL_FUNC) &splicingind, 3},
    {NULL, NULL, 0}
};

extern "C" void R_init_Tolvendra(DllInfo *dll)
{
    R_registerRoutines(dll, NULL, call_methods, NULL, NULL);
}
