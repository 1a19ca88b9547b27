// Rows a session's run cannot serve: a group whose values are all equal is
// left out of the run, a row whose draws become non-finite is marked; both
// get NaN results, a status and a message, and the run's other rows are not
// touched.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kestrumr_session.h"
#include "random/seeding.h"
#include "random/stream.h"

namespace {

using Session = std::unique_ptr<kestrumr_session, void (*)(kestrumr_session*)>;
Session make_session() { return Session(kestrumr_session_new(), kestrumr_session_free); }

struct Lines {
    std::vector<std::string> lines;
    static void add(void* self, const char* line) {
        static_cast<Lines*>(self)->lines.emplace_back(line);
    }
};

// Rows of three groups (3, 2, 4 observations), column by column.
struct Data {
    std::int32_t L;
    std::int32_t nobs[3] = {3, 2, 4};
    static constexpr std::int32_t J = 3, N = 9;
    std::vector<double> y;
    explicit Data(std::int32_t rows) : L(rows), y(static_cast<std::size_t>(rows) * N) {
        for (std::int32_t g = 0; g < L; ++g)
            for (std::int32_t t = 0; t < N; ++t)
                y[g + t * L] = 0.37 * ((g * 7 + t * 3) % 11) + (t >= 5 ? 1.5 * (g % 3) : 0.0);
    }
    // The rows given, in their order.
    Data rows(const std::vector<std::int32_t>& which) const {
        Data d(static_cast<std::int32_t>(which.size()));
        for (std::size_t i = 0; i < which.size(); ++i)
            for (std::int32_t t = 0; t < N; ++t) d.y[i + t * d.L] = y[which[i] + t * L];
        return d;
    }
};

// Every output of one run, as bit patterns (NaN == NaN), row by row.
struct Outcome {
    std::int32_t L, J;
    std::vector<double> prob, pm, pv, gm, gv, pj;
    int status = -1;
    double next_uniform = 0.0;
    Outcome(kestrumr_session* s, const Data& d, std::int32_t ipool, std::int32_t keep, std::int32_t burn)
        : L(d.L), J(Data::J), prob(L * (J - 1), -5.0), pm(L, -5.0), pv(L, -5.0), gm(L * J, -5.0),
          gv(L * J, -5.0), pj(L, -5.0) {
        const double mvar[2] = {10000.0, 10000.0}, effvar[2] = {10000.0, 10000.0};
        const kestrumr_problem p{ipool, L, J, d.nobs, Data::N, d.y.data(), keep, burn, 1.0, 1.0,
                                 mvar, effvar};
        const kestrumr_results r{prob.data(), pm.data(), pv.data(), gm.data(), gv.data(), pj.data()};
        status = kestrumr_run(s, &p, &r);
        next_uniform = kestrumr_uniform(s);
    }
    std::vector<std::uint64_t> row(std::int32_t g) const {
        std::vector<double> v{pm[g], pv[g], pj[g]};
        for (std::int32_t j = 0; j < J; ++j) {
            v.push_back(gm[g + j * L]);
            v.push_back(gv[g + j * L]);
            if (j + 1 < J) v.push_back(prob[g + j * L]);
        }
        std::vector<std::uint64_t> b(v.size());
        std::memcpy(b.data(), v.data(), v.size() * sizeof(double));
        return b;
    }
    bool row_is_nan(std::int32_t g) const {
        std::vector<double> v{pm[g], pv[g], pj[g]};
        for (std::int32_t j = 0; j < J; ++j) {
            v.push_back(gm[g + j * L]);
            v.push_back(gv[g + j * L]);
            if (j + 1 < J) v.push_back(prob[g + j * L]);
        }
        for (double x : v)
            if (!std::isnan(x)) return false;
        return true;
    }
};

std::vector<std::int32_t> row_status(kestrumr_session* s) {
    std::vector<std::int32_t> st(kestrumr_row_status_size(s), -1);
    EXPECT_EQ(kestrumr_row_status(s, st.data(), st.size()), KESTRUMR_OK);
    return st;
}

TEST(SessionRows, AGroupOfEqualValuesLeavesItsRowOutAndTheOthersUntouched) {
    struct Case {
        std::int32_t scaling, threads, ipool;
    };
    const Case cases[] = {{KESTRUMR_SCALE_OFF, 1, 1},
                          {KESTRUMR_SCALE_DATA_PRIORS, 1, 0},
                          {KESTRUMR_SCALE_OFF, 3, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scaling * 10 + c.threads);
        Data all(6);
        for (std::int32_t t = 3; t < 5; ++t) all.y[1 + t * all.L] = 2.5;  // row 2, group 2
        for (std::int32_t t = 5; t < 9; ++t) all.y[4 + t * all.L] = 0.0;  // row 5, group 3
        const std::vector<std::int32_t> kept{0, 2, 3, 5};
        const Data others = all.rows(kept);

        Session a = make_session(), b = make_session();
        Lines got;
        for (kestrumr_session* s : {a.get(), b.get()}) {
            ASSERT_EQ(kestrumr_seed(s, 77), KESTRUMR_OK);
            ASSERT_EQ(kestrumr_set_scaling(s, c.scaling), KESTRUMR_OK);
            ASSERT_EQ(kestrumr_set_threads(s, c.threads), KESTRUMR_OK);
        }
        ASSERT_EQ(kestrumr_set_message_callback(a.get(), Lines::add, &got), KESTRUMR_OK);
        const Outcome with(a.get(), all, c.ipool, 20, 10), without(b.get(), others, c.ipool, 20, 10);
        ASSERT_EQ(with.status, KESTRUMR_OK) << kestrumr_errmsg(a.get());
        ASSERT_EQ(without.status, KESTRUMR_OK);

        for (std::size_t i = 0; i < kept.size(); ++i)
            EXPECT_EQ(with.row(kept[i]), without.row(static_cast<std::int32_t>(i))) << "row " << kept[i];
        EXPECT_TRUE(with.row_is_nan(1));
        EXPECT_TRUE(with.row_is_nan(4));
        EXPECT_EQ(with.next_uniform, without.next_uniform);  // the generator ends alike
        EXPECT_EQ(kestrumr_last_scale(a.get()), kestrumr_last_scale(b.get()));
        EXPECT_EQ(row_status(a.get()),
                  (std::vector<std::int32_t>{KESTRUMR_ROW_OK, KESTRUMR_ROW_NO_SPREAD, KESTRUMR_ROW_OK,
                                             KESTRUMR_ROW_OK, KESTRUMR_ROW_NO_SPREAD, KESTRUMR_ROW_OK}));
        EXPECT_EQ(row_status(b.get()), std::vector<std::int32_t>(4, KESTRUMR_ROW_OK));
        const std::vector<std::string> want{
            "", "     ****WARNING**** 2 rows left out of the run (their results are NaN):",
            "     a group's values are all equal, so its variance has no spread to be",
            "     estimated from; rows (counted from 1): 2, 5", ""};
        EXPECT_EQ(got.lines, want);
    }
}

TEST(SessionRows, DrawsThatBecomeNonFiniteGiveNaNFrequenciesAndAStatus) {
    // One row whose second group's spread is 1e-24 of the first's variance:
    // the row sweep cannot resolve the two and its draws become NaN, where
    // kestrum_ reports frequencies of 0.
    const std::int32_t nobs[2] = {2, 4};
    const double y[6] = {1.0, 0.0, 0.0, 0.0, 0.0, 1e-12};
    const double mvar[2] = {10000.0, 10000.0}, effvar[1] = {10000.0};
    double prob = -5.0, pm = -5.0, pv = -5.0, gm[2] = {-5.0, -5.0}, gv[2] = {-5.0, -5.0}, pj = -5.0;
    const kestrumr_problem p{0, 1, 2, nobs, 6, y, 50, 1000, 1.0, 1.0, mvar, effvar};
    const kestrumr_results r{&prob, &pm, &pv, gm, gv, &pj};
    Session s = make_session();
    Lines got;
    ASSERT_EQ(kestrumr_set_message_callback(s.get(), Lines::add, &got), KESTRUMR_OK);
    ASSERT_EQ(kestrumr_run(s.get(), &p, &r), KESTRUMR_OK);
    for (double x : {prob, pm, pv, gm[0], gm[1], gv[0], gv[1], pj}) EXPECT_TRUE(std::isnan(x));
    EXPECT_EQ(row_status(s.get()), std::vector<std::int32_t>{KESTRUMR_ROW_NOT_FINITE});
    const std::vector<std::string> want{
        "", "     ****WARNING**** The draws of 1 row became non-finite (its results are NaN);",
        "     row (counted from 1): 1.",
        "     The variance rates shared by all rows may have stopped moving then:",
        "     check the rate diagnostics before trusting the other rows.", ""};
    EXPECT_EQ(got.lines, want);

    // kestrum_ from the same state (the generator as after loading) keeps
    // its arithmetic: NaN means, frequencies 0.
    zbql0001_ = kestrum::random::load_time_record();
    kestrum::random::Stream& st = kestrum::random::process_stream();
    st.ilag22 = 22;
    st.ilag43 = 43;
    st.icount = 1;
    st.nstat = -1;
    st.nspare = 0.0;
    const std::int32_t res = 0, ipool = 0, L = 1, J = 2, N = 6, K = 50, B = 1000;
    const double hshape = 1.0, hrate = 1.0;
    double prshape = 0.0, prscale = 0.0, kprob = -5.0, kpm, kpv, kgm[2], kgv[2];
    kestrum_(&res, &ipool, &L, &J, nobs, &N, y, &K, &B, &hshape, &hrate, &prshape, &prscale, mvar,
             effvar, &kprob, &kpm, &kpv, kgm, kgv);
    EXPECT_TRUE(std::isnan(kgm[0]));
    EXPECT_EQ(kprob, 0.0);
}

TEST(SessionRows, NoRowLeftToRunIsAnArgumentErrorThatDrawsNothing) {
    // One row, 1 0 | 0 0 0 0: the second group's values are all equal.
    const std::int32_t nobs[2] = {2, 4};
    const double y[6] = {1.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    const double mvar[2] = {10000.0, 10000.0}, effvar[1] = {10000.0};
    double prob = -5.0, pm = -5.0, pv = -5.0, gm[2] = {-5.0, -5.0}, gv[2] = {-5.0, -5.0}, pj = -5.0;
    const kestrumr_problem p{0, 1, 2, nobs, 6, y, 20, 20, 1.0, 1.0, mvar, effvar};
    const kestrumr_results r{&prob, &pm, &pv, gm, gv, &pj};
    Session s = make_session(), fresh = make_session();
    EXPECT_EQ(kestrumr_run(s.get(), &p, &r), KESTRUMR_ERR_ARGUMENT);
    EXPECT_STREQ(kestrumr_errmsg(s.get()),
                 "no row can run: every row has a group whose values are all equal (row 1: group 2, "
                 "counted from 1)");
    for (double x : {prob, pm, pv, gm[0], gm[1], gv[0], gv[1], pj}) EXPECT_TRUE(std::isnan(x));
    EXPECT_EQ(row_status(s.get()), std::vector<std::int32_t>{KESTRUMR_ROW_NO_SPREAD});
    EXPECT_EQ(kestrumr_uniform(s.get()), kestrumr_uniform(fresh.get()));
}

TEST(SessionRows, StatusNeedsARunAndRoom) {
    Session s = make_session();
    EXPECT_EQ(kestrumr_row_status_size(s.get()), 0u);
    EXPECT_EQ(kestrumr_row_status_size(nullptr), 0u);
    EXPECT_EQ(kestrumr_row_status(s.get(), nullptr, 0), KESTRUMR_OK);
    const Data d(3);
    const Outcome r(s.get(), d, 0, 5, 2);
    ASSERT_EQ(r.status, KESTRUMR_OK);
    std::int32_t st[3] = {-1, -1, -1};
    EXPECT_EQ(kestrumr_row_status(s.get(), st, 2), KESTRUMR_ERR_ARGUMENT);
    EXPECT_NE(std::string(kestrumr_errmsg(s.get())).find("3 rows"), std::string::npos);
    EXPECT_EQ(kestrumr_row_status(s.get(), nullptr, 3), KESTRUMR_ERR_ARGUMENT);
    EXPECT_EQ(kestrumr_row_status(nullptr, st, 3), KESTRUMR_ERR_ARGUMENT);
    EXPECT_EQ(kestrumr_row_status(s.get(), st, 3), KESTRUMR_OK);
    for (std::int32_t x : st) EXPECT_EQ(x, KESTRUMR_ROW_OK);
}

}  // namespace
