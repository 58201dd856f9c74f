// codec/jpx/jpx.h - JPEG 2000 decoder (ISO 15444-1): a raw codestream or a JP2/JPX file to
// full-resolution component planes, and those planes to 8-bit samples.
//
// What is decoded: every progression order and progression change (POC), tiles and tile-parts in
// any order, precincts, code-block sizes and every code-block style (arithmetic coding bypass,
// context reset, termination on each pass, vertically causal context, predictable termination,
// segmentation symbols), several quality layers, packed packet headers (PPM, PPT), SOP and EPH
// markers, no / scalar derived / scalar expounded quantisation with guard bits, max-shift ROI,
// 5/3 and 9/7 wavelets, RCT and ICT, DC level shift. TLM, PLM, PLT, CRG and COM are skipped.
// JP2 boxes: ihdr, colr (enumerated or ICC), pclr with cmap, cdef, jp2c; res and unknown boxes are
// skipped, XL box lengths read. Refused: precision above jpx_max_precision, wavelet kernels and
// component transforms other than the two above, a codestream split over fragment tables.
//
// Partial data: a codestream cut short, or with a broken packet, decodes what is there: code-blocks
// never reached are zero, tiles without data come out as the level-shifted zero (mid-grey for an
// unsigned component); the image's `truncated` flag says so. A header that cannot be read, a size
// above the caps below, or a failed allocation fails the call.
//
// Memory: the planes (4 bytes a sample at full resolution) plus, while a tile decodes, its
// coefficients (4 bytes a sample of the tile), its code-block and precinct records and a copy of
// its data; the input is not kept. No recursion; every loop over the input advances.
#ifndef QV_CODEC_JPX_H
#define QV_CODEC_JPX_H
#include <cstdint>

// ---- constants ----------------------------------------------------------------------------------

// Caps checked before anything is allocated from the sizes a file claims.
const int32_t jpx_max_components = 16384;       // the format's own limit
const int32_t jpx_max_precision = 16;           // bits per sample; deeper components are refused
const uint32_t jpx_max_tiles = 65535;           // tile indices are 16 bits
const int32_t jpx_max_levels = 32;              // decomposition levels
const uint64_t jpx_max_samples = 1ull << 30;    // width x height x planes at full resolution
const uint32_t jpx_max_tile_codeblocks = 1u << 22;  // code-blocks in one tile, all components
const uint32_t jpx_max_tile_precincts = 1u << 22;   // precincts in one tile, all components
const int32_t jpx_max_poc = 256;                // progression changes for one tile
const uint64_t jpx_max_input = 0x7fffffffull;   // longest file or codestream read

// Colour spaces the file states (jpx_image.colourspace).
enum jpx_colourspace {
    jpx_cs_unknown = 0,  // no colr box (a raw codestream, or none given)
    jpx_cs_gray,         // enumerated greyscale (17)
    jpx_cs_rgb,          // enumerated sRGB (16), or sYCC (18) already converted to RGB
    jpx_cs_cmyk,         // enumerated CMYK (12)
    jpx_cs_icc,          // an ICC profile: icc_components colour channels
    jpx_cs_other,        // another enumerated space (enum_cs says which)
};

// ---- structs ------------------------------------------------------------------------------------

// One decoded channel at full image resolution: width * height samples, row by row, each within
// [0, 2^precision - 1] (unsigned) or [-2^(precision-1), 2^(precision-1) - 1] (signed).
struct jpx_plane {
    int32_t *data;
    int32_t precision;  // 1 .. jpx_max_precision
    int32_t is_signed;
};

// A decoded image. Planes are ordered colour channels first (ncolour of them, in the colour
// space's order, cdef applied), then the alpha channel when there is one, then any channel the
// file leaves unassociated. Release with jpx_image_free.
struct jpx_image {
    uint32_t width, height;    // the image area of the reference grid (Xsiz - XOsiz, Ysiz - YOsiz)
    int32_t nplanes;
    jpx_plane *planes;         // nplanes entries (their data NULL after jpx_read_header)
    int32_t ncolour;           // leading planes that are colour channels (all of them without a
                               // colr box or cdef, less the alpha channel)
    int32_t alpha;             // index of the opacity plane, -1: none (cdef types 1 and 2)
    int32_t alpha_premultiplied;  // cdef type 2; the planes are left as stored
    int32_t colourspace;       // jpx_colourspace
    uint32_t enum_cs;          // the colr box's enumerated value, 0: none or an ICC profile
    int32_t icc_components;    // channels of the ICC profile's colour space (from its header), 0: none
    uint8_t *icc;              // the ICC profile's bytes (malloc'd), NULL: none
    uint32_t icc_len;
    int32_t is_jp2;            // the input was a box file, not a raw codestream
    int32_t truncated;         // data ran out or a packet was broken; what was there is decoded
};

// 8-bit samples for one image: colour samples interleaved pixel by pixel, the alpha as its own
// plane. Release with jpx_pixels_free.
struct jpx_pixels {
    uint8_t *samples;   // width * height * channels bytes
    uint8_t *alpha;     // width * height bytes, NULL: no alpha
    uint32_t width, height;
    int32_t channels;
};

// ---- functions ----------------------------------------------------------------------------------

// Decodes data[0, len): a raw codestream (starts with the SOC and SIZ markers) or a JP2/JPX box
// file. *img is overwritten. 0: *img filled (maybe truncated, see above). -1: not JPEG 2000, a
// header unreadable or refused, or no memory; *img left zeroed.
int jpx_decode(const uint8_t *data, uint64_t len, jpx_image *img);

// The same header reading and checks as jpx_decode, without decoding any sample: every field as
// jpx_decode sets it (each plane's precision and signedness included) but the planes' data, which
// stay NULL, and truncated. Lets a caller refuse an image by its size before it is decoded.
int jpx_read_header(const uint8_t *data, uint64_t len, jpx_image *img);

// Flags of jpx_decode_flags: jpx_header_only reads as jpx_read_header; jpx_no_palette leaves a palette
// box (pclr) unapplied, so the planes are the codestream's components as they are (the palette's
// indexes; a component mapping or channel definition that refers to the palette is not applied
// either), for an image whose PDF colour space is Indexed and supplies the palette.
const int jpx_header_only = 1;
const int jpx_no_palette = 2;
int jpx_decode_flags(const uint8_t *data, uint64_t len, int flags, jpx_image *img);

// Frees what jpx_decode or jpx_read_header allocated; leaves *img zeroed (harmless twice).
void jpx_image_free(jpx_image *img);

// 8-bit samples of planes [first, first + count) of img as colour channels, and of plane alpha
// (-1: none) as the alpha plane. A sample v of precision p is first made unsigned (signed planes
// add 2^(p-1), so the most negative value becomes 0), then becomes v >> (p - 8) when p > 8 and
// round(v * 255 / (2^p - 1)) when p < 8. *px is overwritten. 0: filled. -1: a plane index out of
// range, count < 1, or no memory; *px left zeroed.
int jpx_to_8bit(const jpx_image *img, int32_t first, int32_t count, int32_t alpha, jpx_pixels *px);

// Frees the buffers of *px; leaves it zeroed (harmless twice).
void jpx_pixels_free(jpx_pixels *px);

// ---- for the library's own code and tests ------------------------------------------------------

// One sample to 8 bits by jpx_to_8bit's rule.
uint8_t jpx_sample_8bit(int32_t v, int32_t precision, int32_t is_signed);

#endif
