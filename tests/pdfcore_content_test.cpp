// Streams, page content and resource dictionaries of a loaded document.
#include "pdfcore/pdfcore.h"
#include "pdf_builder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unistd.h>

static const uint8_t *u(const std::string &s) { return (const uint8_t *)s.data(); }

// A loaded document built from bytes, freed at the end of the test.
struct doc_fixture {
    pdfcore_doc doc;
    int ok = 0;
    explicit doc_fixture(const std::string &bytes) {
        memset(&doc, 0, sizeof doc);
        std::string path = pdf_temp_path("pdfcore_content");
        EXPECT_TRUE(write_file(path, bytes));
        ok = pdfcore_load(path.c_str(), &doc);
        unlink(path.c_str());
        EXPECT_EQ(1, ok) << pdfcore_last_error(&doc);
    }
    ~doc_fixture() { pdfcore_doc_free(&doc); }
    // Content of page 0 as a string; "<fail>" when the call gives 0. Frees the result.
    std::string content(int32_t page = 0) {
        const uint8_t *c = nullptr;
        int32_t n = -1;
        if (!pdfcore_page_content(&doc, page, &c, &n)) {
            EXPECT_EQ(nullptr, c);
            EXPECT_EQ(0, n);
            return "<fail>";
        }
        std::string s((const char *)c, (size_t)n);
        EXPECT_EQ(0, c[n]);  // results are NUL-terminated
        free((void *)c);
        return s;
    }
};

static std::string doc_with(const std::string &page_keys,
                            const std::vector<std::pair<int, std::string>> &streams,
                            const std::vector<std::pair<int, std::string>> &objs = {}) {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.page(3, 2, page_keys);
    for (auto &s : streams) {
        size_t split = s.second.find(">>");
        b.stream(s.first, s.second.substr(0, split + 2), s.second.substr(split + 2));
    }
    for (auto &o : objs) b.obj(o.first, o.second);
    b.xref_table(trailer_opts(1));
    return b.bytes();
}

TEST(Content, SingleStream) {
    doc_fixture f(doc_with("/Contents 7 0 R", {{7, "<< >>0 0 m 5 5 l S"}}));
    EXPECT_EQ("0 0 m 5 5 l S", f.content(0));
}

#ifdef HAVE_ZLIB
TEST(Content, FlateStreamInflatedToTheHeap) {
    doc_fixture f(doc_with("/Contents 7 0 R",
                           {{7, "<< /Filter /FlateDecode >>" + zlib_compress("BT (hello) Tj ET")}}));
    EXPECT_EQ("BT (hello) Tj ET", f.content(0));
}

// Content is bounded by its cap alone, never by a ratio to its stored size: 100 KB that compress
// over 500:1 are read whole.
TEST(Content, WellCompressedContentReadWhole) {
    std::string large(100000, 'a');
    ASSERT_LT(zlib_compress(large).size(), 200u);
    doc_fixture big(doc_with("/Contents 7 0 R", {{7, "<< /Filter /FlateDecode >>" + zlib_compress(large)}}));
    EXPECT_EQ(large, big.content());
}

// ASCII85 text of bytes, four at a time ('z' for zeros not used), ended by "~>".
static std::string a85(const std::string &in) {
    std::string out;
    for (size_t i = 0; i < in.size(); i += 4) {
        uint32_t v = 0;
        size_t n = in.size() - i < 4 ? in.size() - i : 4;
        for (size_t k = 0; k < 4; k++) v = v << 8 | (k < n ? (uint8_t)in[i + k] : 0u);
        char g[5];
        for (int k = 4; k >= 0; k--, v /= 85) g[k] = (char)('!' + v % 85);
        out.append(g, n + 1);
    }
    return out + "~>";
}

TEST(Content, FilterChainsAndOtherFilters) {
    struct chain_case {
        const char *name;
        std::string stream;  // dictionary and data
        std::string want;
    };
    const chain_case cases[] = {
        {"ASCII85 then Flate", "<< /Filter [/ASCII85Decode /FlateDecode] >>" + a85(zlib_compress("q 1 0 0 1 0 0 cm Q")),
         "q 1 0 0 1 0 0 cm Q"},
        {"abbreviations", "<< /Filter [/AHx /Fl] >>789C2B54305408040003DE0134>", "q 1 Q"},
        {"LZW: A B then end", "<< /Filter /LZWDecode >>\x80\x10\x48\x50\x10", "AB"},
        {"RunLength", "<< /Filter /RunLengthDecode >>\x02q Q\x80", "q Q"},
        {"a stage that fails", "<< /Filter [/ASCII85Decode /FlateDecode] >>GhVa~>", "<fail>"},
        {"a filter content never uses: as stored", "<< /Filter /DCTDecode >>abc", "abc"},
    };
    for (const chain_case &c : cases) {
        SCOPED_TRACE(c.name);
        doc_fixture f(doc_with("/Contents 7 0 R", {{7, c.stream}}));
        EXPECT_EQ(c.want, f.content());
    }
}

TEST(Content, DecodedStreamResultReplacedByNextCall) {
    doc_fixture f(doc_with("", {{7, "<< /Filter /FlateDecode >>" + zlib_compress("first")},
                                {8, "<< /Filter /FlateDecode >>" + zlib_compress("second!")},
                                {9, "<< >>raw"}}));
    int32_t n = 0;
    const uint8_t *a = pdfcore_decoded_stream(&f.doc, obj_find(&f.doc.objs, 7), &n);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ("first", std::string((const char *)a, (size_t)n));
    const uint8_t *b = pdfcore_decoded_stream(&f.doc, obj_find(&f.doc.objs, 8), &n);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ("second!", std::string((const char *)b, (size_t)n));
    EXPECT_EQ(0, b[n]);
    const uint8_t *c = pdfcore_decoded_stream(&f.doc, obj_find(&f.doc.objs, 9), &n);
    ASSERT_NE(nullptr, c);
    EXPECT_EQ("raw", std::string((const char *)c, (size_t)n));
    // Not a stream: NULL.
    EXPECT_EQ(nullptr, pdfcore_decoded_stream(&f.doc, obj_find(&f.doc.objs, 3), &n));
}

TEST(Content, ArrayWithOneFlatePieceAndOneCorrupt) {
    std::string bad = zlib_compress("zzzzzz");
    bad[0] = 0x00;  // not a zlib header

    doc_fixture f(doc_with("/Contents [7 0 R 8 0 R 9 0 R]",
                           {{7, "<< /Filter /FlateDecode >>" + zlib_compress("q ")},
                            {8, "<< /Filter /FlateDecode >>" + bad},
                            {9, "<< >>Q"}}));
    EXPECT_EQ("q Q", f.content());
}
#endif

TEST(Content, Arrays) {
    struct {
        const char *name;
        const char *contents;
        const char *want;
    } cases[] = {
        {"missing element skipped", "/Contents [7 0 R 8 0 R]", "q"},
        {"pieces joined without separator", "/Contents [7 0 R 9 0 R]", "qQ"},
        {"empty array", "/Contents [ ]", "<fail>"},
        {"only a missing object", "/Contents [8 0 R]", "<fail>"},
        {"non-stream element skipped", "/Contents [5 0 R 9 0 R]", "Q"},
        {"unterminated array", "/Contents [9 0 R 7 0 R", "Qq"},
        {"no references, bare numbers", "/Contents [9 7]", "Q"},
        {"array object", "/Contents 5 0 R", "q"},
        {"array object with a comment", "/Contents 4 0 R", "qQ"},
        {"single non-stream", "/Contents 6 0 R", "<fail>"},
        {"comment in the array", "/Contents [9 0 R % 7 0 R\n]", "Q"},
        {"name value", "/Contents /X", "<fail>"},
        {"no contents", "", "<fail>"},
        {"zero object", "/Contents 0 0 R", "<fail>"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        doc_fixture f(doc_with(c.contents, {{7, "<< >>q"}, {9, "<< >>Q"}},
                               {{5, "[7 0 R]"}, {6, "<< /A 1 >>"}, {4, "% pieces\n[7 0 R 9 0 R]"}}));
        EXPECT_EQ(c.want, f.content());
    }
}

TEST(Content, InlineStreamDictionary) {
    struct {
        const char *name;
        std::string page;
        std::string want;
    } cases[] = {
        {"direct length", "/Contents << /Length 5 >>\nstream\nq 1 Q\nendstream", "q 1 Q"},
        {"CR LF after stream", "/Contents << /Length 3 >> stream\r\nabc\nendstream", "abc"},
        {"indirect length", "/Contents << /Length 6 0 R >>\nstream\nq 1 Q\nendstream", "q 1 Q"},
        {"length past the page", "/Contents << /Length 500 >>\nstream\nq 1 Q\nendstream", "<fail>"},
        {"no stream keyword", "/Contents << /Length 5 >>", "<fail>"},
        {"indirect length to a stream", "/Contents << /Length 7 0 R >>\nstream\nq 1 Q\nendstream", "<fail>"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        doc_fixture f(doc_with(c.page, {{7, "<< >>xx"}}, {{6, "5"}}));
        EXPECT_EQ(c.want, f.content());
    }
}

TEST(Content, PageIndexErrors) {
    doc_fixture f(doc_with("/Contents 7 0 R", {{7, "<< >>q"}}));
    EXPECT_EQ("<fail>", f.content(1));
    EXPECT_STREQ("page index out of range", pdfcore_last_error(&f.doc));
    EXPECT_EQ("<fail>", f.content(-1));
    EXPECT_STREQ("page index out of range", pdfcore_last_error(&f.doc));
    f.doc.pages.items[0].obj_num = 999;
    EXPECT_EQ("<fail>", f.content(0));
    EXPECT_STREQ("page object 999 missing", pdfcore_last_error(&f.doc));
}

// ---- resources --------------------------------------------------------------------------------

TEST(Resources, DictTextAt) {
    struct {
        const char *name;
        std::string text;
        const char *want;  // nullptr: NULL
    } cases[] = {
        {"nested", "<< /A << /B 1 >> >> tail", "<< /A << /B 1 >> >>"},
        {"string with a pair", "<< /S (a>>b) >>", "<< /S (a>>b) >>"},
        {"pair right after a string", "<< /S (a)>> x", "<< /S (a)>>"},
        {"escaped paren", "<< /S (a\\)>>) >>", "<< /S (a\\)>>) >>"},
        {"unclosed", "<< /A 1 >", nullptr},
        {"unclosed string", "<< /S (abc >>", nullptr},
        {"single <", "< /A >>", nullptr},
        {"hex string", "<< /H <41> >>", "<< /H <41> >>"},
        {"close at the last byte", "<<>>", "<<>>"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        char *r = dict_text_at(u(c.text), (int32_t)c.text.size(), 0);
        if (!c.want) {
            EXPECT_EQ(nullptr, r);
        } else {
            ASSERT_NE(nullptr, r);
            EXPECT_STREQ(c.want, r);
        }
        free(r);
    }
}

static std::string resources_of(doc_fixture &f, int32_t page = 0) {
    char *r = pdfcore_page_resources(&f.doc, page);
    std::string s = r ? r : "<null>";
    free(r);
    return s;
}

TEST(Resources, Forms) {
    struct {
        const char *name;
        std::string page_keys;
        std::string want;
    } cases[] = {
        {"in place", "/Resources << /XObject << /Im1 5 0 R >> >> /Rotate 0",
         "<< /XObject << /Im1 5 0 R >> >>"},
        {"reference", "/Resources 9 0 R", "<< /Font << /F1 8 0 R >> >>"},
        {"reference into an object stream", "/Resources 11 0 R", "<< /ProcSet [/PDF] >>"},
        {"string with a closing pair", "/Resources << /X (a>>b)>> ", "<< /X (a>>b)>>"},
        {"inherited: none of its own", "", "<null>"},
        {"name value", "/Resources /R", "<null>"},
        {"missing object", "/Resources 40 0 R", "<null>"},
        {"reference to an array", "/Resources 12 0 R", "<null>"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        pdf_builder b;
        b.catalog(1, 2);
        b.pages(2, {3}, "/Resources << /Inherited true >>");
        b.page(3, 2, c.page_keys);
        b.obj(9, "<< /Font << /F1 8 0 R >> >>");
        b.obj(12, "[1 2]");
        b.objstm(10, {{11, "<< /ProcSet [/PDF] >>"}}, false);
        b.xref_table(trailer_opts(1));
        doc_fixture f(b.bytes());
        EXPECT_EQ(c.want, resources_of(f));
    }
}

TEST(Resources, UnclosedAndOutOfRange) {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.raw("3 0 obj\n<< /Type /Page /Parent 2 0 R /Resources << /XObject << /Im1 5 0 R >>\nendobj\n");
    b.xref_table(trailer_opts(1));
    doc_fixture f(b.bytes());
    EXPECT_EQ("<null>", resources_of(f));
    EXPECT_EQ("<null>", resources_of(f, 1));
    EXPECT_EQ("<null>", resources_of(f, -1));
    char *r = pdfcore_obj_resources(&f.doc, 77);
    EXPECT_EQ(nullptr, r);
}

TEST(Resources, OfAnyObject) {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.page(3, 2);
    b.stream(6, "<< /Type /XObject /Subtype /Form /Resources << /XObject << /I 7 0 R >> >> >>", "q Q");
    b.xref_table(trailer_opts(1));
    doc_fixture f(b.bytes());
    char *r = pdfcore_obj_resources(&f.doc, 6);
    ASSERT_NE(nullptr, r);
    EXPECT_STREQ("<< /XObject << /I 7 0 R >> >>", r);
    free(r);
}

// Every single-byte change of a small document: loads or fails cleanly, and every page's content
// and resources are read without touching memory outside the file (sanitizer build).
TEST(Content, MutationSweepOverReaders) {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3, 4}, "/Rotate 90");
    b.page(3, 2, "/Contents [7 0 R 8 0 R] /Resources << /XObject << /I (x>>) >> >> /MediaBox [0 0 9 9]");
    b.page(4, 2, "/Contents << /Length 3 >>\nstream\nabc\nendstream /Resources 9 0 R");
    b.stream(7, "<< >>", "q");
    b.stream(8, "<< /Length 6 0 R >>", "Q");
    b.obj(6, "1");
    b.objstm(10, {{9, "<< /Font << >> >>"}}, false);
    b.xref_table(trailer_opts(1));
    const std::string full = b.bytes();
    int loaded = 0;
    for (size_t i = 0; i < full.size(); i++) {
        std::string m = full;
        m[i] = (char)(m[i] ^ (i % 2 ? 0x01 : 0x5a));
        pdfcore_doc doc;
        memset(&doc, 0, sizeof doc);
        std::string path = pdf_temp_path("pdfcore_sweep");
        ASSERT_TRUE(write_file(path, m));
        if (pdfcore_load(path.c_str(), &doc)) {
            loaded++;
            for (int32_t p = 0; p < doc.pages.count; p++) {
                const uint8_t *c = nullptr;
                int32_t n = 0;
                if (pdfcore_page_content(&doc, p, &c, &n)) {
                    EXPECT_GE(n, 0);
                    free((void *)c);
                }
                free(pdfcore_page_resources(&doc, p));
            }
            for (int32_t k = 0; k < doc.objs.count; k++) {
                int32_t n = 0;
                (void)pdfcore_decoded_stream(&doc, &doc.objs.items[k], &n);
                free(pdfcore_obj_resources(&doc, doc.objs.items[k].num));
            }
        }
        pdfcore_doc_free(&doc);
        unlink(path.c_str());
    }
    EXPECT_GT(loaded, (int)full.size() / 2);
}
