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

// --- Bounds that keep a degenerate record from hanging a loop -------------
//
// A loop that consumes uniforms gives up after a number of consecutive
// rejections (or iterations) that no stream from a sane record reaches in
// practice: with a the smallest acceptance rate of the method over its
// parameter range, (1 - a)^N <= 2^-128, so a process drawing 2^64 variates
// meets the bound with probability below 2^-64.  It then calls
// Stream::degenerate() (the message) and the routine returns its
// illegal-parameter value.  Acceptance rates (smallest, exact or from
// 3*10^5 attempts at shapes across the range; the bound uses the rate
// rounded down):
//   gamma, g < 1 (GS): Gamma(g+1) e/(g+e), least 0.7196 near g = 0.8;
//   gamma, 1 <= g <= 10 (ratio of uniforms): Gamma(g)/(1.5 hmax span),
//     least 0.6041 at g = 1;
//   gamma, g > 10 (GKM3): 0.648 just above 10, 0.67 for large g;
//   beta, Johnk: Gamma(a+1)Gamma(b+1)/Gamma(a+b+1), least 0.5517 as a and
//     b approach 0.9;
//   Poisson, mu > 1000 (Lorentzian envelope, redrawn candidates counted as
//     rejections): 0.508 at every mean tried from 1000 to 2.1e9;
//   geometric, p > 0.9 (counting trials): a trial fails with probability
//     below 0.1.
inline constexpr int32_t kMaxRejectionsGS = 72;       // 0.71
inline constexpr int32_t kMaxRejectionsRatio = 97;    // 0.60
inline constexpr int32_t kMaxRejectionsGKM3 = 87;     // 0.64
inline constexpr int32_t kMaxRejectionsJohnk = 112;   // 0.55
inline constexpr int32_t kMaxRejectionsPoisson = 128; // 0.50
inline constexpr int32_t kMaxGeometricTrials = 39;    // 0.1^39 < 2^-128
// Counting loops with a bounded mean: the product of uniforms for a
// Poisson remainder m <= 10 stops at j = kMaxPoissonProduct (P(X >= 75) <
// 2^-128 for X ~ Poisson(10)); the binomial's count of successes, whose
// mean N q is at most 11 after the splitting, stops at kMaxBinomialCount
// (Chernoff: P(X >= 80) < 2^-128).
inline constexpr int32_t kMaxPoissonProduct = 75;
inline constexpr int32_t kMaxBinomialCount = 80;
// Splitting loops.  The Poisson's gamma splitting lowers the remaining mean
// (at most 1000) by a gamma variate of shape 6 or more per iteration, so
// 300 iterations need Gamma(1800) < 1000, probability below 2^-370.  The
// binomial's order-statistic splitting replaces the smaller of N P and
// N (1 - P) by about its square root at each split (six splits from 2^31);
// it stops after kMaxBinomialSplits.
inline constexpr int32_t kMaxPoissonSplits = 300;
inline constexpr int32_t kMaxBinomialSplits = 1000;

// The smallest double mean that zbqlpoi_ answers with INT32_MAX: 2^31.
inline constexpr double kPoissonSaturation = 2147483648.0;

}  // namespace kestrum::random
