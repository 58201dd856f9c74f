// tests/output_test.cpp - the output receivers: image files (with and without the writer threads,
// the same files, bytes and count; a failed call's files removed), the JSON listing and the count.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "pdf_builder.h"
#include "pdfcore/pdfcore.h"
#include "pdfextractimg/extract.h"
#include "pdfextractimg/output.h"

static std::string fake_jpeg(int w, int h) {
    std::string j = "\xFF\xD8";
    j += std::string("\xFF\xC0\x00\x0B\x08", 5);
    j += (char)(h >> 8), j += (char)h, j += (char)(w >> 8), j += (char)w;
    j += std::string("\x01\x01\x11\x00", 4);
    j += std::string("\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00", 10);
    j += "\x12\x34\x56\xFF\xD9";
    return j;
}

// Pages of mixed images: gray, RGB (some large enough for the encoder's own threads), RGB that
// turns out gray, JPEG, an image that fails to convert, and one shared by every page.
static std::string mixed_document(int pages) {
    pdf_builder b;
    std::mt19937 rng(5);
    b.catalog(1, 2);
    std::vector<int> kids;
    for (int i = 0; i < pages; i++) kids.push_back(100 + i);
    b.pages(2, kids);
    b.stream(9, "<< /Subtype /Image /Width 2 /Height 2 /ColorSpace /DeviceGray /BitsPerComponent 8 >>",
             "\x01\x02\x03\x04");
    for (int i = 0; i < pages; i++) {
        int base = 1000 + 10 * i;
        std::string xo = "/Shared 9 0 R";
        int w = 3 + i % 7, h = 2 + i % 5;
        if (i % 9 == 4) w = 600, h = 480;  // 1,152,000 bytes of RGBA: the first writer thread's
        std::string rgb, gray;
        for (int k = 0; k < w * h; k++) {
            uint8_t v = (uint8_t)(k * 7 + i + rng() % 4);
            rgb += (char)v, rgb += (char)(v / 2), rgb += (char)(255 - v);
            gray += (char)v;
        }
        std::string greyish;
        for (char c : gray) greyish += std::string(3, c);
        b.stream(base, "<< /Subtype /Image /Width " + std::to_string(w) + " /Height " + std::to_string(h) +
                           " /ColorSpace /DeviceRGB /BitsPerComponent 8 >>", rgb);
        b.stream(base + 1, "<< /Subtype /Image /Width " + std::to_string(w) + " /Height " + std::to_string(h) +
                               " /ColorSpace /DeviceGray /BitsPerComponent 8 >>", gray);
        b.stream(base + 2, "<< /Subtype /Image /Width " + std::to_string(w) + " /Height " + std::to_string(h) +
                               " /ColorSpace /DeviceRGB /BitsPerComponent 8 >>", greyish);
        b.stream(base + 3, "<< /Subtype /Image /Width 9 /Height 7 /Filter /DCTDecode >>", fake_jpeg(9, 7));
        b.stream(base + 4, "<< /Subtype /Image /Width 4 /Height 4 /Filter /Nonesuch >>", "xx");
        for (int k = 0; k < 5; k++)
            if ((i + k) % 4 != 0) xo += " /I" + std::to_string(k) + " " + std::to_string(base + k) + " 0 R";
        b.page(100 + i, 2, "/Resources << /XObject << " + xo + " >> >>");
    }
    b.xref_table(trailer_opts{1});
    return b.out;
}

struct walk_result {
    int32_t count = 0, written = 0, failed = 0;
    std::map<std::string, std::string> files;
};

// page_index -1: the whole document. The directory is made, read, and emptied again.
static walk_result walk(pdfcore_doc *doc, int32_t page_index, bool threads, const std::string &dir) {
    walk_result r;
    mkdir(dir.c_str(), 0755);
    image_files files;
    EXPECT_EQ(0, image_files_open(&files, dir.c_str(), threads ? 1 : 0));
    if (threads) EXPECT_NE(nullptr, files.writer);
    image_receiver to = image_files_receiver(&files);
    r.failed = page_index < 0 ? collect_all_images(doc, &to) : collect_page_images(doc, page_index, &to);
    r.count = files.count;
    r.written = image_files_close(&files, r.failed != 0);
    r.files = read_dir(dir);
    clear_dir(dir);
    return r;
}

// A PDF cut short after it was loaded (the file changed under the reader): what can no longer be
// read is an error of that object, its image skipped, or, for JPEG data copied into an image file,
// of the call ("read error on PATH", its files removed); never a crash or an image passed as right.
TEST(OutputFiles, PdfCutShortAfterTheLoad) {
    std::string big_jpeg = fake_jpeg(40, 30);
    big_jpeg.insert(big_jpeg.size() - 2, std::string(200000, '\x33'));  // well past the first read
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.page(3, 2, "/Resources << /XObject << /Im 10 0 R >> >>");
    b.stream(10, "<< /Subtype /Image /Width 40 /Height 30 /Filter /DCTDecode >>", big_jpeg);
    b.stream(11, "<< /Subtype /Image /Width 2 /Height 2 /ColorSpace /DeviceGray /BitsPerComponent 8 >>", "abcd");
    b.xref_table(trailer_opts{1});
    const std::string pdf = b.out;
    const size_t jpeg_at = pdf.find("\xFF\xD8");
    struct cut_case {
        const char *name;
        size_t keep;    // bytes left in the file after the load
        int32_t want;   // the call's result
        bool read_error;
    } cases[] = {
        {"inside the JPEG data, past its first bytes", jpeg_at + 100000, -1, true},
        {"before the JPEG data", jpeg_at - 1, 0, false},
        {"nothing cut", pdf.size(), 1, false},
    };
    for (const cut_case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = pdf_temp_path("cut_short");
        ASSERT_TRUE(write_file(path, pdf));
        pdfcore_doc doc;
        ASSERT_EQ(1, pdfcore_load(path.c_str(), &doc));
        ASSERT_EQ(0, truncate(path.c_str(), (off_t)c.keep));
        std::string dir = pdf_temp_path("cut_short_out");
        mkdir(dir.c_str(), 0755);
        image_files files;
        ASSERT_EQ(0, image_files_open(&files, dir.c_str(), 1));
        files.source_name = path.c_str();
        image_receiver to = image_files_receiver(&files);
        int lost = collect_all_images(&doc, &to);
        EXPECT_EQ(c.want, image_files_close(&files, lost != 0));
        if (c.read_error) EXPECT_EQ("read error on " + path, std::string(files.error));
        EXPECT_EQ((size_t)(c.want > 0 ? c.want : 0), read_dir(dir).size());
        clear_dir(dir);
        rmdir(dir.c_str());
        pdfcore_doc_free(&doc);
        unlink(path.c_str());
    }
}

TEST(OutputFiles, ThreadsWriteTheSameFiles) {
    std::string path = pdf_temp_path("writer_mixed");
    ASSERT_TRUE(write_file(path, mixed_document(40)));
    pdfcore_doc doc{};
    ASSERT_EQ(1, pdfcore_load(path.c_str(), &doc)) << pdfcore_last_error(&doc);
    std::string dir = pdf_temp_path("writer_out");
    for (int32_t page : {-1, 0, 4, 39}) {
        SCOPED_TRACE(page);
        walk_result one = walk(&doc, page, false, dir);
        walk_result many = walk(&doc, page, true, dir);
        EXPECT_GT(one.count, page < 0 ? 100 : 3);
        EXPECT_EQ(one.count, one.written);
        EXPECT_EQ((size_t)one.count, one.files.size());
        EXPECT_EQ(one.count, many.count);
        EXPECT_EQ(one.written, many.written);
        EXPECT_EQ(0, many.failed);
        EXPECT_TRUE(one.files == many.files);
    }
    pdfcore_doc_free(&doc);
    remove(path.c_str());
}

// The listing is the same text whether its PNG images are encoded on the walk's thread or on the
// writer threads, and each size it gives is that of the file the same walk writes.
TEST(OutputListing, ThreadsListTheSizesOfTheFiles) {
    std::string path = pdf_temp_path("listing_mixed");
    ASSERT_TRUE(write_file(path, mixed_document(40)));
    pdfcore_doc doc{};
    ASSERT_EQ(1, pdfcore_load(path.c_str(), &doc)) << pdfcore_last_error(&doc);
    walk_result files = walk(&doc, -1, true, pdf_temp_path("listing_files"));
    std::string text[2];
    for (int threads : {0, 1}) {
        SCOPED_TRACE(threads);
        image_listing l;
        ASSERT_EQ(0, image_listing_open(&l, threads));
        EXPECT_EQ(threads == 1, l.writer != nullptr);
        image_receiver to = image_listing_receiver(&l);
        EXPECT_EQ(extract_borrow_jpeg | (threads ? extract_defer_png : 0), to.flags);
        int lost = collect_all_images(&doc, &to) != 0;
        ASSERT_EQ(0, image_listing_close(&l, lost));
        text[threads] = (const char *)l.text.data;
        buf_free(&l.text);
    }
    EXPECT_EQ(text[0], text[1]);
    std::string want = "[";
    int n = 0;
    for (const auto &f : files.files) {  // image_001.jpg, image_002.png, ... in order
        size_t dot = f.first.rfind('.');
        want += std::string(n++ ? "," : "") + "\"size\":" + std::to_string(f.second.size()) + f.first.substr(dot);
    }
    want += "]";
    std::string got = "[";
    size_t at = 0;
    for (n = 0; (at = text[1].find("\"type\":\"", at)) != std::string::npos; n++) {
        size_t type_end = text[1].find('"', at + 8);
        std::string type = text[1].substr(at + 8, type_end - at - 8);
        size_t size_at = text[1].find("\"size\":", type_end);
        size_t size_end = text[1].find('}', size_at);
        got += std::string(n ? "," : "") + text[1].substr(size_at, size_end - size_at) +
               (type == "jpeg" ? ".jpg" : ".png");
        at = size_end;
    }
    got += "]";
    EXPECT_EQ(files.count, n);
    EXPECT_EQ(want, got);
    pdfcore_doc_free(&doc);
    remove(path.c_str());
}

// A file that cannot be put in place fails the call, with or without the threads: the error names
// it, and the call's other files are removed (the directories in the way stay).
TEST(OutputFiles, UnwritableFileFailsTheCall) {
    std::string path = pdf_temp_path("writer_block");
    ASSERT_TRUE(write_file(path, mixed_document(6)));
    pdfcore_doc doc{};
    ASSERT_EQ(1, pdfcore_load(path.c_str(), &doc));
    std::string dir = pdf_temp_path("writer_blocked");
    for (bool threads : {false, true}) {
        SCOPED_TRACE(threads);
        mkdir(dir.c_str(), 0755);
        // Directories where images 2 and 4 would go, whatever their kind.
        const char *blocks[] = {"/image_002.png", "/image_002.jpg", "/image_004.png", "/image_004.jpg"};
        for (const char *b : blocks) mkdir((dir + b).c_str(), 0755);
        mkdir(dir.c_str(), 0755);
        image_files files;
        ASSERT_EQ(0, image_files_open(&files, dir.c_str(), threads ? 1 : 0));
        image_receiver to = image_files_receiver(&files);
        EXPECT_EQ(-1, collect_all_images(&doc, &to)) << "the walk stops at the refusal";
        EXPECT_EQ(-1, image_files_close(&files, 1));
        std::string msg = files.error;
        EXPECT_TRUE(msg.rfind("cannot write " + dir + "/image_00", 0) == 0 &&
                    msg.find(": Is a directory") != std::string::npos)
            << msg;
        EXPECT_EQ(4u, read_dir(dir).size()) << "only the four directories stay";
        clear_dir(dir);
    }
    pdfcore_doc_free(&doc);
    remove(path.c_str());
}

// The temporary file is created exclusively: what stands under its name (a link to a file
// elsewhere, a file) is passed over for the next name, never written through or replaced.
TEST(OutputFiles, TemporaryNamesAreNeverWrittenThrough) {
    std::string dir = pdf_temp_path("output_tmp");
    mkdir(dir.c_str(), 0755);
    ASSERT_TRUE(write_file(dir + "/victim", "keep"));
    char tmp0[image_leaf_size], tmp1[image_leaf_size];
    const uint64_t seed = 77;
    qv_temp_name(tmp0, "image_001.png", seed);
    qv_temp_name(tmp1, "image_001.png", seed + 1);
    EXPECT_EQ('.', tmp0[0]);
    EXPECT_STRNE(tmp0, tmp1);
    ASSERT_EQ(0, symlink((dir + "/victim").c_str(), (dir + "/" + tmp0).c_str()));
    ASSERT_TRUE(write_file(dir + "/" + tmp1, "someone else's"));
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0, qv_write_file_at(fd, "image_001.png", (const uint8_t *)"PNG", 3, seed));
    // An error names the system's reason: the name is a directory.
    mkdir((dir + "/image_002.png").c_str(), 0755);
    EXPECT_EQ(EISDIR, qv_write_file_at(fd, "image_002.png", (const uint8_t *)"PNG", 3, seed));
    close(fd);
    std::map<std::string, std::string> got = read_dir(dir);
    EXPECT_EQ("keep", got["victim"]);
    EXPECT_EQ("keep", got[tmp0]) << "the link is left as it was";
    EXPECT_EQ("someone else's", got[tmp1]);
    EXPECT_EQ("PNG", got["image_001.png"]);
    EXPECT_EQ(5u, got.size()) << "no temporary file of this call is left";
    rmdir((dir + "/image_002.png").c_str());
    clear_dir(dir);
}

// ---- the receivers on their own --------------------------------------------------------------------

// A record as the walk hands it over: "jpeg" or "png" bytes of its own.
static extracted_image record(int page, int w, int h, const char *format, const std::string &bytes) {
    extracted_image r;
    memset(&r, 0, sizeof r);
    r.page = page;
    r.width = w;
    r.height = h;
    strcpy(r.format, format);
    r.data = (uint8_t *)malloc(bytes.size() + 1);
    memcpy(r.data, bytes.data(), bytes.size());
    r.size = r.data_len = bytes.size();
    return r;
}

// Files are numbered in the order taken, named by format; a failed call removes exactly its own
// files (an older image_001.png beside this call's image_001.jpg stays), with or without threads.
TEST(OutputFiles, NamesAndRemovalOnFailure) {
    struct fcase {
        const char *name;
        int threads, lost;
        int32_t want;  // result of image_files_close
    };
    const fcase cases[] = {
        {"written", 0, 0, 3}, {"written by threads", 1, 0, 3},
        {"lost record: removed", 0, 1, -1}, {"lost record, threads: removed", 1, 1, -1},
    };
    std::string dir = pdf_temp_path("output_names");
    for (const fcase &c : cases) {
        SCOPED_TRACE(c.name);
        mkdir(dir.c_str(), 0755);
        ASSERT_TRUE(write_file(dir + "/image_001.png", "older"));
        image_files files;
        ASSERT_EQ(0, image_files_open(&files, (dir + "//").c_str(), c.threads));
        image_receiver to = image_files_receiver(&files);
        EXPECT_EQ(extract_borrow_jpeg | (c.threads && files.writer ? extract_defer_png : 0), to.flags);
        extracted_image recs[] = {record(1, 2, 2, "jpeg", "J1"), record(1, 2, 2, "png", "P2"),
                                  record(2, 2, 2, "png", "P3")};
        for (extracted_image &r : recs) {
            EXPECT_EQ(0, to.take(to.ctx, &r));
            EXPECT_EQ(nullptr, r.data) << "the receiver owns the bytes";
        }
        EXPECT_EQ(c.want, image_files_close(&files, c.lost));
        EXPECT_STREQ(c.lost ? "out of memory" : "", files.error);
        std::map<std::string, std::string> got = read_dir(dir);
        std::map<std::string, std::string> want = {{"image_001.png", "older"}};
        if (!c.lost) {
            want["image_001.jpg"] = "J1";
            want["image_002.png"] = "P2";
            want["image_003.png"] = "P3";
        }
        EXPECT_TRUE(want == got);
        clear_dir(dir);
    }
}

TEST(OutputListing, JsonTextAndFailure) {
    struct lcase {
        const char *name;
        int records, lost;
        const char *want;  // nullptr: image_listing_close fails
    };
    const lcase cases[] = {
        {"no image", 0, 0, "[]"},
        {"one", 1, 0, "[{\"page\":1,\"width\":640,\"height\":480,\"type\":\"jpeg\",\"size\":5}]"},
        {"two joined by a comma", 2, 0,
         "[{\"page\":1,\"width\":640,\"height\":480,\"type\":\"jpeg\",\"size\":5},"
         "{\"page\":3,\"width\":1,\"height\":2,\"type\":\"png\",\"size\":2}]"},
        {"a lost record fails the listing", 2, 1, nullptr},
    };
    for (const lcase &c : cases) {
        SCOPED_TRACE(c.name);
        image_listing l;
        ASSERT_EQ(0, image_listing_open(&l));
        image_receiver to = image_listing_receiver(&l);
        EXPECT_EQ(extract_borrow_jpeg, to.flags) << "PNG images are encoded: the listing gives their size";
        extracted_image recs[] = {record(1, 640, 480, "jpeg", "JPEG!"), record(3, 1, 2, "png", "P2")};
        for (int i = 0; i < c.records; i++) EXPECT_EQ(0, to.take(to.ctx, &recs[i]));
        for (int i = c.records; i < 2; i++) extracted_image_release(&recs[i]);
        if (!c.want) {
            EXPECT_EQ(-1, image_listing_close(&l, c.lost));
            EXPECT_EQ(nullptr, l.text.data);
            continue;
        }
        ASSERT_EQ(0, image_listing_close(&l, c.lost));
        EXPECT_STREQ(c.want, (const char *)l.text.data);
        buf_free(&l.text);
    }
}

TEST(OutputCount, CountsAndDropsRecords) {
    int32_t n = 0;
    image_receiver to = image_count_receiver(&n);
    EXPECT_EQ(extract_no_png | extract_no_decode | extract_borrow_jpeg, to.flags);
    for (int i = 0; i < 3; i++) {
        extracted_image r = record(1, 1, 1, "png", "x");
        EXPECT_EQ(0, to.take(to.ctx, &r));
        EXPECT_EQ(nullptr, r.data);
    }
    EXPECT_EQ(3, n);
}
