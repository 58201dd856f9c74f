// pdfextractimg/jpx_image.h - the glue between a PDF image and the JPEG 2000 decoder
// (codec/jpx/jpx.h): which channels are colour, which alpha, and what the samples mean.
#ifndef QV_PDFEXTRACTIMG_JPX_IMAGE_H
#define QV_PDFEXTRACTIMG_JPX_IMAGE_H
#include <cstdint>

#include "pdfextractimg/image_params.h"

// Pixels of an image whose chain ends in JPXDecode (see image_pixels for the buffer; *width and
// *height: the decoded image's size, which may differ from /Width and /Height). The samples
// become 8 bits (codec/jpx/jpx.h's rule) and are converted as 8-bit samples of /ColorSpace when
// the dictionary gives one, else of the file's own space (gray, RGB, CMYK, an ICC profile's
// channels; with none, 1 or 3 of the leading channels); /Decode is ignored. Alpha: /SMask when
// the dictionary has one, else the file's alpha channel (cdef), else with /SMaskInData above 0
// the first channel past the colour ones. Indexed images take the first channel's values as
// indexes. NULL: not decodable, a stencil mask, fewer channels than the space needs, above
// max_image_pixels, or no memory.
uint8_t *jpx_image_pixels(const pdfcore_doc *doc, const image_params *p, const uint8_t *stream,
                          uint64_t stream_len, int32_t *gray, int32_t *width, int32_t *height);

#endif
