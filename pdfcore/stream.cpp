// pdfcore/stream.cpp - filter chains: /Filter and /DecodeParms read once, the stages run with one
// room rule, predictors undone inside their stage, the CCITT and JBIG2 codecs given their
// parameters.
#include "pdfcore/stream.h"

#include <cstdlib>
#include <cstring>

#include "codec/ascii.h"
#include "codec/inflate.h"
#include "codec/jbig2.h"
#include "codec/lzw.h"

// ---- filter names -------------------------------------------------------------------------------

struct filter_name {
    const char *full;
    const char *abbr;  // null: none
};
// In pdfcore_filter order, from pf_ahx.
static const filter_name s_filters[] = {
    {"ASCIIHexDecode", "AHx"}, {"ASCII85Decode", "A85"}, {"LZWDecode", "LZW"},
    {"FlateDecode", "Fl"},     {"RunLengthDecode", "RL"}, {"DCTDecode", "DCT"},
    {"CCITTFaxDecode", "CCF"}, {"JBIG2Decode", nullptr},  {"JPXDecode", nullptr},
    {"Crypt", nullptr},
};
static const int32_t filter_count = (int32_t)(sizeof s_filters / sizeof s_filters[0]);

int32_t pdfcore_filter_of(const char *name) {
    for (int32_t i = 0; i < filter_count; i++)
        if (!strcmp(name, s_filters[i].full) || (s_filters[i].abbr && !strcmp(name, s_filters[i].abbr)))
            return pf_ahx + i;
    return 0;
}

const char *pdfcore_filter_name(int32_t f) {
    return f >= pf_ahx && f < pf_ahx + filter_count ? s_filters[f - pf_ahx].full : nullptr;
}

// ---- reading the chain --------------------------------------------------------------------------

// s from pos on: the same bytes, owner and name lists.
static pdfcore_span span_from(const pdfcore_span &s, int32_t pos) {
    pdfcore_span r = s;
    r.start = pos;
    return r;
}

static void add_filter(const pdfcore_doc *doc, stream_chain *c, const char *name, int cut) {
    // In an encrypted document the load decrypted the stream: a /Crypt filter has nothing left to do.
    if (!cut && doc->encrypted && !strcmp(name, "Crypt")) return;
    int32_t f = cut ? 0 : pdfcore_filter_of(name);
    if (!f || f == pf_crypt || c->count >= stream_max_filters) {
        c->bad = 1;
        return;
    }
    stream_stage *st = &c->stage[c->count++];
    memset(st, 0, sizeof *st);
    st->filter = f;
    st->predictor = 1;
    st->colors = st->bpc = st->columns = -1;
    st->globals = -1;
    ccitt_params_default(&st->ccitt);
}

// The /Filter value at v.start: a name, an array of names, or a reference to either; null means
// no filter. Anything else cannot be decoded.
static void read_filters_at(const pdfcore_doc *doc, pdfcore_span v, stream_chain *c) {
    if (!pdfcore_resolve(doc, &v)) {
        c->bad = 1;
        return;
    }
    const uint8_t *t = v.text;
    char name[32];
    int cut = 0;
    if (t[v.start] == '/') {
        pdfcore_read_name(t, v.end, v.start, name, (int32_t)sizeof name, &cut);
        add_filter(doc, c, name, cut);
        return;
    }
    if (t[v.start] == '[') {
        int32_t q = v.start + 1;
        pdfcore_span e;
        while (pdfcore_array_next(doc, &v, &q, &e)) {
            if (e.start >= e.end || e.text[e.start] != '/') {
                c->bad = 1;
                return;
            }
            pdfcore_read_name(e.text, e.end, e.start, name, (int32_t)sizeof name, &cut);
            add_filter(doc, c, name, cut);
        }
        return;
    }
    if (v.start + 4 <= v.end && !memcmp(t + v.start, "null", 4)) return;
    c->bad = 1;
}

// Where /DecodeParms stands: [*lo, *hi) its key and value in s, *r the value's bytes (through a
// reference to a dictionary or array). 0 when there is none (*lo = *hi = -1).
static int parms_value(const pdfcore_doc *doc, const pdfcore_span &s, int32_t *lo, int32_t *hi,
                       pdfcore_span *r) {
    *lo = *hi = -1;
    int32_t k = pdfcore_find_key(&s, "DecodeParms");
    if (k < 0) return 0;
    int32_t v = skip_ws(s.text, k + 12, s.end);
    *lo = k;
    *hi = v;
    *r = span_from(s, v);
    r->end = v;
    if (v + 1 < s.end && s.text[v] == '<' && s.text[v + 1] == '<') {
        int32_t c = find_dict_close(s.text, v, s.end);
        *hi = c < 0 ? s.end : c + 2;
        r->end = *hi;
    } else if (v < s.end && s.text[v] == '[') {
        *hi = pdfcore_array_end(s.text, v, s.end);
        r->end = *hi;
    } else if (v < s.end && is_digit(s.text[v])) {
        int32_t after = 0;
        if (pdfcore_read_ref(s.text, s.end, v, &after) > 0) {
            *hi = after;
            pdfcore_span o = span_from(s, v);
            if (pdfcore_resolve(doc, &o)) *r = o;
        }
    }
    return 1;
}

void stream_parms_extent(const pdfcore_doc *doc, const pdfcore_span &s, int32_t *lo, int32_t *hi) {
    pdfcore_span r;
    parms_value(doc, s, lo, hi, &r);
}

// A predictor key, and whether it was met (a key met counts even when its value is unusable).
struct parm_key {
    const char *key;
    int32_t *out;
    bool met;
};

// The keys not met yet, looked for in r; a positive integer value is stored.
static void read_parm_keys(const pdfcore_doc *doc, const pdfcore_span &r, parm_key *keys, int32_t n) {
    for (int32_t i = 0; i < n; i++) {
        if (keys[i].met) continue;
        int32_t at = pdfcore_find_key(&r, keys[i].key);
        if (at < 0) continue;
        keys[i].met = true;
        int32_t v = pdfcore_read_int(doc, span_from(r, at + 1 + (int32_t)strlen(keys[i].key)));
        if (v > 0) *keys[i].out = v;
    }
}

// The predictor of the chain, given to its last Flate or LZW stage: /Predictor, /Colors,
// /BitsPerComponent and /Columns, each from the first /DecodeParms entry that holds the key (the
// entries of an array need not line up with the filters: producers misalign them). Without
// /DecodeParms, a /Predictor written anywhere in the dictionary counts.
static void read_predictor(const pdfcore_doc *doc, const pdfcore_span &s, stream_chain *c) {
    int32_t last = -1;
    for (int32_t i = 0; i < c->count; i++)
        if (c->stage[i].filter == pf_flate || c->stage[i].filter == pf_lzw) last = i;
    if (last < 0) return;
    stream_stage *st = &c->stage[last];
    int32_t lo, hi;
    pdfcore_span r = s;
    bool has = parms_value(doc, s, &lo, &hi, &r) != 0;
    parm_key keys[] = {{"Predictor", &st->predictor, false}, {"Colors", &st->colors, false},
                       {"BitsPerComponent", &st->bpc, false}, {"Columns", &st->columns, false}};
    int32_t nkeys = has ? 4 : 1;
    if (has && r.start < r.end && r.text[r.start] == '[') {
        int32_t q = r.start + 1;
        pdfcore_span e;
        while (pdfcore_array_next(doc, &r, &q, &e)) read_parm_keys(doc, e, keys, nkeys);
    } else {
        read_parm_keys(doc, r, keys, nkeys);
    }
    if (st->predictor < 1) st->predictor = 1;
}

// The parameters of stage i from /DecodeParms (on the dictionary's own level): the element of an
// array aligned with /Filter, or a dictionary given alone (for every stage). 1 and *d at the
// dictionary, or 0 (none, null, or no dictionary).
static int stage_parms(const pdfcore_doc *doc, const pdfcore_span &s, int32_t i, pdfcore_span *d) {
    pdfcore_span v;
    if (!pdfcore_dict_get(doc, &s, "DecodeParms", &v)) return 0;
    if (v.text[v.start] == '[' && !pdfcore_array_get(doc, v, i, &v)) return 0;
    if (v.start + 1 >= v.end || v.text[v.start] != '<' || v.text[v.start + 1] != '<') return 0;
    *d = v;
    return 1;
}

// An integer parameter of d clipped to [lo, hi]; dflt when it is absent or no number.
static int32_t parm_int(const pdfcore_doc *doc, const pdfcore_span &d, const char *key, int32_t dflt,
                        int32_t lo, int32_t hi) {
    pdfcore_span v;
    double x = 0;
    if (!pdfcore_dict_get(doc, &d, key, &v) || !pdfcore_read_number(doc, v, &x)) return dflt;
    return x <= lo ? lo : x >= hi ? hi : (int32_t)x;
}

// A boolean parameter of d: 1 for true, 0 for false, dflt otherwise.
static int32_t parm_bool(const pdfcore_doc *doc, const pdfcore_span &d, const char *key,
                         int32_t dflt) {
    pdfcore_span v;
    if (!pdfcore_dict_get(doc, &d, key, &v)) return dflt;
    if (kw_at(v.text, v.start, v.end, "true")) return 1;
    if (kw_at(v.text, v.start, v.end, "false")) return 0;
    return dflt;
}

// The parameters of the CCITT and JBIG2 stages. Values out of range make the stage fail later
// (ccitt_decode refuses a /Columns of 0 or above its cap); a /Rows below 1 is no /Rows.
static void read_codec_parms(const pdfcore_doc *doc, const pdfcore_span &s, stream_chain *c) {
    for (int32_t i = 0; i < c->count; i++) {
        stream_stage *st = &c->stage[i];
        pdfcore_span d, g;
        if ((st->filter != pf_ccitt && st->filter != pf_jbig2) || !stage_parms(doc, s, i, &d)) continue;
        if (st->filter == pf_jbig2) {
            const pdfcore_obj *o =
                pdfcore_dict_get(doc, &d, "JBIG2Globals", &g) ? pdfcore_stream_at(doc, &g) : nullptr;
            st->globals = o ? o->num : -1;
            continue;
        }
        ccitt_params *cp = &st->ccitt;
        cp->k = parm_int(doc, d, "K", 0, -1, 1 << 20);
        cp->columns = parm_int(doc, d, "Columns", 1728, 0, ccitt_max_columns + 1);
        cp->rows = parm_int(doc, d, "Rows", 0, 0, INT32_MAX);
        cp->encoded_byte_align = parm_bool(doc, d, "EncodedByteAlign", 0);
        cp->end_of_line = parm_bool(doc, d, "EndOfLine", 0);
        cp->end_of_block = parm_bool(doc, d, "EndOfBlock", 1);
        cp->black_is_1 = parm_bool(doc, d, "BlackIs1", 0);
        cp->damaged_rows_before_error = parm_int(doc, d, "DamagedRowsBeforeError", 0, 0, INT32_MAX);
    }
}

void stream_read_chain(const pdfcore_doc *doc, const pdfcore_span &s, stream_chain *c) {
    memset(c, 0, sizeof *c);
    if (!doc || !s.text || s.start >= s.end) return;
    int32_t lo, hi;
    stream_parms_extent(doc, s, &lo, &hi);
    int32_t k = pdfcore_find_key_outside(&s, "Filter", lo, hi);
    if (k < 0) return;
    read_filters_at(doc, span_from(s, k + 7), c);
    read_predictor(doc, s, c);
    read_codec_parms(doc, s, c);
}

// ---- predictors ---------------------------------------------------------------------------------

// Bytes of one row of width pixels of c samples of depth bits, rows starting on a byte boundary.
static uint64_t row_bytes_of(uint64_t width, uint64_t c, uint64_t depth) {
    return (width * c * depth + 7u) / 8u;
}

uint64_t undo_png_predictors(uint8_t *d, uint64_t len, uint64_t row_bytes, uint64_t bpp) {
    // In place: output row y lands at y * row_bytes, below its input at y * (row_bytes + 1) + 1,
    // so no input byte is overwritten before it is read.
    uint64_t out = 0;
    for (uint64_t in = 0; in < len && len - in > 1; in += row_bytes + 1) {
        uint64_t avail = len - in - 1 < row_bytes ? len - in - 1 : row_bytes;
        uint8_t *dst = d + out;
        png_unfilter_row(d[in], d + in + 1, dst, out > 0 ? dst - row_bytes : nullptr, avail, bpp);
        out += avail;
    }
    return out;
}

static inline uint32_t get_bits(const uint8_t *row, uint64_t s, int32_t bits) {
    uint64_t bit = s * (uint64_t)bits;
    uint32_t shift = (uint32_t)(8 - bits - (int32_t)(bit % 8u));
    return (uint32_t)(row[bit / 8u] >> shift) & ((1u << bits) - 1u);
}
static inline void set_bits(uint8_t *row, uint64_t s, int32_t bits, uint32_t v) {
    uint64_t bit = s * (uint64_t)bits;
    uint32_t shift = (uint32_t)(8 - bits - (int32_t)(bit % 8u));
    uint32_t mask = ((1u << bits) - 1u) << shift;
    row[bit / 8u] = (uint8_t)((row[bit / 8u] & ~mask) | ((v << shift) & mask));
}

void undo_tiff_predictor(uint8_t *d, uint64_t len, uint64_t columns, int32_t colors, int32_t bits) {
    uint64_t samples = columns * (uint64_t)colors;
    uint64_t row_bytes = row_bytes_of(columns, (uint64_t)colors, (uint64_t)bits);
    if (!row_bytes) return;
    for (uint64_t off = 0; off < len; off += row_bytes) {
        uint64_t avail = len - off < row_bytes ? len - off : row_bytes;
        uint8_t *row = d + off;
        uint64_t n = avail * 8u / (uint64_t)bits; // whole samples present
        if (n > samples) n = samples;
        if (bits == 8) {
            for (uint64_t s = (uint64_t)colors; s < n; s++) row[s] = (uint8_t)(row[s] + row[s - (uint64_t)colors]);
        } else if (bits == 16) {
            for (uint64_t s = (uint64_t)colors; s < n; s++) {
                uint64_t a = 2u * s, b = 2u * (s - (uint64_t)colors);
                uint32_t v = ((uint32_t)row[a] << 8 | row[a + 1]) + ((uint32_t)row[b] << 8 | row[b + 1]);
                row[a] = (uint8_t)(v >> 8);
                row[a + 1] = (uint8_t)v;
            }
        } else {
            for (uint64_t s = (uint64_t)colors; s < n; s++)
                set_bits(row, s, bits, get_bits(row, s, bits) + get_bits(row, s - (uint64_t)colors, bits));
        }
    }
}

void undo_predictor(int32_t predictor, int32_t colors, int32_t bits, int32_t columns,
                    uint8_t *decoded, uint64_t *len) {
    if (!decoded || !len || (predictor != 2 && predictor < 10)) return;
    if (colors < 1 || colors > 32 || columns < 1) return;
    if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16) return;
    uint64_t row = row_bytes_of((uint64_t)columns, (uint64_t)colors, (uint64_t)bits);
    if (predictor == 2) {
        undo_tiff_predictor(decoded, *len, (uint64_t)columns, colors, bits);
        return;
    }
    uint64_t bpp = ((uint64_t)colors * (uint64_t)bits + 7u) / 8u;
    *len = undo_png_predictors(decoded, *len, row, bpp ? bpp : 1u);
}

// The predictor of a Flate or LZW stage over its output, with /DecodeParms' values as the caller
// completes them, the standard's defaults for the rest.
static void stage_predictor(const stream_stage *st, const stream_opts *o, uint8_t *d, uint64_t *len) {
    if (st->predictor != 2 && st->predictor < 10) return;
    int32_t colors = st->colors, bits = st->bpc, columns = st->columns;
    if (o && o->predictor_params) o->predictor_params(o->ctx, *len, &colors, &bits, &columns);
    undo_predictor(st->predictor, colors > 0 ? colors : 1, bits > 0 ? bits : 8,
                   columns > 0 ? columns : 1, d, len);
}

// ---- running the stages -------------------------------------------------------------------------

// A bitmap of sw x sh pixels (rows of (sw + 7) / 8 bytes) cut or padded to dw x dh, into a new
// buffer; padding is 0 bits, or 1 bits under white. NULL when dw x dh is over 2^30 pixels or no
// memory.
static uint8_t *fit_bitmap(const uint8_t *src, uint64_t sw, uint64_t sh, uint64_t dw, uint64_t dh,
                           bool white, uint64_t *out_len) {
    if (dw == 0 || dh == 0 || dw > stream_max_decoded / dh) return nullptr;
    uint64_t srb = (sw + 7u) / 8u, drb = (dw + 7u) / 8u, copy = srb < drb ? srb : drb;
    uint8_t *out = (uint8_t *)malloc(drb * dh);
    if (!out) return nullptr;
    memset(out, white ? 0xFF : 0, drb * dh);
    for (uint64_t y = 0; y < sh && y < dh; y++) {
        uint8_t *row = out + y * drb;
        if (copy) memcpy(row, src + y * srb, copy);
        if (white && sw < dw && sw % 8u) row[sw / 8u] = (uint8_t)(row[sw / 8u] | 0xFFu >> (sw % 8u));
    }
    *out_len = drb * dh;
    return out;
}

// A CCITTFaxDecode stage. last: its rows are the image's samples (width, height: 0 when unknown).
static uint8_t *run_ccitt(const stream_stage *st, bool last, int32_t width, int32_t height,
                          const uint8_t *in, uint64_t len, uint64_t *out_len) {
    ccitt_params c = st->ccitt;
    if (last && height > 0 && (c.rows <= 0 || c.rows > height)) c.rows = height;
    uint8_t *rows = nullptr;
    uint64_t n = 0;
    int32_t got = ccitt_decode(in, len, &c, &rows, &n, nullptr);
    if (got <= 0) {  // no row at all is no image, not a page of padding
        free(rows);
        return nullptr;
    }
    if (!last || width <= 0 || width == c.columns) {
        *out_len = n;
        return rows;
    }
    uint8_t *fit = fit_bitmap(rows, (uint64_t)c.columns, (uint64_t)got, (uint64_t)width,
                              (uint64_t)got, false, out_len);
    free(rows);
    return fit;
}

static int decode_object(const pdfcore_doc *doc, const pdfcore_obj *so, const stream_opts *o,
                         bool allow_jbig2, uint8_t **out, uint64_t *out_len, int *cut);

// A JBIG2Decode stage, with its globals stream decoded through its own filters (no JBIG2 stage of
// its own, so a globals stream naming itself ends there). last: the page is the image's samples,
// fitted to width x height.
static uint8_t *run_jbig2(const pdfcore_doc *doc, const stream_stage *st, bool last, int32_t width,
                          int32_t height, const uint8_t *in, uint64_t len, uint64_t *out_len) {
    uint8_t *globals = nullptr;
    uint64_t globals_len = 0;
    int globals_cut = 0;
    const pdfcore_obj *g = st->globals > 0 ? obj_find(&doc->objs, st->globals) : nullptr;
    if (g && decode_object(doc, g, nullptr, false, &globals, &globals_len, &globals_cut) != 0)
        globals = nullptr;  // the page is decoded without them
    bool fit = last && width > 0 && height > 0;
    uint8_t *page = nullptr;
    uint32_t w = 0, h = 0;
    int rc = jbig2_decode(in, len, globals, globals_len, fit ? (uint32_t)width : 0u,
                          fit ? (uint32_t)height : 0u, &page, &w, &h);
    free(globals);
    if (rc < 0) return nullptr;
    if (!fit || (w == (uint32_t)width && h == (uint32_t)height)) {
        *out_len = ((uint64_t)w + 7u) / 8u * h;
        return page;
    }
    uint8_t *out = fit_bitmap(page, w, h, (uint64_t)width, (uint64_t)height, true, out_len);
    free(page);
    return out;
}

// A Flate or LZW stage into a growable output of at most max bytes, first room first (then
// doubling), its predictor undone. *cut: stopped at max.
static uint8_t *run_lz(const stream_stage *st, const stream_opts *o, uint64_t max, uint64_t first,
                       const uint8_t *in, uint64_t len, uint64_t *out_len, int *cut) {
    qv_outbuf ob = {nullptr, 0, 0, max, 0, 0};
    if (first > max) first = max;
    if (first > 0 && outbuf_reserve(&ob, first) < first) {
        outbuf_free(&ob);
        return nullptr;
    }
    int rc = st->filter == pf_flate ? inflate_grow(in, len, &ob) : lzw_grow(in, len, &ob);
    if (rc != 0) {
        outbuf_free(&ob);
        return nullptr;
    }
    *cut = ob.cut;
    *out_len = ob.len;
    stage_predictor(st, o, ob.data, out_len);
    if (!ob.data) ob.data = (uint8_t *)malloc(1);  // an empty output is still a buffer
    return ob.data;
}

// One stage over in[0, len): a new malloc'd buffer, or NULL. max: the output's limit.
static uint8_t *run_stage(const pdfcore_doc *doc, const stream_chain *c, int32_t i, bool last,
                          const stream_opts *o, bool allow_jbig2, const uint8_t *in, uint64_t len,
                          uint64_t max, uint64_t *out_len, int *cut) {
    const stream_stage *st = &c->stage[i];
    int32_t w = o ? o->width : 0, h = o ? o->height : 0;
    uint8_t *out = nullptr;
    switch (st->filter) {
    case pf_ahx: out = decode_hex(in, len, out_len); break;
    case pf_a85: out = decode_a85(in, len, out_len); break;
    case pf_rl: out = decode_runlength(in, len, out_len); break;
    case pf_lzw:
    case pf_flate: {
        // The first room: what the caller expects of the last stage, else four times the input.
        uint64_t first = len < max / 4u ? len * 4u + 4096u : max;
        if (last && o && o->expect > 0) first = o->expect;
        return run_lz(st, o, max, first, in, len, out_len, cut);
    }
    case pf_ccitt: return run_ccitt(st, last, w, h, in, len, out_len);
    case pf_jbig2: return allow_jbig2 ? run_jbig2(doc, st, last, w, h, in, len, out_len) : nullptr;
    default: return nullptr;  // DCT, JPX: never decoded here
    }
    if (out && *out_len > max) {  // an ASCII or RunLength stage past its limit
        *out_len = max;
        *cut = 1;
    }
    return out;
}

// The output buffer with one spare byte, a NUL, after its len bytes; NULL when it cannot grow.
static uint8_t *with_nul(uint8_t *p, uint64_t len) {
    uint8_t *t = (uint8_t *)realloc(p, (size_t)len + 1);
    if (!t) {
        free(p);
        return nullptr;
    }
    t[len] = 0;
    return t;
}

static int run_chain(const pdfcore_doc *doc, const stream_chain *c, int32_t count, const uint8_t *in,
                     uint64_t n, const stream_opts *o, bool allow_jbig2, uint8_t **out,
                     uint64_t *out_len, int *cut) {
    if (count < 0 || count > c->count || (count > 0 && c->bad) || (!in && n)) return -1;
    uint64_t limit = o && o->limit > 0 && o->limit < stream_max_decoded ? o->limit : stream_max_decoded;
    uint8_t *cur = nullptr;
    const uint8_t *from = in;
    uint64_t len = n;
    int was_cut = 0;
    for (int32_t i = 0; i < count; i++) {
        bool last = i == count - 1;
        uint64_t got = 0;
        int stage_cut = 0;
        uint8_t *next = run_stage(doc, c, i, last, o, allow_jbig2, from, len,
                                  last ? limit : stream_max_decoded, &got, &stage_cut);
        free(cur);
        // An inner stage that reached the cap would hand on a cut stream: refused.
        if (!next || (stage_cut && !last)) {
            free(next);
            return -1;
        }
        was_cut = stage_cut;
        cur = next;
        from = cur;
        len = got;
    }
    if (!cur) {
        if (len > limit) {
            len = limit;
            was_cut = 1;
        }
        cur = (uint8_t *)malloc(len + 1);
        if (!cur) return -1;
        if (len) memcpy(cur, in, len);
        cur[len] = 0;
    } else if (!(cur = with_nul(cur, len))) {
        return -1;
    }
    *out = cur;
    *out_len = len;
    *cut = was_cut;
    return 0;
}

int stream_run(const pdfcore_doc *doc, const stream_chain *c, int32_t count, const uint8_t *in,
               uint64_t n, const stream_opts *o, uint8_t **out, uint64_t *out_len, int *cut) {
    return run_chain(doc, c, count, in, n, o, true, out, out_len, cut);
}

static int decode_object(const pdfcore_doc *doc, const pdfcore_obj *so, const stream_opts *o,
                         bool allow_jbig2, uint8_t **out, uint64_t *out_len, int *cut) {
    uint8_t *data = nullptr;
    uint64_t len = 0;
    pdfcore_span s;
    if (!doc || !pdfcore_stream_read(doc, so, &data, &len)) return -1;
    stream_chain c;
    if (!pdfcore_obj_span(doc, so, &s)) s = pdfcore_span{nullptr, 0, 0, -1};
    stream_read_chain(doc, s, &c);
    int rc = run_chain(doc, &c, c.count, data, len, o, allow_jbig2, out, out_len, cut);
    free(data);
    return rc;
}

int stream_decode(const pdfcore_doc *doc, const pdfcore_obj *so, const stream_opts *o, uint8_t **out,
                  uint64_t *out_len, int *cut) {
    return decode_object(doc, so, o, true, out, out_len, cut);
}

int stream_read(const pdfcore_doc *doc, const pdfcore_obj *so, uint64_t limit, uint8_t **out,
                uint64_t *out_len) {
    stream_opts o;
    memset(&o, 0, sizeof o);
    o.limit = limit;
    int cut = 0;
    return decode_object(doc, so, &o, true, out, out_len, &cut);
}
