// Normal variates by the Box-Muller transform.  Each pair of uniforms gives
// two independent deviates: the cosine one is returned, the sine one is kept
// unscaled and returned (scaled by that call's arguments) on the next call,
// which draws nothing.
#include "random/box_muller.h"
#include "random/stream.h"

namespace kestrum::random {

double Stream::normal(double mu, double sigma) {
    if (nstat > 0) {
        nstat = 0;
        return nspare * sigma + mu;
    }
    const double u1 = uniform();
    const double u2 = uniform();
    double c;
    box_muller(u1, u2, &c, &nspare);
    nstat = 1;
    flush_report();
    return c * sigma + mu;
}

}  // namespace kestrum::random
