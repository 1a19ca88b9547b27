// The five blocks the rate update works through, as one explicit value.
//
// The objective of the log-rate is handed to the simplex minimiser as a
// function of the point alone, so everything else it depends on (the
// coefficients, the counts, the current point, the mode and the proposal
// variance) lives in five blocks.  The exported routines use the five
// exported records (process_blocks()); a session owns a BlockStore of its
// own, so two sessions never see each other's blocks.
#pragma once

#include "kestrumr.h"

namespace kestrum::hyper {

// Where the five blocks are: each member points at one block.
struct Blocks {
    double* tparvar;          // current log-rate a
    kestrumr_ngusev* ngusev;  // nrow, ngrp
    double* tvarvar;          // proposal variance
    kestrumr_uupar* uupar;    // objective coefficients
    double* optvar;           // mode of the log-rate
};

// The exported records behind the routines of kestrumr.h.
inline Blocks process_blocks() { return Blocks{&tparvar_, &ngusev_, &tvarvar_, &uupar_, &optvar_}; }

// A private set of the five blocks, zero at construction like the exported
// ones at load time.
struct BlockStore {
    double tparvar = 0.0;
    kestrumr_ngusev ngusev = {0, 0};
    double tvarvar = 0.0;
    kestrumr_uupar uupar = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    double optvar = 0.0;

    Blocks blocks() { return Blocks{&tparvar, &ngusev, &tvarvar, &uupar, &optvar}; }
};

}  // namespace kestrum::hyper
