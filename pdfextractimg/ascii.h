// pdfextractimg/ascii.h - ASCIIHexDecode, ASCII85Decode and RunLengthDecode filters.
#ifndef QV_PDFEXTRACTIMG_ASCII_H
#define QV_PDFEXTRACTIMG_ASCII_H
#include <cstdint>

// Each decodes src[0, len) (no NUL needed, never read past len) into a new malloc'd buffer
// (caller frees) and sets *out_len, or returns NULL when the buffer cannot be allocated.
uint8_t *decode_hex(const uint8_t *src, uint64_t len, uint64_t *out_len);
uint8_t *decode_a85(const uint8_t *src, uint64_t len, uint64_t *out_len);
uint8_t *decode_runlength(const uint8_t *src, uint64_t len, uint64_t *out_len);

#endif
