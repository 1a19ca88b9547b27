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
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
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

typedef double (*unary)(double);
typedef double (*binary)(double, double);

int main(void) {
    static const struct { const char* name; unary f; } u[] = {
        {"exp", exp}, {"log", log}, {"sin", sin}, {"cos", cos}, {"tan", tan}, {"sqrt", sqrt}};
    static const struct { const char* name; binary f; } b[] = {{"pow", pow}, {"fmod", fmod}};
    char name[16], ha[17], hb[17];
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
