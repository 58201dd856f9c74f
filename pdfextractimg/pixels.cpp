// pdfextractimg/pixels.cpp - decoded samples to 8-bit gray or RGBA pixels (one-bit, gray, RGB,
// CMYK, palette and converted spaces, stencil masks), and the alpha of an image's masks.
#include "pdfextractimg/pixels.h"

#include <cstdlib>
#include <cstring>

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

static inline bool decode_pair(const sample_layout *l, int32_t k, double lo, double hi) {
    return l->decode_count >= 2 * k + 2 && l->decode[2 * k] == lo && l->decode[2 * k + 1] == hi;
}

sample_layout image_layout(const image_params *p) {
    return sample_layout{p->width, p->height, image_depth(p), p->image_mask, p->invert,
                         p->decode_count, p->decode, &p->cs};
}

// Alpha of mask image num, scaled to width x height by nearest neighbour: its samples as they are
// (a soft mask), or one bit a pixel with 1 transparent (stencil). /Decode [1 0] inverts either.
static uint8_t *mask_alpha(const pdfcore_doc *doc, int32_t num, int32_t width, int32_t height,
                           bool stencil) {
    if (!doc || num <= 0 || width <= 0 || height <= 0) return nullptr;
    if ((uint64_t)width * (uint64_t)height > max_image_pixels) return nullptr;
    const pdfcore_obj *o = obj_find(&doc->objs, num);
    uint8_t *stream = nullptr;
    uint64_t stream_len = 0;
    if (!pdfcore_stream_read(doc, o, &stream, &stream_len)) return nullptr;
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
    if (image_decode(doc, &mp, mp.chain.count, 1, stream, stream_len, &dec, &len, nullptr) != 0)
        goto done;
    {
        int32_t depth = image_depth(&mp);
        uint64_t mw = (uint64_t)mp.width, mh = (uint64_t)mp.height;
        uint64_t row = image_row_bytes(mw, 1, (uint64_t)depth);
        if (len / mh < row) goto done; // fewer bytes than mh rows
        alpha = (uint8_t *)malloc((uint64_t)width * (uint64_t)height);
        if (!alpha) goto done;
        sample_layout ml = image_layout(&mp);
        bool inv = decode_pair(&ml, 0, 1.0, 0.0) != stencil, ok = true;
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
    free(stream);
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
    uint64_t row = image_row_bytes(w, (uint64_t)c, (uint64_t)depth);
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
static uint8_t *one_bit_gray(const sample_layout *l, const uint8_t *d, uint64_t len) {
    uint64_t w = (uint64_t)l->width, h = (uint64_t)l->height, row = (w + 7u) / 8u;
    uint8_t *g = (uint8_t *)malloc(w * h);
    if (!g) return nullptr;
    bool ok = true;
    for (uint64_t y = 0, i = 0; y < h; y++)
        for (uint64_t x = 0; x < w; x++, i++) {
            uint32_t bit = sample_raw(d, len, y * row, x, 1, &ok);
            g[i] = (uint8_t)((bit ^ (uint32_t)(l->invert ? 1 : 0)) ? 255 : 0);
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
static void palette_row(const colour_space *cs, const uint8_t *v, uint64_t m, uint64_t w,
                        bool index_inv, uint32_t max_raw, uint8_t *o) {
    uint32_t last = (uint32_t)cs->palette_entries - 1u;  // palette_row runs with entries >= 1
    for (uint64_t x = 0; x < w; x++, o += 4) {
        uint32_t k = 0;  // missing: entry 0
        if (x < m) k = index_inv ? max_raw - v[x] : v[x];
        memcpy(o, cs->palette + 3u * (k < last ? k : last), 3);
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
static uint8_t *converted_pixels(const sample_layout *l, int32_t c, const uint8_t *d, uint64_t len) {
    uint64_t w = (uint64_t)l->width, h = (uint64_t)l->height, n = w * (uint64_t)c;
    int32_t depth = l->depth;
    colour_conv cv;
    if (c != l->cs->space.comps ||
        image_space_conv(&l->cs->space, depth, l->decode, l->decode_count, &cv))
        return nullptr;
    uint64_t row = image_row_bytes(w, (uint64_t)c, (uint64_t)depth);
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

uint8_t *image_pixels(const sample_layout *l, int32_t c, const uint8_t *d, uint64_t len,
                      const uint8_t *alpha, int32_t *gray) {
    *gray = 0;
    if (l->width <= 0 || l->height <= 0) return nullptr;
    uint64_t w = (uint64_t)l->width, h = (uint64_t)l->height;
    if (w * h > max_image_pixels) return nullptr;
    const colour_space *cs = l->cs;
    if (!l->image_mask && cs->space.kind != space_by_comps) {
        uint8_t *px = converted_pixels(l, c, d, len);
        if (px && alpha)
            for (uint64_t i = 0; i < w * h; i++) px[4 * i + 3] = alpha[i];
        return px;
    }
    if (c != 1 && c != 3 && c != 4) return nullptr;
    int32_t depth = l->depth;
    bool palette = cs->indexed && cs->palette && cs->palette_entries > 0;
    bool one_bit = depth == 1 && !l->image_mask && c == 1 && !palette;
    if (one_bit && !alpha) {
        *gray = 1;
        return one_bit_gray(l, d, len);
    }
    uint64_t n = w * (uint64_t)c;  // samples in a row
    uint8_t *px = (uint8_t *)malloc(w * h * 4u);
    uint8_t *tmp = depth == 8 ? nullptr : (uint8_t *)malloc(n);
    if (!px || (depth != 8 && !tmp)) {
        free(px);
        free(tmp);
        return nullptr;
    }
    uint64_t row = image_row_bytes(w, (uint64_t)c, (uint64_t)depth);
    uint32_t max_raw = depth == 16 ? 255u : (1u << depth) - 1u;
    bool bits = l->image_mask || one_bit;
    // A stencil mask paints where its sample is 0, or 1 under /Decode [1 0].
    uint8_t paint = decode_pair(l, 0, 1.0, 0.0) ? 1 : 0;
    bool index_inv = decode_pair(l, 0, (double)max_raw, 0.0);
    uint8_t inv[4];
    for (int32_t k = 0; k < 4; k++) inv[k] = decode_pair(l, k, 1.0, 0.0) ? 255 : 0;
    for (uint64_t y = 0; y < h; y++) {
        const uint8_t *v = nullptr;
        uint64_t m = row_samples(d, len, y * row, n, depth, bits || palette, tmp, &v);
        uint8_t *o = px + y * w * 4u;
        if (l->image_mask) stencil_row(v, m, w, paint, o);
        else if (one_bit) one_bit_row(v, m, w, l->invert ? 1 : 0, o);
        else if (palette) palette_row(cs, v, m, w, index_inv, max_raw, o);
        else if (c == 1) gray_row(v, m, w, l->invert ? 255 : 0, o);
        else color_row(v, m, w, c, inv, o);
    }
    free(tmp);
    if (alpha)
        for (uint64_t i = 0; i < w * h; i++) px[4 * i + 3] = alpha[i];
    return px;
}
