// codec/jpx/jpx_jp2.cpp - the JP2/JPX box file around a codestream (header boxes, palette and
// component mapping, channel definitions, colour box), sYCC to RGB, the decoder's
// entry points and the conversion to 8-bit samples.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "codec/jpx/jpx_internal.h"

const uint32_t max_palette_entries = 1024;  // the format's own limits
const uint32_t max_palette_columns = 255;

// ---- file-local structs -------------------------------------------------------------------------

struct palette {
    uint32_t entries, columns;
    uint8_t prec[max_palette_columns];
    uint8_t sgnd[max_palette_columns];
    int32_t *values;              // entries x columns, row by row
};

struct cmap_entry {
    uint16_t comp;
    uint8_t type, column;         // type 0: the component itself, 1: palette column
};

struct cdef_entry {
    uint16_t channel, type, assoc;
};

// What the header boxes say; the first box of each kind counts.
struct jp2_info {
    const uint8_t *codestream;
    uint64_t codestream_len;
    int32_t have_colr;
    uint32_t method, enum_cs;
    const uint8_t *icc;
    uint32_t icc_len;
    int32_t have_pclr;
    palette pal;
    int32_t ncmap;                // -1: no cmap box
    cmap_entry cmap[max_palette_columns + 1];
    int32_t ncdef;                // -1: no cdef box
    cdef_entry *cdef;
};

static inline uint32_t be16(const uint8_t *p) { return (uint32_t)p[0] << 8 | p[1]; }
static inline uint32_t be32(const uint8_t *p) { return be16(p) << 16 | be16(p + 2); }
static inline uint32_t box_type(const char *s) {
    return (uint32_t)(uint8_t)s[0] << 24 | (uint32_t)(uint8_t)s[1] << 16 |
           (uint32_t)(uint8_t)s[2] << 8 | (uint8_t)s[3];
}

// ---- boxes --------------------------------------------------------------------------------------

// The box at d[pos, end): its type and contents [*body, *body_end). 0, or -1 when it does not fit
// (a length of 0 runs to end).
static int next_box(const uint8_t *d, uint64_t pos, uint64_t end, uint32_t *type, uint64_t *body,
                    uint64_t *body_end) {
    if (pos + 8 > end) return -1;
    uint64_t len = be32(d + pos);
    *type = be32(d + pos + 4);
    uint64_t head = 8;
    if (len == 1) {
        if (pos + 16 > end) return -1;
        len = (uint64_t)be32(d + pos + 8) << 32 | be32(d + pos + 12);
        head = 16;
    } else if (len == 0) {
        len = end - pos;
    }
    if (len < head || len > end - pos) return -1;
    *body = pos + head;
    *body_end = pos + len;
    return 0;
}

static int read_pclr(const uint8_t *d, uint64_t pos, uint64_t end, palette *p) {
    if (pos + 3 > end) return -1;
    uint32_t ne = be16(d + pos), npc = d[pos + 2];
    pos += 3;
    if (ne == 0 || ne > max_palette_entries || npc == 0 || pos + npc > end) return -1;
    uint32_t row = 0;
    for (uint32_t i = 0; i < npc; i++) {
        uint32_t prec = (d[pos + i] & 0x7F) + 1u;
        if (prec > (uint32_t)jpx_max_precision) return -1;
        p->prec[i] = (uint8_t)prec;
        p->sgnd[i] = (uint8_t)(d[pos + i] >> 7);
        row += (prec + 7) / 8;
    }
    pos += npc;
    if ((uint64_t)row * ne > end - pos) return -1;
    p->values = (int32_t *)malloc((size_t)ne * npc * sizeof(int32_t));
    if (!p->values) return -1;
    for (uint32_t e = 0; e < ne; e++) {
        for (uint32_t i = 0; i < npc; i++) {
            uint32_t v = d[pos++];
            if (p->prec[i] > 8) v = v << 8 | d[pos++];
            int32_t s = (int32_t)v;
            if (p->sgnd[i] && (v >> (p->prec[i] - 1)) & 1u) s = (int32_t)v - (1 << p->prec[i]);
            p->values[e * npc + i] = s;
        }
    }
    p->entries = ne;
    p->columns = npc;
    return 0;
}

// One header box's contents (jp2h, or JPX's codestream and layer headers).
static int read_header_box(const uint8_t *d, uint64_t type, uint64_t pos, uint64_t end, jp2_info *in) {
    if (type == box_type("colr") && !in->have_colr && pos + 3 <= end) {
        uint32_t meth = d[pos];
        if (meth == 1 && pos + 7 <= end) {
            in->have_colr = 1, in->method = 1, in->enum_cs = be32(d + pos + 3);
        } else if ((meth == 2 || meth == 3) && end - pos - 3 >= 20) {
            in->have_colr = 1, in->method = meth;
            in->icc = d + pos + 3;
            in->icc_len = (uint32_t)std::min<uint64_t>(end - pos - 3, jpx_max_input);
        }
    } else if (type == box_type("pclr") && !in->have_pclr) {
        if (read_pclr(d, pos, end, &in->pal) < 0) return -1;
        in->have_pclr = 1;
    } else if (type == box_type("cmap") && in->ncmap < 0) {
        uint64_t n = (end - pos) / 4;
        if (n > max_palette_columns + 1) return -1;
        in->ncmap = (int32_t)n;
        for (uint64_t i = 0; i < n; i++, pos += 4)
            in->cmap[i] = cmap_entry{(uint16_t)be16(d + pos), d[pos + 2], d[pos + 3]};
    } else if (type == box_type("cdef") && in->ncdef < 0 && pos + 2 <= end) {
        uint32_t n = be16(d + pos);
        if ((uint64_t)n * 6 > end - pos - 2) return -1;
        in->cdef = (cdef_entry *)malloc((n ? n : 1) * sizeof(cdef_entry));
        if (!in->cdef) return -1;
        in->ncdef = (int32_t)n;
        for (uint32_t i = 0; i < n; i++) {
            const uint8_t *e = d + pos + 2 + 6 * i;
            in->cdef[i] = cdef_entry{(uint16_t)be16(e), (uint16_t)be16(e + 2), (uint16_t)be16(e + 4)};
        }
    }
    return 0;
}

// Walks the top-level boxes and the header superboxes (one level down, no deeper).
static int read_boxes(const uint8_t *d, uint64_t len, jp2_info *in) {
    uint64_t pos = 0;
    uint32_t type;
    uint64_t body, body_end;
    if (next_box(d, 0, len, &type, &body, &body_end) < 0 || type != box_type("jP  ")) return -1;
    while (next_box(d, pos, len, &type, &body, &body_end) == 0) {
        if (type == box_type("jp2c") && !in->codestream) {
            in->codestream = d + body;
            in->codestream_len = body_end - body;
        } else if (type == box_type("jp2h") || type == box_type("jpch") || type == box_type("jplh")) {
            uint32_t t2;
            uint64_t b2, e2, p2 = body;
            while (next_box(d, p2, body_end, &t2, &b2, &e2) == 0) {
                if (read_header_box(d, t2, b2, e2, in) < 0) return -1;
                p2 = e2;
            }
        }
        if (body_end == pos) break;
        pos = body_end;
    }
    return in->codestream ? 0 : -1;
}

// ---- channels -----------------------------------------------------------------------------------

// Channels of the file from the codestream's components: the palette and component mapping
// applied (each palette channel a new plane; header_only: no samples). Replaces img->planes.
static int map_channels(const jp2_info *in, int header_only, jpx_image *img) {
    if (in->ncmap <= 0) return 0;  // no mapping: the components are the channels
    uint64_t pixels = (uint64_t)img->width * img->height;
    int32_t n = in->ncmap;
    if (pixels > jpx_max_samples / (uint64_t)n) return -1;
    jpx_plane *out = (jpx_plane *)calloc((size_t)n, sizeof(jpx_plane));
    uint8_t *taken = (uint8_t *)calloc((size_t)img->nplanes, 1);
    int rc = -1;
    if (!out || !taken) goto done;
    for (int32_t i = 0; i < n; i++) {
        const cmap_entry *e = &in->cmap[i];
        if (e->comp >= img->nplanes) goto done;
        jpx_plane *src = &img->planes[e->comp];
        bool pal = e->type == 1 && in->have_pclr;
        if (pal && e->column >= in->pal.columns) goto done;
        out[i].precision = pal ? in->pal.prec[e->column] : src->precision;
        out[i].is_signed = pal ? in->pal.sgnd[e->column] : src->is_signed;
        if (header_only) continue;
        if (!pal && !taken[e->comp]) {
            out[i].data = src->data;  // moved, not copied
            taken[e->comp] = 1;
            continue;
        }
        out[i].data = (int32_t *)malloc((size_t)pixels * sizeof(int32_t));
        if (!out[i].data) goto done;
        if (!pal) {
            memcpy(out[i].data, src->data, (size_t)pixels * sizeof(int32_t));
            continue;
        }
        const int32_t *idx = src->data;
        int32_t last = (int32_t)in->pal.entries - 1;
        for (uint64_t k = 0; k < pixels; k++) {
            int32_t v = idx[k] < 0 ? 0 : idx[k] > last ? last : idx[k];
            out[i].data[k] = in->pal.values[(uint32_t)v * in->pal.columns + e->column];
        }
    }
    // Components no channel took are freed with the old array; moved ones are not.
    for (int32_t c = 0; c < img->nplanes; c++)
        if (!taken[c]) free(img->planes[c].data);
    free(img->planes);
    img->planes = out;
    img->nplanes = n;
    out = nullptr;
    rc = 0;
done:
    if (out) {
        for (int32_t i = 0; i < n; i++) {
            const cmap_entry *e = &in->cmap[i];
            bool moved = e->comp < img->nplanes && out[i].data == img->planes[e->comp].data;
            if (!moved) free(out[i].data);
        }
        free(out);
    }
    free(taken);
    return rc;
}

// Colour channels of the colour space, 0: unknown.
static int32_t cs_channels(const jpx_image *img) {
    switch (img->colourspace) {
    case jpx_cs_gray: return 1;
    case jpx_cs_rgb: return 3;
    case jpx_cs_cmyk: return 4;
    case jpx_cs_icc: return img->icc_components;
    default: return 0;
    }
}

// Colour channels first in association order, then the opacity channel, then the rest.
static int order_channels(const jp2_info *in, jpx_image *img) {
    int32_t n = img->nplanes;
    img->alpha = -1;
    if (in->ncdef <= 0) {
        int32_t k = cs_channels(img);
        img->ncolour = k > 0 && k <= n ? k : n;
        return 0;
    }
    jpx_plane *out = (jpx_plane *)calloc((size_t)n, sizeof(jpx_plane));
    uint8_t *used = (uint8_t *)calloc((size_t)n, 1);
    if (!out || !used) {
        free(out);
        free(used);
        return -1;
    }
    int32_t k = 0;
    // Colour channels by association 1, 2, ...: at most n of them.
    for (uint32_t assoc = 1; assoc <= (uint32_t)n; assoc++) {
        for (int32_t i = 0; i < in->ncdef; i++) {
            const cdef_entry *e = &in->cdef[i];
            if (e->type == 0 && e->assoc == assoc && e->channel < n && !used[e->channel]) {
                used[e->channel] = 1;
                out[k++] = img->planes[e->channel];
                break;
            }
        }
    }
    img->ncolour = k;
    for (int32_t i = 0; i < in->ncdef; i++) {
        const cdef_entry *e = &in->cdef[i];
        if ((e->type == 1 || e->type == 2) && e->channel < n && !used[e->channel]) {
            used[e->channel] = 1;
            img->alpha = k;
            img->alpha_premultiplied = e->type == 2;
            out[k++] = img->planes[e->channel];
            break;
        }
    }
    for (int32_t c = 0; c < n; c++)
        if (!used[c]) out[k++] = img->planes[c];
    if (img->ncolour == 0) img->ncolour = img->alpha == 0 ? 0 : 1;
    free(img->planes);
    free(used);
    img->planes = out;
    return 0;
}

// Channels an ICC profile's colour space has, by the signature at byte 16 of its header.
static int32_t icc_channels(const uint8_t *icc, uint32_t len) {
    if (len < 20) return 0;
    uint32_t sig = be32(icc + 16);
    if (sig == box_type("GRAY")) return 1;
    if (sig == box_type("CMYK")) return 4;
    if (sig == box_type("RGB ") || sig == box_type("Lab ") || sig == box_type("XYZ ") ||
        sig == box_type("Luv ") || sig == box_type("YCbr") || sig == box_type("Yxy ") ||
        sig == box_type("HSV ") || sig == box_type("HLS ") || sig == box_type("CMY "))
        return 3;
    // 2CLR .. FCLR: 2 to 15 colours.
    if ((sig & 0xFFFFFF) == (box_type(" CLR") & 0xFFFFFF)) {
        uint32_t c = sig >> 24;
        if (c >= '2' && c <= '9') return (int32_t)(c - '0');
        if (c >= 'A' && c <= 'F') return (int32_t)(c - 'A' + 10);
    }
    return 0;
}

static int read_colour(const jp2_info *in, jpx_image *img) {
    if (!in->have_colr) return 0;
    if (in->method == 1) {
        img->enum_cs = in->enum_cs;
        img->colourspace = in->enum_cs == 16 || in->enum_cs == 18 ? jpx_cs_rgb
                           : in->enum_cs == 17                   ? jpx_cs_gray
                           : in->enum_cs == 12                   ? jpx_cs_cmyk
                                                                 : jpx_cs_other;
        return 0;
    }
    img->colourspace = jpx_cs_icc;
    img->icc_components = icc_channels(in->icc, in->icc_len);
    img->icc = (uint8_t *)malloc(in->icc_len);
    if (!img->icc) return -1;
    memcpy(img->icc, in->icc, in->icc_len);
    img->icc_len = in->icc_len;
    return 0;
}

// sYCC to RGB on the three colour planes, each clamped to its own range.
static void sycc_to_rgb(jpx_image *img) {
    if (img->ncolour < 3) return;
    jpx_plane *p = img->planes;
    if (p[0].is_signed || p[1].is_signed || p[2].is_signed || !p[0].data) return;
    uint64_t n = (uint64_t)img->width * img->height;
    float off1 = (float)(1 << (p[1].precision - 1)), off2 = (float)(1 << (p[2].precision - 1));
    float m0 = (float)((1 << p[0].precision) - 1), m1 = (float)((1 << p[1].precision) - 1);
    float m2 = (float)((1 << p[2].precision) - 1);
    for (uint64_t i = 0; i < n; i++) {
        float y = (float)p[0].data[i], cb = (float)p[1].data[i] - off1, cr = (float)p[2].data[i] - off2;
        float r = y + 1.402f * cr, g = y - 0.344136f * cb - 0.714136f * cr, b = y + 1.772f * cb;
        p[0].data[i] = (int32_t)lrintf(std::min(std::max(r, 0.0f), m0));
        p[1].data[i] = (int32_t)lrintf(std::min(std::max(g, 0.0f), m1));
        p[2].data[i] = (int32_t)lrintf(std::min(std::max(b, 0.0f), m2));
    }
}

// ---- entry --------------------------------------------------------------------------------------

static int decode(const uint8_t *data, uint64_t len, int flags, jpx_image *img) {
    int header_only = flags & jpx_header_only;
    memset(img, 0, sizeof *img);
    if (!data || len < 12 || len > jpx_max_input) return -1;
    jp2_info in;
    memset(&in, 0, sizeof in);
    in.ncmap = -1, in.ncdef = -1;
    int rc = -1;
    bool raw = be16(data) == 0xFF4F && be16(data + 2) == 0xFF51;
    if (raw) {
        in.codestream = data, in.codestream_len = len;
    } else {
        if (read_boxes(data, len, &in) < 0) goto done;
        img->is_jp2 = 1;
    }
    if (jpx_codestream_decode(in.codestream, in.codestream_len, header_only, img) < 0) goto done;
    if ((flags & jpx_no_palette) && in.have_pclr) {
        // The palette's indexes: the codestream's components as they are, the first the index.
        in.ncmap = -1, in.ncdef = -1;
    }
    if (map_channels(&in, header_only, img) < 0 || read_colour(&in, img) < 0) goto done;
    if (order_channels(&in, img) < 0) goto done;
    if (img->enum_cs == 18 && !header_only) sycc_to_rgb(img);
    rc = 0;
done:
    free(in.pal.values);
    free(in.cdef);
    if (rc < 0) jpx_image_free(img);
    return rc;
}

int jpx_decode(const uint8_t *data, uint64_t len, jpx_image *img) { return decode(data, len, 0, img); }

int jpx_read_header(const uint8_t *data, uint64_t len, jpx_image *img) {
    return decode(data, len, jpx_header_only, img);
}

int jpx_decode_flags(const uint8_t *data, uint64_t len, int flags, jpx_image *img) {
    return decode(data, len, flags, img);
}

void jpx_image_free(jpx_image *img) {
    if (img->planes)
        for (int32_t i = 0; i < img->nplanes; i++) free(img->planes[i].data);
    free(img->planes);
    free(img->icc);
    memset(img, 0, sizeof *img);
}

// ---- 8-bit samples ------------------------------------------------------------------------------

uint8_t jpx_sample_8bit(int32_t v, int32_t precision, int32_t is_signed) {
    int64_t u = (int64_t)v + (is_signed ? (int64_t)1 << (precision - 1) : 0);
    int64_t max = ((int64_t)1 << precision) - 1;
    u = u < 0 ? 0 : u > max ? max : u;
    if (precision > 8) return (uint8_t)(u >> (precision - 8));
    if (precision == 8) return (uint8_t)u;
    return (uint8_t)((2 * u * 255 + max) / (2 * max));
}

// The rule above as a table over the plane's range, indexed by v + 2^(p-1) for signed planes.
static uint8_t *plane_table(const jpx_plane *p) {
    uint32_t n = 1u << p->precision;
    uint8_t *t = (uint8_t *)malloc(n);
    if (!t) return nullptr;
    int32_t base = p->is_signed ? -(1 << (p->precision - 1)) : 0;
    for (uint32_t i = 0; i < n; i++) t[i] = jpx_sample_8bit(base + (int32_t)i, p->precision, p->is_signed);
    return t;
}

static inline uint8_t lookup(const uint8_t *t, const jpx_plane *p, int32_t v) {
    int32_t base = p->is_signed ? -(1 << (p->precision - 1)) : 0;
    int64_t i = (int64_t)v - base, max = ((int64_t)1 << p->precision) - 1;
    return t[i < 0 ? 0 : i > max ? max : i];
}

int jpx_to_8bit(const jpx_image *img, int32_t first, int32_t count, int32_t alpha, jpx_pixels *px) {
    memset(px, 0, sizeof *px);
    if (count < 1 || first < 0 || first > img->nplanes - count || alpha >= img->nplanes ||
        alpha < -1 || !img->planes)
        return -1;
    for (int32_t i = 0; i < count; i++)
        if (!img->planes[first + i].data) return -1;
    if (alpha >= 0 && !img->planes[alpha].data) return -1;
    uint64_t n = (uint64_t)img->width * img->height;
    uint8_t *table = nullptr;
    px->samples = (uint8_t *)malloc((size_t)(n * (uint64_t)count) + 1);
    if (alpha >= 0) px->alpha = (uint8_t *)malloc((size_t)n + 1);
    if (!px->samples || (alpha >= 0 && !px->alpha)) goto fail;
    for (int32_t i = 0; i < count; i++) {
        const jpx_plane *p = &img->planes[first + i];
        free(table);
        table = plane_table(p);
        if (!table) goto fail;
        uint8_t *dst = px->samples + i;
        for (uint64_t k = 0; k < n; k++) dst[k * (uint64_t)count] = lookup(table, p, p->data[k]);
    }
    if (alpha >= 0) {
        const jpx_plane *p = &img->planes[alpha];
        free(table);
        table = plane_table(p);
        if (!table) goto fail;
        for (uint64_t k = 0; k < n; k++) px->alpha[k] = lookup(table, p, p->data[k]);
    }
    free(table);
    px->width = img->width, px->height = img->height, px->channels = count;
    return 0;
fail:
    free(table);
    jpx_pixels_free(px);
    return -1;
}

void jpx_pixels_free(jpx_pixels *px) {
    free(px->samples);
    free(px->alpha);
    memset(px, 0, sizeof *px);
}
