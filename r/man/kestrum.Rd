\name{kestrum}
\alias{kestrum}
\alias{kestrumr}
\title{Posterior group means and variances, and difference tests, for many rows}
\description{
  Runs the library's whole analysis, the one the command-line front end
  \code{kestrum} runs, with its defaults, over all rows of \code{x} at once:
  every row holds the same observations, divided into the same groups.
  Rows that cannot be analysed are left out; the data are divided by a
  robust scale; several chains run side by side and are pooled into
  posterior means, two tail frequencies with their Monte-Carlo errors,
  credible bounds of the differences and R-hat; what should make you doubt
  the results comes back as R warnings.
}
\usage{
kestrum(x, groups, chains = 4, scale = "auto", burn = 1000, keep = 1000,
        pooled = FALSE, seed = NULL,
        threads = getOption("kestrumr.threads", 0L),
        hshape = NULL, hrate = NULL, mvar = NULL, effvar = NULL,
        na = c("omit", "fail"), start = c("data", "fixed"),
        sort.by = c("none", "score_mean", "score_joint", "p_mean", "p_joint",
                    "diff"),
        fdr = NULL, permutations = "auto", progress = interactive())
}
\arguments{
  \item{x}{a numeric matrix or a data.frame of numeric columns: rows are
    features (such as genes), columns are observations.  \code{NA} is a
    missing value (see \code{na}).  A Bioconductor \code{ExpressionSet}
    (its \code{exprs}; needs \pkg{Biobase}) or \code{SummarizedExperiment}
    (its first assay; needs \pkg{SummarizedExperiment}) is taken as its
    matrix.}
  \item{groups}{a factor or a vector of labels, one per column of \code{x}.
    The columns are gathered group by group (each group's columns in their
    original order).  A factor keeps the order of its levels; for any other
    vector the groups come in order of first appearance.  The first group is
    the reference group.  At least two groups, each of at least 2 columns.
    For an \code{ExpressionSet} or a \code{SummarizedExperiment}, one
    string names a column of its sample table (\code{pData},
    \code{colData}) that holds the groups.}
  \item{chains}{independent chains, pooled (1 to 1024; default 4).  Chain 1
    draws from the run's own generator, chain \eqn{c \ge 2}{c >= 2} from a
    stream made from the seed and \eqn{c}.}
  \item{scale}{\code{"auto"} (the default) divides the data by the median
    over rows of the pooled within-group standard deviation, so that the
    default priors suit the data whatever their units; \code{"none"} uses
    the data as they are (the default priors then suit only data of spread
    about 1); a number divides by that number.  Results are in the data's
    units; the scale used is \code{attr(result, "scale")}.}
  \item{burn}{burn-in iterations of every chain, a whole number \eqn{\ge 0}.}
  \item{keep}{kept iterations of every chain, a whole number \eqn{\ge 2}.}
  \item{pooled}{also estimate one pooled mean and variance per row,
    treating the whole row as one group.}
  \item{seed}{\code{NULL} (the default) draws a seed from R's random
    number generator, so \code{set.seed()} makes the call reproducible; or
    a whole number from 0 to 2147483647.  A seed \eqn{S \ge 1}{S >= 1} gives
    the numbers of the command-line front end's \code{--seed S}, to the last
    bit; 0 those of the front end without \code{--seed}.  R's own generator
    is used only to draw a missing seed.}
  \item{threads}{threads in all: a whole number, 0 (the default) for one
    per core.  The results are the same bits for every thread count.}
  \item{hshape, hrate}{shape and rate of the hyper-prior of the group
    variance rates (finite, \eqn{\ge 0}).  \code{NULL} keeps the default
    (1 and 1, meant for the standardised data); a value given is in the
    data's units (\code{hrate} is divided by the scale squared).}
  \item{mvar}{prior variances of the overall row mean and of the group
    deviations: \code{NULL} (10000 each, for the standardised data), one
    value for both, or two (positive, in the data's units).}
  \item{effvar}{prior variances of the group effects: \code{NULL} (10000,
    for the standardised data), one value, or one per group after the first
    (positive, in the data's units).}
  \item{na}{what to do with a row that cannot be analysed (a missing
    value, a group whose mean or variance overflows a double such as a
    value of 1e300, a group whose values are all equal): \code{"omit"} (the
    default) leaves it out with a warning, its results \code{NA};
    \code{"fail"} stops with an error naming the first such row.}
  \item{start}{where every chain starts: \code{"data"} (the default) from
    a state fitted to each row's data after scaling (its group means and
    variances drawn from the row's posterior given the variance rates, the
    rates at their modes given those variances), each chain its own draw;
    \code{"fixed"} from every mean 0, variance 1 and rate 2, as the
    library's \code{kestrum_} starts (with one chain, \code{scale = "none"}
    and a seed, the numbers of \code{kestrum_}).  From the fixed start the
    rate update can stick on data whose groups differ several-fold in
    variance or lie far from 0.}
  \item{sort.by}{\code{"none"} keeps the rows of \code{x} in order; the
    others sort, as \code{limma::topTable} does, with the strongest
    evidence first: by decreasing \code{score_mean} or \code{score_joint},
    by decreasing \code{p_mean}, by decreasing
    \code{p_joint} (ties by the largest absolute \code{diff_} column, as the
    front end's \code{--sort} breaks them), or by decreasing largest
    absolute \code{diff_} column.  Rows without results go last.  See also
    \code{\link{topRows}}.}
  \item{fdr}{\code{NULL} (the default) returns every row; a false-discovery
    rate \eqn{A} between 0 and 1 returns the list at level \eqn{A}, the rows
    whose \code{q_mean} is at most \eqn{A} (\code{q_joint} when sorted by
    \code{"score_joint"} or \code{"p_joint"}), ordered by \code{score_mean}
    unless \code{sort.by} is given: the rows the front end's \code{--fdr A}
    writes, with \code{attr(result, "fdr")} the level.}
  \item{permutations}{null analyses (the rows with their group differences
    removed, half of them for each test) that the q-values are calibrated
    on (0 to 1024; one chain each, on streams made from the seed); 0 gives
    no \code{q_} columns.  \code{"auto"}, the default, takes as many as
    give each test 20 000 null scores, at least 4 and at most 16 (4 from
    10 000 rows up, 8 for 5000, 16 below 2858): with few null scores the
    q-values of a short list's strongest rows are held up by the
    resolution of the null, not by their evidence.  The count a run took
    is \code{attr(result, "permutations")}.}
  \item{progress}{show a progress bar (on the console's error stream) once
    a run has taken 2 seconds; by default on interactive sessions.}
}
\value{
  A data.frame of class \code{"kestrum"} with one row per row of \code{x} (row names from \code{x},
  made unique, or \code{1..n}) and the columns the front end writes, in its
  order:
  \item{mean_<group>, var_<group>}{posterior means of each group's mean
    and variance;}
  \item{pooled_mean, pooled_var}{posterior means of the pooled mean and
    variance (only with \code{pooled = TRUE});}
  \item{diff_<group>, lo_<group>, hi_<group>}{for every group after the
    first, the posterior mean of its mean's difference from the reference
    group's, and its 95\% credible bounds;}
  \item{p_mean}{share of kept draws whose mean contrasts against the
    reference group lie beyond the threshold 6 in the metric of their own
    posterior covariance (not a p-value);}
  \item{p_mean_mcse}{its Monte-Carlo standard error,
    \eqn{\sqrt{\phi f (1 - f) / E}}{sqrt(phi f (1 - f) / E)}: \eqn{E} the effective
    sample size of the test's indicator over the stored draws of all
    chains, \eqn{\phi}{phi} one factor per run matching these errors to the
    spread between the chains over all rows (1 with one chain);}
  \item{p_joint, p_joint_mcse}{the same for the mean contrasts and the
    cube-root variance contrasts taken jointly (threshold 9);}
  \item{rhat}{the largest rank-normalised split R-hat of the row's mean
    differences;}
  \item{ess}{the smallest bulk effective sample size of the row's mean
    differences over the stored draws of all chains;}
  \item{rhat_flag}{1 when the chains disagree on the row, 0 when they
    agree: the R-hat's excess over what chains that mix give, judged by a
    chi-square test at level 0.05 divided by the number of rows (and
    contrasts), so that a table whose chains all mix is flagged at most 5\%
    of the time however many rows it has;}
  \item{score_mean, score_joint}{the evidence of a difference of means, and
    of means and variances jointly: the squared length of the posterior mean
    of the contrasts over every kept draw, for \code{score_mean} in the
    metric of their covariance under group variances moderated across rows
    and within the row (a moderated \eqn{t^2} for two groups, \eqn{J - 1}
    times a moderated F for more), for \code{score_joint} in the metric of
    their posterior covariance; continuous, so rows tie only where their data
    do;}
  \item{q_mean, q_joint}{their q-values: the smallest false-discovery rate
    at which the row is called, calibrated on the null analyses (only
    with \code{permutations > 0});}
  \item{status}{a factor: \code{"ok"}, or why the row has no results:
    \code{"no_spread"} (a group's values are all equal), \code{"missing"},
    \code{"overflow"}, \code{"rounding"} (a group variance negative from
    rounding), \code{"not_finite"} (its draws became non-finite in the
    run).}
  A row without results has \code{NA} in every numeric column, never
  frequencies of 0.  Attributes: \code{"scale"}, the scale the data were
  divided by (1 for \code{scale = "none"}); \code{"permutations"}, the
  null analyses behind the q-values (0 without them); \code{"rates"}, a
  data.frame of the rate update per chain and group (acceptance in the
  burn-in, its second half and the kept iterations, the last rate in the
  data's units, and whether it stuck); and \code{"traces"}, an array of
  each group's rate after every iteration (burn-in first), iterations by
  groups by chains, in the data's units, whose attribute \code{"burn"} is
  the length of the burn-in (both rate attributes are missing when the
  traces did not fit the memory budget).

  \code{print} and \code{summary} (see \code{\link{print.kestrum}}) show and
  count it; \code{\link{topRows}} gives its strongest rows; \code{plot}
  (see \code{\link{plot.kestrum}}) draws a volcano or MA plot or the rate
  traces.

}
\details{
  Every call runs on a generator of its own: calls never influence each
  other, and the same seed gives the same bits on every platform and for
  every thread count.

  Warnings: each warning of the analysis becomes one R warning with its
  text, of class \code{kestrum_<kind>} and \code{kestrum_warning}, so that
  \code{withCallingHandlers} or \code{tryCatch} can pick them by kind:
  \code{kestrum_rows_left_out} (rows left out before the run),
  \code{kestrum_not_finite} (rows whose draws became non-finite: the other
  rows are doubtful too), \code{kestrum_stuck_rate} (a chain's rate update
  stuck: the results are not to be trusted), \code{kestrum_rhat} (rows on
  which the chains disagree: run longer chains),
  \code{kestrum_mean_prior} (group means far beyond the prior of the
  means), \code{kestrum_not_traced} (the rate update could not be
  checked).  The note that the data were divided by a scale is a message
  of class \code{kestrum_scale} (\code{suppressMessages} hides it).

  A row with a group whose values are all equal (zero counts, a detection
  limit) is left out: that group's variance has no spread to be estimated
  from and would shrink, with the rate its prior shares with every row,
  until the row's draws became \code{NaN} and stopped the rates of all
  rows.  The other rows get the results of a run without the rows left
  out; when no row is left, the call is an error.  The run can be
  interrupted with Ctrl-C (or Esc in a GUI): it stops after the current
  iteration, releases its memory and the interrupt goes on as usual.  The
  function writes no files.
}
\examples{
## The bundled example: 300 rows of 12 observations in three groups of 4;
## rows mean_* have one shifted group, rows var_* a wider group c.
f <- system.file("extdata", "example.tsv", package = "kestrumr")
d <- read.delim(f, row.names = 1)
g <- sub("[0-9]+$", "", colnames(d))   # "a" "a" ... "c"
fit <- kestrum(d, g, seed = 1, threads = 2, sort.by = "p_mean")
head(fit)

## How many of each kind of row show evidence of a difference.
kind <- sub("_.*", "", rownames(fit))
table(kind, p_mean = fit$p_mean > 0.5)
table(kind, p_joint = fit$p_joint > 0.5)
summary(fit)
topRows(fit, n = 5)

## set.seed() reproduces a call without a seed.
set.seed(7); a <- kestrum(d[1:20, ], g, burn = 200, keep = 200, threads = 2)
set.seed(7); b <- kestrum(d[1:20, ], g, burn = 200, keep = 200, threads = 2)
identical(a, b)
}
\keyword{htest}
\keyword{multivariate}
