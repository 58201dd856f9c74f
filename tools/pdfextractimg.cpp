// tools/pdfextractimg.cpp - command-line host of the shared library: extracts, lists or counts the
// images of a PDF file from a shell, or extracts many PDFs in worker processes (batch.h).
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "batch.h"
#include "gallery.h"
#include "host_files.h"
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
    "Options of all and page:\n"
    "  --html         also write OUTDIR/index.html, a page showing each image with its page, width x\n"
    "                 height, type and file size ('all' reads the document again for the pages)\n"
    "\n"
    "Batch options:\n"
    "  -j N           worker processes (default: the number of processors)\n"
    "  --timeout S    seconds a file may take before its worker is killed (default 120; 0: no limit)\n"
    "  --report FILE  JSON Lines report, appended as files finish (default OUTROOT/report.jsonl)\n"
    "  --resume       skip the files that the report holds as done\n"
    "  --from LIST    read more PATHs from LIST, one a line ('-': standard input)\n"
    "  --html         also write index.html in each output directory, and OUTROOT/index.html: one row\n"
    "                 per PDF of the whole report with its first images, 500 rows a page\n"
    "A PATH that is a directory is searched recursively for *.pdf (any case); any other PATH is\n"
    "taken as a PDF whatever its name. On a terminal a progress line is shown on stderr.\n"
    "\n"
    "Images are written as image_001.jpg (JPEG images, as stored) or image_002.png (all others),\n"
    "numbered in page order; an image used on several pages is written once by 'all'.\n"
    "--help or -h anywhere (before a '--') prints this text; after '--' every argument is a name.\n"
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

// The JSON listing as a table, one row per image; num is the number in the image's file name.
static int print_table(const char *json) {
    std::vector<std::vector<host_json_field>> listing;
    if (host_json_array(json, listing) != 0) return -1;
    printf("page   num  type   width height     size\n");
    printf("-----------------------------------------\n");
    int num = 1;
    for (const std::vector<host_json_field> &f : listing) {
        const host_json_field *page = host_json_find(f, "page"), *type = host_json_find(f, "type");
        const host_json_field *w = host_json_find(f, "width"), *h = host_json_find(f, "height");
        const host_json_field *size = host_json_find(f, "size");
        if (!page || !type || !w || !h || !size) return -1;
        printf("%4.0f %5d  %-5s %6.0f %6.0f %8s\n", page->number, num++, type->text.c_str(), w->number, h->number,
               host_size_text(size->number).c_str());
    }
    return 0;
}

// --help or -h anywhere before a "--" asks for the usage, whatever else the line holds.
static bool wants_help(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--") == 0) return false;
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) return true;
    }
    return false;
}

// The arguments after the command, without "--html" (which sets *html, where html is given) and
// without the first "--" (after which every argument is taken as it is). nullptr, or the reason of
// a usage error.
static const char *plain_args(int argc, char **argv, bool *html, std::vector<const char *> &args) {
    bool options_end = false;
    for (int i = 0; i < argc; i++) {
        if (!options_end && strcmp(argv[i], "--") == 0) {
            options_end = true;
        } else if (!options_end && strcmp(argv[i], "--html") == 0) {
            if (!html) return "--html goes with 'all', 'page' or 'batch'";
            *html = true;
        } else {
            args.push_back(argv[i]);
        }
    }
    return nullptr;
}

// all (page 0) or page, and with html the gallery of what was written. The exit code.
static int extract(const char *pdf, bool whole, int page, const char *dir, bool html) {
    std::map<std::string, ino_t> before;
    if (html && !whole) before = gallery_snapshot(dir);
    int n = whole ? pdfextractimg_all(pdf, dir) : pdfextractimg_page(pdf, page, dir);
    if (n < 0) return library_error();
    print_written(n, dir);
    if (!html) return 0;
    std::vector<gallery_image> images;
    std::string why;
    int rc = whole ? gallery_images_of_all(pdf, dir, n, images, why)
                   : gallery_images_of_page(dir, page, n, before, images, why);
    if (rc == 0) rc = gallery_write_images(dir, pdf, whole ? 0 : page, images, why);
    if (rc != 0) {
        fprintf(stderr, "pdfextractimg: %s\n", why.c_str());
        return 1;
    }
    printf("gallery: %s\n", host_join(dir, "index.html").c_str());
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 2) return usage_error("no command given");
    const char *cmd = argv[1];
    if (wants_help(argc, argv)) {
        fputs(usage, stdout);
        return 0;
    }
    if (strcmp(cmd, "--version") == 0) {
        printf("pdfextractimg %s\n", PDFEXTRACTIMG_VERSION);
        return 0;
    }
    if (strcmp(cmd, "batch") == 0) return batch_main(argc - 2, argv + 2, usage_error);
    bool extracts = strcmp(cmd, "all") == 0 || strcmp(cmd, "page") == 0, html = false;
    std::vector<const char *> a;
    if (const char *why = plain_args(argc - 2, argv + 2, extracts ? &html : nullptr, a)) return usage_error(why);
    int rc = 0;
    if (strcmp(cmd, "all") == 0) {
        if (a.size() != 2) return usage_error("'all' takes FILE.pdf OUTDIR");
        rc = extract(a[0], true, 0, a[1], html);
    } else if (strcmp(cmd, "page") == 0) {
        int page = 0;
        if (a.size() != 3) return usage_error("'page' takes FILE.pdf N OUTDIR");
        if (!parse_int(a[1], &page)) return usage_error("the page number is not an integer");
        rc = extract(a[0], false, page, a[2], html);
    } else if (strcmp(cmd, "info") == 0) {
        if (a.size() != 1) return usage_error("'info' takes FILE.pdf");
        const char *json = pdfextractimg_info(a[0]);
        if (!json) rc = library_error();
        else printf("%s\n", json);
    } else if (strcmp(cmd, "list") == 0) {
        if (a.size() != 1) return usage_error("'list' takes FILE.pdf");
        const char *json = pdfextractimg_info(a[0]);
        if (!json) {
            rc = library_error();
        } else if (print_table(json) != 0) {
            fprintf(stderr, "pdfextractimg: the library's listing did not parse: %s\n", json);
            rc = 1;
        }
    } else if (strcmp(cmd, "count") == 0) {
        if (a.size() != 1) return usage_error("'count' takes FILE.pdf");
        int n = pdfextractimg_count(a[0]);
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
