// The whole document path on hostile files: load, collect and convert every image (whole document
// and page by page), list and count through the entry points, and the core's page content, decoded
// stream and resource readers. The loader reads from a path, so the bytes go through a temporary
// file named for this process.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "include/pdfextractimg.h"
#include "pdfcore/pdfcore.h"
#include "pdfextractimg/extract.h"

static const int32_t max_pages_walked = 64;     // pages visited one by one
static const int32_t max_objects_walked = 512;  // index entries whose streams and resources are read

// Touches the first and last byte of n bytes at p so that AddressSanitizer checks the extent.
static void touch(const uint8_t *p, uint64_t n) {
    if (!p || n == 0) return;
    volatile uint8_t sink = p[0];
    sink = p[n - 1];
    (void)sink;
}

// Checks the records of a collection and returns their count.
static int32_t check_list(const img_vec *list) {
    if (list->count < 0 || list->count > list->capacity) abort();
    for (int32_t i = 0; i < list->count; i++) {
        const extracted_image *r = &list->items[i];
        if (!r->data || r->size != r->data_len || r->size == 0) abort();
        if (strcmp(r->format, "jpeg") != 0 && strcmp(r->format, "png") != 0) abort();
        if (r->page < 1) abort();
        touch(r->data, r->data_len);
    }
    return list->count;
}

static void walk_document(pdfcore_doc *doc) {
    img_vec all;
    memset(&all, 0, sizeof all);
    image_receiver to_all = img_vec_receiver(&all);
    collect_all_images(doc, &to_all);
    check_list(&all);
    img_vec_free(&all);

    int32_t pages = doc->pages.count < max_pages_walked ? doc->pages.count : max_pages_walked;
    for (int32_t i = 0; i < pages; i++) {
        img_vec one;
        memset(&one, 0, sizeof one);
        image_receiver to_one = img_vec_receiver(&one);
        collect_page_images(doc, i, &to_one);
        check_list(&one);
        img_vec_free(&one);

        const uint8_t *content = nullptr;
        int32_t length = -1;
        if (pdfcore_page_content(doc, i, &content, &length) == 1) {
            if (!content || length < 0) abort();
            touch(content, (uint64_t)length);
            if (content[length] != 0) abort();
            free((void *)content);
        } else if (content || length != 0) {
            abort();
        }
        char *res = pdfcore_page_resources(doc, i);
        if (res) {
            touch((const uint8_t *)res, strlen(res) + 1);
            free(res);
        }
    }
    // Out-of-range page indexes are refused, not read.
    const uint8_t *content = nullptr;
    int32_t length = 0;
    if (pdfcore_page_content(doc, doc->pages.count, &content, &length) != 0) abort();
    if (pdfcore_page_content(doc, -1, &content, &length) != 0) abort();
    if (pdfcore_page_resources(doc, doc->pages.count) || pdfcore_page_resources(doc, -1)) abort();

    int32_t objects = doc->objs.count < max_objects_walked ? doc->objs.count : max_objects_walked;
    for (int32_t i = 0; i < objects; i++) {
        const pdfcore_obj *e = &doc->objs.items[i];
        int32_t n = -1;
        const uint8_t *s = pdfcore_decoded_stream(doc, e, &n);
        if (s) {
            if (n <= 0) abort();
            touch(s, (uint64_t)n);
        }
        char *res = pdfcore_obj_resources(doc, e->num);
        if (res) {
            touch((const uint8_t *)res, strlen(res) + 1);
            free(res);
        }
    }
}

// Writes the images of every 16th input into a directory of this process (removed after), through
// pdfextractimg_all and pdfextractimg_page, and checks the number of files written.
static void write_images(const char *path, int count) {
    static char dir[64];
    if (!dir[0]) snprintf(dir, sizeof dir, "/tmp/qv-fuzz-out-%d", (int)getpid());
    int n = pdfextractimg_all(path, dir);
    if (count >= 0 && n != count) abort();  // every listed image is written (the disk permitting)
    (void)pdfextractimg_page(path, 1, dir);
    DIR *d = opendir(dir);
    if (!d) return;
    char file[128];
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        snprintf(file, sizeof file, "%s/%s", dir, e->d_name);
        unlink(file);
    }
    closedir(d);
    rmdir(dir);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static char path[64];
    if (!path[0]) snprintf(path, sizeof path, "/tmp/qv-fuzz-pdf-%d.pdf", (int)getpid());
    FILE *f = fopen(path, "wb");
    if (!f) return 0;
    size_t put = size ? fwrite(data, 1, size, f) : 0;
    if (fclose(f) != 0 || put != size) return 0;

    pdfcore_doc doc;
    memset(&doc, 0, sizeof doc);
    int loaded = pdfcore_load(path, &doc);
    if (loaded == 1) {
        if (!doc.loaded || doc.pages.count <= 0 || doc.size != (int64_t)size) abort();
        walk_document(&doc);
    } else if (pdfcore_last_error(&doc)[0] == 0) {
        abort();  // a failed load always says why
    }
    pdfcore_doc_free(&doc);

    // The entry points load and convert the document again on their own: for every fourth input
    // only, so that the runs above get three times as many executions.
    if (size % 4 != 0) return 0;
    int count = pdfextractimg_count(path);
    const char *json = pdfextractimg_info(path);
    if ((count < 0) != (json == nullptr)) abort();
    if (count < 0 && pdfextractimg_last_error()[0] == 0) abort();
    if (json) {
        if (json[0] != '[') abort();
        int elems = 0;
        for (const char *p = json; *p; p++) elems += *p == '{';
        if (elems != count) abort();
    }
    if (loaded != 1 && count >= 0) abort();
    if (size % 16 == 0) write_images(path, count);
    pdfextractimg_cleanup();
    return 0;
}
