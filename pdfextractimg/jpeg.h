// pdfextractimg/jpeg.h - JPEG pass-through: an image whose chain ends in DCTDecode is written as its
// JPEG data, never decoded.
#ifndef QV_PDFEXTRACTIMG_JPEG_H
#define QV_PDFEXTRACTIMG_JPEG_H
#include <cstdint>

#include "pdfextractimg/image_params.h"

struct extracted_image;

// Bytes of a stream's start read for the SOI marker and the frame's size, then eight times as many
// while they are not found, up to jpeg_probe_max.
const uint64_t jpeg_probe_bytes = 4096;
const uint64_t jpeg_probe_max = (uint64_t)1 << 21;

// JPEG pass-through of the stored bytes stream[0, stream_len) through the filters before
// DCTDecode. 1: *rec filled ("jpeg", its own copy of the data from the SOI marker; its size from
// /Width and /Height, else from the frame header). 0: no usable JPEG start, a filter failed, or no
// memory; nothing allocated. rec's type is struct extracted_image (extract.h).
int32_t jpeg_pass_through(const pdfcore_doc *doc, const image_params *p, const uint8_t *stream,
                          uint64_t stream_len, extracted_image *rec);
// The same for image stream o whose chain is DCTDecode alone and whose data is read as stored
// (pdfcore_stream_extent), without reading the data but for its first bytes: 1 with rec naming
// the file's bytes from the SOI marker (rec->src, src_off; data null); 0: no usable JPEG start, or
// a read came back short (doc->read_failed set); -1: not such a stream, the SOI marker (or the
// frame's size, needed when the dictionary gives none) lies beyond jpeg_probe_max bytes, or no
// memory: read the data whole instead.
int32_t jpeg_from_file(const pdfcore_doc *doc, const pdfcore_obj *o, const image_params *p,
                       extracted_image *rec);

#endif
