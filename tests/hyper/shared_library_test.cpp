// The shared blocks as the built shared object exports them: looked up by
// name, they sit where a host expects their members, and the exported
// routines of that object write and read them there.
#include <gtest/gtest.h>

#if defined(__linux__)
#include <dlfcn.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/pmath.h"

namespace {

// The test program lives in <build>/tests/, the library in <build>/.
std::string library_path() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    std::string exe(buf, static_cast<std::size_t>(n));
    const std::string dir = exe.substr(0, exe.rfind('/'));
    return dir.substr(0, dir.rfind('/')) + "/libkestrumr.so";
}

TEST(SharedLibraryBlocks, ExportedDataHoldsTheMembersInOrder) {
    void* lib = dlopen(library_path().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto* tpar = static_cast<double*>(dlsym(lib, "tparvar_"));
    auto* ngusev = static_cast<std::int32_t*>(dlsym(lib, "ngusev_"));
    auto* tvar = static_cast<double*>(dlsym(lib, "tvarvar_"));
    auto* uupar = static_cast<double*>(dlsym(lib, "uupar_"));
    auto* opt = static_cast<double*>(dlsym(lib, "optvar_"));
    using Update = void (*)(const std::int32_t*, const double*, const double*, const double*,
                            const double*, const double*, const std::int32_t*,
                            const std::int32_t*, const double*, double*);
    using Objective = double (*)(const double*);
    using Step = void (*)();
    auto update = reinterpret_cast<Update>(dlsym(lib, "updatebb1_"));
    auto objective = reinterpret_cast<Objective>(dlsym(lib, "alikebb1_"));
    auto variance = reinterpret_cast<Step>(dlsym(lib, "varbb1_"));
    ASSERT_TRUE(tpar && ngusev && tvar && uupar && opt && update && objective && variance);

    // Zero at load.
    for (int i = 0; i < 6; ++i) EXPECT_EQ(uupar[i], 0.0);
    EXPECT_EQ(ngusev[0], 0);
    EXPECT_EQ(ngusev[1], 0);
    EXPECT_EQ(*tpar, 0.0);
    EXPECT_EQ(*tvar, 0.0);
    EXPECT_EQ(*opt, 0.0);

    // updatebb1_ fills the members in argument order.
    const double sinv = 1.0, hshape = 1.5, gshape = 2.0, wunit = 1.0, rsum = 0.75, hrate = 0.5;
    const std::int32_t nrow = 9, ngrp = 4;
    double rate = 2.0;
    update(nullptr, &sinv, &hshape, &gshape, &wunit, &rsum, &nrow, &ngrp, &hrate, &rate);
    const double want[6] = {sinv, hshape, gshape, wunit, rsum, hrate};
    EXPECT_EQ(std::memcmp(uupar, want, sizeof want), 0);
    EXPECT_EQ(ngusev[0], nrow);
    EXPECT_EQ(ngusev[1], ngrp);
    EXPECT_TRUE(*tpar == kestrum::pmath::log(2.0) || kestrum::pmath::exp(*tpar) == rate);

    // The worked example written straight into the exported records.
    const double example[6] = {1.0, 1.0, 2.0, 1.0, 1.0, 1.0};
    std::memcpy(uupar, example, sizeof example);
    ngusev[0] = 3;
    ngusev[1] = 2;
    const double a0 = 0.0;
    EXPECT_EQ(objective(&a0), 1.0 + 3.0 * kestrum::pmath::log(3.0));
    *opt = 0.0;
    variance();
    EXPECT_EQ(*tvar, std::nextafter(0.6, 1.0));
    dlclose(lib);
}

}  // namespace
#endif
