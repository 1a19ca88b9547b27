#include "driver/workspace.h"

#include <limits>

namespace kestrum::driver {

Dims Dims::from_arguments(int32_t nrow, int32_t ngrp, int32_t ntot, int32_t nkeep,
                          int32_t nburn) {
    auto clamp = [](int32_t v) { return v < 0 ? std::int64_t{0} : std::int64_t{v}; };
    Dims d;
    d.L = clamp(nrow);
    d.J = clamp(ngrp);
    d.N = clamp(ntot);
    d.K = clamp(nkeep);
    d.B = clamp(nburn);
    d.D = d.J >= 1 ? 2 * (d.J - 1) : 0;
    return d;
}

bool checked_mul(std::size_t a, std::size_t b, std::size_t* out) {
    if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) return false;
    *out = a * b;
    return true;
}

bool checked_add(std::size_t a, std::size_t b, std::size_t* out) {
    if (b > std::numeric_limits<std::size_t>::max() - a) return false;
    *out = a + b;
    return true;
}

double* Arena::take(std::size_t n) {
    std::size_t next;
    if (overflow_ || !checked_add(used_, n, &next)) {
        overflow_ = true;
        return nullptr;
    }
    double* piece = block_ ? block_ + used_ : nullptr;
    used_ = next;
    return piece;
}

double* Arena::take(std::size_t a, std::size_t b) {
    std::size_t n;
    if (!checked_mul(a, b, &n)) {
        overflow_ = true;
        return nullptr;
    }
    return take(n);
}

double* Arena::take(std::size_t a, std::size_t b, std::size_t c) {
    std::size_t ab;
    if (!checked_mul(a, b, &ab)) {
        overflow_ = true;
        return nullptr;
    }
    return take(ab, c);
}

}  // namespace kestrum::driver
