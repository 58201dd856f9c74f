// pdfextractimg/jpeg.h - JPEG pass-through: an image whose chain ends in DCTDecode is written as its
// JPEG data, never decoded.
#ifndef QV_PDFEXTRACTIMG_JPEG_H
#define QV_PDFEXTRACTIMG_JPEG_H
#include <cstdint>

#include "pdfextractimg/image_params.h"

struct extracted_image;

// JPEG pass-through of the bytes after the filters before DCTDecode. 1: *rec filled ("jpeg", data
// from the SOI marker; its size from /Width and /Height, else from the frame header; with borrow 1
// and no filter before DCTDecode, rec->data points into stream[0, stream_len) and
// rec->data_borrowed is 1). 0: no usable JPEG start, a filter failed, or no memory; nothing
// allocated. rec's type is struct extracted_image (extract.h).
int32_t jpeg_pass_through(const pdfcore_doc *doc, const image_params *p, const uint8_t *stream,
                          uint64_t stream_len, int32_t borrow, extracted_image *rec);

#endif
