// tests/scan_oracle.cpp - the object index's two scans over a whole file in memory, as the library
// made them before it read files through a window. Kept, unchanged in what they compute, as the
// differential oracle that the window scan (scan_file_index) is checked against: same bytes, same
// index, entry for entry and field for field. Positions fit 32 bits here: the files are small;
// /Length values are read with 64 bits, as the window scan reads them.
#include "scan_oracle.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// find_kw with a memo of the previous search: nothing matched in [start, found), so a later start
// inside that window has the same answer. Keeps the scans linear on files with many headers and
// few keywords.
struct kw_memo {
    int32_t start;  // -1: empty
    int32_t found;
};

static int32_t find_kw_memo(const uint8_t *data, int32_t len, int32_t start, const char *kw,
                            kw_memo *m) {
    if (start < 0) start = 0;
    if (m->start >= 0 && start >= m->start && (m->found < 0 || start <= m->found)) return m->found;
    m->start = start;
    m->found = find_kw(data, len, start, kw);
    return m->found;
}

// ---- dictionary ends during the first scan --------------------------------------------------

// A growable int32_t array.
struct i32vec {
    int32_t *v;
    int32_t n, cap;
};

static int i32_push(i32vec *a, int32_t x) {
    if (a->n == a->cap) {
        void *t = array_grow(a->v, &a->cap, 256, sizeof *a->v);
        if (!t) return -1;
        a->v = (int32_t *)t;
    }
    a->v[a->n++] = x;
    return 0;
}

// Remembers the last dictionary scan that found no end: every "<<" pair it stepped onto outside
// strings and comments and every '(' it stepped onto, each with the position that matches it (the
// first '>' of the ">>" that brings the depth back, or the ')' that brings the string's nesting
// back; -1: none before the scan failed). The scan's next step depends only on the byte at hand
// (and the one after it, or a comment's line), so a later scan that steps onto one of those
// positions reads on exactly as the remembered one did and can jump to the match, or fail at once
// when there is none. Without it, a file of many unclosed "N 0 obj <<" or "N 0 obj << (" costs a
// scan to the file end per header.
struct close_events {
    i32vec pos, match, stack;
};

struct close_cache {
    close_events dicts, parens;          // the failed scan kept
    close_events new_dicts, new_parens;  // the scan in progress
    bool have;                           // something is kept
    bool broken;                         // an allocation failed: plain scans only
};

static void events_free(close_events *e) {
    free(e->pos.v);
    free(e->match.v);
    free(e->stack.v);
}

static void close_cache_free(close_cache *c) {
    events_free(&c->dicts);
    events_free(&c->parens);
    events_free(&c->new_dicts);
    events_free(&c->new_parens);
}

static void events_open(close_events *e, int32_t at, bool *broken) {
    if (i32_push(&e->stack, e->pos.n) || i32_push(&e->pos, at) || i32_push(&e->match, -1))
        *broken = true;
}

static void events_close(close_events *e, int32_t at) {
    if (e->stack.n > 0) e->match.v[e->stack.v[--e->stack.n]] = at;
}

// Index of at among the kept positions, or -1.
static int32_t events_find(const close_events *e, int32_t at) {
    int32_t lo = 0, hi = e->pos.n - 1;
    while (lo <= hi) {
        int32_t mid = lo + (hi - lo) / 2;
        if (e->pos.v[mid] == at) return mid;
        if (e->pos.v[mid] < at) lo = mid + 1;
        else hi = mid - 1;
    }
    return -1;
}

// find_dict_close(data, pos, end), taking the kept scan's shortcuts and recording its own pairs.
// *jumped: a shortcut was taken (the recording is then incomplete).
static int32_t recorded_dict_close(const uint8_t *data, int32_t pos, int32_t end, close_cache *c,
                                   bool *jumped) {
    close_events *nd = &c->new_dicts, *np = &c->new_parens;
    nd->pos.n = nd->match.n = nd->stack.n = 0;
    np->pos.n = np->match.n = np->stack.n = 0;
    *jumped = false;
    int32_t depth = 0;
    int32_t i = pos;
    while (i < end) {
        uint8_t ch = data[i];
        if (!is_dict_scan_stop(ch)) {
            i++;
        } else if (ch == '<' || ch == '>') {
            if (i + 1 >= end) return -1;
            if (data[i + 1] != ch) {
                i++;
                continue;
            }
            if (ch == '>') {
                if (--depth == 0) return i;
                events_close(nd, i);
                i += 2;
                continue;
            }
            // Below depth 0 (a scan that began at a single '<') a ">>" inside the pair could end
            // the scan, so the shortcut is only taken at depth 0 or more.
            int32_t k = c->have && depth >= 0 ? events_find(&c->dicts, i) : -1;
            if (k >= 0) {
                *jumped = true;
                int32_t m = c->dicts.match.v[k];
                if (m < 0) return -1;
                if (depth == 0) return m;  // this pair opened the scan: its match closes it
                i = m + 2;                 // depth is back where it was
                continue;
            }
            depth++;
            events_open(nd, i, &c->broken);
            i += 2;
        } else if (ch == '(') {
            if (i + 1 >= end) return -1;
            int32_t k = c->have ? events_find(&c->parens, i) : -1;
            if (k >= 0) {
                *jumped = true;
                int32_t m = c->parens.match.v[k];
                if (m < 0) return -1;
                i = m + 1;
                continue;
            }
            events_open(np, i, &c->broken);
            int32_t nest = 1;
            i++;
            while (i < end && nest > 0) {
                uint8_t b = data[i];
                if (b == '\\') {
                    i += 2;
                    continue;
                }
                if (b == '(') {
                    nest++;
                    events_open(np, i, &c->broken);
                } else if (b == ')') {
                    nest--;
                    events_close(np, i);
                }
                i++;
            }
            if (nest > 0) return -1;
        } else {
            i = comment_end(data, i, end);  // as find_dict_close: nothing in a comment counts
        }
    }
    return -1;
}

static int32_t cached_dict_close(const uint8_t *data, int32_t len, int32_t q, close_cache *c) {
    if (c->broken) return find_dict_close(data, q, len);
    bool jumped = false;
    int32_t r = recorded_dict_close(data, q, len, c, &jumped);
    if (c->broken) return find_dict_close(data, q, len);
    if (r < 0 && !jumped) {  // keep this failed scan, complete as it is
        close_events t = c->dicts;
        c->dicts = c->new_dicts;
        c->new_dicts = t;
        t = c->parens;
        c->parens = c->new_parens;
        c->new_parens = t;
        c->have = true;
    }
    return r;
}

// ---- first scan --------------------------------------------------------------------------------

// First byte of stream data after the `stream` keyword at s: the end of line after any spaces or
// tabs, else the one byte after the keyword is skipped whatever it is.
static int32_t stream_data_start(const uint8_t *data, int32_t len, int32_t s) {
    int32_t k = s + 6;
    if (k >= len) return k;
    int32_t j = k;
    while (j < len && (data[j] == ' ' || data[j] == '\t')) j++;
    if (j < len && data[j] == '\n') return j + 1;
    if (j < len && data[j] == '\r') return (j + 1 < len && data[j + 1] == '\n') ? j + 2 : j + 1;
    return s + 7;
}

void scan_pass1(const uint8_t *data, int32_t len, objvec *vec) {
    if (len <= 3) return;
    kw_memo endobj_memo = {-1, -1};
    close_cache closes;
    memset(&closes, 0, sizeof closes);
    for (int32_t p = 0; p <= len - 4; p++) {
        // The next `obj` has its `j` at p + 2 or later, at most at len - 2: skip to the next `j`
        // a word at a time (a rare letter in text and 1 byte in 256 of binary data).
        const void *j = memchr(data + p + 2, 'j', (size_t)(len - 3 - p));
        if (!j) break;
        p = (int32_t)((const uint8_t *)j - data) - 2;
        if (data[p] != 'o' || data[p + 1] != 'b' || !kw_at(data, p, len, "obj")) continue;
        int32_t num = 0, gen = 0;
        int32_t h = parse_obj_head(data, p, &num, &gen);
        if (h < 0) continue;
        pdfcore_obj e;
        memset(&e, 0, sizeof e);
        e.num = num;
        e.gen = gen;
        e.head_off = h;
        e.dict_off = e.stream_kw_off = e.data_off = e.data_end = -1;
        e.endobj_off = e.end_off = e.stream_len = -1;
        e.body = nullptr;
        int32_t q = skip_ws(data, p + 3, len);  // `1 0 obj % note` LF `<<` opens a dictionary
        int32_t e_start = q;                     // an `endobj` in that note ends nothing
        if (q < len && data[q] == '<') e.dict_off = q;  // a hexadecimal string's text starts here too
        // Only "<<" opens a dictionary. A scan from a string's single '<' would close at the next
        // object's ">>" and give the string that object's stream: in an encrypted file its data
        // would then be decrypted twice, once with the string object's key.
        if (q + 1 < len && data[q] == '<' && data[q + 1] == '<') {
            int32_t c = cached_dict_close(data, len, q, &closes);  // as dict_stream_kw
            int32_t s = c < 0 ? -1 : skip_ws(data, c + 2, len);
            if (s >= 0 && !kw_at(data, s, len, "stream")) s = -1;
            if (s >= 0) {
                e.stream_kw_off = s;
                e.is_stream = 1;
                e.data_off = stream_data_start(data, len, s);
                objvec_push(vec, &e);
                continue;
            }
        }
        int32_t eo = find_kw_memo(data, len, e_start, "endobj", &endobj_memo);
        if (eo < 0) continue;
        e.endobj_off = eo;
        e.end_off = eo + 6;
        objvec_push(vec, &e);
    }
    close_cache_free(&closes);
}

// ---- second scan -------------------------------------------------------------------------------

static int64_t obj_int_value(const uint8_t *data, int32_t len, const pdfcore_obj *t) {
    int32_t p = (int32_t)t->head_off;
    if (p < 0 || p >= len) return -1;
    (void)parse_int_at(data, len, &p);
    p = skip_ws(data, p, len);
    if (p < len && is_digit(data[p])) (void)parse_int_at(data, len, &p);
    p = skip_ws(data, p, len);
    if (kw_at(data, p, len, "obj")) p = skip_ws(data, p + 3, len);
    return parse_int64_at(data, len, &p);
}

// Candidate end of data from /Length (direct, or indirect through a non-stream object), or -1
// when there is no usable length.
static int64_t length_candidate(const uint8_t *data, int32_t len, const objvec *vec,
                                const int32_t *table, int32_t table_max, const pdfcore_obj *e) {
    int64_t l = -1;
    int32_t ref = -1;
    parse_length(data, len, (int32_t)e->dict_off, (int32_t)e->stream_kw_off, &l, &ref);
    if (l >= 0) return e->data_off + l;
    if (ref < 0) return -1;
    const pdfcore_obj *t = obj_lookup(vec, table, table_max, ref);
    if (!t || t->is_stream) return -1;
    int64_t v = obj_int_value(data, len, t);
    return v < 0 ? -1 : e->data_off + v;
}

static bool endstream_at(const uint8_t *data, int32_t len, int64_t c) {
    if (c < 0 || c >= len) return false;
    int32_t t = (int32_t)c;
    while (t < len && is_c_space(data[t])) t++;
    return (int64_t)t + 8 < len && memcmp(data + t, "endstream", 9) == 0;
}

// Sets the extent of one stream entry: from /Length when `endstream` follows it, otherwise (wrong,
// missing or unreadable /Length) from the next `endstream` keyword, without the end of line before it.
static void stream_extent(const uint8_t *data, int32_t len, const objvec *vec,
                          const int32_t *table, int32_t table_max, pdfcore_obj *e,
                          kw_memo *endstream_memo, kw_memo *endobj_memo) {
    int32_t end;
    int32_t unterminated = 0;
    int64_t c = length_candidate(data, len, vec, table, table_max, e);
    if (c >= 0 && endstream_at(data, len, c)) {
        end = (int32_t)c;
    } else {
        int32_t from = e->data_off < INT32_MAX ? e->data_off + 1 : e->data_off;
        int32_t f = find_kw_memo(data, len, from, "endstream", endstream_memo);
        if (f < 0) {
            end = len;
            unterminated = 1;
        } else {
            end = f;
            if (data[f - 1] == '\n') {
                end = f - 1;
                if (f - 1 > e->data_off && data[f - 2] == '\r') end = f - 2;
            } else if (data[f - 1] == '\r') {
                end = f - 1;
            }
        }
    }
    if (end < e->data_off) end = e->data_off;
    e->data_end = end;
    e->stream_len = end - e->data_off;
    e->unterminated = unterminated;
    int32_t eo = end < INT32_MAX ? find_kw_memo(data, len, end + 1, "endobj", endobj_memo) : -1;
    e->endobj_off = eo;
    if (eo >= 0) e->end_off = eo + 6;
}

static int qv_rng_cmp(const void *a, const void *b) {
    int32_t sa = ((const int32_t *)a)[0];
    int32_t sb = ((const int32_t *)b)[0];
    return sa < sb ? -1 : (sa > sb ? 1 : 0);
}

static bool has_range(const pdfcore_obj *e) {
    return e->is_stream && e->data_off >= 0 && e->data_off < e->data_end;
}

// Fallback without temporary arrays: compare with every other stream of the index.
static bool inside_any_stream(const objvec *vec, int32_t self, int32_t head) {
    for (int32_t j = 0; j < vec->count; j++) {
        const pdfcore_obj *s = &vec->items[j];
        if (j != self && has_range(s) && s->data_off <= head && head < s->data_end) return true;
    }
    return false;
}

void scan_pass2(const uint8_t *data, int32_t len, objvec *vec) {
    kw_memo endstream_memo = {-1, -1}, endobj_memo = {-1, -1};
    int32_t table_max = 0;
    int32_t *table = obj_first_positions(vec, &table_max);  // NULL: linear lookups
    for (int32_t i = 0; i < vec->count; i++) {
        pdfcore_obj *e = &vec->items[i];
        if (e->is_stream && e->data_off >= 0 && e->dict_off >= 0)
            stream_extent(data, len, vec, table, table_max, e, &endstream_memo, &endobj_memo);
    }
    free(table);

    int32_t nr = 0;
    for (int32_t i = 0; i < vec->count; i++) nr += has_range(&vec->items[i]) ? 1 : 0;
    int32_t *ranges = (int32_t *)malloc(((size_t)nr + 1) * 2 * sizeof(int32_t));
    int32_t *maxend = (int32_t *)malloc(((size_t)nr + 1) * sizeof(int32_t));
    bool fast = ranges && maxend;
    if (fast) {
        int32_t k = 0;
        for (int32_t i = 0; i < vec->count; i++) {
            const pdfcore_obj *e = &vec->items[i];
            if (!has_range(e)) continue;
            ranges[2 * k] = e->data_off;
            ranges[2 * k + 1] = e->data_end;
            k++;
        }
        qsort(ranges, (size_t)nr, 2 * sizeof(int32_t), qv_rng_cmp);
        for (k = 0; k < nr; k++) {
            int32_t end = ranges[2 * k + 1];
            maxend[k] = (k > 0 && maxend[k - 1] > end) ? maxend[k - 1] : end;
        }
    }

    int32_t i = 0;
    while (i < vec->count) {
        pdfcore_obj *e = &vec->items[i];
        bool remove = e->is_stream && e->endobj_off == -1;
        if (!remove && fast) {
            int32_t lo = 0, hi = nr - 1, at = -1;
            while (lo <= hi) {
                int32_t mid = lo + (hi - lo) / 2;
                if (ranges[2 * mid] <= e->head_off) {
                    at = mid;
                    lo = mid + 1;
                } else {
                    hi = mid - 1;
                }
            }
            remove = at >= 0 && e->head_off < maxend[at];
        } else if (!remove) {
            remove = inside_any_stream(vec, i, e->head_off);
        }
        if (remove) {
            vec->items[i] = vec->items[vec->count - 1];
            vec->count--;
        } else {
            i++;
        }
    }
    free(ranges);
    free(maxend);
}
