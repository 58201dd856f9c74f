// codec/jbig2_page.cpp - JBIG2 segments and the page: segment headers, what each segment kind
// leaves for later segments, regions combined onto the page, and the decoder's entry point.
#include <cstdlib>
#include <cstring>

#include "codec/jbig2_parts.h"

// Segment types.
enum {
    seg_symdict = 0,
    seg_text_mid = 4,
    seg_text = 6,
    seg_text_lossless = 7,
    seg_patdict = 16,
    seg_halftone_mid = 20,
    seg_halftone = 22,
    seg_halftone_lossless = 23,
    seg_generic_mid = 36,
    seg_generic = 38,
    seg_generic_lossless = 39,
    seg_refine_mid = 40,
    seg_refine = 42,
    seg_refine_lossless = 43,
    seg_page_info = 48,
    seg_end_page = 49,
    seg_end_stripe = 50,
    seg_end_file = 51,
    seg_profiles = 52,
    seg_tables = 53,
    seg_palette = 54,
    seg_extension = 62,
};

static const uint32_t unknown_length = 0xFFFFFFFFu;

struct seg_header {
    uint32_t number, type, page;
    uint32_t nref;
    uint32_t refs[jbig2_max_referred];  // the first min(nref, jbig2_max_referred)
    uint64_t data_len;                  // unknown_length: found by the data's end marker
};

// What a segment leaves for the segments that refer to it.
struct intermediate {
    jb2_bitmap bitmap;
};
enum { res_symdict, res_patdict, res_table, res_region };
struct seg_result {
    uint32_t number;
    int kind;
    void *obj;
};


struct page_state {
    jb2_ctx c;
    seg_result *results;
    uint32_t nresults, cap;
    uint32_t *map;  // results by segment number: open addressing, result index + 1 (0: free)
    uint32_t map_size;  // a power of two, over twice the results
    uint32_t segments;  // seen, against jbig2_max_segments
    uint32_t page_number;  // 0: not known yet
    int have_page, ended, damaged;
    jb2_bitmap page;
    int default_pixel;
    int unknown_height;
    uint32_t max_rows;          // an unknown-height page grows up to this
    uint32_t page_w, page_h;    // as its information segment says (page: cut to the hints)
};

static uint32_t hash_number(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    return x ^ (x >> 16);
}

static const seg_result *find_result(const page_state *st, uint32_t number) {
    if (!st->map) return nullptr;
    const uint32_t mask = st->map_size - 1;
    for (uint32_t i = hash_number(number) & mask;; i = (i + 1) & mask) {
        uint32_t v = st->map[i];
        if (v == 0) return nullptr;
        if (st->results[v - 1].number == number) return &st->results[v - 1];
    }
}

static void free_result(seg_result *r) {
    if (!r->obj) return;
    switch (r->kind) {
    case res_symdict: jb2_symdict_free((jb2_symdict *)r->obj); break;
    case res_patdict: jb2_patdict_free((jb2_patdict *)r->obj); break;
    case res_table: jb2_huff_free((jb2_huff_table *)r->obj); break;
    default: jb2_bitmap_free(&((intermediate *)r->obj)->bitmap); break;
    }
    free(r->obj);
    r->obj = nullptr;
}

// Maps result k's number to k; a later result of a number hides an earlier one.
static void map_insert(page_state *st, uint32_t k) {
    const uint32_t mask = st->map_size - 1;
    for (uint32_t i = hash_number(st->results[k].number) & mask;; i = (i + 1) & mask) {
        uint32_t v = st->map[i];
        if (v == 0 || st->results[v - 1].number == st->results[k].number) {
            st->map[i] = k + 1;
            return;
        }
    }
}

// Keeps obj (malloc'd, filled) as segment number's result; a later segment of the same number
// hides an earlier one. -1: no memory (obj is freed).
static int add_result(page_state *st, uint32_t number, int kind, void *obj) {
    seg_result r = {number, kind, obj};
    if (st->nresults == st->cap) {
        uint32_t cap = st->cap ? st->cap * 2 : 16;
        void *grown = realloc(st->results, sizeof(seg_result) * cap);
        if (!grown) {
            free_result(&r);
            return -1;
        }
        st->results = (seg_result *)grown;
        st->cap = cap;
    }
    st->results[st->nresults++] = r;
    if ((uint64_t)st->nresults * 2 >= st->map_size) {  // rebuilt twice as large
        uint32_t size = st->map_size ? st->map_size * 2 : 64;
        uint32_t *map = (uint32_t *)calloc(size, sizeof(uint32_t));
        if (!map) {
            st->nresults--;
            free_result(&r);
            return -1;
        }
        free(st->map);
        st->map = map;
        st->map_size = size;
        for (uint32_t k = 0; k < st->nresults; k++) map_insert(st, k);
    } else {
        map_insert(st, st->nresults - 1);
    }
    return 0;
}

// ---- Segment headers ----

// Parses the header at data[pos..len). 0 and *header_len, or -1: truncated or malformed (the
// rest of the stream cannot be found).
static int parse_header(const uint8_t *data, uint64_t len, uint64_t pos, seg_header *h,
                        uint64_t *header_len) {
    jb2_cur c = {data, len, pos, 0};
    h->number = jb2_read(&c, 4);
    uint32_t flags = jb2_read(&c, 1);
    h->type = flags & 63;
    uint32_t first = jb2_read(&c, 1);
    uint64_t count = first >> 5;
    if (count == 7) {  // long form: a 29-bit count, then one retention bit per segment and this one
        c.pos--;
        count = jb2_read(&c, 4) & 0x1FFFFFFFu;
        uint64_t retain_bytes = (count + 8) / 8;
        if (retain_bytes > c.len - c.pos) return -1;
        c.pos += retain_bytes;
    } else if (count > 4) {
        return -1;
    }
    uint32_t size = h->number <= 256 ? 1 : h->number <= 65536 ? 2 : 4;
    h->nref = (uint32_t)count;
    for (uint64_t i = 0; i < count && !c.failed; i++) {
        if (i == jbig2_max_referred) {  // the rest is skipped; the segment is refused later
            if ((count - i) * size > c.len - c.pos) return -1;
            c.pos += (count - i) * size;
            break;
        }
        h->refs[i] = jb2_read(&c, (int)size);
    }
    h->page = jb2_read(&c, (flags & 64) ? 4 : 1);
    h->data_len = jb2_read(&c, 4);
    if (c.failed) return -1;
    *header_len = c.pos - pos;
    return 0;
}

// The data length of an immediate generic region of unknown length: its data ends with 0xFF 0xAC
// (arithmetic) or 0x00 0x00 (MMR), then the region's row count. -1: no end found.
static int64_t find_generic_end(const uint8_t *data, uint64_t len) {
    const uint64_t fixed = 18;  // region information and flags
    if (len < fixed) return -1;
    int mmr = data[17] & 1;
    uint64_t at = fixed + (mmr ? 0 : ((data[17] >> 1) & 3) == 0 ? 8 : 2);
    uint8_t a = mmr ? 0x00 : 0xFF, b = mmr ? 0x00 : 0xAC;
    for (uint64_t i = at; i + 6 <= len; i++)
        if (data[i] == a && data[i + 1] == b) return (int64_t)(i + 6);
    return -1;
}

// ---- The page ----

// Makes an unknown-height page at least rows tall (up to max_rows), new rows at the default.
static int grow_page(page_state *st, uint64_t rows) {
    if (!st->unknown_height || rows <= st->page.h) return 0;
    if (rows > st->max_rows) rows = st->max_rows;
    if (rows <= st->page.h) return 0;
    uint64_t old = (uint64_t)st->page.stride * st->page.h, bytes = (uint64_t)st->page.stride * rows;
    void *grown = realloc(st->page.data, (size_t)bytes);
    if (!grown) return -1;
    st->page.data = (uint8_t *)grown;
    memset(st->page.data + old, st->default_pixel ? 0xFF : 0, (size_t)(bytes - old));
    st->page.h = (uint32_t)rows;
    if (st->default_pixel && (st->page.w & 7)) {
        uint8_t keep = (uint8_t)(0xFF00u >> (st->page.w & 7));
        for (uint64_t y = old / st->page.stride; y < rows; y++)
            st->page.data[y * st->page.stride + st->page.stride - 1] &= keep;
    }
    return 0;
}

// Width, height, resolution, flags (default pixel, default operator), striping.
static int page_info(page_state *st, const uint8_t *data, uint64_t len, uint32_t width_hint,
                     uint32_t height_hint) {
    jb2_cur c = {data, len, 0, 0};
    uint32_t w = jb2_read(&c, 4), h = jb2_read(&c, 4);
    jb2_read(&c, 4);
    jb2_read(&c, 4);
    uint32_t flags = jb2_read(&c, 1);
    jb2_read(&c, 2);  // striping: a stripe's rows are not needed to decode it
    if (c.failed || w == 0) return -1;
    st->page_w = w;
    st->page_h = h;
    st->default_pixel = (flags >> 2) & 1;
    st->unknown_height = h == 0xFFFFFFFFu;
    uint64_t rows = st->unknown_height ? 0 : h;
    if (rows > jbig2_max_pixels / w) return -1;
    st->max_rows = (uint32_t)(jbig2_max_pixels / w);
    // What lies past the image dictionary's size is cut off by the caller: it is not kept.
    if (width_hint > 0 && width_hint < w) w = width_hint;
    if (height_hint > 0 && height_hint < st->max_rows) st->max_rows = height_hint;
    if (rows > st->max_rows) rows = st->max_rows;
    if (jb2_bitmap_init(&st->page, w, (uint32_t)rows, jbig2_max_pixels) < 0) return -1;
    st->page.w = w;  // an unknown-height page starts with no rows but its width
    st->page.stride = (w + 7) / 8;
    jb2_bitmap_fill(&st->page, st->default_pixel);
    st->have_page = 1;
    // Past their data, bitmaps decode at most jbig2_past_data_pages of the page kept.
    uint64_t room = (uint64_t)w * (st->unknown_height ? st->max_rows : rows);
    room *= jbig2_past_data_pages;
    if (st->c.spare > room) st->c.spare = room;
    return 0;
}

// Region information: size, place, combination operator (colour extension refused).
struct region_info {
    uint32_t w, h, x, y;
    int op;
};
static int read_region_info(jb2_cur *c, region_info *ri) {
    ri->w = jb2_read(c, 4);
    ri->h = jb2_read(c, 4);
    ri->x = jb2_read(c, 4);
    ri->y = jb2_read(c, 4);
    uint32_t flags = jb2_read(c, 1);
    ri->op = (int)(flags & 7);
    if (c->failed || ri->op > jb2_op_replace || (flags & 8)) return -1;
    return 0;
}

// The symbols exported by the symbol dictionaries a segment refers to, in order, with the last
// of those dictionaries, and the custom tables it refers to, in order.
struct referred {
    const jb2_bitmap **syms;
    uint32_t nsyms;
    const jb2_symdict *last;
    const jb2_huff_table *tables[jbig2_max_referred];
    uint32_t ntables;
    const jb2_patdict *patterns;
    const intermediate *region;
    int missing;
};

static int gather(const page_state *st, const seg_header *h, referred *r) {
    memset(r, 0, sizeof *r);
    uint64_t nsyms = 0;
    uint32_t n = h->nref < jbig2_max_referred ? h->nref : jbig2_max_referred;
    for (uint32_t i = 0; i < n; i++) {
        const seg_result *res = find_result(st, h->refs[i]);
        if (!res) r->missing = 1;
        else if (res->kind == res_symdict)
            nsyms += ((const jb2_symdict *)res->obj)->nexported;
    }
    if (nsyms > jbig2_max_symbols) return -1;
    r->syms = (const jb2_bitmap **)malloc(sizeof(jb2_bitmap *) * (nsyms ? nsyms : 1));
    if (!r->syms) return -1;
    for (uint32_t i = 0; i < n; i++) {
        const seg_result *res = find_result(st, h->refs[i]);
        if (!res) continue;
        if (res->kind == res_symdict) {
            const jb2_symdict *sd = (const jb2_symdict *)res->obj;
            for (uint32_t k = 0; k < sd->nexported; k++) r->syms[r->nsyms++] = sd->exported[k];
            r->last = sd;
        } else if (res->kind == res_table) {
            r->tables[r->ntables++] = (const jb2_huff_table *)res->obj;
        } else if (res->kind == res_patdict && !r->patterns) {
            r->patterns = (const jb2_patdict *)res->obj;
        } else if (res->kind == res_region && !r->region) {
            r->region = (const intermediate *)res->obj;
        }
    }
    return 0;
}

static bool is_intermediate(uint32_t type) {
    return type == seg_text_mid || type == seg_halftone_mid || type == seg_generic_mid ||
           type == seg_refine_mid;
}

// A generic region's data after its region information: flags, adaptive pixels, coded data.
static int generic_region(page_state *st, const uint8_t *data, uint64_t len, jb2_bitmap *out) {
    jb2_cur c = {data, len, 0, 0};
    uint32_t flags = jb2_read(&c, 1);
    jb2_generic_params gp = {(int)(flags & 1), (int)((flags >> 1) & 3), (int)((flags >> 3) & 1),
                             {}, {}, nullptr};
    if (flags & 16) return -1;  // extended template
    if (gp.mmr) return jb2_mmr_decode(data + c.pos, len - c.pos, out, nullptr);
    for (int i = 0; i < (gp.tmpl == 0 ? 4 : 1); i++) {
        gp.atx[i] = (int8_t)jb2_read(&c, 1);
        gp.aty[i] = (int8_t)jb2_read(&c, 1);
    }
    if (c.failed) return -1;
    uint8_t *stats = (uint8_t *)calloc(jb2_generic_contexts(gp.tmpl), 1);
    if (!stats) return -1;
    jb2_mq d;
    jb2_mq_init(&d, data + c.pos, len - c.pos, &st->c.spare);
    int rc = jb2_generic_decode(&d, stats, &gp, out);
    free(stats);
    return rc;
}

// A refinement region's data after its region information. The reference is the intermediate
// region referred to, or else the page under the region.
static int refine_region(page_state *st, const uint8_t *data, uint64_t len, const referred *r,
                         const region_info *ri, jb2_bitmap *out) {
    jb2_cur c = {data, len, 0, 0};
    uint32_t flags = jb2_read(&c, 1);
    jb2_refine_params rp = {(int)(flags & 1), (int)((flags >> 1) & 1), {0, 0}, {0, 0}, nullptr, 0, 0};
    if (rp.tmpl == 0)
        for (int i = 0; i < 2; i++) {
            rp.atx[i] = (int8_t)jb2_read(&c, 1);
            rp.aty[i] = (int8_t)jb2_read(&c, 1);
        }
    if (c.failed) return -1;
    jb2_bitmap under = {0, 0, 0, nullptr};
    if (r->region) {
        rp.ref = &r->region->bitmap;
    } else {
        if (!st->have_page || grow_page(st, (uint64_t)ri->y + ri->h) < 0 ||
            jb2_bitmap_crop(&st->page, ri->x, ri->y, out->w, out->h, &under) < 0)
            return -1;
        rp.ref = &under;
    }
    uint8_t *stats = (uint8_t *)calloc(jb2_refine_contexts, 1);
    int rc = -1;
    if (stats) {
        jb2_mq d;
        jb2_mq_init(&d, data + c.pos, len - c.pos, &st->c.spare);
        rc = jb2_refine_decode(&d, stats, &rp, out);
    }
    free(stats);
    jb2_bitmap_free(&under);
    return rc;
}

// A region segment: decoded at its size, then combined onto the page or kept for a refinement.
static int region_segment(page_state *st, const seg_header *h, const uint8_t *data, uint64_t len) {
    jb2_cur c = {data, len, 0, 0};
    region_info ri;
    if (read_region_info(&c, &ri) < 0) return -1;
    const uint8_t *body = data + c.pos;
    uint64_t blen = len - c.pos;
    if (h->type == seg_generic && h->data_len == unknown_length) {
        if (len < 4) return -1;  // the row count closes the data
        ri.h = (uint32_t)data[len - 4] << 24 | (uint32_t)data[len - 3] << 16 |
               (uint32_t)data[len - 2] << 8 | data[len - 1];
        blen -= 4;
    }
    bool mid = is_intermediate(h->type);
    if (!st->have_page) return -1;
    // A region wider or taller than the page is refused before it is allocated.
    uint64_t tallest = st->unknown_height ? jbig2_max_pixels / st->page_w : st->page_h;
    if (ri.w > st->page_w || ri.h > tallest) return -1;
    // A region's rows below the page kept (cut to the image's height) are not decoded: no row
    // depends on the rows below it, and a refinement of an intermediate region sits where it does.
    uint64_t kept = st->unknown_height ? st->max_rows : st->page.h;
    uint32_t rows = ri.y >= kept ? 0 : (uint32_t)(ri.h < kept - ri.y ? ri.h : kept - ri.y);
    referred r;
    if (gather(st, h, &r) < 0) return -1;
    intermediate *im = (intermediate *)calloc(1, sizeof(intermediate));
    int rc = -1;
    if (!im || jb2_bitmap_init(&im->bitmap, ri.w, rows, jbig2_max_pixels) < 0) goto done;
    switch (h->type) {
    case seg_generic_mid:
    case seg_generic:
    case seg_generic_lossless: rc = generic_region(st, body, blen, &im->bitmap); break;
    case seg_refine_mid:
    case seg_refine:
    case seg_refine_lossless: rc = refine_region(st, body, blen, &r, &ri, &im->bitmap); break;
    case seg_text_mid:
    case seg_text:
    case seg_text_lossless:
        rc = jb2_text_region(&st->c, body, blen, r.syms, r.nsyms, r.tables, r.ntables, &im->bitmap);
        break;
    default: rc = jb2_halftone_region(&st->c, body, blen, r.patterns, &im->bitmap); break;
    }
    if (r.missing) rc = -1;
    // What was decoded is used, damaged or not.
    if (mid) {
        if (add_result(st, h->number, res_region, im) < 0) rc = -1;
        im = nullptr;
    } else if (grow_page(st, (uint64_t)ri.y + ri.h) < 0) {
        rc = -1;
    } else {
        jb2_compose(&st->page, &im->bitmap, ri.x, ri.y, ri.op);
    }
done:
    if (im) jb2_bitmap_free(&im->bitmap);
    free(im);
    free(r.syms);
    return rc;
}

// A dictionary or table segment: decoded and kept for the segments that refer to it.
static int dictionary_segment(page_state *st, const seg_header *h, const uint8_t *data,
                              uint64_t len) {
    referred r;
    if (gather(st, h, &r) < 0) return -1;
    int rc = -1, kind;
    void *obj = nullptr;
    if (h->type == seg_symdict) {
        kind = res_symdict;
        obj = calloc(1, sizeof(jb2_symdict));
        if (obj)
            rc = jb2_symdict_decode(&st->c, data, len, r.syms, r.nsyms, r.last, r.tables,
                                    r.ntables, (jb2_symdict *)obj);
    } else if (h->type == seg_patdict) {
        kind = res_patdict;
        obj = calloc(1, sizeof(jb2_patdict));
        if (obj) rc = jb2_patdict_decode(&st->c, data, len, (jb2_patdict *)obj);
    } else {
        kind = res_table;
        obj = calloc(1, sizeof(jb2_huff_table));
        if (obj) rc = jb2_huff_parse(data, len, (jb2_huff_table *)obj);
    }
    free(r.syms);
    // A damaged dictionary is kept empty, so that what refers to it finds it and fails alone.
    if (obj && add_result(st, h->number, kind, obj) < 0) rc = -1;
    return r.missing ? -1 : rc;
}

// One segment of the page or of page 0. -1: damaged (decoding goes on with the next segment).
static int segment(page_state *st, const seg_header *h, const uint8_t *data, uint64_t len,
                   uint32_t width_hint, uint32_t height_hint) {
    if (h->nref > jbig2_max_referred) return -1;
    switch (h->type) {
    case seg_symdict:
    case seg_patdict:
    case seg_tables: return dictionary_segment(st, h, data, len);
    case seg_text_mid:
    case seg_text:
    case seg_text_lossless:
    case seg_halftone_mid:
    case seg_halftone:
    case seg_halftone_lossless:
    case seg_generic_mid:
    case seg_generic:
    case seg_generic_lossless:
    case seg_refine_mid:
    case seg_refine:
    case seg_refine_lossless: return region_segment(st, h, data, len);
    case seg_page_info:
        if (st->have_page) {  // a second page: this one is complete
            st->ended = 1;
            return 0;
        }
        return page_info(st, data, len, width_hint, height_hint);
    case seg_end_stripe: {
        jb2_cur c = {data, len, 0, 0};
        uint32_t row = jb2_read(&c, 4);
        if (c.failed || !st->have_page) return -1;
        return grow_page(st, (uint64_t)row + 1);
    }
    case seg_end_page:
    case seg_end_file: st->ended = 1; return 0;
    case seg_profiles:
    case seg_palette:
    case seg_extension: return 0;
    default: return -1;
    }
}

// The segments of one stream, in order. A segment whose data runs past the stream is decoded as
// far as it goes, and ends the stream.
static void run_stream(page_state *st, const uint8_t *data, uint64_t len, bool globals,
                       uint32_t width_hint, uint32_t height_hint) {
    seg_header *h = (seg_header *)malloc(sizeof(seg_header));
    if (!h) {
        st->damaged = 1;
        return;
    }
    uint64_t pos = 0;
    while (pos < len && !st->ended) {
        uint64_t hlen;
        if (parse_header(data, len, pos, h, &hlen) < 0 || ++st->segments > jbig2_max_segments) {
            st->damaged = 1;
            break;
        }
        uint64_t at = pos + hlen, dlen = h->data_len, left = len - at;
        bool cut = false;
        if (dlen == unknown_length) {
            int64_t end = h->type == seg_generic ? find_generic_end(data + at, left) : -1;
            if (end < 0) {
                dlen = left;
                cut = true;
            } else {
                dlen = (uint64_t)end;
            }
        } else if (dlen > left) {
            dlen = left;
            cut = true;
        }
        bool ours = h->page == 0 || (!globals && (st->page_number == 0 || h->page == st->page_number));
        if (ours && !globals && h->page != 0 && st->page_number == 0) st->page_number = h->page;
        if (ours && segment(st, h, data + at, dlen, width_hint, height_hint) < 0) st->damaged = 1;
        if (cut) {
            st->damaged = 1;
            break;
        }
        pos = at + dlen;
    }
    free(h);
}

int32_t jbig2_decode(const uint8_t *data, uint64_t len, const uint8_t *globals,
                     uint64_t globals_len, uint32_t width_hint, uint32_t height_hint,
                     uint8_t **dst, uint32_t *width, uint32_t *height) {
    *dst = nullptr;
    *width = *height = 0;
    page_state *st = (page_state *)calloc(1, sizeof(page_state));
    if (!st) return -1;
    int32_t rc = -1;
    if (jb2_huff_std_build(&st->c.std) == 0) {
        st->c.draw = jbig2_max_draw_bytes;
        // Until the page is known (dictionaries in the globals), the image's size bounds it.
        uint64_t hinted = (uint64_t)width_hint * height_hint;
        st->c.spare = (hinted > 0 && hinted < jbig2_max_pixels ? hinted : jbig2_max_pixels) *
                      jbig2_past_data_pages;
        if (globals) run_stream(st, globals, globals_len, true, width_hint, height_hint);
        st->ended = 0;  // an end of file among the globals ends only them
        run_stream(st, data ? data : (const uint8_t *)"", data ? len : 0, false, width_hint,
                   height_hint);
    }
    if (st->have_page) {
        // The filter's samples: 1 is white.
        jb2_bitmap *p = &st->page;
        uint64_t bytes = (uint64_t)p->stride * p->h;
        for (uint64_t i = 0; i < bytes; i++) p->data[i] = (uint8_t)~p->data[i];
        if (p->w & 7) {
            uint8_t keep = (uint8_t)(0xFF00u >> (p->w & 7));
            for (uint32_t y = 0; y < p->h; y++) p->data[(uint64_t)y * p->stride + p->stride - 1] &= keep;
        }
        *dst = p->data ? p->data : (uint8_t *)malloc(1);
        if (*dst) {
            p->data = nullptr;
            *width = p->w;
            *height = p->h;
            rc = st->damaged ? 1 : 0;
        }
    }
    jb2_bitmap_free(&st->page);
    for (uint32_t i = 0; i < st->nresults; i++) free_result(&st->results[i]);
    free(st->results);
    free(st->map);
    jb2_huff_std_free(&st->c.std);
    free(st);
    return rc;
}
