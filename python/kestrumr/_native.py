"""ctypes bindings of the library's session interface (kestrumr_session.h)."""
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


class Problem(ctypes.Structure):
    """struct kestrumr_problem: the arguments of one run."""
    _fields_ = [
        ("ipool", c_int32),
        ("nrow", c_int32),
        ("ngrp", c_int32),
        ("nobs", c_int32_p),
        ("ntot", c_int32),
        ("ydata", c_double_p),
        ("nkeep", c_int32),
        ("nburn", c_int32),
        ("hshape", ctypes.c_double),
        ("hrate", ctypes.c_double),
        ("mvar", c_double_p),
        ("effvar", c_double_p),
    ]


class Results(ctypes.Structure):
    """struct kestrumr_results: where a run's results go."""
    _fields_ = [
        ("prob", c_double_p),
        ("pmeanbar", c_double_p),
        ("pvarbar", c_double_p),
        ("gmeanbar", c_double_p),
        ("gvarbar", c_double_p),
        ("pjoint", c_double_p),
    ]


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
    signatures = {
        "kestrumr_version": (ctypes.c_char_p, []),
        "kestrumr_session_new": (session_p, []),
        "kestrumr_session_free": (None, [session_p]),
        "kestrumr_errmsg": (ctypes.c_char_p, [session_p]),
        "kestrumr_seed": (ctypes.c_int, [session_p, ctypes.c_uint64]),
        "kestrumr_set_threads": (ctypes.c_int, [session_p, c_int32]),
        "kestrumr_set_message_callback": (ctypes.c_int, [session_p, MESSAGE_FN, ctypes.c_void_p]),
        "kestrumr_set_progress_callback": (ctypes.c_int, [session_p, PROGRESS_FN, ctypes.c_void_p]),
        "kestrumr_run": (ctypes.c_int, [session_p, ctypes.POINTER(Problem), ctypes.POINTER(Results)]),
    }
    for name, (restype, argtypes) in signatures.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


lib = _load()
