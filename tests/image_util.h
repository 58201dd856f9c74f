// tests/image_util.h - what the image tests share: test-side encoders (hex, ASCII85, RunLength, LZW,
// PNG and TIFF predictors), documents made by the test builder and loaded, and an image extracted
// from one with its PNG decoded back to RGBA.
#ifndef QV_TESTS_IMAGE_UTIL_H
#define QV_TESTS_IMAGE_UTIL_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "byte_util.h"
#include "pdf_builder.h"
#include "pdfcore/pdfcore.h"
#include "pdfextractimg/extract.h"
#include "pdfextractimg/image.h"
#include "png/png.h"

// Byte strings that may hold NUL bytes.
#define BYTES(s) std::string(s, sizeof(s) - 1)

// ---- test-side encoders -------------------------------------------------------------------------

static inline std::string hex_encode(const std::string &s) {
    static const char *digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out + ">";
}

static inline std::string a85_encode(const std::string &s) {
    std::string out;
    size_t i = 0;
    for (; i + 4 <= s.size(); i += 4) {
        uint32_t v = (uint32_t)(uint8_t)s[i] << 24 | (uint32_t)(uint8_t)s[i + 1] << 16 |
                     (uint32_t)(uint8_t)s[i + 2] << 8 | (uint8_t)s[i + 3];
        if (v == 0) {
            out += 'z';
            continue;
        }
        char g[5];
        for (int k = 4; k >= 0; k--) g[k] = (char)('!' + v % 85), v /= 85;
        out.append(g, 5);
    }
    size_t rest = s.size() - i;
    if (rest) {
        uint32_t v = 0;
        for (size_t k = 0; k < 4; k++) v = v << 8 | (k < rest ? (uint8_t)s[i + k] : 0u);
        char g[5];
        for (int k = 4; k >= 0; k--) g[k] = (char)('!' + v % 85), v /= 85;
        out.append(g, rest + 1);
    }
    return out + "~>";
}

// Literal runs of up to 128 bytes, then the end mark.
static inline std::string rl_encode(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i += 128) {
        size_t n = std::min<size_t>(128, s.size() - i);
        out += (char)(n - 1);
        out += s.substr(i, n);
    }
    return out + (char)128;
}

// LZW with 9-bit codes only (inputs kept small enough), clear code first, EOD last.
static inline std::string lzw_encode9(const std::string &s) {
    std::map<std::string, int> dict;
    for (int i = 0; i < 256; i++) dict[std::string(1, (char)i)] = i;
    int next = 258;
    std::vector<int> codes{256};
    std::string w;
    for (char c : s) {
        std::string wc = w + c;
        if (dict.count(wc)) {
            w = wc;
            continue;
        }
        codes.push_back(dict[w]);
        dict[wc] = next++;
        w = std::string(1, c);
    }
    if (!w.empty()) codes.push_back(dict[w]);
    codes.push_back(257);
    EXPECT_LT(next, 511) << "test encoder only writes 9-bit codes";
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (int code : codes) {
        acc = acc << 9 | (uint32_t)code;
        bits += 9;
        while (bits >= 8) {
            out += (char)((acc >> (bits - 8)) & 0xFF);
            bits -= 8;
        }
    }
    if (bits) out += (char)((acc << (8 - bits)) & 0xFF);
    return out;
}

// PNG row filter type `type` over rows of row_bytes, bpp bytes per pixel.
static inline std::string png_filter(const std::string &raw, size_t row_bytes, size_t bpp, int type) {
    std::string out;
    for (size_t off = 0; off < raw.size(); off += row_bytes) {
        size_t n = std::min(row_bytes, raw.size() - off);
        out += (char)type;
        for (size_t i = 0; i < n; i++) {
            int x = (uint8_t)raw[off + i];
            int a = i >= bpp ? (uint8_t)raw[off + i - bpp] : 0;
            int b = off ? (uint8_t)raw[off - row_bytes + i] : 0;
            int c = off && i >= bpp ? (uint8_t)raw[off - row_bytes + i - bpp] : 0;
            int p = 0;
            if (type == 1) p = a;
            if (type == 2) p = b;
            if (type == 3) p = (a + b) / 2;
            if (type == 4) {
                int p0 = a + b - c, pa = abs(p0 - a), pb = abs(p0 - b), pc = abs(p0 - c);
                p = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            }
            out += (char)(x - p);
        }
    }
    return out;
}

static inline uint32_t bits_get(const std::string &r, size_t s, int bits) {
    if (bits == 16) return (uint32_t)(uint8_t)r[2 * s] << 8 | (uint8_t)r[2 * s + 1];
    size_t bit = s * (size_t)bits;
    return ((uint8_t)r[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
}
static inline void bits_set(std::string &r, size_t s, int bits, uint32_t v) {
    size_t bit = s * (size_t)bits;
    int shift = 8 - bits - (int)(bit % 8);
    uint8_t mask = (uint8_t)(((1u << bits) - 1) << shift);
    r[bit / 8] = (char)(((uint8_t)r[bit / 8] & ~mask) | ((v << shift) & mask));
}

// TIFF predictor 2 applied to rows of `columns` pixels of `colors` samples.
static inline std::string tiff_encode(const std::string &raw, size_t columns, int colors, int bits) {
    size_t row_bytes = (columns * colors * bits + 7) / 8, samples = columns * colors;
    std::string out = raw;
    for (size_t off = 0; off + row_bytes <= raw.size(); off += row_bytes) {
        std::string row = raw.substr(off, row_bytes), enc = row;
        for (size_t s = colors; s < samples; s++) {
            if (bits == 16) {
                uint32_t v = ((uint8_t)row[2 * s] << 8 | (uint8_t)row[2 * s + 1]) -
                             ((uint8_t)row[2 * (s - colors)] << 8 | (uint8_t)row[2 * (s - colors) + 1]);
                enc[2 * s] = (char)(v >> 8), enc[2 * s + 1] = (char)v;
            } else if (bits == 8) {
                enc[s] = (char)(row[s] - row[s - colors]);
            } else {
                bits_set(enc, s, bits, bits_get(row, s, bits) - bits_get(row, s - colors, bits));
            }
        }
        out.replace(off, row_bytes, enc);
    }
    return out;
}

static inline std::string noise(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        s[i] = (char)(seed >> 16);
    }
    return s;
}

// A tiny JPEG-shaped byte string: SOI, APP0, SOF0 of w x h, SOS, some data, EOI.
static inline std::string fake_jpeg(int w, int h) {
    std::string j = "\xFF\xD8";
    j += std::string("\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 18);
    j += std::string("\xFF\xC0\x00\x0B\x08", 5);
    j += (char)(h >> 8), j += (char)h, j += (char)(w >> 8), j += (char)w;
    j += std::string("\x01\x01\x11\x00", 4);
    j += std::string("\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00", 10);
    j += "\x12\x34\x56";
    j += "\xFF\xD9";
    return j;
}

// ---- documents ----------------------------------------------------------------------------------

// A loaded document built from a pdf_builder whose objects 1..3 are catalog, pages, page.
struct test_doc {
    pdfcore_doc d{};
    std::string path;
    bool ok = false;
    explicit test_doc(pdf_builder &b) {
        b.xref_table(trailer_opts{1});
        path = b.save_temp("image");
        ok = pdfcore_load(path.c_str(), &d) == 1;
    }
    ~test_doc() {
        pdfcore_doc_free(&d);
        if (!path.empty()) remove(path.c_str());
    }
    const pdfcore_obj *obj(int n) const { return obj_find(&d.objs, n); }
};

static inline pdf_builder base_builder() {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.page(3, 2, "/Resources << /XObject << /Im1 10 0 R >> >>");
    return b;
}

struct pixels {
    int w = 0, h = 0;
    std::vector<uint8_t> rgba;
    std::string format;
    std::vector<uint8_t> data;
    bool ok = false;
    bool borrowed = false;  // the JPEG data was left in the document's file
    std::vector<uint8_t> px(int i) const {
        return std::vector<uint8_t>(rgba.begin() + 4 * i, rgba.begin() + 4 * i + 4);
    }
};

// Runs extract_single_image on object num with flags; a PNG is decoded back to RGBA.
static inline pixels extract(const test_doc &td, int num, int32_t flags = 0) {
    pixels out;
    if (!td.ok) return out;
    extracted_image rec;
    memset(&rec, 0, sizeof rec);
    if (!extract_single_image(&td.d, num, 1, &rec, flags)) return out;
    out.borrowed = rec.src != nullptr;
    EXPECT_EQ(rec.src ? &td.d.src : nullptr, rec.src) << "data left in the file is the document's";
    out.ok = true;
    out.format = rec.format;
    out.w = rec.width;
    out.h = rec.height;
    EXPECT_EQ(num, rec.obj_num);
    if (rec.src) {  // the bytes the writer would copy
        EXPECT_EQ(nullptr, rec.data);
        out.data.resize((size_t)rec.size);
        EXPECT_EQ((int64_t)rec.size, src_read(rec.src, rec.src_off, out.data.data(), (int64_t)rec.size));
    } else {
        EXPECT_EQ(rec.size, rec.data_len);
        out.data.assign(rec.data, rec.data + rec.data_len);
    }
    if (out.format == "png") {
        std::string p = pdf_temp_path("image_png") + ".png";
        write_file(p, std::string((const char *)rec.data, rec.data_len));
        int w = 0, h = 0;
        const char *msg = nullptr;
        uint8_t *rgba = qv_png_decode(p.c_str(), &w, &h, &msg);
        remove(p.c_str());
        EXPECT_NE(nullptr, rgba) << msg;
        if (rgba) {
            EXPECT_EQ(rec.width, w);
            EXPECT_EQ(rec.height, h);
            out.rgba.assign(rgba, rgba + (size_t)w * h * 4);
            free(rgba);
        }
    }
    extracted_image_release(&rec);
    return out;
}

// Image object 10 with dictionary keys `dict` (without << >>) and stream data.
static inline pixels image_of(const std::string &dict, const std::string &data,
                       const std::function<void(pdf_builder &)> &more = nullptr, int32_t flags = 0) {
    pdf_builder b = base_builder();
    b.stream(10, "<< /Type /XObject /Subtype /Image " + dict + " >>", data);
    if (more) more(b);
    test_doc td(b);
    EXPECT_TRUE(td.ok);
    return extract(td, 10, flags);
}

static inline std::vector<uint8_t> rgba_of(std::initializer_list<int> v) {
    return std::vector<uint8_t>(v.begin(), v.end());
}

// ---- dictionary reading -------------------------------------------------------------------------

struct params_doc {
    pdf_builder b = base_builder();
    std::unique_ptr<test_doc> td;
    image_params p{};
    params_doc(const std::string &dict, const std::function<void(pdf_builder &)> &more = nullptr) {
        b.stream(10, dict, "abc");
        if (more) more(b);
        td.reset(new test_doc(b));
        EXPECT_TRUE(td->ok);
        const pdfcore_obj *o = td->ok ? td->obj(10) : nullptr;
        EXPECT_NE(nullptr, o);
        read_image_params(o ? &td->d : nullptr, o, &p);
    }
    ~params_doc() { image_params_free(&p); }
};

static inline std::string fixture_bytes(const std::string &rel) {
    bytes b = read_bytes(std::string(TEST_SOURCE_DIR) + "/fixtures/" + rel);
    return std::string(b.begin(), b.end());
}

#ifdef HAVE_ZLIB
// Functions, an ICC profile and a gray image the colour space tests draw through.
static inline void colour_objects(pdf_builder &b) {
    b.obj(20, "<< /FunctionType 2 /Domain [0 1] /C0 [1 1 1] /C1 [0 0.5 0.25] /N 1 >>");
    b.stream(21, "<< /FunctionType 4 /Domain [0 1 0 1] /Range [0 1] >>", "{ add 2 div 1 exch sub }");
    b.obj(22, "<< /FunctionType 2 /Domain [0 1] /C0 [100 0 0] /C1 [0 0 0] /N 1 >>");
    b.obj(23, "<< /FunctionType 2 /Domain [0 1] /C0 [0 0 0 0] /C1 [0 1 0 0] /N 1 >>");
    b.stream(24, "<< /FunctionType 0 /Domain [0 1] /Range [0 1 0 1 0 1] /Size [4096] /BitsPerSample 8 "
                 "/Filter /FlateDecode >>", zlib_compress(std::string(4096 * 3, '\x40')));
    b.obj(25, "<< /FunctionType 3 /Domain [0 1] /Bounds [0.5] /Encode [0 1 0 1] /Functions "
              "[<< /FunctionType 2 /Domain [0 1] /C0 [0 0 0] /C1 [1 1 1] /N 1 >> 26 0 R] >>");
    b.obj(26, "<< /FunctionType 2 /Domain [0 1] /C0 [1 0 0] /C1 [1 0 0] /N 1 >>");
    b.stream(27, "<< /N 3 >>", "icc");
    b.stream(30, "<< /Type /XObject /Subtype /Image /Width 3 /Height 1 /BitsPerComponent 8 "
                 "/ColorSpace /DeviceGray >>", "\x10\x80\xF0");
}

// round(v * 255) of a value in [0, 1].
static inline int byte_of(double v) { return (int)std::floor(v * 255 + 0.5); }
#endif

#endif
