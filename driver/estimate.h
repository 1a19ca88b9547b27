// One complete estimation run as a C++ core: the exported kestrum_ calls it
// with the process-wide stream; tests and the command-line front end call it
// with their own source, callees or progress report.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/run.h"
#include "driver/sampling.h"
#include "driver/summaries.h"
#include "driver/workspace.h"

namespace kestrum::driver {

// The arguments of kestrum_ (already dereferenced), less the two fixed
// prior constants and the outputs.
struct Arguments {
    const std::int32_t* reserved = nullptr;
    std::int32_t ipool = 0;
    std::int32_t nrow = 0;
    std::int32_t ngrp = 0;
    const std::int32_t* nobs = nullptr;
    std::int32_t ntot = 0;
    const double* ydata = nullptr;
    std::int32_t nkeep = 0;
    std::int32_t nburn = 0;
    double hshape = 0.0;
    double hrate = 0.0;
    const double* mvar = nullptr;
    const double* effvar = nullptr;
};

// Obtains a block of n doubles (n may be 0), or nullptr when it cannot.
using Allocate = double* (*)(std::size_t n);
double* allocate_block(std::size_t n);
void release_block(double* block);

// The run state for the arguments, with no workspace yet.
Run make_run(const Arguments& a);

// Plans the run's workspace and obtains it in one block through allocate.
// Returns the block (to be released with release_block), or nullptr when the
// extents overflow, exceed what one block may hold, or allocation fails.
double* obtain_workspace(Run& r, std::size_t sweep_doubles, Allocate allocate);

// The message written when the workspace cannot be obtained.
void report_workspace_failure();

// Preparation, sampling (when B + K >= 1), summaries (when L >= 1),
// release.  Returns false, with the failure message written and every
// output set to NaN, when the workspace could not be obtained (nothing is
// drawn then), and false with every output set to NaN when progress.stop
// abandoned the run.
template <class Source, class Callees>
bool estimate(Source& src, Callees& callees, const Arguments& a, const Outputs& out,
              const Progress& progress = {}, Allocate allocate = allocate_block) {
    Run r = make_run(a);
    double* block = obtain_workspace(r, Callees::sweep_scratch_size(a.ngrp), allocate);
    if (block == nullptr) {
        report_workspace_failure();
        fill_outputs_with_nan(r.d, out);
        return false;
    }
    prepare(r);
    if (r.d.B + r.d.K >= 1 && !sample(src, r, callees, progress)) {
        fill_outputs_with_nan(r.d, out);
        release_block(block);
        return false;
    }
    if (r.d.L >= 1) summarise(r, out);
    release_block(block);
    return true;
}

}  // namespace kestrum::driver
