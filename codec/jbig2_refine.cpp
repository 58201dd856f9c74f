// codec/jbig2_refine.cpp - generic refinement region decoding: a bitmap coded as changes to a
// reference bitmap, templates 0 and 1, with typical prediction.
#include "codec/jbig2_parts.h"

// 24 pixels of a row (NULL: none, all 0) from column x - 8, leftmost in bit 23: pixel x + j of
// the row is bit 15 - j.
static inline uint32_t window(const uint8_t *row, uint32_t stride, int64_t x) {
    if (!row) return 0;
    return jb2_row_byte(row, stride, x - 8) << 16 | jb2_row_byte(row, stride, x) << 8 |
           jb2_row_byte(row, stride, x + 8);
}

// A row of b, or NULL outside it.
static inline const uint8_t *row_of(const jb2_bitmap *b, int64_t y) {
    return y < 0 || y >= (int64_t)b->h || !b->data ? nullptr : b->data + (uint64_t)y * b->stride;
}

// The pixels around pixel i of a window (bit 15 - i is the pixel itself): bit 2 the one left of
// it, bit 1 itself, bit 0 the one right of it.
static inline uint32_t three(uint32_t win, uint32_t i) { return (win >> (14 - i)) & 7u; }

// The rows of out from y0 on, eight pixels at a time: the context of pixel (x, y) is made of the
// pixels decoded around it (the row above from the window o1, the row so far from w0) and of the
// 3 x 3 neighbourhood of its counterpart (x - dx, y - dy) in the reference (windows r0, r1, r2
// of its rows above, at and below); the adaptive pixels of template 0 are read where they are.
// Typical prediction: in a typical row a pixel whose reference neighbourhood agrees takes its
// value.
static int refine_rows(jb2_mq *d, uint8_t *stats, const jb2_refine_params *p, jb2_bitmap *out) {
    // The context that codes "typical prediction changes at this row": the reference's pixel under
    // the coded one set, every other pixel 0 (T.88 gives it in its own order of the template's
    // pixels, 0000000010000 and 0000001000; here that pixel is bit 8 or 7).
    const uint32_t sltp = p->tmpl == 0 ? 0x0100u : 0x0080u;
    const jb2_bitmap *r = p->ref;
    const bool at0 = p->atx[0] == -1 && p->aty[0] == -1, at1 = p->atx[1] == -1 && p->aty[1] == -1;
    int ltp = 0;
    for (uint32_t y = 0; y < out->h; y++) {
        if (p->tpgron) ltp ^= jb2_mq_decode(d, stats + sltp);
        uint8_t *row = out->data + (uint64_t)y * out->stride;
        const uint8_t *o1 = y > 0 ? row - out->stride : nullptr;
        const int64_t ry = (int64_t)y - p->dy;
        const uint8_t *ra = row_of(r, ry - 1), *rb = row_of(r, ry), *rc = row_of(r, ry + 1);
        uint32_t w0 = 0;
        for (uint32_t k = 0; k < out->stride; k++) {
            const int64_t x0 = (int64_t)k * 8, rx0 = x0 - p->dx;
            const uint32_t n = out->w - k * 8 < 8 ? out->w - k * 8 : 8;
            // Past the data, each eight pixels are paid for before they are decoded (see jb2_mq).
            if (d->fill && jb2_mq_charge(d, n) < 0) return -1;
            const uint32_t u = window(o1, out->stride, x0), r0 = window(ra, r->stride, rx0),
                           r1 = window(rb, r->stride, rx0), r2 = window(rc, r->stride, rx0);
            for (uint32_t i = 0; i < n; i++) {
                const uint32_t a = three(r0, i), b = three(r1, i), c = three(r2, i);
                int bit;
                if (ltp && a == b && b == c && (b == 0 || b == 7)) {
                    bit = b & 1;
                } else {
                    const int64_t x = x0 + i;
                    uint32_t cx = (w0 & 1) | (three(u, i) & 3) << 1;  // (x - 1, y), (x + 1, y - 1), (x, y - 1)
                    if (p->tmpl == 0) {
                        uint32_t pa = at0 ? three(u, i) >> 2
                                          : (uint32_t)jb2_pixel(out, x + p->atx[0], (int64_t)y + p->aty[0]);
                        uint32_t pb = at1 ? a >> 2
                                          : (uint32_t)jb2_pixel(r, x - p->dx + p->atx[1], ry + p->aty[1]);
                        // (x + 1, x, x - 1) of the rows below, at and above, then the adaptive pixels.
                        cx |= pa << 3 | (c & 1) << 4 | (c & 2) << 4 | (c & 4) << 4 | (b & 1) << 7 |
                              (b & 2) << 7 | (b & 4) << 7 | (a & 1) << 10 | (a & 2) << 10 | pb << 12;
                    } else {
                        cx |= (three(u, i) >> 2) << 3 | (c & 1) << 4 | (c & 2) << 4 | (b & 1) << 6 |
                              (b & 2) << 6 | (b & 4) << 6 | (a & 2) << 8;
                    }
                    bit = jb2_mq_decode(d, stats + cx);
                }
                if (bit) row[k] |= (uint8_t)(0x80u >> i);
                w0 = w0 << 1 | (uint32_t)bit;
            }
        }
    }
    return 0;
}

int jb2_refine_decode(jb2_mq *d, uint8_t *stats, const jb2_refine_params *p, jb2_bitmap *out) {
    // A bitmap of no pixels (it may still claim 2^31 rows) decodes nothing that anything reads:
    // its decoder is its segment's own, or typical prediction is off (text and symbols).
    if (!out->data) return 0;
    return refine_rows(d, stats, p, out);
}
