// codec/inflate.h - zlib stream decoder (RFC 1950/1951) and PNG row unfilter.
#ifndef QV_CODEC_INFLATE_H
#define QV_CODEC_INFLATE_H
#include <cstdint>

// Decodes the zlib stream src[0, src_len) (from its CMF byte) into dst, which the caller allocates
// with dst_cap bytes (at most 2^30). *dst_len (when dst_len is not null) is set to 0 on entry and
// to the bytes produced on success. 0: success. -1: any failure (header refused, input exhausted,
// corrupt data, dst too small); dst may hold partial output. A call cannot resume: after -1 for a
// small dst, call again with a larger one.
// Lenient where the data allows it: the header check value (FCHECK) and window size (CINFO) are
// not examined, a stored block's NLEN is not compared with LEN, nothing after the final block is
// read (the Adler-32 trailer may be wrong or missing). Refused: CM other than 8, a preset
// dictionary (FDICT), raw DEFLATE data without the 2-byte header.
int inflate_decompress(const uint8_t *src, uint64_t src_len, uint8_t *dst, uint64_t dst_cap,
                       uint64_t *dst_len);

// Undoes PNG row filters in place. rows holds R = rows_len / (row_bytes + 1) rows, each a filter
// byte then row_bytes data bytes; on success the first R * row_bytes bytes are the image. Every
// byte is one pixel (its left neighbour is the byte before it): right for one channel of at most
// 8 bits. A last partial row is ignored. 0: success. -1: row_bytes <= 0 (buffer untouched) or a
// filter type above 4 (the rows before it are already unfiltered and packed).
int inflate_png_unfilter(uint8_t *rows, uint64_t rows_len, int32_t row_bytes);

#endif
