"""kestrumr: posterior group means, variances and difference tests for many
data rows measured side by side (such as genes by samples).

    >>> import numpy as np, kestrumr
    >>> x = np.loadtxt("example.tsv", skiprows=1, usecols=range(1, 13))
    >>> r = kestrumr.kestrum(x, ["a"] * 4 + ["b"] * 4 + ["c"] * 4, seed=1)
    >>> r["p_mean"][:3]

Every call runs on a generator of its own (a library session), so calls
never influence each other, may run in several threads at once, and give
for the same seed the same bits as the command-line front end's --seed.
"""
import ctypes
import operator
import random
import signal
import threading
import warnings

import numpy as np

from . import _native

__all__ = ["kestrum", "version", "KestrumrWarning", "__version__"]

_INT32_MAX = 2**31 - 1


class KestrumrWarning(UserWarning):
    """A message of the library (such as a refused variate parameter)."""


def version():
    """The version of the compiled library, "MAJOR.MINOR.PATCH"."""
    return _native.lib.kestrumr_version().decode()


# The package is the library it loads: its version is the library's.
__version__ = version()


def _whole(value, name, lo, hi):
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError("%s must be a whole number, not %s" % (name, type(value).__name__)) from None
    if not lo <= v <= hi:
        raise ValueError("%s must be from %d to %d, not %d" % (name, lo, hi, v))
    return v


def _finite(value, name, sizes, positive):
    """value as a 1-D float64 array of one of the sizes, every element finite
    and > 0 (positive) or >= 0."""
    a = np.array(value, dtype=np.float64, ndmin=1)
    ok = a.ndim == 1 and a.size in sizes and np.all(np.isfinite(a))
    if not ok or np.any(a <= 0 if positive else a < 0):
        raise ValueError("%s must be %s finite number(s) %s"
                         % (name, " or ".join(str(s) for s in sorted(set(sizes))),
                            "> 0" if positive else ">= 0"))
    return a


def _groups(groups, ncol):
    """Group names in group order and each column's group index.

    A label is its name, str(label): labels that print alike are one group
    (so no two groups share a name), labels that print differently are two
    (1 and 1.0 are "1" and "1.0", although 1 == 1.0 == True in Python).
    """
    index = {}
    if hasattr(groups, "categories") and hasattr(groups, "codes"):  # pandas Categorical
        # Categories that print alike are one group, in category order.
        merged = np.array([index.setdefault(str(c), len(index)) for c in groups.categories],
                          dtype=np.int64)
        codes = np.asarray(groups.codes, dtype=np.int64)
        if np.any(codes < 0):
            raise ValueError("groups holds a missing label")
        if np.any(codes >= merged.size):
            raise ValueError("groups holds a code beyond its categories")
        codes = merged[codes]
    else:
        labels = list(groups.tolist() if isinstance(groups, np.ndarray) else groups)
        codes = np.empty(len(labels), dtype=np.int64)
        for i, label in enumerate(labels):
            if label is None or (isinstance(label, float) and label != label):
                raise ValueError("groups holds a missing label (column %d)" % i)
            codes[i] = index.setdefault(str(label), len(index))
    names = list(index)
    if codes.shape != (ncol,):
        raise ValueError("groups has %d labels but x has %d columns" % (codes.size, ncol))
    sizes = np.bincount(codes, minlength=len(names))
    small = [("%s has %d" % (names[j], sizes[j])) for j in range(len(names)) if sizes[j] < 2]
    if small:
        raise ValueError("every group needs at least 2 columns: " + ", ".join(small))
    if len(names) < 2:
        raise ValueError("groups names only one group; at least 2 are needed")
    return names, codes, sizes.astype(np.int32)


def kestrum(x, groups, burn=1000, keep=1000, pooled=False, seed=None, threads=None, *,
            hshape=1.0, hrate=1.0, mvar=10000.0, effvar=10000.0):
    """Run the sampler over the rows of x and summarise the posterior.

    Parameters
    ----------
    x : array_like, 2-D
        Rows are features (such as genes), columns are observations.  Any
        memory layout (C or Fortran order, strided views) and any integer or
        floating dtype is accepted and converted to float64; every value must
        be finite.
    groups : sequence of labels, one per column (or a pandas Categorical)
        The columns are gathered group by group, each group's columns in
        their original order.  Groups come in order of first appearance (a
        Categorical keeps its category order); the first group is the
        reference group.  At least two groups of at least 2 columns each.
        Labels are compared as the strings they print as, str(label), which
        are the group names: "1" and 1 are one group "1", while 1, 1.0 and
        True are three groups "1", "1.0" and "True" (Python counts them
        equal).  Categories of a Categorical that print alike are one group.
    burn : int
        Burn-in iterations, >= 0.
    keep : int
        Kept iterations, >= 2.  The kept draws take
        16 * rows * (groups + 1) * keep bytes.
    pooled : bool
        Also estimate one pooled mean and variance per row.
    seed : int or None
        The seed of the run's own generator.  None draws one from Python's
        ``random`` module (so ``random.seed()`` makes the call
        reproducible).  A seed from 1 to 2147483647 gives the generator state
        the command-line front end's ``--seed`` gives, and so the same
        results; 0 and larger seeds (below 2**64) are mixed into the state by
        a fixed function.
    threads : int or None
        Threads for the row sweeps; None for 1, 0 for one per core.  The
        results are the same bits for every thread count.
    hshape, hrate : float
        Shape and rate of the hyper-prior of the group variance rates
        (finite, >= 0).
    mvar : float or pair of floats
        Prior variances of the overall row mean and of the pooled mean
        (finite, > 0).
    effvar : float or sequence of floats
        Prior variances of the scaled group deviations: one value, or one
        per group after the first (finite, > 0).

    Returns
    -------
    dict
        ``groups``: the group names (list, reference first);
        ``mean``, ``var``: float64 arrays (rows x groups), the posterior
        means of each group's mean and variance;
        ``diff``: (rows x (groups - 1)), each later group's posterior mean
        minus the reference group's;
        ``pooled_mean``, ``pooled_var``: (rows,), only with pooled=True;
        ``p_mean``: (rows,), share of kept draws whose mean contrasts
        against the reference group lie beyond the threshold 6 in the metric
        of their own posterior covariance;
        ``p_joint``: (rows,), the same for the mean and cube-root variance
        contrasts jointly (threshold 9), for two groups too.

    Rows the sampler cannot serve get NaN in every result and a
    KestrumrWarning naming them (rows counted from 1): a row with a group
    whose values are all equal (such as zero counts, or a detection limit)
    is left out of the run, since that group's variance has no spread to be
    estimated from and would shrink, with the rate its prior shares with
    every row, until the row's draws became NaN and stopped the rates of all
    rows; the other rows get the results of a run without it.  A row whose
    draws become non-finite all the same is reported likewise.

    Raises
    ------
    ValueError, TypeError
        On bad input (nothing is run), also when every row has a group whose
        values are all equal.
    MemoryError
        When the run's workspace cannot be obtained.
    KeyboardInterrupt
        On Ctrl-C during the run (in the main thread): the run stops after
        the current iteration and its memory is released.

    The GIL is released while the run computes (it is taken back briefly
    after every iteration to look for Ctrl-C), so other Python threads go
    on, and several runs may go on at once in different threads.  The
    library's messages are issued as KestrumrWarning.
    """
    a = np.asarray(x)
    if a.ndim != 2:
        raise ValueError("x must be 2-D (rows x columns), not %d-D" % a.ndim)
    if a.dtype == np.bool_ or not (np.issubdtype(a.dtype, np.integer) or
                                   np.issubdtype(a.dtype, np.floating)):
        raise TypeError("x must hold integer or floating numbers, not %s" % a.dtype)
    L, N = a.shape
    if L < 1:
        raise ValueError("x has no rows")
    if L > _INT32_MAX or N > _INT32_MAX:
        raise ValueError("x is too large (%d x %d)" % (L, N))
    names, codes, sizes = _groups(groups, N)
    J = len(names)
    burn = _whole(burn, "burn", 0, _INT32_MAX)
    keep = _whole(keep, "keep", 2, _INT32_MAX)
    threads = 1 if threads is None else _whole(threads, "threads", 0, _INT32_MAX)
    if not isinstance(pooled, (bool, np.bool_)):
        raise TypeError("pooled must be True or False")
    hshape = _finite(hshape, "hshape", (1,), False)
    hrate = _finite(hrate, "hrate", (1,), False)
    mvar = np.resize(_finite(mvar, "mvar", (1, 2), True), 2)
    effvar = np.ascontiguousarray(np.resize(_finite(effvar, "effvar", (1, J - 1), True), J - 1))
    if seed is None:
        seed = random.randrange(1, _INT32_MAX + 1)
    seed = _whole(seed, "seed", 0, 2**64 - 1)

    # The observations, gathered group by group, column by column: one
    # float64 array of leading dimension L.
    order = np.argsort(codes, kind="stable")
    y = np.empty((L, N), dtype=np.float64, order="F")
    y[...] = a[:, order]
    if not np.all(np.isfinite(y)):
        r, c = np.argwhere(~np.isfinite(y))[0]
        raise ValueError("x holds a value that is not a finite number (row %d, column %d)"
                         % (r, order[c]))

    mean = np.empty((L, J), dtype=np.float64, order="F")
    var = np.empty((L, J), dtype=np.float64, order="F")
    prob = np.empty((L, max(J - 1, 1)), dtype=np.float64, order="F")
    pmeanbar = np.empty(L, dtype=np.float64)
    pvarbar = np.empty(L, dtype=np.float64)
    pjoint = np.empty(L, dtype=np.float64)

    def ptr(arr):
        return arr.ctypes.data_as(_native.c_double_p)

    problem = _native.Problem(
        1 if pooled else 0, L, J, sizes.ctypes.data_as(_native.c_int32_p), N, ptr(y), keep,
        burn, float(hshape[0]), float(hrate[0]), ptr(mvar), ptr(effvar))
    results = _native.Results(ptr(prob), ptr(pmeanbar), ptr(pvarbar), ptr(mean), ptr(var),
                              ptr(pjoint))
    status, messages, interrupted = _run(problem, results, seed, threads)

    for m in messages:
        warnings.warn(m, KestrumrWarning, stacklevel=2)
    if interrupted:
        raise KeyboardInterrupt
    if status is not None:
        code, text = status
        if code == _native.ERR_MEMORY:
            raise MemoryError("kestrumr: " + text)
        if code == _native.ERR_ARGUMENT:  # data no row of which can run
            raise ValueError("kestrumr: " + text)
        raise RuntimeError("kestrumr: " + text)

    out = {"groups": names, "mean": mean, "var": var, "diff": mean[:, 1:] - mean[:, :1]}
    if pooled:
        out["pooled_mean"] = pmeanbar
        out["pooled_var"] = pvarbar
    out["p_mean"] = prob[:, 0]
    out["p_joint"] = pjoint
    return out


def _run(problem, results, seed, threads):
    """One run on a new session.  Returns (None or (code, message), the
    library's messages, whether Ctrl-C stopped it)."""
    lib = _native.lib
    lines = []
    stop = [False]

    def on_message(_context, line):
        lines.append(line.decode("utf-8", "replace"))

    def on_progress(_context, _done, _total):
        # Runs with the GIL taken back: a pending SIGINT is handled here, by
        # the handler below, in the main thread.
        return 1 if stop[0] else 0

    message_fn = _native.MESSAGE_FN(on_message)
    progress_fn = _native.PROGRESS_FN(on_progress)

    # Ctrl-C: while the run goes on, SIGINT only asks the run to stop (the
    # default handler would raise inside the callback, where ctypes cannot
    # pass the exception on).  Only in the main thread, and only when
    # Python's default handler is in place.
    previous = None
    if threading.current_thread() is threading.main_thread():
        if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            def on_sigint(_signum, _frame):
                stop[0] = True
            previous = signal.signal(signal.SIGINT, on_sigint)

    session = lib.kestrumr_session_new()
    if not session:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)
        return (_native.ERR_MEMORY, "not enough memory for a session"), [], False
    try:
        code = lib.kestrumr_set_message_callback(session, message_fn, None)
        if code == _native.OK:
            code = lib.kestrumr_seed(session, seed)
        if code == _native.OK:
            code = lib.kestrumr_set_threads(session, threads)
        if code == _native.OK:
            code = lib.kestrumr_set_progress_callback(session, progress_fn, None)
        if code == _native.OK:
            code = lib.kestrumr_run(session, ctypes.byref(problem), ctypes.byref(results))
        failure = None
        if code != _native.OK:
            failure = (code, lib.kestrumr_errmsg(session).decode("utf-8", "replace"))
    finally:
        lib.kestrumr_session_free(session)
        if previous is not None:
            signal.signal(signal.SIGINT, previous)
    # Ctrl-C during the run (or after its last iteration) is an interrupt.
    interrupted = stop[0]
    return (None if interrupted else failure), _paragraphs(lines), interrupted


def _paragraphs(lines):
    """The library's messages, one string per block of lines (blocks are
    separated by empty lines; leading blanks are console layout)."""
    out, block = [], []
    for line in lines + [""]:
        if line.strip():
            block.append(line.strip())
        elif block:
            out.append("\n".join(block))
            block = []
    return out
