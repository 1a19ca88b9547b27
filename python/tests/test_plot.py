import os
import sys

import numpy as np
import pytest

import kestrumr

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")  # no display: draw into files

ROOT = os.environ.get("KESTRUMR_SOURCE_DIR",
                      os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLE = os.path.join(ROOT, "examples", "example.tsv")
X = np.loadtxt(EXAMPLE, skiprows=1, usecols=range(1, 13))[::10]  # 30 rows, every kind
X[4, 2] = np.nan  # a row without results is not drawn
G = ["a"] * 4 + ["b"] * 4 + ["c"] * 4
BURN, KEEP = 30, 40


@pytest.fixture(scope="module")
def fit():
    with pytest.warns(kestrumr.RowsLeftOutWarning):
        return kestrumr.kestrum(X, G, burn=BURN, keep=KEEP, seed=6)


def saved(target, path):
    (target.figure if hasattr(target, "figure") else target).savefig(path)
    assert os.path.getsize(path) > 0


def counts(ax):
    """Points drawn per scatter collection (rows not called, rows called)."""
    return [len(c.get_offsets()) for c in ax.collections]


@pytest.mark.parametrize("plot", [kestrumr.plot_volcano, kestrumr.plot_ma])
def test_scatter_plots(fit, plot, tmp_path):
    # Every row with results is one point, none called without q_mean; the
    # effect is the chosen group's difference.
    ax = plot(fit, group="c")
    saved(ax, tmp_path / "plot.png")
    assert counts(ax) == [len(X) - 1, 0]
    drawn = ax.collections[0].get_offsets()
    effect = drawn[:, 0] if plot is kestrumr.plot_volcano else drawn[:, 1]
    np.testing.assert_array_equal(effect, np.delete(fit["diff"][:, 1], 4))


def test_volcano_evidence_axis(fit):
    # Without a score column -log10(1 - p_mean), rows of p_mean = 1 at half
    # the smallest positive 1 - p_mean; the score column when the result
    # has one.
    tail = np.delete(1 - fit["p_mean"], 4)
    floor = tail[tail > 0].min() / 2
    ax = kestrumr.plot_volcano({k: v for k, v in fit.items() if k != "score_mean"})
    np.testing.assert_allclose(ax.collections[0].get_offsets()[:, 1],
                               -np.log10(np.fmax(tail, floor)))
    scored = dict(fit, score_mean=np.arange(len(X), dtype=float))
    ax = kestrumr.plot_volcano(scored)
    np.testing.assert_array_equal(ax.collections[0].get_offsets()[:, 1],
                                  np.delete(scored["score_mean"], 4))


MARKS = {
    # the rows given as called
    "called": lambda f: ({"called": np.arange(len(X)) % 3 == 0}, np.arange(len(X)) % 3 == 0),
    # q_mean <= the result's FDR level, and a level given instead
    "q_mean": lambda f: ({}, f["q_mean"] <= 0.1),
    "fdr": lambda f: ({"fdr": 0.3}, f["q_mean"] <= 0.3),
}


@pytest.mark.parametrize("case", sorted(MARKS))
@pytest.mark.parametrize("plot", [kestrumr.plot_volcano, kestrumr.plot_ma])
def test_called_rows_marked(fit, plot, case, tmp_path):
    q = np.linspace(0, 0.5, len(X))
    marked = dict(fit, q_mean=q, fdr=0.1)
    kw, want = MARKS[case](marked)
    ax = plot(marked, **kw)
    saved(ax, tmp_path / "plot.png")
    want = np.delete(want, 4)
    assert counts(ax) == [np.sum(~want), np.sum(want)]
    assert ax.get_legend() is not None


def test_traces(fit, tmp_path):
    # One panel per group, one line per chain over every iteration, the
    # end of the burn-in marked.
    fig = kestrumr.plot_traces(fit)
    saved(fig, tmp_path / "traces.png")
    panels = [ax for ax in fig.axes if ax.get_visible()]
    assert len(panels) == len(G) // 4
    for j, ax in enumerate(panels):
        lines = [ln for ln in ax.lines if len(ln.get_xdata()) == BURN + KEEP]
        assert len(lines) == 4
        np.testing.assert_array_equal(lines[2].get_ydata(), fit["traces"][2, :, j])
        assert any(list(ln.get_xdata()) == [BURN + 0.5] * 2 for ln in ax.lines)


def test_pandas_result_plots(tmp_path):
    pd = pytest.importorskip("pandas")
    df = pd.DataFrame(X[:, :8], columns=["%s%d" % (g, i) for i, g in enumerate(G[:8])])
    with pytest.warns(kestrumr.RowsLeftOutWarning):
        out = kestrumr.kestrum(df, G[:8], burn=BURN, keep=KEEP, seed=6)
    assert counts(kestrumr.plot_ma(out)) == [len(X) - 1, 0]
    # The traces go with the frame as pandas derives and combines frames.
    both = pd.concat([out, out.iloc[:3]])
    with pytest.warns(kestrumr.RowsLeftOutWarning):
        r = kestrumr.kestrum(X[:, :8], G[:8], burn=BURN, keep=KEEP, seed=6)
    np.testing.assert_array_equal(np.asarray(both.attrs["traces"]), r["traces"])
    assert len(kestrumr.plot_traces(both).axes) == 2


def test_list_at_fdr_plots(fit):
    # The list at a chosen false-discovery rate: every row drawn is called
    # at the list's own level, and the rate traces stay whole.
    with pytest.warns(kestrumr.RowsLeftOutWarning):
        listed = kestrumr.kestrum(X, G, burn=BURN, keep=KEEP, seed=6, fdr=0.5)
    n = len(listed["index"])
    assert n > 0
    assert counts(kestrumr.plot_volcano(listed)) == [0, n]
    np.testing.assert_array_equal(listed["traces"], fit["traces"])


def test_without_matplotlib(fit, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match="need matplotlib"):
        kestrumr.plot_volcano(fit)
