"""Pictures of a kestrum() result with matplotlib (an optional dependency,
imported only when a picture is drawn): a volcano plot (effect against
evidence), an MA plot (effect against mean level) and the rate traces per
chain and group.

Each function takes the dict or the pandas DataFrame kestrum() returns.
The volcano and MA plots draw two scatter collections on the Axes, the rows
not called first and the rows called second, and return the Axes; the
traces return the Figure (one Axes per group).
"""
import numpy as np

__all__ = ["plot_volcano", "plot_ma", "plot_traces"]


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError as e:
        raise ImportError("kestrumr: the plots need matplotlib (pip install 'kestrumr[plot]', "
                          "or Debian's python3-matplotlib)") from e
    return plt


def _is_frame(result):
    return hasattr(result, "columns") and hasattr(result, "attrs")


def _groups(result):
    return list(result.attrs["groups"] if _is_frame(result) else result["groups"])


def _meta(result, key, default=None):
    """A value the result carries beside its columns (attrs of a DataFrame,
    a key of the dict)."""
    if _is_frame(result):
        return result.attrs.get(key, default)
    return result.get(key, default)


def _column(result, key):
    """A per-row column as a float64 array, or None when the result lacks it."""
    if _is_frame(result):
        return result[key].to_numpy(dtype=np.float64) if key in result.columns else None
    return np.asarray(result[key], dtype=np.float64) if key in result else None


def _effect(result, group):
    """The difference of group `group` (its 0-based index after the first, or
    its name) from the reference group, and its label."""
    names = _groups(result)
    if isinstance(group, str):
        if group not in names[1:]:
            raise ValueError("group must name a group after the first (%s), not %r"
                             % (", ".join(names[1:]), group))
        j = names.index(group)
    else:
        j = int(group)
        if not 1 <= j < len(names) or j != group:
            raise ValueError("group must be a group index from 1 to %d, or a name, not %r"
                             % (len(names) - 1, group))
    if _is_frame(result):
        values = result["diff_" + names[j]].to_numpy(dtype=np.float64)
    else:
        values = np.asarray(result["diff"], dtype=np.float64)[:, j - 1]
    return values, "diff_%s (%s - %s)" % (names[j], names[j], names[0])


def _evidence(result):
    """The evidence axis: the score of the mean difference when the result
    has it; else -log10(1 - p_mean), where p_mean = 1 (no draw short of the
    threshold) is put at half the smallest positive 1 - p_mean.  Also which
    rows sit at that cap."""
    score = _column(result, "score_mean")
    if score is not None:
        return score, "score_mean", np.zeros(score.shape, dtype=bool)
    tail = 1.0 - _column(result, "p_mean")
    with np.errstate(invalid="ignore"):
        positive = tail[np.isfinite(tail) & (tail > 0)]
        floor = positive.min() / 2 if positive.size else 1e-3
        capped = np.isfinite(tail) & (tail < floor)
        return -np.log10(np.fmax(tail, floor)), "-log10(1 - p_mean)", capped


def _called(result, called, fdr):
    """The rows to mark and the legend's text for them: `called` when given
    (one bool per row); else q_mean <= fdr when the result has q_mean and an
    FDR level (fdr given, or the result's own); else none (text None)."""
    n = len(_column(result, "p_mean"))
    if called is not None:
        c = np.asarray(called)
        if c.dtype != np.bool_ or c.shape != (n,):
            raise ValueError("called must be None or %d bools (one per row)" % n)
        return c, "called"
    if fdr is None:
        fdr = _meta(result, "fdr")
    q = _column(result, "q_mean")
    if q is not None and fdr is not None and np.isfinite(fdr):
        with np.errstate(invalid="ignore"):
            return q <= fdr, "q_mean <= %g" % fdr
    return np.zeros(n, dtype=bool), None


def _scatter(ax, xs, ys, called, text, markers, colors, title, xlabel, ylabel, legend, kw):
    ok = np.isfinite(xs) & np.isfinite(ys)
    if not ok.any():
        raise ValueError("the result has no row with results to plot")
    style = {"s": 10}
    style.update(kw)
    for mark, color, label in ((False, colors[0], "others"), (True, colors[1], text)):
        rows = ok & (called == mark)
        coll = ax.scatter(xs[rows], ys[rows], color=color,
                          label=None if text is None else "%s (%d)" % (label, rows.sum()),
                          **style)
        if markers[rows].any():
            # A row at the cap of the evidence axis is a triangle (its
            # evidence is at least that): one path per point, so each set
            # of rows stays one collection.
            circle, triangle = _marker_path("o"), _marker_path("^")
            coll.set_paths([triangle if m else circle for m in markers[rows]])
    ax.set_title(title)
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    if legend and text is not None:
        ax.legend(loc="upper left", frameon=False)
    return ax


def _marker_path(marker):
    from matplotlib.markers import MarkerStyle
    style = MarkerStyle(marker)
    return style.get_path().transformed(style.get_transform())


def _axes(ax):
    if ax is None:
        _, ax = _pyplot().subplots()
    else:
        _pyplot()
    return ax


def plot_volcano(result, ax=None, group=1, called=None, fdr=None,
                 colors=("0.45", "firebrick"), legend=True, title="volcano plot", **kw):
    """Effect (the difference of a group's mean from the reference group's,
    diff) against evidence: the column score_mean when the result has it,
    else -log10(1 - p_mean) with rows of p_mean = 1 drawn as triangles at
    half the smallest positive 1 - p_mean.

    group: the group after the first, by 0-based index (default 1, the
    second group) or name.  called: one bool per row, the rows to mark in
    the second colour; by default those with q_mean <= fdr when the result
    has q_mean and an FDR level (fdr, or the result's own), else none.
    ax: the Axes to draw on (None: a new figure); further keywords go to
    Axes.scatter.
    Returns the Axes: its first scatter collection holds the rows not
    called, the second those called (rows without results are not drawn).
    """
    ax = _axes(ax)
    xs, xlabel = _effect(result, group)
    ys, ylabel, capped = _evidence(result)
    marks, text = _called(result, called, fdr)
    return _scatter(ax, xs, ys, marks, text, capped, colors, title, xlabel, ylabel, legend, kw)


def plot_ma(result, ax=None, group=1, called=None, fdr=None,
            colors=("0.45", "firebrick"), legend=True, title="MA plot", **kw):
    """Effect (diff, as in plot_volcano) against mean level (the average of
    the posterior group means), the called rows marked as in plot_volcano.
    Returns the Axes (first scatter collection: rows not called; second:
    rows called)."""
    ax = _axes(ax)
    ys, ylabel = _effect(result, group)
    names = _groups(result)
    if _is_frame(result):
        means = result[["mean_" + g for g in names]].to_numpy(dtype=np.float64)
    else:
        means = np.asarray(result["mean"], dtype=np.float64)
    xs = means.mean(axis=1)
    marks, text = _called(result, called, fdr)
    ax.axhline(0.0, color="0.7", linewidth=0.8)
    return _scatter(ax, xs, ys, marks, text, np.zeros(xs.shape, dtype=bool), colors, title,
                    "mean level (average of the group means)", ylabel, legend, kw)


def plot_traces(result, fig=None, log=True):
    """The rate of each group after every iteration, one Axes per group,
    one line per chain, the end of the burn-in a dashed vertical line (log
    scale unless log=False).  fig: the Figure to draw on (None: a new one).
    Returns the Figure."""
    plt = _pyplot()
    from matplotlib.ticker import LogFormatter

    class Plain(LogFormatter):
        # LogFormatter chooses the ticks to label; the label is "%g".
        def _num_to_string(self, x, vmin, vmax):
            return "%g" % x

    traces = np.asarray(_meta(result, "traces"), dtype=np.float64)
    if traces.ndim != 3 or traces.shape[1] == 0:
        raise ValueError("the result holds no rate traces (they did not fit the memory budget)")
    burn = int(_meta(result, "burn", 0))
    names = _groups(result)
    chains, iterations, groups = traces.shape
    if fig is None:
        fig = plt.figure(figsize=(4.0 * min(groups, 3), 3.0 * ((groups + 2) // 3)),
                         constrained_layout=True)
    axes = fig.subplots(nrows=(groups + 2) // 3, ncols=min(groups, 3), squeeze=False).ravel()
    t = np.arange(1, iterations + 1)
    for j in range(groups):
        ax = axes[j]
        for c in range(chains):
            ax.plot(t, traces[c, :, j], linewidth=0.7, label="chain %d" % (c + 1))
        if burn > 0:
            ax.axvline(burn + 0.5, color="0.4", linestyle="--", linewidth=0.8)
        if log:
            # Rates as plain numbers (0.4, not 4 x 10^-1), minor ticks too
            # when the axis spans less than a decade or two.
            ax.set_yscale("log")
            ax.yaxis.set_major_formatter(Plain())
            ax.yaxis.set_minor_formatter(Plain(labelOnlyBase=False))
        ax.set_title("rate of group %s" % names[j])
        ax.set_xlabel("iteration")
        ax.set_ylabel("rate (data units)")
        if j == 0 and chains > 1:
            ax.legend(loc="upper right", frameon=False, fontsize="small")
    for ax in axes[groups:]:
        ax.set_visible(False)
    return fig
