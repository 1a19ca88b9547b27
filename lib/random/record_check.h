// Checks of a generator state that a host hands over (the session interface
// takes records and saved states from its caller).  Both answer with the
// generator's own arithmetic: nothing here restates a bound or a method.
#pragma once

#include <cstdint>

#include "random/stream.h"

namespace kestrum::random {

// Draws per method that degenerate_early() makes.
inline constexpr int32_t kProbeDraws = 1000;

// True when the state is degenerate from its first draws: a stream copied
// from it (record, positions, saved normal deviate) meets the event that
// writes the degenerate-table message within kProbeDraws variates of one of
// the methods whose loops are bounded -- the uniform's run of zero words;
// gamma by GS (shape 0.5), ratio of uniforms (3) and GKM3 (20); beta by
// Johnk's method (0.5, 0.5); geometric trials (p 0.95); the binomial's
// count (20, 0.5) and its splitting (1000, 0.3); the Poisson product (5),
// gamma splitting (500) and rejection (5000).  Each method draws from a
// copy of its own, so the state is not touched and no message is written.
// A table of small words or of few distinct values gives uniforms crowded at
// 0 and 1 for up to a few hundred steps, and these draws cover that stretch;
// a stream of independent uniforms would meet a bound here with probability
// below 11 * 1000 * 2^-128.
bool degenerate_early(const Stream& state);

// The largest |z| a normal deviate of this generator can have on a record
// of its own base: the Box-Muller radius sqrt(-2 ln u) of the smallest
// uniform the stream returns (a word 1 after the longest run of zero words
// it skips, 1 / B^32), and |sin| and |cos| are at most 1.
double largest_normal_deviate();

}  // namespace kestrum::random
