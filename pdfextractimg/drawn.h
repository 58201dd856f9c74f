// pdfextractimg/drawn.h - what the pages draw: the entries of XObject dictionaries, the names that
// the Do operators of a content stream draw (found by a fast search where it can tell, else by the
// token reader), and the resource dictionaries that several pages share, with what each page draws
// from them. The collection walk (collect.cpp) takes from a shared dictionary only what a page draws.
//
// Shared: a page's resources (its own, else the nearest ancestor's, as the walk finds them) are
// shared when another page object finds the same ones: the same object named by /Resources N 0 R,
// or the same page-tree node's /Resources written in place. Such a dictionary gets a table of its
// XObject entries (names and objects in dictionary order, a hash of the names), and each page using
// it the entries its content draws. An object is drawn when a page's content draws it, or a form
// drawn so draws it from a shared dictionary that is its own /Resources (followed with a work list,
// each object once). What no page draws stays on the dictionary's first page.
#ifndef QV_PDFEXTRACTIMG_DRAWN_H
#define QV_PDFEXTRACTIMG_DRAWN_H
#include <cstdint>

#include "pdfcore/pdfcore.h"

// ---- constants ----------------------------------------------------------------------------------

// Entries of all shared dictionaries' tables together (24 bytes each): a dictionary that would pass
// it gets no table and is walked whole, as resources of a page's own.
const int32_t max_shared_entries = 1 << 22;
// Drawn entries kept for the pages together (4 bytes each); a page past it finds what it draws again
// when it is walked.
const int32_t max_kept_hits = 1 << 24;

// What an XObject's /Subtype makes it.
const int32_t xobject_other = 0;
const int32_t xobject_image = 1;
const int32_t xobject_form = 2;

// ---- structs ------------------------------------------------------------------------------------

// Where a page's resources are: the dictionary's text (from its "<<") and what identifies it, the
// object /Resources names (by_ref 1) or the page or page-tree node that holds it in place (by_ref 0).
struct page_res {
    pdfcore_span span;
    int32_t holder;
    int32_t by_ref;
};

// One entry of a shared dictionary's table: its key name's first byte (after the '/') and length in
// the dictionary's text, and the object its value refers to (> 0).
struct shared_entry {
    int32_t key;
    int32_t len;
    int32_t num;
};

// One shared resource dictionary; hash: entry index + 1 per slot (0: empty), the first of a name.
struct shared_dict {
    int32_t key;         // 2 x holder + by_ref
    int32_t first_page;  // the first page (0-based) whose resources it is
    int32_t usable;      // 1: table built; 0: walked whole (no XObjects, or past max_shared_entries)
    const uint8_t *text; // the XObject dictionary's text (the file's or an object stream's bytes)
    shared_entry *entry;  // in dictionary order
    int32_t count;
    int32_t cap;
    int32_t *hash;
    int32_t hash_mask;   // slots - 1
    int32_t *stamp;      // per entry: the selection that last took it
    pdfcore_span patterns;  // the /Pattern and /ExtGState dictionaries of the resources (from
    pdfcore_span states;    // their "<<"; start -1: none), looked up once for all its pages by the
    int32_t looked_up;      // walk, which sets them and looked_up 1
};

// The shared dictionaries of a document and, per page, which one it uses and what it draws.
struct shared_set {
    shared_dict *dicts;
    int32_t count;
    int32_t pages;
    int32_t *page_dict;  // per page: index into dicts, -1: resources of its own
    int32_t *hit_off;    // per page: its drawn entries at hits[hit_off], hit_count of them, in
    int32_t *hit_count;  // dictionary order; hit_off -1: not kept (found again when walked)
    uint8_t *no_bi;      // per page: 1 when its content holds no "BI" (nothing inline to find)
    int32_t *hits;
    int32_t hit_total;
    int32_t hit_cap;
    uint8_t *drawn;      // bit per object number: drawn by some page (names found)
    int32_t max_num;
    int32_t selection;   // the last selection's stamp
    int32_t entries;     // table entries read, for the walk's counters
};

// A growable list of entry indices.
struct index_list {
    int32_t *items;
    int32_t count;
    int32_t cap;
};

// ---- functions ----------------------------------------------------------------------------------

// The resources of page page_index (in range): its own /Resources, in place or through a reference
// to an object that exists, else the nearest of up to 31 ancestors'. 1 and *r filled, or 0.
int page_resources_of(const pdfcore_doc *doc, int32_t page_index, page_res *r);

// The XObject dictionary of the resources text[start, end) (the first /XObject from start on): 1
// and *entries (text, first entry, end; obj_num its object, -1 for a dictionary in place), or 0.
int xobject_dict_of(const pdfcore_doc *doc, const uint8_t *text, int32_t end, int32_t start,
                    pdfcore_span *entries);
// The next entry of an XObject dictionary from *pos (e.start at first): 1 with the key name's bytes
// e.text[*key, *key_end) and *num, the object a reference value names (-1: the value is none),
// *pos past it; 0 at the dictionary's end. A value that is a dictionary, array or string is
// stepped over whole; a byte that starts no key is stepped over.
int xobject_entry_next(const pdfcore_span *e, int32_t *pos, int32_t *key, int32_t *key_end,
                       int32_t *num);
// The kind (xobject_*) the /Subtype of the XObject whose text is s makes it.
int32_t xobject_kind(const pdfcore_doc *doc, const pdfcore_span *s);

// Calls on_name(ctx, name, len) for the operand of each Do operator of content[0, len), in content
// order: the bytes of the name after its '/', as written. Content without the bytes Do is not read
// further; content without strings, comments or inline images is read back from each Do; any
// other is read token by token, the data of an inline image stepped over to the first EI that
// stands as a word after it.
void drawn_names(const uint8_t *content, int32_t len,
                 void (*on_name)(void *ctx, const uint8_t *name, int32_t len), void *ctx);

// Finds the shared dictionaries of doc into *s (cleared first) and builds their tables. 0, or -1
// for want of memory. shared_close frees it (harmless on a cleared or half-filled set, and twice).
int shared_open(pdfcore_doc *doc, shared_set *s);
void shared_close(shared_set *s);
// What each page using a shared dictionary draws from it, and which objects are drawn (see above).
// 0, or -1 for want of memory.
int shared_find_drawn(pdfcore_doc *doc, shared_set *s);
// The position of the first /Resources of the form whose text is s (-1: none) and *ref the object
// its value refers to (-1: none, or the value is written in place).
int32_t form_resources(const pdfcore_span *s, int32_t *ref);
// The usable dictionary whose resources are object ref_num (/Resources ref_num 0 R), or -1.
int32_t shared_by_ref(const shared_set *s, int32_t ref_num);
// The entries of dictionary d that content[0, len) draws, into out (emptied first), in dictionary
// order, each once. 0, or -1 for want of memory.
int shared_select(shared_set *s, int32_t d, const uint8_t *content, int32_t len, index_list *out);
// The entries that page page_index (which uses dictionary d) draws, and on the dictionary's first
// page also those whose objects no page draws, into out, in dictionary order. 0, or -1.
int shared_page_entries(pdfcore_doc *doc, shared_set *s, int32_t page_index, index_list *out);
void index_list_free(index_list *l);

#endif
