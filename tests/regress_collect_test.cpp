// tests/regress_collect_test.cpp - fuzzing and malformed-input findings in the whole-document
// collection walk. The conversion is replaced by a recording stand-in (defined here, so the linker
// takes it instead of the library's): the cases state how often each object is converted.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "pdf_builder.h"
#include "pdfcore/pdfcore.h"
#include "pdfextractimg/extract.h"

static std::map<int, int> g_calls;  // object -> conversions tried
static std::set<int> g_fails;       // objects whose conversion fails

int32_t extract_single_image(const pdfcore_doc *, int32_t obj_num, int32_t page, extracted_image *rec,
                             int32_t) {
    g_calls[obj_num]++;
    if (g_fails.count(obj_num)) return 0;
    rec->page = page;
    rec->obj_num = obj_num;
    rec->width = rec->height = 1;
    strcpy(rec->format, "png");
    rec->data = (uint8_t *)malloc(1);
    rec->data[0] = 0;
    rec->size = rec->data_len = 1;
    return 1;
}

// The inline image reader stands aside: these documents hold none.
int inline_content_images(const pdfcore_doc *, const uint8_t *, int32_t, const pdfcore_span *, int32_t,
                          const image_receiver *) {
    return 0;
}

// A document of `pages` pages that all show image 10 (converted or failing) and image 11 by
// their own resources, and image 12 by resources inherited from the Pages node.
static std::string shared_doc(int pages) {
    pdf_builder b;
    b.catalog(1, 2);
    std::vector<int> kids;
    for (int i = 0; i < pages; i++) kids.push_back(100 + i);
    b.pages(2, kids, "/Resources << /XObject << /C 12 0 R >> >>");
    for (int i = 0; i < pages; i++)
        b.page(100 + i, 2, i % 2 ? "/Resources << /XObject << /A 10 0 R /B 11 0 R >> >>" : "");
    for (int n : {10, 11, 12}) b.stream(n, "<< /Subtype /Image /Width 1 /Height 1 >>", "x");
    b.xref_table(trailer_opts(1));
    return b.bytes();
}

// What collect_all_images gave for a document: (object, page) per record, its result, its
// counters and the seconds it took.
struct collected {
    std::vector<std::pair<int, int>> recs;
    int result = -2;
    walk_counters counted = {0};
    double seconds = 0;
};

// page_index -1: the whole document (collect_all_images), else that page alone.
static collected collect_doc(const std::string &bytes, int page_index = -1) {
    collected c;
    std::string path = pdf_temp_path("regress_collect");
    EXPECT_TRUE(write_file(path, bytes));
    pdfcore_doc doc;
    memset(&doc, 0, sizeof doc);
    EXPECT_EQ(1, pdfcore_load(path.c_str(), &doc)) << pdfcore_last_error(&doc);
    g_calls.clear();
    img_vec list;
    memset(&list, 0, sizeof list);
    image_receiver to = img_vec_receiver(&list);
    auto t0 = std::chrono::steady_clock::now();
    c.result = page_index < 0 ? collect_all_images(&doc, &to, &c.counted) : collect_page_images(&doc, page_index, &to);
    c.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    for (int32_t i = 0; i < list.count; i++) c.recs.push_back({list.items[i].obj_num, list.items[i].page});
    img_vec_free(&list);
    pdfcore_doc_free(&doc);
    remove(path.c_str());
    return c;
}

// An image on every page used to be converted on every page and then dropped as a duplicate: a
// small file with one costly (or failing) image and thousands of pages took minutes.
TEST(RegressCollect, SharedImageIsConvertedOncePerDocument) {
    for (bool fail : {false, true}) {
        SCOPED_TRACE(fail ? "image 10 fails" : "all convert");
        std::string path = pdf_temp_path("regress_collect");
        ASSERT_TRUE(write_file(path, shared_doc(400)));
        pdfcore_doc doc;
        memset(&doc, 0, sizeof doc);
        ASSERT_EQ(1, pdfcore_load(path.c_str(), &doc)) << pdfcore_last_error(&doc);
        g_calls.clear();
        g_fails.clear();
        if (fail) g_fails.insert(10);
        img_vec list;
        memset(&list, 0, sizeof list);
        image_receiver to = img_vec_receiver(&list);
        collect_all_images(&doc, &to);
        EXPECT_EQ(1, g_calls[10]);
        EXPECT_EQ(1, g_calls[11]);
        EXPECT_EQ(1, g_calls[12]);
        // Listed once each, on the first page that shows it.
        std::vector<std::pair<int, int>> got;
        for (int32_t i = 0; i < list.count; i++) got.push_back({list.items[i].obj_num, list.items[i].page});
        if (fail) EXPECT_EQ((std::vector<std::pair<int, int>>{{12, 1}, {11, 2}}), got);
        else EXPECT_EQ((std::vector<std::pair<int, int>>{{12, 1}, {10, 2}, {11, 2}}), got);
        // A page on its own still converts what it shows.
        img_vec one;
        memset(&one, 0, sizeof one);
        g_calls.clear();
        image_receiver to_one = img_vec_receiver(&one);
        collect_page_images(&doc, 399, &to_one);
        EXPECT_EQ(fail ? 1 : 2, one.count);  // its own resources: images 10 and 11
        EXPECT_EQ(1, g_calls[10]);
        img_vec_free(&one);
        img_vec_free(&list);
        pdfcore_doc_free(&doc);
        remove(path.c_str());
    }
}

// Thousands of pages sharing one resource dictionary of 2048 entries (naming objects that do not
// exist) took 34 s for a 400 KB file: every page scanned the whole dictionary, each entry looked up
// by a scan of the whole index and checked against the page's seen list by a scan of it.
TEST(RegressCollect, PagesSharingLargeResourcesStayFast) {
    const int pages = 5000;
    pdf_builder b;
    b.catalog(1, 2);
    std::vector<int> kids;
    for (int i = 0; i < pages; i++) kids.push_back(100 + i);
    b.pages(2, kids);
    std::string entries;
    for (int i = 0; i < 2048; i++) entries += "/I" + std::to_string(i) + " " + std::to_string(900000 + i) + " 0 R ";
    b.obj(5, "<< /XObject << " + entries + "/Last 10 0 R >> >>");
    for (int i = 0; i < pages; i++) b.page(100 + i, 2, i == pages - 1 ? "/Resources << /XObject << /X 11 0 R >> >>" : "/Resources 5 0 R");
    for (int n : {10, 11}) b.stream(n, "<< /Subtype /Image /Width 1 /Height 1 >>", "x");
    b.xref_table(trailer_opts(1));
    g_fails.clear();
    collected c = collect_doc(b.bytes());
    EXPECT_LT(c.seconds, 5.0);
    // The dictionary is read once, to /Last (image 10, on page 1); page 5000 lists image 11.
    EXPECT_EQ((std::vector<std::pair<int, int>>{{10, 1}, {11, pages}}), c.recs);
    EXPECT_EQ(1, g_calls[10]);
    EXPECT_EQ(1, g_calls[11]);
}

// Pages with resources of their own, all drawing one form whose XObject dictionary names 20000
// objects: each page scanned the whole dictionary although its seen list was full after 2048. The
// form is now read once, on page 1.
TEST(RegressCollect, PagesSharingALargeFormStayFast) {
    const int pages = 3000;
    pdf_builder b;
    b.catalog(1, 2);
    std::vector<int> kids;
    for (int i = 0; i < pages; i++) kids.push_back(100 + i);
    b.pages(2, kids);
    std::string entries;
    for (int i = 0; i < 20000; i++) entries += "/I" + std::to_string(i) + " " + std::to_string(900000 + i) + " 0 R ";
    b.stream(5, "<< /Subtype /Form /Resources << /XObject << " + entries + ">> >> >>", "");
    for (int i = 0; i < pages; i++)
        b.page(100 + i, 2, "/Resources << /XObject << /F 5 0 R /X " + std::to_string(i % 2 ? 10 : 11) + " 0 R >> >>");
    for (int n : {10, 11}) b.stream(n, "<< /Subtype /Image /Width 1 /Height 1 >>", "x");
    b.xref_table(trailer_opts(1));
    g_fails.clear();
    collected c = collect_doc(b.bytes());
    EXPECT_LT(c.seconds, 10.0);
    // Page 1 lists image 11 and page 2 image 10.
    EXPECT_EQ((std::vector<std::pair<int, int>>{{11, 1}, {10, 2}}), c.recs);
    EXPECT_EQ(1, g_calls[10]);
    EXPECT_EQ(1, g_calls[11]);
}

// 2,000 pages sharing one resource dictionary of 4,095 images took 0.53 s and of 4,096 images 25 s:
// past 4,096 the document's seen list was full, every page walked the dictionary again and wrote
// the images past the 4,096th again. Each shared dictionary (resources, an XObject dictionary
// object, a form, a form's resources object) is now read once, and each image handed over once.
TEST(RegressCollect, SharedDictionariesAreReadOnce) {
    const int pages = 2000, images = 4100, forms = 1000;
    std::string entries;
    for (int i = 0; i < images; i++) entries += "/I" + std::to_string(i) + " " + std::to_string(100000 + i) + " 0 R ";
    struct share_case {
        const char *name;
        std::string page_keys;  // of every page
        int64_t max_entries;    // XObject dictionary entries the walk may read
    };
    std::string many_forms;
    for (int i = 0; i < forms; i++) many_forms += "/F" + std::to_string(i) + " " + std::to_string(50000 + i) + " 0 R ";
    const share_case cases[] = {
        {"a resources object", "/Resources 5 0 R", images},
        {"an XObject dictionary object", "/Resources << /XObject 6 0 R >>", images},
        {"a form", "/Resources << /XObject << /F 7 0 R >> >>", images + pages},
        {"a form's resources object", "/Resources << /XObject << /F 8 0 R >> >>", images + pages},
        {"forms sharing one resources object", "/Resources 9 0 R", images + forms},
    };
    for (const share_case &c : cases) {
        SCOPED_TRACE(c.name);
        pdf_builder b;
        b.catalog(1, 2);
        std::vector<int> kids;
        for (int i = 0; i < pages; i++) kids.push_back(10000 + i);
        b.pages(2, kids);
        b.obj(5, "<< /XObject << " + entries + ">> >>");
        b.obj(6, "<< " + entries + ">>");
        b.stream(7, "<< /Subtype /Form /Resources << /XObject << " + entries + ">> >> >>", "");
        b.stream(8, "<< /Subtype /Form /Resources 5 0 R >>", "");
        b.obj(9, "<< /XObject << " + many_forms + ">> >>");
        for (int i = 0; i < forms; i++) b.stream(50000 + i, "<< /Subtype /Form /Resources 5 0 R >>", "");
        for (int i = 0; i < pages; i++) b.page(10000 + i, 2, c.page_keys);
        for (int i = 0; i < images; i++) b.stream(100000 + i, "<< /Subtype /Image /Width 1 /Height 1 >>", "x");
        b.xref_table(trailer_opts(1));
        g_fails.clear();
        collected got = collect_doc(b.bytes());
        EXPECT_EQ(0, got.result);
        EXPECT_LE(got.counted.entries, c.max_entries + 2);
        ASSERT_EQ((size_t)images, got.recs.size());
        EXPECT_EQ((size_t)images, g_calls.size());
        for (int i = 0; i < images; i++) {
            ASSERT_EQ((std::pair<int, int>{100000 + i, 1}), got.recs[i]);
            ASSERT_EQ(1, g_calls[100000 + i]);
        }
    }
}

// Pages sharing one dictionary of 4,100 images, page k drawing images k and k + 1: each page takes
// what it draws and the first page also what no page draws. The dictionary is read once into a
// table of its names, never once per page; a page alone reads the pages before it for what they
// draw, converting nothing of theirs.
TEST(RegressCollect, PagesDrawingFromALargeSharedDictionaryStayFast) {
    const int pages = 2000, images = 4100;
    pdf_builder b;
    b.catalog(1, 2);
    std::vector<int> kids;
    for (int i = 0; i < pages; i++) kids.push_back(10000 + i);
    b.pages(2, kids, "/Resources 5 0 R");
    std::string entries;
    for (int i = 0; i < images; i++) entries += "/I" + std::to_string(i) + " " + std::to_string(100000 + i) + " 0 R ";
    b.obj(5, "<< /XObject << " + entries + ">> >>");
    for (int i = 0; i < pages; i++) {
        b.page(10000 + i, 2, "/Contents " + std::to_string(20000 + i) + " 0 R");
        b.stream(20000 + i, "<< >>", "q /I" + std::to_string(i) + " Do Q q /I" + std::to_string(i + 1) + " Do Q");
    }
    for (int i = 0; i < images; i++) b.stream(100000 + i, "<< /Subtype /Image /Width 1 /Height 1 >>", "x");
    b.xref_table(trailer_opts(1));
    g_fails.clear();
    collected c = collect_doc(b.bytes());
    EXPECT_EQ(0, c.result);
    EXPECT_LT(c.seconds, 5.0);
    EXPECT_LE(c.counted.entries, images + 2);
    std::vector<std::pair<int, int>> want = {{100000, 1}, {100001, 1}};
    for (int i = pages + 1; i < images; i++) want.push_back({100000 + i, 1});
    for (int i = 2; i <= pages; i++) want.push_back({100000 + i, i});
    EXPECT_EQ(want, c.recs);
    EXPECT_EQ((size_t)images, g_calls.size());
    collected last = collect_doc(b.bytes(), pages - 1);
    EXPECT_EQ(0, last.result);
    EXPECT_LT(last.seconds, 5.0);
    EXPECT_EQ((std::vector<std::pair<int, int>>{{100000 + pages, pages}}), last.recs);
    EXPECT_EQ(1u, g_calls.size()) << "nothing of the pages before converted";
}
