/*
 * kestrumr_mathcheck -- evaluates the platform's mathematical functions on
 * given arguments, bit for bit, so that two platforms' libraries can be
 * compared on exactly the calls a session made.
 *
 * Reads lines "fn a b" (fn one of exp log pow sin cos tan sincos sqrt fmod;
 * a and b the arguments as 16-digit hexadecimal bit patterns, b unused by
 * functions of one argument) and prints "fn a b r1 r2": the result, and
 * for sincos the cosine as r2 (0 otherwise).  The functions are called
 * through pointers, as the compiled library calls them, never folded by
 * the compiler.
 *
 * "kestrumr_mathcheck --survey N" prints instead a fixed list of N calls of
 * each function (2N for pow: small integer powers, roots and real
 * exponents) over the ranges where the library uses them, the same list on
 * every platform: the arguments come from a 64-bit integer generator and
 * plain arithmetic, without any mathematical function.
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32) || defined(__GLIBC__)
#define HAVE_SINCOS 1
void sincos(double x, double* s, double* c);
#endif

static uint64_t read_hex(const char* s) {
    uint64_t v = 0;
    for (; *s; ++s) {
        const char c = *s;
        v = v << 4 | (uint64_t)(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    return v;
}
static double d_of(uint64_t u) {
    double x;
    memcpy(&x, &u, sizeof x);
    return x;
}
static void put(double x) {
    uint64_t u;
    memcpy(&u, &x, sizeof u);
    printf(" %08lx%08lx", (unsigned long)(u >> 32), (unsigned long)(u & 0xffffffffu));
}

/* splitmix64: a fixed stream of 64-bit words; u() maps one to [0, 1). */
static uint64_t survey_state = 0x6b657374726d7231ull;
static double u(void) {
    uint64_t z = (survey_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z = z ^ (z >> 31);
    return (double)(z >> 11) * (1.0 / 9007199254740992.0);
}
static void call_line(const char* fn, double a, double b) {
    uint64_t ua, ub;
    memcpy(&ua, &a, sizeof ua);
    memcpy(&ub, &b, sizeof ub);
    printf("%s %08lx%08lx %08lx%08lx\n", fn, (unsigned long)(ua >> 32),
           (unsigned long)(ua & 0xffffffffu), (unsigned long)(ub >> 32),
           (unsigned long)(ub & 0xffffffffu));
}
static void survey(long n) {
    static const double powers[] = {2.0, 3.0, 4.0, 5.0, 6.0, 0.5, 0.3333333333333333, -1.0};
    const double two_pi = 6.283185307179586, pi = 3.141592653589793;
    long i;
    size_t k;
    for (i = 0; i < n; ++i) call_line("exp", -40.0 + 80.0 * u(), 0.0);
    for (i = 0; i < n; ++i) {
        /* (1 + u) * 2^e, e in -36..19, built by exact doublings */
        double x = 1.0 + u();
        int e = (int)(56.0 * u()) - 36;
        for (; e > 0; --e) x = x * 2.0;
        for (; e < 0; ++e) x = x * 0.5;
        call_line("log", x, 0.0);
    }
    for (k = 0; k < sizeof powers / sizeof powers[0]; ++k) {
        for (i = 0; i < n / 8; ++i) call_line("pow", 0.001 + 60.0 * u(), powers[k]);
    }
    for (i = 0; i < n; ++i) call_line("pow", 0.001 + 60.0 * u(), -8.0 + 16.0 * u());
    for (i = 0; i < n; ++i) call_line("sin", two_pi * u(), 0.0);
    for (i = 0; i < n; ++i) call_line("cos", two_pi * u(), 0.0);
    for (i = 0; i < n; ++i) call_line("sincos", two_pi * u(), 0.0);
    for (i = 0; i < n; ++i) call_line("tan", pi * u(), 0.0);
}

typedef double (*unary)(double);
typedef double (*binary)(double, double);

int main(int argc, char** argv) {
    static const struct { const char* name; unary f; } u[] = {
        {"exp", exp}, {"log", log}, {"sin", sin}, {"cos", cos}, {"tan", tan}, {"sqrt", sqrt}};
    static const struct { const char* name; binary f; } b[] = {{"pow", pow}, {"fmod", fmod}};
    char name[16], ha[17], hb[17];
    if (argc == 3 && strcmp(argv[1], "--survey") == 0) {
        survey(atol(argv[2]));
        return 0;
    }
    while (scanf("%15s %16s %16s", name, ha, hb) == 3) {
        const double x = d_of(read_hex(ha)), y = d_of(read_hex(hb));
        double r1 = 0.0, r2 = 0.0;
        size_t i;
        int known = 0;
        for (i = 0; i < sizeof u / sizeof u[0]; ++i) {
            if (strcmp(name, u[i].name) == 0) {
                unary volatile f = u[i].f;
                r1 = f(x);
                known = 1;
            }
        }
        for (i = 0; i < sizeof b / sizeof b[0]; ++i) {
            if (strcmp(name, b[i].name) == 0) {
                binary volatile f = b[i].f;
                r1 = f(x, y);
                known = 1;
            }
        }
#ifdef HAVE_SINCOS
        if (strcmp(name, "sincos") == 0) {
            void (*volatile f)(double, double*, double*) = sincos;
            f(x, &r1, &r2);
            known = 1;
        }
#endif
        if (!known) {
            fprintf(stderr, "unknown function %s\n", name);
            return 1;
        }
        printf("%s %s %s", name, ha, hb);
        put(r1);
        put(r2);
        printf("\n");
    }
    return 0;
}
