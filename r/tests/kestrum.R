library(kestrumr)

f <- system.file("extdata", "example.tsv", package = "kestrumr")
d <- read.delim(f, row.names = 1)[c(1:12, 241:248, 271:278), ]
g <- sub("[0-9]+$", "", colnames(d))
m <- as.matrix(d)
## Short runs; the note that the data were divided by a scale (a message at
## every run with a scale) and the R-hat warnings such short chains give are
## hidden.
run <- function(...)
  withCallingHandlers(suppressMessages(kestrum(burn = 30, keep = 40, ...)),
                      kestrum_rhat = function(w) invokeRestart("muffleWarning"))

## Layout of the result: the front end's columns and the status.
r <- run(m, g, seed = 5, pooled = TRUE)
stopifnot(identical(rownames(r), rownames(d)),
          identical(names(r), c(paste0("mean_", c("a", "b", "c")), paste0("var_", c("a", "b", "c")),
                                "pooled_mean", "pooled_var", "diff_b", "diff_c", "lo_b", "lo_c",
                                "hi_b", "hi_c", "p_mean", "p_mean_mcse", "p_joint",
                                "p_joint_mcse", "rhat", "ess", "rhat_flag", "score_mean",
                                "score_joint", "q_mean", "q_joint", "status")),
          isTRUE(all.equal(r$diff_c, r$mean_c - r$mean_a)), all(r$lo_c <= r$diff_c & r$diff_c <= r$hi_c),
          all(r$status == "ok"), attr(r, "scale") > 0, nrow(attr(r, "rates")) == 4L * 3L,
          all(r$p_mean >= 0 & r$p_mean <= 1), all(r$p_joint >= 0 & r$p_joint <= 1),
          all(r$var_a > 0))

## Seeds: the same seed (given, or drawn from R's generator after set.seed)
## gives the same bits; another seed other numbers; calls do not influence
## each other.
set.seed(11); a <- run(m, g)
set.seed(11); b <- run(m, g)
stopifnot(identical(a, b), !identical(run(m, g, seed = 1), run(m, g, seed = 2)),
          identical(run(m, g, seed = 3), run(m, g, seed = 3)))

## The same problem, given in other forms, gives the same bits: a data.frame,
## the columns in another order with their labels, a factor whose level order
## matches first appearance, more threads.
perm <- c(1, 5, 9, 2, 6, 10, 3, 7, 11, 4, 8, 12)  # interleaved, each group in order
ref <- run(m, g, seed = 9)
same <- list(data.frame = run(d, g, seed = 9),
             permuted = run(m[, perm], g[perm], seed = 9),
             factor = run(m, factor(g), seed = 9),
             threads = run(m, g, seed = 9, threads = 2))
for (n in names(same)) if (!identical(same[[n]], ref)) stop("differs from the reference: ", n)

## A Bioconductor ExpressionSet or SummarizedExperiment (when the package is
## installed) gives the bits of its matrix; groups may name a column of its
## sample table.
if (requireNamespace("Biobase", quietly = TRUE)) {
  samples <- Biobase::AnnotatedDataFrame(data.frame(group = g, row.names = colnames(m)))
  es <- Biobase::ExpressionSet(assayData = m, phenoData = samples)
  stopifnot(identical(run(es, g, seed = 9), ref), identical(run(es, "group", seed = 9), ref))
}
if (requireNamespace("SummarizedExperiment", quietly = TRUE)) {
  se <- SummarizedExperiment::SummarizedExperiment(assays = list(values = m),
                                                   colData = data.frame(group = g, row.names = colnames(m)))
  stopifnot(identical(run(se, "group", seed = 9), ref))
  e <- tryCatch(run(se, "condition", seed = 9), error = function(e) conditionMessage(e))
  stopifnot(grepl("names no column", e))
}

## A factor's first level is the reference group.
fb <- run(m, factor(g, levels = c("b", "a", "c")), seed = 9)
cols <- c(which(g == "b"), which(g == "a"), which(g == "c"))
stopifnot(identical(fb, run(m[, cols], rep(c("b", "a", "c"), each = 4), seed = 9)),
          "diff_a" %in% names(fb))

## Two groups: both frequencies from the run.
two <- run(m[, 1:8], g[1:8], seed = 4)
stopifnot(is.numeric(two$p_mean), !anyNA(two$p_mean), !anyNA(two$p_joint),
          all(two$p_joint >= 0 & two$p_joint <= 1))

## A row with a group of equal values is left out with a warning (one
## warning per record of the library, of class kestrum_<kind>); the others
## get the results of a run without it.  No row left to run is an error.
caught <- function(expr) {
  w <- list()
  value <- withCallingHandlers(expr, warning = function(c) {
    w[[length(w) + 1L]] <<- c
    invokeRestart("muffleWarning")
  })
  list(value = value, warnings = vapply(w, conditionMessage, ""),
       classes = vapply(w, function(c) class(c)[1L], ""))
}
results <- function(r) unlist(r[setdiff(names(r), "status")])
x <- m
x[3, g == "b"] <- 0
got <- caught(run(x, g, seed = 3))
stopifnot(identical(got$classes, "kestrum_rows_left_out"),
          grepl("1 row left out", got$warnings), grepl("rows 3", got$warnings, fixed = TRUE),
          all(is.na(results(got$value[3, ]))), got$value$status[3] == "no_spread",
          identical(got$value[-3, ], run(x[-3, ], g, seed = 3)))
e <- tryCatch(run(x[3, , drop = FALSE], g, seed = 3), error = function(e) conditionMessage(e))
stopifnot(grepl("no row left to analyse", e))

## A row whose draws become non-finite gets NA results and a warning, never
## frequencies of 0 (unscaled from the fixed start, its rate update sticks
## too).
got <- caught(kestrum(matrix(c(1, 0, 0, 0, 0, 1e-12), 1), rep(c("a", "b"), c(2, 4)),
                      burn = 1000, keep = 50, seed = 1, scale = "none", start = "fixed"))
stopifnot(sum(got$classes == "kestrum_not_finite") == 1L,
          grepl("became non-finite", got$warnings[got$classes == "kestrum_not_finite"]),
          all(is.na(results(got$value))), got$value$status == "not_finite")

## A missing value, or a cell that makes a group's statistics overflow
## (1e300), leaves its row out (NA, with its status and a warning) and the
## other rows get the bits of a run without it; na = "fail" stops instead.
x <- m
x[5, 2] <- 1e300
x[7, 10] <- NA
got <- caught(run(x, g, seed = 8))
stopifnot(identical(as.character(got$value$status[c(5, 7)]), c("overflow", "missing")),
          all(is.na(results(got$value[c(5, 7), ]))),
          sum(got$classes == "kestrum_rows_left_out") == 2L,
          identical(got$value[-c(5, 7), ], run(x[-c(5, 7), ], g, seed = 8)))
for (bad_row in list(c(5, 2, 1e300), c(7, 10, NA))) {
  e <- tryCatch(run(replace(m, (bad_row[2] - 1) * nrow(m) + bad_row[1], bad_row[3]), g, seed = 8,
                    na = "fail"), error = function(e) conditionMessage(e))
  stopifnot(grepl(sprintf("row %d", bad_row[1]), e))
}

## Sorting, strongest evidence first; ties broken by the largest absolute
## difference of means, as the front end's --sort breaks them.
u <- run(m, g, seed = 5)
s <- run(m, g, seed = 5, sort.by = "p_mean")
size <- pmax(abs(u$diff_b), abs(u$diff_c))
stopifnot(!is.unsorted(-s$p_mean), identical(s[rownames(u), ], u), anyDuplicated(u$p_mean) > 0,
          identical(rownames(s), rownames(u)[order(-u$p_mean, -size)]))

## The result is a data.frame of class "kestrum"; topRows() gives the first
## rows in the same order (rows without results last), summary() counts.
x <- m
x[2, 1] <- NA
k <- suppressWarnings(run(x, g, seed = 5))
top <- topRows(k, n = 5)
joint <- topRows(k, n = Inf, sort.by = "p_joint")
size <- pmax(abs(k$diff_b), abs(k$diff_c))
stopifnot(inherits(k, "kestrum"), is.data.frame(k),
          identical(rownames(top), head(rownames(k)[order(-k$score_mean, -size)], 5)),
          identical(rownames(joint)[nrow(k)], rownames(k)[2]),
          identical(rownames(joint)[-nrow(k)], rownames(k)[-2][order(-k$p_joint[-2], -size[-2])]))
sk <- summary(k)
stopifnot(sk$rows == nrow(k), sk$status[["missing"]] == 1L,
          sk$p_mean == sum(k$p_mean > 0.5, na.rm = TRUE),
          any(grepl("1 without results", capture.output(print(k)))),
          any(grepl("rows flagged by R-hat", capture.output(print(sk)))))

## Bad input gives an error, never a result.
bad <- list(
  na = quote(run(replace(m, 5, NA), g, na = "fail")),
  inf = quote(run(replace(m, 5, Inf), g, na = "fail")),
  na_policy = quote(run(m, g, na = "keep")),
  chains = quote(run(m, g, chains = 0)),
  scale = quote(run(m, g, scale = "robust")),
  scale_zero = quote(run(m, g, scale = 0)),
  text = quote(run(cbind(d, z = "x"), c(g, "c"))),
  labels = quote(run(m, g[-1])),
  na_label = quote(run(m, replace(g, 1, NA))),
  small_group = quote(run(m, c("z", g[-1]))),
  one_group = quote(run(m, rep("a", 12))),
  empty_level = quote(run(m, factor(g, levels = c("a", "b", "c", "d")))),
  keep = quote(kestrum(m, g, keep = 1)),
  burn = quote(kestrum(m, g, burn = -1)),
  fraction = quote(kestrum(m, g, burn = 1.5)),
  seed = quote(run(m, g, seed = -1)),
  seed_large = quote(run(m, g, seed = 2^31)),
  threads = quote(run(m, g, threads = -2)),
  effvar = quote(run(m, g, effvar = c(1, 2, 3))),
  hrate = quote(run(m, g, hrate = -1)),
  mvar = quote(run(m, g, mvar = 0)),
  no_rows = quote(run(m[0, ], g)),
  progress = quote(run(m, g, progress = NA)),
  permutations = quote(run(m, g, permutations = "Auto")),
  permutations_many = quote(run(m, g, permutations = 1025)),
  top_n = quote(topRows(run(m, g), n = -1)),
  top_class = quote(topRows(data.frame(p_mean = 1))))
for (n in names(bad)) {
  e <- tryCatch({ eval(bad[[n]]); NULL }, error = function(e) e)
  if (is.null(e)) stop("accepted bad input: ", n)
}

## Scale invariance: at the defaults the example, multiplied by 10 and by
## 1000, calls the same null and true rows (p_mean and p_joint > 0.5); its
## values are read back from a file, as the front end reads them.
full <- read.delim(f, row.names = 1)
scaled <- function(k) {
  path <- tempfile(fileext = ".tsv")
  v <- as.matrix(full) * k
  write.table(cbind(id = rownames(full), as.data.frame(matrix(sprintf("%.4f", v), nrow(v),
                                                              dimnames = dimnames(v)))),
              path, sep = "\t", quote = FALSE, row.names = FALSE)
  list(path = path, x = as.matrix(read.delim(path, row.names = 1)))
}
inputs <- lapply(c(x1 = 1, x10 = 10, x1000 = 1000), scaled)
kind <- sub("_.*", "", rownames(full))  # null, or mean/var (true differences)
at_default <- lapply(inputs, function(input)
  withCallingHandlers(suppressMessages(kestrum(input$x, g, seed = 2024)),
                      kestrum_rhat = function(w) invokeRestart("muffleWarning")))
calls <- lapply(at_default, function(r)
  c(table(kind[r$p_mean > 0.5]), table(kind[r$p_joint > 0.5])))
for (n in names(calls)[-1L])
  if (!identical(calls[[n]], calls$x1)) stop("other calls at ", n)
stopifnot(calls$x1[["null"]] < 30)

## Unscaled (scale = "none") from the fixed start, the default priors do
## not suit data of spread 10: the rate update sticks, and says so as a
## warning; scaled, or started from the data, it does not.
stuck <- caught(suppressMessages(kestrum(inputs$x10$x, g, seed = 2024, scale = "none",
                                         start = "fixed")))
unscaled <- caught(suppressMessages(kestrum(inputs$x10$x, g, seed = 2024, scale = "none")))
stopifnot(any(stuck$classes == "kestrum_stuck_rate"),
          !any(unscaled$classes == "kestrum_stuck_rate"),
          !any(caught(at_default$x10)$classes == "kestrum_stuck_rate"))
stopifnot(inherits(tryCatch(kestrum(m, g, start = "zero"), error = identity), "error"))

## The command-line front end gives the same bits for the same seed (when
## the check is given its path, as scripts/r-package.sh --cli does): at the
## defaults on the example x1, x10, x1000, and in one exact case of one
## unscaled chain with the basic columns.
cli <- Sys.getenv("KESTRUM_CLI")
if (nzchar(cli)) {
  front_end <- function(input, args, got, what) {
    output <- tempfile(fileext = ".tsv")
    st <- system2(cli, c("--seed", "12345", "--digits", "17", "--sort", "none", "--labels",
                         paste(g, collapse = ","), args, "-o", output, input), stderr = FALSE)
    stopifnot(st == 0)
    # Compared as the exact decimal texts of the doubles (17 digits; a row
    # left out has empty cells).
    want <- read.delim(output, colClasses = "character")
    stopifnot(identical(want$row, rownames(got)), all(names(want)[-1L] %in% names(got)))
    for (n in names(want)[-1L]) {
      text <- ifelse(is.na(got[[n]]), "", sprintf("%.17g", got[[n]]))
      if (!identical(text, want[[n]])) stop("differs from the front end: ", what, " ", n)
    }
  }
  quiet <- function(expr) suppressWarnings(suppressMessages(expr))
  for (n in names(inputs))
    front_end(inputs[[n]]$path, character(), quiet(kestrum(inputs[[n]]$x, g, seed = 12345)), n)
  input <- tempfile(fileext = ".tsv")
  write.table(cbind(id = rownames(m), as.data.frame(m)), input, sep = "\t", quote = FALSE,
              row.names = FALSE)
  for (start in c("data", "fixed"))
    front_end(input, c("--burn", "30", "--keep", "40", "--pooled", "--chains", "1",
                       "--scale", "none", "--start", start, "--columns", "basic"),
              quiet(kestrum(m, g, seed = 12345, pooled = TRUE, chains = 1, scale = "none",
                            burn = 30, keep = 40, start = start)), paste("one chain", start))
  ## The list at a chosen false-discovery rate: the front end's --fdr rows,
  ## in its order.
  listed <- quiet(kestrum(m, g, seed = 12345, burn = 200, keep = 200, fdr = 0.25))
  ## (28 rows: the automatic count is 16 null analyses.)
  stopifnot(nrow(listed) > 0L, all(listed$q_mean <= 0.25), identical(attr(listed, "permutations"), 16L))
  front_end(input, c("--burn", "200", "--keep", "200", "--fdr", "0.25", "--sort", "score_mean"),
            listed, "list at fdr 0.25")
  cat("kestrum() equals the command-line front end for seed 12345\n")
}

## Ctrl-C: an interrupt during the run (sent here by a shell a second after
## the start) stops it; the interrupt condition reaches the caller's handler.
if (.Platform$OS.type == "unix" && nzchar(Sys.which("sh")) && nzchar(Sys.which("kill"))) {
  system(paste("sh -c 'sleep 1; kill -INT", Sys.getpid(), "' &"))
  got <- tryCatch(kestrum(m, g, burn = 2e6, keep = 10, seed = 1),
                  interrupt = function(e) "interrupted")
  stopifnot(identical(got, "interrupted"))
  stopifnot(is.data.frame(run(m, g, seed = 1)))  # and the next run goes on as usual
}
