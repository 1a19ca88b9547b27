\name{kestrum}
\alias{kestrum}
\alias{kestrumr}
\title{Posterior group means and variances, and difference tests, for many rows}
\description{
  Runs the sampler over all rows of \code{x} at once: every row holds the
  same observations, divided into the same groups.  For every row the model
  carries one mean and one variance per group (and optionally a pooled mean
  and variance); the variances of a group share an inverse-gamma prior whose
  rate is itself sampled.  After \code{burn} burn-in iterations the
  \code{keep} kept iterations are reduced to posterior means and to two tail
  frequencies that measure the evidence that the groups differ.
}
\usage{
kestrum(x, groups, burn = 1000, keep = 1000, pooled = FALSE,
        seed = NULL, threads = getOption("kestrumr.threads", 1L),
        hshape = 1, hrate = 1, mvar = 10000, effvar = 10000,
        sort.by = c("none", "p_mean", "p_joint", "diff"))
}
\arguments{
  \item{x}{a numeric matrix or a data.frame of numeric columns: rows are
    features (such as genes), columns are observations.  Every value must be
    finite.}
  \item{groups}{a factor or a vector of labels, one per column of \code{x}.
    The columns are gathered group by group (each group's columns in their
    original order).  A factor keeps the order of its levels; for any other
    vector the groups come in order of first appearance.  The first group is
    the reference group.  At least two groups, each of at least 2 columns.}
  \item{burn}{burn-in iterations, a whole number \eqn{\ge 0}.}
  \item{keep}{kept iterations, a whole number \eqn{\ge 2}.  The kept draws
    take \eqn{16 \cdot rows \cdot (groups + 1) \cdot keep}{16 * rows * (groups + 1) * keep}
    bytes.}
  \item{pooled}{also estimate one pooled mean and variance per row,
    treating the whole row as one group.}
  \item{seed}{the seed of the run's own generator: \code{NULL} (the
    default) draws one from R's random number generator, so
    \code{set.seed()} makes the call reproducible; or a whole number.  A
    seed from 1 to 2147483647 gives the generator state that the
    command-line front end's \code{--seed} gives, and so the same results;
    0 and larger seeds (up to \eqn{2^{53}}) are mixed into the state by a
    fixed function.  R's own generator is used only to draw a missing
    seed.}
  \item{threads}{threads for the row sweeps: a whole number, 0 for one per
    core.  The results are the same bits for every thread count.}
  \item{hshape, hrate}{shape and rate of the hyper-prior of the group
    variance rates (finite, \eqn{\ge 0}).}
  \item{mvar}{prior variances of the overall row mean and of the pooled
    mean: one value for both, or two (positive).}
  \item{effvar}{prior variances of the scaled group deviations: one value,
    or one per group after the first (positive).  Rescale \code{mvar},
    \code{effvar} and \code{hrate} with the square of the data's scale.}
  \item{sort.by}{\code{"none"} keeps the rows of \code{x} in order; the
    others sort, as \code{limma::topTable} does, with the strongest
    evidence first: by decreasing \code{p_mean}, by decreasing
    \code{p_joint}, or by decreasing largest absolute \code{diff_} column.
    Ties keep their order, \code{NA} goes last.}
}
\value{
  A data.frame with one row per row of \code{x} (row names from \code{x},
  made unique, or \code{1..n}) and the columns
  \item{mean_<group>, var_<group>}{posterior means of each group's mean
    and variance;}
  \item{pooled_mean, pooled_var}{posterior means of the pooled mean and
    variance (only with \code{pooled = TRUE});}
  \item{diff_<group>}{for every group after the first, the difference of
    its posterior mean from the reference group's;}
  \item{p_mean}{share of kept draws whose mean contrasts against the
    reference group lie beyond the threshold 6 in the metric of their own
    posterior covariance;}
  \item{p_joint}{the same for the mean contrasts and the cube-root variance
    contrasts taken jointly (threshold 9), for two groups too.}
}
\details{
  Every call runs on a generator of its own: calls never influence each
  other, and the same seed gives the same bits on every platform and for
  every thread count.  The library's messages (warnings about parameters of
  the random variates, rows without a result) become R warnings.

  A row with a group whose values are all equal (zero counts, a detection
  limit) is left out of the run with a warning naming it, and its results
  are \code{NA}: that group's variance has no spread to be estimated from
  and would shrink, with the rate its prior shares with every row, until
  the row's draws became \code{NaN} and stopped the rates of all rows.  The
  other rows get the results of a run without it; when no row is left, the
  call is an error.  A row whose draws become non-finite all the same gets
  \code{NA} results and a warning too.  The run can be interrupted with
  Ctrl-C (or Esc in a GUI): it stops after the current iteration, releases
  its memory and the interrupt goes on as usual.  The function writes no
  files.
}
\examples{
## The bundled example: 300 rows of 12 observations in three groups of 4;
## rows mean_* have one shifted group, rows var_* a wider group c.
f <- system.file("extdata", "example.tsv", package = "kestrumr")
d <- read.delim(f, row.names = 1)
g <- sub("[0-9]+$", "", colnames(d))   # "a" "a" ... "c"
fit <- kestrum(d, g, burn = 200, keep = 200, seed = 1, sort.by = "p_mean")
head(fit)

## How many of each kind of row show evidence of a difference.
kind <- sub("_.*", "", rownames(fit))
table(kind, p_mean = fit$p_mean > 0.5)
table(kind, p_joint = fit$p_joint > 0.5)

## set.seed() reproduces a call without a seed.
set.seed(7); a <- kestrum(d[1:20, ], g, burn = 50, keep = 50)
set.seed(7); b <- kestrum(d[1:20, ], g, burn = 50, keep = 50)
identical(a, b)
}
\keyword{htest}
\keyword{multivariate}
