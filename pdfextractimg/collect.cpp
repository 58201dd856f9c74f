// pdfextractimg/collect.cpp - the image collection walk: finds the image XObjects of the pages
// (resources inherited through the page tree, Form XObjects descended into), converts each once per
// page and once per document, hands each to the receiver it is given, and falls back to a scan of
// every stream when the pages yield none.
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

// 1 when the bytes at t (inside s) begin with what; a prefix test, so /ImageX counts as /Image.
static bool value_is(const pdfcore_span &s, int32_t t, const char *what) {
    int32_t n = (int32_t)strlen(what);
    return t >= 0 && t + n - 1 < s.end && memcmp(s.text + t, what, (size_t)n) == 0;
}

// The position of the /Subtype value in s: the first /Subtype of the text or, when that is neither
// /Image nor /Form (a nested dictionary's, as in a DeviceN space's attributes), the dictionary's
// own. -1: none.
static int32_t subtype_value(const pdfcore_doc *doc, const pdfcore_span &s) {
    int32_t t = pdfcore_key_value(&s, "Subtype");
    if (t < 0 || value_is(s, t, "/Image") || value_is(s, t, "/Form")) return t;
    pdfcore_span v;
    return pdfcore_dict_get(doc, &s, "Subtype", &v) && v.text == s.text ? v.start : t;
}

// The number at p when p holds a digit (read alone: a reference's generation and R are not looked
// at); -1 otherwise. *p moves past it on success.
static int32_t ref_at(const uint8_t *text, int32_t end, int32_t *p) {
    if (*p < 0 || *p >= end || !is_digit(text[*p])) return -1;
    return parse_int_at(text, end, p);
}

// 1 and *s = the text span of object num; 0 when it has none.
static int num_span(const pdfcore_doc *doc, int32_t num, pdfcore_span *s) {
    return pdfcore_obj_span(doc, obj_find(&doc->objs, num), s);
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

// One page's walk: where its images go and what it has met.
struct page_walk {
    const pdfcore_doc *doc;
    const image_receiver *to;
    int32_t page;                   // 1-based
    const doc_known *known;         // null: a walk of this page alone
    int32_t seen[page_seen_slots];  // see page_seen_slot
    int32_t seen_count;
    int lost;                       // 1 once the receiver refused a record
};

static void convert_and_hand_over(page_walk *w, int32_t num) {
    const doc_known *known = w->known;
    if (known) {
        if (known->listed ? bit_get(known->listed, known->max_num, num)
                          : seen_has(known->seen, known->seen_count, num))
            return;
        if (bit_get(known->failed, known->max_num, num)) return;
    }
    extracted_image rec;
    memset(&rec, 0, sizeof rec);
    if (!extract_single_image(w->doc, num, w->page, &rec, w->to->flags)) {
        if (known) bit_set(known->failed, known->max_num, num);
        return;
    }
    if (w->to->take(w->to->ctx, &rec) != 0) w->lost = 1;
}

// Locates the entries of the XObject dictionary whose value stands at v in text[0, end): an inline
// "<<" or a reference. 1 and *entries set (text, first entry, end), or 0.
static int xobject_entries(const pdfcore_doc *doc, const uint8_t *text, int32_t end, int32_t v,
                           pdfcore_span *entries) {
    if (text[v] == '<') {
        if (v + 1 >= end || text[v + 1] != '<') return 0;
        *entries = pdfcore_span{text, v + 2, end, -1, nullptr};
        return 1;
    }
    int32_t num = ref_at(text, end, &v);
    if (num <= 0) return 0;
    const pdfcore_obj *o = obj_find(&doc->objs, num);
    if (!pdfcore_obj_span(doc, o, entries)) return 0;
    if (o->in_objstm) {  // the body's first '<', and past it when it opens "<<"
        const void *lt = memchr(entries->text, '<', (size_t)entries->end);
        if (!lt) return 0;
        int32_t p = (int32_t)((const uint8_t *)lt - entries->text);
        entries->start = p + 1 < entries->end && entries->text[p + 1] == '<' ? p + 2 : p;
        return 1;
    }
    entries->start += 2;  // past the "<<" at dict_off
    return 1;
}

static void scan_xobjects_dict(page_walk *w, const uint8_t *text, int32_t end, int32_t start,
                               int32_t depth);

// The XObjects of form s's resources.
static void walk_form(page_walk *w, const pdfcore_span &s, int32_t depth) {
    int32_t r = pdfcore_find_key(&s, "Resources");
    if (r < 0) return;
    // Resources kept in an object of their own are searched there; an inline dictionary (or a
    // reference that leads nowhere) is searched from the /Resources name on.
    int32_t v = skip_ws(s.text, r + 10, s.end);
    int32_t ref = ref_at(s.text, s.end, &v);
    pdfcore_span rs;
    if (ref > 0 && num_span(w->doc, ref, &rs)) {
        scan_xobjects_dict(w, rs.text, rs.end, rs.start, depth + 1);
        return;
    }
    scan_xobjects_dict(w, s.text, s.end, r, depth + 1);
}

// One entry of an XObject dictionary that names object num: converts an image, descends into a
// form (its /Resources in place, or the resource object it refers to), passes over anything else.
static void visit_xobject(page_walk *w, int32_t num, int32_t depth) {
    pdfcore_span s;
    if (!num_span(w->doc, num, &s)) return;
    int32_t t = subtype_value(w->doc, s);
    if (t < 0) return;
    if (value_is(s, t, "/Image")) {
        convert_and_hand_over(w, num);
        return;
    }
    if (!value_is(s, t, "/Form")) return;
    walk_form(w, s, depth);
}

// Finds the next /XObject at or after start in text[0, end), walks that dictionary's entries in
// text order, converts its images and descends into its forms. Recursion is bounded by
// max_form_depth; a form that lists itself is stopped by the page's seen list.
static void scan_xobjects_dict(page_walk *w, const uint8_t *text, int32_t end, int32_t start,
                               int32_t depth) {
    if (!text || end <= 0 || start < 0) return;
    if (depth >= max_form_depth) return;
    pdfcore_span in = {text, start, end, -1, w->doc->names};
    int32_t x = pdfcore_find_key(&in, "XObject");
    if (x < 0) return;
    int32_t v = skip_ws(text, x + 8, end);
    if (v >= end) return;
    pdfcore_span e;
    if (!xobject_entries(w->doc, text, end, v, &e)) return;
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
               d[p] != '[' && d[p] != '%')  // a comment after the key ends its name
            p++;
        p = skip_ws(d, p, lim);
        if (p >= lim) return;
        int32_t num = ref_at(d, lim, &p);
        if (num <= 0) continue;
        int32_t *slot = page_seen_slot(w->seen, num);
        if (*slot == num) continue;
        if (w->seen_count >= page_seen_max) return;  // nothing more can be visited on this page
        *slot = num;
        w->seen_count++;
        visit_xobject(w, num, depth);
    }
}

// Walks the resources of a page found in object key (the page or an ancestor: map walked_inline;
// the object a /Resources reference names: walked_ref). Resources already walked for an earlier
// page of the document yield nothing new while the document's seen list has room (all they led to
// is listed or failed), so thousands of pages sharing one large resource dictionary cost one walk.
static void walk_page_resources(page_walk *w, bool by_ref, int32_t key, const uint8_t *text,
                                int32_t end, int32_t start) {
    const doc_known *known = w->known;
    uint8_t *map = !known ? nullptr : by_ref ? known->walked_ref : known->walked_inline;
    if (walked_before(known, map, key)) return;
    scan_xobjects_dict(w, text, end, start, 0);
    if (known) bit_set(map, known->max_num, key);
}

// The page walk of collect_page_images; known: see doc_known, or null. 0, or -1 when the receiver
// refused a record.
static int collect_page(const pdfcore_doc *doc, int32_t page_index, const image_receiver *to,
                        const doc_known *known) {
    if (!doc || page_index < 0 || page_index >= doc->pages.count || !doc->pages.items) return 0;
    page_walk walk;
    page_walk *w = &walk;
    w->doc = doc;
    w->to = to;
    w->page = page_index + 1;
    w->known = known;
    memset(w->seen, 0, sizeof w->seen);
    w->seen_count = 0;
    w->lost = 0;
    pdfcore_span cur;
    int32_t cur_num = doc->pages.items[page_index].obj_num;
    if (!num_span(doc, cur_num, &cur)) return 0;
    for (int32_t hops = 0;;) {
        int32_t v = pdfcore_key_value(&cur, "Resources");
        if (v >= 0) {
            if (cur.text[v] == '<' && v + 1 < cur.end && cur.text[v + 1] == '<') {
                walk_page_resources(w, false, cur_num, cur.text, cur.end, v);
                break;
            }
            int32_t ref = ref_at(cur.text, cur.end, &v);
            pdfcore_span rs;
            if (ref > 0 && num_span(doc, ref, &rs)) {
                walk_page_resources(w, true, ref, rs.text, rs.end, rs.start);
                break;
            }
        }
        // No usable /Resources here: the parent's are inherited.
        int32_t pp = pdfcore_find_key(&cur, "Parent");
        if (pp < 0) break;
        pp += 7;
        int32_t parent = parse_int_at(cur.text, cur.end, &pp);
        if (parent <= 0) break;
        hops++;
        const pdfcore_obj *o = obj_find(&doc->objs, parent);
        if (!o || hops >= max_parent_hops) break;
        if (!pdfcore_obj_span(doc, o, &cur)) break;
        cur_num = parent;
    }
    return w->lost ? -1 : 0;
}

int collect_page_images(const pdfcore_doc *doc, int32_t page_index, const image_receiver *to) {
    return collect_page(doc, page_index, to, nullptr);
}

// When the page tree leads to no image: every stream of the index whose /Subtype is /Image, in
// index order, as found on page 1.
static int fallback_scan(const pdfcore_doc *doc, const image_receiver *to) {
    page_walk w;  // its seen list is not used
    w.doc = doc;
    w.to = to;
    w.page = 1;
    w.known = nullptr;
    w.seen_count = 0;
    w.lost = 0;
    for (int32_t i = 0; i < doc->objs.count; i++) {
        const pdfcore_obj *o = &doc->objs.items[i];
        pdfcore_span s;
        if (!o->is_stream || !pdfcore_obj_span(doc, o, &s)) continue;
        int32_t t = subtype_value(doc, s);
        if (t >= 0 && value_is(s, t, "/Image")) convert_and_hand_over(&w, o->num);
    }
    return w.lost ? -1 : 0;
}

int collect_all_images(const pdfcore_doc *doc, const image_receiver *to) {
    if (!doc) return 0;
    int32_t seen[doc_seen_max];
    int32_t seen_count = 0;
    int lost = 0;
    int32_t handed = 0;  // records the receiver kept
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
        // The page's records are held until its walk is done: what the walk knows of earlier
        // pages must not change while it runs.
        img_vec tmp;
        memset(&tmp, 0, sizeof tmp);
        image_receiver hold = img_vec_receiver(&tmp, to->flags);
        known.seen_count = seen_count;
        if (collect_page(doc, pi, &hold, &known) != 0) lost = 1;
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
                if (to->take(to->ctx, r) == 0) handed++;
                else lost = 1;
            }
            r->data = nullptr;
            r->pixels = nullptr;
        }
        free(tmp.items);
    }
    free(maps);
    if (handed == 0 && !lost && fallback_scan(doc, to) != 0) lost = 1;
    return lost ? -1 : 0;
}

// ---- the list of records -----------------------------------------------------------------------

int img_vec_push(img_vec *list, const extracted_image *rec) {
    if (list->count >= list->capacity) {
        void *t = array_grow(list->items, &list->capacity, 16, sizeof *list->items);
        if (!t) {
            list->failed = 1;
            return -1;
        }
        list->items = (extracted_image *)t;
    }
    list->items[list->count++] = *rec;
    return 0;
}

static int img_vec_take(void *ctx, extracted_image *rec) {
    if (img_vec_push((img_vec *)ctx, rec) == 0) return 0;
    extracted_image_release(rec);
    return -1;
}

image_receiver img_vec_receiver(img_vec *list, int32_t flags) { return image_receiver{img_vec_take, list, flags}; }

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
