// codec/jbig2_generic.cpp - JBIG2 bitmaps, the MQ arithmetic decoder with its integer decoders,
// and generic region decoding (arithmetic templates 0 to 3, or MMR through the Group 4 decoder).
#include <cstdlib>
#include <cstring>

#include "codec/ccitt.h"
#include "codec/jbig2_parts.h"
#include "codec/mq_states.h"

// The MQ table of codec/mq_states.h per context value (state * 2 + more probable symbol), built by the compiler.
struct mq_state_table {
    jb2_mq_state s[94];
    constexpr mq_state_table() : s() {
        for (int i = 0; i < 94; i++) {
            const mq_qe_row &r = mq_qe_rows[i >> 1];
            int mps = i & 1;
            s[i].qe = r.qe;
            s[i].nmps = (uint8_t)(r.nmps * 2 + mps);
            s[i].nlps = (uint8_t)(r.nlps * 2 + (mps ^ r.swap));
        }
    }
};
static constexpr mq_state_table mq_table;
const jb2_mq_state jb2_mq_states[94] = {
#define S(i) mq_table.s[i]
    S(0),  S(1),  S(2),  S(3),  S(4),  S(5),  S(6),  S(7),  S(8),  S(9),  S(10), S(11), S(12),
    S(13), S(14), S(15), S(16), S(17), S(18), S(19), S(20), S(21), S(22), S(23), S(24), S(25),
    S(26), S(27), S(28), S(29), S(30), S(31), S(32), S(33), S(34), S(35), S(36), S(37), S(38),
    S(39), S(40), S(41), S(42), S(43), S(44), S(45), S(46), S(47), S(48), S(49), S(50), S(51),
    S(52), S(53), S(54), S(55), S(56), S(57), S(58), S(59), S(60), S(61), S(62), S(63), S(64),
    S(65), S(66), S(67), S(68), S(69), S(70), S(71), S(72), S(73), S(74), S(75), S(76), S(77),
    S(78), S(79), S(80), S(81), S(82), S(83), S(84), S(85), S(86), S(87), S(88), S(89), S(90),
    S(91), S(92), S(93),
#undef S
};

// ---- Bitmaps ----

int jb2_bitmap_init(jb2_bitmap *b, uint32_t w, uint32_t h, uint64_t cap) {
    b->w = b->h = b->stride = 0;
    b->data = nullptr;
    if ((uint64_t)w * h > cap) return -1;
    uint32_t stride = (uint32_t)(((uint64_t)w + 7u) / 8u);
    uint64_t bytes = (uint64_t)stride * h;
    if (bytes > 0) {
        b->data = (uint8_t *)calloc(1, (size_t)bytes);
        if (!b->data) return -1;
    }
    b->w = w;
    b->h = h;
    b->stride = stride;
    return 0;
}

void jb2_bitmap_free(jb2_bitmap *b) {
    free(b->data);
    b->data = nullptr;
    b->w = b->h = b->stride = 0;
}

// Clears the bits past the width in the last byte of rows y0..y1 (those written: a row never
// written is still 0, and is not touched).
static void clear_padding(jb2_bitmap *b, uint64_t y0, uint64_t y1) {
    if (!b->data || (b->w & 7) == 0) return;
    uint8_t keep = (uint8_t)(0xFF00u >> (b->w & 7));
    for (uint64_t y = y0; y < y1; y++) b->data[y * b->stride + b->stride - 1] &= keep;
}

void jb2_bitmap_fill(jb2_bitmap *b, int value) {
    if (!b->data) return;
    memset(b->data, value ? 0xFF : 0, (size_t)b->stride * b->h);
    clear_padding(b, 0, b->h);
}

template <int Op>
static inline uint8_t combine(uint8_t d, uint32_t s, uint8_t mask) {
    uint8_t v;
    switch (Op) {
    case jb2_op_or: v = (uint8_t)(d | s); break;
    case jb2_op_and: v = (uint8_t)(d & s); break;
    case jb2_op_xor: v = (uint8_t)(d ^ s); break;
    case jb2_op_xnor: v = (uint8_t)~(d ^ s); break;
    default: v = (uint8_t)s; break;
    }
    return (uint8_t)((d & ~mask) | (v & mask));
}

// Rows y0..y1 of dst, bytes b0..b1, from src placed at (x, y); first and last: the masks of the
// end bytes. The source byte under destination byte b0 starts at source column b0 * 8 - x, which
// is k0 * 8 + sh; the bytes between the ends read two whole source bytes each.
template <int Op>
static void compose_rows(jb2_bitmap *dst, const jb2_bitmap *src, int64_t x, int64_t y, int64_t y0,
                         int64_t y1, int64_t b0, int64_t b1, uint8_t first, uint8_t last) {
    const int64_t off = b0 * 8 - x, k0 = off >> 3;  // off >= -7
    const uint32_t sh = (uint32_t)(off & 7);
    for (int64_t row = y0; row < y1; row++) {
        uint8_t *d = dst->data + (uint64_t)row * dst->stride;
        const uint8_t *s = src->data + (uint64_t)(row - y) * src->stride;
        if (b0 == b1) {
            d[b0] = combine<Op>(d[b0], jb2_row_byte(s, src->stride, off), (uint8_t)(first & last));
            continue;
        }
        d[b0] = combine<Op>(d[b0], jb2_row_byte(s, src->stride, off), first);
        const uint8_t *sp = s + (k0 + 1);
        if (sh == 0) {
            for (int64_t bi = b0 + 1; bi < b1; bi++, sp++) d[bi] = combine<Op>(d[bi], *sp, 0xFF);
        } else {
            for (int64_t bi = b0 + 1; bi < b1; bi++, sp++)
                d[bi] = combine<Op>(d[bi], (uint32_t)((sp[0] << sh | sp[1] >> (8 - sh)) & 0xFF), 0xFF);
        }
        d[b1] = combine<Op>(d[b1], jb2_row_byte(s, src->stride, off + (b1 - b0) * 8), last);
    }
}

void jb2_compose(jb2_bitmap *dst, const jb2_bitmap *src, int64_t x, int64_t y, int op) {
    if (!dst->data || !src->data) return;
    int64_t x0 = x < 0 ? 0 : x, x1 = x + (int64_t)src->w;
    int64_t y0 = y < 0 ? 0 : y, y1 = y + (int64_t)src->h;
    if (x1 > (int64_t)dst->w) x1 = dst->w;
    if (y1 > (int64_t)dst->h) y1 = dst->h;
    if (x0 >= x1 || y0 >= y1) return;
    int64_t b0 = x0 >> 3, b1 = (x1 - 1) >> 3;
    uint8_t first = (uint8_t)(0xFFu >> (x0 & 7)), last = (uint8_t)(0xFF00u >> (((x1 - 1) & 7) + 1));
    switch (op) {
    case jb2_op_or: compose_rows<jb2_op_or>(dst, src, x, y, y0, y1, b0, b1, first, last); break;
    case jb2_op_and: compose_rows<jb2_op_and>(dst, src, x, y, y0, y1, b0, b1, first, last); break;
    case jb2_op_xor: compose_rows<jb2_op_xor>(dst, src, x, y, y0, y1, b0, b1, first, last); break;
    case jb2_op_xnor: compose_rows<jb2_op_xnor>(dst, src, x, y, y0, y1, b0, b1, first, last); break;
    default: compose_rows<jb2_op_replace>(dst, src, x, y, y0, y1, b0, b1, first, last); break;
    }
}

int jb2_bitmap_crop(const jb2_bitmap *src, int64_t x, int64_t y, uint32_t w, uint32_t h,
                    jb2_bitmap *out) {
    if (jb2_bitmap_init(out, w, h, UINT64_MAX) < 0) return -1;
    if (!out->data || !src->data) return 0;  // no pixels to copy: no row is visited
    // Only the rows of both bitmaps: a bitmap of no width may still claim 2^32 rows.
    int64_t r0 = y < 0 ? -y : 0, r1 = (int64_t)src->h - y;
    if (r1 > (int64_t)h) r1 = h;
    for (int64_t r = r0; r < r1; r++) {
        const uint8_t *s = src->data + (uint64_t)(y + r) * src->stride;
        uint8_t *d = out->data + (uint64_t)r * out->stride;
        for (uint32_t i = 0; i < out->stride; i++)
            d[i] = (uint8_t)jb2_row_byte(s, src->stride, x + (int64_t)i * 8);
    }
    if (r0 < r1) clear_padding(out, (uint64_t)r0, (uint64_t)r1);
    return 0;
}

// ---- The arithmetic decoder (ITU-T T.88 Annex E) ----

void jb2_mq_init(jb2_mq *d, const uint8_t *data, uint64_t len, uint64_t *spare) {
    d->data = data;
    d->len = len;
    d->pos = 0;
    d->fill = 0;
    d->failed = 0;
    d->spare = spare;
    d->c = (len > 0 ? data[0] : 0xFFu) << 16;
    jb2_mq_bytein(d);
    d->c <<= 7;
    d->ct -= 7;
    d->a = 0x8000u;
}

// The integer decoding procedure: a sign, a prefix choosing one of six ranges, then the offset
// in the range; every bit in the context of the bits before it (PREV).
int jb2_int_decode(jb2_mq *d, uint8_t *cx, int64_t *value) {
    static const struct {
        uint32_t bits, offset;
    } ranges[6] = {{2, 0}, {4, 4}, {6, 20}, {8, 84}, {12, 340}, {32, 4436}};
    uint32_t prev = 1;
    auto bit = [&]() {
        int b = jb2_mq_decode(d, cx + prev);
        prev = prev < 256 ? (prev << 1) | (uint32_t)b : (((prev << 1) | (uint32_t)b) & 511u) | 256u;
        return b;
    };
    int sign = bit();
    int r = 0;
    while (r < 5 && bit()) r++;
    uint64_t v = 0;
    for (uint32_t i = 0; i < ranges[r].bits; i++) v = (v << 1) | (uint64_t)bit();
    v += ranges[r].offset;
    if (sign && v == 0) return 1;
    *value = sign ? -(int64_t)v : (int64_t)v;
    return 0;
}

uint32_t jb2_iaid_decode(jb2_mq *d, uint8_t *cx, uint32_t codelen) {
    uint32_t prev = 1;
    for (uint32_t i = 0; i < codelen; i++) prev = (prev << 1) | (uint32_t)jb2_mq_decode(d, cx + prev);
    return prev - (1u << codelen);
}

// ---- Generic regions ----

// Each template's context with the adaptive pixels at their usual places is three windows: bits
// of the row two above (n2 pixels ending at column x + r2, shifted to s2), of the row above (n1
// ending at x + r1, at s1), and the n0 pixels left of x in the current row (at 0).
struct tmpl_shape {
    int n2, r2, s2, n1, r1, s1, n0;
    uint32_t sltp;  // the context that codes "this row repeats the one above"
    int atbit[4];   // where each adaptive pixel sits in the context
    int8_t atx[4], aty[4];  // the usual places of the adaptive pixels
    int nat;
};
static constexpr tmpl_shape shapes[4] = {
    {5, 2, 11, 7, 3, 4, 4, 0x9B25, {4, 10, 11, 15}, {3, -3, 2, -2}, {-1, -1, -2, -2}, 4},
    {4, 2, 9, 6, 3, 3, 3, 0x0795, {3, 0, 0, 0}, {3, 0, 0, 0}, {-1, 0, 0, 0}, 1},
    {3, 1, 7, 5, 2, 2, 2, 0x00E5, {2, 0, 0, 0}, {2, 0, 0, 0}, {-1, 0, 0, 0}, 1},
    {0, 0, 0, 6, 2, 4, 4, 0x0195, {4, 0, 0, 0}, {2, 0, 0, 0}, {-1, 0, 0, 0}, 1},
};

// 24 pixels of a row around byte k (the byte before, k, the byte after), or 0 for no row.
static inline uint32_t row_window(const uint8_t *row, uint32_t stride, uint32_t k) {
    if (!row) return 0;
    uint32_t v = (uint32_t)row[k] << 8;
    if (k > 0) v |= (uint32_t)row[k - 1] << 16;
    if (k + 1 < stride) v |= row[k + 1];
    return v;
}

// Decodes the rows of one template. General: adaptive pixels away from their usual places, or a
// skip bitmap; each pixel is then stored as it is decoded, so an adaptive pixel in the current row
// reads it: one less than 32 pixels to the left from the row's bits so far (w0), any other from a
// window of its row read at each byte (pixels not decoded yet read 0, as they are). Otherwise
// pixels are gathered eight to a byte.
template <int T, bool General>
static int generic_rows(jb2_mq *dp, uint8_t *stats, const jb2_generic_params *p, jb2_bitmap *out) {
    const tmpl_shape &sh = shapes[T];
    const uint32_t m2 = (1u << sh.n2) - 1u, m1 = (1u << sh.n1) - 1u, m0 = (1u << sh.n0) - 1u;
    // General: the adaptive pixels away from their usual places are read where they are (the
    // windows hold the others).
    uint32_t atmask = 0;
    int by_w0[4], by_win[4], nw0 = 0, nwin = 0;  // the moved ones, by where they are read
    const uint8_t *at_row[4] = {};
    if (General)
        for (int i = 0; i < sh.nat; i++)
            if (p->atx[i] != sh.atx[i] || p->aty[i] != sh.aty[i]) {
                atmask |= 1u << sh.atbit[i];
                if (p->aty[i] == 0 && p->atx[i] < 0 && p->atx[i] >= -31) by_w0[nw0++] = i;
                else by_win[nwin++] = i;
            }
    jb2_mq d = *dp;  // in registers for the loop
    const uint32_t w = out->w, stride = out->stride;
    int ltp = 0;
    int rc = 0;
    // Past the data, each byte of pixels is paid for before it is decoded (see jb2_mq).
    for (uint32_t y = 0; y < out->h && rc == 0; y++) {
        uint8_t *row = out->data + (uint64_t)y * stride;
        if (p->tpgdon) {
            ltp ^= jb2_mq_decode(&d, stats + sh.sltp);
            if (ltp) {
                if (d.fill && jb2_mq_charge(&d, w) < 0) rc = -1;
                else if (y > 0) memcpy(row, row - stride, stride);
                continue;
            }
        }
        const uint8_t *r1 = y >= 1 ? row - stride : nullptr;
        const uint8_t *r2 = y >= 2 ? row - 2 * (uint64_t)stride : nullptr;
        for (int m = 0; m < nwin; m++) {
            const int64_t ay = (int64_t)y + p->aty[by_win[m]];
            at_row[m] = ay >= 0 && ay < (int64_t)out->h ? out->data + (uint64_t)ay * stride : nullptr;
        }
        uint32_t w0 = 0;
        for (uint32_t k = 0; k < stride; k++) {
            uint32_t v1 = row_window(r1, stride, k), v2 = sh.n2 ? row_window(r2, stride, k) : 0;
            uint32_t byte = 0;
            uint32_t n = w - k * 8 < 8 ? w - k * 8 : 8;
            if (d.fill && jb2_mq_charge(&d, n) < 0) {
                rc = -1;
                break;
            }
            uint32_t at_ctx[8] = {};  // the window-read adaptive pixels of pixel i, in place
            for (int m = 0; m < nwin; m++) {
                if (!at_row[m]) continue;
                const int64_t ax = (int64_t)k * 8 + p->atx[by_win[m]];
                const uint32_t win = jb2_row_byte(at_row[m], stride, ax) << 8 |
                                     jb2_row_byte(at_row[m], stride, ax + 8);  // pixel i: bit 15 - i
                const int bit = sh.atbit[by_win[m]];
                for (int i = 0; i < 8; i++) at_ctx[i] |= ((win >> (15 - i)) & 1u) << bit;
            }
            for (uint32_t i = 0; i < n; i++) {
                uint32_t ctx = (((v1 >> (15 - i - sh.r1)) & m1) << sh.s1) | (w0 & m0);
                if (sh.n2) ctx |= ((v2 >> (15 - i - sh.r2)) & m2) << sh.s2;
                int bit;
                if (General) {
                    int64_t x = (int64_t)k * 8 + i;
                    if (p->skip && jb2_pixel(p->skip, x, y)) {
                        w0 = w0 << 1;
                        continue;
                    }
                    ctx = (ctx & ~atmask) | at_ctx[i];
                    for (int m = 0; m < nw0; m++)
                        ctx |= ((w0 >> (-p->atx[by_w0[m]] - 1)) & 1u) << sh.atbit[by_w0[m]];
                    bit = jb2_mq_decode(&d, stats + ctx);
                    if (bit) row[k] |= (uint8_t)(0x80u >> i);
                } else {
                    bit = jb2_mq_decode(&d, stats + ctx);
                    byte |= (uint32_t)bit << (7 - i);
                }
                w0 = (w0 << 1) | (uint32_t)bit;
            }
            if (!General) row[k] = (uint8_t)byte;
        }
    }
    *dp = d;
    return rc;
}

template <int T>
static int generic_template(jb2_mq *d, uint8_t *stats, const jb2_generic_params *p,
                            jb2_bitmap *out) {
    const tmpl_shape &sh = shapes[T];
    bool usual = p->skip == nullptr;
    for (int i = 0; i < sh.nat; i++)
        if (p->atx[i] != sh.atx[i] || p->aty[i] != sh.aty[i]) usual = false;
    return usual ? generic_rows<T, false>(d, stats, p, out) : generic_rows<T, true>(d, stats, p, out);
}

int jb2_generic_decode(jb2_mq *d, uint8_t *stats, const jb2_generic_params *p, jb2_bitmap *out) {
    if (!out->data) return 0;
    switch (p->tmpl) {
    case 0: return generic_template<0>(d, stats, p, out);
    case 1: return generic_template<1>(d, stats, p, out);
    case 2: return generic_template<2>(d, stats, p, out);
    default: return generic_template<3>(d, stats, p, out);
    }
}

int jb2_mmr_decode(const uint8_t *data, uint64_t len, jb2_bitmap *out, uint64_t *used) {
    if (used) *used = 0;
    if (!out->data) return 0;
    ccitt_params cp;
    ccitt_params_default(&cp);
    cp.k = -1;
    cp.columns = (int32_t)out->w;
    cp.rows = (int32_t)out->h;
    cp.end_of_block = 1;
    cp.black_is_1 = 1;  // JBIG2 bitmaps: 1 is black
    uint8_t *rows = nullptr;
    uint64_t rows_len = 0, src_used = 0;
    int32_t n = ccitt_decode(data, len, &cp, &rows, &rows_len, &src_used);
    if (n < 0) return -1;
    uint64_t want = (uint64_t)out->stride * out->h, got = rows_len < want ? rows_len : want;
    memcpy(out->data, rows, (size_t)got);
    free(rows);
    clear_padding(out, 0, (got + out->stride - 1) / out->stride);
    if (used) *used = src_used;
    return (uint64_t)n < out->h ? -1 : 0;
}
