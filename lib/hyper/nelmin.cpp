// The exported simplex minimiser: dereferences its arguments and runs the
// core with the caller's objective routine.
#include "hyper/nelmin.h"

#include "kestrumr.h"

extern "C" KESTRUMR_API void nelmin_(kestrumr_objective func, const int32_t* ndim, double* start,
                                     double* xbest, double* ybest, const double* tol,
                                     const double* step, const int32_t* ncheck,
                                     const int32_t* maxeval, int32_t* neval, int32_t* nrestart,
                                     int32_t* ierr) {
    kestrum::hyper::nelder_mead(func, *ndim, start, xbest, ybest, *tol, step, *ncheck, *maxeval,
                                neval, nrestart, ierr);
}
