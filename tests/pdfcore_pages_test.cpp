// Page tree: node types, Kids arrays (direct and through an array object), boxes, rotation, and
// the walk's order, cycle protection and depth.
#include "pdfcore/pdfcore.h"
#include "pdf_builder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>
#include <string>
#include <unistd.h>

static const uint8_t *u(const std::string &s) { return (const uint8_t *)s.data(); }

// Entry for a text that stands for an object from an object stream: the whole text is its span.
static pdfcore_obj packed(const std::string &text) {
    pdfcore_obj e;
    memset(&e, 0, sizeof e);
    e.num = 1;
    e.head_off = e.dict_off = e.stream_kw_off = e.data_off = e.data_end = -1;
    e.endobj_off = e.end_off = e.stream_len = -1;
    e.in_objstm = 1;
    e.body = u(text);
    e.body_len = (int32_t)text.size();
    return e;
}

// A document with no file, for entries whose text is given (packed ones): nothing is read.
static const pdfcore_doc no_file{};

// The index of some bytes, as the load makes it, and a page list to walk into.
struct tree_fixture {
    std::string bytes;
    pdfcore_doc doc{};
    const objvec &objs = doc.objs;
    pagevec pages = {nullptr, 0, 0};
    int32_t max_num = 0;
    explicit tree_fixture(const std::string &b) : bytes(b) {
        int32_t encryption = 0;
        EXPECT_EQ(0, doc_open_memory(u(bytes), (int64_t)bytes.size(), "tree", &doc));
        (void)doc_build_index(&doc, &encryption);
        max_num = doc.max_num;
    }
    int32_t resolve(int32_t root) {
        std::vector<uint8_t> visited((size_t)max_num + 1, 0);
        return resolve_pages(&doc, root, max_num, &pages, visited.data(), 0);
    }
    std::string order() const {
        std::string s;
        for (int32_t i = 0; i < pages.count; i++)
            s += (i ? " " : "") + std::to_string(pages.items[i].obj_num);
        return s;
    }
    ~tree_fixture() {
        pdfcore_doc_free(&doc);
        free(pages.items);
    }
};

TEST(Pages, ObjType) {
    struct {
        const char *text;
        int32_t want;
    } cases[] = {
        {"<< /Type /Page >>", 1},
        {"<< /Type/Page>>", 1},
        {"<< /Type /Pages /Kids [] >>", 2},
        {"<< /Type/Pages>>", 2},
        {"<< /Type /PageLabel >>", 0},
        {"<< /Type /Pagesx >>", 0},
        {"<< /Type /Catalog /X << /Type /Page >> >>", 1},
        {"<< /Type /Page", 1},
        {"<< /Type /Pages", 2},
        {"<< /Type /Pag", 0},
        {"<< /Subtype /Page >>", 0},
        {"<< /Type\n\t/Page/Parent 1 0 R >>", 1},
        {"<< /Type /Page_x >>", 1},  // '_' is not a letter or digit here
        {"<< /Type /XObject >>", 0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::string t = c.text;
        pdfcore_obj e = packed(t);
        EXPECT_EQ(c.want, obj_type(&no_file, &e));
    }
    // An object without a dictionary has no span: no type.
    pdfcore_obj none = packed("");
    none.in_objstm = 0;
    EXPECT_EQ(0, obj_type(&no_file, &none));
}

TEST(Pages, ParseKids) {
    struct {
        const char *text;
        int32_t room;
        int32_t want;
        std::vector<int32_t> kids;
    } cases[] = {
        {"<< /Kids [3 0 R 4 0 R] >>", 10, 2, {3, 4}},
        {"<< /Kids [3 4 5] >>", 10, 2, {3, 5}},
        {"<< /Kids [ ] >>", 10, 0, {}},
        {"<< /Count 0 >>", 10, -1, {}},
        {"<< /Kids /None /Kids [7 0 R] >>", 10, 1, {7}},
        {"<< /Kids [3 0 R 4 0 R 5 0 R] >>", 2, 2, {3, 4}},
        {"<< /Kids [3 0 R 4 0 R", 10, 2, {3, 4}},
        {"<< /Kids [", 10, 0, {}},
        {"<< /Kids [0 0 R 3 0 R -2 0 R] >>", 10, 2, {3, 2}},  // '-' is skipped on its own
        {"<< /Kids [3 0 R,4 0 R] >>", 10, 2, {3, 4}},
        {"<< /Kids 9 0 R >>", 10, -1, {}},  // no such object: not followed
        {"<< /Kids % pages\n[3 0 R % 4 0 R\n 5 0 R] >>", 10, 2, {3, 5}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::string t = c.text;
        pdfcore_obj e = packed(t);
        int32_t kids[16] = {0};
        int32_t n = parse_kids(&no_file, &e, kids, c.room);
        EXPECT_EQ(c.want, n);
        for (size_t i = 0; i < c.kids.size() && (int32_t)i < n; i++) EXPECT_EQ(c.kids[i], kids[i]);
    }
}

TEST(Pages, KidsThroughAnArrayObject) {
    pdf_builder b;
    b.catalog(1, 2);
    b.obj(2, "<< /Type /Pages /Kids 5 0 R >>");
    b.obj(5, "[3 0 R 4 0 R]");
    b.page(3, 2);
    b.page(4, 2);
    tree_fixture t(b.bytes());
    EXPECT_EQ(2, t.resolve(2));
    EXPECT_EQ("3 4", t.order());

    // The array inside an object stream, and a reference to a non-array (adds nothing).
    pdf_builder c;
    c.obj(2, "<< /Type /Pages /Kids 5 0 R >>");
    c.objstm(10, {{5, "[4 0 R 3 0 R]"}}, false);
    c.page(3, 2);
    c.page(4, 2);
    c.obj(6, "<< /Type /Pages /Kids 7 0 R >>");
    c.obj(7, "<< /Not /An /Array >>");
    tree_fixture t2(c.bytes());
    EXPECT_EQ(2, t2.resolve(2));
    EXPECT_EQ("4 3", t2.order());
    EXPECT_EQ(0, t2.resolve(6));
}

TEST(Pages, LongKidsArrayObjectIsReadWhole) {
    const int n = 20000;  // far more than the room a small node gets
    std::string arr = "[";
    pdf_builder b;
    b.obj(2, "<< /Type /Pages /Kids 5 0 R >>");
    for (int i = 0; i < n; i++) arr += std::to_string(10 + i) + " 0 R ";
    b.obj(5, arr + "]");
    for (int i = 0; i < n; i++) b.obj(10 + i, "<< /Type /Page >>");
    tree_fixture t(b.bytes());
    EXPECT_EQ(n, t.resolve(2));
    EXPECT_EQ(10 + n - 1, t.pages.items[n - 1].obj_num);
}

TEST(Pages, DocumentOrderAndParents) {
    pdf_builder b;
    b.obj(2, "<< /Type /Pages /Kids [3 0 R 10 0 R 6 0 R] >>");
    b.page(3, 2);
    b.obj(10, "<< /Type /Pages /Kids [4 0 R 5 0 R] >>");
    b.page(4, 10);
    b.page(5, 10);
    b.page(6, 2);
    tree_fixture t(b.bytes());
    EXPECT_EQ(4, t.resolve(2));
    EXPECT_EQ("3 4 5 6", t.order());
    EXPECT_EQ(2, t.pages.items[0].parent_num);
    EXPECT_EQ(10, t.pages.items[1].parent_num);
    EXPECT_EQ(2, t.pages.items[3].parent_num);
}

TEST(Pages, BrokenTrees) {
    struct {
        const char *name;
        std::vector<std::pair<int, std::string>> objs;
        int32_t want;
        const char *order;
    } cases[] = {
        {"node lists itself", {{2, "<< /Type /Pages /Kids [2 0 R 3 0 R] >>"}, {3, "<< /Type /Page >>"}}, 1, "3"},
        {"node lists an ancestor",
         {{2, "<< /Type /Pages /Kids [4 0 R] >>"}, {4, "<< /Type /Pages /Kids [2 0 R] >>"}}, 0, ""},
        {"loop below, pages on both sides kept in order",
         {{2, "<< /Type /Pages /Kids [3 0 R 4 0 R 6 0 R] >>"}, {3, "<< /Type /Page >>"},
          {4, "<< /Type /Pages /Kids [5 0 R 2 0 R 4 0 R 7 0 R] >>"}, {5, "<< /Type /Page >>"},
          {6, "<< /Type /Page >>"}, {7, "<< /Type /Page >>"}}, 4, "3 5 7 6"},
        {"missing kid", {{2, "<< /Type /Pages /Kids [3 0 R 9 0 R] >>"}, {3, "<< /Type /Page >>"}}, -1, "3"},
        {"kid of another type", {{2, "<< /Type /Pages /Kids [3 0 R] >>"}, {3, "<< /Type /Font >>"}}, -1, ""},
        {"page listed twice", {{2, "<< /Type /Pages /Kids [3 0 R 3 0 R] >>"}, {3, "<< /Type /Page >>"}}, 2, "3 3"},
        {"node listed twice, walked under each",
         {{2, "<< /Type /Pages /Kids [4 0 R 4 0 R] >>"}, {4, "<< /Type /Pages /Kids [3 0 R] >>"},
          {3, "<< /Type /Page >>"}}, 2, "3 3"},
        {"only empty nodes",
         {{2, "<< /Type /Pages /Kids [4 0 R 5 0 R] >>"}, {4, "<< /Type /Pages /Kids [ ] >>"},
          {5, "<< /Type /Pages >>"}}, 0, ""},
        {"root of another type", {{2, "<< /Type /Catalog >>"}}, -1, ""},
        {"root missing", {{3, "<< /Type /Page >>"}}, -1, ""},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        pdf_builder b;
        for (auto &o : c.objs) b.obj(o.first, o.second);
        tree_fixture t(b.bytes());
        EXPECT_EQ(c.want, t.resolve(2));
        EXPECT_EQ(c.order, t.order());
    }
}

TEST(Pages, RotationInheritance) {
    struct {
        const char *name;
        const char *node;
        const char *page;
        int32_t want;
    } cases[] = {
        {"from the node", "/Rotate 90", "", 90},
        {"page's own 0 overrides", "/Rotate 90", "/Rotate 0", 0},
        {"450 is 90", "", "/Rotate 450", 90},
        {"negative counts as absent", "/Rotate 270", "/Rotate -90", 270},
        {"node negative is absent", "/Rotate -90", "", 0},
        {"not a multiple of 90", "", "/Rotate 45", 45},
        {"node 720", "/Rotate 720", "", 0},
        {"not an integer", "/Rotate 180", "/Rotate /X", 180},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        pdf_builder b;
        b.obj(1, std::string("<< /Type /Pages /Kids [2 0 R] ") + c.node + " >>");
        b.obj(2, std::string("<< /Type /Pages /Kids [3 0 R] >>"));
        b.page(3, 2, c.page);
        tree_fixture t(b.bytes());
        ASSERT_EQ(1, t.resolve(1));
        EXPECT_EQ(c.want, t.pages.items[0].rotate);
    }
    // The root's inherited rotation is normalised too.
    pdf_builder b;
    b.page(3, 2);
    tree_fixture t(b.bytes());
    std::vector<uint8_t> visited(4, 0);
    ASSERT_EQ(1, resolve_pages(&t.doc, 3, t.max_num, &t.pages,
                               visited.data(), -90));
    EXPECT_EQ(270, t.pages.items[0].inherited_rotate);
    EXPECT_EQ(270, t.pages.items[0].rotate);
}

TEST(Pages, BoxArrays) {
    struct {
        const char *text;
        int32_t ok;
        double x0, y0, x1, y1;
    } cases[] = {
        {"[0 0 612 792]", 1, 0, 0, 612, 792},
        {"[0 0 612]", 0, 0, 0, 0, 0},
        {"[0 0 0 792]", 0, 0, 0, 0, 0},
        {"[0 0 612 -792]", 0, 0, 0, 0, 0},
        {"[10.5 -3 600.25 780]", 1, 10.5, -3, 600.25, 780},
        {"[0,0,612,792]", 1, 0, 0, 612, 792},
        {"[0 0 612. 792]", 1, 0, 0, 612, 792},
        {"[-.5 +1 2 3]", 1, -0.5, 1, 2, 3},
        {"[ /a 1 2 3 4 5]", 1, 1, 2, 3, 4},
        {"[1 2 3 4", 1, 1, 2, 3, 4},
        {"[1 2 3", 0, 0, 0, 0, 0},
        {"[1e3 0 10 10]", 0, 0, 0, 0, 0},  // no exponent: 1, 3, 0, 10 and a third value of 0
        {"[", 0, 0, 0, 0, 0},
        {"x", 0, 0, 0, 0, 0},
        {"[0 0 % 5 5\n612 792]", 1, 0, 0, 612, 792},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::string t = c.text;
        double v[4] = {-1, -1, -1, -1};
        EXPECT_EQ(c.ok, parse_box_array(u(t), (int32_t)t.size(), 0, &v[0], &v[1], &v[2], &v[3]));
        if (c.ok) {
            EXPECT_DOUBLE_EQ(c.x0, v[0]);
            EXPECT_DOUBLE_EQ(c.y0, v[1]);
            EXPECT_DOUBLE_EQ(c.x1, v[2]);
            EXPECT_DOUBLE_EQ(c.y1, v[3]);
        } else {
            EXPECT_EQ(-1, v[0]);  // outputs untouched
        }
    }
    std::string neg = "[- 0 1 1]";
    double a = 1, b = 1, c = 1, d = 1;
    ASSERT_EQ(1, parse_box_array(u(neg), (int32_t)neg.size(), 0, &a, &b, &c, &d));
    EXPECT_TRUE(std::signbit(a));  // a lone '-' is negative zero
}

TEST(Pages, PageBoxChoice) {
    struct {
        const char *dict;
        double x0, y0, x1, y1;
    } cases[] = {
        {"<< /MediaBox [0 0 612 792] >>", 0, 0, 612, 792},
        {"<< /MediaBox [0 0 612 792] /CropBox [10.5 -3 600.25 780] >>", 10.5, -3, 600.25, 780},
        {"<< /MediaBox [0 0 612] >>", 0, 0, 595, 842},
        {"<< /MediaBox [0 0 0 792] /MediaBox [1 1 5 5] >>", 1, 1, 5, 5},
        {"<< /MediaBox 9 0 R >>", 0, 0, 595, 842},
        {"<< /CropBox [0 0 -1 5] /MediaBox [0 0 20 30] >>", 0, 0, 20, 30},
        {"<< /Resources << /CropBox [1 2 3 4] >> /MediaBox [0 0 20 30] >>", 1, 2, 3, 4},
        {"<< >>", 0, 0, 595, 842},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.dict);
        std::string t = c.dict;
        pdfcore_obj e = packed(t);
        pdfcore_page pg;
        memset(&pg, 0, sizeof pg);
        e.body = u(t);
        fill_pageinfo(&no_file, &e, &pg);
        EXPECT_DOUBLE_EQ(c.x0, pg.x0);
        EXPECT_DOUBLE_EQ(c.y0, pg.y0);
        EXPECT_DOUBLE_EQ(c.x1, pg.x1);
        EXPECT_DOUBLE_EQ(c.y1, pg.y1);
    }
}

TEST(Pages, PagesRefOfCatalog) {
    struct {
        const char *text;
        int32_t want;
    } cases[] = {
        {"<< /Type /Catalog /Pages 2 0 R >>", 2},
        {"<< /PageMode /Pages /Pages 7 0 R >>", 7},
        {"<< /Pages 0 0 R /Pages 3 0 R >>", 3},
        {"<< /Type /Catalog >>", -1},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::string t = c.text;
        pdfcore_obj e = packed(t);
        EXPECT_EQ(c.want, parse_pages_ref(&no_file, &e));
    }
}

TEST(Pages, NoVisitedMarksMeansNoWalk) {
    pdf_builder b;
    b.obj(2, "<< /Type /Pages /Kids [2 0 R] >>");
    tree_fixture t(b.bytes());
    EXPECT_EQ(-1, resolve_pages(&t.doc, 2, t.max_num,
                                &t.pages, nullptr, 0));
}

// Nodes that each list the next one twice would make 2^40 pages: the walk stops after a few times
// the index's entries, and leaves its marks cleared.
TEST(Pages, SharedNodesCannotMultiplyTheWalk) {
    pdf_builder b;
    const int depth = 40;
    for (int i = 0; i < depth; i++) {
        std::string next = std::to_string(11 + i) + " 0 R ";
        b.obj(10 + i, "<< /Type /Pages /Kids [" + next + next + "] >>");
    }
    b.obj(10 + depth, "<< /Type /Page >>");
    tree_fixture t(b.bytes());
    std::vector<uint8_t> visited((size_t)t.max_num + 1, 0);
    int32_t n = resolve_pages(&t.doc, 10, t.max_num, &t.pages,
                              visited.data(), 0);
    EXPECT_GT(n, 0);
    EXPECT_LE(n, 4 * t.objs.count + 1024);
    EXPECT_EQ(std::vector<uint8_t>((size_t)t.max_num + 1, 0), visited);
}

// A chain of 100,000 nested /Pages nodes with one page at the bottom loads without exhausting the
// stack.
TEST(Pages, DeepChainLoads) {
    const int depth = 100000;
    std::string s = "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n";
    s.reserve((size_t)depth * 48);
    for (int i = 0; i < depth; i++) {
        int n = 2 + i;
        s += std::to_string(n) + " 0 obj << /Type /Pages /Kids [" + std::to_string(n + 1) +
             " 0 R] >> endobj\n";
    }
    s += std::to_string(depth + 2) + " 0 obj << /Type /Page /Rotate 90 >> endobj\n";
    std::string path = pdf_temp_path("pdfcore_deep");
    ASSERT_TRUE(write_file(path, s));
    pdfcore_doc doc;
    memset(&doc, 0, sizeof doc);
    ASSERT_EQ(1, pdfcore_load(path.c_str(), &doc)) << pdfcore_last_error(&doc);
    unlink(path.c_str());
    ASSERT_EQ(1, doc.pages.count);
    EXPECT_EQ(depth + 2, doc.pages.items[0].obj_num);
    EXPECT_EQ(depth + 1, doc.pages.items[0].parent_num);
    EXPECT_EQ(90, doc.pages.items[0].rotate);
    pdfcore_doc_free(&doc);
}
