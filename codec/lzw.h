// codec/lzw.h - decoder for PDF LZWDecode data (early change 1).
#ifndef QV_CODEC_LZW_H
#define QV_CODEC_LZW_H
#include <cstdint>

#include "codec/outbuf.h"

// Decodes into dst, which the caller allocates and sizes. 0: end code or input used up, *dst_len
// (if not null) = bytes written. -1: output would pass dst_cap, or a code names no string;
// *dst_len untouched, dst partly written.
int lzw_decompress(const uint8_t *src, uint64_t src_len, uint8_t *dst, uint64_t dst_cap,
                   uint64_t *dst_len);
// The same into a growable output: the bytes are appended to out as they are produced, never past
// out->max. 0: done, or stopped at max with out->cut set. -1: a code names no string, or no memory
// (out->no_memory); out holds the partial output, which the caller frees.
int lzw_grow(const uint8_t *src, uint64_t src_len, qv_outbuf *out);

#endif
