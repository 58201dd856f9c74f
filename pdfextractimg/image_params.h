// pdfextractimg/image_params.h - an image dictionary read into what its conversion needs (size,
// depth, colour space, filter chain, Decode array, masks), and the image's data decoded as the
// image needs it. There is no object parser: the dictionary's text is read with the core's value
// readers (pdfcore.h), the colour space by colourspace.h, the chain by the stream module.
#ifndef QV_PDFEXTRACTIMG_IMAGE_PARAMS_H
#define QV_PDFEXTRACTIMG_IMAGE_PARAMS_H
#include <cstdint>

#include "pdfcore/pdfcore.h"
#include "pdfcore/stream.h"
#include "pdfextractimg/colourspace.h"

// ---- constants ----------------------------------------------------------------------------------

const uint64_t max_image_pixels = 1u << 30;   // larger images are skipped (JPEG pass-through aside)
// Missing samples are painted as zero, but an image above this many pixels is skipped when its
// decoded data holds less than an eighth of its sample bytes: a few bytes cannot claim 2^30 pixels.
const uint64_t sparse_image_pixels = 1u << 24;
// Numbers of a /Mask colour key array: a pair per component, at most 32 components.
const int32_t max_mask_key = 64;

// ---- structs ------------------------------------------------------------------------------------

// What the image dictionary says. Owns palette and space; release with image_params_free.
struct image_params {
    int32_t width;            // /Width, -1: none
    int32_t height;           // /Height, -1: none
    int32_t bpc;              // /BitsPerComponent (8 when missing, -1 when not a number); 1 for masks
                              // and when the chain ends in CCITTFaxDecode or JBIG2Decode
    int32_t image_mask;       // /ImageMask true
    colour_space cs;          // /ColorSpace (colourspace.h)
    stream_chain chain;       // /Filter and /DecodeParms (pdfcore/stream.h)
    int32_t decode_count;     // numbers read from /Decode (at most 2 x colour_max_comps)
    double decode[2 * colour_max_comps];
    int32_t invert;           // the first Decode pair is (1, 0), or image_mask
    int32_t smask;            // /SMask object number, -1: none
    int32_t smask_in_data;    // /SMaskInData (JPX): 0 none, 1 or 2: the data's alpha channel
    int32_t mask;             // /Mask stencil mask stream's object number, -1: none
    int32_t mask_key_count;   // numbers of a /Mask colour key array (even, >= 2), 0: none
    int32_t mask_key[max_mask_key]; // min and max raw sample (before /Decode) per component
};

// ---- for the library's own code and tests ------------------------------------------------------

// Fills *p from the text span of image stream entry (p is overwritten, not freed). Never fails;
// allocates the palette when one is read.
void read_image_params(const pdfcore_doc *doc, const pdfcore_obj *entry, image_params *p);
// The same from the image dictionary's text s (an empty span gives the defaults).
void read_image_params_span(const pdfcore_doc *doc, const pdfcore_span &s, image_params *p);
// Frees what the colour space owns; harmless twice.
void image_params_free(image_params *p);

// Bits per sample used to read the samples: bpc when it is 1, 2, 4 or 16, else 8.
int32_t image_depth(const image_params *p);
// Bytes of one row of width pixels of c samples of depth bits, rows starting on a byte boundary.
uint64_t image_row_bytes(uint64_t width, uint64_t c, uint64_t depth);
// Component count of the samples (1, 3 or 4): the mask, Indexed and the colour space decide, else
// the amount of data compared with the image's size at 4 and at 3 components.
int32_t image_components(const image_params *p, uint64_t decoded_len);

// Runs the first count stages of p's chain over stream[0, stream_len) as an image needs them
// (stream_run, into a new malloc'd buffer, caller frees): the last stage gives at most
// image_decoded_limit(p) bytes (the rest is not read); a last CCITTFaxDecode or JBIG2Decode stage
// gives rows of (/Width + 7) / 8 bytes (CCITT rows stop at /Height; the JBIG2 page, whose
// background is white, is padded with 1 and cut or padded to /Height rows); a predictor whose
// /DecodeParms give none of its parameters takes the image's depth, width and components: comps
// when it is above 0, else image_components of the stage's output, which *judged (may be null)
// receives (0: no predictor asked). 0, or -1 when a stage fails or cannot run here (DCT, JPX).
int image_decode(const pdfcore_doc *doc, const image_params *p, int32_t count, int32_t comps,
                 const uint8_t *stream, uint64_t stream_len, uint8_t **out, uint64_t *out_len,
                 int32_t *judged);
// Decoded bytes an image can use: its rows at four components (a predictor's type bytes
// included) and 4 KiB more, at most stream_max_decoded; stream_max_decoded without a usable size.
uint64_t image_decoded_limit(const image_params *p);

#endif
