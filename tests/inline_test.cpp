// tests/inline_test.cpp - inline images of content streams: the dictionary written out with full
// names, where the data ends (lengths, the EI search and what confirms it), colour spaces named in
// resources, conversion, and hostile content.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pdf_builder.h"
#include "pdfcore/pdfcore.h"
#include "pdfextractimg/extract.h"
#include "pdfextractimg/inline.h"

#define BYTES(s) std::string(s, sizeof(s) - 1)

// A document whose object 5 is a resource dictionary with named colour spaces.
struct res_doc {
    pdfcore_doc d{};
    pdfcore_span res{};
    std::string path;
    res_doc() {
        pdf_builder b;
        b.catalog(1, 2);
        b.pages(2, {3});
        b.page(3, 2, "/Resources 5 0 R");
        b.obj(5, "<< /Shading << /Sh << /ColorSpace /DeviceCMYK >> >> /ColorSpace << /Pal [/Indexed "
                 "/DeviceRGB 1 <FF000000FF00>] /Icc 6 0 R /Gray /DeviceGray >> >>");
        b.obj(6, "[/ICCBased 7 0 R]");
        b.stream(7, "<< /N 1 >>", "icc");
        b.xref_table(trailer_opts(1));
        path = b.save_temp("inline");
        EXPECT_EQ(1, pdfcore_load(path.c_str(), &d));
        EXPECT_EQ(1, pdfcore_obj_span(&d, obj_find(&d.objs, 5), &res));
    }
    ~res_doc() {
        pdfcore_doc_free(&d);
        remove(path.c_str());
    }
};

static std::string printable(const std::string &s) {
    std::string out;
    char hex[8];
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F) {
            out += (char)c;
        } else {
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

// Each inline image of content: "WxH data" (" mask" for a stencil mask), or "-" when unusable.
static std::vector<std::string> inline_images(const res_doc &rd, const std::string &content) {
    std::vector<std::string> got;
    inline_reader r;
    inline_reader_init(&r, (const uint8_t *)content.data(), (int32_t)content.size());
    inline_image img;
    image_params p;
    int32_t last = -1;
    while (inline_next(&rd.d, &r, &rd.res, &img, &p)) {
        EXPECT_GT(img.next, last);
        last = img.next;
        if (!img.usable) {
            got.push_back("-");
        } else {
            got.push_back(std::to_string(p.width) + "x" + std::to_string(p.height) + " " +
                          printable(content.substr((size_t)img.data_start,
                                                   (size_t)(img.data_end - img.data_start))) +
                          (p.image_mask ? " mask" : ""));
        }
        image_params_free(&p);
    }
    return got;
}

// A zlib stream of one stored block holding s (no Adler-32 check is made by the inflater).
static std::string stored_zlib(const std::string &s) {
    std::string z = BYTES("\x78\x01\x01");
    z += (char)(s.size() & 0xFF), z += (char)(s.size() >> 8);
    z += (char)(~s.size() & 0xFF), z += (char)((~s.size() >> 8) & 0xFF);
    return z + s + BYTES("\x00\x00\x00\x00");
}

// ---- the dictionary ------------------------------------------------------------------------------

TEST(InlineDict, WrittenOutWithFullNames) {
    struct dcase {
        const char *name, *dict, *want;
        int cs_name;  // position of a resource colour space name, -1: none
    } cases[] = {
        {"abbreviations", "/W 4 /H 2 /BPC 8 /CS /RGB /F [/A85 /Fl] /DP << /Predictor 15 >> /IM false /D [1 0] /I true /L 9",
         "<< /Width 4 /Height 2 /BitsPerComponent 8 /ColorSpace /DeviceRGB /Filter [/ASCII85Decode /FlateDecode] "
         "/DecodeParms << /Predictor 15 >> /ImageMask false /Decode [1 0] /Interpolate true /Length 9 >>", -1},
        {"full names stay", "/Width 1 /ColorSpace /DeviceCMYK /Filter /DCTDecode",
         "<< /Width 1 /ColorSpace /DeviceCMYK /Filter /DCTDecode >>", -1},
        {"every filter abbreviation", "/F [/AHx /A85 /LZW /Fl /RL /CCF /DCT]",
         "<< /Filter [/ASCIIHexDecode /ASCII85Decode /LZWDecode /FlateDecode /RunLengthDecode "
         "/CCITTFaxDecode /DCTDecode] >>", -1},
        {"gray and CMYK", "/CS /G /W 1", "<< /ColorSpace /DeviceGray /Width 1 >>", -1},
        {"Indexed array, names inside written out", "/CS [/I /CMYK 1 <00>]",
         "<< /ColorSpace [/Indexed /DeviceCMYK 1 <00>] >>", -1},
        {"a resource name is left to the caller", "/W 1 /CS /R8 /H 1", "<< /Width 1 /Height 1 >>", 9},
        {"other keys left out", "/W 1 /Foo /Bar /SMask 5 0 R /H 2", "<< /Width 1 /Height 2 >>", -1},
        {"no spaces", "/W 1/H 2/CS/G/F/Fl", "<< /Width 1 /Height 2 /ColorSpace /DeviceGray /Filter /FlateDecode >>", -1},
        {"a key without value ends it", "/W 1 /H", "<< /Width 1 >>", -1},
        {"empty", "", "<< >>", -1},
    };
    for (const dcase &c : cases) {
        SCOPED_TRACE(c.name);
        int32_t n = 0, cs = 0;
        char *t = inline_dict_text((const uint8_t *)c.dict, 0, (int32_t)strlen(c.dict), &n, &cs);
        ASSERT_NE(nullptr, t);
        EXPECT_EQ(std::string(c.want), std::string(t, (size_t)n));
        EXPECT_EQ(c.cs_name, cs);
        free(t);
    }
}

TEST(InlineDict, ColourSpacesNamedInResources) {
    res_doc rd;
    struct ccase {
        const char *name, *cs;
        int comps, indexed, entries;
    } cases[] = {
        {"Indexed resource", "/Pal", 0, 1, 2},
        {"ICC-based resource through a reference", "/Icc", 1, 0, 0},
        {"device name as resource", "/Gray", 1, 0, 0},
        {"not in the resources", "/Nope", 0, 0, 0},
        {"full device name", "/DeviceCMYK", 4, 0, 0},
        {"abbreviation", "/CMYK", 4, 0, 0},
        {"abbreviated Indexed in place", "[/I /G 2 <FF 80 00>]", 0, 1, 3},
    };
    for (const ccase &c : cases) {
        SCOPED_TRACE(c.name);
        std::string content = std::string("BI /W 1 /H 1 /BPC 8 /CS ") + c.cs + " ID a EI";
        inline_reader r;
        inline_reader_init(&r, (const uint8_t *)content.data(), (int32_t)content.size());
        inline_image img;
        image_params p;
        ASSERT_EQ(1, inline_next(&rd.d, &r, &rd.res, &img, &p));
        EXPECT_EQ(c.comps, p.cs_comps);
        EXPECT_EQ(c.indexed, p.indexed);
        EXPECT_EQ(c.entries, p.palette_entries);
        if (c.entries) {
            ASSERT_NE(nullptr, p.palette);
            EXPECT_EQ(0xFF, p.palette[0]);
        }
        image_params_free(&p);
    }
}

// ---- where the data ends -------------------------------------------------------------------------

TEST(InlineReader, FindsImagesAndWhereTheirDataEnds) {
    const std::string flate_q = "q Q q Q q Q q Q";  // reads as content for eight tokens
    std::string five_eis;
    for (int i = 0; i < 5; i++) five_eis += " EI " + flate_q;
    struct rcase {
        const char *name;
        std::string content;
        std::vector<std::string> want;
    } cases[] = {
        {"abbreviated keys", "q BI /W 2 /H 1 /BPC 8 /CS /G ID ab EI Q", {"2x1 ab"}},
        {"full keys", "BI /Width 2 /Height 1 /BitsPerComponent 8 /ColorSpace /DeviceGray ID ab EI", {"2x1 ab"}},
        {"unfiltered: the length from the dimensions, EI in the data",
         "BI /W 4 /H 1 /CS /G ID a EI EI Q", {"4x1 a EI"}},
        {"unfiltered: bits, components and rows", "BI /W 3 /H 2 /BPC 4 /CS /RGB ID 0123456789 EI", {"3x2 0123456789"}},
        {"unfiltered: Indexed is one component", "BI /W 2 /H 2 /CS [/I /RGB 1 <FF0000 00FF00>] ID abcd EI",
         {"2x2 abcd"}},
        {"data right after ID", "BI /W 2 /H 1 /CS /G IDab EI", {"2x1 ab"}},
        {"unfiltered: no EI where the length ends, the next one is taken",
         "BI /W 1 /H 1 /CS /G ID ab EI Q", {"1x1 a"}},
        {"filtered: the EI search", "BI /W 2 /H 1 /CS /G /F /AHx ID 6162> EI Q", {"2x1 6162>"}},
        {"filtered: EI followed by binary is data",
         BYTES("BI /W 2 /H 1 /F /AHx ID 61 EI \x01\x02 62> EI Q"), {"2x1 61 EI \\x01\\x02 62>"}},
        {"filtered: EI followed by a word that is no operator is data",
         "BI /W 2 /H 1 /F /AHx ID 61 EI Qx 62> EI Q", {"2x1 61 EI Qx 62>"}},
        {"ASCIIHex: its '>' must come before the EI",
         "BI /W 2 /H 1 /F /AHx ID 61 EI " + flate_q + " 62> EI Q", {"2x1 61 EI " + flate_q + " 62>"}},
        {"ASCII85: its ~> must come before the EI",
         "BI /W 2 /H 1 /F /A85 ID @: EI " + flate_q + " ~> EI Q", {"2x1 @: EI " + flate_q + " ~>"}},
        {"DCT: the EOI marker must come before the EI",
         BYTES("BI /W 1 /H 1 /F /DCT ID \xFF\xD8 EI ") + flate_q + BYTES(" \xFF\xD9 EI Q"),
         {"1x1 \\xFF\\xD8 EI " + flate_q + " \\xFF\\xD9"}},
        {"Flate: the EI before which the data inflates",
         "BI /W 4 /H 1 /F /Fl ID " + stored_zlib(" EI " + flate_q) + " EI Q",
         {"4x1 " + printable(stored_zlib(" EI " + flate_q))}},
        {"Flate: trials run out, the first plausible EI is taken",
         "BI /W 4 /H 1 /F /Fl ID " + stored_zlib(five_eis) + " EI Q", {"4x1 " + printable(stored_zlib(five_eis).substr(0, 7))}},
        {"/L gives the length", "BI /W 2 /H 1 /F /AHx /L 8 ID 61 EI 62> EI Q", {"2x1 61 EI 62"}},
        {"/Length gives the length", "BI /W 2 /H 1 /F /AHx /Length 3 ID 61> EI", {"2x1 61>"}},
        {"/L past the stream", "BI /W 2 /H 1 /F /AHx /L 99 ID 61> EI", {"-"}},
        {"EI before a delimiter", "BI /W 2 /H 1 /F /AHx ID 6162>\nEI/GS1 gs", {"2x1 6162>"}},
        {"EI at the very end", "BI /W 2 /H 1 /F /AHx ID 6162> EI", {"2x1 6162>"}},
        {"EI inside a word is none", "BI /W 2 /H 1 /F /AHx ID 61 XEI Q 62> EI", {"2x1 61 XEI Q 62>"}},
        {"unknown components: the EI search", "BI /W 2 /H 1 /CS /Foo ID ab EI", {"2x1 ab"}},
        {"stencil masks are found", "BI /IM true /W 8 /H 1 ID a EI", {"8x1 a mask"}},
        {"two in a row", "BI /W 1 /H 1 /CS /G ID a EI BI /W 1 /H 1 /CS /G ID b EI", {"1x1 a", "1x1 b"}},
        {"BI inside a string or a comment is none",
         "(BI /W 1 /H 1 /CS /G ID a EI) Tj % BI /W 1 /H 1 /CS /G ID a EI\n", {}},
        {"BI inside earlier data is none", "BI /W 8 /H 1 /CS /G ID BI /W 1 EI Q", {"8x1 BI /W 1 "}},
        {"no ID: passed over, the next one found", "BI /W 1 /H 1 Q BI /W 1 /H 1 /CS /G ID a EI", {"-", "1x1 a"}},
        {"no ID before the end", "BI /W 1 /H 1", {"-"}},
        {"oversized dictionary", "BI" + std::string(40000, ' ') + "/W 1 /H 1 /CS /G ID a EI", {"-"}},
        {"unfiltered data past the stream", "BI /W 100 /H 100 /CS /G ID abc EI", {"-"}},
        {"absurd size", "BI /W 2000000000 /H 2000000000 /CS /G ID abc EI", {"-"}},
        {"filtered, no EI", "BI /W 1 /H 1 /F /Fl ID xyz", {"-"}},
        {"empty data", "BI /W 1 /H 1 /F /AHx ID EI Q", {"-"}},
    };
    res_doc rd;
    for (const rcase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, inline_images(rd, c.content));
    }
}

TEST(InlineReader, WhatReadsAsContent) {
    struct ccase {
        const char *name;
        std::string text;
        int want;
    } cases[] = {
        {"operators and operands", " Q q 1 0 0 1 5 5 cm /Im1 Do", 1},
        {"nothing left", "   ", 1},
        {"strings hold anything", BYTES(" (\x01\x02\xFF) Tj"), 1},
        {"hex string of digits", " <0A 1b> Tj", 1},
        {"hex string of other bytes", " <0G> Tj", 0},
        {"a word that is no operator", " Q foo", 0},
        {"binary word", BYTES(" \x89PNG"), 0},
        {"name with a control byte", BYTES(" /A\x01 gs"), 0},
        {"stray closing parenthesis", " ) Q", 0},
        {"only the first eight tokens count", " q q q q q q q q junk", 1},
        {"the data of the next inline image is not judged", BYTES(" BI /W 1 ID \x01\x02"), 1},
        {"a word cut by the window is not judged", " " + std::string(300, 'x'), 1},
    };
    for (const ccase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, inline_reads_as_content((const uint8_t *)c.text.data(), (int32_t)c.text.size(), 0));
    }
}

// ---- conversion -----------------------------------------------------------------------------------

struct converted {
    int w, h;
    std::string format;
    std::vector<uint8_t> px;  // gray or RGBA, as the receiver got them
    int gray;
};

static std::vector<converted> convert_all(const res_doc &rd, const std::string &content) {
    img_vec list;
    memset(&list, 0, sizeof list);
    image_receiver to = img_vec_receiver(&list, extract_defer_png);
    EXPECT_EQ(0, inline_content_images(&rd.d, (const uint8_t *)content.data(), (int32_t)content.size(),
                                       &rd.res, 7, &to));
    std::vector<converted> out;
    for (int32_t i = 0; i < list.count; i++) {
        const extracted_image &r = list.items[i];
        EXPECT_EQ(7, r.page);
        EXPECT_EQ(0, r.obj_num);
        converted c{r.width, r.height, r.format, {}, r.pixels_gray};
        size_t n = (size_t)r.width * (size_t)r.height * (r.pixels_gray ? 1u : 4u);
        if (r.pixels) c.px.assign(r.pixels, r.pixels + n);
        else if (r.data) c.px.assign(r.data, r.data + r.data_len);
        out.push_back(c);
    }
    img_vec_free(&list);
    return out;
}

TEST(InlineConvert, AsXObjectImagesAre) {
    res_doc rd;
    struct vcase {
        const char *name;
        std::string content;
        std::vector<uint8_t> px;  // RGBA of the one image
    } cases[] = {
        {"gray, inverted by /D", "BI /W 2 /H 1 /CS /G /D [1 0] ID \x10\xF0 EI", {0xEF, 0xEF, 0xEF, 255, 0x0F, 0x0F, 0x0F, 255}},
        {"RGB through ASCIIHex", "BI /W 1 /H 1 /CS /RGB /F /AHx ID 0A141E> EI", {10, 20, 30, 255}},
        {"Indexed in place", BYTES("BI /W 2 /H 1 /CS [/I /RGB 1 <FF0000 00FF00>] /BPC 8 ID \x01\x00 EI"),
         {0, 255, 0, 255, 255, 0, 0, 255}},
        {"Indexed from the resources", "BI /W 1 /H 1 /CS /Pal /BPC 8 ID \x01 EI", {0, 255, 0, 255}},
        {"Flate with a PNG predictor", "BI /W 2 /H 1 /CS /RGB /F /Fl /DP << /Predictor 15 /Columns 2 /Colors 3 >> ID " +
         stored_zlib(BYTES("\x01\x0A\x14\x1E\x01\x01\x01")) + " EI Q", {10, 20, 30, 255, 11, 21, 31, 255}},
    };
    for (const vcase &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<converted> got = convert_all(rd, c.content);
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ("png", got[0].format);
        std::vector<uint8_t> rgba = got[0].px;
        if (got[0].gray) {
            rgba.clear();
            for (uint8_t g : got[0].px) rgba.insert(rgba.end(), {g, g, g, 255});
        }
        EXPECT_EQ(c.px, rgba);
    }
    // JPEG data is written as stored; stencil masks and unusable images yield nothing.
    std::string jpeg = BYTES("\xFF\xD8\xFF\xC0\x00\x0B\x08\x00\x01\x00\x02\x01\x01\x11\x00\xFF\xD9");
    std::vector<converted> got = convert_all(
        rd, "BI /IM true /W 8 /H 1 ID a EI BI /W 2 /H 1 /CS /G /F /DCT ID " + jpeg + " EI BI /W 1 ID x EI");
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("jpeg", got[0].format);
    EXPECT_EQ(jpeg, std::string(got[0].px.begin(), got[0].px.end()));
}

// Every prefix and every one-byte change of a content stream with several kinds of inline image:
// the reader stays in bounds and always moves on.
TEST(InlineReader, MutatedContentStaysInBounds) {
    res_doc rd;
    const std::string base = "q BI /W 2 /H 1 /CS /G ID ab EI Q BI /W 2 /H 1 /F /AHx /CS [/I /RGB 1 <FF0000 00FF00>] "
                             "ID 0100> EI BI /W 4 /H 1 /F /Fl ID " + stored_zlib("abcd") +
                             " EI (BI) Tj BI /CS /Pal /W 1 /H 1 /L 1 ID \x01 EI";
    const uint8_t flips[] = {'E', 'I', ' ', '>', '\0', 0xFF};
    size_t images = 0;
    for (size_t i = 0; i <= base.size(); i++) {
        for (size_t k = 0; k <= sizeof flips; k++) {
            std::string m = k < sizeof flips && i < base.size() ? base : base.substr(0, i);
            if (k < sizeof flips && i < base.size()) m[i] = (char)flips[k];
            // An exact-size heap copy, so a read past the end is caught by the sanitizers.
            std::vector<uint8_t> heap(m.begin(), m.end());
            img_vec list;
            memset(&list, 0, sizeof list);
            image_receiver to = img_vec_receiver(&list, extract_no_png);
            inline_content_images(&rd.d, heap.data(), (int32_t)heap.size(), &rd.res, 1, &to);
            images += (size_t)list.count;
            img_vec_free(&list);
            if (k == sizeof flips || i == base.size()) break;
        }
    }
    EXPECT_GT(images, 0u);
}
