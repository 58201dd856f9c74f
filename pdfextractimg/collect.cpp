// pdfextractimg/collect.cpp - the image collection walk: finds the image XObjects of the pages
// (resources inherited through the page tree, Form XObjects descended into), converts each once per
// page and once per document, and falls back to a scan of every stream when the pages yield none.
#include "pdfextractimg/extract.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "pdfcore/pdfcore.h"

// The page and at most 31 ancestors are asked for /Resources.
const int32_t max_parent_hops = 32;
// XObject dictionaries are scanned at levels 0 (the page's) to 16 (through 16 nested forms).
const int32_t max_form_depth = 17;
// Object numbers remembered per page and per document; references past these are not remembered.
const int32_t page_seen_max = 2048;
const int32_t doc_seen_max = 4096;
// The page's seen list is a set in this many slots (a power of two above page_seen_max).
const uint32_t page_seen_slots = 4096;

// The bytes in which key searches for one object take place: text[start, end).
struct text_span {
    const uint8_t *text;
    int32_t start;
    int32_t end;
};

// Standard-library space (09..0D, 20): where a key name in an XObject dictionary ends.
static inline bool is_c_space(uint8_t c) { return c == 0x20 || (c >= 0x09 && c <= 0x0D); }
static inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

// 1 and *s = the text span of o (non-empty); 0 when it has none.
static int obj_span(const pdfcore_doc *doc, const pdfcore_obj *o, text_span *s) {
    if (!o) return 0;
    if (o->in_objstm) {
        if (!o->body || o->body_len <= 0) return 0;
        s->text = o->body;
        s->start = 0;
        s->end = o->body_len;
        return 1;
    }
    if (o->dict_off < 0 || !doc->data || o->dict_off >= doc->size) return 0;
    int32_t end = doc->size;
    if (o->stream_kw_off > 0) end = o->stream_kw_off;
    else if (o->endobj_off > 0) end = o->endobj_off;
    if (end > doc->size) end = doc->size;
    if (end <= o->dict_off) return 0;
    s->text = doc->data;
    s->start = o->dict_off;
    s->end = end;
    return 1;
}

// Position of the value after the first /key of s (whitespace skipped), or -1 when there is no
// such key or the value would start at the span's end.
static int32_t key_value(const text_span &s, const char *key) {
    int32_t p = find_name(s.text, s.end, s.start, s.end, key);
    if (p < 0) return -1;
    int32_t v = skip_ws(s.text, p + 1 + (int32_t)strlen(key), s.end);
    return v < s.end ? v : -1;
}

// 1 when the bytes at t (inside s) begin with what; a prefix test, so /ImageX counts as /Image.
static bool value_is(const text_span &s, int32_t t, const char *what) {
    int32_t n = (int32_t)strlen(what);
    return t >= 0 && t + n - 1 < s.end && memcmp(s.text + t, what, (size_t)n) == 0;
}

// The number at p when p holds a digit; -1 otherwise. *p moves past it on success.
static int32_t ref_at(const uint8_t *text, int32_t end, int32_t *p) {
    if (*p < 0 || *p >= end || !is_digit(text[*p])) return -1;
    return parse_int_at(text, end, p);
}

static bool seen_has(const int32_t *seen, int32_t count, int32_t num) {
    for (int32_t i = 0; i < count; i++)
        if (seen[i] == num) return true;
    return false;
}

// The page's seen list: positive numbers in page_seen_slots slots, 0 marking a free one, at most
// page_seen_max of them, so a probe always ends. The slot that holds num, or the free one where it
// would go.
static int32_t *page_seen_slot(int32_t *slots, int32_t num) {
    uint32_t i = ((uint32_t)num * 2654435761u) & (page_seen_slots - 1u);
    while (slots[i] != 0 && slots[i] != num) i = (i + 1u) & (page_seen_slots - 1u);
    return &slots[i];
}

// Bit per object number.
static bool bit_get(const uint8_t *bits, int32_t max, int32_t num) {
    return bits && num >= 0 && num <= max && (bits[num >> 3] >> (num & 7) & 1);
}
static void bit_set(uint8_t *bits, int32_t max, int32_t num) {
    if (bits && num >= 0 && num <= max) bits[num >> 3] = (uint8_t)(bits[num >> 3] | 1u << (num & 7));
}

// What the whole-document walk already knows when it walks a page: the images in its seen list
// (listed on earlier pages: they would be dropped as duplicates) and the images whose conversion
// failed (it would fail again), neither of which is converted again; and the objects holding the
// resources of earlier pages. A page walk depends only on where it starts (what is known changes
// which images are converted, never which objects are visited), so a page whose resources are
// held by an object already walked meets only images listed or failed before: while the
// document's seen list has room, it is not walked again. One bit per object number in each map;
// without the maps (no memory) the seen list is searched and nothing else is remembered.
struct doc_known {
    const int32_t *seen;
    int32_t seen_count;
    uint8_t *listed;  // (max_num + 8) / 8 bytes each, or null
    uint8_t *failed;
    uint8_t *walked_inline;  // pages and ancestors whose own /Resources were walked
    uint8_t *walked_ref;     // objects named by a walked /Resources reference
    int32_t max_num;
};

// 1 when object num, marked in map, need not be walked again.
static bool walked_before(const doc_known *known, const uint8_t *map, int32_t num) {
    return known && map && known->seen_count < doc_seen_max && bit_get(map, known->max_num, num);
}

static void convert_and_push(const pdfcore_doc *doc, int32_t num, int32_t page, img_vec *list,
                             const doc_known *known) {
    if (known) {
        if (known->listed ? bit_get(known->listed, known->max_num, num)
                          : seen_has(known->seen, known->seen_count, num))
            return;
        if (bit_get(known->failed, known->max_num, num)) return;
    }
    extracted_image rec;
    memset(&rec, 0, sizeof rec);
    int32_t flags = list->count_only ? extract_no_png : list->defer_png ? extract_defer_png : 0;
    if (!extract_single_image(doc, num, page, &rec, flags)) {
        if (known) bit_set(known->failed, known->max_num, num);
        return;
    }
    if (img_vec_push(list, &rec) != 0) extracted_image_release(&rec);
}

// Locates the entries of the XObject dictionary whose value stands at v in text[0, end): an inline
// "<<" or a reference. 1 and *entries set (text, first entry, end), or 0.
static int xobject_entries(const pdfcore_doc *doc, const uint8_t *text, int32_t end, int32_t v,
                           text_span *entries) {
    if (text[v] == '<') {
        if (v + 1 >= end || text[v + 1] != '<') return 0;
        entries->text = text;
        entries->start = v + 2;
        entries->end = end;
        return 1;
    }
    int32_t num = ref_at(text, end, &v);
    if (num <= 0) return 0;
    const pdfcore_obj *o = obj_find(&doc->objs, num);
    if (!o) return 0;
    if (o->in_objstm) {
        if (!o->body || o->body_len <= 0) return 0;
        const void *lt = memchr(o->body, '<', (size_t)o->body_len);
        if (!lt) return 0;
        int32_t p = (int32_t)((const uint8_t *)lt - o->body);
        if (p + 1 < o->body_len && o->body[p + 1] == '<') p += 2;
        entries->text = o->body;
        entries->start = p;
        entries->end = o->body_len;
        return 1;
    }
    text_span s;
    if (!obj_span(doc, o, &s)) return 0;
    entries->text = s.text;
    entries->start = s.start + 2;  // past the "<<" at dict_off
    entries->end = s.end;
    return 1;
}

static void scan_xobjects_dict(const pdfcore_doc *doc, const uint8_t *text, int32_t end,
                               int32_t start, int32_t page, img_vec *list, int32_t *seen,
                               int32_t *seen_count, int32_t depth, const doc_known *known);
static void walk_form(const pdfcore_doc *doc, const text_span &s, int32_t page, img_vec *list,
                      int32_t *seen, int32_t *seen_count, int32_t depth, const doc_known *known);

// One entry of an XObject dictionary that names object num: converts an image, descends into a
// form (its /Resources in place, or the resource object it refers to), passes over anything else.
static void visit_xobject(const pdfcore_doc *doc, int32_t num, int32_t page, img_vec *list,
                          int32_t *seen, int32_t *seen_count, int32_t depth, const doc_known *known) {
    text_span s;
    if (!obj_span(doc, obj_find(&doc->objs, num), &s)) return;
    int32_t t = key_value(s, "Subtype");
    if (t < 0) return;
    if (value_is(s, t, "/Image")) {
        convert_and_push(doc, num, page, list, known);
        return;
    }
    if (!value_is(s, t, "/Form")) return;
    walk_form(doc, s, page, list, seen, seen_count, depth, known);
}

// The XObjects of form s's resources.
static void walk_form(const pdfcore_doc *doc, const text_span &s, int32_t page, img_vec *list,
                      int32_t *seen, int32_t *seen_count, int32_t depth, const doc_known *known) {
    int32_t r = find_name(s.text, s.end, s.start, s.end, "Resources");
    if (r < 0) return;
    // Resources kept in an object of their own are searched there; an inline dictionary (or a
    // reference that leads nowhere) is searched from the /Resources name on.
    int32_t v = skip_ws(s.text, r + 10, s.end);
    int32_t ref = ref_at(s.text, s.end, &v);
    text_span rs;
    if (ref > 0 && obj_span(doc, obj_find(&doc->objs, ref), &rs)) {
        scan_xobjects_dict(doc, rs.text, rs.end, rs.start, page, list, seen, seen_count, depth + 1, known);
        return;
    }
    scan_xobjects_dict(doc, s.text, s.end, r, page, list, seen, seen_count, depth + 1, known);
}

// Finds the next /XObject at or after start in text[0, end), walks that dictionary's entries in
// text order, converts its images and descends into its forms. Recursion is bounded by
// max_form_depth; a form that lists itself is stopped by the page's seen list.
static void scan_xobjects_dict(const pdfcore_doc *doc, const uint8_t *text, int32_t end,
                               int32_t start, int32_t page, img_vec *list, int32_t *seen,
                               int32_t *seen_count, int32_t depth, const doc_known *known) {
    if (!text || end <= 0 || start < 0) return;
    if (depth >= max_form_depth) return;
    int32_t x = find_name(text, end, start, end, "XObject");
    if (x < 0) return;
    int32_t v = skip_ws(text, x + 8, end);
    if (v >= end) return;
    text_span e;
    if (!xobject_entries(doc, text, end, v, &e)) return;
    const uint8_t *d = e.text;
    int32_t lim = e.end;
    int32_t p = e.start;
    if (p >= lim) return;
    for (;;) {
        p = skip_ws(d, p, lim);
        if (p >= lim) return;
        uint8_t c = d[p];
        if (c == '>') {
            if (p + 1 >= lim || d[p + 1] == '>') return;  // the dictionary ends
            p++;
            continue;
        }
        if (c != '/') {
            p++;  // generation numbers, R, and values that are no references
            continue;
        }
        p++;
        while (p < lim && !is_c_space(d[p]) && d[p] != '/' && d[p] != '<' && d[p] != '>' &&
               d[p] != '[')
            p++;
        p = skip_ws(d, p, lim);
        if (p >= lim) return;
        int32_t num = ref_at(d, lim, &p);
        if (num <= 0) continue;
        int32_t *slot = page_seen_slot(seen, num);
        if (*slot == num) continue;
        if (*seen_count >= page_seen_max) return;  // nothing more can be visited on this page
        *slot = num;
        (*seen_count)++;
        visit_xobject(doc, num, page, list, seen, seen_count, depth, known);
    }
}

int img_vec_push(img_vec *list, const extracted_image *rec) {
    if (list->count >= list->capacity) {
        if (list->capacity > INT32_MAX / 2) {
            list->failed = 1;
            return -1;
        }
        int32_t cap = list->capacity == 0 ? 16 : list->capacity * 2;
        if ((uint64_t)cap > SIZE_MAX / sizeof(extracted_image)) {
            list->failed = 1;
            return -1;
        }
        void *t = realloc(list->items, (size_t)cap * sizeof(extracted_image));
        if (!t) {
            list->failed = 1;
            return -1;
        }
        list->items = (extracted_image *)t;
        list->capacity = cap;
    }
    extracted_image *r = &list->items[list->count++];
    *r = *rec;
    if (list->sink && list->sink->writer) img_writer_submit(list->sink, list->count, r);
    else if (list->sink) list->sink->written += img_sink_write(list->sink, list->count, r);
    if (list->sink || list->drop_data) extracted_image_release(r);
    return 0;
}

void extracted_image_release(extracted_image *rec) {
    free(rec->data);
    free(rec->pixels);
    rec->data = nullptr;
    rec->pixels = nullptr;
}

void img_vec_free(img_vec *list) {
    for (int32_t i = 0; list->items && i < list->count; i++) extracted_image_release(&list->items[i]);
    free(list->items);
    memset(list, 0, sizeof *list);
}

// The page walk of collect_page_images; known: see doc_known, or null.
// Walks the resources of a page found in object key (the page or an ancestor: map walked_inline;
// the object a /Resources reference names: walked_ref). Resources already walked for an earlier
// page of the document yield nothing new while the document's seen list has room (all they led to
// is listed or failed), so thousands of pages sharing one large resource dictionary cost one walk.
static void walk_page_resources(const pdfcore_doc *doc, bool by_ref, int32_t key, const uint8_t *text,
                                int32_t end, int32_t start, int32_t page, img_vec *list, int32_t *seen,
                                int32_t *seen_count, const doc_known *known) {
    uint8_t *map = !known ? nullptr : by_ref ? known->walked_ref : known->walked_inline;
    if (walked_before(known, map, key)) return;
    scan_xobjects_dict(doc, text, end, start, page, list, seen, seen_count, 0, known);
    if (known) bit_set(map, known->max_num, key);
}

static void collect_page(const pdfcore_doc *doc, int32_t page_index, img_vec *list,
                         const doc_known *known) {
    if (!doc || page_index < 0 || page_index >= doc->pages.count || !doc->pages.items) return;
    int32_t page = page_index + 1;
    int32_t seen[page_seen_slots];  // see page_seen_slot
    memset(seen, 0, sizeof seen);
    int32_t seen_count = 0;
    text_span cur;
    int32_t cur_num = doc->pages.items[page_index].obj_num;
    if (!obj_span(doc, obj_find(&doc->objs, cur_num), &cur)) return;
    for (int32_t hops = 0;;) {
        int32_t v = key_value(cur, "Resources");
        if (v >= 0) {
            if (cur.text[v] == '<' && v + 1 < cur.end && cur.text[v + 1] == '<') {
                walk_page_resources(doc, false, cur_num, cur.text, cur.end, v, page, list, seen, &seen_count, known);
                return;
            }
            int32_t ref = ref_at(cur.text, cur.end, &v);
            text_span rs;
            if (ref > 0 && obj_span(doc, obj_find(&doc->objs, ref), &rs)) {
                walk_page_resources(doc, true, ref, rs.text, rs.end, rs.start, page, list, seen, &seen_count, known);
                return;
            }
        }
        // No usable /Resources here: the parent's are inherited.
        int32_t pp = find_name(cur.text, cur.end, cur.start, cur.end, "Parent");
        if (pp < 0) return;
        pp += 7;
        int32_t parent = parse_int_at(cur.text, cur.end, &pp);
        if (parent <= 0) return;
        hops++;
        const pdfcore_obj *o = obj_find(&doc->objs, parent);
        if (!o || hops >= max_parent_hops) return;
        if (!obj_span(doc, o, &cur)) return;
        cur_num = parent;
    }
}

void collect_page_images(const pdfcore_doc *doc, int32_t page_index, img_vec *list) {
    collect_page(doc, page_index, list, nullptr);
}

// When the page tree leads to no image: every stream of the index whose /Subtype is /Image, in
// index order, as found on page 1.
static void fallback_scan(const pdfcore_doc *doc, img_vec *list) {
    for (int32_t i = 0; i < doc->objs.count; i++) {
        const pdfcore_obj *o = &doc->objs.items[i];
        text_span s;
        if (!o->is_stream || !obj_span(doc, o, &s)) continue;
        int32_t t = key_value(s, "Subtype");
        if (t >= 0 && value_is(s, t, "/Image")) convert_and_push(doc, o->num, 1, list, nullptr);
    }
}

void collect_all_images(const pdfcore_doc *doc, img_vec *list) {
    if (!doc) return;
    int32_t seen[doc_seen_max];
    int32_t seen_count = 0;
    // An image shared by many pages is converted once, not once per page; without the bitmap
    // (no memory) failed images are only tried again.
    doc_known known = {seen, 0, nullptr, nullptr, nullptr, nullptr, doc->max_num};
    size_t map_bytes = doc->max_num >= 0 ? (size_t)doc->max_num / 8u + 1u : 0;
    uint8_t *maps = map_bytes ? (uint8_t *)calloc(map_bytes, 4) : nullptr;
    if (maps) {
        known.listed = maps;
        known.failed = maps + map_bytes;
        known.walked_inline = maps + 2 * map_bytes;
        known.walked_ref = maps + 3 * map_bytes;
    }
    for (int32_t pi = 0; pi < doc->pages.count; pi++) {
        img_vec tmp;
        memset(&tmp, 0, sizeof tmp);
        tmp.count_only = list->count_only;
        tmp.defer_png = list->defer_png;
        known.seen_count = seen_count;
        collect_page(doc, pi, &tmp, &known);
        if (tmp.failed) list->failed = 1;
        for (int32_t i = 0; i < tmp.count; i++) {
            extracted_image *r = &tmp.items[i];
            bool dup = known.listed ? bit_get(known.listed, known.max_num, r->obj_num)
                                    : seen_has(seen, seen_count, r->obj_num);
            if (dup) {
                extracted_image_release(r);
            } else {
                if (seen_count < doc_seen_max) {
                    seen[seen_count++] = r->obj_num;
                    bit_set(known.listed, known.max_num, r->obj_num);
                }
                if (img_vec_push(list, r) != 0) extracted_image_release(r);
            }
            r->data = nullptr;
            r->pixels = nullptr;
        }
        free(tmp.items);
    }
    free(maps);
    if (list->count == 0 && !list->failed) fallback_scan(doc, list);
}
