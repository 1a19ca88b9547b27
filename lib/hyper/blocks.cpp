// The five shared blocks of the rate update.  The objective of the log-rate
// is handed to the simplex minimiser as a routine of one pointer argument,
// so everything else it depends on travels here.  Each block is a plain
// record under its own exported name, zero when the library is loaded, and
// keeps its contents for the life of the loaded library.
#include "kestrumr.h"

extern "C" {

KESTRUMR_API double tparvar_ = 0.0;                      // current log-rate a
KESTRUMR_API struct kestrumr_ngusev ngusev_ = {0, 0};    // nrow, ngrp
KESTRUMR_API double tvarvar_ = 0.0;                      // proposal variance
KESTRUMR_API struct kestrumr_uupar uupar_ = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
KESTRUMR_API double optvar_ = 0.0;                       // mode of the log-rate

}  // extern "C"
