// pdfcore/pdfcore.cpp - document load and lifetime, and the document's error text.
#include "pdfcore/pdfcore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char *pdfcore_last_error(const pdfcore_doc *doc) { return doc->error; }

void pdfcore_vserror(pdfcore_doc *doc, const char *fmt, va_list args) {
    doc->error[0] = 0;
    vsnprintf(doc->error, sizeof doc->error, fmt, args);
}

void pdfcore_set_error(pdfcore_doc *doc, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    pdfcore_vserror(doc, fmt, args);
    va_end(args);
}

// Every load failure: the message, then -1.
static int32_t set_error(pdfcore_doc *doc, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static int32_t set_error(pdfcore_doc *doc, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    pdfcore_vserror(doc, fmt, args);
    va_end(args);
    return -1;
}

// ---- the file -----------------------------------------------------------------------------------
//
// The file is read in pieces through its descriptor (pread), never held whole and never mapped: a
// file cut short while mapped would end the process with SIGBUS; a read that comes back short is an
// error of what it reads.

// Opens the file at path into doc->src (the descriptor the document's). 0, or -1 with the message
// set. The file is opened without blocking and must be a regular file: a FIFO, a device or a
// directory is refused before anything is read from it.
static int32_t open_file(const char *path, pdfcore_doc *doc) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return set_error(doc, "cannot open %s", path);
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return set_error(doc, "read error on %s", path);
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return set_error(doc, "not a regular file: %s", path);
    }
    if (src_from_fd(&doc->src, fd) != 0) {
        close(fd);
        return set_error(doc, "read error on %s", path);
    }
    if (doc->src.size <= 0) return set_error(doc, "empty input file: %s", path);
    doc->size = doc->src.size;
    return 0;
}

// The name /Catalog in the object's text span (never in stream data).
static bool has_catalog_name(const pdfcore_doc *doc, const pdfcore_obj *e) {
    pdfcore_span s;
    return pdfcore_obj_span(doc, e, &s) && pdfcore_find_key(&s, "Catalog") >= 0;
}

static int32_t find_catalog(const pdfcore_doc *doc) {
    int32_t root = doc->xref.root;
    if (root != -1 && obj_find(&doc->objs, root)) return root;
    for (int32_t i = 0; i < doc->objs.count; i++)
        if (has_catalog_name(doc, &doc->objs.items[i])) return doc->objs.items[i].num;
    return 1;
}

// The page tree's pages into doc->pages (visited: max_num + 1 zero bytes, for resolve_pages). 0,
// or -1 with the message that says why it yields none.
static int32_t walk_page_tree(pdfcore_doc *doc, uint8_t *visited) {
    const pdfcore_obj *cat = obj_find(&doc->objs, doc->catalog);
    if (!cat) return set_error(doc, "catalog (obj %ld) has no /Pages reference", (long)doc->catalog);
    int32_t type = obj_type(doc, cat);
    int32_t root = doc->catalog;  // a catalog that is itself a /Page or /Pages is the tree's root
    if (type != 1 && type != 2) {
        root = parse_pages_ref(doc, cat);
        if (root < 0)
            return set_error(doc, "catalog (obj %ld) has no /Pages reference", (long)doc->catalog);
    }
    int32_t n = resolve_pages(doc, root, doc->max_num, &doc->pages, visited, 0);
    if (n < 0)
        return set_error(doc,
                         "could not resolve the page tree (obj %ld is not a /Pages or /Page object, "
                         "or tree is broken)",
                         (long)root);
    if (n == 0 || doc->pages.count == 0) return set_error(doc, "document has no pages");
    return 0;
}

// A record ready for a load: zeroed, "none" where zero means something, the name kept.
static int32_t doc_start(pdfcore_doc *doc, const char *name) {
    memset(doc, 0, sizeof *doc);
    doc->src.fd = -1;
    doc->catalog = -1;
    doc->info = -1;
    doc->encrypt_num = -1;
    doc->xref.root = -1;
    doc->xref.info = -1;
    doc->xref.startxref = -1;
    doc->stm_data = objstm_data;
    if (!name) return set_error(doc, "NULL path argument");
    size_t n = strlen(name);
    doc->path = (char *)malloc(n + 1);
    if (!doc->path) return set_error(doc, "out of memory");
    memcpy(doc->path, name, n + 1);
    return 0;
}

int32_t doc_build_index(pdfcore_doc *doc, int32_t *encryption) {
    const char *path = doc->path;
    if (parse_xref(&doc->src, &doc->xref) != 0) return set_error(doc, "read error on %s", path);
    int32_t scan = scan_file_index(&doc->src, win_library_cap, &doc->objs);
    if (scan == scan_read_failed) return set_error(doc, "read error on %s", path);
    if (scan != scan_done) return set_error(doc, "out of memory");
    // Encryption is known before object streams are unpacked (their data decrypts as it is read).
    // A document that does not open is loaded on as stored, so that it fails where any other
    // document would before it is refused.
    *encryption = doc_open_encryption(doc);
    extract_all_objstm(doc);
    doc->max_num = select_objects(doc);
    // One entry per number from here on: obj_find reads a table instead of scanning the index
    // (without it, every lookup of every page and resource walk would scan the whole index).
    doc->objs.lookup = obj_first_positions(&doc->objs, &doc->objs.lookup_max);
    if (doc->read_failed) return set_error(doc, "read error on %s", path);
    if (doc->objs.count == 0)
        return set_error(doc, "no PDF objects found \xE2\x80\x94 not a PDF: %s", path);
    if (*encryption < 0) return set_error(doc, "encrypted PDFs are not supported: %s", path);
    return 0;
}

// The load after the file is open: index, catalog, pages.
static int32_t load_opened(pdfcore_doc *doc) {
    int32_t encryption = 0;
    if (doc_build_index(doc, &encryption) != 0) return -1;
    doc->catalog = find_catalog(doc);
    doc->info = (doc->xref.info != -1 && obj_find(&doc->objs, doc->xref.info)) ? doc->xref.info : -1;
    uint8_t *visited = (uint8_t *)calloc((size_t)doc->max_num + 1, 1);
    if (!visited) return set_error(doc, "out of memory");
    int32_t walked = walk_page_tree(doc, visited);
    free(visited);
    if (walked != 0) {
        // A tree that yields no page (damaged, looping back on itself, missing): the pages are
        // the objects that say /Type /Page, in file order; with none, the tree's message stands.
        doc->pages.count = 0;
        if (pages_by_type(doc, &doc->pages) == 0) return -1;
        doc->error[0] = 0;
    }
    if (doc->read_failed) return set_error(doc, "read error on %s", doc->path);
    doc->loaded = 1;
    return 0;
}

int32_t doc_load(const char *path, pdfcore_doc *doc) {
    if (doc_start(doc, path) != 0) return -1;
    if (open_file(path, doc) != 0) return -1;
    return load_opened(doc);
}

int32_t doc_open_memory(const uint8_t *bytes, int64_t len, const char *name, pdfcore_doc *doc) {
    if (doc_start(doc, name) != 0) return -1;
    src_from_memory(&doc->src, bytes, len, len);
    doc->size = doc->src.size;
    if (doc->size <= 0) return set_error(doc, "empty input file: %s", name);
    return 0;
}

int pdfcore_load_memory(const uint8_t *bytes, int64_t len, const char *name, pdfcore_doc *doc) {
    if (doc_open_memory(bytes, len, name, doc) != 0) return 0;
    return load_opened(doc) == 0 ? 1 : 0;
}

int pdfcore_load(const char *path, pdfcore_doc *doc) { return doc_load(path, doc) == 0 ? 1 : 0; }

void doc_free(pdfcore_doc *doc) {
    buf_free(&doc->decoded);
    if (doc->src.fd >= 0) close(doc->src.fd);
    free(doc->path);
    free(doc->stms);
    arena_free(&doc->arena);
    free(doc->objs.items);
    free(doc->objs.lookup);
    free(doc->pages.items);
    xref_free(&doc->xref);
    memset(doc, 0, sizeof *doc);
}

void pdfcore_doc_free(pdfcore_doc *doc) { doc_free(doc); }
