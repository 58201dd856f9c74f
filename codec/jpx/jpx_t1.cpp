// codec/jpx/jpx_t1.cpp - tier-1: the MQ arithmetic decoder, raw (bypass) bits, the three coding
// passes over a code-block's bit-planes, and the dequantisation of its coefficients into the
// tile-component's buffer (bands laid out as the inverse wavelet expects them).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "codec/jpx/jpx_internal.h"
#include "codec/mq_states.h"

// ---- the MQ decoder (ISO 15444-1 Annex C) -------------------------------------------------------

// A context is one byte: state << 1 | MPS. The table gives, per context byte, Qe and the context
// byte after an MPS and after an LPS.
struct mq_trans {
    uint64_t qe_hi;               // Qe where C holds it (bits 32..47)
    uint32_t qe;
    uint8_t after_mps, after_lps;
};
struct mq_table {
    mq_trans e[94];
};
static constexpr mq_table make_mq_table() {
    mq_table t{};
    for (int s = 0; s < 47; s++) {
        for (int mps = 0; mps < 2; mps++) {
            const mq_qe_row &q = mq_qe_rows[s];
            t.e[s * 2 + mps].qe = q.qe;
            t.e[s * 2 + mps].qe_hi = (uint64_t)q.qe << 32;
            t.e[s * 2 + mps].after_mps = (uint8_t)(q.nmps * 2 + mps);
            t.e[s * 2 + mps].after_lps = (uint8_t)(q.nlps * 2 + (q.swap ? 1 - mps : mps));
        }
    }
    return t;
}
static constexpr mq_table s_mq = make_mq_table();

// Contexts: 0..8 significance, 9..13 sign, 14..16 refinement, 17 run length, 18 uniform.
enum { ctx_rl = 17, ctx_uni = 18, n_ctx = 19 };

// The register state. C keeps 16 bits of the interval's base above bit 32 and, below it, the
// next ct bits of the segment (25 to 32 after a refill), so that renormalising by up to 15 bits
// refills at most once. The segment's bytes are followed by 0xFF 0xFF, which reads as a marker:
// the decoder then feeds 1-bits and never moves past the first of the two.
struct mqd {
    const uint8_t *bp;            // the last byte taken
    uint64_t c;
    uint32_t a;
    int32_t ct;
};

// Appends bytes below the ct bits held (after 0xFF, the next byte's top bit is a stuffed 0).
static inline void mq_fill(mqd &m) {
    do {
        if (m.bp[0] == 0xFF) {
            if (m.bp[1] > 0x8F) {
                m.c += (uint64_t)0xFF << (24 - m.ct);
                m.ct += 8;
            } else {
                m.bp++;
                m.c += (uint64_t)m.bp[0] << (25 - m.ct);
                m.ct += 7;
            }
        } else {
            m.bp++;
            m.c += (uint64_t)m.bp[0] << (24 - m.ct);
            m.ct += 8;
        }
    } while (m.ct <= 24);
}

static void mq_init(mqd &m, const uint8_t *start) {
    m.bp = start;
    m.c = (uint64_t)start[0] << 32;
    m.ct = 0;
    mq_fill(m);
    m.c <<= 7;
    m.ct -= 7;
    m.a = 0x8000;
}

// The lower Qe of the interval is the LPS's, the rest the MPS's, unless their sizes exchange them.
// An MPS that needs no renormalisation returns at once; otherwise the symbol and the new state
// are picked without branches (near-even contexts would mispredict them half the time).
static inline uint32_t mq_decode(mqd &m, uint8_t &cx) {
    const mq_trans &e = s_mq.e[cx];
    uint32_t a = m.a - e.qe, mps = cx & 1u;
    if (m.c >= e.qe_hi && (a & 0x8000)) {
        m.a = a;
        m.c -= e.qe_hi;
        return mps;
    }
    bool lps_half = m.c < e.qe_hi;
    bool is_mps = lps_half == (a < e.qe);
    m.c = lps_half ? m.c : m.c - e.qe_hi;
    m.a = lps_half ? e.qe : a;
    cx = is_mps ? e.after_mps : e.after_lps;
    // Renormalise: shift A up to bit 15 (a is at least 1) in one step.
    int32_t n = __builtin_clz(m.a) - 16;
    if (m.ct < n) mq_fill(m);
    m.a <<= n;
    m.c <<= n;
    m.ct -= n;
    return mps ^ (is_mps ? 0u : 1u);
}

static void reset_contexts(uint8_t *cx) {
    memset(cx, 0, n_ctx);
    cx[0] = 4 << 1;
    cx[ctx_rl] = 3 << 1;
    cx[ctx_uni] = 46 << 1;
}

// Raw bits of a bypass segment: after 0xFF the next byte's top bit is a stuffed 0; 0xFF followed
// by a byte above 0x8F is a marker (or the end), where 1-bits are fed without moving.
struct rawd {
    const uint8_t *bp;
    uint32_t c;
    int32_t ct;
};

static inline uint32_t raw_bit(rawd &r) {
    if (r.ct == 0) {
        if (r.c == 0xFF) {
            if (r.bp[0] > 0x8F) {
                r.c = 0xFF;
                r.ct = 8;
            } else {
                r.c = *r.bp++;
                r.ct = 7;
            }
        } else {
            r.c = *r.bp++;
            r.ct = 8;
        }
    }
    r.ct--;
    return (r.c >> r.ct) & 1u;
}

// ---- context tables -----------------------------------------------------------------------------

// The state of a column of a stripe (four rows) is one word: the significance of the 6 x 3
// window around it (the row above the stripe, its four rows, the row below; the columns left, own,
// right) at bit row * 3 + column, and per row r of the stripe whether it was visited in this
// bit-plane's significance pass, has been refined, and is negative. Row r's eight neighbours are
// then bits [3r, 3r + 9) less the centre bit 3r + 4.
constexpr uint32_t w_sig_all = 0x3FFFFu;
constexpr uint32_t w_own_sig = 1u << 4 | 1u << 7 | 1u << 10 | 1u << 13;
constexpr uint32_t w_nbr_mask = 0x1EFu;  // a row's window without its centre
constexpr int32_t w_visit = 18, w_refined = 22, w_neg = 26;
constexpr uint32_t w_visit_all = 0xFu << w_visit;

// Significance contexts by the 9-bit window (NW N NE / W . E / SW S SE from bit 0), for LL and LH
// bands (horizontal neighbours count most), HL bands (vertical ones), HH bands (diagonal ones).
struct zc_table {
    uint8_t v[3][512];
};
static constexpr uint8_t zc_context(int kind, int h, int v, int d) {
    if (kind == 1) {
        int t = h;
        h = v, v = t;
    }
    if (kind == 2) {
        int hv = h + v;
        if (d >= 3) return 8;
        if (d == 2) return hv >= 1 ? 7 : 6;
        if (d == 1) return hv >= 2 ? 5 : hv == 1 ? 4 : 3;
        return hv >= 2 ? 2 : hv == 1 ? 1 : 0;
    }
    if (h == 2) return 8;
    if (h == 1) return v >= 1 ? 7 : d >= 1 ? 6 : 5;
    if (v == 2) return 4;
    if (v == 1) return 3;
    return d >= 2 ? 2 : d == 1 ? 1 : 0;
}
static constexpr zc_table make_zc_table() {
    zc_table t{};
    for (int kind = 0; kind < 3; kind++) {
        for (int f = 0; f < 512; f++) {
            int h = (f >> 3 & 1) + (f >> 5 & 1), v = (f >> 1 & 1) + (f >> 7 & 1);
            int d = (f & 1) + (f >> 2 & 1) + (f >> 6 & 1) + (f >> 8 & 1);
            t.v[kind][f] = zc_context(kind, h, v, d);
        }
    }
    return t;
}
static constexpr zc_table s_zc = make_zc_table();

// Sign context and the bit it is XORed with (context << 1 | xor), by the significance and sign
// of the four direct neighbours: index n | w << 1 | e << 2 | s << 3 | signs << 4 (same order).
struct sc_table {
    uint8_t v[256];
};
static constexpr sc_table make_sc_table() {
    sc_table t{};
    for (int i = 0; i < 256; i++) {
        int contrib[4] = {0, 0, 0, 0};
        for (int k = 0; k < 4; k++)
            if (i & (1 << k)) contrib[k] = (i & (16 << k)) ? -1 : 1;
        int h = contrib[1] + contrib[2], v = contrib[0] + contrib[3];
        h = h > 1 ? 1 : h < -1 ? -1 : h;
        v = v > 1 ? 1 : v < -1 ? -1 : v;
        int x = 0;
        if (h < 0 || (h == 0 && v < 0)) h = -h, v = -v, x = 1;
        int ctx = h == 1 ? (v == 1 ? 13 : v == 0 ? 12 : 11) : (v == 0 ? 9 : 10);
        t.v[i] = (uint8_t)(ctx << 1 | x);
    }
    return t;
}
static constexpr sc_table s_sc = make_sc_table();

// ---- coding passes ------------------------------------------------------------------------------
// Each pass keeps the decoder registers and the code-block's geometry in locals, so that the
// stores to state words, magnitudes and context bytes (which may alias anything) do not force
// them back to memory on every symbol.

struct cblk_dec {
    uint32_t *st;                 // column words, stride ss, stripe s column x at s * ss + x + 1
    int32_t *dat;                 // magnitudes, stride w
    int32_t w, h, ss, nstripes;
    int32_t causal;
    const uint8_t *zc;            // the band's significance table
    uint8_t *cx;                  // n_ctx contexts
};

// Row r of the column at p (stripe s) becomes significant with sign neg: *word is the column's
// own word (held by the caller), the neighbours' words are updated in place. In causal mode a
// stripe's first row tells nothing to the stripe above.
static inline void set_sig(uint32_t *p, uint32_t &word, int32_t r, int32_t s, int32_t ss,
                           int32_t nstripes, int32_t causal, uint32_t neg) {
    word |= 1u << (3 * r + 4) | neg << (w_neg + r);
    p[-1] |= 1u << (3 * r + 5);
    p[1] |= 1u << (3 * r + 3);
    if (r == 0 && s > 0 && !causal) {
        uint32_t *q = p - ss;
        q[-1] |= 1u << 17, q[0] |= 1u << 16, q[1] |= 1u << 15;
    }
    if (r == 3 && s + 1 < nstripes) {
        uint32_t *q = p + ss;
        q[-1] |= 1u << 2, q[0] |= 1u << 1, q[1] |= 1u;
    }
}

// The rows of the column significant so far, one bit each (row r at bit r).
static inline uint32_t own_rows(uint32_t word) {
    return (word >> 4 & 1u) | (word >> 6 & 2u) | (word >> 8 & 4u) | (word >> 10 & 8u);
}

// The sign of row r of the column at p, own word `word`, by its four direct neighbours.
static inline uint32_t sign_index(const uint32_t *p, uint32_t word, int32_t r, int32_t ss) {
    uint32_t win = word >> (3 * r);
    uint32_t n = win >> 1 & 1u, wv = win >> 3 & 1u, e = win >> 5 & 1u, so = win >> 7 & 1u;
    uint32_t nn = n ? (r > 0 ? word >> (w_neg + r - 1) : p[-ss] >> (w_neg + 3)) & 1u : 0;
    uint32_t sn = so ? (r < 3 ? word >> (w_neg + r + 1) : p[ss] >> w_neg) & 1u : 0;
    uint32_t wn = wv ? p[-1] >> (w_neg + r) & 1u : 0;
    uint32_t en = e ? p[1] >> (w_neg + r) & 1u : 0;
    return n | wv << 1 | e << 2 | so << 3 | nn << 4 | wn << 5 | en << 6 | sn << 7;
}

static inline uint32_t decode_sign(mqd &m, uint8_t *cx, const uint32_t *p, uint32_t word, int32_t r,
                                   int32_t ss) {
    uint32_t sc = s_sc.v[sign_index(p, word, r, ss)];
    return mq_decode(m, cx[sc >> 1]) ^ (sc & 1u);
}

enum { pass_sig = 0, pass_ref = 1, pass_clean = 2 };

// One coding pass of kind `kind` over the code-block, stripe by stripe, column by column, rows
// top down; raw: the bypass bits instead of the MQ decoder (significance and refinement only).
template <int kind, bool raw>
static void run_pass(const cblk_dec &b, mqd &mq, rawd &rd, int32_t one, int32_t segsym) {
    const int32_t w = b.w, h = b.h, ss = b.ss, nstripes = b.nstripes, causal = b.causal;
    const uint8_t *const zc = b.zc;
    uint8_t *const cx = b.cx;
    mqd m = mq;
    rawd rr = rd;
    const int32_t v = one | (one >> 1), half = one >> 1;
    // A stripe of n rows; inlined twice, so that full stripes test no row against the height.
    auto stripe = [&](int32_t s, int32_t n) __attribute__((always_inline)) {
        uint32_t *p = b.st + s * ss + 1;
        int32_t *d = b.dat + 4 * s * w;
        for (int32_t x = 0; x < w; x++, p++, d++) {
            uint32_t word = *p;
            if (kind == pass_sig) {
                // Nothing significant around, or all four already significant: nothing to code.
                if (!(word & w_sig_all) || (n == 4 && (word & w_own_sig) == w_own_sig)) continue;
#pragma GCC unroll 4
                for (int32_t r = 0; r < 4; r++) {
                    if (r >= n) break;
                    uint32_t win = word >> (3 * r);
                    if ((win & 16u) || !(win & w_nbr_mask)) continue;
                    if (raw ? raw_bit(rr) : mq_decode(m, cx[zc[win & w_nbr_mask]]))
                        {
                        uint32_t neg = raw ? raw_bit(rr) : decode_sign(m, cx, p, word, r, ss);
                        d[r * w] = v;
                        set_sig(p, word, r, s, ss, nstripes, causal, neg);
                    }
                    word |= 1u << (w_visit + r);
                }
                *p = word;
            } else if (kind == pass_ref) {
                if (!(word & w_own_sig)) continue;
                // A loop over the rows to code (one bit each) branches once per row coded, not
                // once per row tested; the outcome of that test is as random as the image.
                uint32_t rows = own_rows(word) & ~(word >> w_visit);
                for (; rows; rows &= rows - 1) {
                    int32_t r = __builtin_ctz(rows);
                    uint32_t bit;
                    if (raw) {
                        bit = raw_bit(rr);
                    } else {
                        uint32_t ctx = 14u + ((word >> (3 * r) & w_nbr_mask) != 0);
                        ctx = (word >> (w_refined + r) & 1u) ? 16u : ctx;
                        bit = mq_decode(m, cx[ctx]);
                    }
                    d[r * w] += (int32_t)(bit << 1) * half - half;
                    word |= 1u << (w_refined + r);
                }
                *p = word;
            } else {
                int32_t r = 0;
                if (n == 4 && !(word & (w_sig_all | w_visit_all))) {
                    // Run-length mode: four rows without context in one symbol, then the first
                    // significant one's position.
                    if (!mq_decode(m, cx[ctx_rl])) continue;
                    r = (int32_t)(mq_decode(m, cx[ctx_uni]) << 1);
                    r |= (int32_t)mq_decode(m, cx[ctx_uni]);
                    d[r * w] = v;
                    set_sig(p, word, r, s, ss, nstripes, causal, decode_sign(m, cx, p, word, r, ss));
                    r++;
                }
                uint32_t rows = ~(own_rows(word) | word >> w_visit) & ((1u << n) - (1u << r));
                for (; rows; rows &= rows - 1) {
                    r = __builtin_ctz(rows);
                    uint32_t win = word >> (3 * r);
                    if (mq_decode(m, cx[zc[win & w_nbr_mask]])) {
                        d[r * w] = v;
                        set_sig(p, word, r, s, ss, nstripes, causal, decode_sign(m, cx, p, word, r, ss));
                    }
                }
                *p = word & ~w_visit_all;
            }
        }
    };
    for (int32_t s = 0; s + 1 < nstripes; s++) stripe(s, 4);
    stripe(nstripes - 1, h - 4 * (nstripes - 1));
    if (kind == pass_clean && segsym)
        for (int32_t i = 0; i < 4; i++) mq_decode(m, cx[ctx_uni]);
    mq = m;
    rd = rr;
}

// ---- one code-block -----------------------------------------------------------------------------

// Lays the code-block's segments out in t1->bytes, each followed by 0xFF 0xFF; seg_start[i] is
// where segment i starts. Returns the number of segments, or -1 without memory.
static int32_t gather_segments(jpx_t1 *t1, const jpx_tile *t, const jpx_cblk *cb, int32_t style,
                               int32_t npasses, uint32_t *seg_start, int32_t max_segs) {
    uint64_t total = 0;
    int32_t nseg = 0;
    for (int32_t k = cb->first; k >= 0; k = t->chunks[k].next) total += t->chunks[k].len + 2u;
    if (jpx_reserve((void **)&t1->bytes, &t1->bytes_cap, total + 2, 1) < 0) return -1;
    uint32_t pos = 0;
    int32_t pass = 0, seg_end = 0;
    for (int32_t k = cb->first; k >= 0 && pass < npasses; k = t->chunks[k].next) {
        const jpx_chunk *ch = &t->chunks[k];
        if (pass >= seg_end) {  // a new segment: close the previous one
            if (nseg == max_segs) break;
            if (nseg > 0) t1->bytes[pos++] = 0xFF, t1->bytes[pos++] = 0xFF;
            seg_start[nseg++] = pos;
            seg_end = jpx_segment_end(pass, style);
        }
        memcpy(t1->bytes + pos, t->data + ch->pos, ch->len);
        pos += ch->len;
        pass += ch->passes;
    }
    t1->bytes[pos++] = 0xFF, t1->bytes[pos++] = 0xFF;
    if (nseg == 0) seg_start[nseg++] = pos - 2;
    return nseg;
}

// Decodes code-block cb into t1->data (signed values, w x h, in units of 2^(drop-1): a half step
// of the last plane kept is in bit 0). Returns the passes decoded, 0 for none, -1 without memory.
static int32_t decode_cblk(jpx_t1 *t1, const jpx_tile *t, const jpx_cblk *cb, const jpx_band *bd,
                           int32_t style, int32_t roi, int32_t *drop) {
    int32_t w = cb->x1 - cb->x0, h = cb->y1 - cb->y0;
    int32_t planes = bd->mb + roi - cb->zbp;
    *drop = std::max(0, planes - jpx_max_planes);
    int32_t npasses = std::min(cb->npasses, 3 * (planes - *drop) - 2);
    if (planes <= 0 || npasses <= 0 || w <= 0 || h <= 0) return 0;
    int32_t ss = w + 2, nstripes = (h + 3) / 4;
    if (jpx_reserve((void **)&t1->flags, &t1->flags_cap, (uint64_t)ss * (uint32_t)nstripes, 4) < 0 ||
        jpx_reserve((void **)&t1->data, &t1->data_cap, (uint64_t)w * (uint32_t)h, 4) < 0)
        return -1;
    uint32_t seg_start[3 * jpx_max_planes + 2];
    int32_t nseg = gather_segments(t1, t, cb, style, npasses, seg_start, 3 * jpx_max_planes + 2);
    if (nseg < 0) return -1;
    uint8_t contexts[n_ctx];
    cblk_dec b;
    b.cx = contexts;
    b.st = t1->flags;
    b.dat = t1->data;
    b.w = w, b.h = h, b.ss = ss, b.nstripes = nstripes;
    b.causal = (style & jpx_cb_causal) != 0;
    b.zc = s_zc.v[bd->orient == jpx_band_hl ? 1 : bd->orient == jpx_band_hh ? 2 : 0];
    memset(b.st, 0, (size_t)ss * (size_t)nstripes * 4);
    memset(b.dat, 0, (size_t)w * (size_t)h * 4);
    reset_contexts(b.cx);
    mqd m = {t1->bytes, 0, 0, 0};
    rawd r = {t1->bytes, 0, 0};
    int32_t seg = -1, seg_end = 0, k = 0;
    for (; k < npasses; k++) {
        int32_t type = k == 0 ? 2 : (k - 1) % 3;  // 0 significance, 1 refinement, 2 cleanup
        int32_t plane = planes - 1 - (k + 2) / 3;
        int32_t one = 1 << (plane + 1 - *drop);
        bool raw = (style & jpx_cb_bypass) && k >= 10 && type != 2;
        if (k >= seg_end) {
            if (seg + 1 >= nseg) break;  // no data for the rest
            seg++;
            seg_end = jpx_segment_end(k, style);
            if (raw) r = rawd{t1->bytes + seg_start[seg], 0, 0};
            else mq_init(m, t1->bytes + seg_start[seg]);
        }
        int32_t segsym = style & jpx_cb_segsym;
        if (type == pass_sig) {
            if (raw) run_pass<pass_sig, true>(b, m, r, one, 0);
            else run_pass<pass_sig, false>(b, m, r, one, 0);
        } else if (type == pass_ref) {
            if (raw) run_pass<pass_ref, true>(b, m, r, one, 0);
            else run_pass<pass_ref, false>(b, m, r, one, 0);
        } else {
            run_pass<pass_clean, false>(b, m, r, one, segsym);
        }
        if (style & jpx_cb_reset) reset_contexts(b.cx);
    }
    // Signs into the values (v ^ -1) + 1 = -v, without a branch on each unpredictable sign.
    for (int32_t s = 0; s < nstripes; s++) {
        const uint32_t *p = b.st + s * ss + 1;
        for (int32_t rr = 0; rr < 4 && 4 * s + rr < h; rr++) {
            int32_t *d = b.dat + (4 * s + rr) * w;
            for (int32_t x = 0; x < w; x++) {
                int32_t neg = -(int32_t)(p[x] >> (w_neg + rr) & 1u);
                d[x] = (d[x] ^ neg) - neg;
            }
        }
    }
    return k;
}

// ---- dequantisation -----------------------------------------------------------------------------

// Writes the decoded code-block into the tile-component buffer at (ox, oy) (stride tw).
static void dequantise(const jpx_t1 *t1, const jpx_tcomp *tc, const jpx_band *bd, int32_t w,
                       int32_t h, int32_t drop, int32_t roi, int64_t ox, int64_t oy) {
    int64_t tw = tc->x1 - tc->x0;
    const int32_t *src = t1->data;
    if (tc->tccp->reversible) {
        int32_t *dst = (int32_t *)tc->buf + oy * tw + ox;
        if (roi == 0 && drop == 0) {
            for (int32_t y = 0; y < h; y++, dst += tw, src += w)
                for (int32_t x = 0; x < w; x++) dst[x] = src[x] / 2;
            return;
        }
        for (int32_t y = 0; y < h; y++, dst += tw, src += w) {
            for (int32_t x = 0; x < w; x++) {
                double v = ldexp(fabs((double)src[x]), drop - 1);
                if (roi && v >= ldexp(1.0, roi)) v = ldexp(v, -roi);
                v = std::min(v, 2147483647.0);
                int32_t iv = (int32_t)v;
                dst[x] = src[x] < 0 ? -iv : iv;
            }
        }
        return;
    }
    float *dst = (float *)tc->buf + oy * tw + ox;
    if (roi == 0) {
        float k = (float)ldexp(bd->step, drop - 1);
        for (int32_t y = 0; y < h; y++, dst += tw, src += w)
            for (int32_t x = 0; x < w; x++) dst[x] = (float)src[x] * k;
        return;
    }
    for (int32_t y = 0; y < h; y++, dst += tw, src += w) {
        for (int32_t x = 0; x < w; x++) {
            double v = ldexp(fabs((double)src[x]), drop - 1);
            if (v >= ldexp(1.0, roi)) v = ldexp(v, -roi);
            v *= bd->step;
            dst[x] = (float)(src[x] < 0 ? -v : v);
        }
    }
}

// Where band b of resolution r starts in the tile-component buffer.
static void band_origin(const jpx_tcomp *tc, int32_t r, const jpx_band *bd, int64_t *ox, int64_t *oy) {
    *ox = 0, *oy = 0;
    if (r == 0) return;
    const jpx_res *lo = &tc->res[r - 1];
    if (bd->orient == jpx_band_hl || bd->orient == jpx_band_hh) *ox = lo->x1 - lo->x0;
    if (bd->orient == jpx_band_lh || bd->orient == jpx_band_hh) *oy = lo->y1 - lo->y0;
}

// ---- entry --------------------------------------------------------------------------------------

void jpx_t1_free(jpx_t1 *t1) {
    free(t1->flags);
    free(t1->data);
    free(t1->bytes);
    memset(t1, 0, sizeof *t1);
}

int jpx_t1_decode_tile(jpx_t1 *t1, jpx_tile *t) {
    for (int32_t c = 0; c < t->ncomps; c++) {
        const jpx_tcomp *tc = &t->comps[c];
        int32_t style = tc->tccp->style, roi = tc->tccp->roi_shift;
        for (int32_t r = 0; r < tc->nres; r++) {
            const jpx_res *rs = &tc->res[r];
            for (int32_t p = 0; p < rs->pw * rs->ph; p++) {
                const jpx_prec *pr = &t->precs[rs->prec_first + p];
                for (int32_t b = 0; b < rs->nbands; b++) {
                    const jpx_band *bd = &rs->bands[b];
                    int64_t ox, oy;
                    band_origin(tc, r, bd, &ox, &oy);
                    int32_t n = pr->cb_w[b] * pr->cb_h[b];
                    for (int32_t i = 0; i < n; i++) {
                        const jpx_cblk *cb = &t->cblks[pr->cb_first[b] + i];
                        if (cb->first < 0) continue;
                        int32_t drop = 0;
                        int32_t done = decode_cblk(t1, t, cb, bd, style, roi, &drop);
                        if (done < 0) return -1;
                        if (done == 0) continue;
                        dequantise(t1, tc, bd, cb->x1 - cb->x0, cb->y1 - cb->y0, drop, roi,
                                   ox + cb->x0 - bd->x0, oy + cb->y0 - bd->y0);
                    }
                }
            }
        }
    }
    return 0;
}
