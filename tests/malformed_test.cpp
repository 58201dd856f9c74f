// tests/malformed_test.cpp - hostile documents through the whole path: every prefix of sample
// files, single-byte flips and deletions, huge and negative sizes and counts, deep nesting and
// cycles wherever the library walks or loops, and decompression bombs that must be refused by
// their buffer limits. Each run has to end with a result, an error text or skipped images.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "codec/flate.h"
#include "codec/inflate.h"
#include "include/pdfextractimg.h"
#include "pdf_builder.h"
#include "pdfcore/pdfcore.h"
#include "codec/ascii.h"
#include "pdfextractimg/extract.h"

// ---- running one document ---------------------------------------------------------------------

// One temporary file per process, rewritten for every run.
static const std::string &scratch_path() {
    static const std::string path = pdf_temp_path("malformed");
    return path;
}

// Loads bytes with the core, collects and converts every image (unless convert is false: then
// 0 for a loaded document), reads every page's content and resources. Returns the number of
// images, or -1 when the load failed (which must leave a message). Records are checked for
// being whole.
static int run_core(const std::string &bytes, bool convert = true, int32_t flags = 0) {
    const std::string &path = scratch_path();
    if (!write_file(path, bytes)) {
        ADD_FAILURE() << "cannot write " << path;
        return -2;
    }
    pdfcore_doc doc;
    memset(&doc, 0, sizeof doc);
    int result = -1;
    if (pdfcore_load(path.c_str(), &doc) == 1) {
        img_vec list;
        memset(&list, 0, sizeof list);
        image_receiver to = img_vec_receiver(&list, flags);
        if (convert) collect_all_images(&doc, &to);
        result = list.count;
        for (int32_t i = 0; i < list.count && !(flags & extract_no_png); i++) {
            const extracted_image &r = list.items[i];
            EXPECT_TRUE(r.data && r.size == r.data_len && r.size > 0) << "record " << i;
        }
        img_vec_free(&list);
        for (int32_t i = 0; i < doc.pages.count && i < 8; i++) {
            const uint8_t *content = nullptr;
            int32_t length = 0;
            if (pdfcore_page_content(&doc, i, &content, &length) == 1) free((void *)content);
            free(pdfcore_page_resources(&doc, i));
        }
    } else {
        EXPECT_STRNE("", pdfcore_last_error(&doc));
    }
    pdfcore_doc_free(&doc);
    return result;
}

// The same bytes through the entry points: count and listing agree, failures leave a message.
static int run_entry_points(const std::string &bytes) {
    const std::string &path = scratch_path();
    if (!write_file(path, bytes)) return -2;
    int n = pdfextractimg_count(path.c_str());
    if (n < 0) EXPECT_STRNE("", pdfextractimg_last_error());
    const char *json = pdfextractimg_info(path.c_str());
    EXPECT_EQ(n < 0, json == nullptr);
    if (json) {
        int elems = 0;
        for (const char *p = json; *p; p++) elems += *p == '{';
        EXPECT_EQ(n, elems) << json;
    }
    pdfextractimg_cleanup();
    return n;
}

static double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// ---- sample documents -------------------------------------------------------------------------

static std::string noise(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        s[i] = (char)(seed >> 16);
    }
    return s;
}

static std::string image_dict(int w, int h, const std::string &cs, int bpc, const std::string &rest) {
    return "<< /Type /XObject /Subtype /Image /Width " + std::to_string(w) + " /Height " +
           std::to_string(h) + " /ColorSpace " + cs + " /BitsPerComponent " + std::to_string(bpc) +
           " " + rest + " >>";
}

// Two pages, a Flate image with PNG predictors and a soft mask, an Indexed image in a form, an
// object stream holding the page tree, and a cross-reference stream: small, but every reader runs.
static std::string small_doc() {
    pdf_builder b("1.5");
    b.objstm(20, {{1, "<< /Type /Catalog /Pages 2 0 R >>"},
                  {2, "<< /Type /Pages /Kids [3 0 R 5 0 R] /Count 2 /Resources << /XObject << /Im0 10 0 R >> >> >>"},
                  {3, "<< /Type /Page /Parent 2 0 R /Contents 4 0 R >>"},
                  {5, "<< /Type /Page /Parent 2 0 R /Resources << /XObject << /Fm0 6 0 R >> >> /Contents [4 0 R 4 0 R] >>"}},
             false);
    b.stream(4, "<< /Filter /FlateDecode >>", zlib_of("q /Im0 Do Q"));
    b.stream(6, "<< /Type /XObject /Subtype /Form /Resources << /XObject << /Im1 11 0 R >> >> >>", "/Im1 Do");
    std::string rows;
    std::string px = noise(4 * 3 * 3, 7);
    for (int y = 0; y < 3; y++) rows += (char)(y % 5) + px.substr((size_t)y * 12, 12);
    b.stream(10, image_dict(4, 3, "/DeviceRGB", 8,
                            "/SMask 12 0 R /Filter /FlateDecode /DecodeParms << /Predictor 15 /Colors 3 /Columns 4 >>"),
             zlib_of(rows));
    b.stream(11, image_dict(6, 2, "[/Indexed /DeviceRGB 3 <FF0000 00FF00 0000FF FFFFFF>]", 2, "/Filter /ASCIIHexDecode"),
             "1B E4 >");
    b.stream(12, image_dict(4, 3, "/DeviceGray", 8, ""), noise(12, 9));
    b.xref_stream(30, trailer_opts(1));
    return b.bytes();
}

// One page with a classic table: a gray image, a 1-bit LZW-free stencil mask in ASCII85 and a JPEG.
static std::string classic_doc() {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.page(3, 2, "/MediaBox [0 0 10 10] /Resources << /XObject << /A 10 0 R /B 11 0 R /C 12 0 R >> >> /Contents 4 0 R");
    b.stream(4, "<< >>", "/A Do /B Do /C Do", slen::ref(5));
    b.stream(10, image_dict(5, 5, "/DeviceGray", 8, "/Filter /FlateDecode"), zlib_of(noise(25, 3)));
    b.stream(11, "<< /Subtype /Image /Width 8 /Height 2 /ImageMask true /Filter /A85 >>", "s8W-!~>");
    b.stream(12, image_dict(8, 8, "/DeviceRGB", 8, "/Filter /DCTDecode"), std::string("\xFF\xD8\xFF\xE0\0\x04xx\xFF\xD9", 10));
    b.xref_table(trailer_opts(1));
    return b.bytes();
}

static std::string sample_pdf() { return read_file(std::string(TEST_SOURCE_DIR) + "/../examples/sample.pdf"); }

struct named_doc {
    const char *name;
    std::string bytes;
    int images;  // what the intact document gives
};

static std::vector<named_doc> sample_docs() {
    return {{"small", small_doc(), 2}, {"classic", classic_doc(), 3}, {"sample.pdf", sample_pdf(), -1}};
}

TEST(Malformed, IntactSamplesConvert) {
    for (const named_doc &d : sample_docs()) {
        SCOPED_TRACE(d.name);
        ASSERT_FALSE(d.bytes.empty());
        int n = run_entry_points(d.bytes);
        EXPECT_GT(n, 0);
        if (d.images >= 0) EXPECT_EQ(d.images, n);
        EXPECT_EQ(n, run_core(d.bytes));
    }
}

// ---- truncation, flips, deletions -------------------------------------------------------------

// Every prefix: a load error or at most the images of the whole file. Over the large sample,
// every prefix is loaded and its pages read, and every 32nd also has its images converted.
TEST(Malformed, EveryPrefix) {
    for (const named_doc &d : sample_docs()) {
        SCOPED_TRACE(d.name);
        int whole = run_core(d.bytes);
        ASSERT_GT(whole, 0);
        int loaded = 0;
        bool large = d.bytes.size() > 8000;
        for (size_t len = 0; len < d.bytes.size(); len++) {
            int n = run_core(d.bytes.substr(0, len), !large || len % 32 == 0);
            ASSERT_GE(n, -1) << "prefix " << len;
            ASSERT_LE(n, whole) << "prefix " << len;
            loaded += n >= 0;
        }
        EXPECT_GT(loaded, 0);  // the sweep reached documents that load
    }
}

// Single-byte changes at every offset of the small files and at every 13th of sample.pdf, each
// offset getting one of: the byte inverted, the byte set to a delimiter, the byte deleted.
TEST(Malformed, ByteFlipsAndDeletions) {
    for (const named_doc &d : sample_docs()) {
        SCOPED_TRACE(d.name);
        size_t stride = d.bytes.size() > 8000 ? 13 : 1;
        for (size_t i = 0; i < d.bytes.size(); i += stride) {
            std::string m = d.bytes;
            switch (i / stride % 3) {
            case 0: m[i] = (char)~m[i]; break;
            case 1: m[i] = "<>[]()/ 0"[i % 9]; break;
            default: m.erase(i, 1); break;
            }
            ASSERT_GE(run_core(m), -1) << "change " << i / stride % 3 << " at " << i;
        }
    }
}

// ---- huge and negative sizes and counts --------------------------------------------------------

struct build_case {
    const char *name;
    std::function<void(pdf_builder &)> add;  // objects 10 and up; page 3 shows /Im0 = 10 0 R
    std::string page_extra;
    std::string trailer_extra;
};

static std::string page_doc(const build_case &c) {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.page(3, 2, c.page_extra + " /Resources << /XObject << /Im0 10 0 R >> >> /Contents 4 0 R");
    b.stream(4, "<< >>", "/Im0 Do");
    c.add(b);
    trailer_opts t(1);
    t.extra = c.trailer_extra;
    b.xref_table(t);
    return b.bytes();
}

static std::function<void(pdf_builder &)> image(const std::string &dict, const std::string &data) {
    return [dict, data](pdf_builder &b) { b.stream(10, dict, data); };
}

TEST(Malformed, HugeAndNegativeNumbers) {
    const std::string gray4 = noise(16, 5);
    const std::string img = "<< /Subtype /Image /ColorSpace /DeviceGray /BitsPerComponent 8 ";
    const std::vector<build_case> cases = {
        {"width and height at int max", image(img + "/Width 2147483647 /Height 2147483647 >>", gray4)},
        {"width times height past 2^32", image(img + "/Width 65537 /Height 65537 >>", gray4)},
        {"width past int range", image(img + "/Width 99999999999 /Height 4 >>", gray4)},
        {"negative width", image(img + "/Width -4 /Height 4 >>", gray4)},
        {"zero height", image(img + "/Width 4 /Height 0 >>", gray4)},
        {"int min width", image(img + "/Width -2147483648 /Height -1 >>", gray4)},
        {"huge bpc", image("<< /Subtype /Image /Width 4 /Height 4 /BitsPerComponent 2147483647 >>", gray4)},
        {"negative bpc", image("<< /Subtype /Image /Width 4 /Height 4 /BitsPerComponent -8 >>", gray4)},
        {"bpc 3 and 32", image("<< /Subtype /Image /Width 4 /Height 4 /BitsPerComponent 32 /Decode [0 1 0 1 0 1] >>", gray4)},
        {"length int max", image(img + "/Width 4 /Height 4 /Length 2147483647 >>", gray4)},
        {"length negative", [&](pdf_builder &b) { b.stream(10, img + "/Width 4 /Height 4 >>", gray4, slen::value_of(-16)); }},
        {"length past int range", [&](pdf_builder &b) { b.stream(10, img + "/Width 4 /Height 4 >>", gray4, slen::value_of(99999999999L)); }},
        {"length ref to a huge number", [&](pdf_builder &b) {
             b.stream(10, img + "/Width 4 /Height 4 >>", gray4, slen::ref(11, false));
             b.obj(11, "2147483647");
         }},
        {"predictor columns colors huge", image(img + "/Width 4 /Height 4 /Filter /FlateDecode /DecodeParms << /Predictor 15 /Colors 2147483647 /Columns 2147483647 /BitsPerComponent 16 >> >>",
                                                zlib_of(gray4))},
        {"predictor negative", image(img + "/Width 4 /Height 4 /DecodeParms << /Predictor -15 /Colors -3 /Columns -4 >> >>", gray4)},
        {"tiff predictor huge columns", image(img + "/Width 4 /Height 4 /DecodeParms << /Predictor 2 /Columns 1073741824 /Colors 4 /BitsPerComponent 16 >> >>", gray4)},
        {"indexed hival int max", image("<< /Subtype /Image /Width 4 /Height 4 /BitsPerComponent 8 /ColorSpace [/Indexed /DeviceRGB 2147483647 <FF00FF>] >>", gray4)},
        {"indexed hival negative", image("<< /Subtype /Image /Width 4 /Height 4 /BitsPerComponent 8 /ColorSpace [/Indexed /DeviceRGB -1 <FF00FF>] >>", gray4)},
        {"indexed palette past the file", image("<< /Subtype /Image /Width 4 /Height 4 /BitsPerComponent 8 /ColorSpace [/Indexed /DeviceRGB 255 (abc] >>", gray4)},
        {"decode array of 10000 numbers", image(img + "/Width 4 /Height 4 /Decode [" + [] {
             std::string s;
             for (int i = 0; i < 10000; i++) s += "1 0 ";
             return s;
         }() + "] >>", gray4)},
        {"filter array of 1000 names", image(img + "/Width 4 /Height 4 /Filter [" + [] {
             std::string s;
             for (int i = 0; i < 1000; i++) s += "/AHx ";
             return s;
         }() + "] >>", "00>")},
        {"smask with huge size", [&](pdf_builder &b) {
             b.stream(10, img + "/Width 4 /Height 4 /SMask 11 0 R >>", gray4);
             b.stream(11, img + "/Width 2147483647 /Height 2147483647 >>", gray4);
         }},
        {"smask number past int range", image(img + "/Width 4 /Height 4 /SMask 99999999999 0 R >>", gray4)},
        {"objstm n and first huge", [&](pdf_builder &b) {
             b.stream(10, "<< /Type /ObjStm /N 2147483647 /First 2147483647 >>", "11 0 12 5 <<>> <<>>");
             b.stream(11, "<< /Type /ObjStm /N -5 /First -1 >>", "11 0 <<>>");
             b.stream(12, "<< /Type /ObjStm /N 100000 /First 4 >>", "1 0 999999999 2147483647 <<>>");
         }},
        {"objstm offsets negative and past the end", [&](pdf_builder &b) {
             b.stream(10, "<< /Type /ObjStm /N 3 /First 24 >>", "13 -5 14 2147483647 15 9 << /A 1 >>");
         }},
        {"objstm object numbers huge", [&](pdf_builder &b) {
             b.stream(10, "<< /Type /ObjStm /N 2 /First 27 >>", "2147483647 0 8388608 3      <<>> <<>>");
         }},
        {"object numbers huge", [&](pdf_builder &b) {
             b.raw("2147483647 0 obj << /Type /Page >> endobj\n99999999999 0 obj << >> endobj\n8388607 65535 obj [] endobj\n");
             b.stream(10, img + "/Width 4 /Height 4 >>", gray4);
         }},
        {"count and kids huge", [&](pdf_builder &b) {
             b.raw("5 0 obj << /Type /Pages /Count 2147483647 /Kids [2147483647 0 R -1 0 R 0 0 R] >> endobj\n");
             b.stream(10, img + "/Width 4 /Height 4 >>", gray4);
         }, "/Kids [5 0 R]"},
        {"rotate and boxes huge", image(img + "/Width 4 /Height 4 >>", gray4),
         "/Rotate -2147483648 /MediaBox [-1e308 -99999999999 1e308 2147483648] /CropBox [0 0 -5 -5]"},
        {"trailer size prev huge", image(img + "/Width 4 /Height 4 >>", gray4), "",
         "/Prev 2147483647 /XRefStm -1 /Size -2147483648"},
        {"xref stream widths and index huge", [&](pdf_builder &b) {
             b.stream(10, img + "/Width 4 /Height 4 >>", gray4);
             b.stream(11, "<< /Type /XRef /W [2147483647 -1 99999999999] /Index [0 2147483647 -5 3] /Size 2147483647 /Root 1 0 R /Prev 999999999 >>", "\x01\x02\x03");
         }},
        {"xref subsection counts huge", [&](pdf_builder &b) {
             b.stream(10, img + "/Width 4 /Height 4 >>", gray4);
             b.raw("xref\n0 2147483647\n0000000000 65535 f\r\n2147483640 99999999999\n0000000009 00000 n\r\n"
                   "-5 -5\ntrailer\n<< /Root 1 0 R /Size 99999999999 >>\nstartxref\n-1\n%%EOF\n");
         }},
    };
    for (const build_case &c : cases) {
        SCOPED_TRACE(c.name);
        auto t0 = std::chrono::steady_clock::now();
        std::string doc = page_doc(c);
        EXPECT_GE(run_core(doc), -1);
        EXPECT_GE(run_entry_points(doc), -1);
        EXPECT_LT(seconds_since(t0), 20.0);
    }
}

// ---- deep nesting and cycles --------------------------------------------------------------------

static std::string repeat(const std::string &s, int n) {
    std::string out;
    out.reserve(s.size() * (size_t)n);
    for (int i = 0; i < n; i++) out += s;
    return out;
}

TEST(Malformed, DeepNestingAndCycles) {
    const int deep = 100000;
    const std::string gray4 = noise(16, 5);
    const std::string img = "<< /Subtype /Image /Width 4 /Height 4 /ColorSpace /DeviceGray /BitsPerComponent 8 ";
    const std::vector<build_case> cases = {
        {"dictionaries nested in the image dictionary",
         image(img + repeat("/A << ", deep) + repeat(">> ", deep) + ">>", gray4)},
        {"unclosed dictionaries in the image dictionary", image(img + repeat("<< ", deep), gray4)},
        {"arrays nested in the filter", image(img + "/Filter " + repeat("[", deep) + "/AHx" + repeat("]", deep) + " >>", "00>")},
        {"arrays nested in the colour space", image("<< /Subtype /Image /Width 4 /Height 4 /ColorSpace " +
                                                        repeat("[/Indexed ", deep) + "/DeviceRGB 1 <00>" + repeat("]", deep) + " >>", gray4)},
        {"strings nested in the page", image(img + ">>", gray4), "/X " + repeat("(", deep) + repeat(")", deep)},
        {"dictionaries nested in the page", image(img + ">>", gray4), repeat("/R << ", deep) + repeat(">> ", deep)},
        {"arrays nested in the media box", image(img + ">>", gray4), "/MediaBox " + repeat("[", deep) + repeat("]", deep)},
        {"page tree chain of 20000 nodes", [&](pdf_builder &b) {
             b.stream(10, img + ">>", gray4);
             for (int i = 0; i < 20000; i++)
                 b.obj(100 + i, "<< /Type /Pages /Kids [" + std::to_string(i == 19999 ? 3 : 101 + i) + " 0 R] /Count 1 >>");
         }, "", ""},
        {"page tree cycle", [&](pdf_builder &b) {
             b.stream(10, img + ">>", gray4);
             b.obj(5, "<< /Type /Pages /Kids [6 0 R 3 0 R] >>");
             b.obj(6, "<< /Type /Pages /Kids [5 0 R] >>");
         }, "/Parent 5 0 R"},
        {"parent chain of 10000 without resources", [&](pdf_builder &b) {
             b.stream(10, img + ">>", gray4);
             for (int i = 0; i < 10000; i++)
                 b.obj(100 + i, "<< /Type /Pages /Parent " + std::to_string(101 + i) + " 0 R >>");
         }, "/Parent 100 0 R"},
        {"parent cycle", [&](pdf_builder &b) {
             b.stream(10, img + ">>", gray4);
             b.obj(5, "<< /Type /Pages /Parent 6 0 R >>");
             b.obj(6, "<< /Type /Pages /Parent 5 0 R >>");
         }, "/Parent 5 0 R"},
        {"forms nested 10000 deep", [&](pdf_builder &b) {
             for (int i = 0; i < 10000; i++)
                 b.stream(10 + i, "<< /Subtype /Form /Resources << /XObject << /F " + std::to_string(11 + i) + " 0 R >> >> >>", "/F Do");
         }},
        {"forms drawing each other", [&](pdf_builder &b) {
             b.stream(10, "<< /Subtype /Form /Resources << /XObject << /F 11 0 R /G 10 0 R >> >> >>", "/F Do");
             b.stream(11, "<< /Subtype /Form /Resources << /XObject << /F 10 0 R /I 12 0 R >> >> >>", "/F Do");
             b.stream(12, img + ">>", gray4);
         }},
        {"resources references in a ring", [&](pdf_builder &b) {
             b.stream(10, "<< /Subtype /Form /Resources 11 0 R >>", "");
             b.obj(11, "12 0 R");
             b.obj(12, "11 0 R");
         }, "/Resources 11 0 R"},
        {"xobject dictionary of 20000 entries", [&](pdf_builder &b) {
             std::string entries;
             for (int i = 0; i < 20000; i++) entries += "/I" + std::to_string(i) + " 11 0 R ";
             b.stream(10, "<< /Subtype /Form /Resources << /XObject << " + entries + " >> >> >>", "");
             b.stream(11, img + ">>", gray4);
         }},
        {"length references in a chain", [&](pdf_builder &b) {
             b.stream(10, img + ">>", gray4, slen::ref(11, false));
             for (int i = 0; i < 1000; i++) b.obj(11 + i, std::to_string(12 + i) + " 0 R");
         }},
        {"filter and parms references in a ring", [&](pdf_builder &b) {
             b.stream(10, img + "/Filter 11 0 R /DecodeParms 12 0 R >>", gray4);
             b.obj(11, "11 0 R");
             b.obj(12, "13 0 R");
             b.obj(13, "12 0 R");
         }},
        {"colour space references in a ring", [&](pdf_builder &b) {
             b.stream(10, "<< /Subtype /Image /Width 4 /Height 4 /BitsPerComponent 8 /ColorSpace 11 0 R >>", gray4);
             b.obj(11, "[/Indexed 12 0 R 1 13 0 R]");
             b.obj(12, "11 0 R");
             b.obj(13, "13 0 R");
         }},
        {"soft masks in a ring", [&](pdf_builder &b) {
             b.stream(10, img + "/SMask 11 0 R >>", gray4);
             b.stream(11, img + "/SMask 10 0 R >>", gray4);
         }},
        {"object stream inside object stream", [&](pdf_builder &b) {
             b.stream(10, img + ">>", gray4);
             std::string inner = "12 0 << /Type /ObjStm /N 1 /First 5 >> ";
             b.stream(11, "<< /Type /ObjStm /N 1 /First 5 >>", "12 0 " + inner);
         }},
        {"100000 object headers", [&](pdf_builder &b) {
             b.stream(10, img + ">>", gray4);
             b.raw(repeat("9 0 obj ", deep));
         }},
        {"100000 stream keywords", [&](pdf_builder &b) {
             b.stream(10, img + ">>", gray4);
             b.raw("11 0 obj << /Length 5 >> " + repeat("stream\n", deep));
         }},
        {"100000 trailers", image(img + ">>", gray4), "", "/Prev 0 " + repeat(" trailer << /Root 1 0 R /Prev 0 >> startxref 0 ", 20000)},
    };
    for (const build_case &c : cases) {
        SCOPED_TRACE(c.name);
        auto t0 = std::chrono::steady_clock::now();
        std::string doc = page_doc(c);
        EXPECT_GE(run_core(doc), -1);
        EXPECT_GE(run_entry_points(doc), -1);
        EXPECT_LT(seconds_since(t0), 20.0);
    }
}

// ---- decompression bombs ------------------------------------------------------------------------

// A zlib stream of one dynamic block that inflates to 1 + 258 * matches zero bytes, three bits per
// 258 bytes: literal 0 (code 0), then matches of length 258 (code 11) at distance 1 (code 0), end
// of block (code 10). The header's code lengths: literal 0: 1, 256 and 285: 2; distances 0, 1: 1.
static std::string zero_bomb(uint64_t matches) {
    std::string out = "\x78\x01";
    uint64_t acc = 0;
    int n = 0;
    auto bits = [&](uint32_t v, int count) {  // least significant bit first
        acc |= (uint64_t)v << n;
        n += count;
        while (n >= 8) {
            out += (char)(acc & 0xFF);
            acc >>= 8;
            n -= 8;
        }
    };
    auto code = [&](uint32_t c, int count) {  // Huffman codes: first bit first
        for (int i = count - 1; i >= 0; i--) bits((c >> i) & 1, 1);
    };
    bits(1, 1);   // BFINAL
    bits(2, 2);   // dynamic
    bits(29, 5);  // HLIT: 286 codes
    bits(1, 5);   // HDIST: 2 codes
    bits(14, 4);  // HCLEN: 18 code length codes
    // Order 16 17 18 0 8 7 9 6 10 5 11 4 12 3 13 2 14 1: symbols 18, 0, 2, 1 get 2 bits.
    const int cl[18] = {0, 0, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2};
    for (int v : cl) bits((uint32_t)v, 3);
    // Canonical code length codes: 0 -> 00, 1 -> 01, 2 -> 10, 18 -> 11.
    auto zeros = [&](int k) {  // 11..138 zero lengths
        code(3, 2);
        bits((uint32_t)(k - 11), 7);
    };
    code(1, 2);               // literal 0: length 1
    zeros(138), zeros(117);   // 1..255
    code(2, 2);               // 256: length 2
    zeros(28);                // 257..284
    code(2, 2);               // 285: length 2
    code(1, 2), code(1, 2);   // distance codes 0 and 1: length 1
    code(0, 1);               // literal 0
    for (uint64_t i = 0; i < matches; i++) {
        code(3, 2);  // length 258
        code(0, 1);  // distance 1
    }
    code(2, 2);  // end of block
    if (n > 0) out += (char)(acc & 0xFF);
    return out + std::string("\0\0\0\0", 4);  // Adler-32 not checked
}

// A zlib stream that inflates to 2 + 258 * matches bytes of RunLength data "\x81\x00" repeated
// (each pair: 128 zero bytes), 64 times as long again once run-length decoded. Literals 0x00 and
// 0x81, 256 and 285 have 2-bit codes; matches of 258 bytes at distance 2 (distance code 1).
static std::string runlength_bomb(uint64_t matches) {
    std::string out = "\x78\x01";
    uint64_t acc = 0;
    int n = 0;
    auto bits = [&](uint32_t v, int count) {
        acc |= (uint64_t)v << n;
        n += count;
        while (n >= 8) {
            out += (char)(acc & 0xFF);
            acc >>= 8;
            n -= 8;
        }
    };
    auto code = [&](uint32_t c, int count) {
        for (int i = count - 1; i >= 0; i--) bits((c >> i) & 1, 1);
    };
    bits(1, 1), bits(2, 2), bits(29, 5), bits(1, 5), bits(14, 4);
    const int cl[18] = {0, 0, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2};
    for (int v : cl) bits((uint32_t)v, 3);
    auto zeros = [&](int k) {
        code(3, 2);
        bits((uint32_t)(k - 11), 7);
    };
    code(2, 2);              // 0x00: 2
    zeros(128);              // 1..128
    code(2, 2);              // 0x81: 2
    zeros(126);              // 130..255
    code(2, 2);              // 256: 2
    zeros(28);               // 257..284
    code(2, 2);              // 285: 2
    code(1, 2), code(1, 2);  // distance codes 0 and 1: 1
    code(1, 2), code(0, 2);  // literals 0x81 (01), 0x00 (00)
    for (uint64_t i = 0; i < matches; i++) {
        code(3, 2);  // length 258
        code(1, 1);  // distance 2
    }
    code(2, 2);
    if (n > 0) out += (char)(acc & 0xFF);
    return out + std::string("\0\0\0\0", 4);
}

static const uint64_t gib = (uint64_t)1 << 30;
static const uint64_t mib = (uint64_t)1 << 20;

// Peak resident memory of this process since the last reset, in bytes (Linux: VmHWM, reset by
// writing 5 to clear_refs); 0 when unknown.
// Peaks are the library's only without AddressSanitizer, whose quarantine keeps freed blocks (a
// buffer grown by realloc counts several times over).
#if defined(__SANITIZE_ADDRESS__)
#define MALFORMED_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MALFORMED_TEST_ASAN 1
#endif
#endif

static bool reset_peak() {
#ifdef MALFORMED_TEST_ASAN
    return false;
#endif
    FILE *f = fopen("/proc/self/clear_refs", "w");
    if (!f) return false;
    bool ok = fputs("5", f) >= 0;
    return fclose(f) == 0 && ok;
}
static uint64_t peak_bytes() {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    uint64_t kb = 0;
    while (fgets(line, sizeof line, f))
        if (strncmp(line, "VmHWM:", 6) == 0) kb = strtoull(line + 6, nullptr, 10);
    fclose(f);
    return kb * 1024;
}

static uint64_t resident_bytes() {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    uint64_t kb = 0;
    while (fgets(line, sizeof line, f))
        if (strncmp(line, "VmRSS:", 6) == 0) kb = strtoull(line + 6, nullptr, 10);
    fclose(f);
    return kb * 1024;
}

TEST(Malformed, BombsInflateAsWritten) {
    std::string z = zero_bomb(1000);
    std::vector<uint8_t> out(1 + 258 * 1000);
    uint64_t n = 0;
    ASSERT_EQ(0, inflate_decompress((const uint8_t *)z.data(), z.size(), out.data(), out.size(), &n));
    EXPECT_EQ(out.size(), n);
    EXPECT_EQ(std::vector<uint8_t>(out.size(), 0), out);
    EXPECT_EQ(-1, inflate_decompress((const uint8_t *)z.data(), z.size(), out.data(), out.size() - 1, &n));

    std::string r = runlength_bomb(1000);
    std::vector<uint8_t> pairs(2 + 258 * 1000);
    ASSERT_EQ(0, inflate_decompress((const uint8_t *)r.data(), r.size(), pairs.data(), pairs.size(), &n));
    EXPECT_EQ(pairs.size(), n);
    for (size_t i = 0; i < pairs.size(); i++) ASSERT_EQ(i % 2 ? 0x00 : 0x81, pairs[i]) << i;
    uint64_t rl_len = 0;
    uint8_t *rl = decode_runlength(pairs.data(), pairs.size(), &rl_len);
    ASSERT_TRUE(rl);
    EXPECT_EQ(pairs.size() / 2 * 128, rl_len);
    free(rl);
}

// RunLength stops at its output limit instead of allocating what the data asks for.
TEST(Malformed, ExpandingAsciiFiltersStopAtTheirLimit) {
    // RunLength: 2 input bytes give 128; 2^24 pairs ask for 2 GiB.
    std::string pairs = repeat(std::string("\x81\x00", 2), 1 << 24);
    uint64_t n = 77;
    EXPECT_EQ(nullptr, decode_runlength((const uint8_t *)pairs.data(), pairs.size(), &n));
    EXPECT_EQ(77u, n);
    // A short piece of the same data decodes as before.
    uint8_t *ok = decode_runlength((const uint8_t *)pairs.data(), 2 * 1024, &n);
    ASSERT_TRUE(ok);
    EXPECT_EQ(1024u * 128u, n);
    free(ok);
}

// Streams that inflate to 2 GiB, in every place the library inflates: each is read as far as its
// limit (an image takes the bytes it can use, which makes it; content reads up to its cap; an
// object stream or an inner stage past its cap is refused), and the memory taken stays within the
// limits the README states. Images are converted as far as their pixels.
TEST(Malformed, DecompressionBombsAreRefused) {
    const uint64_t matches = 2 * gib / 258;  // 2 GiB of zeros from 3 MiB
    const std::string bomb = zero_bomb(matches);
    const std::string nested = zlib_of(bomb);  // a few KiB
    ASSERT_FALSE(nested.empty());
    ASSERT_LT(nested.size(), 64u * 1024u);
    const std::string img = "<< /Subtype /Image /ColorSpace /DeviceGray /BitsPerComponent 8 ";
    struct bomb_case {
        build_case c;
        uint64_t peak_limit;  // growth of the peak resident size allowed
        int images;           // images the document gives
    };
    const std::vector<bomb_case> cases = {
        {{"image stream", image(img + "/Width 4 /Height 4 /Filter /FlateDecode >>", bomb)}, 64 * mib, 1},
        {{"nested image stream", image(img + "/Width 4 /Height 4 /Filter [/FlateDecode /FlateDecode] >>", nested)},
         64 * mib, 1},
        // The image's own size allows 256 MiB of samples (8192 x 8192 at four components): the
        // last stage stops there, and the image's pixels (256 MiB of RGBA) are made from them.
        {{"nested stream of a large image", image(img + "/Width 8192 /Height 8192 /Filter [/Fl /Fl] >>", nested)},
         512 * mib + 64 * mib, 1},
        // 32 MiB of RunLength pairs pass through the inner Flate stage; their 2 GiB of output
        // passes the RunLength decoder's limit and is refused before anything is allocated.
        {{"run-length stage after flate", image(img + "/Width 4096 /Height 4096 /Filter [/Fl /RL] >>",
                                                 runlength_bomb(32 * mib / 258))},
         256 * mib, 0},
        // Page content is read up to its cap, 256 MiB.
        {{"page content", [&](pdf_builder &b) { b.stream(5, "<< /Filter /FlateDecode >>", bomb); }, "/Contents 5 0 R"},
         256 * mib + 64 * mib, 0},
        // An object stream that decodes past its cap (256 MiB) is given up.
        {{"object stream", [&](pdf_builder &b) {
              b.stream(10, "<< /Type /ObjStm /N 1 /First 4 /Filter /FlateDecode >>", bomb);
          }},
         256 * mib + 64 * mib, 0},
    };
    for (const bomb_case &bc : cases) {
        SCOPED_TRACE(bc.c.name);
        std::string doc = page_doc(bc.c);
        bool measured = reset_peak();
        uint64_t before = resident_bytes();
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(bc.images, run_core(doc, true, extract_no_png));
        double took = seconds_since(t0);
        uint64_t peak = peak_bytes();
        EXPECT_LT(took, 30.0);
        if (measured && peak > 0) {
            uint64_t grew = peak > before ? peak - before : 0;
            EXPECT_LE(grew, bc.peak_limit) << "peak grew by " << grew / mib << " MiB";
            printf("[ bomb     ] %s: peak +%llu MiB, %.2f s\n", bc.c.name, (unsigned long long)(grew / mib), took);
        }
    }
}

// 16 images of 4096 x 4096 (RGB zeros, Flate twice) in a few KiB: on one page they took 1.09 GB at
// once, since a page's converted images were held until its walk was done (196 MB on 16 pages).
// Each image now goes to the output as soon as it is converted: the peak stays within a few images
// wherever they stand, as the README's resource table says.
TEST(Malformed, ImagesOfOnePageAreNotHeldTogether) {
    const int images = 16, side = 4096;
    const std::string rgb((size_t)side * side * 3, '\0');
    const std::string twice = zlib_of(zlib_of(rgb));
    ASSERT_FALSE(twice.empty());
    const std::string dict = "<< /Subtype /Image /Width 4096 /Height 4096 /ColorSpace /DeviceRGB "
                             "/BitsPerComponent 8 /Filter [/FlateDecode /FlateDecode] >>";
    for (int pages : {1, images}) {
        SCOPED_TRACE(std::to_string(pages) + " pages");
        pdf_builder b;
        b.catalog(1, 2);
        std::vector<int> kids;
        for (int p = 0; p < pages; p++) kids.push_back(3 + p);
        b.pages(2, kids);
        for (int p = 0; p < pages; p++) {
            std::string xo;
            for (int i = p; i < images; i += pages) xo += "/I" + std::to_string(i) + " " + std::to_string(100 + i) + " 0 R ";
            b.page(3 + p, 2, "/Resources << /XObject << " + xo + ">> >>");
        }
        for (int i = 0; i < images; i++) b.stream(100 + i, dict, twice);
        b.xref_table(trailer_opts(1));
        std::string path = b.save_temp("bomb_page");
        std::string out = pdf_temp_path("bomb_out");
        bool measured = reset_peak();
        uint64_t before = resident_bytes();
        EXPECT_EQ(images, pdfextractimg_all(path.c_str(), out.c_str())) << pdfextractimg_last_error();
        uint64_t peak = peak_bytes();
        if (measured && peak > 0) {
            uint64_t grew = peak > before ? peak - before : 0;
            // One image is 64 MiB of RGBA pixels: a few of them at a time, never all 16.
            EXPECT_LE(grew, 400 * mib) << "peak grew by " << grew / mib << " MiB";
            printf("[ bomb     ] %d images of 4096 x 4096 on %d page(s): peak +%llu MiB, file %zu bytes\n",
                   images, pages, (unsigned long long)(grew / mib), b.bytes().size());
        }
        for (int i = 1; i <= images; i++) {
            char name[32];
            snprintf(name, sizeof name, "/image_%03d.png", i);
            remove((out + name).c_str());
        }
        rmdir(out.c_str());
        remove(path.c_str());
    }
}
