// pdfextractimg/jpx_image.cpp - JPEG 2000 images: the codestream decoded (codec/jpx/jpx.h), its
// channels chosen by the image's colour space or the file's own, made 8-bit samples and converted
// as any 8-bit image.
#include <cstdlib>
#include <cstring>

#include "codec/jpx/jpx.h"
#include "pdfextractimg/jpx_image.h"
#include "pdfextractimg/pixels.h"

// Colour channels the image takes: the dictionary's space when it gives one, else the file's.
// 0 when neither says (no channel to take).
static int32_t jpx_colour_channels(const image_params *p, const jpx_image &img) {
    if (p->cs.indexed) return 1;
    if (p->cs.space.kind != space_by_comps) return p->cs.space.comps;
    if (p->cs.comps > 0) return p->cs.comps;
    switch (img.colourspace) {
    case jpx_cs_gray: return 1;
    case jpx_cs_rgb: return 3;
    case jpx_cs_cmyk: return 4;
    case jpx_cs_icc:
        if (img.icc_components == 1 || img.icc_components == 3 || img.icc_components == 4)
            return img.icc_components;
        break;
    default: break;
    }
    // No usable statement: three channels read as RGB, fewer as gray.
    return img.ncolour >= 3 ? 3 : img.ncolour >= 1 ? 1 : 0;
}

// An Indexed image's indexes: the first channel's values as they are (not scaled to 8 bits),
// clipped to 0..255, in a new buffer of width * height bytes.
static uint8_t *jpx_indexes(const jpx_image &img) {
    uint64_t n = (uint64_t)img.width * img.height;
    uint8_t *out = (uint8_t *)malloc(n ? n : 1);
    if (!out) return nullptr;
    const jpx_plane &pl = img.planes[0];
    int32_t shift = pl.is_signed ? 1 << (pl.precision - 1) : 0;
    for (uint64_t i = 0; i < n; i++) {
        int32_t v = pl.data[i] + shift;
        out[i] = (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v);
    }
    return out;
}

uint8_t *jpx_image_pixels(const pdfcore_doc *doc, const image_params *p, const uint8_t *stream,
                          uint64_t stream_len, int32_t *gray, int32_t *width, int32_t *height) {
    *gray = 0;
    if (p->image_mask || stream_chain_last(&p->chain) != pf_jpx) return nullptr;
    uint8_t *code = nullptr, *alpha = nullptr, *indexes = nullptr, *pixels = nullptr;
    uint64_t code_len = 0;
    jpx_image img;
    jpx_pixels px;
    memset(&img, 0, sizeof img);
    memset(&px, 0, sizeof px);
    sample_layout l;
    int32_t c = 0, alpha_plane = -1;
    uint32_t iw = 0, ih = 0;
    int palette_flag = p->cs.indexed ? jpx_no_palette : 0;
    if (image_decode(doc, p, p->chain.count - 1, 0, stream, stream_len, &code, &code_len, nullptr))
        return nullptr;
    // The size is checked from the header before any sample is decoded.
    // An Indexed image's samples are the dictionary's palette indexes: a palette box of the file is
    // not applied to them.
    if (jpx_decode_flags(code, code_len, jpx_header_only | palette_flag, &img) != 0 ||
        img.width == 0 || img.height == 0 ||
        (uint64_t)img.width * img.height > max_image_pixels)
        goto done;
    jpx_image_free(&img);
    if (jpx_decode_flags(code, code_len, palette_flag, &img) != 0) goto done;
    free(code);
    code = nullptr;
    iw = img.width;
    ih = img.height;
    c = jpx_colour_channels(p, img);
    if (c < 1 || c > img.nplanes) goto done;
    if (p->smask > 0) {
        alpha = read_soft_mask(doc, p->smask, (int32_t)img.width, (int32_t)img.height);
    } else if (img.alpha >= 0) {
        alpha_plane = img.alpha;
    } else if (p->smask_in_data > 0 && img.nplanes > c) {
        alpha_plane = c;
    }
    if (p->cs.indexed) {
        indexes = jpx_indexes(img);
        if (!indexes) goto done;
        if (alpha_plane >= 0 && jpx_to_8bit(&img, alpha_plane, 1, -1, &px) == 0) {
            alpha = px.samples;  // the alpha channel alone, as 8-bit samples
            px.samples = nullptr;
        }
    } else if (jpx_to_8bit(&img, 0, c, alpha_plane, &px) != 0) {
        goto done;
    } else if (px.alpha) {
        alpha = px.alpha;
        px.alpha = nullptr;
    }
    jpx_image_free(&img);  // the planes are no longer needed: the pixels are made without them
    // The samples are 8-bit samples of c components in the decoded image's size, in the space
    // the dictionary gives; /Decode does not apply.
    l = sample_layout{(int32_t)iw, (int32_t)ih, 8, 0, 0, 0, nullptr, &p->cs};
    pixels = image_pixels(&l, c, indexes ? indexes : px.samples,
                          (uint64_t)iw * (uint64_t)ih * (uint64_t)c, alpha, gray);
    if (pixels) {
        *width = l.width;
        *height = l.height;
    }
done:
    free(code);
    free(alpha);
    free(indexes);
    jpx_pixels_free(&px);
    jpx_image_free(&img);
    return pixels;
}
