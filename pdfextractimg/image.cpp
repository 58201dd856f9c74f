// pdfextractimg/image.cpp - one image XObject to a JPEG or PNG file in memory: dictionary reading,
// filter chains, predictors, soft masks, sample conversion and packaging. The PDF values are read
// with the core's value readers (pdfcore.h); what is here is what they mean for an image.
#include "pdfextractimg/image.h"

#include <cstdlib>
#include <cstring>

#include "pdfcore/pdfcore.h"
#include "pdfcore/stream.h"
#include "pdfextractimg/extract.h"
#include "png/png.h"

// s from pos on: the same bytes, owner and name lists.
static pdfcore_span from(const pdfcore_span &s, int32_t pos) {
    pdfcore_span r = s;
    r.start = pos;
    return r;
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
    p->smask = -1;
    p->mask = -1;
    if (!doc || !s.text || s.start >= s.end) return;
    const uint8_t *t = s.text;
    int32_t lo, hi, k;
    stream_parms_extent(doc, s, &lo, &hi);
    if ((k = pdfcore_find_key_outside(&s, "Width", lo, hi)) >= 0) p->width = pdfcore_read_int(doc, from(s, k + 6));
    if ((k = pdfcore_find_key_outside(&s, "Height", lo, hi)) >= 0) p->height = pdfcore_read_int(doc, from(s, k + 7));
    if ((k = pdfcore_find_key_outside(&s, "BitsPerComponent", lo, hi)) >= 0)
        p->bpc = pdfcore_read_int(doc, from(s, k + 17));
    if ((k = pdfcore_find_key_outside(&s, "ImageMask", lo, hi)) >= 0) {
        pdfcore_span v = from(s, k + 10);
        if (pdfcore_resolve(doc, &v) && v.start + 3 < v.end && !memcmp(v.text + v.start, "true", 4)) {
            p->image_mask = 1;
            p->bpc = 1;
        }
    }
    if ((k = pdfcore_find_key_outside(&s, "ColorSpace", lo, hi)) >= 0) {
        pdfcore_span v = from(s, k + 11);
        read_color_space(doc, &v, &p->cs);
    }
    stream_read_chain(doc, s, &p->chain);
    int32_t last = stream_chain_last(&p->chain);
    if (last == pf_ccitt || last == pf_jbig2) p->bpc = 1;  // what these give, whatever /BitsPerComponent says
    pdfcore_span d = from(s, -1);
    if ((k = pdfcore_find_key_outside(&s, "Decode", lo, hi)) >= 0) d.start = k + 7;
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
    if ((k = pdfcore_find_key_outside(&s, "SMaskInData", lo, hi)) >= 0) {
        int32_t n = pdfcore_read_int(doc, from(s, k + 12));
        p->smask_in_data = n > 0 ? n : 0;
    }
    if ((k = pdfcore_find_key_outside(&s, "SMask", lo, hi)) >= 0) {
        int32_t v = skip_ws(t, k + 6, s.end);
        if (v < s.end && is_digit(t[v])) {
            int32_t n = parse_int_at(t, s.end, &v);
            p->smask = n > 0 ? n : -1;
        }
    }
    if ((k = pdfcore_find_key_outside(&s, "Mask", lo, hi)) >= 0) read_mask(doc, from(s, k + 5), p);
}

void image_params_free(image_params *p) { colour_space_free(&p->cs); }

int32_t image_depth(const image_params *p) {
    return p->bpc == 1 || p->bpc == 2 || p->bpc == 4 || p->bpc == 16 ? p->bpc : 8;
}

// Bytes of one row of width pixels of c samples of depth bits, rows starting on a byte boundary.
static uint64_t row_bytes_of(uint64_t width, uint64_t c, uint64_t depth) {
    return (width * c * depth + 7u) / 8u;
}

int32_t image_components(const image_params *p, uint64_t decoded_len) {
    if (p->image_mask || p->cs.indexed) return 1;
    if (p->cs.comps > 0) return p->cs.comps;
    if (p->width <= 0 || p->height <= 0) return 3;
    uint64_t w = (uint64_t)p->width, h = (uint64_t)p->height, d = (uint64_t)image_depth(p);
    // len >= h * row, compared by division: h * row can pass 2^64 for hostile sizes.
    if (decoded_len / h >= row_bytes_of(w, 4, d)) return 4;
    if (decoded_len / h >= row_bytes_of(w, 3, d)) return 3;
    return 1;
}

// ---- decoding -----------------------------------------------------------------------------------

uint64_t image_decoded_limit(const image_params *p) {
    if (p->width <= 0 || p->height <= 0) return stream_max_decoded;
    uint64_t b = p->bpc >= 1 && p->bpc <= 16 ? (uint64_t)p->bpc : 8u;
    uint64_t row = ((uint64_t)p->width * b * 4u + 7u) / 8u + 1u; // < 2^38
    if (row > (stream_max_decoded - 4096u) / (uint64_t)p->height) return stream_max_decoded;
    return row * (uint64_t)p->height + 4096u;
}

// The image's predictor parameters when /DecodeParms gives none of them: its components as the
// decoded length before the predictor tells them (kept for the conversion), its depth and width.
struct predictor_ctx {
    const image_params *p;
    int32_t comps;  // fixed (a mask: 1), or 0: judged from the decoded length
    int32_t judged; // the components judged, 0: not asked
};

static void image_predictor_params(void *ctx, uint64_t decoded_len, int32_t *colors, int32_t *bits,
                                   int32_t *columns) {
    predictor_ctx *x = (predictor_ctx *)ctx;
    x->judged = x->comps > 0 ? x->comps : image_components(x->p, decoded_len);
    if (*colors > 0 || *bits > 0 || *columns > 0) return;
    *colors = x->judged;
    *bits = image_depth(x->p);
    *columns = x->p->width;
}

// The first count stages of p's chain over stream[0, stream_len), as image_decode; comps: the
// components the predictor takes (0: judged), *judged set when it was asked.
static int decode_stages(const pdfcore_doc *doc, const image_params *p, int32_t count, int32_t comps,
                         const uint8_t *stream, uint64_t stream_len, uint8_t **out,
                         uint64_t *out_len, int32_t *judged) {
    predictor_ctx x = {p, comps, 0};
    stream_opts o;
    memset(&o, 0, sizeof o);
    o.limit = image_decoded_limit(p);
    o.expect = o.limit < stream_max_decoded ? o.limit : 0;
    o.width = p->width > 0 ? p->width : 0;
    o.height = p->height > 0 ? p->height : 0;
    o.predictor_params = image_predictor_params;
    o.ctx = &x;
    int cut = 0;
    int rc = stream_run(doc, &p->chain, count, stream, stream_len, &o, out, out_len, &cut);
    if (judged) *judged = x.judged;
    return rc;
}

int image_decode(const pdfcore_doc *doc, const image_params *p, int32_t count, const uint8_t *stream,
                 uint64_t stream_len, uint8_t **out, uint64_t *out_len) {
    return decode_stages(doc, p, count, 0, stream, stream_len, out, out_len, nullptr);
}

// ---- samples to pixels --------------------------------------------------------------------------

static inline uint32_t get_bits(const uint8_t *row, uint64_t s, int32_t bits) {
    uint64_t bit = s * (uint64_t)bits;
    uint32_t shift = (uint32_t)(8 - bits - (int32_t)(bit % 8u));
    return (uint32_t)(row[bit / 8u] >> shift) & ((1u << bits) - 1u);
}

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
    if (mp.chain.bad || stream_chain_has(&mp.chain, pf_dct)) goto done;
    if (mp.width <= 0) mp.width = width;
    if (mp.height <= 0) mp.height = height;
    if ((uint64_t)mp.width * (uint64_t)mp.height > max_image_pixels) goto done;
    mp.image_mask = 0;
    if (stencil) mp.bpc = 1;
    if (decode_stages(doc, &mp, mp.chain.count, 1, stream, stream_len, &dec, &len, nullptr) != 0)
        goto done;
    {
        int32_t depth = image_depth(&mp);
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

// Palette indexes (read backwards from max_raw under index_inv); an index past the palette takes
// its last entry (hival), as readers clamp it.
static void palette_row(const image_params *p, const uint8_t *v, uint64_t m, uint64_t w,
                        bool index_inv, uint32_t max_raw, uint8_t *o) {
    uint32_t last = (uint32_t)p->cs.palette_entries - 1u;  // palette_row runs with entries >= 1
    for (uint64_t x = 0; x < w; x++, o += 4) {
        uint32_t k = 0;  // missing: entry 0
        if (x < m) k = index_inv ? max_raw - v[x] : v[x];
        memcpy(o, p->cs.palette + 3u * (k < last ? k : last), 3);
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
    if (c != p->cs.space.comps || image_space_conv(&p->cs.space, depth, p->decode, p->decode_count, &cv))
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
    if (!p->image_mask && p->cs.space.kind != space_by_comps) {
        uint8_t *px = converted_pixels(p, c, d, len);
        if (px && alpha)
            for (uint64_t i = 0; i < w * h; i++) px[4 * i + 3] = alpha[i];
        return px;
    }
    if (c != 1 && c != 3 && c != 4) return nullptr;
    int32_t depth = image_depth(p);
    bool palette = p->cs.indexed && p->cs.palette && p->cs.palette_entries > 0;
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

int32_t jpeg_pass_through(const pdfcore_doc *doc, const image_params *p, const uint8_t *stream,
                          uint64_t stream_len, int32_t borrow, extracted_image *rec) {
    if (stream_chain_last(&p->chain) != pf_dct) return 0;
    // DCT alone: the JPEG data is the stored bytes, lent as they are when the receiver allows it.
    bool lend = borrow && p->chain.count == 1;
    uint8_t *b = nullptr;
    const uint8_t *j = stream;
    uint64_t n = stream_len;
    if (!lend) {
        if (image_decode(doc, p, p->chain.count - 1, stream, stream_len, &b, &n) != 0) return 0;
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
    if (p->chain.bad || stream_chain_has(&p->chain, pf_dct) || p->width <= 0 || p->height <= 0)
        return nullptr;
    uint64_t w = (uint64_t)p->width, h = (uint64_t)p->height;
    if (w * h > max_image_pixels) return nullptr;
    uint8_t *decoded = nullptr, *alpha = nullptr, *pixels = nullptr;
    uint64_t decoded_len = 0;
    int32_t judged = 0;  // the components a predictor took, judged before it ran
    if (decode_stages(doc, p, p->chain.count, 0, stream, stream_len, &decoded, &decoded_len, &judged))
        return nullptr;
    int32_t c = judged > 0 ? judged : image_components(p, decoded_len);
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
    if (p->chain.bad) goto done;
    // DCT last in the chain: the bytes after the filters before it are JPEG data, passed through
    // whatever the masks; nothing else is tried.
    if (stream_chain_last(&p->chain) == pf_dct) {
        if (jpeg_pass_through(doc, p, stream, stream_len, flags & extract_borrow_jpeg, &r)) {
            *rec = r;
            result = 1;
        }
        goto done;
    }
    // A space that never marks the page or cannot be converted (JPEG data above is passed through
    // as stored, whatever its space says).
    if (p->cs.space.kind == space_skip && !p->image_mask) goto done;
    if (stream_chain_last(&p->chain) == pf_jpx) {
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
