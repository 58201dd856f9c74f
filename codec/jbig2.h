// codec/jbig2.h - decoder for PDF JBIG2Decode data: the segments of one JBIG2 page (ITU-T T.88,
// embedded organisation: no file header) and the segments of its optional /JBIG2Globals stream,
// decoded to the page's bitmap.
//
// What is decoded: segment headers in every page-association and referred-to encoding; page
// information (known height, or unknown height ended by end-of-stripe segments), end of stripe,
// end of page, end of file; generic regions (arithmetic templates 0 to 3 with adaptive pixels and
// typical prediction, or MMR), generic refinement regions (templates 0 and 1, typical prediction),
// symbol dictionaries and text regions (arithmetic or Huffman, refinement and aggregation), pattern
// dictionaries and halftone regions, standard and custom Huffman tables; immediate regions are
// combined onto the page with their operator (OR, AND, XOR, XNOR, REPLACE), intermediate regions
// are kept for the refinement region that refers to them.
//
// The page: the first segment with a non-zero page association names it (a PDF stream's page is
// 1); segments of that page and of page 0 are decoded, in stream order, the globals first; those
// of other pages are skipped, and a second page information segment ends the page. A segment finds
// only the segments decoded before it among those it refers to, so a segment that refers to itself
// or to a later one finds nothing: references cannot loop. A region before the page information
// segment is refused; a region's rows below the page kept (see the hints) are not decoded.
//
// Arithmetic-coded data that ends before its bitmap is complete is decoded on with 1 bits to the
// bitmap's end (T.88 E.3.4: from the 0xFF 0xAC marker, or the data's end where it is missing), as
// other readers do; past their data the bitmaps of a call decode at most jbig2_past_data_pages
// pages' pixels, and an item of a count (a symbol, an instance) that begins well past the data
// ends its segment as damaged.
//
// Not decoded (skipped; the page decodes without them): extended generic templates, colour
// extensions, profiles, extension segments. MMR data goes through the Group 4 decoder of
// codec/ccitt.h (regions up to ccitt_max_columns wide).
#ifndef QV_CODEC_JBIG2_H
#define QV_CODEC_JBIG2_H
#include <cstdint>

// The page, a region, the collective bitmap of a symbol height class or of a pattern dictionary:
// at most this many pixels each (the library's image cap). A page whose information segment
// claims more is refused; a region wider or taller than the page, or a bitmap over a cap, is
// refused before anything is allocated for it.
static const uint64_t jbig2_max_pixels = 1ull << 30;
// One symbol: at most this many pixels (4096 x 4096).
static const uint64_t jbig2_max_symbol_pixels = 1ull << 24;
// All symbols and patterns held at once, over every dictionary of the call: at most this many
// pixels (128 MiB of bitmaps), each symbol counting at least 64 for its bookkeeping.
static const uint64_t jbig2_max_dict_pixels = 1ull << 30;
// Symbols one dictionary defines, and symbols one dictionary or text region can refer to.
static const uint32_t jbig2_max_symbols = 1u << 20;
// Patterns in one pattern dictionary (gray values are then at most 16 bits).
static const uint32_t jbig2_max_patterns = 1u << 16;
// Segments in the globals and the page stream together; segments one segment refers to.
static const uint32_t jbig2_max_segments = 1u << 16;
static const uint32_t jbig2_max_referred = 1024;
// Lines of one custom Huffman table.
static const uint32_t jbig2_max_table_lines = 1u << 16;
// Pixels that the bitmaps of one call may decode past the end of their arithmetic data (fed 1 bits,
// as T.88 says, when the data ends before the bitmap): this many times the page's pixels (kept:
// cut to the image's size; until the page is known, the image's size or jbig2_max_pixels), room
// for a region and a refinement of it both ending early. Complete data needs a row or two per
// segment of it; a stream declaring more than its data holds cannot keep the decoder busy.
static const uint64_t jbig2_past_data_pages = 2;
// Drawing work of one call (symbol instances and halftone patterns placed), in bytes touched:
// overlapping instances without end cannot keep the decoder busy.
static const uint64_t jbig2_max_draw_bytes = 1ull << 32;

// Decodes the page of data[0..len) with the segments of globals[0..globals_len) (globals may be
// NULL with globals_len 0). On success *dst is a malloc'd bitmap of *width x *height pixels, rows
// of (*width + 7) / 8 bytes, most significant bit first, in the sample convention of the PDF
// filter's output: 1 is white, 0 is black (JBIG2's own bitmaps say 1 for black; the bits are
// inverted here); bits past the width in a row's last byte are 0. The caller frees it.
//
// width_hint and height_hint are the image dictionary's /Width and /Height (0: none), which the
// caller clips the page to anyway: a page wider or taller than a hint is cut to it (and so takes
// no more memory than the image it fills). Otherwise the page's own size is reported. A page of
// unknown height (0xffffffff in its information segment) is as tall as its last end of stripe or
// its lowest region, whichever is lower. The caller pads the bitmap to /Width x /Height.
//
// Returns 0: the page decoded completely (an end of page or end of file, or the data used up
// after whole segments). 1: damaged or truncated data, or a part not decoded (see above); *dst
// holds the page as composed so far, a region cut short kept as far as it was decoded. -1: no page
// information segment was read, the page is over jbig2_max_pixels, or memory ran out; *dst is NULL
// and *width, *height are 0.
int32_t jbig2_decode(const uint8_t *data, uint64_t len, const uint8_t *globals,
                     uint64_t globals_len, uint32_t width_hint, uint32_t height_hint,
                     uint8_t **dst, uint32_t *width, uint32_t *height);

#endif
