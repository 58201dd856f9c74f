// png/png.h - PNG encoder (8-bit gray or RGBA) and decoder (to RGBA), with CRC-32.
#ifndef QV_PNG_PNG_H
#define QV_PNG_PNG_H
#include <cstdint>

// Encodes width x height RGBA pixels; the result is gray (colour type 0) when every pixel is opaque
// and gray. Returns a malloc'd PNG (caller frees) with *size set, or NULL.
uint8_t *qv_png_encode(int width, int height, const uint8_t *rgba, uint64_t *size);
// The same for width x height gray bytes; always colour type 0.
uint8_t *qv_png_encode_gray(int width, int height, const uint8_t *gray, uint64_t *size);
// 1 when the whole PNG of the RGBA pixels was written to path, else 0.
int qv_png_write(const char *path, int width, int height, const uint8_t *rgba);
// Reads the PNG file at path into malloc'd RGBA pixels (caller frees), or NULL with *message set
// to a fixed text.
uint8_t *qv_png_decode(const char *path, int *width, int *height, const char **message);

#endif
