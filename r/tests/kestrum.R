library(kestrumr)

f <- system.file("extdata", "example.tsv", package = "kestrumr")
d <- read.delim(f, row.names = 1)[c(1:12, 241:248, 271:278), ]
g <- sub("[0-9]+$", "", colnames(d))
m <- as.matrix(d)
run <- function(...) kestrum(burn = 30, keep = 40, ...)

## Layout of the result.
r <- run(m, g, seed = 5, pooled = TRUE)
stopifnot(identical(rownames(r), rownames(d)),
          identical(names(r), c(paste0("mean_", c("a", "b", "c")), paste0("var_", c("a", "b", "c")),
                                "pooled_mean", "pooled_var", "diff_b", "diff_c", "p_mean", "p_joint")),
          all(r$diff_c == r$mean_c - r$mean_a),
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

## A factor's first level is the reference group.
fb <- run(m, factor(g, levels = c("b", "a", "c")), seed = 9)
cols <- c(which(g == "b"), which(g == "a"), which(g == "c"))
stopifnot(identical(fb, run(m[, cols], rep(c("b", "a", "c"), each = 4), seed = 9)),
          "diff_a" %in% names(fb))

## Two groups: both frequencies from the run.
two <- run(m[, 1:8], g[1:8], seed = 4)
stopifnot(is.numeric(two$p_mean), !anyNA(two$p_mean), !anyNA(two$p_joint),
          all(two$p_joint >= 0 & two$p_joint <= 1))

## A row with a group of equal values is left out with a warning; the others
## get the results of a run without it.  No row left to run is an error.
caught <- function(expr) {
  w <- character()
  value <- withCallingHandlers(expr, warning = function(c) {
    w <<- c(w, conditionMessage(c))
    invokeRestart("muffleWarning")
  })
  list(value = value, warnings = w)
}
x <- m
x[3, g == "b"] <- 0
got <- caught(run(x, g, seed = 3))
stopifnot(length(got$warnings) == 1L,
          grepl("1 row left out of the run", got$warnings),
          grepl("all equal", got$warnings), grepl("(counted from 1): 3", got$warnings, fixed = TRUE),
          all(is.na(unlist(got$value[3, ]))),
          identical(got$value[-3, ], run(x[-3, ], g, seed = 3)))
e <- tryCatch(run(x[3, , drop = FALSE], g, seed = 3), error = function(e) conditionMessage(e))
stopifnot(grepl("every row has a group whose values are all equal", e))

## A row whose draws become non-finite gets NA results and a warning, never
## frequencies of 0.
got <- caught(kestrum(matrix(c(1, 0, 0, 0, 0, 1e-12), 1), rep(c("a", "b"), c(2, 4)),
                      burn = 1000, keep = 50, seed = 1))
stopifnot(length(got$warnings) == 1L, grepl("became non-finite", got$warnings),
          all(is.na(unlist(got$value))))

## Sorting, strongest evidence first; ties keep their order.
u <- run(m, g, seed = 5)
s <- run(m, g, seed = 5, sort.by = "p_mean")
stopifnot(!is.unsorted(-s$p_mean), identical(s[rownames(u), ], u),
          identical(rownames(s), rownames(u)[order(-u$p_mean)]))

## Bad input gives an error, never a result.
bad <- list(
  na = quote(run(replace(m, 5, NA), g)),
  inf = quote(run(replace(m, 5, Inf), g)),
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
  threads = quote(run(m, g, threads = -2)),
  effvar = quote(run(m, g, effvar = c(1, 2, 3))),
  hrate = quote(run(m, g, hrate = -1)),
  mvar = quote(run(m, g, mvar = 0)),
  no_rows = quote(run(m[0, ], g)))
for (n in names(bad)) {
  e <- tryCatch({ eval(bad[[n]]); NULL }, error = function(e) e)
  if (is.null(e)) stop("accepted bad input: ", n)
}

## The command-line front end gives the same numbers for the same seed
## (when the check is given its path, as tools/r-package.sh does).
cli <- Sys.getenv("KESTRUM_CLI")
if (nzchar(cli)) {
  input <- tempfile(fileext = ".tsv")
  output <- tempfile(fileext = ".tsv")
  write.table(cbind(id = rownames(m), as.data.frame(m)), input, sep = "\t", quote = FALSE,
              row.names = FALSE)
  st <- system2(cli, c("--seed", "12345", "--burn", "30", "--keep", "40", "--pooled",
                       "--labels", paste(g, collapse = ","), "--digits", "17", "--chains", "1",
                       "--scale", "none", "--sort", "none", "--columns", "basic", "-o", output,
                       input))
  stopifnot(st == 0)
  # Compared as the exact decimal texts of the doubles (17 digits).
  want <- read.delim(output, colClasses = "character")
  got <- run(m, g, seed = 12345, pooled = TRUE)
  common <- intersect(names(want), names(got))
  stopifnot(identical(want$row, rownames(got)), length(common) == ncol(want) - 1L)
  for (n in common)
    if (!identical(sprintf("%.17g", got[[n]]), want[[n]])) stop("differs from the front end: ", n)
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
