/*
 * host_loader.h -- what a foreign host does to use the library: load it by
 * name at run time and look up every name of the export list.
 *
 * Windows: LoadLibraryA("kestrumr.dll") and GetProcAddress; elsewhere:
 * dlopen("libkestrumr.so") and dlsym.  The export list is compiled in
 * (session_exports.h, generated from include/kestrumr.def).  For the host
 * programs of this folder only: everything here is static.
 */
#ifndef KESTRUMR_HOST_LOADER_H
#define KESTRUMR_HOST_LOADER_H

#include <stdio.h>
#include <string.h>

#include "session_exports.h"

typedef void (*any_routine)(void);

#if defined(_WIN32)
#include <windows.h>
#define LIBRARY_NAME "kestrumr.dll"
static HMODULE library;
static int open_library(void) {
    library = LoadLibraryA(LIBRARY_NAME);
    if (library == NULL) {
        fprintf(stderr, "cannot load %s (error %lu)\n", LIBRARY_NAME,
                (unsigned long)GetLastError());
        return 0;
    }
    return 1;
}
/* A DATA export resolves to the address of the object itself. */
static void* find_symbol(const char* name) {
    FARPROC p = GetProcAddress(library, name);
    void* q = NULL;
    memcpy(&q, &p, sizeof q);
    return q;
}
#else
#include <dlfcn.h>
#define LIBRARY_NAME "libkestrumr.so"
static void* library;
static int open_library(void) {
    library = dlopen(LIBRARY_NAME, RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "cannot load %s: %s\n", LIBRARY_NAME, dlerror());
        return 0;
    }
    return 1;
}
static void* find_symbol(const char* name) { return dlsym(library, name); }
#endif

/* Object and function pointers share one representation on every platform
 * these programs are built for (POSIX requires it for dlsym). */
static any_routine as_routine(void* p) {
    any_routine f;
    memcpy(&f, &p, sizeof f);
    return f;
}

enum { n_exports = sizeof session_exports / sizeof session_exports[0] };
static void* resolved[n_exports];

/* Loads the library and resolves every listed name; 0 (with a message on
 * stderr for each) when the library or any name is missing. */
static int load_exports(void) {
    int i, ok = 1;
    if (!open_library()) return 0;
    for (i = 0; i < n_exports; ++i) {
        resolved[i] = find_symbol(session_exports[i].name);
        if (resolved[i] == NULL) {
            fprintf(stderr, "%s: export %s not found\n", LIBRARY_NAME,
                    session_exports[i].name);
            ok = 0;
        }
    }
    return ok;
}

/* The address of a listed export, or NULL when the list does not name it. */
static void* lookup(const char* name) {
    int i;
    for (i = 0; i < n_exports; ++i) {
        if (strcmp(session_exports[i].name, name) == 0) return resolved[i];
    }
    return NULL;
}

#endif /* KESTRUMR_HOST_LOADER_H */
