// zbqlu01_ and zbqluab_: the exported uniform routines.
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "random/messages.h"
#include "random/stream.h"
#include "random/variates.h"

namespace kestrum::random {

void report_degenerate_table() { write_degenerate_table_message(); }

namespace {

// Words k = 0..m-1 of a stretch of steps without a wrap, k-th step writing
// w[-k] from a[-k] and w[-k] (m <= 22, so no word read is one made in the
// same stretch: a lag-22 word made here would be 22 steps back).  step()
// computes x = (a - b) - c and, when x < 0, x + B with borrow 1, else
// borrow 0.  With c exactly 0.0 or 1.0 the test x < 0 is d - 0.0 < 0 or
// d - 1.0 < 0 for d = a - b: both are worked out for every word at once
// (the same operations on the same operands), and the borrows follow as a
// chain of selections, c(k) = c(k-1) ? (d - 1.0 < 0) : (d - 0.0 < 0).  The
// words are then d - c(k-1), plus B where c(k) = 1: again the operations of
// step().  Returns the last borrow.
#if defined(__SSE2__)
// The same computation two words to a register.  The borrows: in a binary
// addition the carry into bit k + 1 is g(k) | (p(k) & c(k)) for the
// "generate" bits g = a & b and the "propagate" bits p = a ^ b; here
// c(k+1) = n0(k) | (p(k) & c(k)) with p = n1 & !n0, so with the words'
// test bits side by side in two integers, A = n0 | p and B = n0 (A & B =
// n0, A ^ B = p), the sum A + B + c(0) carries c(k) into bit k and
// (A + B + c(0)) ^ A ^ B gives every borrow at once.  A register holds the
// words k + 1 and k, in the table's order (it runs downwards).
double stretch(double* w, const double* a, double* out, int32_t m, double base, double carry) {
    // The two bits of a pair's mask in the borrows' order (bit 0 word k).
    static constexpr uint64_t kSwap[4] = {0, 2, 1, 3};
    // Borrows (0.0 or 1.0) and selection masks for a pair's two bits, the
    // higher word first as in the register.
    static const double kCin[4][2] = {{0.0, 0.0}, {0.0, 1.0}, {1.0, 0.0}, {1.0, 1.0}};
    static const uint64_t kSel[4][2] = {
        {0, 0}, {0, ~uint64_t{0}}, {~uint64_t{0}, 0}, {~uint64_t{0}, ~uint64_t{0}}};
    double d[22];
    uint64_t n0 = 0, n1 = 0;
    const __m128d zero = _mm_setzero_pd();
    const __m128d one = _mm_set1_pd(1.0);
    int32_t k = 0;
    for (; k + 1 < m; k += 2) {
        const __m128d dd = _mm_sub_pd(_mm_loadu_pd(a - k - 1), _mm_loadu_pd(w - k - 1));
        _mm_storeu_pd(d + k, dd);
        const int b0 = _mm_movemask_pd(_mm_cmplt_pd(_mm_sub_pd(dd, zero), zero));
        const int b1 = _mm_movemask_pd(_mm_cmplt_pd(_mm_sub_pd(dd, one), zero));
        n0 |= kSwap[b0] << k;
        n1 |= kSwap[b1] << k;
    }
    if (k < m) {
        d[k] = a[-k] - w[-k];
        n0 |= static_cast<uint64_t>(d[k] - 0.0 < 0.0) << k;
        n1 |= static_cast<uint64_t>(d[k] - 1.0 < 0.0) << k;
    }
    const uint64_t prop = n1 & ~n0;
    const uint64_t sum_a = n0 | prop;
    const uint64_t borrows = (sum_a + n0 + static_cast<uint64_t>(carry == 1.0)) ^ sum_a ^ n0;
    const __m128d basev = _mm_set1_pd(base);
    for (k = 0; k + 1 < m; k += 2) {
        const auto cin = static_cast<std::size_t>((borrows >> k) & 3u);
        const auto sel = static_cast<std::size_t>((borrows >> (k + 1)) & 3u);
        const __m128d x = _mm_sub_pd(_mm_loadu_pd(d + k), _mm_loadu_pd(kCin[cin]));
        const __m128d y = _mm_add_pd(x, basev);
        // x + B where the borrow is set, x itself otherwise, chosen by bits.
        const __m128d mask =
            _mm_castsi128_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kSel[sel])));
        const __m128d v = _mm_or_pd(_mm_andnot_pd(mask, x), _mm_and_pd(mask, y));
        _mm_storeu_pd(w - k - 1, v);
        _mm_storeu_pd(out + k, _mm_shuffle_pd(v, v, 1));
    }
    if (k < m) {
        const double x = d[k] - static_cast<double>((borrows >> k) & 1u);  // exactly 1.0 or +0.0
        const double y = x + base;
        out[k] = w[-k] = ((borrows >> (k + 1)) & 1u) != 0 ? y : x;
    }
    return static_cast<double>((borrows >> m) & 1u);
}
#else
double stretch(double* w, const double* a, double* out, int32_t m, double base, double carry) {
    double d[22];
    uint64_t n0[22], n1[22];
    for (int32_t k = 0; k < m; ++k) {
        d[k] = a[-k] - w[-k];
        n0[k] = d[k] - 0.0 < 0.0;
        n1[k] = d[k] - 1.0 < 0.0;
    }
    double cin[22];
    uint64_t mask[22];
    uint64_t borrow = carry == 1.0;
    for (int32_t k = 0; k < m; ++k) {
        cin[k] = static_cast<double>(borrow);  // exactly 1.0 or +0.0
        borrow = (borrow & n1[k]) | ((borrow ^ 1u) & n0[k]);
        mask[k] = 0 - borrow;
    }
    for (int32_t k = 0; k < m; ++k) {
        const double x = d[k] - cin[k];
        const double y = x + base;
        // x + B where the borrow is set, x itself otherwise, chosen by bits.
        uint64_t xb, yb;
        std::memcpy(&xb, &x, sizeof xb);
        std::memcpy(&yb, &y, sizeof yb);
        const uint64_t vb = (xb & ~mask[k]) | (yb & mask[k]);
        double v;
        std::memcpy(&v, &vb, sizeof v);
        w[-k] = v;
        out[k] = v;
    }
    return static_cast<double>(borrow);
}
#endif

bool plain_borrow(double c) {
    // Exactly +0.0 or 1.0 (a borrow -0.0 from a host would change the sign
    // of a zero word in step(), so it goes there).
    uint64_t bits;
    std::memcpy(&bits, &c, sizeof bits);
    return bits == 0 || c == 1.0;
}

}  // namespace

void Stream::steps(double* out, int32_t n) {
    while (n > 0) {
        if (!plain_borrow(rec->carry)) {
            *out++ = step();
            --n;
            continue;
        }
        // Steps before the next one that takes a position to 0: in those,
        // each position only moves down by one.
        int32_t run = icount;
        if (ilag22 < run) run = ilag22;
        if (ilag43 < run) run = ilag43;
        int32_t m = run - 1 < n ? run - 1 : n;
        while (m > 0) {
            const int32_t k = m < 22 ? m : 22;
            rec->carry = stretch(rec->xtab + (ilag43 - 1), rec->xtab + (ilag22 - 1), out, k,
                                 rec->base, rec->carry);
            icount -= k;
            ilag22 -= k;
            ilag43 -= k;
            out += k;
            n -= k;
            m -= k;
        }
        if (n > 0) {
            *out++ = step();
            --n;
        }
    }
}

void Stream::uniforms(double* out, int32_t n) {
    constexpr int32_t kBlock = 64;
    double words[kBlock];
    const double base = rec->base;
    // The same tests as uniform() and uniform_rest(), word by word
    // (word_variate), with the run of zero words carried across blocks.
    int32_t run = 0;
    double divisor = base;
    int32_t i = 0;
    while (i < n) {
        const int32_t k = n - i < kBlock ? n - i : kBlock;
        steps(words, k);
        int32_t j = 0;
#if defined(__SSE2__)
        // Two words at a time while both give their variate at once (the
        // usual case): the same division and tests, packed; at the first
        // pair where either does not, the words go one by one.
        if (run == 0) {
            const __m128d basev = _mm_set1_pd(base);
            const __m128d lowest = _mm_set1_pd(1.0 / base);
            const __m128d zero = _mm_setzero_pd();
            const __m128d one = _mm_set1_pd(1.0);
            for (; j + 1 < k; j += 2) {
                const __m128d x = _mm_loadu_pd(words + j);
                const __m128d r = _mm_div_pd(x, basev);
                const __m128d ok = _mm_and_pd(_mm_cmpge_pd(x, lowest),
                                              _mm_and_pd(_mm_cmpgt_pd(r, zero), _mm_cmplt_pd(r, one)));
                if (_mm_movemask_pd(ok) != 3) break;
                _mm_storeu_pd(out + i, r);
                i += 2;
            }
        }
#endif
        for (; j < k; ++j) {
            double r;
            if (Stream::word_variate(words[j], base, divisor, &r)) {
                out[i++] = r;
                run = 0;
                divisor = base;
                continue;
            }
            if (run == kMaxZeroRun) {
                degenerate();
                out[i++] = kDegenerateUniform;
                run = 0;
                divisor = base;
                continue;
            }
            ++run;
            divisor = divisor * base;
        }
    }
}

void Stream::ahead_sync() {
    if (ahead_len == 0) return;
    const int32_t taken = ahead_pos;
    *rec = ahead_mark.rec;
    ilag22 = ahead_mark.ilag22;
    ilag43 = ahead_mark.ilag43;
    icount = ahead_mark.icount;
    // The block's making met no degenerate record, so neither does this.
    uniforms(ahead_buf, taken);
    ahead_pos = 0;
    ahead_len = 0;
}

double Stream::ahead_refill() {
    ahead_mark.rec = *rec;
    ahead_mark.ilag22 = ilag22;
    ahead_mark.ilag43 = ilag43;
    ahead_mark.icount = icount;
    const uint32_t before = faults;
    const bool pending = report_pending;
    uniforms(ahead_buf, kAhead);
    if (faults != before) {
        // Back to the state before the block; from here on one at a time.
        faults = before;
        report_pending = pending;
        *rec = ahead_mark.rec;
        ilag22 = ahead_mark.ilag22;
        ilag43 = ahead_mark.ilag43;
        icount = ahead_mark.icount;
        ahead_on = false;
        ahead_pos = 0;
        ahead_len = 0;
        return uniform();
    }
    ahead_len = kAhead;
    ahead_pos = 1;
    return ahead_buf[0];
}

double uniform_between(Stream& s, double lower, double upper) {
    // Equal limits: warning, the lower limit, nothing drawn.  A comparison
    // with NaN counts as not equal and goes on to the draw.
    if (lower == upper) {
        write_uniform_limits_message();
        return lower;
    }
    const double u = s.uniform();
    return lower + u * (upper - lower);
}

}  // namespace kestrum::random

using kestrum::random::process_stream;

extern "C" {

double zbqlu01_(const double* /*dummy: never read*/) {
    kestrum::random::Stream& s = process_stream();
    const double u = s.uniform();
    s.flush_report();
    return u;
}

double zbqluab_(const double* lower, const double* upper) {
    kestrum::random::Stream& s = process_stream();
    const double v = kestrum::random::uniform_between(s, *lower, *upper);
    s.flush_report();
    return v;
}

}  // extern "C"
