// pdfextractimg/image.h - one image to pixels: reading the image dictionary (colour space,
// palette, filter chain, predictor parameters, Decode array, masks), decoding the stream, undoing
// PNG and TIFF predictors, reading the soft mask or /Mask, and turning samples into 8-bit gray or
// RGBA pixels (the colour space itself is read by colourspace.h).
//
// extract_single_image (extract.h) runs these steps in order for an image XObject, image_convert
// for the parameters and data of any image (inline images too); the steps are declared here for
// the library's own code and for tests. Everything reads the dictionary's text with the core's
// value readers (pdfcore.h); there is no object parser.
#ifndef QV_PDFEXTRACTIMG_IMAGE_H
#define QV_PDFEXTRACTIMG_IMAGE_H
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

// Runs the first count stages of p's chain over stream[0, stream_len) as an image needs them
// (stream_run, into a new malloc'd buffer, caller frees): the last stage gives at most
// image_decoded_limit(p) bytes (the rest is not read); a last CCITTFaxDecode or JBIG2Decode stage
// gives rows of (/Width + 7) / 8 bytes (CCITT rows stop at /Height; the JBIG2 page, whose
// background is white, is padded with 1 and cut or padded to /Height rows); a predictor whose
// /DecodeParms give none of its parameters takes the image's components (image_components of the
// stage's output), depth and width. 0, or -1 when a stage fails or cannot run here (DCT, JPX).
int image_decode(const pdfcore_doc *doc, const image_params *p, int32_t count, const uint8_t *stream,
                 uint64_t stream_len, uint8_t **out, uint64_t *out_len);
// Decoded bytes an image can use: its rows at four components (a predictor's type bytes
// included) and 4 KiB more, at most stream_max_decoded; stream_max_decoded without a usable size.
uint64_t image_decoded_limit(const image_params *p);

// Component count of the samples (1, 3 or 4): the mask, Indexed and the colour space decide, else
// the amount of data compared with the image's size at 4 and at 3 components.
int32_t image_components(const image_params *p, uint64_t decoded_len);
// Bits per sample used to read the samples: bpc when it is 1, 2, 4 or 16, else 8.
int32_t image_depth(const image_params *p);

// Alpha of soft mask object smask, scaled to width x height by nearest neighbour: malloc'd
// width * height bytes (caller frees), or NULL when there is no usable mask.
uint8_t *read_soft_mask(const pdfcore_doc *doc, int32_t smask, int32_t width, int32_t height);
// The same for stencil mask stream mask (/Mask): one bit a sample, 1 transparent (alpha 0) and
// 0 opaque (255), swapped by /Decode [1 0].
uint8_t *read_stencil_mask(const pdfcore_doc *doc, int32_t mask, int32_t width, int32_t height);
// Alpha of a /Mask colour key over the decoded samples (c components, p->bpc bits; for Indexed
// images the index): 0 where every component's raw sample lies in its range of p->mask_key, 255
// elsewhere; a missing sample reads as 0. Malloc'd width * height bytes (caller frees), or NULL
// when the key has fewer than 2 * c numbers, the size is unusable, or no memory.
uint8_t *color_key_alpha(const image_params *p, int32_t c, const uint8_t *decoded, uint64_t decoded_len);

// Pixels of the decoded samples (c components) with optional alpha (width * height bytes): a
// malloc'd buffer (caller frees) of width * height gray bytes (*gray = 1: a one-bit gray image
// without alpha) or width * height * 4 RGBA bytes (*gray = 0); NULL when width or height is not
// positive, the image is too large, or no memory.
uint8_t *image_pixels(const image_params *p, int32_t c, const uint8_t *decoded, uint64_t decoded_len,
                      const uint8_t *alpha, int32_t *gray);

// Pixels of an image whose chain ends in JPXDecode (see image_pixels for the buffer; *width and
// *height: the decoded image's size, which may differ from /Width and /Height). The samples
// become 8 bits (codec/jpx/jpx.h's rule) and are converted as 8-bit samples of /ColorSpace when
// the dictionary gives one, else of the file's own space (gray, RGB, CMYK, an ICC profile's
// channels; with none, 1 or 3 of the leading channels); /Decode is ignored. Alpha: /SMask when
// the dictionary has one, else the file's alpha channel (cdef), else with /SMaskInData above 0
// the first channel past the colour ones. Indexed images take the first channel's values as
// indexes. NULL: not decodable, a stencil mask, fewer channels than the space needs, above
// max_image_pixels, or no memory.
uint8_t *jpx_image_pixels(const pdfcore_doc *doc, const image_params *p, const uint8_t *stream,
                          uint64_t stream_len, int32_t *gray, int32_t *width, int32_t *height);

// JPEG pass-through of the bytes after the filters before DCTDecode. 1: *rec filled ("jpeg", data
// from the SOI marker; with borrow 1 and no filter before DCTDecode, rec->data points into
// stream[0, stream_len) and rec->data_borrowed is 1). 0: no usable JPEG start, a filter failed, or
// no memory; nothing allocated. rec's type is struct extracted_image (extract.h).
struct extracted_image;
int32_t jpeg_pass_through(const pdfcore_doc *doc, const image_params *p, const uint8_t *stream,
                          uint64_t stream_len, int32_t borrow, extracted_image *rec);

// Converts the image of parameters p and stored data stream[0, stream_len) into *rec as
// extract_single_image does (DCT data as stored, everything else pixels and PNG, masks as alpha),
// with rec->page = page and rec->obj_num = obj_num. 1: filled; 0: not converted, *rec unchanged.
int32_t image_convert(const pdfcore_doc *doc, const image_params *p, const uint8_t *stream,
                      uint64_t stream_len, int32_t page, int32_t obj_num, extracted_image *rec,
                      int32_t flags);

#endif
