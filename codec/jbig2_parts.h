// codec/jbig2_parts.h - what the JBIG2 decoder's sources share: bitmaps, the arithmetic decoder
// and its integer decoders, the Huffman decoder, and the region procedures each source provides.
// Used by codec/jbig2*.cpp and their tests only; codec/jbig2.h is the module's interface.
#ifndef QV_CODEC_JBIG2_PARTS_H
#define QV_CODEC_JBIG2_PARTS_H
#include <cstdint>

#include "codec/jbig2.h"

// ---- Reading segment fields ----

// Big-endian fields from data[0..len); reading past the end sets failed and gives 0.
struct jb2_cur {
    const uint8_t *data;
    uint64_t len, pos;
    int failed;
};
static inline uint32_t jb2_read(jb2_cur *c, int bytes) {
    if (c->pos > c->len || (uint64_t)bytes > c->len - c->pos) {
        c->failed = 1;
        c->pos = c->len;
        return 0;
    }
    uint32_t v = 0;
    for (int i = 0; i < bytes; i++) v = (v << 8) | c->data[c->pos++];
    return v;
}

// ---- Bitmaps (jbig2_generic.cpp) ----

// w x h pixels, 1 = black, rows of stride = (w + 7) / 8 bytes, most significant bit first; bits
// past w are 0. A bitmap of no pixels has data NULL.
struct jb2_bitmap {
    uint32_t w, h, stride;
    uint8_t *data;
};

// Combination operators of regions onto the page and of symbols onto a region.
enum { jb2_op_or = 0, jb2_op_and = 1, jb2_op_xor = 2, jb2_op_xnor = 3, jb2_op_replace = 4 };

// Allocates w x h pixels set to 0. -1: over cap pixels, or no memory (b is left empty).
int jb2_bitmap_init(jb2_bitmap *b, uint32_t w, uint32_t h, uint64_t cap);
void jb2_bitmap_free(jb2_bitmap *b);
void jb2_bitmap_fill(jb2_bitmap *b, int value);
// Pixel (x, y); 0 outside the bitmap.
static inline int jb2_pixel(const jb2_bitmap *b, int64_t x, int64_t y) {
    if ((uint64_t)x >= b->w || (uint64_t)y >= b->h) return 0;  // a negative one wraps past w, h
    return (b->data[(uint64_t)y * b->stride + ((uint64_t)x >> 3)] >> (7 - (x & 7))) & 1;
}
// Eight pixels of a row starting at column x (x may be negative, or run past the row: those
// pixels are 0), as a byte, leftmost pixel in the top bit.
static inline uint32_t jb2_row_byte(const uint8_t *row, uint32_t stride, int64_t x) {
    if (x <= -8 || x >= (int64_t)stride * 8) return 0;
    if (x < 0) return stride ? (uint32_t)row[0] >> (uint32_t)(-x) : 0u;
    uint64_t i = (uint64_t)x >> 3;
    uint32_t s = (uint32_t)(x & 7);
    uint32_t hi = row[i];
    uint32_t lo = i + 1 < stride ? row[i + 1] : 0;
    return ((hi << 8 | lo) >> (8 - s)) & 0xFFu;
}
// Combines src onto dst with its top-left pixel at (x, y), clipped to dst.
void jb2_compose(jb2_bitmap *dst, const jb2_bitmap *src, int64_t x, int64_t y, int op);
// The w x h part of src at (x, y) as a new bitmap (pixels outside src are 0). -1: no memory.
int jb2_bitmap_crop(const jb2_bitmap *src, int64_t x, int64_t y, uint32_t w, uint32_t h,
                    jb2_bitmap *out);

// ---- The arithmetic decoder (jbig2_generic.cpp) ----

// The decoder's registers over data[0..len). At a marker (0xFF then a byte above 0x8F), and past
// the end of the data as if the marker stood there, it is fed 1 bits until decoding is complete
// (T.88 E.3.4): a bitmap whose data ends early is decoded to its end, as other readers do. fill
// counts the bytes of 1 bits fed. What is decoded from them is bounded by the caller, not by the
// sizes the data declares: each pixel a bitmap decodes once fill > 0 is paid from *spare (eight
// at a time), the pixels the call may decode past its data (NULL: none), and the bitmap stops
// where it cannot pay (complete data pays a row or two per segment). After jb2_mq_fill_max such
// bytes (an encoder's flush leaves the decoder two at most) failed is set: an item of a count (a
// symbol, an instance, an export run) begun then is damage.
struct jb2_mq {
    const uint8_t *data;
    uint64_t len, pos;  // pos: the byte last taken into c
    uint32_t c, a;
    int32_t ct;
    uint32_t fill;
    int failed;
    uint64_t *spare;
};
static const uint32_t jb2_mq_fill_max = 32;

// Pays for w pixels decoded past the data. -1: *d->spare cannot.
static inline int jb2_mq_charge(jb2_mq *d, uint32_t w) {
    if (!d->spare || *d->spare < w) return -1;
    *d->spare -= w;
    return 0;
}

// One probability state per context: the state index times two plus the more probable symbol.
struct jb2_mq_state {
    uint16_t qe;
    uint8_t nmps, nlps;  // next context value after a more or a less probable symbol
};
extern const jb2_mq_state jb2_mq_states[94];

void jb2_mq_init(jb2_mq *d, const uint8_t *data, uint64_t len, uint64_t *spare);

// Takes the next byte into c. Inline, so that a decoder kept in a function's locals stays in
// registers.
static inline void jb2_mq_bytein(jb2_mq *d) {
    uint32_t b = d->pos < d->len ? d->data[d->pos] : 0xFFu;
    uint32_t next = d->pos + 1 < d->len ? d->data[d->pos + 1] : 0xFFu;
    if (b == 0xFF) {
        if (next > 0x8F) {  // a marker, or the end of the data: 1 bits from here on
            d->c += 0xFF00u;
            d->ct = 8;
            if (d->fill <= jb2_mq_fill_max && ++d->fill > jb2_mq_fill_max) d->failed = 1;
        } else {
            d->pos++;
            d->c += next << 9;
            d->ct = 7;
        }
    } else {
        d->pos++;
        d->c += next << 8;
        d->ct = 8;
    }
}

// Decodes one bit in the context *cx and updates it. The less probable symbol's interval lies
// below the more probable one's, and the two swap when the more probable one would be smaller.
static inline int jb2_mq_decode(jb2_mq *d, uint8_t *cx) {
    const jb2_mq_state s = jb2_mq_states[*cx];
    int bit;
    d->a -= s.qe;
    if ((d->c >> 16) < s.qe) {
        if (d->a < s.qe) {
            bit = *cx & 1;
            *cx = s.nmps;
        } else {
            bit = (*cx & 1) ^ 1;
            *cx = s.nlps;
        }
        d->a = s.qe;
    } else {
        d->c -= (uint32_t)s.qe << 16;
        if (d->a & 0x8000u) return *cx & 1;
        if (d->a < s.qe) {
            bit = (*cx & 1) ^ 1;
            *cx = s.nlps;
        } else {
            bit = *cx & 1;
            *cx = s.nmps;
        }
    }
    do {
        if (d->ct == 0) jb2_mq_bytein(d);
        d->a <<= 1;
        d->c <<= 1;
        d->ct--;
    } while (!(d->a & 0x8000u));
    return bit;
}

// An integer decoder's 512 contexts; the value and 0, or 1 for out-of-band. Values span 33 bits.
int jb2_int_decode(jb2_mq *d, uint8_t *cx, int64_t *value);
// A symbol ID of codelen bits (contexts: 1 << codelen of them).
uint32_t jb2_iaid_decode(jb2_mq *d, uint8_t *cx, uint32_t codelen);

// ---- Generic regions (jbig2_generic.cpp) ----

struct jb2_generic_params {
    int mmr;
    int tmpl;    // 0..3
    int tpgdon;  // typical prediction
    int32_t atx[4], aty[4];  // adaptive pixels (template 0: four; others: the first)
    const jb2_bitmap *skip;  // NULL, or a bitmap of out's size: pixels set there are 0, not decoded
};
// Contexts a template needs.
static inline uint32_t jb2_generic_contexts(int tmpl) {
    return tmpl == 0 ? 65536u : tmpl == 1 ? 8192u : 1024u;
}
// Decodes out (allocated, zeroed) with the arithmetic decoder and stats (jb2_generic_contexts).
// 0, or -1 when d->spare could not pay for a row past the data: the rows decoded so far are kept.
int jb2_generic_decode(jb2_mq *d, uint8_t *stats, const jb2_generic_params *p, jb2_bitmap *out);
// Decodes out (allocated, zeroed) from MMR data; *used (if not NULL) = bytes consumed. 0, or -1:
// the rows decoded before the damage are kept.
int jb2_mmr_decode(const uint8_t *data, uint64_t len, jb2_bitmap *out, uint64_t *used);

// ---- Generic refinement regions (jbig2_refine.cpp) ----

struct jb2_refine_params {
    int tmpl;  // 0 or 1
    int tpgron;
    int8_t atx[2], aty[2];  // template 0: the pixel in the region, the pixel in the reference
    const jb2_bitmap *ref;
    int32_t dx, dy;  // the reference's offset
};
static const uint32_t jb2_refine_contexts = 8192;
// Decodes out (allocated, zeroed) as a refinement of p->ref. 0, or -1 when d->spare could not pay
// for a row past the data (the rows decoded so far are kept).
int jb2_refine_decode(jb2_mq *d, uint8_t *stats, const jb2_refine_params *p, jb2_bitmap *out);

// ---- Huffman coding (jbig2_huffman.cpp) ----

// Bits of data[0..len), most significant first. Reading past the end sets failed and gives 0s.
struct jb2_bits {
    const uint8_t *data;
    uint64_t len, pos;  // pos in bits
    int failed;
};
uint32_t jb2_bits_read(jb2_bits *b, uint32_t n);  // n <= 32
void jb2_bits_align(jb2_bits *b);                 // to the next byte boundary

// One line of a table: a prefix length, a range length and the range's first value; kind says
// whether it is an ordinary range, the lower range (values below low + 1, counting down), the
// upper range or the out-of-band line.
enum { jb2_line_range = 0, jb2_line_lower = 1, jb2_line_upper = 2, jb2_line_oob = 3 };
struct jb2_huff_line {
    uint8_t preflen, rangelen, kind;
    int32_t low;
};
// A table ready to decode: lines ordered by code (canonical codes of at most 32 bits).
struct jb2_huff_table {
    jb2_huff_line *lines;
    uint32_t n;
    uint32_t first[33], count[33], start[33];  // per prefix length: first code, lines, first line
};
// Builds t from lines[0..n) (copied). -1: a prefix longer than 32 bits, a code space
// over-subscribed, or no memory.
int jb2_huff_build(jb2_huff_table *t, const jb2_huff_line *lines, uint32_t n);
void jb2_huff_free(jb2_huff_table *t);
// The standard tables B.1 to B.15, built once per call: std[i] is table B.(i + 1).
struct jb2_huff_std {
    jb2_huff_table t[15];
};
int jb2_huff_std_build(jb2_huff_std *s);
void jb2_huff_std_free(jb2_huff_std *s);
// A custom table segment's data. -1: malformed, over jbig2_max_table_lines, or no memory.
int jb2_huff_parse(const uint8_t *data, uint64_t len, jb2_huff_table *t);
// The symbol ID code table of a Huffman-coded text region: the lengths of 35 run codes (4 bits
// each), the nsyms code lengths coded with them, then byte alignment. -1: damaged, or no memory.
int jb2_symbol_codes(jb2_bits *b, uint32_t nsyms, jb2_huff_table *t);
// Decodes one value: 0 and *value, 1 for out-of-band, -1 when no code matches or the bits ran out.
int jb2_huff_decode(jb2_bits *b, const jb2_huff_table *t, int64_t *value);

// ---- Symbol dictionaries and text regions (jbig2_text.cpp) ----

// The contexts of the arithmetic integer decoders a text region uses, and its refinement contexts.
struct jb2_text_stats {
    uint8_t iadt[512], iafs[512], iads[512], iait[512], iari[512];
    uint8_t iardw[512], iardh[512], iardx[512], iardy[512];
    uint8_t *iaid;  // 1 << codelen contexts
    uint8_t *gr;    // jb2_refine_contexts
};

struct jb2_text_params {
    int huff, refine;
    uint32_t logstrips;
    int refcorner;  // 0 bottom left, 1 top left, 2 bottom right, 3 top right
    int transposed, combop, defpixel;
    int32_t dsoffset;
    int rtemplate;
    int8_t ratx[2], raty[2];
    uint32_t instances;
    const jb2_bitmap *const *syms;
    uint32_t nsyms, codelen;
    uint64_t *spare;  // the call's pixels past the data's end (jb2_mq), for Huffman refinements
    // Huffman tables (huff only); symcodes NULL: symbol IDs are codelen plain bits.
    const jb2_huff_table *fs, *ds, *dt, *rdw, *rdh, *rdx, *rdy, *rsize, *symcodes;
};
// Decodes a text region into out (allocated w x h). *draw: drawing budget left, in bytes.
// 0, or -1 on damage: the instances placed so far are kept.
int jb2_text_decode(const jb2_text_params *p, jb2_mq *d, jb2_bits *b, jb2_text_stats *st,
                    jb2_bitmap *out, uint64_t *draw);

// ---- Segments (one function per kind of segment data) ----

// What one call shares among its segments: the standard tables and its budgets.
struct jb2_ctx {
    jb2_huff_std std;
    uint64_t dict_pixels;  // symbols and patterns held, against jbig2_max_dict_pixels
    uint64_t draw;         // drawing budget left, in bytes (jbig2_max_draw_bytes at the start)
    uint64_t spare;        // pixels that bitmaps may still decode past their data (see jb2_mq)
};
// Counts a bitmap of w x h held by a dictionary. -1: over jbig2_max_dict_pixels.
int jb2_ctx_hold(jb2_ctx *c, uint64_t w, uint64_t h);

// A decoded symbol dictionary: the symbols it defines (owned), those it exports (pointers into
// its own or into the dictionaries it referred to, which live as long), and, when it keeps them
// for the next dictionary, its arithmetic contexts.
struct jb2_symdict {
    jb2_bitmap *owned;
    uint32_t nowned;
    const jb2_bitmap **exported;
    uint32_t nexported;
    uint8_t *gb, *gr;
    int tmpl, rtmpl;
};
void jb2_symdict_free(jb2_symdict *s);
// Decodes a symbol dictionary segment's data. in: the symbols of the dictionaries it refers to;
// last: the last of those (whose contexts it may reuse), or NULL; tables: the custom tables it
// refers to, in order. 0, or -1 on damage (out then exports nothing).
int jb2_symdict_decode(jb2_ctx *c, const uint8_t *data, uint64_t len, const jb2_bitmap *const *in,
                       uint32_t nin, const jb2_symdict *last, const jb2_huff_table *const *tables,
                       uint32_t ntables, jb2_symdict *out);
// Decodes the data of a text region segment after its region information into out (allocated
// at the region's size). 0, or -1 on damage (what was placed is kept).
int jb2_text_region(jb2_ctx *c, const uint8_t *data, uint64_t len, const jb2_bitmap *const *syms,
                    uint32_t nsyms, const jb2_huff_table *const *tables, uint32_t ntables,
                    jb2_bitmap *out);

// A decoded pattern dictionary: its patterns, all of one size.
struct jb2_patdict {
    jb2_bitmap *pats;
    uint32_t n;
};
void jb2_patdict_free(jb2_patdict *s);
int jb2_patdict_decode(jb2_ctx *c, const uint8_t *data, uint64_t len, jb2_patdict *out);
// Decodes the data of a halftone region segment after its region information into out.
int jb2_halftone_region(jb2_ctx *c, const uint8_t *data, uint64_t len, const jb2_patdict *pd,
                        jb2_bitmap *out);

#endif
