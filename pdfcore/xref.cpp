// pdfcore/xref.cpp - the cross-reference facts the loader needs: trailer /Root, /Info and
// /Encrypt, /Prev chains of cross-reference streams, the first classic table and the header.
#include "pdfcore/pdfcore.h"

#include <cstdlib>
#include <cstring>

int xref_grow(struct xref *x, int32_t n) {
    if (x->capacity >= n) return 0;
    if (n <= 0) return -1;
    size_t bytes = (size_t)n * sizeof(int32_t);
    int32_t *t = (int32_t *)realloc(x->offsets, bytes);
    if (!t) return -1;
    x->offsets = t;  // capacity stays old until all three have grown
    t = (int32_t *)realloc(x->gens, bytes);
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
    x->offsets = x->gens = x->in_use = nullptr;
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

void parse_classic_table(const uint8_t *data, int32_t len, int32_t pos, struct xref *x) {
    int32_t p = skip_ws(data, pos + 4, len);
    int32_t sub = 0;
    while (p < len && !kw_at(data, p, len, "trailer")) {
        int32_t start = parse_int_at(data, len, &p);
        if (start < 0) return;
        int32_t count = parse_int_at(data, len, &p);
        if (count < 1 || count > 10000000 || start > 8388608) return;
        if ((len - p) / 18 + 1 < count) return;  // the rest of the file cannot hold the entries
        if (sub == 0) {
            x->has_table = 1;
            x->first = start;
            (void)xref_grow(x, start + count);
        }
        int32_t e = skip_ws(data, p, len);
        for (int32_t k = 0; k < count; k++) {
            int64_t at = (int64_t)e + 20 * (int64_t)k;
            if (at + 19 >= len) return;
            const uint8_t *ent = data + at;
            int32_t gen = 0;
            uint8_t kind = table_entry(ent, &gen);
            int32_t num = start + k;
            if (kind != 'n' || sub != 0 || num >= x->capacity) continue;
            int64_t off64 = ten_digits(ent);
            x->offsets[num] = off64 > INT32_MAX ? -1 : (int32_t)off64;
            x->gens[num] = gen;
            x->in_use[num] = 1;
        }
        sub++;
        int64_t after = (int64_t)e + 20 * (int64_t)count;
        p = skip_ws(data, (int32_t)(after < len ? after : len), len);
    }
}

// Memo of one search: nothing matched in [start, found) with this end, so a later start inside
// that window has the same answer. Keeps reading many trailers linear in the file size.
struct search_memo {
    int32_t start;  // -1: empty
    int32_t end;
    int32_t found;
};

struct trailer_memos {
    search_memo startxref, root, info, encrypt;
};

static bool memo_hit(const search_memo *m, int32_t start, int32_t end) {
    return m && m->start >= 0 && m->end == end && start >= m->start &&
           (m->found < 0 || start <= m->found);
}

static int32_t find_name_memo(const uint8_t *data, int32_t start, int32_t end, const char *name,
                              search_memo *m) {
    if (memo_hit(m, start, end)) return m->found;
    int32_t found = find_name(data, end, start, end, name);
    if (m) *m = search_memo{start, end, found};
    return found;
}

static int32_t find_kw_memo(const uint8_t *data, int32_t len, int32_t start, const char *kw,
                            search_memo *m) {
    if (memo_hit(m, start, len)) return m->found;
    int32_t found = find_kw(data, len, start, kw);
    if (m) *m = search_memo{start, len, found};
    return found;
}

// Value of the first occurrence of /key in [start, end) that reads as an integer >= 0, looked for
// from the second byte after the name; -1 when none.
static int32_t key_ref(const uint8_t *data, int32_t start, int32_t end, const char *key,
                       bool first_only, search_memo *m) {
    int32_t skip = (int32_t)strlen(key) + 2;
    for (int32_t r = find_name_memo(data, start, end, key, m); r >= 0;
         r = find_name_memo(data, r + 1, end, key, m)) {
        int32_t q = r + skip;
        if (q < end) {
            q = skip_ws(data, q, end);
            int32_t v = parse_int_at(data, end, &q);
            if (v >= 0) return v;
        }
        if (first_only) break;
    }
    return -1;
}

// /Encrypt seen in the dictionary data[start, end); the first one seen is the one read.
static void note_encrypt(struct xref *x, int32_t start, int32_t end) {
    if (!x->encrypted) {
        x->encrypt_start = start;
        x->encrypt_end = end;
    }
    x->encrypted = 1;
}

static void trailer_dict(const uint8_t *data, int32_t len, int32_t pos, struct xref *x,
                         trailer_memos *m) {
    int32_t p = skip_ws(data, pos + 7, len);
    if (p >= len) return;
    int32_t end = find_kw_memo(data, len, p, "startxref", m ? &m->startxref : nullptr);
    if (end < 0) end = len;
    if (p >= end || data[p] != '<') return;
    int32_t v = key_ref(data, p, end, "Root", false, m ? &m->root : nullptr);
    if (v >= 0) x->root = v;
    v = key_ref(data, p, end, "Info", false, m ? &m->info : nullptr);
    if (v >= 0) x->info = v;
    if (find_name_memo(data, p, end, "Encrypt", m ? &m->encrypt : nullptr) >= 0) note_encrypt(x, p, end);
}

void parse_trailer_dict(const uint8_t *data, int32_t len, int32_t pos, struct xref *x) {
    trailer_dict(data, len, pos, x, nullptr);
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

// Cross-reference stream object at p: reads /Prev, /Root and /Encrypt of its dictionary. Returns
// the next offset, or -1 to stop.
static int32_t xref_stream_section(const uint8_t *data, int32_t len, int32_t p, struct xref *x) {
    int32_t q = p;
    while (q < len && is_digit(data[q])) q++;
    q = skip_ws(data, q, len);
    if (q < len && is_digit(data[q])) {
        while (q < len && is_digit(data[q])) q++;
        q = skip_ws(data, q, len);
    }
    if (!kw_at(data, q, len, "obj")) return -1;
    q = skip_ws(data, q + 3, len);
    int32_t end = len;
    if (q < len && data[q] == '<') {
        int32_t s = dict_stream_kw(data, len, q);
        if (s >= 0) end = s;
    }
    int32_t next = -1;
    int32_t pp = find_name(data, len, q, end, "Prev");
    if (pp >= 0) {
        int32_t r = skip_ws(data, pp + 5, end);
        int32_t v = parse_int_at(data, end, &r);
        if (v >= 0 && v < len) next = v;
    }
    if (x->root == -1) {
        int32_t v = key_ref(data, q, end, "Root", true, nullptr);
        if (v >= 0) x->root = v;
    }
    if (find_name(data, len, q, end, "Encrypt") >= 0) note_encrypt(x, q, end);
    return next;
}

static void read_sections(const uint8_t *data, int32_t len, int32_t off, struct xref *x) {
    for (int32_t sec = 0; sec < xref_max_sections && off >= 0 && off < len; sec++) {
        int32_t p = skip_white(data, off, len);  // an offset that names a comment names no section
        if (p >= len) return;
        if (kw_at(data, p, len, "xref")) {
            parse_classic_table(data, len, p, x);
            // Classic /Prev links are not followed: every trailer after this table is read.
            trailer_memos memos = {{-1, 0, -1}, {-1, 0, -1}, {-1, 0, -1}, {-1, 0, -1}};
            for (int32_t t = find_kw(data, len, p + 4, "trailer"); t >= 0;
                 t = find_kw(data, len, t + 1, "trailer"))
                trailer_dict(data, len, t, x, &memos);
            return;
        }
        if (!is_digit(data[p])) return;
        off = xref_stream_section(data, len, p, x);
    }
}

// The last kw of the file, or -1: looked for in a window at the end of the file, doubled until one
// is found or the window is the whole file (a match depends only on the bytes around it, so the
// last match in a window that holds one is the last in the file).
static int32_t last_kw(const uint8_t *data, int32_t len, const char *kw) {
    int32_t last = -1;
    for (int64_t window = 4096;; window *= 2) {
        int32_t from = (int64_t)len > window ? (int32_t)((int64_t)len - window) : 0;
        for (int32_t p = find_kw(data, len, from, kw); p >= 0; p = find_kw(data, len, p + 1, kw)) last = p;
        if (last >= 0 || from == 0) return last;
    }
}

// No trailer was reached through startxref (no /Root came of it): the last trailer of the file, or
// else its last cross-reference stream, still says whether the file is encrypted, so that a damaged
// encrypted file is not read as clear. Only its /Encrypt is taken.
static void last_trailer_encrypt(const uint8_t *data, int32_t len, struct xref *x) {
    struct xref last;
    memset(&last, 0, sizeof last);
    int32_t t = last_kw(data, len, "trailer");
    if (t >= 0) {
        trailer_dict(data, len, t, &last, nullptr);
    } else {
        // The `obj` keyword before the last XRef name, and the header before that.
        int32_t k = last_kw(data, len, "XRef");
        while (k >= 0 && !kw_at(data, k, len, "obj")) k--;
        int32_t head = k >= 0 ? parse_obj_head(data, k, nullptr, nullptr) : -1;
        if (head >= 0) (void)xref_stream_section(data, len, head, &last);
    }
    if (last.encrypted) note_encrypt(x, last.encrypt_start, last.encrypt_end);
}

void parse_xref(const uint8_t *data, int32_t len, struct xref *x) {
    xref_free(x);
    memset(x, 0, sizeof *x);
    x->startxref = -1;
    x->root = -1;
    x->info = -1;
    x->encrypt_start = x->encrypt_end = -1;

    int32_t last = last_kw(data, len, "startxref");
    if (last >= 0) {
        int32_t q = last + 9;
        int32_t off = parse_int_at(data, len, &q);
        if (off >= 0 && off < len) {
            x->startxref = off;
            x->has_startxref = 1;
            read_sections(data, len, off, x);
        }
    }
    if (x->root == -1 && !x->encrypted) last_trailer_encrypt(data, len, x);

    if (len <= 7) return;
    for (int32_t h = 0; h <= 1023 && h <= len - 8; h++) {
        if (memcmp(data + h, "%PDF-", 5) != 0) continue;
        if (h > 0 && is_word(data[h - 1])) continue;
        x->has_header = 1;
        parse_pdf_version(data, len, h + 5, x->version);
        return;
    }
}
