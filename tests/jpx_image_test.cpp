// tests/jpx_image_test.cpp - JPEG 2000 images in PDF documents: which channels are colour and which
// alpha, the dictionary's colour space or the file's own, Indexed ones; against OpenJPEG's tools and
// pdfimages where they are installed.
#include "byte_util.h"
#include "image_util.h"

#include <array>

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

// ---- Indexed JPEG 2000 images ------------------------------------------------------------------

// Palettes of three 8-bit columns, and a JP2 box of a body.
typedef std::vector<std::array<uint8_t, 3>> rgb_palette;
static std::string jp2_box(const char *type, const std::string &body) {
    uint32_t n = (uint32_t)(8 + body.size());
    std::string b{(char)(n >> 24), (char)(n >> 16), (char)(n >> 8), (char)n};
    return b + type + body;
}

// A JP2 file around a one-component codestream of w x h 4-bit indexes, with a palette box (pclr)
// of pal and a component mapping (cmap) that makes its three columns the channels.
static std::string jp2_with_palette(const std::string &cs, int w, int h, const rgb_palette &pal) {
    std::string ihdr{0, 0, (char)(h >> 8), (char)h, 0, 0, (char)(w >> 8), (char)w, 0, 1, 3, 7, 0, 0};
    std::string colr{1, 0, 0, 0, 0, 0, 16};  // enumerated sRGB
    std::string pclr{(char)(pal.size() >> 8), (char)pal.size(), 3, 7, 7, 7};
    for (const auto &e : pal) pclr.append((const char *)e.data(), 3);
    std::string cmap{0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 2};
    std::string jp2h = jp2_box("ihdr", ihdr) + jp2_box("colr", colr) + jp2_box("pclr", pclr) + jp2_box("cmap", cmap);
    return jp2_box("jP  ", "\r\n\x87\n") + jp2_box("ftyp", std::string("jp2 \0\0\0\0jp2 ", 12)) +
           jp2_box("jp2h", jp2h) + jp2_box("jp2c", cs);
}

static std::string palette_hex(const rgb_palette &pal, size_t entries) {
    std::string s;
    for (size_t k = 0; k < entries; k++) s.append((const char *)pal[k].data(), 3);
    return "<" + hex_encode(s);
}

// pdfimages -png of the document's one image, as RGBA; empty when pdfimages is missing or fails.
static std::vector<uint8_t> pdfimages_rgba(const std::string &pdf, int *w, int *h) {
    std::string prefix = pdf_temp_path("pdfimages"), png = prefix + "-000.png";
    std::string cmd = "pdfimages -png '" + pdf + "' '" + prefix + "' >/dev/null 2>&1";
    std::vector<uint8_t> out;
    if (system(cmd.c_str()) != 0) return out;
    uint8_t *rgba = qv_png_decode(png.c_str(), w, h, nullptr);
    if (rgba) out.assign(rgba, rgba + (size_t)*w * *h * 4);
    free(rgba);
    remove(png.c_str());
    return out;
}

// The samples of a JPX image under an Indexed space are the palette's indexes as they are, whatever
// their precision: the 4-bit codestream of tests/fixtures/jpx (made from the indexes in
// l-index4.idx), looked up in the dictionary's palette, an index past hival taking the last entry.
// A palette box in the file is not applied then; with no /ColorSpace in the dictionary it is (its
// entries clamped the same way). Expected pixels come from the indexes and the palettes.
TEST(ImageJpx, IndexedTakesCodestreamSamples) {
    const int W = 24, H = 16;
    std::string cs = fixture_bytes("jpx/l-index4.j2k"), idx = fixture_bytes("jpx/l-index4.idx");
    ASSERT_FALSE(cs.empty());
    ASSERT_EQ((size_t)W * H, idx.size());
    rgb_palette dict_pal, file_pal;  // 16 entries in the dictionary, 12 in the file's pclr box
    for (int k = 0; k < 16; k++)
        dict_pal.push_back({(uint8_t)(k * 16 + 5), (uint8_t)(255 - k * 13), (uint8_t)(k * 71)});
    for (int k = 0; k < 12; k++)
        file_pal.push_back({(uint8_t)(k * 37), (uint8_t)(k * 20), (uint8_t)(200 - k * 9)});
    std::string jp2 = jp2_with_palette(cs, W, H, file_pal);
    const std::string rgb16 = "[/Indexed /DeviceRGB 15 " + palette_hex(dict_pal, 16) + "]";
    const std::string rgb12 = "[/Indexed /DeviceRGB 11 " + palette_hex(dict_pal, 12) + "]";
    const std::string icc16 = "[/Indexed [/ICCBased 40 0 R] 15 " + palette_hex(dict_pal, 16) + "]";
    struct icase {
        const char *name;
        std::string space, data;  // space: the /ColorSpace value, "" none
        const rgb_palette *pal;
        size_t entries;  // of pal that apply
    } cases[] = {
        {"hival 15: every index in range", rgb16, cs, &dict_pal, 16},
        {"hival 11: indexes 12 to 15 take entry 11", rgb12, cs, &dict_pal, 12},
        {"ICCBased base", icc16, cs, &dict_pal, 16},
        {"a palette box: the dictionary's palette wins", rgb16, jp2, &dict_pal, 16},
        {"a palette box under hival 11", rgb12, jp2, &dict_pal, 12},
        {"a palette box, no colour space: the file's palette", "", jp2, &file_pal, 12},
    };
    bool peer = system("pdfimages -v >/dev/null 2>&1") == 0;
    for (const icase &c : cases) {
        SCOPED_TRACE(c.name);
        pdf_builder b;  // the page draws the image, so that pdfimages finds it
        b.catalog(1, 2);
        b.pages(2, {3});
        b.page(3, 2, "/Resources << /XObject << /Im1 10 0 R >> >> /Contents 4 0 R");
        b.stream(4, "<< >>", "q 24 0 0 16 0 0 cm /Im1 Do Q");
        std::string dict = "<< /Type /XObject /Subtype /Image /Width 24 /Height 16 /Filter /JPXDecode ";
        if (!c.space.empty()) dict += "/ColorSpace " + c.space + " ";
        b.stream(10, dict + ">>", c.data);
        b.stream(40, "<< /N 3 >>", "not a profile");
        test_doc td(b);
        pixels px = extract(td, 10);
        ASSERT_TRUE(px.ok);
        ASSERT_EQ(W, px.w);
        ASSERT_EQ(H, px.h);
        int wrong = 0;
        for (int i = 0; i < W * H; i++) {
            const auto &e = (*c.pal)[std::min<size_t>((uint8_t)idx[(size_t)i], c.entries - 1)];
            wrong += px.px(i) != rgba_of({e[0], e[1], e[2], 255});
        }
        EXPECT_EQ(0, wrong) << "pixels unlike the palette entry of their index";
        if (!peer) continue;
        int pw = 0, ph = 0;
        std::vector<uint8_t> theirs = pdfimages_rgba(td.path, &pw, &ph);
        EXPECT_EQ(px.rgba, theirs) << "pdfimages -png differs";
    }
    if (!peer) GTEST_SKIP() << "pdfimages (poppler-utils) is missing: not compared with it";
}
