import importlib.metadata
import os
import random
import signal
import subprocess
import threading

import numpy as np
import pytest

import kestrumr

ROOT = os.environ.get("KESTRUMR_SOURCE_DIR",
                      os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLE = os.path.join(ROOT, "examples", "example.tsv")
ROWS = list(range(12)) + list(range(240, 248)) + list(range(270, 278))
X = np.loadtxt(EXAMPLE, skiprows=1, usecols=range(1, 13))[ROWS]
G = ["a"] * 4 + ["b"] * 4 + ["c"] * 4


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
    # The installed package's version is the library's: both come from the
    # version macros of the library's session header.
    assert kestrumr.__version__ == kestrumr.version() == importlib.metadata.version("kestrumr")
    assert r["mean"].shape == r["var"].shape == (28, 3)
    assert r["diff"].shape == (28, 2)
    np.testing.assert_array_equal(r["diff"][:, 1], r["mean"][:, 2] - r["mean"][:, 0])
    for k in ("pooled_mean", "pooled_var", "p_mean", "p_joint"):
        assert r[k].shape == (28,)
    assert np.all((r["p_mean"] >= 0) & (r["p_mean"] <= 1))
    assert np.all((r["p_joint"] >= 0) & (r["p_joint"] <= 1))
    assert np.all(r["var"] > 0)
    assert "pooled_mean" not in run(seed=5)


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
    "nan": (lambda: run(np.where(np.arange(X.size).reshape(X.shape) == 5, np.nan, X)), ValueError),
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
    "big_seed": (lambda: run(seed=2**64), ValueError),
    "threads": (lambda: run(threads=-2), ValueError),
    "effvar": (lambda: run(effvar=[1.0, 2.0, 3.0]), ValueError),
    "hrate": (lambda: run(hrate=-1.0), ValueError),
    "mvar": (lambda: run(mvar=0.0), ValueError),
    "pooled": (lambda: run(pooled="yes"), TypeError),
}


def test_rows_with_a_group_of_equal_values():
    # Rows 3 and 7 get a group of equal values: they are left out with a
    # warning, and the other rows get the results of a run without them.
    x = X.copy()
    x[2, 4:8] = 0.0
    x[6, 0:4] = 7.5
    with pytest.warns(kestrumr.KestrumrWarning, match=r"(?s)2 rows left out.*all equal.*: 3, 7"):
        r = run(x, seed=3)
    keep = [g for g in range(len(x)) if g not in (2, 6)]
    s = run(x[keep], seed=3)
    for k in ("mean", "var", "diff", "p_mean", "p_joint"):
        assert np.all(np.isnan(r[k][[2, 6]])), k
        np.testing.assert_array_equal(r[k][keep], s[k], err_msg=k)
    with pytest.raises(ValueError, match="every row has a group whose values are all equal"):
        run(x[[2, 6]], seed=3)


def test_rows_whose_draws_become_non_finite():
    # Group b's spread is 1e-24 of group a's variance: the row's draws
    # become NaN, which must not read as frequencies of 0.
    with pytest.warns(kestrumr.KestrumrWarning, match=r"(?s)draws of 1 row became non-finite"):
        r = kestrumr.kestrum([[1.0, 0.0, 0.0, 0.0, 0.0, 1e-12]], ["a"] * 2 + ["b"] * 4,
                             burn=1000, keep=50, seed=1)
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


@pytest.mark.skipif(not os.environ.get("KESTRUM_CLI"), reason="KESTRUM_CLI (the front end) not given")
def test_equals_command_line(tmp_path):
    inp, out = tmp_path / "in.tsv", tmp_path / "out.tsv"
    with open(inp, "w") as f:
        for i, row in enumerate(X):
            f.write("r%d\t" % i + "\t".join(repr(float(v)) for v in row) + "\n")
    subprocess.run([os.environ["KESTRUM_CLI"], "--seed", "12345", "--burn", "30", "--keep", "40",
                    "--pooled", "--labels", ",".join(G), "--digits", "17", "--chains", "1",
                    "--scale", "none", "--sort", "none", "--columns", "basic", "-o", str(out),
                    str(inp)], check=True)
    lines = [line.rstrip("\n").split("\t") for line in open(out)]
    header, body = lines[0], lines[1:]
    r = run(seed=12345, pooled=True)
    ours = {"pooled_mean": r["pooled_mean"], "pooled_var": r["pooled_var"],
            "p_mean": r["p_mean"], "p_joint": r["p_joint"]}
    for j, name in enumerate(r["groups"]):
        ours["mean_" + name] = r["mean"][:, j]
        ours["var_" + name] = r["var"][:, j]
    assert sorted(header[1:]) == sorted(ours)
    for c, name in enumerate(header[1:], start=1):
        # The exact decimal text of each double (17 digits).
        assert ["%.17g" % v for v in ours[name]] == [row[c] for row in body], name
