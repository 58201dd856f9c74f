// pdfextractimg/image_params.cpp - an image dictionary read into image_params (its colour space by
// colourspace.h, its filter chain by the stream module), and the image's data decoded as the image
// needs it. The PDF values are read with the core's value readers (pdfcore.h).
#include "pdfextractimg/image_params.h"

#include <cstdlib>
#include <cstring>

// s from pos on: the same bytes, owner and name lists.
static pdfcore_span from(const pdfcore_span &s, int32_t pos) {
    pdfcore_span r = s;
    r.start = pos;
    return r;
}

// /Mask at v.start: a reference to a stencil mask stream, or a colour key array of non-negative
// integers (in place or through a reference, its elements too). Anything else is no mask.
static void read_mask(const pdfcore_doc *doc, pdfcore_span v, image_params *p) {
    v.start = skip_ws(v.text, v.start, v.end);
    if (!pdfcore_resolve(doc, &v)) return;
    const pdfcore_obj *o = pdfcore_stream_at(doc, &v);
    if (o) {
        p->mask = o->num;
        return;
    }
    if (v.text[v.start] != '[') return;
    int32_t key[max_mask_key];
    int32_t count = 0, q = v.start + 1;
    pdfcore_span e;
    while (pdfcore_array_next(doc, &v, &q, &e)) {
        int32_t x = e.start < e.end && is_digit(e.text[e.start]) ? pdfcore_read_int(doc, e) : -1;
        if (count == max_mask_key || x < 0) return;
        key[count++] = x;
    }
    if (count < 2 || count % 2 != 0) return;
    memcpy(p->mask_key, key, (size_t)count * sizeof key[0]);
    p->mask_key_count = count;
}

void read_image_params(const pdfcore_doc *doc, const pdfcore_obj *entry, image_params *p) {
    pdfcore_span s;
    if (!doc || !entry || !pdfcore_obj_span(doc, entry, &s)) s = pdfcore_span{nullptr, 0, 0, -1};
    read_image_params_span(doc, s, p);
}

void read_image_params_span(const pdfcore_doc *doc, const pdfcore_span &s, image_params *p) {
    memset(p, 0, sizeof *p);
    p->width = p->height = -1;
    p->bpc = 8;
    p->smask = -1;
    p->mask = -1;
    if (!doc || !s.text || s.start >= s.end) return;
    const uint8_t *t = s.text;
    int32_t lo, hi, k;
    stream_parms_extent(doc, s, &lo, &hi);
    if ((k = pdfcore_find_key_outside(&s, "Width", lo, hi)) >= 0) p->width = pdfcore_read_int(doc, from(s, k + 6));
    if ((k = pdfcore_find_key_outside(&s, "Height", lo, hi)) >= 0) p->height = pdfcore_read_int(doc, from(s, k + 7));
    if ((k = pdfcore_find_key_outside(&s, "BitsPerComponent", lo, hi)) >= 0)
        p->bpc = pdfcore_read_int(doc, from(s, k + 17));
    if ((k = pdfcore_find_key_outside(&s, "ImageMask", lo, hi)) >= 0) {
        pdfcore_span v = from(s, k + 10);
        if (pdfcore_resolve(doc, &v) && v.start + 3 < v.end && !memcmp(v.text + v.start, "true", 4)) {
            p->image_mask = 1;
            p->bpc = 1;
        }
    }
    if ((k = pdfcore_find_key_outside(&s, "ColorSpace", lo, hi)) >= 0) {
        pdfcore_span v = from(s, k + 11);
        read_color_space(doc, &v, &p->cs);
    }
    stream_read_chain(doc, s, &p->chain);
    int32_t last = stream_chain_last(&p->chain);
    if (last == pf_ccitt || last == pf_jbig2) p->bpc = 1;  // what these give, whatever /BitsPerComponent says
    pdfcore_span d = from(s, -1);
    if ((k = pdfcore_find_key_outside(&s, "Decode", lo, hi)) >= 0) d.start = k + 7;
    if (pdfcore_resolve(doc, &d) && d.text[d.start] == '[') {
        int32_t q = d.start + 1;
        pdfcore_span e;
        while (p->decode_count < 2 * colour_max_comps && pdfcore_array_next(doc, &d, &q, &e)) {
            double x = 0;
            if (e.start < e.end && pdfcore_read_real(e.text, e.end, &e.start, &x))
                p->decode[p->decode_count++] = x;
        }
    }
    p->invert = (p->decode_count >= 2 && p->decode[0] == 1.0 && p->decode[1] == 0.0) ||
                p->image_mask;
    if ((k = pdfcore_find_key_outside(&s, "SMaskInData", lo, hi)) >= 0) {
        int32_t n = pdfcore_read_int(doc, from(s, k + 12));
        p->smask_in_data = n > 0 ? n : 0;
    }
    if ((k = pdfcore_find_key_outside(&s, "SMask", lo, hi)) >= 0) {
        int32_t v = skip_ws(t, k + 6, s.end);
        if (v < s.end && is_digit(t[v])) {
            int32_t n = parse_int_at(t, s.end, &v);
            p->smask = n > 0 ? n : -1;
        }
    }
    if ((k = pdfcore_find_key_outside(&s, "Mask", lo, hi)) >= 0) read_mask(doc, from(s, k + 5), p);
}

void image_params_free(image_params *p) { colour_space_free(&p->cs); }

int32_t image_depth(const image_params *p) {
    return p->bpc == 1 || p->bpc == 2 || p->bpc == 4 || p->bpc == 16 ? p->bpc : 8;
}

uint64_t image_row_bytes(uint64_t width, uint64_t c, uint64_t depth) {
    return (width * c * depth + 7u) / 8u;
}

int32_t image_components(const image_params *p, uint64_t decoded_len) {
    if (p->image_mask || p->cs.indexed) return 1;
    if (p->cs.comps > 0) return p->cs.comps;
    if (p->width <= 0 || p->height <= 0) return 3;
    uint64_t w = (uint64_t)p->width, h = (uint64_t)p->height, d = (uint64_t)image_depth(p);
    // len >= h * row, compared by division: h * row can pass 2^64 for hostile sizes.
    if (decoded_len / h >= image_row_bytes(w, 4, d)) return 4;
    if (decoded_len / h >= image_row_bytes(w, 3, d)) return 3;
    return 1;
}

// ---- decoding -----------------------------------------------------------------------------------

uint64_t image_decoded_limit(const image_params *p) {
    if (p->width <= 0 || p->height <= 0) return stream_max_decoded;
    uint64_t b = p->bpc >= 1 && p->bpc <= 16 ? (uint64_t)p->bpc : 8u;
    uint64_t row = ((uint64_t)p->width * b * 4u + 7u) / 8u + 1u; // < 2^38
    if (row > (stream_max_decoded - 4096u) / (uint64_t)p->height) return stream_max_decoded;
    return row * (uint64_t)p->height + 4096u;
}

// The image's predictor parameters when /DecodeParms gives none of them: its components as the
// decoded length before the predictor tells them (kept for the conversion), its depth and width.
struct predictor_ctx {
    const image_params *p;
    int32_t comps;  // fixed (a mask: 1), or 0: judged from the decoded length
    int32_t judged; // the components judged, 0: not asked
};

static void image_predictor_params(void *ctx, uint64_t decoded_len, int32_t *colors, int32_t *bits,
                                   int32_t *columns) {
    predictor_ctx *x = (predictor_ctx *)ctx;
    x->judged = x->comps > 0 ? x->comps : image_components(x->p, decoded_len);
    if (*colors > 0 || *bits > 0 || *columns > 0) return;
    *colors = x->judged;
    *bits = image_depth(x->p);
    *columns = x->p->width;
}

int image_decode(const pdfcore_doc *doc, const image_params *p, int32_t count, int32_t comps,
                 const uint8_t *stream, uint64_t stream_len, uint8_t **out, uint64_t *out_len,
                 int32_t *judged) {
    predictor_ctx x = {p, comps, 0};
    stream_opts o;
    memset(&o, 0, sizeof o);
    o.limit = image_decoded_limit(p);
    o.expect = o.limit < stream_max_decoded ? o.limit : 0;
    o.width = p->width > 0 ? p->width : 0;
    o.height = p->height > 0 ? p->height : 0;
    o.predictor_params = image_predictor_params;
    o.ctx = &x;
    int cut = 0;
    int rc = stream_run(doc, &p->chain, count, stream, stream_len, &o, out, out_len, &cut);
    if (judged) *judged = x.judged;
    return rc;
}
