\name{plot.kestrum}
\alias{plot.kestrum}
\title{Pictures of a kestrum result}
\description{
  A volcano plot (effect against evidence), an MA plot (effect against mean
  level) or the rate traces per chain and group, in base graphics.  The rows
  called at a false-discovery rate are marked in a second colour.
}
\usage{
\method{plot}{kestrum}(x, type = c("volcano", "ma", "trace"), group = 2L,
     called = NULL, fdr = attr(x, "fdr"), col = c("grey45", "firebrick"),
     pch = 20, main = NULL, legend = TRUE, ...)
}
\arguments{
  \item{x}{a result of \code{\link{kestrum}}.}
  \item{type}{\code{"volcano"}: the effect (the \code{diff_} column of
    \code{group}) against the evidence: the column \code{score_mean} when
    \code{x} has it, else \eqn{-\log_{10}(1 - p_{mean})}{-log10(1 - p_mean)},
    where rows with \code{p_mean} of 1 (no kept draw short of the
    threshold) are drawn as triangles at half the smallest positive
    \code{1 - p_mean};
    \code{"ma"}: the effect against the mean level (the average of the
    \code{mean_} columns);
    \code{"trace"}: the rate of each group after every iteration, one panel
    per group, one line per chain, the end of the burn-in a dashed line
    (\code{x} must be a whole result with its \code{"traces"}
    attribute).}
  \item{group}{the group whose difference from the reference (first) group
    is the effect: its number (2 to the number of groups) or its name.}
  \item{called}{\code{NULL} or one logical per row: the rows to mark
    (\code{NA} counts as not called).  By default the rows with
    \code{q_mean <= fdr} when \code{x} has a \code{q_mean} column and
    \code{fdr} is a number; else none.}
  \item{fdr}{the false-discovery rate of the rows called; by default the
    one \code{x} was computed with, if any.}
  \item{col}{two colours: the rows not called, the rows called (for
    \code{"trace"}: passed on as the colours of the chains, \code{NULL}
    for the default).}
  \item{pch}{the plotting symbol of the points.}
  \item{main}{the title (for \code{"trace"}: one per panel); \code{NULL}
    for the default.}
  \item{legend}{whether to draw the legend of the rows called.}
  \item{...}{further graphical parameters, passed on to \code{plot}
    (\code{matplot} for \code{"trace"}, where \code{log = ""} gives a
    linear axis instead of the default \code{log = "y"}).}
}
\value{
  Invisibly, what was drawn: for \code{"volcano"} and \code{"ma"} a
  data.frame with one row per point (the rows of \code{x} with results,
  named as in \code{x}) and columns \code{x}, \code{y} and \code{called};
  for \code{"trace"} the array of rates, iterations by groups by chains,
  whose attribute \code{"burn"} is the length of the burn-in.
}
\examples{
f <- system.file("extdata", "example.tsv", package = "kestrumr")
d <- read.delim(f, row.names = 1)[seq(1, 300, by = 5), ]
g <- sub("[0-9]+$", "", colnames(d))
fit <- suppressMessages(kestrum(d, g, seed = 3, threads = 2, burn = 200, keep = 200))
plot(fit)                                   # volcano, group b against a
plot(fit, "ma", group = "c", called = fit$p_mean > 0.9)
plot(fit, "trace")
}
\keyword{hplot}
