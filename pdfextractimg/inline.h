// pdfextractimg/inline.h - inline images of content streams (BI dictionary ID data EI): found by
// the core's token reader outside strings, comments and earlier inline data; their dictionaries
// (abbreviated or full keys and names, colour spaces named in the stream's resources) read into
// the image parameters XObject images use (image.h); the end of their data found; converted as
// XObject images are (image_convert).
//
// Where the data ends: unfiltered data is as long as the dimensions say (bits, components,
// Indexed); filtered data as /L or /Length says; otherwise (and for unfiltered data of unknown
// components) at the first EI that has whitespace before it and whitespace, a delimiter or the
// end after it, and after which the content reads as operators and operands rather than binary.
// A first filter that knows where its data ends confirms that EI: DCT data holds its EOI marker
// before it, ASCII85 its "~>", ASCIIHex its '>', Flate data inflates completely before it (a few
// trials per image); when none is confirmed, the first such EI is taken.
//
// Bad input (BI without ID, a dictionary longer than max_inline_dict, data running past the
// stream, sizes whose byte count passes 2^31, no EI found) makes that inline image unusable; the
// content goes on after its dictionary (or its BI), so later images are still found.
#ifndef QV_PDFEXTRACTIMG_INLINE_H
#define QV_PDFEXTRACTIMG_INLINE_H
#include <cstdint>

#include "pdfextractimg/image.h"

struct pdfcore_doc;
struct pdfcore_span;
struct image_receiver;

// ---- constants ----------------------------------------------------------------------------------

// Bytes from BI to ID: a longer dictionary is none, and its BI is passed over.
const int32_t max_inline_dict = 32768;
// What must read as content after an EI that ends data: this many bytes, or tokens, at most.
const int32_t inline_lookahead = 256;
const int32_t inline_lookahead_tokens = 8;
// Trial inflations per image that may confirm an EI after Flate data, and the room of each.
const int32_t inline_flate_trials = 4;
const uint64_t inline_trial_room = (uint64_t)1 << 24;

// ---- structs ------------------------------------------------------------------------------------

// Where one inline image lies in its content stream.
struct inline_image {
    int32_t bi;          // the first byte of its BI operator
    int32_t data_start;  // its first data byte (after ID and one whitespace byte), -1: no ID
    int32_t data_end;    // one past its last data byte, -1: not found
    int32_t next;        // where the content goes on: past its EI, else past what was passed over
    int32_t usable;      // 1: the dictionary was read and the data, at least one byte, found
};

// The reading of one content stream text[0, len) (inline_reader_init).
struct inline_reader {
    const uint8_t *text;
    int32_t len;
    int32_t pos;         // where the search for the next BI starts
    int32_t no_ei_from;  // no EI that may end data stands at or after this (len + 1: not known)
    int32_t mark_from[3]; // the end markers of DCT, ASCII85 and ASCIIHex data: searched from here
    int32_t mark_at[3];   // (-1: not yet), first found there (-1: none to the end)
};

// ---- functions ----------------------------------------------------------------------------------

// Hands the inline images of content[0, len) that are no stencil masks (/IM true) to `to`, in
// content order, each converted with to->flags, with rec->page = page and rec->obj_num = 0.
// resources: the resource dictionary of the stream (its span starting at the "<<"), where colour
// space names are looked up; null: none. The number of records the receiver kept, or -1 when it
// refused one (nothing more is converted).
int inline_content_images(const pdfcore_doc *doc, const uint8_t *content, int32_t len,
                          const pdfcore_span *resources, int32_t page, const image_receiver *to);

// ---- for the library's own code and tests ------------------------------------------------------

void inline_reader_init(inline_reader *r, const uint8_t *text, int32_t len);
// The next inline image from r->pos. 1: *img filled and r->pos = img->next; *p holds the
// parameters read from its dictionary (defaults when it had none) and is freed by the caller
// with image_params_free. 0: no BI is left (*p then holds nothing to free).
int inline_next(const pdfcore_doc *doc, inline_reader *r, const pdfcore_span *resources,
                inline_image *img, image_params *p);
// The inline dictionary text[start, end) (the bytes between BI and ID) as an image dictionary
// with full key names and the full names of filters and device colour spaces:
// "<< /Width 8 /ColorSpace /DeviceGray ... >>", malloc'd and NUL-terminated (caller frees), its
// length in *out_len. Keys other than the ten of inline images (W H BPC CS F DP IM D I L, or their
// full names) are left out; so is a colour space given by one name that is no device space
// (G RGB CMYK and their full names), whose '/' position goes to *cs_name (-1: none). Of repeated
// colour spaces the first counts. NULL when no memory.
char *inline_dict_text(const uint8_t *text, int32_t start, int32_t end, int32_t *out_len,
                       int32_t *cs_name);
// 1 when text[pos, len) reads as content (numbers, names and strings of printable bytes, arrays,
// dictionaries, content operators, true, false, null) for inline_lookahead bytes or
// inline_lookahead_tokens tokens, whichever comes first, or up to len or to an ID (where the data
// of another inline image starts); 0 otherwise.
int inline_reads_as_content(const uint8_t *text, int32_t len, int32_t pos);

#endif
