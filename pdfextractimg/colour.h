// pdfextractimg/colour.h - colour beyond gray and RGB: CMYK to RGB, CIE L*a*b* to sRGB, and image
// samples converted row by row through a tint transform (Separation, DeviceN), the All colorant,
// or Lab.
//
// Lab (ISO 32000-1 8.6.5.4): L* in [0 100] and a*, b* clipped to the space's /Range give XYZ
// relative to the space's /WhitePoint; Bradford adaptation to D65, the sRGB matrix and transfer
// curve of IEC 61966-2-1, clamped to [0 1] and rounded to 8 bits. PDF's formulas leave
// /BlackPoint out of the conversion, and so does this one (it is checked and kept).
//
// A colour_conv turns raw samples (0 .. 2^bits - 1, comps per pixel) into output bytes: each
// sample goes through the image's /Decode (default: [0 1] per component for a tint, the Lab
// ranges for Lab), then
//   tint: the function gives the alternate space's components; for a gray, RGB, CMYK or ICC
//         alternate each is clipped to [0 1] and written as round(v * 255), to be converted as
//         any gray, RGB or CMYK sample; for a Lab alternate they are L*a*b* and 3 sRGB bytes are
//         written;
//   all:  the colorant All: one gray byte, round((1 - tint) * 255);
//   lab:  3 sRGB bytes.
// An input of one component of 8 bits or fewer is converted once per distinct value (a table
// filled as values appear); any other input goes through a small cache of recent pixels, so an
// image of few colours evaluates its function few times. A function that fails on a pixel fails
// the row: the image is then skipped.
#ifndef QV_PDFEXTRACTIMG_COLOUR_H
#define QV_PDFEXTRACTIMG_COLOUR_H
#include <cstdint>

#include "pdfextractimg/function.h"

// ---- constants ----------------------------------------------------------------------------------

const int32_t colour_max_comps = 32;       // components of one input pixel (DeviceN's limit)
const int32_t colour_cache_slots = 4096;   // recent pixels kept, two-way: a power of two

enum colour_conv_kind { conv_tint, conv_all, conv_lab };
// What a Separation's colorant name asks for (colour_colorant).
enum colour_colorant_kind { colorant_named, colorant_all, colorant_none };

// ---- structs ------------------------------------------------------------------------------------

// A Lab colour space ready for conversion (colour_lab_init).
struct colour_lab {
    double white[3];     // /WhitePoint, normalised to Y = 1
    double black[3];     // /BlackPoint, default 0 0 0 (not used by the conversion)
    double range[4];     // a* min, max, b* min, max; default -100 100 -100 100
    double to_rgb[9];    // XYZ relative to white -> linear sRGB, row-major, adaptation included
};

// One image's conversion. Fill with colour_conv_tint, _all or _lab; release with colour_conv_free.
struct colour_conv {
    int32_t kind;          // colour_conv_kind
    int32_t comps;         // components per input pixel
    int32_t bits;          // bits per raw sample, 1..16
    int32_t out_comps;     // bytes per output pixel
    int32_t alt_lab;       // conv_tint: the alternate space is Lab
    double decode[2 * colour_max_comps];
    const fn_set *fns;     // conv_tint: the set (not owned) and its checked function
    int32_t fn;
    colour_lab lab;        // conv_lab, and conv_tint with alt_lab
    uint8_t *table;        // one component of <= 8 bits: 2^bits entries of out_comps bytes
    uint8_t *table_done;   //   2^bits flags: entry computed
    uint16_t *keys;        // otherwise: colour_cache_slots pixels of comps samples,
    uint8_t *vals;         //   their output bytes,
    uint8_t *used;         //   and per pair of slots (a set) which hold a pixel, which goes next
};

// ---- functions ----------------------------------------------------------------------------------

// One RGB byte of a CMYK pixel from its component c and its black k (both 0..255):
// (1 - c)(1 - k) of 255, truncated. The one CMYK conversion, of samples and palettes alike.
inline uint8_t colour_cmyk_channel(uint32_t c, uint32_t k) {
    return (uint8_t)((1.0 - c / 255.0) * (1.0 - k / 255.0) * 255.0);
}

// Prepares a Lab space from its /WhitePoint (3 numbers, required: X and Z positive, Y positive
// and normalised to 1), /BlackPoint (3 non-negative numbers or NULL) and /Range (4 numbers,
// min <= max, or NULL for the default). 0, or -1 when a value is missing, negative or not finite.
int colour_lab_init(colour_lab *lab, const double *white, const double *black, const double *range);
// L*, a*, b* (each clipped to its range) to 3 sRGB bytes.
void colour_lab_to_srgb(const colour_lab *lab, const double *lab_values, uint8_t *rgb);

// Separation colorant name (without '/', NUL-terminated): colorant_all for "All" (gray 1 - tint,
// use colour_conv_all), colorant_none for "None" (the image never marks the page: skip it),
// else colorant_named (the tint transform decides).
int32_t colour_colorant(const char *name);

// Conversions. decode: the image's /Decode, 2 per component; NULL or fewer numbers than that:
// the default. bits: 1..16. 0, or -1 (bad arguments, or no memory; *c is left zeroed).
// Tint: function fn of fns (checked with fn_check, kept by the caller while c is used) takes comps
// inputs and must give at least alt_comps outputs (1, 3 or 4; 3 when alt_lab is given, which is
// then the alternate Lab space): a function of other inputs or fewer outputs is refused here.
int colour_conv_tint(colour_conv *c, const fn_set *fns, int32_t fn, int32_t comps, int32_t bits,
                     const double *decode, int32_t decode_count, int32_t alt_comps,
                     const colour_lab *alt_lab);
// The All colorant: one component.
int colour_conv_all(colour_conv *c, int32_t bits, const double *decode, int32_t decode_count);
// Lab samples: three components.
int colour_conv_lab(colour_conv *c, const colour_lab *lab, int32_t bits, const double *decode,
                    int32_t decode_count);
// Converts pixels pixels of c->comps raw samples each (values above 2^bits - 1 are masked to
// bits) into pixels * c->out_comps bytes. 0, or -1 when the function failed on a pixel (out is
// then partly written).
int colour_conv_row(colour_conv *c, const uint16_t *raw, uint64_t pixels, uint8_t *out);
int colour_conv_row8(colour_conv *c, const uint8_t *raw, uint64_t pixels, uint8_t *out);
// Frees the table and cache; *c is left zeroed. Harmless twice.
void colour_conv_free(colour_conv *c);

#endif
