// pdfextractimg/pdfextractimg.cpp - the seven exported entry points: argument checks, the error
// text, loading and releasing the document, and the results as image files or a JSON listing.
#include "pdfextractimg.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#ifdef _WIN32
#include <direct.h>
#include <sys/stat.h>
#include <sys/types.h>
#else
#include <sys/stat.h>
#include <sys/types.h>
#endif

#include "pdfcore/pdfcore.h"
#include "pdfextractimg/extract.h"

const int err_size = 1024;  // the error text, NUL included

// The message of the last failure, or "". Cleared at the start of every entry point but
// pdfextractimg_last_error.
static char g_err[err_size];
// The JSON text of the last successful pdfextractimg_info; all zero until then.
static buf g_info_buf;

__attribute__((format(printf, 1, 2))) static void set_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_err, sizeof g_err, fmt, ap);
    va_end(ap);
}

static inline bool is_sep(char c) { return c == '/' || c == '\\'; }

// A malloc'd copy of path (NULL when it cannot be allocated). Backslashes separate directories on
// every platform; where the system knows only "/", they become "/", so that "out\\sub" names the
// same directory for mkdir and for the image files.
static char *dir_copy(const char *path) {
    size_t n = strlen(path);
    char *p = (char *)malloc(n + 1);
    if (!p) return nullptr;
    memcpy(p, path, n + 1);
#ifndef _WIN32
    for (size_t i = 0; i < n; i++)
        if (p[i] == '\\') p[i] = '/';
#endif
    return p;
}

// One level of directory; 0 when created.
static int make_dir(const char *path) {
#ifdef _WIN32
    return _mkdir(path);
#else
    return mkdir(path, 0777);
#endif
}

static bool is_dir(const char *path) {
#ifdef _WIN32
    struct _stat64i32 st;
    return _stat64i32(path, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR;
#else
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
#endif
}

// Creates path and its missing parents. 0 when path is a directory at the end, -1 otherwise (an
// existing file is no directory). The path is used whole, however long: creating a shortened path
// would put the images somewhere the caller never named.
static int qv_mkdir_p(const char *path) {
    if (!path || !*path) return -1;
    char *p = dir_copy(path);
    if (!p) return -1;
    size_t n = strlen(p);
    // One trailing separator goes, unless it is the whole path ("/").
    if (n > 1 && is_sep(p[n - 1])) p[--n] = '\0';
    // The first character is never a split point, so "/a" does not ask for the empty name.
    for (size_t i = 1; i < n; i++) {
        if (!is_sep(p[i])) continue;
        char c = p[i];
        p[i] = '\0';
        (void)make_dir(p);  // only the final state of the whole path counts
        p[i] = c;
    }
    (void)make_dir(p);
    int rc = is_dir(p) ? 0 : -1;
    free(p);
    return rc;
}

// Writes n bytes to path. 1 when every byte was written and the file closed cleanly; otherwise 0,
// and a file that was created is removed rather than left half-written beside good ones.
static int write_file_whole(const char *path, const uint8_t *data, uint64_t n) {
    FILE *f = fopen(path, "wb");
    if (!f) return 0;
    size_t done = n ? fwrite(data, 1, (size_t)n, f) : 0;
    int ok = (uint64_t)done == n;
    if (fclose(f) != 0) ok = 0;
    if (!ok) remove(path);
    return ok;
}

// Prepares *sink for output_dir. 0, or -1 when the name cannot be allocated.
static int sink_open(const char *output_dir, img_sink *sink) {
    memset(sink, 0, sizeof *sink);
    char *dir = dir_copy(output_dir);
    if (!dir) return -1;
    size_t n = strlen(dir);
    while (n > 0 && is_sep(dir[n - 1])) n--;  // "out///" and "out" name the same files
    sink->name = (char *)malloc(n + img_sink_tail);
    if (sink->name) memcpy(sink->name, dir, n);
    free(dir);
    sink->dir_len = n;
    return sink->name ? 0 : -1;
}

int img_sink_write(img_sink *sink, int32_t number, const extracted_image *rec) {
    const char *ext = strcmp(rec->format, "jpeg") == 0 ? "jpg" : "png";
    snprintf(sink->name + sink->dir_len, img_sink_tail, "/image_%03d.%s", (int)number, ext);
    return write_file_whole(sink->name, rec->data, rec->data_len);
}

// Loads pdf_path into *doc. 0, or -1 with the core's message copied and the record released.
static int load_doc(const char *pdf_path, pdfcore_doc *doc) {
    memset(doc, 0, sizeof *doc);
    if (pdfcore_load(pdf_path, doc) == 1) return 0;
    set_error("%s", pdfcore_last_error());
    pdfcore_doc_free(doc);
    return -1;
}

// Collects the document's images (page_index -1: all of them, duplicates removed), each written
// to sink as it comes when sink is not null, or kept without its data when drop_data is 1 (and
// with count_only 1, PNG images only checked, not encoded: the records serve a count). 0, or
// -1 with "out of memory" when the record list could not hold them; the list is emptied then, and
// the files already written to sink are removed again, so that a failed call leaves no files.
static int collect(const pdfcore_doc *doc, int32_t page_index, img_sink *sink, int32_t drop_data,
                   int32_t count_only, img_vec *list) {
    memset(list, 0, sizeof *list);
    list->sink = sink;
    list->drop_data = drop_data;
    list->count_only = count_only;
    list->defer_png = sink && sink->writer ? 1 : 0;
    if (page_index < 0) collect_all_images(doc, list);
    else collect_page_images(doc, page_index, list);
    // Every file is on disk (or was given up) before the result is known or files are removed.
    if (sink && img_writer_finish(sink) != 0) list->failed = 1;
    if (!list->failed) return 0;
    for (int32_t i = 0; sink && i < list->count; i++) {
        const char *ext = strcmp(list->items[i].format, "jpeg") == 0 ? "jpg" : "png";
        snprintf(sink->name + sink->dir_len, img_sink_tail, "/image_%03d.%s", (int)(i + 1), ext);
        remove(sink->name);
    }
    img_vec_free(list);
    set_error("out of memory");
    return -1;
}

// The frame of pdfextractimg_all (whole) and pdfextractimg_page.
static int extract_to_dir(const char *pdf_path, bool whole, int page, const char *output_dir) {
    if (!pdf_path || !*pdf_path) {
        set_error("Invalid input path (NULL or empty)");
        return -1;
    }
    if (!whole && page <= 0) {
        set_error("Invalid page number %d (pages are 1-based)", page);
        return -1;
    }
    if (!output_dir || !*output_dir) {
        set_error("Invalid output directory (NULL or empty)");
        return -1;
    }
    if (qv_mkdir_p(output_dir) != 0) {
        set_error("Failed to create output directory: %s", output_dir);
        return -1;
    }
    pdfcore_doc doc;
    if (load_doc(pdf_path, &doc) != 0) return -1;
    if (!whole && page > doc.pages.count) {
        set_error("Page %d out of range (document has %d pages)", page, (int)doc.pages.count);
        pdfcore_doc_free(&doc);
        return -1;
    }
    img_sink sink;
    if (sink_open(output_dir, &sink) != 0) {
        set_error("out of memory");
        pdfcore_doc_free(&doc);
        return -1;
    }
    img_writer_start(&sink);  // without it, each image is encoded and written in turn
    img_vec list;
    int result = -1;
    if (collect(&doc, whole ? -1 : (int32_t)(page - 1), &sink, 0, 0, &list) == 0) result = sink.written;
    img_vec_free(&list);
    free(sink.name);
    pdfcore_doc_free(&doc);
    return result;
}

// The JSON array of the records, without spaces, in a new buf. 0, or -1 when it cannot be
// allocated (*out released).
static int build_listing(const img_vec *list, buf *out) {
    memset(out, 0, sizeof *out);
    buf_init(out);
    buf_str(out, "[");
    for (int32_t i = 0; i < list->count && out->data; i++) {
        const extracted_image *r = &list->items[i];
        // At most 103 characters: three 11-character integers, "jpeg" and a 20-digit size.
        char elem[256];
        snprintf(elem, sizeof elem,
                 "{\"page\":%d,\"width\":%d,\"height\":%d,\"type\":\"%s\",\"size\":%" PRIu64 "}",
                 (int)r->page, (int)r->width, (int)r->height, r->format, r->size);
        if (i > 0) buf_str(out, ",");
        buf_str(out, elem);
    }
    buf_str(out, "]");
    if (!out->data) return -1;
    return 0;
}

extern "C" {

PDFEXTRACTIMG_API int pdfextractimg_init(void) {
    g_err[0] = '\0';
    return 1;
}

PDFEXTRACTIMG_API void pdfextractimg_cleanup(void) {
    g_err[0] = '\0';
    buf_free(&g_info_buf);
}

PDFEXTRACTIMG_API int pdfextractimg_all(const char *pdf_path, const char *output_dir) {
    g_err[0] = '\0';
    return extract_to_dir(pdf_path, true, 0, output_dir);
}

PDFEXTRACTIMG_API int pdfextractimg_page(const char *pdf_path, int page, const char *output_dir) {
    g_err[0] = '\0';
    return extract_to_dir(pdf_path, false, page, output_dir);
}

PDFEXTRACTIMG_API const char *pdfextractimg_info(const char *pdf_path) {
    g_err[0] = '\0';
    if (!pdf_path || !*pdf_path) {
        set_error("Invalid input path (NULL or empty)");
        return nullptr;
    }
    pdfcore_doc doc;
    if (load_doc(pdf_path, &doc) != 0) return nullptr;
    img_vec list;
    const char *result = nullptr;
    if (collect(&doc, -1, nullptr, 1, 0, &list) == 0) {
        buf text;
        if (build_listing(&list, &text) == 0) {
            // The previous listing is replaced only now: a failed call leaves it in place.
            buf_free(&g_info_buf);
            g_info_buf = text;
            result = (const char *)g_info_buf.data;
        } else {
            set_error("out of memory");
        }
    }
    img_vec_free(&list);
    pdfcore_doc_free(&doc);
    return result;
}

PDFEXTRACTIMG_API int pdfextractimg_count(const char *pdf_path) {
    g_err[0] = '\0';
    if (!pdf_path || !*pdf_path) {
        set_error("Invalid input path (NULL or empty)");
        return -1;
    }
    pdfcore_doc doc;
    if (load_doc(pdf_path, &doc) != 0) return -1;
    img_vec list;
    int result = -1;
    if (collect(&doc, -1, nullptr, 1, 1, &list) == 0) result = (int)list.count;
    img_vec_free(&list);
    pdfcore_doc_free(&doc);
    return result;
}

PDFEXTRACTIMG_API const char *pdfextractimg_last_error(void) { return g_err; }

}  // extern "C"
