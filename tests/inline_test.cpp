// tests/inline_test.cpp - inline images of content streams: the dictionary written out with full
// names, where the data ends (lengths, the EI search and what confirms it), colour spaces named in
// resources, conversion, and hostile content.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
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
        {"the first colour space counts: a name", "/CS /R8 /CS [/I /G 0 <00>]", "<< >>", 4},
        {"the first colour space counts: an array", "/CS [/I /G 0 <00>] /CS /R8",
         "<< /ColorSpace [/Indexed /DeviceGray 0 <00>] >>", -1},
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
        EXPECT_EQ(c.comps, p.cs.comps);
        EXPECT_EQ(c.indexed, p.cs.indexed);
        EXPECT_EQ(c.entries, p.cs.palette_entries);
        if (c.entries) {
            ASSERT_NE(nullptr, p.cs.palette);
            EXPECT_EQ(0xFF, p.cs.palette[0]);
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

// Content made of one piece repeated 20,000 times: each kind once found its end by reading the
// rest of the content again for every image, minutes for half a megabyte.
TEST(InlineReader, RepeatedHostileImagesReadInLinearTime) {
    struct hcase {
        const char *name, *piece;
        size_t want;  // images found
    } cases[] = {
        {"DCT without its end marker", "BI /W 1 /H 1 /F /DCT ID xx EI Q ", 20000},
        {"ASCII85 without its end", "BI /W 1 /H 1 /F /A85 ID xx EI Q ", 20000},
        {"Flate that never inflates", "BI /W 1 /H 1 /F /Fl ID xx EI Q ", 20000},
        {"no EI anywhere", "BI /W 1 /H 1 /F /Fl ID xx ", 20000},
        {"no ID anywhere", "BI /W 1 /H 1 Q ", 20000},
    };
    res_doc rd;
    for (const hcase &c : cases) {
        SCOPED_TRACE(c.name);
        std::string content;
        for (int i = 0; i < 20000; i++) content += c.piece;
        auto t0 = std::chrono::steady_clock::now();
        std::vector<std::string> got = inline_images(rd, content);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(c.want, got.size());
        EXPECT_LT(s, 10.0);
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
    // Lending is asked for and never given: the content goes away when its walk ends.
    image_receiver to = img_vec_receiver(&list, extract_defer_png | extract_borrow_jpeg);
    int32_t n = inline_content_images(&rd.d, (const uint8_t *)content.data(), (int32_t)content.size(),
                                      &rd.res, 7, &to);
    EXPECT_EQ(list.count, n);
    std::vector<converted> out;
    for (int32_t i = 0; i < list.count; i++) {
        const extracted_image &r = list.items[i];
        EXPECT_EQ(7, r.page);
        EXPECT_EQ(0, r.obj_num);
        EXPECT_EQ(nullptr, r.src);
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

// ---- the whole walk, with real conversions ------------------------------------------------------

struct listed {
    int page, w, h;
    std::string format;
    std::vector<uint8_t> rgba;
    bool operator==(const listed &o) const { return page == o.page && w == o.w && h == o.h; }
};

// Every image of the document at path as collect_all_images hands them over, pixels as RGBA.
static std::vector<listed> walk_file(const std::string &path) {
    std::vector<listed> out;
    pdfcore_doc doc;
    memset(&doc, 0, sizeof doc);
    EXPECT_EQ(1, pdfcore_load(path.c_str(), &doc)) << path;
    img_vec list;
    memset(&list, 0, sizeof list);
    image_receiver to = img_vec_receiver(&list, extract_defer_png);
    EXPECT_EQ(0, collect_all_images(&doc, &to));
    for (int32_t i = 0; i < list.count; i++) {
        const extracted_image &r = list.items[i];
        listed l{r.page, r.width, r.height, r.format, {}};
        for (int64_t k = 0; r.pixels && k < (int64_t)r.width * r.height; k++) {
            if (r.pixels_gray) l.rgba.insert(l.rgba.end(), {r.pixels[k], r.pixels[k], r.pixels[k], 255});
            else l.rgba.insert(l.rgba.end(), r.pixels + 4 * k, r.pixels + 4 * k + 4);
        }
        out.push_back(l);
    }
    img_vec_free(&list);
    pdfcore_doc_free(&doc);
    return out;
}

TEST(InlineWalk, EveryKindOfPlaceWithRealConversions) {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.page(3, 2, "/Resources << /XObject << /Im 10 0 R /F 20 0 R >> /Pattern << /P 50 0 R >> "
                 "/ColorSpace << /Pal [/Indexed /DeviceRGB 1 <FF0000 00FF00>] >> >> /Contents 70 0 R /Annots [30 0 R]");
    b.stream(10, "<< /Subtype /Image /Width 2 /Height 2 /ColorSpace /DeviceGray /BitsPerComponent 8 >>", "abcd");
    b.stream(11, "<< /Subtype /Image /Width 5 /Height 1 /ColorSpace /DeviceGray /BitsPerComponent 8 >>", "abcde");
    b.stream(70, "<< >>", BYTES("q BI /W 3 /H 1 /CS /Pal /BPC 8 ID \x00\x01\x00 EI Q"));
    b.stream(20, "<< /Subtype /Form /Resources << >> >>", "BI /W 4 /H 1 /CS /G ID abcd EI");
    b.obj(30, "<< /Subtype /Widget /AS /On /AP << /N << /On 40 0 R /Off 41 0 R >> >> >>");
    b.stream(40, "<< /Subtype /Form /Resources << /XObject << /I 11 0 R >> >> >>",
             "BI /IM true /W 8 /H 1 ID \xAA EI BI /W 6 /H 1 /CS /G /F /AHx ID 010203040506> EI");
    b.stream(41, "<< /Subtype /Form >>", "BI /W 9 /H 1 /CS /G ID abcdefghi EI");
    b.stream(50, "<< /PatternType 1 /Resources << >> >>", "BI /W 7 /H 1 /CS /G ID abcdefg EI");
    b.xref_table(trailer_opts(1));
    std::string path = b.save_temp("inline_walk");
    std::vector<listed> got = walk_file(path);
    remove(path.c_str());
    std::vector<int> widths;
    for (const listed &l : got) widths.push_back(l.w);
    EXPECT_EQ((std::vector<int>{2, 3, 4, 5, 6, 7}), widths);
    ASSERT_EQ(6u, got.size());
    EXPECT_EQ((std::vector<uint8_t>{255, 0, 0, 255, 0, 255, 0, 255, 255, 0, 0, 255}), got[1].rgba);
}

#ifdef HAVE_ZLIB
// Page content that compresses over 500:1 (one inline image and 100 KB of spaces) is read whole:
// its image is found.
TEST(InlineWalk, WellCompressedContent) {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.page(3, 2, "/Contents 70 0 R");
    std::string content = "BI /W 2 /H 1 /CS /G /BPC 8 ID ab EI" + std::string(100000, ' ');
    ASSERT_LT(zlib_compress(content).size() * 500, content.size());
    b.stream(70, "<< /Filter /FlateDecode >>", zlib_compress(content));
    b.xref_table(trailer_opts(1));
    std::string path = b.save_temp("inline_ratio");
    std::vector<listed> got = walk_file(path);
    remove(path.c_str());
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(2, got[0].w);
}
#endif

// ---- real producers -------------------------------------------------------------------------------

// Pixels of a binary PGM or PPM file as RGBA, with alpha from the PGM alpha_path when given.
static listed netpbm(const std::string &path, const std::string &alpha_path = "") {
    listed l{1, 0, 0, "png", {}};
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) {
        ADD_FAILURE() << "cannot open " << path;
        return l;
    }
    char magic[3] = {0};
    int maxval = 0;
    EXPECT_EQ(4, fscanf(f, "%2s %d %d %d", magic, &l.w, &l.h, &maxval));
    fgetc(f);
    int comps = magic[1] == '6' ? 3 : 1;
    std::vector<uint8_t> raw((size_t)(l.w * l.h * comps));
    EXPECT_EQ(raw.size(), fread(raw.data(), 1, raw.size(), f));
    fclose(f);
    listed a;
    if (!alpha_path.empty()) a = netpbm(alpha_path);
    for (int i = 0; i < l.w * l.h; i++) {
        const uint8_t *p = &raw[(size_t)(i * comps)];
        uint8_t alpha = a.rgba.empty() ? 255 : a.rgba[(size_t)(4 * i)];
        l.rgba.insert(l.rgba.end(), {p[0], p[comps > 1], p[comps > 1 ? 2 : 0], alpha});
    }
    return l;
}

// (page, width, height) of what `pdfimages -list` shows as pictures (images, and stencil masks
// that are XObjects), an image shared by pages once; NULL-like {-1} when pdfimages is missing.
static std::vector<listed> peer_listing(const std::string &path) {
    std::vector<listed> out;
    FILE *p = popen(("pdfimages -list '" + path + "' 2>/dev/null").c_str(), "r");
    if (!p) return {{-1, 0, 0, "", {}}};
    char line[512];
    int lines = 0;
    while (fgets(line, sizeof line, p)) {
        if (++lines <= 2) continue;
        int page = 0, num = 0, w = 0, h = 0;
        char type[32];
        if (sscanf(line, "%d %d %31s %d %d", &page, &num, type, &w, &h) != 5) continue;
        bool is_inline = strstr(line, "[inline]") != nullptr;
        if (!strcmp(type, "image") || (!strcmp(type, "stencil") && !is_inline)) out.push_back({page, w, h, "", {}});
    }
    if (pclose(p) != 0 || lines == 0) return {{-1, 0, 0, "", {}}};
    return out;
}

TEST(InlineProducers, ImagesAsTheirSourcesAndAsPdfimagesLists) {
    const std::string dir = std::string(TEST_SOURCE_DIR) + "/fixtures/inline/";
    struct pcase {
        const char *file;
        std::vector<listed> want;  // in the order the walk hands them over
    } cases[] = {
        // ReportLab: the XObject (colour key as alpha) first, then the inline images.
        {"reportlab_inline.pdf", {netpbm(dir + "rl_keyed.ppm", dir + "rl_keyed.pgm"), netpbm(dir + "rl_rgb.ppm"),
                                  netpbm(dir + "rl_gray.pgm")}},
        // Ghostscript: gray and RGB inline images; its inline stencil mask is no picture.
        {"gs_inline.pdf", {netpbm(dir + "gs_gray.pgm"), netpbm(dir + "gs_rgb.ppm")}},
        // dvips: rules are 1x1 inline stencil masks, glyphs Type3 bitmaps: nothing.
        {"dvips_rules.pdf", {}},
    };
    bool peer = true;
    for (const pcase &c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<listed> got = walk_file(dir + c.file);
        ASSERT_EQ(c.want.size(), got.size());
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(c.want[i].w, got[i].w);
            EXPECT_EQ(c.want[i].h, got[i].h);
            EXPECT_EQ(c.want[i].rgba, got[i].rgba) << "image " << i;
        }
        std::vector<listed> theirs = peer_listing(dir + c.file);
        if (!theirs.empty() && theirs[0].page == -1) {
            peer = false;
            continue;
        }
        // pdfimages lists in drawing order; the walk lists XObjects first: compare as sets.
        auto key = [](const listed &l) { return std::to_string(l.page) + ":" + std::to_string(l.w) + "x" + std::to_string(l.h); };
        std::multiset<std::string> a, b2;
        for (const listed &l : got) a.insert(key(l));
        for (const listed &l : theirs) b2.insert(key(l));
        EXPECT_EQ(b2, a);
    }
    if (!peer) GTEST_SKIP() << "pdfimages (poppler-utils) is missing: listings not compared";
}
