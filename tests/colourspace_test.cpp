// tests/colourspace_test.cpp - colour spaces as images read them: names, arrays, references, ICC
// components, Indexed palettes (strings and streams, through their base), Separation, DeviceN and
// Lab through whole images, against fixtures made by other producers.
#include <cmath>

#include "byte_util.h"
#include "image_util.h"

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
        EXPECT_STREQ(c.cs_name, pd.p.cs.name);
        EXPECT_EQ(c.comps, pd.p.cs.comps);
        EXPECT_EQ(c.indexed, pd.p.cs.indexed);
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
        EXPECT_EQ(1, pd.p.cs.indexed);
        EXPECT_EQ(c.entries, pd.p.cs.palette_entries);
        EXPECT_EQ(c.has_palette, pd.p.cs.palette != nullptr);
        if (pd.p.cs.palette)
            for (size_t i = 0; i < c.first.size(); i++) EXPECT_EQ(c.first[i], pd.p.cs.palette[i]) << i;
    }
}

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
