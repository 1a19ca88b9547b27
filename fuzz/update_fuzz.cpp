// updatebb1_ and the shared blocks: the blocks hold the arguments; the
// generator moves by exactly the twenty uniforms of ten normal and ten
// uniform variates; the rate is unchanged bit for bit or e^tparvar_; the
// mode is no worse than the start; tvarvar_ is what varbb1_ computes;
// optbb1_ finds the same mode again.
#include <cmath>
#include <cstring>

#include "fuzz_input.h"
#include "kestrumr.h"
#include "common/pmath.h"
#include "random/stream.h"

using kestrum::fuzz::Input;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const double sinv = in.take<uint8_t>() / 8.0, hshape = 0.5 + in.take<uint8_t>() / 32.0;
    const double gshape = 0.5 + in.take<uint8_t>() / 32.0, wunit = in.take<uint8_t>() / 16.0;
    const double rsum = in.take<uint8_t>() / 4.0, hrate = 0.1 + in.take<uint8_t>() / 32.0;
    const int32_t nrow = in.small(0, 50), ngrp = in.small(1, 6);
    double rate = std::exp(static_cast<double>(in.take<int8_t>()) / 16.0);
    const double rate_in = rate;
    // The uniforms these calls will take, from a copy of the stream.
    kestrum::random::Stream& live = kestrum::random::process_stream();
    live.nstat = -1;  // ten normals = five pairs
    kestrumr_zbql0001 rec = zbql0001_;
    kestrum::random::Stream copy = live;
    copy.rec = &rec;
    for (int i = 0; i < 20; ++i) (void)copy.uniform();
    updatebb1_(nullptr, &sinv, &hshape, &gshape, &wunit, &rsum, &nrow, &ngrp, &hrate, &rate);
    FUZZ_CHECK(std::memcmp(&rec, &zbql0001_, sizeof rec) == 0);
    FUZZ_CHECK(live.ilag22 == copy.ilag22 && live.icount == copy.icount);
    FUZZ_CHECK(uupar_.sinv == sinv && uupar_.hshape == hshape && uupar_.gshape == gshape &&
               uupar_.wunit == wunit && uupar_.rsum == rsum && uupar_.hrate == hrate);
    FUZZ_CHECK(ngusev_.nrow == nrow && ngusev_.ngrp == ngrp);
    FUZZ_CHECK(std::memcmp(&rate, &rate_in, sizeof rate) == 0 || rate == kestrum::pmath::exp(tparvar_));
    const double a0 = kestrum::pmath::log(rate_in);
    const double fmode = alikebb1_(&optvar_), fstart = alikebb1_(&a0);
    FUZZ_CHECK(!(fmode > fstart));
    const double saved = tvarvar_, mode = optvar_;
    varbb1_();
    FUZZ_CHECK(std::memcmp(&saved, &tvarvar_, sizeof saved) == 0);
    tparvar_ = a0;
    optbb1_();
    FUZZ_CHECK(std::memcmp(&mode, &optvar_, sizeof mode) == 0);
    return 0;
}
