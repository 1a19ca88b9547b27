/*
 * libkestrumr_mathtrace.so -- finds out which mathematical function makes
 * two platforms' results differ.  Linux only; loaded with LD_PRELOAD in
 * front of the C library's libm, it wraps the functions the library calls:
 * exp, log, pow, sin, cos, tan, sincos (GCC joins sin and cos of one
 * argument into sincos), sqrt (called only on the error path) and fmod.
 *
 *   KESTRUMR_MATH_TRACE=file   appends one line per call, "fn a b" (the
 *                              arguments as 16-digit bit patterns, b = 0
 *                              for functions of one argument);
 *   KESTRUMR_MATH_REPLAY=file  reads lines "fn a b r1 r2" (as printed by
 *                              kestrumr_mathcheck on another platform; r2 is
 *                              the cosine of sincos) and returns r1 (and r2)
 *                              instead of the local result whenever the call
 *                              matches a line.
 *
 * With a table from another platform, replay shows whether the functions
 * alone explain a difference: the local run then prints what the other
 * platform printed.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum fn_id { F_EXP, F_LOG, F_POW, F_SIN, F_COS, F_TAN, F_SINCOS, F_SQRT, F_FMOD, F_COUNT };
static const char* const fn_names[F_COUNT] = {"exp", "log", "pow", "sin", "cos",
                                              "tan", "sincos", "sqrt", "fmod"};

static FILE* trace;
static int ready;

/* Replay table: open addressing on (fn, a, b). */
struct entry {
    int used;
    int fn;
    uint64_t a, b, r1, r2;
};
static struct entry* table;
static size_t table_size;

static uint64_t bits(double x) {
    uint64_t u;
    memcpy(&u, &x, sizeof u);
    return u;
}
static double from_bits(uint64_t u) {
    double x;
    memcpy(&x, &u, sizeof x);
    return x;
}
static size_t slot(int fn, uint64_t a, uint64_t b) {
    uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b + 0x7F4A7C15ull + ((uint64_t)fn << 56));
    h ^= h >> 29;
    return (size_t)(h & (table_size - 1));
}

static void load_replay(const char* path) {
    FILE* f = fopen(path, "r");
    char name[16];
    uint64_t a, b, r1, r2;
    size_t n = 0;
    if (f == NULL) {
        fprintf(stderr, "mathtrace: cannot read %s\n", path);
        exit(3);
    }
    while (fscanf(f, "%15s %" SCNx64 " %" SCNx64 " %" SCNx64 " %" SCNx64, name, &a, &b, &r1, &r2) == 5) ++n;
    table_size = 1024;
    while (table_size < 2 * n + 2) table_size *= 2;
    table = calloc(table_size, sizeof *table);
    rewind(f);
    while (fscanf(f, "%15s %" SCNx64 " %" SCNx64 " %" SCNx64 " %" SCNx64, name, &a, &b, &r1, &r2) == 5) {
        int fn;
        size_t s;
        for (fn = 0; fn < F_COUNT; ++fn) {
            if (strcmp(name, fn_names[fn]) == 0) break;
        }
        if (fn == F_COUNT) continue;
        s = slot(fn, a, b);
        while (table[s].used && !(table[s].fn == fn && table[s].a == a && table[s].b == b)) {
            s = (s + 1) & (table_size - 1);
        }
        table[s].used = 1;
        table[s].fn = fn;
        table[s].a = a;
        table[s].b = b;
        table[s].r1 = r1;
        table[s].r2 = r2;
    }
    fclose(f);
}

static void setup(void) {
    const char* t = getenv("KESTRUMR_MATH_TRACE");
    const char* r = getenv("KESTRUMR_MATH_REPLAY");
    ready = 1;
    if (t != NULL && *t) trace = fopen(t, "a");
    if (r != NULL && *r) load_replay(r);
}

/* Records the call; replaces *r1 (and *r2) from the table when it holds
 * the call. */
static void observe(int fn, double a, double b, double* r1, double* r2) {
    if (!ready) setup();
    if (trace != NULL) {
        fprintf(trace, "%s %016" PRIx64 " %016" PRIx64 "\n", fn_names[fn], bits(a), bits(b));
    }
    if (table != NULL) {
        size_t s = slot(fn, bits(a), bits(b));
        while (table[s].used) {
            if (table[s].fn == fn && table[s].a == bits(a) && table[s].b == bits(b)) {
                *r1 = from_bits(table[s].r1);
                if (r2 != NULL) *r2 = from_bits(table[s].r2);
                return;
            }
            s = (s + 1) & (table_size - 1);
        }
    }
}

#define UNARY(name, id)                                             \
    double name(double x) {                                         \
        static double (*real)(double);                              \
        double r;                                                   \
        if (real == NULL) *(void**)&real = dlsym(RTLD_NEXT, #name); \
        r = real(x);                                                \
        observe(id, x, 0.0, &r, NULL);                              \
        return r;                                                   \
    }
#define BINARY(name, id)                                            \
    double name(double x, double y) {                               \
        static double (*real)(double, double);                      \
        double r;                                                   \
        if (real == NULL) *(void**)&real = dlsym(RTLD_NEXT, #name); \
        r = real(x, y);                                             \
        observe(id, x, y, &r, NULL);                                \
        return r;                                                   \
    }

UNARY(exp, F_EXP)
UNARY(log, F_LOG)
UNARY(sin, F_SIN)
UNARY(cos, F_COS)
UNARY(tan, F_TAN)
UNARY(sqrt, F_SQRT)
BINARY(pow, F_POW)
BINARY(fmod, F_FMOD)

void sincos(double x, double* s, double* c) {
    static void (*real)(double, double*, double*);
    if (real == NULL) *(void**)&real = dlsym(RTLD_NEXT, "sincos");
    real(x, s, c);
    observe(F_SINCOS, x, 0.0, s, c);
}
