# kestrum(): the R front end of the library's analysis (the one the
# command-line front end runs, with its defaults).  The checks and the
# gathering of the columns happen here; src/kestrumr_r.c runs
# kestrumr_analyse on a session of its own with the prepared arrays.

kestrum <- function(x, groups, chains = 4, scale = "auto", burn = 1000, keep = 1000,
                    pooled = FALSE, seed = NULL, threads = getOption("kestrumr.threads", 0L),
                    hshape = NULL, hrate = NULL, mvar = NULL, effvar = NULL,
                    na = c("omit", "fail"), start = c("data", "fixed"),
                    sort.by = c("none", "score_mean", "score_joint", "p_mean", "p_joint", "diff"),
                    fdr = NULL, permutations = "auto", progress = interactive()) {
    ## The list at a chosen false-discovery rate is ordered by its evidence
    ## unless an order is asked for.
    if (!is.null(fdr) && missing(sort.by)) sort.by <- "score_mean"
    sort.by <- match.arg(sort.by)
    na <- match.arg(na)
    start <- match.arg(start)

    ## The data: a numeric matrix or a data.frame of numeric columns, rows =
    ## features, columns = observations; or a Bioconductor ExpressionSet
    ## (its exprs) or SummarizedExperiment (its first assay), whose sample
    ## table may name the column of the groups.
    bioc <- bioconductor_data(x, groups)
    if (!is.null(bioc)) {
        x <- bioc$x
        groups <- bioc$groups
    }
    if (is.data.frame(x)) {
        bad <- !vapply(x, function(col) is.numeric(col) && !is.factor(col), NA)
        if (any(bad))
            stop("column(s) ", paste(sQuote(names(x)[bad]), collapse = ", "),
                 " of 'x' are not numeric")
        rn <- if (.row_names_info(x) > 0L) rownames(x) else NULL
        x <- if (ncol(x)) as.matrix(x) else matrix(numeric(), nrow(x), 0L)
        rownames(x) <- rn
    }
    if (!is.matrix(x) || !is.numeric(x))
        stop("'x' must be a numeric matrix or a data.frame of numeric columns")
    if (nrow(x) < 1L) stop("'x' has no rows")
    ## NA/NaN (missing) and infinite values go to the library, which leaves
    ## their rows out (na = "omit") or stops (na = "fail").

    ## The groups: one label per column; the columns are gathered group by
    ## group.  A factor keeps its level order (its first level is the
    ## reference group); any other vector orders the groups by first
    ## appearance, as the command-line front end's --labels does.
    if (length(groups) != ncol(x))
        stop(sprintf("'groups' has %d labels but 'x' has %d columns",
                     length(groups), ncol(x)))
    if (anyNA(groups)) stop("'groups' holds NA")
    if (is.factor(groups)) {
        levs <- levels(groups)
        codes <- as.integer(groups)
    } else {
        if (!is.atomic(groups)) stop("'groups' must be a factor or a vector of labels")
        labels <- as.character(groups)
        levs <- unique(labels)
        codes <- match(labels, levs)
    }
    sizes <- tabulate(codes, length(levs))
    if (any(sizes < 2L))
        stop("every group needs at least 2 columns: ",
             paste(sprintf("%s has %d", sQuote(levs[sizes < 2L]), sizes[sizes < 2L]),
                   collapse = ", "))
    if (length(levs) < 2L) stop("'groups' names only one group; at least 2 are needed")
    order_cols <- order(codes)  # stable: each group's columns keep their order
    y <- x[, order_cols, drop = FALSE]
    storage.mode(y) <- "double"

    count <- function(v, name, lo, hi = .Machine$integer.max) {
        if (!is.numeric(v) || length(v) != 1L || is.na(v) || v != floor(v) ||
            v < lo || v > hi)
            stop(sprintf("'%s' must be one whole number from %d to %d", name, lo, hi))
        as.integer(v)
    }
    chains <- count(chains, "chains", 1L, 1024L)
    burn <- count(burn, "burn", 0L)
    keep <- count(keep, "keep", 2L)
    threads <- count(threads, "threads", 0L, 1024L)
    ## -1: the library's automatic count (kestrumr_analysis_set_permutations).
    permutations <- if (identical(permutations, "auto")) -1L else
        tryCatch(count(permutations, "permutations", 0L, 1024L),
                 error = function(e) stop("'permutations' must be \"auto\" or one whole number from 0 to 1024",
                                          call. = FALSE))
    if (!is.null(fdr) && (!is.numeric(fdr) || length(fdr) != 1L || is.na(fdr) || fdr <= 0 || fdr >= 1))
        stop("'fdr' must be NULL or one false-discovery rate between 0 and 1 (such as 0.05)")
    if (!is.null(fdr) && permutations == 0L)
        stop("'fdr' needs the null analyses: give 'permutations' of at least 1")
    if (!is.logical(pooled) || length(pooled) != 1L || is.na(pooled))
        stop("'pooled' must be TRUE or FALSE")
    if (!is.logical(progress) || length(progress) != 1L || is.na(progress))
        stop("'progress' must be TRUE or FALSE")

    ## The scale: "auto" (the median over rows of the pooled within-group
    ## standard deviation), "none" (the data as they are) or a number.
    if (identical(scale, "auto")) {
        scale_mode <- 1L; scale_value <- 1
    } else if (identical(scale, "none")) {
        scale_mode <- 0L; scale_value <- 1
    } else if (is.numeric(scale) && length(scale) == 1L && is.finite(scale) && scale > 0) {
        scale_mode <- 2L; scale_value <- as.double(scale)
    } else {
        stop("'scale' must be \"auto\", \"none\" or one finite number > 0")
    }

    ## The priors: NULL keeps the library's default (meant for standardised
    ## data); a value given is in the data's units.
    finite <- function(v, name, n, what, ok) {
        if (is.null(v)) return(NULL)
        if (!is.numeric(v) || !(length(v) %in% n) || any(!is.finite(v)) || !all(ok(v)))
            stop(sprintf("'%s' must be NULL or %s finite number(s) %s", name,
                         paste(n, collapse = " or "), what))
        as.double(v)
    }
    J <- length(levs)
    hshape <- finite(hshape, "hshape", 1L, ">= 0", function(v) v >= 0)
    hrate <- finite(hrate, "hrate", 1L, ">= 0", function(v) v >= 0)
    mvar <- finite(mvar, "mvar", 1:2, "> 0", function(v) v > 0)
    if (!is.null(mvar)) mvar <- rep_len(mvar, 2L)
    effvar <- finite(effvar, "effvar", unique(c(1L, J - 1L)), "> 0", function(v) v > 0)

    ## The seed: drawn from R's generator when not given, so set.seed()
    ## makes the run reproducible.  A seed S from 1 to 2147483647 gives the
    ## numbers of the command-line front end's --seed S; 0 those of the
    ## front end without --seed.
    if (is.null(seed)) {
        seed <- floor(runif(1L) * 2147483647) + 1
    } else if (!is.numeric(seed) || length(seed) != 1L || is.na(seed) ||
               seed != floor(seed) || seed < 0 || seed > 2147483647) {
        stop("'seed' must be NULL or one whole number from 0 to 2147483647")
    }

    res <- .Call(C_kestrum, y, sizes, chains, scale_mode, scale_value, burn, keep, pooled,
                 as.double(seed), threads, hshape, hrate, mvar, effvar,
                 if (na == "omit") 0L else 1L, progress, if (start == "data") 1L else 0L,
                 if (is.null(fdr)) 0.05 else as.double(fdr), permutations)
    for (m in res$messages) warning(m, call. = FALSE)
    if (identical(res$status, "interrupted")) {
        ## Ctrl-C during the run: the run was abandoned and its memory
        ## released; now behave as R does on an interrupt.
        signalCondition(structure(list(message = "interrupted", call = NULL),
                                  class = c("interrupt", "condition")))
        invokeRestart("abort")
    }
    if (!is.null(res$error)) stop(res$error, call. = FALSE)
    signal_records(res$warnings)

    L <- nrow(x)
    cols <- res$columns
    na_for_nan <- function(v) { v[is.nan(v)] <- NA_real_; v }
    out <- data.frame(row.names = if (is.null(rownames(x))) seq_len(L) else make.unique(rownames(x)))
    for (j in seq_len(J)) out[[paste0("mean_", levs[j])]] <- na_for_nan(cols$mean[, j])
    for (j in seq_len(J)) out[[paste0("var_", levs[j])]] <- na_for_nan(cols$var[, j])
    if (pooled) {
        out$pooled_mean <- na_for_nan(cols$pooled_mean)
        out$pooled_var <- na_for_nan(cols$pooled_var)
    }
    for (what in c("diff", "lo", "hi"))
        for (j in seq_len(J - 1L))
            out[[paste0(what, "_", levs[j + 1L])]] <- na_for_nan(cols[[what]][, j])
    for (what in c("p_mean", "p_mean_mcse", "p_joint", "p_joint_mcse", "rhat", "ess", "rhat_flag",
                   "score_mean", "score_joint"))
        out[[what]] <- na_for_nan(cols[[what]])
    if (permutations != 0L)
        for (what in c("q_mean", "q_joint")) out[[what]] <- na_for_nan(cols[[what]])
    out$status <- factor(row_status_levels[res$row_status + 1L], levels = row_status_levels)
    attr(out, "scale") <- res$scale
    attr(out, "permutations") <- res$permutations
    if (!is.null(res$rates)) {
        rates <- as.data.frame(res$rates)
        names(rates) <- c("chain", "group", "burn_acceptance", "late_burn_acceptance",
                          "keep_acceptance", "last_rate", "stuck")
        rates$chain <- as.integer(rates$chain)
        rates$group <- factor(levs[rates$group], levels = levs)
        rates$stuck <- rates$stuck == 1
        attr(out, "rates") <- rates
    }
    if (!is.null(res$traces)) {
        ## [iteration, group, chain]; the burn-in is the first burn iterations.
        traces <- aperm(res$traces, c(2L, 1L, 3L))
        dimnames(traces) <- list(NULL, levs, NULL)
        attr(traces, "burn") <- burn
        attr(out, "traces") <- traces
    }
    class(out) <- c("kestrum", "data.frame")
    if (sort.by != "none") out <- out[front_end_order(out, sort.by), , drop = FALSE]
    if (!is.null(fdr)) {
        ## The list at level fdr, as the front end's --fdr writes it: the
        ## rows called by the mean test (the joint one when ordered by it).
        q <- if (sort.by %in% c("score_joint", "p_joint")) out$q_joint else out$q_mean
        out <- out[!is.na(q) & q <= fdr, , drop = FALSE]
        attr(out, "fdr") <- fdr
    }
    out
}

## The rows with the strongest evidence first, as limma's topTable gives
## them: the first n (all for n = Inf) sorted by sort.by, ties broken as the
## front end's --sort breaks them (the largest absolute difference of
## means), rows without results last.
topRows <- function(x, n = 10, sort.by = c("score_mean", "score_joint", "p_mean", "p_joint", "diff",
                                           "none")) {
    if (!inherits(x, "kestrum")) stop("'x' must be a result of kestrum()")
    sort.by <- match.arg(sort.by)
    if (!is.numeric(n) || length(n) != 1L || is.na(n) || n < 0)
        stop("'n' must be one number >= 0")
    o <- if (sort.by == "none") seq_len(nrow(x)) else front_end_order(x, sort.by)
    x[utils::head(o, n), , drop = FALSE]
}

print.kestrum <- function(x, ...) {
    ## A subset of the columns may have lost the status and the scale.
    line <- sprintf("kestrum analysis: %d row%s", nrow(x), if (nrow(x) == 1L) "" else "s")
    if (is.factor(x$status)) line <- sprintf("%s (%d without results)", line, sum(x$status != "ok"))
    scale <- attr(x, "scale")
    if (is.numeric(scale)) line <- paste0(line, ", scale ", format(scale, digits = 6))
    cat(line, "\n", sep = "")
    print(as.data.frame(unclass_kestrum(x)), ...)
    invisible(x)
}

summary.kestrum <- function(object, ...) {
    rates <- attr(object, "rates")
    structure(list(rows = nrow(object), status = table(object$status),
                   p_mean = sum(object$p_mean > 0.5, na.rm = TRUE),
                   p_joint = sum(object$p_joint > 0.5, na.rm = TRUE),
                   rhat = sum(object$rhat_flag == 1, na.rm = TRUE),
                   stuck = if (is.null(rates)) NA_integer_ else sum(rates$stuck),
                   scale = attr(object, "scale")),
              class = "summary.kestrum")
}

print.summary.kestrum <- function(x, ...) {
    cat(sprintf("kestrum analysis of %d rows, data divided by the scale %s\n", x$rows,
                format(x$scale, digits = 6)))
    cat("rows by status:\n")
    print(x$status[x$status > 0 | names(x$status) == "ok"])
    cat(sprintf("p_mean > 0.5: %d rows; p_joint > 0.5: %d rows\n", x$p_mean, x$p_joint))
    cat(sprintf("rows flagged by R-hat (rhat_flag 1): %d; stuck rate updates (chain and group): %s\n",
                x$rhat, if (is.na(x$stuck)) "not traced" else x$stuck))
    invisible(x)
}

unclass_kestrum <- function(x) {
    class(x) <- "data.frame"
    x
}

## An ExpressionSet or a SummarizedExperiment as the data matrix and the
## groups (groups naming a column of its sample table takes that column);
## NULL for any other x.  The packages are needed only for such objects.
bioconductor_data <- function(x, groups) {
    if (!isS4(x)) return(NULL)
    if (methods::is(x, "ExpressionSet")) {
        if (!requireNamespace("Biobase", quietly = TRUE))
            stop("'x' is an ExpressionSet: install the Biobase package to use it")
        samples <- Biobase::pData(x)
        x <- Biobase::exprs(x)
    } else if (methods::is(x, "SummarizedExperiment")) {
        if (!requireNamespace("SummarizedExperiment", quietly = TRUE))
            stop("'x' is a SummarizedExperiment: install the SummarizedExperiment package to use it")
        if (length(SummarizedExperiment::assays(x)) < 1L) stop("'x' holds no assay")
        samples <- as.data.frame(SummarizedExperiment::colData(x))
        x <- as.matrix(SummarizedExperiment::assay(x, 1L))
    } else {
        return(NULL)
    }
    if (is.character(groups) && length(groups) == 1L && ncol(x) != 1L) {
        if (!groups %in% names(samples))
            stop(sprintf("'groups' names no column of the sample table of 'x' (%s)",
                         paste(sQuote(names(samples)), collapse = ", ")))
        groups <- samples[[groups]]
    }
    list(x = x, groups = groups)
}

## The statuses of the rows, in the library's order (KESTRUMR_ROW_OK = 0 ..).
row_status_levels <- c("ok", "no_spread", "not_finite", "missing", "overflow", "rounding")

## The library's warning records as R conditions, one per record with its
## text: a warning of class kestrum_<kind> (and kestrum_warning), except the
## note that the data were divided by a scale, which is a message of class
## kestrum_scale (every run with a scale makes it; suppressMessages() hides
## it).
warning_kinds <- c("rows_left_out", "not_finite", "scale", "mean_prior", "not_traced",
                   "stuck_rate", "rhat")
signal_records <- function(w) {
    for (i in seq_along(w$kind)) {
        kind <- warning_kinds[w$kind[i]]
        if (is.na(kind)) kind <- "other"
        if (kind == "scale") {
            message(structure(class = c("kestrum_scale", "message", "condition"),
                              list(message = paste0(w$text[i], "\n"), call = NULL)))
        } else {
            warning(structure(class = c(paste0("kestrum_", kind), "kestrum_warning", "warning",
                                        "condition"),
                              list(message = w$text[i], call = NULL)))
        }
    }
}

## The front end's row order for --sort: by the score or frequency, largest first,
## ties by the largest absolute difference of means, rows without a result
## last, otherwise the input order.
front_end_order <- function(out, by) {
    diffs <- as.matrix(out[grep("^diff_", names(out))])
    size <- apply(abs(diffs), 1L, function(v) if (all(is.na(v))) 0 else max(v, na.rm = TRUE))
    if (by == "diff") return(order(-size, seq_along(size)))
    key <- out[[by]]
    order(is.na(key), -ifelse(is.na(key), 0, key), -size, seq_along(key))
}
