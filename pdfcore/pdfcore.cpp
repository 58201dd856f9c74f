// pdfcore/pdfcore.cpp - document load and lifetime, and the document's error text.
#include "pdfcore/pdfcore.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// ---- the file's bytes ----------------------------------------------------------------------------
//
// The bytes live in anonymous memory of their own, never in a mapping of the file (a file cut short
// while mapped would end the process with SIGBUS). The memory is mapped and populated in one step,
// so that the large reads that fill it take no page fault per page. (Transparent huge pages, tried
// too, made a load of a 790 MB file slower: the kernel compacts memory to find them.)

#ifndef MAP_POPULATE
#define MAP_POPULATE 0  // systems without it fault the pages in as the reads fill them
#endif

static const size_t read_chunk = (size_t)8 << 20;  // bytes per read call

static size_t page_round(size_t n) {
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    return (n + page - 1) / page * page;
}

// Memory for size bytes (size > 0), freed by file_memory_free(p, size); null when none.
static uint8_t *file_memory_new(size_t size) {
    void *p = mmap(nullptr, page_round(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
                   -1, 0);
    return p == MAP_FAILED ? nullptr : (uint8_t *)p;
}

static void file_memory_free(uint8_t *p, size_t size) {
    if (p) munmap(p, page_round(size));
}

// Reads size bytes at the start of fd into p; false when the file holds fewer or a read fails.
static bool read_all(int fd, uint8_t *p, size_t size) {
    size_t got = 0;
    while (got < size) {
        size_t want = size - got < read_chunk ? size - got : read_chunk;
        ssize_t n = read(fd, p + got, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += (size_t)n;
    }
    return true;
}

// Reads the whole file into doc->data and doc->size. 0, or -1 with the message set. The file is
// opened without blocking and must be a regular file: a FIFO, a device or a directory is refused
// before anything is read from it.
static int32_t read_file(const char *path, pdfcore_doc *doc) {
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
    // Positions are 32-bit: a file of 2 GiB or more cannot be indexed.
    if (st.st_size > (off_t)INT32_MAX) {
        close(fd);
        return set_error(doc, "read error on %s", path);
    }
    if (st.st_size <= 0) {
        close(fd);
        return set_error(doc, "empty input file: %s", path);
    }
    size_t size = (size_t)st.st_size;
    doc->data = file_memory_new(size);
    bool ok = doc->data && read_all(fd, doc->data, size);  // false too when the file got shorter
    close(fd);
    if (!ok) {
        file_memory_free(doc->data, size);
        doc->data = nullptr;
        return set_error(doc, "read error on %s", path);
    }
    doc->size = (int32_t)size;
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
    const uint8_t *data = doc->data;
    int32_t size = doc->size;
    const pdfcore_obj *cat = obj_find(&doc->objs, doc->catalog);
    if (!cat) return set_error(doc, "catalog (obj %ld) has no /Pages reference", (long)doc->catalog);
    int32_t type = obj_type(data, size, cat, doc->names);
    int32_t root = doc->catalog;  // a catalog that is itself a /Page or /Pages is the tree's root
    if (type != 1 && type != 2) {
        root = parse_pages_ref(data, size, cat, doc->names);
        if (root < 0)
            return set_error(doc, "catalog (obj %ld) has no /Pages reference", (long)doc->catalog);
    }
    int32_t n = resolve_pages(data, size, &doc->objs, root, doc->max_num, &doc->pages, visited, 0,
                              doc->names);
    if (n < 0)
        return set_error(doc,
                         "could not resolve the page tree (obj %ld is not a /Pages or /Page object, "
                         "or tree is broken)",
                         (long)root);
    if (n == 0 || doc->pages.count == 0) return set_error(doc, "document has no pages");
    return 0;
}

int32_t doc_load(const char *path, pdfcore_doc *doc) {
    memset(doc, 0, sizeof *doc);
    doc->catalog = -1;
    doc->info = -1;
    doc->encrypt_num = -1;
    doc->xref.root = -1;
    doc->xref.info = -1;
    doc->xref.startxref = -1;
    if (!path) return set_error(doc, "NULL path argument");
    if (read_file(path, doc) != 0) return -1;
    doc->names = names_new(doc->data, doc->size);  // NULL: every search scans
    const uint8_t *data = doc->data;
    int32_t size = doc->size;
    name_index *names = doc->names;

    parse_xref(data, size, &doc->xref);
    scan_pass1(data, size, &doc->objs);
    scan_pass2(data, size, &doc->objs, names);
    // Encrypted streams are decrypted before object streams are unpacked. A document that does not
    // open is loaded on as stored, so that it fails where any other document would before it is
    // refused.
    int32_t encryption = doc_open_encryption(doc);
    if (encryption == 1) {  // the name lists were made over the stored bytes
        names_free(doc->names);
        doc->names = names = names_new(data, size);
    }
    extract_all_objstm(doc);
    doc->max_num = select_objects(data, size, &doc->objs, names);
    // One entry per number from here on: obj_find reads a table instead of scanning the index
    // (without it, every lookup of every page and resource walk would scan the whole index).
    doc->objs.lookup = obj_first_positions(&doc->objs, &doc->objs.lookup_max);
    if (doc->objs.count == 0)
        return set_error(doc, "no PDF objects found \xE2\x80\x94 not a PDF: %s", path);
    if (encryption < 0) return set_error(doc, "encrypted PDFs are not supported: %s", path);

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
        if (pages_by_type(data, size, &doc->objs, &doc->pages, names) == 0) return -1;
        doc->error[0] = 0;
    }
    doc->loaded = 1;
    return 0;
}

int pdfcore_load(const char *path, pdfcore_doc *doc) { return doc_load(path, doc) == 0 ? 1 : 0; }

void doc_free(pdfcore_doc *doc) {
    names_free(doc->names);
    buf_free(&doc->decoded);
    file_memory_free(doc->data, (size_t)doc->size);
    arena_free(&doc->arena);
    free(doc->objs.items);
    free(doc->objs.lookup);
    free(doc->pages.items);
    xref_free(&doc->xref);
    memset(doc, 0, sizeof *doc);
}

void pdfcore_doc_free(pdfcore_doc *doc) { doc_free(doc); }
