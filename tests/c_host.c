/* tests/c_host.c - a C host of the shared library: the public header compiles as C and the seven
 * entry points link by their plain names. Usage: c_host SAMPLE.pdf; exit 0 on success. */
#include <stdio.h>
#include <string.h>

#include "pdfextractimg.h"

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    if (pdfextractimg_init() != 1) return 1;
    if (strcmp(pdfextractimg_last_error(), "") != 0) return 1;
    int n = pdfextractimg_count(argv[1]);
    const char *json = pdfextractimg_info(argv[1]);
    if (n != 5 || !json || json[0] != '[') {
        fprintf(stderr, "count %d, info %s: %s\n", n, json ? json : "NULL", pdfextractimg_last_error());
        return 1;
    }
    if (pdfextractimg_count("") != -1 || strstr(pdfextractimg_last_error(), "Invalid input path") == NULL)
        return 1;
    pdfextractimg_cleanup();
    pdfextractimg_cleanup();
    return strcmp(pdfextractimg_last_error(), "") == 0 ? 0 : 1;
}
