\name{topRows}
\alias{topRows}
\title{The rows with the strongest evidence of a difference}
\description{
  The first \code{n} rows of a \code{\link{kestrum}} result, strongest
  evidence first, as \code{limma::topTable} gives them.
}
\usage{
topRows(x, n = 10, sort.by = c("score_mean", "score_joint", "p_mean", "p_joint",
                              "diff", "none"))
}
\arguments{
  \item{x}{a result of \code{\link{kestrum}}.}
  \item{n}{the number of rows (\code{Inf} for all).}
  \item{sort.by}{\code{"score_mean"} (the default), \code{"score_joint"},
    \code{"p_mean"} or \code{"p_joint"}: that score or frequency,
    largest first, ties broken by the largest absolute \code{diff_} column
    (as the command-line front end's \code{--sort} breaks them);
    \code{"diff"}: the largest absolute \code{diff_} column;
    \code{"none"}: the rows in their order.  Rows without results
    (\code{status} other than \code{"ok"}) come last.}
}
\value{
  The rows chosen, a data.frame of class \code{"kestrum"} with the columns
  of \code{x}.
}
\examples{
f <- system.file("extdata", "example.tsv", package = "kestrumr")
d <- read.delim(f, row.names = 1)
fit <- kestrum(d, sub("[0-9]+$", "", colnames(d)), seed = 3, threads = 2)
topRows(fit, n = 5, sort.by = "p_joint")
}
\keyword{htest}
