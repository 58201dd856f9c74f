// codec/jpx/jpx_t2.cpp - tier-2: a tile's geometry (tile-components, resolutions, bands,
// precincts, code-blocks, tag trees), the progression orders, and packet headers read into the
// code-blocks' lists of data chunks.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "codec/jpx/jpx_internal.h"

// Steps of the progression loops allowed per byte of packet data and headers: every packet takes
// at least one byte, so a file within this budget has all its packets read, while one whose
// progression changes revisit a large tile without data stops instead of spinning.
const uint64_t steps_per_byte = 256;
const uint64_t steps_base = 1u << 20;

// ---- file-local structs -------------------------------------------------------------------------

// Packet header bits: after a 0xFF byte the next byte carries 7 bits.
struct bitrd {
    const uint8_t *d;
    uint32_t pos, end;
    uint32_t cur;
    int32_t bits;
    int32_t last_ff;
    int32_t exhausted;
};

// A code-block's share of the packet being read, until the packet's body is reached.
struct pending {
    uint32_t cblk;
    uint32_t len;
    uint8_t passes;
};

struct t2_state {
    jpx_tile *t;
    bitrd hb;                     // header bits (packed headers, or the data itself)
    uint32_t body;                // next byte of packet data
    pending *pend;
    uint32_t npend, cap_pend;
    uint64_t steps, budget;
    int32_t stop;
};

// A precinct in a position-driven progression, with the reference-grid point where it comes.
struct prec_key {
    uint64_t y, x;
    uint32_t c, r, p;
};

// ---- arithmetic ---------------------------------------------------------------------------------

static inline int64_t ceil_div_pow2(int64_t a, int32_t e) {
    return -((-a) >> e);  // arithmetic shift: floor of -a / 2^e
}
static inline int64_t floor_div_pow2(int64_t a, int32_t e) { return a >> e; }

// ---- geometry -----------------------------------------------------------------------------------

static inline uint32_t tt_nodes(int32_t w, int32_t h) {
    uint32_t n = 0;
    for (;;) {
        n += (uint32_t)w * (uint32_t)h;
        if (w <= 1 && h <= 1) return n;
        w = (w + 1) >> 1, h = (h + 1) >> 1;
    }
}

// Quantisation of band `bi` (0: LL) at decomposition level nb.
static void band_quant(const jpx_tccp *q, int32_t prec, int32_t bi, int32_t nb, jpx_band *b) {
    int32_t expn, mant;
    if (q->qstyle == 1) {
        expn = (q->steps[0] >> 11) - q->levels + nb;
        mant = q->steps[0] & 0x7FF;
    } else {
        uint16_t v = q->steps[std::min(bi, q->nsteps - 1)];
        expn = v >> 11;
        mant = v & 0x7FF;
    }
    if (expn < 0) expn = 0;
    b->mb = q->guard + expn - 1;
    if (b->mb < 0) b->mb = 0;
    int32_t gain = b->orient == jpx_band_ll ? 0 : b->orient == jpx_band_hh ? 2 : 1;
    b->step = (float)ldexp(1.0 + mant / 2048.0, prec + gain - expn);
}

// Walks tile t's structure. count: only adds up precincts, code-blocks and tag tree nodes (with
// the caps checked); otherwise fills the arrays sized by the counting walk. 0, or -1 above a cap.
static int walk_tile(jpx_tile *t, const jpx_siz *s, int count) {
    uint64_t nprec = 0, ncb = 0, nnodes = 0;
    for (int32_t c = 0; c < t->ncomps; c++) {
        jpx_tcomp *tc = &t->comps[c];
        const jpx_tccp *q = tc->tccp;
        int64_t dx = s->dx[c], dy = s->dy[c];
        tc->x0 = (int32_t)((t->x0 + dx - 1) / dx), tc->x1 = (int32_t)((t->x1 + dx - 1) / dx);
        tc->y0 = (int32_t)((t->y0 + dy - 1) / dy), tc->y1 = (int32_t)((t->y1 + dy - 1) / dy);
        int32_t nl = q->levels;
        tc->nres = nl + 1;
        for (int32_t r = 0; r <= nl; r++) {
            jpx_res *rs = &tc->res[r];
            int32_t sh = nl - r;
            rs->x0 = (int32_t)ceil_div_pow2(tc->x0, sh), rs->x1 = (int32_t)ceil_div_pow2(tc->x1, sh);
            rs->y0 = (int32_t)ceil_div_pow2(tc->y0, sh), rs->y1 = (int32_t)ceil_div_pow2(tc->y1, sh);
            rs->ppx = q->pp[r] & 15, rs->ppy = q->pp[r] >> 4;
            int64_t pw = rs->x1 > rs->x0 ? ceil_div_pow2(rs->x1, rs->ppx) - floor_div_pow2(rs->x0, rs->ppx) : 0;
            int64_t ph = rs->y1 > rs->y0 ? ceil_div_pow2(rs->y1, rs->ppy) - floor_div_pow2(rs->y0, rs->ppy) : 0;
            if (pw == 0 || ph == 0) pw = ph = 0;
            if ((uint64_t)pw * (uint64_t)ph > jpx_max_tile_precincts - nprec) return -1;
            rs->pw = (int32_t)pw, rs->ph = (int32_t)ph;
            rs->prec_first = (int32_t)nprec;
            rs->nbands = r == 0 ? 1 : 3;
            int32_t nb = r == 0 ? nl : nl - r + 1;  // decomposition level of the bands
            for (int32_t b = 0; b < rs->nbands; b++) {
                jpx_band *bd = &rs->bands[b];
                bd->orient = r == 0 ? jpx_band_ll : b + 1;
                int64_t xo = (bd->orient == jpx_band_hl || bd->orient == jpx_band_hh) ? 1 : 0;
                int64_t yo = (bd->orient == jpx_band_lh || bd->orient == jpx_band_hh) ? 1 : 0;
                int64_t half = r == 0 ? 0 : (int64_t)1 << (nb - 1);
                bd->x0 = (int32_t)ceil_div_pow2(tc->x0 - half * xo, nb);
                bd->x1 = (int32_t)ceil_div_pow2(tc->x1 - half * xo, nb);
                bd->y0 = (int32_t)ceil_div_pow2(tc->y0 - half * yo, nb);
                bd->y1 = (int32_t)ceil_div_pow2(tc->y1 - half * yo, nb);
                bd->pw_exp = r == 0 ? rs->ppx : rs->ppx - 1;
                bd->ph_exp = r == 0 ? rs->ppy : rs->ppy - 1;
                bd->cbw = std::min<int32_t>(q->cbw, bd->pw_exp);
                bd->cbh = std::min<int32_t>(q->cbh, bd->ph_exp);
                band_quant(q, s->prec[c], r == 0 ? 0 : 3 * (r - 1) + b + 1, nb, bd);
            }
            for (int64_t j = 0; j < ph; j++) {
                for (int64_t i = 0; i < pw; i++) {
                    jpx_prec *pr = count ? nullptr : &t->precs[nprec];
                    if (pr) pr->next_layer = 0;
                    for (int32_t b = 0; b < rs->nbands; b++) {
                        const jpx_band *bd = &rs->bands[b];
                        // The precinct's area in band coordinates, clipped to the band.
                        int64_t px0 = (floor_div_pow2(rs->x0, rs->ppx) + i) << bd->pw_exp;
                        int64_t py0 = (floor_div_pow2(rs->y0, rs->ppy) + j) << bd->ph_exp;
                        int64_t ax0 = std::max<int64_t>(px0, bd->x0);
                        int64_t ax1 = std::min<int64_t>(px0 + ((int64_t)1 << bd->pw_exp), bd->x1);
                        int64_t ay0 = std::max<int64_t>(py0, bd->y0);
                        int64_t ay1 = std::min<int64_t>(py0 + ((int64_t)1 << bd->ph_exp), bd->y1);
                        int64_t cw = 0, ch = 0, gx0 = 0, gy0 = 0;
                        if (ax1 > ax0 && ay1 > ay0) {
                            gx0 = floor_div_pow2(ax0, bd->cbw), gy0 = floor_div_pow2(ay0, bd->cbh);
                            cw = ceil_div_pow2(ax1, bd->cbw) - gx0;
                            ch = ceil_div_pow2(ay1, bd->cbh) - gy0;
                        }
                        if ((uint64_t)(cw * ch) > jpx_max_tile_codeblocks - ncb) return -1;
                        uint32_t nodes = cw > 0 && ch > 0 ? tt_nodes((int32_t)cw, (int32_t)ch) : 0;
                        if (pr) {
                            pr->cb_first[b] = (int32_t)ncb;
                            pr->cb_w[b] = (int32_t)cw, pr->cb_h[b] = (int32_t)ch;
                            pr->incl[b] = jpx_tagtree{(int32_t)nnodes, (int32_t)cw, (int32_t)ch};
                            pr->zbp[b] = jpx_tagtree{(int32_t)(nnodes + 2u * nodes), (int32_t)cw, (int32_t)ch};
                            for (int64_t v = 0; v < ch; v++) {
                                for (int64_t u = 0; u < cw; u++) {
                                    jpx_cblk *cb = &t->cblks[ncb + (uint64_t)(v * cw + u)];
                                    memset(cb, 0, sizeof *cb);
                                    cb->x0 = (int32_t)std::max<int64_t>((gx0 + u) << bd->cbw, ax0);
                                    cb->x1 = (int32_t)std::min<int64_t>((gx0 + u + 1) << bd->cbw, ax1);
                                    cb->y0 = (int32_t)std::max<int64_t>((gy0 + v) << bd->cbh, ay0);
                                    cb->y1 = (int32_t)std::min<int64_t>((gy0 + v + 1) << bd->cbh, ay1);
                                    cb->first = cb->last = -1;
                                }
                            }
                        }
                        ncb += (uint64_t)(cw * ch);
                        nnodes += 4u * (uint64_t)nodes;  // two trees of two ints a node
                    }
                    nprec++;
                }
            }
        }
    }
    if (count) {
        t->nprecs = (uint32_t)nprec;
        t->ncblks = (uint32_t)ncb;
        t->nnodes = (uint32_t)nnodes;
    }
    return 0;
}

int jpx_t2_build(jpx_tile *t, const jpx_siz *s) {
    if (walk_tile(t, s, 1) < 0) return -1;
    t->precs = (jpx_prec *)malloc((t->nprecs ? t->nprecs : 1) * sizeof(jpx_prec));
    t->cblks = (jpx_cblk *)malloc((t->ncblks ? t->ncblks : 1) * sizeof(jpx_cblk));
    t->nodes = (int32_t *)malloc((t->nnodes ? t->nnodes : 2) * sizeof(int32_t));
    if (!t->precs || !t->cblks || !t->nodes) return -1;
    for (uint32_t i = 0; i + 1 < t->nnodes; i += 2) t->nodes[i] = INT32_MAX, t->nodes[i + 1] = 0;
    return walk_tile(t, s, 0);
}

// ---- packet headers -----------------------------------------------------------------------------

static inline uint32_t rd_bit(bitrd *b) {
    if (b->bits == 0) {
        if (b->pos >= b->end) {
            b->exhausted = 1;
            return 0;
        }
        b->cur = b->d[b->pos++];
        b->bits = b->last_ff ? 7 : 8;
        b->last_ff = b->cur == 0xFF;
    }
    b->bits--;
    return (b->cur >> b->bits) & 1u;
}

static inline uint32_t rd_bits(bitrd *b, int32_t n) {
    uint32_t v = 0;
    for (int32_t i = 0; i < n; i++) v = v << 1 | rd_bit(b);
    return v;
}

// The header ends on a byte boundary; a 0xFF last byte is followed by the byte with its stuffed bit.
static void rd_align(bitrd *b) {
    b->bits = 0;
    if (b->last_ff && b->pos < b->end) b->pos++;
    b->last_ff = 0;
}

// Tag tree value at leaf (x, y), read only as far as needed to know whether it is below threshold.
// Returns the leaf's value, or INT32_MAX when it is known only to be at least threshold.
static int32_t tt_decode(bitrd *b, int32_t *nodes, const jpx_tagtree *tt, int32_t x, int32_t y,
                         int32_t threshold) {
    int32_t path[40];
    int32_t n = 0, off = tt->first, w = tt->w, h = tt->h;
    for (;;) {
        path[n++] = off + 2 * (y * w + x);
        if ((w <= 1 && h <= 1) || n == 40) break;
        off += 2 * w * h;
        w = (w + 1) >> 1, h = (h + 1) >> 1, x >>= 1, y >>= 1;
    }
    int32_t low = 0;
    for (int32_t k = n - 1; k >= 0; k--) {
        int32_t *v = nodes + path[k];
        if (low > v[1]) v[1] = low;
        else low = v[1];
        while (low < threshold && low < v[0]) {
            if (rd_bit(b)) v[0] = low;
            else low++;
        }
        v[1] = low;
    }
    return nodes[path[0]];
}

// Number of coding passes (a variable-length code of 1 to 164).
static int32_t rd_passes(bitrd *b) {
    if (!rd_bit(b)) return 1;
    if (!rd_bit(b)) return 2;
    uint32_t v = rd_bits(b, 2);
    if (v < 3) return 3 + (int32_t)v;
    v = rd_bits(b, 5);
    if (v < 31) return 6 + (int32_t)v;
    return 37 + (int32_t)rd_bits(b, 7);
}

static inline int32_t floor_log2(uint32_t v) {
    int32_t n = -1;
    while (v) v >>= 1, n++;
    return n;
}

static int pend_push(t2_state *st, uint32_t cblk, uint32_t len, int32_t passes) {
    if (jpx_reserve((void **)&st->pend, &st->cap_pend, st->npend + 1u, sizeof(pending)) < 0) return -1;
    st->pend[st->npend++] = pending{cblk, len, (uint8_t)passes};
    return 0;
}

static int chunk_push(jpx_tile *t, jpx_cblk *cb, uint32_t pos, uint32_t len, uint8_t passes) {
    if (jpx_reserve((void **)&t->chunks, &t->cap_chunks, t->nchunks + 1u, sizeof(jpx_chunk)) < 0) return -1;
    int32_t k = (int32_t)t->nchunks++;
    t->chunks[k] = jpx_chunk{pos, len, -1, passes};
    if (cb->last >= 0) t->chunks[cb->last].next = k;
    else cb->first = k;
    cb->last = k;
    return 0;
}

// The code-blocks of one band of a precinct in a packet header. -1: a broken header.
static int read_band_cblks(t2_state *st, jpx_prec *pr, int32_t b, int32_t layer, int32_t style) {
    jpx_tile *t = st->t;
    bitrd *hb = &st->hb;
    for (int32_t v = 0; v < pr->cb_h[b]; v++) {
        for (int32_t u = 0; u < pr->cb_w[b]; u++) {
            uint32_t ci = (uint32_t)(pr->cb_first[b] + v * pr->cb_w[b] + u);
            jpx_cblk *cb = &t->cblks[ci];
            int32_t first = !cb->included;
            if (first) {
                if (tt_decode(hb, t->nodes, &pr->incl[b], u, v, layer + 1) > layer) continue;
                int32_t z = tt_decode(hb, t->nodes, &pr->zbp[b], u, v, 64);
                cb->zbp = (uint8_t)std::min(z, 64);
                cb->included = 1;
                cb->lblock = 3;
            } else if (!rd_bit(hb)) {
                continue;
            }
            int32_t passes = rd_passes(hb);
            while (rd_bit(hb)) {
                if (++cb->lblock > jpx_max_lblock || hb->exhausted) return -1;
            }
            int32_t k = cb->npasses, end = k + passes;
            while (k < end) {
                int32_t e = std::min(jpx_segment_end(k, style), end);
                int32_t bits = cb->lblock + floor_log2((uint32_t)(e - k));
                if (bits > 32) return -1;
                uint32_t len = rd_bits(hb, bits);
                if (pend_push(st, ci, len, e - k) < 0) return -1;
                k = e;
            }
            cb->npasses = end;
            if (hb->exhausted) return -1;
        }
    }
    return 0;
}

// One packet: its header, then its body. Sets st->stop when the data has run out or the packet
// is broken.
static void read_packet(t2_state *st, jpx_tcomp *tc, jpx_res *rs, jpx_prec *pr, int32_t layer) {
    jpx_tile *t = st->t;
    const uint8_t *d = t->data;
    bitrd *hb = &st->hb;
    if (t->cod.sop && st->body + 6 <= t->data_len && d[st->body] == 0xFF && d[st->body + 1] == 0x91)
        st->body += 6;
    if (!t->hdr) hb->pos = st->body;
    hb->bits = 0, hb->last_ff = 0, hb->exhausted = 0;
    if (hb->pos >= hb->end) {
        st->stop = 1;
        return;
    }
    st->npend = 0;
    pr->next_layer = (uint16_t)(layer + 1);
    if (rd_bit(hb)) {
        for (int32_t b = 0; b < rs->nbands; b++) {
            if (read_band_cblks(st, pr, b, layer, tc->tccp->style) < 0) {
                st->stop = 1;
                return;
            }
        }
    }
    rd_align(hb);
    if (t->cod.eph && hb->pos + 2 <= hb->end && hb->d[hb->pos] == 0xFF && hb->d[hb->pos + 1] == 0x92)
        hb->pos += 2;
    if (!t->hdr) st->body = hb->pos;
    for (uint32_t i = 0; i < st->npend; i++) {
        const pending *p = &st->pend[i];
        uint32_t len = p->len;
        if (len > t->data_len - st->body) {
            len = t->data_len - st->body;
            st->stop = 1;  // the rest of the tile's data is missing
        }
        if (chunk_push(t, &t->cblks[p->cblk], st->body, len, p->passes) < 0) {
            st->stop = 1;
            return;
        }
        st->body += len;
    }
}

// ---- progressions -------------------------------------------------------------------------------

static inline int spend(t2_state *st, uint64_t n) {
    st->steps += n;
    if (st->steps > st->budget) st->stop = 1;
    return !st->stop;
}

// Layer-resolution-component-position and resolution-layer-component-position.
static void run_lr(t2_state *st, const jpx_poc *pc) {
    jpx_tile *t = st->t;
    int32_t outer = pc->prog == jpx_lrcp ? pc->lye : pc->re;
    int32_t inner = pc->prog == jpx_lrcp ? pc->re : pc->lye;
    int32_t outer0 = pc->prog == jpx_lrcp ? 0 : pc->rs;
    int32_t inner0 = pc->prog == jpx_lrcp ? pc->rs : 0;
    for (int32_t a = outer0; a < outer; a++) {
        for (int32_t b = inner0; b < inner; b++) {
            int32_t l = pc->prog == jpx_lrcp ? a : b, r = pc->prog == jpx_lrcp ? b : a;
            for (int32_t c = pc->cs; c < pc->ce; c++) {
                if (!spend(st, 1)) return;
                jpx_tcomp *tc = &t->comps[c];
                if (r >= tc->nres) continue;
                jpx_res *rs = &tc->res[r];
                int32_t n = rs->pw * rs->ph;
                if (!spend(st, (uint64_t)n)) return;
                for (int32_t p = 0; p < n; p++) {
                    jpx_prec *pr = &t->precs[rs->prec_first + p];
                    if (pr->next_layer != l) continue;
                    read_packet(st, tc, rs, pr, l);
                    if (st->stop) return;
                }
            }
        }
    }
}

// Where the position loops of a progression reach precinct (i, j) of resolution r: the first
// reference-grid point of the tile at which the precinct starts.
static void prec_point(const jpx_tile *t, const jpx_siz *s, uint32_t c, const jpx_tcomp *tc,
                       int32_t r, int32_t i, int32_t j, prec_key *k) {
    const jpx_res *rs = &tc->res[r];
    int32_t sh = tc->nres - 1 - r;
    int64_t px = (floor_div_pow2(rs->x0, rs->ppx) + i) << rs->ppx;
    int64_t py = (floor_div_pow2(rs->y0, rs->ppy) + j) << rs->ppy;
    uint64_t x = (uint64_t)(px << sh) * s->dx[c], y = (uint64_t)(py << sh) * s->dy[c];
    k->x = std::max<uint64_t>(x, t->x0);
    k->y = std::max<uint64_t>(y, t->y0);
}

// The three position-driven progressions: the precincts of the change's components and
// resolutions in the order the position loops reach them, each with its layers.
static void run_positions(t2_state *st, const jpx_siz *s, const jpx_poc *pc) {
    jpx_tile *t = st->t;
    uint64_t n = 0;
    for (int32_t c = pc->cs; c < pc->ce; c++) {
        const jpx_tcomp *tc = &t->comps[c];
        for (int32_t r = pc->rs; r < pc->re && r < tc->nres; r++)
            n += (uint64_t)tc->res[r].pw * (uint64_t)tc->res[r].ph;
    }
    if (!spend(st, (uint64_t)(pc->ce - pc->cs) * pc->re + n)) return;
    prec_key *keys = (prec_key *)malloc((n ? n : 1) * sizeof(prec_key));
    if (!keys) {
        st->stop = 1;
        return;
    }
    uint64_t k = 0;
    for (int32_t c = pc->cs; c < pc->ce; c++) {
        const jpx_tcomp *tc = &t->comps[c];
        for (int32_t r = pc->rs; r < pc->re && r < tc->nres; r++) {
            const jpx_res *rs = &tc->res[r];
            for (int32_t j = 0; j < rs->ph; j++) {
                for (int32_t i = 0; i < rs->pw; i++) {
                    prec_point(t, s, (uint32_t)c, tc, r, i, j, &keys[k]);
                    keys[k].c = (uint32_t)c, keys[k].r = (uint32_t)r;
                    keys[k].p = (uint32_t)(rs->prec_first + j * rs->pw + i);
                    k++;
                }
            }
        }
    }
    int32_t prog = pc->prog;
    std::sort(keys, keys + n, [prog](const prec_key &a, const prec_key &b) {
        if (prog == jpx_rpcl && a.r != b.r) return a.r < b.r;
        if (prog == jpx_cprl && a.c != b.c) return a.c < b.c;
        if (a.y != b.y) return a.y < b.y;
        if (a.x != b.x) return a.x < b.x;
        if (prog == jpx_pcrl && a.c != b.c) return a.c < b.c;
        if (a.c != b.c) return a.c < b.c;
        return a.r < b.r;
    });
    for (uint64_t i = 0; i < n && !st->stop; i++) {
        jpx_tcomp *tc = &t->comps[keys[i].c];
        jpx_res *rs = &tc->res[keys[i].r];
        jpx_prec *pr = &t->precs[keys[i].p];
        for (int32_t l = pr->next_layer; l < pc->lye && !st->stop; l++) {
            if (!spend(st, 1)) break;
            read_packet(st, tc, rs, pr, l);
        }
    }
    free(keys);
}

int jpx_t2_read_packets(jpx_tile *t) {
    t2_state st;
    memset(&st, 0, sizeof st);
    st.t = t;
    if (t->hdr) st.hb = bitrd{t->hdr, 0, t->hdr_len, 0, 0, 0, 0};
    else st.hb = bitrd{t->data, 0, t->data_len, 0, 0, 0, 0};
    st.budget = steps_base + steps_per_byte * ((uint64_t)t->data_len + t->hdr_len);
    jpx_poc whole;
    const jpx_poc *pocs = t->pocs;
    int32_t npocs = t->npocs;
    int32_t maxres = 0;
    for (int32_t c = 0; c < t->ncomps; c++) maxres = std::max(maxres, t->comps[c].nres);
    if (npocs == 0) {
        whole = jpx_poc{0, (uint8_t)maxres, t->cod.prog, t->cod.layers, 0, (uint16_t)t->ncomps};
        pocs = &whole;
        npocs = 1;
    }
    for (int32_t i = 0; i < npocs && !st.stop; i++) {
        jpx_poc pc = pocs[i];
        pc.lye = std::min<uint16_t>(pc.lye, t->cod.layers);
        pc.re = (uint8_t)std::min<int32_t>(pc.re, maxres);
        pc.ce = std::min<uint16_t>(pc.ce, (uint16_t)t->ncomps);
        if (pc.rs >= pc.re || pc.cs >= pc.ce || pc.lye == 0) continue;
        if (pc.prog <= jpx_rlcp) run_lr(&st, &pc);
        else run_positions(&st, t->siz, &pc);
    }
    if (st.stop) t->truncated = 1;
    free(st.pend);
    return 0;
}
