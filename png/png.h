// png/png.h - PNG encoder (8-bit gray or RGBA) and decoder (to RGBA), with CRC-32.
#ifndef QV_PNG_PNG_H
#define QV_PNG_PNG_H
#include <cstdint>

// The encoder writes a minimal PNG: signature, IHDR (bit depth 8, colour type 0 or 6, no interlace),
// one IDAT holding the whole zlib stream of the rows (filter type 0 on every row), IEND. No other chunk.
// Pixels are rows top to bottom, left to right, no padding: RGBA is 4 bytes per pixel (R, G, B, A;
// A = 255 opaque), gray 1 byte. Encoders and decoder keep their state per call: any number of threads
// may call them at once.

// Encodes width x height RGBA pixels; the result is gray (colour type 0, each pixel its R byte) when
// every pixel is opaque and R = G = B, else RGBA (colour type 6). Returns a complete PNG in a malloc'd
// array (caller frees) with its length in *size, or NULL (width or height <= 0, rgba or size null,
// sizes beyond what a PNG can hold, out of memory). Never a partial PNG; sets no error text.
uint8_t *qv_png_encode(int width, int height, const uint8_t *rgba, uint64_t *size);
// The same for width x height gray bytes; always colour type 0.
uint8_t *qv_png_encode_gray(int width, int height, const uint8_t *gray, uint64_t *size);
// Either of them (gray: the pixels are gray bytes) with at most threads encoder threads, for a
// caller that reads the processor count once (qv_png_encode asks the system each time).
uint8_t *qv_png_encode_with(int width, int height, const uint8_t *pixels, int gray, int32_t threads,
                            uint64_t *size);
// Encodes the RGBA pixels as qv_png_encode does and writes the PNG to path (created or truncated).
// 1 when every byte was written and the file closed cleanly, else 0; a partly written file stays.
int qv_png_write(const char *path, int width, int height, const uint8_t *rgba);

// Reads the PNG file at path and returns its pixels as malloc'd 8-bit RGBA, width x height x 4 bytes
// (caller frees). *width and *height are 0 on entry and the image's size on success. *message is set
// on every return: "" on success, else one fixed text beginning "png: " (a constant string, valid for
// the life of the process). Any of width, height, message may be null.
// Accepted: colour types 0 (depths 1, 2, 4, 8, 16), 2, 4, 6 (depths 8, 16) and 3 (depths 1, 2, 4, 8);
// 16-bit samples keep their high byte. Refused: interlaced images, 16-bit palettes, other depths,
// more than 2^30 pixels, images whose filtered rows need 2^31 bytes or more. Chunk CRCs are not
// checked; the zlib stream's Adler-32 is. tRNS applies to gray at depths 1 to 8 and to palettes only;
// a palette index beyond the PLTE entries gives opaque black.
uint8_t *qv_png_decode(const char *path, int *width, int *height, const char **message);

#endif
