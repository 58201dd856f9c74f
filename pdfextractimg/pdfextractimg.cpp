// pdfextractimg/pdfextractimg.cpp - the seven exported entry points: argument checks, the error
// text and the last listing (per calling thread), loading and releasing the document, and the
// choice of where the images go (files, a JSON listing or a count; output.h).
#include "pdfextractimg.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "pdfcore/pdfcore.h"
#include "pdfextractimg/extract.h"
#include "pdfextractimg/output.h"

const int err_size = 1024;  // the error text, NUL included

// What the entry points keep between calls, per calling thread: the message of the last failure
// (or ""), cleared at the start of every entry point but pdfextractimg_last_error, and the JSON text
// of the last successful pdfextractimg_info (all zero until then), released when the thread ends.
struct thread_state {
    char err[err_size];
    buf info;
    ~thread_state() { buf_free(&info); }
};
static thread_local thread_state t_state;

__attribute__((format(printf, 1, 2))) static void set_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(t_state.err, sizeof t_state.err, fmt, ap);
    va_end(ap);
}

// Loads pdf_path into *doc. 0, or -1 with the core's message copied and the record released.
static int load_doc(const char *pdf_path, pdfcore_doc *doc) {
    memset(doc, 0, sizeof *doc);
    if (pdfcore_load(pdf_path, doc) == 1) return 0;
    set_error("%s", pdfcore_last_error(doc));
    pdfcore_doc_free(doc);
    return -1;
}

// Hands the document's images (page_index -1: all of them, duplicates removed) to to. 0, or -1
// when a record was lost.
static int collect(pdfcore_doc *doc, int32_t page_index, const image_receiver *to) {
    return page_index < 0 ? collect_all_images(doc, to) : collect_page_images(doc, page_index, to);
}

// The frame of pdfextractimg_all (whole) and pdfextractimg_page. The output directory is made only
// once the document has loaded and the page is known to exist.
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
    pdfcore_doc doc;
    if (load_doc(pdf_path, &doc) != 0) return -1;
    int result = -1;
    image_files files;
    if (!whole && page > doc.pages.count) {
        set_error("Page %d out of range (document has %d pages)", page, (int)doc.pages.count);
    } else if (qv_mkdir_p(output_dir) != 0) {
        set_error("Failed to create output directory: %s", output_dir);
    } else if (image_files_open(&files, output_dir, 1) != 0) {
        set_error("%s", files.error);
    } else {
        files.source_name = pdf_path;
        image_receiver to = image_files_receiver(&files);
        int lost = collect(&doc, whole ? -1 : (int32_t)(page - 1), &to) != 0;
        result = image_files_close(&files, lost);  // a failed call leaves no files of its own
        if (result < 0) set_error("%s", files.error);
    }
    pdfcore_doc_free(&doc);
    return result;
}

extern "C" {

PDFEXTRACTIMG_API int pdfextractimg_init(void) {
    t_state.err[0] = '\0';
    return 1;
}

PDFEXTRACTIMG_API void pdfextractimg_cleanup(void) {
    t_state.err[0] = '\0';
    buf_free(&t_state.info);
}

PDFEXTRACTIMG_API int pdfextractimg_all(const char *pdf_path, const char *output_dir) {
    t_state.err[0] = '\0';
    return extract_to_dir(pdf_path, true, 0, output_dir);
}

PDFEXTRACTIMG_API int pdfextractimg_page(const char *pdf_path, int page, const char *output_dir) {
    t_state.err[0] = '\0';
    return extract_to_dir(pdf_path, false, page, output_dir);
}

PDFEXTRACTIMG_API const char *pdfextractimg_info(const char *pdf_path) {
    t_state.err[0] = '\0';
    if (!pdf_path || !*pdf_path) {
        set_error("Invalid input path (NULL or empty)");
        return nullptr;
    }
    pdfcore_doc doc;
    if (load_doc(pdf_path, &doc) != 0) return nullptr;
    image_listing listing;
    const char *result = nullptr;
    if (image_listing_open(&listing, 1) == 0) {
        image_receiver to = image_listing_receiver(&listing);
        int lost = collect(&doc, -1, &to) != 0;
        if (image_listing_close(&listing, lost) == 0) {
            // The previous listing is replaced only now: a failed call leaves it in place.
            buf_free(&t_state.info);
            t_state.info = listing.text;
            result = (const char *)t_state.info.data;
        }
    }
    if (!result) set_error("out of memory");
    pdfcore_doc_free(&doc);
    return result;
}

PDFEXTRACTIMG_API int pdfextractimg_count(const char *pdf_path) {
    t_state.err[0] = '\0';
    if (!pdf_path || !*pdf_path) {
        set_error("Invalid input path (NULL or empty)");
        return -1;
    }
    pdfcore_doc doc;
    if (load_doc(pdf_path, &doc) != 0) return -1;
    int32_t count = 0;
    image_receiver to = image_count_receiver(&count);
    int result = collect(&doc, -1, &to) == 0 ? (int)count : -1;
    if (result < 0) set_error("out of memory");
    pdfcore_doc_free(&doc);
    return result;
}

PDFEXTRACTIMG_API const char *pdfextractimg_last_error(void) { return t_state.err; }

}  // extern "C"
