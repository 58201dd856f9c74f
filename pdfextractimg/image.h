// pdfextractimg/image.h - one image to a JPEG or PNG file in memory. extract_single_image
// (extract.h) runs this for an image XObject, image_convert for the parameters and data of any
// image (inline images too). Its steps have modules of their own: the dictionary and the decoding
// (image_params.h), samples to pixels and masks (pixels.h), JPEG pass-through (jpeg.h), JPEG 2000
// (jpx_image.h); the conversion runs them in order.
#ifndef QV_PDFEXTRACTIMG_IMAGE_H
#define QV_PDFEXTRACTIMG_IMAGE_H
#include <cstdint>

#include "pdfextractimg/image_params.h"

struct extracted_image;

// Converts the image of parameters p and stored data stream[0, stream_len) into *rec as
// extract_single_image does (DCT data as stored, everything else pixels and PNG, masks as alpha),
// with rec->page = page and rec->obj_num = obj_num. 1: filled; 0: not converted, *rec unchanged.
int32_t image_convert(const pdfcore_doc *doc, const image_params *p, const uint8_t *stream,
                      uint64_t stream_len, int32_t page, int32_t obj_num, extracted_image *rec,
                      int32_t flags);

#endif
