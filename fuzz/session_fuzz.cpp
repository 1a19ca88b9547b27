// The session: its generator set from a seed, from a caller's record or
// from a saved state (arbitrary bytes, or a saved state with bytes
// changed), then a small problem run at one thread and at two or three.
// A call that refuses its argument returns an error status with a message
// and leaves the session as it was (and then the input ends there).  A run
// that fails leaves every output NaN, and one refused for its arguments
// draws nothing.  A run that succeeds gives
//   - the same bits, the same messages and the same final generator state
//     at every thread count,
//   - the same bits again after its starting state is saved and restored,
//     in the same session and in another one,
//   - without standardisation, the bits kestrum_ gives from the same
//     generator state, and leaves the generator where kestrum_ leaves it.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "kestrumr.h"
#include "kestrumr_session.h"
#include "random/stream.h"

using kestrum::fuzz::Input;
using kestrum::fuzz::Messages;

namespace {

using Bytes = std::vector<unsigned char>;
using Record = kestrumr_zbql0001;

// The layout of a saved state: a tag of 8 bytes, the record, the three
// positions and the normal routine's flag (int32 each), the saved deviate.
constexpr std::size_t kOffRecord = 8;
constexpr std::size_t kOffInts = kOffRecord + sizeof(Record);
constexpr std::size_t kOffSpare = kOffInts + 4 * sizeof(int32_t);
constexpr std::size_t kStateSize = kOffSpare + sizeof(double);

struct Session {
    kestrumr_session* s = kestrumr_session_new();
    std::string messages;
    Session() {
        FUZZ_CHECK(s != nullptr);
        kestrumr_set_message_callback(s, &Session::line, this);
    }
    ~Session() { kestrumr_session_free(s); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    static void line(void* self, const char* t) {
        static_cast<Session*>(self)->messages += t;
        static_cast<Session*>(self)->messages += '\n';
    }
    Bytes save() const {
        Bytes b(kestrumr_state_size());
        FUZZ_CHECK(kestrumr_save_state(s, b.data(), b.size()) == KESTRUMR_OK);
        return b;
    }
};

// A refused call: an error status, a message, the session unchanged.
void check_refusal(const Session& session, int status, const Bytes& before) {
    FUZZ_CHECK(status != KESTRUMR_OK);
    FUZZ_CHECK(std::strlen(kestrumr_errmsg(session.s)) > 0);
    FUZZ_CHECK(session.save() == before);
}

// A caller's record: words of several kinds (any double, whole numbers
// near the base, all equal, all zero but a few), a borrow, maybe a base.
Record take_record(Input& in) {
    Record r = kestrum::random::load_time_record();
    const int kind = in.small(0, 3);
    const double fill = static_cast<double>(in.take<uint32_t>());
    for (int i = 0; i < 43; ++i) {
        switch (kind) {
            case 0: r.xtab[i] = in.take<double>(); break;
            case 1: r.xtab[i] = static_cast<double>(in.take<uint32_t>()); break;
            case 2: r.xtab[i] = fill; break;
            default: r.xtab[i] = 0.0; break;
        }
    }
    if (kind == 3) {
        for (int k = in.small(0, 3); k > 0; --k) r.xtab[in.small(0, 42)] = fill;
    }
    r.carry = in.small(0, 2);
    if (in.small(0, 7) == 0) r.base = in.take<double>();
    return r;
}

// Data values: eighths of a small integer, times one of a few magnitudes.
double take_value(Input& in, double magnitude) {
    return static_cast<double>(in.take<int8_t>()) / 8.0 * magnitude;
}

struct Problem {
    int32_t ipool = 0, L = 0, J = 1, N = 0, K = 0, B = 0;
    std::vector<int32_t> nobs;
    std::vector<double> y, mvar, effvar;
    double hshape = 1.0, hrate = 1.0;

    explicit Problem(Input& in) {
        static const double magnitudes[] = {1.0, 1e-3, 1e3, 1e-150, 1e150};
        static const double variances[] = {100.0, 1.0, 1e4, 0.01};
        ipool = in.small(0, 1);
        L = in.small(0, 3);
        J = in.small(1, 3);
        nobs.resize(J);
        for (auto& c : nobs) N += (c = in.small(1, 4));
        if (in.small(0, 15) == 0) N += 1;  // nobs do not add up
        K = in.small(0, 6);
        B = in.small(-1, 4);
        const double magnitude = magnitudes[in.small(0, 4)];
        y.resize(static_cast<std::size_t>(L) * N);
        for (auto& v : y) v = take_value(in, magnitude);
        hshape = in.take<uint8_t>() / 16.0;
        hrate = in.take<uint8_t>() / 16.0;
        mvar = {variances[in.small(0, 3)], variances[in.small(0, 3)]};
        effvar.assign(J > 1 ? J - 1 : 1, variances[in.small(0, 3)]);
    }
    kestrumr_problem c() const {
        return {ipool, L, J, nobs.data(), N, y.data(), K, B, hshape, hrate, mvar.data(),
                effvar.data()};
    }
};

// The outputs of one run, filled with a marker first.
struct Results {
    std::vector<double> prob, pm, pv, gm, gv, pj;
    bool joint;
    Results(const Problem& p, bool with_joint)
        : prob(static_cast<std::size_t>(p.L) * (p.J - 1), -5.0),
          pm(p.L, -5.0),
          pv(p.L, -5.0),
          gm(static_cast<std::size_t>(p.L) * p.J, -5.0),
          gv(static_cast<std::size_t>(p.L) * p.J, -5.0),
          pj(p.L, -5.0),
          joint(with_joint) {}
    kestrumr_results c() {
        return {prob.data(), pm.data(), pv.data(), gm.data(), gv.data(),
                joint ? pj.data() : nullptr};
    }
    // Every array as bit patterns (NaN == NaN, -0.0 != 0.0); pjoint only
    // when given.
    Bytes bits(bool with_joint) const {
        Bytes b;
        auto add = [&](const std::vector<double>& v) {
            const auto* p = reinterpret_cast<const unsigned char*>(v.data());
            b.insert(b.end(), p, p + v.size() * sizeof(double));
        };
        for (const auto* v : {&prob, &pm, &pv, &gm, &gv}) add(*v);
        if (with_joint) add(pj);
        return b;
    }
    bool all_nan() const {
        for (const auto* v : {&prob, &pm, &pv, &gm, &gv})
            for (double x : *v)
                if (!std::isnan(x)) return false;
        if (joint)
            for (double x : pj)
                if (!std::isnan(x)) return false;
        return true;
    }
};

struct Outcome {
    int status;
    Bytes bits, state;
    std::string messages;
};

Outcome run(Session& session, const Problem& p, bool joint, int32_t threads) {
    FUZZ_CHECK(kestrumr_set_threads(session.s, threads) == KESTRUMR_OK);
    Results r(p, joint);
    const kestrumr_problem cp = p.c();
    const kestrumr_results cr = r.c();
    session.messages.clear();
    const int status = kestrumr_run(session.s, &cp, &cr);
    if (status != KESTRUMR_OK) {
        FUZZ_CHECK(r.all_nan());
        FUZZ_CHECK(std::strlen(kestrumr_errmsg(session.s)) > 0);
    }
    return {status, r.bits(joint), session.save(), session.messages};
}

// kestrum_ on the process-wide generator set to a saved state; returns its
// outputs and the state it leaves (in the saved layout).
Outcome process_run(const Problem& p, const Bytes& state) {
    auto& st = kestrum::random::process_stream();
    int32_t ints[4];
    std::memcpy(&zbql0001_, state.data() + kOffRecord, sizeof(Record));
    std::memcpy(ints, state.data() + kOffInts, sizeof ints);
    std::memcpy(&st.nspare, state.data() + kOffSpare, sizeof(double));
    st.ilag22 = ints[0];
    st.ilag43 = ints[1];
    st.icount = ints[2];
    st.nstat = ints[3];
    Results r(p, false);
    const int32_t res = 0;
    double prshape = 0.0, prscale = 0.0;
    std::string messages;
    {
        Messages m;
        kestrum_(&res, &p.ipool, &p.L, &p.J, p.nobs.data(), &p.N, p.y.data(), &p.K, &p.B,
                 &p.hshape, &p.hrate, &prshape, &prscale, p.mvar.data(), p.effvar.data(),
                 r.prob.data(), r.pm.data(), r.pv.data(), r.gm.data(), r.gv.data());
        messages = m.text();
    }
    Bytes after(state.size());
    std::memcpy(after.data(), state.data(), kOffRecord);
    std::memcpy(after.data() + kOffRecord, &zbql0001_, sizeof(Record));
    const int32_t now[4] = {st.ilag22, st.ilag43, st.icount, st.nstat};
    std::memcpy(after.data() + kOffInts, now, sizeof now);
    std::memcpy(after.data() + kOffSpare, &st.nspare, sizeof(double));
    return {KESTRUMR_OK, r.bits(false), after, messages};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ_CHECK(kestrumr_state_size() == kStateSize);
    Input in(data, size);
    Session session;

    // Where the generator starts.
    switch (in.small(0, 3)) {
        case 0:
            FUZZ_CHECK(kestrumr_seed(session.s, in.take<uint64_t>()) == KESTRUMR_OK);
            break;
        case 1: {
            const Record r = take_record(in);
            const Bytes before = session.save();
            const int status = kestrumr_set_record(session.s, &r);
            if (status != KESTRUMR_OK) {
                check_refusal(session, status, before);
                return 0;
            }
            break;
        }
        case 2: {  // arbitrary bytes, of about the right size
            const size_t n = static_cast<size_t>(in.small(0, static_cast<int32_t>(kStateSize) + 2));
            Bytes bytes(n);
            for (auto& b : bytes) b = in.take<uint8_t>();
            const Bytes before = session.save();
            const int status = kestrumr_restore_state(session.s, bytes.data(), bytes.size());
            if (status != KESTRUMR_OK) {
                check_refusal(session, status, before);
                return 0;
            }
            break;
        }
        default: {  // a state saved mid-stream, some of its bytes changed
            Session source;
            FUZZ_CHECK(kestrumr_seed(source.s, in.take<uint32_t>()) == KESTRUMR_OK);
            for (int i = in.small(0, 63); i > 0; --i) kestrumr_uniform(source.s);
            Bytes bytes = source.save();
            for (int k = in.small(0, 4); k > 0; --k)
                bytes[in.small(0, static_cast<int32_t>(kStateSize) - 1)] = in.take<uint8_t>();
            if (in.small(0, 3) == 0) {  // a waiting normal deviate of any value
                const int32_t one = 1;
                const double spare = in.take<double>();
                std::memcpy(bytes.data() + kOffInts + 3 * sizeof(int32_t), &one, sizeof one);
                std::memcpy(bytes.data() + kOffSpare, &spare, sizeof spare);
            }
            const Bytes before = session.save();
            const int status = kestrumr_restore_state(session.s, bytes.data(), bytes.size());
            if (status != KESTRUMR_OK) {
                check_refusal(session, status, before);
                return 0;
            }
            break;
        }
    }

    const Problem p(in);
    const int32_t scaling = in.small(0, 2);
    const bool joint = in.small(0, 1) == 1;
    const int32_t threads = in.small(2, 3);
    FUZZ_CHECK(kestrumr_set_scaling(session.s, scaling) == KESTRUMR_OK);

    const Bytes start = session.save();
    const Outcome one = run(session, p, joint, 1);
    if (one.status != KESTRUMR_OK) {
        if (one.status == KESTRUMR_ERR_ARGUMENT) FUZZ_CHECK(one.state == start);
        return 0;
    }

    // The same start at more threads.
    FUZZ_CHECK(kestrumr_restore_state(session.s, start.data(), start.size()) == KESTRUMR_OK);
    const Outcome many = run(session, p, joint, threads);
    FUZZ_CHECK(many.status == KESTRUMR_OK);
    FUZZ_CHECK(many.bits == one.bits);
    FUZZ_CHECK(many.state == one.state);
    FUZZ_CHECK(many.messages == one.messages);

    // The saved start in another session.
    {
        Session other;
        FUZZ_CHECK(kestrumr_restore_state(other.s, start.data(), start.size()) == KESTRUMR_OK);
        FUZZ_CHECK(kestrumr_set_scaling(other.s, scaling) == KESTRUMR_OK);
        const Outcome again = run(other, p, joint, 1);
        FUZZ_CHECK(again.status == KESTRUMR_OK);
        FUZZ_CHECK(again.bits == one.bits);
        FUZZ_CHECK(again.state == one.state);
    }

    // kestrum_ from the same generator state.
    if (scaling == KESTRUMR_SCALE_OFF) {
        const Outcome process = process_run(p, start);
        FUZZ_CHECK(kestrumr_restore_state(session.s, start.data(), start.size()) == KESTRUMR_OK);
        const Outcome first = run(session, p, false, 1);  // kestrum_ has no pjoint
        // Rows without a result (left out, or gone non-finite) are where the
        // session departs from kestrum_ by design; every other run is equal.
        std::vector<int32_t> status(kestrumr_row_status_size(session.s));
        FUZZ_CHECK(status.size() == static_cast<size_t>(p.L > 0 ? p.L : 0));
        FUZZ_CHECK(kestrumr_row_status(session.s, status.data(), status.size()) == KESTRUMR_OK);
        bool every_row_ok = true;
        for (const int32_t st : status) every_row_ok = every_row_ok && st == KESTRUMR_ROW_OK;
        if (every_row_ok) {
            FUZZ_CHECK(first.bits == process.bits);
            FUZZ_CHECK(first.state == process.state);
        }
    }
    return 0;
}
