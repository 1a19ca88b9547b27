// The simplex minimiser: validation, the exact sequence of points and
// evaluation counts in small hand-traced cases, the tie and NaN rules,
// restarts, the budget, and convergence on standard test functions.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "hyper/nelmin.h"
#include "kestrumr.h"

namespace {

using kestrum::hyper::nelder_mead;

// An objective for the exported routine: counts its calls.
int g_calls = 0;
double counted_square(const double* x) {
    ++g_calls;
    return x[0] * x[0];
}

// Wraps a function of a point and records every point it is called with.
struct Recorder {
    int ndim;
    double (*f)(const double*, int);
    std::vector<std::vector<double>> points;
    double operator()(const double* x) {
        points.emplace_back(x, x + ndim);
        return f(x, ndim);
    }
};

struct Result {
    std::vector<double> start, xbest;
    double ybest = -7.0;
    std::int32_t neval = -7, nrestart = -7, ierr = -7;
};

Result run(Recorder& rec, std::vector<double> start, std::vector<double> step, double tol,
           std::int32_t ncheck, std::int32_t maxeval) {
    Result r;
    r.start = std::move(start);
    r.xbest.assign(r.start.size(), -7.0);
    nelder_mead(rec, rec.ndim, r.start.data(), r.xbest.data(), &r.ybest, tol, step.data(), ncheck,
                maxeval, &r.neval, &r.nrestart, &r.ierr);
    return r;
}

double shifted_quadratic_2d(const double* x, int) {
    const double a = x[0] - 0.3, b = x[1] + 0.2;
    return a * a + b * b;
}

double sq(const double* x, int n) {
    double s = 0.0;
    for (int i = 0; i < n; ++i) s = s + x[i] * x[i];
    return s;
}

TEST(Nelmin, RejectedInputWritesOnlyTheErrorCode) {
    struct Case {
        std::int32_t ndim;
        double tol;
        std::int32_t ncheck;
    };
    const Case cases[] = {{21, 1e-6, 5}, {0, 1e-6, 5},  {-3, 1e-6, 5},
                          {2, 0.0, 5},   {2, -1.0, 5},  {2, 1e-6, 0},
                          {2, 1e-6, -1}, {100, 0.0, 0}};
    for (const Case& c : cases) {
        double start[21], xbest[21], step[21];
        for (int i = 0; i < 21; ++i) {
            start[i] = 0.5 + i;
            xbest[i] = -1.25 - i;
            step[i] = 1.0;
        }
        double start0[21], xbest0[21];
        std::memcpy(start0, start, sizeof start);
        std::memcpy(xbest0, xbest, sizeof xbest);
        double ybest = 42.0;
        std::int32_t neval = 11, nrestart = 12, ierr = 13;
        const std::int32_t maxeval = 1000;
        g_calls = 0;
        nelmin_(counted_square, &c.ndim, start, xbest, &ybest, &c.tol, step, &c.ncheck, &maxeval,
                &neval, &nrestart, &ierr);
        EXPECT_EQ(ierr, 1) << c.ndim << " " << c.tol << " " << c.ncheck;
        EXPECT_EQ(std::memcmp(start, start0, sizeof start), 0);
        EXPECT_EQ(std::memcmp(xbest, xbest0, sizeof xbest), 0);
        EXPECT_EQ(ybest, 42.0);
        EXPECT_EQ(neval, 11);
        EXPECT_EQ(nrestart, 12);
        EXPECT_EQ(g_calls, 0);
    }
}

TEST(Nelmin, TwentyVariablesAreAccepted) {
    Recorder rec{20, sq, {}};
    std::vector<double> start(20, 1.0), step(20, 0.5);
    const Result r = run(rec, start, step, 1e-3, 5, 0);
    EXPECT_EQ(r.ierr, 2);
    EXPECT_EQ(rec.points.size(), static_cast<std::size_t>(r.neval));
    EXPECT_GE(r.neval, 21);
}

// f(x) = x^2 from 0 with step 1, checked after every iteration, no budget:
// simplex {1, 0}, reflection of 1 to -1 (value 1, beats no vertex), then
// the contraction towards the highest vertex at 0.5 is kept; the check
// finds the budget exceeded.
TEST(Nelmin, BudgetZeroStopsAtTheFirstCheck) {
    Recorder rec{1, sq, {}};
    const Result r = run(rec, {0.0}, {1.0}, 1e-8, 1, 0);
    const std::vector<std::vector<double>> want = {{0.0}, {1.0}, {-1.0}, {0.5}};
    EXPECT_EQ(rec.points, want);
    EXPECT_EQ(r.ierr, 2);
    EXPECT_EQ(r.neval, 4);
    EXPECT_EQ(r.nrestart, 0);
    EXPECT_EQ(r.xbest[0], 0.0);  // the lowest vertex, untouched
    EXPECT_EQ(r.ybest, 0.0);
    EXPECT_EQ(r.start[0], 0.0);
}

// A negative budget behaves as 0; a NaN tolerance passes the check on
// tol <= 0 and makes the first spread test find convergence.
TEST(Nelmin, NegativeBudgetAndNanTolerance) {
    Recorder rec{1, sq, {}};
    const Result r = run(rec, {0.0}, {1.0}, 1e-8, 1, -5);
    EXPECT_EQ(r.ierr, 2);
    EXPECT_EQ(r.neval, 4);

    Recorder rn{2, shifted_quadratic_2d, {}};
    const Result n = run(rn, {0.0, 0.0}, {1.0, 1.0}, std::numeric_limits<double>::quiet_NaN(), 2,
                         1000);
    EXPECT_NE(n.ierr, 1);
    // Same path as with a tolerance that every spread is below.
    Recorder rh{2, shifted_quadratic_2d, {}};
    const Result h = run(rh, {0.0, 0.0}, {1.0, 1.0}, 1e300, 2, 1000);
    EXPECT_EQ(rn.points, rh.points);
    EXPECT_EQ(n.neval, h.neval);
    EXPECT_EQ(n.ierr, h.ierr);
    EXPECT_EQ(n.xbest, h.xbest);
}

// As above, but the contraction point 0.5 is higher than the highest vertex
// and the reflection -1 ties with it: a shrink.  Both vertices are evaluated
// again (vertex 1 moves to 0.5, vertex 2 = ilo stays at 0), nn evaluations
// are counted and the budget is checked at once, before any check interval
// has passed.
double bumpy(const double* x, int) {
    if (x[0] == 0.5) return 5.0;
    if (x[0] == -1.0) return 1.0;
    return x[0] * x[0];
}
TEST(Nelmin, ShrinkReevaluatesEveryVertexAndChecksTheBudget) {
    Recorder rec{1, bumpy, {}};
    const Result r = run(rec, {0.0}, {1.0}, 1e-8, 100, 0);
    const std::vector<std::vector<double>> want = {{0.0}, {1.0}, {-1.0}, {0.5}, {0.5}, {0.0}};
    EXPECT_EQ(rec.points, want);
    EXPECT_EQ(r.ierr, 2);
    EXPECT_EQ(r.neval, 6);
    EXPECT_EQ(r.xbest[0], 0.0);
    EXPECT_EQ(r.ybest, 0.0);
}

// A converging run: neval counts the simplex (nn), each move (1) and each
// axis of the passed local test (2); start comes back unchanged.
TEST(Nelmin, EvaluationsAreCountedAndStartIsKeptWithoutRestart) {
    Recorder rec{1, sq, {}};
    const Result r = run(rec, {0.0}, {1.0}, 10.0, 1, 1000);
    // simplex 0, 1; reflection -1; contraction 0.5; converged (spread
    // 0.03125 <= 10); local test 0.001 and -0.001 around vertex 0.
    ASSERT_EQ(rec.points.size(), 6u);
    EXPECT_EQ(rec.points[4][0], 0.001);
    EXPECT_EQ(rec.points[5][0], (0.001 - 0.001) - 0.001);
    EXPECT_EQ(r.ierr, 0);
    EXPECT_EQ(r.neval, 6);
    EXPECT_EQ(r.nrestart, 0);
    EXPECT_EQ(r.start[0], 0.0);
    EXPECT_EQ(r.ybest, 0.0);
    EXPECT_EQ(r.xbest[0], ((0.001 - 0.001) - 0.001) + 0.001);

    // Several dimensions: every call is counted, start is returned bit for
    // bit when no restart happened.
    for (int n = 1; n <= 5; ++n) {
        Recorder rn{n, sq, {}};
        std::vector<double> start(n), step(n);
        for (int i = 0; i < n; ++i) {
            start[i] = 0.1 + 0.3 * i;
            step[i] = 0.7;
        }
        const Result rr = run(rn, start, step, 1e-12, 3, 5000);
        EXPECT_EQ(static_cast<std::size_t>(rr.neval), rn.points.size()) << n;
        EXPECT_EQ(rr.ierr, 0) << n;
        if (rr.nrestart == 0) {
            EXPECT_EQ(rr.start, start) << n;
        }
    }
}

// f(x) = (x - 0.0007)^2 from 0, step 1, loose tolerance: the first
// convergence is at vertex 0, but 0.001 is lower, so the search restarts
// there with the small simplex {0.001 + 0.001, 0.001}.
double offset_square(const double* x, int) {
    const double d = x[0] - 0.0007;
    return d * d;
}
TEST(Nelmin, RestartBuildsTheSmallSimplexAtTheLowerPoint) {
    Recorder rec{1, offset_square, {}};
    const Result r = run(rec, {0.0}, {1.0}, 10.0, 1, 1000);
    ASSERT_GE(rec.points.size(), 7u);
    const std::vector<std::vector<double>> want = {{0.0},   {1.0},   {-1.0},
                                                   {0.5},   {0.001}, {0.001},
                                                   {0.001 + 0.001 * 1.0}};
    EXPECT_EQ(std::vector<std::vector<double>>(rec.points.begin(), rec.points.begin() + 7), want);
    EXPECT_EQ(r.ierr, 0);
    EXPECT_EQ(r.nrestart, 1);
    EXPECT_EQ(r.start[0], 0.001);  // the last restart point
    EXPECT_EQ(static_cast<std::size_t>(r.neval), rec.points.size());
    EXPECT_NEAR(r.xbest[0], 0.0007, 0.001);
    EXPECT_LE(r.ybest, offset_square(&r.start[0], 1));
}

// All values equal: lowest and highest are both vertex 1, so vertex 1 is
// reflected through the centroid of the others and, replaced by the
// contraction, stays the lowest.
double flat(const double*, int) { return 1.0; }
TEST(Nelmin, TiesGoToTheFirstVertex) {
    Recorder rec{2, flat, {}};
    const Result r = run(rec, {0.0, 0.0}, {1.0, 1.0}, 1e-8, 1, 1000);
    // simplex: (0,0) as vertex 3, (1,0) vertex 1, (0,1) vertex 2.
    ASSERT_GE(rec.points.size(), 5u);
    EXPECT_EQ(rec.points[1], (std::vector<double>{1.0, 0.0}));
    EXPECT_EQ(rec.points[2], (std::vector<double>{0.0, 1.0}));
    EXPECT_EQ(rec.points[3], (std::vector<double>{-1.0, 1.0}));   // reflection of vertex 1
    EXPECT_EQ(rec.points[4], (std::vector<double>{0.5, 0.25}));   // contraction towards it
    EXPECT_EQ(r.ierr, 0);
    EXPECT_EQ(r.neval, 5 + 4);
    EXPECT_EQ(r.ybest, 1.0);
    EXPECT_DOUBLE_EQ(r.xbest[0], 0.5);
    EXPECT_DOUBLE_EQ(r.xbest[1], 0.25);
}

// An expansion whose value is not a number still replaces the highest
// vertex; that NaN vertex becomes the lowest (NaN is not >= ylo), and the
// NaN spread ends the iterations as converged.
double nan_at_minus_two(const double* x, int) {
    if (x[0] == -2.0) return std::numeric_limits<double>::quiet_NaN();
    const double d = x[0] + 3.0;
    return d * d;
}
TEST(Nelmin, NanValuesFollowTheComparisons) {
    Recorder rec{1, nan_at_minus_two, {}};
    const Result r = run(rec, {0.0}, {1.0}, 1e-8, 1, 1000);
    // simplex 0 (9), 1 (16); reflection -1 (4 < 9): expansion to -2 (NaN).
    ASSERT_GE(rec.points.size(), 4u);
    EXPECT_EQ(rec.points[2][0], -1.0);
    EXPECT_EQ(rec.points[3][0], -2.0);
    EXPECT_EQ(r.ierr, 0);
    EXPECT_EQ(r.neval, 4 + 2);  // NaN is never lower in the local test
    EXPECT_TRUE(std::isnan(r.ybest));
    EXPECT_NEAR(r.xbest[0], -2.0, 1e-12);
}

double always_nan(const double*, int) { return std::numeric_limits<double>::quiet_NaN(); }
double nan_beyond_one(const double* x, int n) {
    for (int i = 0; i < n; ++i) {
        if (x[i] > 1.0) return std::numeric_limits<double>::quiet_NaN();
    }
    return -sq(x, n);  // falls towards the NaN region
}
double unbounded(const double* x, int n) {
    double s = 0.0;
    for (int i = 0; i < n; ++i) s = s + x[i];
    return s;
}
TEST(Nelmin, EndsWithoutHangingOnNanAndUnboundedObjectives) {
    const std::int32_t big = std::numeric_limits<std::int32_t>::max();
    for (int n = 1; n <= 4; ++n) {
        std::vector<double> start(n, 0.25), step(n, 0.5);
        Recorder a{n, always_nan, {}};
        const Result ra = run(a, start, step, 1e-10, 5, big);
        EXPECT_EQ(ra.ierr, 0);
        EXPECT_TRUE(std::isnan(ra.ybest));
        Recorder b{n, nan_beyond_one, {}};
        const Result rb = run(b, start, step, 1e-10, 5, big);
        EXPECT_NE(rb.ierr, 1);
        EXPECT_EQ(static_cast<std::size_t>(rb.neval), b.points.size());
        Recorder c{n, unbounded, {}};
        const Result rc = run(c, start, step, 1e-10, 5, big);
        EXPECT_NE(rc.ierr, 1);
        EXPECT_LT(rc.neval, 1000000);
    }
}

double rosenbrock(const double* x, int n) {
    double s = 0.0;
    for (int i = 0; i + 1 < n; ++i) {
        const double a = x[i + 1] - x[i] * x[i];
        const double b = 1.0 - x[i];
        s = s + (100.0 * (a * a) + b * b);
    }
    return s;
}
double shifted_quadratic(const double* x, int n) {
    double s = 0.0;
    for (int i = 0; i < n; ++i) {
        const double d = x[i] - (1.0 + 0.5 * i);
        s = s + (i + 1.0) * (d * d);
    }
    return s;
}

TEST(Nelmin, ConvergesOnQuadraticsAndRosenbrock) {
    for (int n = 1; n <= 5; ++n) {
        Recorder q{n, shifted_quadratic, {}};
        const Result r = run(q, std::vector<double>(n, -1.0), std::vector<double>(n, 1.0), 1e-14,
                             10, 100000);
        EXPECT_EQ(r.ierr, 0) << n;
        for (int i = 0; i < n; ++i) EXPECT_NEAR(r.xbest[i], 1.0 + 0.5 * i, 1e-3) << n;
        EXPECT_LT(r.ybest, 1e-6);
        EXPECT_EQ(static_cast<std::size_t>(r.neval), q.points.size());
    }
    for (int n = 2; n <= 5; ++n) {
        Recorder rb{n, rosenbrock, {}};
        std::vector<double> start(n);
        for (int i = 0; i < n; ++i) start[i] = (i % 2 == 0) ? -1.2 : 1.0;
        const Result r = run(rb, start, std::vector<double>(n, 0.5), 1e-16, 10, 200000);
        EXPECT_EQ(r.ierr, 0) << n;
        for (int i = 0; i < n; ++i) EXPECT_NEAR(r.xbest[i], 1.0, 1e-3) << n;
    }
}

TEST(Nelmin, ExportMatchesTheCore) {
    double start_a[3] = {0.3, -0.2, 1.5}, start_b[3] = {0.3, -0.2, 1.5};
    const double step[3] = {0.4, 0.4, 0.4};
    double xa[3], xb[3], ya = 0.0, yb = 0.0;
    std::int32_t na, ra, ea, nb, rb, eb;
    const std::int32_t ndim = 1, ncheck = 4, maxeval = 500;
    const double tol = 1e-12;
    g_calls = 0;
    nelmin_(counted_square, &ndim, start_a, xa, &ya, &tol, step, &ncheck, &maxeval, &na, &ra, &ea);
    EXPECT_EQ(g_calls, na);
    nelder_mead([](const double* x) { return x[0] * x[0]; }, ndim, start_b, xb, &yb, tol, step,
                ncheck, maxeval, &nb, &rb, &eb);
    EXPECT_EQ(std::memcmp(xa, xb, sizeof(double)), 0);
    EXPECT_EQ(ya, yb);
    EXPECT_EQ(na, nb);
    EXPECT_EQ(ra, rb);
    EXPECT_EQ(ea, eb);
    EXPECT_EQ(start_a[0], start_b[0]);
}

}  // namespace
