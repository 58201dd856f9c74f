// Document load: cross-reference and trailer facts, header version, the load's error texts, the
// catalog search, and damaged files (truncations, wrong offsets, incremental updates).
#include "pdfcore/pdfcore.h"
#include "pdf_builder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <unistd.h>
#include <fcntl.h>

static const uint8_t *u(const std::string &s) { return (const uint8_t *)s.data(); }

struct xref_fixture {
    struct xref x;
    explicit xref_fixture(const std::string &bytes) {
        memset(&x, 0, sizeof x);
        file_source src;
        src_from_memory(&src, u(bytes), (int64_t)bytes.size(), (int64_t)bytes.size());
        EXPECT_EQ(0, parse_xref(&src, &x));
    }
    ~xref_fixture() { xref_free(&x); }
};

// Loads bytes through a temporary file; the record is freed by the caller.
static int load_bytes(const std::string &bytes, pdfcore_doc *doc, std::string *path_out = nullptr) {
    std::string path = pdf_temp_path("pdfcore_load");
    EXPECT_TRUE(write_file(path, bytes));
    memset(doc, 0, sizeof *doc);
    int r = pdfcore_load(path.c_str(), doc);
    unlink(path.c_str());
    if (path_out) *path_out = path;
    return r;
}

static pdf_builder one_page_doc() {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.page(3, 2);
    return b;
}

// ---- cross-reference --------------------------------------------------------------------------

TEST(Xref, ClassicTableEntries) {
    std::string s = "%PDF-1.4\nxref\n0 3\n0000000000 65535 f\r\n0000000017 00000 n\r\n"
                    "0000000081 00002 n\r\ntrailer\n<< /Root 1 0 R /Info 2 0 R >>\nstartxref\n9\n%%EOF\n";
    xref_fixture f(s);
    EXPECT_EQ(1, f.x.has_startxref);
    EXPECT_EQ(9, f.x.startxref);
    EXPECT_EQ(1, f.x.has_table);
    EXPECT_EQ(0, f.x.first);
    ASSERT_EQ(3, f.x.capacity);
    EXPECT_EQ(-1, f.x.offsets[0]);
    EXPECT_EQ(17, f.x.offsets[1]);
    EXPECT_EQ(81, f.x.offsets[2]);
    EXPECT_EQ(0, f.x.in_use[0]);
    EXPECT_EQ(1, f.x.in_use[1]);
    EXPECT_EQ(2, f.x.gens[2]);
    EXPECT_EQ(1, f.x.root);
    EXPECT_EQ(2, f.x.info);
    EXPECT_EQ(1, f.x.has_header);
    EXPECT_STREQ("1.4", f.x.version);
}

TEST(Xref, TableEdgeCases) {
    struct {
        const char *name;
        std::string table;
        int has_table;
        int capacity;
        int64_t off1;
    } cases[] = {
        {"count beyond file", "xref\n0 9000\n0000000000 65535 f\r\n0000000017 00000 n\r\n", 0, 0, -99},
        {"malformed entry skipped", "xref\n0 2\n0000000000 65535 f\r\n00000x0017 00000 n\r\n", 1, 2, -1},
        {"second subsection ignored", "xref\n0 1\n0000000000 65535 f\r\n1 1\n0000000017 00000 n\r\n",
         1, 1, -99},
        {"start above cap", "xref\n8388609 1\n0000000017 00000 n\r\n", 0, 0, -99},
        {"offset beyond 32 bits", "xref\n0 2\n0000000000 65535 f\r\n9999999999 00000 n\r\n", 1, 2, 9999999999},
        {"entry cut by file end", "xref\n0 2\n0000000000 65535 f\r\n0000000017 00000 n", 1, 2, -1},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string s = "%PDF-1.4\n" + c.table + "trailer\n<< /Root 1 0 R >>\nstartxref\n9\n%%EOF\n";
        if (std::string(c.name) == "entry cut by file end") s = "%PDF-1.4\n" + c.table;
        xref_fixture f(s);
        if (std::string(c.name) == "entry cut by file end") {
            // no startxref: the table is never reached
            EXPECT_EQ(0, f.x.has_table);
            continue;
        }
        EXPECT_EQ(c.has_table, f.x.has_table);
        EXPECT_EQ(c.capacity, f.x.capacity);
        if (c.off1 != -99 && f.x.capacity > 1) EXPECT_EQ(c.off1, f.x.offsets[1]);
        EXPECT_EQ(1, f.x.root);  // the trailer is read whatever the table held
    }
    // A table cut inside its second entry (startxref before it names it).
    xref_fixture cut("startxref\n13\nxref\n0 2\n0000000000 65535 f\r\n0000000017 00000 n");
    EXPECT_EQ(1, cut.x.has_table);
    EXPECT_EQ(-1, cut.x.offsets[1]);
}

TEST(Xref, LaterStartxrefAndTrailersAfterTheTable) {
    pdf_builder b = one_page_doc();
    b.raw("trailer\n<< /Root 7 0 R >>\nstartxref\n0\n%%EOF\n");  // before the table: not read
    long table = b.xref_table(trailer_opts(1));
    b.trailer_only(trailer_opts(2));
    b.raw("trailer\n<< /Root /Broken >>\n");
    b.trailer_only(trailer_opts(3));
    b.raw("trailer\n<< /Size 3 >>\n");
    b.startxref(table);
    xref_fixture f(b.bytes());
    EXPECT_EQ(table, f.x.startxref);
    EXPECT_EQ(3, f.x.root);
}

// Comments where whitespace may stand in the table, the trailer and after startxref; an offset
// that names a comment names no cross-reference data.
TEST(Xref, Comments) {
    pdf_builder b = one_page_doc();
    long table = b.tell();
    b.raw("xref % the table\n0 2 % two entries\n0000000000 65535 f \n0000000017 00000 n \n"
          "trailer % the trailer\n<< /Size 2 /Root % catalog\n 7 0 R >>\n");
    long comment = b.tell();
    b.raw("% a comment\nstartxref % offset follows\n" + std::to_string(table) + "\n%%EOF\n");
    xref_fixture f(b.bytes());
    EXPECT_EQ(table, f.x.startxref);
    EXPECT_EQ(1, f.x.has_table);
    EXPECT_EQ(17, f.x.offsets[1]);
    EXPECT_EQ(7, f.x.root);
    b.raw("startxref\n" + std::to_string(comment) + "\n%%EOF\n");
    xref_fixture g(b.bytes());
    EXPECT_EQ(comment, g.x.startxref);
    EXPECT_EQ(-1, g.x.root);
}

TEST(Xref, StartxrefPastTheEnd) {
    pdf_builder b = one_page_doc();
    b.xref_table(trailer_opts(1));
    b.startxref(1000000);
    xref_fixture f(b.bytes());
    EXPECT_EQ(0, f.x.has_startxref);
    EXPECT_EQ(-1, f.x.startxref);
    EXPECT_EQ(-1, f.x.root);
    EXPECT_EQ(1, f.x.has_header);
}

TEST(Xref, CrossReferenceStreamChain) {
    pdf_builder b = one_page_doc();
    trailer_opts older(5);
    older.info = 2;
    long first = b.xref_stream(20, older);
    trailer_opts newer(1);
    newer.prev = first;
    b.xref_stream(21, newer);
    xref_fixture f(b.bytes());
    EXPECT_EQ(1, f.x.root);   // the first one read wins
    EXPECT_EQ(-1, f.x.info);  // /Info is not read from cross-reference streams
    EXPECT_EQ(0, f.x.encrypted);

    pdf_builder e = one_page_doc();
    trailer_opts enc(1);
    enc.encrypt = 9;
    long old = e.xref_stream(20, enc);
    trailer_opts top(1);
    top.prev = old;
    e.xref_stream(21, top);
    xref_fixture g(e.bytes());
    EXPECT_EQ(1, g.x.encrypted);  // seen in an older section of the chain
}

TEST(Xref, PrevLoopsAndLongChainsEnd) {
    // A stream whose /Prev names itself.
    pdf_builder b = one_page_doc();
    trailer_opts t(1);
    t.prev = (long)b.tell();
    b.xref_stream(20, t);
    xref_fixture f(b.bytes());
    EXPECT_EQ(1, f.x.root);

    // A chain of 40 sections: only 32 are read, so /Encrypt in the oldest is not seen.
    pdf_builder c = one_page_doc();
    long prev = -1;
    for (int i = 0; i < 40; i++) {
        trailer_opts s(1);
        s.prev = prev;
        if (i == 0) s.encrypt = 9;
        prev = c.xref_stream(100 + i, s);
    }
    xref_fixture g(c.bytes());
    EXPECT_EQ(0, g.x.encrypted);
    EXPECT_EQ(1, g.x.root);
}

TEST(Xref, HeaderSearch) {
    struct {
        const char *name;
        std::string bytes;
        int has;
        const char *version;
    } cases[] = {
        {"at zero", "%PDF-1.4\n1 0 obj\n", 1, "1.4"},
        {"after garbage", std::string(1000, 'x') + " %PDF-1.7\nmore bytes", 1, "1.7"},
        {"at 1023", std::string(1022, ' ') + "\n%PDF-2.0\n........", 1, "2.0"},
        {"at 1024", std::string(1024, ' ') + "%PDF-2.0\n........", 0, ""},
        {"word byte before", "x%PDF-1.4\n12345678", 0, ""},
        {"two-digit minor", "%PDF-1.10\n1234567", 1, "1.10"},
        {"no point", "%PDF-17\n12345678", 1, "17"},
        {"too close to the end", "%PDF-1.", 0, ""},
        {"letters", "%PDF-abc\n1234567", 1, ""},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        xref_fixture f(c.bytes);
        EXPECT_EQ(c.has, f.x.has_header);
        EXPECT_STREQ(c.version, f.x.version);
    }
    char v[16];
    std::string longv = "1.2345678901234567890";
    parse_pdf_version(u(longv), (int32_t)longv.size(), 0, v);
    EXPECT_STREQ("1.2345678901234", v);  // at most 15 characters
}

TEST(Xref, GrowAfterFree) {
    struct xref x;
    memset(&x, 0, sizeof x);
    ASSERT_EQ(0, xref_grow(&x, 3));
    x.offsets[2] = 44;
    ASSERT_EQ(0, xref_grow(&x, 5));
    EXPECT_EQ(44, x.offsets[2]);
    EXPECT_EQ(-1, x.offsets[4]);
    EXPECT_EQ(0, x.in_use[4]);
    EXPECT_EQ(0, xref_grow(&x, 2));  // never shrinks
    EXPECT_EQ(5, x.capacity);
    xref_free(&x);
    EXPECT_EQ(nullptr, x.offsets);
    ASSERT_EQ(0, xref_grow(&x, 10));
    EXPECT_EQ(10, x.capacity);
    EXPECT_EQ(-1, x.offsets[9]);
    xref_free(&x);
    xref_free(&x);
}

// ---- load errors ------------------------------------------------------------------------------

TEST(Load, ErrorTexts) {
    pdf_builder no_pages(nullptr);
    no_pages.obj(1, "<< /Type /Catalog /Pages 2 0 R >>");
    no_pages.obj(2, "<< /Type /Pages /Kids [ ] >>");
    pdf_builder no_ref;
    no_ref.obj(1, "<< /Type /Catalog >>");
    pdf_builder no_one;
    no_one.obj(5, "<< /Type /Pages /Kids [ ] >>");
    pdf_builder broken;  // no object says /Type /Page: the tree's message stands
    broken.catalog(1, 2);
    broken.obj(2, "<< /Type /Pages /Kids [4 0 R 9 0 R] >>");
    broken.obj(4, "<< /Type /Font >>");
    pdf_builder encrypted = one_page_doc();
    encrypted.obj(7, "<< /Filter /Standard /V 1 /R 2 >>");  // no /O, /U: the handler refuses it
    trailer_opts t(1);
    t.encrypt = 7;
    encrypted.xref_table(t);
    struct {
        const char *name;
        std::string bytes;
        std::string want;  // "%s" replaced with the path
    } cases[] = {
        {"empty file", "", "empty input file: %s"},
        {"text file", "hello world, no objects here\n", "no PDF objects found \xE2\x80\x94 not a PDF: %s"},
        {"encrypted", encrypted.bytes(), "encrypted PDFs are not supported: %s"},
        {"catalog without pages", no_ref.bytes(), "catalog (obj 1) has no /Pages reference"},
        {"object 1 missing", no_one.bytes(), "catalog (obj 1) has no /Pages reference"},
        {"kids missing", broken.bytes(),
         "could not resolve the page tree (obj 2 is not a /Pages or /Page object, or tree is broken)"},
        {"no pages", no_pages.bytes(), "document has no pages"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        pdfcore_doc doc;
        std::string path;
        EXPECT_EQ(0, load_bytes(c.bytes, &doc, &path));
        std::string want = c.want;
        size_t at = want.find("%s");
        if (at != std::string::npos) want.replace(at, 2, path);
        EXPECT_EQ(want, pdfcore_last_error(&doc));
        EXPECT_EQ(0, doc.loaded);
        pdfcore_doc_free(&doc);
        pdfcore_doc_free(&doc);
        EXPECT_EQ(nullptr, doc.objs.items);
        EXPECT_EQ(0, doc.objs.count);
    }
}

// When the tree yields no page, the objects that say /Type /Page are the pages, in file order
// (an object stream's objects where the stream stands); the error text stays empty.
TEST(Load, PagesByTypeWhenTheTreeYieldsNone) {
    struct {
        const char *name;
        const char *catalog;  // object 1; object 2 is the root /Pages node
        const char *root;
        const char *order;
    } cases[] = {
        {"damaged Kids", "/Pages 2 0 R", "/Kids 9 0 R]", "5 3 12 11 4"},
        {"no /Pages", "", "/Kids [3 0 R]", "5 3 12 11 4"},
        {"/Pages missing", "/Pages 8 0 R", "/Kids [3 0 R]", "5 3 12 11 4"},
        {"tree is a loop", "/Pages 2 0 R", "/Kids [2 0 R]", "5 3 12 11 4"},
        {"missing kid", "/Pages 2 0 R", "/Kids [4 0 R 9 0 R]", "5 3 12 11 4"},
        {"tree with pages", "/Pages 2 0 R", "/Kids [4 0 R 3 0 R]", "4 3"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        pdf_builder b;
        b.obj(1, std::string("<< /Type /Catalog ") + c.catalog + " >>");
        b.obj(2, std::string("<< /Type /Pages ") + c.root + " >>");
        b.page(5, 2);
        b.obj(6, "<< /Type /Font /Subtype /Type1 >>");
        b.page(3, 2);
        b.stream(7, "<< /Type /Page >>", "not a page");
        b.objstm(10, {{12, "<< /Type /Page >>"}, {13, "<< /Type /Pages >>"}, {11, "<< /Type /Page >>"}});
        b.page(4, 2);
        b.xref_table(trailer_opts(1));
        pdfcore_doc doc;
        ASSERT_EQ(1, load_bytes(b.bytes(), &doc)) << pdfcore_last_error(&doc);
        std::string order;
        for (int32_t i = 0; i < doc.pages.count; i++)
            order += (i ? " " : "") + std::to_string(doc.pages.items[i].obj_num);
        EXPECT_EQ(c.order, order);
        EXPECT_STREQ("", pdfcore_last_error(&doc));
        pdfcore_doc_free(&doc);
    }
}

TEST(Load, PathErrorsAndErrorTextPersistence) {
    pdfcore_doc doc;
    memset(&doc, 0, sizeof doc);
    EXPECT_EQ(0, pdfcore_load(nullptr, &doc));
    EXPECT_STREQ("NULL path argument", pdfcore_last_error(&doc));
    pdfcore_doc_free(&doc);
    EXPECT_EQ(0, pdfcore_load("/nonexistent/dir/file.pdf", &doc));
    EXPECT_STREQ("cannot open /nonexistent/dir/file.pdf", pdfcore_last_error(&doc));
    pdfcore_doc_free(&doc);
    pdfcore_doc cleared;
    memset(&cleared, 0, sizeof cleared);
    EXPECT_EQ(0, memcmp(&doc, &cleared, sizeof doc));
    // The text belongs to the document: a successful load starts it empty, and a message set on
    // one document leaves another's alone.
    pdfcore_doc other;
    EXPECT_EQ(0, load_bytes("", &other));
    EXPECT_EQ(1, load_bytes(one_page_doc().bytes(), &doc));
    EXPECT_STREQ("", pdfcore_last_error(&doc));
    EXPECT_EQ(0, strncmp("empty input file: ", pdfcore_last_error(&other), 18));
    pdfcore_set_error(&doc, "x %ld y %s", 5L, "z");
    EXPECT_STREQ("x 5 y z", pdfcore_last_error(&doc));
    EXPECT_EQ(0, strncmp("empty input file: ", pdfcore_last_error(&other), 18));
    pdfcore_doc_free(&other);
    pdfcore_doc_free(&doc);
    // Long paths are cut to 1023 characters.
    std::string longpath = "/nonexistent/" + std::string(2000, 'a');
    EXPECT_EQ(0, pdfcore_load(longpath.c_str(), &doc));
    EXPECT_EQ(1023u, strlen(pdfcore_last_error(&doc)));
    pdfcore_doc_free(&doc);
    EXPECT_STREQ("", pdfcore_last_error(&doc)) << "freeing the document clears its text";
}

// Anything but a regular file is refused before it is read: a FIFO without a writer is not waited
// on, and a directory gives one message on every file system.
TEST(Load, NotARegularFileIsRefused) {
    std::string fifo = pdf_temp_path("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const char *cases[] = {"/", fifo.c_str(), "/dev/null"};
    alarm(60);  // a load that waits on the FIFO ends the test
    for (const char *path : cases) {
        SCOPED_TRACE(path);
        pdfcore_doc doc;
        memset(&doc, 0, sizeof doc);
        EXPECT_EQ(0, pdfcore_load(path, &doc));
        EXPECT_EQ(std::string("not a regular file: ") + path, pdfcore_last_error(&doc));
        pdfcore_doc_free(&doc);
    }
    alarm(0);
    unlink(fifo.c_str());
}

// Files of sizes about a page and about the window the file is read through load alike.
TEST(Load, WholeFileAtEverySize) {
    const size_t page = (size_t)sysconf(_SC_PAGESIZE), chunk = (size_t)win_library_cap;
    std::string pdf = one_page_doc().bytes() + "%";
    const size_t sizes[] = {pdf.size(), page - 1, page, page + 1, chunk - 1, chunk, chunk + page + 3, 2 * chunk + 1};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        std::string bytes = pdf;
        for (size_t i = bytes.size(); i < size; i++) bytes += "0123456789 "[(i * 7 + i / 4096) % 11];
        pdfcore_doc doc;
        ASSERT_EQ(1, load_bytes(bytes, &doc)) << pdfcore_last_error(&doc);
        ASSERT_EQ((int64_t)bytes.size(), doc.size);
        EXPECT_EQ(1, doc.pages.count);
        pdfcore_doc_free(&doc);
    }
}

// ---- catalog ----------------------------------------------------------------------------------

// An object reached through different paths is read once: its text is kept, so every span into it
// is the same bytes in the same place, and an object stream is decoded once for all its objects.
TEST(Load, AnObjectIsReadOnce) {
    pdf_builder b = one_page_doc();
    b.obj(10, "[1 2 3]");
    b.obj(20, "<< /A 10 0 R /C 30 0 R >>");
    b.obj(21, "<< /B 10 0 R /D 31 0 R >>");
    b.objstm(40, {{30, "<< /Packed 1 >>"}, {31, "<< /Packed 2 >>"}});
    b.xref_table(trailer_opts(1));
    pdfcore_doc doc;
    ASSERT_EQ(1, load_bytes(b.bytes(), &doc)) << pdfcore_last_error(&doc);
    auto value_of = [&](int32_t num, const char *key, pdfcore_span *v) {
        pdfcore_span d;
        return pdfcore_obj_span(&doc, obj_find(&doc.objs, num), &d) && pdfcore_dict_get(&doc, &d, key, v);
    };
    pdfcore_span a, b2, c, d2;
    ASSERT_TRUE(value_of(20, "A", &a));
    uint64_t read = doc.text_bytes;
    ASSERT_TRUE(value_of(21, "B", &b2));
    EXPECT_EQ(a.text, b2.text);
    EXPECT_EQ(a.start, b2.start);
    EXPECT_EQ(read + obj_find(&doc.objs, 21)->body_len, doc.text_bytes) << "object 10 read once";
    ASSERT_TRUE(value_of(20, "C", &c));
    ASSERT_TRUE(value_of(21, "D", &d2));
    ASSERT_EQ(1, doc.stm_count);
    EXPECT_EQ(doc.stms[0].data, c.text - obj_find(&doc.objs, 30)->stm_off) << "one decoded stream";
    EXPECT_EQ(doc.stms[0].data, d2.text - obj_find(&doc.objs, 31)->stm_off);
    pdfcore_doc_free(&doc);
}

TEST(Load, CatalogChoice) {
    // Trailer names a missing object: the object named /Catalog is taken.
    pdf_builder a;
    a.obj(4, "<< /Type /Pages /Kids [5 0 R] >>");
    a.page(5, 4);
    a.obj(6, "<< /Type /Catalog /Pages 4 0 R >>");
    a.xref_table(trailer_opts(99));
    pdfcore_doc doc;
    ASSERT_EQ(1, load_bytes(a.bytes(), &doc)) << pdfcore_last_error(&doc);
    EXPECT_EQ(6, doc.catalog);
    EXPECT_EQ(1, doc.pages.count);
    pdfcore_doc_free(&doc);

    // No trailer, no /Catalog anywhere: object 1.
    pdf_builder c;
    c.obj(1, "<< /Pages 2 0 R >>");
    c.pages(2, {3});
    c.page(3, 2);
    ASSERT_EQ(1, load_bytes(c.bytes(), &doc)) << pdfcore_last_error(&doc);
    EXPECT_EQ(1, doc.catalog);
    EXPECT_EQ(-1, doc.xref.root);
    pdfcore_doc_free(&doc);

    // /Catalog written inside stream data does not make the stream the catalog.
    pdf_builder s;
    s.stream(1, "<< >>", "/Type /Catalog /Pages 9 0 R");
    s.obj(7, "<< /Type /Catalog /Pages 2 0 R >>");
    s.pages(2, {3});
    s.page(3, 2);
    ASSERT_EQ(1, load_bytes(s.bytes(), &doc)) << pdfcore_last_error(&doc);
    EXPECT_EQ(7, doc.catalog);
    pdfcore_doc_free(&doc);

    // Objects without endobj: their text runs on to the next endobj, over a later /Catalog, so
    // the first of them in index order is taken; thousands of such texts overlap.
    pdf_builder r;
    for (int i = 1; i <= 5000; i++) r.raw(std::to_string(i) + " 0 obj\n<< /Pages 6000 0 R /N " + std::to_string(i) + " >>\n");
    r.raw("6001 0 obj << /Type /Catalog /Pages 6000 0 R >> endobj\n");
    r.pages(6000, {6002});
    r.page(6002, 6000);
    ASSERT_EQ(1, load_bytes(r.bytes(), &doc)) << pdfcore_last_error(&doc);
    EXPECT_EQ(1, doc.catalog);
    EXPECT_EQ(1, doc.pages.count);
    pdfcore_doc_free(&doc);

    // The catalog is itself the page tree's root: a /Pages node, or one /Page.
    pdf_builder p;
    p.obj(1, "<< /Type /Pages /Kids [3 0 R] >>");
    p.page(3, 1);
    ASSERT_EQ(1, load_bytes(p.bytes(), &doc)) << pdfcore_last_error(&doc);
    EXPECT_EQ(1, doc.pages.count);
    EXPECT_EQ(1, doc.pages.items[0].parent_num);
    pdfcore_doc_free(&doc);
    pdf_builder q;
    q.obj(1, "<< /Type /Page /MediaBox [0 0 10 20] >>");
    ASSERT_EQ(1, load_bytes(q.bytes(), &doc)) << pdfcore_last_error(&doc);
    EXPECT_EQ(1, doc.pages.count);
    EXPECT_EQ(-1, doc.pages.items[0].parent_num);
    pdfcore_doc_free(&doc);
}

TEST(Load, InfoRecordedWhenPresent) {
    pdf_builder b = one_page_doc();
    b.obj(4, "<< /Title (t) >>");
    trailer_opts t(1);
    t.info = 4;
    b.xref_table(t);
    pdfcore_doc doc;
    ASSERT_EQ(1, load_bytes(b.bytes(), &doc));
    EXPECT_EQ(4, doc.info);
    EXPECT_EQ(4, doc.max_num);
    pdfcore_doc_free(&doc);

    pdf_builder c = one_page_doc();
    trailer_opts m(1);
    m.info = 40;
    c.xref_table(m);
    ASSERT_EQ(1, load_bytes(c.bytes(), &doc));
    EXPECT_EQ(-1, doc.info);
    pdfcore_doc_free(&doc);
}

// ---- damaged and updated files ----------------------------------------------------------------

TEST(Load, WrongXrefOffsetsDoNotMatter) {
    pdf_builder b = one_page_doc();
    trailer_opts t(1);
    t.startxref_delta = 3;
    b.xref_table(t);
    pdfcore_doc doc;
    ASSERT_EQ(1, load_bytes(b.bytes(), &doc)) << pdfcore_last_error(&doc);
    EXPECT_EQ(1, doc.pages.count);
    EXPECT_EQ(-1, doc.xref.root);  // the section was not found, the catalog search was
    pdfcore_doc_free(&doc);
}

TEST(Load, IncrementalUpdateKeepsLaterDefinitions) {
    pdf_builder b = one_page_doc();
    long first = b.xref_table(trailer_opts(1));
    b.obj(2, "<< /Type /Pages /Kids [3 0 R 4 0 R] >>");
    b.page(4, 2, "/Rotate 90");
    trailer_opts t(1);
    t.prev = first;
    b.xref_table(t);
    pdfcore_doc doc;
    ASSERT_EQ(1, load_bytes(b.bytes(), &doc)) << pdfcore_last_error(&doc);
    ASSERT_EQ(2, doc.pages.count);
    EXPECT_EQ(4, doc.pages.items[1].obj_num);
    EXPECT_EQ(90, doc.pages.items[1].rotate);
    pdfcore_doc_free(&doc);
}

TEST(Load, HeadersInsideStreamDataIgnored) {
    pdf_builder b = one_page_doc();
    b.stream(4, "<< >>", "2 0 obj << /Type /Pages /Kids [ ] >> endobj");
    b.xref_table(trailer_opts(1));
    pdfcore_doc doc;
    ASSERT_EQ(1, load_bytes(b.bytes(), &doc)) << pdfcore_last_error(&doc);
    EXPECT_EQ(1, doc.pages.count);
    pdfcore_doc_free(&doc);
}

TEST(Load, PageTreeInsideObjectStream) {
    pdf_builder b;
    b.objstm(10, {{1, "<< /Type /Catalog /Pages 2 0 R >>"},
                  {2, "<< /Type /Pages /Kids [3 0 R] /Rotate 180 >>"},
                  {3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 400] >>"}});
    b.xref_stream(11, trailer_opts(1));
    pdfcore_doc doc;
    ASSERT_EQ(1, load_bytes(b.bytes(), &doc)) << pdfcore_last_error(&doc);
    ASSERT_EQ(1, doc.pages.count);
    EXPECT_EQ(3, doc.pages.items[0].obj_num);
    EXPECT_EQ(180, doc.pages.items[0].rotate);
    EXPECT_EQ(300.0, doc.pages.items[0].x1);
    EXPECT_EQ(nullptr, obj_find(&doc.objs, 10));
    pdfcore_doc_free(&doc);
}

// Every truncation of a small complete file loads or fails with a message, never crashes.
TEST(Load, TruncationSweep) {
    pdf_builder b = one_page_doc();
    b.stream(4, "<< /Filter /FlateDecode >>", std::string("x\x9c\x03\x00\x00\x00\x00\x01", 8));
    b.objstm(5, {{6, "<< /A 1 >>"}}, false);
    b.xref_table(trailer_opts(1));
    const std::string full = b.bytes();
    int loaded = 0;
    for (size_t n = 0; n <= full.size(); n += 3) {
        pdfcore_doc doc;
        int r = load_bytes(full.substr(0, n), &doc);
        if (r) loaded++;
        else EXPECT_NE(0u, strlen(pdfcore_last_error(&doc)));
        pdfcore_doc_free(&doc);
    }
    EXPECT_GT(loaded, 0);
}

// Many trailers without the keys looked for: reading them stays linear (each search would
// otherwise run to the file end), and the last readable /Root still wins.
TEST(Xref, ManyTrailersStayFast) {
    pdf_builder b = one_page_doc();
    long table = b.xref_table(trailer_opts(1));
    std::string junk;
    for (int i = 0; i < 60000; i++) junk += "trailer<</X 1>>\n";
    b.raw(junk);
    b.raw("trailer\n<< /Root 2 0 R /Info 3 0 R /Encrypt 9 0 R >>\n");
    b.raw("trailer<</Root 3 0 R>>\n");
    b.startxref(table);
    xref_fixture f(b.bytes());
    EXPECT_EQ(3, f.x.root);
    EXPECT_EQ(3, f.x.info);
    EXPECT_EQ(1, f.x.encrypted);
}
