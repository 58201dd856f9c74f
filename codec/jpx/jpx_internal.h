// codec/jpx/jpx_internal.h - what the stages of the JPEG 2000 decoder share: the codestream's
// parameters, a tile's structure (resolutions, bands, precincts, code-blocks), and each stage's
// entry. Not for use outside codec/jpx/.
#ifndef QV_CODEC_JPX_INTERNAL_H
#define QV_CODEC_JPX_INTERNAL_H
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "codec/jpx/jpx.h"

// ---- constants ----------------------------------------------------------------------------------

const int32_t jpx_max_bands = 3 * jpx_max_levels + 1;  // quantisation entries of one component
const int32_t jpx_max_planes = 30;   // magnitude bit-planes kept by tier-1 (one more is the half)
const int32_t jpx_max_lblock = 32;   // code-block length indicator bits

// Code-block style bits (COD/COC).
enum {
    jpx_cb_bypass = 1,      // selective arithmetic coding bypass
    jpx_cb_reset = 2,       // contexts reset after each pass
    jpx_cb_termall = 4,     // termination on each pass
    jpx_cb_causal = 8,      // vertically causal context
    jpx_cb_predict = 16,    // predictable termination (nothing for a decoder to do)
    jpx_cb_segsym = 32,     // segmentation symbols
};

// Progression orders.
enum { jpx_lrcp = 0, jpx_rlcp, jpx_rpcl, jpx_pcrl, jpx_cprl };

// Band orientations, in the order a resolution's bands are coded.
enum { jpx_band_ll = 0, jpx_band_hl, jpx_band_lh, jpx_band_hh };

// ---- codestream parameters ----------------------------------------------------------------------

// Image and tile size (SIZ).
struct jpx_siz {
    uint32_t x1, y1, x0, y0;      // Xsiz, Ysiz, XOsiz, YOsiz
    uint32_t tw, th, tx0, ty0;    // XTsiz, YTsiz, XTOsiz, YTOsiz
    uint32_t tiles_x, tiles_y;
    int32_t ncomps;
    uint8_t *prec;                // per component: precision (1..16)
    uint8_t *sgnd;                // per component: 1 signed
    uint8_t *dx, *dy;             // per component: subsampling (1..255)
};

// One component's coding and quantisation in one tile (COD/COC, QCD/QCC, RGN). The *_level fields
// record which marker set the values so a more specific marker wins whatever the order:
// main COD 1, main COC 2, tile COD 3, tile COC 4 (likewise QCD/QCC; RGN main 1, tile 2).
struct jpx_tccp {
    uint8_t cod_level, qcd_level, rgn_level;
    uint8_t levels;               // decomposition levels, 0..32
    uint8_t cbw, cbh;             // code-block width and height exponents
    uint8_t style;                // jpx_cb_* bits
    uint8_t reversible;           // 1: 5/3, 0: 9/7
    uint8_t qstyle;               // 0 none, 1 scalar derived, 2 scalar expounded
    uint8_t guard;                // guard bits
    uint8_t roi_shift;            // max-shift ROI, 0: none
    uint8_t pp[jpx_max_levels + 1];   // per resolution: PPx | PPy << 4
    uint16_t steps[jpx_max_bands];    // exponent << 11 | mantissa, band order LL, HL, LH, HH, ...
    int32_t nsteps;
};

// Tile-wide coding (COD's Scod and SGcod).
struct jpx_cod {
    uint8_t prog, mct, sop, eph;
    uint16_t layers;
};

// One progression change (POC): layers [0, lye), resolutions [rs, re), components [cs, ce).
struct jpx_poc {
    uint8_t rs, re, prog;
    uint16_t lye;
    uint16_t cs, ce;
};

// ---- a tile's structure -------------------------------------------------------------------------

// One contribution of a packet to a code-block: bytes [pos, pos + len) of the tile's data.
struct jpx_chunk {
    uint32_t pos, len;
    int32_t next;                 // next chunk of the same code-block, -1: none
    uint8_t passes;
};

struct jpx_cblk {
    int32_t x0, y0, x1, y1;       // band coordinates
    int32_t first, last;          // chunk list, -1: none
    int32_t npasses;              // coding passes received so far
    uint8_t included;             // has been included in some layer
    uint8_t zbp;                  // missing most significant bit-planes
    uint8_t lblock;
};

// A tag tree over a w x h grid of code-blocks: nodes of all levels in one array, leaves first.
struct jpx_tagtree {
    int32_t first;                // index of the first node in the tile's node pool
    int32_t w, h;
};

struct jpx_band {
    int32_t orient;               // jpx_band_*
    int32_t x0, y0, x1, y1;       // band coordinates
    int32_t cbw, cbh;             // code-block size exponents after the precinct limit
    int32_t mb;                   // magnitude bit-planes: guard + exponent - 1
    float step;                   // 9/7: quantisation step (times the band gain)
    int32_t pw_exp, ph_exp;       // precinct size in the band, exponents
};

// One precinct of a resolution: per band a grid of code-blocks (first index, grid width, height).
struct jpx_prec {
    int32_t cb_first[3];
    int32_t cb_w[3], cb_h[3];
    jpx_tagtree incl[3], zbp[3];
    uint16_t next_layer;          // layers of this precinct already read
};

struct jpx_res {
    int32_t x0, y0, x1, y1;       // resolution coordinates
    int32_t ppx, ppy;             // precinct size exponents
    int32_t pw, ph;               // precinct grid
    int32_t nbands;               // 1 at resolution 0, else 3
    jpx_band bands[3];
    int32_t prec_first;           // index of the first precinct in the tile's array
};

struct jpx_tcomp {
    int32_t x0, y0, x1, y1;       // tile-component coordinates
    int32_t nres;
    jpx_res res[jpx_max_levels + 1];
    const jpx_tccp *tccp;
    void *buf;                    // (x1 - x0) * (y1 - y0) int32 (5/3) or float (9/7) coefficients
};

struct jpx_tile {
    int32_t index;
    const jpx_siz *siz;
    uint32_t x0, y0, x1, y1;      // reference grid
    int32_t ncomps;
    jpx_tcomp *comps;
    jpx_cod cod;
    jpx_poc *pocs;
    int32_t npocs;
    jpx_prec *precs;
    uint32_t nprecs;
    jpx_cblk *cblks;
    uint32_t ncblks;
    int32_t *nodes;               // tag tree pool, two ints a node: the value (INT32_MAX while
    uint32_t nnodes;              // unknown) and the lower bound reached so far; nnodes ints
    jpx_chunk *chunks;
    uint32_t nchunks, cap_chunks;
    const uint8_t *data;          // the tile's packet data (its tile-parts' bodies joined)
    uint32_t data_len;
    const uint8_t *hdr;           // packed packet headers (PPM or PPT), NULL: in the data
    uint32_t hdr_len;
    int32_t truncated;            // data ran out or a packet could not be read
};

// ---- stage entries ------------------------------------------------------------------------------

// Room for `need` elements of elem bytes in the growable array *p of *cap elements (at least
// doubled when it grows; at most 2^31 bytes). 0, or -1 without memory (the array untouched).
static inline int jpx_reserve(void **p, uint32_t *cap, uint64_t need, size_t elem) {
    if (need <= *cap) return 0;
    uint64_t n = std::max<uint64_t>(need, std::max<uint64_t>(16, (uint64_t)*cap * 2));
    if (n > (1ull << 31) / elem) return -1;
    void *t = realloc(*p, (size_t)(n * elem));
    if (!t) return -1;
    *p = t;
    *cap = (uint32_t)n;
    return 0;
}

// Last pass (exclusive) of the codeword segment that holds pass k, by the code-block style.
static inline int32_t jpx_segment_end(int32_t k, int32_t style) {
    if (style & jpx_cb_termall) return k + 1;
    if (style & jpx_cb_bypass) {
        if (k < 10) return 10;
        return ((k - 10) % 3 == 0) ? k + 2 : k + 1;  // raw SP + MR, then the MQ cleanup alone
    }
    return INT32_MAX;
}

// jpx_codestream.cpp: decodes a codestream into planes at full resolution, one per component
// (img->planes, nplanes = components), and sets img->width/height/truncated. header_only: stops
// after the main header (planes NULL). 0 / -1.
int jpx_codestream_decode(const uint8_t *d, uint64_t len, int header_only, jpx_image *img);

// jpx_t2.cpp: builds the tile's resolutions, bands, precincts and code-blocks (0, or -1 above a
// cap or without memory), then reads its packets into code-block chunks (never fails: a broken
// packet ends the tile, with tile->truncated set).
int jpx_t2_build(jpx_tile *t, const jpx_siz *siz);
int jpx_t2_read_packets(jpx_tile *t);

// jpx_t1.cpp: scratch for tier-1, one per decoder call.
struct jpx_t1 {
    uint32_t *flags;              // (64 + 2) x (64 + 2) at most, with a border
    int32_t *data;                // 64 x 64 magnitudes at most
    uint8_t *bytes;               // a code-block's segments, each followed by 0xFF 0xFF
    uint32_t bytes_cap;
    uint32_t flags_cap, data_cap;
};
void jpx_t1_free(jpx_t1 *t1);
// Decodes every code-block of the tile and writes its dequantised coefficients into the
// components' buffers (which the caller allocated and zeroed). 0, or -1 without memory.
int jpx_t1_decode_tile(jpx_t1 *t1, jpx_tile *t);

// jpx_dwt.cpp: inverse wavelet of one tile-component buffer in place. 0, or -1 without memory.
int jpx_dwt_inverse(jpx_tcomp *tc);
// Inverse RCT (reversible) or ICT on three equally sized buffers of n samples.
void jpx_mct_inverse(void *b0, void *b1, void *b2, uint64_t n, int32_t reversible);

#endif
