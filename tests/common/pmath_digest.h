// A digest of the bit patterns of kestrum::pmath over a fixed argument set.
// Every build must produce the same value; the test compares it with the
// value recorded on x86_64 Linux, and the same header can be compiled into
// a stand-alone program for targets without the test framework
// (g++ -m32 ... under qemu-i386, mingw).
#pragma once

#include <cstdint>
#include <cstring>

#include "common/pmath.h"

namespace kestrum::pmath_test {

class Digest {
public:
    void add(double v) {
        uint64_t u;
        std::memcpy(&u, &v, sizeof u);
        for (int i = 0; i < 8; ++i) {
            h_ ^= (u >> (8 * i)) & 0xff;
            h_ *= 0x100000001b3ull;  // FNV-1a
        }
    }
    uint64_t value() const { return h_; }

private:
    uint64_t h_ = 0xcbf29ce484222325ull;
};

// splitmix64: a fixed, portable stream of 64-bit words.
class Mix {
public:
    explicit Mix(uint64_t seed) : s_(seed) {}
    uint64_t next() {
        uint64_t z = (s_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1) with 53 random bits (exact on every build).
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
    double uniform(double a, double b) { return a + (b - a) * unit(); }
    // A double with uniformly random bits.
    double any() {
        const uint64_t u = next();
        double d;
        std::memcpy(&d, &u, sizeof d);
        return d;
    }

private:
    uint64_t s_;
};

// Digest of each function over `n` arguments per range.
inline uint64_t pmath_digest(int n) {
    Digest d;
    Mix g(20261208);
    // One argument per statement: the order of evaluation of function
    // arguments is up to the compiler, and the digest must not depend on it.
    for (int i = 0; i < n; ++i) {
        double x = g.uniform(-746.0, 710.0);
        d.add(pmath::exp(x));
        x = g.uniform(-1.0, 1.0);
        d.add(pmath::exp(x));
        x = g.uniform(0.0, 4.0);
        d.add(pmath::log(x));
        x = g.any();
        d.add(pmath::log(x < 0 ? -x : x));
        x = g.uniform(0.0, 1e6);
        double y = g.uniform(-50.0, 50.0);
        d.add(pmath::pow(x, y));
        x = g.uniform(0.99, 1.01);
        y = g.uniform(-5e4, 5e4);
        d.add(pmath::pow(x, y));
        x = g.uniform(-10.0, 10.0);
        y = static_cast<double>(static_cast<int32_t>(g.next() % 81) - 40);
        d.add(pmath::pow(x, y));
        x = g.uniform(0.0, 6.283185307179586);
        d.add(pmath::sin(x));
        d.add(pmath::cos(x));
        x = g.uniform(0.0, 3.141592653589793);
        d.add(pmath::tan(x));
        x = g.uniform(-1e5, 1e5);
        d.add(pmath::sin(x));
        d.add(pmath::cos(x));
        d.add(pmath::tan(x));
        x = g.any();
        d.add(pmath::sin(x));
        d.add(pmath::cos(x));
        d.add(pmath::tan(x));
    }
    return d.value();
}

}  // namespace kestrum::pmath_test
