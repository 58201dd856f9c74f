// pdfcore/stream.h - stream data through its filters: the one reader of /Filter and /DecodeParms
// and the one runner of a filter chain, for every stream the library decodes (page content and
// forms, object streams, image data and masks, Indexed lookup streams, function streams, JBIG2
// globals).
//
// Room: each stage's output grows as it is produced (codec/outbuf.h), up to a limit in decoded
// bytes, never by a ratio to its input: stream_max_decoded for every stage but the last, whose
// limit the caller names (the content or object stream cap, what an image can use, ...). A last
// Flate, LZW, ASCII or RunLength stage stops at its limit and says so (*cut): the bytes up to it
// are right, the rest of the input is not read. Callers that need the whole stream refuse a cut
// one; an image takes the bytes it can use.
//
// Predictors (PNG 10..15, TIFF 2) are undone inside the Flate or LZW stage that /DecodeParms gives
// them to. Image codecs: CCITTFaxDecode and JBIG2Decode stages run here with their parameters (the
// JBIG2 globals stream decoded through its own filters); DCTDecode and JPXDecode data is never
// decoded here: the image code runs the stages before them and hands the bytes to its pass-through
// or to the JPEG 2000 decoder.
#ifndef QV_PDFCORE_STREAM_H
#define QV_PDFCORE_STREAM_H
#include <cstdint>

#include "codec/ccitt.h"
#include "pdfcore/pdfcore.h"

// ---- constants ----------------------------------------------------------------------------------

const int32_t stream_max_filters = 8;                 // a longer /Filter array cannot be decoded
const uint64_t stream_max_decoded = (uint64_t)1 << 30; // no stage gives more bytes (the inflater's cap)

// The filters of stream data.
enum pdfcore_filter {
    pf_ahx = 1, // ASCIIHexDecode, AHx
    pf_a85,     // ASCII85Decode, A85
    pf_lzw,     // LZWDecode, LZW
    pf_flate,   // FlateDecode, Fl
    pf_rl,      // RunLengthDecode, RL
    pf_dct,     // DCTDecode, DCT
    pf_ccitt,   // CCITTFaxDecode, CCF
    pf_jbig2,   // JBIG2Decode
    pf_jpx,     // JPXDecode
    pf_crypt,   // Crypt
};
// ---- structs ------------------------------------------------------------------------------------

// One stage of a chain: its filter (pdfcore_filter) and what /DecodeParms says for it.
struct stream_stage {
    int32_t filter;
    int32_t predictor;         // Flate, LZW: /Predictor (1: none)
    int32_t colors, bpc, columns; // with it: /Colors, /BitsPerComponent, /Columns; -1: not given
    ccitt_params ccitt;        // CCITTFaxDecode: its parameters (the defaults without)
    int32_t globals;           // JBIG2Decode: the /JBIG2Globals stream's object number, -1: none
};

// A stream's filter chain in the order it applies. All zero is an empty chain (the data as stored).
struct stream_chain {
    int32_t count;
    int32_t bad;  // 1: /Filter names a filter that cannot be decoded, is no name, or is too long
    stream_stage stage[stream_max_filters];
};

// How a chain runs over data.
struct stream_opts {
    // Decoded bytes the last stage gives at most (0: stream_max_decoded): it stops there, *cut 1.
    uint64_t limit;
    // Bytes the caller expects (0: unknown): the first room of the last Flate or LZW stage.
    uint64_t expect;
    // The image's size, for a last CCITTFaxDecode or JBIG2Decode stage (its rows stop at height;
    // its bitmap is cut or padded to width x height); 0: no image.
    int32_t width, height;
    // Called before a stage's predictor is undone, with the stage's decoded length and its
    // /Colors, /BitsPerComponent and /Columns (-1: not given), which it may fill in; what is left
    // at -1 takes the standard's default (1, 8, 1). Null: the defaults.
    void (*predictor_params)(void *ctx, uint64_t decoded_len, int32_t *colors, int32_t *bits,
                             int32_t *columns);
    void *ctx;
};

// ---- what the module offers ----------------------------------------------------------------------

// The filter (pdfcore_filter) that a /Filter name stands for, full or abbreviated; 0 for any other.
int32_t pdfcore_filter_of(const char *name);
// The full name of filter f (pdfcore_filter), or NULL.
const char *pdfcore_filter_name(int32_t f);


// Reads the chain of the stream dictionary s: the first /Filter key of its text outside the
// /DecodeParms value (a name, an array of names, a reference to either, elements by reference
// too, null for none), each stage's /DecodeParms (one dictionary for every stage, or an array
// aligned with /Filter; elements null or references), the predictor keys as stream_chain says.
// In an encrypted document a /Crypt filter is dropped (the load decrypted the data). Never fails:
// what it cannot read sets c->bad. An empty span gives an empty chain.
void stream_read_chain(const pdfcore_doc *doc, const pdfcore_span &s, stream_chain *c);
// The bytes [*lo, *hi) of s that hold the /DecodeParms key and its value, so that a dictionary's
// own keys are not looked for among the parameters; -1 and -1 when there is none.
void stream_parms_extent(const pdfcore_doc *doc, const pdfcore_span &s, int32_t *lo, int32_t *hi);

// Runs the first count stages of c over in[0, n) into a new malloc'd buffer with one spare byte
// after the output (NUL), caller frees; count 0: a copy. 0: *out, *out_len and *cut (1 when the
// last stage stopped at its limit) set. -1: c->bad, a stage failed or cannot run here (DCT, JPX),
// or no memory; nothing allocated.
int stream_run(const pdfcore_doc *doc, const stream_chain *c, int32_t count, const uint8_t *in,
               uint64_t n, const stream_opts *o, uint8_t **out, uint64_t *out_len, int *cut);
// Stream object so's data through its whole chain (opts may be null), as stream_run. -1 too when
// so is no stream, or its data is empty or unreadable.
int stream_decode(const pdfcore_doc *doc, const pdfcore_obj *so, const stream_opts *o, uint8_t **out,
                  uint64_t *out_len, int *cut);

// The filter of the chain's last stage (pdfcore_filter), 0 for an empty chain.
inline int32_t stream_chain_last(const stream_chain *c) {
    return c->count > 0 ? c->stage[c->count - 1].filter : 0;
}
// 1 when a stage of the chain is filter f.
inline int stream_chain_has(const stream_chain *c, int32_t f) {
    for (int32_t i = 0; i < c->count; i++)
        if (c->stage[i].filter == f) return 1;
    return 0;
}

// stream_decode with only a limit (0: stream_max_decoded): the first limit bytes of a longer
// stream. Palettes, function streams and the like, which need at most so many bytes.
int stream_read(const pdfcore_doc *doc, const pdfcore_obj *so, uint64_t limit, uint8_t **out,
                uint64_t *out_len);

// ---- for the module's own code and tests --------------------------------------------------------

// PNG row filters over rows of row_bytes data bytes each after one type byte, bpp bytes per pixel,
// in place. Returns the unfiltered length (written from decoded[0]).
uint64_t undo_png_predictors(uint8_t *decoded, uint64_t decoded_len, uint64_t row_bytes,
                             uint64_t bpp);
// TIFF predictor 2 over rows of `columns` pixels of `colors` samples of `bits` bits each.
void undo_tiff_predictor(uint8_t *decoded, uint64_t decoded_len, uint64_t columns, int32_t colors,
                         int32_t bits);
// Undoes predictor (2, 10..15) over decoded[0, *len) in place, rows of columns pixels of colors
// samples of bits bits; *len shrinks by the PNG type bytes. Unchanged when the predictor or its
// parameters are unusable (colors 1..32, bits 1, 2, 4, 8, 16, columns >= 1).
void undo_predictor(int32_t predictor, int32_t colors, int32_t bits, int32_t columns,
                    uint8_t *decoded, uint64_t *len);

#endif
