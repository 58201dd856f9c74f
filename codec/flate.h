// codec/flate.h - DEFLATE encoder into zlib streams, and the raw DEFLATE stream inflater.
#ifndef QV_CODEC_FLATE_H
#define QV_CODEC_FLATE_H
#include <cstdint>

// Compresses src[0, src_len) (0 allowed) into a new zlib stream. 0: *dst (malloc'd, caller frees)
// and *dst_len set. -1: out of memory; *dst and *dst_len not written, nothing leaked.
int qv_deflate(const uint8_t *src, uint64_t src_len, uint8_t **dst, uint64_t *dst_len);

// Decodes raw DEFLATE data (first byte = first block header) into dst[0, dst_cap), dst_cap < 2^31.
// Result: bytes written, or -1 on any failure.
int32_t qv_inflate(const uint8_t *src, uint64_t src_len, uint8_t *dst, uint64_t dst_cap);

#endif
