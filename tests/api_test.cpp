// tests/api_test.cpp - the seven entry points: argument checks and error text, the JSON listing, the
// image files and their directory, and allocation failures (with the library's malloc, calloc and
// realloc wrapped, see tests/extra.cmake).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "pdf_builder.h"
#include "pdfextractimg.h"

namespace fs = std::filesystem;

// ---- allocation failures ------------------------------------------------------------------------

#ifdef QV_WRAP_ALLOC
extern "C" void *__real_malloc(size_t n);
extern "C" void *__real_calloc(size_t n, size_t size);
extern "C" void *__real_realloc(void *p, size_t n);

// Atomic: the library's writer and encoder threads allocate too, in an order that may vary.
static std::atomic<long> g_alloc_calls{0};  // allocations counted since arm()
static std::atomic<long> g_fail_at{-1};     // the allocation (0-based) that fails; -1: none

static bool fail_now() { return g_fail_at.load() >= 0 && g_alloc_calls++ == g_fail_at.load(); }
extern "C" void *__wrap_malloc(size_t n) { return fail_now() ? nullptr : __real_malloc(n); }
extern "C" void *__wrap_calloc(size_t n, size_t size) {
    return fail_now() ? nullptr : __real_calloc(n, size);
}
extern "C" void *__wrap_realloc(void *p, size_t n) { return fail_now() ? nullptr : __real_realloc(p, n); }

static void arm(long k) {
    g_alloc_calls = 0;
    g_fail_at = k;
}
static bool disarm() {  // true when the armed allocation was reached
    bool hit = g_fail_at >= 0 && g_alloc_calls > g_fail_at;
    g_fail_at = -1;
    return hit;
}
#endif

// ---- fixtures ---------------------------------------------------------------------------------------

static std::string err() { return pdfextractimg_last_error(); }

// A fresh directory under the test binary directory, removed with its contents at the end.
struct scratch {
    std::string dir;
    scratch() {
        std::string tmpl = std::string(TEST_BINARY_DIR) + "/api_XXXXXX";
        std::vector<char> t(tmpl.begin(), tmpl.end());
        t.push_back('\0');
        dir = mkdtemp(t.data());
    }
    ~scratch() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string operator/(const std::string &name) const { return dir + "/" + name; }
};

static std::vector<std::string> dir_listing(const std::string &dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto &e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A stand-in JPEG: SOI, an APP0 segment, some bytes, EOI. Passed through without decoding.
static std::string fake_jpeg(int seed) {
    return std::string("\xFF\xD8\xFF\xE0\x00\x06JFIF", 10) + "#" + std::to_string(seed) + "\xFF\xD9";
}

struct img {
    int num;
    int w, h;
    bool jpeg;  // else a raw 8-bit gray image
};

// Pages 3, 4, ... under node 2; page i's XObject dictionary lists the objects of pages[i].
static std::string build_doc(const std::vector<std::vector<int>> &pages, const std::vector<img> &imgs,
                             const std::string &tag = "api") {
    pdf_builder b;
    b.catalog(1, 2);
    std::vector<int> kids;
    for (size_t i = 0; i < pages.size(); i++) kids.push_back(3 + (int)i);
    b.pages(2, kids);
    for (size_t i = 0; i < pages.size(); i++) {
        std::string entries;
        for (int n : pages[i]) entries += "/I" + std::to_string(n) + " " + std::to_string(n) + " 0 R ";
        b.page(3 + (int)i, 2, "/Resources << /XObject << " + entries + ">> >>");
    }
    for (const img &m : imgs) {
        std::string dict = "<< /Type /XObject /Subtype /Image /Width " + std::to_string(m.w) +
                           " /Height " + std::to_string(m.h);
        if (m.jpeg) {
            b.stream(m.num, dict + " /ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /DCTDecode >>",
                     fake_jpeg(m.num));
        } else {
            std::string px((size_t)m.w * (size_t)m.h, '\0');
            for (size_t i = 0; i < px.size(); i++) px[i] = (char)(i * 37);
            b.stream(m.num, dict + " /ColorSpace /DeviceGray /BitsPerComponent 8 >>", px);
        }
    }
    b.xref_table(trailer_opts(1));
    return b.save_temp(tag);
}

struct temp_pdf {
    std::string path;
    explicit temp_pdf(std::string p) : path(std::move(p)) {}
    ~temp_pdf() { remove(path.c_str()); }
    const char *c() const { return path.c_str(); }
};

// One JPEG (10) on page 1, a gray image (11) on page 2, both again on page 3 with JPEG 12.
static temp_pdf three_pages() {
    return temp_pdf(build_doc({{10}, {11}, {12, 10, 11}},
                              {{10, 640, 480, true}, {11, 3, 2, false}, {12, 8, 8, true}}));
}

static temp_pdf no_images() { return temp_pdf(build_doc({{}, {}}, {})); }

// ---- argument checks and the error text -----------------------------------------------------------

TEST(ErrorText, EmptyBeforeAnyCall) {
    EXPECT_STREQ("", pdfextractimg_last_error());
    pdfextractimg_cleanup();  // before any listing exists, and twice
    pdfextractimg_cleanup();
    EXPECT_STREQ("", pdfextractimg_last_error());
}

TEST(ErrorText, ArgumentChecksInOrder) {
    temp_pdf pdf = three_pages();
    scratch s;
    std::string out = s / "out";
    const char *p = pdf.c();
    const char *o = out.c_str();
    struct arg_case {
        const char *name;
        std::function<long()> call;
        long want;
        std::string msg;
    };
    const std::string no_path = "Invalid input path (NULL or empty)";
    const std::string no_dir = "Invalid output directory (NULL or empty)";
    const std::vector<arg_case> cases = {
        {"all: NULL path", [&] { return (long)pdfextractimg_all(nullptr, o); }, -1, no_path},
        {"all: empty path", [&] { return (long)pdfextractimg_all("", o); }, -1, no_path},
        {"all: path before dir", [&] { return (long)pdfextractimg_all("", nullptr); }, -1, no_path},
        {"all: NULL dir", [&] { return (long)pdfextractimg_all(p, nullptr); }, -1, no_dir},
        {"all: empty dir", [&] { return (long)pdfextractimg_all(p, ""); }, -1, no_dir},
        {"page: path before page", [&] { return (long)pdfextractimg_page(nullptr, 0, nullptr); }, -1,
         no_path},
        {"page: page before dir", [&] { return (long)pdfextractimg_page(p, 0, nullptr); }, -1,
         "Invalid page number 0 (pages are 1-based)"},
        {"page: negative", [&] { return (long)pdfextractimg_page(p, -3, o); }, -1,
         "Invalid page number -3 (pages are 1-based)"},
        {"page: empty dir", [&] { return (long)pdfextractimg_page(p, 1, ""); }, -1, no_dir},
        {"info: NULL", [&] { return pdfextractimg_info(nullptr) ? 1L : -1L; }, -1, no_path},
        {"info: empty", [&] { return pdfextractimg_info("") ? 1L : -1L; }, -1, no_path},
        {"count: NULL", [&] { return (long)pdfextractimg_count(nullptr); }, -1, no_path},
        {"count: empty", [&] { return (long)pdfextractimg_count(""); }, -1, no_path},
    };
    for (const arg_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, c.call());
        EXPECT_EQ(c.msg, err());
    }
    EXPECT_FALSE(fs::exists(out)) << "no directory is made before the arguments pass";
}

TEST(ErrorText, LoadFailuresCarryTheCoresMessage) {
    scratch s;
    std::string missing = s / "missing.pdf";
    std::string empty = s / "empty.pdf";
    std::string text = s / "text.pdf";
    std::string fifo = s / "fifo.pdf";
    std::string dir = s / "dir.pdf";
    ASSERT_TRUE(write_file(empty, ""));
    ASSERT_TRUE(write_file(text, "hello, no objects here\n"));
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));  // nobody ever writes to it
    ASSERT_TRUE(fs::create_directory(dir));
    struct load_case {
        const char *name;
        std::string path;
        std::string msg;
    };
    const load_case cases[] = {
        {"missing file", missing, "cannot open " + missing},
        {"empty file", empty, "empty input file: " + empty},
        {"no objects", text, "no PDF objects found \xE2\x80\x94 not a PDF: " + text},
        {"a FIFO is not waited on", fifo, "not a regular file: " + fifo},
        {"a directory", dir, "not a regular file: " + dir},
        {"a device", "/dev/zero", "not a regular file: /dev/zero"},
    };
    alarm(60);  // a call that waits on the FIFO ends the test
    for (const load_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(-1, pdfextractimg_count(c.path.c_str()));
        EXPECT_EQ(c.msg, err());
        EXPECT_EQ(nullptr, pdfextractimg_info(c.path.c_str()));
        EXPECT_EQ(c.msg, err());
        std::string out = s / (std::string("out_") + c.name);
        EXPECT_EQ(-1, pdfextractimg_all(c.path.c_str(), out.c_str()));
        EXPECT_EQ(c.msg, err());
        EXPECT_EQ(-1, pdfextractimg_page(c.path.c_str(), 1, out.c_str()));
        EXPECT_EQ(c.msg, err());
        EXPECT_FALSE(fs::exists(out)) << "the directory is made only after the load";
    }
    alarm(0);
}

TEST(ErrorText, ClearedBySuccessInitAndCleanup) {
    temp_pdf pdf = three_pages();
    struct clear_case {
        const char *name;
        std::function<void()> call;
    };
    const clear_case cases[] = {
        {"count", [&] { EXPECT_EQ(3, pdfextractimg_count(pdf.c())); }},
        {"info", [&] { EXPECT_NE(nullptr, pdfextractimg_info(pdf.c())); }},
        {"init", [&] { EXPECT_EQ(1, pdfextractimg_init()); }},
        {"cleanup", [&] { pdfextractimg_cleanup(); }},
    };
    for (const clear_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(-1, pdfextractimg_count(""));
        ASSERT_NE("", err());
        const char *before = pdfextractimg_last_error();
        EXPECT_EQ(before, pdfextractimg_last_error()) << "reading the text changes nothing";
        c.call();
        EXPECT_EQ("", err());
    }
    EXPECT_EQ(1, pdfextractimg_init());
    pdfextractimg_cleanup();
    pdfextractimg_cleanup();
}

TEST(ErrorText, LongMessagesAreCutAt1023Characters) {
    scratch s;
    std::string longer = s / std::string(1500, 'x') + ".pdf";  // one name too long for the system
    EXPECT_EQ(-1, pdfextractimg_count(longer.c_str()));
    std::string want = ("cannot open " + longer).substr(0, 1023);
    EXPECT_EQ(want, err());
}

TEST(Page, OutOfRangeMakesNoDirectory) {
    temp_pdf pdf = three_pages();
    scratch s;
    for (int page : {4, 5, 1000000}) {
        SCOPED_TRACE(page);
        std::string out = s / ("p" + std::to_string(page));
        EXPECT_EQ(-1, pdfextractimg_page(pdf.c(), page, out.c_str()));
        EXPECT_EQ("Page " + std::to_string(page) + " out of range (document has 3 pages)", err());
        EXPECT_FALSE(fs::exists(out));
    }
}

// ---- results ------------------------------------------------------------------------------------------

TEST(Results, DocumentWithoutImages) {
    temp_pdf pdf = no_images();
    scratch s;
    EXPECT_EQ(0, pdfextractimg_count(pdf.c()));
    EXPECT_STREQ("[]", pdfextractimg_info(pdf.c()));
    EXPECT_EQ(0, pdfextractimg_all(pdf.c(), (s / "o").c_str()));
    EXPECT_EQ(0, pdfextractimg_page(pdf.c(), 2, (s / "o").c_str()));
    EXPECT_TRUE(dir_listing(s / "o").empty());
    EXPECT_EQ("", err());
}

// Writes head, then tail at offset at (the bytes between are a hole: no disk blocks), as path.
// false when the file system cannot hold such a file.
static bool write_sparse(const std::string &path, const std::string &head, int64_t at,
                         const std::string &tail) {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    if (fd < 0) return false;
    bool ok = pwrite(fd, head.data(), head.size(), 0) == (ssize_t)head.size() &&
              pwrite(fd, tail.data(), tail.size(), (off_t)at) == (ssize_t)tail.size();
    return close(fd) == 0 && ok;
}

// A file past 2 GiB, its one image after a stream of 2.2 GB (a sparse hole, so it costs no disk),
// through every entry point: the positions are 64-bit, and the stream's /Length is read whole.
TEST(Results, FileOfAnySize) {
    scratch s;
    const int64_t hole = 2200000000;
    std::string head = "%PDF-1.7\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
                       "2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj\n"
                       "3 0 obj << /Type /Page /Parent 2 0 R /Resources << /XObject << /Im 5 0 R >> >> "
                       "/Contents 6 0 R >> endobj\n4 0 obj << /Length 2200000000 >>\nstream\n";
    std::string pixels(64 * 64, '\x80');
    std::string tail = "\nendstream\nendobj\n5 0 obj << /Subtype /Image /Width 64 /Height 64 "
                       "/ColorSpace /DeviceGray /BitsPerComponent 8 /Length 4096 >>\nstream\n" + pixels +
                       "\nendstream\nendobj\n6 0 obj << /Length 6 >>\nstream\n/Im Do\nendstream\nendobj\n"
                       "trailer << /Root 1 0 R >>\n%%EOF\n";
    std::string path = s / "big.pdf";
    if (!write_sparse(path, head, (int64_t)head.size() + hole, tail)) GTEST_SKIP() << "no sparse files here";
    EXPECT_EQ(1, pdfextractimg_count(path.c_str())) << err();
    const char *info = pdfextractimg_info(path.c_str());
    ASSERT_NE(nullptr, info) << err();
    const std::string listed = R"([{"page":1,"width":64,"height":64,"type":"png","size":)";
    EXPECT_EQ(listed, std::string(info).substr(0, listed.size()));
    EXPECT_EQ(1, pdfextractimg_all(path.c_str(), (s / "all").c_str())) << err();
    EXPECT_EQ(1, pdfextractimg_page(path.c_str(), 1, (s / "page").c_str())) << err();
    EXPECT_EQ(std::vector<std::string>{"image_001.png"}, dir_listing(s / "page"));
    unlink(path.c_str());
}

// Inline images go through the same walk in every call: listed, counted, and written by page.
TEST(Results, InlineImagesInEveryCall) {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3, 4});
    b.page(3, 2, "/Resources << /XObject << /Im 10 0 R >> >> /Contents 5 0 R");
    b.page(4, 2, "/Contents 6 0 R");
    b.stream(5, "<< >>", "q /Im Do Q BI /W 3 /H 1 /CS /G ID abc EI");
    b.stream(6, "<< >>", "BI /IM true /W 1 /H 1 ID \x80 EI BI /W 4 /H 1 /CS /G ID abcd EI");
    b.stream(10, "<< /Subtype /Image /Width 2 /Height 2 /ColorSpace /DeviceGray /BitsPerComponent 8 >>", "abcd");
    b.xref_table(trailer_opts(1));
    temp_pdf pdf(b.save_temp("api_inline"));
    scratch s;
    EXPECT_EQ(3, pdfextractimg_count(pdf.c()));
    const char *json = pdfextractimg_info(pdf.c());
    ASSERT_NE(nullptr, json);
    std::string j = json;
    EXPECT_NE(std::string::npos, j.find("{\"page\":1,\"width\":2,\"height\":2,\"type\":\"png\""));
    EXPECT_NE(std::string::npos, j.find("{\"page\":1,\"width\":3,\"height\":1,\"type\":\"png\""));
    EXPECT_NE(std::string::npos, j.find("{\"page\":2,\"width\":4,\"height\":1,\"type\":\"png\""));
    EXPECT_EQ(3, pdfextractimg_all(pdf.c(), (s / "all").c_str()));
    EXPECT_EQ(3u, dir_listing(s / "all").size());
    EXPECT_EQ(1, pdfextractimg_page(pdf.c(), 2, (s / "p2").c_str()));
    EXPECT_EQ(std::vector<std::string>{"image_001.png"}, dir_listing(s / "p2"));
}

TEST(Results, JsonListing) {
    struct json_case {
        const char *name;
        std::vector<std::vector<int>> pages;
        std::vector<img> imgs;
        std::string want;
    };
    const std::string j10 = std::to_string(fake_jpeg(10).size());
    const std::string j12 = std::to_string(fake_jpeg(12).size());
    const json_case cases[] = {
        {"one JPEG", {{10}}, {{10, 640, 480, true}},
         "[{\"page\":1,\"width\":640,\"height\":480,\"type\":\"jpeg\",\"size\":" + j10 + "}]"},
        {"two records, one comma, duplicates once", {{12}, {12, 10}}, {{10, 1, 2, true}, {12, 65536, 3, true}},
         "[{\"page\":1,\"width\":65536,\"height\":3,\"type\":\"jpeg\",\"size\":" + j12 +
             "},{\"page\":2,\"width\":1,\"height\":2,\"type\":\"jpeg\",\"size\":" + j10 + "}]"},
    };
    for (const json_case &c : cases) {
        SCOPED_TRACE(c.name);
        temp_pdf pdf(build_doc(c.pages, c.imgs));
        const char *json = pdfextractimg_info(pdf.c());
        ASSERT_NE(nullptr, json);
        EXPECT_EQ(c.want, json);
    }
}

TEST(Results, PngRecordIsListedWithItsFileSize) {
    temp_pdf pdf = three_pages();
    scratch s;
    const char *json = pdfextractimg_info(pdf.c());
    ASSERT_NE(nullptr, json);
    std::string j = json;
    ASSERT_EQ(3, pdfextractimg_all(pdf.c(), s.dir.c_str()));
    std::string png = read_file(s / "image_002.png");
    ASSERT_GE(png.size(), 24u);
    EXPECT_EQ(0, memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(std::string("\0\0\0\3\0\0\0\2", 8), png.substr(16, 8)) << "IHDR width 3, height 2";
    EXPECT_NE(std::string::npos, j.find("{\"page\":2,\"width\":3,\"height\":2,\"type\":\"png\",\"size\":" +
                                        std::to_string(png.size()) + "}"))
        << j;
}

TEST(Results, ListingLivesUntilTheNextSuccessfulInfoOrCleanup) {
    temp_pdf a = three_pages();
    temp_pdf none = no_images();
    const char *first = pdfextractimg_info(a.c());
    ASSERT_NE(nullptr, first);
    std::string text = first;
    EXPECT_EQ(nullptr, pdfextractimg_info(""));
    EXPECT_EQ(nullptr, pdfextractimg_info("/no/such/file.pdf"));
    EXPECT_EQ(text, first) << "a failed call keeps the previous listing";
    const char *second = pdfextractimg_info(none.c());
    ASSERT_NE(nullptr, second);
    EXPECT_STREQ("[]", second);
    pdfextractimg_cleanup();
    const char *third = pdfextractimg_info(a.c());
    ASSERT_NE(nullptr, third);
    EXPECT_EQ(text, third);
    pdfextractimg_cleanup();
}

TEST(Results, FilesAreNumberedInListOrderWithTheirFormatsExtension) {
    temp_pdf pdf = three_pages();
    scratch s;
    EXPECT_EQ(3, pdfextractimg_count(pdf.c()));
    EXPECT_EQ(3, pdfextractimg_all(pdf.c(), (s / "all").c_str()));
    EXPECT_EQ((std::vector<std::string>{"image_001.jpg", "image_002.png", "image_003.jpg"}),
              dir_listing(s / "all"));
    EXPECT_EQ(fake_jpeg(10), read_file(s / "all/image_001.jpg")) << "JPEG bytes as stored";
    EXPECT_EQ(fake_jpeg(12), read_file(s / "all/image_003.jpg"));
    // One page: numbering starts at 001 on every call, and a later page overwrites.
    EXPECT_EQ(3, pdfextractimg_page(pdf.c(), 3, (s / "p").c_str()));
    EXPECT_EQ((std::vector<std::string>{"image_001.jpg", "image_002.jpg", "image_003.png"}),
              dir_listing(s / "p"));
    EXPECT_EQ(fake_jpeg(12), read_file(s / "p/image_001.jpg"));
    EXPECT_EQ(1, pdfextractimg_page(pdf.c(), 1, (s / "p").c_str()));
    EXPECT_EQ(fake_jpeg(10), read_file(s / "p/image_001.jpg"));
    EXPECT_EQ("", err());
}

TEST(Results, SampleDocument) {
    scratch s;
    const char *json = pdfextractimg_info(SAMPLE_PDF);
    ASSERT_NE(nullptr, json) << err();
    std::string j = json;
    EXPECT_EQ(0u, j.find("[{\"page\":1,\"width\":16,\"height\":16,\"type\":\"jpeg\",\"size\":686},"
                         "{\"page\":1,\"width\":48,\"height\":32,\"type\":\"png\","))
        << j;
    EXPECT_NE(std::string::npos, j.find("{\"page\":1,\"width\":40,\"height\":24,\"type\":\"png\","));
    EXPECT_NE(std::string::npos, j.find("{\"page\":2,\"width\":32,\"height\":32,\"type\":\"png\","));
    EXPECT_EQ(std::string::npos, j.find(' '));
    EXPECT_EQ(5, pdfextractimg_count(SAMPLE_PDF));
    EXPECT_EQ(5, pdfextractimg_all(SAMPLE_PDF, s.dir.c_str()));
    EXPECT_EQ(3, pdfextractimg_page(SAMPLE_PDF, 1, (s / "p1").c_str()));
    EXPECT_EQ(3, pdfextractimg_page(SAMPLE_PDF, 2, (s / "p2").c_str()));
    EXPECT_EQ(read_file(s / "image_002.png"), read_file(s / "p2/image_001.png"))
        << "the shared image is the same file from either page";
}

// ---- the output directory ------------------------------------------------------------------------

TEST(OutputDir, SpellingsOfOneDirectory) {
    temp_pdf pdf = three_pages();
    struct dir_case {
        const char *name;
        std::string arg;   // relative to the scratch directory
        std::string made;  // where the files must be
    };
    const dir_case cases[] = {
        {"plain", "out", "out"},
        {"one trailing slash", "out/", "out"},
        {"three trailing backslashes", "out\\\\\\", "out"},
        {"nested, created level by level", "a/b/c", "a/b/c"},
        {"backslash separators", "d\\e\\f", "d/e/f"},
        {"doubled separators", "g//h", "g/h"},
    };
    for (const dir_case &c : cases) {
        SCOPED_TRACE(c.name);
        scratch s;
        std::string arg = s / c.arg;
        EXPECT_EQ(3, pdfextractimg_all(pdf.c(), arg.c_str())) << err();
        EXPECT_TRUE(fs::is_regular_file(s / c.made + "/image_001.jpg"));
        // No directory whose name holds a backslash is left behind.
        for (auto &e : fs::recursive_directory_iterator(s.dir))
            EXPECT_EQ(std::string::npos, e.path().string().find('\\')) << e.path();
    }
}

TEST(OutputDir, ExistingDirectoriesAreAccepted) {
    temp_pdf pdf = three_pages();
    scratch s;
    EXPECT_EQ(3, pdfextractimg_all(pdf.c(), s.dir.c_str()));
    EXPECT_EQ(3, pdfextractimg_all(pdf.c(), s.dir.c_str())) << "again, over the same files";
    // The root directory exists: only the load fails, not the directory check.
    EXPECT_EQ(-1, pdfextractimg_all("/no/such/file.pdf", "/"));
    EXPECT_EQ("cannot open /no/such/file.pdf", err());
    EXPECT_EQ(-1, pdfextractimg_page("/no/such/file.pdf", 1, "//"));
    EXPECT_EQ("cannot open /no/such/file.pdf", err());
}

TEST(OutputDir, NotADirectoryFailsTheCall) {
    temp_pdf pdf = three_pages();
    scratch s;
    ASSERT_TRUE(write_file(s / "file", "x"));
    for (const std::string &arg : {s / "file", s / "file/", s / "file/sub"}) {
        SCOPED_TRACE(arg);
        EXPECT_EQ(-1, pdfextractimg_all(pdf.c(), arg.c_str()));
        EXPECT_EQ("Failed to create output directory: " + arg, err());
        EXPECT_EQ(-1, pdfextractimg_page(pdf.c(), 1, arg.c_str()));
        EXPECT_EQ("Failed to create output directory: " + arg, err());
    }
    EXPECT_EQ("x", read_file(s / "file"));
}

TEST(OutputDir, LongPathsAreUsedWhole) {
    temp_pdf pdf = three_pages();
    scratch s;
    // About 1500 characters in components of 100: longer than any fixed 1024-byte copy.
    std::string deep = s.dir;
    while (deep.size() < 1500) deep += "/" + std::string(99, 'd');
    EXPECT_EQ(3, pdfextractimg_all(pdf.c(), deep.c_str())) << err();
    EXPECT_TRUE(fs::is_regular_file(deep + "/image_003.jpg"));
    // The system refuses these: the call fails, and nothing lands under a shortened path.
    struct refused_case {
        const char *name;
        std::string arg;
    };
    std::string too_long = s.dir;
    while (too_long.size() < 5000) too_long += "/" + std::string(99, 'e');
    const refused_case cases[] = {
        {"a name longer than the system allows", s / std::string(300, 'n')},
        {"a path longer than the system allows", too_long},
    };
    for (const refused_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(-1, pdfextractimg_all(pdf.c(), c.arg.c_str()));
        EXPECT_EQ(("Failed to create output directory: " + c.arg).substr(0, 1023), err());
        EXPECT_NE(0, access((c.arg.substr(0, 1023) + "/image_001.jpg").c_str(), F_OK));
    }
    std::error_code ec;
    for (auto &e : fs::recursive_directory_iterator(s.dir, ec))
        if (e.path().filename().string().rfind("image_", 0) == 0)
            EXPECT_EQ(deep, e.path().parent_path().string()) << "stray image file";
}

// Names, entries in the scratch directory (recursively) that are no image file: temporary files
// left behind would show here.
static std::vector<std::string> stray_names(const std::string &dir) {
    std::vector<std::string> stray;
    std::error_code ec;
    for (auto &e : fs::recursive_directory_iterator(dir, ec)) {
        std::string name = e.path().filename().string();
        if (name[0] == '.') stray.push_back(name);
    }
    return stray;
}

// What is at the image's name beforehand: a symbolic link is replaced, never written through; a
// directory in the way fails the call with the system's reason, and the call's other files go.
TEST(OutputDir, FilesAreReplacedNeverWrittenThrough) {
    temp_pdf pdf = three_pages();
    struct place_case {
        const char *name;
        std::function<void(const scratch &)> plant;  // before the call, in the output directory
        int want;
        std::string msg;  // "" or the error after the directory's name
    };
    const place_case cases[] = {
        {"a link to a file outside", [](const scratch &s) {
             ASSERT_TRUE(write_file(s / "victim", "keep"));
             ASSERT_EQ(0, symlink((s / "victim").c_str(), (s / "out/image_001.jpg").c_str()));
         }, 3, ""},
        {"a dangling link", [](const scratch &s) {
             ASSERT_EQ(0, symlink((s / "created").c_str(), (s / "out/image_003.jpg").c_str()));
         }, 3, ""},
        {"a link to a device that is always full", [](const scratch &s) {
             ASSERT_EQ(0, symlink("/dev/full", (s / "out/image_001.jpg").c_str()));
         }, 3, ""},
        {"an older file", [](const scratch &s) { ASSERT_TRUE(write_file(s / "out/image_002.png", "old")); },
         3, ""},
        {"a directory in the way", [](const scratch &s) {
             ASSERT_TRUE(fs::create_directory(s / "out/image_002.png"));
         }, -1, "/image_002.png: Is a directory"},
    };
    for (const place_case &c : cases) {
        SCOPED_TRACE(c.name);
        scratch s;
        ASSERT_TRUE(fs::create_directory(s / "out"));
        c.plant(s);
        std::string out = s / "out";
        EXPECT_EQ(c.want, pdfextractimg_all(pdf.c(), out.c_str()));
        EXPECT_EQ(c.msg.empty() ? "" : "cannot write " + out + c.msg, err());
        if (fs::exists(s / "victim")) EXPECT_EQ("keep", read_file(s / "victim"));
        EXPECT_FALSE(fs::exists(s / "created")) << "a dangling link creates nothing";
        EXPECT_TRUE(stray_names(s.dir).empty()) << "no temporary file is left";
        if (c.want < 0) {
            EXPECT_EQ(std::vector<std::string>{"image_002.png"}, dir_listing(out)) << "the call's files go";
            continue;
        }
        EXPECT_EQ((std::vector<std::string>{"image_001.jpg", "image_002.png", "image_003.jpg"}), dir_listing(out));
        for (const char *name : {"image_001.jpg", "image_002.png", "image_003.jpg"})
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(out + "/" + name))) << name;
        EXPECT_EQ(fake_jpeg(10), read_file(out + "/image_001.jpg"));
        EXPECT_EQ(fake_jpeg(12), read_file(out + "/image_003.jpg"));
    }
}

// ---- a full file system -------------------------------------------------------------------------

// Gray noise images of the given sizes, one page each: PNG files about as large as their pixels.
static temp_pdf noise_doc(const std::vector<int> &sides) {
    pdf_builder b;
    b.catalog(1, 2);
    std::vector<int> kids;
    for (size_t i = 0; i < sides.size(); i++) kids.push_back(3 + (int)i);
    b.pages(2, kids);
    uint32_t x = 12345;
    for (size_t i = 0; i < sides.size(); i++) {
        int n = 100 + (int)i, side = sides[i];
        b.page(3 + (int)i, 2, "/Resources << /XObject << /I " + std::to_string(n) + " 0 R >> >>");
        std::string px((size_t)side * (size_t)side, '\0');
        for (char &c : px) c = (char)((x = x * 1103515245u + 12345u) >> 24);
        b.stream(n, "<< /Subtype /Image /Width " + std::to_string(side) + " /Height " + std::to_string(side) +
                        " /ColorSpace /DeviceGray /BitsPerComponent 8 >>", px);
    }
    b.xref_table(trailer_opts(1));
    return temp_pdf(b.save_temp("noise"));
}

// What pdfextractimg_all gave in a child process that first ran prepare (which gives "" or why the
// case cannot run here): the result, the error text and what the output directory held after.
struct child_run {
    std::string skipped;
    int result = -2;
    std::string error;
    std::vector<std::string> left;
};

static child_run all_in_child(const std::function<std::string()> &prepare, const char *pdf,
                              const std::string &out) {
    child_run r;
    int fds[2];
    if (pipe(fds) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string why = prepare();
        std::string report = why.empty() ? "" : "S" + why;
        if (why.empty()) {
            int n = pdfextractimg_all(pdf, out.c_str());
            report = "R" + std::to_string(n) + "\n" + err() + "\n";
            for (const std::string &name : dir_listing(out)) report += name + "\n";
        }
        ssize_t ignored = write(fds[1], report.data(), report.size());
        (void)ignored;
        _exit(0);
    }
    close(fds[1]);
    std::string report;
    char b[4096];
    ssize_t n;
    while ((n = read(fds[0], b, sizeof b)) > 0) report.append(b, (size_t)n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << "the child was killed: signal " << WTERMSIG(status);
    if (report.empty()) return r;
    if (report[0] == 'S') {
        r.skipped = report.substr(1);
        return r;
    }
    std::vector<std::string> lines;
    for (size_t p = 1, e; (e = report.find('\n', p)) != std::string::npos; p = e + 1) lines.push_back(report.substr(p, e - p));
    r.result = lines.size() > 0 ? atoi(lines[0].c_str()) : -2;
    r.error = lines.size() > 1 ? lines[1] : "";
    r.left.assign(lines.begin() + std::min<size_t>(2, lines.size()), lines.end());
    return r;
}

// A file that does not fit fails the call with the system's reason, and nothing of the call is
// left. Two ways to run out of room: a small tmpfs mounted in a mount namespace of the child's own
// (root only, where mounting is allowed), and a file size limit (SIGXFSZ ignored, so that writing
// past it fails with EFBIG).
TEST(OutputDir, FullFileSystemFailsTheCall) {
    temp_pdf pdf = noise_doc({64, 48, 80, 600, 32});  // the fourth PNG takes about 360 KB
    struct full_case {
        const char *name;
        std::function<std::string(const std::string &out)> prepare;
        std::string reason;
    };
    const full_case cases[] = {
        {"a small tmpfs", [](const std::string &out) -> std::string {
             if (unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + strerror(errno);
             if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                 return std::string("mount --make-rprivate: ") + strerror(errno);
             if (mount("tmpfs", out.c_str(), "tmpfs", 0, "size=256k") != 0)
                 return std::string("mount tmpfs: ") + strerror(errno);
             return "";
         }, "No space left on device"},
        {"a file size limit", [](const std::string &) -> std::string {
             signal(SIGXFSZ, SIG_IGN);
             struct rlimit lim = {100 * 1024, 100 * 1024};
             if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return std::string("setrlimit: ") + strerror(errno);
             return "";
         }, "File too large"},
    };
    int ran = 0;
    for (const full_case &c : cases) {
        SCOPED_TRACE(c.name);
        scratch s;
        std::string out = s / "out";
        ASSERT_TRUE(fs::create_directory(out));
        child_run r = all_in_child([&] { return c.prepare(out); }, pdf.c(), out);
        if (!r.skipped.empty()) {
            printf("[ skipped  ] %s: %s\n", c.name, r.skipped.c_str());
            continue;
        }
        ran++;
        EXPECT_EQ(-1, r.result);
        EXPECT_EQ(0u, r.error.rfind("cannot write " + out + "/image_00", 0)) << r.error;
        EXPECT_EQ(": " + c.reason, r.error.substr(r.error.size() - std::min(r.error.size(), c.reason.size() + 2)));
        EXPECT_TRUE(r.left.empty()) << "left: " << (r.left.empty() ? "" : r.left[0]);
    }
    if (ran == 0) GTEST_SKIP() << "neither a tmpfs nor a file size limit could be set up";
}

// ---- allocation failures ------------------------------------------------------------------------

#ifdef QV_WRAP_ALLOC
// Each allocation of one call fails in turn: every outcome is a clean failure with a message or a
// success with at most the full result, and a lost record or listing says "out of memory".
TEST(AllocationFailure, EveryAllocationOfEachCallFailsInTurn) {
    temp_pdf pdf = three_pages();
    scratch s;
    std::string out = s / "o";
    struct call_case {
        const char *name;
        std::function<long()> call;  // result, or -1
        long full;
    };
    const call_case cases[] = {
        {"count", [&] { return (long)pdfextractimg_count(pdf.c()); }, 3},
        {"info", [&] {
             const char *j = pdfextractimg_info(pdf.c());
             if (!j) return -1L;
             // A listing given is whole: a failed growth of its text must not leave a fragment
             // (checked without allocating: allocations are failing here).
             size_t len = strlen(j);
             bool whole = len >= 2 && j[0] == '[' && j[len - 1] == ']' &&
                          (len == 2 || (j[1] == '{' && j[len - 2] == '}'));
             if (!whole) ADD_FAILURE() << "not a whole listing: " << j;
             long n = j[1] == ']' ? 0 : 1;
             for (const char *p = j; *p; p++) n += *p == '}' && p[1] == ',';
             return n;
         }, 3},
        {"all", [&] { return (long)pdfextractimg_all(pdf.c(), out.c_str()); }, 3},
        {"page", [&] { return (long)pdfextractimg_page(pdf.c(), 3, out.c_str()); }, 3},
    };
    for (const call_case &c : cases) {
        SCOPED_TRACE(c.name);
        std::set<std::string> messages;
        long k = 0;
        for (;; k++) {
            arm(k);
            long r = c.call();
            bool hit = disarm();
            if (!hit) {
                EXPECT_EQ(c.full, r) << "nothing failed";
                break;
            }
            SCOPED_TRACE("allocation " + std::to_string(k));
            if (r < 0) {
                EXPECT_NE("", err());
                messages.insert(err());
            } else {
                EXPECT_LE(r, c.full);
                EXPECT_EQ("", err());
            }
            ASSERT_LT(k, 100000);
        }
        EXPECT_GT(k, 0);
        EXPECT_EQ(1u, messages.count("out of memory")) << "the record list or listing was hit";
    }
    pdfextractimg_cleanup();
}

TEST(AllocationFailure, FailedListingKeepsThePreviousOne) {
    temp_pdf pdf = three_pages();
    const char *cur = pdfextractimg_info(pdf.c());
    ASSERT_NE(nullptr, cur);
    std::string text = cur;
    for (long k = 0; k < 60; k++) {
        arm(k);
        const char *r = pdfextractimg_info(pdf.c());
        disarm();
        if (r) {  // fewer images may have converted; this is the listing now
            cur = r;
            text = r;
            continue;
        }
        EXPECT_EQ(text, cur) << "allocation " << k;
    }
    pdfextractimg_cleanup();
    pdfextractimg_cleanup();
}
#endif

// ---- hostile input -------------------------------------------------------------------------------

// Every prefix and a few byte changes at every position of a small document: each call returns a
// defined result and agrees with the others.
TEST(Hostile, MutatedDocumentsGiveDefinedResults) {
    temp_pdf base(build_doc({{10, 11}}, {{10, 4, 4, true}, {11, 2, 2, false}}, "base"));
    std::string bytes = read_file(base.path);
    ASSERT_FALSE(bytes.empty());
    std::string path = pdf_temp_path("mutant");
    const char flips[] = {'\0', '/', '>', '9', '\xFF'};
    for (size_t i = 0; i < bytes.size(); i += 2) {
        for (size_t k = 0; k <= sizeof flips; k++) {
            std::string m = k < sizeof flips ? bytes : bytes.substr(0, i);
            if (k < sizeof flips) m[i] = flips[k];
            ASSERT_TRUE(write_file(path, m));
            int n = pdfextractimg_count(path.c_str());
            ASSERT_GE(n, -1);
            if (n < 0) EXPECT_NE("", err());
            const char *j = pdfextractimg_info(path.c_str());
            ASSERT_EQ(n < 0, j == nullptr) << "count and info agree, position " << i;
        }
    }
    remove(path.c_str());
    pdfextractimg_cleanup();
}
