// pdfextractimg/colour.cpp - Lab to sRGB, and image samples through tint transforms, row by row.
#include "pdfextractimg/colour.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

// ---- constants and tables -----------------------------------------------------------------------

// Bradford cone response matrix, row-major.
static const double s_bradford[9] = {0.8951, 0.2664, -0.1614, -0.7502, 1.7135, 0.0367,
                                     0.0389, -0.0685, 1.0296};
// XYZ (D65) to linear sRGB and the D65 white of IEC 61966-2-1.
static const double s_xyz_to_srgb[9] = {3.2406, -1.5372, -0.4986, -0.9689, 1.8758, 0.0415,
                                        0.0557, -0.2040, 1.0570};
static const double s_d65[3] = {0.9505, 1.0, 1.0890};
static const double s_lab_default_range[4] = {-100, 100, -100, 100};

// ---- Lab ----------------------------------------------------------------------------------------

static void mat_mul(const double *a, const double *b, double *r) {
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++)
            r[3 * i + j] = a[3 * i] * b[j] + a[3 * i + 1] * b[3 + j] + a[3 * i + 2] * b[6 + j];
}
static void mat_vec(const double *a, const double *v, double *r) {
    for (int i = 0; i < 3; i++) r[i] = a[3 * i] * v[0] + a[3 * i + 1] * v[1] + a[3 * i + 2] * v[2];
}
// Inverse by cofactors; the Bradford matrix is far from singular.
static void mat_inv(const double *m, double *r) {
    double c00 = m[4] * m[8] - m[5] * m[7], c01 = m[5] * m[6] - m[3] * m[8],
           c02 = m[3] * m[7] - m[4] * m[6];
    double det = m[0] * c00 + m[1] * c01 + m[2] * c02;
    r[0] = c00 / det, r[1] = (m[2] * m[7] - m[1] * m[8]) / det, r[2] = (m[1] * m[5] - m[2] * m[4]) / det;
    r[3] = c01 / det, r[4] = (m[0] * m[8] - m[2] * m[6]) / det, r[5] = (m[2] * m[3] - m[0] * m[5]) / det;
    r[6] = c02 / det, r[7] = (m[1] * m[6] - m[0] * m[7]) / det, r[8] = (m[0] * m[4] - m[1] * m[3]) / det;
}


// The inverse of L*a*b*'s cube root, with its linear part near black.
static inline double lab_g(double x) {
    return x >= 6.0 / 29.0 ? x * x * x : 108.0 / 841.0 * (x - 4.0 / 29.0);
}

// Linear [0 1] to an sRGB byte: the transfer curve of IEC 61966-2-1, rounded.
static inline uint8_t srgb_byte(double v) {
    v = fn_clip(v, 0.0, 1.0);
    v = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
    return (uint8_t)(v * 255.0 + 0.5);  // 0 .. 255.5: fits
}

int colour_lab_init(colour_lab *lab, const double *white, const double *black,
                    const double *range) {
    if (!lab || !white) return -1;
    memset(lab, 0, sizeof *lab);
    for (int i = 0; i < 3; i++)
        if (!std::isfinite(white[i]) || white[i] <= 0) return -1;
    for (int i = 0; i < 3; i++) lab->white[i] = white[i] / white[1];
    for (int i = 0; black && i < 3; i++) {
        if (!std::isfinite(black[i]) || black[i] < 0) return -1;
        lab->black[i] = black[i];
    }
    const double *r = range ? range : s_lab_default_range;
    for (int i = 0; i < 4; i++)
        if (!std::isfinite(r[i])) return -1;
    if (r[0] > r[1] || r[2] > r[3]) return -1;
    memcpy(lab->range, r, sizeof lab->range);
    // Bradford: cone responses of both whites, scaled per cone, back to XYZ; then to sRGB.
    double src[3], dst[3], inv[9], scale[9] = {0}, t1[9], t2[9];
    mat_vec(s_bradford, lab->white, src);
    mat_vec(s_bradford, s_d65, dst);
    for (int i = 0; i < 3; i++) scale[4 * i] = dst[i] / src[i];
    mat_inv(s_bradford, inv);
    mat_mul(scale, s_bradford, t1);
    mat_mul(inv, t1, t2);
    mat_mul(s_xyz_to_srgb, t2, lab->to_rgb);
    return 0;
}

void colour_lab_to_srgb(const colour_lab *lab, const double *v, uint8_t *rgb) {
    double L = fn_clip(v[0], 0, 100), a = fn_clip(v[1], lab->range[0], lab->range[1]),
           b = fn_clip(v[2], lab->range[2], lab->range[3]);
    double m = (L + 16.0) / 116.0;
    double xyz[3] = {lab->white[0] * lab_g(m + a / 500.0), lab->white[1] * lab_g(m),
                     lab->white[2] * lab_g(m - b / 200.0)};
    double lin[3];
    mat_vec(lab->to_rgb, xyz, lin);
    for (int i = 0; i < 3; i++) rgb[i] = srgb_byte(lin[i]);
}

int32_t colour_colorant(const char *name) {
    if (!name) return colorant_named;
    if (!strcmp(name, "All")) return colorant_all;
    if (!strcmp(name, "None")) return colorant_none;
    return colorant_named;
}

// ---- conversions --------------------------------------------------------------------------------

// Shared set-up: decode (or defaults), table or cache. defaults: 2 per component.
static int conv_setup(colour_conv *c, int32_t kind, int32_t comps, int32_t bits, int32_t out_comps,
                      const double *decode, int32_t decode_count, const double *defaults) {
    memset(c, 0, sizeof *c);
    if (comps < 1 || comps > colour_max_comps || bits < 1 || bits > 16) return -1;
    c->kind = kind;
    c->comps = comps;
    c->bits = bits;
    c->out_comps = out_comps;
    bool given = decode && decode_count >= 2 * comps;
    for (int32_t i = 0; i < 2 * comps; i++) {
        c->decode[i] = given ? decode[i] : defaults[i];
        if (!std::isfinite(c->decode[i])) return -1;
    }
    if (comps == 1 && bits <= 8) {
        size_t entries = (size_t)1 << bits;
        c->table = (uint8_t *)malloc(entries * (size_t)out_comps);
        c->table_done = (uint8_t *)calloc(entries, 1);
        return c->table && c->table_done ? 0 : -1;
    }
    c->keys = (uint16_t *)malloc((size_t)colour_cache_slots * (size_t)comps * sizeof(uint16_t));
    c->vals = (uint8_t *)malloc((size_t)colour_cache_slots * (size_t)out_comps);
    c->used = (uint8_t *)calloc((size_t)colour_cache_slots, 1);
    return c->keys && c->vals && c->used ? 0 : -1;
}

int colour_conv_tint(colour_conv *c, const fn_set *fns, int32_t fn, int32_t comps, int32_t bits,
                     const double *decode, int32_t decode_count, int32_t alt_comps,
                     const colour_lab *alt_lab) {
    if (!c) return -1;
    memset(c, 0, sizeof *c);
    if (alt_lab) alt_comps = 3;
    if (alt_comps != 1 && alt_comps != 3 && alt_comps != 4) return -1;
    // The tint transform must take one input per component and give what the alternate needs.
    if (fn_inputs(fns, fn) != comps || fn_outputs(fns, fn) < alt_comps || !fns->defs[fn].ready)
        return -1;
    double unit[2 * colour_max_comps];
    for (int32_t i = 0; i < colour_max_comps; i++) unit[2 * i] = 0, unit[2 * i + 1] = 1;
    if (conv_setup(c, conv_tint, comps, bits, alt_comps, decode, decode_count, unit)) {
        colour_conv_free(c);
        return -1;
    }
    c->fns = fns;
    c->fn = fn;
    if (alt_lab) {
        c->alt_lab = 1;
        c->lab = *alt_lab;
    }
    return 0;
}

int colour_conv_all(colour_conv *c, int32_t bits, const double *decode, int32_t decode_count) {
    static const double unit[2] = {0, 1};
    if (!c) return -1;
    if (conv_setup(c, conv_all, 1, bits, 1, decode, decode_count, unit) == 0) return 0;
    colour_conv_free(c);
    return -1;
}

int colour_conv_lab(colour_conv *c, const colour_lab *lab, int32_t bits, const double *decode,
                    int32_t decode_count) {
    if (!c) return -1;
    memset(c, 0, sizeof *c);
    if (!lab) return -1;
    const double defaults[6] = {0, 100, lab->range[0], lab->range[1], lab->range[2], lab->range[3]};
    if (conv_setup(c, conv_lab, 3, bits, 3, decode, decode_count, defaults)) {
        colour_conv_free(c);
        return -1;
    }
    c->lab = *lab;
    return 0;
}

// One pixel of decoded values to its output bytes. 0, or -1 when the function fails.
static int convert_pixel(const colour_conv *c, const double *v, uint8_t *out) {
    if (c->kind == conv_lab) {
        colour_lab_to_srgb(&c->lab, v, out);
        return 0;
    }
    if (c->kind == conv_all) {
        out[0] = (uint8_t)((1.0 - fn_clip(v[0], 0, 1)) * 255.0 + 0.5);
        return 0;
    }
    double alt[fn_max_outputs];
    if (fn_eval(c->fns, c->fn, v, alt)) return -1;
    if (c->alt_lab) {
        colour_lab_to_srgb(&c->lab, alt, out);
        return 0;
    }
    for (int32_t j = 0; j < c->out_comps; j++) out[j] = (uint8_t)(fn_clip(alt[j], 0, 1) * 255.0 + 0.5);
    return 0;
}

// Raw samples of one pixel through /Decode, then converted.
template <typename T>
static int convert_raw(const colour_conv *c, const T *raw, uint8_t *out) {
    uint32_t mask = (1u << c->bits) - 1u;
    double v[colour_max_comps];
    for (int32_t i = 0; i < c->comps; i++) {
        double lo = c->decode[2 * i], hi = c->decode[2 * i + 1];
        v[i] = lo + (double)((uint32_t)raw[i] & mask) * (hi - lo) / (double)mask;
    }
    return convert_pixel(c, v, out);
}

template <typename T>
static int conv_row(colour_conv *c, const T *raw, uint64_t pixels, uint8_t *out) {
    if (!c || (!c->table && !c->keys)) return -1;
    const uint64_t comps = (uint64_t)c->comps, oc = (uint64_t)c->out_comps;
    uint32_t mask = (1u << c->bits) - 1u;
    if (c->table) {
        for (uint64_t x = 0; x < pixels; x++) {
            uint32_t s = (uint32_t)raw[x] & mask;
            uint8_t *e = c->table + (uint64_t)s * oc;
            if (!c->table_done[s]) {
                if (convert_raw(c, raw + x, e)) return -1;
                c->table_done[s] = 1;
            }
            for (uint64_t j = 0; j < oc; j++) out[x * oc + j] = e[j];
        }
        return 0;
    }
    // Two-way sets of slots: two colours that hash alike, common in an image, both stay.
    // used[set]: bits 0 and 1 say which way holds a pixel, bit 2 which way goes next.
    const uint32_t sets = (uint32_t)colour_cache_slots / 2u;
    for (uint64_t x = 0; x < pixels; x++) {
        const T *p = raw + x * comps;
        uint16_t key[colour_max_comps];
        uint32_t h = 2166136261u;  // FNV-1a over the masked samples
        for (uint64_t i = 0; i < comps; i++) {
            key[i] = (uint16_t)((uint32_t)p[i] & mask);
            h = (h ^ key[i]) * 16777619u;
        }
        uint32_t set = (h ^ h >> 15) & (sets - 1u);
        uint8_t &st = c->used[set];
        uint32_t way = 2;  // 2: not found
        // Keys and outputs are a few bytes: loops, not library calls.
        for (uint32_t w = 0; w < 2 && way == 2; w++) {
            const uint16_t *k = c->keys + (uint64_t)(2u * set + w) * comps;
            bool hit = (st >> w & 1u) != 0;
            for (uint64_t i = 0; hit && i < comps; i++) hit = k[i] == key[i];
            if (hit) way = w;
        }
        if (way == 2) {
            way = st >> 2 & 1u;
            uint16_t *k = c->keys + (uint64_t)(2u * set + way) * comps;
            st = (uint8_t)(st & ~(1u << way));  // the slot may be partly written on failure
            if (convert_raw(c, key, c->vals + (uint64_t)(2u * set + way) * oc)) return -1;
            for (uint64_t i = 0; i < comps; i++) k[i] = key[i];
            st = (uint8_t)(st | 1u << way);
        }
        st = (uint8_t)((st & 3u) | (way ^ 1u) << 2);  // the other way goes next
        const uint8_t *v = c->vals + (uint64_t)(2u * set + way) * oc;
        for (uint64_t j = 0; j < oc; j++) out[x * oc + j] = v[j];
    }
    return 0;
}

int colour_conv_row(colour_conv *c, const uint16_t *raw, uint64_t pixels, uint8_t *out) {
    return conv_row(c, raw, pixels, out);
}

int colour_conv_row8(colour_conv *c, const uint8_t *raw, uint64_t pixels, uint8_t *out) {
    return conv_row(c, raw, pixels, out);
}

void colour_conv_free(colour_conv *c) {
    if (!c) return;
    free(c->table);
    free(c->table_done);
    free(c->keys);
    free(c->vals);
    free(c->used);
    memset(c, 0, sizeof *c);
}
