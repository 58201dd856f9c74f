// codec/inflate.h - the inflate core (RFC 1951) with its two entries, the zlib stream decoder (PDF
// filters, object streams, page content) and the raw stream inflater (PNG data), and the PNG row
// unfilter. Each call keeps its state to itself: any number of threads may call at once.
#ifndef QV_CODEC_INFLATE_H
#define QV_CODEC_INFLATE_H
#include <cstdint>

#include "codec/outbuf.h"

// Decodes the zlib stream src[0, src_len) (from its CMF byte) into dst, which the caller allocates
// with dst_cap bytes (at most 2^30). *dst_len (when dst_len is not null) is set to 0 on entry and
// to the bytes produced on success. 0: success. -1: any failure (header refused, input exhausted,
// corrupt data, dst too small); dst may hold partial output. A call cannot resume: after -1 for a
// small dst, call again with a larger one.
// Lenient where the data allows it: the header check value (FCHECK) and window size (CINFO) are
// not examined, a stored block's NLEN is not compared with LEN, nothing after the final block is
// read (the Adler-32 trailer may be wrong or missing). Refused: CM other than 8, a preset
// dictionary (FDICT), raw DEFLATE data without the 2-byte header, an incomplete code-length code,
// an incomplete literal/length or distance code other than a single one-bit code, a block without
// an end-of-block code.
int inflate_decompress(const uint8_t *src, uint64_t src_len, uint8_t *dst, uint64_t dst_cap,
                       uint64_t *dst_len);

// inflate_decompress into a growable output: the zlib stream's bytes are appended to out (which
// may already hold bytes) as they are produced, never past out->max (at most 2^30; a larger max is
// lowered to it). 0: decoded through the final block, or stopped at max with out->cut set (the
// rest of the input is not read, so damage there goes unseen). -1: any failure as above, or no
// memory (out->no_memory); out then holds the partial output, which the caller frees.
int inflate_grow(const uint8_t *src, uint64_t src_len, qv_outbuf *out);

// Decodes raw DEFLATE data (first byte = first block header) into dst[0, dst_cap). Result: bytes
// written, or -1 on any failure (truncated or corrupt data, a stored block whose NLEN is not the
// complement of LEN, an over-subscribed code, output beyond dst_cap); dst may then hold partial
// output. Incomplete codes are accepted. Data after the final block is not read. A dst_cap above
// 2^31 - 1 counts as 2^31 - 1, so the count always fits the result.
int32_t qv_inflate(const uint8_t *src, uint64_t src_len, uint8_t *dst, uint64_t dst_cap);

// Undoes PNG row filters in place. rows holds R = rows_len / (row_bytes + 1) rows, each a filter
// byte then row_bytes data bytes; on success the first R * row_bytes bytes are the image. Every
// byte is one pixel (its left neighbour is the byte before it): right for one channel of at most
// 8 bits. A last partial row is ignored. 0: success. -1: row_bytes <= 0 (buffer untouched) or a
// filter type above 4 (the rows before it are already unfiltered and packed).
int inflate_png_unfilter(uint8_t *rows, uint64_t rows_len, int32_t row_bytes);

// One PNG row of n bytes: dst[i] = src[i] + the prediction of filter type (1 Sub, 2 Up, 3 Average,
// 4 Paeth; any other type predicts 0) from dst[i - bpp] (0 for i < bpp) and the unfiltered row
// above, prev (null for the first row: zeros). dst may be src, or lie before it in the same buffer
// (rows packed as they are unfiltered); prev must not overlap src[0, n).
void png_unfilter_row(uint8_t type, const uint8_t *src, uint8_t *dst, const uint8_t *prev,
                      uint64_t n, uint64_t bpp);

#endif
