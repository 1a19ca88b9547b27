# plot() for a kestrum result, in base graphics: a volcano plot (effect
# against evidence), an MA plot (effect against mean level) and the rate
# traces per chain and group.  Each returns invisibly what it drew.

plot.kestrum <- function(x, type = c("volcano", "ma", "trace"), group = 2L,
                         called = NULL, fdr = attr(x, "fdr"),
                         col = c("grey45", "firebrick"), pch = 20, main = NULL,
                         legend = TRUE, ...) {
    type <- match.arg(type)
    if (type == "trace")
        return(invisible(plot_traces(x, main = main, col = if (missing(col)) NULL else col, ...)))

    effect <- effect_column(x, group)
    marks <- called_rows(x, called, fdr)
    if (type == "volcano") {
        ev <- evidence(x)
        xs <- x[[effect]]
        ys <- ev$y
        xlab <- sprintf("%s (%s - %s)", effect, sub("^diff_", "", effect), reference_group(x))
        ylab <- ev$label
    } else {
        means <- as.matrix(x[grep("^mean_", names(x))])
        xs <- rowMeans(means)
        ys <- x[[effect]]
        xlab <- "mean level (average of the group means)"
        ylab <- sprintf("%s (%s - %s)", effect, sub("^diff_", "", effect), reference_group(x))
    }
    ok <- is.finite(xs) & is.finite(ys)
    if (!any(ok)) stop("'x' has no row with results to plot")
    drawn <- data.frame(x = xs[ok], y = ys[ok], called = marks$called[ok],
                        row.names = rownames(x)[ok])
    if (is.null(main)) main <- if (type == "volcano") "volcano plot" else "MA plot"
    col <- rep_len(col, 2L)
    plot(drawn$x, drawn$y, type = "n", xlab = xlab, ylab = ylab, main = main, ...)
    if (type == "ma") abline(h = 0, col = "grey70")
    if (type == "volcano") abline(v = 0, col = "grey70")
    ## A row at the cap of the evidence axis (every draw beyond the
    ## threshold) is drawn as a triangle: its evidence is at least that.
    shape <- rep(pch, nrow(drawn))
    if (type == "volcano" && any(ev$capped[ok])) shape[ev$capped[ok]] <- 17
    rest <- !drawn$called
    points(drawn$x[rest], drawn$y[rest], col = col[1L], pch = shape[rest])
    points(drawn$x[!rest], drawn$y[!rest], col = col[2L], pch = shape[!rest])
    if (isTRUE(legend) && !is.null(marks$text))
        legend("topleft", bty = "n", pch = pch, col = rev(col),
                         legend = c(sprintf("%s (%d)", marks$text, sum(drawn$called)),
                                    sprintf("others (%d)", sum(rest))))
    invisible(drawn)
}

## The diff_ column of a group after the first (its index in the groups or
## its name).
effect_column <- function(x, group) {
    diffs <- grep("^diff_", names(x), value = TRUE)
    if (!length(diffs)) stop("'x' holds no diff_ column")
    levs <- c(reference_group(x), sub("^diff_", "", diffs))
    if (is.numeric(group) && length(group) == 1L && group %in% seq_along(levs)[-1L])
        return(diffs[group - 1L])
    if (is.character(group) && length(group) == 1L && group %in% levs[-1L])
        return(paste0("diff_", group))
    stop(sprintf("'group' must name a group after the first (%s) or be its number 2 to %d",
                 paste(sQuote(levs[-1L]), collapse = ", "), length(levs)))
}

reference_group <- function(x) {
    means <- sub("^mean_", "", grep("^mean_", names(x), value = TRUE))
    diffs <- sub("^diff_", "", grep("^diff_", names(x), value = TRUE))
    ref <- setdiff(means, diffs)
    if (length(ref) == 1L) ref else "reference"
}

## The evidence axis: the score of the mean difference when the result has
## it; else -log10(1 - p_mean), whose rows with p_mean = 1 are put at half
## the smallest positive 1 - p_mean (p_mean is a share of draws, so 1 only
## says that no draw fell short of the threshold).
evidence <- function(x) {
    if (is.numeric(x$score_mean))
        return(list(y = x$score_mean, label = "score_mean",
                    capped = rep(FALSE, nrow(x))))
    if (!is.numeric(x$p_mean)) stop("'x' holds neither score_mean nor p_mean")
    tail <- 1 - x$p_mean
    positive <- tail[is.finite(tail) & tail > 0]
    floor <- if (length(positive)) min(positive) / 2 else 1e-3
    list(y = -log10(pmax(tail, floor)), label = "-log10(1 - p_mean)",
         capped = is.finite(tail) & tail < floor)
}

## The rows to mark: 'called' when given (a logical per row, NA counts as
## not called); else those with q_mean <= fdr when the result has q_mean and
## an FDR level; else none.
called_rows <- function(x, called, fdr) {
    if (!is.null(called)) {
        if (!is.logical(called) || length(called) != nrow(x))
            stop(sprintf("'called' must be NULL or %d logical values (one per row)", nrow(x)))
        return(list(called = called & !is.na(called), text = "called"))
    }
    if (is.numeric(x$q_mean) && is.numeric(fdr) && length(fdr) == 1L && is.finite(fdr)) {
        q <- x$q_mean
        return(list(called = !is.na(q) & q <= fdr,
                    text = sprintf("q_mean <= %s", format(fdr))))
    }
    list(called = rep(FALSE, nrow(x)), text = NULL)
}

## The rate traces, one panel per group, one line per chain, the end of the
## burn-in a dashed line.  Returns the traces drawn.
plot_traces <- function(x, main = NULL, log = "y", col = NULL, ...) {
    traces <- attr(x, "traces")
    if (is.null(traces))
        stop("'x' holds no rate traces (they did not fit the memory budget, ",
             "or the result is not a whole result of kestrum())")
    burn <- attr(traces, "burn")
    J <- dim(traces)[2L]
    C <- dim(traces)[3L]
    if (is.null(col)) col <- grDevices::hcl.colors(max(C, 2L), "Dark 3")[seq_len(C)]
    old <- par(mfrow = grDevices::n2mfrow(J))
    on.exit(par(old))
    for (j in seq_len(J)) {
        rates <- traces[, j, , drop = FALSE]
        dim(rates) <- dim(traces)[-2L]
        title <- if (is.null(main)) sprintf("rate of group %s", dimnames(traces)[[2L]][j])
                 else rep_len(main, J)[j]
        matplot(seq_len(nrow(rates)), rates, type = "l", lty = 1, col = col, log = log,
                xlab = "iteration", ylab = "rate (data units)", main = title, ...)
        if (burn > 0) abline(v = burn + 0.5, lty = 2, col = "grey40")
        if (j == 1L && C > 1L)
            legend("topright", bty = "n", lty = 1, col = col,
                             legend = paste("chain", seq_len(C)), cex = 0.8)
    }
    traces
}
