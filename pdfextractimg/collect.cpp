// pdfextractimg/collect.cpp - the image collection walk: finds the image XObjects of the pages
// (resources inherited through the page tree, Form XObjects descended into; from a dictionary
// shared by several pages, what the page draws), then the inline images of the page's content and
// of those forms, then the images of annotation appearances, tiling patterns and soft-mask groups;
// converts each XObject once per page and once per document, hands each image to the receiver it
// is given as soon as it is converted, and falls back to a scan of every stream when the pages
// yield none.
#include "pdfextractimg/extract.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "pdfcore/pdfcore.h"
#include "pdfextractimg/drawn.h"
#include "pdfextractimg/inline.h"
// XObject dictionaries are scanned at levels 0 (the page's) to 16 (through 16 nested forms).
const int32_t max_form_depth = 17;
// Walk numbers above this are not remembered in done (see below): such walks read every dictionary.
const int32_t max_done_walk = INT32_MAX >> 3;

// Dictionaries that a walk reads by object number, as kinds in done (below).
const int32_t node_form = 1;       // a form's own /Resources
const int32_t node_resources = 2;  // the object a form's /Resources names
const int32_t node_xobjects = 4;   // the object an /XObject key names

// What a walk learns of an object, in its marks (below).
const uint8_t mark_checked = 1;  // the stream's content was looked at for "BI"
const uint8_t mark_has_bi = 2;   // it holds "BI": inline images, perhaps
const uint8_t mark_inline = 4;   // reading a dictionary of the object met such a stream (or a
                                 // walk through it is under way)

// 1 and *s = the text span of object num; 0 when it has none.
static int num_span(const pdfcore_doc *doc, int32_t num, pdfcore_span *s) {
    return pdfcore_obj_span(doc, obj_find(&doc->objs, num), s);
}

// Bit per number 0..max.
static bool bit_get(const uint8_t *bits, int32_t max, int32_t num) {
    return bits && num >= 0 && num <= max && (bits[num >> 3] >> (num & 7) & 1);
}
static void bit_set(uint8_t *bits, int32_t max, int32_t num) {
    if (bits && num >= 0 && num <= max) bits[num >> 3] = (uint8_t)(bits[num >> 3] | 1u << (num & 7));
}

// What the whole-document walk knows from the pages walked so far, one bit per object number (per
// page for whole): the images handed over (listed) and the images whose conversion failed, neither
// of which is converted again; the objects holding the resources of earlier pages; and the pages
// whose walk never stopped at the depth limit. A page walk depends only on where it starts (what
// is known changes which images are converted, never which objects are visited), so a page whose
// resources are held by an object already walked meets only images listed or failed before, and
// is not walked again.
struct doc_known {
    uint8_t *listed;
    uint8_t *failed;
    uint8_t *walked_inline;  // pages and ancestors whose own /Resources were walked
    uint8_t *walked_ref;     // objects named by a walked /Resources reference
    uint8_t *whole;          // per walk number (page index + 1)
    int32_t max_num;
    int32_t pages;
};

// One call's walk, page after page. Per object number 0..max_num it keeps two numbers and marks:
//
// seen: the walk number (1 + the page index; 1 for a page walked alone) of the last page walk that
// met the object in an XObject dictionary. Each object is visited at most once per page, however
// many objects the page names, and nothing is cleared between pages.
//
// done: (walk number << 3) | the kinds of dictionary (node_*) read from the object on that walk.
// A dictionary read to its end has put every object it names into the page's seen set, so reading
// it again on that page finds nothing new; when the whole page was walked without stopping at the
// depth limit, everything it leads to was handed over or failed, so it finds nothing new on a later
// page either. Either way it is not read again, and the walk stays linear in the size of the file
// however many pages and forms share a form or a dictionary.
//
// marks (mark_*): the inline images of a form belong to every page that shows it, so a form has to
// be met on each page: a dictionary that led to a form whose content holds "BI" is read again on
// later pages (not on the same page: all it names was met there).
struct page_walk {
    pdfcore_doc *doc;
    const image_receiver *to;
    const doc_known *known;   // null: a walk of one page alone, or the fallback scan
    walk_counters *counters;  // null: not counted
    int32_t *seen;            // max_num + 1 entries each, one block; null for the fallback scan
    int32_t *done;
    uint8_t *marks;
    int32_t max_num;
    int32_t page;             // 1-based page given to the records
    int32_t id;               // walk number, >= 1
    int cut;                  // 1 once a dictionary was left unread at the depth limit
    int lost;                 // 1 once the receiver refused a record: nothing more is converted
    int32_t handed;           // records the receiver kept
    int64_t inline_met;       // times a stream with "BI" was met (see marks)
    shared_set *shared;       // the dictionaries several pages share; null: none (the fallback scan)
    bool dry;                 // images are marked listed, not converted; inline images not read
    int32_t *forms;           // Form XObjects descended into on this page, in visiting order
    int32_t form_count;       // (malloc'd)
    int32_t form_cap;
};

// Prepares *w for walks over doc (seen, done and marks allocated when sets is 1). 0, or -1 for want
// of memory. walk_close frees them.
static int walk_open(page_walk *w, pdfcore_doc *doc, const image_receiver *to,
                     const doc_known *known, walk_counters *counters, bool sets) {
    memset(w, 0, sizeof *w);
    w->doc = doc;
    w->to = to;
    w->known = known;
    w->counters = counters;
    w->max_num = doc->max_num > 0 ? doc->max_num : 0;
    w->page = 1;
    w->id = 1;
    if (!sets) return 0;
    size_t n = (size_t)w->max_num + 1u;
    w->seen = (int32_t *)calloc(n, 2 * sizeof(int32_t) + 1);
    if (!w->seen) return -1;
    w->done = w->seen + n;
    w->marks = (uint8_t *)(w->done + n);
    return 0;
}

static void walk_close(page_walk *w) {
    free(w->seen);
    free(w->forms);
    w->seen = w->done = w->forms = nullptr;
    w->marks = nullptr;
}

// Counts a met object whose walk met inline images (see page_walk).
static void met_marks(page_walk *w, int32_t num) {
    if (num > 0 && num <= w->max_num && (w->marks[num] & mark_inline)) w->inline_met++;
}

// Marks object num as leading to inline images when the walk met any since it stood at before.
static void mark_since(page_walk *w, int32_t num, int64_t before) {
    if (num > 0 && num <= w->max_num && w->inline_met > before)
        w->marks[num] = (uint8_t)(w->marks[num] | mark_inline);
}

// 1 when the content of stream num may hold inline images ("BI" in its decoded content); looked
// at once per walk.
static bool holds_bi(page_walk *w, int32_t num) {
    if (num <= 0 || num > w->max_num) return false;
    uint8_t m = w->marks[num];
    if (!(m & mark_checked)) {
        int32_t len = 0;
        const uint8_t *content = pdfcore_decoded_stream(w->doc, obj_find(&w->doc->objs, num), &len);
        m = (uint8_t)(m | mark_checked | (content && find_kw(content, len, 0, "BI") >= 0 ? mark_has_bi : 0));
        w->marks[num] = m;
    }
    return m & mark_has_bi;
}

// Notes form num, whose inline images come after the XObjects. Without memory for the list the
// record is lost.
static void note_form(page_walk *w, int32_t num) {
    if (w->form_count >= w->form_cap) {
        void *t = array_grow(w->forms, &w->form_cap, 16, sizeof *w->forms);
        if (!t) {
            w->lost = 1;
            return;
        }
        w->forms = (int32_t *)t;
    }
    w->forms[w->form_count++] = num;
}

// 1 when num was met on this page before; marks it met. Numbers outside the index lead nowhere.
static bool seen_on_page(page_walk *w, int32_t num) {
    if (num > w->max_num || w->seen[num] == w->id) return true;
    w->seen[num] = w->id;
    return false;
}

// 1 when the dictionary of this kind in object num need not be read again (see page_walk).
static bool node_done(page_walk *w, int32_t num, int32_t kind) {
    if (num <= 0 || num > w->max_num || !(w->done[num] & kind)) return false;
    int32_t walk = w->done[num] >> 3;
    if (walk == w->id) {
        met_marks(w, num);
        return true;
    }
    return !(w->marks[num] & mark_inline) && w->known && bit_get(w->known->whole, w->known->pages, walk);
}

static void node_read(page_walk *w, int32_t num, int32_t kind) {
    if (num <= 0 || num > w->max_num || w->id > max_done_walk || w->lost) return;
    int32_t d = w->done[num];
    w->done[num] = (d >> 3) == w->id ? d | kind : w->id << 3 | kind;
}

static void convert_and_hand_over(page_walk *w, int32_t num) {
    const doc_known *known = w->known;
    if (w->lost) return;
    if (known && (bit_get(known->listed, known->max_num, num) || bit_get(known->failed, known->max_num, num)))
        return;
    if (w->dry) {  // what a page before the one walked takes
        if (known) bit_set(known->listed, known->max_num, num);
        return;
    }
    extracted_image rec;
    memset(&rec, 0, sizeof rec);
    if (!extract_single_image(w->doc, num, w->page, &rec, w->to->flags)) {
        if (known) bit_set(known->failed, known->max_num, num);
        return;
    }
    if (known) bit_set(known->listed, known->max_num, num);
    if (w->to->take(w->to->ctx, &rec) != 0) w->lost = 1;
    else w->handed++;
}

static void scan_xobjects_dict(page_walk *w, const uint8_t *text, int32_t end, int32_t start,
                               int32_t depth);
static void visit_entries(page_walk *w, int32_t d, const index_list &sel, int32_t depth);
static void walk_shared_form(page_walk *w, int32_t num, int32_t d, int32_t depth);

// The XObjects of form s's resources: the dictionary its /Resources names, read once (node_resources),
// or, for an inline dictionary (or a reference that leads nowhere), the text from the /Resources
// name on.
// Resources that several pages share give what the form draws from them.
static void walk_form(page_walk *w, const pdfcore_span &s, int32_t depth) {
    int32_t ref = -1;
    int32_t r = form_resources(&s, &ref);
    if (r < 0) return;
    int32_t d = w->shared ? shared_by_ref(w->shared, ref) : -1;
    if (d >= 0) {
        walk_shared_form(w, s.obj_num, d, depth + 1);
        return;
    }
    pdfcore_span rs;
    if (ref > 0 && num_span(w->doc, ref, &rs)) {
        if (node_done(w, ref, node_resources)) return;
        int64_t before = w->inline_met;
        scan_xobjects_dict(w, rs.text, rs.end, rs.start, depth + 1);
        node_read(w, ref, node_resources);
        mark_since(w, ref, before);
        return;
    }
    scan_xobjects_dict(w, s.text, s.end, r, depth + 1);
}

// One entry of an XObject dictionary that names object num: converts an image, descends into a
// form (its /Resources in place, or the resource object it refers to), passes over anything else.
static void visit_xobject(page_walk *w, int32_t num, int32_t depth) {
    pdfcore_span s;
    if (!num_span(w->doc, num, &s)) return;
    int32_t kind = xobject_kind(w->doc, &s);
    if (kind == xobject_image) {
        convert_and_hand_over(w, num);
        return;
    }
    if (kind != xobject_form || node_done(w, num, node_form)) return;
    note_form(w, num);
    int64_t before = w->inline_met;
    if (holds_bi(w, num)) w->inline_met++;
    // Marked while its walk is under way: a form under it that names it again leads to it, and to
    // whatever inline images it turns out to lead to.
    w->marks[num] = (uint8_t)(w->marks[num] | mark_inline);
    walk_form(w, s, depth);
    node_read(w, num, node_form);
    w->marks[num] = (uint8_t)(w->marks[num] & ~mark_inline);
    mark_since(w, num, before);
}

// The entries of an XObject dictionary, e.text[e.start, e.end), in text order: each object named
// that was not met on this page before is visited.
// One object named by an XObject dictionary: visited unless met on this page before.
static void visit_named(page_walk *w, int32_t num, int32_t depth) {
    if (seen_on_page(w, num)) {
        met_marks(w, num);
        return;
    }
    visit_xobject(w, num, depth);
}

static void walk_entries(page_walk *w, const pdfcore_span &e, int32_t depth) {
    int32_t p = e.start, key = 0, key_end = 0, num = 0;
    while (!w->lost && xobject_entry_next(&e, &p, &key, &key_end, &num)) {
        if (w->counters) w->counters->entries++;
        if (num > 0) visit_named(w, num, depth);
    }
}

// The entries sel of shared dictionary d, in their order.
static void visit_entries(page_walk *w, int32_t d, const index_list &sel, int32_t depth) {
    const shared_dict &t = w->shared->dicts[d];
    for (int32_t i = 0; i < sel.count && !w->lost; i++) visit_named(w, t.entry[sel.items[i]].num, depth);
}

// Form num, whose resources are shared dictionary d: the entries its content draws.
static void walk_shared_form(page_walk *w, int32_t num, int32_t d, int32_t depth) {
    if (depth >= max_form_depth) {
        w->cut = 1;
        return;
    }
    int32_t len = 0;
    const uint8_t *content = pdfcore_decoded_stream(w->doc, obj_find(&w->doc->objs, num), &len);
    index_list sel = {nullptr, 0, 0};
    if (shared_select(w->shared, d, content, len, &sel) != 0) w->lost = 1;
    else visit_entries(w, d, sel, depth);
    index_list_free(&sel);
}

// Finds the next /XObject at or after start in text[0, end) and walks that dictionary's entries,
// converting its images and descending into its forms. Recursion is bounded by max_form_depth; a
// form that lists itself is stopped by the page's seen set.
static void scan_xobjects_dict(page_walk *w, const uint8_t *text, int32_t end, int32_t start,
                               int32_t depth) {
    if (!text || end <= 0 || start < 0) return;
    if (depth >= max_form_depth) {
        w->cut = 1;
        return;
    }
    pdfcore_span e;
    if (!xobject_dict_of(w->doc, text, end, start, &e)) return;
    if (node_done(w, e.obj_num, node_xobjects)) return;
    int64_t before = w->inline_met;
    walk_entries(w, e, depth);
    node_read(w, e.obj_num, node_xobjects);
    mark_since(w, e.obj_num, before);
}

// 1 when the resources in object num, marked in map, were walked for an earlier page and met no
// form with inline images.
static bool walked_before(const page_walk *w, const uint8_t *map, int32_t num) {
    return w->known && bit_get(map, w->known->max_num, num) && !(w->marks[num] & mark_inline);
}

// Walks the resources of a page found in object key (the page or an ancestor: map walked_inline;
// the object a /Resources reference names: walked_ref). Resources already walked for an earlier
// page of the document yield nothing new (all they led to is listed or failed) unless they led to
// inline images, so thousands of pages sharing one large resource dictionary cost one walk.
static void walk_page_resources(page_walk *w, bool by_ref, int32_t key, const uint8_t *text,
                                int32_t end, int32_t start) {
    const doc_known *known = w->known;
    uint8_t *map = !known ? nullptr : by_ref ? known->walked_ref : known->walked_inline;
    if (walked_before(w, map, key)) return;
    int64_t before = w->inline_met;
    scan_xobjects_dict(w, text, end, start, 0);
    if (known) bit_set(map, known->max_num, key);
    mark_since(w, key, before);
}

static void walk_page_extras(page_walk *w, int32_t page_index, const pdfcore_span *res);

// The XObjects page page_index takes from the shared dictionary it uses (see drawn.h).
static void walk_shared_page(page_walk *w, int32_t page_index) {
    index_list sel = {nullptr, 0, 0};
    if (shared_page_entries(w->doc, w->shared, page_index, &sel) != 0) w->lost = 1;
    else visit_entries(w, w->shared->page_dict[page_index], sel, 0);
    index_list_free(&sel);
}

// Walks page page_index (in range) as walk number id.
static void walk_page(page_walk *w, int32_t page_index, int32_t id) {
    w->page = page_index + 1;
    w->id = id;
    w->cut = 0;
    w->form_count = 0;
    page_res r;
    bool have_res = page_resources_of(w->doc, page_index, &r) == 1;
    int32_t d = have_res && w->shared && w->shared->page_dict ? w->shared->page_dict[page_index] : -1;
    if (d >= 0 && w->shared->dicts[d].usable) walk_shared_page(w, page_index);
    else if (have_res) walk_page_resources(w, r.by_ref, r.holder, r.span.text, r.span.end, r.span.start);
    walk_page_extras(w, page_index, have_res ? &r.span : nullptr);
}

// When the page tree leads to no image: every stream of the index whose /Subtype is /Image, in
// index order, as found on page 1.
static int fallback_scan(pdfcore_doc *doc, const image_receiver *to) {
    page_walk w;
    walk_open(&w, doc, to, nullptr, nullptr, false);
    for (int32_t i = 0; i < doc->objs.count && !w.lost; i++) {
        const pdfcore_obj *o = &doc->objs.items[i];
        pdfcore_span s;
        if (!o->is_stream || !pdfcore_obj_span(doc, o, &s)) continue;
        if (xobject_kind(doc, &s) == xobject_image) convert_and_hand_over(&w, o->num);
    }
    return w.lost ? -1 : 0;
}

// Allocates the sets of *k for doc (all clear). 0, or -1 for want of memory; known_free frees them.
static int known_open(doc_known *k, const pdfcore_doc *doc) {
    k->max_num = doc->max_num > 0 ? doc->max_num : 0;
    k->pages = doc->pages.items ? doc->pages.count : 0;
    size_t map_bytes = (size_t)k->max_num / 8u + 1u;
    size_t page_bytes = (size_t)k->pages / 8u + 1u;
    uint8_t *maps = (uint8_t *)calloc(4 * map_bytes + page_bytes, 1);
    k->listed = maps;
    k->failed = maps + map_bytes;
    k->walked_inline = maps + 2 * map_bytes;
    k->walked_ref = maps + 3 * map_bytes;
    k->whole = maps + 4 * map_bytes;
    return maps ? 0 : -1;
}

static void known_free(doc_known *k) {
    free(k->listed);
    memset(k, 0, sizeof *k);
}

// Pages [from, to) of the document walk, each as walk number page index + 1.
static void walk_pages(page_walk *w, int32_t from, int32_t to) {
    for (int32_t pi = from; pi < to && !w->lost; pi++) {
        walk_page(w, pi, pi + 1);
        if (!w->cut) bit_set(w->known->whole, w->known->pages, pi + 1);
    }
}

// The walk of the whole document (only -1) or of page only. A page that takes from a shared
// dictionary gets what the whole-document walk gives it: the pages before it are walked dry first,
// so what they take (from any of their resources) is not its. Other pages are walked alone, as they
// always were. *handed: the records the receiver kept. 0, or -1.
static int walk_doc(pdfcore_doc *doc, int32_t only, const image_receiver *to, walk_counters *counters,
                    int32_t *handed) {
    doc_known known;
    shared_set sh;
    page_walk w;
    memset(&known, 0, sizeof known);
    memset(&sh, 0, sizeof sh);
    memset(&w, 0, sizeof w);
    int rc = -1;
    bool as_doc = only < 0;
    if (shared_open(doc, &sh) != 0) goto done;
    if (!as_doc && sh.page_dict && sh.page_dict[only] >= 0) as_doc = sh.dicts[sh.page_dict[only]].usable;
    if (as_doc && (shared_find_drawn(doc, &sh) != 0 || known_open(&known, doc) != 0)) goto done;
    if (walk_open(&w, doc, to, as_doc ? &known : nullptr, counters, true) != 0) goto done;
    w.shared = &sh;
    if (!as_doc) {
        walk_page(&w, only, 1);
    } else {
        w.dry = only >= 0;
        walk_pages(&w, 0, only >= 0 ? only : known.pages);
        w.dry = false;
        if (only >= 0) walk_pages(&w, only, only + 1);
    }
    if (counters) counters->entries += sh.entries;
    *handed = w.handed;
    rc = w.lost ? -1 : 0;
done:
    walk_close(&w);
    known_free(&known);
    shared_close(&sh);
    return rc;
}

int collect_page_images(pdfcore_doc *doc, int32_t page_index, const image_receiver *to) {
    if (!doc || page_index < 0 || page_index >= doc->pages.count || !doc->pages.items) return 0;
    int32_t handed = 0;
    return walk_doc(doc, page_index, to, nullptr, &handed);
}

int collect_all_images(pdfcore_doc *doc, const image_receiver *to, walk_counters *counters) {
    if (!doc) return 0;
    int32_t handed = 0;
    if (walk_doc(doc, -1, to, counters, &handed) != 0) return -1;
    return handed == 0 ? fallback_scan(doc, to) : 0;
}

// ---- inline images, annotation appearances, tiling patterns ------------------------------------

// The object number of the stream that the value of key in the dictionary at d.start is (through
// references), or -1.
static int32_t stream_at_key(const pdfcore_doc *doc, const pdfcore_span &d, const char *key) {
    pdfcore_span v;
    const pdfcore_obj *o = pdfcore_dict_get(doc, &d, key, &v) ? pdfcore_stream_at(doc, &v) : nullptr;
    return o ? o->num : -1;
}

// *d moved to the dictionary that the value of key in the dictionary at d->start is, in place or
// through references. 1, or 0 when there is none.
static int dict_at_key(const pdfcore_doc *doc, pdfcore_span *d, const char *key) {
    pdfcore_span v;
    if (!pdfcore_dict_get(doc, d, key, &v) || v.start + 1 >= v.end || v.text[v.start] != '<' ||
        v.text[v.start + 1] != '<')
        return 0;
    *d = v;
    return 1;
}

// Hands the inline images of content[0, len) over (see inline_content_images).
static void hand_inline_images(page_walk *w, const uint8_t *content, int32_t len, const pdfcore_span *res) {
    if (w->lost) return;
    int32_t n = inline_content_images(w->doc, content, len, res, w->page, w->to);
    if (n < 0) w->lost = 1;
    else w->handed += n;
}

// The inline images of stream num (a form, an appearance, a pattern), whose colour spaces are
// named in its own resources. The decoded content stays in the document while it is read: the
// conversions read the document and never replace its last decoded stream. A stream whose
// content holds no BI is decoded once per walk.
static void stream_inline_images(page_walk *w, int32_t num) {
    if (w->lost || w->dry || !holds_bi(w, num)) return;
    const pdfcore_obj *o = obj_find(&w->doc->objs, num);
    pdfcore_span s, res;
    if (!pdfcore_obj_span(w->doc, o, &s)) return;
    res = s;
    bool have_res = dict_at_key(w->doc, &res, "Resources");
    int32_t len = 0;
    const uint8_t *content = pdfcore_decoded_stream(w->doc, o, &len);
    if (content) hand_inline_images(w, content, len, have_res ? &res : nullptr);
}

// A stream drawn as a form is (an annotation's appearance, a tiling pattern), one form level
// down, once per page: the images of its XObjects, its inline images, those of the forms under it.
static void walk_like_form(page_walk *w, int32_t num) {
    if (num > w->max_num || seen_on_page(w, num)) return;
    pdfcore_span s;
    if (!num_span(w->doc, num, &s)) return;
    int32_t first = w->form_count;
    walk_form(w, s, 0);
    stream_inline_images(w, num);
    for (int32_t i = first; i < w->form_count; i++) stream_inline_images(w, w->forms[i]);
}

// The normal appearance of the annotation whose dictionary is at a.start: the stream /AP /N names,
// or when /N is a dictionary of states, the one of the state /AS names. -1: none.
static int32_t normal_appearance(const pdfcore_doc *doc, const pdfcore_span &a) {
    pdfcore_span ap = a;
    if (!dict_at_key(doc, &ap, "AP")) return -1;
    int32_t num = stream_at_key(doc, ap, "N");
    if (num > 0) return num;
    pdfcore_span states = ap, as;
    if (!dict_at_key(doc, &states, "N") || !pdfcore_dict_get(doc, &a, "AS", &as) ||
        as.start >= as.end || as.text[as.start] != '/')
        return -1;
    char state[128];
    int cut = 0;
    pdfcore_read_name(as.text, as.end, as.start, state, (int32_t)sizeof state, &cut);
    return cut ? -1 : stream_at_key(doc, states, state);
}

// The inline images of the page's content, whose colour spaces are named in res.
static void page_inline_images(page_walk *w, int32_t page_index, const pdfcore_span *res) {
    const shared_set *sh = w->shared;
    if (w->dry || (sh && sh->no_bi && sh->no_bi[page_index])) return;  // searched for "BI" before
    const uint8_t *content = nullptr;
    int32_t len = 0;
    if (!pdfcore_page_content(w->doc, page_index, &content, &len)) return;
    hand_inline_images(w, content, len, res);
    free((void *)content);
}

// The normal appearance of each annotation of the page, in /Annots order (an array in place or
// through a reference; its annotations in place or through references).
static void walk_annotations(page_walk *w, int32_t page_index) {
    const pdfcore_doc *doc = w->doc;
    pdfcore_span page, arr, one;
    if (!num_span(doc, doc->pages.items[page_index].obj_num, &page) ||
        !pdfcore_dict_get(doc, &page, "Annots", &arr) || arr.text[arr.start] != '[')
        return;
    int32_t q = arr.start + 1;
    while (!w->lost && pdfcore_array_next(doc, &arr, &q, &one)) {
        int32_t ap = one.start < one.end ? normal_appearance(doc, one) : -1;
        if (ap > 0) walk_like_form(w, ap);
    }
}

// The tiling patterns (/PatternType 1 streams) of the /Pattern dictionary pats (at its "<<").
static void walk_patterns(page_walk *w, const pdfcore_span &pats) {
    const pdfcore_doc *doc = w->doc;
    int32_t p = pats.start + 2, k = 0, v = 0;
    while (!w->lost && pdfcore_dict_next(pats.text, pats.end, &p, &k, &v)) {
        pdfcore_span pat = pats, type;
        pat.start = v;
        const pdfcore_obj *o = pdfcore_resolve(doc, &pat) ? pdfcore_stream_at(doc, &pat) : nullptr;
        if (o && pdfcore_dict_get(doc, &pat, "PatternType", &type) && pdfcore_read_int(doc, type) == 1)
            walk_like_form(w, o->num);
    }
}

// The soft-mask groups of the graphics states in the /ExtGState dictionary states (at its "<<"):
// each entry (in dictionary order, in place or through references) whose /SMask is a dictionary
// has its /G walked as a form.
static void walk_soft_masks(page_walk *w, const pdfcore_span &states) {
    const pdfcore_doc *doc = w->doc;
    int32_t p = states.start + 2, k = 0, v = 0;
    while (!w->lost && pdfcore_dict_next(states.text, states.end, &p, &k, &v)) {
        pdfcore_span gs = states;
        gs.start = v;
        if (!pdfcore_resolve(doc, &gs) || gs.start + 1 >= gs.end || gs.text[gs.start] != '<' ||
            gs.text[gs.start + 1] != '<' || !dict_at_key(doc, &gs, "SMask"))
            continue;
        int32_t group = stream_at_key(doc, gs, "G");
        if (group > 0) walk_like_form(w, group);
    }
}

// *d moved to the dictionary that key's value in resources res is (start -1: none). The key is
// looked for in the text first: most resources have no patterns or graphics states, and stepping
// over their other entries costs a read of the XObject dictionary.
static void resource_dict(const pdfcore_doc *doc, const pdfcore_span &res, const char *key, pdfcore_span *d) {
    *d = res;
    if (pdfcore_find_key(&res, key) < 0 || !dict_at_key(doc, d, key)) d->start = -1;
}

// The steps after the XObjects of the page's resources res (null: none): the inline images of
// the page's content, then of each form met, in visiting order; the annotations' appearances;
// the tiling patterns; the soft-mask groups. The last two are looked up once for all the pages of
// a shared dictionary.
static void walk_page_extras(page_walk *w, int32_t page_index, const pdfcore_span *res) {
    page_inline_images(w, page_index, res);
    int32_t forms = w->form_count;
    for (int32_t i = 0; i < forms; i++) stream_inline_images(w, w->forms[i]);
    walk_annotations(w, page_index);
    if (!res) return;
    shared_set *sh = w->shared;
    shared_dict *d = sh && sh->page_dict && sh->page_dict[page_index] >= 0 ? &sh->dicts[sh->page_dict[page_index]] : nullptr;
    pdfcore_span pats, states;
    if (d && d->looked_up) {
        pats = d->patterns;
        states = d->states;
    } else {
        resource_dict(w->doc, *res, "Pattern", &pats);
        resource_dict(w->doc, *res, "ExtGState", &states);
    }
    if (d && !d->looked_up) {
        d->patterns = pats;
        d->states = states;
        d->looked_up = 1;
    }
    if (pats.start >= 0) walk_patterns(w, pats);
    if (states.start >= 0) walk_soft_masks(w, states);
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
    rec->src = nullptr;
}

void img_vec_free(img_vec *list) {
    for (int32_t i = 0; list->items && i < list->count; i++) extracted_image_release(&list->items[i]);
    free(list->items);
    memset(list, 0, sizeof *list);
}
