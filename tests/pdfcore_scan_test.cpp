// Object index read through a window (scan_file_index): the same entries, fields and order as the
// whole-file scans (scan_pass1, scan_pass2, the oracle here), with headers, comments, dictionary
// ends and keywords across the window's boundaries, an indirect /Length beyond the window, many
// unclosed dictionaries, and files that shrink under the reader.
#include "pdfcore/file.h"
#include "pdfcore/pdfcore.h"
#include "scan_oracle.h"
#include "pdf_builder.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

// The index of bytes as the whole-file scans build it (over an exact-size copy).
struct oracle_index {
    objvec objs = {nullptr, 0, 0, nullptr, 0};
    explicit oracle_index(const std::string &bytes) {
        uint8_t *d = (uint8_t *)malloc(bytes.size() + 1);
        memcpy(d, bytes.data(), bytes.size());
        scan_pass1(d, (int32_t)bytes.size(), &objs);
        scan_pass2(d, (int32_t)bytes.size(), &objs);
        free(d);
    }
    ~oracle_index() { free(objs.items); }
};

// The index through a window of cap bytes over the bytes, of which the source holds the first
// held (-1: all).
struct window_index {
    objvec objs = {nullptr, 0, 0, nullptr, 0};
    int32_t result = 0;
    window_index(const std::string &bytes, int64_t cap, int64_t held = -1,
                 int32_t events = scan_max_close_events) {
        file_source src;
        src_from_memory(&src, (const uint8_t *)bytes.data(), held < 0 ? (int64_t)bytes.size() : held,
                        (int64_t)bytes.size());
        result = scan_file_index(&src, cap, &objs, events);
    }
    ~window_index() { free(objs.items); }
};

static std::string entry_text(const pdfcore_obj &e) {
    char t[256];
    snprintf(t, sizeof t, "%d %d head %d dict %d kw %d data %d..%d (%d) endobj %d end %d stream %d unterm %d",
             e.num, e.gen, e.head_off, e.dict_off, e.stream_kw_off, e.data_off, e.data_end,
             e.stream_len, e.endobj_off, e.end_off, e.is_stream, e.unterminated);
    return t;
}

static ::testing::AssertionResult same_index(const objvec &want, const objvec &got) {
    if (want.count != got.count)
        return ::testing::AssertionFailure() << want.count << " entries wanted, " << got.count << " got";
    for (int32_t i = 0; i < want.count; i++) {
        std::string a = entry_text(want.items[i]), b = entry_text(got.items[i]);
        if (a != b || got.items[i].in_objstm || got.items[i].body || got.items[i].body_len ||
            got.items[i].stm_head_off)
            return ::testing::AssertionFailure() << "entry " << i << ": want " << a << ", got " << b;
    }
    return ::testing::AssertionSuccess();
}

// A literal's bytes, NULs included.
template <size_t n> static std::string lit(const char (&s)[n]) { return std::string(s, n - 1); }

static const std::string pad = "%PDF-1.7\n% a comment line that puts what follows beyond 64 bytes\n";

// ---- boundaries ---------------------------------------------------------------------------------

// The file's first window ends at its capacity; every capacity from 64 bytes to past the file's end
// is tried, so that window boundaries (the first one and those after it) fall inside each feature
// and everywhere around it.
struct boundary_case {
    const char *name;
    std::string text;
    const char *feature;  // where a boundary must fall; at byte 64 or later
};

static const boundary_case boundary_cases[] = {
    {"obj and its header", pad + "12 0 obj\n<< /A 1 >>\nendobj\n", "12 0 obj"},
    {"header with a comment between G and obj",
     pad + "7 0 % a note about the object, a long one\nobj << /B 2 >> endobj\n", "% a note"},
    {"comment before the dictionary", pad + "8 0 obj % note with >> and endobj\n<< /C 3 >>\nendobj\n",
     "% note"},
    {"dictionary close and stream keyword",
     pad + "3 0 obj\n<< /Length 5 /Filter [/A /B] /S (a>>b) >>\nstream\nhello\nendstream\nendobj\n",
     ">>\nstream"},
    {"nested dictionaries, strings and escapes",
     pad + "4 0 obj\n<< /A << /B (x>>\\)y<<) >> /C <0A> >> stream\r\nab\r\nendstream endobj\n",
     "(x>>\\)y<<)"},
    {"endstream after the right /Length", pad + "5 0 obj << /Length 3 >> stream\nabc\nendstream\nendobj\n",
     "endstream"},
    {"endstream searched for (wrong /Length)",
     pad + "5 0 obj << /Length 30 >> stream\nabc\r\nendstream\nendobj\n6 0 obj 1 endobj\n", "endstream"},
    {"endobj", pad + "9 0 obj [1 2 3] endobj\n10 0 obj (x) endobj\n", "endobj"},
    {"endobj as the file's last bytes", pad + "20 0 obj 5 endobj", "endobj"},
    {"/Length as an array with comments",
     pad + "11 0 obj << /Length [1 % 7\n 4] >> stream\nabcd\nendstream\nendobj\n", "/Length [1"},
    {"spaces and tabs before the stream data",
     pad + "13 0 obj << /Length 2 >> stream" + std::string(90, ' ') + "\t\r\nxy\nendstream\nendobj\n",
     "stream    "},
    {"spaces before endstream at the /Length",
     pad + "14 0 obj << /Length 2 >> stream\nxy" + std::string(80, '\n') + "endstream endobj\n", "\n\n\n\n"},
    {"header inside stream data", pad + "15 0 obj << /Length 20 >> stream\n16 0 obj << >> endobj\nendstream\nendobj\n",
     "16 0 obj"},
    {"indirect /Length", pad + "17 0 obj << /Length 18 0 R >> stream\nabc\nendstream endobj 18 0 obj 3 endobj\n",
     "18 0 obj 3"},
    {"NUL is PDF whitespace, VT only where C spaces are read (headers, before endstream)",
     pad + lit("25\v0 obj\0\0<< /Length 2 >>\0stream\nab\v\vendstream\0endobj 26 0\vobj\v<</Length 1>>"
                 "\vstream\nc\0endstream endobj"),
     "25\v0 obj"},
    {"long number and generation", pad + "000000000000000000000000000000000019 00000 obj null endobj\n",
     "0000000000000000000"},
};

TEST(WindowScan, BoundaryInsideEachFeature) {
    for (const boundary_case &c : boundary_cases) {
        SCOPED_TRACE(c.name);
        size_t at = c.text.find(c.feature);
        ASSERT_NE(std::string::npos, at);
        ASSERT_GE(at, 64u);  // else no window of 64 bytes or more ends inside it
        oracle_index want(c.text);
        ASSERT_GT(want.objs.count, 0);
        for (int64_t cap = 64; cap <= (int64_t)c.text.size() + 64; cap++) {
            window_index got(c.text, cap);
            ASSERT_EQ(scan_done, got.result) << cap;
            ASSERT_TRUE(same_index(want.objs, got.objs)) << "window " << cap;
        }
    }
}

// ---- whole files --------------------------------------------------------------------------------

// A file of every kind of object, many windows long: streams with right, wrong, missing and
// indirect lengths (the length objects far after the windows that hold their streams, one defined
// twice), an object stream, an incremental update, a cross-reference table.
static std::string mixed_file() {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.page(3, 2, "/Contents 4 0 R");
    b.stream(4, "<< >>", std::string(3000, 'q'), slen::ref(40, false));
    b.stream(5, "<< /Filter /FlateDecode >>", std::string(5000, '\xff'), slen::value_of(17));
    b.stream(6, "<< /Type /XObject >>", "BT 7 0 obj << /Fake 1 >> endobj ET", slen::missing());
    b.objstm(7, {{20, "<< /A 1 >>"}, {21, "[1 2]"}}, false);
    for (int i = 0; i < 50; i++) b.obj(22 + i, "<< /N " + std::to_string(i) + " >>");
    b.obj(40, "3000");
    b.obj(40, "2999");  // the first definition is the one a /Length reference reads
    b.xref_table(trailer_opts(1));
    b.obj(3, "<< /Type /Page /Parent 2 0 R /Contents [4 0 R 5 0 R] >>");
    b.xref_table(trailer_opts(1));
    return b.bytes();
}

TEST(WindowScan, MixedFileThroughManyWindows) {
    const std::string file = mixed_file();
    oracle_index want(file);
    for (int64_t cap : {64, 65, 67, 100, 128, 255, 1000, 4096, 65536, 1 << 22}) {
        window_index got(file, cap);
        ASSERT_EQ(scan_done, got.result) << cap;
        EXPECT_TRUE(same_index(want.objs, got.objs)) << "window " << cap;
    }
}

// The stream's /Length is an object written long after the window that holds the stream: the second
// scan reads it there and takes the extent it gives.
TEST(WindowScan, IndirectLengthAfterTheWindow) {
    pdf_builder b;
    b.stream(4, "<< /Filter /FlateDecode >>", std::string(20000, 'x'), slen::ref(9, false));
    b.raw(std::string(30000, ' '));
    b.obj(9, "20000");
    oracle_index want(b.bytes());
    const pdfcore_obj *stream = obj_find(&want.objs, 4);
    ASSERT_NE(nullptr, stream);
    ASSERT_EQ(20000, stream->stream_len);
    for (int64_t cap : {64, 1000, 4096}) {
        window_index got(b.bytes(), cap);
        ASSERT_EQ(scan_done, got.result);
        EXPECT_TRUE(same_index(want.objs, got.objs)) << "window " << cap;
    }
}

// Token soups full of unclosed and nested dictionaries, strings and escapes, with a fixed seed:
// the kept dictionary scans (at most 3 or 40 openings recorded, so that records run out) give the
// oracle's entries through small windows.
TEST(WindowScan, TokenSoupsWithFewRecordedOpenings) {
    static const char *const tokens[] = {"1 0 obj ", "2 0 obj\n", "<<", ">>", "<", ">", "(", ")",
                                         "\\", " stream\n", "endobj\n", "x", " ", "<</A 1>>",
                                         "3 0 obj <0A>", ">>>", "\\(", "4 0 obj <<(", "5 0 obj <",
                                         "% c\n", "/Length 2 ", "endstream\n", "6 0 R "};
    uint32_t seed = 4242;
    auto rnd = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7fff;
    };
    for (int round = 0; round < 1500; round++) {
        std::string s;
        int n = 5 + (int)(rnd() % 150);
        for (int i = 0; i < n; i++) s += tokens[rnd() % (sizeof tokens / sizeof tokens[0])];
        SCOPED_TRACE(s);
        oracle_index want(s);
        for (int32_t events : {3, 40}) {
            window_index got(s, 64 + rnd() % 200, -1, events);
            ASSERT_EQ(scan_done, got.result);
            ASSERT_TRUE(same_index(want.objs, got.objs)) << "events " << events;
        }
    }
}

// Many unclosed dictionaries, or dictionaries opening unclosed strings: the first scan stays fast
// with every opening recorded, and with only 1000 of them (each header past a record scans to the
// file's end once per 1000 headers).
TEST(WindowScan, ManyUnclosedDictionaries) {
    for (const char *unit : {"1 0 obj <<\n", "1 0 obj << (\n", "1 0 obj << /A << (x) (\n"}) {
        SCOPED_TRACE(unit);
        std::string s;
        for (int i = 0; i < 100000; i++) s += unit;
        s += "endobj\n";
        for (int32_t events : {scan_max_close_events, 1000}) {
            window_index got(s, 4096, -1, events);
            ASSERT_EQ(scan_done, got.result);
            EXPECT_EQ(100000, got.objs.count);
        }
    }
}

// ---- failures -----------------------------------------------------------------------------------

// A file that is shorter than its size when read: the scan fails cleanly, its index empty.
struct shrink_case {
    const char *name;
    bool on_disk;  // a real file, truncated after it was opened; else a memory source
    int64_t cut;   // bytes gone from the file's end
};

static const shrink_case shrink_cases[] = {
    {"one byte short", false, 1},
    {"a thousand bytes short", false, 1000},
    {"nothing left", false, 1 << 30},
    {"truncated on disk after the size was taken", true, 1000},
};

TEST(WindowScan, FileShrinksUnderTheReader) {
    const std::string file = mixed_file();
    const int64_t size = (int64_t)file.size();
    for (const shrink_case &c : shrink_cases) {
        SCOPED_TRACE(c.name);
        const int64_t left = c.cut < size ? size - c.cut : 0;
        objvec objs = {nullptr, 0, 0, nullptr, 0};
        file_source src;
        int32_t result;
        if (c.on_disk) {
            std::string path = pdf_temp_path("scan-shrink");
            ASSERT_TRUE(write_file(path, file));
            int fd = open(path.c_str(), O_RDONLY);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(0, src_from_fd(&src, fd));
            ASSERT_EQ(size, src.size);
            ASSERT_EQ(0, truncate(path.c_str(), (off_t)left));
            result = scan_file_index(&src, 256, &objs);
            close(fd);
            remove(path.c_str());
        } else {
            src_from_memory(&src, (const uint8_t *)file.data(), left, size);
            result = scan_file_index(&src, 256, &objs);
        }
        EXPECT_EQ(scan_read_failed, result);
        EXPECT_EQ(0, objs.count);
        free(objs.items);
    }
}

