// tests/realfiles_test.cpp - whole documents in the shapes that real files take and other readers
// open: comments where whitespace may stand, page trees that loop or yield no page, references
// inside arrays and in the other places a value may be given by reference. Each is built in code,
// its images collected as the entry points collect them, and the listing checked against the one
// poppler's pdfimages gives for the same file when it is installed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "pdf_builder.h"
#include "pdfcore/pdfcore.h"
#include "pdfextractimg/extract.h"
#include "png/png.h"

// (page, width, height) of each image listed, in order.
typedef std::vector<std::tuple<int, int, int>> listing;

// A 16 x 4 gray image, its value at (x, y) 10 + 40 y + 3 x; extra goes into its dictionary.
static std::string gray_rows() {
    std::string s;
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < 16; x++) s += (char)(10 + 40 * y + 3 * x);
    return s;
}

static void add_image(pdf_builder &b, int num, const std::string &extra = "") {
    b.stream(num, "<< /Type /XObject /Subtype /Image /Width 16 /Height 4 /ColorSpace /DeviceGray "
                  "/BitsPerComponent 8 " + extra + " >>",
             gray_rows());
}

// Object num written as text says (its header included), with its offset for the xref.
static void raw_obj(pdf_builder &b, int num, const std::string &text) {
    b.offsets[num] = b.tell();
    b.raw(text);
}

// Page num under parent drawing image img (named /Im<img>) with content stream content; text
// replaces the page's dictionary when given (with the content stream still written).
static void add_page(pdf_builder &b, int num, int parent, int img, int content,
                     const std::string &text = "") {
    std::string draw = "q 16 0 0 4 0 0 cm /Im" + std::to_string(img) + " Do Q";
    b.stream(content, "<< >>", draw);
    if (!text.empty()) {
        raw_obj(b, num, text);
        return;
    }
    b.obj(num, "<< /Type /Page /Parent " + std::to_string(parent) + " 0 R /MediaBox [0 0 16 4] "
                   "/Contents " + std::to_string(content) + " 0 R /Resources << /XObject << /Im" +
                   std::to_string(img) + " " + std::to_string(img) + " 0 R >> >> >>");
}

// Two pages, 3 (image 4) and 5 (image 6), under a root node 2 written as root_kids says.
static void two_pages(pdf_builder &b, const std::string &catalog, const std::string &root_kids) {
    b.obj(1, "<< /Type /Catalog " + catalog + " >>");
    b.obj(2, "<< /Type /Pages " + root_kids + " /Count 2 >>");
    add_page(b, 3, 2, 4, 30);
    add_image(b, 4);
    add_page(b, 5, 2, 6, 50);
    add_image(b, 6);
}

struct doc_case {
    const char *name;
    std::function<void(pdf_builder &)> build;  // the objects; the builder then writes the xref
    listing want;
    bool peer;  // pdfimages lists the same (else the comment on the case says why not)
    bool xref_stream = false;  // a cross-reference stream (for objects in object streams)
};

static const listing one = {{1, 16, 4}};
static const listing both = {{1, 16, 4}, {2, 16, 4}};

static const doc_case cases[] = {
    {"comment between obj and the catalog's dictionary",
     [](pdf_builder &b) {
         raw_obj(b, 1, "1 0 obj % entry point\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n");
         b.pages(2, {3});
         add_page(b, 3, 2, 4, 30);
         add_image(b, 4);
     },
     one, true},
    {"every line ends in a comment",
     [](pdf_builder &b) {
         raw_obj(b, 1, "1 0 obj % c\n<< /Type /Catalog % c\n/Pages 2 0 R % c\n>> % c\nendobj % c\n");
         raw_obj(b, 2, "2 0 obj % c\n<< /Type % c\n/Pages /Kids [3 0 R % c\n] /Count 1 >> % c\n"
                       "endobj % c\n");
         add_page(b, 3, 2, 4, 30,
                  "3 0 obj % c\n<< /Type /Page /Parent 2 0 R % c\n/Contents 30 0 R /Resources % c\n"
                  "<< /XObject << /Im4 % c\n4 0 R >> >> >> % c\nendobj % c\n");
         add_image(b, 4);
     },
     one, true},
    {"comment inside object headers",
     [](pdf_builder &b) {
         raw_obj(b, 1, "1 0 % the catalog\nobj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n");
         raw_obj(b, 2, "2 % root\n0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n");
         add_page(b, 3, 2, 4, 30);
         add_image(b, 4);
     },
     one, true},
    {"loop in the page tree",  // 7 lists its ancestor 2 and itself; pages on both sides kept
     [](pdf_builder &b) { two_pages(b, "/Pages 2 0 R", "/Kids [3 0 R 7 0 R]");
                          b.obj(7, "<< /Type /Pages /Parent 2 0 R /Kids [2 0 R 7 0 R 5 0 R] >>"); },
     both, true},
    {"node listed twice",  // walked under each parent; the image of its page is listed once
     [](pdf_builder &b) { two_pages(b, "/Pages 2 0 R", "/Kids [7 0 R 3 0 R 7 0 R]");
                          b.obj(7, "<< /Type /Pages /Parent 2 0 R /Kids [5 0 R] >>"); },
     {{1, 16, 4}, {2, 16, 4}}, true},
    {"damaged Kids",  // pdfimages finds no page tree and lists nothing
     [](pdf_builder &b) { two_pages(b, "/Pages 2 0 R", "/Kids 3 0 R]"); }, both, false},
    {"catalog without /Pages",  // pdfimages: no page tree
     [](pdf_builder &b) { two_pages(b, "", "/Kids [3 0 R 5 0 R]"); }, both, false},
    {"Resources, XObject and Kids by reference with comments",
     [](pdf_builder &b) {
         b.catalog(1, 2);
         b.obj(2, "<< /Type /Pages /Kids 9 0 R /Count 1 >>");
         raw_obj(b, 9, "9 0 obj % kids\n[3 0 R % the page\n]\nendobj\n");
         add_page(b, 3, 2, 4, 30,
                  "3 0 obj << /Type /Page /Parent 2 0 R /Contents 30 0 R /Resources 20 0 R >>\nendobj\n");
         raw_obj(b, 20, "20 0 obj % resources\n<< /XObject % images\n21 0 R >>\nendobj\n");
         raw_obj(b, 21, "21 0 obj\n<< /Im4 % first\n4 0 R >>\nendobj\n");
         add_image(b, 4);
     },
     one, true},
    {"comment before stream, /Length through an object with a comment",
     [](pdf_builder &b) {
         b.catalog(1, 2);
         b.pages(2, {3});
         add_page(b, 3, 2, 4, 30);
         raw_obj(b, 4, "4 0 obj\n<< /Type /XObject /Subtype /Image /Width 16 /Height 4 /ColorSpace "
                       "/DeviceGray /BitsPerComponent 8 /Length 8 0 R >> % samples\nstream\n" +
                           gray_rows() + "\nendstream\nendobj\n");
         raw_obj(b, 8, "8 0 obj % length\n64\nendobj\n");
     },
     one, true},
    {"page tree in an object stream with comments in its header",
     [](pdf_builder &b) {
         b.catalog(1, 2);
         std::string page = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 16 4] /Contents 30 0 R "
                            "/Resources << /XObject << /Im4 4 0 R >> >> >>";
         std::string root = "<< /Type /Pages /Kids [3 0 R] /Count 1 >>";
         std::string head = "2 0 % root\n3 " + std::to_string(root.size() + 1) + " % page\n";
         b.stream(10, "<< /Type /ObjStm /N 2 /First " + std::to_string(head.size()) + " >>",
                  head + root + " " + page);
         b.packed[2] = std::make_pair(10, 0);
         b.packed[3] = std::make_pair(10, 1);
         b.stream(30, "<< >>", "q 16 0 0 4 0 0 cm /Im4 Do Q");
         add_image(b, 4);
     },
     one, true, true},
};

// The RGBA pixels of a PNG file in memory (through the library's decoder), w x h; empty when it
// does not decode.
static std::vector<uint8_t> png_pixels(const uint8_t *data, uint64_t len, int *w, int *h) {
    std::string path = pdf_temp_path("realfiles_png") + ".png";
    write_file(path, std::string((const char *)data, (size_t)len));
    const char *msg = nullptr;
    uint8_t *rgba = qv_png_decode(path.c_str(), w, h, &msg);
    remove(path.c_str());
    std::vector<uint8_t> px;
    if (rgba) px.assign(rgba, rgba + (size_t)*w * (size_t)*h * 4u);
    free(rgba);
    return px;
}

// Our listing: the images of the whole document as collect_all_images hands them over.
static bool our_listing(const std::string &path, listing *out) {
    pdfcore_doc doc{};
    if (pdfcore_load(path.c_str(), &doc) != 1) {
        ADD_FAILURE() << pdfcore_last_error(&doc);
        pdfcore_doc_free(&doc);
        return false;
    }
    img_vec list{};
    image_receiver to = img_vec_receiver(&list, extract_no_png);
    EXPECT_EQ(0, collect_all_images(&doc, &to));
    for (int32_t i = 0; i < list.count; i++)
        out->push_back(std::make_tuple(list.items[i].page, list.items[i].width, list.items[i].height));
    img_vec_free(&list);
    pdfcore_doc_free(&doc);
    return true;
}

// pdfimages' listing with each image object once (the first page it is drawn on), masks aside
// (the soft masks and stencil masks it lists beside their images), or false when pdfimages is not
// installed.
static bool peer_listing(const std::string &path, listing *out) {
    FILE *p = popen(("pdfimages -list '" + path + "' 2>/dev/null").c_str(), "r");
    if (!p) return false;
    char line[512];
    int lines = 0;
    std::vector<std::pair<int, int>> seen;
    while (fgets(line, sizeof line, p)) {
        if (++lines <= 2) continue;  // the heading
        int page = 0, num = 0, w = 0, h = 0, obj = 0, gen = 0;
        char type[32], color[32], enc[32], interp[8];
        int comp = 0, bpc = 0;
        if (sscanf(line, "%d %d %31s %d %d %31s %d %d %31s %7s %d %d", &page, &num, type, &w, &h,
                   color, &comp, &bpc, enc, interp, &obj, &gen) != 12)
            continue;
        if (!strcmp(type, "smask") || !strcmp(type, "mask")) continue;
        if (std::find(seen.begin(), seen.end(), std::make_pair(obj, gen)) != seen.end()) continue;
        seen.push_back(std::make_pair(obj, gen));
        out->push_back(std::make_tuple(page, w, h));
    }
    return pclose(p) == 0 && lines >= 2;
}

TEST(RealFiles, ListedAsOtherReadersList) {
    bool have_peer = system("pdfimages -v >/dev/null 2>&1") == 0;
    for (const doc_case &c : cases) {
        SCOPED_TRACE(c.name);
        pdf_builder b;
        c.build(b);
        if (c.xref_stream) b.xref_stream(99, trailer_opts(1));
        else b.xref_table(trailer_opts(1));
        std::string path = b.save_temp("realfiles");
        listing ours;
        if (our_listing(path, &ours)) EXPECT_EQ(c.want, ours);
        listing peer;
        if (have_peer && c.peer) {
            EXPECT_TRUE(peer_listing(path, &peer));
            EXPECT_EQ(c.want, peer) << "pdfimages";
        }
        remove(path.c_str());
    }
    if (!have_peer) GTEST_SKIP() << "pdfimages is not installed: checked without the peer";
}

// Files made by img2pdf and rewritten by qpdf and pikepdf (tests/fixtures/realfiles/
// make_realfiles.py): two pages of one 16 x 8 RGB image each, pixel (x, y) of image k being
// (16x + 8k, 32y, 8(x + y) + 40k). In decodeparms-ref.pdf every pixel depends on the predictor
// whose parameters the /DecodeParms array gives by reference.
TEST(RealFiles, ProducerFixtures) {
    struct {
        const char *file;
        bool peer;  // pdfimages lists the same images (nopages.pdf: it finds no page tree)
    } cases[] = {{"qdf.pdf", true}, {"decodeparms-ref.pdf", true}, {"loop.pdf", true},
                 {"nopages.pdf", false}};
    bool have_peer = system("pdfimages -v >/dev/null 2>&1") == 0;
    for (auto &c : cases) {
        SCOPED_TRACE(c.file);
        std::string path = std::string(TEST_SOURCE_DIR) + "/fixtures/realfiles/" + c.file;
        pdfcore_doc doc{};
        ASSERT_EQ(1, pdfcore_load(path.c_str(), &doc)) << pdfcore_last_error(&doc);
        EXPECT_EQ(2, doc.pages.count);
        img_vec list{};
        image_receiver to = img_vec_receiver(&list);
        EXPECT_EQ(0, collect_all_images(&doc, &to));
        pdfcore_doc_free(&doc);
        ASSERT_EQ(2, list.count);
        for (int32_t i = 0; i < list.count; i++) {
            const extracted_image &r = list.items[i];
            int k = r.page - 1;
            ASSERT_EQ(i, k);
            int w = 0, h = 0;
            std::vector<uint8_t> rgba = png_pixels(r.data, r.data_len, &w, &h);
            ASSERT_EQ(16 * 8 * 4, (int)rgba.size());
            int bad = 0;
            for (int y = 0; y < 8; y++)
                for (int x = 0; x < 16; x++) {
                    const uint8_t *p = &rgba[(size_t)(4 * (16 * y + x))];
                    bad += p[0] != 16 * x + 8 * k || p[1] != 32 * y || p[2] != 8 * (x + y) + 40 * k;
                }
            EXPECT_EQ(0, bad) << "image " << k;
        }
        img_vec_free(&list);
        listing peer;
        if (have_peer && c.peer) {
            EXPECT_TRUE(peer_listing(path, &peer));
            EXPECT_EQ(listing({{1, 16, 8}, {2, 16, 8}}), peer) << "pdfimages";
        }
    }
}

// A document that LibreOffice exported (tests/fixtures/producers/make_libreoffice.py): all three
// pages use one /Resources object listing the five images. Each image is on the first page that
// draws it, as pdfimages lists it, and each page alone gives what the whole document gives it.
TEST(RealFiles, LibreOfficeResourcesSharedByThePages) {
    const std::string path = std::string(TEST_SOURCE_DIR) + "/fixtures/producers/libreoffice.pdf";
    const listing want = {{1, 40, 30}, {1, 48, 32}, {2, 32, 32}, {2, 24, 20}, {3, 36, 28}};
    listing ours;
    ASSERT_TRUE(our_listing(path, &ours));
    EXPECT_EQ(want, ours);
    pdfcore_doc doc{};
    ASSERT_EQ(1, pdfcore_load(path.c_str(), &doc)) << pdfcore_last_error(&doc);
    ASSERT_EQ(3, doc.pages.count);
    for (int page = 1; page <= 3; page++) {
        SCOPED_TRACE(page);
        img_vec list{};
        image_receiver to = img_vec_receiver(&list, extract_no_png);
        EXPECT_EQ(0, collect_page_images(&doc, page - 1, &to));
        listing alone, of_page;
        for (int32_t i = 0; i < list.count; i++)
            alone.push_back(std::make_tuple(list.items[i].page, list.items[i].width, list.items[i].height));
        for (auto &r : want)
            if (std::get<0>(r) == page) of_page.push_back(r);
        EXPECT_EQ(of_page, alone);
        img_vec_free(&list);
    }
    pdfcore_doc_free(&doc);
    listing peer;
    if (system("pdfimages -v >/dev/null 2>&1") != 0) GTEST_SKIP() << "pdfimages is not installed";
    ASSERT_TRUE(peer_listing(path, &peer));
    EXPECT_EQ(want, peer) << "pdfimages";
}

// The mutation sweep over these shapes: each document cut short and with bytes flipped (one in
// three, to the comment, delimiter and digit bytes the readers above turn on, or by one bit) loads
// or is refused, and what loads collects its images: results are defined and the sanitizers see
// no fault.
TEST(RealFiles, MutationSweep) {
    std::vector<std::string> docs;
    for (const doc_case &c : cases) {
        pdf_builder b;
        c.build(b);
        b.xref_table(trailer_opts(1));
        docs.push_back(b.bytes());
    }
    for (const char *f : {"qdf.pdf", "loop.pdf"}) {
        std::string path = std::string(TEST_SOURCE_DIR) + "/fixtures/realfiles/" + f;
        FILE *in = fopen(path.c_str(), "rb");
        ASSERT_NE(nullptr, in);
        std::string s;
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) s.append(chunk, n);
        fclose(in);
        docs.push_back(s);
    }
    std::string path = pdf_temp_path("realfiles_mut");
    auto load_and_collect = [&](const std::string &bytes) {
        write_file(path, bytes);
        pdfcore_doc doc{};
        if (pdfcore_load(path.c_str(), &doc) == 1) {
            EXPECT_GT(doc.pages.count, 0);
            img_vec list{};
            image_receiver to = img_vec_receiver(&list, extract_no_png);
            collect_all_images(&doc, &to);
            img_vec_free(&list);
        } else {
            EXPECT_STRNE("", pdfcore_last_error(&doc));
        }
        pdfcore_doc_free(&doc);
    };
    const char flips[] = {'%', '\n', '[', ']', '<', '>', '0', 'R', '/'};
    for (const std::string &good : docs) {
        for (size_t len = 0; len < good.size(); len += 5) load_and_collect(good.substr(0, len));
        for (size_t i = 0; i < good.size(); i += 3) {
            std::string m = good;
            m[i] = i % 2 ? flips[(i / 3) % sizeof flips] : (char)(m[i] ^ 0x01);
            load_and_collect(m);
        }
    }
    remove(path.c_str());
}
