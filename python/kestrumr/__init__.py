"""kestrumr: posterior group means, variances and difference tests for many
data rows measured side by side (such as genes by samples).

    >>> import numpy as np, kestrumr
    >>> x = np.loadtxt("example.tsv", skiprows=1, usecols=range(1, 13))
    >>> r = kestrumr.kestrum(x, ["a"] * 4 + ["b"] * 4 + ["c"] * 4, seed=1)
    >>> r["p_mean"][:3]

kestrum() runs the library's whole analysis (the one the command-line front
end runs, with its defaults: 4 chains, the data standardised, burn-in 1000,
kept 1000) on a generator of its own (a library session), so calls never
influence each other, may run in several threads at once, and give for the
same seed the same bits as the front end's --seed.  What should make you
doubt the results is raised as a warning of a subclass of KestrumrWarning.
"""
import concurrent.futures
import ctypes
import math
import operator
import random
import signal
import threading
import warnings

import numpy as np

from . import _native
from .plot import plot_ma, plot_traces, plot_volcano

__all__ = ["kestrum", "version", "Cancelled", "KestrumrWarning", "RowsLeftOutWarning",
           "NotFiniteWarning", "ScaleWarning", "MeanPriorWarning", "NotTracedWarning",
           "StuckRateWarning", "RhatWarning", "RateTraces", "plot_volcano", "plot_ma",
           "plot_traces", "__version__"]

_INT32_MAX = 2**31 - 1


class KestrumrWarning(UserWarning):
    """A warning of the analysis; raised as such for the library's own
    messages (such as a workspace failure), and the base of one category per
    kind of warning the analysis reports.

    Attributes (None for a library message): ``chain``, ``group`` (0-based,
    None when the warning is not about one chain or group) and ``rows`` (the
    number of rows concerned, 0 when none in particular).
    """

    def __init__(self, text, chain=None, group=None, rows=0):
        super().__init__(text)
        self.chain = chain
        self.group = group
        self.rows = rows


class RowsLeftOutWarning(KestrumrWarning):
    """Rows left out before the run (a missing value; statistics that
    overflow a double; a group of equal values): their results are NaN."""


class NotFiniteWarning(KestrumrWarning):
    """Rows whose draws became non-finite: their results are NaN, and the
    shared rates may have stopped, so the other rows are doubtful."""


class ScaleWarning(KestrumrWarning):
    """The data were divided by a scale (a note rather than a fault, as the
    front end prints it on every standardised run); the results are in the
    data's units."""


class MeanPriorWarning(KestrumrWarning):
    """Group means far beyond the prior of the means: results pulled
    towards 0."""


class NotTracedWarning(KestrumrWarning):
    """The rate traces did not fit the memory budget: the rate update is not
    checked."""


class StuckRateWarning(KestrumrWarning):
    """A chain's rate update stuck: the results are not to be trusted."""


class RhatWarning(KestrumrWarning):
    """Rows on which the chains disagree (rhat_flag 1: R-hat beyond what
    mixing chains give, judged with the number of rows allowed for)."""


_WARNINGS = {
    _native.WARNING_ROWS_LEFT_OUT: RowsLeftOutWarning,
    _native.WARNING_NOT_FINITE: NotFiniteWarning,
    _native.WARNING_SCALE: ScaleWarning,
    _native.WARNING_MEAN_PRIOR: MeanPriorWarning,
    _native.WARNING_NOT_TRACED: NotTracedWarning,
    _native.WARNING_STUCK_RATE: StuckRateWarning,
    _native.WARNING_RHAT: RhatWarning,
}

_STATUS = {
    _native.ROW_OK: "ok",
    _native.ROW_NO_SPREAD: "no_spread",
    _native.ROW_NOT_FINITE: "not_finite",
    _native.ROW_MISSING: "missing",
    _native.ROW_OVERFLOW: "overflow",
    _native.ROW_ROUNDING: "rounding",
}


class Cancelled(concurrent.futures.CancelledError):
    """The run was stopped through its cancel argument."""


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
    if hasattr(groups, "cat") and hasattr(groups, "array"):  # a pandas Series of categories
        groups = groups.array
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


def _matrix(x):
    """x as a 2-D array of numbers, its row names (a pandas index, or None)
    and whether it came as a pandas DataFrame."""
    pd = _pandas_of(x)
    if pd is not None and isinstance(x, pd.DataFrame):
        for name, dtype in x.dtypes.items():
            kind = getattr(dtype, "kind", "O")
            if kind not in "iuf" or pd.api.types.is_bool_dtype(dtype):
                raise TypeError("x must hold integer or floating numbers, but column %r is %s"
                                % (name, dtype))
        # Nullable dtypes (Int64, Float64) give pandas.NA for a missing value.
        return x.to_numpy(dtype=np.float64, na_value=np.nan), x.index, True
    a = np.asarray(x)
    if a.ndim != 2:
        raise ValueError("x must be 2-D (rows x columns), not %d-D" % a.ndim)
    if a.dtype == np.bool_ or not (np.issubdtype(a.dtype, np.integer) or
                                   np.issubdtype(a.dtype, np.floating)):
        raise TypeError("x must hold integer or floating numbers, not %s" % a.dtype)
    return a, None, False


def _pandas_of(x):
    """The pandas module when x is one of its objects (pandas is imported
    only then: it is optional)."""
    if not type(x).__module__.startswith("pandas"):
        return None
    import pandas
    return pandas


def _scale(scale):
    """(mode, value) of the scale argument."""
    if isinstance(scale, str):
        if scale == "auto":
            return _native.SCALE_AUTO, 0.0
        if scale == "none":
            return _native.SCALE_NONE, 0.0
        raise ValueError('scale must be "auto", "none" or a number, not %r' % scale)
    if isinstance(scale, (bool, np.bool_)) or not isinstance(scale, (int, float, np.integer,
                                                                     np.floating)):
        raise TypeError('scale must be "auto", "none" or a number, not %s' % type(scale).__name__)
    v = float(scale)
    if not (math.isfinite(v) and v > 0 and 0 < v * v < math.inf and 0 < 1 / (v * v) < math.inf):
        raise ValueError("scale must be a finite number > 0 whose square and its reciprocal are "
                         "finite and > 0 (about 7.5e-155 to 1.3e154), not %r" % v)
    return _native.SCALE_VALUE, v


def kestrum(x, groups, burn=1000, keep=1000, pooled=False, seed=None, threads=None, *,
            chains=4, scale="auto", na="omit", hshape=None, hrate=None, mvar=None,
            effvar=None, draws=True, memory_budget=None, cancel=None, start="data", fdr=None,
            permutations="auto"):
    """Run the analysis over the rows of x: rows that cannot be analysed
    left out, the data standardised, several chains pooled, with Monte-Carlo
    errors, credible bounds and R-hat.  The defaults are the command-line
    front end's, and for the same seed the numbers are its numbers, bit for
    bit (``kestrum --seed S --digits 17``).

    Parameters
    ----------
    x : array_like, 2-D, or pandas DataFrame
        Rows are features (such as genes), columns are observations.  Any
        memory layout and any integer or floating dtype is accepted and
        converted to float64.  NaN (in a DataFrame also pandas.NA) is a
        missing value; an infinite value is refused.
    groups : sequence of labels, one per column (or a pandas Categorical,
            or a Series of them)
        The columns are gathered group by group, each group's columns in
        their original order.  Groups come in order of first appearance (a
        Categorical keeps its category order); the first group is the
        reference group.  At least two groups of at least 2 columns each.
        Labels are compared as the strings they print as, str(label), which
        are the group names: "1" and 1 are one group "1", while 1, 1.0 and
        True are three groups "1", "1.0" and "True" (Python counts them
        equal).  Categories of a Categorical that print alike are one group.
    burn : int
        Burn-in iterations of every chain, >= 0 (default 1000).
    keep : int
        Kept iterations of every chain, >= 2 (default 1000).
    pooled : bool
        Also estimate one pooled mean and variance per row.
    seed : int or None
        1 to 2147483647: the front end's ``--seed``, the same results.
        None draws one from Python's ``random`` module (so ``random.seed()``
        makes the call reproducible).
    threads : int or None
        Threads in all, 0 to 1024; None or 0 for the machine's cores (at
        most 256).  The results are the same bits for every thread count.
    chains : int
        Independent chains, 1 to 1024 (default 4), pooled.  With one chain
        the Monte-Carlo errors are NaN.
    scale : "auto", "none" or a number
        "auto" (the default) divides the data by the median over rows of
        the pooled within-group standard deviation, a number divides them by
        that number, "none" runs on the data as they are (the default priors
        then suit only data of spread about 1).  The results are in the
        data's units either way.
    start : "data" or "fixed"
        Where every chain starts: "data" (the default) from a state fitted
        to each row's data after scaling (its group means and variances
        drawn from the row's posterior given the variance rates, the rates
        at their modes given those variances), each chain its own draw;
        "fixed" from every mean 0, variance 1 and rate 2, as the library's
        ``kestrum_`` starts.  From the fixed start the rate update can
        stick on data whose groups differ several-fold in variance or lie
        far from 0.
    na : "omit" or "fail"
        What to do with a row that cannot be analysed (a missing value,
        group statistics that overflow a double such as a value of 1e300, a
        group of equal values): "omit" (the default) leaves it out, its
        results NaN with its status, and raises RowsLeftOutWarning; "fail"
        raises ValueError naming the first such row.
    hshape, hrate : float or None
        Shape and rate of the hyper-prior of the group variance rates
        (finite, >= 0).
    mvar : float, pair of floats or None
        Prior variances of the overall row mean and of the pooled mean
        (finite, > 0).
    effvar : float, sequence of floats or None
        Prior variances of the scaled group deviations: one value, or one
        per group after the first (finite, > 0).
        A prior left at None is the library's default (hshape 1, hrate 1,
        mvar 10000, effvar 10000), meant for standardised data; a prior you
        give is in the data's units (hrate, mvar and effvar are divided by
        the scale squared), as the front end takes its options.
    draws : bool
        True (the default) stores thinned draws for lo, hi, rhat and the
        joint frequency of two groups; False does not (those are NaN, less
        memory: the front end's ``--columns basic``).
    memory_budget : int or None
        Bytes the rate traces and stored draws of all chains may take
        together, >= 1048576 (None: 1 GiB).
    fdr : float or None
        None (the default) returns every row; a false-discovery rate A,
        0 < A < 1, returns the list at level A: the rows whose q_mean is at
        most A, ordered by score_mean (largest first, ties by the largest
        absolute difference of means), the rows the front end's ``--fdr A``
        writes.  The dict then has ``index``, the rows' places in x, and
        ``fdr``, the level (a DataFrame: ``attrs["fdr"]``), by which the
        plots mark the rows called.
    permutations : int or "auto"
        Null analyses (the rows with their group differences removed, half
        of them for each test) that the q-values are calibrated on, 0 to
        1024 (one chain each, on streams made from the seed); 0 gives no
        q-values.  "auto", the default, takes as many as give each test
        20 000 null scores, at least 4 and at most 16 (4 from 10 000 rows
        up, 8 for 5000, 16 below 2858): with few null scores the q-values
        of a short list's strongest rows are held up by the resolution of
        the null, not by their evidence.  The count a run took is
        ``permutations`` in the result (a DataFrame: its attrs).
    cancel : threading.Event or None
        An object with an ``is_set()`` method, asked after every iteration
        of the chains the calling thread runs (the others stop with them):
        once it returns true the run stops and Cancelled is raised.  Set it
        from another thread to stop a run going on in this one.

    Returns
    -------
    For a pandas DataFrame x, a DataFrame with x's index and the front end's
    columns: ``mean_<g>``, ``var_<g>`` for every group g, ``pooled_mean``,
    ``pooled_var`` (with pooled=True), ``diff_<g>``, ``lo_<g>``,
    ``hi_<g>`` for every group after the first, ``p_mean``,
    ``p_mean_mcse``, ``p_joint``, ``p_joint_mcse``, ``rhat``, ``ess``,
    ``rhat_flag``, ``score_mean``, ``score_joint``, ``q_mean``, ``q_joint``
    (with permutations) and ``status``; ``attrs["groups"]``,
    ``attrs["scale"]``, ``attrs["permutations"]`` and, as lists of lists,
    ``attrs["acceptance"]`` and ``attrs["stuck"]``; the rate traces as
    ``attrs["traces"]`` (a RateTraces: ``np.asarray()`` of it is the traces
    array described below) and ``attrs["burn"]``.

    Otherwise a dict:
        ``groups``: the group names (list, reference first);
        ``mean``, ``var``: float64 arrays (rows x groups), the posterior
        means of each group's mean and variance, in the data's units;
        ``pooled_mean``, ``pooled_var``: (rows,), only with pooled=True;
        ``diff``: (rows x (groups - 1)), the posterior mean of each later
        group's mean minus the reference group's; ``lo``, ``hi``: its 2.5%
        and 97.5% quantiles over the stored draws of all chains;
        ``p_mean``: (rows,), the share of kept draws whose mean contrasts
        lie beyond the threshold 6 in the metric of their own posterior
        covariance (not a p-value); ``p_joint``: the same for the mean and
        cube-root variance contrasts jointly (threshold 9);
        ``p_mean_mcse``, ``p_joint_mcse``: their Monte-Carlo standard
        errors, sqrt(phi f (1 - f) / E): E the effective sample size of the
        test's indicator over the stored draws of all chains, phi one factor
        per run matching these errors to the spread between the chains over
        all rows (1 with one chain);
        ``rhat``: the largest rank-normalised split R-hat of the row's mean
        contrasts;
        ``ess``: the smallest bulk effective sample size of the row's mean
        contrasts over the stored draws of all chains;
        ``rhat_flag``: 1.0 when the chains disagree on the row, 0.0 when
        they agree (NaN without a result): R-hat's excess over what mixing
        chains give, tested at level 0.05 divided by the number of rows and
        contrasts, so that a table whose chains all mix is flagged at most
        5% of the time whatever its size (an RhatWarning names the rows);
        ``score_mean``, ``score_joint``: the evidence of a difference of
        means, and of means and variances jointly: the squared length of
        the posterior mean of the contrasts, for score_mean in the metric
        of their covariance under group variances moderated across rows
        and within the row (a moderated t^2 for two groups, J - 1 times a
        moderated F for more), for score_joint in the metric of their
        posterior covariance; continuous, so rows tie only where their
        data do;
        ``q_mean``, ``q_joint``: their q-values (only with permutations >
        0): the smallest false-discovery rate at which the row is called;
        ``status``: (rows,) strings, "ok" for a row analysed, else why it
        has no results: "missing" (a missing value), "overflow" (its
        statistics overflow a double), "no_spread" (a group of equal
        values), "rounding" (a group variance negative from rounding),
        "not_finite" (its draws became non-finite in the run);
        ``scale``: the scale the data were divided by (1.0 for "none");
        ``permutations``: the null analyses behind the q-values (0 without
        them).
        ``acceptance``: (chains x groups), the share of the rate update's
        trials accepted in the second half of the burn-in (NaN when the
        traces did not fit the memory budget, or burn < 2);
        ``stuck``: (chains x groups) bool, the rate updates that stuck
        (a StuckRateWarning each);
        ``traces``: (chains x (burn + keep) x groups), each group's rate
        after every iteration of every chain, burn-in first, in the data's
        units (no iterations when the traces did not fit the memory
        budget); ``burn``: the burn-in length.
    A row without results is NaN in every column, never scored 0.

    Warnings
    --------
    Each warning of the analysis is raised with warnings.warn, its text the
    library's, in a subclass of KestrumrWarning per kind: RowsLeftOutWarning,
    NotFiniteWarning, ScaleWarning, MeanPriorWarning, NotTracedWarning,
    StuckRateWarning, RhatWarning; each carries ``chain`` and ``group``
    (0-based, or None) and ``rows`` (the rows concerned).  ScaleWarning is a
    note on every standardised run (the scale is in the results too):
    ``warnings.simplefilter("ignore", kestrumr.ScaleWarning)`` silences it.
    ``warnings.simplefilter("error", kestrumr.StuckRateWarning)`` makes a
    stuck rate update an error.  The library's own messages are raised as
    KestrumrWarning itself.

    Raises
    ------
    ValueError, TypeError
        On bad input (nothing is run), with na="fail" on a row that cannot
        be analysed, and when no row is left to analyse.
    MemoryError
        When the run's memory (or memory_budget) is short.
    Cancelled
        When cancel was set.
    KeyboardInterrupt
        On Ctrl-C during the run (in the main thread): the run stops after
        the current iteration and its memory is released.

    The GIL is released while the run computes (it is taken back briefly
    after every iteration to look for Ctrl-C and cancel), so other Python
    threads go on, and several runs may go on at once in different threads.
    """
    a, index, frame = _matrix(x)
    L, N = a.shape
    if L < 1:
        raise ValueError("x has no rows")
    if L > _INT32_MAX or N > _INT32_MAX:
        raise ValueError("x is too large (%d x %d)" % (L, N))
    names, codes, sizes = _groups(groups, N)
    J = len(names)
    burn = _whole(burn, "burn", 0, _INT32_MAX)
    keep = _whole(keep, "keep", 2, _INT32_MAX)
    threads = 0 if threads is None else _whole(threads, "threads", 0, 1024)
    chains = _whole(chains, "chains", 1, 1024)
    for flag, name in ((pooled, "pooled"), (draws, "draws")):
        if not isinstance(flag, (bool, np.bool_)):
            raise TypeError("%s must be True or False" % name)
    scale_mode, scale_value = _scale(scale)
    if na not in ("omit", "fail"):
        raise ValueError('na must be "omit" or "fail", not %r' % (na,))
    if start not in ("data", "fixed"):
        raise ValueError('start must be "data" or "fixed", not %r' % (start,))
    if hshape is not None:
        hshape = float(_finite(hshape, "hshape", (1,), False)[0])
    if hrate is not None:
        hrate = float(_finite(hrate, "hrate", (1,), False)[0])
    if mvar is not None:
        mvar = np.resize(_finite(mvar, "mvar", (1, 2), True), 2)
    if effvar is not None:
        effvar = np.ascontiguousarray(_finite(effvar, "effvar", (1, J - 1), True))
    if memory_budget is not None:
        memory_budget = _whole(memory_budget, "memory_budget", 1048576, 2**64 - 1)
    if cancel is not None and not callable(getattr(cancel, "is_set", None)):
        raise TypeError("cancel must have an is_set() method (such as a threading.Event)")
    if isinstance(permutations, str):
        if permutations != "auto":
            raise ValueError('permutations must be "auto" or a whole number from 0 to 1024, not %r'
                             % (permutations,))
        permutations = _native.PERMUTATIONS_AUTO
    else:
        permutations = _whole(permutations, "permutations", 0, 1024)
    if fdr is not None:
        if isinstance(fdr, (bool, np.bool_)) or not isinstance(fdr, (int, float, np.integer, np.floating)):
            raise TypeError("fdr must be None or a number, not %r" % (fdr,))
        fdr = float(fdr)
        if not 0.0 < fdr < 1.0:
            raise ValueError("fdr must lie between 0 and 1 (such as 0.05), not %r" % fdr)
        if permutations == 0:
            raise ValueError("fdr needs the null analyses: give permutations of at least 1")
    if seed is None:
        seed = random.randrange(1, _INT32_MAX + 1)
    seed = _whole(seed, "seed", 1, _INT32_MAX)

    # The observations, gathered group by group, column by column: one
    # float64 array of leading dimension L.
    order = np.argsort(codes, kind="stable")
    y = np.empty((L, N), dtype=np.float64, order="F")
    y[...] = a[:, order]
    if np.any(np.isinf(y)):
        r, c = np.argwhere(np.isinf(y))[0]
        raise ValueError("x holds an infinite value (row %d, column %d)" % (r, order[c]))

    settings = [
        ("chains", _native.lib.kestrumr_analysis_set_chains, (chains,)),
        ("scale", _native.lib.kestrumr_analysis_set_scale, (scale_mode, scale_value)),
        ("burn, keep", _native.lib.kestrumr_analysis_set_iterations, (burn, keep)),
        ("pooled", _native.lib.kestrumr_analysis_set_pooled, (1 if pooled else 0,)),
        ("na", _native.lib.kestrumr_analysis_set_row_policy,
         (_native.ROWS_OMIT if na == "omit" else _native.ROWS_FAIL,)),
        ("threads", _native.lib.kestrumr_analysis_set_threads, (threads,)),
        ("seed", _native.lib.kestrumr_analysis_set_seed, (seed,)),
        ("draws", _native.lib.kestrumr_analysis_set_draws, (1 if draws else 0,)),
        ("start", _native.lib.kestrumr_analysis_set_start,
         (_native.START_DATA if start == "data" else _native.START_FIXED,)),
        ("permutations", _native.lib.kestrumr_analysis_set_permutations, (permutations,)),
        ("fdr", _native.lib.kestrumr_analysis_set_fdr, (0.05 if fdr is None else fdr,)),
    ]
    # Only the priors given are set: a prior set counts as in the data's units.
    if hshape is not None:
        settings.append(("hshape", _native.lib.kestrumr_analysis_set_hshape, (hshape,)))
    if hrate is not None:
        settings.append(("hrate", _native.lib.kestrumr_analysis_set_hrate, (hrate,)))
    if mvar is not None:
        settings.append(("mvar", _native.lib.kestrumr_analysis_set_mvar,
                         (float(mvar[0]), float(mvar[1]))))
    if effvar is not None:
        settings.append(("effvar", _native.lib.kestrumr_analysis_set_effvar,
                         (effvar.ctypes.data_as(_native.c_double_p), effvar.size)))
    if memory_budget is not None:
        settings.append(("memory_budget", _native.lib.kestrumr_analysis_set_memory_budget,
                         (memory_budget,)))

    out, records, messages, stopped = _analyse(settings, L, J, sizes, N, y, cancel, pooled)
    for m in messages:
        warnings.warn(m, KestrumrWarning, stacklevel=2)
    for kind, chain, group, rows, text in records:
        category = _WARNINGS.get(kind, KestrumrWarning)
        warnings.warn(category(text, chain, group, rows), stacklevel=2)
    if stopped == "interrupt":
        raise KeyboardInterrupt
    if stopped == "cancel":
        raise Cancelled("kestrumr: the run was cancelled")
    if isinstance(out, tuple):
        code, text = out
        if code == _native.ERR_MEMORY:
            raise MemoryError("kestrumr: " + text)
        if code == _native.ERR_ARGUMENT:
            raise ValueError("kestrumr: " + text)
        raise RuntimeError("kestrumr: " + text)

    out["groups"] = names
    out["burn"] = burn
    if permutations == 0:
        del out["q_mean"], out["q_joint"]
    rows = None
    if fdr is not None:
        rows = _called(out, fdr)
        # Only the per-row results are cut to the list; the rate diagnostics
        # and traces are per chain and group.
        for k, v in out.items():
            if k not in ("acceptance", "stuck", "traces") and isinstance(v, np.ndarray):
                out[k] = v[rows]
        out["index"] = rows
        out["fdr"] = fdr
    if frame:
        df = _frame(_pandas_of(x), out, index if rows is None else index[rows])
        if rows is not None:
            df.attrs["fdr"] = fdr
        return df
    return out


def _called(r, fdr):
    """The rows of the list at level fdr (q_mean <= fdr), in the front
    end's order: score_mean largest first, ties by the largest absolute
    difference of means, then the input order."""
    called = np.flatnonzero(r["q_mean"] <= fdr)
    size = np.abs(r["diff"][called]).max(axis=1) if r["diff"].shape[1] else np.zeros(called.size)
    size = np.where(np.isnan(size), 0.0, size)
    return called[np.lexsort((called, -size, -r["score_mean"][called]))]


class RateTraces:
    """The rate traces of a run as a DataFrame result carries them in its
    attrs: ``np.asarray(traces)`` is the read-only array, chains x
    iterations x groups.  pandas copies and compares attrs as it combines
    and derives frames; this holder makes that cheap (it is immutable, so
    a copy is itself) and well defined (equal when the arrays are)."""

    __slots__ = ("_rates",)

    def __init__(self, rates):
        rates = np.asarray(rates, dtype=np.float64)
        rates.setflags(write=False)
        self._rates = rates

    def __array__(self, dtype=None, copy=None):
        return self._rates if dtype is None else self._rates.astype(dtype)

    @property
    def shape(self):
        return self._rates.shape

    def __eq__(self, other):
        return isinstance(other, RateTraces) and np.array_equal(self._rates, other._rates)

    __hash__ = None

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self

    def __repr__(self):
        return "RateTraces(chains=%d, iterations=%d, groups=%d)" % self._rates.shape


def _frame(pd, r, index):
    """The results as a DataFrame with the front end's column names."""
    names = r["groups"]
    cols = {}
    for j, g in enumerate(names):
        cols["mean_" + g] = r["mean"][:, j]
    for j, g in enumerate(names):
        cols["var_" + g] = r["var"][:, j]
    if "pooled_mean" in r:
        cols["pooled_mean"] = r["pooled_mean"]
        cols["pooled_var"] = r["pooled_var"]
    for key in ("diff", "lo", "hi"):
        for j, g in enumerate(names[1:]):
            cols[key + "_" + g] = r[key][:, j]
    for key in ("p_mean", "p_mean_mcse", "p_joint", "p_joint_mcse", "rhat", "ess", "rhat_flag",
                "score_mean", "score_joint", "q_mean", "q_joint", "status"):
        if key in r:
            cols[key] = r[key]
    df = pd.DataFrame(cols, index=index.copy())
    df.attrs["groups"] = list(names)
    df.attrs["scale"] = r["scale"]
    df.attrs["permutations"] = r["permutations"]
    # Plain lists: pandas compares attrs when it combines frames.
    df.attrs["acceptance"] = r["acceptance"].tolist()
    df.attrs["stuck"] = r["stuck"].tolist()
    df.attrs["traces"] = RateTraces(r["traces"])
    df.attrs["burn"] = r["burn"]
    return df


def _results(res, L, J, pooled):
    """The columns of a results object, as the dict kestrum() returns."""
    lib = _native.lib

    def column(which, group, into):
        code = lib.kestrumr_analysis_column(res, which, group,
                                            into.ctypes.data_as(_native.c_double_p), L)
        if code != _native.OK:
            raise RuntimeError("kestrumr: the results lack column %d" % which)

    def grouped(which, first):
        m = np.empty((L, J - first), dtype=np.float64, order="F")
        for j in range(first, J):
            column(which, j, m[:, j - first])
        return m

    def single(which):
        v = np.empty(L, dtype=np.float64)
        column(which, 0, v)
        return v

    C = lib.kestrumr_analysis_nchains(res)

    def rate(what):
        # chains x groups; NaN when the traces were not kept.
        m = np.full((C, J), np.nan)
        value = ctypes.c_double()
        for c in range(C):
            for j in range(J):
                if lib.kestrumr_analysis_rate(res, c, j, what, ctypes.byref(value)) == _native.OK:
                    m[c, j] = value.value
        return m

    def traces():
        # chains x iterations x groups; no iterations when not kept.  The
        # library writes a chain's trace as iterations x groups, row-major.
        size = lib.kestrumr_analysis_rate_trace_size(res)
        m = np.empty((C, size // J, J), dtype=np.float64)
        for c in range(C):
            if size and lib.kestrumr_analysis_rate_trace(
                    res, c, m[c].ctypes.data_as(_native.c_double_p), None, size) != _native.OK:
                raise RuntimeError("kestrumr: the results lack the rate trace of chain %d" % c)
        return m

    status = np.empty(L, dtype=np.int32)
    if lib.kestrumr_analysis_row_status(res, status.ctypes.data_as(_native.c_int32_p),
                                        L) != _native.OK:
        raise RuntimeError("kestrumr: the results lack the row status")
    out = {
        "mean": grouped(_native.COLUMN_MEAN, 0),
        "var": grouped(_native.COLUMN_VAR, 0),
    }
    # The pooled columns only when asked for, in their place after var.
    if pooled:
        out["pooled_mean"] = single(_native.COLUMN_POOLED_MEAN)
        out["pooled_var"] = single(_native.COLUMN_POOLED_VAR)
    out.update({
        "diff": grouped(_native.COLUMN_DIFF, 1),
        "lo": grouped(_native.COLUMN_LO, 1),
        "hi": grouped(_native.COLUMN_HI, 1),
        "p_mean": single(_native.COLUMN_P_MEAN),
        "p_mean_mcse": single(_native.COLUMN_P_MEAN_MCSE),
        "p_joint": single(_native.COLUMN_P_JOINT),
        "p_joint_mcse": single(_native.COLUMN_P_JOINT_MCSE),
        "rhat": single(_native.COLUMN_RHAT),
        "ess": single(_native.COLUMN_ESS),
        "rhat_flag": single(_native.COLUMN_RHAT_FLAG),
        "score_mean": single(_native.COLUMN_SCORE_MEAN),
        "score_joint": single(_native.COLUMN_SCORE_JOINT),
        "q_mean": single(_native.COLUMN_Q_MEAN),
        "q_joint": single(_native.COLUMN_Q_JOINT),
        "status": np.array([_STATUS.get(int(s), "unknown") for s in status]),
        "scale": float(lib.kestrumr_analysis_scale(res)),
        "permutations": int(lib.kestrumr_analysis_permutations(res)),
        "acceptance": rate(_native.RATE_LATE_BURN_ACCEPTANCE),
        "stuck": rate(_native.RATE_STUCK) == 1.0,
        "traces": traces(),
    })
    return out


def _records(res):
    lib = _native.lib
    out = []
    for i in range(lib.kestrumr_analysis_warning_count(res)):
        chain = lib.kestrumr_analysis_warning_chain(res, i)
        group = lib.kestrumr_analysis_warning_group(res, i)
        out.append((lib.kestrumr_analysis_warning_kind(res, i), None if chain < 0 else chain,
                    None if group < 0 else group, lib.kestrumr_analysis_warning_rows(res, i),
                    lib.kestrumr_analysis_warning_text(res, i).decode("utf-8", "replace")))
    return out


def _analyse(settings, L, J, sizes, N, y, cancel, pooled):
    """One analysis on a new session.  Returns (the results as a dict, or
    (code, message) on failure; the warning records; the library's messages;
    None, "interrupt" (Ctrl-C) or "cancel")."""
    lib = _native.lib
    lines = []
    stop = [None]

    def on_message(_context, line):
        lines.append(line.decode("utf-8", "replace"))

    def on_progress(_context, _done, _total):
        # Runs on this thread with the GIL taken back: a pending SIGINT is
        # handled here, by the handler below, in the main thread.
        if stop[0] is None and cancel is not None and cancel.is_set():
            stop[0] = "cancel"
        return 1 if stop[0] else 0

    message_fn = _native.MESSAGE_FN(on_message)
    progress_fn = _native.PROGRESS_FN(on_progress)

    if cancel is not None and cancel.is_set():
        return None, [], [], "cancel"
    options = lib.kestrumr_analysis_options_new()
    if not options:
        return (_native.ERR_MEMORY, "not enough memory for the options"), [], [], None
    try:
        for name, setter, args in settings:
            if setter(options, *args) != _native.OK:
                # The arguments were checked above: this is a library that
                # disagrees with them.
                return ((_native.ERR_ARGUMENT, "%s: %s" % (name, lib.kestrumr_analysis_options_errmsg(
                    options).decode("utf-8", "replace"))), [], [], None)
        return _run(options, L, J, sizes, N, y, pooled, lines, stop, message_fn, progress_fn)
    finally:
        lib.kestrumr_analysis_options_free(options)


def _run(options, L, J, sizes, N, y, pooled, lines, stop, message_fn, progress_fn):
    lib = _native.lib
    # Ctrl-C: while the run goes on, SIGINT only asks the run to stop (the
    # default handler would raise inside the callback, where ctypes cannot
    # pass the exception on).  Only in the main thread, and only when
    # Python's default handler is in place.
    previous = None
    if threading.current_thread() is threading.main_thread():
        if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            def on_sigint(_signum, _frame):
                stop[0] = "interrupt"
            previous = signal.signal(signal.SIGINT, on_sigint)

    session = lib.kestrumr_session_new()
    if not session:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)
        return (_native.ERR_MEMORY, "not enough memory for a session"), [], [], None
    res = ctypes.c_void_p()
    try:
        code = lib.kestrumr_set_message_callback(session, message_fn, None)
        if code == _native.OK:
            code = lib.kestrumr_set_progress_callback(session, progress_fn, None)
        if code == _native.OK:
            code = lib.kestrumr_analyse(session, options, L, J,
                                        sizes.ctypes.data_as(_native.c_int32_p), N,
                                        y.ctypes.data_as(_native.c_double_p), ctypes.byref(res))
        if code == _native.OK:
            out, records = _results(res, L, J, pooled), _records(res)
        else:
            out = (code, lib.kestrumr_errmsg(session).decode("utf-8", "replace"))
            records = []
    finally:
        if res:
            lib.kestrumr_analysis_results_free(res)
        lib.kestrumr_session_free(session)
        if previous is not None:
            signal.signal(signal.SIGINT, previous)
    # Ctrl-C or cancel during the run (or after its last iteration) stops it.
    return out, records, _paragraphs(lines), stop[0]


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
