// pdfextractimg/image.cpp - one image to a JPEG or PNG file in memory: JPEG data passed through,
// JPEG 2000 data through its glue, every other image decoded, its masks made alpha, its samples
// made pixels and encoded as PNG.
#include "pdfextractimg/image.h"

#include <cstdlib>
#include <cstring>

#include "pdfextractimg/extract.h"
#include "pdfextractimg/jpeg.h"
#include "pdfextractimg/jpx_image.h"
#include "pdfextractimg/pixels.h"
#include "png/png.h"

// ---- the whole conversion -----------------------------------------------------------------------

// The alpha of an image from its masks, or NULL for none: the soft mask when /SMask names one, else
// the stencil mask or colour key of /Mask; a stencil mask itself has none.
static uint8_t *image_alpha(const pdfcore_doc *doc, const image_params *p, int32_t c,
                            const uint8_t *decoded, uint64_t decoded_len) {
    if (p->smask > 0) return read_soft_mask(doc, p->smask, p->width, p->height);
    if (p->image_mask) return nullptr;
    if (p->mask > 0) return read_stencil_mask(doc, p->mask, p->width, p->height);
    if (p->mask_key_count > 0) return color_key_alpha(p, c, decoded, decoded_len);
    return nullptr;
}

// The pixels of an image that is not JPEG data, its masks as alpha (see image_pixels; *gray
// set), or NULL when it does not convert. The decoded samples are freed before it returns, so the
// PNG encoder never runs beside them.
static uint8_t *decoded_pixels(const pdfcore_doc *doc, const image_params *p, const uint8_t *stream,
                               uint64_t stream_len, int32_t *gray) {
    if (p->chain.bad || stream_chain_has(&p->chain, pf_dct) || p->width <= 0 || p->height <= 0)
        return nullptr;
    uint64_t w = (uint64_t)p->width, h = (uint64_t)p->height;
    if (w * h > max_image_pixels) return nullptr;
    uint8_t *decoded = nullptr, *alpha = nullptr, *pixels = nullptr;
    uint64_t decoded_len = 0;
    int32_t judged = 0;  // the components a predictor took, judged before it ran
    if (image_decode(doc, p, p->chain.count, 0, stream, stream_len, &decoded, &decoded_len, &judged))
        return nullptr;
    int32_t c = judged > 0 ? judged : image_components(p, decoded_len);
    // At least an eighth of the sample bytes: row * h < 2^34 and decoded_len < 2^31, no wrap.
    if (w * h <= sparse_image_pixels ||
        decoded_len * 8u >= image_row_bytes(w, (uint64_t)c, (uint64_t)image_depth(p)) * h) {
        alpha = image_alpha(doc, p, c, decoded, decoded_len);
        sample_layout l = image_layout(p);
        pixels = image_pixels(&l, c, decoded, decoded_len, alpha, gray);
    }
    free(decoded);
    free(alpha);
    return pixels;
}

int32_t image_convert(const pdfcore_doc *doc, const image_params *p, const uint8_t *stream,
                      uint64_t stream_len, int32_t page, int32_t obj_num, extracted_image *rec,
                      int32_t flags) {
    int32_t result = 0, gray = 0;
    int32_t width = p->width, height = p->height;  // JPEG 2000 data gives its own
    uint8_t *pixels = nullptr, *file = nullptr;
    uint64_t file_len = 0;
    extracted_image r = *rec;
    r.page = page;
    r.obj_num = obj_num;
    if (p->chain.bad) goto done;
    // DCT last in the chain: the bytes after the filters before it are JPEG data, passed through
    // whatever the masks; nothing else is tried.
    if (stream_chain_last(&p->chain) == pf_dct) {
        if (jpeg_pass_through(doc, p, stream, stream_len, &r)) {
            *rec = r;
            result = 1;
        }
        goto done;
    }
    // A space that never marks the page or cannot be converted (JPEG data above is passed through
    // as stored, whatever its space says).
    if (p->cs.space.kind == space_skip && !p->image_mask) goto done;
    if (stream_chain_last(&p->chain) == pf_jpx) {
        pixels = jpx_image_pixels(doc, p, stream, stream_len, &gray, &width, &height);
    } else {
        pixels = decoded_pixels(doc, p, stream, stream_len, &gray);
    }
    if (!pixels) goto done;
    if (flags & extract_defer_png) {
        r.pixels = pixels;
        r.pixels_gray = gray;
        pixels = nullptr;
    } else if (!(flags & extract_no_png)) {
        file = gray ? qv_png_encode_gray(width, height, pixels, &file_len)
                    : qv_png_encode(width, height, pixels, &file_len);
        if (!file) goto done;
    }
    r.width = width;
    r.height = height;
    memset(r.format, 0, sizeof r.format);
    memcpy(r.format, "png", 3);
    r.size = r.data_len = file_len;
    r.data = file;
    r.src = nullptr;
    *rec = r;
    result = 1;
done:
    free(pixels);
    return result;
}

// Whether image p converts as far as its dictionary tells, its data not decoded (extract_no_decode):
// filters the library decodes, a usable size, a space that marks the page.
static bool converts_undecoded(const image_params *p) {
    int32_t last = stream_chain_last(&p->chain);
    if (p->chain.bad || (last != pf_dct && stream_chain_has(&p->chain, pf_dct))) return false;
    if (p->width <= 0 || p->height <= 0) return false;
    if ((uint64_t)p->width * (uint64_t)p->height > max_image_pixels) return false;
    return p->cs.space.kind != space_skip || p->image_mask;
}

// The record of an image that converts as far as its dictionary tells (a PNG, its size unknown).
static void undecoded_record(const image_params *p, int32_t page, int32_t obj_num, extracted_image *rec) {
    rec->page = page;
    rec->obj_num = obj_num;
    rec->width = p->width;
    rec->height = p->height;
    memset(rec->format, 0, sizeof rec->format);
    memcpy(rec->format, "png", 3);
    rec->size = rec->data_len = 0;
}

int32_t extract_single_image(const pdfcore_doc *doc, int32_t obj_num, int32_t page,
                             extracted_image *rec, int32_t flags) {
    if (!doc || !rec) return 0;
    const pdfcore_obj *o = obj_find(&doc->objs, obj_num);
    pdfcore_span s;
    if (!pdfcore_obj_span(doc, o, &s) || !o->is_stream) return 0;
    image_params p;
    read_image_params(doc, o, &p);
    int32_t result = -1;
    if ((flags & extract_borrow_jpeg) && !p.chain.bad) {
        extracted_image r = *rec;
        result = jpeg_from_file(doc, o, &p, &r);  // the JPEG data left in the file
        if (result == 1) {
            r.page = page;
            r.obj_num = obj_num;
            *rec = r;
        }
    }
    if (result < 0 && (flags & extract_no_decode) && stream_chain_last(&p.chain) != pf_dct &&
        o->data_end - o->data_off > undecoded_min_stored) {
        result = converts_undecoded(&p) ? 1 : 0;
        if (result) undecoded_record(&p, page, obj_num, rec);
    }
    uint8_t *stream = nullptr;
    uint64_t stream_len = 0;
    if (result < 0) {
        result = pdfcore_stream_read(doc, o, &stream, &stream_len)
                     ? image_convert(doc, &p, stream, stream_len, page, obj_num, rec, flags)
                     : 0;
    }
    free(stream);
    image_params_free(&p);
    return result;
}
