// pdfcore/scan.cpp - the object index built from a file read through a bounded window: the entries
// that scan_pass1 then scan_pass2 build over the whole file's bytes, field for field and in their
// order, with 64-bit positions. Each reader here is the whole-file reader of the same name in
// lexer.cpp or index.cpp, written over the window; the two are kept equal by fuzz_scan.
//
// Stream data is read, not stepped over: a header inside it is an entry of the first scan (found
// first for its number, it is what an indirect /Length names), and the second scan's removal of it
// moves the last entry into its place. Without reading the data, neither can be known.
#include "pdfcore/file.h"
#include "pdfcore/pdfcore.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#define QV_SCAN_SSE2 1
#include <emmintrin.h>
#endif

// ---- positions stored in the index ---------------------------------------------------------------

// The type of a position in an index entry. Positions are computed in int64_t and narrowed here
// only, where they are stored; the scan refuses a file whose positions would not fit, so widening
// the entry's fields needs no change here.
typedef decltype(pdfcore_obj::head_off) obj_pos;
static const int64_t scan_max_size = (int64_t)std::numeric_limits<obj_pos>::max();

static obj_pos stored(int64_t v) { return (obj_pos)v; }

// ---- state of one scan --------------------------------------------------------------------------

// A growable list of int64_t.
struct i64list {
    int64_t *v;
    int32_t n, cap;
};

// Room for one more element. 0, or -1 when it cannot grow.
static int list_room(i64list *a) {
    if (a->n < a->cap) return 0;
    void *t = array_grow(a->v, &a->cap, 256, sizeof *a->v);
    if (!t) return -1;
    a->v = (int64_t *)t;
    return 0;
}

// The pairs of a dictionary scan that found no end, as index.cpp's close_cache keeps them: every
// "<<" it stepped onto and every '(' (positions ascending), each with its match (the first '>' of
// the ">>" that brings the depth back, the ')' that brings the nesting back, or -1: none before the
// file's end); stack: the open ones. A scan records its first max_events pairs only, so memory
// stays bounded whatever the file holds; the opens past them are counted (unrecorded), so that
// each close still finds its own open. Such a record is complete up to its last position: a later
// scan may jump from any of them, and beyond it steps on by itself.
struct close_events {
    i64list pos, match, stack;
    int64_t unrecorded;
};

struct close_cache {
    close_events dicts, parens;          // the failed scan kept
    close_events new_dicts, new_parens;  // the scan in progress
    bool have;                           // something is kept
    bool recording;                      // the scan in progress records its pairs
    int32_t max_events;                  // pairs one scan records at most
};

// find_kw with a memo of the previous search (as index.cpp's kw_memo): nothing matched in
// [start, found), so a later start inside that range has the same answer.
struct scan_memo {
    int64_t start;  // -1: empty
    int64_t found;
};

struct scan_run {
    file_window *w;
    int64_t len;  // the file's size
    objvec *vec;
    close_cache closes;
    bool no_memory;
};

static int64_t find_memo(file_window *w, int64_t start, const char *kw, scan_memo *m) {
    if (start < 0) start = 0;
    if (m->start >= 0 && start >= m->start && (m->found < 0 || start <= m->found)) return m->found;
    m->start = start;
    m->found = win_find_kw(w, start, kw);
    return m->found;
}

static void push_entry(scan_run *r, const pdfcore_obj *e) {
    if (objvec_push(r->vec, e) != 0) r->no_memory = true;
}

// ---- readers over the window --------------------------------------------------------------------

static bool digit_at(file_window *w, int64_t pos) {
    int c = win_byte(w, pos);
    return c >= '0' && c <= '9';
}

static bool c_space_at(file_window *w, int64_t pos) {
    int c = win_byte(w, pos);
    return c >= 0 && is_c_space((uint8_t)c);
}


// lexer.cpp's back_over_space: from i back over C spaces and over comments that end a line.
static int64_t back_over_space(file_window *w, int64_t i) {
    for (;;) {
        bool eol = false;
        for (; i >= 0; i--) {
            int c = win_byte(w, i);
            if (c < 0 || !is_c_space((uint8_t)c)) break;
            eol = eol || c == '\n' || c == '\r';
        }
        if (i < 0 || !eol || digit_at(w, i)) return i;
        int64_t line = i;
        for (; line > 0; line--) {
            int c = win_byte(w, line - 1);
            if (c == '\n' || c == '\r') break;
            if (i - line >= max_head_comment) return i;  // a long line holds no header comment
        }
        int64_t pct = line;
        while (pct <= i && win_byte(w, pct) != '%') pct++;
        if (pct > i) return i;
        i = pct - 1;
    }
}

// parse_obj_head over the window: pos at an `obj` keyword; the position of N's first digit with
// *num and *gen, or -1.
static int64_t obj_head(file_window *w, int64_t pos, int32_t *num, int32_t *gen) {
    int64_t i = back_over_space(w, pos - 1);
    if (i <= 0 || !digit_at(w, i)) return -1;
    int64_t g_end = i + 1;
    while (i >= 0 && digit_at(w, i)) i--;
    if (i < 0) return -1;
    int64_t g_start = i + 1;
    if (!c_space_at(w, i)) return -1;
    i = back_over_space(w, i);
    if (i < 0 || !digit_at(w, i)) return -1;
    int64_t n_end = i + 1;
    while (i >= 0 && digit_at(w, i)) i--;
    int64_t q = i + 1;
    if (q > 0) {
        int c = win_byte(w, q - 1);
        if (c < 0 || is_word((uint8_t)c)) return -1;  // `x12 0 obj` is no header
    }
    int64_t p = q;
    int32_t n = (int32_t)win_digits_at(w, n_end, &p);
    if (n <= 0) return -1;
    p = g_start;
    *num = n;
    *gen = (int32_t)win_digits_at(w, g_end, &p);
    return q;
}

// index.cpp's stream_data_start: the first byte of stream data after the `stream` keyword at s.
static int64_t stream_data_start(file_window *w, int64_t len, int64_t s) {
    int64_t k = s + 6;
    if (k >= len) return k;
    int64_t j = k;
    while (j < len) {  // spaces and tabs, a run of any length
        int64_t n = 0, t = 0;
        const uint8_t *p = win_piece(w, j, len, &n);
        if (!p) return k;  // a failed window: the scan's result is dropped
        while (t < n && (p[t] == ' ' || p[t] == '\t')) t++;
        j += t;
        if (t < n) break;
    }
    int c = j < len ? win_byte(w, j) : -1;
    if (c == '\n') return j + 1;
    if (c == '\r') return j + 1 < len && win_byte(w, j + 1) == '\n' ? j + 2 : j + 1;
    return s + 7;
}


// ---- /Length ------------------------------------------------------------------------------------

// lexer.cpp's length_value: the value of the /Length whose name starts at p. 1: done (outputs set,
// or the search must stop), 0: try the next occurrence.
static int length_value(file_window *w, int64_t len, int64_t p, int64_t end, int64_t *length,
                        int32_t *length_ref) {
    int64_t i = p + 8;  // the byte right after "/Length" is not examined
    if (i >= end) return 1;
    i = win_skip_ws(w, i, end);
    if (i >= end) return 1;
    int c = win_byte(w, i);
    if (c == '[') {
        int64_t last = -1;
        for (int64_t k = i + 1;;) {
            k = win_skip_ws(w, k, end);  // a comment's digits are no value
            if (k >= end || win_byte(w, k) == ']') break;
            int64_t kk = k;
            int64_t v = win_int64_at(w, end, &kk);
            if (v >= 0) last = v;
            k = kk > k ? kk : k + 1;
        }
        if (last < 0) return 0;
        *length = last;
        return 1;
    }
    if (c != '-' && !digit_at(w, i)) return 0;
    int64_t q = i;
    int64_t v = win_int64_at(w, len, &q);  // bounded by len, not end
    if (v < 0) return 0;
    int64_t r = win_skip_ws(w, q, end);
    if (r >= end || !digit_at(w, r)) {
        *length = v;
        return 1;
    }
    (void)win_int_at(w, len, &r);  // the generation
    r = win_skip_ws(w, r, end);
    int after = r + 1 < end ? win_byte(w, r + 1) : -1;
    if (r < end && win_byte(w, r) == 'R' && !(after >= 0 && is_word((uint8_t)after))) {
        int64_t n = i;
        int32_t num = win_int_at(w, len, &n);  // an object number: 32 bits, as everywhere
        if (num < 0) return 0;
        *length_ref = num;
    } else {
        *length = v;
    }
    return 1;
}

// parse_length over the window: /Length in [start, end).
static void parse_length(file_window *w, int64_t start, int64_t end, int64_t *length,
                         int32_t *length_ref) {
    const int64_t len = w->size;
    *length = -1;
    *length_ref = -1;
    if (end > len) end = len;
    for (int64_t p = win_find_name(w, start, end, "Length"); p >= 0; p = win_find_name(w, p + 1, end, "Length"))
        if (length_value(w, len, p, end, length, length_ref)) return;
}

// obj_int_value over the window: the value of a file object that is no stream, read as
// `N [G] [obj] v` from its header, or -1.
static int64_t obj_int_value(file_window *w, const pdfcore_obj *t) {
    const int64_t len = w->size;
    int64_t p = t->head_off;
    if (p < 0 || p >= len) return -1;
    (void)win_int_at(w, len, &p);
    p = win_skip_ws(w, p, len);
    if (p < len && digit_at(w, p)) (void)win_int_at(w, len, &p);
    p = win_skip_ws(w, p, len);
    if (win_kw_at(w, p, "obj")) p = win_skip_ws(w, p + 3, len);
    return win_int64_at(w, len, &p);
}

// ---- dictionary ends during the first scan ------------------------------------------------------

static void events_free(close_events *e) {
    free(e->pos.v);
    free(e->match.v);
    free(e->stack.v);
}

static void events_reset(close_events *e) {
    e->pos.n = e->match.n = e->stack.n = 0;
    e->unrecorded = 0;
}

static void close_cache_free(close_cache *c) {
    events_free(&c->dicts);
    events_free(&c->parens);
    events_free(&c->new_dicts);
    events_free(&c->new_parens);
}

// An open at at: recorded while the scan records (the cap not reached, memory there), else counted.
static void events_open(close_cache *c, close_events *e, int64_t at) {
    if (c->recording && c->new_dicts.pos.n + c->new_parens.pos.n >= c->max_events) c->recording = false;
    if (c->recording && (list_room(&e->pos) || list_room(&e->match) || list_room(&e->stack)))
        c->recording = false;
    if (!c->recording) {
        e->unrecorded++;
        return;
    }
    e->stack.v[e->stack.n++] = e->pos.n;
    e->pos.v[e->pos.n++] = at;
    e->match.v[e->match.n++] = -1;
}

// A close at at: it closes the last open, which is an unrecorded one while any is counted.
static void events_close(close_events *e, int64_t at) {
    if (e->unrecorded > 0) e->unrecorded--;
    else if (e->stack.n > 0) e->match.v[e->stack.v[--e->stack.n]] = at;
}

// Index of at among the kept positions, or -1.
static int32_t events_find(const close_events *e, int64_t at) {
    int32_t lo = 0, hi = e->pos.n - 1;
    while (lo <= hi) {
        int32_t mid = lo + (hi - lo) / 2;
        if (e->pos.v[mid] == at) return mid;
        if (e->pos.v[mid] < at) lo = mid + 1;
        else hi = mid - 1;
    }
    return -1;
}

// The literal string opened by the '(' at i, its pairs recorded: the position after its ')', or -1
// when it does not close before end.
static int64_t recorded_string_end(close_cache *c, file_window *w, int64_t i, int64_t end) {
    close_events *np = &c->new_parens;
    events_open(c, np, i);
    int64_t nest = 1;
    i++;
    while (i < end && nest > 0) {
        int64_t n = 0, k = 0;
        const uint8_t *s = win_piece(w, i, end, &n);
        if (!s) return -1;
        for (; k < n && nest > 0; k++) {
            uint8_t b = s[k];
            if (b == '\\') {
                k++;  // the escaped byte, which may lie past this piece
            } else if (b == '(') {
                nest++;
                events_open(c, np, i + k);
            } else if (b == ')') {
                nest--;
                events_close(np, i + k);
            }
        }
        i += k;
    }
    return nest > 0 ? -1 : i;
}

// index.cpp's recorded_dict_close over the window: find_dict_close(pos, file end), taking the kept
// scan's shortcuts and recording its own pairs. *jumped: a shortcut was taken.
static int64_t recorded_dict_close(scan_run *r, int64_t pos, bool *jumped) {
    close_cache *c = &r->closes;
    file_window *w = r->w;
    const int64_t end = r->len;
    close_events *nd = &c->new_dicts;
    events_reset(nd);
    events_reset(&c->new_parens);
    c->recording = true;
    *jumped = false;
    int64_t depth = 0, i = pos;
    while (i < end) {
        int64_t n = 0, k = 0;
        const uint8_t *s = win_piece(w, i, end, &n);
        if (!s) return -1;
        while (k < n && !is_dict_scan_stop(s[k])) k++;
        i += k;
        if (k == n) continue;
        uint8_t ch = s[k];
        if (ch == '<' || ch == '>') {
            if (i + 1 >= end) return -1;
            if (win_byte(w, i + 1) != ch) {
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
            int32_t e = c->have && depth >= 0 ? events_find(&c->dicts, i) : -1;
            if (e >= 0) {
                *jumped = true;
                int64_t m = c->dicts.match.v[e];
                if (m < 0) return -1;
                if (depth == 0) return m;  // this pair opened the scan: its match closes it
                i = m + 2;                 // depth is back where it was
                continue;
            }
            depth++;
            events_open(c, nd, i);
            i += 2;
        } else if (ch == '(') {
            if (i + 1 >= end) return -1;
            int32_t e = c->have ? events_find(&c->parens, i) : -1;
            if (e >= 0) {
                *jumped = true;
                int64_t m = c->parens.match.v[e];
                if (m < 0) return -1;
                i = m + 1;
                continue;
            }
            i = recorded_string_end(c, w, i, end);
            if (i < 0) return -1;
        } else {
            i = win_comment_end(w, i, end);  // nothing in a comment counts
        }
    }
    return -1;
}

// The '>' of the ">>" that closes the dictionary opened at q, or -1; a scan that finds none and
// took no shortcut is kept for the next ones.
static int64_t dict_close(scan_run *r, int64_t q) {
    close_cache *c = &r->closes;
    bool jumped = false;
    int64_t found = recorded_dict_close(r, q, &jumped);
    if (found < 0 && !jumped && !r->w->failed) {
        close_events t = c->dicts;
        c->dicts = c->new_dicts;
        c->new_dicts = t;
        t = c->parens;
        c->parens = c->new_parens;
        c->new_parens = t;
        c->have = true;
    }
    return found;
}

// ---- first scan ---------------------------------------------------------------------------------

// The entry of the `obj` keyword at p, as scan_pass1 makes it (or none).
static void first_scan_entry(scan_run *r, int64_t p, scan_memo *endobj_memo) {
    file_window *w = r->w;
    const int64_t len = r->len;
    int32_t num = 0, gen = 0;
    int64_t h = obj_head(w, p, &num, &gen);
    if (h < 0) return;
    pdfcore_obj e;
    memset(&e, 0, sizeof e);
    e.num = num;
    e.gen = gen;
    e.head_off = stored(h);
    e.dict_off = e.stream_kw_off = e.data_off = e.data_end = -1;
    e.endobj_off = e.end_off = e.stream_len = -1;
    e.body = nullptr;
    int64_t q = win_skip_ws(w, p + 3, len);  // `1 0 obj % note` LF `<<` opens a dictionary
    int64_t e_start = q;                      // an `endobj` in that note ends nothing
    if (q < len && win_byte(w, q) == '<') e.dict_off = stored(q);  // a hexadecimal string's too
    // Only "<<" opens a dictionary (see scan_pass1).
    if (q + 1 < len && win_byte(w, q) == '<' && win_byte(w, q + 1) == '<') {
        int64_t c = dict_close(r, q);
        int64_t s = c < 0 ? -1 : win_skip_ws(w, c + 2, len);
        if (s >= 0 && !win_kw_at(w, s, "stream")) s = -1;
        if (s >= 0) {
            e.stream_kw_off = stored(s);
            e.is_stream = 1;
            e.data_off = stored(stream_data_start(w, len, s));
            push_entry(r, &e);
            return;
        }
    }
    int64_t eo = find_memo(w, e_start, "endobj", endobj_memo);
    if (eo < 0) return;
    e.endobj_off = stored(eo);
    e.end_off = stored(eo + 6);
    push_entry(r, &e);
}

// The first k in [0, n) where s[k, k + 3) is "obj", or -1; reads s[0, n + 2). Sixteen positions
// at a time with SSE2 (a 'j' alone stops a byte search once in 256 bytes of binary data and at
// every `Tj` of page content), else with memchr on the 'j'.
static int64_t find_obj(const uint8_t *s, int64_t n) {
    int64_t k = 0;
#ifdef QV_SCAN_SSE2
    const __m128i o = _mm_set1_epi8('o'), b = _mm_set1_epi8('b'), j = _mm_set1_epi8('j');
    for (; k + 64 <= n; k += 64) {  // four blocks tested at once, then the one that holds the hit
        __m128i hit[4];
        for (int t = 0; t < 4; t++) {
            const uint8_t *q = s + k + 16 * t;
            __m128i m = _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)q), o);
            m = _mm_and_si128(m, _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(q + 1)), b));
            hit[t] = _mm_and_si128(m, _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(q + 2)), j));
        }
        __m128i any = _mm_or_si128(_mm_or_si128(hit[0], hit[1]), _mm_or_si128(hit[2], hit[3]));
        if (_mm_movemask_epi8(any) == 0) continue;
        for (int t = 0; t < 4; t++) {
            int bits = _mm_movemask_epi8(hit[t]);
            if (bits) return k + 16 * t + __builtin_ctz((unsigned)bits);
        }
    }
#endif
    while (k < n) {
        const void *hit = memchr(s + k + 2, 'j', (size_t)(n - k));
        if (!hit) return -1;
        k = (const uint8_t *)hit - s - 2;
        if (s[k] == 'o' && s[k + 1] == 'b') return k;
        k++;
    }
    return -1;
}

// scan_pass1 over the window: every `obj` keyword in file order. The window is refilled before
// fewer than `look` bytes follow the search, so that an object's header, dictionary and `endobj`
// are nearly always held with it.
static void first_scan(scan_run *r) {
    const int64_t len = r->len;
    if (len <= 3) return;
    file_window *w = r->w;
    const int64_t look = w->cap / 4 < 65536 ? w->cap / 4 : 65536;
    scan_memo endobj_memo = {-1, -1};
    w->ahead = w->cap;
    const int64_t p_end = len - 3;  // `obj` at len - 4 at the latest, one byte after it
    int64_t p = 0;                  // where the next `obj` may start
    while (p < p_end && !r->no_memory) {
        int64_t held = 0;
        const uint8_t *s = win_at(w, p, look, &held);
        if (!s) break;
        int64_t n = p + held < len ? held - look + 1 : held - 2;  // positions whose 3 bytes are held
        if (n > p_end - p) n = p_end - p;
        int64_t k = find_obj(s, n);
        if (k < 0) {
            p += n;
            continue;
        }
        p += k;
        if (win_kw_at(w, p, "obj")) first_scan_entry(r, p, &endobj_memo);
        p++;
    }
}

// ---- second scan --------------------------------------------------------------------------------

// Candidate end of data from /Length (direct, or indirect through a non-stream object), or -1.
static int64_t length_candidate(scan_run *r, const int32_t *table, int32_t table_max,
                                const pdfcore_obj *e) {
    int64_t l = -1;
    int32_t ref = -1;
    parse_length(r->w, e->dict_off, e->stream_kw_off, &l, &ref);
    if (l >= 0) return e->data_off + l;  // l <= 2^62: no wrap
    if (ref < 0) return -1;
    const pdfcore_obj *t = obj_lookup(r->vec, table, table_max, ref);
    if (!t || t->is_stream) return -1;
    int64_t v = obj_int_value(r->w, t);
    return v < 0 ? -1 : e->data_off + v;
}

// `endstream` at c after C spaces (no word boundary asked for).
static bool endstream_at(file_window *w, int64_t c) {
    const int64_t len = w->size;
    if (c < 0 || c >= len) return false;
    int64_t t = c;
    while (t < len) {  // a run of any length
        int64_t n = 0, k = 0;
        const uint8_t *s = win_piece(w, t, len, &n);
        if (!s) return false;
        while (k < n && is_c_space(s[k])) k++;
        t += k;
        if (k < n) break;
    }
    return t + 8 < len && win_equal(w, t, "endstream", 9);
}

// index.cpp's stream_extent: the extent of one stream entry, from /Length when `endstream` follows
// it, else from the next `endstream` without the end of line before it.
static void stream_extent(scan_run *r, const int32_t *table, int32_t table_max, pdfcore_obj *e,
                          scan_memo *endstream_memo, scan_memo *endobj_memo) {
    file_window *w = r->w;
    const int64_t data_off = e->data_off;
    int64_t end;
    int32_t unterminated = 0;
    int64_t c = length_candidate(r, table, table_max, e);
    if (c >= 0 && endstream_at(w, c)) {
        end = c;
    } else {
        int64_t f = find_memo(w, data_off + 1, "endstream", endstream_memo);
        if (f < 0) {
            end = r->len;
            unterminated = 1;
        } else {
            end = f;
            int before = win_byte(w, f - 1);
            if (before == '\n') {
                end = f - 1;
                if (f - 1 > data_off && win_byte(w, f - 2) == '\r') end = f - 2;
            } else if (before == '\r') {
                end = f - 1;
            }
        }
    }
    if (end < data_off) end = data_off;
    e->data_end = stored(end);
    e->stream_len = stored(end - data_off);
    e->unterminated = unterminated;
    int64_t eo = find_memo(w, end + 1, "endobj", endobj_memo);
    e->endobj_off = stored(eo);
    if (eo >= 0) e->end_off = stored(eo + 6);
}

struct data_range {
    int64_t start, end;
};

static int range_cmp(const void *a, const void *b) {
    int64_t sa = ((const data_range *)a)->start, sb = ((const data_range *)b)->start;
    return sa < sb ? -1 : (sa > sb ? 1 : 0);
}

static bool has_range(const pdfcore_obj *e) {
    return e->is_stream && e->data_off >= 0 && e->data_off < e->data_end;
}

// scan_pass2's removals: streams without `endobj` after their data and every entry whose header
// lies inside some stream's data, each replaced by the last entry. 0, or -1 without memory.
static int remove_entries(objvec *vec) {
    int32_t nr = 0;
    for (int32_t i = 0; i < vec->count; i++) nr += has_range(&vec->items[i]) ? 1 : 0;
    data_range *ranges = (data_range *)malloc(((size_t)nr + 1) * sizeof(data_range));
    int64_t *maxend = (int64_t *)malloc(((size_t)nr + 1) * sizeof(int64_t));
    if (!ranges || !maxend) {
        free(ranges);
        free(maxend);
        return -1;
    }
    int32_t k = 0;
    for (int32_t i = 0; i < vec->count; i++) {
        const pdfcore_obj *e = &vec->items[i];
        if (has_range(e)) ranges[k++] = data_range{e->data_off, e->data_end};
    }
    qsort(ranges, (size_t)nr, sizeof(data_range), range_cmp);
    for (k = 0; k < nr; k++)
        maxend[k] = k > 0 && maxend[k - 1] > ranges[k].end ? maxend[k - 1] : ranges[k].end;
    int32_t i = 0;
    while (i < vec->count) {
        pdfcore_obj *e = &vec->items[i];
        bool remove = e->is_stream && e->endobj_off == -1;
        if (!remove) {  // the last range starting at or before the header
            int32_t lo = 0, hi = nr - 1, at = -1;
            while (lo <= hi) {
                int32_t mid = lo + (hi - lo) / 2;
                if (ranges[mid].start <= e->head_off) {
                    at = mid;
                    lo = mid + 1;
                } else {
                    hi = mid - 1;
                }
            }
            remove = at >= 0 && e->head_off < maxend[at];
        }
        if (remove) vec->items[i] = vec->items[--vec->count];
        else i++;
    }
    free(ranges);
    free(maxend);
    return 0;
}

// scan_pass2 over the window. 0, or -1 without memory.
static int second_scan(scan_run *r) {
    scan_memo endstream_memo = {-1, -1}, endobj_memo = {-1, -1};
    objvec *vec = r->vec;
    int32_t table_max = 0;
    int32_t *table = obj_first_positions(vec, &table_max);  // NULL: linear lookups
    r->w->ahead = 0;  // reads from here on are jumps: small ones first
    for (int32_t i = 0; i < vec->count && !r->w->failed; i++) {
        pdfcore_obj *e = &vec->items[i];
        if (e->is_stream && e->data_off >= 0 && e->dict_off >= 0)
            stream_extent(r, table, table_max, e, &endstream_memo, &endobj_memo);
    }
    free(table);
    return remove_entries(vec);
}

int32_t scan_file_index(const file_source *src, int64_t window_cap, objvec *vec, int32_t max_close_events) {
    if (src->size > scan_max_size) return scan_too_large;
    file_window w;
    if (win_init(&w, src, window_cap) != 0) return scan_no_memory;
    scan_run r;
    memset(&r, 0, sizeof r);
    r.w = &w;
    r.len = src->size;
    r.vec = vec;
    r.closes.max_events = max_close_events;
    src_advise_sequential(src, 1);
    first_scan(&r);
    src_advise_sequential(src, 0);
    close_cache_free(&r.closes);
    if (!w.failed && !r.no_memory && second_scan(&r) != 0) r.no_memory = true;
    int32_t result = w.failed ? scan_read_failed : r.no_memory ? scan_no_memory : scan_done;
    win_free(&w);
    if (result != scan_done) vec->count = 0;
    return result;
}
