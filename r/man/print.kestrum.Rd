\name{print.kestrum}
\alias{print.kestrum}
\alias{summary.kestrum}
\alias{print.summary.kestrum}
\title{Showing and summarising a kestrum result}
\description{
  \code{print} shows a line with the rows, those without results and the
  scale, then the table.  \code{summary} counts the rows by status, those
  with \code{p_mean} and with \code{p_joint} above 0.5, those flagged by
  R-hat (\code{rhat_flag} 1), and the rate updates (chain and group) that stuck.
}
\usage{
\method{print}{kestrum}(x, ...)
\method{summary}{kestrum}(object, ...)
\method{print}{summary.kestrum}(x, ...)
}
\arguments{
  \item{x}{a result of \code{\link{kestrum}} (\code{print.kestrum}), or its
    summary (\code{print.summary.kestrum}).}
  \item{object}{a result of \code{\link{kestrum}}.}
  \item{...}{passed on to \code{print.data.frame} by \code{print.kestrum};
    unused otherwise.}
}
\value{
  \code{print} methods return \code{x} invisibly; \code{summary} a list of
  class \code{"summary.kestrum"}: \code{rows}, \code{status} (a table),
  \code{p_mean}, \code{p_joint}, \code{rhat} (counts), \code{stuck} (the
  rate updates that stuck, \code{NA} when not traced) and \code{scale}.
}
\examples{
f <- system.file("extdata", "example.tsv", package = "kestrumr")
d <- read.delim(f, row.names = 1)[1:40, ]
fit <- kestrum(d, sub("[0-9]+$", "", colnames(d)), seed = 3, threads = 2)
summary(fit)
}
\keyword{print}
