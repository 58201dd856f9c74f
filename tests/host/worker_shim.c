/* tests/host/worker_shim.c - preloaded into the command-line host by the batch tests
 * (LD_PRELOAD): pdfextractimg_all aborts for a file named shim-crash*, never returns for one named
 * shim-hang*, and calls the library's own for every other file. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int pdfextractimg_all(const char *pdf_path, const char *output_dir) {
    const char *slash = strrchr(pdf_path, '/');
    const char *name = slash ? slash + 1 : pdf_path;
    if (strncmp(name, "shim-crash", 10) == 0) abort();
    if (strncmp(name, "shim-hang", 9) == 0)
        for (;;) pause();
    int (*real)(const char *, const char *) =
        (int (*)(const char *, const char *))dlsym(RTLD_NEXT, "pdfextractimg_all");
    return real ? real(pdf_path, output_dir) : -1;
}
