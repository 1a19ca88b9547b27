import importlib.metadata
import math
import os
import random
import signal
import subprocess
import threading
import time
import warnings

import numpy as np
import pytest

import kestrumr

ROOT = os.environ.get("KESTRUMR_SOURCE_DIR",
                      os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLE = os.path.join(ROOT, "examples", "example.tsv")
ROWS = list(range(12)) + list(range(240, 248)) + list(range(270, 278))
FULL = np.loadtxt(EXAMPLE, skiprows=1, usecols=range(1, 13))
X = FULL[ROWS]
G = ["a"] * 4 + ["b"] * 4 + ["c"] * 4
CLI = os.environ.get("KESTRUM_CLI")
needs_cli = pytest.mark.skipif(not CLI, reason="KESTRUM_CLI (the front end) not given")


def run(x=X, groups=G, **kw):
    kw.setdefault("burn", 30)
    kw.setdefault("keep", 40)
    return kestrumr.kestrum(x, groups, **kw)


def same(r, s):
    assert r.keys() == s.keys()
    for k in r:
        if k == "groups":
            assert r[k] == s[k]
        else:
            np.testing.assert_array_equal(r[k], s[k], err_msg=k)


def test_layout():
    r = run(seed=5, pooled=True)
    assert r["groups"] == ["a", "b", "c"]
    assert r["scale"] > 0 and np.all(r["status"] == "ok")
    # The installed package's version is the library's: both come from the
    # version macros of the library's session header.
    assert kestrumr.__version__ == kestrumr.version() == importlib.metadata.version("kestrumr")
    assert r["mean"].shape == r["var"].shape == (28, 3)
    assert r["diff"].shape == r["lo"].shape == r["hi"].shape == (28, 2)
    assert np.all((r["lo"] <= r["diff"]) & (r["diff"] <= r["hi"]))
    # Unscaled, the differences are those of the means.
    u = run(seed=5, scale="none")
    np.testing.assert_array_equal(u["diff"][:, 1], u["mean"][:, 2] - u["mean"][:, 0])
    for k in ("pooled_mean", "pooled_var", "p_mean", "p_joint", "p_mean_mcse", "p_joint_mcse",
              "rhat", "ess", "rhat_flag", "status"):
        assert r[k].shape == (28,)
    assert np.all((r["p_mean"] >= 0) & (r["p_mean"] <= 1))
    assert np.all((r["p_joint"] >= 0) & (r["p_joint"] <= 1))
    assert np.all(r["var"] > 0)
    assert "pooled_mean" not in run(seed=5)
    assert "q_mean" not in run(seed=5, permutations=0)
    # 28 rows: the automatic count is 16 null analyses, the default.
    assert r["permutations"] == 16 and run(seed=5, permutations=3)["permutations"] == 3
    same(r, run(seed=5, pooled=True, permutations="auto"))
    assert np.all(r["score_mean"] >= 0) and np.all((r["q_mean"] >= 0) & (r["q_mean"] <= 1))


def test_seeds():
    same(run(seed=3), run(seed=3))
    assert not np.array_equal(run(seed=1)["mean"], run(seed=2)["mean"])
    random.seed(11)
    a = run()
    random.seed(11)
    same(a, run())


# The same problem in other forms gives the same bits.
FORMS = {
    "fortran": lambda: run(np.asfortranarray(X), seed=9),
    "strided": lambda: run(np.repeat(X, 2, axis=1)[::1, ::2], seed=9),
    "reversed_view": lambda: run(X[::-1][::-1], seed=9),
    "interleaved": lambda: run(X[:, [0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11]],
                               [G[i] for i in [0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11]], seed=9),
    "label_array": lambda: run(groups=np.array(G), seed=9),
    "threads": lambda: run(seed=9, threads=2),
    "all_cores": lambda: run(seed=9, threads=0),
    "one_thread": lambda: run(seed=9, threads=1),
    "three_threads": lambda: run(seed=9, threads=3, chains=4),
    "numpy_ints": lambda: run(seed=np.uint64(9), burn=np.int16(30), keep=np.int64(40)),
}


@pytest.mark.parametrize("form", sorted(FORMS))
def test_forms(form):
    same(FORMS[form](), run(seed=9))


@pytest.mark.parametrize("dtype", [np.int8, np.int16, np.int32, np.int64, np.uint16, np.float32])
def test_dtypes(dtype):
    data = np.round(np.abs(X) * 5)  # whole numbers from 0 to 80: exact in every dtype here
    same(run(data.astype(dtype), seed=4), run(data, seed=4))


def test_two_groups():
    r = run(X[:, :8], G[:8], seed=4)
    assert not np.any(np.isnan(r["p_mean"]))
    assert not np.any(np.isnan(r["p_joint"]))
    assert np.all((r["p_joint"] >= 0) & (r["p_joint"] <= 1))


class _Categorical:
    """The two attributes of a pandas Categorical that kestrum reads."""

    def __init__(self, categories, codes):
        self.categories = categories
        self.codes = np.array(codes)


def test_labels_are_their_printed_names():
    # Python counts 1 == 1.0 == True but "1" != 1: the groups follow the
    # names instead, so no two groups share a name.
    mixed = ["1", "1", 1, 1, 2.0, 2.0, 2, 2, True, True, "True", "True"]
    names = [str(g) for g in mixed]
    r = run(groups=mixed, seed=4)
    assert r["groups"] == ["1", "2.0", "2", "True"]
    same(r, run(groups=names, seed=4))
    same(r, run(groups=np.array(mixed, dtype=object), seed=4))
    cat = _Categorical(["1", 1, 2.0, 2, True, "True"], [0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5])
    same(r, run(groups=cat, seed=4))


BAD = {
    "nan": (lambda: run(np.where(np.arange(X.size).reshape(X.shape) == 5, np.nan, X), na="fail"),
            ValueError),
    "inf": (lambda: run(X * np.inf), ValueError),
    "one_d": (lambda: run(X[0]), ValueError),
    "text": (lambda: run(X.astype(str)), TypeError),
    "bool": (lambda: run(X > 7), TypeError),
    "no_rows": (lambda: run(X[:0]), ValueError),
    "labels": (lambda: run(groups=G[1:]), ValueError),
    "none_label": (lambda: run(groups=[None] + G[1:]), ValueError),
    "small_group": (lambda: run(groups=["z"] + G[1:]), ValueError),
    "one_group": (lambda: run(groups=["a"] * 12), ValueError),
    "keep": (lambda: run(keep=1), ValueError),
    "burn": (lambda: run(burn=-1), ValueError),
    "fraction": (lambda: run(burn=1.5), TypeError),
    "seed": (lambda: run(seed=-1), ValueError),
    "zero_seed": (lambda: run(seed=0), ValueError),
    "big_seed": (lambda: run(seed=2**31), ValueError),
    "chains": (lambda: run(chains=0), ValueError),
    "scale_word": (lambda: run(scale="robust"), ValueError),
    "scale_zero": (lambda: run(scale=0.0), ValueError),
    "scale_huge": (lambda: run(scale=1e200), ValueError),
    "scale_none_object": (lambda: run(scale=None), TypeError),
    "na": (lambda: run(na="drop"), ValueError),
    "overflow_fail": (lambda: run(np.where(np.arange(X.size).reshape(X.shape) == 5, 1e300, X),
                                  na="fail"), ValueError),
    "memory_budget": (lambda: run(memory_budget=1000), ValueError),
    "cancel": (lambda: run(cancel=object()), TypeError),
    "draws": (lambda: run(draws=1), TypeError),
    "threads": (lambda: run(threads=-2), ValueError),
    "effvar": (lambda: run(effvar=[1.0, 2.0, 3.0]), ValueError),
    "hrate": (lambda: run(hrate=-1.0), ValueError),
    "mvar": (lambda: run(mvar=0.0), ValueError),
    "pooled": (lambda: run(pooled="yes"), TypeError),
    "permutations": (lambda: run(permutations="Auto"), ValueError),
}


def test_rows_with_a_group_of_equal_values():
    # Rows 3 and 7 get a group of equal values: they are left out with a
    # warning, and the other rows get the results of a run without them.
    x = X.copy()
    x[2, 4:8] = 0.0
    x[6, 0:4] = 7.5
    with pytest.warns(kestrumr.RowsLeftOutWarning, match=r"2 rows left out.*equal values.*rows 3, 7"):
        r = run(x, seed=3)
    keep = [g for g in range(len(x)) if g not in (2, 6)]
    s = run(x[keep], seed=3)
    assert list(r["status"][[2, 6]]) == ["no_spread", "no_spread"]
    for k in ("mean", "var", "diff", "p_mean", "p_joint"):
        assert np.all(np.isnan(r[k][[2, 6]])), k
        np.testing.assert_array_equal(r[k][keep], s[k], err_msg=k)
    with pytest.raises(ValueError, match="no row left to analyse"):
        run(x[[2, 6]], seed=3)


def test_rows_whose_draws_become_non_finite():
    # Group b's spread is 1e-24 of group a's variance: the row's draws
    # become NaN, which must not read as frequencies of 0.
    with pytest.warns(kestrumr.NotFiniteWarning, match=r"draws of 1 row became non-finite"):
        r = kestrumr.kestrum([[1.0, 0.0, 0.0, 0.0, 0.0, 1e-12]], ["a"] * 2 + ["b"] * 4,
                             burn=1000, keep=50, seed=1)
    assert list(r["status"]) == ["not_finite"]
    for k in ("mean", "var", "p_mean", "p_joint"):
        assert np.all(np.isnan(r[k])), k


@pytest.mark.parametrize("case", sorted(BAD))
def test_bad_input(case):
    call, error = BAD[case]
    with pytest.raises(error):
        call()


def test_threads_at_once():
    # Runs in several Python threads at the same time, each on a session of
    # its own, give what they give one after the other.
    want = {s: run(seed=s) for s in range(1, 5)}
    got = {}

    def work(s):
        got[s] = run(seed=s)

    threads = [threading.Thread(target=work, args=(s,)) for s in want for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for s in want:
        same(got[s], want[s])


def test_keyboard_interrupt():
    # SIGINT a second after the start stops the run (which would otherwise
    # take minutes); the signal handler in place before is back afterwards.
    before = signal.getsignal(signal.SIGINT)
    timer = threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            run(burn=2_000_000, keep=10, seed=1)
    finally:
        timer.cancel()
    assert signal.getsignal(signal.SIGINT) is before
    run(seed=1)  # the next run goes on as usual


def write_tsv(path, x, names=None):
    """x as the front end reads it: a header, row names, each value's exact
    decimal text."""
    with open(path, "w") as f:
        f.write("row\t" + "\t".join("%s%d" % (g, i % 4 + 1) for i, g in enumerate(G)) + "\n")
        for i, row in enumerate(x):
            name = names[i] if names is not None else "r%d" % i
            f.write(name + "\t" + "\t".join(repr(float(v)) for v in row) + "\n")


def front_end(tmp_path, x, *options):
    """The front end's table for x: {column name: float64 array}."""
    inp, out = tmp_path / "in.tsv", tmp_path / "out.tsv"
    write_tsv(inp, x)
    subprocess.run([CLI, "--groups", "4,4,4", "--digits", "17", "--sort", "none", "-o", str(out)]
                   + list(options) + [str(inp)], check=True, stderr=subprocess.DEVNULL)
    lines = [line.rstrip("\n").split("\t") for line in open(out)]
    return {name: np.array([float(row[c]) if row[c] not in ("", "nan") else math.nan
                            for row in lines[1:]])
            for c, name in enumerate(lines[0]) if c > 0}


def by_name(r):
    """A result dict's columns under the front end's names."""
    names = r["groups"]
    cols = {}
    for key in ("mean", "var"):
        for j, g in enumerate(names):
            cols[key + "_" + g] = r[key][:, j]
    if "pooled_mean" in r:
        cols["pooled_mean"], cols["pooled_var"] = r["pooled_mean"], r["pooled_var"]
    for key in ("diff", "lo", "hi"):
        for j, g in enumerate(names[1:]):
            cols[key + "_" + g] = r[key][:, j]
    for key in ("p_mean", "p_mean_mcse", "p_joint", "p_joint_mcse", "rhat", "ess", "rhat_flag",
                "score_mean", "score_joint", "q_mean", "q_joint"):
        if key in r:
            cols[key] = r[key]
    return cols


def calls(r):
    """Null rows and true rows called (p > 0.5) in the full example."""
    return ((r["p_mean"][:240] > 0.5).sum(), (r["p_mean"][240:270] > 0.5).sum(),
            (r["p_joint"][270:] > 0.5).sum())


@needs_cli
def test_defaults_equal_command_line(tmp_path):
    # At the defaults (4 chains, scale auto, burn 1000, keep 1000) every
    # column is the front end's, bit for bit, on the example times 1, 10 and
    # 1000; and standardisation makes the calls the same at every scale.
    counts = {}
    for factor in (1, 10, 1000):
        x = FULL * factor
        want = front_end(tmp_path, x, "--seed", "4711")
        r = kestrumr.kestrum(x, G, seed=4711)
        ours = by_name(r)
        assert list(ours) == list(want)  # the front end's columns, in its order
        for name in want:
            np.testing.assert_array_equal(ours[name], want[name], err_msg="%s x%d" % (name, factor))
        counts[factor] = calls(r)
    assert counts[1] == counts[10] == counts[1000]
    assert counts[1][1] >= 25 and counts[1][0] <= 30  # the true rows are found


@needs_cli
def test_equals_command_line(tmp_path):
    # One chain on the data as they are, without stored draws: the columns
    # of kestrum_'s outputs, from either start.
    for start in ("data", "fixed"):
        want = front_end(tmp_path, X, "--seed", "12345", "--burn", "30", "--keep", "40", "--pooled",
                         "--chains", "1", "--scale", "none", "--start", start, "--columns", "basic")
        r = run(seed=12345, pooled=True, chains=1, scale="none", draws=False, start=start)
        ours = by_name(r)
        assert sorted(want) == sorted(k for k in ours if not k.startswith(("lo_", "hi_", "diff_"))
                                      and k not in ("p_mean_mcse", "p_joint_mcse", "rhat", "ess",
                                                    "rhat_flag", "score_mean", "score_joint",
                                                    "q_mean", "q_joint"))
        for name in want:
            np.testing.assert_array_equal(ours[name], want[name], err_msg=name + " " + start)


@needs_cli
def test_list_at_fdr_equals_command_line(tmp_path):
    # The list at a chosen false-discovery rate: the front end's --fdr rows,
    # in its order, with its numbers.
    inp, out = tmp_path / "in.tsv", tmp_path / "out.tsv"
    write_tsv(inp, FULL)
    opts = ["--seed", "321", "--burn", "200", "--keep", "200"]
    subprocess.run([CLI, "--groups", "4,4,4", "--digits", "17", "--fdr", "0.1", "-o", str(out)] + opts
                   + [str(inp)], check=True, stderr=subprocess.DEVNULL)
    lines = [line.rstrip("\n").split("\t") for line in open(out)]
    r = kestrumr.kestrum(FULL, G, seed=321, burn=200, keep=200, fdr=0.1)
    assert len(lines) > 10  # the true rows are called
    assert [row[0] for row in lines[1:]] == ["r%d" % i for i in r["index"]]
    ours = by_name(r)
    for c, name in enumerate(lines[0][1:], start=1):
        np.testing.assert_array_equal(ours[name], [float(row[c]) for row in lines[1:]], err_msg=name)
    assert np.all(r["q_mean"] <= 0.1)


ROW_CASES = {"overflow": (1e300, "overflow"), "missing": (math.nan, "missing")}


@pytest.mark.parametrize("case", sorted(ROW_CASES))
def test_row_left_out(case):
    # A row that cannot be analysed is NaN with its status (never scored 0),
    # and the other rows get the results of a run without it.
    value, status = ROW_CASES[case]
    x = X.copy()
    x[5, 3] = value
    with pytest.warns(kestrumr.RowsLeftOutWarning, match="1 row .*left out.*rows 6$"):
        r = run(x, seed=3)
    s = run(np.delete(x, 5, axis=0), seed=3)
    assert r["status"][5] == status and np.all(np.delete(r["status"], 5) == "ok")
    assert r["scale"] == s["scale"]
    for k in ("acceptance", "traces"):
        np.testing.assert_array_equal(r[k], s[k], err_msg=k)
    for k, v in r.items():
        if isinstance(v, np.ndarray) and v.dtype == np.float64 and k not in ("acceptance", "traces"):
            assert np.all(np.isnan(v[5])), k
            np.testing.assert_array_equal(np.delete(v, 5, axis=0), s[k], err_msg=k)


def test_stuck_rate_warning():
    # Unscaled data of spread about 5 from the fixed start: the rate update
    # sticks at its start and says so; standardised, or started from the
    # data, it does not.
    with pytest.warns(kestrumr.StuckRateWarning, match="not to be trusted") as w:
        r = run(X * 10, seed=3, burn=100, scale="none", start="fixed")
    # One warning per chain and group that stuck, as the diagnostics say.
    stuck = [m.message for m in w if isinstance(m.message, kestrumr.StuckRateWarning)]
    assert sorted((m.chain, m.group) for m in stuck) == [tuple(i) for i in np.argwhere(r["stuck"])]
    assert r["stuck"].shape == r["acceptance"].shape == (4, 3)
    assert np.all(r["acceptance"][r["stuck"]] < 0.01)
    for options in ({"start": "fixed"}, {"scale": "none"}):
        with warnings.catch_warnings(record=True) as w:
            warnings.simplefilter("always")
            s = run(X * 10, seed=3, burn=100, **options)
        assert not [m for m in w if issubclass(m.category, kestrumr.StuckRateWarning)], options
        assert not s["stuck"].any() and np.all(s["acceptance"] >= 0.01), options
    with pytest.raises(ValueError, match="start"):
        run(seed=3, start="zero")


def test_warning_categories():
    # One category per kind, the text the library's: the scale note of a
    # standardised run, and none with scale="none".
    with pytest.warns(kestrumr.ScaleWarning) as w:
        r = run(seed=3)
    notes = [str(m.message) for m in w if issubclass(m.category, kestrumr.ScaleWarning)]
    assert notes == ["data divided by the scale %.6g (median over rows of the pooled "
                     "within-group sd); results are in the data's units" % r["scale"]]
    assert all(issubclass(m.category, kestrumr.KestrumrWarning) for m in w)
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        run(seed=3, scale="none")
    assert not [m for m in w if issubclass(m.category, kestrumr.ScaleWarning)]


def test_priors_given_are_in_the_data_units():
    # A prior left out is meant for the standardised data; one given is in
    # the data's units, divided by the scale squared: the run is then that
    # on standardised data with the converted priors.
    x = X * 10
    r = run(x, seed=3)
    s = run(x, seed=3, hrate=1.0, mvar=10000.0, effvar=[10000.0, 10000.0])
    assert not np.array_equal(r["p_mean"], s["p_mean"])
    sq = s["scale"] * s["scale"]
    t = run(x / s["scale"], seed=3, scale="none", hrate=1.0 / sq, mvar=10000.0 / sq,
            effvar=10000.0 / sq)
    for k in ("p_mean", "p_joint", "rhat"):
        np.testing.assert_array_equal(s[k], t[k], err_msg=k)


def test_pandas_in_and_out():
    pd = pytest.importorskip("pandas")
    names = ["row%d" % i for i in range(len(X))]
    df = pd.DataFrame(X, index=pd.Index(names, name="probe"),
                      columns=["%s%d" % (g, i % 4 + 1) for i, g in enumerate(G)])
    out = run(df, seed=7, pooled=True)
    r = run(X, seed=7, pooled=True)
    assert isinstance(out, pd.DataFrame)
    assert out.index.equals(df.index) and out.index.name == "probe"
    cols = by_name(r)
    assert list(out.columns) == list(cols) + ["status"]
    for name, v in cols.items():
        np.testing.assert_array_equal(out[name].to_numpy(), v, err_msg=name)
    assert list(out["status"]) == list(r["status"])
    assert out.attrs["groups"] == ["a", "b", "c"] and out.attrs["scale"] == r["scale"]
    # pandas' own missing value in a nullable column is a missing value.
    nullable = df.astype("Float64")
    nullable.iloc[2, 1] = pd.NA
    out = run(nullable, seed=7)
    assert out["status"].iloc[2] == "missing" and np.isnan(out["p_mean"].iloc[2])
    with pytest.raises(TypeError):
        run(df.assign(a1=df["a1"].astype(str)))
    # A categorical Series keeps its category order: the first is the reference.
    out = run(df, pd.Series(pd.Categorical(G, categories=["c", "a", "b"])), seed=7)
    assert out.attrs["groups"] == ["c", "a", "b"] and "diff_a" in out.columns


def test_cancel_from_another_thread():
    # A run that would take minutes, started in a worker thread, stops soon
    # after the event is set.
    event = threading.Event()
    got = []

    def work():
        try:
            run(burn=2_000_000, keep=10, seed=1, cancel=event)
            got.append("finished")
        except kestrumr.Cancelled:
            got.append("cancelled")

    t = threading.Thread(target=work)
    t.start()
    time.sleep(0.5)
    event.set()
    t.join(60)
    assert not t.is_alive() and got == ["cancelled"]
    with pytest.raises(kestrumr.Cancelled):
        run(seed=1, cancel=event)  # set before: nothing runs
    event.clear()
    run(seed=1, cancel=event)  # not set: the run goes on as usual
