// tests/threads_test.cpp - the entry points called from many threads at once: 8 threads run all four
// working calls over good and bad files mixed, each into output directories of its own, and every
// result, file, listing and error text must be what one thread alone gets. CI runs it under
// ThreadSanitizer too.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "pdf_builder.h"
#include "pdfextractimg.h"

// ---- the files ----------------------------------------------------------------------------------

static std::string noise(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (char &c : s) c = (char)((seed = seed * 1103515245u + 12345u) >> 24);
    return s;
}

// Images of several kinds on three pages: gray, RGB noise large enough for the encoder's own
// threads, a JPEG, a soft mask, and one image shared by two pages.
static std::string built_doc() {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3, 4, 5});
    b.page(3, 2, "/Resources << /XObject << /A 10 0 R /B 11 0 R >> >>");
    b.page(4, 2, "/Resources << /XObject << /C 12 0 R /A 10 0 R >> >>");
    b.page(5, 2, "/Resources << /XObject << /D 13 0 R >> >>");
    b.stream(10, "<< /Subtype /Image /Width 5 /Height 3 /ColorSpace /DeviceGray /BitsPerComponent 8 >>",
             noise(15, 1));
    b.stream(11, "<< /Subtype /Image /Width 400 /Height 300 /ColorSpace /DeviceRGB /BitsPerComponent 8 >>",
             noise(400 * 300 * 3, 2));
    b.stream(12, "<< /Subtype /Image /Width 2 /Height 2 /Filter /DCTDecode >>",
             std::string("\xFF\xD8\xFF\xE0\x00\x04xx\xFF\xD9", 10));
    b.stream(13, "<< /Subtype /Image /Width 4 /Height 4 /ColorSpace /DeviceRGB /BitsPerComponent 8 /SMask 14 0 R >>",
             noise(48, 3));
    b.stream(14, "<< /Subtype /Image /Width 4 /Height 4 /ColorSpace /DeviceGray /BitsPerComponent 8 >>",
             noise(16, 4));
    b.xref_table(trailer_opts(1));
    return b.bytes();
}

// ---- one call and what it gave ----------------------------------------------------------------------

enum call_kind { call_all, call_page, call_info, call_count };

struct outcome {
    long result = 0;                            // files, count, or 1 for a listing; -1 on failure
    std::string error;                          // the thread's error text after the call
    std::string listing;                        // info's text
    std::map<std::string, std::string> files;   // what all or page wrote
    bool operator==(const outcome &o) const {
        return result == o.result && error == o.error && listing == o.listing && files == o.files;
    }
};

static outcome run_call(call_kind kind, const std::string &pdf, const std::string &out) {
    outcome o;
    switch (kind) {
    case call_all: o.result = pdfextractimg_all(pdf.c_str(), out.c_str()); break;
    case call_page: o.result = pdfextractimg_page(pdf.c_str(), 2, out.c_str()); break;
    case call_info: {
        const char *j = pdfextractimg_info(pdf.c_str());
        o.result = j ? 1 : -1;
        if (j) o.listing = j;
        break;
    }
    case call_count: o.result = pdfextractimg_count(pdf.c_str()); break;
    }
    o.error = pdfextractimg_last_error();
    if (kind == call_all || kind == call_page) {
        o.files = read_dir(out);
        clear_dir(out);
    }
    return o;
}

static std::string describe(const outcome &o) {
    std::string s = "result " + std::to_string(o.result) + ", error \"" + o.error + "\", " +
                    std::to_string(o.files.size()) + " files, listing " + o.listing.substr(0, 80);
    return s;
}

// ---- the stress test ------------------------------------------------------------------------------

TEST(Threads, EightThreadsGetWhatOneThreadGets) {
    std::string dir = pdf_temp_path("threads");
    mkdir(dir.c_str(), 0755);
    std::string built = dir + "/built.pdf";
    ASSERT_TRUE(write_file(built, built_doc()));
    ASSERT_TRUE(write_file(dir + "/empty.pdf", ""));
    ASSERT_TRUE(write_file(dir + "/text.pdf", "no objects here\n"));
    ASSERT_TRUE(write_file(dir + "/cut.pdf", built_doc().substr(0, 300)));
    ASSERT_EQ(0, mkfifo((dir + "/fifo.pdf").c_str(), 0600));
    const std::string src = TEST_SOURCE_DIR;
    const std::vector<std::string> pdfs = {
        built,
        src + "/../examples/sample.pdf",
        src + "/fixtures/producers/reportlab.pdf",
        src + "/fixtures/producers/img2pdf.pdf",
        src + "/fixtures/producers/gs_lzw.pdf",
        src + "/fixtures/producers/cairo.pdf",
        src + "/fixtures/security/aes-128.pdf",
        dir + "/missing.pdf",
        dir + "/empty.pdf",
        dir + "/text.pdf",
        dir + "/cut.pdf",
        dir + "/fifo.pdf",
        dir,
    };
    const call_kind kinds[] = {call_all, call_page, call_info, call_count};
    // What one thread alone gets, call by call.
    std::map<std::pair<size_t, int>, outcome> want;
    int failures = 0;
    for (size_t f = 0; f < pdfs.size(); f++) {
        for (call_kind k : kinds) {
            outcome o = run_call(k, pdfs[f], dir + "/alone");
            failures += o.result < 0;
            EXPECT_EQ(o.result < 0, !o.error.empty()) << pdfs[f] << ": " << describe(o);
            want[{f, (int)k}] = o;
        }
    }
    ASSERT_GE(failures, 6 * 4) << "the six bad files fail every call";
    ASSERT_GE((int)(pdfs.size() * 4) - failures, 6 * 3) << "the six good files succeed but for page 2";
    pdfextractimg_cleanup();

    // Eight threads, each over every (file, call) pair in an order of its own, twice.
    const int threads = 8, rounds = 2;
    std::vector<std::vector<std::string>> mismatches(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++) {
        pool.emplace_back([&, t] {
            std::string out = dir + "/t" + std::to_string(t);
            size_t pairs = pdfs.size() * 4;
            const char *kept = nullptr;  // this thread's last listing, checked after other calls
            std::string kept_text;
            for (size_t i = 0; i < pairs * rounds; i++) {
                size_t pick = (i * 7 + (size_t)t * 5) % pairs;
                size_t f = pick / 4;
                call_kind k = kinds[pick % 4];
                outcome got = run_call(k, pdfs[f], out);
                const outcome &w = want.at({f, (int)k});
                if (!(got == w))
                    mismatches[t].push_back(pdfs[f] + " call " + std::to_string((int)k) + ": got " +
                                            describe(got) + "; alone " + describe(w));
                if (k == call_info && got.result > 0) {
                    kept = pdfextractimg_info(pdfs[f].c_str());
                    kept_text = kept ? kept : "";
                }
                if (kept && std::string(kept) != kept_text)
                    mismatches[t].push_back("the thread's listing changed under it");
            }
            // The thread ends without pdfextractimg_cleanup: its listing is released with it.
        });
    }
    for (std::thread &th : pool) th.join();
    for (int t = 0; t < threads; t++) {
        SCOPED_TRACE("thread " + std::to_string(t));
        EXPECT_TRUE(mismatches[t].empty()) << mismatches[t].size() << " mismatches, first: " << mismatches[t][0];
    }
    EXPECT_STREQ("", pdfextractimg_last_error()) << "another thread's error text is not this one's";
    remove((dir + "/fifo.pdf").c_str());  // before the directory is read: opening it would wait
    clear_dir(dir);
}
