// pdfcore/xref.cpp - the cross-reference facts the loader needs: trailer /Root, /Info and
// /Encrypt, /Prev chains of cross-reference streams, the first classic table and the header.
#include "pdfcore/pdfcore.h"

#include <cstdlib>
#include <cstring>

int xref_grow(struct xref *x, int32_t n) {
    if (x->capacity >= n) return 0;
    if (n <= 0) return -1;
    size_t bytes = (size_t)n * sizeof(int32_t);
    int64_t *o = (int64_t *)realloc(x->offsets, (size_t)n * sizeof(int64_t));
    if (!o) return -1;
    x->offsets = o;  // capacity stays old until all three have grown
    int32_t *t = (int32_t *)realloc(x->gens, bytes);
    if (!t) return -1;
    x->gens = t;
    t = (int32_t *)realloc(x->in_use, bytes);
    if (!t) return -1;
    x->in_use = t;
    for (int32_t i = x->capacity; i < n; i++) {
        x->offsets[i] = -1;
        x->gens[i] = 0;
        x->in_use[i] = 0;
    }
    x->capacity = n;
    return 0;
}

void xref_free(struct xref *x) {
    free(x->offsets);
    free(x->gens);
    free(x->in_use);
    x->offsets = nullptr;
    x->gens = x->in_use = nullptr;
    x->capacity = 0;
}

// One 20-byte table entry at e: 10 digits, space, 5 digits, space, 'n' or 'f'; the line end is
// not examined. Returns 'n' or 'f' with *gen set, or 0 when malformed.
static uint8_t table_entry(const uint8_t *e, int32_t *gen) {
    int32_t g = 0;
    for (int i = 0; i < 10; i++)
        if (!is_digit(e[i])) return 0;
    if (!is_c_space(e[10])) return 0;
    for (int i = 11; i < 16; i++) {
        if (!is_digit(e[i])) return 0;
        g = g * 10 + (e[i] - '0');
    }
    if (!is_c_space(e[16]) || (e[17] != 'n' && e[17] != 'f')) return 0;
    *gen = g;
    return e[17];
}

// Ten decimal digits as a 64-bit value (they may exceed 32 bits).
static int64_t ten_digits(const uint8_t *e) {
    int64_t v = 0;
    for (int i = 0; i < 10; i++) v = v * 10 + (e[i] - '0');
    return v;
}

// ---- reading through the window -----------------------------------------------------------------
//
// The cross-reference data is read through a window over the file. A dictionary (a trailer's, up
// to the next `startxref`, or a cross-reference stream's, up to its `stream` keyword) is read into
// memory, up to xref_max_text bytes, and searched there.

// Bytes held in memory for a dictionary read at a file position.
struct region {
    uint8_t *data;  // malloc'd
    int32_t len;
    int64_t base;   // file position of data[0]
};

// The file's bytes [start, end) (at most xref_max_text of them) into *r. 0, or -1 when a read came
// back short (the window fails too) or no memory (an empty region).
static int read_region(file_window *w, int64_t start, int64_t end, region *r) {
    r->data = nullptr;
    r->len = 0;
    r->base = start;
    if (end > w->size) end = w->size;
    if (end - start > xref_max_text) end = start + xref_max_text;
    if (start < 0 || end <= start) return 0;
    int64_t n = end - start;
    r->data = (uint8_t *)malloc((size_t)n);
    if (!r->data) return 0;
    if (src_read(w->src, start, r->data, n) != n) {
        w->failed = 1;
        free(r->data);
        r->data = nullptr;
        return -1;
    }
    r->len = (int32_t)n;  // <= xref_max_text
    return 0;
}

// The first position >= pos that is no whitespace (comments are not skipped); end when none.
static int64_t win_skip_white(file_window *w, int64_t pos, int64_t end) {
    int c;
    while (pos < end && (c = win_byte(w, pos)) >= 0 && is_pdf_ws((uint8_t)c)) pos++;
    return pos;
}

// An offset over the window: an integer after whitespace (comments skipped) and an optional '-'
// (which makes it no offset: negative), 64-bit; -1 on failure or past 2^62. *pos moves past the
// digits on success only.
static int64_t win_parse_int(file_window *w, int64_t *pos) {
    int64_t p = win_skip_ws(w, *pos, w->size);
    int c = win_byte(w, p);
    bool neg = c == '-';
    if (neg) c = win_byte(w, ++p);
    if (c < 0 || !is_digit((uint8_t)c)) return -1;
    int64_t v = 0;
    bool big = false;
    while (c >= 0 && is_digit((uint8_t)c)) {
        if (v > ((int64_t)1 << 62) / 10) big = true;
        else v = v * 10 + (c - '0');
        c = win_byte(w, ++p);
    }
    *pos = p;
    return neg || big ? -1 : v;
}


// ---- classic tables -----------------------------------------------------------------------------

// pos: an `xref` keyword; reads its subsections (entries of the first one into the arrays) up to
// `trailer`.
static void parse_classic_table(file_window *w, int64_t pos, struct xref *x) {
    const int64_t len = w->size;
    int64_t p = win_skip_ws(w, pos + 4, len);
    int32_t sub = 0;
    while (p < len && !win_kw_at(w, p, "trailer") && !w->failed) {
        int64_t start = win_parse_int(w, &p);
        if (start < 0) return;
        int64_t count = win_parse_int(w, &p);
        if (count < 1 || count > 10000000 || start > 8388608) return;
        if ((len - p) / 18 + 1 < count) return;  // the rest of the file cannot hold the entries
        if (sub == 0) {
            x->has_table = 1;
            x->first = (int32_t)start;
            (void)xref_grow(x, (int32_t)(start + count));
        }
        int64_t e = win_skip_ws(w, p, len);
        for (int64_t k = 0; k < count; k++) {
            int64_t at = e + 20 * k, held = 0;
            if (at + 19 >= len) return;
            const uint8_t *ent = win_at(w, at, 20, &held);
            if (!ent || held < 20) return;
            int32_t gen = 0;
            uint8_t kind = table_entry(ent, &gen);
            int64_t num = start + k;
            if (kind != 'n' || sub != 0 || num >= x->capacity) continue;
            x->offsets[num] = ten_digits(ent);
            x->gens[num] = gen;
            x->in_use[num] = 1;
        }
        sub++;
        int64_t after = e + 20 * count;
        p = win_skip_ws(w, after < len ? after : len, len);
    }
}

// Memo of one search: nothing matched in [start, found) with this end, so a later start inside
// that range has the same answer. Keeps reading many trailers linear in the file size.
struct search_memo {
    int64_t start;  // -1: empty
    int64_t end;
    int64_t found;
};

struct trailer_memos {
    search_memo startxref, root, info, encrypt;
};

static bool memo_hit(const search_memo *m, int64_t start, int64_t end) {
    return m && m->start >= 0 && m->end == end && start >= m->start &&
           (m->found < 0 || start <= m->found);
}

static int64_t find_name_memo(file_window *w, int64_t start, int64_t end, const char *name,
                              search_memo *m) {
    if (memo_hit(m, start, end)) return m->found;
    int64_t found = win_find_name(w, start, end, name);
    if (m) *m = search_memo{start, end, found};
    return found;
}

static int64_t find_kw_memo(file_window *w, int64_t start, const char *kw, search_memo *m) {
    if (memo_hit(m, start, w->size)) return m->found;
    int64_t found = win_find_kw(w, start, kw);
    if (m) *m = search_memo{start, w->size, found};
    return found;
}

// Value of the first occurrence of /key in [start, end) that reads as an integer >= 0, looked for
// from the second byte after the name; -1 when none.
static int32_t key_ref(file_window *w, int64_t start, int64_t end, const char *key, bool first_only,
                       search_memo *m) {
    int64_t skip = (int64_t)strlen(key) + 2;
    for (int64_t r = find_name_memo(w, start, end, key, m); r >= 0;
         r = find_name_memo(w, r + 1, end, key, m)) {
        int64_t q = r + skip;
        if (q < end) {
            int32_t v = win_int_at(w, end, &q);
            if (v >= 0) return v;
        }
        if (first_only) break;
    }
    return -1;
}

// /Encrypt seen in the dictionary data[start, end); the first one seen is the one read.
static void note_encrypt(struct xref *x, int64_t start, int64_t end) {
    if (!x->encrypted) {
        x->encrypt_start = start;
        x->encrypt_end = end;
    }
    x->encrypted = 1;
}

// The trailer dictionary after the `trailer` keyword at pos, up to the next `startxref`: /Root,
// /Info and /Encrypt.
static void trailer_dict(file_window *w, int64_t pos, struct xref *x, trailer_memos *m) {
    int64_t p = win_skip_ws(w, pos + 7, w->size);
    if (p >= w->size) return;
    int64_t end = find_kw_memo(w, p, "startxref", m ? &m->startxref : nullptr);
    if (end < 0) end = w->size;
    if (p >= end || win_byte(w, p) != '<') return;
    int32_t v = key_ref(w, p, end, "Root", false, m ? &m->root : nullptr);
    if (v >= 0) x->root = v;
    v = key_ref(w, p, end, "Info", false, m ? &m->info : nullptr);
    if (v >= 0) x->info = v;
    if (find_name_memo(w, p, end, "Encrypt", m ? &m->encrypt : nullptr) >= 0) note_encrypt(x, p, end);
}

void parse_pdf_version(const uint8_t *data, int32_t len, int32_t pos, char *version) {
    int32_t k = 0;
    int32_t p = pos;
    if (p >= 0 && p < len && (is_digit(data[p]) || data[p] == '.')) {
        if (is_digit(data[p])) version[k++] = (char)data[p++];
        if (p < len && data[p] == '.') version[k++] = (char)data[p++];
        while (p < len && is_digit(data[p]) && k < 15) version[k++] = (char)data[p++];
    }
    version[k] = 0;
}

// Cross-reference stream object at p: reads /Prev, /Root and /Encrypt of its dictionary (up to
// its `stream` keyword; the dictionary read xref_max_text bytes at most to find it). Returns the
// next offset, or -1 to stop.
static int64_t xref_stream_section(file_window *w, int64_t p, struct xref *x) {
    const int64_t len = w->size;
    int64_t q = p;
    int c;
    while ((c = win_byte(w, q)) >= 0 && is_digit((uint8_t)c)) q++;
    q = win_skip_ws(w, q, len);
    if ((c = win_byte(w, q)) >= 0 && is_digit((uint8_t)c)) {
        while ((c = win_byte(w, q)) >= 0 && is_digit((uint8_t)c)) q++;
        q = win_skip_ws(w, q, len);
    }
    if (!win_kw_at(w, q, "obj")) return -1;
    q = win_skip_ws(w, q + 3, len);
    int64_t end = len;
    if (win_byte(w, q) == '<') {
        region r;
        if (read_region(w, q, len, &r) != 0) return -1;
        int32_t s = r.data ? dict_stream_kw(r.data, r.len, 0) : -1;
        if (s >= 0) end = q + s;
        free(r.data);
    }
    int64_t next = -1;
    int64_t pp = win_find_name(w, q, end, "Prev");
    if (pp >= 0) {
        int64_t rr = pp + 5;
        int64_t v = win_parse_int(w, &rr);
        if (v >= 0 && v < len && rr <= end) next = v;
    }
    if (x->root == -1) {
        int32_t v = key_ref(w, q, end, "Root", true, nullptr);
        if (v >= 0) x->root = v;
    }
    if (win_find_name(w, q, end, "Encrypt") >= 0) note_encrypt(x, q, end);
    return next;
}

static void read_sections(file_window *w, int64_t off, struct xref *x) {
    const int64_t len = w->size;
    for (int32_t sec = 0; sec < xref_max_sections && off >= 0 && off < len && !w->failed; sec++) {
        int64_t p = win_skip_white(w, off, len);  // an offset that names a comment names no section
        if (p >= len) return;
        if (win_kw_at(w, p, "xref")) {
            parse_classic_table(w, p, x);
            // Classic /Prev links are not followed: every trailer after this table is read.
            trailer_memos memos = {{-1, 0, -1}, {-1, 0, -1}, {-1, 0, -1}, {-1, 0, -1}};
            for (int64_t t = win_find_kw(w, p + 4, "trailer"); t >= 0; t = win_find_kw(w, t + 1, "trailer"))
                trailer_dict(w, t, x, &memos);
            return;
        }
        int c = win_byte(w, p);
        if (c < 0 || !is_digit((uint8_t)c)) return;
        off = xref_stream_section(w, p, x);
    }
}

// The last kw of the file, or -1: looked for in a window at the end of the file, doubled until one
// is found or the window is the whole file (a match depends only on the bytes around it, so the
// last match in a window that holds one is the last in the file).
static int64_t last_kw(file_window *w, const char *kw) {
    const int64_t len = w->size;
    int64_t last = -1;
    for (int64_t window = 4096;; window *= 2) {
        int64_t from = len > window ? len - window : 0;
        for (int64_t p = win_find_kw(w, from, kw); p >= 0; p = win_find_kw(w, p + 1, kw)) last = p;
        if (last >= 0 || from == 0 || w->failed) return last;
    }
}

// The header of the last cross-reference stream: the `obj` keyword before the last XRef name (at
// most xref_max_text bytes back), and the header before that; -1 when none.
static int64_t last_xref_stream(file_window *w) {
    int64_t k = last_kw(w, "XRef");
    if (k < 0) return -1;
    int64_t from = k > xref_max_text ? k - xref_max_text : 0;
    region r;
    if (read_region(w, from, k + 4, &r) != 0 || !r.data) return -1;
    int32_t i = (int32_t)(k - from);
    while (i >= 0 && !kw_at(r.data, i, r.len, "obj")) i--;
    int32_t head = i >= 0 ? parse_obj_head(r.data, i, nullptr, nullptr) : -1;
    free(r.data);
    return head >= 0 ? from + head : -1;
}

// No trailer was reached through startxref (no /Root came of it): the last trailer of the file, or
// else its last cross-reference stream, still says whether the file is encrypted, so that a damaged
// encrypted file is not read as clear. Only its /Encrypt is taken.
static void last_trailer_encrypt(file_window *w, struct xref *x) {
    struct xref last;
    memset(&last, 0, sizeof last);
    int64_t t = last_kw(w, "trailer");
    if (t >= 0) {
        trailer_dict(w, t, &last, nullptr);
    } else {
        int64_t head = last_xref_stream(w);
        if (head >= 0) (void)xref_stream_section(w, head, &last);
    }
    if (last.encrypted) note_encrypt(x, last.encrypt_start, last.encrypt_end);
}

// The header: `%PDF-` in the first 1024 bytes, not after a word character, and its version.
static void read_header(file_window *w, struct xref *x) {
    region r;
    if (read_region(w, 0, 1032, &r) != 0 || !r.data) return;
    const uint8_t *data = r.data;
    int32_t len = r.len;
    for (int32_t h = 0; len > 7 && h <= 1023 && h <= len - 8; h++) {
        if (memcmp(data + h, "%PDF-", 5) != 0) continue;
        if (h > 0 && is_word(data[h - 1])) continue;
        x->has_header = 1;
        parse_pdf_version(data, len, h + 5, x->version);
        break;
    }
    free(r.data);
}

int32_t parse_xref(const file_source *src, struct xref *x) {
    xref_free(x);
    memset(x, 0, sizeof *x);
    x->startxref = -1;
    x->root = -1;
    x->info = -1;
    x->encrypt_start = x->encrypt_end = -1;
    file_window w;
    if (win_init(&w, src, (int64_t)1 << 20) != 0) return 0;  // no memory: nothing read, as a file without them
    int64_t last = last_kw(&w, "startxref");
    if (last >= 0) {
        int64_t q = last + 9;
        int64_t off = win_parse_int(&w, &q);
        if (off >= 0 && off < w.size) {
            x->startxref = off;
            x->has_startxref = 1;
            read_sections(&w, off, x);
        }
    }
    if (x->root == -1 && !x->encrypted) last_trailer_encrypt(&w, x);
    read_header(&w, x);
    int32_t rc = w.failed ? -1 : 0;
    win_free(&w);
    return rc;
}
