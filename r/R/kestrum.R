# kestrum(): the R front end of the sampler.  The checks and the gathering
# of the columns happen here; src/kestrumr_r.c runs one session of the
# library on the prepared arrays.

kestrum <- function(x, groups, burn = 1000, keep = 1000, pooled = FALSE,
                    seed = NULL, threads = getOption("kestrumr.threads", 1L),
                    hshape = 1, hrate = 1, mvar = 10000, effvar = 10000,
                    sort.by = c("none", "p_mean", "p_joint", "diff")) {
    sort.by <- match.arg(sort.by)

    ## The data: a numeric matrix or a data.frame of numeric columns, rows =
    ## features, columns = observations.
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
    if (any(!is.finite(x))) {
        where <- which(!is.finite(x), arr.ind = TRUE)[1L, ]
        stop(sprintf("'x' holds a value that is not a finite number (row %d, column %d)",
                     where[[1L]], where[[2L]]))
    }

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

    count <- function(v, name, lo) {
        if (!is.numeric(v) || length(v) != 1L || is.na(v) || v != floor(v) ||
            v < lo || v > .Machine$integer.max)
            stop(sprintf("'%s' must be one whole number from %d to %d", name, lo,
                         .Machine$integer.max))
        as.integer(v)
    }
    burn <- count(burn, "burn", 0L)
    keep <- count(keep, "keep", 2L)
    threads <- count(threads, "threads", 0L)
    if (!is.logical(pooled) || length(pooled) != 1L || is.na(pooled))
        stop("'pooled' must be TRUE or FALSE")
    finite <- function(v, name, n, what, ok) {
        if (!is.numeric(v) || !(length(v) %in% n) || any(!is.finite(v)) || !all(ok(v)))
            stop(sprintf("'%s' must be %s finite number(s) %s", name,
                         paste(n, collapse = " or "), what))
        as.double(v)
    }
    hshape <- finite(hshape, "hshape", 1L, ">= 0", function(v) v >= 0)
    hrate <- finite(hrate, "hrate", 1L, ">= 0", function(v) v >= 0)
    mvar <- rep_len(finite(mvar, "mvar", 1:2, "> 0", function(v) v > 0), 2L)
    J <- length(levs)
    effvar <- rep_len(finite(effvar, "effvar", unique(c(1L, J - 1L)), "> 0", function(v) v > 0),
                      J - 1L)

    ## The seed: drawn from R's generator when not given, so set.seed()
    ## makes the run reproducible.  Seeds 1..2147483647 give the generator
    ## state the command-line front end's --seed gives.
    if (is.null(seed)) {
        seed <- floor(runif(1L) * 2147483647) + 1
    } else if (!is.numeric(seed) || length(seed) != 1L || is.na(seed) ||
               seed != floor(seed) || seed < 0 || seed > 2^53) {
        stop("'seed' must be NULL or one whole number from 0 to 2^53")
    }

    res <- .Call(C_kestrum, y, sizes, burn, keep, pooled, as.double(seed), threads,
                 hshape, hrate, mvar, effvar)
    for (m in res$messages) warning(m, call. = FALSE)
    if (identical(res$status, "interrupted")) {
        ## Ctrl-C during the run: the run was abandoned and its memory
        ## released; now behave as R does on an interrupt.
        signalCondition(structure(list(message = "interrupted", call = NULL),
                                  class = c("interrupt", "condition")))
        invokeRestart("abort")
    }
    if (!is.null(res$error)) stop(res$error, call. = FALSE)

    L <- nrow(x)
    gm <- matrix(res$gmeanbar, L, J)
    gv <- matrix(res$gvarbar, L, J)
    out <- data.frame(row.names = if (is.null(rownames(x))) seq_len(L) else make.unique(rownames(x)))
    for (j in seq_len(J)) out[[paste0("mean_", levs[j])]] <- gm[, j]
    for (j in seq_len(J)) out[[paste0("var_", levs[j])]] <- gv[, j]
    if (pooled) {
        out$pooled_mean <- res$pmeanbar
        out$pooled_var <- res$pvarbar
    }
    for (j in seq_len(J)[-1L]) out[[paste0("diff_", levs[j])]] <- gm[, j] - gm[, 1L]
    out$p_mean <- res$prob[seq_len(L)]
    out$p_joint <- res$pjoint
    if (sort.by != "none") {
        key <- switch(sort.by,
                      p_mean = out$p_mean,
                      p_joint = out$p_joint,
                      diff = apply(abs(gm[, -1L, drop = FALSE] - gm[, 1L]), 1L, max))
        ## Largest first; ties keep their row order, NA goes last.
        out <- out[order(-key), , drop = FALSE]
    }
    out
}
