// tests/image_test.cpp - image dictionaries, filter chains, predictors, sample depths, colour
// spaces, soft masks, stencil masks and the JPEG pass-through, over PDFs made by the test builder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "byte_util.h"
#include "jbig2_writer.h"
#include "pdf_builder.h"
#include "pdfcore/pdfcore.h"
#include "pdfextractimg/extract.h"
#include "pdfextractimg/image.h"
#include "png/png.h"

// Byte strings that may hold NUL bytes.
#define BYTES(s) std::string(s, sizeof(s) - 1)

// ---- test-side encoders -------------------------------------------------------------------------

static std::string hex_encode(const std::string &s) {
    static const char *digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out + ">";
}

static std::string a85_encode(const std::string &s) {
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
static std::string rl_encode(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i += 128) {
        size_t n = std::min<size_t>(128, s.size() - i);
        out += (char)(n - 1);
        out += s.substr(i, n);
    }
    return out + (char)128;
}

// LZW with 9-bit codes only (inputs kept small enough), clear code first, EOD last.
static std::string lzw_encode9(const std::string &s) {
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
static std::string png_filter(const std::string &raw, size_t row_bytes, size_t bpp, int type) {
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

static uint32_t bits_get(const std::string &r, size_t s, int bits) {
    if (bits == 16) return (uint32_t)(uint8_t)r[2 * s] << 8 | (uint8_t)r[2 * s + 1];
    size_t bit = s * (size_t)bits;
    return ((uint8_t)r[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
}
static void bits_set(std::string &r, size_t s, int bits, uint32_t v) {
    size_t bit = s * (size_t)bits;
    int shift = 8 - bits - (int)(bit % 8);
    uint8_t mask = (uint8_t)(((1u << bits) - 1) << shift);
    r[bit / 8] = (char)(((uint8_t)r[bit / 8] & ~mask) | ((v << shift) & mask));
}

// TIFF predictor 2 applied to rows of `columns` pixels of `colors` samples.
static std::string tiff_encode(const std::string &raw, size_t columns, int colors, int bits) {
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

static std::string noise(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        s[i] = (char)(seed >> 16);
    }
    return s;
}

// A tiny JPEG-shaped byte string: SOI, APP0, SOF0 of w x h, SOS, some data, EOI.
static std::string fake_jpeg(int w, int h) {
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

static pdf_builder base_builder() {
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
    bool borrowed = false;  // the data was lent from the document's bytes, and lay inside them
    std::vector<uint8_t> px(int i) const {
        return std::vector<uint8_t>(rgba.begin() + 4 * i, rgba.begin() + 4 * i + 4);
    }
};

// Runs extract_single_image on object num with flags; a PNG is decoded back to RGBA.
static pixels extract(const test_doc &td, int num, int32_t flags = 0) {
    pixels out;
    if (!td.ok) return out;
    extracted_image rec;
    memset(&rec, 0, sizeof rec);
    if (!extract_single_image(&td.d, num, 1, &rec, flags)) return out;
    out.borrowed = rec.data_borrowed && rec.data >= td.d.data && rec.data + rec.data_len <= td.d.data + td.d.size;
    EXPECT_EQ(rec.data_borrowed != 0, out.borrowed) << "lent data lies in the document";
    out.ok = true;
    out.format = rec.format;
    out.w = rec.width;
    out.h = rec.height;
    EXPECT_EQ(rec.size, rec.data_len);
    EXPECT_EQ(num, rec.obj_num);
    out.data.assign(rec.data, rec.data + rec.data_len);
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
static pixels image_of(const std::string &dict, const std::string &data,
                       const std::function<void(pdf_builder &)> &more = nullptr, int32_t flags = 0) {
    pdf_builder b = base_builder();
    b.stream(10, "<< /Type /XObject /Subtype /Image " + dict + " >>", data);
    if (more) more(b);
    test_doc td(b);
    EXPECT_TRUE(td.ok);
    return extract(td, 10, flags);
}

static std::vector<uint8_t> rgba_of(std::initializer_list<int> v) {
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

TEST(ImageParams, Filters) {
    struct fcase {
        const char *name, *dict;
        std::vector<int> filters;
        int bad;
    } cases[] = {
        {"one key per line", "<<\n/Filter /FlateDecode\n/Width 1\n>>", {filter_flate}, 0},
        {"flate then dct", "<< /Filter [/FlateDecode /DCTDecode] >>", {filter_flate, filter_dct}, 0},
        {"abbreviations", "<< /Filter [/AHx /A85 /LZW /Fl /RL /DCT] >>",
         {filter_ahx, filter_a85, filter_lzw, filter_flate, filter_rl, filter_dct}, 0},
        {"one-element array", "<< /Filter [ /ASCII85Decode ] >>", {filter_a85}, 0},
        {"no filter", "<< /Width 2 >>", {}, 0},
        {"jpx", "<< /Filter /JPXDecode >>", {filter_jpx}, 0},
        {"ccitt in a chain", "<< /Filter [/FlateDecode /CCITTFaxDecode] >>",
         {filter_flate, filter_ccitt}, 0},
        {"ccitt abbreviated", "<< /Filter /CCF >>", {filter_ccitt}, 0},
        {"jbig2", "<< /Filter /JBIG2Decode >>", {filter_jbig2}, 0},
        {"crypt", "<< /Filter [/Crypt /FlateDecode] >>", {filter_flate}, 1},
        {"prefix is no match", "<< /Filter /FlateDecodeX >>", {}, 1},
        {"reference to an array", "<< /Filter 20 0 R >>", {filter_a85, filter_flate}, 0},
        {"references in the array", "<< /Filter [21 0 R /LZW 22 0 R] >>",
         {filter_flate, filter_lzw, filter_a85}, 0},
        {"reference to nothing in the array", "<< /Filter [/Fl 99 0 R] >>", {filter_flate}, 1},
        {"comments in the array", "<< /Filter [/Fl % /DCT\n/RL] % /JPXDecode\n>>",
         {filter_flate, filter_rl}, 0},
        {"nine filters", "<< /Filter [/AHx /AHx /AHx /AHx /AHx /AHx /AHx /AHx /AHx] >>",
         std::vector<int>(8, filter_ahx), 1},
    };
    for (const fcase &c : cases) {
        SCOPED_TRACE(c.name);
        params_doc pd(c.dict, [](pdf_builder &b) {
            b.obj(20, "[/ASCII85Decode /FlateDecode]");
            b.obj(21, "/FlateDecode");
            b.obj(22, "23 0 R");
            b.obj(23, "% a chain\n/A85");
        });
        EXPECT_EQ(c.bad, pd.p.bad_filter);
        ASSERT_EQ((int)c.filters.size(), pd.p.filter_count);
        for (size_t i = 0; i < c.filters.size(); i++) EXPECT_EQ(c.filters[i], pd.p.filters[i]);
    }
    params_doc both("<< /Filter [/FlateDecode /DCTDecode] >>");
    EXPECT_TRUE(both.p.is_flate && both.p.is_dct && !both.p.is_lzw);
}

TEST(ImageParams, KeysAndDecode) {
    struct kcase {
        const char *name, *dict;
        int width, height, bpc, mask, invert, smask, predictor;
    } cases[] = {
        {"plain", "<< /Width 3 /Height 2 /BitsPerComponent 4 >>", 3, 2, 4, 0, 0, -1, 1},
        {"missing", "<< >>", -1, -1, 8, 0, 0, -1, 1},
        {"bpc not a number", "<< /BitsPerComponent /X >>", -1, -1, -1, 0, 0, -1, 1},
        {"image mask forces one bit", "<< /ImageMask true /BitsPerComponent 8 >>", -1, -1, 1, 1, 1,
         -1, 1},
        {"image mask false", "<< /ImageMask false >>", -1, -1, 8, 0, 0, -1, 1},
        {"decode 1 0", "<< /Decode [1 0] >>", -1, -1, 8, 0, 1, -1, 1},
        {"decode 1.0 0.0", "<< /Decode [1.0 0.0] >>", -1, -1, 8, 0, 1, -1, 1},
        {"decode 0 1", "<< /Decode [0 1] >>", -1, -1, 8, 0, 0, -1, 1},
        {"decode 0 1 on a mask", "<< /ImageMask true /Decode [0 1] >>", -1, -1, 1, 1, 1, -1, 1},
        {"smask", "<< /SMask 12 0 R >>", -1, -1, 8, 0, 0, 12, 1},
        {"width by reference", "<< /Width 20 0 R /Height 5 >>", 640, 5, 8, 0, 0, -1, 1},
        {"predictor anywhere", "<< /Predictor 12 >>", -1, -1, 8, 0, 0, -1, 12},
        {"predictor below 1", "<< /DecodeParms << /Predictor 0 >> >>", -1, -1, 8, 0, 0, -1, 1},
        // DecodeParms' own /BitsPerComponent is not the image's.
        {"parms first", "<< /DecodeParms << /BitsPerComponent 4 /Predictor 15 >> /BitsPerComponent 16 >>",
         -1, -1, 16, 0, 0, -1, 15},
        {"parms only", "<< /DecodeParms << /BitsPerComponent 4 /Columns 9 >> >>", -1, -1, 8, 0, 0,
         -1, 1},
        // Values and array elements given by reference, comments where whitespace stands.
        {"parms array of references", "<< /DecodeParms [21 0 R] /Width 4 >>", 4, -1, 8, 0, 0, -1, 15},
        {"parms array, second entry", "<< /DecodeParms [null 21 0 R] >>", -1, -1, 8, 0, 0, -1, 15},
        {"parms array object", "<< /DecodeParms 22 0 R >>", -1, -1, 8, 0, 0, -1, 15},
        {"predictor by reference", "<< /DecodeParms << /Predictor 23 0 R >> >>", -1, -1, 8, 0, 0, -1, 12},
        {"image mask by reference", "<< /ImageMask 24 0 R >>", -1, -1, 1, 1, 1, -1, 1},
        {"decode elements by reference", "<< /Decode [27 0 R 25 0 R] >>", -1, -1, 8, 0, 1, -1, 1},
        {"decode array by reference", "<< /Decode 26 0 R >>", -1, -1, 8, 0, 1, -1, 1},
        {"comments", "<< /Width % w\n3 /Decode [1 % 0 1\n0] /DecodeParms % p\n<< /Predictor 12 >> >>",
         3, -1, 8, 0, 1, -1, 12},
    };
    for (const kcase &c : cases) {
        SCOPED_TRACE(c.name);
        params_doc pd(c.dict, [](pdf_builder &b) {
            const std::pair<int, const char *> objs[] = {
                {20, "640"}, {21, "<< /Predictor 15 /Columns 16 >>"}, {22, "[21 0 R]"}, {23, "12"},
                {24, "true"}, {25, "0"}, {26, "[1 0]"}, {27, "1"}};
            for (auto &o : objs) b.obj(o.first, o.second);
        });
        EXPECT_EQ(c.width, pd.p.width);
        EXPECT_EQ(c.height, pd.p.height);
        EXPECT_EQ(c.bpc, pd.p.bpc);
        EXPECT_EQ(c.mask, pd.p.image_mask);
        EXPECT_EQ(c.invert, pd.p.invert);
        EXPECT_EQ(c.smask, pd.p.smask);
        EXPECT_EQ(c.predictor, pd.p.predictor);
    }
    params_doc dp("<< /DecodeParms [null << /Predictor 15 /Colors 3 /Columns 7 >>] /Decode [0 1 1.0 0 -.5 +2] >>");
    EXPECT_EQ(3, dp.p.dp_colors);
    EXPECT_EQ(-1, dp.p.dp_bpc);
    EXPECT_EQ(7, dp.p.dp_columns);
    ASSERT_EQ(6, dp.p.decode_count);
    EXPECT_EQ(1.0, dp.p.decode[2]);
    EXPECT_EQ(-0.5, dp.p.decode[4]);
    EXPECT_EQ(2.0, dp.p.decode[5]);
    params_doc dpref("<< /DecodeParms 21 0 R /Width 4 >>",
                     [](pdf_builder &b) { b.obj(21, "<< /Predictor 10 /Columns 4 /Width 99 >>"); });
    EXPECT_EQ(10, dpref.p.predictor);
    EXPECT_EQ(4, dpref.p.dp_columns);
    EXPECT_EQ(4, dpref.p.width);
}

TEST(ImageParams, ColorSpaces) {
    struct ccase {
        const char *name, *dict, *cs_name;
        int comps, indexed;
    } cases[] = {
        {"rgb name", "<< /ColorSpace /DeviceRGB >>", "DeviceRGB", 3, 0},
        {"gray abbreviation", "<< /ColorSpace /G >>", "G", 1, 0},
        {"cmyk", "<< /ColorSpace /DeviceCMYK >>", "DeviceCMYK", 4, 0},
        {"icc n 4", "<< /ColorSpace [/ICCBased 30 0 R] >>", "", 4, 0},
        {"icc n 1", "<< /ColorSpace [/ICCBased 31 0 R] >>", "", 1, 0},
        {"reference to icc array", "<< /ColorSpace 32 0 R >>", "", 4, 0},
        {"reference to a name", "<< /ColorSpace 33 0 R >>", "DeviceGray", 1, 0},
        {"cal rgb", "<< /ColorSpace [/CalRGB << /WhitePoint [0.95 1 1.09] >>] >>", "", 3, 0},
        {"cal gray", "<< /ColorSpace [/CalGray << /WhitePoint [1 1 1] >>] >>", "", 1, 0},
        {"lab", "<< /ColorSpace [/Lab << /WhitePoint [1 1 1] >>] >>", "", 3, 0},
        {"separation", "<< /ColorSpace [/Separation /Spot /DeviceCMYK 40 0 R] >>", "", 0, 0},
        {"resource name", "<< /ColorSpace /CS0 >>", "CS0", 0, 0},
        {"long name", "<< /ColorSpace /AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA >>", "", 0, 0},
        {"missing reference", "<< /ColorSpace 99 0 R >>", "", 0, 0},
        {"reference loop", "<< /ColorSpace 34 0 R >>", "", 0, 0},
        {"indexed", "<< /ColorSpace [/Indexed /DeviceRGB 1 <FF0000 00FF00>] >>", "Indexed", 0, 1},
        {"icc with /N by reference", "<< /ColorSpace [/ICCBased 36 0 R] >>", "", 3, 0},
        {"family name by reference", "<< /ColorSpace [37 0 R 31 0 R] >>", "", 1, 0},
        {"comments", "<< /ColorSpace % space\n[% family\n/ICCBased % profile\n30 0 R] >>", "", 4, 0},
    };
    for (const ccase &c : cases) {
        SCOPED_TRACE(c.name);
        params_doc pd(c.dict, [](pdf_builder &b) {
            b.stream(30, "<< /N 4 /Alternate /DeviceCMYK >>", "icc");
            b.stream(31, "<< /N 1 >>", "icc");
            b.obj(32, "[/ICCBased 30 0 R]");
            b.obj(33, "/DeviceGray");
            b.obj(34, "35 0 R");
            b.obj(35, "34 0 R");
            b.stream(36, "<< /N 38 0 R >>", "icc");
            b.obj(37, "/ICCBased");
            b.obj(38, "3");
        });
        EXPECT_STREQ(c.cs_name, pd.p.cs_name);
        EXPECT_EQ(c.comps, pd.p.cs_comps);
        EXPECT_EQ(c.indexed, pd.p.indexed);
    }
}

TEST(ImageParams, Palettes) {
    struct pcase {
        const char *name, *cs;
        int entries;
        std::vector<int> first; // first bytes of the RGB palette
        bool has_palette;
    } cases[] = {
        {"hex rgb", "[/Indexed /DeviceRGB 1 <FF0000 00FF00>]", 2, {255, 0, 0, 0, 255, 0, 0, 0, 0}, true},
        {"odd digit dropped", "[/Indexed /DeviceRGB 1 <FF00000>]", 2, {255, 0, 0, 0, 0, 0}, true},
        {"hival 300", "[/Indexed /DeviceRGB 300 <>]", 256, {0, 0, 0}, true},
        {"negative hival", "[/Indexed /DeviceRGB -1 <FF>]", 0, {}, false},
        {"gray base", "[/Indexed /DeviceGray 2 <10 80 FF>]", 3, {16, 16, 16, 128, 128, 128, 255, 255, 255}, true},
        {"cmyk base", "[/Indexed /DeviceCMYK 1 <00000000 FF000080>]", 2, {255, 255, 255, 0, 127, 127}, true},
        {"icc base by reference", "[/Indexed [/ICCBased 31 0 R] 1 <20 40>]", 2, {32, 32, 32, 64, 64, 64}, true},
        {"base by reference", "[/Indexed 33 0 R 1 <20 40>]", 2, {32, 32, 32, 64, 64, 64}, true},
        {"literal string", "[/Indexed /DeviceRGB 1 (\\377\\000\\000\\(\\)\\\\)]", 2, {255, 0, 0, '(', ')', '\\'}, true},
        {"literal with newline escapes", "[/Indexed /DeviceRGB 1 (a\\nb\\rcd\\\nef)]", 2, {'a', 10, 'b', 13, 'c', 'd'}, true},
        {"flate stream", "[/Indexed /DeviceRGB 1 36 0 R]", 2, {1, 2, 3, 4, 5, 6}, true},
        {"hex stream", "[/Indexed /DeviceRGB 1 37 0 R]", 2, {0xAB, 0xCD, 0xEF, 0, 0, 0}, true},
        {"string object", "[/Indexed /DeviceRGB 1 38 0 R]", 2, {9, 8, 7, 6, 5, 4}, true},
        {"missing stream", "[/Indexed /DeviceRGB 1 99 0 R]", 2, {}, false},
        {"unsupported form", "[/Indexed /DeviceRGB 1 /Foo]", 2, {}, false},
        {"space by reference", "39 0 R", 2, {255, 0, 0, 0, 255, 0}, true},
        {"from an object stream", "51 0 R", 2, {0x11, 0x11, 0x11, 0x22, 0x22, 0x22}, true},
        {"hival by reference", "[/Indexed /DeviceRGB 40 0 R <FF0000 00FF00>]", 2, {255, 0, 0, 0, 255, 0}, true},
        {"every element by reference", "[41 0 R 33 0 R 40 0 R 38 0 R]", 2, {9, 9, 9, 8, 8, 8}, true},
        {"comments", "[/Indexed % pal\n/DeviceGray % base\n1 % 7\n<10 20>]", 2, {16, 16, 16, 32, 32, 32}, true},
        {"base missing", "[/Indexed 1 <FF0000 00FF00>]", 2, {255, 0, 0, 0, 255, 0}, true},
    };
    for (const pcase &c : cases) {
        SCOPED_TRACE(c.name);
        params_doc pd(std::string("<< /ColorSpace ") + c.cs + " >>", [](pdf_builder &b) {
            b.stream(31, "<< /N 1 >>", "icc");
            b.obj(33, "/DeviceGray");
#ifdef HAVE_ZLIB
            b.stream(36, "<< /Filter /FlateDecode >>", zlib_compress("\x01\x02\x03\x04\x05\x06"));
#else
            b.stream(36, "<< >>", "\x01\x02\x03\x04\x05\x06");
#endif
            b.objstm(50, {{51, "[/Indexed 52 0 R 1 <1122>]"}, {52, "/DeviceGray"}});
            // A string object right before a stream: read as the string, not as that stream.
            b.obj(38, "<090807060504>");
            b.stream(37, "<< /Filter /ASCIIHexDecode >>", "AB CD EF>");
            b.obj(39, "[/Indexed /DeviceRGB 1 <FF0000 00FF00>]");
            b.obj(40, "1");
            b.obj(41, "/Indexed");
        });
        EXPECT_EQ(1, pd.p.indexed);
        EXPECT_EQ(c.entries, pd.p.palette_entries);
        EXPECT_EQ(c.has_palette, pd.p.palette != nullptr);
        if (pd.p.palette)
            for (size_t i = 0; i < c.first.size(); i++) EXPECT_EQ(c.first[i], pd.p.palette[i]) << i;
    }
}

// ---- filter chains and the JPEG pass-through ---------------------------------------------------

#ifdef HAVE_ZLIB
TEST(ImageDecode, FilterChains) {
    std::string raw = noise(4 * 3 * 3, 7); // 4 x 3 RGB
    struct chain {
        const char *name, *filter;
        std::string data;
    } cases[] = {
        {"flate", "/FlateDecode", zlib_compress(raw)},
        {"ascii85 then flate", "[/ASCII85Decode /FlateDecode]", a85_encode(zlib_compress(raw))},
        {"abbreviated", "[/A85 /Fl]", a85_encode(zlib_compress(raw))},
        {"hex then runlength", "[/ASCIIHexDecode /RunLengthDecode]", hex_encode(rl_encode(raw))},
        {"runlength alone", "/RunLengthDecode", rl_encode(raw)},
        {"lzw", "/LZWDecode", lzw_encode9(raw)},
        {"hex of lzw", "[/AHx /LZW]", hex_encode(lzw_encode9(raw))},
        {"ascii85 alone", "[/ASCII85Decode]", a85_encode(raw)},
        {"hex alone", "/ASCIIHexDecode", hex_encode(raw)},
        {"none", "null", raw},
    };
    for (const chain &c : cases) {
        SCOPED_TRACE(c.name);
        pixels px = image_of(std::string("/Width 4 /Height 3 /ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter ") + c.filter, c.data);
        ASSERT_TRUE(px.ok);
        EXPECT_EQ("png", px.format);
        for (int i = 0; i < 12; i++)
            EXPECT_EQ(rgba_of({(uint8_t)raw[3 * i], (uint8_t)raw[3 * i + 1], (uint8_t)raw[3 * i + 2], 255}), px.px(i)) << i;
    }
    // The wrong order fails as a whole.
    EXPECT_FALSE(image_of("/Width 4 /Height 3 /ColorSpace /DeviceRGB /Filter [/FlateDecode /ASCII85Decode]",
                          a85_encode(zlib_compress(raw))).ok);
}

TEST(ImageDecode, UndecodableFiltersAreSkipped) {
    for (const char *f : {"[/Crypt /FlateDecode]", "/Foo", "[/DCTDecode /FlateDecode]"}) {
        SCOPED_TRACE(f);
        EXPECT_FALSE(image_of(std::string("/Width 2 /Height 2 /ColorSpace /DeviceGray /Filter ") + f,
                              zlib_compress("abcd")).ok);
    }
}

TEST(ImageDecode, OutputRoomFollowsTheImageSize) {
    // An all-zero 100 x 100 image compresses far beyond the fixed expansion ratios.
    std::string zeros(100 * 100, '\0');
    std::string lzw = lzw_encode9(zeros);
    ASSERT_LT(lzw.size() * 8 + 4096, zeros.size());
    pixels px = image_of("/Width 100 /Height 100 /ColorSpace /DeviceGray /Filter /LZWDecode", lzw);
    ASSERT_TRUE(px.ok);
    EXPECT_EQ(rgba_of({0, 0, 0, 255}), px.px(9999));
    // Wider than 65536 and well compressed.
    std::string wide(70000, '\x80');
    pixels pw = image_of("/Width 70000 /Height 1 /ColorSpace /DeviceGray /Filter /FlateDecode", zlib_compress(wide));
    ASSERT_TRUE(pw.ok);
    EXPECT_EQ(rgba_of({128, 128, 128, 255}), pw.px(69999));

    image_params p{};
    p.width = 1 << 20, p.height = 1 << 20, p.bpc = 16;
    EXPECT_EQ(max_decode_cap, decode_capacity(&p, filter_flate, 10));
    p.width = 10, p.height = 10, p.bpc = 8;
    EXPECT_EQ(10u * 41u + 4096u, decode_capacity(&p, filter_lzw, 10));
    EXPECT_EQ((1000u + 256u) * 16u, decode_capacity(&p, filter_flate, 1000));
    p.width = -1;
    EXPECT_EQ(10u * 8u + 4096u, decode_capacity(&p, filter_lzw, 10));
}

TEST(ImageDecode, JpegPassThrough) {
    std::string j = fake_jpeg(33, 17);
    struct jcase {
        const char *name, *dict;
        std::string data;
        bool ok;
        int w, h;
        std::string want;
    } cases[] = {
        {"plain", "/Width 33 /Height 17 /Filter /DCTDecode", j, true, 33, 17, j},
        {"size from the frame", "/Width 0 /Filter /DCTDecode", j, true, 33, 17, j},
        {"dictionary size wins", "/Width 5 /Height 6 /Filter /DCTDecode", j, true, 5, 6, j},
        {"garbage before SOI", "/Width 33 /Height 17 /Filter /DCTDecode", "0123456789" + j, true, 33, 17, j},
        {"hex then dct", "/Width 33 /Height 17 /Filter [/ASCIIHexDecode /DCTDecode]", hex_encode(j), true, 33, 17, j},
        {"flate then dct", "/Width 33 /Height 17 /Filter [/FlateDecode /DCTDecode]", zlib_compress(j), true, 33, 17, j},
        {"a85 flate dct", "/Filter [/A85 /Fl /DCT]", a85_encode(zlib_compress(j)), true, 33, 17, j},
        {"with a soft mask", "/Width 33 /Height 17 /SMask 11 0 R /Filter /DCTDecode", j, true, 33, 17, j},
        {"huge but JPEG", "/Width 40000 /Height 40000 /Filter /DCTDecode", j, true, 40000, 40000, j},
        {"no SOI", "/Width 2 /Height 2 /Filter /DCTDecode", "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C", false, 0, 0, ""},
        {"SOI too close to the end", "/Width 2 /Height 2 /Filter /DCTDecode", std::string("abcdefghijkl\xFF\xD8\x00", 15), false, 0, 0, ""},
        {"flate fails", "/Width 2 /Height 2 /Filter [/FlateDecode /DCTDecode]", j, false, 0, 0, ""},
    };
    // Lent or copied, the same bytes; only data stored with DCTDecode alone is lent.
    for (int32_t flags : {0, extract_borrow_jpeg, extract_defer_png | extract_borrow_jpeg}) {
        for (const jcase &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (flags ? " (lent)" : ""));
            pixels px = image_of(c.dict, c.data, [](pdf_builder &b) {
                b.stream(11, "<< /Width 33 /Height 17 /BitsPerComponent 8 /Filter /FlateDecode >>",
                         zlib_compress(std::string(33 * 17, '\x40')));
            }, flags);
            ASSERT_EQ(c.ok, px.ok);
            if (!c.ok) continue;
            EXPECT_EQ("jpeg", px.format);
            EXPECT_EQ(c.w, px.w);
            EXPECT_EQ(c.h, px.h);
            EXPECT_EQ(c.want, std::string(px.data.begin(), px.data.end()));
            EXPECT_EQ((flags & extract_borrow_jpeg) && !strchr(c.dict, '['), px.borrowed);
        }
    }
}
#endif

TEST(ImageDecode, SizeLimits) {
    struct scase {
        const char *name, *dict;
    } cases[] = {
        {"more than 2^30 pixels", "/Width 40000 /Height 40000 /ColorSpace /DeviceGray"},
        {"width 0", "/Width 0 /Height 2 /ColorSpace /DeviceGray"},
        {"height missing", "/Width 2 /ColorSpace /DeviceGray"},
        {"negative", "/Width -2 /Height 2 /ColorSpace /DeviceGray"},
        {"wrapped", "/Width 99999999999 /Height 2 /ColorSpace /DeviceGray"},
    };
    for (const scase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(image_of(c.dict, "abcd").ok);
    }
    image_params p{};
    p.width = 1 << 16, p.height = 1 << 15, p.bpc = 8;
    int32_t gray = 0;
    EXPECT_EQ(nullptr, image_pixels(&p, 3, nullptr, 0, nullptr, &gray)); // 2^31 pixels
}

// ---- components and predictors ------------------------------------------------------------------

TEST(ImageComponents, ByColourSpaceAndData) {
    struct ccase {
        const char *name;
        int w, h, bpc, comps, indexed, mask;
        uint64_t len;
        int want;
    } cases[] = {
        {"mask", 4, 4, 1, 4, 0, 1, 100, 1},
        {"indexed", 4, 4, 8, 0, 1, 0, 100, 1},
        {"colour space wins", 2, 2, 8, 1, 0, 0, 16, 1},
        {"4 x N", 2, 2, 8, 0, 0, 0, 16, 4},
        {"3 x N", 2, 2, 8, 0, 0, 0, 12, 3},
        {"N", 2, 2, 8, 0, 0, 0, 4, 1},
        {"no size", 0, 2, 8, 0, 0, 0, 4, 3},
        {"16-bit rgb", 2, 2, 16, 0, 0, 0, 24, 3},
        {"16-bit gray with 3 x N bytes", 2, 2, 16, 0, 0, 0, 12, 1},
        {"4-bit 4 components", 3, 2, 4, 0, 0, 0, 12, 4},
        {"4-bit 3 components", 3, 2, 4, 0, 0, 0, 10, 3},
        {"huge declared size", 2000000000, 2000000000, 16, 0, 0, 0, 100, 1},
    };
    for (const ccase &c : cases) {
        SCOPED_TRACE(c.name);
        image_params p{};
        p.width = c.w, p.height = c.h, p.bpc = c.bpc, p.cs_comps = c.comps;
        p.indexed = c.indexed, p.image_mask = c.mask;
        EXPECT_EQ(c.want, image_components(&p, c.len));
    }
}

TEST(ImagePredictors, PngExampleAndTypes) {
    // Sub row, then Up row (c 1, 8 bits, width 3).
    uint8_t d[] = {1, 0x0A, 5, 5, 2, 1, 1, 1};
    EXPECT_EQ(6u, undo_png_predictors(d, sizeof d, 3, 1));
    EXPECT_EQ(0, memcmp(d, "\x0A\x0F\x14\x0B\x10\x15", 6));
    for (int type = 0; type <= 4; type++)
        for (size_t len : {30u, 31u, 35u, 1u, 0u}) {
            SCOPED_TRACE(type * 100 + (int)len);
            std::string raw = noise(len, (uint32_t)(type + 1));
            std::string enc = png_filter(raw, 10, 3, type);
            std::vector<uint8_t> buf(enc.begin(), enc.end());
            uint64_t n = undo_png_predictors(buf.data(), buf.size(), 10, 3);
            ASSERT_EQ(raw.size(), n);
            EXPECT_EQ(raw, std::string(buf.begin(), buf.begin() + (long)n));
        }
    // An unknown type byte adds nothing.
    uint8_t u[] = {7, 1, 2, 3};
    EXPECT_EQ(3u, undo_png_predictors(u, 4, 3, 1));
    EXPECT_EQ(0, memcmp(u, "\x01\x02\x03", 3));
}

TEST(ImagePredictors, Tiff) {
    struct tcase {
        int colors, bits;
        size_t columns, rows;
    } cases[] = {{3, 8, 5, 3}, {1, 8, 7, 2}, {3, 16, 4, 2}, {1, 16, 5, 3}, {1, 4, 5, 3},
                 {3, 4, 3, 2}, {1, 2, 7, 2}, {1, 1, 13, 3}, {4, 1, 3, 2}};
    for (const tcase &c : cases) {
        SCOPED_TRACE(c.colors * 1000 + c.bits * 10);
        size_t row = (c.columns * c.colors * c.bits + 7) / 8;
        std::string raw = noise(row * c.rows, 3);
        std::string enc = tiff_encode(raw, c.columns, c.colors, c.bits);
        std::vector<uint8_t> buf(enc.begin(), enc.end());
        undo_tiff_predictor(buf.data(), buf.size(), c.columns, c.colors, c.bits);
        for (size_t r = 0; r < c.rows; r++)
            for (size_t s = 0; s < c.columns * c.colors; s++)
                ASSERT_EQ(bits_get(raw, r * row * 8 / c.bits + s, c.bits),
                          bits_get(std::string(buf.begin(), buf.end()), r * row * 8 / c.bits + s, c.bits))
                    << r << " " << s;
    }
}

TEST(ImagePredictors, Parameters) {
    // Without DecodeParms values the image's c, depth and width stand in; with any of them the
    // PDF defaults 1, 8, 1 fill the others.
    image_params p{};
    p.width = 3, p.height = 2, p.bpc = 8, p.predictor = 12;
    p.dp_colors = p.dp_bpc = p.dp_columns = -1;
    std::string raw = noise(18, 9);
    std::string enc = png_filter(raw, 9, 3, 4);
    std::vector<uint8_t> buf(enc.begin(), enc.end());
    uint64_t n = buf.size();
    undo_predictors(&p, 3, buf.data(), &n);
    EXPECT_EQ(raw, std::string(buf.begin(), buf.begin() + (long)n));

    p.dp_columns = 9; // colors 1, 8 bits: rows of 9 bytes, bpp 1
    enc = png_filter(raw, 9, 1, 1);
    buf.assign(enc.begin(), enc.end());
    n = buf.size();
    undo_predictors(&p, 3, buf.data(), &n);
    EXPECT_EQ(raw, std::string(buf.begin(), buf.begin() + (long)n));

    p.predictor = 2; // TIFF with the image's own values
    p.dp_columns = -1;
    enc = tiff_encode(raw, 3, 3, 8);
    buf.assign(enc.begin(), enc.end());
    n = buf.size();
    undo_predictors(&p, 3, buf.data(), &n);
    EXPECT_EQ(raw, std::string(buf.begin(), buf.end()));

    p.predictor = 3; // not a predictor we know: unchanged
    buf.assign(enc.begin(), enc.end());
    undo_predictors(&p, 3, buf.data(), &n);
    EXPECT_EQ(enc, std::string(buf.begin(), buf.end()));
    p.predictor = 12;
    p.dp_bpc = 3; // unusable parameters: unchanged
    undo_predictors(&p, 3, buf.data(), &n);
    EXPECT_EQ(enc, std::string(buf.begin(), buf.end()));
}

#ifdef HAVE_ZLIB
TEST(ImagePredictors, ThroughTheImage) {
    // 1-bit image 20 wide, 5 high: rows of 3 bytes; predictor rows of /Columns 20 bytes (colors 1,
    // 8 bits), the last one partial and not padded, as Ghostscript writes them.
    std::string raw = noise(15, 11);
    std::string enc = png_filter(raw, 20, 1, 1);
    ASSERT_EQ(16u, enc.size());
    pixels px = image_of("/Width 20 /Height 5 /ImageMask true /Filter /FlateDecode /DecodeParms << /Predictor 15 /Columns 20 >>",
                         zlib_compress(enc));
    ASSERT_TRUE(px.ok);
    for (int y = 0; y < 5; y++)
        for (int x = 0; x < 20; x++) {
            int bit = ((uint8_t)raw[y * 3 + x / 8] >> (7 - x % 8)) & 1;
            EXPECT_EQ(bit ? 0 : 255, px.px(y * 20 + x)[3]) << x << "," << y;
        }
    // RGB with Predictor 15 and full parameters, a partial last row kept.
    std::string rgb = noise(4 * 3 * 3, 12);
    std::string e2 = png_filter(rgb, 12, 3, 4);
    pixels p2 = image_of("/Width 4 /Height 3 /ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /FlateDecode "
                         "/DecodeParms << /Predictor 15 /Colors 3 /BitsPerComponent 8 /Columns 4 >>",
                         zlib_compress(e2.substr(0, e2.size() - 2)));
    ASSERT_TRUE(p2.ok);
    EXPECT_EQ(rgba_of({(uint8_t)rgb[30], (uint8_t)rgb[31], (uint8_t)rgb[32], 255}), p2.px(10));
    EXPECT_EQ(rgba_of({0, 0, 0, 255}), p2.px(11)); // its last byte is missing
    // TIFF predictor on a 4-bit gray image.
    std::string g4 = noise(2 * 3, 13); // width 3 -> 2 bytes a row, 3 rows
    pixels p3 = image_of("/Width 3 /Height 3 /ColorSpace /DeviceGray /BitsPerComponent 4 /Filter /FlateDecode "
                         "/DecodeParms << /Predictor 2 >>",
                         zlib_compress(tiff_encode(g4, 3, 1, 4)));
    ASSERT_TRUE(p3.ok);
    for (int y = 0; y < 3; y++)
        for (int x = 0; x < 3; x++) {
            int v = (int)bits_get(g4, (size_t)(y * 4 + x), 4) * 17;
            EXPECT_EQ(rgba_of({v, v, v, 255}), p3.px(y * 3 + x));
        }
}
#endif

// ---- samples to pixels --------------------------------------------------------------------------

struct pixel_case {
    const char *name;
    int w, h, bpc, c;
    const char *cs;             // "indexed" sets a 4-entry palette, "mask" a stencil mask
    std::vector<double> decode; // Decode array
    std::string data;
    std::vector<std::vector<int>> want; // RGBA of the first pixels
};

static std::vector<uint8_t> run_pixels(const pixel_case &c, int32_t *gray, const uint8_t *alpha = nullptr) {
    image_params p{};
    p.width = c.w, p.height = c.h, p.bpc = c.bpc;
    uint8_t pal[15] = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120, 0, 0, 0};
    if (!strcmp(c.cs, "indexed")) p.indexed = 1, p.palette = pal, p.palette_entries = 4;
    if (!strcmp(c.cs, "mask")) p.image_mask = 1;
    p.decode_count = (int32_t)c.decode.size();
    for (size_t i = 0; i < c.decode.size(); i++) p.decode[i] = c.decode[i];
    p.invert = (c.decode.size() >= 2 && c.decode[0] == 1 && c.decode[1] == 0) || p.image_mask;
    uint8_t *px = image_pixels(&p, c.c, (const uint8_t *)c.data.data(), c.data.size(), alpha, gray);
    size_t n = (size_t)c.w * c.h * (*gray ? 1 : 4);
    std::vector<uint8_t> out(px, px + (px ? n : 0));
    free(px);
    return out;
}

TEST(ImagePixels, DepthsAndColourRules) {
    const pixel_case cases[] = {
        {"gray 8", 2, 1, 8, 1, "", {}, BYTES("\x00\x80"), {{0, 0, 0, 255}, {128, 128, 128, 255}}},
        {"gray 8 inverted", 2, 1, 8, 1, "", {1, 0}, BYTES("\x00\x80"), {{255, 255, 255, 255}, {127, 127, 127, 255}}},
        {"gray 2", 5, 1, 2, 1, "", {}, "\x1B\x40", {{0, 0, 0, 255}, {85, 85, 85, 255}, {170, 170, 170, 255}, {255, 255, 255, 255}, {85, 85, 85, 255}}},
        {"gray 4 rows on byte boundaries", 3, 2, 4, 1, "", {}, "\x0F\x8A\x12\x30",
         {{0, 0, 0, 255}, {255, 255, 255, 255}, {136, 136, 136, 255}, {17, 17, 17, 255}, {34, 34, 34, 255}, {51, 51, 51, 255}}},
        {"gray 16 high byte", 2, 1, 16, 1, "", {}, BYTES("\x12\xFF\xAB\x00"), {{0x12, 0x12, 0x12, 255}, {0xAB, 0xAB, 0xAB, 255}}},
        {"rgb 16", 1, 1, 16, 3, "", {}, "\x10\x01\x20\x02\x30\x03", {{16, 32, 48, 255}}},
        {"rgb 4", 1, 1, 4, 3, "", {}, "\xF0\x80", {{255, 0, 136, 255}}},
        {"rgb 2", 2, 1, 2, 3, "", {}, "\xE4\x40", {{255, 170, 85, 255}, {0, 85, 0, 255}}},
        {"rgb 1 per component", 2, 1, 1, 3, "", {}, "\xA4", {{255, 0, 255, 255}, {0, 0, 255, 255}}},
        {"rgb decode per component", 1, 1, 8, 3, "", {0, 1, 1, 0, 0, 1}, "\x10\x20\x30", {{16, 223, 48, 255}}},
        {"cmyk cases", 4, 1, 8, 4, "", {},
         std::string("\x00\x00\x00\x00\xFF\x00\x00\x00\x00\x00\x00\x80\x80\x80\x80\x80", 16),
         {{255, 255, 255, 255}, {0, 255, 255, 255}, {127, 127, 127, 255}, {63, 63, 63, 255}}},
        {"cmyk 4-bit", 1, 1, 4, 4, "", {}, BYTES("\xF0\x00"), {{0, 255, 255, 255}}},
        {"cmyk inverted", 1, 1, 8, 4, "", {1, 0, 1, 0, 1, 0, 1, 0}, std::string("\xFF\xFF\xFF\xFF", 4), {{255, 255, 255, 255}}},
        {"indexed 8 out of range", 2, 1, 8, 1, "indexed", {}, "\x01\x07", {{40, 50, 60, 255}, {7, 7, 7, 255}}},
        {"indexed 1", 3, 1, 1, 1, "indexed", {}, "\x40", {{10, 20, 30, 255}, {40, 50, 60, 255}, {10, 20, 30, 255}}},
        {"indexed 1 decode 1 0", 2, 1, 1, 1, "indexed", {1, 0}, "\x40", {{40, 50, 60, 255}, {10, 20, 30, 255}}},
        {"indexed 2", 4, 1, 2, 1, "indexed", {}, "\x1B", {{10, 20, 30, 255}, {40, 50, 60, 255}, {70, 80, 90, 255}, {100, 110, 120, 255}}},
        {"indexed 4", 2, 1, 4, 1, "indexed", {}, "\x3F", {{100, 110, 120, 255}, {15, 15, 15, 255}}},
        {"short rgb", 2, 1, 8, 3, "", {}, "\x01\x02\x03\x04", {{1, 2, 3, 255}, {0, 0, 0, 255}}},
        {"short cmyk", 2, 1, 8, 4, "", {}, std::string("\x00\x00\x00\x00\x00", 5), {{255, 255, 255, 255}, {0, 0, 0, 255}}},
        {"short gray inverted", 2, 1, 8, 1, "", {1, 0}, "\x10", {{239, 239, 239, 255}, {255, 255, 255, 255}}},
        {"short indexed", 2, 1, 8, 1, "indexed", {}, "\x02", {{70, 80, 90, 255}, {10, 20, 30, 255}}},
        {"stencil", 2, 1, 1, 1, "mask", {}, "\x40", {{255, 255, 255, 255}, {0, 0, 0, 0}}},
        {"stencil decode 0 1", 2, 1, 1, 1, "mask", {0, 1}, "\x40", {{255, 255, 255, 255}, {0, 0, 0, 0}}},
        {"stencil decode 1 0", 2, 1, 1, 1, "mask", {1, 0}, "\x40", {{0, 0, 0, 0}, {255, 255, 255, 255}}},
    };
    for (const pixel_case &c : cases) {
        SCOPED_TRACE(c.name);
        int32_t gray = -1;
        std::vector<uint8_t> px = run_pixels(c, &gray);
        ASSERT_EQ(0, gray);
        ASSERT_EQ((size_t)c.w * c.h * 4, px.size());
        for (size_t i = 0; i < c.want.size(); i++)
            EXPECT_EQ(rgba_of({c.want[i][0], c.want[i][1], c.want[i][2], c.want[i][3]}),
                      std::vector<uint8_t>(px.begin() + 4 * (long)i, px.begin() + 4 * (long)i + 4)) << i;
    }
}

TEST(ImagePixels, OneBitGray) {
    struct ocase {
        const char *name;
        std::vector<double> decode;
        std::vector<int> want;
    } cases[] = {
        {"0 black", {}, {0, 255, 0, 0, 0, 0, 0, 0, 0, 255}},
        {"decode 1 0", {1, 0}, {255, 0, 255, 255, 255, 255, 255, 255, 255, 0}},
        {"decode 1.0 0.0", {1.0, 0.0}, {255, 0, 255, 255, 255, 255, 255, 255, 255, 0}},
    };
    for (const ocase &c : cases) {
        SCOPED_TRACE(c.name);
        // Width 10, rows of 2 bytes; height 2, the second row missing (0 bits).
        pixel_case pc{c.name, 10, 2, 1, 1, "", c.decode, "\x40\x40", {}};
        int32_t gray = 0;
        std::vector<uint8_t> px = run_pixels(pc, &gray);
        ASSERT_EQ(1, gray);
        ASSERT_EQ(20u, px.size());
        for (int i = 0; i < 10; i++) EXPECT_EQ(c.want[i], px[i]) << i;
        EXPECT_EQ(c.want[0], px[19]);
        // With alpha the bits rule gives RGBA.
        std::vector<uint8_t> alpha(20, 77);
        std::vector<uint8_t> rgba = run_pixels(pc, &gray, alpha.data());
        ASSERT_EQ(0, gray);
        EXPECT_EQ(rgba_of({c.want[1], c.want[1], c.want[1], 77}),
                  std::vector<uint8_t>(rgba.begin() + 4, rgba.begin() + 8));
    }
}

// ---- soft masks and colour spaces through whole images ------------------------------------------

#ifdef HAVE_ZLIB
TEST(ImageSoftMask, ReadLikeAnImage) {
    std::string a8 = BYTES("\x00\x40\x80\xFF");
    struct mcase {
        const char *name, *mask_dict;
        std::string mask_data;
        std::vector<int> alpha; // of the 2 x 2 image, or empty: no mask
    } cases[] = {
        {"flate 8-bit", "/Width 2 /Height 2 /BitsPerComponent 8 /Filter /FlateDecode", zlib_compress(a8), {0, 64, 128, 255}},
        {"no dictionary size", "/Filter /FlateDecode", zlib_compress(a8), {0, 64, 128, 255}},
        {"raw", "/Width 2 /Height 2 /BitsPerComponent 8", a8, {0, 64, 128, 255}},
        {"chain and predictor", "/Width 2 /Height 2 /BitsPerComponent 8 /Filter [/A85 /Fl] /DecodeParms [null << /Predictor 15 /Columns 2 >>]",
         a85_encode(zlib_compress(png_filter(a8, 2, 1, 1))), {0, 64, 128, 255}},
        {"decode 1 0", "/Width 2 /Height 2 /Decode [1 0] /Filter /FlateDecode", zlib_compress(a8), {255, 191, 127, 0}},
        {"1-bit", "/Width 2 /Height 2 /BitsPerComponent 1", std::string("\x40\x80", 2), {0, 255, 255, 0}},
        {"16-bit", "/Width 2 /Height 2 /BitsPerComponent 16", std::string("\x01\x00\x02\x00\x03\x00\x04\xFF", 8), {1, 2, 3, 4}},
        {"scaled up", "/Width 1 /Height 1 /Filter /FlateDecode", zlib_compress("\x33"), {0x33, 0x33, 0x33, 0x33}},
        {"scaled down", "/Width 4 /Height 4", "ABCDEFGHIJKLMNOP", {'A', 'C', 'I', 'K'}},
        {"short", "/Width 2 /Height 2 /Filter /FlateDecode", zlib_compress("\x01\x02\x03"), {}},
        {"undecodable", "/Width 2 /Height 2 /Filter /JPXDecode", a8, {}},
        {"bad flate", "/Width 2 /Height 2 /Filter /FlateDecode", a8, {}},
    };
    for (const mcase &c : cases) {
        SCOPED_TRACE(c.name);
        // RGB image (1,2,3) everywhere with the mask as object 11.
        std::string dict = c.mask_dict, data = c.mask_data;
        pixels px = image_of("/Width 2 /Height 2 /ColorSpace /DeviceRGB /BitsPerComponent 8 /SMask 11 0 R",
                             std::string(4, '\x01') + std::string(4, '\x02') + std::string(4, '\x03'),
                             [&](pdf_builder &b) { b.stream(11, "<< /Type /XObject /Subtype /Image /ColorSpace /DeviceGray " + dict + " >>", data); });
        ASSERT_TRUE(px.ok);
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(c.alpha.empty() ? 255 : c.alpha[i], px.px(i)[3]) << i;
    }
    // A one-bit image with a usable mask becomes RGBA by the bits rule; without one it is gray.
    pixels one = image_of("/Width 2 /Height 1 /ColorSpace /DeviceGray /BitsPerComponent 1 /SMask 11 0 R", "\x40",
                          [](pdf_builder &b) { b.stream(11, "<< /Width 2 /Height 1 >>", "\x10\x20"); });
    ASSERT_TRUE(one.ok);
    EXPECT_EQ(rgba_of({0, 0, 0, 0x10}), one.px(0));
    EXPECT_EQ(rgba_of({255, 255, 255, 0x20}), one.px(1));
}

// /Mask on a 2 x 2 image: a colour key on the raw samples, or a stencil mask stream whose 1 is
// transparent. Objects 20 and 21 are there for references.
TEST(ImageMask, ColourKeysAndStencilMasks) {
    const std::string rgb = BYTES("\x0A\x0A\x0A\x32\x32\x32\x0A\x3C\x0A\xC8\x00\x00");
    const std::string rgb_dict = "/Width 2 /Height 2 /ColorSpace /DeviceRGB /BitsPerComponent 8 ";
    struct mcase {
        const char *name;
        std::string dict, data;
        std::vector<int> alpha;  // per pixel
    } cases[] = {
        {"key: one pixel inside", rgb_dict + "/Mask [0 20 0 20 0 20]", rgb, {0, 255, 255, 255}},
        {"key: every component must be inside", rgb_dict + "/Mask [0 60 0 60 0 60]", rgb, {0, 0, 0, 255}},
        {"key: bounds included", rgb_dict + "/Mask [10 10 10 60 10 10]", rgb, {0, 255, 0, 255}},
        {"key: on raw samples, before Decode", rgb_dict + "/Decode [1 0 1 0 1 0] /Mask [0 20 0 20 0 20]", rgb,
         {0, 255, 255, 255}},
        {"key: array object", rgb_dict + "/Mask 20 0 R", rgb, {0, 255, 255, 255}},
        {"key: a number through a reference", rgb_dict + "/Mask [0 21 0 R 0 20 0 20]", rgb, {0, 255, 255, 255}},
        {"key: too short for the components", rgb_dict + "/Mask [0 20]", rgb, {255, 255, 255, 255}},
        {"key: odd count", rgb_dict + "/Mask [0 20 0 20 0]", rgb, {255, 255, 255, 255}},
        {"key: negative number", rgb_dict + "/Mask [-1 20 0 20 0 20]", rgb, {255, 255, 255, 255}},
        {"key: not an array", rgb_dict + "/Mask /None", rgb, {255, 255, 255, 255}},
        {"key: Indexed applies to the index",
         "/Width 2 /Height 2 /ColorSpace [/Indexed /DeviceRGB 3 <000000FF000000FF000000FF>] /Mask [1 2]",
         BYTES("\x00\x01\x02\x03"), {255, 0, 0, 255}},
        {"key: 16-bit samples", "/Width 2 /Height 2 /ColorSpace /DeviceGray /BitsPerComponent 16 /Mask [256 300]",
         BYTES("\x01\x00\x01\x2C\x01\x2D\x00\xFF"), {0, 0, 255, 255}},
        {"key: 1-bit samples", "/Width 2 /Height 2 /ColorSpace /DeviceGray /BitsPerComponent 1 /Mask [1 1]",
         BYTES("\x80\x40"), {0, 255, 255, 0}},
        {"stencil: 1 transparent", rgb_dict + "/Mask 22 0 R", rgb, {0, 255, 255, 0}},
        {"stencil: Decode [1 0] swaps", rgb_dict + "/Mask 23 0 R", rgb, {255, 0, 0, 255}},
        {"stencil: smaller, scaled up", rgb_dict + "/Mask 24 0 R", rgb, {0, 0, 0, 0}},
        {"stencil: larger, scaled down", rgb_dict + "/Mask 25 0 R", rgb, {255, 0, 0, 255}},
        {"soft mask wins", rgb_dict + "/SMask 26 0 R /Mask [0 255 0 255 0 255]", rgb, {1, 2, 3, 4}},
        {"soft mask wins over a stencil", rgb_dict + "/Mask 22 0 R /SMask 26 0 R", rgb, {1, 2, 3, 4}},
    };
    for (const mcase &c : cases) {
        SCOPED_TRACE(c.name);
        pixels px = image_of(c.dict, c.data, [](pdf_builder &b) {
            b.obj(20, "[0 20 0 20 0 20]");
            b.obj(21, "20");
            const std::string m = "<< /Type /XObject /Subtype /Image /ImageMask true ";
            b.stream(22, m + "/Width 2 /Height 2 >>", BYTES("\x80\x40"));
            b.stream(23, m + "/Width 2 /Height 2 /Decode [1 0] >>", BYTES("\x80\x40"));
            b.stream(24, m + "/Width 1 /Height 1 >>", BYTES("\x80"));
            b.stream(25, m + "/Width 4 /Height 4 >>", BYTES("\x30\x00\xC0\x00"));
            b.stream(26, "<< /Width 2 /Height 2 /ColorSpace /DeviceGray /BitsPerComponent 8 >>",
                     BYTES("\x01\x02\x03\x04"));
        });
        ASSERT_TRUE(px.ok);
        ASSERT_EQ(16u, px.rgba.size());
        for (int i = 0; i < 4; i++) EXPECT_EQ(c.alpha[i], px.px(i)[3]) << i;
    }
    // JPEG data is written as stored whatever its masks.
    std::string jpeg = fake_jpeg(2, 2);
    pixels j = image_of(rgb_dict + "/Filter /DCTDecode /Mask [0 20 0 20 0 20]", jpeg);
    ASSERT_TRUE(j.ok);
    EXPECT_EQ("jpeg", j.format);
    EXPECT_EQ(jpeg, std::string(j.data.begin(), j.data.end()));
}

TEST(ImageColour, WholeImages) {
    struct wcase {
        const char *name, *dict;
        std::string data;
        std::vector<std::vector<int>> want;
    } cases[] = {
        // 1 x 1 image with 3 bytes: the data alone would say RGB.
        {"icc n 1", "/Width 1 /Height 1 /ColorSpace [/ICCBased 31 0 R]", BYTES("\x50\x00\x00"), {{0x50, 0x50, 0x50, 255}}},
        {"icc n 4 by reference", "/Width 1 /Height 1 /ColorSpace 32 0 R", std::string("\x00\x00\x00\x80", 4), {{127, 127, 127, 255}}},
        {"icc by data", "/Width 1 /Height 1 /ColorSpace [/ICCBased 40 0 R]", "\x01\x02\x03", {{1, 2, 3, 255}}},
        {"indexed on cmyk", "/Width 2 /Height 1 /BitsPerComponent 8 /ColorSpace [/Indexed /DeviceCMYK 1 <00000000 FF000000>]", BYTES("\x01\x00"),
         {{0, 255, 255, 255}, {255, 255, 255, 255}}},
        {"indexed 1-bit", "/Width 2 /Height 1 /BitsPerComponent 1 /ColorSpace [/Indexed /DeviceRGB 1 <FF0000 0000FF>]", "\x40",
         {{255, 0, 0, 255}, {0, 0, 255, 255}}},
        {"indexed 4-bit flate palette", "/Width 2 /Height 1 /BitsPerComponent 4 /ColorSpace [/Indexed /DeviceRGB 1 36 0 R]", "\x10",
         {{4, 5, 6, 255}, {1, 2, 3, 255}}},
        {"gray 16 through flate", "/Width 2 /Height 1 /BitsPerComponent 16 /ColorSpace /DeviceGray", BYTES("\xFF\x00\x7F\xFF"),
         {{255, 255, 255, 255}, {127, 127, 127, 255}}},
        {"stencil with decode 1 0", "/Width 8 /Height 1 /ImageMask true /Decode [1.0 0.0]", "\x80", {{255, 255, 255, 255}, {0, 0, 0, 0}}},
        {"stencil", "/Width 8 /Height 1 /ImageMask true", "\x80", {{0, 0, 0, 0}, {255, 255, 255, 255}}},
    };
    for (const wcase &c : cases) {
        SCOPED_TRACE(c.name);
        pixels px = image_of(c.dict, c.data, [](pdf_builder &b) {
            b.stream(31, "<< /N 1 >>", "icc");
            b.stream(30, "<< /N 4 >>", "icc");
            b.obj(32, "[/ICCBased 30 0 R]");
            b.stream(36, "<< /Filter /FlateDecode >>", zlib_compress("\x01\x02\x03\x04\x05\x06"));
            b.stream(40, "<< /Alternate /DeviceRGB >>", "icc");
        });
        ASSERT_TRUE(px.ok);
        for (size_t i = 0; i < c.want.size(); i++)
            EXPECT_EQ(rgba_of({c.want[i][0], c.want[i][1], c.want[i][2], c.want[i][3]}), px.px((int)i)) << i;
    }
    // A one-bit gray image without mask is a gray PNG.
    pixels g = image_of("/Width 2 /Height 1 /ColorSpace /DeviceGray /BitsPerComponent 1", "\x40");
    ASSERT_TRUE(g.ok);
    ASSERT_GE(g.data.size(), 26u);
    EXPECT_EQ(0, g.data[25]); // IHDR colour type
    EXPECT_EQ(rgba_of({0, 0, 0, 255}), g.px(0));
    EXPECT_EQ(rgba_of({255, 255, 255, 255}), g.px(1));
}
#endif

TEST(ImageExtract, RefusesWhatIsNoImageStream) {
    pdf_builder b = base_builder();
    b.obj(10, "<< /Type /XObject /Subtype /Image /Width 1 /Height 1 >>");
    b.stream(11, "<< /Width 1 /Height 1 >>", "");
    b.stream(12, "<< /Width 1 /Height 1 /ColorSpace /DeviceGray >>", "\x42");
    test_doc td(b);
    ASSERT_TRUE(td.ok);
    extracted_image rec;
    memset(&rec, 0, sizeof rec);
    EXPECT_EQ(0, extract_single_image(&td.d, 10, 1, &rec)); // no stream
    EXPECT_EQ(0, extract_single_image(&td.d, 11, 1, &rec)); // empty stream
    EXPECT_EQ(0, extract_single_image(&td.d, 99, 1, &rec)); // missing
    EXPECT_EQ(nullptr, rec.data);
    EXPECT_EQ(1, extract_single_image(&td.d, 12, 7, &rec));
    EXPECT_EQ(7, rec.page);
    EXPECT_STREQ("png", rec.format);
    free(rec.data);
}

// A count walks the pages as a listing does, but no PNG is encoded on the way: every record comes
// back without data, while a listing's records carry their PNG sizes.
TEST(ImageExtract, CountingCollectsWithoutEncoding) {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3, 4});
    b.page(3, 2, "/Resources << /XObject << /Im1 10 0 R /Im2 11 0 R >> >>");
    b.page(4, 2, "/Resources << /XObject << /Im1 10 0 R /Bad 12 0 R >> >>");
    b.stream(10, "<< /Subtype /Image /Width 2 /Height 1 /ColorSpace /DeviceGray /BitsPerComponent 8 >>", "\x10\x20");
    b.stream(11, "<< /Subtype /Image /Width 1 /Height 1 /ColorSpace /DeviceRGB /BitsPerComponent 8 >>", "abc");
    b.stream(12, "<< /Subtype /Image /Width 1 /Height 1 /Filter /Nonesuch >>", "x");
    test_doc td(b);
    ASSERT_TRUE(td.ok);
    for (int count_only : {0, 1}) {
        SCOPED_TRACE(count_only);
        img_vec all;
        memset(&all, 0, sizeof all);
        image_receiver to_all = img_vec_receiver(&all, count_only ? extract_no_png : 0);
        collect_all_images(&td.d, &to_all);
        img_vec one;
        memset(&one, 0, sizeof one);
        image_receiver to_one = img_vec_receiver(&one, count_only ? extract_no_png : 0);
        collect_page_images(&td.d, 1, &to_one);
        ASSERT_EQ(2, all.count);
        ASSERT_EQ(1, one.count);
        for (const img_vec *v : {&all, &one})
            for (int32_t i = 0; i < v->count; i++) {
                EXPECT_STREQ("png", v->items[i].format);
                EXPECT_EQ(count_only ? 0u : v->items[i].data_len, v->items[i].size);
                EXPECT_EQ(count_only != 0, v->items[i].data == nullptr);
            }
        img_vec_free(&all);
        img_vec_free(&one);
    }
}

// Every byte of a small PDF of several image kinds flipped, then every truncation: extraction of
// every object gives a defined result (the sanitizer build checks the memory).
#ifdef HAVE_ZLIB
TEST(ImageExtract, MutationSweep) {
    pdf_builder b = base_builder();
    b.stream(10, "<< /Subtype /Image /Width 3 /Height 2 /BitsPerComponent 4 /ColorSpace [/Indexed /DeviceRGB 2 (abcdefghi)] /SMask 11 0 R /Filter [/A85 /Fl] /DecodeParms [null << /Predictor 15 /Columns 2 >>] >>",
             a85_encode(zlib_compress(png_filter("\x01\x23\x45\x67", 2, 1, 4))));
    b.stream(11, "<< /Width 2 /Height 1 /BitsPerComponent 2 /Decode [1 0] >>", "\x5A");
    b.stream(12, "<< /Width 9 /Height 9 /Filter [/AHx /DCT] >>", hex_encode(fake_jpeg(9, 9)));
    b.stream(13, "<< /Width 4 /Height 2 /ImageMask true /Filter /LZW /DecodeParms << /Predictor 2 /Colors 1 /BitsPerComponent 1 /Columns 4 >> >>",
             lzw_encode9("\x50\xA0"));
    b.xref_table(trailer_opts{1});
    const std::string good = b.bytes();
    std::string path = pdf_temp_path("image_mut");
    auto run = [&](const std::string &bytes) {
        write_file(path, bytes);
        pdfcore_doc d{};
        if (pdfcore_load(path.c_str(), &d) == 1)
            for (int n = 10; n <= 13; n++) {
                extracted_image rec, counted;
                memset(&rec, 0, sizeof rec);
                memset(&counted, 0, sizeof counted);
                int32_t got = extract_single_image(&d, n, 1, &rec);
                // Without the PNG encoding (for a count) the same images convert, to the same size.
                EXPECT_EQ(got, extract_single_image(&d, n, 1, &counted, extract_no_png));
                if (got) {
                    EXPECT_EQ(rec.size, rec.data_len);
                    EXPECT_EQ(rec.width, counted.width);
                    EXPECT_EQ(rec.height, counted.height);
                    EXPECT_STREQ(rec.format, counted.format);
                    if (!strcmp(rec.format, "png")) EXPECT_EQ(nullptr, counted.data);
                    free(rec.data);
                    free(counted.data);
                }
            }
        pdfcore_doc_free(&d);
    };
    size_t start = good.find("10 0 obj");
    for (size_t i = start; i < good.find("xref"); i++) {
        std::string m = good;
        m[i] = (char)(m[i] ^ 0x5A);
        run(m);
    }
    for (size_t n = start; n < good.size(); n += 3) run(good.substr(0, n));
    remove(path.c_str());
}
#endif

// ---- producer fixtures --------------------------------------------------------------------------

static std::string fnv1a64(const uint8_t *d, size_t n) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (size_t i = 0; i < n; i++) h = (h ^ d[i]) * 0x100000001B3ull;
    char s[17];
    snprintf(s, sizeof s, "%016llx", (unsigned long long)h);
    return s;
}

// PDFs written by ReportLab, img2pdf, Cairo and Ghostscript (tests/fixtures/producers/
// make_fixtures.py), with the pixels poppler's pdfimages extracts from them as expected.txt.
TEST(ImageProducers, MatchAnIndependentDecoder) {
    std::string dir = std::string(TEST_SOURCE_DIR) + "/fixtures/producers/";
    FILE *f = fopen((dir + "expected.txt").c_str(), "r");
    ASSERT_NE(nullptr, f);
    char pdf[64], format[16], hash[32];
    int obj = 0, w = 0, h = 0, lines = 0;
    while (fscanf(f, "%63s %d %15s %d %d %31s", pdf, &obj, format, &w, &h, hash) == 6) {
        lines++;
        SCOPED_TRACE(std::string(pdf) + " object " + std::to_string(obj));
        pdfcore_doc d{};
        ASSERT_EQ(1, pdfcore_load((dir + pdf).c_str(), &d)) << pdfcore_last_error(&d);
        extracted_image rec;
        memset(&rec, 0, sizeof rec);
        int32_t got = extract_single_image(&d, obj, 1, &rec);
        pdfcore_doc_free(&d);
        if (!strcmp(format, "skip")) {
            EXPECT_EQ(0, got);
            continue;
        }
        ASSERT_EQ(1, got);
        EXPECT_STREQ(format, rec.format);
        EXPECT_EQ(w, rec.width);
        EXPECT_EQ(h, rec.height);
        if (!strcmp(format, "jpeg")) {
            EXPECT_EQ(hash, fnv1a64(rec.data, rec.data_len));
        } else {
            std::string p = pdf_temp_path("producer") + ".png";
            write_file(p, std::string((const char *)rec.data, rec.data_len));
            int pw = 0, ph = 0;
            const char *msg = nullptr;
            uint8_t *rgba = qv_png_decode(p.c_str(), &pw, &ph, &msg);
            ASSERT_NE(nullptr, rgba) << msg;
            std::string got_hash = fnv1a64(rgba, (size_t)pw * ph * 4);
            EXPECT_EQ(hash, got_hash);
            if (got_hash != hash) { // kept for a look: <binary dir>/<pdf>_<obj>.rgba
                write_file(std::string(TEST_BINARY_DIR) + "/" + pdf + "_" + std::to_string(obj) + ".rgba",
                           std::string((const char *)rgba, (size_t)pw * ph * 4));
            }
            free(rgba);
            remove(p.c_str());
        }
        free(rec.data);
    }
    fclose(f);
    EXPECT_GE(lines, 20);
}

// The mutation sweep over the producers' files: their image streams are real Flate, predictor,
// ASCII85, JPEG and CCITT data; the colour fixtures add Separation, DeviceN, Lab and functions.
TEST(ImageProducers, MutationSweep) {
    std::string dir = std::string(TEST_SOURCE_DIR) + "/fixtures/producers/";
    std::string path = pdf_temp_path("producer_mut");
    for (const char *name : {"reportlab.pdf", "img2pdf.pdf", "cairo.pdf", "gs.pdf", "gs_lzw.pdf", "gs_ccitt.pdf",
                             "../colour/pk_devicen_type4.pdf", "../colour/pk_sep_type0.pdf", "../colour/pk_indexed_lab.pdf"}) {
        SCOPED_TRACE(name);
        std::string good;
        FILE *f = fopen((dir + name).c_str(), "rb");
        ASSERT_NE(nullptr, f);
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) good.append(chunk, n);
        fclose(f);
        for (size_t i = 0; i < good.size(); i += 7) {
            std::string m = good;
            m[i] = (char)(m[i] ^ (i % 2 ? 0x01 : 0x80));
            write_file(path, m);
            pdfcore_doc d{};
            if (pdfcore_load(path.c_str(), &d) == 1)
                for (int k = 0; k < d.objs.count; k++) {
                    if (!d.objs.items[k].is_stream) continue;
                    extracted_image rec;
                    memset(&rec, 0, sizeof rec);
                    if (extract_single_image(&d, d.objs.items[k].num, 1, &rec)) free(rec.data);
                }
            pdfcore_doc_free(&d);
        }
    }
    remove(path.c_str());
}

// ---- CCITT fax and JBIG2 images -----------------------------------------------------------------

static std::string fixture_bytes(const std::string &rel) {
    bytes b = read_bytes(std::string(TEST_SOURCE_DIR) + "/fixtures/" + rel);
    return std::string(b.begin(), b.end());
}

static std::string from_hex_str(const std::string &h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out += (char)std::stoul(h.substr(i, 2), nullptr, 16);
    return out;
}

// A P4 bitmap (1 is black) as gray bytes: 0 black, 255 white.
struct gray_image {
    int w = 0, h = 0;
    std::vector<uint8_t> g;
    uint8_t at(int x, int y) const { return g[(size_t)y * w + x]; }
};
static gray_image pbm_gray(const std::string &pbm) {
    gray_image im;
    int consumed = 0;
    if (sscanf(pbm.c_str(), "P4 %d %d%n", &im.w, &im.h, &consumed) != 2) return im;
    const uint8_t *bits = (const uint8_t *)pbm.data() + consumed + 1;
    size_t row = ((size_t)im.w + 7) / 8;
    for (int y = 0; y < im.h; y++)
        for (int x = 0; x < im.w; x++)
            im.g.push_back(bits[y * row + x / 8] >> (7 - x % 8) & 1 ? 0 : 255);
    return im;
}

// The red channel of an extracted image, row by row.
static gray_image gray_of(const pixels &px) {
    gray_image im;
    im.w = px.w, im.h = px.h;
    for (size_t i = 0; i < px.rgba.size(); i += 4) im.g.push_back(px.rgba[i]);
    return im;
}

// Rows y0 <= y < y1 of got where both images have them: the first pixel that differs, or "".
static std::string differs(const gray_image &want, const gray_image &got, int w) {
    if (got.h != want.h) return "height " + std::to_string(got.h);
    for (int y = 0; y < want.h; y++)
        for (int x = 0; x < w; x++)
            if (want.at(x, y) != got.at(x, y))
                return "pixel " + std::to_string(x) + "," + std::to_string(y) + ": " +
                       std::to_string(got.at(x, y));
    return "";
}

#ifdef HAVE_ZLIB
TEST(ImageBilevel, CcittThroughTheFilterChain) {
    std::string g4 = fixture_bytes("ccitt/gs_g4_black0.bin");          // K -1, black is 0
    std::string g4_b1 = fixture_bytes("ccitt/gs_g4.bin");              // K -1, black is 1
    std::string g3_fill = fixture_bytes("ccitt/tiffcp_g3_1d_fill.bin"); // K 0, aligned EOLs
    std::string g3_2d = fixture_bytes("ccitt/gs_g3_2d.bin");           // K 2
    gray_image text = pbm_gray(fixture_bytes("ccitt/text.pbm"));
    ASSERT_EQ(203, text.w);
    ASSERT_EQ(61, text.h);
    gray_image inverted = text, wide = text;
    for (uint8_t &v : inverted.g) v = (uint8_t)(255 - v);
    wide.w = 210;
    wide.g.clear();
    for (int y = 0; y < text.h; y++)
        for (int x = 0; x < 210; x++) wide.g.push_back(x < 203 ? text.at(x, y) : 0);  // padded with 0
    const std::string img = "/Width 203 /Height 61 /BitsPerComponent 1 /ColorSpace /DeviceGray ";
    const std::string g4p = "<< /K -1 /Columns 203 >>";
    struct ccase {
        const char *name;
        std::string dict, data;
        const gray_image *want;  // null: no image
    } cases[] = {
        {"group 4, black is 0", img + "/Filter /CCITTFaxDecode /DecodeParms << /K -1 /Columns 203 /Rows 61 >>", g4, &text},
        {"rows from /Height", img + "/Filter /CCITTFaxDecode /DecodeParms " + g4p, g4, &text},
        {"BlackIs1 under Decode [1 0]", img + "/Filter /CCITTFaxDecode /DecodeParms << /K -1 /Columns 203 /BlackIs1 true >> /Decode [1 0]", g4_b1, &text},
        {"BlackIs1 alone", img + "/Filter /CCITTFaxDecode /DecodeParms << /K -1 /Columns 203 /BlackIs1 true >>", g4_b1, &inverted},
        {"group 3 with byte-aligned EOLs", img + "/Filter /CCITTFaxDecode /Decode [1 0] /DecodeParms << /Columns 203 /EncodedByteAlign true /EndOfLine true /BlackIs1 true >>", g3_fill, &text},
        {"group 3 two-dimensional", img + "/Filter /CCITTFaxDecode /Decode [1 0] /DecodeParms << /K 2 /Columns 203 /BlackIs1 true >>", g3_2d, &text},
        {"after ASCIIHex, parameters aligned", img + "/Filter [/AHx /CCF] /DecodeParms [null " + g4p + "]", hex_encode(g4), &text},
        {"after Flate, element by reference", img + "/Filter [/FlateDecode /CCITTFaxDecode] /DecodeParms [null 21 0 R]", zlib_compress(g4), &text},
        {"one dictionary for the chain", img + "/Filter [/FlateDecode /CCITTFaxDecode] /DecodeParms " + g4p, zlib_compress(g4), &text},
        {"parameters by reference", img + "/Filter /CCITTFaxDecode /DecodeParms 21 0 R", g4, &text},
        {"a Predictor elsewhere is not the rows'", img + "/Filter [/AHx /CCF] /DecodeParms [<< /Predictor 15 /Columns 5 >> " + g4p + "]", hex_encode(g4), &text},
        {"BitsPerComponent 8 read as 1", "/Width 203 /Height 61 /BitsPerComponent 8 /ColorSpace /DeviceGray /Filter /CCITTFaxDecode /DecodeParms " + g4p, g4, &text},
        {"Width past Columns", "/Width 210 /Height 61 /BitsPerComponent 1 /ColorSpace /DeviceGray /Filter /CCITTFaxDecode /DecodeParms " + g4p, g4, &wide},
        {"no row decodes", img + "/Filter /CCITTFaxDecode /DecodeParms " + g4p, std::string(64, '\0'), nullptr},
        {"Columns 0", img + "/Filter /CCITTFaxDecode /DecodeParms << /K -1 /Columns 0 >>", g4, nullptr},
    };
    for (const ccase &c : cases) {
        SCOPED_TRACE(c.name);
        pixels px = image_of(c.dict, c.data, [](pdf_builder &b) { b.obj(21, "<< /K -1 /Columns 203 >>"); });
        ASSERT_EQ(c.want != nullptr, px.ok);
        if (c.want) EXPECT_EQ("", differs(*c.want, gray_of(px), c.want->w));
    }
}

TEST(ImageBilevel, CcittMasksPalettesAndDamage) {
    std::string g4 = fixture_bytes("ccitt/gs_g4_black0.bin");
    gray_image text = pbm_gray(fixture_bytes("ccitt/text.pbm"));
    const std::string filt = "/Width 203 /Height 61 /Filter /CCITTFaxDecode /DecodeParms << /K -1 /Columns 203 >> ";
    // A stencil mask paints (opaque white) where its sample is 0: the black of the page.
    pixels m = image_of(filt + "/ImageMask true", g4);
    ASSERT_TRUE(m.ok);
    for (int i : {0, 5 * 203 + 17, 30 * 203 + 100, 203 * 61 - 1}) {
        SCOPED_TRACE(i);
        uint8_t v = text.g[(size_t)i] == 0 ? 255 : 0;
        EXPECT_EQ(rgba_of({v, v, v, v}), m.px(i));
    }
    // One-bit indexes into a palette: black is entry 0.
    pixels ix = image_of(filt + "/BitsPerComponent 1 /ColorSpace [/Indexed /DeviceRGB 1 <FF0000 0000FF>]", g4);
    ASSERT_TRUE(ix.ok);
    for (int i : {0, 5 * 203 + 17, 30 * 203 + 100}) {
        SCOPED_TRACE(i);
        EXPECT_EQ(text.g[(size_t)i] == 0 ? rgba_of({255, 0, 0, 255}) : rgba_of({0, 0, 255, 255}), ix.px(i));
    }
    // Data cut short: the rows decoded are kept, the rest padded as short data (0: black).
    pixels cut = image_of(filt + "/BitsPerComponent 1 /ColorSpace /DeviceGray", g4.substr(0, g4.size() / 2));
    ASSERT_TRUE(cut.ok);
    gray_image got = gray_of(cut);
    int kept = 0;
    while (kept < 61 && differs(gray_image{203, 1, std::vector<uint8_t>(text.g.begin() + kept * 203, text.g.begin() + (kept + 1) * 203)},
                                gray_image{203, 1, std::vector<uint8_t>(got.g.begin() + kept * 203, got.g.begin() + (kept + 1) * 203)}, 203).empty())
        kept++;
    EXPECT_GT(kept, 5);
    EXPECT_LT(kept, 61);
    for (int x = 0; x < 203; x++) EXPECT_EQ(0, got.at(x, 60)) << x;
}

TEST(ImageBilevel, Jbig2WithGlobals) {
    // The JBIG2 example of the PDF reference: a symbol dictionary in the globals, a text region
    // in the page stream; expected page from jbig2dec (tests/fixtures/jbig2/make_expected.sh).
    const std::string globals = from_hex_str("0000000000010000000032000003fffdff02fefefe00000001000000012ae225aea9a5a538b4d9999c5c8e56ef0f8727f2b53d4e37ef795cc5506dffac");
    const std::string page = from_hex_str("00000001300001000000130000003400000042000000000000000040000000000002062000010000001e000000340000004200000000000000000200100000000231db51ce51ffac");
    gray_image want = pbm_gray(fixture_bytes("jbig2/pdf_example.pbm"));
    ASSERT_EQ(52, want.w);
    ASSERT_EQ(66, want.h);
    gray_image taller = want, narrow;
    for (int x = 0; x < 52; x++)
        for (int y = 0; y < 4; y++) taller.g.push_back(255);  // padded with white, the page's own
    taller.h = 70;
    narrow.w = 40, narrow.h = 66;
    for (int y = 0; y < 66; y++)
        for (int x = 0; x < 40; x++) narrow.g.push_back(want.at(x, y));
    gray_image inverted = want;
    for (uint8_t &v : inverted.g) v = (uint8_t)(255 - v);
    const std::string gray1 = "/BitsPerComponent 1 /ColorSpace /DeviceGray /Filter /JBIG2Decode ";
    struct jcase {
        const char *name;
        std::string dict;
        const gray_image *want;
    } cases[] = {
        {"globals by reference", "/Width 52 /Height 66 " + gray1 + "/DecodeParms << /JBIG2Globals 20 0 R >>", &want},
        {"globals through Flate", "/Width 52 /Height 66 " + gray1 + "/DecodeParms << /JBIG2Globals 22 0 R >>", &want},
        {"parameters in an array", "/Width 52 /Height 66 " + gray1 + "/DecodeParms [<< /JBIG2Globals 20 0 R >>]", &want},
        {"Decode [1 0]", "/Width 52 /Height 66 /Decode [1 0] " + gray1 + "/DecodeParms << /JBIG2Globals 20 0 R >>", &inverted},
        {"Height past the page", "/Width 52 /Height 70 " + gray1 + "/DecodeParms << /JBIG2Globals 20 0 R >>", &taller},
        {"Width short of the page", "/Width 40 /Height 66 " + gray1 + "/DecodeParms << /JBIG2Globals 20 0 R >>", &narrow},
        {"globals not a stream", "/Width 52 /Height 66 " + gray1 + "/DecodeParms << /JBIG2Globals << /A 1 >> >>", nullptr},
    };
    for (const jcase &c : cases) {
        SCOPED_TRACE(c.name);
        pixels px = image_of(c.dict, page, [&](pdf_builder &b) {
            b.stream(20, "<< >>", globals);
            b.stream(22, "<< /Filter /FlateDecode >>", zlib_compress(globals));
        });
        ASSERT_TRUE(px.ok);
        if (c.want) EXPECT_EQ("", differs(*c.want, gray_of(px), c.want->w));
        else EXPECT_NE("", differs(want, gray_of(px), want.w));  // symbols missing: not the page
    }
    EXPECT_FALSE(image_of("/Width 52 /Height 66 " + gray1, "garbage").ok);
}

// A generic region coded by the test-side encoder: the page is the bitmap it was given.
TEST(ImageBilevel, Jbig2GenericRegion) {
    jb2w::image im(37, 23);
    for (int y = 0; y < 23; y++)
        for (int x = 0; x < 37; x++) im.set(x, y, (x * x + 3 * y) % 7 < 3 || y == 11);
    jb2w::bytes data = jb2w::segment(1, 48, 1, {}, jb2w::page_info(37, 23));
    jb2w::bytes region = jb2w::segment(2, 38, 1, {}, jb2w::generic_region(im, 0, 0, 0, jb2w::usual(0, true)));
    data.insert(data.end(), region.begin(), region.end());
    pixels px = image_of("/Width 37 /Height 23 /BitsPerComponent 1 /ColorSpace /DeviceGray /Filter /JBIG2Decode",
                         std::string(data.begin(), data.end()));
    ASSERT_TRUE(px.ok);
    gray_image want;
    want.w = 37, want.h = 23;
    for (uint8_t v : im.px) want.g.push_back(v ? 0 : 255);
    EXPECT_EQ("", differs(want, gray_of(px), 37));
}
#endif

// ---- Separation, DeviceN and Lab ----------------------------------------------------------------

// A P5 or P6 file as RGB triples.
static std::vector<uint8_t> pnm_rgb(const std::string &f, int *w, int *h) {
    int type = 0, maxval = 0, consumed = 0;
    std::vector<uint8_t> out;
    if (sscanf(f.c_str(), "P%d %d %d %d%n", &type, w, h, &maxval, &consumed) != 4) return out;
    const uint8_t *p = (const uint8_t *)f.data() + consumed + 1;
    for (int i = 0; i < *w * *h; i++)
        for (int k = 0; k < 3; k++) out.push_back(type == 5 ? p[i] : p[3 * i + k]);
    return out;
}

// The fixtures of tests/fixtures/colour (Ghostscript and pikepdf files) against the pixels
// make_colour.py computed from their function definitions, within 1: the generator's arithmetic
// (its own Lab matrices, Python's float order in the calculator) rounds on a path of its own.
TEST(ImageColourSpaces, Fixtures) {
    const char *names[] = {"gs_devicen", "gs_separation", "gs_separation_gray", "pk_devicen_type0",
                           "pk_devicen_type4", "pk_indexed_lab", "pk_indexed_sep", "pk_lab_d50",
                           "pk_lab_d65_range", "pk_sep_4bit_decode", "pk_sep_all", "pk_sep_none",
                           "pk_sep_type0", "pk_sep_type2", "pk_sep_type3", "pk_sep_type4"};
    size_t exact = 0, total = 0;
    for (const char *name : names) {
        SCOPED_TRACE(name);
        std::string dir = std::string(TEST_SOURCE_DIR) + "/fixtures/colour/" + name;
        std::string pnm = fixture_bytes(std::string("colour/") + name + ".ppm");
        if (pnm.empty()) pnm = fixture_bytes(std::string("colour/") + name + ".pgm");
        pdfcore_doc d{};
        ASSERT_EQ(1, pdfcore_load((dir + ".pdf").c_str(), &d));
        img_vec list{};
        image_receiver to = img_vec_receiver(&list);
        collect_all_images(&d, &to);
        pdfcore_doc_free(&d);
        if (pnm.empty()) {  // the colorant None never marks the page
            EXPECT_EQ(0, list.count);
            img_vec_free(&list);
            continue;
        }
        ASSERT_EQ(1, list.count);
        int w = 0, h = 0;
        std::vector<uint8_t> want = pnm_rgb(pnm, &w, &h);
        std::string p = pdf_temp_path("colour") + ".png";
        write_file(p, std::string((const char *)list.items[0].data, list.items[0].data_len));
        img_vec_free(&list);
        int pw = 0, ph = 0;
        const char *msg = nullptr;
        uint8_t *rgba = qv_png_decode(p.c_str(), &pw, &ph, &msg);
        remove(p.c_str());
        ASSERT_NE(nullptr, rgba) << msg;
        ASSERT_EQ(w, pw);
        ASSERT_EQ(h, ph);
        for (int i = 0; i < w * h; i++)
            for (int k = 0; k < 3; k++) {
                int diff = abs((int)rgba[4 * i + k] - (int)want[3 * i + k]);
                EXPECT_LE(diff, 1) << "pixel " << i << " channel " << k;
                exact += diff == 0;
                total++;
            }
        free(rgba);
    }
    EXPECT_GE(exact * 100, total * 98) << exact << " of " << total << " samples exact";  // 1425 of 1440
}

#ifdef HAVE_ZLIB
// Objects the colour cases name: functions 20..29, a soft mask 30.
static void colour_objects(pdf_builder &b) {
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
static int byte_of(double v) { return (int)std::floor(v * 255 + 0.5); }

TEST(ImageColourSpaces, TintTransformsAndLab) {
    const double t = 32768.0 / 65535.0;
    struct tcase {
        const char *name;
        std::string dict, data;
        std::vector<std::vector<int>> want;  // RGBA of the first pixels
    } cases[] = {
        {"separation into RGB, 16-bit", "/Width 3 /Height 1 /BitsPerComponent 16 /ColorSpace [/Separation /Spot /DeviceRGB 20 0 R]",
         BYTES("\x00\x00\xFF\xFF\x80\x00"),
         {{255, 255, 255, 255}, {0, 128, 64, 255}, {byte_of(1 - t), byte_of(1 - 0.5 * t), byte_of(1 - 0.75 * t), 255}}},
        {"devicen, 4-bit, Decode", "/Width 3 /Height 1 /BitsPerComponent 4 /Decode [1 0 0 1] /ColorSpace [/DeviceN [/A /B] /DeviceGray 21 0 R]",
         BYTES("\x0F\xF0\x88"), {{0, 0, 0, 255}, {255, 255, 255, 255}, {128, 128, 128, 255}}},
        {"devicen attributes by reference", "/Width 1 /Height 1 /BitsPerComponent 4 /ColorSpace [/DeviceN [/A /B] /DeviceGray 21 0 R 28 0 R]",
         BYTES("\xFF"), {{0, 0, 0, 255}}},
        {"Lab alternate", "/Width 2 /Height 1 /ColorSpace [/Separation /Spot [/Lab << /WhitePoint [0.9505 1 1.089] >>] 22 0 R]",
         BYTES("\x00\xFF"), {{255, 255, 255, 255}, {0, 0, 0, 255}}},
        {"CMYK alternate", "/Width 2 /Height 1 /ColorSpace [/Separation /Magenta /DeviceCMYK 23 0 R]", BYTES("\x00\xFF"),
         {{255, 255, 255, 255}, {255, 0, 255, 255}}},
        {"ICC-based alternate", "/Width 1 /Height 1 /ColorSpace [/Separation /Spot [/ICCBased 27 0 R] 20 0 R]", BYTES("\xFF"),
         {{0, 128, 64, 255}}},
        {"the colorant All", "/Width 2 /Height 1 /ColorSpace [/Separation /All /DeviceCMYK 23 0 R]", BYTES("\x00\x40"),
         {{255, 255, 255, 255}, {191, 191, 191, 255}}},
        {"samples missing are 0", "/Width 3 /Height 1 /ColorSpace [/Separation /Spot /DeviceRGB 20 0 R]", BYTES("\xFF"),
         {{0, 128, 64, 255}, {255, 255, 255, 255}, {255, 255, 255, 255}}},
        {"soft mask", "/Width 3 /Height 1 /SMask 30 0 R /ColorSpace [/Separation /Spot /DeviceRGB 20 0 R]", BYTES("\x00\x00\xFF"),
         {{255, 255, 255, 0x10}, {255, 255, 255, 0x80}, {0, 128, 64, 0xF0}}},
        {"sampled function in a Flate stream", "/Width 1 /Height 1 /ColorSpace [/Separation /Spot /DeviceRGB 24 0 R]", BYTES("\x33"),
         {{64, 64, 64, 255}}},
        {"stitching", "/Width 2 /Height 1 /ColorSpace [/Separation /Spot /DeviceRGB 25 0 R]", BYTES("\x40\xFF"),
         {{byte_of(0x40 / 255.0 * 2), byte_of(0x40 / 255.0 * 2), byte_of(0x40 / 255.0 * 2), 255}, {255, 0, 0, 255}}},
        {"Lab", "/Width 2 /Height 1 /ColorSpace [/Lab << /WhitePoint [0.9505 1 1.089] /Range [-128 127 -128 127] >>]",
         BYTES("\xFF\x80\x80\x00\x80\x80"), {{255, 255, 255, 255}, {0, 0, 0, 255}}},
        {"Indexed over a Separation", "/Width 2 /Height 1 /ColorSpace [/Indexed [/Separation /Spot /DeviceRGB 20 0 R] 1 <00FF>]",
         BYTES("\x01\x00"), {{0, 128, 64, 255}, {255, 255, 255, 255}}},
    };
    for (const tcase &c : cases) {
        SCOPED_TRACE(c.name);
        pixels px = image_of(c.dict, c.data, [](pdf_builder &b) {
            colour_objects(b);
            b.obj(28, "<< /Subtype /NChannel /Colorants << /A [/Separation /A /DeviceGray 20 0 R] >> >>");
        });
        ASSERT_TRUE(px.ok);
        for (size_t i = 0; i < c.want.size(); i++)
            EXPECT_EQ(rgba_of({c.want[i][0], c.want[i][1], c.want[i][2], c.want[i][3]}), px.px((int)i)) << i;
    }
}

// Spaces that never mark the page or cannot be converted: the image is skipped, nothing crashes.
TEST(ImageColourSpaces, SkippedSpaces) {
    std::string hundred_ones;
    for (int i = 0; i < 101; i++) hundred_ones += "1 ";
    struct scase {
        const char *name, *cs;
    } cases[] = {
        {"the colorant None", "[/Separation /None /DeviceRGB 20 0 R]"},
        {"DeviceN of None only", "[/DeviceN [/None /None] /DeviceGray 21 0 R]"},
        {"function missing", "[/Separation /Spot /DeviceRGB 99 0 R]"},
        {"no function", "[/Separation /Spot /DeviceRGB]"},
        {"unknown function type", "[/Separation /Spot /DeviceRGB << /FunctionType 1 /Domain [0 1] >>]"},
        {"absurd sample count", "[/Separation /Spot /DeviceRGB 40 0 R]"},
        {"one output for RGB", "[/Separation /Spot /DeviceRGB << /FunctionType 2 /Domain [0 1] /C0 [0] /C1 [1] /N 1 >>]"},
        {"two inputs for one colorant", "[/Separation /Spot /DeviceGray 21 0 R]"},
        {"alternate no device space", "[/Separation /Spot /Pattern 20 0 R]"},
        {"alternate is DeviceN", "[/Separation /Spot [/DeviceN [/A] /DeviceGray 20 0 R] 20 0 R]"},
        {"33 colorants", "[/DeviceN [/a /b /c /d /e /f /g /h /i /j /k /l /m /n /o /p /q /r /s /t /u /v /w /x /y /z /A /B /C /D /E /F /G] /DeviceGray 21 0 R]"},
        {"Lab without WhitePoint", "[/Lab << /Range [-100 100 -100 100] >>]"},
        {"Lab without dictionary", "[/Lab]"},
        {"stitching that names itself", "[/Separation /Spot /DeviceRGB 41 0 R]"},
        {"division by zero", "[/Separation /Spot /DeviceGray 42 0 R]"},
        {"operand stack overflow", "[/Separation /Spot /DeviceGray 43 0 R]"},
        {"Indexed over None", "[/Indexed [/Separation /None /DeviceGray 20 0 R] 1 <00FF>]"},
        {"Indexed over a broken function", "[/Indexed [/Separation /Spot /DeviceRGB 99 0 R] 1 <00FF>]"},
    };
    for (const scase &c : cases) {
        SCOPED_TRACE(c.name);
        pixels px = image_of(std::string("/Width 2 /Height 1 /BitsPerComponent 8 /ColorSpace ") + c.cs,
                             BYTES("\x01\x00\x40\x50\x60\x70"), [&](pdf_builder &b) {
                                 colour_objects(b);
                                 b.stream(40, "<< /FunctionType 0 /Domain [0 1] /Range [0 1 0 1 0 1] /Size [100000000] /BitsPerSample 8 >>", "x");
                                 b.obj(41, "<< /FunctionType 3 /Domain [0 1] /Bounds [] /Encode [0 1] /Functions [41 0 R] >>");
                                 b.stream(42, "<< /FunctionType 4 /Domain [0 1] /Range [0 1] >>", "{ 0 div }");
                                 b.stream(43, "<< /FunctionType 4 /Domain [0 1] /Range [0 1] >>", "{ " + hundred_ones + "}");
                             });
        EXPECT_FALSE(px.ok);
    }
    // The same images in a device space convert: what is refused above is the space.
    EXPECT_TRUE(image_of("/Width 2 /Height 1 /BitsPerComponent 8 /ColorSpace /DeviceGray", "\x01\x00").ok);
}
#endif

// ---- JPEG 2000 images ---------------------------------------------------------------------------

static bool have_tool(const char *name) {
    return system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// opj_compress (lossless) of source file bytes src (its name's extension tells opj_compress the
// format): the .jp2 or .j2k bytes, empty when it fails.
static std::string opj_compress(const std::string &src_ext, const std::string &src, const std::string &ext,
                                const std::string &opts = "-n 2") {
    std::string in = pdf_temp_path("jpx_src") + "." + src_ext, out = pdf_temp_path("jpx_out") + "." + ext;
    write_file(in, src);
    std::string cmd = "opj_compress -i " + in + " -o " + out + " " + opts + " >/dev/null 2>&1";
    bytes b = system(cmd.c_str()) == 0 ? read_bytes(out) : bytes();
    remove(in.c_str());
    remove(out.c_str());
    return std::string(b.begin(), b.end());
}

#ifdef HAVE_ZLIB
TEST(ImageJpx, ChannelsSpacesAndAlpha) {
    if (!have_tool("opj_compress")) GTEST_SKIP() << "needs opj_compress (libopenjp2-tools)";
    const int W = 7, H = 5, N = W * H;
    // Source pixels: RGBA, and a gray plane of their red channel.
    std::vector<uint8_t> rgba;
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            for (int v : {x * 36, y * 60, (x * y * 23) % 256, 40 + x * 30 + y * 5}) rgba.push_back((uint8_t)v);
    std::string ppm = "P6\n7 5\n255\n", pgm = "P5\n7 5\n255\n", pgm16 = "P5\n7 5\n65535\n", idx = "P5\n7 5\n255\n";
    for (int i = 0; i < N; i++) {
        ppm.append((const char *)&rgba[4 * i], 3);
        pgm += (char)rgba[4 * i];
        pgm16 += (char)rgba[4 * i + 1], pgm16 += (char)rgba[4 * i];
        idx += (char)(i % 4);
    }
    uint64_t png_len = 0;
    uint8_t *png = qv_png_encode(W, H, rgba.data(), &png_len);
    ASSERT_NE(nullptr, png);
    std::string rgba_png((const char *)png, png_len);
    free(png);
    std::string rgb_jp2 = opj_compress("ppm", ppm, "jp2"), rgb_j2k = opj_compress("ppm", ppm, "j2k");
    std::string gray_jp2 = opj_compress("pgm", pgm, "jp2"), gray16_jp2 = opj_compress("pgm", pgm16, "jp2");
    std::string rgba_jp2 = opj_compress("png", rgba_png, "jp2"), rgba_j2k = opj_compress("png", rgba_png, "j2k");
    std::string idx_jp2 = opj_compress("pgm", idx, "jp2");
    for (const std::string *s : {&rgb_jp2, &rgb_j2k, &gray_jp2, &gray16_jp2, &rgba_jp2, &rgba_j2k, &idx_jp2})
        ASSERT_FALSE(s->empty());

    auto rgb = [&](int i) { return rgba_of({rgba[4 * i], rgba[4 * i + 1], rgba[4 * i + 2], 255}); };
    auto with_alpha = [&](int i) { return rgba_of({rgba[4 * i], rgba[4 * i + 1], rgba[4 * i + 2], rgba[4 * i + 3]}); };
    auto red = [&](int i) { return rgba_of({rgba[4 * i], rgba[4 * i], rgba[4 * i], 255}); };
    auto green16 = [&](int i) { return rgba_of({rgba[4 * i + 1], rgba[4 * i + 1], rgba[4 * i + 1], 255}); };
    auto tint = [&](int i) {
        double t = rgba[4 * i] / 255.0;
        return rgba_of({byte_of(1 - t), byte_of(1 - 0.5 * t), byte_of(1 - 0.75 * t), 255});
    };
    auto mask = [&](int i) { return rgba_of({rgba[4 * i], rgba[4 * i + 1], rgba[4 * i + 2], (i * 7) % 256}); };
    auto palette = [&](int i) {
        static const int pal[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {9, 9, 9}};
        return rgba_of({pal[i % 4][0], pal[i % 4][1], pal[i % 4][2], 255});
    };
    std::string mask_data;
    for (int i = 0; i < N; i++) mask_data += (char)((i * 7) % 256);
    const std::string size = "/Width 7 /Height 5 ";
    struct jcase {
        const char *name;
        std::string dict, data;
        std::function<std::vector<uint8_t>(int)> want;  // null: no image
    } cases[] = {
        {"rgb, the file's space", size + "/Filter /JPXDecode", rgb_jp2, rgb},
        {"a codestream without a space", size + "/Filter /JPXDecode", rgb_j2k, rgb},
        {"gray", size + "/ColorSpace /DeviceGray /Filter /JPXDecode", gray_jp2, red},
        {"the dictionary's space wins", size + "/ColorSpace /DeviceGray /Filter /JPXDecode", rgb_jp2, red},
        {"Decode ignored", size + "/ColorSpace /DeviceGray /Decode [1 0] /Filter /JPXDecode", gray_jp2, red},
        {"16-bit samples", size + "/Filter /JPXDecode", gray16_jp2, green16},
        {"cdef alpha", size + "/Filter /JPXDecode", rgba_jp2, with_alpha},
        {"SMaskInData on a codestream", size + "/ColorSpace /DeviceRGB /SMaskInData 1 /Filter /JPXDecode", rgba_j2k, with_alpha},
        {"a fourth channel without SMaskInData", size + "/ColorSpace /DeviceRGB /Filter /JPXDecode", rgba_j2k, rgb},
        {"SMask over the data's alpha", size + "/SMask 30 0 R /Filter /JPXDecode", rgba_jp2, mask},
        {"Separation", size + "/ColorSpace [/Separation /Spot /DeviceRGB 20 0 R] /Filter /JPXDecode", gray_jp2, tint},
        {"Indexed takes values as indexes", size + "/ColorSpace [/Indexed /DeviceRGB 3 <FF0000 00FF00 0000FF 090909>] /Filter /JPXDecode", idx_jp2, palette},
        {"after Flate", size + "/Filter [/FlateDecode /JPXDecode]", zlib_compress(rgb_jp2), rgb},
        {"the data's size, not the dictionary's", "/Width 99 /Height 3 /Filter /JPXDecode", rgb_jp2, rgb},
        {"more channels than the data has", size + "/ColorSpace /DeviceCMYK /Filter /JPXDecode", rgb_jp2, nullptr},
        {"not JPEG 2000", size + "/Filter /JPXDecode", "garbage", nullptr},
        {"not last in the chain", size + "/Filter [/JPXDecode /FlateDecode]", zlib_compress(rgb_jp2), nullptr},
        {"a stencil mask", size + "/ImageMask true /Filter /JPXDecode", gray_jp2, nullptr},
    };
    for (const jcase &c : cases) {
        SCOPED_TRACE(c.name);
        pixels px = image_of(c.dict, c.data, [&](pdf_builder &b) {
            colour_objects(b);
            b.stream(30, "<< /Type /XObject /Subtype /Image /Width 7 /Height 5 /BitsPerComponent 8 /ColorSpace /DeviceGray >>",
                     mask_data);
        });
        ASSERT_EQ(c.want != nullptr, px.ok);
        if (!c.want) continue;
        ASSERT_EQ(W, px.w);
        ASSERT_EQ(H, px.h);
        for (int i = 0; i < N; i++) ASSERT_EQ(c.want(i), px.px(i)) << i;
    }
    // A codestream cut short decodes what is there: an image of the full size.
    pixels cut = image_of(size + "/Filter /JPXDecode", rgb_j2k.substr(0, rgb_j2k.size() * 2 / 3));
    ASSERT_TRUE(cut.ok);
    EXPECT_EQ(W, cut.w);
}
#endif
