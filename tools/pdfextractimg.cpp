// tools/pdfextractimg.cpp - command-line host of the shared library: extracts, lists or counts the
// images of a PDF file from a shell.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pdfextractimg.h"

#ifndef PDFEXTRACTIMG_VERSION
#define PDFEXTRACTIMG_VERSION "unknown"
#endif

static const char usage[] =
    "Usage:\n"
    "  pdfextractimg all FILE.pdf OUTDIR       write every image into OUTDIR\n"
    "  pdfextractimg page FILE.pdf N OUTDIR    write the images of page N (1-based) into OUTDIR\n"
    "  pdfextractimg info FILE.pdf             print a JSON listing of the images\n"
    "  pdfextractimg count FILE.pdf            print the number of images\n"
    "  pdfextractimg --help | --version\n"
    "\n"
    "Images are written as image_001.jpg (JPEG images, as stored) or image_002.png (all others),\n"
    "numbered in page order; an image used on several pages is written once by 'all'.\n";

// Exit codes: 0 success, 1 the library reported a failure, 2 a usage error.
static int usage_error(const char *why) {
    fprintf(stderr, "pdfextractimg: %s\n%s", why, usage);
    return 2;
}

static int library_error() {
    fprintf(stderr, "pdfextractimg: %s\n", pdfextractimg_last_error());
    return 1;
}

// A whole decimal int (sign allowed); false for anything else.
static bool parse_int(const char *s, int *out) {
    if (!s || !*s) return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno != 0 || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
    *out = (int)v;
    return true;
}

static void print_written(int n, const char *dir) {
    printf("%d image file%s written to %s\n", n, n == 1 ? "" : "s", dir);
}

int main(int argc, char **argv) {
    if (argc < 2) return usage_error("no command given");
    const char *cmd = argv[1];
    if (strcmp(cmd, "--help") == 0 || strcmp(cmd, "-h") == 0) {
        fputs(usage, stdout);
        return 0;
    }
    if (strcmp(cmd, "--version") == 0) {
        printf("pdfextractimg %s\n", PDFEXTRACTIMG_VERSION);
        return 0;
    }
    int rc = 0;
    if (strcmp(cmd, "all") == 0) {
        if (argc != 4) return usage_error("'all' takes FILE.pdf OUTDIR");
        int n = pdfextractimg_all(argv[2], argv[3]);
        if (n < 0) rc = library_error();
        else print_written(n, argv[3]);
    } else if (strcmp(cmd, "page") == 0) {
        int page = 0;
        if (argc != 5) return usage_error("'page' takes FILE.pdf N OUTDIR");
        if (!parse_int(argv[3], &page)) return usage_error("the page number is not an integer");
        int n = pdfextractimg_page(argv[2], page, argv[4]);
        if (n < 0) rc = library_error();
        else print_written(n, argv[4]);
    } else if (strcmp(cmd, "info") == 0) {
        if (argc != 3) return usage_error("'info' takes FILE.pdf");
        const char *json = pdfextractimg_info(argv[2]);
        if (!json) rc = library_error();
        else printf("%s\n", json);
    } else if (strcmp(cmd, "count") == 0) {
        if (argc != 3) return usage_error("'count' takes FILE.pdf");
        int n = pdfextractimg_count(argv[2]);
        if (n < 0) rc = library_error();
        else printf("%d\n", n);
    } else {
        return usage_error("unknown command");
    }
    pdfextractimg_cleanup();
    if (fflush(stdout) != 0 && rc == 0) {
        fprintf(stderr, "pdfextractimg: cannot write the output\n");
        rc = 1;
    }
    return rc;
}
