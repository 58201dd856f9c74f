// Tests of the PNG encoder and decoder: layout and CRCs of what the encoder writes, encode/decode
// round trips, PNGs written by other encoders (PIL fixtures, hand-built files with a test-side
// writer), every refusal text of the decoder, and a mutation sweep.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#ifdef HAVE_ZLIB
#include <zlib.h>
#endif

#include "codec/flate.h"
#include "codec/inflate.h"
#include "png/png.h"

#if defined(__SANITIZE_ADDRESS__)
#define PNG_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PNG_TEST_ASAN 1
#endif
#endif

namespace {

using bytes = std::vector<uint8_t>;

// ---- test-side reference code, written from the PNG and zlib standards --------------------------

uint32_t ref_crc32(const uint8_t *p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return c ^ 0xFFFFFFFFu;
}

uint32_t ref_adler32(const bytes &d) {
    uint32_t a = 1, b = 0;
    for (uint8_t x : d) {
        a = (a + x) % 65521u;
        b = (b + a) % 65521u;
    }
    return (b << 16) | a;
}

void put32(bytes &out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back((uint8_t)(v >> s));
}

uint32_t get32(const uint8_t *p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

const uint8_t signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// One chunk with a correct CRC.
bytes chunk(const char *type, const bytes &data) {
    bytes c;
    put32(c, (uint32_t)data.size());
    c.insert(c.end(), type, type + 4);
    c.insert(c.end(), data.begin(), data.end());
    put32(c, ref_crc32(c.data() + 4, c.size() - 4));
    return c;
}

bytes ihdr_data(uint32_t w, uint32_t h, uint8_t depth, uint8_t ctype, uint8_t interlace = 0) {
    bytes d;
    put32(d, w);
    put32(d, h);
    d.push_back(depth);
    d.push_back(ctype);
    d.push_back(0);
    d.push_back(0);
    d.push_back(interlace);
    return d;
}

// zlib stream of stored blocks (no compression), independent of every deflate encoder.
bytes zlib_stored(const bytes &raw) {
    bytes z = {0x78, 0x01};
    size_t pos = 0;
    do {
        size_t n = std::min<size_t>(raw.size() - pos, 65535);
        bool last = pos + n == raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back((uint8_t)n);
        z.push_back((uint8_t)(n >> 8));
        z.push_back((uint8_t)~n);
        z.push_back((uint8_t)(~n >> 8));
        z.insert(z.end(), raw.begin() + (long)pos, raw.begin() + (long)(pos + n));
        pos += n;
    } while (pos < raw.size());
    put32(z, ref_adler32(raw));
    return z;
}

// A compressed zlib stream from system zlib where present, else stored blocks.
bytes zlib_of(const bytes &raw) {
#ifdef HAVE_ZLIB
    uLongf n = compressBound((uLong)raw.size());
    bytes z(n);
    if (compress2(z.data(), &n, raw.data(), (uLong)raw.size(), 9) != Z_OK) return {};
    z.resize(n);
    return z;
#else
    return zlib_stored(raw);
#endif
}

uint8_t ref_paeth(int a, int b, int c) {
    int p = a + b - c, pa = abs(p - a), pb = abs(p - b), pc = abs(p - c);
    if (pa <= pb && pa <= pc) return (uint8_t)a;
    return (uint8_t)(pb <= pc ? b : c);
}

// Filters unfiltered rows (row_bytes each) with the given filter type per row (cycled), the way an
// encoder does: predictors come from the original bytes. Filter types above 4 copy the row.
bytes filter_rows(const bytes &img, size_t row_bytes, size_t dist, const std::vector<int> &types) {
    bytes out;
    size_t rows = img.size() / row_bytes;
    for (size_t y = 0; y < rows; y++) {
        int ft = types[y % types.size()];
        out.push_back((uint8_t)ft);
        const uint8_t *cur = &img[y * row_bytes];
        const uint8_t *up = y ? cur - row_bytes : nullptr;
        for (size_t i = 0; i < row_bytes; i++) {
            int a = i >= dist ? cur[i - dist] : 0, b = up ? up[i] : 0;
            int c = up && i >= dist ? up[i - dist] : 0;
            int pred = ft == 1 ? a : ft == 2 ? b : ft == 3 ? (a + b) / 2 : ft == 4 ? ref_paeth(a, b, c) : 0;
            out.push_back((uint8_t)(cur[i] - pred));
        }
    }
    return out;
}

// A PNG: signature, IHDR, optional extra chunks before IDAT, one IDAT of zlib data, IEND.
bytes make_png(const bytes &ihdr, const bytes &zdata, const std::vector<bytes> &before_idat = {}) {
    bytes f(signature, signature + 8);
    bytes c = chunk("IHDR", ihdr);
    f.insert(f.end(), c.begin(), c.end());
    for (const bytes &b : before_idat) f.insert(f.end(), b.begin(), b.end());
    c = chunk("IDAT", zdata);
    f.insert(f.end(), c.begin(), c.end());
    c = chunk("IEND", {});
    f.insert(f.end(), c.begin(), c.end());
    return f;
}

// ---- files ----------------------------------------------------------------------------------------

std::string temp_path(const std::string &name) {
    return ::testing::TempDir() + "png_test_" + std::to_string(getpid()) + "_" + name;
}

void write_file(const std::string &path, const bytes &d) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!d.empty()) ASSERT_EQ(fwrite(d.data(), 1, d.size(), f), d.size());
    fclose(f);
}

bytes read_file(const std::string &path) {
    bytes d;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return d;
    int ch;
    while ((ch = fgetc(f)) != EOF) d.push_back((uint8_t)ch);
    fclose(f);
    return d;
}

struct decoded {
    bool ok = false;
    int w = -1, h = -1;
    std::string msg;
    const char *msg_ptr = nullptr;
    bytes rgba;
};

decoded decode_file(const std::string &path) {
    decoded r;
    const char *m = nullptr;
    uint8_t *px = qv_png_decode(path.c_str(), &r.w, &r.h, &m);
    r.msg_ptr = m;
    r.msg = m ? m : "(null)";
    if (px) {
        r.ok = true;
        r.rgba.assign(px, px + (size_t)r.w * (size_t)r.h * 4u);
        free(px);
    }
    return r;
}

decoded decode_bytes(const bytes &file) {
    std::string path = temp_path("in.png");
    write_file(path, file);
    decoded r = decode_file(path);
    remove(path.c_str());
    return r;
}

// ---- what the encoder wrote -------------------------------------------------------------------------

struct png_chunk_view {
    std::string type;
    bytes data;
    uint32_t crc;
    size_t offset;
};

// Splits an encoder result into chunks; fails the test when the layout does not add up.
std::vector<png_chunk_view> split_chunks(const bytes &png) {
    std::vector<png_chunk_view> out;
    EXPECT_GE(png.size(), 8u);
    if (png.size() < 8) return out;
    EXPECT_EQ(0, memcmp(png.data(), signature, 8));
    size_t pos = 8;
    while (pos + 12 <= png.size()) {
        uint32_t n = get32(&png[pos]);
        if (pos + 12 + n > png.size()) break;
        png_chunk_view c;
        c.type.assign((const char *)&png[pos + 4], 4);
        c.data.assign(png.begin() + (long)pos + 8, png.begin() + (long)(pos + 8 + n));
        c.crc = get32(&png[pos + 8 + n]);
        c.offset = pos;
        out.push_back(c);
        pos += 12 + n;
    }
    EXPECT_EQ(pos, png.size()) << "bytes left after the last chunk";
    return out;
}

// The filtered rows inside an encoder result, inflated by system zlib where present, else by ours.
bytes idat_raw(const png_chunk_view &idat, size_t expect_len) {
    bytes raw(expect_len + 16);
#ifdef HAVE_ZLIB
    uLongf n = (uLongf)raw.size();
    EXPECT_EQ(Z_OK, uncompress(raw.data(), &n, idat.data.data(), (uLong)idat.data.size()));
    raw.resize(n);
#else
    EXPECT_GE(idat.data.size(), 6u);
    int32_t n = qv_inflate(idat.data.data() + 2, idat.data.size() - 6, raw.data(), raw.size());
    EXPECT_GE(n, 0);
    raw.resize(n < 0 ? 0 : (size_t)n);
#endif
    return raw;
}

bytes encode(int w, int h, const bytes &px, bool gray_input) {
    uint64_t size = 0;
    uint8_t *p = gray_input ? qv_png_encode_gray(w, h, px.data(), &size)
                            : qv_png_encode(w, h, px.data(), &size);
    if (!p) return {};
    bytes out(p, p + size);
    free(p);
    return out;
}

const uint8_t iend_bytes[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};

// ======================================================================================================
// Encoder

TEST(PngEncode, GrayIhdrBytesAndCrc) {
    bytes png = encode(1, 1, {0x7F}, true);
    ASSERT_GE(png.size(), 57u);
    const uint8_t want[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0x0D, 'I', 'H',
                            'D', 'R', 0, 0, 0, 1, 0, 0, 0, 1, 8, 0, 0, 0, 0, 0x3A, 0x7E, 0x9B, 0x55};
    EXPECT_EQ(0, memcmp(png.data(), want, sizeof want));
}

// Layout shared by every output: IDAT at 33, its length L, IEND as the last 12 bytes, CRCs right.
TEST(PngEncode, LayoutAndCrcs) {
    std::mt19937 rng(7);
    struct layout_case { const char *name; int w, h; bool gray_input; bool noise; };
    const layout_case cases[] = {
        {"1x1 gray", 1, 1, true, false},   {"1x1 rgba", 1, 1, false, true},
        {"odd rgba", 17, 5, false, true},  {"flat opaque gray rgba", 31, 9, false, false},
        {"wide gray", 1000, 1, true, true}, {"tall rgba", 1, 300, false, true},
    };
    for (const layout_case &c : cases) {
        SCOPED_TRACE(c.name);
        size_t n = (size_t)c.w * c.h * (c.gray_input ? 1 : 4);
        bytes px(n, 0x80);
        if (!c.gray_input && !c.noise)
            for (size_t i = 3; i < n; i += 4) px[i] = 255;
        if (c.noise)
            for (uint8_t &b : px) b = (uint8_t)rng();
        bytes png = encode(c.w, c.h, px, c.gray_input);
        ASSERT_FALSE(png.empty());
        std::vector<png_chunk_view> ch = split_chunks(png);
        ASSERT_EQ(3u, ch.size());
        EXPECT_EQ("IHDR", ch[0].type);
        EXPECT_EQ("IDAT", ch[1].type);
        EXPECT_EQ("IEND", ch[2].type);
        EXPECT_EQ(33u, ch[1].offset);
        EXPECT_EQ(57u + ch[1].data.size(), png.size());
        EXPECT_EQ(0, memcmp(png.data() + png.size() - 12, iend_bytes, 12));
        EXPECT_EQ((uint32_t)c.w, get32(ch[0].data.data()));
        EXPECT_EQ((uint32_t)c.h, get32(ch[0].data.data() + 4));
        for (const png_chunk_view &v : ch) {
            SCOPED_TRACE(v.type);
            bytes typed(v.type.begin(), v.type.end());
            typed.insert(typed.end(), v.data.begin(), v.data.end());
            EXPECT_EQ(ref_crc32(typed.data(), typed.size()), v.crc);
#ifdef HAVE_ZLIB
            EXPECT_EQ((uint32_t)crc32(0, typed.data(), (uInt)typed.size()), v.crc);
#endif
        }
        // The zlib stream is what qv_deflate makes: header 78 01 and the raw rows' Adler-32.
        EXPECT_EQ(0x78, ch[1].data[0]);
        EXPECT_EQ(0x01, ch[1].data[1]);
    }
}

// The gray detection and the exact filtered rows handed to the compressor.
TEST(PngEncode, GrayDetectionAndRawRows) {
    struct gray_case { const char *name; int w, h; bytes px; uint8_t ctype; bytes raw; bool gray_in = false; };
    const gray_case cases[] = {
        {"gray input", 3, 1, {0, 128, 255}, 0, {0, 0, 128, 255}, true},
        {"opaque gray pixel", 1, 1, {10, 10, 10, 255}, 0, {0, 10}},
        {"alpha 254", 1, 1, {10, 10, 10, 254}, 6, {0, 10, 10, 10, 254}},
        {"green differs", 1, 1, {10, 11, 10, 255}, 6, {0, 10, 11, 10, 255}},
        {"blue differs", 1, 1, {10, 10, 11, 255}, 6, {0, 10, 10, 11, 255}},
        {"two rows gray", 2, 2, {1, 1, 1, 255, 2, 2, 2, 255, 3, 3, 3, 255, 4, 4, 4, 255}, 0,
         {0, 1, 2, 0, 3, 4}},
        {"first pixel fails", 2, 1, {0, 0, 0, 0, 9, 9, 9, 255}, 6, {0, 0, 0, 0, 0, 9, 9, 9, 255}},
    };
    for (const gray_case &c : cases) {
        SCOPED_TRACE(c.name);
        bytes png = encode(c.w, c.h, c.px, c.gray_in);
        std::vector<png_chunk_view> ch = split_chunks(png);
        ASSERT_EQ(3u, ch.size());
        EXPECT_EQ(8, ch[0].data[8]);
        EXPECT_EQ(c.ctype, ch[0].data[9]);
        EXPECT_EQ(c.raw, idat_raw(ch[1], c.raw.size()));
    }
}

TEST(PngEncode, LastPixelDecidesRgba) {
    const int w = 640, h = 480;
    bytes px((size_t)w * h * 4);
    for (size_t i = 0; i < px.size(); i += 4) {
        uint8_t g = (uint8_t)(i / 4 % 251);
        px[i] = px[i + 1] = px[i + 2] = g;
        px[i + 3] = 255;
    }
    bytes gray_png = encode(w, h, px, false);
    ASSERT_FALSE(gray_png.empty());
    EXPECT_EQ(0, gray_png[25]);
    px[px.size() - 1] = 254;
    bytes png = encode(w, h, px, false);
    ASSERT_FALSE(png.empty());
    EXPECT_EQ(6, png[25]);
    std::string path = temp_path("last.png");
    write_file(path, png);
    decoded d = decode_file(path);
    remove(path.c_str());
    ASSERT_TRUE(d.ok) << d.msg;
    EXPECT_EQ(px, d.rgba);
}

TEST(PngEncode, InvalidArguments) {
    uint8_t px[16] = {0};
    uint64_t size = 12345;
    struct arg_case { const char *name; int w, h; const uint8_t *px; uint64_t *size; };
    const arg_case cases[] = {
        {"width 0", 0, 1, px, &size},        {"height -1", 1, -1, px, &size},
        {"width negative", -5, 1, px, &size}, {"null pixels", 1, 1, nullptr, &size},
        {"null size", 1, 1, px, nullptr},     {"both zero", 0, 0, px, &size},
    };
    for (const arg_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(nullptr, qv_png_encode(c.w, c.h, c.px, c.size));
        EXPECT_EQ(nullptr, qv_png_encode_gray(c.w, c.h, c.px, c.size));
    }
    EXPECT_EQ(12345u, size);
}

#ifndef PNG_TEST_ASAN
// 2^31 - 1 squared pixels: every size is computed without wrapping and the allocation fails cleanly.
// (The sanitizer's allocator aborts on such requests instead of returning NULL.)
TEST(PngEncode, HugeGrayImageFailsCleanly) {
    uint8_t px[1] = {0};
    uint64_t size = 0;
    EXPECT_EQ(nullptr, qv_png_encode_gray(INT_MAX, INT_MAX, px, &size));
}
#endif

TEST(PngWrite, WritesWholeFileOrReportsFailure) {
    std::mt19937 rng(11);
    bytes px(5 * 3 * 4);
    for (uint8_t &b : px) b = (uint8_t)rng();
    std::string path = temp_path("write.png");
    ASSERT_EQ(1, qv_png_write(path.c_str(), 5, 3, px.data()));
    bytes on_disk = read_file(path);
    EXPECT_EQ(encode(5, 3, px, false), on_disk);
    decoded d = decode_file(path);
    ASSERT_TRUE(d.ok) << d.msg;
    EXPECT_EQ(px, d.rgba);
    // An existing file is truncated, not appended to.
    ASSERT_EQ(1, qv_png_write(path.c_str(), 1, 1, px.data()));
    EXPECT_EQ(encode(1, 1, px, false), read_file(path));
    remove(path.c_str());

    std::string missing_dir = temp_path("no_such_dir") + "/x.png";
    EXPECT_EQ(0, qv_png_write(missing_dir.c_str(), 5, 3, px.data()));
    EXPECT_EQ(0, qv_png_write(nullptr, 5, 3, px.data()));
    EXPECT_EQ(0, qv_png_write(path.c_str(), 0, 3, px.data()));
    EXPECT_EQ(0, qv_png_write(path.c_str(), 5, -3, px.data()));
    EXPECT_EQ(0, qv_png_write(path.c_str(), 5, 3, nullptr));
    EXPECT_TRUE(read_file(path).empty()) << "invalid arguments must not create the file";
#ifdef __linux__
    // A full device: the bytes cannot all reach the file, so the write reports failure.
    if (access("/dev/full", W_OK) == 0) {
        bytes big((size_t)300 * 300 * 4);
        for (uint8_t &b : big) b = (uint8_t)rng();
        EXPECT_EQ(0, qv_png_write("/dev/full", 300, 300, big.data()));
        EXPECT_EQ(0, qv_png_write("/dev/full", 1, 1, big.data()));
    }
#endif
}

// ======================================================================================================
// Round trips: every PNG the encoder writes decodes to the pixels it was given.

enum pixel_kind { noise_rgba, flat_rgba, opaque_gray_rgba, gray_alpha_rgba, noise_gray, flat_gray };

bytes make_pixels(pixel_kind k, int w, int h, std::mt19937 &rng) {
    size_t n = (size_t)w * h;
    bool gray_in = k == noise_gray || k == flat_gray;
    bytes px(n * (gray_in ? 1 : 4));
    for (size_t i = 0; i < n; i++) {
        uint8_t v = (uint8_t)rng();
        switch (k) {
        case noise_rgba:
            for (int c = 0; c < 4; c++) px[i * 4 + c] = (uint8_t)rng();
            break;
        case flat_rgba:
            px[i * 4] = 200, px[i * 4 + 1] = 30, px[i * 4 + 2] = 90, px[i * 4 + 3] = 128;
            break;
        case opaque_gray_rgba:
            px[i * 4] = px[i * 4 + 1] = px[i * 4 + 2] = v, px[i * 4 + 3] = 255;
            break;
        case gray_alpha_rgba:
            px[i * 4] = px[i * 4 + 1] = px[i * 4 + 2] = v, px[i * 4 + 3] = (uint8_t)(i % 7 * 40);
            break;
        case noise_gray: px[i] = v; break;
        case flat_gray: px[i] = 77; break;
        }
    }
    return px;
}

TEST(PngRoundTrip, SizesAndPixelKinds) {
    std::mt19937 rng(1234);
    const struct { int w, h; } sizes[] = {{1, 1}, {2, 1}, {1, 2}, {3, 5}, {7, 3},
                                          {1000, 1}, {1, 1000}, {257, 3}, {100, 100}, {333, 41}};
    struct kind_case { const char *name; pixel_kind k; int want_ctype; };
    const kind_case kinds[] = {
        {"noise rgba", noise_rgba, 6},         {"flat rgba", flat_rgba, 6},
        {"opaque gray rgba", opaque_gray_rgba, 0}, {"gray with alpha", gray_alpha_rgba, 6},
        {"noise gray", noise_gray, 0},         {"flat gray", flat_gray, 0},
    };
    std::string path = temp_path("rt.png");
    for (const auto &s : sizes) {
        for (const kind_case &k : kinds) {
            SCOPED_TRACE(std::string(k.name) + " " + std::to_string(s.w) + "x" + std::to_string(s.h));
            bytes px = make_pixels(k.k, s.w, s.h, rng);
            bool gray_in = k.k == noise_gray || k.k == flat_gray;
            bytes png = encode(s.w, s.h, px, gray_in);
            ASSERT_FALSE(png.empty());
            int ctype = png[25];
            // Pixel 0 of "gray with alpha" has alpha 0, so even its 1x1 image is RGBA.
            EXPECT_EQ(k.want_ctype, ctype);
            write_file(path, png);
            decoded d = decode_file(path);
            ASSERT_TRUE(d.ok) << d.msg;
            EXPECT_EQ(s.w, d.w);
            EXPECT_EQ(s.h, d.h);
            EXPECT_STREQ("", d.msg.c_str());
            bytes want = px;
            if (gray_in) {
                want.clear();
                for (uint8_t g : px) want.insert(want.end(), {g, g, g, 255});
            }
            EXPECT_EQ(want, d.rgba);
        }
    }
    remove(path.c_str());
}

// Sizes around the compressor's 64 KiB block: the rows cross block edges.
TEST(PngRoundTrip, BlockEdges) {
    std::mt19937 rng(99);
    const struct { int w, h; bool gray; } cases[] = {
        {65535, 1, true}, {32767, 2, true}, {16383, 1, false}, {128, 128, false}, {181, 181, true},
    };
    std::string path = temp_path("edge.png");
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        bytes px = make_pixels(c.gray ? noise_gray : noise_rgba, c.w, c.h, rng);
        bytes png = encode(c.w, c.h, px, c.gray);
        ASSERT_FALSE(png.empty());
        write_file(path, png);
        decoded d = decode_file(path);
        ASSERT_TRUE(d.ok) << d.msg;
        if (c.gray) {
            for (size_t i = 0; i < px.size(); i++) {
                ASSERT_EQ(px[i], d.rgba[i * 4]) << i;
                ASSERT_EQ(255, d.rgba[i * 4 + 3]) << i;
            }
        } else {
            EXPECT_EQ(px, d.rgba);
        }
    }
    remove(path.c_str());
}

// ======================================================================================================
// Decoder: PNGs from PIL (tests/fixtures/png/make_fixtures.py), with the pixels it computed.

TEST(PngDecode, PilFixtures) {
    const char *names[] = {"gray1", "gray8", "gray8_noise", "gray8_trns", "gray16", "graya8",
                           "rgb8", "rgb8_noise", "rgba8", "rgba8_noise", "pal1", "pal2", "pal4",
                           "pal8"};
    for (const char *name : names) {
        SCOPED_TRACE(name);
        std::string base = std::string(TEST_SOURCE_DIR) + "/fixtures/png/" + name;
        bytes want = read_file(base + ".rgba");
        ASSERT_EQ(13u * 7u * 4u, want.size());
        decoded d = decode_file(base + ".png");
        ASSERT_TRUE(d.ok) << d.msg;
        EXPECT_EQ(13, d.w);
        EXPECT_EQ(7, d.h);
        EXPECT_EQ(want, d.rgba);
    }
}

// ======================================================================================================
// Decoder: hand-built PNGs. Each case gives the unfiltered rows, the format, and the RGBA expected.

struct hand_case {
    const char *name;
    uint32_t w, h;
    uint8_t depth, ctype;
    bytes rows;  // unfiltered, row after row
    bytes want;  // RGBA
    std::vector<bytes> extra;  // chunks before IDAT (PLTE, tRNS)
};

size_t row_bytes_of(const hand_case &c) {
    static const int ch[7] = {1, 0, 3, 1, 2, 0, 4};
    return ((size_t)c.w * ch[c.ctype] * c.depth + 7) / 8;
}

size_t dist_of(const hand_case &c) {
    static const int ch[7] = {1, 0, 3, 1, 2, 0, 4};
    size_t bpp = (size_t)ch[c.ctype] * c.depth;
    return bpp >= 8 ? bpp / 8 : 1;
}

bytes px4(std::initializer_list<int> v) {
    bytes b;
    for (int x : v) b.push_back((uint8_t)x);
    return b;
}

std::vector<hand_case> hand_cases() {
    std::vector<hand_case> v;
    v.push_back({"gray 1-bit", 10, 1, 1, 0, {0xA5, 0x80},
                 px4({255, 255, 255, 255, 0, 0, 0, 255, 255, 255, 255, 255, 0, 0, 0, 255,
                      0, 0, 0, 255, 255, 255, 255, 255, 0, 0, 0, 255, 255, 255, 255, 255,
                      255, 255, 255, 255, 0, 0, 0, 255}), {}});
    v.push_back({"gray 2-bit", 5, 1, 2, 0, {0x1B, 0x80},  // 0 1 2 3 | 2
                 px4({0, 0, 0, 255, 85, 85, 85, 255, 170, 170, 170, 255, 255, 255, 255, 255,
                      170, 170, 170, 255}), {}});
    v.push_back({"gray 4-bit", 3, 1, 4, 0, {0x3F, 0x00},  // 3 15 | 0
                 px4({51, 51, 51, 255, 255, 255, 255, 255, 0, 0, 0, 255}), {}});
    v.push_back({"gray 2-bit tRNS on unscaled 2", 4, 1, 2, 0, {0x9C},  // 2 1 3 0
                 px4({170, 170, 170, 0, 85, 85, 85, 255, 255, 255, 255, 255, 0, 0, 0, 255}),
                 {chunk("tRNS", {0x00, 0x02})}});
    v.push_back({"gray 8-bit tRNS 00 80", 3, 1, 8, 0, {0x80, 0x7F, 0x81},
                 px4({128, 128, 128, 0, 127, 127, 127, 255, 129, 129, 129, 255}),
                 {chunk("tRNS", {0x00, 0x80})}});
    v.push_back({"gray 8-bit tRNS of 1 byte ignored", 1, 1, 8, 0, {0x00},
                 px4({0, 0, 0, 255}), {chunk("tRNS", {0x00})}});
    v.push_back({"gray 16-bit keeps high byte, tRNS ignored", 2, 1, 16, 0, {0x12, 0x34, 0xFF, 0x01},
                 px4({0x12, 0x12, 0x12, 255, 0xFF, 0xFF, 0xFF, 255}), {chunk("tRNS", {0x12, 0x34})}});
    v.push_back({"rgb 16-bit", 2, 1, 16, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
                 px4({1, 3, 5, 255, 7, 9, 11, 255}), {}});
    v.push_back({"rgba 16-bit", 1, 2, 16, 6, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
                 px4({1, 3, 5, 7, 9, 11, 13, 15}), {}});
    v.push_back({"gray-alpha 16-bit", 2, 1, 16, 4, {0xA0, 1, 0x30, 2, 0xB0, 3, 0x40, 4},
                 px4({0xA0, 0xA0, 0xA0, 0x30, 0xB0, 0xB0, 0xB0, 0x40}), {}});
    v.push_back({"rgb 8-bit tRNS ignored", 1, 1, 8, 2, {9, 8, 7}, px4({9, 8, 7, 255}),
                 {chunk("tRNS", {0, 9, 0, 8, 0, 7})}});
    v.push_back({"palette 1-bit, two entries", 9, 1, 1, 3, {0x55, 0x80},
                 px4({1, 2, 3, 255, 4, 5, 6, 255, 1, 2, 3, 255, 4, 5, 6, 255, 1, 2, 3, 255,
                      4, 5, 6, 255, 1, 2, 3, 255, 4, 5, 6, 255, 4, 5, 6, 255}),
                 {chunk("PLTE", {1, 2, 3, 4, 5, 6})}});
    v.push_back({"palette index past entries is opaque black", 4, 1, 2, 3, {0x1B},  // 0 1 2 3
                 px4({1, 2, 3, 10, 4, 5, 6, 20, 0, 0, 0, 255, 0, 0, 0, 255}),
                 {chunk("PLTE", {1, 2, 3, 4, 5, 6}), chunk("tRNS", {10, 20, 30, 40})}});
    v.push_back({"empty palette", 2, 1, 8, 3, {0, 255}, px4({0, 0, 0, 255, 0, 0, 0, 255}),
                 {chunk("PLTE", {})}});
    v.push_back({"later PLTE and tRNS replace earlier", 1, 1, 8, 3, {0}, px4({7, 8, 9, 99}),
                 {chunk("PLTE", {1, 2, 3}), chunk("tRNS", {5}), chunk("PLTE", {7, 8, 9}),
                  chunk("tRNS", {99})}});
    v.push_back({"tRNS shorter than the palette", 2, 1, 8, 3, {0, 1},
                 px4({1, 2, 3, 0, 4, 5, 6, 255}), {chunk("PLTE", {1, 2, 3, 4, 5, 6}), chunk("tRNS", {0})}});
    return v;
}

TEST(PngDecode, HandBuiltFormats) {
    for (const hand_case &c : hand_cases()) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.rows.size(), row_bytes_of(c) * c.h) << "case table error";
        bytes filtered = filter_rows(c.rows, row_bytes_of(c), dist_of(c), {0});
        decoded d = decode_bytes(make_png(ihdr_data(c.w, c.h, c.depth, c.ctype), zlib_of(filtered), c.extra));
        ASSERT_TRUE(d.ok) << d.msg;
        EXPECT_EQ((int)c.w, d.w);
        EXPECT_EQ((int)c.h, d.h);
        EXPECT_EQ(c.want, d.rgba);
    }
}

// Every filter type at every filter distance (1 for packed and 8-bit gray up to 8 for RGBA16),
// over noise and over small values where Paeth's ties are frequent.
TEST(PngDecode, FilterTypes) {
    std::mt19937 rng(5);
    struct fmt { const char *name; uint8_t depth, ctype; };
    const fmt fmts[] = {{"gray1", 1, 0}, {"gray8", 8, 0}, {"graya8", 8, 4}, {"rgb8", 8, 2},
                        {"rgba8", 8, 6}, {"graya16", 16, 4}, {"rgb16", 16, 2}, {"rgba16", 16, 6}};
    const std::vector<std::vector<int>> plans = {{0}, {1}, {2}, {3}, {4}, {4, 3, 2, 1, 0}, {2, 4, 1, 3}};
    for (const fmt &f : fmts) {
        for (int small = 0; small < 2; small++) {
            for (const std::vector<int> &plan : plans) {
                SCOPED_TRACE(std::string(f.name) + (small ? " small values" : " noise") + " plan " +
                             std::to_string(plan[0]) + "/" + std::to_string(plan.size()));
                hand_case c{"", 11, 6, f.depth, f.ctype, {}, {}, {}};
                size_t rb = row_bytes_of(c);
                c.rows.resize(rb * c.h);
                for (uint8_t &b : c.rows) b = (uint8_t)(small ? rng() % 3 : rng());
                if (small) c.rows[rb] = 255;  // a wrap in the row above
                bytes filtered = filter_rows(c.rows, rb, dist_of(c), plan);
                decoded d = decode_bytes(make_png(ihdr_data(c.w, c.h, c.depth, c.ctype), zlib_of(filtered)));
                ASSERT_TRUE(d.ok) << d.msg;
                // The same rows written unfiltered are the reference.
                decoded r = decode_bytes(
                    make_png(ihdr_data(c.w, c.h, c.depth, c.ctype), zlib_stored(filter_rows(c.rows, rb, 1, {0}))));
                ASSERT_TRUE(r.ok) << r.msg;
                EXPECT_EQ(r.rgba, d.rgba);
            }
        }
    }
}

// The Paeth predictor's tie order (a before b before c), with a, b, c distinct where the tie allows,
// so each choice gives a different pixel. A 2 x 2 gray image: row 0 is [c, b] unfiltered; row 1 is
// [a, x] with filter 4, and x's stored byte 1 makes the decoded x the predictor + 1.
TEST(PngDecode, PaethTies) {
    struct tie_case { const char *name; uint8_t a, b, c; uint8_t pred; };
    const tie_case cases[] = {
        {"pa = pb < pc: a", 20, 20, 10, 20},   // p 30: pa 10, pb 10, pc 20
        {"pa = pb = pc: a", 7, 7, 7, 7},
        {"pa = pc < pb: a", 0, 3, 2, 0},       // p 1: pa 1, pb 2, pc 1
        {"pb = pc < pa: b", 0, 3, 1, 3},       // p 2: pa 2, pb 1, pc 1
        {"pc smallest: c", 10, 0, 5, 5},       // p 5: pa 5, pb 5, pc 0
        {"p negative: a", 0, 5, 200, 0},       // p -195: pa 195, pb 200, pc 395
        {"p above 255: a", 250, 10, 5, 250},   // p 255: pa 5, pb 245, pc 250
    };
    for (const tie_case &t : cases) {
        SCOPED_TRACE(t.name);
        ASSERT_EQ(t.pred, ref_paeth(t.a, t.b, t.c)) << "case table error";
        // Row 1, column 0: left 0, above c, above-left 0.
        bytes filtered = {0, t.c, t.b, 4, (uint8_t)(t.a - ref_paeth(0, t.c, 0)), 1};
        decoded d = decode_bytes(make_png(ihdr_data(2, 2, 8, 0), zlib_stored(filtered)));
        ASSERT_TRUE(d.ok) << d.msg;
        EXPECT_EQ(t.a, d.rgba[8]);
        EXPECT_EQ((uint8_t)(t.pred + 1), d.rgba[12]);
    }
}

// Filter types above 4 leave their row as stored.
TEST(PngDecode, UnknownFilterTypeLeavesRow) {
    bytes filtered = {0, 10, 20, 5, 1, 2, 255, 3, 4};
    decoded d = decode_bytes(make_png(ihdr_data(2, 3, 8, 0), zlib_stored(filtered)));
    ASSERT_TRUE(d.ok) << d.msg;
    const uint8_t want[6] = {10, 20, 1, 2, 3, 4};
    for (int i = 0; i < 6; i++) EXPECT_EQ(want[i], d.rgba[i * 4]) << i;
}

// Chunk structure the decoder accepts: split IDAT with unknown chunks between, no IEND, chunks
// after IEND ignored, bad CRCs ignored (CRCs are not checked); a zlib header of a smaller window.
TEST(PngDecode, ChunkWalkVariants) {
    std::mt19937 rng(3);
    bytes rows(6 * 4 * 4);
    for (uint8_t &b : rows) b = (uint8_t)rng();
    bytes z = zlib_of(filter_rows(rows, 24, 4, {0, 1, 2, 3, 4}));
    bytes head(signature, signature + 8);
    bytes ih = chunk("IHDR", ihdr_data(6, 4, 8, 6));
    head.insert(head.end(), ih.begin(), ih.end());
    auto cat = [](std::vector<bytes> parts) {
        bytes f;
        for (const bytes &p : parts) f.insert(f.end(), p.begin(), p.end());
        return f;
    };
    bytes z1(z.begin(), z.begin() + 1), z2(z.begin() + 1, z.begin() + 5), z3(z.begin() + 5, z.end());
    bytes bad_crc = chunk("IDAT", z);
    bad_crc[bad_crc.size() - 1] ^= 0xFF;
    bytes bad_ihdr_crc = head;
    bad_ihdr_crc[bad_ihdr_crc.size() - 2] ^= 0x55;
    bytes small_window = z;  // 2 KiB, as pdfimages writes (the rows' matches reach back less)
    small_window[0] = 0x38, small_window[1] = (uint8_t)(31 - (0x3800 % 31));
    struct walk_case { const char *name; bytes file; };
    const walk_case cases[] = {
        {"split IDAT with unknown chunks",
         cat({head, chunk("IDAT", z1), chunk("tEXt", {'a', 0, 'b'}), chunk("IDAT", z2),
              chunk("zzZZ", {}), chunk("IDAT", {}), chunk("IDAT", z3), chunk("IEND", {})})},
        {"no IEND", cat({head, chunk("IDAT", z)})},
        {"garbage after IEND", cat({head, chunk("IDAT", z), chunk("IEND", {}), {1, 2, 3, 4, 5, 6, 7, 8, 9}})},
        {"IDAT after IEND ignored", cat({head, chunk("IDAT", z), chunk("IEND", {}), chunk("IDAT", {0xFF})})},
        {"fewer than 8 trailing bytes", cat({head, chunk("IDAT", z), {0, 0, 0}})},
        {"bad IDAT CRC", cat({head, bad_crc, chunk("IEND", {})})},
        {"bad IHDR CRC", cat({bad_ihdr_crc, chunk("IDAT", z), chunk("IEND", {})})},
        {"window 2 KiB (0x38)", cat({head, chunk("IDAT", small_window)})},
        {"chunks before IHDR", cat({bytes(signature, signature + 8), chunk("IDAT", z), ih, chunk("IEND", {})})},
    };
    for (const walk_case &c : cases) {
        SCOPED_TRACE(c.name);
        decoded d = decode_bytes(c.file);
        ASSERT_TRUE(d.ok) << d.msg;
        EXPECT_EQ(rows, d.rgba);
    }
}

// An IDAT larger than the first 64 KiB of the gathering array, in many chunks.
TEST(PngDecode, LargeSplitIdat) {
    std::mt19937 rng(8);
    const uint32_t w = 300, h = 200;
    bytes rows((size_t)w * h * 3);
    for (uint8_t &b : rows) b = (uint8_t)rng();
    bytes z = zlib_stored(filter_rows(rows, w * 3, 3, {0}));
    bytes f(signature, signature + 8);
    bytes c = chunk("IHDR", ihdr_data(w, h, 8, 2));
    f.insert(f.end(), c.begin(), c.end());
    for (size_t pos = 0, n = 1; pos < z.size(); pos += n, n = n * 3 + 7) {
        size_t take = std::min(n, z.size() - pos);
        c = chunk("IDAT", bytes(z.begin() + (long)pos, z.begin() + (long)(pos + take)));
        f.insert(f.end(), c.begin(), c.end());
    }
    decoded d = decode_bytes(f);
    ASSERT_TRUE(d.ok) << d.msg;
    for (size_t i = 0; i < (size_t)w * h; i++) {
        ASSERT_EQ(rows[i * 3], d.rgba[i * 4]);
        ASSERT_EQ(rows[i * 3 + 2], d.rgba[i * 4 + 2]);
        ASSERT_EQ(255, d.rgba[i * 4 + 3]);
    }
}

// ======================================================================================================
// Decoder refusals, each with its text.

bytes valid_rgba_png(uint32_t w = 3, uint32_t h = 2) {
    bytes rows((size_t)w * h * 4, 0x42);
    return make_png(ihdr_data(w, h, 8, 6), zlib_stored(filter_rows(rows, w * 4, 4, {0})));
}

bytes with_ihdr(const bytes &ihdr, const std::vector<bytes> &chunks) {
    bytes f(signature, signature + 8);
    bytes c = chunk("IHDR", ihdr);
    f.insert(f.end(), c.begin(), c.end());
    for (const bytes &b : chunks) f.insert(f.end(), b.begin(), b.end());
    return f;
}

struct refusal { std::string name; bytes file; const char *msg; };

std::vector<refusal> refusals() {
    std::vector<refusal> v;
    const char *sig_msg = "png: not a PNG file (bad signature)";
    const char *missing = "png: missing IHDR or IDAT";
    bytes sig(signature, signature + 8);
    bytes gray_z = zlib_stored({0, 0});
    bytes idat = chunk("IDAT", gray_z);
    bytes plte = chunk("PLTE", {1, 2, 3});

    v.push_back({"empty file", {}, sig_msg});
    v.push_back({"7 bytes of signature", bytes(signature, signature + 7), sig_msg});
    bytes bad_sig = valid_rgba_png();
    bad_sig[1] = 'p';
    v.push_back({"lowercase p", bad_sig, sig_msg});
    bytes crlf = valid_rgba_png();
    crlf[4] = 0x0A;  // a text-mode transfer
    v.push_back({"CRLF damaged", crlf, sig_msg});
    v.push_back({"signature only", sig, missing});
    bytes fifteen = sig;
    fifteen.insert(fifteen.end(), {0, 0, 0, 13, 'I', 'H', 'D'});
    v.push_back({"15 bytes", fifteen, missing});
    v.push_back({"no IHDR", [&] { bytes f = sig; f.insert(f.end(), idat.begin(), idat.end()); return f; }(), missing});
    v.push_back({"no IDAT", with_ihdr(ihdr_data(1, 1, 8, 0), {chunk("IEND", {})}), missing});
    v.push_back({"IDAT only after IEND", with_ihdr(ihdr_data(1, 1, 8, 0), {chunk("IEND", {}), idat}), missing});

    bytes trunc = with_ihdr(ihdr_data(1, 1, 8, 0), {idat});
    trunc.pop_back();  // the IDAT's CRC loses a byte
    v.push_back({"CRC cut short", trunc, "png: truncated chunk"});
    bytes huge_len = with_ihdr(ihdr_data(1, 1, 8, 0), {});
    huge_len.insert(huge_len.end(), {0xFF, 0xFF, 0xFF, 0xF8, 'I', 'D', 'A', 'T', 0, 0, 0, 0});
    v.push_back({"chunk length 2^32 - 8", huge_len, "png: truncated chunk"});
    bytes ihdr_short = sig;
    ihdr_short.insert(ihdr_short.end(), {0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 0, 1});
    v.push_back({"IHDR cut short", ihdr_short, "png: truncated chunk"});

    for (uint32_t n : {0u, 12u, 14u}) {
        bytes d = ihdr_data(1, 1, 8, 0);
        d.resize(n, 0);
        bytes f = sig;
        bytes c = chunk("IHDR", d);
        f.insert(f.end(), c.begin(), c.end());
        f.insert(f.end(), idat.begin(), idat.end());
        v.push_back({"IHDR length " + std::to_string(n), f, "png: bad IHDR length"});
    }

    const struct { const char *name; uint32_t w, h; } big[] = {
        {"width 0", 0, 1}, {"height 0", 1, 0}, {"width 2^31", 0x80000000u, 1},
        {"height 2^32 - 1", 1, 0xFFFFFFFFu}, {"32768 x 32769", 32768, 32769},
        {"2^30 + 1 x 1", (1u << 30) + 1, 1}, {"65536 x 65536", 65536, 65536},
    };
    for (const auto &b : big)
        v.push_back({b.name, with_ihdr(ihdr_data(b.w, b.h, 8, 0), {idat}), "png: image too large"});
    // 2^30 pixels pass the pixel count, but 8-bit RGBA rows would need 2^32 bytes, more than the
    // inflater can report: refused as too large before anything is allocated.
    v.push_back({"32768 x 32768 rgba", with_ihdr(ihdr_data(32768, 32768, 8, 6), {idat}),
                 "png: image too large"});
    v.push_back({"1 x 2^30 rgb16", with_ihdr(ihdr_data(1, 1u << 30, 16, 2), {idat}), "png: image too large"});
    // 2^30 pixels of gray pass every size check: the file then lacks IDAT.
    v.push_back({"32768 x 32768 gray passes size check", with_ihdr(ihdr_data(32768, 32768, 8, 0), {}),
                 missing});

    v.push_back({"PLTE of 4 bytes", with_ihdr(ihdr_data(1, 1, 8, 3), {chunk("PLTE", {1, 2, 3, 4}), idat}),
                 "png: bad PLTE"});
    v.push_back({"PLTE of 771 bytes", with_ihdr(ihdr_data(1, 1, 8, 3), {chunk("PLTE", bytes(771, 1)), idat}),
                 "png: bad PLTE"});
    v.push_back({"PLTE of 769 bytes", with_ihdr(ihdr_data(1, 1, 8, 0), {chunk("PLTE", bytes(769, 1)), idat}),
                 "png: bad PLTE"});

    v.push_back({"interlaced", with_ihdr(ihdr_data(1, 1, 8, 0, 1), {idat}), "png: interlaced PNG not supported"});
    v.push_back({"interlace method 2", with_ihdr(ihdr_data(1, 1, 8, 6, 2), {idat}),
                 "png: interlaced PNG not supported"});
    v.push_back({"interlaced before colour type", with_ihdr(ihdr_data(1, 1, 3, 7, 1), {idat}),
                 "png: interlaced PNG not supported"});
    for (uint8_t ct : {1, 5, 7, 8, 255})
        v.push_back({"colour type " + std::to_string(ct), with_ihdr(ihdr_data(1, 1, 8, ct), {idat}),
                     "png: unsupported color type"});
    v.push_back({"colour type before depth", with_ihdr(ihdr_data(1, 1, 3, 5), {idat}), "png: unsupported color type"});
    v.push_back({"palette without PLTE", with_ihdr(ihdr_data(1, 1, 8, 3), {idat}), "png: palette PNG without PLTE"});
    v.push_back({"PLTE missing before depth", with_ihdr(ihdr_data(1, 1, 16, 3), {idat}),
                 "png: palette PNG without PLTE"});
    for (uint8_t bd : {0, 3, 5, 7, 9, 12, 32, 255})
        v.push_back({"gray depth " + std::to_string(bd), with_ihdr(ihdr_data(1, 1, bd, 0), {idat}),
                     "png: unsupported bit depth"});
    for (uint8_t ct : {2, 4, 6})
        for (uint8_t bd : {1, 2, 4})
            v.push_back({"colour type " + std::to_string(ct) + " depth " + std::to_string(bd),
                         with_ihdr(ihdr_data(1, 1, bd, ct), {idat}), "png: unsupported bit depth"});
    v.push_back({"16-bit palette", with_ihdr(ihdr_data(1, 1, 16, 3), {plte, idat}),
                 "png: 16-bit palette not supported"});

    v.push_back({"IDAT of 5 bytes", with_ihdr(ihdr_data(1, 1, 8, 0), {chunk("IDAT", {0x78, 1, 3, 0, 0})}),
                 "png: bad zlib header in IDAT"});
    bytes small_window = gray_z;
    small_window[0] = 0x68;
    v.push_back({"window 8 KiB, header not a multiple of 31", with_ihdr(ihdr_data(1, 1, 8, 0), {chunk("IDAT", small_window)}),
                 "png: bad zlib header in IDAT"});
    bytes gzip_magic = gray_z;
    gzip_magic[0] = 0x1F;
    v.push_back({"not zlib", with_ihdr(ihdr_data(1, 1, 8, 0), {chunk("IDAT", gzip_magic)}),
                 "png: bad zlib header in IDAT"});
    bytes dict = gray_z;
    dict[1] = 0x20 | (uint8_t)(31 - (0x7820 % 31));
    v.push_back({"preset dictionary", with_ihdr(ihdr_data(1, 1, 8, 0), {chunk("IDAT", dict)}),
                 "png: bad zlib header in IDAT"});

    const char *inf = "png: inflate failed (corrupt or truncated stream)";
    v.push_back({"rows one byte short", with_ihdr(ihdr_data(2, 1, 8, 0), {chunk("IDAT", zlib_stored({0, 5}))}), inf});
    v.push_back({"rows one byte long", with_ihdr(ihdr_data(1, 1, 8, 0), {chunk("IDAT", zlib_stored({0, 5, 6}))}), inf});
    bytes bad_nlen = gray_z;
    bad_nlen[5] ^= 1;
    v.push_back({"stored NLEN wrong", with_ihdr(ihdr_data(1, 1, 8, 0), {chunk("IDAT", bad_nlen)}), inf});
    bytes btype3 = gray_z;
    btype3[2] = 0x07;
    v.push_back({"block type 3", with_ihdr(ihdr_data(1, 1, 8, 0), {chunk("IDAT", btype3)}), inf});
    bytes rows_z = zlib_of(bytes(1 + 40 * 4, 0));
    bytes cut(rows_z.begin(), rows_z.begin() + (long)rows_z.size() / 2);
    v.push_back({"stream cut in half", with_ihdr(ihdr_data(40, 1, 8, 6), {chunk("IDAT", cut)}), inf});
    // 2^30 one-bit pixels: 134 MB of rows are allocated, and the tiny stream cannot fill them.
    v.push_back({"32768 x 32768 1-bit with tiny stream", with_ihdr(ihdr_data(32768, 32768, 1, 0), {idat}), inf});

    bytes bad_adler = gray_z;
    bad_adler[bad_adler.size() - 1] ^= 0x01;
    v.push_back({"Adler-32 low byte flipped", with_ihdr(ihdr_data(1, 1, 8, 0), {chunk("IDAT", bad_adler)}),
                 "png: adler-32 checksum mismatch"});
    bad_adler = gray_z;
    bad_adler[bad_adler.size() - 4] ^= 0x80;
    v.push_back({"Adler-32 high byte flipped", with_ihdr(ihdr_data(1, 1, 8, 0), {chunk("IDAT", bad_adler)}),
                 "png: adler-32 checksum mismatch"});
    return v;
}

TEST(PngDecode, Refusals) {
    for (const refusal &r : refusals()) {
        SCOPED_TRACE(r.name);
        decoded d = decode_bytes(r.file);
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(r.msg, d.msg);
        EXPECT_EQ(0, d.w);
        EXPECT_EQ(0, d.h);
    }
}

TEST(PngDecode, CannotReadFile) {
    decoded d = decode_file(temp_path("does_not_exist.png"));
    EXPECT_FALSE(d.ok);
    EXPECT_EQ("png: cannot read file", d.msg);
    d = decode_file(::testing::TempDir());  // a directory
    EXPECT_FALSE(d.ok);
    EXPECT_EQ("png: cannot read file", d.msg);
    const char *m = nullptr;
    int w = 5, h = 5;
    EXPECT_EQ(nullptr, qv_png_decode(nullptr, &w, &h, &m));
    EXPECT_STREQ("png: cannot read file", m);
    EXPECT_EQ(0, w);
    EXPECT_EQ(0, h);
}

// The message points at one buffer that the next failure rewrites; success gives "".
TEST(PngDecode, MessagesAndOutParameters) {
    decoded a = decode_bytes({});
    decoded b = decode_bytes(bytes(signature, signature + 8));
    ASSERT_FALSE(a.ok);
    ASSERT_FALSE(b.ok);
    decoded ok = decode_bytes(valid_rgba_png());
    ASSERT_TRUE(ok.ok);
    ASSERT_NE(nullptr, ok.msg_ptr);
    EXPECT_STREQ("", ok.msg_ptr);
    // Each message is a text of its own that later calls leave alone.
    EXPECT_STREQ("png: not a PNG file (bad signature)", a.msg_ptr);
    EXPECT_STREQ("png: missing IHDR or IDAT", b.msg_ptr);

    // Null out-parameters are allowed.
    std::string path = temp_path("null_out.png");
    write_file(path, valid_rgba_png());
    uint8_t *px = qv_png_decode(path.c_str(), nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, px);
    EXPECT_EQ(0x42, px[0]);
    free(px);
    write_file(path, {1, 2, 3});
    EXPECT_EQ(nullptr, qv_png_decode(path.c_str(), nullptr, nullptr, nullptr));
    remove(path.c_str());
}

// Flip each byte, then cut at every length, of valid PNGs (one PIL fixture, one of our encoder's):
// every result is either a decoded image or a refusal with one of the decoder's texts.
TEST(PngDecode, MutationSweep) {
    const std::vector<std::string> texts = {
        "png: cannot read file", "png: not a PNG file (bad signature)", "png: missing IHDR or IDAT",
        "png: truncated chunk", "png: bad IHDR length", "png: image too large", "png: bad PLTE",
        "png: out of memory", "png: interlaced PNG not supported", "png: unsupported color type",
        "png: palette PNG without PLTE", "png: unsupported bit depth",
        "png: 16-bit palette not supported", "png: bad zlib header in IDAT",
        "png: inflate failed (corrupt or truncated stream)", "png: adler-32 checksum mismatch"};
    auto check = [&](const bytes &f, const std::string &what) {
        decoded d = decode_bytes(f);
        if (d.ok) {
            EXPECT_GT(d.w, 0) << what;
            EXPECT_GT(d.h, 0) << what;
            EXPECT_STREQ("", d.msg_ptr) << what;
        } else {
            EXPECT_NE(texts.end(), std::find(texts.begin(), texts.end(), d.msg)) << what << ": " << d.msg;
            EXPECT_EQ(0, d.w) << what;
            EXPECT_EQ(0, d.h) << what;
        }
    };
    std::mt19937 rng(21);
    bytes ours_px(9 * 4 * 4);
    for (uint8_t &b : ours_px) b = (uint8_t)(rng() % 4);
    std::vector<bytes> inputs = {read_file(std::string(TEST_SOURCE_DIR) + "/fixtures/png/pal4.png"),
                                 encode(9, 4, ours_px, false)};
    for (const bytes &orig : inputs) {
        ASSERT_FALSE(orig.empty());
        for (size_t i = 0; i < orig.size(); i++) {
            bytes f = orig;
            f[i] ^= (uint8_t)(1u << (i % 8));
            check(f, "flip at " + std::to_string(i));
            f = orig;
            f[i] = 0xFF;
            check(f, "0xFF at " + std::to_string(i));
        }
        for (size_t n = 0; n < orig.size(); n++) {
            bytes f(orig.begin(), orig.begin() + (long)n);
            decoded d = decode_bytes(f);
            // Up to the end of the IDAT chunk a cut loses data; after it, only IEND is lost.
            if (!d.ok) EXPECT_NE(texts.end(), std::find(texts.begin(), texts.end(), d.msg)) << n;
            else EXPECT_GE(n, orig.size() - 12) << "a cut inside the image data decoded";
        }
    }
}

}  // namespace
