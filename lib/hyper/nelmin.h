// Nelder-Mead simplex minimisation of a function of up to 20 variables,
// without derivatives and without allocation.
#pragma once

#include <cstdint>
#include <limits>

namespace kestrum::hyper {

// Capacity of the fixed tables: the largest number of variables.
inline constexpr std::int32_t kSimplexMaxDim = 20;

// nelder_mead -- minimise func over ndim variables by the Nelder-Mead
// simplex method, with a convergence test every ncheck iterations, a
// local-minimum test along each axis once converged, and restarts from a
// small simplex when that test finds a lower point.
//
// func is any callable taking `const double*` (ndim coordinates) and
// returning a double.  It is called with a pointer to start (while a simplex
// is built), to xbest (during a shrink and the local-minimum test), or to the
// reflected or trial point, and must not keep that pointer.  The arguments
// and results are those of the exported nelmin_ (see kestrumr.h), passed by
// value where they are inputs.
//
// Algorithm (coefficients: reflection 1, expansion 2, contraction 0.5,
// shrink 0.5, local-test and restart step 0.001):
//   build   vertex nn = start, then vertex j = start moved by del*step(j)
//           along axis j (del = 1 at first, 0.001 after a restart); start is
//           changed one coordinate at a time and restored;
//   lowest  ylo/ilo = first vertex of smallest value;
//   iterate highest vertex ihi (first of equal values), centroid of the
//           others, reflection; expansion when the reflection is below ylo;
//           otherwise keep the reflection when it beats at least two
//           vertices, contract on the reflected side when it beats exactly
//           one, contract towards ihi when it beats none, and shrink every
//           vertex halfway towards ilo when that contraction is worse than
//           ihi (vertex ilo is evaluated again);
//   check   every ncheck iterations (shrinks do not count): stop when the
//           budget is exhausted, or when the spread sum (Y(i) - mean)^2 is
//           not above tol*ndim;
//   local   once converged, move the best vertex by +-0.001*step(i) along
//           each axis in turn; a strictly lower value restarts the search
//           from that point.
// Every comparison is written in the form in which it is evaluated, so that
// values that are not numbers take a defined path: a NaN spread ends the
// iterations as converged, a NaN expansion value replaces the highest
// vertex, a NaN never counts as lower in the local test.
//
// Termination: every path through the iterations reaches a budget check
// within ncheck iterations or right after a shrink, and each of those paths
// evaluates func, so the routine always ends once neval passes maxeval.  The
// evaluations are counted in 64 bits so that this holds even for a budget of
// INT32_MAX; neval and nrestart are reported saturated at INT32_MAX.
template <class Func>
void nelder_mead(Func&& func, std::int32_t ndim, double* start, double* xbest, double* ybest,
                 double tol, const double* step, std::int32_t ncheck, std::int32_t maxeval,
                 std::int32_t* neval, std::int32_t* nrestart, std::int32_t* ierr) {
    // Validation: nothing but ierr is written for rejected input.
    *ierr = 1;
    if (tol <= 0.0 || ndim < 1 || ndim > kSimplexMaxDim || ncheck < 1) {
        return;
    }
    *ierr = 2;
    *neval = 0;
    *nrestart = 0;

    const int n = ndim;
    const int nn = n + 1;
    const double dn = static_cast<double>(n);
    const double dnn = static_cast<double>(nn);
    const double rq = tol * dn;
    const std::int64_t budget = maxeval;

    double p[kSimplexMaxDim + 1][kSimplexMaxDim];  // vertex j is p[j][0..n-1]
    double y[kSimplexMaxDim + 1];                   // value at each vertex
    double pbar[kSimplexMaxDim];                    // centroid
    double pstar[kSimplexMaxDim];                   // reflected point
    double p2star[kSimplexMaxDim];                  // expansion / contraction point

    std::int64_t count = 0;     // evaluations so far
    std::int64_t restarts = 0;  // restarts so far
    double del = 1.0;
    std::int32_t jcount = ncheck;

    auto eval = [&func](const double* x) -> double { return func(x); };
    auto report = [&]() {
        constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
        *neval = static_cast<std::int32_t>(count < kMax ? count : kMax);
        *nrestart = static_cast<std::int32_t>(restarts < kMax ? restarts : kMax);
    };

    for (;;) {
        // Build the simplex around start.
        for (int i = 0; i < n; ++i) {
            p[nn - 1][i] = start[i];
        }
        y[nn - 1] = eval(start);
        for (int j = 0; j < n; ++j) {
            const double x = start[j];
            start[j] = x + del * step[j];
            for (int i = 0; i < n; ++i) {
                p[j][i] = start[i];
            }
            y[j] = eval(start);
            start[j] = x;
        }
        count += nn;

        double ylo = 0.0;
        int ilo = 0;
        bool relocate = true;  // search the lowest vertex before the iteration
        for (;;) {
            if (relocate) {
                // Lowest vertex; among equal values the first one stays.
                ylo = y[0];
                ilo = 0;
                for (int i = 1; i < nn; ++i) {
                    if (!(y[i] >= ylo)) {
                        ylo = y[i];
                        ilo = i;
                    }
                }
                relocate = false;
            }

            // Highest vertex; among equal values the first one stays.
            double yhi = y[0];
            int ihi = 0;
            for (int i = 1; i < nn; ++i) {
                if (!(yhi >= y[i])) {
                    yhi = y[i];
                    ihi = i;
                }
            }
            *ybest = yhi;

            // Centroid of every vertex but ihi: the full sum less vertex ihi.
            for (int i = 0; i < n; ++i) {
                double z = 0.0;
                for (int j = 0; j < nn; ++j) {
                    z = z + p[j][i];
                }
                z = z - p[ihi][i];
                pbar[i] = z / dn;
            }

            // Reflection of ihi through the centroid.
            for (int i = 0; i < n; ++i) {
                pstar[i] = pbar[i] + (pbar[i] - p[ihi][i]);
            }
            const double ystar = eval(pstar);
            ++count;

            if (!(ystar >= ylo)) {
                // Expansion: twice as far beyond the centroid.
                for (int i = 0; i < n; ++i) {
                    const double d = pstar[i] - pbar[i];
                    p2star[i] = pbar[i] + (d + d);
                }
                const double y2 = eval(p2star);
                ++count;
                if (y2 >= ystar) {
                    for (int i = 0; i < n; ++i) p[ihi][i] = pstar[i];
                    y[ihi] = ystar;
                } else {
                    for (int i = 0; i < n; ++i) p[ihi][i] = p2star[i];
                    y[ihi] = y2;
                }
            } else {
                // How many vertices the reflection beats (ihi included).
                int l = 0;
                for (int i = 0; i < nn; ++i) {
                    if (y[i] > ystar) ++l;
                }
                if (l > 1) {
                    for (int i = 0; i < n; ++i) p[ihi][i] = pstar[i];
                    y[ihi] = ystar;
                } else if (l == 1) {
                    // Contraction on the reflected side.
                    for (int i = 0; i < n; ++i) {
                        p2star[i] = pbar[i] + 0.5 * (pstar[i] - pbar[i]);
                    }
                    const double y2 = eval(p2star);
                    ++count;
                    if (ystar >= y2) {
                        for (int i = 0; i < n; ++i) p[ihi][i] = p2star[i];
                        y[ihi] = y2;
                    } else {
                        for (int i = 0; i < n; ++i) p[ihi][i] = pstar[i];
                        y[ihi] = ystar;
                    }
                } else {
                    // Contraction on the side of the highest vertex.
                    for (int i = 0; i < n; ++i) {
                        p2star[i] = pbar[i] + 0.5 * (p[ihi][i] - pbar[i]);
                    }
                    const double y2 = eval(p2star);
                    ++count;
                    if (y2 > y[ihi]) {
                        // Shrink every vertex halfway towards vertex ilo;
                        // ilo itself stays and is evaluated again.  xbest
                        // carries each new vertex to func.
                        for (int j = 0; j < nn; ++j) {
                            for (int i = 0; i < n; ++i) {
                                p[j][i] = (p[j][i] + p[ilo][i]) * 0.5;
                                xbest[i] = p[j][i];
                            }
                            y[j] = eval(xbest);
                        }
                        count += nn;
                        if (count > budget) {
                            break;  // finish with ilo as it stands
                        }
                        relocate = true;
                        continue;  // a shrink is not counted towards jcount
                    }
                    for (int i = 0; i < n; ++i) p[ihi][i] = p2star[i];
                    y[ihi] = y2;
                }
            }

            // The replaced vertex may be the new lowest.
            if (!(y[ihi] >= ylo)) {
                ylo = y[ihi];
                ilo = ihi;
            }

            // Budget and convergence check every ncheck iterations.
            --jcount;
            if (jcount > 0) {
                continue;
            }
            if (count > budget) {
                break;
            }
            jcount = ncheck;
            double s = 0.0;
            for (int i = 0; i < nn; ++i) {
                s = s + y[i];
            }
            const double mean = s / dnn;
            double z = 0.0;
            for (int i = 0; i < nn; ++i) {
                const double d = y[i] - mean;
                z = z + d * d;
            }
            if (!(z > rq)) {
                break;  // converged (also when the spread is not a number)
            }
        }

        // Finish: the lowest vertex.
        for (int i = 0; i < n; ++i) {
            xbest[i] = p[ilo][i];
        }
        const double ynewlo = y[ilo];
        *ybest = ynewlo;
        if (count > budget) {
            report();
            return;  // ierr stays 2
        }

        // Local-minimum test: +d, then -d, along each axis in turn.
        bool lower = false;
        for (int i = 0; i < n && !lower; ++i) {
            const double d = 0.001 * step[i];
            xbest[i] = xbest[i] + d;
            double z = eval(xbest);
            ++count;
            if (z < ynewlo) {
                lower = true;
                break;
            }
            xbest[i] = (xbest[i] - d) - d;
            z = eval(xbest);
            ++count;
            if (z < ynewlo) {
                lower = true;
                break;
            }
            xbest[i] = xbest[i] + d;
        }
        if (!lower) {
            *ierr = 0;
            report();
            return;
        }

        // Restart from the lower point with a small simplex; jcount is
        // ncheck here (set at the check that found convergence).
        for (int i = 0; i < n; ++i) {
            start[i] = xbest[i];
        }
        del = 0.001;
        ++restarts;
    }
}

}  // namespace kestrum::hyper
