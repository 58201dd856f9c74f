// tests/jbig2_writer.h - a small JBIG2 encoder for tests and fuzz seeds: the MQ arithmetic
// encoder, integer and symbol ID encoders, generic regions (templates 0 to 3, any adaptive pixels,
// typical prediction), refinement regions of the page (templates 0 and 1, typical prediction),
// symbol dictionaries and text regions coded arithmetically, and segment headers. Written from the encoder's side of ITU-T T.88 (its encoding procedures), sharing only
// the probability table with the decoder; pixels are 1 for black.
#ifndef QV_TESTS_JBIG2_WRITER_H
#define QV_TESTS_JBIG2_WRITER_H
#include <cstdint>
#include <vector>

#include "codec/jbig2_parts.h"

namespace jb2w {

typedef std::vector<uint8_t> bytes;

// A bitmap, one byte per pixel.
struct image {
    int w = 0, h = 0;
    std::vector<uint8_t> px;
    image() {}
    image(int w_, int h_) : w(w_), h(h_), px((size_t)w_ * h_, 0) {}
    int at(int x, int y) const { return x < 0 || y < 0 || x >= w || y >= h ? 0 : px[(size_t)y * w + x]; }
    void set(int x, int y, int v) { px[(size_t)y * w + x] = (uint8_t)v; }
};

// ---- The MQ encoder ----

// A context: its probability state, as the decoder numbers them (state * 2 + more probable
// symbol), moved along the decoder's table of ITU-T T.88 Annex E.
struct ctx {
    uint8_t s = 0;
};

struct mq_encoder {
    uint32_t a = 0x8000, c = 0;
    int ct = 12;
    bytes out{0};  // out[0] stands for the byte before the data; dropped by finish()

    void byteout() {
        if (out.back() == 0xFF) {
            out.push_back((uint8_t)(c >> 20));
            c &= 0xFFFFF;
            ct = 7;
        } else if (c < 0x8000000) {
            out.push_back((uint8_t)(c >> 19));
            c &= 0x7FFFF;
            ct = 8;
        } else {
            out.back()++;
            if (out.back() == 0xFF) {
                c &= 0x7FFFFFF;
                out.push_back((uint8_t)(c >> 20));
                c &= 0xFFFFF;
                ct = 7;
            } else {
                out.push_back((uint8_t)(c >> 19));
                c &= 0x7FFFF;
                ct = 8;
            }
        }
    }
    void renorm() {
        do {
            a <<= 1;
            c <<= 1;
            if (--ct == 0) byteout();
        } while (!(a & 0x8000));
    }
    void encode(ctx &cx, int bit) {
        const jb2_mq_state &e = jb2_mq_states[cx.s];
        a -= e.qe;
        if (bit == (cx.s & 1)) {
            if (!(a & 0x8000)) {
                if (a < e.qe) a = e.qe;
                else c += e.qe;
                cx.s = e.nmps;
                renorm();
            } else {
                c += e.qe;
            }
        } else {
            if (a < e.qe) c += e.qe;
            else a = e.qe;
            cx.s = e.nlps;
            renorm();
        }
    }
    // Flushes and ends with the 0xFF 0xAC marker.
    bytes finish() {
        uint32_t t = c + a;
        c |= 0xFFFF;
        if (c >= t) c -= 0x8000;
        c <<= ct;
        byteout();
        c <<= ct;
        byteout();
        bytes r(out.begin() + 1, out.end());
        if (r.empty() || r.back() != 0xFF) r.push_back(0xFF);
        r.push_back(0xAC);
        return r;
    }
};

// ---- Integers and symbol IDs ----

struct int_coder {
    ctx cx[512];
    void bit(mq_encoder &e, uint32_t &prev, int b) {
        e.encode(cx[prev], b);
        prev = prev < 256 ? (prev << 1) | (uint32_t)b : (((prev << 1) | (uint32_t)b) & 511) | 256;
    }
    void encode(mq_encoder &e, int64_t v) {
        static const int bits[6] = {2, 4, 6, 8, 12, 32};
        static const int64_t off[6] = {0, 4, 20, 84, 340, 4436};
        uint32_t prev = 1;
        int64_t m = v < 0 ? -v : v;
        int r = 0;
        while (r < 5 && m >= off[r + 1]) r++;
        bit(e, prev, v < 0);
        for (int i = 0; i < r; i++) bit(e, prev, 1);
        if (r < 5) bit(e, prev, 0);
        for (int i = bits[r] - 1; i >= 0; i--) bit(e, prev, (int)(((m - off[r]) >> i) & 1));
    }
    void oob(mq_encoder &e) {
        uint32_t prev = 1;
        bit(e, prev, 1);
        bit(e, prev, 0);
        bit(e, prev, 0);
        bit(e, prev, 0);
    }
};

struct id_coder {
    std::vector<ctx> cx;
    int len;
    explicit id_coder(int l) : cx((size_t)1 << l), len(l) {}
    void encode(mq_encoder &e, uint32_t id) {
        uint32_t prev = 1;
        for (int i = len - 1; i >= 0; i--) {
            int b = (int)((id >> i) & 1);
            e.encode(cx[prev], b);
            prev = (prev << 1) | (uint32_t)b;
        }
    }
};

// ---- Generic regions ----

struct generic_opts {
    int tmpl = 0;
    bool tpgdon = false;
    int atx[4] = {3, -3, 2, -2}, aty[4] = {-1, -1, -2, -2};  // template 0's usual places
};

// The usual adaptive pixels of a template.
static inline generic_opts usual(int tmpl, bool tpgdon = false) {
    generic_opts o;
    o.tmpl = tmpl;
    o.tpgdon = tpgdon;
    if (tmpl > 0) o.atx[0] = tmpl == 1 ? 3 : 2;
    return o;
}

// The context of pixel (x, y), pixel by pixel as the templates draw them.
static inline uint32_t generic_context(const image &im, const generic_opts &o, int x, int y) {
    auto p = [&](int dx, int dy) { return (uint32_t)im.at(x + dx, y + dy); };
    auto at = [&](int i) { return p(o.atx[i], o.aty[i]); };
    switch (o.tmpl) {
    case 0:
        return p(-1, 0) | p(-2, 0) << 1 | p(-3, 0) << 2 | p(-4, 0) << 3 | at(0) << 4 |
               p(2, -1) << 5 | p(1, -1) << 6 | p(0, -1) << 7 | p(-1, -1) << 8 | p(-2, -1) << 9 |
               at(1) << 10 | at(2) << 11 | p(1, -2) << 12 | p(0, -2) << 13 | p(-1, -2) << 14 |
               at(3) << 15;
    case 1:
        return p(-1, 0) | p(-2, 0) << 1 | p(-3, 0) << 2 | at(0) << 3 | p(2, -1) << 4 |
               p(1, -1) << 5 | p(0, -1) << 6 | p(-1, -1) << 7 | p(-2, -1) << 8 | p(2, -2) << 9 |
               p(1, -2) << 10 | p(0, -2) << 11 | p(-1, -2) << 12;
    case 2:
        return p(-1, 0) | p(-2, 0) << 1 | at(0) << 2 | p(1, -1) << 3 | p(0, -1) << 4 |
               p(-1, -1) << 5 | p(-2, -1) << 6 | p(1, -2) << 7 | p(0, -2) << 8 | p(-1, -2) << 9;
    default:
        return p(-1, 0) | p(-2, 0) << 1 | p(-3, 0) << 2 | p(-4, 0) << 3 | at(0) << 4 |
               p(1, -1) << 5 | p(0, -1) << 6 | p(-1, -1) << 7 | p(-2, -1) << 8 | p(-3, -1) << 9;
    }
}

// Codes im's pixels into e with the contexts cx (65536 of them), as a generic region does.
static inline void encode_generic(mq_encoder &e, std::vector<ctx> &cx, const image &im,
                                  const generic_opts &o) {
    static const uint32_t sltp[4] = {0x9B25, 0x0795, 0x00E5, 0x0195};
    int ltp = 0;
    for (int y = 0; y < im.h; y++) {
        if (o.tpgdon) {
            bool same = true;
            for (int x = 0; x < im.w && same; x++) same = im.at(x, y) == im.at(x, y - 1);
            e.encode(cx[sltp[o.tmpl]], (int)same ^ ltp);
            ltp = same;
            if (same) continue;
        }
        for (int x = 0; x < im.w; x++) e.encode(cx[generic_context(im, o, x, y)], im.at(x, y));
    }
}

// ---- Segments ----

static inline void put32(bytes &b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back((uint8_t)(v >> s));
}
static inline void put16(bytes &b, uint32_t v) {
    b.push_back((uint8_t)(v >> 8));
    b.push_back((uint8_t)v);
}

// A segment header (short forms: up to four referred segments) and its data.
static inline bytes segment(uint32_t number, int type, uint32_t page, const std::vector<uint32_t> &refs,
                            const bytes &data) {
    bytes b;
    put32(b, number);
    b.push_back((uint8_t)(type | (page > 255 ? 64 : 0)));
    b.push_back((uint8_t)(refs.size() << 5));
    for (uint32_t r : refs) {
        if (number <= 256) b.push_back((uint8_t)r);
        else if (number <= 65536) put16(b, r);
        else put32(b, r);
    }
    if (page > 255) put32(b, page);
    else b.push_back((uint8_t)page);
    put32(b, (uint32_t)data.size());
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

static inline bytes page_info(uint32_t w, uint32_t h, int flags = 0, uint32_t striping = 0) {
    bytes d;
    put32(d, w);
    put32(d, h);
    put32(d, 0);
    put32(d, 0);
    d.push_back((uint8_t)flags);
    put16(d, striping);
    return d;
}

static inline bytes region_info(uint32_t w, uint32_t h, uint32_t x, uint32_t y, int op) {
    bytes d;
    put32(d, w);
    put32(d, h);
    put32(d, x);
    put32(d, y);
    d.push_back((uint8_t)op);
    return d;
}

// A generic region segment's data: region information, flags, adaptive pixels, coded pixels.
static inline bytes generic_region(const image &im, uint32_t x, uint32_t y, int op,
                                   const generic_opts &o) {
    bytes d = region_info((uint32_t)im.w, (uint32_t)im.h, x, y, op);
    d.push_back((uint8_t)(o.tmpl << 1 | (o.tpgdon ? 8 : 0)));
    for (int i = 0; i < (o.tmpl == 0 ? 4 : 1); i++) {
        d.push_back((uint8_t)(int8_t)o.atx[i]);
        d.push_back((uint8_t)(int8_t)o.aty[i]);
    }
    mq_encoder e;
    std::vector<ctx> cx(65536);
    encode_generic(e, cx, im, o);
    bytes coded = e.finish();
    d.insert(d.end(), coded.begin(), coded.end());
    return d;
}

// ---- Generic refinement regions ----

struct refine_opts {
    int tmpl = 0;
    bool tpgron = false;
    int atx[2] = {-1, -1}, aty[2] = {-1, -1};  // template 0: in the region, in the reference
};

// The context of pixel (x, y) of im, refining ref placed with its pixel (0, 0) under im's (0, 0):
// the pixels of im coded before it, and the reference's pixels around its counterpart.
static inline uint32_t refine_context(const image &im, const image &ref, const refine_opts &o, int x,
                                      int y) {
    auto p = [&](int dx, int dy) { return (uint32_t)im.at(x + dx, y + dy); };
    auto r = [&](int dx, int dy) { return (uint32_t)ref.at(x + dx, y + dy); };
    if (o.tmpl == 0)
        return p(-1, 0) | p(1, -1) << 1 | p(0, -1) << 2 | p(o.atx[0], o.aty[0]) << 3 |
               r(1, 1) << 4 | r(0, 1) << 5 | r(-1, 1) << 6 | r(1, 0) << 7 | r(0, 0) << 8 |
               r(-1, 0) << 9 | r(1, -1) << 10 | r(0, -1) << 11 | r(o.atx[1], o.aty[1]) << 12;
    return p(-1, 0) | p(1, -1) << 1 | p(0, -1) << 2 | p(-1, -1) << 3 | r(1, 1) << 4 | r(0, 1) << 5 |
           r(1, 0) << 6 | r(0, 0) << 7 | r(-1, 0) << 8 | r(0, -1) << 9;
}

// The reference's value around (x, y) when its nine pixels agree, else -1.
static inline int refine_typical(const image &ref, int x, int y) {
    int v = ref.at(x, y);
    for (int j = -1; j <= 1; j++)
        for (int i = -1; i <= 1; i++)
            if (ref.at(x + i, y + j) != v) return -1;
    return v;
}

// Codes im as a refinement of ref (of any size; pixels outside it are 0), with typical prediction
// when asked: a row is typical when every pixel whose reference neighbourhood agrees has its value,
// and a typical row codes only the other pixels.
static inline bytes encode_refine(const image &im, const image &ref, const refine_opts &o) {
    mq_encoder e;
    std::vector<ctx> cx(8192);
    const uint32_t sltp = o.tmpl == 0 ? 0x0100 : 0x0080;  // the reference's pixel r(0, 0) alone
    int ltp = 0;
    for (int y = 0; y < im.h; y++) {
        if (o.tpgron) {
            bool typical = true;
            for (int x = 0; x < im.w && typical; x++) {
                int v = refine_typical(ref, x, y);
                typical = v < 0 || v == im.at(x, y);
            }
            e.encode(cx[sltp], (int)typical ^ ltp);
            ltp = typical;
        }
        for (int x = 0; x < im.w; x++)
            if (!ltp || refine_typical(ref, x, y) < 0) e.encode(cx[refine_context(im, ref, o, x, y)], im.at(x, y));
    }
    return e.finish();
}

// A refinement region segment's data (region information, flags, adaptive pixels, coded pixels):
// im at (x, y) as a refinement of ref, the page's pixels under it.
static inline bytes refinement_region(const image &im, const image &ref, uint32_t x, uint32_t y,
                                      int op, const refine_opts &o) {
    bytes d = region_info((uint32_t)im.w, (uint32_t)im.h, x, y, op);
    d.push_back((uint8_t)(o.tmpl | (o.tpgron ? 2 : 0)));
    if (o.tmpl == 0)
        for (int i = 0; i < 2; i++) {
            d.push_back((uint8_t)(int8_t)o.atx[i]);
            d.push_back((uint8_t)(int8_t)o.aty[i]);
        }
    bytes coded = encode_refine(im, ref, o);
    d.insert(d.end(), coded.begin(), coded.end());
    return d;
}

// ---- Symbol dictionaries and text regions (arithmetic) ----

static inline int code_length(size_t n) {
    int l = 0;
    while (((size_t)1 << l) < n) l++;
    return l;
}

// A symbol dictionary of new symbols coded with template 0 (usual adaptive pixels), one height
// class per distinct height in the order given (symbols of a class must be adjacent), all
// exported.
static inline bytes symbol_dictionary(const std::vector<image> &syms) {
    bytes d;
    put16(d, 0);  // arithmetic, no refinement, template 0
    const int atx[4] = {3, -3, 2, -2}, aty[4] = {-1, -1, -2, -2};
    for (int i = 0; i < 4; i++) {
        d.push_back((uint8_t)(int8_t)atx[i]);
        d.push_back((uint8_t)(int8_t)aty[i]);
    }
    put32(d, (uint32_t)syms.size());
    put32(d, (uint32_t)syms.size());
    mq_encoder e;
    int_coder iadh, iadw, iaex;
    std::vector<ctx> gb(65536);
    generic_opts o = usual(0);
    int height = 0;
    for (size_t i = 0; i < syms.size();) {
        iadh.encode(e, syms[i].h - height);
        height = syms[i].h;
        int width = 0;
        for (; i < syms.size() && syms[i].h == height; i++) {
            iadw.encode(e, syms[i].w - width);
            width = syms[i].w;
            encode_generic(e, gb, syms[i], o);
        }
        iadw.oob(e);
    }
    iaex.encode(e, 0);  // none of the (no) input symbols
    iaex.encode(e, (int64_t)syms.size());
    bytes coded = e.finish();
    d.insert(d.end(), coded.begin(), coded.end());
    return d;
}

// One symbol instance: its symbol, and its reference corner's S and T (T relative to its strip).
struct instance {
    uint32_t id;
    int s, t;
};
// A strip: its T, and its instances in S order.
struct strip {
    int t;
    std::vector<instance> inst;
};
struct text_opts {
    int logstrips = 0, refcorner = 1, transposed = 0, combop = 0, defpixel = 0, dsoffset = 0;
};

// A text region segment's data; syms are the symbols it refers to (for their sizes).
static inline bytes text_region(const std::vector<image> &syms, uint32_t w, uint32_t h, uint32_t x,
                                uint32_t y, int op, const std::vector<strip> &strips,
                                const text_opts &o) {
    bytes d = region_info(w, h, x, y, op);
    put16(d, (uint32_t)(o.logstrips << 2 | o.refcorner << 4 | o.transposed << 6 | o.combop << 7 |
                        o.defpixel << 9 | (o.dsoffset & 31) << 10));
    uint32_t n = 0;
    for (const strip &s : strips) n += (uint32_t)s.inst.size();
    put32(d, n);
    mq_encoder e;
    int_coder iadt, iafs, iads, iait;
    id_coder iaid(code_length(syms.size()));
    const int strips_n = 1 << o.logstrips;
    int stript = 0, firsts = 0;
    iadt.encode(e, 0);  // STRIPT starts at 0
    for (const strip &st : strips) {
        iadt.encode(e, (st.t - stript) / strips_n);
        stript = st.t;
        int curs = 0;
        for (size_t k = 0; k < st.inst.size(); k++) {
            const instance &in = st.inst[k];
            const image &im = syms[in.id];
            bool right = o.refcorner == 2 || o.refcorner == 3, bottom = o.refcorner == 0 || o.refcorner == 2;
            // The decoder adds the symbol's extent along S before placing at a right (or, transposed,
            // bottom) corner, and after placing at the other corners.
            int before = !o.transposed ? (right ? im.w - 1 : 0) : (bottom ? im.h - 1 : 0);
            int after = !o.transposed ? (right ? 0 : im.w - 1) : (bottom ? 0 : im.h - 1);
            if (k == 0) {
                iafs.encode(e, in.s - before - firsts);
                firsts = in.s - before;
            } else {
                iads.encode(e, in.s - before - curs - o.dsoffset);
            }
            if (strips_n > 1) iait.encode(e, in.t);
            iaid.encode(e, in.id);
            curs = in.s + after;
        }
        iads.oob(e);
    }
    bytes coded = e.finish();
    d.insert(d.end(), coded.begin(), coded.end());
    return d;
}

}  // namespace jb2w

#endif
