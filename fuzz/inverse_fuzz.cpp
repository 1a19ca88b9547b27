// inverse_: any order up to 6.  n <= 0 writes nothing; otherwise every
// element of ainv is written; n = 1 leaves amat as it came; an identity
// inverts exactly; a diagonally dominant matrix (entries from the input)
// inverts with a small residual |I - Ainv A|.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "fuzz_input.h"
#include "kestrumr.h"

using kestrum::fuzz::Input;

namespace {
constexpr uint64_t kMarkerBits = 0x7ff4dead0000beefULL;  // a NaN no routine makes
bool is_marker(double v) {
    uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    return u == kMarkerBits;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const int32_t n = in.small(-1, 6);
    const int kind = in.small(0, 2);  // 0 any, 1 identity, 2 diagonally dominant
    double a[36], copy[36], inv[36], marker;
    std::memcpy(&marker, &kMarkerBits, sizeof marker);
    const int32_t m = n > 0 ? n : 1;
    for (int32_t j = 0; j < m; ++j) {
        for (int32_t i = 0; i < m; ++i) {
            double v;
            if (kind == 0) {
                v = in.take<double>();
            } else if (kind == 1) {
                v = i == j ? 1.0 : 0.0;
            } else {
                const double t = static_cast<double>(in.take<int16_t>()) / 32768.0;  // [-1, 1)
                v = i == j ? 2.0 + std::fabs(t) : t / (2.0 * m);
            }
            a[i + j * m] = v;
        }
    }
    for (double& v : inv) v = marker;
    std::memcpy(copy, a, sizeof a);
    inverse_(a, inv, &n);
    if (n <= 0) {
        for (double v : inv) FUZZ_CHECK(is_marker(v));
        return 0;
    }
    for (int32_t i = 0; i < n * n; ++i) FUZZ_CHECK(!is_marker(inv[i]));
    for (int32_t i = n * n; i < 36; ++i) FUZZ_CHECK(is_marker(inv[i]));
    if (n == 1) FUZZ_CHECK(std::memcmp(copy, a, sizeof a) == 0);
    if (kind == 1) {
        for (int32_t i = 0; i < n * n; ++i) FUZZ_CHECK(inv[i] == ((i % (n + 1) == 0) ? 1.0 : 0.0));
    }
    if (kind == 2) {
        for (int32_t i = 0; i < n; ++i) {
            for (int32_t j = 0; j < n; ++j) {
                double s = 0.0;
                for (int32_t k = 0; k < n; ++k) s += inv[i + k * n] * copy[k + j * n];
                FUZZ_CHECK(std::fabs(s - (i == j ? 1.0 : 0.0)) < 1e-13);
            }
        }
    }
    return 0;
}
