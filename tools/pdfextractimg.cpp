// tools/pdfextractimg.cpp - command-line host of the shared library: extracts, lists or counts the
// images of a PDF file from a shell, or extracts many PDFs in worker processes (batch.h).
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "batch.h"
#include "host_json.h"
#include "pdfextractimg.h"

#ifndef PDFEXTRACTIMG_VERSION
#define PDFEXTRACTIMG_VERSION "unknown"
#endif

static const char usage[] =
    "Usage:\n"
    "  pdfextractimg all FILE.pdf OUTDIR       write every image into OUTDIR\n"
    "  pdfextractimg page FILE.pdf N OUTDIR    write the images of page N (1-based) into OUTDIR\n"
    "  pdfextractimg info FILE.pdf             print a JSON listing of the images\n"
    "  pdfextractimg list FILE.pdf             print a table of the images: page, number, type, size\n"
    "  pdfextractimg count FILE.pdf            print the number of images\n"
    "  pdfextractimg batch [OPTIONS] OUTROOT PATH...\n"
    "                                          extract many PDFs, each in a worker process, into\n"
    "                                          OUTROOT/<path relative to PATH, without .pdf>/\n"
    "  pdfextractimg --help | --version\n"
    "\n"
    "Batch options:\n"
    "  -j N           worker processes (default: the number of processors)\n"
    "  --timeout S    seconds a file may take before its worker is killed (default 120; 0: no limit)\n"
    "  --report FILE  JSON Lines report, appended as files finish (default OUTROOT/report.jsonl)\n"
    "  --resume       skip the files that the report holds as done\n"
    "  --from LIST    read more PATHs from LIST, one a line ('-': standard input)\n"
    "A PATH that is a directory is searched recursively for *.pdf (any case); any other PATH is\n"
    "taken as a PDF whatever its name. On a terminal a progress line is shown on stderr.\n"
    "\n"
    "Images are written as image_001.jpg (JPEG images, as stored) or image_002.png (all others),\n"
    "numbered in page order; an image used on several pages is written once by 'all'.\n"
    "Exit status: 0 success, 1 failure (batch: some file failed), 2 usage error.\n";

// Exit codes: 0 success, 1 the library reported a failure, 2 a usage error.
static int usage_error(const char *why) {
    fprintf(stderr, "pdfextractimg: %s\n%s", why, usage);
    return 2;
}

static int library_error() {
    const char *why = pdfextractimg_last_error();
    fprintf(stderr, "pdfextractimg: %s\n", *why ? why : "failed, and the library gave no reason");
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

// A byte count as listings show it: 686B, 12.3K, 4.1M.
static std::string size_text(double bytes) {
    char buf[32];
    if (bytes < 1024) snprintf(buf, sizeof buf, "%.0fB", bytes);
    else if (bytes < 1024.0 * 1024) snprintf(buf, sizeof buf, "%.1fK", bytes / 1024);
    else if (bytes < 1024.0 * 1024 * 1024) snprintf(buf, sizeof buf, "%.1fM", bytes / (1024.0 * 1024));
    else snprintf(buf, sizeof buf, "%.1fG", bytes / (1024.0 * 1024 * 1024));
    return buf;
}

// The JSON listing as a table, one row per image; num is the number in the image's file name.
static int print_table(const char *json) {
    std::string text(json);
    std::vector<host_json_field> f;
    size_t pos = 0;
    while (pos < text.size() && text[pos] != '[') pos++;
    pos++;
    printf("page   num  type   width height     size\n");
    printf("-----------------------------------------\n");
    for (int num = 1; pos < text.size() && text[pos] != ']'; num++) {
        if (host_json_object(text, &pos, f) != 0) return -1;
        const host_json_field *page = host_json_find(f, "page"), *type = host_json_find(f, "type");
        const host_json_field *w = host_json_find(f, "width"), *h = host_json_find(f, "height");
        const host_json_field *size = host_json_find(f, "size");
        if (!page || !type || !w || !h || !size) return -1;
        printf("%4.0f %5d  %-5s %6.0f %6.0f %8s\n", page->number, num, type->text.c_str(), w->number, h->number,
               size_text(size->number).c_str());
        if (pos < text.size() && text[pos] == ',') pos++;
    }
    return 0;
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
    if (strcmp(cmd, "batch") == 0) return batch_main(argc - 2, argv + 2, usage_error);
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
    } else if (strcmp(cmd, "list") == 0) {
        if (argc != 3) return usage_error("'list' takes FILE.pdf");
        const char *json = pdfextractimg_info(argv[2]);
        if (!json) {
            rc = library_error();
        } else if (print_table(json) != 0) {
            fprintf(stderr, "pdfextractimg: the library's listing did not parse: %s\n", json);
            rc = 1;
        }
    } else if (strcmp(cmd, "count") == 0) {
        if (argc != 3) return usage_error("'count' takes FILE.pdf");
        int n = pdfextractimg_count(argv[2]);
        if (n < 0) rc = library_error();
        else printf("%d\n", n);
    } else {
        return usage_error("unknown command");
    }
    pdfextractimg_cleanup();
    errno = 0;
    bool unwritten = fflush(stdout) != 0 || ferror(stdout);
    if (unwritten && rc == 0) {
        fprintf(stderr, "pdfextractimg: cannot write the output: %s\n", errno ? strerror(errno) : "write error");
        rc = 1;
    }
    return rc;
}
