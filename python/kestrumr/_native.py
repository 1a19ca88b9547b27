"""ctypes bindings of the library's session interface (kestrumr_session.h) and
its analysis entry point (kestrumr_analysis.h)."""
import ctypes
import glob
import os

c_int32 = ctypes.c_int32
c_double_p = ctypes.POINTER(ctypes.c_double)
c_int32_p = ctypes.POINTER(ctypes.c_int32)

OK = 0
ERR_ARGUMENT = 1
ERR_MEMORY = 2
ERR_CANCELLED = 3
ERR_STATE = 4

# kestrumr_analysis.h
SCALE_NONE = 0
SCALE_AUTO = 1
SCALE_VALUE = 2
ROWS_OMIT = 0
ROWS_FAIL = 1
START_FIXED = 0
START_DATA = 1
PERMUTATIONS_AUTO = -1

COLUMN_MEAN = 1
COLUMN_VAR = 2
COLUMN_POOLED_MEAN = 3
COLUMN_POOLED_VAR = 4
COLUMN_DIFF = 5
COLUMN_LO = 6
COLUMN_HI = 7
COLUMN_P_MEAN = 8
COLUMN_P_MEAN_MCSE = 9
COLUMN_P_JOINT = 10
COLUMN_P_JOINT_MCSE = 11
COLUMN_RHAT = 12
COLUMN_SCORE_MEAN = 13
COLUMN_SCORE_JOINT = 14
COLUMN_Q_MEAN = 15
COLUMN_Q_JOINT = 16
COLUMN_ESS = 17
COLUMN_RHAT_FLAG = 18

ROW_OK = 0
ROW_NO_SPREAD = 1
ROW_NOT_FINITE = 2
ROW_MISSING = 3
ROW_OVERFLOW = 4
ROW_ROUNDING = 5

RATE_BURN_ACCEPTANCE = 1
RATE_LATE_BURN_ACCEPTANCE = 2
RATE_KEEP_ACCEPTANCE = 3
RATE_LAST = 4
RATE_STUCK = 5

WARNING_ROWS_LEFT_OUT = 1
WARNING_NOT_FINITE = 2
WARNING_SCALE = 3
WARNING_MEAN_PRIOR = 4
WARNING_NOT_TRACED = 5
WARNING_STUCK_RATE = 6
WARNING_RHAT = 7


MESSAGE_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p)
PROGRESS_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int64, ctypes.c_int64)


def _load():
    here = os.path.dirname(os.path.abspath(__file__))
    found = sorted(glob.glob(os.path.join(here, "_libkestrumr*.so")) +
                   glob.glob(os.path.join(here, "_libkestrumr*.pyd")) +
                   glob.glob(os.path.join(here, "_libkestrumr*.dylib")))
    if not found:
        raise ImportError("kestrumr: the compiled library (_libkestrumr) is missing from %s; "
                          "install the package with pip" % here)
    # CDLL (not PyDLL): every call releases the GIL while it runs.
    lib = ctypes.CDLL(found[0])
    session_p = ctypes.c_void_p
    options_p = ctypes.c_void_p
    results_p = ctypes.c_void_p
    size_t = ctypes.c_size_t
    signatures = {
        "kestrumr_version": (ctypes.c_char_p, []),
        "kestrumr_session_new": (session_p, []),
        "kestrumr_session_free": (None, [session_p]),
        "kestrumr_errmsg": (ctypes.c_char_p, [session_p]),
        "kestrumr_seed": (ctypes.c_int, [session_p, ctypes.c_uint64]),
        "kestrumr_set_threads": (ctypes.c_int, [session_p, c_int32]),
        "kestrumr_set_message_callback": (ctypes.c_int, [session_p, MESSAGE_FN, ctypes.c_void_p]),
        "kestrumr_set_progress_callback": (ctypes.c_int, [session_p, PROGRESS_FN, ctypes.c_void_p]),
        "kestrumr_analysis_options_new": (options_p, []),
        "kestrumr_analysis_options_free": (None, [options_p]),
        "kestrumr_analysis_options_errmsg": (ctypes.c_char_p, [options_p]),
        "kestrumr_analysis_set_chains": (ctypes.c_int, [options_p, c_int32]),
        "kestrumr_analysis_set_scale": (ctypes.c_int, [options_p, c_int32, ctypes.c_double]),
        "kestrumr_analysis_set_iterations": (ctypes.c_int, [options_p, c_int32, c_int32]),
        "kestrumr_analysis_set_pooled": (ctypes.c_int, [options_p, c_int32]),
        "kestrumr_analysis_set_hshape": (ctypes.c_int, [options_p, ctypes.c_double]),
        "kestrumr_analysis_set_hrate": (ctypes.c_int, [options_p, ctypes.c_double]),
        "kestrumr_analysis_set_mvar": (ctypes.c_int, [options_p, ctypes.c_double, ctypes.c_double]),
        "kestrumr_analysis_set_effvar": (ctypes.c_int, [options_p, c_double_p, size_t]),
        "kestrumr_analysis_set_row_policy": (ctypes.c_int, [options_p, c_int32]),
        "kestrumr_analysis_set_memory_budget": (ctypes.c_int, [options_p, ctypes.c_uint64]),
        "kestrumr_analysis_set_threads": (ctypes.c_int, [options_p, c_int32]),
        "kestrumr_analysis_set_seed": (ctypes.c_int, [options_p, ctypes.c_int64]),
        "kestrumr_analysis_set_draws": (ctypes.c_int, [options_p, c_int32]),
        "kestrumr_analysis_set_fdr": (ctypes.c_int, [options_p, ctypes.c_double]),
        "kestrumr_analysis_set_permutations": (ctypes.c_int, [options_p, c_int32]),
        "kestrumr_analysis_set_start": (ctypes.c_int, [options_p, c_int32]),
        "kestrumr_analyse": (ctypes.c_int, [session_p, options_p, c_int32, c_int32, c_int32_p,
                                            c_int32, c_double_p, ctypes.POINTER(results_p)]),
        "kestrumr_analysis_results_free": (None, [results_p]),
        "kestrumr_analysis_nrow": (c_int32, [results_p]),
        "kestrumr_analysis_ngrp": (c_int32, [results_p]),
        "kestrumr_analysis_nchains": (c_int32, [results_p]),
        "kestrumr_analysis_scale": (ctypes.c_double, [results_p]),
        "kestrumr_analysis_permutations": (c_int32, [results_p]),
        "kestrumr_analysis_column": (ctypes.c_int, [results_p, c_int32, c_int32, c_double_p, size_t]),
        "kestrumr_analysis_row_status": (ctypes.c_int, [results_p, c_int32_p, size_t]),
        "kestrumr_analysis_rate": (ctypes.c_int, [results_p, c_int32, c_int32, c_int32, c_double_p]),
        "kestrumr_analysis_rate_trace_size": (size_t, [results_p]),
        "kestrumr_analysis_rate_trace": (ctypes.c_int, [results_p, c_int32, c_double_p, c_int32_p,
                                                        size_t]),
        "kestrumr_analysis_warning_count": (size_t, [results_p]),
        "kestrumr_analysis_warning_kind": (c_int32, [results_p, size_t]),
        "kestrumr_analysis_warning_chain": (c_int32, [results_p, size_t]),
        "kestrumr_analysis_warning_group": (c_int32, [results_p, size_t]),
        "kestrumr_analysis_warning_rows": (ctypes.c_int64, [results_p, size_t]),
        "kestrumr_analysis_warning_text": (ctypes.c_char_p, [results_p, size_t]),
    }
    for name, (restype, argtypes) in signatures.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


lib = _load()
