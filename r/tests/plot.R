library(kestrumr)

## A short run on every tenth row of the example, one row with a missing
## value (no results: not drawn).
f <- system.file("extdata", "example.tsv", package = "kestrumr")
d <- read.delim(f, row.names = 1)[seq(1, 300, by = 10), ]
d[5, 3] <- NA
g <- sub("[0-9]+$", "", colnames(d))
fit <- suppressWarnings(suppressMessages(kestrum(d, g, burn = 30, keep = 40, seed = 6)))
with_results <- fit$status == "ok"

## Each picture goes to a PNG file in this session's temporary directory;
## plot() returns what it drew.
drawn_to_png <- function(...) {
  path <- tempfile(fileext = ".png")
  if (capabilities("cairo")) png(path, type = "cairo") else png(path)
  drawn <- plot(...)
  dev.off()
  stopifnot(file.size(path) > 0)
  drawn
}

## Volcano and MA plots: a point per row with results, the effect the chosen
## group's difference; the evidence the score, or without one
## -log10(1 - p_mean) with p_mean = 1 at half the smallest positive
## 1 - p_mean.
tail <- 1 - fit$p_mean[with_results]
floor <- min(tail[tail > 0]) / 2
volcano <- drawn_to_png(fit, "volcano", group = "c")
ma <- drawn_to_png(fit, "ma", group = 3)
unscored <- fit
unscored$score_mean <- NULL
stopifnot(nrow(volcano) == sum(with_results),
          identical(rownames(volcano), rownames(fit)[with_results]),
          identical(volcano$x, fit$diff_c[with_results]),
          identical(volcano$y, fit$score_mean[with_results]),
          isTRUE(all.equal(drawn_to_png(unscored)$y, -log10(pmax(tail, floor)))),
          !any(volcano$called), nrow(ma) == sum(with_results),
          identical(ma$y, fit$diff_c[with_results]),
          isTRUE(all.equal(ma$x, unname(rowMeans(as.matrix(fit[with_results, paste0("mean_", c("a", "b", "c"))]))))))
scored <- fit
scored$score_mean <- seq_len(nrow(fit))
stopifnot(identical(drawn_to_png(scored)$y, scored$score_mean[with_results]))

## The rows called are marked: those given, else q_mean <= the result's FDR
## level (or the level given).
marked <- fit
marked$q_mean <- seq(0, 0.5, length.out = nrow(fit))
attr(marked, "fdr") <- 0.1
given <- seq_len(nrow(fit)) %% 3 == 0
cases <- list(called = list(args = list(called = given), want = given),
              q_mean = list(args = list(), want = marked$q_mean <= 0.1),
              fdr = list(args = list(fdr = 0.3), want = marked$q_mean <= 0.3))
for (type in c("volcano", "ma"))
  for (n in names(cases)) {
    drawn <- do.call(drawn_to_png, c(list(marked, type), cases[[n]]$args))
    if (!identical(drawn$called, cases[[n]]$want[with_results])) stop("marking differs: ", type, " ", n)
  }

## Rate traces: all iterations of every chain and group, burn-in first; the
## last is the last rate the diagnostics report.
traces <- drawn_to_png(fit, "trace")
rates <- attr(fit, "rates")
stopifnot(identical(dim(traces), c(70L, 3L, 4L)), attr(traces, "burn") == 30L,
          identical(traces[cbind(70L, as.integer(rates$group), rates$chain)], rates$last_rate))

## Bad arguments are errors.
bad <- list(group = quote(plot(fit, group = 1)), name = quote(plot(fit, group = "z")),
            called = quote(plot(fit, called = TRUE)),
            no_traces = quote(plot(fit[, 1:3], "trace")))
for (n in names(bad)) {
  e <- tryCatch({ eval(bad[[n]]); NULL }, error = function(e) e)
  if (is.null(e)) stop("accepted bad input: ", n)
}
