// pdfextractimg/image.cpp - one image XObject to a JPEG or PNG file in memory: dictionary reading,
// filter chains, predictors, soft masks, sample conversion and packaging. The PDF values are read
// with the core's value readers (pdfcore.h); what is here is what they mean for an image.
#include "pdfextractimg/image.h"

#include <cstdlib>
#include <cstring>

#include "codec/ascii.h"
#include "codec/ccitt.h"
#include "codec/inflate.h"
#include "codec/jbig2.h"
#include "codec/lzw.h"
#include "pdfcore/pdfcore.h"
#include "pdfextractimg/extract.h"
#include "png/png.h"

// s from pos on: the same bytes, owner and name lists.
static pdfcore_span from(const pdfcore_span &s, int32_t pos) {
    pdfcore_span r = s;
    r.start = pos;
    return r;
}

// First /name in the span outside the bytes [lo, hi) (the DecodeParms value), or -1.
static int32_t find_key(const pdfcore_span &s, const char *name, int32_t lo, int32_t hi) {
    int32_t p = pdfcore_find_key(&s, name);
    while (p >= 0 && p >= lo && p < hi) {
        pdfcore_span rest = from(s, hi);
        p = pdfcore_find_key(&rest, name);
    }
    return p;
}

// ---- filters and decode parameters --------------------------------------------------------------

static int32_t filter_from_name(const char *n) {
    int32_t f = pdfcore_filter_of(n);
    return f >= filter_ahx && f <= filter_jpx ? f : 0;  // not Crypt, unknown
}

static void add_filter(const pdfcore_doc *doc, image_params *p, const char *name, int cut) {
    // In an encrypted document the load decrypted the stream: a /Crypt filter has nothing left to do.
    if (!cut && doc->encrypted && !strcmp(name, "Crypt")) return;
    int32_t f = cut ? 0 : filter_from_name(name);
    if (!f || p->filter_count >= max_image_filters) {
        p->bad_filter = 1;
        return;
    }
    p->filters[p->filter_count++] = f;
    p->is_ahx |= f == filter_ahx;
    p->is_a85 |= f == filter_a85;
    p->is_lzw |= f == filter_lzw;
    p->is_flate |= f == filter_flate;
    p->is_rl |= f == filter_rl;
    p->is_dct |= f == filter_dct;
}

// The /Filter value at v.start: a name, an array of names, or a reference to either; null means
// no filter. Anything else cannot be decoded.
static void read_filters_at(const pdfcore_doc *doc, pdfcore_span v, image_params *p) {
    if (!pdfcore_resolve(doc, &v)) {
        p->bad_filter = 1;
        return;
    }
    const uint8_t *t = v.text;
    char name[32];
    int cut = 0;
    if (t[v.start] == '/') {
        pdfcore_read_name(t, v.end, v.start, name, (int32_t)sizeof name, &cut);
        add_filter(doc, p, name, cut);
        return;
    }
    if (t[v.start] == '[') {
        int32_t q = v.start + 1;
        pdfcore_span e;
        while (pdfcore_array_next(doc, &v, &q, &e)) {
            if (e.start >= e.end || e.text[e.start] != '/') {
                p->bad_filter = 1;
                return;
            }
            pdfcore_read_name(e.text, e.end, e.start, name, (int32_t)sizeof name, &cut);
            add_filter(doc, p, name, cut);
        }
        return;
    }
    if (v.start + 4 <= v.end && !memcmp(t + v.start, "null", 4)) return;
    p->bad_filter = 1;
}

// A key of the decode parameters, and whether it was met (a key met counts even when its value is
// unusable).
struct parm_key {
    const char *key;
    int32_t *out;
    bool met;
};

// The first n keys not met yet, looked for in r; a positive integer value is stored.
static void read_parm_keys(const pdfcore_doc *doc, const pdfcore_span &r, parm_key *keys, int32_t n) {
    for (int32_t i = 0; i < n; i++) {
        if (keys[i].met) continue;
        int32_t at = pdfcore_find_key(&r, keys[i].key);
        if (at < 0) continue;
        keys[i].met = true;
        int32_t v = pdfcore_read_int(doc, from(r, at + 1 + (int32_t)strlen(keys[i].key)));
        if (v > 0) *keys[i].out = v;
    }
}

// /DecodeParms: its bytes [*lo, *hi) in the image span are left out of the image's own key
// searches; /Predictor, /Colors, /BitsPerComponent and /Columns are read inside it. Without
// DecodeParms, /Predictor is looked for in the whole span.
static void read_decode_parms(const pdfcore_doc *doc, const pdfcore_span &s, int32_t *lo,
                              int32_t *hi, image_params *p) {
    *lo = *hi = -1;
    pdfcore_span r = s;
    int32_t k = pdfcore_find_key(&s, "DecodeParms");
    if (k >= 0) {
        int32_t v = skip_ws(s.text, k + 12, s.end);
        *lo = k;
        *hi = v;
        r = from(s, v);
        r.end = v;
        if (v + 1 < s.end && s.text[v] == '<' && s.text[v + 1] == '<') {
            int32_t c = find_dict_close(s.text, v, s.end);
            *hi = c < 0 ? s.end : c + 2;
            r.end = *hi;
        } else if (v < s.end && s.text[v] == '[') {
            *hi = pdfcore_array_end(s.text, v, s.end);
            r.end = *hi;
        } else if (v < s.end && is_digit(s.text[v])) {
            int32_t after = 0;
            if (pdfcore_read_ref(s.text, s.end, v, &after) > 0) {
                *hi = after;
                pdfcore_span o = from(s, v);
                if (pdfcore_resolve(doc, &o)) r = o;
            }
        }
    }
    parm_key keys[] = {{"Predictor", &p->predictor, false}, {"Colors", &p->dp_colors, false},
                       {"BitsPerComponent", &p->dp_bpc, false}, {"Columns", &p->dp_columns, false}};
    int32_t nkeys = k < 0 ? 1 : 4;  // without DecodeParms, /Predictor alone, in the whole span
    if (k >= 0 && r.start < r.end && r.text[r.start] == '[') {
        // One entry per filter, each a dictionary, null or a reference to one: a key counts in
        // the first entry that has it.
        int32_t q = r.start + 1;
        pdfcore_span e;
        while (pdfcore_array_next(doc, &r, &q, &e)) read_parm_keys(doc, e, keys, nkeys);
    } else {
        read_parm_keys(doc, r, keys, nkeys);
    }
    if (p->predictor < 1) p->predictor = 1;
}

// The parameters of filter i from /DecodeParms (on the image dictionary's own level): the element
// of an array aligned with /Filter, or a dictionary given alone (for every filter). 1 and *d at
// the dictionary, or 0 (none, null, or no dictionary).
static int filter_parms(const pdfcore_doc *doc, const pdfcore_span &s, int32_t i, pdfcore_span *d) {
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
static void read_filter_parms(const pdfcore_doc *doc, const pdfcore_span &s, image_params *p) {
    ccitt_params_default(&p->ccitt);
    for (int32_t i = 0; i < p->filter_count; i++) {
        pdfcore_span d, g;
        if ((p->filters[i] != filter_ccitt && p->filters[i] != filter_jbig2) ||
            !filter_parms(doc, s, i, &d))
            continue;
        if (p->filters[i] == filter_jbig2) {
            free(p->jbig2_globals);
            p->jbig2_globals = nullptr;
            p->jbig2_globals_len = 0;
            const pdfcore_obj *o =
                pdfcore_dict_get(doc, &d, "JBIG2Globals", &g) ? pdfcore_stream_at(doc, &g) : nullptr;
            if (o && read_stream_decoded(doc, o, 0, &p->jbig2_globals, &p->jbig2_globals_len))
                p->jbig2_globals = nullptr;
            continue;
        }
        ccitt_params *c = &p->ccitt;
        c->k = parm_int(doc, d, "K", 0, -1, 1 << 20);
        c->columns = parm_int(doc, d, "Columns", 1728, 0, ccitt_max_columns + 1);
        c->rows = parm_int(doc, d, "Rows", 0, 0, INT32_MAX);
        c->encoded_byte_align = parm_bool(doc, d, "EncodedByteAlign", 0);
        c->end_of_line = parm_bool(doc, d, "EndOfLine", 0);
        c->end_of_block = parm_bool(doc, d, "EndOfBlock", 1);
        c->black_is_1 = parm_bool(doc, d, "BlackIs1", 0);
        c->damaged_rows_before_error = parm_int(doc, d, "DamagedRowsBeforeError", 0, 0, INT32_MAX);
    }
}

// /Mask at v.start: a reference to a stencil mask stream, or a colour key array of non-negative
// integers (in place or through a reference, its elements too). Anything else is no mask.
static void read_mask(const pdfcore_doc *doc, pdfcore_span v, image_params *p) {
    v.start = skip_ws(v.text, v.start, v.end);
    if (!pdfcore_resolve(doc, &v)) return;
    const pdfcore_obj *o = pdfcore_stream_at(doc, &v);
    if (o) {
        p->mask = o->num;
        return;
    }
    if (v.text[v.start] != '[') return;
    int32_t key[max_mask_key];
    int32_t count = 0, q = v.start + 1;
    pdfcore_span e;
    while (pdfcore_array_next(doc, &v, &q, &e)) {
        int32_t x = e.start < e.end && is_digit(e.text[e.start]) ? pdfcore_read_int(doc, e) : -1;
        if (count == max_mask_key || x < 0) return;
        key[count++] = x;
    }
    if (count < 2 || count % 2 != 0) return;
    memcpy(p->mask_key, key, (size_t)count * sizeof key[0]);
    p->mask_key_count = count;
}

void read_image_params(const pdfcore_doc *doc, const pdfcore_obj *entry, image_params *p) {
    pdfcore_span s;
    if (!doc || !entry || !pdfcore_obj_span(doc, entry, &s)) s = pdfcore_span{nullptr, 0, 0, -1, nullptr};
    read_image_params_span(doc, s, p);
}

void read_image_params_span(const pdfcore_doc *doc, const pdfcore_span &s, image_params *p) {
    memset(p, 0, sizeof *p);
    p->width = p->height = -1;
    p->bpc = 8;
    p->predictor = 1;
    p->dp_colors = p->dp_bpc = p->dp_columns = -1;
    p->smask = -1;
    p->mask = -1;
    if (!doc || !s.text || s.start >= s.end) return;
    const uint8_t *t = s.text;
    int32_t lo, hi, k;
    read_decode_parms(doc, s, &lo, &hi, p);
    if ((k = find_key(s, "Width", lo, hi)) >= 0) p->width = pdfcore_read_int(doc, from(s, k + 6));
    if ((k = find_key(s, "Height", lo, hi)) >= 0) p->height = pdfcore_read_int(doc, from(s, k + 7));
    if ((k = find_key(s, "BitsPerComponent", lo, hi)) >= 0)
        p->bpc = pdfcore_read_int(doc, from(s, k + 17));
    if ((k = find_key(s, "ImageMask", lo, hi)) >= 0) {
        pdfcore_span v = from(s, k + 10);
        if (pdfcore_resolve(doc, &v) && v.start + 3 < v.end && !memcmp(v.text + v.start, "true", 4)) {
            p->image_mask = 1;
            p->bpc = 1;
        }
    }
    if ((k = find_key(s, "ColorSpace", lo, hi)) >= 0) {
        pdfcore_span v = from(s, k + 11);
        read_color_space(doc, &v, p);
    }
    if ((k = find_key(s, "Filter", lo, hi)) >= 0) read_filters_at(doc, from(s, k + 7), p);
    read_filter_parms(doc, s, p);
    if (p->filter_count > 0 && (p->filters[p->filter_count - 1] == filter_ccitt ||
                                p->filters[p->filter_count - 1] == filter_jbig2)) {
        p->bpc = 1;  // what these filters give, whatever /BitsPerComponent says
        // A /Predictor belongs to a Flate or LZW stage's parameters, not to these filters' rows.
        p->predictor = 1;
    }
    pdfcore_span d = from(s, -1);
    if ((k = find_key(s, "Decode", lo, hi)) >= 0) d.start = k + 7;
    if (pdfcore_resolve(doc, &d) && d.text[d.start] == '[') {
        int32_t q = d.start + 1;
        pdfcore_span e;
        while (p->decode_count < 2 * colour_max_comps && pdfcore_array_next(doc, &d, &q, &e)) {
            double x = 0;
            if (e.start < e.end && pdfcore_read_real(e.text, e.end, &e.start, &x))
                p->decode[p->decode_count++] = x;
        }
    }
    p->invert = (p->decode_count >= 2 && p->decode[0] == 1.0 && p->decode[1] == 0.0) ||
                p->image_mask;
    if ((k = find_key(s, "SMaskInData", lo, hi)) >= 0) {
        int32_t n = pdfcore_read_int(doc, from(s, k + 12));
        p->smask_in_data = n > 0 ? n : 0;
    }
    if ((k = find_key(s, "SMask", lo, hi)) >= 0) {
        int32_t v = skip_ws(t, k + 6, s.end);
        if (v < s.end && is_digit(t[v])) {
            int32_t n = parse_int_at(t, s.end, &v);
            p->smask = n > 0 ? n : -1;
        }
    }
    if ((k = find_key(s, "Mask", lo, hi)) >= 0) read_mask(doc, from(s, k + 5), p);
}

void image_params_free(image_params *p) {
    free(p->palette);
    p->palette = nullptr;
    free(p->jbig2_globals);
    p->jbig2_globals = nullptr;
    p->jbig2_globals_len = 0;
    image_space_free(&p->space);
}

// ---- decoding -----------------------------------------------------------------------------------

uint64_t decode_capacity(const image_params *p, int32_t filter, uint64_t in_len) {
    uint64_t cap = max_decode_cap;
    if (in_len < max_decode_cap)
        cap = filter == filter_flate ? (in_len + 256u) * 16u : in_len * 8u + 4096u;
    if (p->width > 0 && p->height > 0) {
        uint64_t b = p->bpc >= 1 && p->bpc <= 16 ? (uint64_t)p->bpc : 8u;
        uint64_t row = ((uint64_t)p->width * b * 4u + 7u) / 8u + 1u; // < 2^38
        uint64_t est = max_decode_cap;
        if (row <= (max_decode_cap - 4096u) / (uint64_t)p->height)
            est = row * (uint64_t)p->height + 4096u;
        if (est > cap) cap = est;
    }
    return cap < max_decode_cap ? cap : max_decode_cap;
}

// One Flate or LZW stage into a buffer sized by decode_capacity, shrunk to what was produced.
static uint8_t *decode_sized(const image_params *p, int32_t f, const uint8_t *in, uint64_t in_len,
                             uint64_t *out_len) {
    uint64_t cap = decode_capacity(p, f, in_len);
    uint8_t *out = (uint8_t *)malloc(cap);
    if (!out) return nullptr;
    uint64_t n = 0;
    int rc = f == filter_flate ? inflate_decompress(in, in_len, out, cap, &n)
                               : lzw_decompress(in, in_len, out, cap, &n);
    if (rc != 0 || n > cap) {
        free(out);
        return nullptr;
    }
    if (n < cap) {
        void *t = realloc(out, n ? n : 1);
        if (t) out = (uint8_t *)t;
    }
    *out_len = n;
    return out;
}

// A bitmap of sw x sh pixels (rows of (sw + 7) / 8 bytes) cut or padded to dw x dh, into a new
// buffer; padding is 0 bits, or 1 bits under white. NULL when dw x dh is over the image cap or no
// memory.
static uint8_t *fit_bitmap(const uint8_t *src, uint64_t sw, uint64_t sh, uint64_t dw, uint64_t dh,
                           bool white, uint64_t *out_len) {
    if (dw == 0 || dh == 0 || dw > max_image_pixels / dh) return nullptr;
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

// A CCITTFaxDecode stage. last: its rows are the image's samples.
static uint8_t *decode_ccitt(const image_params *p, bool last, const uint8_t *in, uint64_t len,
                             uint64_t *out_len) {
    ccitt_params c = p->ccitt;
    if (last && p->height > 0 && (c.rows <= 0 || c.rows > p->height)) c.rows = p->height;
    uint8_t *rows = nullptr;
    uint64_t n = 0;
    int32_t got = ccitt_decode(in, len, &c, &rows, &n, nullptr);
    if (got <= 0) {  // no row at all is no image, not a page of padding
        free(rows);
        return nullptr;
    }
    if (!last || p->width <= 0 || p->width == c.columns) {
        *out_len = n;
        return rows;
    }
    uint8_t *fit = fit_bitmap(rows, (uint64_t)c.columns, (uint64_t)got, (uint64_t)p->width,
                              (uint64_t)got, false, out_len);
    free(rows);
    return fit;
}

// A JBIG2Decode stage. last: the page is the image's samples, fitted to /Width x /Height.
static uint8_t *decode_jbig2(const image_params *p, bool last, const uint8_t *in, uint64_t len,
                             uint64_t *out_len) {
    bool fit = last && p->width > 0 && p->height > 0;
    uint8_t *page = nullptr;
    uint32_t w = 0, h = 0;
    if (jbig2_decode(in, len, p->jbig2_globals, p->jbig2_globals_len,
                     fit ? (uint32_t)p->width : 0u, fit ? (uint32_t)p->height : 0u, &page, &w,
                     &h) < 0)
        return nullptr;
    if (!fit || (w == (uint32_t)p->width && h == (uint32_t)p->height)) {
        *out_len = ((uint64_t)w + 7u) / 8u * h;
        return page;
    }
    uint8_t *out = fit_bitmap(page, w, h, (uint64_t)p->width, (uint64_t)p->height, true, out_len);
    free(page);
    return out;
}

int decode_filters(const image_params *p, int32_t count, const uint8_t *stream, uint64_t stream_len,
                   uint8_t **out, uint64_t *out_len) {
    if (count < 0 || count > p->filter_count || (count > 0 && p->bad_filter)) return -1;
    if (!stream && stream_len) return -1;
    uint8_t *cur = nullptr;
    const uint8_t *in = stream;
    uint64_t len = stream_len;
    for (int32_t i = 0; i < count; i++) {
        uint8_t *next = nullptr;
        uint64_t n = 0;
        switch (p->filters[i]) {
        case filter_ahx: next = decode_hex(in, len, &n); break;
        case filter_a85: next = decode_a85(in, len, &n); break;
        case filter_rl: next = decode_runlength(in, len, &n); break;
        case filter_lzw:
        case filter_flate: next = decode_sized(p, p->filters[i], in, len, &n); break;
        case filter_ccitt: next = decode_ccitt(p, i == p->filter_count - 1, in, len, &n); break;
        case filter_jbig2: next = decode_jbig2(p, i == p->filter_count - 1, in, len, &n); break;
        default: break; // DCT: JPEG data is never decoded here
        }
        free(cur);
        if (!next) return -1;
        cur = next;
        in = cur;
        len = n;
    }
    if (!cur) {
        cur = (uint8_t *)malloc(stream_len ? stream_len : 1);
        if (!cur) return -1;
        if (stream_len) memcpy(cur, stream, stream_len);
    }
    *out = cur;
    *out_len = len;
    return 0;
}

int read_stream_decoded(const pdfcore_doc *doc, const pdfcore_obj *o, uint64_t expect,
                        uint8_t **out, uint64_t *out_len) {
    const uint8_t *data = nullptr;
    uint64_t len = 0;
    if (!doc || !pdfcore_stream_data(doc, o, &data, &len)) return -1;
    image_params sp;
    memset(&sp, 0, sizeof sp);
    sp.width = sp.height = -1;
    // No /DecodeParms is read here (so no JBIG2 globals, whose stream could name itself): CCITT
    // data takes the defaults.
    ccitt_params_default(&sp.ccitt);
    if (expect > 0) {
        // decode_capacity gives Flate and LZW stages room for the image's size at four components:
        // an image of one row of 2-bit samples needs width + 1 bytes.
        sp.width = expect < (uint64_t)INT32_MAX ? (int32_t)expect : INT32_MAX;
        sp.height = 1;
        sp.bpc = 2;
    }
    pdfcore_span s;
    if (pdfcore_obj_span(doc, o, &s)) {
        int32_t k = pdfcore_find_key(&s, "Filter");
        if (k >= 0) read_filters_at(doc, from(s, k + 7), &sp);
    }
    int rc = sp.bad_filter ? -1 : decode_filters(&sp, sp.filter_count, data, len, out, out_len);
    image_params_free(&sp);
    return rc;
}

int decode_image_stream(const image_params *p, const uint8_t *stream, uint64_t stream_len,
                        uint8_t **decoded, uint64_t *decoded_len) {
    if (p->bad_filter || p->is_dct) return -1;
    return decode_filters(p, p->filter_count, stream, stream_len, decoded, decoded_len);
}

int32_t image_depth(const image_params *p) {
    return p->bpc == 1 || p->bpc == 2 || p->bpc == 4 || p->bpc == 16 ? p->bpc : 8;
}

// Bytes of one row of width pixels of c samples of depth bits, rows starting on a byte boundary.
static uint64_t row_bytes_of(uint64_t width, uint64_t c, uint64_t depth) {
    return (width * c * depth + 7u) / 8u;
}

int32_t image_components(const image_params *p, uint64_t decoded_len) {
    if (p->image_mask || p->indexed) return 1;
    if (p->cs_comps > 0) return p->cs_comps;
    if (p->width <= 0 || p->height <= 0) return 3;
    uint64_t w = (uint64_t)p->width, h = (uint64_t)p->height, d = (uint64_t)image_depth(p);
    // len >= h * row, compared by division: h * row can pass 2^64 for hostile sizes.
    if (decoded_len / h >= row_bytes_of(w, 4, d)) return 4;
    if (decoded_len / h >= row_bytes_of(w, 3, d)) return 3;
    return 1;
}

// ---- predictors ---------------------------------------------------------------------------------

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

void undo_predictors(const image_params *p, int32_t c, uint8_t *decoded, uint64_t *decoded_len) {
    if (!decoded || !decoded_len || (p->predictor != 2 && p->predictor < 10)) return;
    int32_t colors, bits, columns;
    if (p->dp_colors > 0 || p->dp_bpc > 0 || p->dp_columns > 0) {
        colors = p->dp_colors > 0 ? p->dp_colors : 1;
        bits = p->dp_bpc > 0 ? p->dp_bpc : 8;
        columns = p->dp_columns > 0 ? p->dp_columns : 1;
    } else {
        colors = c;
        bits = image_depth(p);
        columns = p->width;
    }
    if (colors < 1 || colors > 32 || columns < 1) return;
    if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16) return;
    uint64_t row = row_bytes_of((uint64_t)columns, (uint64_t)colors, (uint64_t)bits);
    if (p->predictor == 2) {
        undo_tiff_predictor(decoded, *decoded_len, (uint64_t)columns, colors, bits);
        return;
    }
    uint64_t bpp = ((uint64_t)colors * (uint64_t)bits + 7u) / 8u;
    *decoded_len = undo_png_predictors(decoded, *decoded_len, row, bpp ? bpp : 1u);
}

// ---- samples to pixels --------------------------------------------------------------------------

// Sample s of the row at row_off, raw (0 .. 2^depth - 1; the high byte of a 16-bit sample). 0 and
// *ok = false when its byte lies beyond len.
static inline uint32_t sample_raw(const uint8_t *d, uint64_t len, uint64_t row_off, uint64_t s,
                                  int32_t depth, bool *ok) {
    uint64_t at = depth == 16 ? row_off + 2u * s : row_off + s * (uint64_t)depth / 8u;
    if (at >= len) {
        *ok = false;
        return 0;
    }
    *ok = true;
    if (depth >= 8) return d[at];
    return get_bits(d + row_off, s, depth);
}
// The same scaled to 0..255.
static inline uint32_t sample_8(const uint8_t *d, uint64_t len, uint64_t row_off, uint64_t s,
                                int32_t depth, bool *ok) {
    uint32_t v = sample_raw(d, len, row_off, s, depth, ok);
    return depth >= 8 ? v : v * 255u / ((1u << depth) - 1u);
}

static inline bool decode_pair(const image_params *p, int32_t k, double lo, double hi) {
    return p->decode_count >= 2 * k + 2 && p->decode[2 * k] == lo && p->decode[2 * k + 1] == hi;
}

// Alpha of mask image num, scaled to width x height by nearest neighbour: its samples as they are
// (a soft mask), or one bit a pixel with 1 transparent (stencil). /Decode [1 0] inverts either.
static uint8_t *mask_alpha(const pdfcore_doc *doc, int32_t num, int32_t width, int32_t height,
                           bool stencil) {
    if (!doc || num <= 0 || width <= 0 || height <= 0) return nullptr;
    if ((uint64_t)width * (uint64_t)height > max_image_pixels) return nullptr;
    const pdfcore_obj *o = obj_find(&doc->objs, num);
    const uint8_t *stream = nullptr;
    uint64_t stream_len = 0;
    if (!pdfcore_stream_data(doc, o, &stream, &stream_len)) return nullptr;
    image_params mp;
    read_image_params(doc, o, &mp);
    uint8_t *dec = nullptr, *alpha = nullptr;
    uint64_t len = 0;
    if (mp.bad_filter || mp.is_dct) goto done;
    if (mp.width <= 0) mp.width = width;
    if (mp.height <= 0) mp.height = height;
    if ((uint64_t)mp.width * (uint64_t)mp.height > max_image_pixels) goto done;
    mp.image_mask = 0;
    if (stencil) mp.bpc = 1;
    if (decode_filters(&mp, mp.filter_count, stream, stream_len, &dec, &len) != 0) goto done;
    {
        int32_t depth = image_depth(&mp);
        undo_predictors(&mp, 1, dec, &len);
        uint64_t mw = (uint64_t)mp.width, mh = (uint64_t)mp.height;
        uint64_t row = row_bytes_of(mw, 1, (uint64_t)depth);
        if (len / mh < row) goto done; // fewer bytes than mh rows
        alpha = (uint8_t *)malloc((uint64_t)width * (uint64_t)height);
        if (!alpha) goto done;
        bool inv = decode_pair(&mp, 0, 1.0, 0.0) != stencil, ok = true;
        uint64_t i = 0;
        if (depth == 8 && mw == (uint64_t)width && mh == (uint64_t)height) { // the common case
            memcpy(alpha, dec, mw * mh);
            if (inv)
                for (i = 0; i < mw * mh; i++) alpha[i] = (uint8_t)(255u - alpha[i]);
            goto done;
        }
        for (uint64_t y = 0; y < (uint64_t)height; y++) {
            uint64_t row_off = (y * mh / (uint64_t)height) * row;
            for (uint64_t x = 0; x < (uint64_t)width; x++) {
                uint32_t v = sample_8(dec, len, row_off, x * mw / (uint64_t)width, depth, &ok);
                alpha[i++] = (uint8_t)(inv ? 255u - v : v);
            }
        }
    }
done:
    free(dec);
    image_params_free(&mp);
    return alpha;
}

uint8_t *read_soft_mask(const pdfcore_doc *doc, int32_t smask, int32_t width, int32_t height) {
    return mask_alpha(doc, smask, width, height, false);
}

uint8_t *read_stencil_mask(const pdfcore_doc *doc, int32_t mask, int32_t width, int32_t height) {
    return mask_alpha(doc, mask, width, height, true);
}

uint8_t *color_key_alpha(const image_params *p, int32_t c, const uint8_t *d, uint64_t len) {
    if (p->width <= 0 || p->height <= 0 || c < 1 || p->mask_key_count < 2 * c) return nullptr;
    uint64_t w = (uint64_t)p->width, h = (uint64_t)p->height;
    if (w * h > max_image_pixels) return nullptr;
    int32_t depth = image_depth(p);
    uint64_t row = row_bytes_of(w, (uint64_t)c, (uint64_t)depth);
    uint8_t *alpha = (uint8_t *)malloc(w * h);
    if (!alpha) return nullptr;
    bool ok = true;
    for (uint64_t y = 0, i = 0; y < h; y++) {
        uint64_t row_off = y * row;
        for (uint64_t x = 0; x < w; x++, i++) {
            bool keyed = true;  // every component inside its range so far
            for (int32_t k = 0; k < c && keyed; k++) {
                uint64_t s = x * (uint64_t)c + (uint64_t)k;
                uint32_t v = sample_raw(d, len, row_off, s, depth, &ok);  // a missing sample is 0
                if (depth == 16 && ok) {
                    uint64_t at = row_off + 2u * s + 1u;
                    v = v << 8 | (at < len ? d[at] : 0u);
                }
                keyed = v >= (uint32_t)p->mask_key[2 * k] && v <= (uint32_t)p->mask_key[2 * k + 1];
            }
            alpha[i] = keyed ? 0 : 255;
        }
    }
    return alpha;
}

// One-bit gray image without a mask: gray bytes, 0 black and 1 white (swapped by invert).
static uint8_t *one_bit_gray(const image_params *p, const uint8_t *d, uint64_t len) {
    uint64_t w = (uint64_t)p->width, h = (uint64_t)p->height, row = (w + 7u) / 8u;
    uint8_t *g = (uint8_t *)malloc(w * h);
    if (!g) return nullptr;
    bool ok = true;
    for (uint64_t y = 0, i = 0; y < h; y++)
        for (uint64_t x = 0; x < w; x++, i++) {
            uint32_t bit = sample_raw(d, len, y * row, x, 1, &ok);
            g[i] = (uint8_t)((bit ^ (uint32_t)(p->invert ? 1 : 0)) ? 255 : 0);
        }
    return g;
}

// Samples of the row at row_off, n of them at most, as bytes: raw values (indexes, bits) or
// scaled to 0..255. Depth 8 needs no copy: *vals points into d. Returns how many samples exist
// (the data may end inside the row; missing samples are always the row's last ones).
static uint64_t row_samples(const uint8_t *d, uint64_t len, uint64_t row_off, uint64_t n,
                            int32_t depth, bool raw, uint8_t *tmp, const uint8_t **vals) {
    if (row_off >= len) return 0;
    uint64_t have = len - row_off;
    if (depth == 8) {
        *vals = d + row_off;
        return have < n ? have : n;
    }
    uint64_t m = depth == 16 ? (have + 1u) / 2u : have * 8u / (uint64_t)depth;
    if (m > n) m = n;
    bool ok = true;
    for (uint64_t s = 0; s < m; s++)
        tmp[s] = (uint8_t)(raw ? sample_raw(d, len, row_off, s, depth, &ok)
                               : sample_8(d, len, row_off, s, depth, &ok));
    *vals = tmp;
    return m;
}

// Rows of w RGBA pixels from a row's m samples v (m may be short of the row: the missing samples
// are its last ones, and count as 0), one kind of image each.

// Stencil mask: opaque white where the sample paints, transparent black elsewhere.
static void stencil_row(const uint8_t *v, uint64_t m, uint64_t w, uint8_t paint, uint8_t *o) {
    for (uint64_t x = 0; x < w; x++, o += 4) {
        bool painted = (x < m ? v[x] : 0) == paint;
        o[0] = o[1] = o[2] = o[3] = painted ? 255 : 0;
    }
}

// One-bit gray: 0 black and 1 white, swapped by flip.
static void one_bit_row(const uint8_t *v, uint64_t m, uint64_t w, uint8_t flip, uint8_t *o) {
    for (uint64_t x = 0; x < w; x++, o += 4) {
        o[0] = o[1] = o[2] = ((x < m ? v[x] : 0) ^ flip) ? 255 : 0;
        o[3] = 255;
    }
}

// Palette indexes (read backwards from max_raw under index_inv); an index past the palette is a
// gray of its own value.
static void palette_row(const image_params *p, const uint8_t *v, uint64_t m, uint64_t w,
                        bool index_inv, uint32_t max_raw, uint8_t *o) {
    for (uint64_t x = 0; x < w; x++, o += 4) {
        uint32_t k = 0;  // missing: entry 0
        if (x < m) k = index_inv ? max_raw - v[x] : v[x];
        if (k < (uint32_t)p->palette_entries) {
            memcpy(o, p->palette + 3u * k, 3);
        } else {
            o[0] = o[1] = o[2] = (uint8_t)k;
        }
        o[3] = 255;
    }
}

// 8-bit gray, inverted under invert.
static void gray_row(const uint8_t *v, uint64_t m, uint64_t w, uint8_t g0, uint8_t *o) {
    for (uint64_t x = 0; x < w; x++, o += 4) {
        o[0] = o[1] = o[2] = (uint8_t)((x < m ? v[x] : 0) ^ g0);
        o[3] = 255;
    }
}

// RGB or CMYK (c 3 or 4), each component inverted where its Decode pair is (1, 0); a pixel with a
// sample missing is black.
static void color_row(const uint8_t *v, uint64_t m, uint64_t w, int32_t c, const uint8_t inv[4],
                      uint8_t *o) {
    uint64_t whole = m / (uint64_t)c;  // pixels whose every sample exists
    for (uint64_t x = 0; x < w; x++, o += 4) {
        o[3] = 255;
        if (x >= whole) {
            o[0] = o[1] = o[2] = 0;
            continue;
        }
        const uint8_t *s = v + x * (uint64_t)c;
        if (c == 3) {
            o[0] = s[0] ^ inv[0], o[1] = s[1] ^ inv[1], o[2] = s[2] ^ inv[2];
        } else {
            uint32_t k = (uint32_t)(s[3] ^ inv[3]);
            o[0] = colour_cmyk_channel((uint32_t)(s[0] ^ inv[0]), k);
            o[1] = colour_cmyk_channel((uint32_t)(s[1] ^ inv[1]), k);
            o[2] = colour_cmyk_channel((uint32_t)(s[2] ^ inv[2]), k);
        }
    }
}

// Converted colour (gray 1, RGB 3 or CMYK 4 bytes a pixel) to RGBA.
static void converted_row(const uint8_t *v, uint64_t w, int32_t oc, uint8_t *o) {
    for (uint64_t x = 0; x < w; x++, o += 4, v += oc) {
        if (oc == 1) {
            o[0] = o[1] = o[2] = v[0];
        } else if (oc == 3) {
            o[0] = v[0], o[1] = v[1], o[2] = v[2];
        } else {
            o[0] = colour_cmyk_channel(v[0], v[3]);
            o[1] = colour_cmyk_channel(v[1], v[3]);
            o[2] = colour_cmyk_channel(v[2], v[3]);
        }
        o[3] = 255;
    }
}

// RGBA pixels of an image whose space converts its samples (Lab, Separation, DeviceN: see
// colourspace.h), each row's raw samples (a missing one is 0) through the space and /Decode. NULL
// when the conversion cannot be made or fails on a pixel, or no memory.
static uint8_t *converted_pixels(const image_params *p, int32_t c, const uint8_t *d, uint64_t len) {
    uint64_t w = (uint64_t)p->width, h = (uint64_t)p->height, n = w * (uint64_t)c;
    int32_t depth = image_depth(p);
    colour_conv cv;
    if (c != p->space.comps || image_space_conv(&p->space, depth, p->decode, p->decode_count, &cv))
        return nullptr;
    uint64_t row = row_bytes_of(w, (uint64_t)c, (uint64_t)depth);
    uint8_t *px = (uint8_t *)malloc(w * h * 4u);
    uint8_t *conv = (uint8_t *)malloc(w * (uint64_t)cv.out_comps);
    uint16_t *raw = (uint16_t *)malloc(n * sizeof(uint16_t));
    bool ok = px && conv && raw;
    for (uint64_t y = 0; ok && y < h; y++) {
        uint64_t off = y * row;
        if (depth == 8 && off <= len && len - off >= n) {
            ok = colour_conv_row8(&cv, d + off, w, conv) == 0;
        } else {
            bool in = true;
            for (uint64_t s = 0; s < n; s++) {
                uint64_t at = depth == 16 ? off + 2u * s : off;
                if (depth == 16)
                    raw[s] = at < len && len - at >= 2 ? (uint16_t)(d[at] << 8 | d[at + 1]) : 0;
                else
                    raw[s] = (uint16_t)sample_raw(d, len, off, s, depth, &in);
            }
            ok = colour_conv_row(&cv, raw, w, conv) == 0;
        }
        if (ok) converted_row(conv, w, cv.out_comps, px + y * w * 4u);
    }
    free(conv);
    free(raw);
    colour_conv_free(&cv);
    if (!ok) {
        free(px);
        return nullptr;
    }
    return px;
}

uint8_t *image_pixels(const image_params *p, int32_t c, const uint8_t *d, uint64_t len,
                      const uint8_t *alpha, int32_t *gray) {
    *gray = 0;
    if (p->width <= 0 || p->height <= 0) return nullptr;
    uint64_t w = (uint64_t)p->width, h = (uint64_t)p->height;
    if (w * h > max_image_pixels) return nullptr;
    if (!p->image_mask && p->space.kind != space_by_comps) {
        uint8_t *px = converted_pixels(p, c, d, len);
        if (px && alpha)
            for (uint64_t i = 0; i < w * h; i++) px[4 * i + 3] = alpha[i];
        return px;
    }
    if (c != 1 && c != 3 && c != 4) return nullptr;
    int32_t depth = image_depth(p);
    bool palette = p->indexed && p->palette;
    bool one_bit = depth == 1 && !p->image_mask && c == 1 && !palette;
    if (one_bit && !alpha) {
        *gray = 1;
        return one_bit_gray(p, d, len);
    }
    uint64_t n = w * (uint64_t)c;  // samples in a row
    uint8_t *px = (uint8_t *)malloc(w * h * 4u);
    uint8_t *tmp = depth == 8 ? nullptr : (uint8_t *)malloc(n);
    if (!px || (depth != 8 && !tmp)) {
        free(px);
        free(tmp);
        return nullptr;
    }
    uint64_t row = row_bytes_of(w, (uint64_t)c, (uint64_t)depth);
    uint32_t max_raw = depth == 16 ? 255u : (1u << depth) - 1u;
    bool bits = p->image_mask || one_bit;
    // A stencil mask paints where its sample is 0, or 1 under /Decode [1 0].
    uint8_t paint = decode_pair(p, 0, 1.0, 0.0) ? 1 : 0;
    bool index_inv = decode_pair(p, 0, (double)max_raw, 0.0);
    uint8_t inv[4];
    for (int32_t k = 0; k < 4; k++) inv[k] = decode_pair(p, k, 1.0, 0.0) ? 255 : 0;
    for (uint64_t y = 0; y < h; y++) {
        const uint8_t *v = nullptr;
        uint64_t m = row_samples(d, len, y * row, n, depth, bits || palette, tmp, &v);
        uint8_t *o = px + y * w * 4u;
        if (p->image_mask) stencil_row(v, m, w, paint, o);
        else if (one_bit) one_bit_row(v, m, w, p->invert ? 1 : 0, o);
        else if (palette) palette_row(p, v, m, w, index_inv, max_raw, o);
        else if (c == 1) gray_row(v, m, w, p->invert ? 255 : 0, o);
        else color_row(v, m, w, c, inv, o);
    }
    free(tmp);
    if (alpha)
        for (uint64_t i = 0; i < w * h; i++) px[4 * i + 3] = alpha[i];
    return px;
}

// ---- JPEG pass-through --------------------------------------------------------------------------

// Frame size from the first SOFn header of the JPEG j[0, len) (j[0..1] is the SOI). 1 when found.
static int jpeg_frame_size(const uint8_t *j, uint64_t len, int32_t *fw, int32_t *fh) {
    if (len <= 6) return 0;
    uint64_t pos = 2;
    while (pos + 4 < len) {
        if (j[pos] != 0xFF) {
            pos++;
            continue;
        }
        uint64_t m = pos;
        while (m < len && j[m] == 0xFF) m++;
        if (m >= len) return 0;
        uint8_t mk = j[m];
        if (mk == 0xD9 || mk == 0xDA) return 0;
        if (mk >= 0xD0 && mk <= 0xD8) {
            pos = m + 1;
            continue;
        }
        if (m + 3 > len) return 0;
        uint64_t g = (uint64_t)j[m + 1] << 8 | j[m + 2];
        if (g <= 1) return 0;
        uint64_t next = m + 1 + g;
        if (next > len) return 0;
        bool sof = mk >= 0xC0 && mk <= 0xCF && mk != 0xC4 && mk != 0xC8 && mk != 0xCC;
        if (sof && g >= 7) {
            int32_t h = j[m + 4] << 8 | j[m + 5], w = j[m + 6] << 8 | j[m + 7];
            if (w && h) {
                *fw = w;
                *fh = h;
                return 1;
            }
        }
        pos = next;
    }
    return 0;
}

int32_t jpeg_pass_through(const image_params *p, const uint8_t *stream, uint64_t stream_len,
                          int32_t borrow, extracted_image *rec) {
    if (p->filter_count < 1 || p->filters[p->filter_count - 1] != filter_dct) return 0;
    // DCT alone: the JPEG data is the stored bytes, lent as they are when the receiver allows it.
    bool lend = borrow && p->filter_count == 1;
    uint8_t *b = nullptr;
    const uint8_t *j = stream;
    uint64_t n = stream_len;
    if (!lend) {
        if (decode_filters(p, p->filter_count - 1, stream, stream_len, &b, &n) != 0) return 0;
        j = b;
    }
    uint64_t s = 0;
    while (s + 1 < n && !(j[s] == 0xFF && j[s + 1] == 0xD8)) s++;
    if (s + 1 >= n || n < s + 4) {
        free(b);
        return 0;
    }
    uint64_t L = n - s;
    int32_t fw = 0, fh = 0;
    jpeg_frame_size(j + s, L, &fw, &fh);
    if (!lend && s) {
        uint8_t *own = (uint8_t *)malloc(L);
        if (!own) {
            free(b);
            return 0;
        }
        memcpy(own, b + s, L);
        free(b);
        b = own;
        s = 0;
    }
    rec->width = p->width > 0 ? p->width : fw;
    rec->height = p->height > 0 ? p->height : fh;
    memset(rec->format, 0, sizeof rec->format);
    memcpy(rec->format, "jpeg", 4);
    rec->size = rec->data_len = L;
    rec->data = lend ? const_cast<uint8_t *>(j + s) : b;
    rec->data_borrowed = lend ? 1 : 0;
    return 1;
}

// ---- the whole conversion -----------------------------------------------------------------------

// The alpha of an image from its masks, or NULL for none: the soft mask when /SMask names one, else
// the stencil mask or colour key of /Mask; a stencil mask itself has none.
static uint8_t *image_alpha(const pdfcore_doc *doc, const image_params *p, int32_t c,
                            const uint8_t *decoded, uint64_t decoded_len) {
    if (p->smask > 0) return read_soft_mask(doc, p->smask, p->width, p->height);
    if (p->image_mask) return nullptr;
    if (p->mask > 0) return read_stencil_mask(doc, p->mask, p->width, p->height);
    if (p->mask_key_count > 0) return color_key_alpha(p, c, decoded, decoded_len);
    return nullptr;
}

// The pixels of an image that is not JPEG data, its masks as alpha (see image_pixels; *gray
// set), or NULL when it does not convert. The decoded samples are freed before it returns, so the
// PNG encoder never runs beside them.
static uint8_t *decoded_pixels(const pdfcore_doc *doc, const image_params *p, const uint8_t *stream,
                               uint64_t stream_len, int32_t *gray) {
    if (p->is_dct || p->width <= 0 || p->height <= 0) return nullptr;
    uint64_t w = (uint64_t)p->width, h = (uint64_t)p->height;
    if (w * h > max_image_pixels) return nullptr;
    uint8_t *decoded = nullptr, *alpha = nullptr, *pixels = nullptr;
    uint64_t decoded_len = 0;
    if (decode_image_stream(p, stream, stream_len, &decoded, &decoded_len) != 0) return nullptr;
    int32_t c = image_components(p, decoded_len);
    undo_predictors(p, c, decoded, &decoded_len);
    // At least an eighth of the sample bytes: row * h < 2^34 and decoded_len < 2^31, no wrap.
    if (w * h <= sparse_image_pixels ||
        decoded_len * 8u >= row_bytes_of(w, (uint64_t)c, (uint64_t)image_depth(p)) * h) {
        alpha = image_alpha(doc, p, c, decoded, decoded_len);
        pixels = image_pixels(p, c, decoded, decoded_len, alpha, gray);
    }
    free(decoded);
    free(alpha);
    return pixels;
}

int32_t image_convert(const pdfcore_doc *doc, const image_params *p, const uint8_t *stream,
                      uint64_t stream_len, int32_t page, int32_t obj_num, extracted_image *rec,
                      int32_t flags) {
    int32_t result = 0, gray = 0;
    int32_t width = p->width, height = p->height;  // JPEG 2000 data gives its own
    uint8_t *pixels = nullptr, *file = nullptr;
    uint64_t file_len = 0;
    extracted_image r = *rec;
    r.page = page;
    r.obj_num = obj_num;
    if (p->bad_filter) goto done;
    // DCT last in the chain: the bytes after the filters before it are JPEG data, passed through
    // whatever the masks; nothing else is tried.
    if (p->filter_count > 0 && p->filters[p->filter_count - 1] == filter_dct) {
        if (jpeg_pass_through(p, stream, stream_len, flags & extract_borrow_jpeg, &r)) {
            *rec = r;
            result = 1;
        }
        goto done;
    }
    // A space that never marks the page or cannot be converted (JPEG data above is passed through
    // as stored, whatever its space says).
    if (p->space.kind == space_skip && !p->image_mask) goto done;
    if (p->filter_count > 0 && p->filters[p->filter_count - 1] == filter_jpx) {
        pixels = jpx_image_pixels(doc, p, stream, stream_len, &gray, &width, &height);
    } else {
        pixels = decoded_pixels(doc, p, stream, stream_len, &gray);
    }
    if (!pixels) goto done;
    if (flags & extract_defer_png) {
        r.pixels = pixels;
        r.pixels_gray = gray;
        pixels = nullptr;
    } else if (!(flags & extract_no_png)) {
        file = gray ? qv_png_encode_gray(width, height, pixels, &file_len)
                    : qv_png_encode(width, height, pixels, &file_len);
        if (!file) goto done;
    }
    r.width = width;
    r.height = height;
    memset(r.format, 0, sizeof r.format);
    memcpy(r.format, "png", 3);
    r.size = r.data_len = file_len;
    r.data = file;
    r.data_borrowed = 0;
    *rec = r;
    result = 1;
done:
    free(pixels);
    return result;
}

int32_t extract_single_image(const pdfcore_doc *doc, int32_t obj_num, int32_t page,
                             extracted_image *rec, int32_t flags) {
    if (!doc || !rec || !doc->data) return 0;
    const pdfcore_obj *o = obj_find(&doc->objs, obj_num);
    pdfcore_span s;
    const uint8_t *stream = nullptr;
    uint64_t stream_len = 0;
    if (!pdfcore_obj_span(doc, o, &s) || !pdfcore_stream_data(doc, o, &stream, &stream_len)) return 0;
    image_params p;
    read_image_params(doc, o, &p);
    int32_t result = image_convert(doc, &p, stream, stream_len, page, obj_num, rec, flags);
    image_params_free(&p);
    return result;
}
