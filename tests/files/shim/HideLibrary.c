/* Preloaded into a program under test: dlopen() of any library whose name contains the text
 * of CORVALINE_HIDE_LIBRARY fails as if the file were not installed (the dynamic loader's own
 * "cannot open shared object file" text follows). Used to see what a user without FFmpeg or
 * SDL2 reads. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void* dlopen(const char* name, int flags) {
    static void* (*real)(const char*, int) = NULL;
    if (!real) real = (void* (*)(const char*, int))dlsym(RTLD_NEXT, "dlopen");
    const char* hidden = getenv("CORVALINE_HIDE_LIBRARY");
    if (name && hidden && *hidden && strstr(name, hidden)) {
        char missing[4096];
        snprintf(missing, sizeof missing, "/nonexistent/%s", name);
        return real(missing, flags);
    }
    return real(name, flags);
}
