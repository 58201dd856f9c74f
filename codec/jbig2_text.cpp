// codec/jbig2_text.cpp - symbol dictionaries (symbols decoded by height class: generic coding,
// Huffman-coded collective bitmaps, or refinement and aggregation of known symbols) and text
// regions (symbol instances placed along strips).
#include <cstdlib>
#include <cstring>

#include "codec/jbig2_parts.h"

// Coordinates beyond this are no page's: the data is damaged (and sums stay far from overflow).
static const int64_t max_coord = 1ll << 40;

static bool wild(int64_t v) { return v < -max_coord || v > max_coord; }

// The smallest n with 2^n >= count.
static uint32_t code_length(uint64_t count) {
    uint32_t n = 0;
    while (((uint64_t)1 << n) < count) n++;
    return n;
}

// floor(v / 2), for negative v too.
static int64_t floor_half(int64_t v) { return v >= 0 ? v / 2 : -((-v + 1) / 2); }

int jb2_ctx_hold(jb2_ctx *c, uint64_t w, uint64_t h) {
    if (w > UINT32_MAX || h > UINT32_MAX) return -1;
    uint64_t px = w * h < 64 ? 64 : w * h;
    if (px > jbig2_max_dict_pixels - c->dict_pixels) return -1;
    c->dict_pixels += px;
    return 0;
}

// One integer: arithmetic in the contexts cx, or Huffman with table t. 0 and *v, 1 for
// out-of-band, -1 when the data ran out or no code matched.
static int read_int(int huff, jb2_mq *d, jb2_bits *b, uint8_t *cx, const jb2_huff_table *t,
                    int64_t *v) {
    if (huff) return t ? jb2_huff_decode(b, t, v) : -1;
    int r = jb2_int_decode(d, cx, v);
    return d->failed ? -1 : r;
}

// A refinement coded with the arithmetic decoder inside Huffman-coded data: its bmsize bytes
// start at the next byte boundary, and the Huffman data goes on after them.
static int huff_refine(jb2_bits *b, int64_t bmsize, uint8_t *gr, const jb2_refine_params *rp,
                       uint64_t *spare, jb2_bitmap *out) {
    jb2_bits_align(b);
    uint64_t at = b->pos / 8u;
    if (bmsize < 0 || at > b->len || (uint64_t)bmsize > b->len - at) {
        b->failed = 1;
        return -1;
    }
    jb2_mq m;
    jb2_mq_init(&m, b->data + at, (uint64_t)bmsize, spare);
    int rc = jb2_refine_decode(&m, gr, rp, out);
    b->pos = (at + (uint64_t)bmsize) * 8u;
    return rc;
}

// The refined bitmap of a symbol instance: size changes, the reference's offset, then the
// refinement itself.
static int refine_instance(const jb2_text_params *p, jb2_mq *d, jb2_bits *b, jb2_text_stats *st,
                           const jb2_bitmap *ibo, jb2_bitmap *ib) {
    int64_t rdw, rdh, rdx, rdy, bmsize = 0;
    if (read_int(p->huff, d, b, st->iardw, p->rdw, &rdw) ||
        read_int(p->huff, d, b, st->iardh, p->rdh, &rdh) ||
        read_int(p->huff, d, b, st->iardx, p->rdx, &rdx) ||
        read_int(p->huff, d, b, st->iardy, p->rdy, &rdy) ||
        (p->huff && read_int(1, d, b, nullptr, p->rsize, &bmsize)))
        return -1;
    int64_t w = (int64_t)ibo->w + rdw, h = (int64_t)ibo->h + rdh;
    int64_t dx = floor_half(rdw) + rdx, dy = floor_half(rdh) + rdy;
    if (w < 0 || h < 0 || w > INT32_MAX || h > INT32_MAX || dx < INT32_MIN || dx > INT32_MAX ||
        dy < INT32_MIN || dy > INT32_MAX)
        return -1;
    if (jb2_bitmap_init(ib, (uint32_t)w, (uint32_t)h, jbig2_max_symbol_pixels) < 0) return -1;
    jb2_refine_params rp = {p->rtemplate, 0,      {p->ratx[0], p->ratx[1]}, {p->raty[0], p->raty[1]},
                            ibo,          (int32_t)dx, (int32_t)dy};
    if (p->huff) return huff_refine(b, bmsize, st->gr, &rp, p->spare, ib);
    return jb2_refine_decode(d, st->gr, &rp, ib);
}

// Draws an instance with its reference corner at (s, t) (or (t, s) transposed) and moves s past it.
static int place(const jb2_text_params *p, const jb2_bitmap *ib, int64_t *curs, int64_t t,
                 jb2_bitmap *out, uint64_t *draw) {
    uint64_t cost = (uint64_t)ib->h * ((uint64_t)ib->w / 8u + 2u) + 1u;
    if (cost > *draw) return -1;
    *draw -= cost;
    const int rc = p->refcorner;
    const bool right = rc == 2 || rc == 3, bottom = rc == 0 || rc == 2;
    const int64_t wi = ib->w, hi = ib->h;
    if (!p->transposed && right) *curs += wi - 1;
    if (p->transposed && bottom) *curs += hi - 1;
    int64_t cx = p->transposed ? t : *curs, cy = p->transposed ? *curs : t;
    jb2_compose(out, ib, cx - (right ? wi - 1 : 0), cy - (bottom ? hi - 1 : 0), p->combop);
    if (!p->transposed && !right) *curs += wi - 1;
    if (p->transposed && !bottom) *curs += hi - 1;
    return 0;
}

// The symbol ID of an instance.
static int read_id(const jb2_text_params *p, jb2_mq *d, jb2_bits *b, jb2_text_stats *st,
                   uint32_t *id) {
    if (!p->huff) {
        *id = jb2_iaid_decode(d, st->iaid, p->codelen);
        return d->failed ? -1 : 0;
    }
    if (!p->symcodes) {
        *id = jb2_bits_read(b, p->codelen);
        return b->failed ? -1 : 0;
    }
    int64_t v;
    if (jb2_huff_decode(b, p->symcodes, &v) != 0 || v < 0 || v > UINT32_MAX) return -1;
    *id = (uint32_t)v;
    return 0;
}

int jb2_text_decode(const jb2_text_params *p, jb2_mq *d, jb2_bits *b, jb2_text_stats *st,
                    jb2_bitmap *out, uint64_t *draw) {
    jb2_bitmap_fill(out, p->defpixel);
    const int64_t strips = (int64_t)1 << p->logstrips;
    int64_t v;
    if (read_int(p->huff, d, b, st->iadt, p->dt, &v)) return -1;
    int64_t stript = -v * strips, firsts = 0;
    uint32_t n = 0;
    while (n < p->instances) {
        if (read_int(p->huff, d, b, st->iadt, p->dt, &v)) return -1;
        stript += v * strips;
        int64_t curs = 0;
        for (bool first = true;; first = false) {
            if (first) {
                if (read_int(p->huff, d, b, st->iafs, p->fs, &v)) return -1;
                firsts += v;
                curs = firsts;
            } else {
                int r = read_int(p->huff, d, b, st->iads, p->ds, &v);
                if (r < 0) return -1;
                if (r == 1) break;  // out-of-band: the strip ends
                if (n >= p->instances) return 0;  // instances past the count are not drawn
                curs += v + p->dsoffset;
            }
            int64_t curt = 0;
            if (strips > 1) {
                if (p->huff) curt = jb2_bits_read(b, p->logstrips);
                else if (read_int(0, d, b, st->iait, nullptr, &curt))
                    return -1;
            }
            uint32_t id;
            if (read_id(p, d, b, st, &id) < 0 || id >= p->nsyms || (p->huff && b->failed)) return -1;
            int64_t ri = 0;
            if (p->refine) {
                if (p->huff) ri = jb2_bits_read(b, 1);
                else if (read_int(0, d, b, st->iari, nullptr, &ri))
                    return -1;
            }
            if (wild(stript) || wild(firsts) || wild(curs)) return -1;
            const jb2_bitmap *ib = p->syms[id];
            jb2_bitmap refined = {0, 0, 0, nullptr};
            int rc = 0;
            if (ri) {
                rc = refine_instance(p, d, b, st, ib, &refined);
                ib = &refined;
            }
            if (rc == 0) rc = place(p, ib, &curs, stript + curt, out, draw);
            jb2_bitmap_free(&refined);
            if (rc < 0) return -1;
            n++;
        }
    }
    return 0;
}

// ---- Text region segments ----

// A text region segment after its region information: flags, Huffman table choices, refinement
// adaptive pixels, the instance count, the symbol ID code table (Huffman), then the coded data.
int jb2_text_region(jb2_ctx *c, const uint8_t *data, uint64_t len, const jb2_bitmap *const *syms,
                    uint32_t nsyms, const jb2_huff_table *const *tables, uint32_t ntables,
                    jb2_bitmap *out) {
    jb2_cur cur = {data, len, 0, 0};
    uint32_t flags = jb2_read(&cur, 2);
    jb2_text_params p;
    memset(&p, 0, sizeof p);
    p.huff = flags & 1;
    p.refine = (flags >> 1) & 1;
    p.logstrips = (flags >> 2) & 3;
    p.refcorner = (flags >> 4) & 3;
    p.transposed = (flags >> 6) & 1;
    p.combop = (flags >> 7) & 3;
    p.defpixel = (flags >> 9) & 1;
    p.dsoffset = (int32_t)((flags >> 10) & 31);
    if (p.dsoffset >= 16) p.dsoffset -= 32;  // five bits, two's complement
    p.rtemplate = (flags >> 15) & 1;
    uint32_t hflags = p.huff ? jb2_read(&cur, 2) : 0;
    if (p.refine && p.rtemplate == 0)
        for (int i = 0; i < 2; i++) {
            p.ratx[i] = (int8_t)jb2_read(&cur, 1);
            p.raty[i] = (int8_t)jb2_read(&cur, 1);
        }
    p.instances = jb2_read(&cur, 4);
    if (cur.failed || nsyms > jbig2_max_symbols) return -1;
    p.syms = syms;
    p.nsyms = nsyms;
    p.codelen = code_length(nsyms);
    p.spare = &c->spare;

    jb2_huff_table symcodes;
    memset(&symcodes, 0, sizeof symcodes);
    jb2_bits b = {data + cur.pos, len - cur.pos, 0, 0};
    if (p.huff) {
        // Each selector: a standard table, or 3 (RSIZE: 1) for the next custom table referred to.
        const jb2_huff_table *B = c->std.t;  // B[i] is table B.(i + 1)
        uint32_t next = 0;
        auto custom = [&]() { return next < ntables ? tables[next++] : nullptr; };
        auto pick = [&](uint32_t sel, const jb2_huff_table *t0, const jb2_huff_table *t1,
                        const jb2_huff_table *t2) -> const jb2_huff_table * {
            return sel == 0 ? t0 : sel == 1 ? t1 : sel == 2 ? t2 : custom();
        };
        p.fs = pick(hflags & 3, &B[5], &B[6], nullptr);
        p.ds = pick((hflags >> 2) & 3, &B[7], &B[8], &B[9]);
        p.dt = pick((hflags >> 4) & 3, &B[10], &B[11], &B[12]);
        p.rdw = pick((hflags >> 6) & 3, &B[13], &B[14], nullptr);
        p.rdh = pick((hflags >> 8) & 3, &B[13], &B[14], nullptr);
        p.rdx = pick((hflags >> 10) & 3, &B[13], &B[14], nullptr);
        p.rdy = pick((hflags >> 12) & 3, &B[13], &B[14], nullptr);
        p.rsize = (hflags >> 14) & 1 ? custom() : &B[0];
        if (!p.fs || !p.ds || !p.dt || !p.rdw || !p.rdh || !p.rdx || !p.rdy || !p.rsize) return -1;
        if (jb2_symbol_codes(&b, nsyms, &symcodes) < 0) return -1;
        p.symcodes = &symcodes;
    }

    jb2_text_stats st;
    memset(&st, 0, sizeof st);
    int rc = -1;
    jb2_mq d;
    memset(&d, 0, sizeof d);
    st.iaid = (uint8_t *)calloc((size_t)1 << p.codelen, 1);
    st.gr = (uint8_t *)calloc(jb2_refine_contexts, 1);
    if (st.iaid && st.gr) {
        if (!p.huff) jb2_mq_init(&d, data + cur.pos, len - cur.pos, &c->spare);
        rc = jb2_text_decode(&p, &d, &b, &st, out, &c->draw);
    }
    free(st.iaid);
    free(st.gr);
    jb2_huff_free(&symcodes);
    return rc;
}

// ---- Symbol dictionaries ----

void jb2_symdict_free(jb2_symdict *s) {
    for (uint32_t i = 0; i < s->nowned; i++) jb2_bitmap_free(&s->owned[i]);
    free(s->owned);
    free(s->exported);
    free(s->gb);
    free(s->gr);
    memset(s, 0, sizeof *s);
}

// What decoding one dictionary needs besides its output.
struct symdict_state {
    jb2_ctx *c;
    int huff, refagg, tmpl, rtmpl;
    int8_t atx[4], aty[4], ratx[2], raty[2];
    const jb2_huff_table *dh, *dw, *bmsize, *agginst;
    jb2_mq d;
    jb2_bits b;
    uint8_t iadh[512], iadw[512], iaex[512], iaai[512];
    uint8_t *gb, *gr;
    jb2_text_stats ts;  // refinement and aggregation: the text region contexts, shared
    uint32_t codelen;
    const jb2_bitmap **all;  // the input symbols, then the new ones as they are decoded
    uint32_t nin, nall;
    // The new symbols (out->owned) and their widths (collective bitmaps): room for cap of the nnew
    // the dictionary declares, grown as they are decoded.
    jb2_symdict *out;
    uint32_t *widths;
    uint32_t nnew, cap;
};

// Room for new symbol k < s->nnew. The arrays grow with the symbols decoded, not with the count
// the dictionary declares (2^20 declared in a few bytes would be 36 MiB); s->all points into
// out->owned, so its pointers move with it. -1: no memory.
static int symbol_room(symdict_state *s, uint32_t k) {
    if (k < s->cap) return 0;
    uint64_t cap = s->cap < 32 ? 64 : (uint64_t)s->cap * 2;
    if (cap > s->nnew) cap = s->nnew;
    jb2_bitmap *owned = (jb2_bitmap *)realloc(s->out->owned, sizeof(jb2_bitmap) * cap);
    if (!owned) return -1;
    memset(owned + s->cap, 0, sizeof(jb2_bitmap) * (cap - s->cap));
    s->out->owned = owned;
    s->out->nowned = (uint32_t)cap;
    for (uint32_t i = s->nin; i < s->nall; i++) s->all[i] = &owned[i - s->nin];
    void *widths = realloc(s->widths, sizeof(uint32_t) * cap);
    if (widths) s->widths = (uint32_t *)widths;
    void *all = realloc(s->all, sizeof(jb2_bitmap *) * (s->nin + cap + 1));
    if (all) s->all = (const jb2_bitmap **)all;
    if (!widths || !all) return -1;
    s->cap = (uint32_t)cap;
    return 0;
}

// One refined symbol (an aggregate of one instance): its reference's ID and offset, then the
// refinement.
static int refine_one(symdict_state *s, jb2_bitmap *sym) {
    uint32_t id;
    int64_t rdx, rdy, bmsize = 0;
    if (s->huff) {
        id = jb2_bits_read(&s->b, s->codelen);
        const jb2_huff_table *B = s->c->std.t;
        if (jb2_huff_decode(&s->b, &B[14], &rdx) || jb2_huff_decode(&s->b, &B[14], &rdy) ||
            jb2_huff_decode(&s->b, &B[0], &bmsize))
            return -1;
    } else {
        id = jb2_iaid_decode(&s->d, s->ts.iaid, s->codelen);
        if (read_int(0, &s->d, nullptr, s->ts.iardx, nullptr, &rdx) ||
            read_int(0, &s->d, nullptr, s->ts.iardy, nullptr, &rdy))
            return -1;
    }
    if (id >= s->nall || rdx < INT32_MIN || rdx > INT32_MAX || rdy < INT32_MIN || rdy > INT32_MAX)
        return -1;
    jb2_refine_params rp = {s->rtmpl,    0,          {s->ratx[0], s->ratx[1]}, {s->raty[0], s->raty[1]},
                            s->all[id], (int32_t)rdx, (int32_t)rdy};
    if (s->huff) return huff_refine(&s->b, bmsize, s->gr, &rp, &s->c->spare, sym);
    return jb2_refine_decode(&s->d, s->gr, &rp, sym);
}

// The bitmap of one symbol of w x h: generic coding, or refinement and aggregation.
static int decode_symbol(symdict_state *s, uint32_t w, uint32_t h, jb2_bitmap *sym) {
    if (jb2_ctx_hold(s->c, w, h) < 0 || jb2_bitmap_init(sym, w, h, jbig2_max_symbol_pixels) < 0)
        return -1;
    if (!s->refagg) {
        jb2_generic_params gp = {0, s->tmpl, 0, {}, {}, nullptr};
        for (int i = 0; i < 4; i++) {
            gp.atx[i] = s->atx[i];
            gp.aty[i] = s->aty[i];
        }
        return jb2_generic_decode(&s->d, s->gb, &gp, sym);
    }
    int64_t ninst;
    if (read_int(s->huff, &s->d, &s->b, s->iaai, s->agginst, &ninst) || ninst < 1 ||
        ninst > UINT32_MAX)
        return -1;
    if (ninst == 1) return refine_one(s, sym);
    const jb2_huff_table *B = s->c->std.t;
    jb2_text_params p;
    memset(&p, 0, sizeof p);
    p.huff = s->huff;
    p.refine = 1;
    p.refcorner = 1;  // top left
    p.combop = jb2_op_or;
    p.rtemplate = s->rtmpl;
    memcpy(p.ratx, s->ratx, 2);
    memcpy(p.raty, s->raty, 2);
    p.instances = (uint32_t)ninst;
    p.syms = s->all;
    p.nsyms = s->nall;
    p.codelen = s->codelen;
    p.spare = &s->c->spare;
    p.fs = &B[5];
    p.ds = &B[7];
    p.dt = &B[10];
    p.rdw = p.rdh = p.rdx = p.rdy = &B[14];
    p.rsize = &B[0];
    return jb2_text_decode(&p, &s->d, &s->b, &s->ts, sym, &s->c->draw);
}

// A height class coded as one bitmap (Huffman, no refinement): its size in bytes (0: stored
// uncompressed), then the bitmap, cut into the class's symbols.
static int collective(symdict_state *s, uint32_t first, uint32_t end, uint64_t totwidth,
                      uint32_t h) {
    const uint32_t *widths = s->widths;
    jb2_bitmap *syms = s->out->owned;
    int64_t bmsize;
    if (jb2_huff_decode(&s->b, s->bmsize, &bmsize) != 0 || bmsize < 0 || totwidth > UINT32_MAX)
        return -1;
    jb2_bits_align(&s->b);
    uint64_t at = s->b.pos / 8u, left = at <= s->b.len ? s->b.len - at : 0;
    jb2_bitmap all;
    if (jb2_bitmap_init(&all, (uint32_t)totwidth, h, jbig2_max_pixels) < 0) return -1;
    int rc = 0;
    uint64_t used = (uint64_t)bmsize;
    if (bmsize == 0) {
        used = (uint64_t)all.stride * h;
        if (used > left) rc = -1;
        else if (used > 0)
            memcpy(all.data, s->b.data + at, (size_t)used);
    } else if (used > left) {
        rc = -1;
    } else {
        rc = jb2_mmr_decode(s->b.data + at, used, &all, nullptr);
    }
    s->b.pos = (at + (used < left ? used : left)) * 8u;
    uint64_t x = 0;
    for (uint32_t i = first; rc == 0 && i < end; i++) {
        if (jb2_ctx_hold(s->c, widths[i], h) < 0 ||
            jb2_bitmap_crop(&all, (int64_t)x, 0, widths[i], h, &syms[i]) < 0)
            rc = -1;
        x += widths[i];
    }
    jb2_bitmap_free(&all);
    return rc;
}

// The symbols decoded, class by class: a height change, then width changes until out-of-band.
static int decode_classes(symdict_state *s) {
    const uint32_t nin = s->nin, nnew = s->nnew;
    uint32_t ndec = 0;
    int64_t height = 0;
    uint64_t classes = 0;
    while (ndec < nnew) {
        int64_t dh;
        if (++classes > (uint64_t)nnew + 65536u) return -1;  // empty classes without end
        if (read_int(s->huff, &s->d, &s->b, s->iadh, s->dh, &dh)) return -1;
        height += dh;
        if (height < 0 || height > UINT32_MAX) return -1;
        int64_t width = 0;
        uint64_t totwidth = 0;
        uint32_t first = ndec;
        for (;;) {
            int64_t dw;
            int r = read_int(s->huff, &s->d, &s->b, s->iadw, s->dw, &dw);
            if (r < 0) return -1;
            if (r == 1) break;
            width += dw;
            if (ndec >= nnew || width < 0 || width > UINT32_MAX || symbol_room(s, ndec) < 0) return -1;
            totwidth += (uint64_t)width;
            if (!s->huff || s->refagg) {
                jb2_bitmap *sym = &s->out->owned[ndec];
                if (decode_symbol(s, (uint32_t)width, (uint32_t)height, sym) < 0) return -1;
                s->all[s->nall++] = sym;
            } else {
                s->widths[ndec] = (uint32_t)width;
            }
            ndec++;
        }
        if (s->huff && !s->refagg) {
            if (collective(s, first, ndec, totwidth, (uint32_t)height) < 0) return -1;
            for (uint32_t i = first; i < ndec; i++) s->all[s->nall++] = &s->out->owned[i];
        }
    }
    return s->nall == nin + nnew ? 0 : -1;
}

// Which of the input and new symbols are exported: alternating runs, not exported first.
static int decode_exports(symdict_state *s, jb2_symdict *out) {
    out->exported = (const jb2_bitmap **)malloc(sizeof(jb2_bitmap *) * (s->nall ? s->nall : 1));
    if (!out->exported) return -1;
    uint64_t i = 0;
    int flag = 0;
    for (uint64_t rounds = 0; i < s->nall; rounds++, flag ^= 1) {
        int64_t run;
        if (rounds > 2u * (uint64_t)s->nall + 2u) return -1;  // runs of zero without end
        if (read_int(s->huff, &s->d, &s->b, s->iaex, &s->c->std.t[0], &run) || run < 0 ||
            (uint64_t)run > s->nall - i)
            return -1;
        for (int64_t k = 0; flag && k < run; k++) out->exported[out->nexported++] = s->all[i + (uint64_t)k];
        i += (uint64_t)run;
    }
    return 0;
}

// Flags, adaptive pixels, the exported and new symbol counts, then the coded symbols.
int jb2_symdict_decode(jb2_ctx *c, const uint8_t *data, uint64_t len, const jb2_bitmap *const *in,
                       uint32_t nin, const jb2_symdict *last, const jb2_huff_table *const *tables,
                       uint32_t ntables, jb2_symdict *out) {
    memset(out, 0, sizeof *out);
    jb2_cur cur = {data, len, 0, 0};
    uint32_t flags = jb2_read(&cur, 2);
    symdict_state *s = (symdict_state *)calloc(1, sizeof(symdict_state));
    if (!s) return -1;
    s->c = c;
    s->huff = flags & 1;
    s->refagg = (flags >> 1) & 1;
    int ctx_used = (flags >> 8) & 1, ctx_kept = (flags >> 9) & 1;
    s->tmpl = (flags >> 10) & 3;
    s->rtmpl = (flags >> 12) & 1;
    if (!s->huff)
        for (int i = 0; i < (s->tmpl == 0 ? 4 : 1); i++) {
            s->atx[i] = (int8_t)jb2_read(&cur, 1);
            s->aty[i] = (int8_t)jb2_read(&cur, 1);
        }
    if (s->refagg && s->rtmpl == 0)
        for (int i = 0; i < 2; i++) {
            s->ratx[i] = (int8_t)jb2_read(&cur, 1);
            s->raty[i] = (int8_t)jb2_read(&cur, 1);
        }
    jb2_read(&cur, 4);  // the exported count: the export runs say which
    uint32_t nnew = jb2_read(&cur, 4);
    int rc = -1;
    if (cur.failed || nnew > jbig2_max_symbols || nin > jbig2_max_symbols) goto done;
    if (s->huff) {
        // Selectors: a standard table, or the next custom table referred to.
        const jb2_huff_table *B = c->std.t;
        uint32_t next = 0;
        auto custom = [&]() { return next < ntables ? tables[next++] : nullptr; };
        uint32_t dh = (flags >> 2) & 3, dw = (flags >> 4) & 3;
        s->dh = dh == 0 ? &B[3] : dh == 1 ? &B[4] : dh == 3 ? custom() : nullptr;
        s->dw = dw == 0 ? &B[1] : dw == 1 ? &B[2] : dw == 3 ? custom() : nullptr;
        s->bmsize = (flags >> 6) & 1 ? custom() : &B[0];
        s->agginst = (flags >> 7) & 1 ? custom() : &B[0];
        if (!s->dh || !s->dw || !s->bmsize || !s->agginst) goto done;
    }
    s->b = {data + cur.pos, len - cur.pos, 0, 0};
    if (!s->huff) jb2_mq_init(&s->d, data + cur.pos, len - cur.pos, &c->spare);
    s->codelen = code_length((uint64_t)nin + nnew);
    s->all = (const jb2_bitmap **)malloc(sizeof(jb2_bitmap *) * ((uint64_t)nin + 1));
    s->gb = (uint8_t *)calloc(jb2_generic_contexts(s->tmpl), 1);
    s->gr = (uint8_t *)calloc(jb2_refine_contexts, 1);
    if (s->refagg) s->ts.iaid = (uint8_t *)calloc((size_t)1 << s->codelen, 1);  // symbol IDs
    if (!s->all || !s->gb || !s->gr || (s->refagg && !s->ts.iaid)) goto done;
    s->ts.gr = s->gr;
    // Contexts kept by the last dictionary referred to, when this one says it uses them.
    if (ctx_used && last && last->gb && last->tmpl == s->tmpl)
        memcpy(s->gb, last->gb, jb2_generic_contexts(s->tmpl));
    if (ctx_used && last && last->gr && last->rtmpl == s->rtmpl)
        memcpy(s->gr, last->gr, jb2_refine_contexts);
    for (uint32_t i = 0; i < nin; i++) s->all[i] = in[i];
    s->nin = s->nall = nin;
    s->out = out;
    s->nnew = nnew;
    if (decode_classes(s) < 0 || decode_exports(s, out) < 0) goto done;
    if (ctx_kept) {
        out->gb = s->gb;
        out->gr = s->gr;
        out->tmpl = s->tmpl;
        out->rtmpl = s->rtmpl;
        s->gb = s->gr = nullptr;
    }
    rc = 0;
done:
    if (rc < 0) jb2_symdict_free(out);
    free(s->widths);
    free(s->all);
    free(s->gb);
    free(s->gr);
    free(s->ts.iaid);
    free(s);
    return rc;
}
