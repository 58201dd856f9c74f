// tests/collect_test.cpp - the image collection walk over PDFs built in code. The conversion is
// replaced by a recording stand-in (defined below, so the linker takes it instead of the library's),
// which makes every case independent of the image decoders: a case states which objects are tried,
// for which page, in which order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "pdf_builder.h"
#include "pdfcore/pdfcore.h"
#include "pdfextractimg/drawn.h"
#include "pdfextractimg/extract.h"

// ---- the stand-in conversion ----------------------------------------------------------------------

static std::vector<std::pair<int, int>> g_tried;  // (object, page) per call, in call order
static std::set<int> g_fails;                     // objects whose conversion fails

int32_t extract_single_image(const pdfcore_doc *, int32_t obj_num, int32_t page, extracted_image *rec,
                             int32_t) {
    g_tried.push_back(std::make_pair((int)obj_num, (int)page));
    if (g_fails.count(obj_num)) return 0;
    rec->page = page;
    rec->obj_num = obj_num;
    rec->width = 1;
    rec->height = 1;
    strcpy(rec->format, "png");
    rec->data = (uint8_t *)malloc(4);
    memcpy(rec->data, "data", 4);
    rec->size = rec->data_len = 4;
    return 1;
}

// The stand-in of the inline image reader: each "BI n" of a content stream read is an inline image
// (object 0) of width n, handed over in content order.
int inline_content_images(const pdfcore_doc *, const uint8_t *content, int32_t len,
                          const pdfcore_span *, int32_t page, const image_receiver *to) {
    std::string c((const char *)content, (size_t)len);
    int handed = 0;
    for (size_t at = c.find("BI "); at != std::string::npos; at = c.find("BI ", at + 3)) {
        extracted_image rec;
        memset(&rec, 0, sizeof rec);
        rec.page = page;
        rec.width = atoi(c.c_str() + at + 3);
        rec.height = 1;
        strcpy(rec.format, "png");
        if (to->take(to->ctx, &rec) != 0) return -1;
        handed++;
    }
    return handed;
}

// ---- fixtures -------------------------------------------------------------------------------------

static const char image_dict[] = "<< /Type /XObject /Subtype /Image /Width 1 /Height 1 >>";

static std::string xobjects(const std::string &entries) {
    return "/Resources << /XObject << " + entries + " >> >>";
}

static std::string form_dict(const std::string &entries) {
    return "<< /Type /XObject /Subtype /Form /BBox [0 0 1 1] " + xobjects(entries) + " >>";
}

// A loaded document, released at the end of the scope.
struct loaded {
    pdfcore_doc doc;
    bool ok = false;
    std::string path;
    explicit loaded(const pdf_builder &b) {
        memset(&doc, 0, sizeof doc);
        path = b.save_temp("collect");
        ok = pdfcore_load(path.c_str(), &doc) == 1;
        if (!ok) ADD_FAILURE() << "load failed: " << pdfcore_last_error(&doc);
    }
    ~loaded() {
        pdfcore_doc_free(&doc);
        remove(path.c_str());
    }
};

// (page, object) of each record.
typedef std::vector<std::pair<int, int>> records;

static records to_records(img_vec *list) {
    records r;
    for (int32_t i = 0; i < list->count; i++) r.push_back({list->items[i].page, list->items[i].obj_num});
    img_vec_free(list);
    return r;
}

static records page_records(const pdf_builder &b, int page_index) {
    g_tried.clear();
    loaded l(b);
    img_vec list;
    memset(&list, 0, sizeof list);
    image_receiver to = img_vec_receiver(&list);
    if (l.ok) EXPECT_EQ(0, collect_page_images(&l.doc, page_index, &to));
    EXPECT_EQ(0, list.failed);
    return to_records(&list);
}

static records all_records(const pdf_builder &b) {
    g_tried.clear();
    loaded l(b);
    img_vec list;
    memset(&list, 0, sizeof list);
    image_receiver to = img_vec_receiver(&list);
    if (l.ok) EXPECT_EQ(0, collect_all_images(&l.doc, &to));
    EXPECT_EQ(0, list.failed);
    return to_records(&list);
}

// (page, object, width) of each record.
struct record_full {
    int page, obj, width;
};
typedef std::vector<record_full> records_full;

static records_full to_full(img_vec *list) {
    records_full r;
    for (int32_t i = 0; i < list->count; i++)
        r.push_back({list->items[i].page, list->items[i].obj_num, list->items[i].width});
    img_vec_free(list);
    return r;
}

static records_full page_full(const pdf_builder &b, int page_index) {
    loaded l(b);
    img_vec list;
    memset(&list, 0, sizeof list);
    image_receiver to = img_vec_receiver(&list);
    if (l.ok) EXPECT_EQ(0, collect_page_images(&l.doc, page_index, &to));
    return to_full(&list);
}

static records_full all_full(const pdf_builder &b) {
    loaded l(b);
    img_vec list;
    memset(&list, 0, sizeof list);
    image_receiver to = img_vec_receiver(&list);
    if (l.ok) EXPECT_EQ(0, collect_all_images(&l.doc, &to));
    return to_full(&list);
}

// A document of one page per resources text; pages are objects 3, 4, ... under Pages node 2.
static pdf_builder pages_doc(const std::vector<std::string> &page_extra) {
    pdf_builder b;
    b.catalog(1, 2);
    std::vector<int> kids;
    for (size_t i = 0; i < page_extra.size(); i++) kids.push_back(3 + (int)i);
    b.pages(2, kids);
    for (size_t i = 0; i < page_extra.size(); i++) b.page(3 + (int)i, 2, page_extra[i]);
    return b;
}

// ---- img_vec ----------------------------------------------------------------------------------------

TEST(ImgVec, GrowsFrom16ByDoublingAndKeepsRecords) {
    img_vec list;
    memset(&list, 0, sizeof list);
    for (int i = 0; i < 40; i++) {
        extracted_image r;
        memset(&r, 0, sizeof r);
        r.obj_num = i;
        r.data = (uint8_t *)malloc(1);
        ASSERT_EQ(0, img_vec_push(&list, &r));
        if (i == 0) EXPECT_EQ(16, list.capacity);
        if (i == 16) EXPECT_EQ(32, list.capacity);
    }
    EXPECT_EQ(64, list.capacity);
    for (int i = 0; i < 40; i++) EXPECT_EQ(i, list.items[i].obj_num);
    img_vec_free(&list);
    EXPECT_EQ(nullptr, list.items);
    EXPECT_EQ(0, list.count);
    img_vec_free(&list);  // harmless twice
}

TEST(ImgVec, CapacityThatCannotDoubleFailsAndChangesNothing) {
    // A full list whose capacity cannot double without passing INT32_MAX.
    img_vec list;
    memset(&list, 0, sizeof list);
    list.count = list.capacity = 0x40000001;
    extracted_image r;
    memset(&r, 0, sizeof r);
    EXPECT_EQ(-1, img_vec_push(&list, &r));
    EXPECT_EQ(1, list.failed);
    EXPECT_EQ(0x40000001, list.count);
    EXPECT_EQ(0x40000001, list.capacity);
    EXPECT_EQ(nullptr, list.items);
}

// ---- one page ---------------------------------------------------------------------------------------

struct page_case {
    const char *name;
    std::string page_extra;  // keys of page object 3
    std::vector<int> want;   // objects listed for the page, in order
};

TEST(CollectPage, XObjectDictionaryForms) {
    const page_case cases[] = {
        {"inline dictionary, text order", xobjects("/B 11 0 R /A 10 0 R"), {11, 10}},
        {"one image under two names", xobjects("/A 10 0 R /B 10 0 R"), {10}},
        {"no whitespace", "/Resources<</XObject<</A 10 0 R/B 11 0 R>>>>", {10, 11}},
        {"resources object", "/Resources 20 0 R", {10, 11}},
        {"xobject dictionary object", "/Resources << /XObject 21 0 R >>", {11}},
        {"reference to a missing object is passed over",
         xobjects("/A 99 0 R /B 10 0 R"), {10}},
        {"values that are no references", xobjects("/N /Name /Arr [1 2] /S (x) /A 10 0 R"), {10}},
        {"a direct dictionary is stepped over whole",
         xobjects("/D << /Type /Foo /X 11 0 R /E << >> >> /A 10 0 R"), {10}},
        {"arrays and strings hold no entries",
         xobjects("/Arr [/Y 11 0 R [>>]] /S (/Y 11 0 R >>) /H <3E3E> /A 10 0 R"), {10}},
        {"a dictionary that never closes ends the walk", "/Resources << /XObject << /A 10 0 R /D <<", {10}},
        {"zero and negative numbers", xobjects("/Z 0 0 R /M -10 0 R /A 11 0 R"), {11}},
        {"non-image subtypes", xobjects("/P 12 0 R /A 10 0 R"), {10}},
        {"subtype is a prefix test", xobjects("/X 13 0 R"), {13}},
        {"no XObject key", "/Resources << /Font << /F1 12 0 R >> >>", {}},
        {"resources value of another kind", "/Resources /Foo", {}},
        {"empty XObject dictionary", xobjects(""), {}},
    };
    for (const page_case &c : cases) {
        SCOPED_TRACE(c.name);
        pdf_builder b = pages_doc({c.page_extra});
        b.stream(10, image_dict, "x");
        b.stream(11, image_dict, "y");
        b.stream(12, "<< /Type /XObject /Subtype /PS >>", "z");
        b.stream(13, "<< /Subtype /ImageMask /Width 1 /Height 1 >>", "z");
        b.obj(20, "<< /XObject << /A 10 0 R /B 11 0 R >> >>");
        b.obj(21, "<< /B 11 0 R >>");
        b.xref_table(trailer_opts(1));
        records got = page_records(b, 0);
        std::vector<int> objs;
        for (auto &r : got) {
            EXPECT_EQ(1, r.first);
            objs.push_back(r.second);
        }
        EXPECT_EQ(c.want, objs);
    }
}

TEST(CollectPage, ResourcesInAnObjectStream) {
    pdf_builder b = pages_doc({"/Resources 20 0 R"});
    b.stream(10, image_dict, "x");
    b.stream(11, image_dict, "y");
    b.objstm(30, {{20, "<< /XObject 21 0 R >>"}, {21, "<< /A 11 0 R /B 10 0 R >>"}}, false);
    b.xref_table(trailer_opts(1));
    EXPECT_EQ((records{{1, 11}, {1, 10}}), page_records(b, 0));
}

TEST(CollectPage, FormsAreSearchedDepthFirstAtTheirEntry) {
    pdf_builder b = pages_doc({xobjects("/A 10 0 R /F 20 0 R /B 11 0 R")});
    b.stream(10, image_dict, "x");
    b.stream(11, image_dict, "y");
    b.stream(12, image_dict, "z");
    b.stream(20, form_dict("/I 12 0 R /Again 10 0 R"), "q Q");
    b.xref_table(trailer_opts(1));
    EXPECT_EQ((records{{1, 10}, {1, 12}, {1, 11}}), page_records(b, 0));
}

TEST(CollectPage, FormResourcesKeptInAnObjectOfTheirOwn) {
    struct form_case {
        const char *name;
        std::string form_keys;
        std::vector<int> want;
    };
    const form_case cases[] = {
        {"inline", xobjects("/I 12 0 R"), {10, 12}},
        {"indirect resources", "/Resources 21 0 R", {10, 12}},
        {"indirect resources, image also direct", "/Resources 22 0 R", {10}},
        {"reference to a missing object", "/Resources 99 0 R", {10}},
        {"resources object without XObject", "/Resources 23 0 R", {10}},
    };
    for (const form_case &c : cases) {
        SCOPED_TRACE(c.name);
        pdf_builder b = pages_doc({xobjects("/A 10 0 R /F 20 0 R")});
        b.stream(10, image_dict, "x");
        b.stream(12, image_dict, "z");
        b.stream(20, "<< /Type /XObject /Subtype /Form " + c.form_keys + " >>", "q Q");
        b.obj(21, "<< /XObject << /I 12 0 R >> >>");
        b.obj(22, "<< /XObject << /I 10 0 R >> >>");
        b.obj(23, "<< /Font << /F1 12 0 R >> >>");
        b.xref_table(trailer_opts(1));
        std::vector<int> objs;
        for (auto &r : page_records(b, 0)) objs.push_back(r.second);
        EXPECT_EQ(c.want, objs);
    }
}

TEST(CollectPage, FormThatListsItselfIsScannedOnce) {
    for (const char *res : {"inline", "indirect"}) {
        SCOPED_TRACE(res);
        pdf_builder b = pages_doc({xobjects("/F 20 0 R")});
        b.stream(10, image_dict, "x");
        if (std::string(res) == "inline") {
            b.stream(20, form_dict("/Self 20 0 R /I 10 0 R"), "q Q");
        } else {
            b.stream(20, "<< /Subtype /Form /Resources 21 0 R >>", "q Q");
            b.obj(21, "<< /XObject << /Self 20 0 R /I 10 0 R >> >>");
        }
        b.xref_table(trailer_opts(1));
        EXPECT_EQ((records{{1, 10}}), page_records(b, 0));
        EXPECT_EQ(1u, g_tried.size());
    }
}

// A chain of `levels` forms, 20 -> 21 -> ..., the last one holding image 10.
static pdf_builder nested_forms(int levels, bool indirect) {
    pdf_builder b = pages_doc({xobjects("/F 20 0 R")});
    b.stream(10, image_dict, "x");
    for (int i = 0; i < levels; i++) {
        std::string inner = i + 1 < levels ? "/F " + std::to_string(21 + i) + " 0 R" : "/I 10 0 R";
        if (indirect) {
            b.stream(20 + i, "<< /Subtype /Form /Resources " + std::to_string(100 + i) + " 0 R >>", "");
            b.obj(100 + i, "<< /XObject << " + inner + " >> >>");
        } else {
            b.stream(20 + i, form_dict(inner), "");
        }
    }
    b.xref_table(trailer_opts(1));
    return b;
}

TEST(CollectPage, FormsNestedSixteenDeepAreFoundSeventeenAreNot) {
    for (bool indirect : {false, true}) {
        for (int levels : {1, 15, 16, 17, 30}) {
            SCOPED_TRACE((indirect ? "indirect resources, " : "inline resources, ") +
                         std::to_string(levels) + " forms");
            records got = page_records(nested_forms(levels, indirect), 0);
            EXPECT_EQ(levels <= 16 ? 1u : 0u, got.size());
        }
    }
}

// The page's seen set has no cap: an image after thousands of other references is still found.
TEST(CollectPage, SeenSetHasNoCap) {
    for (int missing : {2047, 2048, 5000}) {
        SCOPED_TRACE(missing);
        std::string entries;
        for (int i = 0; i < missing; i++) entries += "/M" + std::to_string(i) + " " +
                                                     std::to_string(10000 + i) + " 0 R ";
        pdf_builder b = pages_doc({xobjects(entries + "/I 10 0 R")});
        b.stream(10, image_dict, "x");
        b.stream(10000 + missing - 1, image_dict, "m");  // the last of the others is an image too
        b.xref_table(trailer_opts(1));
        EXPECT_EQ((records{{1, 10000 + missing - 1}, {1, 10}}), page_records(b, 0));
    }
}

TEST(CollectPage, FailedImageIsNotTriedAgainOnThePage) {
    pdf_builder b = pages_doc({xobjects("/A 10 0 R /F 20 0 R /B 10 0 R /C 11 0 R")});
    b.stream(10, image_dict, "x");
    b.stream(11, image_dict, "y");
    b.stream(20, form_dict("/D 10 0 R"), "");
    b.xref_table(trailer_opts(1));
    g_fails = {10};
    records got = page_records(b, 0);
    g_fails.clear();
    EXPECT_EQ((records{{1, 11}}), got);
    EXPECT_EQ((std::vector<std::pair<int, int>>{{10, 1}, {11, 1}}), g_tried);
}

TEST(CollectPage, PageIndexOutOfRangeAddsNothing) {
    pdf_builder b = pages_doc({xobjects("/A 10 0 R")});
    b.stream(10, image_dict, "x");
    b.xref_table(trailer_opts(1));
    for (int idx : {-1, 1, 1000}) {
        SCOPED_TRACE(idx);
        EXPECT_TRUE(page_records(b, idx).empty());
    }
}

// ---- inherited resources --------------------------------------------------------------------------

// A page under a chain of `nodes` Pages objects (100 is the root, 100 + nodes - 1 the page's
// parent); the ancestor `holder` steps above the page (1: the parent) holds /Resources with image
// 10; page_keys go into the page itself.
static pdf_builder chain_doc(int nodes, int holder, const std::string &page_keys) {
    pdf_builder b;
    b.catalog(1, 100);
    for (int i = 0; i < nodes; i++) {
        int num = 100 + i;
        int kid = i + 1 < nodes ? num + 1 : 3;
        std::string keys = "/Type /Pages /Kids [" + std::to_string(kid) + " 0 R] /Count 1 ";
        if (i > 0) keys += "/Parent " + std::to_string(num - 1) + " 0 R ";
        if (nodes - i == holder) keys += xobjects("/A 10 0 R");
        b.obj(num, "<< " + keys + ">>");
    }
    b.page(3, 100 + nodes - 1, page_keys);
    b.stream(10, image_dict, "x");
    b.xref_table(trailer_opts(1));
    return b;
}

TEST(CollectPage, ResourcesInheritedThroughAtMost31Ancestors) {
    struct chain_case {
        const char *name;
        int nodes, holder;
        std::string page_keys;
        size_t want;
    };
    const chain_case cases[] = {
        {"parent holds the resources", 1, 1, "", 1},
        {"grandparent", 3, 2, "", 1},
        {"31st ancestor", 40, 31, "", 1},
        {"32nd ancestor is not asked", 40, 32, "", 0},
        {"own resources without XObject end the walk", 2, 1, "/Resources << /Font << >> >>", 0},
        {"own resources reference to a missing object: parent's", 2, 1, "/Resources 99 0 R", 1},
    };
    for (const chain_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, page_records(chain_doc(c.nodes, c.holder, c.page_keys), 0).size());
    }
}

// ---- inline images, annotation appearances, tiling patterns ---------------------------------------

// The records of a walk as numbers: an XObject's object number, an inline image's -width (the
// stand-in reader gives "BI n" width n).
static std::vector<int> walk_order(const records_full &r) {
    std::vector<int> out;
    for (auto &x : r) out.push_back(x.obj > 0 ? x.obj : -x.width);
    return out;
}

TEST(CollectPage, EveryImageOnThePageInItsOrder) {
    pdf_builder b = pages_doc({"/Resources << /XObject << /A 10 0 R /F 20 0 R /G 21 0 R >> /Pattern << /P1 50 0 R "
                   "/P2 51 0 R /P3 52 0 R >> >> /Contents 70 0 R /Annots [30 0 R 31 0 R 32 0 R 33 0 R]"});
    for (int n : {10, 11, 12, 13}) b.stream(n, image_dict, "x");
    b.stream(70, "<< >>", "q BI 1 Q");
    b.stream(20, form_dict("/I 11 0 R"), "BI 2");
    b.stream(21, form_dict(""), "BI 3 BI 4");
    b.obj(30, "<< /Type /Annot /Subtype /Stamp /AP << /N 40 0 R >> >>");
    b.obj(31, "<< /Type /Annot /AS /Off /AP << /N << /On 41 0 R /Off 42 0 R >> >> >>");
    b.obj(32, "<< /Type /Annot /AP << /N << /On 41 0 R >> >> >>");  // states without /AS: none
    b.obj(33, "<< /Type /Annot /AP << /D 41 0 R >> >>");               // no normal appearance
    b.stream(40, form_dict("/J 12 0 R"), "BI 5");
    b.stream(41, form_dict(""), "BI 99");
    b.stream(42, form_dict(""), "BI 6");
    b.stream(50, "<< /PatternType 1 /PaintType 1 " + xobjects("/K 13 0 R") + " >>", "BI 7");
    b.obj(51, "<< /PatternType 2 /Shading 60 0 R >>");
    b.stream(52, "<< /PatternType 2 >>", "BI 98");
    b.xref_table(trailer_opts(1));
    // The page's XObjects (forms descended into), its content's inline images, the forms' inline
    // images in visiting order, each annotation's appearance (XObjects, then inline images), the
    // tiling patterns.
    EXPECT_EQ((std::vector<int>{10, 11, -1, -2, -3, -4, 12, -5, -6, 13, -7}), walk_order(page_full(b, 0)));
}

TEST(CollectPage, AppearancesAndPatternsInTheirForms) {
    struct acase {
        const char *name;
        std::string page_keys;
        std::vector<int> want;
    };
    const acase cases[] = {
        // Pages without resources of their own show the patterns of the Pages node's (13, -7).
        {"annotations array in an object of its own", "/Annots 80 0 R", {12, -5, 13, -7}},
        {"annotation written in the array", "/Annots [<< /AP << /N 40 0 R >> >>]", {12, -5, 13, -7}},
        {"appearance dictionary through a reference", "/Annots [34 0 R]", {12, -5, 13, -7}},
        {"state through a reference", "/Annots [35 0 R]", {-6, 13, -7}},
        {"an appearance that is a page form is read once",
         xobjects("/F 40 0 R") + " /Annots [30 0 R]", {12, -5}},
        {"the same appearance twice is read once", "/Annots [30 0 R 30 0 R]", {12, -5, 13, -7}},
        {"a form under an appearance: its inline images after the appearance's",
         "/Annots [36 0 R]", {12, -8, -5, 13, -7}},
        {"tiling pattern through a reference to the pattern dictionary",
         "/Resources << /Pattern 81 0 R >>", {13, -7}},
        {"inherited resources hold the patterns", "", {13, -7}},
        // Soft-mask groups: /G of each graphics state whose /SMask is a dictionary (in place or
        // through references), after the tiling patterns; /SMask /None and non-dictionaries draw
        // nothing.
        {"soft-mask groups after the tiling patterns",
         "/Resources << /ExtGState << /A << /SMask << /S /Luminosity /G 45 0 R >> >> /B 84 0 R "
         "/N << /SMask /None >> /R 86 0 R >> /Pattern << /P 50 0 R >> >>", {13, -7, 12, -9, -10}},
        {"a soft-mask group the page draws as a form is walked once",
         "/Resources << /XObject << /F 45 0 R >> /ExtGState << /A << /SMask << /G 45 0 R >> >> >> >>",
         {12, -9}},
    };
    for (const acase &c : cases) {
        SCOPED_TRACE(c.name);
        pdf_builder b;
        b.catalog(1, 2);
        b.pages(2, {3}, "/Resources << /Pattern << /P 50 0 R >> >>");
        b.page(3, 2, c.page_keys);
        for (int n : {12, 13}) b.stream(n, image_dict, "x");
        b.obj(30, "<< /AP << /N 40 0 R >> >>");
        b.obj(34, "<< /AP 82 0 R >>");
        b.obj(35, "<< /AS /Off /AP << /N 83 0 R >> >>");
        b.obj(36, "<< /AP << /N 43 0 R >> >>");
        b.stream(40, form_dict("/J 12 0 R"), "BI 5");
        b.stream(42, form_dict(""), "BI 6");
        b.stream(43, form_dict("/J 12 0 R /Sub 44 0 R"), "BI 8");
        b.stream(44, form_dict(""), "BI 5");
        b.stream(45, form_dict("/J 12 0 R"), "BI 9");
        b.stream(46, form_dict("/K 13 0 R"), "BI 10");
        b.stream(50, "<< /PatternType 1 " + xobjects("/K 13 0 R") + " >>", "BI 7");
        b.obj(80, "[30 0 R]");
        b.obj(81, "<< /P 50 0 R >>");
        b.obj(82, "<< /N 40 0 R >>");
        b.obj(83, "<< /Off 42 0 R >>");
        b.obj(84, "<< /Type /ExtGState /SMask 85 0 R >>");
        b.obj(85, "<< /S /Alpha /G 46 0 R >>");
        b.obj(86, "[/SMask 46 0 R]");
        b.xref_table(trailer_opts(1));
        EXPECT_EQ(c.want, walk_order(page_full(b, 0)));
    }
}

// ---- the whole document -----------------------------------------------------------------------------

TEST(CollectAll, InlineImagesAreNeverDuplicates) {
    // Pages 1 and 2 share one resources object with form 20 (inline image 2, XObject 10), which
    // both draw; page 3 shows the same form through resources of its own.
    pdf_builder b = pages_doc({"/Resources 60 0 R /Contents 70 0 R", "/Resources 60 0 R /Contents 70 0 R",
                               xobjects("/F 20 0 R")});
    b.obj(60, "<< /XObject << /F 20 0 R >> >>");
    b.stream(10, image_dict, "x");
    b.stream(20, form_dict("/I 10 0 R"), "BI 2");
    b.stream(70, "<< >>", "/F Do BI 1");
    b.xref_table(trailer_opts(1));
    records_full got = all_full(b);
    EXPECT_EQ((std::vector<int>{10, -1, -2, -1, -2, -2}), walk_order(got));
    std::vector<int> pages;
    for (auto &r : got) pages.push_back(r.page);
    EXPECT_EQ((std::vector<int>{1, 1, 1, 2, 2, 3}), pages);
}

// A form read to its end on an earlier page is not read again, unless forms under it hold inline
// images: those belong to every page that shows the form. Each case: the pages' resources, the
// forms 20.. (XObject entries, content), and the (page, inline width) records wanted.
TEST(CollectAll, InlineImagesOfFormsUnderSharedFormsOnEveryPage) {
    struct fcase {
        const char *name;
        std::vector<std::string> pages;
        std::vector<std::pair<std::string, std::string>> forms;
        std::vector<std::pair<int, int>> want;
    };
    const fcase cases[] = {
        {"one level down, through other resources", {xobjects("/F 20 0 R"), xobjects("/G 20 0 R")},
         {{"/H 21 0 R", ""}, {"", "BI 3"}}, {{1, 3}, {2, 3}}},
        {"two levels down, the page naming the middle one", {xobjects("/F 20 0 R"), xobjects("/G 21 0 R")},
         {{"/H 21 0 R", "BI 1"}, {"/K 22 0 R", ""}, {"", "BI 4"}}, {{1, 1}, {1, 4}, {2, 4}}},
        {"a loop: the form met again under it is still the way down",
         {xobjects("/A 20 0 R"), xobjects("/B 21 0 R")},
         {{"/B 21 0 R /C 22 0 R", ""}, {"/A 20 0 R", ""}, {"", "BI 4"}}, {{1, 4}, {2, 4}}},
        {"shared resources dictionary of two forms",
         {xobjects("/A 20 0 R /B 21 0 R"), xobjects("/B 21 0 R")},
         {{"/C 22 0 R", ""}, {"/C 22 0 R", ""}, {"", "BI 5"}}, {{1, 5}, {2, 5}}},
        {"forms without inline images give none", {xobjects("/F 20 0 R"), xobjects("/G 20 0 R")},
         {{"/H 21 0 R", ""}, {"", ""}}, {}},
    };
    for (const fcase &c : cases) {
        SCOPED_TRACE(c.name);
        pdf_builder b = pages_doc(c.pages);
        for (size_t i = 0; i < c.forms.size(); i++)
            b.stream(20 + (int)i, form_dict(c.forms[i].first), c.forms[i].second);
        b.xref_table(trailer_opts(1));
        std::vector<std::pair<int, int>> got;
        for (auto &r : all_full(b)) got.push_back({r.page, r.obj > 0 ? r.obj : r.width});
        EXPECT_EQ(c.want, got);
    }
}

TEST(CollectAll, InlineImagesAloneKeepTheFallbackScanAway) {
    pdf_builder b = pages_doc({"/Contents 70 0 R"});
    b.stream(10, image_dict, "x");  // named by no page
    b.stream(70, "<< >>", "BI 1");
    b.xref_table(trailer_opts(1));
    EXPECT_EQ((std::vector<int>{-1}), walk_order(all_full(b)));
}


TEST(CollectAll, DuplicatesAcrossPagesAreListedOnceOnTheFirstPage) {
    pdf_builder b = pages_doc({xobjects("/A 10 0 R"), xobjects("/B 11 0 R"),
                               xobjects("/A 10 0 R /F 20 0 R")});
    b.stream(10, image_dict, "x");
    b.stream(11, image_dict, "y");
    b.stream(20, form_dict("/I 11 0 R /J 12 0 R"), "");
    b.stream(12, image_dict, "z");
    b.xref_table(trailer_opts(1));
    EXPECT_EQ((records{{1, 10}, {2, 11}, {3, 12}}), all_records(b));
    // Each page on its own still lists what it uses.
    EXPECT_EQ((records{{3, 10}, {3, 11}, {3, 12}}), page_records(b, 2));
}

// The document's seen set has no cap either: after 4096 images, image 9000 on pages 3 and 4 is
// listed once, on page 3.
TEST(CollectAll, EachImageOnceHoweverManyTheDocumentHolds) {
    std::string p1, p2;
    for (int i = 0; i < 2048; i++) {
        p1 += "/A" + std::to_string(i) + " " + std::to_string(10000 + i) + " 0 R ";
        p2 += "/B" + std::to_string(i) + " " + std::to_string(20000 + i) + " 0 R ";
    }
    pdf_builder b = pages_doc({xobjects(p1), xobjects(p2), xobjects("/X 9000 0 R"),
                               xobjects("/X 9000 0 R /Y 10000 0 R")});
    for (int i = 0; i < 2048; i++) {
        b.stream(10000 + i, image_dict, "x");
        b.stream(20000 + i, image_dict, "x");
    }
    b.stream(9000, image_dict, "x");
    b.xref_table(trailer_opts(1));
    records got = all_records(b);
    ASSERT_EQ(4097u, got.size());
    EXPECT_EQ((std::pair<int, int>{2, 22047}), got[4095]);
    EXPECT_EQ((std::pair<int, int>{3, 9000}), got[4096]);
    EXPECT_EQ(4097u, g_tried.size()) << "nothing converted twice";
}

// A form read on a page whose walk stopped at the depth limit may lead further from a shallower
// place: on page 2, form 20 is read again and leads to image 10 through form 40, which page 1
// reached only at the 16th level (where its resources are not read).
TEST(CollectAll, FormsBelowTheDepthLimitAreReadAgainOnLaterPages) {
    std::string chain;
    pdf_builder b = pages_doc({xobjects("/C 21 0 R /F 20 0 R"), xobjects("/F 20 0 R")});
    for (int i = 0; i < 16; i++)  // forms 21..36, the last naming form 40
        b.stream(21 + i, form_dict(i < 15 ? "/C " + std::to_string(22 + i) + " 0 R" : "/G 40 0 R"), "");
    b.stream(20, form_dict("/G 40 0 R"), "");
    b.stream(40, form_dict("/I 10 0 R"), "");
    b.stream(10, image_dict, "x");
    b.xref_table(trailer_opts(1));
    EXPECT_EQ((records{{2, 10}}), all_records(b));
}

TEST(CollectAll, FallbackScanOnlyWhenNoPageYieldsAnImage) {
    struct fb_case {
        const char *name;
        std::string page_keys;
        std::set<int> fails;
        records want;
    };
    const fb_case cases[] = {
        {"pages without resources: every image stream, on page 1", "", {}, {{1, 10}, {1, 11}}},
        {"resources without images", xobjects("/P 12 0 R"), {}, {{1, 10}, {1, 11}}},
        {"a page yields one image: no fallback", xobjects("/B 11 0 R"), {}, {{1, 11}}},
        {"the page's only image fails: fallback tries the others", xobjects("/B 11 0 R"), {11},
         {{1, 10}}},
    };
    for (const fb_case &c : cases) {
        SCOPED_TRACE(c.name);
        pdf_builder b = pages_doc({c.page_keys});
        b.stream(10, image_dict, "x");
        b.stream(11, image_dict, "y");
        b.stream(12, "<< /Subtype /PS >>", "z");
        b.obj(13, "<< /Subtype /Image >>");  // no stream: never an image
        b.xref_table(trailer_opts(1));
        g_fails = c.fails;
        records got = all_records(b);
        g_fails.clear();
        std::sort(got.begin(), got.end());
        EXPECT_EQ(c.want, got);
    }
}

TEST(CollectAll, EmptyDocumentRecordGivesNothing) {
    pdfcore_doc doc;
    memset(&doc, 0, sizeof doc);
    img_vec list;
    memset(&list, 0, sizeof list);
    image_receiver to = img_vec_receiver(&list);
    EXPECT_EQ(0, collect_all_images(&doc, &to));
    EXPECT_EQ(0, collect_page_images(&doc, 0, &to));
    EXPECT_EQ(0, list.count);
    EXPECT_EQ(nullptr, list.items);
}

// ---- resource dictionaries shared by several pages --------------------------------------------

// Three pages (3, 4, 5 under node 2) drawing from dictionary 60: page 1 /B and /A, page 2 form /F
// and /D (and an inline image), page 3 /C and /D again; /U is drawn by no page. Dictionary 62 holds
// forms 21 and 22 that draw each other (and image 16), drawn by no page.
struct share_case {
    const char *name;
    std::vector<std::string> page_keys;  // of pages 1 to 3, besides /Contents
    std::string node_keys;               // of the Pages node
    std::string form_keys;               // of form 20, besides /Subtype /Form
    std::string form_content;
    std::vector<std::pair<int, int>> want;  // (page, object; -width for an inline image)
    bool alone_as_all;                      // each page alone gives what the whole walk gives it
};

static const char shared_entries[] = "/A 10 0 R /U 14 0 R /B 11 0 R /F 20 0 R /C 12 0 R /D 15 0 R";

static pdf_builder shared_doc(const share_case &c) {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3, 4, 5}, c.node_keys);
    for (int i = 0; i < 3; i++) b.page(3 + i, 2, c.page_keys[i] + " /Contents " + std::to_string(71 + i) + " 0 R");
    for (int n : {10, 11, 12, 13, 14, 15, 16}) b.stream(n, image_dict, "x");
    b.stream(20, "<< /Type /XObject /Subtype /Form " + c.form_keys + " >>", c.form_content);
    b.stream(21, "<< /Subtype /Form /Resources 62 0 R >>", "/H Do");
    b.stream(22, "<< /Subtype /Form /Resources 62 0 R >>", "q /G Do Q /E Do");
    b.obj(60, std::string("<< /XObject << ") + shared_entries + " >> >>");
    b.obj(62, "<< /XObject << /G 21 0 R /H 22 0 R /E 16 0 R /A 10 0 R >> >>");
    b.stream(71, "<< >>", "q /B Do Q q /A Do Q");
    b.stream(72, "<< >>", "/F Do (text) Tj /D Do BI 5");
    b.stream(73, "<< >>", "/C Do % /U Do\n/D Do");
    b.xref_table(trailer_opts(1));
    return b;
}

static std::vector<std::pair<int, int>> page_and_order(const records_full &r) {
    std::vector<std::pair<int, int>> out;
    for (auto &x : r) out.push_back({x.page, x.obj > 0 ? x.obj : -x.width});
    return out;
}

TEST(CollectShared, PagesTakeWhatTheyDraw) {
    const std::string by_ref = "/Resources 60 0 R";
    const std::string own = std::string("/Resources << /XObject << ") + shared_entries + " >> >>";
    const std::string image_13 = xobjects("/I 13 0 R");
    const std::vector<std::pair<int, int>> drawn = {{1, 10}, {1, 14}, {1, 11}, {2, 13}, {2, 15}, {2, -5}, {3, 12}};
    const share_case cases[] = {
        {"one dictionary object", {by_ref, by_ref, by_ref}, "", image_13, "", drawn, true},
        {"inherited from the page-tree node", {"", "", ""}, own, image_13, "", drawn, true},
        {"inherited through a reference", {"", "", ""}, by_ref, image_13, "", drawn, true},
        {"a form whose resources are the shared dictionary draws from it", {by_ref, by_ref, by_ref}, "",
         by_ref, "/C Do", {{1, 10}, {1, 14}, {1, 11}, {2, 12}, {2, 15}, {2, -5}}, true},
        {"an earlier page with resources of its own takes an image first",
         {xobjects("/D 15 0 R"), by_ref, by_ref}, "", image_13, "",
         {{1, 15}, {2, 10}, {2, 14}, {2, 11}, {2, 13}, {2, -5}, {3, 12}}, true},
        {"forms that draw only each other: on the first page, nothing lost",
         {"/Resources 62 0 R", "/Resources 62 0 R", "/Resources 62 0 R"}, "", image_13, "",
         {{1, 16}, {1, 10}, {2, -5}}, true},
        {"resources of each page's own: as before", {own, own, own}, "", image_13, "",
         {{1, 10}, {1, 14}, {1, 11}, {1, 13}, {1, 12}, {1, 15}, {2, -5}}, false},
    };
    for (const share_case &c : cases) {
        SCOPED_TRACE(c.name);
        pdf_builder b = shared_doc(c);
        g_tried.clear();
        EXPECT_EQ(c.want, page_and_order(all_full(b)));
        EXPECT_EQ(std::count_if(c.want.begin(), c.want.end(), [](const std::pair<int, int> &r) { return r.second > 0; }),
                  (long)g_tried.size())
            << "each image converted once";
        if (!c.alone_as_all) continue;
        for (int page = 1; page <= 3; page++) {
            SCOPED_TRACE(page);
            std::vector<std::pair<int, int>> want;
            for (auto &r : c.want)
                if (r.first == page) want.push_back(r);
            EXPECT_EQ(want, page_and_order(page_full(b, page - 1)));
        }
    }
}

// The operands of Do as drawn_names finds them. Each case is read as written, and again after a
// string (which sends the content to the token reader), and both must agree.
TEST(CollectShared, DrawnNames) {
    struct name_case {
        const char *name;
        std::string content;
        std::vector<std::string> want;
    };
    const name_case cases[] = {
        {"operators around", "q 1 0 0 1 0 0 cm /Im1 Do Q /Im2 Do", {"Im1", "Im2"}},
        {"delimiters next to Do", "/Im1 Do/Im2\nDo[/Im3 Do]", {"Im1", "Im2", "Im3"}},
        {"the name /Do, and Do glued to names", "/Do Do /Im1 /Do /Im2Do /Im3 DoX", {"Do"}},
        {"operands that are no names", "[/Im1] Do <2F49> Do 5 Do", {}},
        {"names as written", "/A#20B Do /\xC3\xA9 Do", {"A#20B", "\xC3\xA9"}},
        {"no Do at all", "q /Im1 gs Q", {}},
        {"repeats kept", "/A Do /A Do", {"A", "A"}},
        {"at the very start and end", "/A\nDo", {"A"}},
    };
    auto names_of = [](const std::string &content) {
        std::vector<std::string> got;
        drawn_names((const uint8_t *)content.data(), (int32_t)content.size(),
                    [](void *ctx, const uint8_t *n, int32_t len) {
                        ((std::vector<std::string> *)ctx)->push_back(std::string((const char *)n, (size_t)len));
                    },
                    &got);
        return got;
    };
    for (const name_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, names_of(c.content));
        EXPECT_EQ(c.want, names_of("(s) Tj " + c.content));
    }
    // Only the token reader can tell these: strings, comments and inline image data hold no operator.
    const name_case hidden[] = {
        {"a string", "(/X Do) Tj /A Do (a\\) /Y Do) Tj", {"A"}},
        {"a comment", "% /X Do\n/A Do %/Y Do", {"A"}},
        {"a comment between operand and operator", "/A % note\nDo", {"A"}},
        {"inline image data", "BI /W 1 /H 1 ID \x01/X Do\x02 EI /A Do BI /W 2 ID /Y Do EI Q", {"A"}},
        {"an inline image without ID", "BI /W 1 /H 1 /A Do", {"A"}},
        {"inline data that never ends", "/A Do BI /W 1 ID /X Do", {"A"}},
    };
    for (const name_case &c : hidden) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, names_of(c.content));
    }
}

// Every prefix and every one-byte change of a small document: the walk stays in bounds and every
// listed record is a converted object of the document.
TEST(CollectAll, MutatedDocumentsStayInBounds) {
    pdf_builder b = pages_doc({xobjects("/A 10 0 R /F 20 0 R"), "/Resources 21 0 R"});
    b.stream(10, image_dict, "x");
    b.stream(11, image_dict, "y");
    b.stream(20, "<< /Subtype /Form /Resources 21 0 R >>", "");
    b.obj(21, "<< /XObject << /B 11 0 R /F 20 0 R >> >>");
    b.xref_table(trailer_opts(1));
    // And a dictionary shared by three pages, with a form drawing from it (each page also alone).
    share_case shared = {"", {"/Resources 60 0 R", "/Resources 60 0 R", "/Resources 60 0 R"}, "",
                         "/Resources 60 0 R", "/C Do /F Do", {}, true};
    const std::pair<std::string, size_t> bases[] = {{b.bytes(), 4}, {shared_doc(shared).bytes(), 9}};
    std::string path = pdf_temp_path("collect_mut");
    const uint8_t flips[] = {'<', '>', '0'};
    size_t runs = 0;
    for (const auto &base : bases) {
        for (size_t i = 0; i < base.first.size(); i += base.second) {
            for (size_t k = 0; k < sizeof flips + 1; k++) {
                std::string m = k < sizeof flips ? base.first : base.first.substr(0, i);
                if (k < sizeof flips) m[i] = (char)flips[k];
                ASSERT_TRUE(write_file(path, m));
                pdfcore_doc doc;
                memset(&doc, 0, sizeof doc);
                if (pdfcore_load(path.c_str(), &doc) == 1) {
                    for (int32_t page = -1; page < (base.second == 4 ? 0 : doc.pages.count); page++) {
                        img_vec list;
                        memset(&list, 0, sizeof list);
                        image_receiver to = img_vec_receiver(&list);
                        if (page < 0) collect_all_images(&doc, &to);
                        else collect_page_images(&doc, page, &to);
                        for (int32_t j = 0; j < list.count; j++)
                            ASSERT_TRUE(list.items[j].obj_num == 0 || obj_find(&doc.objs, list.items[j].obj_num));
                        img_vec_free(&list);
                    }
                    runs++;
                }
                pdfcore_doc_free(&doc);
            }
        }
    }
    remove(path.c_str());
    EXPECT_GT(runs, 0u);
}
