// tests/jpx_image_test.cpp - JPEG 2000 images in PDF documents: which channels are colour and which
// alpha, the dictionary's colour space or the file's own, against OpenJPEG's tools where they are
// installed.
#include "byte_util.h"
#include "image_util.h"

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
