// The variate cores of the unit randgen.  Each takes the stream it draws
// from, so the process-wide stream, private streams and internal callers all
// go through the same code; the exported zbql routines only dereference their
// arguments and call these with process_stream().
//
// The cores carry the exported routines' parameter checks and messages and
// their documented results for NaN, infinite and out-of-range values (see
// the block at the top of the random section of include/kestrumr.h).  The
// normal and gamma cores are Stream members (stream.h).
#pragma once

#include <cstdint>

#include "random/stream.h"

namespace kestrum::random {

// --- Uniforms ------------------------------------------------------------

// zbqluab_: lower + u*(upper - lower); equal limits write the warning and
// return lower without drawing.
double uniform_between(Stream& s, double lower, double upper);

// --- Continuous ------------------------------------------------------------

// zbqlexp_: -mu*ln U.  mu NaN or < 0: message, 0.0.
double exponential(Stream& s, double mu);

// zbqlbet1_: beta(a, b) by Johnk's method (a < 0.9 and b < 0.9) or as
// g1/(g1 + g2) of two gamma variates.  a or b NaN or <= 0: message, 0.0.
// a = +inf (b finite): 1.0; b = +inf (a finite): 0.0; both: NaN; none of
// these draws.
double beta(Stream& s, double a, double b);

// zbqlwei_: b*(-ln U)^(1/a).  a or b NaN or <= 0: message, 0.0.  After the
// draw, b = +inf gives +inf; a = +inf gives b.
double weibull(Stream& s, double a, double b);

// zbqlpar_: b*(U^(-1/a) - 1).  a or b NaN or <= 0: message, 0.0.  After the
// draw, a = +inf gives 0.0 (b finite), b = +inf gives +inf (a finite), both
// give NaN.
double pareto(Stream& s, double a, double b);

// --- Discrete ------------------------------------------------------------

// The int32 results saturate: a count that would be 2^31 - 1 or more comes
// back as INT32_MAX (= 2147483647).
inline constexpr int32_t kCountLimit = INT32_MAX;

// zbqlgeo_: trials up to and including the first success.  p NaN, < 0 or
// > 1: message, 0.  p = -0.0 passes the check and counts as 0.
int32_t geometric(Stream& s, double p);

// zbqlbin_: successes in n trials.  p NaN, < 0 or > 1, or n <= 0: message, 0.
int32_t binomial(Stream& s, int32_t n, double p);

// zbqlpoi_: Poisson(mu).  mu NaN or < 0: message, 0.  mu >= 2^31 (including
// +inf): INT32_MAX with no draw.
int32_t poisson(Stream& s, double mu);

// zbqlnb_: Poisson with mean gamma(r)*p/(1 - p).  r NaN or <= 0, or p NaN,
// <= 0 or >= 1: message, 0.  r = +inf: INT32_MAX with no draw.
int32_t negative_binomial(Stream& s, double r, double p);

// zbqllg_: ln Gamma(x) by the six-term Lanczos series, reflection below 1.
// NaN, x <= 0 (also -0.0): NaN; x = +inf: +inf.  Draws nothing.
double log_gamma(double x);

// The smallest double mean that zbqlpoi_ answers with INT32_MAX: 2^31.
inline constexpr double kPoissonSaturation = 2147483648.0;

}  // namespace kestrum::random
