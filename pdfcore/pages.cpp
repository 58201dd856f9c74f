// pdfcore/pages.cpp - the page tree: root, node types, Kids arrays, boxes and rotation, and the
// walk that flattens the tree into the page list.
#include "pdfcore/pdfcore.h"

#include <cstdlib>
#include <cstring>

static int32_t normalise_rotation(int32_t r) { return ((r % 360) + 360) % 360; }

// The next /key of s at or after from: the position of its '/', or -1.
static int32_t next_key(const pdfcore_span *s, int32_t from, const char *key) {
    pdfcore_span rest = *s;
    rest.start = from;
    return pdfcore_find_key(&rest, key);
}

int32_t parse_pages_ref(const pdfcore_doc *doc, const pdfcore_obj *obj) {
    pdfcore_span s;
    if (!pdfcore_obj_span(doc, obj, &s)) return -1;
    const uint8_t *t = s.text;
    int32_t end = s.end;
    for (int32_t p = next_key(&s, s.start, "Pages"); p >= 0; p = next_key(&s, p + 1, "Pages")) {
        int32_t q = skip_ws(t, p + 6, end);
        int32_t v = parse_int_at(t, end, &q);
        if (v > 0) return v;
    }
    return -1;
}

int32_t obj_type(const pdfcore_doc *doc, const pdfcore_obj *obj) {
    pdfcore_span s;
    if (!pdfcore_obj_span(doc, obj, &s)) return 0;
    const uint8_t *t = s.text;
    int32_t end = s.end;
    for (int32_t p = next_key(&s, s.start, "Type"); p >= 0; p = next_key(&s, p + 1, "Type")) {
        int32_t q = skip_ws(t, p + 5, end);
        if ((int64_t)q + 5 > end || t[q] != '/' || memcmp(t + q + 1, "Page", 4) != 0) continue;
        int32_t r = q + 5;
        if (r == end || !is_word(t[r])) return 1;
        if (t[r] == 's') return (r + 1 == end || !is_word(t[r + 1])) ? 2 : 0;
        return 0;  // /PageLabel and the like
    }
    return 0;
}

// Elements of the array whose '[' is at pos, up to ']' or end: `n g R` references (bare numbers
// are read in pairs). Positive numbers are stored while room lasts.
static int32_t read_kid_array(const uint8_t *t, int32_t pos, int32_t end, int32_t *kids,
                              int32_t room) {
    int32_t count = 0, i = pos + 1, v = 0;
    while (pdfcore_ref_list_next(t, end, &i, &v))
        if (v > 0 && count < room) kids[count++] = v;
    return count;
}

// The array object that a Kids value `n g R` at q refers to: its text and the position of its '['.
static bool kids_array_object(const pdfcore_doc *doc, const uint8_t *t, int32_t q, int32_t end,
                              const uint8_t **at, int32_t *open, int32_t *at_end) {
    int32_t after = 0;
    int32_t num = pdfcore_read_ref(t, end, q, &after);
    pdfcore_span v;
    if (num <= 0 || !pdfcore_value_span(doc, obj_find(&doc->objs, num), &v)) return false;
    *at = v.text;
    *at_end = v.end;
    *open = skip_ws(v.text, v.start, v.end);
    return *open < *at_end && (*at)[*open] == '[';
}

int32_t parse_kids(const pdfcore_doc *doc, const pdfcore_obj *obj, int32_t *kids, int32_t room) {
    pdfcore_span s;
    if (!pdfcore_obj_span(doc, obj, &s)) return -1;
    const uint8_t *t = s.text;
    int32_t end = s.end;
    for (int32_t p = next_key(&s, s.start, "Kids"); p >= 0; p = next_key(&s, p + 1, "Kids")) {
        int32_t q = skip_ws(t, p + 5, end);
        if (q >= end) continue;
        if (t[q] == '[') return read_kid_array(t, q, end, kids, room);
        const uint8_t *at;
        int32_t open, at_end;
        if (is_digit(t[q]) && kids_array_object(doc, t, q, end, &at, &open, &at_end))
            return read_kid_array(at, open, at_end, kids, room);
    }
    return -1;
}

int32_t obj_rotate_own(const pdfcore_doc *doc, const pdfcore_obj *obj) {
    pdfcore_span s;
    if (!pdfcore_obj_span(doc, obj, &s)) return -1;
    int32_t p = pdfcore_find_key(&s, "Rotate");
    if (p < 0) return -1;
    int32_t q = skip_ws(s.text, p + 7, s.end);
    int32_t v = parse_int_at(s.text, s.end, &q);
    return v < 0 ? -1 : v;
}

// One box value at *i: optional sign, digits, optional '.' and digits; no exponent.
static double box_value(const uint8_t *t, int32_t end, int32_t *i) {
    int32_t p = *i;
    bool neg = false;
    if (t[p] == '+' || t[p] == '-') neg = t[p++] == '-';
    double v = 0.0;
    while (p < end && is_digit(t[p])) v = v * 10.0 + (double)(t[p++] - '0');
    if (p < end && t[p] == '.') {
        p++;
        double f = 0.1;
        while (p < end && is_digit(t[p])) {
            v += (double)(t[p++] - '0') * f;
            f *= 0.1;
        }
    }
    *i = p;
    return neg ? -v : v;
}

int32_t parse_box_array(const uint8_t *text, int32_t end, int32_t pos, double *x0, double *y0,
                        double *x1, double *y1) {
    if (pos < 0 || pos >= end || text[pos] != '[') return 0;
    int32_t i = skip_ws(text, pos + 1, end);
    double v[4];
    int k = 0;
    while (k < 4) {
        i = skip_ws(text, i, end);  // a number in a comment is no coordinate
        if (i >= end || text[i] == ']') return 0;
        uint8_t c = text[i];
        if (c == '+' || c == '-' || is_digit(c)) v[k++] = box_value(text, end, &i);
        else i++;  // commas, names, a stray point
    }
    if (!(v[2] > 0.0) || !(v[3] > 0.0)) return 0;
    *x0 = v[0];
    *y0 = v[1];
    *x1 = v[2];
    *y1 = v[3];
    return 1;
}

int32_t obj_box(const pdfcore_doc *doc, const pdfcore_obj *obj, double *x0, double *y0, double *x1,
                double *y1) {
    pdfcore_span s;
    if (!pdfcore_obj_span(doc, obj, &s)) return 0;
    const uint8_t *t = s.text;
    int32_t end = s.end;
    const char *const keys[2] = {"CropBox", "MediaBox"};
    for (const char *name : keys) {
        int32_t skip = (int32_t)strlen(name) + 1;
        for (int32_t p = next_key(&s, s.start, name); p >= 0; p = next_key(&s, p + 1, name)) {
            int32_t q = skip_ws(t, p + skip, end);
            if (q < end && t[q] == '[' && parse_box_array(t, end, q, x0, y0, x1, y1)) return 1;
        }
    }
    return 0;
}

void page_box(const pdfcore_doc *doc, const pdfcore_obj *obj, double *x0, double *y0, double *x1,
              double *y1) {
    if (obj_box(doc, obj, x0, y0, x1, y1)) return;
    *x0 = 0.0;
    *y0 = 0.0;
    *x1 = 595.0;  // A4 in points, portrait
    *y1 = 842.0;
}

void fill_pageinfo(const pdfcore_doc *doc, const pdfcore_obj *obj, pdfcore_page *page) {
    page_box(doc, obj, &page->x0, &page->y0, &page->x1, &page->y1);
    int32_t r = obj_rotate_own(doc, obj);
    page->rotate = r >= 0 ? r % 360 : normalise_rotation(page->inherited_rotate);
}

int pagevec_push(pagevec *pages, const pdfcore_page *page) {
    pdfcore_page copy = *page;
    if (pages->count == pages->capacity) {
        void *t = array_grow(pages->items, &pages->capacity, 64, sizeof *pages->items);
        if (!t) return -1;
        pages->items = (pdfcore_page *)t;
    }
    pages->items[pages->count++] = copy;
    return 0;
}

static void append_page(const pdfcore_doc *doc, const pdfcore_obj *obj, int32_t num, int32_t parent,
                        int32_t inherited, pagevec *pages) {
    pdfcore_page pg;
    memset(&pg, 0, sizeof pg);
    pg.obj_num = num;
    pg.parent_num = parent;
    pg.inherited_rotate = normalise_rotation(inherited);
    fill_pageinfo(doc, obj, &pg);
    (void)pagevec_push(pages, &pg);  // a page that cannot be added is dropped
}

// One /Pages node on the walk: its kids still to visit and the rotation its kids inherit.
struct walk_frame {
    int32_t node;
    int32_t *kids;
    int32_t nkids;
    int32_t next;
    int32_t inherited;
};

struct walk_stack {
    walk_frame *items;
    int32_t count;
    int32_t capacity;
};

static int walk_push(walk_stack *s, const walk_frame *f) {
    if (s->count == s->capacity) {
        void *t = array_grow(s->items, &s->capacity, 64, sizeof *s->items);
        if (!t) return -1;
        s->items = (walk_frame *)t;
    }
    s->items[s->count++] = *f;
    return 0;
}

// Opens /Pages node num (entry e): reads its kids into a new frame. 1: frame filled (kids to walk),
// 0: nothing to walk (no kids, or the node is already on the walk's path: a loop, whose branch ends
// here), -1: broken tree.
static int open_node(const pdfcore_doc *doc, const pdfcore_obj *e, int32_t num, int32_t max_num,
                     const uint8_t *on_path, int32_t inherited, walk_frame *f) {
    // Without the marks a loop could not be detected: such a node counts as broken.
    if (!on_path || max_num < 0 || num < 0 || num > max_num) return -1;
    if (on_path[num]) return 0;
    int64_t room = 4096;
    if (e->in_objstm) room += e->body_len / 4;
    else if (e->endobj_off > e->head_off) room += (e->endobj_off - e->head_off) / 4;
    if (room > pages_max_kid_room) room = pages_max_kid_room;
    int32_t *kids = (int32_t *)malloc((size_t)room * sizeof(int32_t));
    if (!kids) return -1;
    int32_t n = parse_kids(doc, e, kids, (int32_t)room);
    // The room fits any array written in the node itself; an array object that Kids refers to
    // can be longer (each kid takes at least 4 bytes of its text).
    const int64_t max_room = pages_max_kid_room;
    while (n == room && room < max_room) {
        room = room * 4 < max_room ? room * 4 : max_room;
        int32_t *more = (int32_t *)realloc(kids, (size_t)room * sizeof(int32_t));
        if (!more) break;  // keep the kids read so far
        kids = more;
        n = parse_kids(doc, e, kids, (int32_t)room);
    }
    if (n <= 0) {
        free(kids);
        return 0;
    }
    // Every open level keeps its kids: keep only what was read, so a deep chain stays small.
    int32_t *fit = (int32_t *)realloc(kids, (size_t)n * sizeof(int32_t));
    if (fit) kids = fit;
    int32_t own = obj_rotate_own(doc, e);
    f->node = num;
    f->kids = kids;
    f->nkids = n;
    f->next = 0;
    f->inherited = own != -1 ? own : inherited;
    return 1;
}

// Pushes an opened node and marks it as on the path. 0, or -1 (no memory; its kids freed).
static int enter_node(walk_stack *stack, walk_frame *f, uint8_t *on_path) {
    if (walk_push(stack, f) != 0) {
        free(f->kids);
        return -1;
    }
    on_path[f->node] = 1;
    return 0;
}

int32_t resolve_pages(const pdfcore_doc *doc, int32_t root_num, int32_t max_num, pagevec *pages,
                      uint8_t *on_path, int32_t inherited) {
    const objvec *objs = &doc->objs;
    const pdfcore_obj *root = obj_find(objs, root_num);
    if (!root) return -1;
    int32_t type = obj_type(doc, root);
    if (type == 1) {
        append_page(doc, root, root_num, -1, inherited, pages);
        return 1;
    }
    if (type != 2) return -1;

    walk_stack stack = {nullptr, 0, 0};
    walk_frame f;
    int32_t result = -1;
    int32_t table_max = 0;
    int32_t *table = nullptr;
    // A node listed by several parents is walked under each: the kids stepped over are counted,
    // so that nodes shared at every level cannot multiply the walk beyond a few times the index.
    int64_t steps_left = 4 * (int64_t)objs->count + 1024;
    int r = open_node(doc, root, root_num, max_num, on_path, inherited, &f);
    if (r <= 0) return r;
    if (enter_node(&stack, &f, on_path) != 0) return -1;
    table = obj_first_positions(objs, &table_max);
    // Depth-first in Kids order, with an explicit stack: nesting depth is decided by the file.
    while (stack.count > 0 && steps_left-- > 0) {
        walk_frame *top = &stack.items[stack.count - 1];
        if (top->next == top->nkids) {
            on_path[top->node] = 0;
            free(top->kids);
            stack.count--;
            continue;
        }
        int32_t kid = top->kids[top->next++];
        int32_t node = top->node, inh = top->inherited;
        const pdfcore_obj *e = obj_lookup(objs, table, table_max, kid);
        if (!e) goto done;
        type = obj_type(doc, e);
        if (type == 1) {
            append_page(doc, e, kid, node, inh, pages);
        } else if (type == 2) {
            r = open_node(doc, e, kid, max_num, on_path, inh, &f);
            if (r < 0) goto done;
            if (r > 0 && enter_node(&stack, &f, on_path) != 0) goto done;
        } else {
            goto done;
        }
    }
    result = pages->count;
done:
    for (int32_t i = 0; i < stack.count; i++) {
        on_path[stack.items[i].node] = 0;
        free(stack.items[i].kids);
    }
    free(stack.items);
    free(table);
    return result;
}

// An entry of the index and where it stands in the file.
struct placed_entry {
    int64_t pos;
    int32_t index;
};

// Orders placed entries by (file position, index position).
static int placed_cmp(const void *a, const void *b) {
    const placed_entry *x = (const placed_entry *)a, *y = (const placed_entry *)b;
    if (x->pos != y->pos) return x->pos < y->pos ? -1 : 1;
    return x->index < y->index ? -1 : (x->index > y->index ? 1 : 0);
}

int32_t pages_by_type(const pdfcore_doc *doc, pagevec *pages) {
    const objvec *objs = &doc->objs;
    int32_t n = 0;
    placed_entry *order = (placed_entry *)malloc(((size_t)objs->count + 1) * sizeof(placed_entry));
    if (!order) return pages->count;
    for (int32_t i = 0; i < objs->count; i++) {
        const pdfcore_obj *e = &objs->items[i];
        if (e->is_stream || obj_type(doc, e) != 1) continue;
        // An object from an object stream stands where its stream stands, in the stream's order,
        // which the index keeps.
        order[n++] = placed_entry{e->in_objstm ? e->stm_head_off : e->head_off, i};
    }
    qsort(order, (size_t)n, sizeof *order, placed_cmp);
    for (int32_t k = 0; k < n; k++) {
        const pdfcore_obj *e = &objs->items[order[k].index];
        append_page(doc, e, e->num, -1, 0, pages);
    }
    free(order);
    return pages->count;
}
