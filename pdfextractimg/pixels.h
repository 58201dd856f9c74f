// pdfextractimg/pixels.h - decoded samples to 8-bit pixels, and the alpha of an image's masks: its
// soft mask (/SMask), a stencil mask or a colour key (/Mask).
#ifndef QV_PDFEXTRACTIMG_PIXELS_H
#define QV_PDFEXTRACTIMG_PIXELS_H
#include <cstdint>

#include "pdfextractimg/image_params.h"

// ---- structs ------------------------------------------------------------------------------------

// How decoded samples lie and what they mean: what image_pixels needs of an image. A plain value
// that points at the colour space it reads (not owned).
struct sample_layout {
    int32_t width, height;    // pixels, > 0
    int32_t depth;            // bits per sample: 1, 2, 4, 8 or 16
    int32_t image_mask;       // a stencil mask: one bit a pixel, painted where it is 0 (1 under
                              // /Decode [1 0])
    int32_t invert;           // the first /Decode pair is (1, 0), or image_mask
    int32_t decode_count;     // numbers of /Decode (0: the default)
    const double *decode;
    const colour_space *cs;   // palette and space
};

// ---- for the library's own code and tests ------------------------------------------------------

// The layout of an image's own samples: its size, depth (image_depth), mask, /Decode and space.
sample_layout image_layout(const image_params *p);

// Pixels of the decoded samples (c components, laid out as l says) with optional alpha (width *
// height bytes): a malloc'd buffer (caller frees) of width * height gray bytes (*gray = 1: a
// one-bit gray image without alpha) or width * height * 4 RGBA bytes (*gray = 0); NULL when width
// or height is not positive, the image is too large, or no memory. A sample past the data counts
// as 0; an index past an Indexed palette takes its last entry.
uint8_t *image_pixels(const sample_layout *l, int32_t c, const uint8_t *decoded, uint64_t decoded_len,
                      const uint8_t *alpha, int32_t *gray);

// Alpha of soft mask object smask, scaled to width x height by nearest neighbour: malloc'd
// width * height bytes (caller frees), or NULL when there is no usable mask.
uint8_t *read_soft_mask(const pdfcore_doc *doc, int32_t smask, int32_t width, int32_t height);
// The same for stencil mask stream mask (/Mask): one bit a sample, 1 transparent (alpha 0) and
// 0 opaque (255), swapped by /Decode [1 0].
uint8_t *read_stencil_mask(const pdfcore_doc *doc, int32_t mask, int32_t width, int32_t height);
// Alpha of a /Mask colour key over the decoded samples (c components, p->bpc bits; for Indexed
// images the index): 0 where every component's raw sample lies in its range of p->mask_key, 255
// elsewhere; a missing sample reads as 0. Malloc'd width * height bytes (caller frees), or NULL
// when the key has fewer than 2 * c numbers, the size is unusable, or no memory.
uint8_t *color_key_alpha(const image_params *p, int32_t c, const uint8_t *decoded, uint64_t decoded_len);

#endif
