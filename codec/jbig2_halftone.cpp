// codec/jbig2_halftone.cpp - pattern dictionaries and halftone regions: a grid of gray values,
// decoded as Gray-coded bit planes, each cell drawn as the pattern of its value.
#include <cstdlib>
#include <cstring>

#include "codec/jbig2_parts.h"

void jb2_patdict_free(jb2_patdict *s) {
    for (uint32_t i = 0; i < s->n; i++) jb2_bitmap_free(&s->pats[i]);
    free(s->pats);
    memset(s, 0, sizeof *s);
}

// The usual adaptive pixels of a template, the first one replaced by (x1, -1) or, for patterns,
// by (-width, 0).
static void usual_at(jb2_generic_params *gp, int32_t x1, int32_t y1) {
    static const int32_t atx[4] = {3, -3, 2, -2}, aty[4] = {-1, -1, -2, -2};
    for (int i = 0; i < 4; i++) {
        gp->atx[i] = atx[i];
        gp->aty[i] = aty[i];
    }
    if (gp->tmpl >= 2) gp->atx[0] = 2;
    if (y1 == 0) {
        gp->atx[0] = x1;
        gp->aty[0] = 0;
    }
}

// Flags (MMR, template), the patterns' width and height, the largest gray value, then the
// patterns side by side in one bitmap.
int jb2_patdict_decode(jb2_ctx *c, const uint8_t *data, uint64_t len, jb2_patdict *out) {
    memset(out, 0, sizeof *out);
    jb2_cur cur = {data, len, 0, 0};
    uint32_t flags = jb2_read(&cur, 1);
    uint32_t pw = jb2_read(&cur, 1), ph = jb2_read(&cur, 1), graymax = jb2_read(&cur, 4);
    if (cur.failed || graymax >= jbig2_max_patterns || pw == 0 || ph == 0) return -1;
    uint32_t n = graymax + 1;
    if (jb2_ctx_hold(c, (uint64_t)n * pw, ph) < 0) return -1;
    jb2_bitmap all;
    if (jb2_bitmap_init(&all, n * pw, ph, jbig2_max_pixels) < 0) return -1;
    int rc;
    const uint8_t *body = data + cur.pos;
    uint64_t blen = len - cur.pos;
    if (flags & 1) {
        rc = jb2_mmr_decode(body, blen, &all, nullptr);
    } else {
        jb2_generic_params gp = {0, (int)((flags >> 1) & 3), 0, {}, {}, nullptr};
        usual_at(&gp, -(int32_t)pw, 0);
        uint8_t *stats = (uint8_t *)calloc(jb2_generic_contexts(gp.tmpl), 1);
        jb2_mq d;
        jb2_mq_init(&d, body, blen, &c->spare);
        rc = stats ? jb2_generic_decode(&d, stats, &gp, &all) : -1;
        free(stats);
    }
    out->pats = (jb2_bitmap *)calloc(n, sizeof(jb2_bitmap));
    if (!out->pats) rc = -1;
    for (uint32_t i = 0; rc == 0 && i < n; i++) {
        if (jb2_bitmap_crop(&all, (int64_t)i * pw, 0, pw, ph, &out->pats[i]) < 0) rc = -1;
        out->n = i + 1;
    }
    jb2_bitmap_free(&all);
    if (rc < 0) jb2_patdict_free(out);
    return rc;
}

// Where cell (m, n) of the grid goes: the grid's origin and vector are in 1/256 pixel.
struct grid {
    uint32_t w, h;
    int64_t x, y;
    uint32_t rx, ry;
};
static inline int64_t cell_x(const grid *g, uint32_t m, uint32_t n) {
    return (g->x + (int64_t)m * g->ry + (int64_t)n * g->rx) >> 8;
}
static inline int64_t cell_y(const grid *g, uint32_t m, uint32_t n) {
    return (g->y + (int64_t)m * g->rx - (int64_t)n * g->ry) >> 8;
}

// The bit planes of the gray values, most significant first, each the XOR of its coded bitmap
// and the plane above (Gray code).
static int gray_planes(jb2_ctx *c, const uint8_t *data, uint64_t len, int mmr, int tmpl,
                       const jb2_bitmap *skip, uint32_t bpp, jb2_bitmap *planes) {
    jb2_generic_params gp = {0, tmpl, 0, {}, {}, skip};
    usual_at(&gp, 0, -1);
    uint8_t *stats = nullptr;
    jb2_mq d;
    if (!mmr) {
        stats = (uint8_t *)calloc(jb2_generic_contexts(tmpl), 1);
        if (!stats) return -1;
        jb2_mq_init(&d, data, len, &c->spare);
    }
    int rc = 0;
    uint64_t pos = 0;
    for (uint32_t j = bpp; rc == 0 && j-- > 0;) {
        if (mmr) {
            uint64_t used = 0;
            rc = jb2_mmr_decode(data + pos, len - pos, &planes[j], &used);
            pos += used < len - pos ? used : len - pos;
        } else {
            rc = jb2_generic_decode(&d, stats, &gp, &planes[j]);
        }
        if (j + 1 < bpp)
            for (uint64_t i = 0; i < (uint64_t)planes[j].stride * planes[j].h; i++)
                planes[j].data[i] ^= planes[j + 1].data[i];
    }
    free(stats);
    return rc;
}

// Draws each cell with the pattern of its gray value. -1: a value past the last pattern (the
// last is drawn), or the drawing budget spent.
static int draw_cells(jb2_ctx *c, const grid *g, const jb2_patdict *pd, const jb2_bitmap *planes,
                      uint32_t bpp, int op, jb2_bitmap *out) {
    const uint32_t pw = pd->pats[0].w, ph = pd->pats[0].h;
    const uint64_t cost = (uint64_t)ph * (pw / 8u + 2u) + 1u;
    int rc = 0;
    for (uint32_t m = 0; m < g->h; m++)
        for (uint32_t n = 0; n < g->w; n++) {
            uint32_t v = 0;
            for (uint32_t j = 0; j < bpp; j++) v |= (uint32_t)jb2_pixel(&planes[j], n, m) << j;
            if (v >= pd->n) {
                v = pd->n - 1;
                rc = -1;
            }
            if (cost > c->draw) return -1;
            c->draw -= cost;
            jb2_compose(out, &pd->pats[v], cell_x(g, m, n), cell_y(g, m, n), op);
        }
    return rc;
}

// Flags, the grid (size, origin, vector), then the gray values' planes; each cell is drawn with
// the pattern of its value.
int jb2_halftone_region(jb2_ctx *c, const uint8_t *data, uint64_t len, const jb2_patdict *pd,
                        jb2_bitmap *out) {
    jb2_cur cur = {data, len, 0, 0};
    uint32_t flags = jb2_read(&cur, 1);
    grid g;
    g.w = jb2_read(&cur, 4);
    g.h = jb2_read(&cur, 4);
    g.x = (int32_t)jb2_read(&cur, 4);
    g.y = (int32_t)jb2_read(&cur, 4);
    g.rx = jb2_read(&cur, 2);
    g.ry = jb2_read(&cur, 2);
    int mmr = flags & 1, tmpl = (flags >> 1) & 3, useskip = (flags >> 3) & 1;
    int op = (flags >> 4) & 7;
    jb2_bitmap_fill(out, flags >> 7);
    if (cur.failed || !pd || pd->n == 0) return -1;
    // A grid of no cells draws nothing (however many rows or columns it claims); one of more
    // cells than the region has pixels is refused.
    if (g.w == 0 || g.h == 0) return 0;
    if ((uint64_t)g.w * g.h > (uint64_t)out->w * out->h) return -1;
    const uint32_t pw = pd->pats[0].w, ph = pd->pats[0].h;
    uint32_t bpp = 0;
    while ((1ull << bpp) < pd->n) bpp++;
    jb2_bitmap skip = {0, 0, 0, nullptr}, planes[16];
    memset(planes, 0, sizeof planes);
    int rc = 0;
    if (useskip && !mmr) {
        if (jb2_bitmap_init(&skip, g.w, g.h, jbig2_max_pixels) < 0) return -1;
        for (uint32_t m = 0; m < g.h; m++)
            for (uint32_t n = 0; n < g.w; n++) {
                int64_t x = cell_x(&g, m, n), y = cell_y(&g, m, n);
                if (x + pw <= 0 || x >= (int64_t)out->w || y + ph <= 0 || y >= (int64_t)out->h)
                    skip.data[(uint64_t)m * skip.stride + (n >> 3)] |= (uint8_t)(0x80u >> (n & 7));
            }
    }
    for (uint32_t j = 0; j < bpp; j++)
        if (jb2_bitmap_init(&planes[j], g.w, g.h, jbig2_max_pixels) < 0) rc = -1;
    if (rc == 0) {
        rc = gray_planes(c, data + cur.pos, len - cur.pos, mmr, tmpl, useskip ? &skip : nullptr,
                         bpp, planes);
        // Cells are drawn after damage too, with their planes as far as decoded.
        if (draw_cells(c, &g, pd, planes, bpp, op, out) < 0) rc = -1;
    }
    jb2_bitmap_free(&skip);
    for (uint32_t j = 0; j < 16; j++) jb2_bitmap_free(&planes[j]);
    return rc;
}
