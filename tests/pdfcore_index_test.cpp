// Object index: buffer and arena growth, the two scans (stream extents, false headers inside stream
// data), object streams and the one-entry-per-number selection, on files built by pdf_builder.
#include "pdfcore/pdfcore.h"
#include "pdf_builder.h"
#include "scan_oracle.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

static const uint8_t *u(const std::string &s) { return (const uint8_t *)s.data(); }

// An index over a private copy of some bytes, freed at the end of the test: the scan's alone, or
// (full) with object streams unpacked and one entry per number, as the load makes it.
struct index_fixture {
    std::string bytes;
    pdfcore_doc doc{};
    objvec &objs = doc.objs;
    int32_t max_num = -1;
    explicit index_fixture(const std::string &b, bool full = true) : bytes(b) {
        if (doc_open_memory(u(bytes), (int64_t)bytes.size(), "index", &doc) != 0) return;  // empty
        int32_t encryption = 0;
        if (full) (void)doc_build_index(&doc, &encryption), max_num = doc.max_num;
        else EXPECT_EQ(scan_done, scan_file_index(&doc.src, win_library_cap, &doc.objs));
    }
    ~index_fixture() { pdfcore_doc_free(&doc); }
    const pdfcore_obj *find(int32_t n) const { return obj_find(&objs, n); }
    std::string data_of(int32_t n) const {
        const pdfcore_obj *e = find(n);
        if (!e || e->data_off < 0 || e->data_end < e->data_off) return "<none>";
        return bytes.substr((size_t)e->data_off, (size_t)(e->data_end - e->data_off));
    }
    std::string body_of(int32_t n) const {
        const pdfcore_obj *e = find(n);
        pdfcore_span s;
        if (!e || !e->in_objstm || !pdfcore_obj_span(&doc, e, &s)) return "<none>";
        return std::string((const char *)s.text, (size_t)s.end);
    }
};

// ---- buf and arena ----------------------------------------------------------------------------

TEST(Buf, FirstAppendAllocatesOneMiB) {
    buf b = {nullptr, 0, 0};
    buf_str(&b, "abc");
    ASSERT_NE(nullptr, b.data);
    EXPECT_EQ(3u, b.len);
    EXPECT_EQ(1048576u, b.cap);
    EXPECT_EQ(0, b.data[3]);
    buf_free(&b);
    buf_free(&b);  // twice is harmless
    EXPECT_EQ(nullptr, b.data);
    EXPECT_EQ(0u, b.cap);
}

TEST(Buf, DoublesOnlyWhenTheNulNoLongerFits) {
    std::string big(1048575, 'x');
    buf b = {nullptr, 0, 0};
    buf_bytes(&b, u(big), big.size());
    EXPECT_EQ(1048576u, b.cap);
    buf_bytes(&b, u(std::string("y")), 1);
    EXPECT_EQ(2097152u, b.cap);
    EXPECT_EQ(1048576u, b.len);
    EXPECT_EQ('y', b.data[1048575]);
    EXPECT_EQ(0, b.data[1048576]);
    buf_reserve(&b, 5u * 1048576u);  // several doublings at once
    EXPECT_EQ(8388608u, b.cap);
    buf_free(&b);
}

TEST(Buf, IntegersAndHugeReservation) {
    buf b = {nullptr, 0, 0};
    buf_int(&b, -7);
    buf_int(&b, 0);
    buf_int(&b, INT32_MIN);
    EXPECT_STREQ("-70-2147483648", (const char *)b.data);
    buf_reserve(&b, UINT64_MAX);  // cannot be represented: the buffer empties, nothing wraps
    EXPECT_EQ(nullptr, b.data);
    EXPECT_EQ(0u, b.len);
    buf_free(&b);
}

TEST(Arena, GrowsBlockArrayByDoubling) {
    arena a = {nullptr, 0, 0};
    arena_free(&a);  // zeroed: harmless
    for (int i = 0; i < 4; i++) ASSERT_NE(nullptr, arena_alloc(&a, 16));
    EXPECT_EQ(4, a.capacity);
    void *fifth = arena_alloc(&a, 0);
    EXPECT_NE(nullptr, fifth);
    EXPECT_EQ(8, a.capacity);
    EXPECT_EQ(5, a.count);
    arena_free(&a);
    EXPECT_EQ(nullptr, a.blocks);
    EXPECT_EQ(0, a.count);
}

// ---- scans ------------------------------------------------------------------------------------

TEST(Scan, HeaderInsideStreamDataIsRemoved) {
    pdf_builder b;
    b.obj(3, "<< /Real true >>");
    b.stream(4, "<< >>", "BT 3 0 obj << /Fake true >> endobj ET");
    index_fixture ix(b.bytes());
    ASSERT_NE(nullptr, ix.find(3));
    EXPECT_EQ(b.offset(3), ix.find(3)->head_off);
    EXPECT_EQ(2, ix.objs.count);
}

TEST(Scan, FalseHeaderRemovedEvenWhenDefinedBeforeTheRealOne) {
    pdf_builder b;
    b.stream(4, "<< >>", "5 0 obj << /Fake true >> endobj");
    b.obj(5, "<< /Real true >>");
    index_fixture ix(b.bytes());
    ASSERT_NE(nullptr, ix.find(5));
    EXPECT_EQ(b.offset(5), ix.find(5)->head_off);
}

struct extent_case {
    const char *name;
    slen length;
    std::string before_end;  // bytes between data and "endstream"
    std::string want;        // the data as the index sees it
    int unterminated;
};

TEST(Scan, StreamExtents) {
    const std::string data = "0123456789";
    const extent_case cases[] = {
        {"right length", slen::right(), "\n", data, 0},
        {"right length, no eol", slen::right(), "", data, 0},
        {"length far past the file", slen::value_of(999), "\n", data, 0},
        {"length far past, CR LF dropped", slen::value_of(999), "\r\n", data, 0},
        {"length past, lone CR dropped", slen::value_of(999), "\r", data, 0},
        {"length too short", slen::value_of(4), "\n", data, 0},
        {"length into endstream", slen::value_of(12), "\n", data, 0},
        {"length zero", slen::value_of(0), "\n", data, 0},
        {"no length at all", slen::missing(), "\n", data, 0},
        {"indirect length", slen::ref(9), "\n", data, 0},
        {"indirect length to a missing object", slen::ref(9, false), "\n", data, 0},
    };
    for (const extent_case &c : cases) {
        SCOPED_TRACE(c.name);
        pdf_builder b;
        stream_layout o;
        o.length = c.length;
        o.eol_before_end = c.before_end;
        b.stream(4, "<< /Type /X >>", data, o);
        b.obj(5, "<< /After true >>");
        index_fixture ix(b.bytes());
        ASSERT_NE(nullptr, ix.find(4));
        EXPECT_EQ(c.want, ix.data_of(4));
        EXPECT_EQ(c.unterminated, ix.find(4)->unterminated);
        EXPECT_EQ(ix.find(4)->data_end - ix.find(4)->data_off, ix.find(4)->stream_len);
        EXPECT_GT(ix.find(4)->endobj_off, ix.find(4)->data_end);
        EXPECT_EQ(ix.find(4)->endobj_off + 6, ix.find(4)->end_off);
        EXPECT_NE(nullptr, ix.find(5));
    }
}

TEST(Scan, RightLengthKeepsTrailingEolInData) {
    pdf_builder b;
    stream_layout o;
    o.eol_before_end = "";
    b.stream(4, "<< >>", "abc\n", o);  // the LF is data: /Length 4 says so
    index_fixture ix(b.bytes());
    EXPECT_EQ("abc\n", ix.data_of(4));
}

TEST(Scan, IndirectLengthToStreamOrNullSearchesEndstream) {
    for (const char *target : {"stream", "null"}) {
        SCOPED_TRACE(target);
        pdf_builder b;
        if (std::string(target) == "stream") b.stream(9, "<< >>", "xx");
        else b.obj(9, "null");
        b.stream(4, "<< >>", "payload", slen::ref(9, false));
        index_fixture ix(b.bytes());
        ASSERT_NE(nullptr, ix.find(4));
        EXPECT_EQ("payload", ix.data_of(4));
    }
}

TEST(Scan, IndirectLengthWithWrongValueFallsBackToSearch) {
    pdf_builder b;
    b.obj(9, "3");
    b.stream(4, "<< >>", "payload", slen::ref(9, false));
    index_fixture ix(b.bytes());
    EXPECT_EQ("payload", ix.data_of(4));
}

TEST(Scan, UnterminatedStreamTakesEverythingAfterIt) {
    pdf_builder b;
    b.obj(1, "<< /Before true >>");
    stream_layout o;
    o.endstream = false;
    o.endobj = false;
    b.stream(4, "<< >>", "data", o);
    b.obj(5, "<< /After true >>");
    index_fixture ix(b.bytes(), false);
    // No endstream: data runs to the file end, no endobj after it: removed, and 5 with it.
    EXPECT_NE(nullptr, ix.find(1));
    EXPECT_EQ(nullptr, ix.find(4));
    EXPECT_EQ(nullptr, ix.find(5));
}

TEST(Scan, DataStartAfterStreamKeyword) {
    struct {
        const char *name;
        std::string eol;
        std::string want;
    } cases[] = {
        {"LF", "\n", "DATA"},
        {"CR LF", "\r\n", "DATA"},
        {"lone CR", "\r", "DATA"},
        {"space then CR LF", " \r\n", "DATA"},
        {"tabs then LF", "\t\t\n", "DATA"},
        {"high byte skipped", "\x80", "DATA"},
        {"space then data: one byte skipped", "  ", " DATA"},
        {"comment byte skipped", "%", "DATA"},
        {"no eol: `streamDATA` is no keyword", "", "<none>"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        pdf_builder b;
        stream_layout o;
        o.eol_after_kw = c.eol;
        o.length = slen::missing();
        b.stream(4, "<< >>", "DATA", o);
        index_fixture ix(b.bytes());
        EXPECT_EQ(c.want, ix.data_of(4));
    }
}

TEST(Scan, HeadersThatNeverEnterTheIndex) {
    pdf_builder b(nullptr);
    b.raw("0 0 obj << /Zero true >> endobj\n");
    b.raw("8388608 0 obj << /Big true >> endobj\n");
    b.raw("8388607 0 obj << /Max true >> endobj\n");
    b.raw("7 0 obj << /NoEnd true >>\n");
    b.raw("x6 0 obj << >> endobj\n");
    b.raw("9 0 obj");  // `obj` in the last three bytes is not examined
    index_fixture ix(b.bytes());
    EXPECT_EQ(nullptr, ix.find(0));
    EXPECT_EQ(nullptr, ix.find(8388608));
    EXPECT_NE(nullptr, ix.find(8388607));
    EXPECT_EQ(8388607, ix.max_num);
    EXPECT_EQ(nullptr, ix.find(6));
    EXPECT_EQ(nullptr, ix.find(9));
    // 7 has no endobj of its own, but the search for it finds 8388607's: it stays.
    EXPECT_NE(nullptr, ix.find(7));
}

// An array, a number; a hexadecimal string right before a stream is no stream (a scan from its
// '<' closes at the stream's ">>"): its text is its own, up to its endobj.
TEST(Scan, NonDictionaryObjects) {
    pdf_builder b;
    b.obj(2, "[1 2 3]");
    b.obj(3, "42");
    b.obj(4, "<48656C6C6F>");
    b.stream(5, "<< /Type /XObject >>", "abc");
    index_fixture ix(b.bytes());
    ASSERT_NE(nullptr, ix.find(2));
    EXPECT_EQ(-1, ix.find(2)->dict_off);
    EXPECT_EQ(0, ix.find(2)->is_stream);
    EXPECT_EQ(b.offset(3) - 7, ix.find(2)->endobj_off);
    ASSERT_NE(nullptr, ix.find(4));
    EXPECT_EQ(0, ix.find(4)->is_stream);
    EXPECT_EQ(b.offset(5) - 7, ix.find(4)->endobj_off);
    EXPECT_EQ("abc", ix.data_of(5));
}

// Comments where whitespace may stand: after `obj`, inside the header, before `stream`, in the
// object that holds a /Length; a '%' in stream data is data.
TEST(Scan, CommentsAsWhitespace) {
    struct {
        const char *name;
        std::string text;
        int32_t num;
        bool dict;          // the index entry has a dictionary
        const char *data;   // stream data, or nullptr for no stream
    } cases[] = {
        {"comment after obj", "1 0 obj % entry point\n<< /A 1 >>\nendobj\n", 1, true, nullptr},
        {"endobj in that comment", "1 0 obj % not endobj\n5\nendobj\n", 1, false, nullptr},
        {"comment inside the header", "2 0 % note\nobj\n<< >>\nendobj\n", 2, true, nullptr},
        {"comment before stream",
         "3 0 obj\n<< /Length 4 >> % data follows\nstream\nabcd\nendstream\nendobj\n", 3, true,
         "abcd"},
        {"'%' opening stream data",
         "4 0 obj\n<< /Length 7 >>\nstream\n% x 5 0\nendstream\nendobj\n", 4, true, "% x 5 0"},
        {"length object with a comment",  // else the data would end at its own "endstream"
         "5 0 obj << /Length 6 0 R >> stream\nab endstream cd\nendstream\nendobj\n"
         "6 0 obj % the length\n15\nendobj\n",
         5, true, "ab endstream cd"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        index_fixture ix(c.text);
        const pdfcore_obj *e = ix.find(c.num);
        ASSERT_NE(nullptr, e);
        EXPECT_EQ(c.dict, e->dict_off >= 0);
        if (c.dict) EXPECT_EQ('<', c.text[(size_t)e->dict_off]);
        EXPECT_EQ(c.data != nullptr, e->is_stream != 0);
        if (c.data) EXPECT_EQ(c.data, ix.data_of(c.num));
    }
}

TEST(Select, LaterDefinitionWinsAndFileBeatsObjectStream) {
    pdf_builder b;
    b.obj(5, "<< /V 1 >>");
    b.obj(5, "<< /V 2 >>");
    b.objstm(20, {{6, "<< /V packed6 >>"}, {7, "<< /V packed7 >>"}}, false);
    b.objstm(21, {{7, "<< /V packed7b >>"}}, false);
    b.obj(6, "<< /V file6 >>");
    index_fixture ix(b.bytes());
    EXPECT_EQ(b.offset(5), ix.find(5)->head_off);
    EXPECT_EQ(0, ix.find(6)->in_objstm);
    EXPECT_EQ(1, ix.find(7)->in_objstm);
    EXPECT_EQ("<< /V packed7b >> ", ix.body_of(7));
    EXPECT_EQ(nullptr, ix.find(20));  // containers leave the index
    EXPECT_EQ(nullptr, ix.find(21));
    // one entry per number
    for (int32_t i = 0; i < ix.objs.count; i++)
        for (int32_t j = i + 1; j < ix.objs.count; j++)
            EXPECT_NE(ix.objs.items[i].num, ix.objs.items[j].num);
    EXPECT_EQ(7, ix.max_num);
}

// ---- object streams ---------------------------------------------------------------------------

static std::string objstm_file(const std::string &dict, const std::string &data,
                               slen length = slen::right()) {
    pdf_builder b;
    b.obj(1, "<< /Type /Catalog >>");
    b.stream(10, dict, data, length);
    return b.bytes();
}

TEST(ObjStm, CommentsInTheHeader) {
    index_fixture ix(objstm_file("<< /Type /ObjStm % packed\n/N 2 /First 24 >>",
                                 "11 0 % a\n12 5 % b\r\n     <<>> [1 2 3]"));
    EXPECT_EQ("<<>> ", ix.body_of(11));
    EXPECT_EQ("[1 2 3]", ix.body_of(12));
}

TEST(ObjStm, TwoObjectsStoredRaw) {
    index_fixture ix(objstm_file("<< /Type /ObjStm /N 2 /First 9 >>", "11 0 12 5<<>> [1 2 3]"));
    EXPECT_EQ("<<>> ", ix.body_of(11));
    EXPECT_EQ("[1 2 3]", ix.body_of(12));
    const pdfcore_obj *e = ix.find(11);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(1, e->in_objstm);
    EXPECT_EQ(0, e->gen);
    EXPECT_EQ(-1, e->head_off);
    EXPECT_EQ(-1, e->dict_off);
    EXPECT_EQ(-1, e->endobj_off);
    EXPECT_EQ(0, e->is_stream);
}

#ifdef HAVE_ZLIB
TEST(ObjStm, TwoObjectsFlate) {
    index_fixture ix(objstm_file("<< /Type /ObjStm /N 2 /First 9 /Filter /FlateDecode >>",
                                 zlib_compress("11 0 12 5<<>> [1 2 3]")));
    EXPECT_EQ("<<>> ", ix.body_of(11));
    EXPECT_EQ("[1 2 3]", ix.body_of(12));
}

TEST(ObjStm, WrongLengthUsesScannedExtent) {
    index_fixture ix(objstm_file("<< /Type /ObjStm /N 2 /First 9 /Filter /FlateDecode >>",
                                 zlib_compress("11 0 12 5<<>> [1 2 3]"), slen::value_of(3)));
    EXPECT_EQ("[1 2 3]", ix.body_of(12));
}

TEST(ObjStm, HighlyCompressedNeedsBiggerRoom) {
    // 300 KB of text from a few hundred bytes: the first room (8 x n + 64) is too small.
    std::string big = "<< /Pad (" + std::string(300000, 'a') + ") >>";
    std::string text = "11 0 " + big;
    std::string head = "11 0 ";
    index_fixture ix(objstm_file("<< /Type /ObjStm /N 1 /First 5 /Filter /FlateDecode >>",
                                 zlib_compress(text)));
    EXPECT_EQ(big, ix.body_of(11));
}

TEST(ObjStm, CorruptFlateGivesNothing) {
    std::string z = zlib_compress("11 0 <<>>");
    z[4] = (char)(z[4] ^ 0x55);
    z[5] = (char)(z[5] ^ 0xAA);
    index_fixture ix(objstm_file("<< /Type /ObjStm /N 1 /First 5 /Filter /FlateDecode >>", z));
    EXPECT_EQ(nullptr, ix.find(11));
}
#endif

TEST(ObjStm, RefusedHeadersAndObjects) {
    struct {
        const char *name;
        const char *dict;
        std::string data;
        const char *present;  // numbers expected, as text
        const char *absent;
    } cases[] = {
        {"N zero", "/N 0 /First 9", "11 0 12 5<<>> [1 2 3]", "", "11 12"},
        {"N too large", "/N 100001 /First 9", "11 0 12 5<<>> [1 2 3]", "", "11 12"},
        {"First missing", "/N 2", "11 0 12 5<<>> [1 2 3]", "", "11 12"},
        {"N negative then valid", "/N -2 /N 2 /First 9", "11 0 12 5<<>> [1 2 3]", "11 12", ""},
        {"unreadable pair", "/N 2 /First 9", "11 0 x 5<<>> [1 2 3]", "", "11 12"},
        {"First past the data", "/N 1 /First 99", "11 0 <<>>", "", "11"},
        {"equal offsets skip one", "/N 3 /First 14", "11 0 12 0 13 5<<>> [1 2 3]", "12 13", "11"},
        {"object zero skipped", "/N 3 /First 14", "11 0 0 5 13 12<<>> [1 2 3]  <<>>", "11 13", "0"},
        {"last object zero stops", "/N 2 /First 9", "11 0 0 5<<>> [1 2 3]", "11", "0"},
        {"text running past the data skipped", "/N 2 /First 11", "11 0 12 900<<>> [1 2 3]", "", "11 12"},
        {"last offset past data skipped", "/N 2 /First 11", "11 0 12 999<<>> [1 2 3]", "", "12"},
        {"offsets going backwards", "/N 2 /First 9", "11 5 12 0<<>> [1 2 3]", "12", "11"},
        {"N larger than header", "/N 5 /First 9", "11 0 12 5<<>> [1 2 3]", "", "11 12"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        index_fixture ix(objstm_file(std::string("<< /Type /ObjStm ") + c.dict + " >>", c.data));
        for (int n : {0, 11, 12, 13}) {
            std::string key = std::to_string(n);
            auto has = [&](const char *list) {
                std::string l = std::string(" ") + list + " ";
                return l.find(" " + key + " ") != std::string::npos;
            };
            if (has(c.present)) EXPECT_NE(nullptr, ix.find(n)) << n;
            if (has(c.absent)) EXPECT_EQ(nullptr, ix.find(n)) << n;
        }
        for (int32_t i = 0; i < ix.objs.count; i++) {
            const pdfcore_obj &e = ix.objs.items[i];
            if (!e.in_objstm) continue;
            // every body lies inside the block the arena owns
            EXPECT_GE(e.body_len, 1);
        }
    }
}

// ---- damaged bytes ----------------------------------------------------------------------------

static std::string sample_file() {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.page(3, 2, "/Contents 4 0 R /Resources << /XObject << /Im1 5 0 R >> >>");
    b.stream(4, "<< >>", "q 1 0 0 1 0 0 cm /Im1 Do Q 9 0 obj");
    b.stream(5, "<< /Type /XObject /Subtype /Image /Length 6 0 R >>", "\x01\x02\x03",
             stream_layout());
    b.objstm(7, {{8, "<< /A (x>>y) >>"}, {9, "[1 0 R]"}}, false);
    b.xref_table(trailer_opts(1));
    return b.bytes();
}

// Every truncation and every single-byte change of a small file: the index stays consistent
// (positions inside the file, bodies of positive length), under the sanitizer without reports.
TEST(Scan, TruncationAndMutationSweep) {
    const std::string full = sample_file();
    auto check = [](const std::string &bytes) {
        index_fixture ix(bytes);
        const objvec &objs = ix.objs;
        int64_t len = (int64_t)bytes.size();
        for (int32_t i = 0; i < objs.count; i++) {
            const pdfcore_obj &e = objs.items[i];
            if (e.in_objstm) {
                EXPECT_GE(e.body_len, 1);
                continue;
            }
            EXPECT_GE(e.head_off, 0);
            EXPECT_LT(e.head_off, len);
            if (e.is_stream) {
                EXPECT_LE(e.data_off, e.data_end);
                EXPECT_LE(e.data_end, len);
            }
            EXPECT_LE(e.endobj_off + 6, len);
        }
    };
    for (size_t n = 0; n <= full.size(); n++) check(full.substr(0, n));
    for (size_t i = 0; i < full.size(); i++) {
        std::string m = full;
        m[i] = (char)(m[i] ^ 0x20);
        check(m);
    }
}

// The lookup table answers exactly as obj_find, duplicates and huge numbers included.
TEST(Scan, LookupTableMatchesLinearSearch) {
    pdf_builder b(nullptr);
    b.obj(5, "<< /A 1 >>");
    b.obj(3, "<< /B 1 >>");
    b.obj(5, "<< /A 2 >>");
    b.raw("9000000 0 obj << /Huge true >> endobj\n");
    index_fixture ix(b.bytes(), false);
    int32_t max = -1;
    int32_t *table = obj_first_positions(&ix.objs, &max);
    ASSERT_NE(nullptr, table);
    EXPECT_EQ(5, max);
    for (int32_t n : {-1, 0, 1, 3, 4, 5, 6, 9000000})
        EXPECT_EQ(obj_find(&ix.objs, n), obj_lookup(&ix.objs, table, max, n)) << n;
    EXPECT_EQ(obj_find(&ix.objs, 5), obj_lookup(&ix.objs, nullptr, 0, 5));
    free(table);
}

// The first scan remembers failed dictionary scans; its entries must be exactly what a plain
// dict_stream_kw per header gives. Random token soups full of unclosed and nested dictionaries,
// strings and escapes, with a fixed seed.
TEST(Scan, FirstScanMatchesPlainDictionaryScans) {
    static const char *const tokens[] = {"1 0 obj ", "2 0 obj\n", "<<", ">>", "<", ">", "(", ")",
                                         "\\", " stream\n", "endobj\n", "x", " ", "<</A 1>>",
                                         "3 0 obj <0A>", ">>>", "\\(", "4 0 obj <<(", "5 0 obj <"};
    uint32_t seed = 12345;
    auto rnd = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7fff;
    };
    for (int round = 0; round < 3000; round++) {
        std::string s;
        int n = 5 + (int)(rnd() % 120);
        for (int i = 0; i < n; i++) s += tokens[rnd() % (sizeof tokens / sizeof tokens[0])];
        SCOPED_TRACE(s);
        int32_t len = (int32_t)s.size();
        objvec objs = {nullptr, 0, 0};
        scan_pass1(u(s), len, &objs);
        int32_t expected = 0;
        for (int32_t p = 0; p <= len - 4; p++) {
            if (!kw_at(u(s), p, len, "obj")) continue;
            int32_t h = parse_obj_head(u(s), p, nullptr, nullptr);
            if (h < 0) continue;
            int32_t q = skip_ws(u(s), p + 3, len);
            int32_t want_s = -1;
            bool kept;
            if (q + 1 < len && s[(size_t)q] == '<' && s[(size_t)q + 1] == '<') {
                want_s = dict_stream_kw(u(s), len, q);
                kept = want_s >= 0 || find_kw(u(s), len, q, "endobj") >= 0;
            } else if (q < len && s[(size_t)q] == '<') {  // a string, never a stream's dictionary
                kept = find_kw(u(s), len, q, "endobj") >= 0;
            } else {
                kept = find_kw(u(s), len, p + 3, "endobj") >= 0;
            }
            if (!kept) continue;
            ASSERT_LT(expected, objs.count);
            const pdfcore_obj &e = objs.items[expected++];
            EXPECT_EQ(h, e.head_off);
            EXPECT_EQ(want_s, e.stream_kw_off);
            EXPECT_EQ(want_s >= 0 ? 1 : 0, e.is_stream);
        }
        EXPECT_EQ(expected, objs.count);
        free(objs.items);
    }
}

// Many unclosed dictionaries, or dictionaries opening unclosed strings: the first scan stays fast
// (each header would otherwise scan to the file end).
TEST(Scan, ManyUnclosedDictionaries) {
    for (const char *unit : {"1 0 obj <<\n", "1 0 obj << (\n", "1 0 obj << /A << (x) (\n"}) {
        SCOPED_TRACE(unit);
        std::string s;
        for (int i = 0; i < 100000; i++) s += unit;
        s += "endobj\n";
        index_fixture ix(s, false);
        EXPECT_EQ(100000, ix.objs.count);
    }
}
