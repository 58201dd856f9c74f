// pdfextractimg/drawn.cpp - what the pages draw: XObject dictionary entries, the names Do operators
// draw, the resource dictionaries shared by several pages with their tables and drawn entries.
#include "pdfextractimg/drawn.h"

#include <cstdlib>
#include <cstring>

#include "pdfextractimg/inline.h"

// The page and at most 31 ancestors are asked for /Resources.
const int32_t max_parent_hops = 32;

// ---- small readers --------------------------------------------------------------------------------

// 1 when the bytes at t (inside s) begin with what; a prefix test, so /ImageX counts as /Image.
static bool value_is(const pdfcore_span &s, int32_t t, const char *what) {
    int32_t n = (int32_t)strlen(what);
    return t >= 0 && t + n - 1 < s.end && memcmp(s.text + t, what, (size_t)n) == 0;
}

// The number at p when p holds a digit (read alone: a reference's generation and R are not looked
// at); -1 otherwise. *p moves past it on success.
static int32_t ref_at(const uint8_t *text, int32_t end, int32_t *p) {
    if (*p < 0 || *p >= end || !is_digit(text[*p])) return -1;
    return parse_int_at(text, end, p);
}

static int num_span(const pdfcore_doc *doc, int32_t num, pdfcore_span *s) {
    return pdfcore_obj_span(doc, obj_find(&doc->objs, num), s);
}

static bool bit_get(const uint8_t *bits, int32_t max, int32_t num) {
    return bits && num >= 0 && num <= max && (bits[num >> 3] >> (num & 7) & 1);
}

// ---- resources and XObject dictionaries -----------------------------------------------------------

int page_resources_of(const pdfcore_doc *doc, int32_t page_index, page_res *r) {
    pdfcore_span cur;
    int32_t cur_num = doc->pages.items[page_index].obj_num;
    if (!num_span(doc, cur_num, &cur)) return 0;
    for (int32_t hops = 0;;) {
        int32_t v = pdfcore_key_value(&cur, "Resources");
        if (v >= 0) {
            if (cur.text[v] == '<' && v + 1 < cur.end && cur.text[v + 1] == '<') {
                r->span = cur;
                r->span.start = v;
                r->holder = cur_num;
                r->by_ref = 0;
                return 1;
            }
            int32_t ref = ref_at(cur.text, cur.end, &v);
            if (ref > 0 && num_span(doc, ref, &r->span)) {
                r->holder = ref;
                r->by_ref = 1;
                return 1;
            }
        }
        // No usable /Resources here: the parent's are inherited.
        int32_t pp = pdfcore_find_key(&cur, "Parent");
        if (pp < 0) return 0;
        pp += 7;
        int32_t parent = parse_int_at(cur.text, cur.end, &pp);
        if (parent <= 0) return 0;
        hops++;
        const pdfcore_obj *o = obj_find(&doc->objs, parent);
        if (!o || hops >= max_parent_hops || !pdfcore_obj_span(doc, o, &cur)) return 0;
        cur_num = parent;
    }
}

int32_t form_resources(const pdfcore_span *s, int32_t *ref) {
    *ref = -1;
    int32_t r = pdfcore_find_key(s, "Resources");
    if (r < 0) return -1;
    int32_t v = skip_ws(s->text, r + 10, s->end);
    *ref = ref_at(s->text, s->end, &v);
    return r;
}

int xobject_dict_of(const pdfcore_doc *doc, const uint8_t *text, int32_t end, int32_t start,
                    pdfcore_span *entries) {
    if (!text || end <= 0 || start < 0) return 0;
    pdfcore_span in = {text, start, end, -1};
    int32_t x = pdfcore_find_key(&in, "XObject");
    if (x < 0) return 0;
    int32_t v = skip_ws(text, x + 8, end);
    if (v >= end) return 0;
    if (text[v] == '<') {
        if (v + 1 >= end || text[v + 1] != '<') return 0;
        *entries = pdfcore_span{text, v + 2, end, -1};
        return entries->start < entries->end;
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
    } else {
        entries->start += 2;  // past the "<<" at dict_off
    }
    return entries->start < entries->end;
}

int xobject_entry_next(const pdfcore_span *e, int32_t *pos, int32_t *key, int32_t *key_end,
                       int32_t *num) {
    const uint8_t *d = e->text;
    int32_t lim = e->end;
    int32_t p = *pos;
    for (;;) {
        p = skip_ws(d, p, lim);
        if (p >= lim) break;
        uint8_t c = d[p];
        if (c == '>') {
            if (p + 1 >= lim || d[p + 1] == '>') break;  // the dictionary ends
            p++;
            continue;
        }
        if (c != '/') {
            p++;  // generation numbers, R, and values that are no references
            continue;
        }
        *key = ++p;
        while (p < lim && !is_c_space(d[p]) && d[p] != '/' && d[p] != '<' && d[p] != '>' &&
               d[p] != '[' && d[p] != '%')  // a comment after the key ends its name
            p++;
        *key_end = p;
        *num = -1;
        p = skip_ws(d, p, lim);
        // A value that is a dictionary, an array or a string is stepped over whole: its keys and
        // its closing ">>" are not the XObject dictionary's.
        if (p < lim && (d[p] == '<' || d[p] == '[' || d[p] == '('))
            p = pdfcore_value_end(d, p, lim);
        else if (p < lim)
            *num = ref_at(d, lim, &p);
        *pos = p;
        return 1;
    }
    *pos = lim;
    return 0;
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

int32_t xobject_kind(const pdfcore_doc *doc, const pdfcore_span *s) {
    int32_t t = subtype_value(doc, *s);
    if (t < 0) return xobject_other;
    if (value_is(*s, t, "/Image")) return xobject_image;
    return value_is(*s, t, "/Form") ? xobject_form : xobject_other;
}

// ---- the names Do operators draw ------------------------------------------------------------------

// 1 when the "Do" at h stands as an operator: whitespace or a delimiter other than '/' before it
// (a '/' makes it the name /Do), whitespace, a delimiter or the end after it.
static bool do_at(const uint8_t *t, int32_t len, int32_t h) {
    if (h > 0 && !is_pdf_ws(t[h - 1]) && (!is_delim(t[h - 1]) || t[h - 1] == '/')) return false;
    return h + 2 >= len || is_pdf_ws(t[h + 2]) || is_delim(t[h + 2]);
}

// Without strings, comments and inline data, whatever stands before a Do is its operand: the name
// is read back from each Do.
static void names_read_back(const uint8_t *t, int32_t len, int32_t h,
                            void (*on_name)(void *, const uint8_t *, int32_t), void *ctx) {
    for (; h >= 0; h = find_kw(t, len, h + 2, "Do")) {
        if (!do_at(t, len, h)) continue;
        int32_t q = h - 1;
        while (q >= 0 && is_pdf_ws(t[q])) q--;
        int32_t end = q + 1;
        while (q >= 0 && !is_pdf_ws(t[q]) && !is_delim(t[q])) q--;
        if (q >= 0 && t[q] == '/') on_name(ctx, t + q + 1, end - q - 1);
    }
}

// 1 when "EI" stands at pos as a word: whitespace before it; whitespace, a delimiter or the end
// after it.
static bool ei_at(const uint8_t *t, int32_t len, int32_t pos) {
    return pos > 0 && pos + 1 < len && is_pdf_ws(t[pos - 1]) && t[pos] == 'E' && t[pos + 1] == 'I' &&
           (pos + 2 == len || is_pdf_ws(t[pos + 2]) || is_delim(t[pos + 2]));
}

// Where the content goes on after the inline image whose dictionary starts at q (just past its
// BI): past the first EI that stands as a word after the data, which starts past the word ID. The
// inline reader knows more of where data ends (lengths, filters' end markers); a Do missed after an
// EI inside the data leaves its object to the pages that draw it elsewhere, or to the dictionary's
// first page.
static int32_t past_inline_image(const uint8_t *t, int32_t len, int32_t q) {
    int32_t dict = q;
    pdfcore_token tok;
    while (pdfcore_next_token(t, len, &q, &tok) && tok.end - dict <= max_inline_dict) {
        if (tok.kind != tok_word || pdfcore_token_is(t, &tok, "true") ||
            pdfcore_token_is(t, &tok, "false") || pdfcore_token_is(t, &tok, "null"))
            continue;
        if (tok.end - tok.start < 2 || t[tok.start] != 'I' || t[tok.start + 1] != 'D') break;
        for (int32_t e = tok.start + 2; e + 1 < len; e++) {
            const void *hit = memchr(t + e, 'E', (size_t)(len - 1 - e));
            if (!hit) break;
            e = (int32_t)((const uint8_t *)hit - t);
            if (ei_at(t, len, e)) return e + 2;
        }
        return len;
    }
    return dict;  // no ID: the content goes on after the BI
}

// The token reader's way: a Do whose operand token is a name.
static void names_by_tokens(const uint8_t *t, int32_t len,
                            void (*on_name)(void *, const uint8_t *, int32_t), void *ctx) {
    pdfcore_token tok, prev = {tok_end, 0, 0};
    int32_t q = 0;
    while (pdfcore_next_token(t, len, &q, &tok)) {
        if (tok.kind == tok_word && pdfcore_token_is(t, &tok, "BI")) {
            q = past_inline_image(t, len, q);
            prev.kind = tok_end;
            continue;
        }
        if (tok.kind == tok_word && prev.kind == tok_name && pdfcore_token_is(t, &tok, "Do"))
            on_name(ctx, t + prev.start + 1, prev.end - prev.start - 1);
        prev = tok;
    }
}

void drawn_names(const uint8_t *t, int32_t len,
                 void (*on_name)(void *ctx, const uint8_t *name, int32_t len), void *ctx) {
    if (!t || len <= 0) return;
    int32_t first = find_kw(t, len, 0, "Do");
    if (first < 0) return;
    if (!memchr(t, '(', (size_t)len) && !memchr(t, '%', (size_t)len) && find_kw(t, len, 0, "BI") < 0)
        names_read_back(t, len, first, on_name, ctx);
    else
        names_by_tokens(t, len, on_name, ctx);
}

// ---- lists --------------------------------------------------------------------------------------

static int index_push(index_list *l, int32_t v) {
    if (l->count >= l->cap) {
        void *t = array_grow(l->items, &l->cap, 16, sizeof *l->items);
        if (!t) return -1;
        l->items = (int32_t *)t;
    }
    l->items[l->count++] = v;
    return 0;
}

void index_list_free(index_list *l) {
    free(l->items);
    memset(l, 0, sizeof *l);
}

static int int_cmp(const void *a, const void *b) {
    int32_t x = *(const int32_t *)a, y = *(const int32_t *)b;
    return x < y ? -1 : x > y;
}

// ---- tables of shared dictionaries ---------------------------------------------------------------

// FNV-1a of a name's bytes.
static uint32_t name_hash(const uint8_t *n, int32_t len) {
    uint32_t h = 2166136261u;
    for (int32_t i = 0; i < len; i++) h = (h ^ n[i]) * 16777619u;
    return h;
}

// The slot of name in d's hash: where its first entry's index stands, or the empty slot it would
// take. The hash has at least twice as many slots as entries, so an empty slot ends every search.
static int32_t table_slot(const shared_dict *d, const uint8_t *name, int32_t len) {
    uint32_t h = name_hash(name, len) & (uint32_t)d->hash_mask;
    for (;; h = (h + 1) & (uint32_t)d->hash_mask) {
        int32_t v = d->hash[h];
        if (v == 0) return (int32_t)h;
        const shared_entry &e = d->entry[v - 1];
        if (e.len == len && memcmp(d->text + e.key, name, (size_t)len) == 0) return (int32_t)h;
    }
}

// Reads the XObject entries of the resources r into d's table. 0 (d->usable tells whether it was
// built), or -1 for want of memory.
static int table_build(const pdfcore_doc *doc, shared_set *s, shared_dict *d, const page_res &r) {
    pdfcore_span e;
    if (!xobject_dict_of(doc, r.span.text, r.span.end, r.span.start, &e)) return 0;
    int32_t p = e.start, k = 0, ke = 0, num = 0;
    int32_t room = max_shared_entries - s->entries;
    while (xobject_entry_next(&e, &p, &k, &ke, &num)) {
        if (room-- <= 0) {  // left to be walked whole (the entries read are counted)
            free(d->entry);
            d->entry = nullptr;
            d->count = d->cap = 0;
            return 0;
        }
        s->entries++;
        if (num <= 0) continue;
        if (d->count >= d->cap) {
            void *t = array_grow(d->entry, &d->cap, 16, sizeof *d->entry);
            if (!t) return -1;
            d->entry = (shared_entry *)t;
        }
        d->entry[d->count++] = shared_entry{k, ke - k, num};
    }
    int32_t slots = 16;
    while (slots < 2 * d->count) slots *= 2;  // count <= 2^22: no overflow
    d->hash = (int32_t *)calloc((size_t)slots, sizeof *d->hash);
    d->stamp = (int32_t *)calloc((size_t)d->count + 1u, sizeof *d->stamp);
    if (!d->hash || !d->stamp) return -1;
    d->hash_mask = slots - 1;
    d->text = e.text;
    for (int32_t i = 0; i < d->count; i++) {
        int32_t at = table_slot(d, e.text + d->entry[i].key, d->entry[i].len);
        if (d->hash[at] == 0) d->hash[at] = i + 1;
    }
    d->usable = 1;
    return 0;
}

// ---- which pages share -------------------------------------------------------------------------

struct page_key {
    int32_t key;  // 2 x holder + by_ref; -1: no resources
    int32_t page_obj;
    int32_t page;
};

static int key_cmp(const void *a, const void *b) {
    const page_key *x = (const page_key *)a, *y = (const page_key *)b;
    if (x->key != y->key) return x->key < y->key ? -1 : 1;
    if (x->page_obj != y->page_obj) return x->page_obj < y->page_obj ? -1 : 1;
    return x->page < y->page ? -1 : x->page > y->page;
}

// A new dictionary for the pages keys[from, to) (one key, several page objects). 0, or -1.
static int add_dict(pdfcore_doc *doc, shared_set *s, const page_key *keys, int32_t from, int32_t to) {
    void *t = realloc(s->dicts, ((size_t)s->count + 1u) * sizeof *s->dicts);
    if (!t) return -1;
    s->dicts = (shared_dict *)t;
    shared_dict *d = &s->dicts[s->count];
    memset(d, 0, sizeof *d);
    d->key = keys[from].key;
    d->first_page = keys[from].page;
    for (int32_t i = from; i < to; i++) {
        if (keys[i].page < d->first_page) d->first_page = keys[i].page;
        s->page_dict[keys[i].page] = s->count;
    }
    s->count++;
    page_res r;
    if (!page_resources_of(doc, d->first_page, &r)) return 0;
    return table_build(doc, s, d, r);
}

// The shared dictionaries: the pages sorted by the key of their resources, runs of one key over
// several page objects.
static int find_shared(pdfcore_doc *doc, shared_set *s) {
    int32_t n = s->pages;
    page_key *keys = (page_key *)malloc((size_t)n * sizeof *keys);
    if (!keys) return -1;
    for (int32_t i = 0; i < n; i++) {
        page_res r;
        int found = page_resources_of(doc, i, &r);
        keys[i] = page_key{found ? 2 * r.holder + r.by_ref : -1, doc->pages.items[i].obj_num, i};
    }
    qsort(keys, (size_t)n, sizeof *keys, key_cmp);
    int rc = 0;
    for (int32_t i = 0, j = 0; i < n && rc == 0; i = j) {
        bool several = false;
        for (j = i + 1; j < n && keys[j].key == keys[i].key; j++)
            several |= keys[j].page_obj != keys[i].page_obj;
        if (keys[i].key >= 0 && several) rc = add_dict(doc, s, keys, i, j);
    }
    free(keys);
    return rc;
}

int shared_open(pdfcore_doc *doc, shared_set *s) {
    memset(s, 0, sizeof *s);
    s->pages = doc->pages.items ? doc->pages.count : 0;
    s->max_num = doc->max_num > 0 ? doc->max_num : 0;
    if (s->pages <= 1) return 0;
    size_t n = (size_t)s->pages;
    s->page_dict = (int32_t *)malloc(3 * n * sizeof(int32_t) + n);
    if (!s->page_dict) return -1;
    s->hit_off = s->page_dict + n;
    s->hit_count = s->hit_off + n;
    s->no_bi = (uint8_t *)(s->hit_count + n);
    for (size_t i = 0; i < n; i++) {
        s->page_dict[i] = s->hit_off[i] = -1;
        s->hit_count[i] = 0;
        s->no_bi[i] = 0;
    }
    return find_shared(doc, s);
}

void shared_close(shared_set *s) {
    for (int32_t i = 0; s->dicts && i < s->count; i++) {
        free(s->dicts[i].entry);
        free(s->dicts[i].hash);
        free(s->dicts[i].stamp);
    }
    free(s->dicts);
    free(s->page_dict);
    free(s->hits);
    free(s->drawn);
    memset(s, 0, sizeof *s);
}

int32_t shared_by_ref(const shared_set *s, int32_t ref_num) {
    if (ref_num <= 0 || ref_num > max_obj_num) return -1;
    int32_t key = 2 * ref_num + 1;
    int32_t lo = 0, hi = s->count - 1;  // the dictionaries are made in key order
    while (lo <= hi) {
        int32_t mid = lo + (hi - lo) / 2;
        if (s->dicts[mid].key == key) return s->dicts[mid].usable ? mid : -1;
        if (s->dicts[mid].key < key) lo = mid + 1;
        else hi = mid - 1;
    }
    return -1;
}

// ---- what is drawn --------------------------------------------------------------------------------

struct select_ctx {
    shared_dict *d;
    int32_t stamp;
    index_list *out;
    bool failed;
};

static void select_name(void *ctx, const uint8_t *name, int32_t len) {
    select_ctx *c = (select_ctx *)ctx;
    int32_t v = c->d->hash[table_slot(c->d, name, len)];
    if (v == 0 || c->d->stamp[v - 1] == c->stamp) return;
    c->d->stamp[v - 1] = c->stamp;
    if (index_push(c->out, v - 1) != 0) c->failed = true;
}

// A stamp no entry holds yet.
static int32_t next_stamp(shared_set *s) {
    if (s->selection == INT32_MAX) {
        for (int32_t i = 0; i < s->count; i++)
            if (s->dicts[i].stamp) memset(s->dicts[i].stamp, 0, (size_t)s->dicts[i].count * sizeof(int32_t));
        s->selection = 0;
    }
    return ++s->selection;
}

int shared_select(shared_set *s, int32_t d, const uint8_t *content,
                  int32_t len, index_list *out) {
    out->count = 0;
    select_ctx c = {&s->dicts[d], next_stamp(s), out, false};
    drawn_names(content, len, select_name, &c);
    if (c.failed) return -1;
    if (out->count > 1) qsort(out->items, (size_t)out->count, sizeof *out->items, int_cmp);
    return 0;
}

// Marks the object of entry i of dictionary d drawn; a form whose resources are a shared
// dictionary goes on the work list (object, dictionary), to be read once.
static int mark_drawn(const pdfcore_doc *doc, shared_set *s, int32_t d, int32_t i, index_list *work) {
    int32_t num = s->dicts[d].entry[i].num;
    if (num > s->max_num || bit_get(s->drawn, s->max_num, num)) return 0;
    s->drawn[num >> 3] = (uint8_t)(s->drawn[num >> 3] | 1u << (num & 7));
    pdfcore_span f;
    int32_t ref = -1;
    if (!num_span(doc, num, &f) || xobject_kind(doc, &f) != xobject_form) return 0;
    form_resources(&f, &ref);
    int32_t d2 = shared_by_ref(s, ref);
    if (d2 < 0) return 0;
    return index_push(work, num) == 0 && index_push(work, d2) == 0 ? 0 : -1;
}

// What page pi (using dictionary d) draws, kept in hits when there is room. 0, or -1.
static int page_drawn(pdfcore_doc *doc, shared_set *s, int32_t pi, index_list *sel) {
    const uint8_t *content = nullptr;
    int32_t len = 0;
    int have = pdfcore_page_content(doc, pi, &content, &len);
    s->no_bi[pi] = !have || find_kw(content, len, 0, "BI") < 0;
    int rc = shared_select(s, s->page_dict[pi], content, len, sel);
    if (have) free((void *)content);
    if (rc != 0 || sel->count == 0 || sel->count > max_kept_hits - s->hit_total) {
        if (rc == 0 && sel->count == 0) s->hit_off[pi] = s->hit_total;  // nothing drawn, kept
        return rc;
    }
    if (s->hit_total + sel->count > s->hit_cap) {
        int32_t cap = s->hit_cap ? s->hit_cap : 1024;
        while (cap < s->hit_total + sel->count) cap = cap > max_kept_hits / 2 ? max_kept_hits : cap * 2;
        void *t = realloc(s->hits, (size_t)cap * sizeof *s->hits);
        if (!t) return -1;
        s->hits = (int32_t *)t;
        s->hit_cap = cap;
    }
    memcpy(s->hits + s->hit_total, sel->items, (size_t)sel->count * sizeof *sel->items);
    s->hit_off[pi] = s->hit_total;
    s->hit_count[pi] = sel->count;
    s->hit_total += sel->count;
    return 0;
}

// The forms on the work list: what each draws from its shared resources is drawn too.
static int forms_drawn(pdfcore_doc *doc, shared_set *s, index_list *work, index_list *sel) {
    while (work->count >= 2) {
        int32_t d = work->items[--work->count];
        int32_t num = work->items[--work->count];
        int32_t len = 0;
        const uint8_t *content = pdfcore_decoded_stream(doc, obj_find(&doc->objs, num), &len);
        if (shared_select(s, d, content, len, sel) != 0) return -1;
        for (int32_t i = 0; i < sel->count; i++)
            if (mark_drawn(doc, s, d, sel->items[i], work) != 0) return -1;
    }
    return 0;
}

int shared_find_drawn(pdfcore_doc *doc, shared_set *s) {
    if (s->count == 0 || s->drawn) return 0;
    s->drawn = (uint8_t *)calloc((size_t)s->max_num / 8u + 1u, 1);
    if (!s->drawn) return -1;
    index_list sel = {nullptr, 0, 0}, work = {nullptr, 0, 0};
    int rc = 0;
    for (int32_t pi = 0; pi < s->pages && rc == 0; pi++) {
        int32_t d = s->page_dict[pi];
        if (d < 0 || !s->dicts[d].usable) continue;
        rc = page_drawn(doc, s, pi, &sel);
        for (int32_t i = 0; i < sel.count && rc == 0; i++) rc = mark_drawn(doc, s, d, sel.items[i], &work);
        if (rc == 0) rc = forms_drawn(doc, s, &work, &sel);
    }
    index_list_free(&sel);
    index_list_free(&work);
    return rc;
}

int shared_page_entries(pdfcore_doc *doc, shared_set *s, int32_t pi, index_list *out) {
    int32_t d = s->page_dict[pi];
    out->count = 0;
    if (s->hit_off[pi] >= 0) {
        for (int32_t i = 0; i < s->hit_count[pi]; i++)
            if (index_push(out, s->hits[s->hit_off[pi] + i]) != 0) return -1;
    } else if (s->drawn) {  // not kept: found again
        const uint8_t *content = nullptr;
        int32_t len = 0;
        int have = pdfcore_page_content(doc, pi, &content, &len);
        int rc = shared_select(s, d, content, len, out);
        if (have) free((void *)content);
        if (rc != 0) return -1;
    }
    shared_dict *t = &s->dicts[d];
    if (pi != t->first_page) return 0;
    // The first page also takes what no page draws, in dictionary order among what it draws.
    int32_t stamp = next_stamp(s);
    for (int32_t i = 0; i < out->count; i++) t->stamp[out->items[i]] = stamp;
    out->count = 0;
    for (int32_t i = 0; i < t->count; i++)
        if (t->stamp[i] == stamp || !bit_get(s->drawn, s->max_num, t->entry[i].num))
            if (index_push(out, i) != 0) return -1;
    return 0;
}
