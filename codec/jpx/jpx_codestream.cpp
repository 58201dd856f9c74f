// codec/jpx/jpx_codestream.cpp - the codestream: main and tile-part header markers, the tile-part
// index, each tile decoded in turn (packets, code-blocks, wavelet, component transform) and its
// samples level-shifted into the image's planes.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "codec/jpx/jpx_internal.h"

// ---- markers ------------------------------------------------------------------------------------

enum {
    m_soc = 0xFF4F, m_siz = 0xFF51, m_cod = 0xFF52, m_coc = 0xFF53, m_tlm = 0xFF55,
    m_plm = 0xFF57, m_plt = 0xFF58, m_qcd = 0xFF5C, m_qcc = 0xFF5D, m_rgn = 0xFF5E,
    m_poc = 0xFF5F, m_ppm = 0xFF60, m_ppt = 0xFF61, m_crg = 0xFF63, m_com = 0xFF64,
    m_sot = 0xFF90, m_sod = 0xFF93, m_eoc = 0xFFD9,
};

// ---- file-local structs -------------------------------------------------------------------------

// Reads a marker segment's body d[pos, end); reading past end sets failed and yields zeros.
struct cursor {
    const uint8_t *d;
    uint64_t pos, end;
    int failed;
};

// A growable byte buffer (packed packet headers).
struct bytebuf {
    uint8_t *p;
    uint64_t len, cap;
};

// One tile-part: its header markers d[hdr_pos, hdr_end), its data d[data_pos, data_end), its
// packed headers in the PPM buffer, and its place in the codestream.
struct tilepart {
    uint32_t tile;
    uint32_t order;
    uint8_t tpsot;
    uint64_t hdr_pos, hdr_end, data_pos, data_end;
    uint64_t ppm_pos, ppm_len;
};

struct codestream {
    const uint8_t *d;
    uint64_t len;
    jpx_siz siz;
    jpx_tccp *tccp;               // main header defaults, one per component
    jpx_cod cod;
    int32_t have_cod, have_qcd;
    jpx_poc pocs[jpx_max_poc];
    int32_t npocs;
    bytebuf ppm;
    int32_t has_ppm;
    tilepart *tps;
    uint32_t ntps, cap_tps;
    int32_t truncated;
};

// What one tile's headers add to the main header's values.
struct tile_params {
    jpx_tccp *tccp;
    jpx_cod cod;
    jpx_poc pocs[jpx_max_poc];
    int32_t npocs;
    int32_t own_poc;              // a tile-part header held a POC: the main header's are dropped
    bytebuf ppt;
    int32_t has_ppt;
};

// ---- reading ------------------------------------------------------------------------------------

static uint32_t rd8(cursor *c) {
    if (c->pos >= c->end) {
        c->failed = 1;
        return 0;
    }
    return c->d[c->pos++];
}
static uint32_t rd16(cursor *c) {
    uint32_t a = rd8(c);
    return a << 8 | rd8(c);
}
static uint32_t rd32(cursor *c) {
    uint32_t a = rd16(c);
    return a << 16 | rd16(c);
}
static inline uint32_t be16(const uint8_t *p) { return (uint32_t)p[0] << 8 | p[1]; }
static inline uint32_t be32(const uint8_t *p) { return be16(p) << 16 | be16(p + 2); }

static int buf_append(bytebuf *b, const uint8_t *src, uint64_t n) {
    if (n > jpx_max_input || b->len > jpx_max_input - n) return -1;
    if (b->len + n > b->cap) {
        uint64_t cap = b->cap ? b->cap : 256;
        while (cap < b->len + n) cap *= 2;
        void *t = realloc(b->p, cap);
        if (!t) return -1;
        b->p = (uint8_t *)t;
        b->cap = cap;
    }
    if (n) memcpy(b->p + b->len, src, n);
    b->len += n;
    return 0;
}

static inline uint32_t ceil_div(uint64_t a, uint64_t b) { return (uint32_t)((a + b - 1) / b); }

// ---- SIZ ----------------------------------------------------------------------------------------

static void siz_free(jpx_siz *s) {
    free(s->prec);
    free(s->sgnd);
    free(s->dx);
    free(s->dy);
    memset(s, 0, sizeof *s);
}

static int read_siz(cursor *c, jpx_siz *s) {
    rd16(c);  // Rsiz: capabilities, nothing to act on
    s->x1 = rd32(c), s->y1 = rd32(c), s->x0 = rd32(c), s->y0 = rd32(c);
    s->tw = rd32(c), s->th = rd32(c), s->tx0 = rd32(c), s->ty0 = rd32(c);
    uint32_t n = rd16(c);
    if (c->failed || n < 1 || n > (uint32_t)jpx_max_components) return -1;
    if (s->x0 >= s->x1 || s->y0 >= s->y1 || s->tw == 0 || s->th == 0) return -1;
    if (s->tx0 > s->x0 || s->ty0 > s->y0) return -1;
    if ((uint64_t)s->tx0 + s->tw <= s->x0 || (uint64_t)s->ty0 + s->th <= s->y0) return -1;
    s->tiles_x = ceil_div((uint64_t)s->x1 - s->tx0, s->tw);
    s->tiles_y = ceil_div((uint64_t)s->y1 - s->ty0, s->th);
    if ((uint64_t)s->tiles_x * s->tiles_y > jpx_max_tiles) return -1;
    s->ncomps = (int32_t)n;
    s->prec = (uint8_t *)malloc(n);
    s->sgnd = (uint8_t *)malloc(n);
    s->dx = (uint8_t *)malloc(n);
    s->dy = (uint8_t *)malloc(n);
    if (!s->prec || !s->sgnd || !s->dx || !s->dy) return -1;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t ssiz = rd8(c), dx = rd8(c), dy = rd8(c);
        uint32_t prec = (ssiz & 0x7F) + 1;
        if (c->failed || prec > (uint32_t)jpx_max_precision || dx == 0 || dy == 0) return -1;
        s->prec[i] = (uint8_t)prec;
        s->sgnd[i] = (uint8_t)(ssiz >> 7);
        s->dx[i] = (uint8_t)dx;
        s->dy[i] = (uint8_t)dy;
    }
    return 0;
}

// ---- COD, COC, QCD, QCC, RGN, POC ---------------------------------------------------------------

// A component index: one byte below 257 components, else two.
static uint32_t rd_comp(cursor *c, const jpx_siz *s) { return s->ncomps < 257 ? rd8(c) : rd16(c); }

// SPcod / SPcoc into p (levels, code-block size and style, wavelet, precinct sizes).
static int read_spco(cursor *c, int32_t precincts, jpx_tccp *p) {
    uint32_t levels = rd8(c), cbw = rd8(c) + 2, cbh = rd8(c) + 2, style = rd8(c), wt = rd8(c);
    if (c->failed || levels > (uint32_t)jpx_max_levels || cbw > 10 || cbh > 10 || cbw + cbh > 12 ||
        wt > 1 || (style & 0xC0))
        return -1;
    p->levels = (uint8_t)levels;
    p->cbw = (uint8_t)cbw;
    p->cbh = (uint8_t)cbh;
    p->style = (uint8_t)style;
    p->reversible = (uint8_t)wt;
    for (uint32_t r = 0; r <= levels; r++) {
        uint32_t v = precincts ? rd8(c) : 0xFF;  // none given: 2^15 by 2^15
        // Above resolution 0 a precinct is at least 2 x 2, so its bands' precincts are 1 x 1.
        if (r > 0 && ((v & 15) == 0 || (v >> 4) == 0)) return -1;
        p->pp[r] = (uint8_t)v;
    }
    return c->failed ? -1 : 0;
}

static int read_cod(cursor *c, const jpx_siz *s, jpx_tccp *tccp, jpx_cod *cod, uint8_t level) {
    uint32_t scod = rd8(c), prog = rd8(c), layers = rd16(c), mct = rd8(c);
    if (c->failed || prog > jpx_cprl || layers == 0 || mct > 1) return -1;
    jpx_tccp p;
    memset(&p, 0, sizeof p);
    if (read_spco(c, (int32_t)(scod & 1), &p) < 0) return -1;
    cod->prog = (uint8_t)prog;
    cod->layers = (uint16_t)layers;
    cod->mct = (uint8_t)mct;
    cod->sop = (uint8_t)((scod >> 1) & 1);
    cod->eph = (uint8_t)((scod >> 2) & 1);
    for (int32_t i = 0; i < s->ncomps; i++) {
        jpx_tccp *t = &tccp[i];
        if (t->cod_level > level) continue;
        t->cod_level = level;
        t->levels = p.levels, t->cbw = p.cbw, t->cbh = p.cbh, t->style = p.style;
        t->reversible = p.reversible;
        memcpy(t->pp, p.pp, sizeof p.pp);
    }
    return 0;
}

static int read_coc(cursor *c, const jpx_siz *s, jpx_tccp *tccp, uint8_t level) {
    uint32_t i = rd_comp(c, s), scoc = rd8(c);
    if (c->failed || i >= (uint32_t)s->ncomps) return -1;
    jpx_tccp p;
    memset(&p, 0, sizeof p);
    if (read_spco(c, (int32_t)(scoc & 1), &p) < 0) return -1;
    jpx_tccp *t = &tccp[i];
    if (t->cod_level > level) return 0;
    t->cod_level = level;
    t->levels = p.levels, t->cbw = p.cbw, t->cbh = p.cbh, t->style = p.style;
    t->reversible = p.reversible;
    memcpy(t->pp, p.pp, sizeof p.pp);
    return 0;
}

// Sqcd/Sqcc and the step sizes up to the segment's end.
static int read_sq(cursor *c, jpx_tccp *p) {
    uint32_t sq = rd8(c);
    uint32_t style = sq & 31;
    if (c->failed || style > 2) return -1;
    p->qstyle = (uint8_t)style;
    p->guard = (uint8_t)(sq >> 5);
    int32_t n = 0;
    if (style == 0) {
        while (c->pos < c->end && n < jpx_max_bands) p->steps[n++] = (uint16_t)((rd8(c) >> 3) << 11);
    } else if (style == 1) {
        p->steps[n++] = (uint16_t)rd16(c);
    } else {
        while (c->pos + 1 < c->end && n < jpx_max_bands) p->steps[n++] = (uint16_t)rd16(c);
    }
    if (c->failed || n == 0) return -1;
    p->nsteps = n;
    return 0;
}

static void copy_quant(jpx_tccp *t, const jpx_tccp *p, uint8_t level) {
    t->qcd_level = level;
    t->qstyle = p->qstyle;
    t->guard = p->guard;
    t->nsteps = p->nsteps;
    memcpy(t->steps, p->steps, sizeof p->steps);
}

static int read_qcd(cursor *c, const jpx_siz *s, jpx_tccp *tccp, uint8_t level) {
    jpx_tccp p;
    memset(&p, 0, sizeof p);
    if (read_sq(c, &p) < 0) return -1;
    for (int32_t i = 0; i < s->ncomps; i++)
        if (tccp[i].qcd_level <= level) copy_quant(&tccp[i], &p, level);
    return 0;
}

static int read_qcc(cursor *c, const jpx_siz *s, jpx_tccp *tccp, uint8_t level) {
    uint32_t i = rd_comp(c, s);
    if (c->failed || i >= (uint32_t)s->ncomps) return -1;
    jpx_tccp p;
    memset(&p, 0, sizeof p);
    if (read_sq(c, &p) < 0) return -1;
    if (tccp[i].qcd_level <= level) copy_quant(&tccp[i], &p, level);
    return 0;
}

static int read_rgn(cursor *c, const jpx_siz *s, jpx_tccp *tccp, uint8_t level) {
    uint32_t i = rd_comp(c, s), style = rd8(c), shift = rd8(c);
    if (c->failed || i >= (uint32_t)s->ncomps || style != 0) return -1;
    if (tccp[i].rgn_level <= level) {
        tccp[i].rgn_level = level;
        tccp[i].roi_shift = (uint8_t)shift;
    }
    return 0;
}

// Appends the segment's progression changes; entries past jpx_max_poc are refused.
static int read_poc(cursor *c, const jpx_siz *s, jpx_poc *pocs, int32_t *npocs) {
    uint32_t entry = s->ncomps < 257 ? 7 : 9;
    while (c->pos + entry <= c->end) {
        if (*npocs >= jpx_max_poc) return -1;
        jpx_poc p;
        p.rs = (uint8_t)rd8(c);
        p.cs = (uint16_t)rd_comp(c, s);
        p.lye = (uint16_t)rd16(c);
        uint32_t re = rd8(c), ce = rd_comp(c, s);
        if (ce == 0) ce = s->ncomps < 257 ? 256 : 16384;  // 0 stands for the largest count
        p.re = (uint8_t)std::min<uint32_t>(re, jpx_max_levels + 1);
        p.ce = (uint16_t)std::min<uint32_t>(ce, (uint32_t)s->ncomps);
        p.prog = (uint8_t)rd8(c);
        if (c->failed || p.prog > jpx_cprl) return -1;
        pocs[(*npocs)++] = p;
    }
    return 0;
}

// ---- headers ------------------------------------------------------------------------------------

// The markers of a header d[pos, end) (main when tp is null, else a tile-part's). Unknown and
// skipped markers are passed by their length. 0, or -1 for a marker that cannot be read.
static int read_header_markers(codestream *cs, uint64_t pos, uint64_t end, tile_params *tp) {
    const uint8_t *d = cs->d;
    jpx_tccp *tccp = tp ? tp->tccp : cs->tccp;
    uint8_t lvl = tp ? 3 : 1;
    while (pos + 4 <= end) {
        uint32_t m = be16(d + pos), l = be16(d + pos + 2);
        if (m < 0xFF00 || l < 2 || l > end - pos - 2) return -1;
        cursor c = {d, pos + 4, pos + 2 + l, 0};
        int rc = 0;
        switch (m) {
        case m_cod: rc = read_cod(&c, &cs->siz, tccp, tp ? &tp->cod : &cs->cod, lvl);
            if (!tp) cs->have_cod = 1;
            break;
        case m_coc: rc = read_coc(&c, &cs->siz, tccp, (uint8_t)(lvl + 1)); break;
        case m_qcd: rc = read_qcd(&c, &cs->siz, tccp, lvl);
            if (!tp) cs->have_qcd = 1;
            break;
        case m_qcc: rc = read_qcc(&c, &cs->siz, tccp, (uint8_t)(lvl + 1)); break;
        case m_rgn: rc = read_rgn(&c, &cs->siz, tccp, tp ? 2 : 1); break;
        case m_poc:
            if (tp && !tp->own_poc) tp->own_poc = 1, tp->npocs = 0;
            rc = tp ? read_poc(&c, &cs->siz, tp->pocs, &tp->npocs)
                    : read_poc(&c, &cs->siz, cs->pocs, &cs->npocs);
            break;
        case m_ppm:
            if (tp || l < 3) break;
            cs->has_ppm = 1;
            rc = buf_append(&cs->ppm, d + pos + 5, l - 3);  // after Zppm; segments come in order
            break;
        case m_ppt:
            if (!tp || l < 3) break;
            tp->has_ppt = 1;
            rc = buf_append(&tp->ppt, d + pos + 5, l - 3);
            break;
        default: break;  // TLM, PLM, PLT, CRG, COM and unknown markers
        }
        if (rc < 0) return -1;
        pos += 2 + l;
    }
    return 0;
}

// Reads the main header from SOC to the first SOT. 0 with *first_sot set, or -1.
static int read_main_header(codestream *cs, uint64_t *first_sot) {
    const uint8_t *d = cs->d;
    uint64_t len = cs->len;
    if (len < 6 || be16(d) != m_soc || be16(d + 2) != m_siz) return -1;
    uint32_t lsiz = be16(d + 4);
    if (lsiz < 41 || lsiz > len - 4) return -1;
    cursor c = {d, 6, 4 + (uint64_t)lsiz, 0};
    if (read_siz(&c, &cs->siz) < 0) return -1;
    cs->tccp = (jpx_tccp *)calloc((size_t)cs->siz.ncomps, sizeof(jpx_tccp));
    if (!cs->tccp) return -1;
    uint64_t pos = 4 + (uint64_t)lsiz;
    // The main header ends at the first SOT; a codestream cut inside it has no tile.
    uint64_t end = pos;
    while (end + 4 <= len) {
        uint32_t m = be16(d + end);
        if (m == m_sot || m == m_eoc) break;
        if (m < 0xFF00) return -1;
        end += 2 + (uint64_t)be16(d + end + 2);
    }
    if (end > len) end = len;
    if (read_header_markers(cs, pos, end, nullptr) < 0) return -1;
    if (!cs->have_cod || !cs->have_qcd) return -1;
    *first_sot = end;
    return 0;
}

// Indexes the tile-parts from pos on; a tile-part cut short keeps the data that is there.
static int index_tileparts(codestream *cs, uint64_t pos) {
    const uint8_t *d = cs->d;
    uint64_t len = cs->len;
    uint32_t ntiles = cs->siz.tiles_x * cs->siz.tiles_y;
    while (pos + 12 <= len && be16(d + pos) == m_sot) {
        uint32_t lsot = be16(d + pos + 2), isot = be16(d + pos + 4), psot = be32(d + pos + 6);
        if (lsot != 10 || isot >= ntiles) break;
        tilepart tp;
        memset(&tp, 0, sizeof tp);
        tp.tile = isot;
        tp.tpsot = d[pos + 10];
        tp.order = cs->ntps;
        tp.hdr_pos = pos + 12;
        uint64_t end = psot ? pos + psot : len;
        if (psot && psot < 14) break;
        if (end > len) end = len, cs->truncated = 1;
        // The header runs to SOD.
        uint64_t p = tp.hdr_pos;
        while (p + 2 <= end && be16(d + p) != m_sod) {
            if (p + 4 > end || be16(d + p) < 0xFF00) break;
            p += 2 + (uint64_t)be16(d + p + 2);
        }
        if (p + 2 > end || be16(d + p) != m_sod) {
            cs->truncated = 1;
            break;
        }
        tp.hdr_end = p;
        tp.data_pos = p + 2;
        tp.data_end = end;
        if (!psot && end >= tp.data_pos + 2 && be16(d + end - 2) == m_eoc) tp.data_end = end - 2;
        if (jpx_reserve((void **)&cs->tps, &cs->cap_tps, cs->ntps + 1u, sizeof(tilepart)) < 0) return -1;
        cs->tps[cs->ntps++] = tp;
        if (!psot) break;
        pos = end;
    }
    return 0;
}

// Hands each tile-part its packed headers: the PPM data is a run of (Nppm, Nppm bytes) in
// codestream order of the tile-parts.
static void assign_ppm(codestream *cs) {
    uint64_t p = 0;
    for (uint32_t i = 0; i < cs->ntps; i++) {
        tilepart *tp = &cs->tps[i];
        if (p + 4 > cs->ppm.len) {
            cs->truncated = 1;
            return;
        }
        uint64_t n = be32(cs->ppm.p + p);
        p += 4;
        if (n > cs->ppm.len - p) n = cs->ppm.len - p, cs->truncated = 1;
        tp->ppm_pos = p;
        tp->ppm_len = n;
        p += n;
    }
}

// ---- samples into the planes --------------------------------------------------------------------

// Writes tile-component c of t (its final samples, one row at a time through row) into the
// image's plane, each sample repeated over the reference-grid area it covers.
static void store_tcomp(const jpx_siz *s, int32_t c, const jpx_tcomp *tc, int32_t *row,
                        jpx_image *img) {
    uint32_t dx = s->dx[c], dy = s->dy[c];
    uint32_t cx0 = ceil_div(s->x0, dx), cy0 = ceil_div(s->y0, dy);
    uint32_t tcx0 = (uint32_t)tc->x0, tcx1 = (uint32_t)tc->x1;
    uint32_t tcy0 = (uint32_t)tc->y0, tcy1 = (uint32_t)tc->y1;
    if (tcx0 >= tcx1 || tcy0 >= tcy1) return;
    uint64_t xa = tcx0 == cx0 ? s->x0 : (uint64_t)tcx0 * dx;
    uint64_t xb = std::min<uint64_t>((uint64_t)tcx1 * dx, s->x1);
    uint64_t ya = tcy0 == cy0 ? s->y0 : (uint64_t)tcy0 * dy;
    uint64_t yb = std::min<uint64_t>((uint64_t)tcy1 * dy, s->y1);
    if (xa >= xb || ya >= yb) return;
    int32_t prec = s->prec[c];
    int32_t lo = s->sgnd[c] ? -(1 << (prec - 1)) : 0;
    int32_t hi = s->sgnd[c] ? (1 << (prec - 1)) - 1 : (1 << prec) - 1;
    int32_t shift = s->sgnd[c] ? 0 : 1 << (prec - 1);
    uint32_t tw = tcx1 - tcx0;
    int64_t cur = -1;
    int32_t *plane = img->planes[c].data;
    for (uint64_t y = ya; y < yb; y++) {
        uint64_t j = std::max<uint64_t>(y / dy, cy0) - tcy0;
        if ((int64_t)j != cur) {
            cur = (int64_t)j;
            if (tc->tccp->reversible) {
                const int32_t *src = (const int32_t *)tc->buf + j * tw;
                for (uint32_t i = 0; i < tw; i++) {
                    int64_t v = (int64_t)src[i] + shift;
                    row[i] = (int32_t)(v < lo ? lo : v > hi ? hi : v);
                }
            } else {
                const float *src = (const float *)tc->buf + j * tw;
                for (uint32_t i = 0; i < tw; i++) {
                    float v = src[i] + (float)shift;
                    // NaN and infinities from broken data end up in range too; then rounded to
                    // nearest by truncating a positive value.
                    if (!(v >= (float)lo)) v = (float)lo;
                    if (v > (float)hi) v = (float)hi;
                    row[i] = (int32_t)((double)v + 65536.5) - 65536;
                }
            }
        }
        int32_t *dst = plane + (y - s->y0) * img->width;
        if (dx == 1) {
            memcpy(dst + (xa - s->x0), row + (xa - tcx0), (size_t)(xb - xa) * sizeof(int32_t));
            continue;
        }
        for (uint64_t x = xa; x < xb; x++) dst[x - s->x0] = row[std::max<uint64_t>(x / dx, cx0) - tcx0];
    }
}

// A tile without data: every sample is the level-shifted zero.
static void fill_empty_tile(const jpx_siz *s, const jpx_tile *t, jpx_image *img) {
    for (int32_t c = 0; c < s->ncomps; c++) {
        int32_t v = s->sgnd[c] ? 0 : 1 << (s->prec[c] - 1);
        int32_t *plane = img->planes[c].data;
        for (uint32_t y = t->y0; y < t->y1; y++) {
            int32_t *dst = plane + (uint64_t)(y - s->y0) * img->width;
            for (uint32_t x = t->x0; x < t->x1; x++) dst[x - s->x0] = v;
        }
    }
}

// ---- one tile -----------------------------------------------------------------------------------

static void tile_params_free(tile_params *p) {
    free(p->tccp);
    free(p->ppt.p);
    memset(p, 0, sizeof *p);
}

static void tile_free(jpx_tile *t) {
    if (t->comps)
        for (int32_t c = 0; c < t->ncomps; c++) free(t->comps[c].buf);
    free(t->comps);
    free(t->precs);
    free(t->cblks);
    free(t->nodes);
    free(t->chunks);
    memset(t, 0, sizeof *t);
}

// Joins the parts' data (or points into the codestream for a single part) and their packed
// headers. Owned copies are returned in *data_copy / *hdr_copy.
static int gather_tile_data(codestream *cs, const uint32_t *parts, uint32_t nparts, tile_params *tp,
                            jpx_tile *t, bytebuf *data_copy, bytebuf *hdr_copy) {
    if (nparts == 1) {
        const tilepart *p = &cs->tps[parts[0]];
        t->data = cs->d + p->data_pos;
        t->data_len = (uint32_t)(p->data_end - p->data_pos);
    } else {
        for (uint32_t i = 0; i < nparts; i++) {
            const tilepart *p = &cs->tps[parts[i]];
            if (buf_append(data_copy, cs->d + p->data_pos, p->data_end - p->data_pos) < 0) return -1;
        }
        t->data = data_copy->p;
        t->data_len = (uint32_t)data_copy->len;
    }
    if (cs->has_ppm) {
        for (uint32_t i = 0; i < nparts; i++) {
            const tilepart *p = &cs->tps[parts[i]];
            if (buf_append(hdr_copy, cs->ppm.p + p->ppm_pos, p->ppm_len) < 0) return -1;
        }
        t->hdr = hdr_copy->p ? hdr_copy->p : (const uint8_t *)"";
        t->hdr_len = (uint32_t)hdr_copy->len;
    } else if (tp->has_ppt) {
        t->hdr = tp->ppt.p ? tp->ppt.p : (const uint8_t *)"";
        t->hdr_len = (uint32_t)tp->ppt.len;
    }
    return 0;
}

// Decodes tile t from its tile-parts into the planes. 0, or -1 for a refused header or no memory.
static int decode_tile(codestream *cs, jpx_tile *t, const uint32_t *parts, uint32_t nparts,
                       jpx_t1 *t1, jpx_image *img) {
    const jpx_siz *s = &cs->siz;
    tile_params tp;
    memset(&tp, 0, sizeof tp);
    bytebuf data_copy = {nullptr, 0, 0}, hdr_copy = {nullptr, 0, 0};
    int32_t *row = nullptr;
    int rc = -1;
    tp.tccp = (jpx_tccp *)malloc((size_t)s->ncomps * sizeof(jpx_tccp));
    if (!tp.tccp) goto done;
    memcpy(tp.tccp, cs->tccp, (size_t)s->ncomps * sizeof(jpx_tccp));
    tp.cod = cs->cod;
    tp.npocs = cs->npocs;
    memcpy(tp.pocs, cs->pocs, sizeof cs->pocs);
    for (uint32_t i = 0; i < nparts; i++) {
        const tilepart *p = &cs->tps[parts[i]];
        if (read_header_markers(cs, p->hdr_pos, p->hdr_end, &tp) < 0) goto done;
    }
    if (gather_tile_data(cs, parts, nparts, &tp, t, &data_copy, &hdr_copy) < 0) goto done;
    t->cod = tp.cod;
    t->pocs = tp.pocs;
    t->npocs = tp.npocs;
    t->ncomps = s->ncomps;
    t->comps = (jpx_tcomp *)calloc((size_t)s->ncomps, sizeof(jpx_tcomp));
    if (!t->comps) goto done;
    for (int32_t c = 0; c < s->ncomps; c++) t->comps[c].tccp = &tp.tccp[c];
    if (jpx_t2_build(t, s) < 0) goto done;
    for (int32_t c = 0; c < s->ncomps; c++) {
        jpx_tcomp *tc = &t->comps[c];
        uint64_t n = (uint64_t)(tc->x1 - tc->x0) * (uint64_t)(tc->y1 - tc->y0);
        tc->buf = calloc(n ? n : 1, 4);
        if (!tc->buf) goto done;
    }
    jpx_t2_read_packets(t);
    if (jpx_t1_decode_tile(t1, t) < 0) goto done;
    for (int32_t c = 0; c < s->ncomps; c++)
        if (jpx_dwt_inverse(&t->comps[c]) < 0) goto done;
    if (t->cod.mct && s->ncomps >= 3) {
        const jpx_tcomp *a = &t->comps[0], *b = &t->comps[1], *e = &t->comps[2];
        bool same = a->x0 == b->x0 && a->x1 == b->x1 && a->y0 == b->y0 && a->y1 == b->y1 &&
                    a->x0 == e->x0 && a->x1 == e->x1 && a->y0 == e->y0 && a->y1 == e->y1 &&
                    a->tccp->reversible == b->tccp->reversible &&
                    a->tccp->reversible == e->tccp->reversible;
        if (same)
            jpx_mct_inverse(a->buf, b->buf, e->buf,
                            (uint64_t)(a->x1 - a->x0) * (uint64_t)(a->y1 - a->y0),
                            a->tccp->reversible);
    }
    {
        int32_t maxw = 1;
        for (int32_t c = 0; c < s->ncomps; c++) maxw = std::max(maxw, t->comps[c].x1 - t->comps[c].x0);
        row = (int32_t *)malloc((size_t)maxw * sizeof(int32_t));
        if (!row) goto done;
        for (int32_t c = 0; c < s->ncomps; c++) store_tcomp(s, c, &t->comps[c], row, img);
    }
    if (t->truncated) img->truncated = 1;
    rc = 0;
done:
    free(row);
    free(data_copy.p);
    free(hdr_copy.p);
    tile_free(t);
    tile_params_free(&tp);
    return rc;
}

// ---- the codestream -----------------------------------------------------------------------------

static void codestream_free(codestream *cs) {
    siz_free(&cs->siz);
    free(cs->tccp);
    free(cs->ppm.p);
    free(cs->tps);
    memset(cs, 0, sizeof *cs);
}

static int alloc_planes(const jpx_siz *s, int header_only, jpx_image *img) {
    img->width = s->x1 - s->x0;
    img->height = s->y1 - s->y0;
    uint64_t pixels = (uint64_t)img->width * img->height;
    if (pixels > jpx_max_samples / (uint64_t)s->ncomps) return -1;
    img->planes = (jpx_plane *)calloc((size_t)s->ncomps, sizeof(jpx_plane));
    if (!img->planes) return -1;
    img->nplanes = s->ncomps;
    for (int32_t c = 0; c < s->ncomps; c++) {
        img->planes[c].precision = s->prec[c];
        img->planes[c].is_signed = s->sgnd[c];
        if (header_only) continue;
        img->planes[c].data = (int32_t *)malloc((size_t)pixels * sizeof(int32_t));
        if (!img->planes[c].data) return -1;
    }
    return 0;
}

int jpx_codestream_decode(const uint8_t *d, uint64_t len, int header_only, jpx_image *img) {
    codestream cs;
    memset(&cs, 0, sizeof cs);
    jpx_t1 t1;
    memset(&t1, 0, sizeof t1);
    uint32_t *order = nullptr;
    int rc = -1;
    uint64_t sot = 0;
    cs.d = d;
    cs.len = len;
    if (len > jpx_max_input || read_main_header(&cs, &sot) < 0) goto done;
    if (alloc_planes(&cs.siz, header_only, img) < 0) goto done;
    if (header_only) {
        rc = 0;
        goto done;
    }
    if (index_tileparts(&cs, sot) < 0) goto done;
    if (cs.has_ppm) assign_ppm(&cs);
    // Tile-parts by tile, then by their index within the tile, then as they came.
    order = (uint32_t *)malloc((cs.ntps ? cs.ntps : 1) * sizeof(uint32_t));
    if (!order) goto done;
    for (uint32_t i = 0; i < cs.ntps; i++) order[i] = i;
    std::sort(order, order + cs.ntps, [&cs](uint32_t a, uint32_t b) {
        const tilepart &x = cs.tps[a], &y = cs.tps[b];
        if (x.tile != y.tile) return x.tile < y.tile;
        if (x.tpsot != y.tpsot) return x.tpsot < y.tpsot;
        return x.order < y.order;
    });
    {
        uint32_t ntiles = cs.siz.tiles_x * cs.siz.tiles_y, k = 0;
        for (uint32_t ti = 0; ti < ntiles; ti++) {
            uint32_t first = k;
            while (k < cs.ntps && cs.tps[order[k]].tile == ti) k++;
            jpx_tile t;
            memset(&t, 0, sizeof t);
            t.index = (int32_t)ti;
            t.siz = &cs.siz;
            uint64_t p = ti % cs.siz.tiles_x, q = ti / cs.siz.tiles_x;
            t.x0 = (uint32_t)std::max<uint64_t>(cs.siz.tx0 + p * cs.siz.tw, cs.siz.x0);
            t.x1 = (uint32_t)std::min<uint64_t>(cs.siz.tx0 + (p + 1) * cs.siz.tw, cs.siz.x1);
            t.y0 = (uint32_t)std::max<uint64_t>(cs.siz.ty0 + q * cs.siz.th, cs.siz.y0);
            t.y1 = (uint32_t)std::min<uint64_t>(cs.siz.ty0 + (q + 1) * cs.siz.th, cs.siz.y1);
            if (k == first) {
                fill_empty_tile(&cs.siz, &t, img);
                cs.truncated = 1;
                continue;
            }
            if (decode_tile(&cs, &t, order + first, k - first, &t1, img) < 0) goto done;
        }
    }
    if (cs.truncated) img->truncated = 1;
    rc = 0;
done:
    free(order);
    jpx_t1_free(&t1);
    codestream_free(&cs);
    return rc;
}
