// codec/jbig2_refine.cpp - generic refinement region decoding: a bitmap coded as changes to a
// reference bitmap, templates 0 and 1, with typical prediction.
#include "codec/jbig2_parts.h"

// The context of pixel (x, y): pixels already decoded around it in out, and the 3 x 3
// neighbourhood of its counterpart (x - dx, y - dy) in the reference.
static inline uint32_t refine_context(const jb2_refine_params *p, const jb2_bitmap *out, int64_t x,
                                      int64_t y) {
    const jb2_bitmap *r = p->ref;
    int64_t rx = x - p->dx, ry = y - p->dy;
    uint32_t c;
    if (p->tmpl == 0) {
        c = (uint32_t)jb2_pixel(out, x - 1, y);
        c |= (uint32_t)jb2_pixel(out, x + 1, y - 1) << 1;
        c |= (uint32_t)jb2_pixel(out, x, y - 1) << 2;
        c |= (uint32_t)jb2_pixel(out, x + p->atx[0], y + p->aty[0]) << 3;
        c |= (uint32_t)jb2_pixel(r, rx + 1, ry + 1) << 4;
        c |= (uint32_t)jb2_pixel(r, rx, ry + 1) << 5;
        c |= (uint32_t)jb2_pixel(r, rx - 1, ry + 1) << 6;
        c |= (uint32_t)jb2_pixel(r, rx + 1, ry) << 7;
        c |= (uint32_t)jb2_pixel(r, rx, ry) << 8;
        c |= (uint32_t)jb2_pixel(r, rx - 1, ry) << 9;
        c |= (uint32_t)jb2_pixel(r, rx + 1, ry - 1) << 10;
        c |= (uint32_t)jb2_pixel(r, rx, ry - 1) << 11;
        c |= (uint32_t)jb2_pixel(r, rx + p->atx[1], ry + p->aty[1]) << 12;
    } else {
        c = (uint32_t)jb2_pixel(out, x - 1, y);
        c |= (uint32_t)jb2_pixel(out, x + 1, y - 1) << 1;
        c |= (uint32_t)jb2_pixel(out, x, y - 1) << 2;
        c |= (uint32_t)jb2_pixel(out, x - 1, y - 1) << 3;
        c |= (uint32_t)jb2_pixel(r, rx + 1, ry + 1) << 4;
        c |= (uint32_t)jb2_pixel(r, rx, ry + 1) << 5;
        c |= (uint32_t)jb2_pixel(r, rx + 1, ry) << 6;
        c |= (uint32_t)jb2_pixel(r, rx, ry) << 7;
        c |= (uint32_t)jb2_pixel(r, rx - 1, ry) << 8;
        c |= (uint32_t)jb2_pixel(r, rx, ry - 1) << 9;
    }
    return c;
}

// Typical prediction: the value of the reference's 3 x 3 neighbourhood around (rx, ry) when all
// nine pixels agree, else -1.
static int typical_value(const jb2_bitmap *r, int64_t rx, int64_t ry) {
    int v = jb2_pixel(r, rx, ry);
    for (int64_t j = -1; j <= 1; j++)
        for (int64_t i = -1; i <= 1; i++)
            if (jb2_pixel(r, rx + i, ry + j) != v) return -1;
    return v;
}

int jb2_refine_decode(jb2_mq *d, uint8_t *stats, const jb2_refine_params *p, jb2_bitmap *out) {
    // The context that codes "typical prediction changes at this row": the reference's pixel under
    // the coded one set, every other pixel 0 (T.88 gives it in its own order of the template's
    // pixels, 0000000010000 and 0000001000; refine_context puts that pixel at bit 8 or 7).
    const uint32_t sltp = p->tmpl == 0 ? 0x0100u : 0x0080u;
    // A bitmap of no pixels (it may still claim 2^31 rows) decodes nothing that anything reads:
    // its decoder is its segment's own, or typical prediction is off (text and symbols).
    if (!out->data) return 0;
    int ltp = 0;
    for (uint32_t y = 0; y < out->h; y++) {
        if (d->failed && jb2_mq_charge(d, out->w) < 0) return -1;
        if (p->tpgron) ltp ^= jb2_mq_decode(d, stats + sltp);
        uint8_t *row = out->data + (uint64_t)y * out->stride;
        for (uint32_t x = 0; x < out->w; x++) {
            int bit = -1;
            if (ltp) bit = typical_value(p->ref, (int64_t)x - p->dx, (int64_t)y - p->dy);
            if (bit < 0) bit = jb2_mq_decode(d, stats + refine_context(p, out, x, y));
            if (bit) row[x >> 3] |= (uint8_t)(0x80u >> (x & 7));
        }
    }
    return 0;
}
