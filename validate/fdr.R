#!/usr/bin/env Rscript
## The list at a chosen false-discovery rate, validated on simulated data
## with known truth.
##
## Every data set has L rows; per row the variance is drawn from a scaled
## inverse-chi^2 with 4 degrees of freedom (4 / chisq_4), 10% of the rows
## get a mean shift of 1 to 3 row standard deviations (random sign) in one
## group after the first, another 5% a variance ratio of 4 to 9 in one
## group after the first, and the rest are null.  Each data set is analysed
## by the front end (kestrum, its defaults unless given below, one seed per
## data set) and, for comparison, by a moderated t (limma: lmFit, eBayes;
## the moderated F of the differences between the groups for three groups
## or more) with Benjamini-Hochberg.
##
## Printed per design and level A:
##   fdp_mean   mean over data sets of the false-discovery proportion of the
##              rows with q_mean <= A (false: a row without a mean shift);
##   fdp_joint  the same for q_joint (false: a row with neither a mean
##              shift nor a variance ratio);
##   fdp_limma  the moderated t's, for reference;
##   power      the true mean shifts called by q_mean <= A, divided by those
##              the moderated t with BH calls at A (all data sets together);
##   ranking    what the score could give with a perfect null: the true mean
##              shifts among the rows of highest score_mean down to the last
##              place where the true FDP is <= A, divided by the same count
##              for the moderated t's p-values (all data sets together);
##   ceiling    that count for the moderated t's p-values divided by the
##              true shifts its BH list calls: the most a list cut from the
##              moderated t's ranking could find, relative to its own BH
##              list, while its true FDP stays <= A in every data set (below
##              1 where the BH list exceeds its level to find what it finds).
## Targets: fdp_mean and fdp_joint <= A + 0.01, power >= 0.9.
##
## Usage: Rscript validate/fdr.R [--kestrum PATH] [--sets S] [--rows L]
##          [--designs 3+3,4+4,10+10,4+4+4,4+4+4+4+4] [--seed N]
##          [--threads T] [--extra "more front end options"]
## Defaults: build/cli/kestrum, 20 data sets of 5000 rows per design, all
## five designs (two groups of 3, 4 and 10, three and five groups of 4).
suppressPackageStartupMessages(library(limma))

args <- commandArgs(trailingOnly = TRUE)
opt <- list(kestrum = "build/cli/kestrum", sets = "20", rows = "5000",
            designs = "3+3,4+4,10+10,4+4+4,4+4+4+4+4", seed = "1", threads = "0", extra = "")
i <- 1
while (i <= length(args)) {
    key <- sub("^--", "", args[i])
    if (!key %in% names(opt) || i == length(args)) stop("usage: see the head of validate/fdr.R")
    opt[[key]] <- args[i + 1]
    i <- i + 2
}
sets <- as.integer(opt$sets)
L <- as.integer(opt$rows)
designs <- lapply(strsplit(strsplit(opt$designs, ",")[[1]], "+", fixed = TRUE), as.integer)
levels <- c(0.05, 0.10)

## One simulated data set: the matrix, the true mean shifts and the rows
## with a mean shift or a variance ratio.
simulate <- function(sizes, L) {
    J <- length(sizes)
    N <- sum(sizes)
    group <- rep(seq_len(J), sizes)
    sd <- sqrt(4 / rchisq(L, 4))
    y <- matrix(rnorm(L * N), L, N) * sd
    n_shift <- round(0.10 * L)
    n_var <- round(0.05 * L)
    shifted <- seq_len(n_shift)
    varied <- n_shift + seq_len(n_var)
    for (g in shifted) {
        j <- sample(2:J, 1)
        y[g, group == j] <- y[g, group == j] + sample(c(-1, 1), 1) * runif(1, 1, 3) * sd[g]
    }
    for (g in varied) {
        j <- sample(2:J, 1)
        y[g, group == j] <- y[g, group == j] * sqrt(runif(1, 4, 9))
    }
    list(y = y, group = group, mean_true = seq_len(L) %in% shifted,
         any_true = seq_len(L) %in% c(shifted, varied))
}

## The front end's q-values, in the input's row order.
kestrum_q <- function(d, sizes, seed) {
    dir <- tempfile("fdr")
    dir.create(dir)
    on.exit(unlink(dir, recursive = TRUE))
    input <- file.path(dir, "data.tsv")
    output <- file.path(dir, "out.tsv")
    rownames(d$y) <- paste0("r", seq_len(nrow(d$y)))
    write.table(d$y, input, sep = "\t", quote = FALSE, col.names = FALSE)
    extra <- if (nzchar(opt$extra)) strsplit(opt$extra, " ")[[1]] else character()
    threads <- if (opt$threads != "0") c("--threads", opt$threads) else character()
    status <- system2(opt$kestrum, c("-g", paste(sizes, collapse = ","), "--seed", seed, "--sort", "none",
                                     "--digits", "17", threads, extra, "-o", output, input),
                      stdout = FALSE, stderr = FALSE)
    if (status != 0) stop("kestrum failed with status ", status)
    t <- read.delim(output, check.names = FALSE)
    list(q_mean = t$q_mean, q_joint = t$q_joint, score_mean = t$score_mean)
}

## The moderated t (F for three groups or more) with Benjamini-Hochberg:
## the test of the differences from the first group, the intercept left out
## (an F over every coefficient would also test that the first group's mean
## is 0, which the simulation makes true and real data do not).
limma_p <- function(d) {
    f <- factor(d$group)
    fit <- eBayes(lmFit(d$y, model.matrix(~f))[, -1])
    if (ncol(fit$coefficients) == 1) fit$p.value[, 1] else fit$F.p.value
}

## The true discoveries of the longest top list (by evidence, strongest
## first) whose true FDP is at most A.
best_list <- function(evidence, truth, A) {
    o <- order(-evidence)
    fdp_at <- cumsum(!truth[o]) / seq_along(o)
    k <- max(c(0, which(fdp_at <= A)))
    sum(truth[o][seq_len(k)])
}

fdp <- function(called, truth) if (any(called)) mean(!truth[called]) else 0

set.seed(as.integer(opt$seed))
cat(sprintf("%-12s %5s %5s %9s %9s %9s %7s %8s %8s\n", "design", "A", "sets", "fdp_mean", "fdp_joint",
            "fdp_limma", "power", "ranking", "ceiling"))
for (sizes in designs) {
    rec <- list()
    for (s in seq_len(sets)) {
        d <- simulate(sizes, L)
        k <- kestrum_q(d, sizes, seed = 1000 + s)
        lp <- limma_p(d)
        lq <- p.adjust(lp, "BH")
        score <- ifelse(is.na(k$score_mean), -Inf, k$score_mean)
        for (A in levels) {
            km <- !is.na(k$q_mean) & k$q_mean <= A
            kj <- !is.na(k$q_joint) & k$q_joint <= A
            lm <- lq <= A
            rec[[length(rec) + 1]] <- data.frame(A = A, fdp_mean = fdp(km, d$mean_true),
                                                 fdp_joint = fdp(kj, d$any_true),
                                                 fdp_limma = fdp(lm, d$mean_true),
                                                 tp_k = sum(km & d$mean_true), tp_l = sum(lm & d$mean_true),
                                                 best_k = best_list(score, d$mean_true, A),
                                                 best_l = best_list(-lp, d$mean_true, A))
        }
    }
    r <- do.call(rbind, rec)
    for (A in levels) {
        x <- r[r$A == A, ]
        cat(sprintf("%-12s %5.2f %5d %9.3f %9.3f %9.3f %7.3f %8.3f %8.3f\n", paste(sizes, collapse = "+"), A,
                    nrow(x), mean(x$fdp_mean), mean(x$fdp_joint), mean(x$fdp_limma),
                    sum(x$tp_k) / max(1, sum(x$tp_l)), sum(x$best_k) / max(1, sum(x$best_l)),
                    sum(x$best_l) / max(1, sum(x$tp_l))))
    }
    flush(stdout())
}
