// pdfextractimg/colourspace.h - an image's /ColorSpace read into what its conversion needs: device,
// calibrated and ICC-based spaces by their component count; Separation, DeviceN and Lab with their
// tint transforms (function.h) and parameters (colour.h); Indexed palettes, each entry converted
// through its base space into RGB. Tint transforms are read by fn_read (function.h).
//
// Separation [/Separation name alternate tintTransform]: the colorant All is gray 1 - tint (no
// function needed), None never marks the page, any other name goes through the tint transform into
// the alternate space. DeviceN [/DeviceN names alternate tintTransform attributes]: the same with
// one input per name (at most colour_max_comps); the attributes do not change the result, and a
// space whose names are all None never marks the page. The alternate is a device, calibrated,
// ICC-based (its /N: 1, 3 or 4) or Lab space; its components are then converted as any such
// samples. Lab [/Lab << /WhitePoint /BlackPoint /Range >>] converts to sRGB (colour.h).
//
// An image whose space never marks the page, or whose Separation, DeviceN or Lab space cannot be
// converted (a function missing, of an unknown type, with sizes over function.h's caps, failing
// fn_check, of the wrong number of inputs, or with fewer outputs than the alternate needs; an
// alternate that is no space named above; a Lab dictionary without a usable /WhitePoint), is
// skipped: its kind is space_skip. An Indexed space over such a base is skipped the same way.
#ifndef QV_PDFEXTRACTIMG_COLOURSPACE_H
#define QV_PDFEXTRACTIMG_COLOURSPACE_H
#include <cstdint>

#include "pdfextractimg/colour.h"
#include "pdfextractimg/function.h"

struct pdfcore_doc;
struct pdfcore_span;

// ---- constants ----------------------------------------------------------------------------------

enum image_space_kind {
    space_by_comps = 0,  // gray, RGB or CMYK samples by the component count (0: judged by the data)
    space_lab,           // Lab: three components to sRGB
    space_tint,          // Separation or DeviceN: a tint transform into the alternate space
    space_all,           // the Separation colorant All: gray 1 - tint
    space_skip,          // never marks the page, or cannot be converted: the image is skipped
};

// ---- structs ------------------------------------------------------------------------------------

// How samples become colour. All zero is space_by_comps with nothing owned; release with
// image_space_free.
struct image_space {
    int32_t kind;        // image_space_kind
    int32_t comps;       // components of a sample; space_by_comps: 1, 3, 4, or 0 when unknown
    int32_t alt_comps;   // space_tint: the alternate space's components, 1, 3 or 4 (3 for Lab)
    int32_t alt_lab;     // space_tint: the alternate is the Lab space in lab
    colour_lab lab;      // space_lab, or a Lab alternate
    fn_set fns;          // space_tint: the tint transform and every function it reaches (owned)
    int32_t fn;          // space_tint: the transform's index in fns
};

// An image's colour space as read: what its samples mean. All zero is a space judged by the data;
// owns the palette and the space's functions, release with colour_space_free.
struct colour_space {
    char name[64];            // the space's name without '/' (a name value of at most 63
                              // characters), "Indexed" for an Indexed array, "" otherwise
    int32_t comps;            // components a sample has; 0: judged by the data
    image_space space;        // how samples become colour (Separation, DeviceN, Lab, or by comps)
    int32_t indexed;          // an Indexed array: samples are palette indexes
    int32_t palette_entries;  // 0..256
    uint8_t *palette;         // RGB, 3 bytes per entry, (palette_entries + 1) * 3 bytes, zero-filled
};

// ---- for the library's own code and tests ------------------------------------------------------

// Reads the colour space value at v->start (a name, an array, or a reference to either) into *cs
// (overwritten, not freed): name, comps, space, and for an Indexed array indexed, palette_entries
// and palette (RGB, from a string or a stream lookup, through the base's conversion; an unknown
// base is read as three bytes per entry). Never fails: a space it does not know leaves comps 0,
// one it cannot convert leaves space.kind space_skip.
void read_color_space(const pdfcore_doc *doc, const pdfcore_span *v, colour_space *cs);
// Frees the palette and the space's functions; *cs is left zeroed. Harmless twice.
void colour_space_free(colour_space *cs);
// Prepares *c to convert samples of bits bits (1..16) of a space_lab, space_tint or space_all
// space, through the image's /Decode (2 per component; fewer numbers: the default). *sp must
// outlive *c. 0, or -1 (another kind, bad arguments, no memory; *c is then zeroed).
int image_space_conv(const image_space *sp, int32_t bits, const double *decode,
                     int32_t decode_count, colour_conv *c);
// Frees the functions; *sp is left zeroed. Harmless twice.
void image_space_free(image_space *sp);

#endif
