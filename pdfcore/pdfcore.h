// pdfcore/pdfcore.h - the PDF core: loads a PDF file into an object index built by scanning, with
// its page list, and reads streams, page content and resource dictionaries from it.
//
// The core reads PDF as text: there is no object parser. Objects are found by scanning the file for
// `N G obj` headers; every question about an object is a search for a /Name inside the object's
// text span, followed by a small reader of the value there.
//
// Text span of an object: for an object from an object stream (in_objstm), body[0, body_len). For
// any other object, the file bytes from dict_off up to stream_kw_off when that is positive, else up
// to endobj_off when that is positive, else up to the end of the file. An object whose dict_off is
// -1 and that is not from an object stream has no span.
//
// Positions, lengths and object numbers are int32_t, -1 meaning "none"; byte counts of buffers are
// uint64_t. Files must be smaller than 2 GiB. Nothing here is thread-safe: the error text and the
// result buffer of pdfcore_decoded_stream are process-wide.
#ifndef QV_PDFCORE_PDFCORE_H
#define QV_PDFCORE_PDFCORE_H
#include <cstdarg>
#include <cstdint>

// ---- constants ----------------------------------------------------------------------------------

const uint64_t buf_first_cap = 1048576;        // first storage of a buf; it then doubles
const int32_t max_obj_num = 8388607;           // higher object numbers never reach the index
const int32_t objstm_max_data = 268435456;     // object stream data above this is given up
const int32_t objstm_max_objects = 100000;     // /N above this is given up
const int32_t objstm_max_obj_len = 1048576;    // an object's text in an object stream: 1..this
const uint64_t objstm_max_block = 0x0FFFFFFF;  // decompression room is not grown beyond this
const int32_t xref_max_sections = 32;          // /Prev chain cap of cross-reference streams
const int32_t err_text_size = 1024;            // core error text, including the NUL

// ---- structs ------------------------------------------------------------------------------------

// Growable byte buffer, always NUL-terminated when data is not null (len + 1 <= cap). All zero is a
// valid empty buffer. First storage 1 MiB, then the capacity doubles.
struct buf {
    uint8_t *data;
    uint64_t len;
    uint64_t cap;
};

// Owner of separately malloc'd blocks released together. All zero is a valid empty arena.
struct arena {
    void **blocks;
    int32_t count;
    int32_t capacity;
};

// One entry of the object index. Positions are indexes into pdfcore_doc.data; -1: none.
struct pdfcore_obj {
    int32_t num;           // object number, >= 1
    int32_t gen;           // generation (0 for an object from an object stream)
    int32_t head_off;      // first digit of N in `N G obj`
    int32_t dict_off;      // the '<' opening the object's dictionary, -1 when the object is no dictionary
    int32_t stream_kw_off; // the `stream` keyword
    int32_t data_off;      // first byte of stream data
    int32_t data_end;      // one past the last byte of stream data
    int32_t endobj_off;    // the `endobj` keyword ending the object
    int32_t end_off;       // endobj_off + 6
    int32_t stream_len;    // data_end - data_off
    int32_t is_stream;     // 1 for a stream
    int32_t unterminated;  // 1 when no `endstream` followed the data
    int32_t in_objstm;     // 1 for an object taken from an object stream
    const uint8_t *body;   // object text in a decompressed object stream (owned by the doc's arena)
    int32_t body_len;      // bytes at body
};

// Growable array of index entries, stored by value. All zero is empty; 128 entries, then doubling.
// The document load gives a loaded document's index a lookup table, so that obj_find does not scan;
// objvec_push drops it.
struct objvec {
    pdfcore_obj *items;
    int32_t count;
    int32_t capacity;
    int32_t *lookup;     // per number 0..lookup_max: position of its first entry, -1: none; null: none kept
    int32_t lookup_max;  // the largest number in the index when lookup was made
};

// What the cross-reference sections and trailers said. The three arrays are per object number,
// capacity entries each, owned by the record.
struct xref {
    int32_t has_startxref; // 1 when an offset inside the file followed the last `startxref`
    int32_t has_table;     // 1 when the first subsection header of a classic table was accepted
    int32_t startxref;     // that offset, -1: none
    int32_t root;          // object number from /Root, -1: none
    int32_t info;          // object number from /Info of a classic trailer, -1: none
    uint8_t has_header;    // 1 when `%PDF-` was found in the first 1024 bytes
    char version[16];      // text after `%PDF-`, NUL-terminated, empty when none
    int32_t *offsets;      // byte offset of an in-use entry of the first table, -1 otherwise
    int32_t *gens;         // generation of that entry, 0 otherwise
    int32_t *in_use;       // 1 for an in-use entry, 0 otherwise
    int32_t capacity;      // entries of each array
    int32_t first;         // first object number of the first subsection
    int32_t encrypted;     // 1 when an /Encrypt key was seen
};

// One page of the flat page list.
struct pdfcore_page {
    int32_t obj_num;          // the /Page object
    int32_t parent_num;       // the /Pages node whose Kids listed it, -1 when the tree's root is the page
    int32_t inherited_rotate; // rotation handed down by the ancestors, 0..359
    double x0, y0, x1, y1;    // CropBox, else MediaBox, else 0 0 595 842; as written, x1 > 0, y1 > 0
    int32_t rotate;           // effective rotation, 0..359
};

// The page list in document order; count is the page count. All zero is empty; 64, then doubling.
struct pagevec {
    pdfcore_page *items;
    int32_t count;
    int32_t capacity;
};

// One loaded document. The caller provides the storage cleared to zero; the record owns everything
// it points to until pdfcore_doc_free. Read-only after a successful load.
struct pdfcore_doc {
    uint8_t *data;       // the whole file
    int32_t size;        // bytes in data
    struct xref xref;    // cross-reference and trailer facts
    objvec objs;         // object index, one entry per object number
    struct arena arena;  // decompressed object streams that body pointers point into
    pagevec pages;       // flat page list
    int32_t catalog;     // catalog object number, -1 before it is known
    int32_t info;        // Info dictionary object number when it is in the index, else -1
    int32_t max_num;     // largest object number in the index, >= 0
    int32_t loaded;      // 1 after a successful load
};

// ---- the core's interface -----------------------------------------------------------------------

// Loads the file at path into *doc (cleared first; must not hold a document). 1: loaded. 0: failed,
// message in pdfcore_last_error(). Call pdfcore_doc_free(doc) after either result.
int pdfcore_load(const char *path, pdfcore_doc *doc);
// Releases everything doc owns and clears it to zero; harmless on a cleared record and twice.
void pdfcore_doc_free(pdfcore_doc *doc);
// The core's error text (1024 bytes, process-wide): the message of the last failure, or "". Never
// cleared by a successful operation.
const char *pdfcore_last_error(void);
// Write the core's error text, printf-style, cut to 1023 characters.
void pdfcore_set_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void pdfcore_vserror(const char *fmt, va_list args);

// Bytes of stream entry (data, size: the document's file bytes), inflated when its dictionary
// names /FlateDecode, else as stored. Inflated bytes live in a process-wide buffer that the next
// inflating call replaces; raw bytes point into data. NULL: not a stream, empty, or not decodable;
// otherwise *length = byte count.
const uint8_t *pdfcore_decoded_stream(const pdfcore_obj *entry, const uint8_t *data, int32_t size,
                                      int32_t *length);
// Complete content of page page_index (0-based): one stream, the joined streams of a /Contents
// array, or an inline stream. 1: *content and *length set; 0: they are NULL and 0. Messages:
// "page index out of range", "page object %ld missing". When *content lies inside doc->data it
// points into the file and must not be freed; otherwise it is malloc'd, NUL-terminated after
// *length bytes, and the caller frees it with free((void *)*content).
int pdfcore_page_content(const pdfcore_doc *doc, int32_t page_index, const uint8_t **content,
                         int32_t *length);
// Own /Resources dictionary of a page (0-based index) or of any object: a malloc'd NUL-terminated
// copy from its "<<" through the closing ">>" (written in place or via a reference), caller frees.
// NULL when there is none (inherited resources are not looked up) or on any failure.
char *pdfcore_page_resources(const pdfcore_doc *doc, int32_t page_index);
char *pdfcore_obj_resources(const pdfcore_doc *doc, int32_t obj_num);

// First index entry numbered n (lowest position), or NULL. With a lookup table, a table read.
pdfcore_obj *obj_find(const objvec *vec, int32_t n);
// Appends a copy of *entry and releases the lookup table. 0, or -1 when the array cannot grow
// (vector unchanged but for the table).
int objvec_push(objvec *vec, const pdfcore_obj *entry);

// buf: callers test b->data after each call; null means the allocation failed and the buffer is
// empty (its contents released).
void buf_init(buf *b);                                // 1 MiB storage, length 0
void buf_free(buf *b);                                // release; all fields 0
void buf_reserve(buf *b, uint64_t n);                 // room for n more bytes plus the NUL
void buf_bytes(buf *b, const uint8_t *src, uint64_t n);
void buf_str(buf *b, const char *s);
void buf_int(buf *b, int32_t v);                      // decimal, '-' when negative
// Block of exactly size bytes owned by a, or NULL (arena unchanged).
void *arena_alloc(arena *a, uint64_t size);
void arena_free(arena *a);                            // release every block; all fields 0

// ---- for tests and the library's own code ------------------------------------------------------
//
// Lexical helpers. Pure functions over data; they never read at or beyond the limit given (len or
// end). PDF whitespace: 00 09 0A 0C 0D 20. Word characters: ASCII letters and digits. Integers are
// accumulated in 32 bits with wrap-around; no reader accepts a fraction.

// First position in [pos, end) that is not PDF whitespace; end when none; pos when pos >= end.
int32_t skip_ws(const uint8_t *data, int32_t pos, int32_t end);
// 1 when kw stands at pos as a whole word (no word character right before or after), else 0.
int32_t kw_at(const uint8_t *data, int32_t pos, int32_t len, const char *kw);
// First position >= start (negative start: 0) where kw_at gives 1, or -1.
int32_t find_kw(const uint8_t *data, int32_t len, int32_t start, const char *kw);
// Position of the '/' of the first /name token in [start, end) (end clipped to len) not followed
// by a word character or + - _, or -1. Purely textual: keys, values and nested dictionaries alike.
int32_t find_name(const uint8_t *data, int32_t len, int32_t start, int32_t end, const char *name);
// The file bytes of the document being loaded: long find_name searches in (data, len <= file size)
// are answered from per-name position lists built on first use, until released. One document at
// a time (attaching another releases the first); release with the same data pointer frees the lists.
void name_index_attach(const uint8_t *data, int32_t len);
void name_index_release(const uint8_t *data);
// Integer after optional whitespace and '-'. Advances *pos past the digits on success only; -1 on
// failure (callers treat every negative result as "no integer").
int32_t parse_int_at(const uint8_t *data, int32_t len, int32_t *pos);
// Integer after optional whitespace and '+'/'-'; -1 on failure. *pos always moves forward, except
// that it stays on an 'R' where a digit was expected (and stays when already at or past len).
int32_t read_int_adv(const uint8_t *data, int32_t len, int32_t *pos);
// As read_int_adv, but a non-digit is always stepped over (an 'R' too), and a sign that is the last
// byte before end leaves *pos at end + 1.
int32_t read_num_adv(const uint8_t *data, int32_t end, int32_t *pos);
// pos: an `obj` keyword. Reads `N G obj` backwards; returns the position of N's first digit and
// sets *num, *gen (when not null), or -1 (no header, N <= 0, or a word character before N).
int32_t parse_obj_head(const uint8_t *data, int32_t pos, int32_t *num, int32_t *gen);
// /Length in [start, end): *length = a direct value or -1, *length_ref = the object number of an
// indirect `n g R` value or -1. `[a b]` gives the last non-negative integer. Integer reads are
// bounded by len, not end.
void parse_length(const uint8_t *data, int32_t len, int32_t start, int32_t end, int32_t *length,
                  int32_t *length_ref);
// Position of the first '>' of the ">>" that closes the dictionary opened at pos (literal strings
// skipped), or -1 when it does not close before end.
int32_t find_dict_close(const uint8_t *data, int32_t pos, int32_t end);
// Position of the `stream` keyword that follows (after whitespace) the dictionary opened at pos,
// or -1.
int32_t dict_stream_kw(const uint8_t *data, int32_t len, int32_t pos);

// Object index. scan_pass1 appends one entry per `N G obj` header of data[0, len) in position
// order; scan_pass2 then sets each stream's extent (from /Length, direct or through a non-stream
// object, when `endstream` follows it; else, and also when /Length is missing or unreadable, from
// the next `endstream`, without the end of line before it) and removes streams without `endobj`
// after their data and every entry whose header lies inside some stream's data. The order of the
// remaining entries changes.
void scan_pass1(const uint8_t *data, int32_t len, objvec *vec);
void scan_pass2(const uint8_t *data, int32_t len, objvec *vec);
// Lookup table for obj_lookup: per number 0..*max (at most max_obj_num), the position of its first
// entry or -1; malloc'd, caller frees; NULL when it cannot be allocated. obj_lookup answers as
// obj_find (falling back to it when table is NULL or n > max) while the vector is unchanged.
int32_t *obj_first_positions(const objvec *vec, int32_t *max);
pdfcore_obj *obj_lookup(const objvec *vec, const int32_t *table, int32_t max, int32_t n);
// qsort comparison of int32_t pairs (start, end) by start only.
int qv_rng_cmp(const void *a, const void *b);
// Keeps one entry per object number: the last direct definition, else the last one from an object
// stream; drops object stream containers and numbers above max_obj_num. Returns the largest kept
// number (>= 0).
int32_t select_objects(const uint8_t *data, int32_t size, objvec *objs);

// Cross-reference data: resets *x (zeroed, or filled by an earlier call: its arrays are released)
// and fills it: trailer /Root, /Info, /Encrypt, /Prev chains of cross-reference streams up to 32
// sections, the first classic table, the header version.
void parse_xref(const uint8_t *data, int32_t len, struct xref *x);
// pos: an `xref` keyword; reads its subsections (entries of the first one into the arrays).
void parse_classic_table(const uint8_t *data, int32_t len, int32_t pos, struct xref *x);
// pos: a `trailer` keyword; reads /Root, /Info and /Encrypt up to the next `startxref`.
void parse_trailer_dict(const uint8_t *data, int32_t len, int32_t pos, struct xref *x);
// pos: just after `%PDF-`; writes up to 15 characters ("1.7") and a NUL into version[16].
void parse_pdf_version(const uint8_t *data, int32_t len, int32_t pos, char *version);
// Makes the three arrays at least n entries long (new entries -1, 0, 0). 0, or -1 on allocation
// failure or n out of range (arrays unchanged).
int xref_grow(struct xref *x, int32_t n);
void xref_free(struct xref *x); // release the arrays; pointers null, capacity 0

// Object streams: unpack every /Type /ObjStm container of objs (decompressed bytes kept in a),
// appending one in_objstm entry per contained object. extract_objstm gives 1 when it appended
// anything from one container, else 0.
void extract_all_objstm(const uint8_t *data, int32_t len, objvec *objs, struct arena *a);
int32_t extract_objstm(const uint8_t *data, int32_t len, const pdfcore_obj *entry, objvec *objs,
                       struct arena *a);

// Document load proper: 0 or -1 (message set). doc_free is pdfcore_doc_free.
int32_t doc_load(const char *path, pdfcore_doc *doc);
void doc_free(pdfcore_doc *doc);

// Page tree. Object queries take the object's text span; for an object with in_objstm set they
// use (body, body_len), which callers pass as the object's own body, and NULL, 0 otherwise.
//
// Object number of the catalog's first /Pages key followed by a positive integer, or -1.
int32_t parse_pages_ref(const uint8_t *data, int32_t size, const pdfcore_obj *obj);
// 1 for /Type /Page, 2 for /Type /Pages, 0 otherwise.
int32_t obj_type(const uint8_t *data, int32_t size, const pdfcore_obj *obj, const uint8_t *body,
                 int32_t body_len);
// Object numbers of the Kids array (at most room stored) into kids: their count, 0 for an empty or
// unterminated array, -1 when there is no Kids array. A Kids value `n g R` naming an array object
// of objs is followed (objs may be NULL: not followed).
int32_t parse_kids(const uint8_t *data, int32_t size, const objvec *objs, const pdfcore_obj *obj,
                   const uint8_t *body, int32_t body_len, int32_t *kids, int32_t room);
// The object's own /Rotate when a non-negative integer, else -1.
int32_t obj_rotate_own(const uint8_t *data, int32_t size, const pdfcore_obj *obj,
                       const uint8_t *body, int32_t body_len);
// 1 and the object's own valid CropBox, else MediaBox; 0 with outputs untouched.
int32_t obj_box(const uint8_t *data, int32_t size, const pdfcore_obj *obj, const uint8_t *body,
                int32_t body_len, double *x0, double *y0, double *x1, double *y1);
// pos (< end) holds '[': 1 and four numbers when the third and fourth are > 0; 0, outputs untouched.
int32_t parse_box_array(const uint8_t *text, int32_t end, int32_t pos, double *x0, double *y0,
                        double *x1, double *y1);
// obj_box, or 0 0 595 842 when it fails.
void page_box(const uint8_t *data, int32_t size, const pdfcore_obj *obj, const uint8_t *body,
              int32_t body_len, double *x0, double *y0, double *x1, double *y1);
// Fills box and rotate of *page (inherited_rotate already set) from object obj.
void fill_pageinfo(const uint8_t *data, int32_t size, const pdfcore_obj *obj, pdfcore_page *page);
// Appends a copy of *page. 0, or -1 when the list cannot grow (list unchanged).
int pagevec_push(pagevec *pages, const pdfcore_page *page);
// Appends the leaf pages under root_num to pages, depth-first in Kids order, without recursion.
// visited: max_num + 1 zero bytes; each /Pages node walked is marked. -1: broken tree (missing
// object, kid neither /Page nor /Pages, node reached twice, no memory); 0: no pages; else
// pages->count.
int32_t resolve_pages(const uint8_t *data, int32_t size, const objvec *objs, int32_t root_num,
                      int32_t max_num, pagevec *pages, uint8_t *visited, int32_t inherited);

// Streams and content. decoded_stream: the entry's stream bytes, inflated into out_buf (appended,
// NUL after) when its span names /FlateDecode (room 20 * L + 4096, at most 2^30), else a pointer
// into data; NULL on failure (out_buf's len unchanged).
const uint8_t *decoded_stream(const pdfcore_obj *entry, const uint8_t *data, int32_t size,
                              buf *out_buf, int32_t *length);
// Content of page object page (see pdfcore_page_content for ownership). 1, or 0 with NULL and 0.
int32_t get_page_content(const uint8_t *data, int32_t size, const objvec *objs,
                         const pdfcore_obj *page, const uint8_t **content, int32_t *length);

// Resources. dict_text_at: malloc'd NUL-terminated copy of the dictionary opened by "<<" at pos in
// text[0, len), or NULL. page_resources_dict: the /Resources dictionary found in text[0, len) after
// its last `endobj` (in place, or via a reference resolved in objs and data), or NULL.
char *dict_text_at(const uint8_t *text, int32_t len, int32_t pos);
char *page_resources_dict(const uint8_t *data, int32_t size, const objvec *objs,
                          const uint8_t *text, int32_t len);

#endif
