// The workspace of one estimation run: every array the driver and its
// callees use, carved out of one block obtained once per call, so that
// nothing is allocated inside the iteration loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kestrum::driver {

// Extents of one run, from the integer arguments as they stand at entry.
// Negative counts are clamped to 0, so every extent is >= 0.
struct Dims {
    std::int64_t L = 0;  // rows
    std::int64_t J = 0;  // groups
    std::int64_t N = 0;  // observations per row
    std::int64_t K = 0;  // kept iterations
    std::int64_t B = 0;  // burn-in iterations
    std::int64_t D = 0;  // length of the joint contrast vector, 2(J - 1)

    static Dims from_arguments(int32_t nrow, int32_t ngrp, int32_t ntot, int32_t nkeep,
                               int32_t nburn);
};

// Checked arithmetic on extents: false when the result would not fit.
bool checked_mul(std::size_t a, std::size_t b, std::size_t* out);
bool checked_add(std::size_t a, std::size_t b, std::size_t* out);

// Hands out consecutive pieces of one block of doubles.  Planning and
// carving use the same sequence of take() calls: first on an arena with no
// block (which only adds up the sizes and notes any overflow), then on one
// bound to a block of the planned size.
class Arena {
public:
    Arena() = default;
    explicit Arena(double* block) : block_(block) {}

    // A piece of n doubles (n may be 0); nullptr while only planning.
    double* take(std::size_t n);
    // A piece of a*b (or a*b*c) doubles, with the product checked.
    double* take(std::size_t a, std::size_t b);
    double* take(std::size_t a, std::size_t b, std::size_t c);

    // Marks the plan as impossible (an extent that does not fit its type).
    void fail() { overflow_ = true; }

    std::size_t used() const { return used_; }
    bool overflowed() const { return overflow_; }

private:
    double* block_ = nullptr;
    std::size_t used_ = 0;
    bool overflow_ = false;
};

}  // namespace kestrum::driver
