// One complete estimation run as a C++ core: the exported kestrum_ calls it
// with the process-wide stream; tests and the command-line front end call it
// with their own source, callees or progress report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "driver/engine.h"
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

double* allocate_block(std::size_t n);
void release_block(double* block);

// The run state for the arguments, with no workspace yet.
Run make_run(const Arguments& a);

// The message written when the workspace cannot be obtained.
void report_workspace_failure();

// Bytes of the contrast stores of a run (K x L x 2(J - 1) doubles), or
// SIZE_MAX when that does not fit in size_t.
std::size_t store_bytes(const Dims& d);

// Preparation, sampling (when B + K >= 1), summaries (when L >= 1),
// release, by the engine of driver/engine.h (the tests hold it to the same
// bits as a plain loop over full kept-draw stores and plain summaries).
//
// Memory: the second visit of the summaries keeps the kept draws' contrasts
// (8 L K 2(J - 1) bytes) when they fit in options.store_budget and can be
// allocated, and otherwise replays the kept iterations from a checkpoint
// taken at the end of the burn-in, which takes (B + 2K)/(B + K) of the
// time and O(L J^2) memory whatever K.  Threads: options.threads threads
// sweep the rows (the calling thread among them) when src is the generator
// stream; any other source runs on the calling thread.  The results, the
// generator's final state and the messages are the same in every mode and
// at every thread count.
//
// Returns false, with the failure message written and every output set to
// NaN, when not even the replay's workspace could be obtained (nothing is
// drawn then), and false with every output set to NaN when progress.stop
// abandoned the run.
template <class Source, class Callees>
bool estimate(Source& src, Callees& callees, const Arguments& a, const Outputs& out,
              const Progress& progress = {}, Allocate allocate = allocate_block,
              const EngineOptions& options = {}) {
    Run r = make_run(a);
    Bounded b;
    b.sweep_doubles = Callees::sweep_scratch_size(a.ngrp);
    b.threads = 1;
    b.lanes = posterior::row_lane_width(a.ngrp, options.lanes);
    if constexpr (std::is_same_v<Source, random::Stream>) {
        if (r.d.L >= 1 && options.threads > 1) b.threads = options.threads < 256 ? options.threads : 256;
    }
    const bool second_visit = r.d.K >= 1 && r.d.D >= 1 && r.d.L >= 1;
    double* block = nullptr;
    b.mode = second_visit ? SecondPass::stores : SecondPass::none;
    if (second_visit) {
        if (store_bytes(r.d) <= options.store_budget) block = obtain_engine_workspace(r, b, allocate);
        if (block == nullptr) b.mode = SecondPass::replay;
    }
    if (block == nullptr) block = obtain_engine_workspace(r, b, allocate);
    if (block == nullptr) {
        report_workspace_failure();
        fill_outputs_with_nan(r.d, out);
        return false;
    }
    prepare_engine(r, b);
    if (options.start != nullptr) apply_start(r, *options.start);
    if (!run_engine(src, r, b, callees, out, progress)) {
        fill_outputs_with_nan(r.d, out);
        release_block(block);
        return false;
    }
    release_block(block);
    return true;
}

}  // namespace kestrum::driver
