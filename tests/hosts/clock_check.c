/*
 * kestrumr_clock_check -- seeding from the clock, seen from a host.
 *
 * Loads the library by name, moves into a fresh empty directory and calls
 * zbqlini_ with seed 0, which reads the wall clock through the nine-digit
 * record (seconds, minutes, hours, day of the year) that it writes to
 * "zbql1234.tmp" in the current directory and removes again.  Checks:
 *
 *   - the first table word is the seed the clock gives for some second
 *     between just before and just after the call (local time):
 *       fmod(T1 + T2 + T3 + T4, B), T1 = trunc((SS/60)*B),
 *       T2 = trunc((MM/60)*B), T3 = trunc((HH/24)*B), T4 = trunc((DDD/365)*B);
 *   - the other 42 words follow from it by x(i) = fmod(x(i-1)*30269, B);
 *   - base and borrow are untouched;
 *   - "zbql1234.tmp" is gone afterwards and nothing else is left in the
 *     directory.
 *
 * Exit status 0 when all hold (or when the export list has no zbqlini_
 * yet: then it says so), 1 otherwise, 2 when the library cannot be loaded.
 */
#define KESTRUMR_STATIC /* types only; nothing is linked */
#include "kestrumr.h"

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "host_loader.h"

#if defined(_WIN32)
#include <direct.h>
#include <process.h>
static int make_and_enter(char* path, size_t size) {
    char tmp[MAX_PATH];
    DWORD n = GetTempPathA(sizeof tmp, tmp);
    if (n == 0 || n >= sizeof tmp) return 0;
    snprintf(path, size, "%skestrumr-clock-%d", tmp, (int)_getpid());
    if (!CreateDirectoryA(path, NULL)) return 0;
    return SetCurrentDirectoryA(path) != 0;
}
/* 1 when the directory holds nothing but "." and "..". */
static int directory_empty(void) {
    WIN32_FIND_DATAA f;
    HANDLE h = FindFirstFileA("*", &f);
    int empty = 1;
    if (h == INVALID_HANDLE_VALUE) return 1;
    do {
        if (strcmp(f.cFileName, ".") != 0 && strcmp(f.cFileName, "..") != 0) {
            fprintf(stderr, "left behind: %s\n", f.cFileName);
            empty = 0;
        }
    } while (FindNextFileA(h, &f));
    FindClose(h);
    return empty;
}
static void leave_and_remove(const char* path) {
    SetCurrentDirectoryA("..");
    RemoveDirectoryA(path);
}
#else
#include <dirent.h>
#include <unistd.h>
static int make_and_enter(char* path, size_t size) {
    const char* tmp = getenv("TMPDIR");
    snprintf(path, size, "%s/kestrumr-clock-XXXXXX", tmp && *tmp ? tmp : "/tmp");
    if (mkdtemp(path) == NULL) return 0;
    return chdir(path) == 0;
}
static int directory_empty(void) {
    DIR* d = opendir(".");
    struct dirent* e;
    int empty = 1;
    if (d == NULL) return 0;
    while ((e = readdir(d)) != NULL) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            fprintf(stderr, "left behind: %s\n", e->d_name);
            empty = 0;
        }
    }
    closedir(d);
    return empty;
}
static void leave_and_remove(const char* path) {
    if (chdir("..") != 0) return;
    rmdir(path);
}
#endif

/* The seed the clock record of local time t gives. */
static double clock_seed(time_t t, double base) {
    const struct tm* lt = localtime(&t);
    const double ss = lt->tm_sec, mm = lt->tm_min, hh = lt->tm_hour,
                 ddd = lt->tm_yday + 1;
    /* the quotients and products are positive and below 2^33: a cast to a
     * 64-bit integer truncates them toward zero exactly */
    const double t1 = (double)(int64_t)((ss / 60.0) * base);
    const double t2 = (double)(int64_t)((mm / 60.0) * base);
    const double t3 = (double)(int64_t)((hh / 24.0) * base);
    const double t4 = (double)(int64_t)((ddd / 365.0) * base);
    return fmod(((t1 + t2) + t3) + t4, base);
}

int main(void) {
    typedef void (*zbqlini_t)(const int32_t*);
    struct kestrumr_zbql0001* rec;
    struct kestrumr_zbql0001 before;
    zbqlini_t zbqlini;
    const int32_t zero = 0;
    char dir[1024];
    time_t t0, t1, t;
    int failures = 0, i, matched = 0;
    FILE* f;

    if (!load_exports()) return 2;
    zbqlini = (zbqlini_t)as_routine(lookup("zbqlini_"));
    rec = (struct kestrumr_zbql0001*)lookup("zbql0001_");
    if (zbqlini == NULL || rec == NULL) {
        printf("clock seeding: zbqlini_ / zbql0001_ not in the export list yet\n");
        return 0;
    }
    if (!make_and_enter(dir, sizeof dir)) {
        fprintf(stderr, "cannot create a scratch directory\n");
        return 1;
    }
    before = *rec;
    t0 = time(NULL);
    zbqlini(&zero);
    t1 = time(NULL);

    for (t = t0; t <= t1; ++t) {
        if (rec->xtab[0] == clock_seed(t, before.base)) matched = 1;
    }
    if (!matched) {
        fprintf(stderr, "first table word %.17g is not the clock seed of %ld..%ld\n",
                rec->xtab[0], (long)t0, (long)t1);
        ++failures;
    }
    for (i = 1; i < 43; ++i) {
        if (rec->xtab[i] != fmod(rec->xtab[i - 1] * 30269.0, before.base)) {
            fprintf(stderr, "table word %d does not follow from word %d\n", i + 1, i);
            ++failures;
            break;
        }
    }
    if (memcmp(rec->xtab, before.xtab, sizeof before.xtab) == 0) {
        fprintf(stderr, "the table did not change\n");
        ++failures;
    }
    if (rec->base != before.base || rec->carry != before.carry) {
        fprintf(stderr, "base or borrow changed\n");
        ++failures;
    }
    f = fopen("zbql1234.tmp", "r");
    if (f != NULL) {
        fclose(f);
        fprintf(stderr, "zbql1234.tmp is still there\n");
        remove("zbql1234.tmp");
        ++failures;
    }
    if (!directory_empty()) ++failures;
    leave_and_remove(dir);
    if (failures == 0) printf("clock seeding: ok (first word %.0f)\n", rec->xtab[0]);
    return failures == 0 ? 0 : 1;
}
