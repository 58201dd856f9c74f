// tests/regress_test.cpp - the findings of fuzzing as structured cases. Each input that once
// crashed or misbehaved is also kept under fuzz/corpus/<target>/ and replayed by the fuzz_replay
// tests; the cases here state the behaviour that was fixed.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/flate.h"
#include "pdf_builder.h"
#include "pdfcore/pdfcore.h"
#include "pdfextractimg/extract.h"
#include "pdfextractimg/image.h"

// A loaded document, released at the end of the scope.
struct loaded_doc {
    pdfcore_doc doc;
    bool ok;
    explicit loaded_doc(const pdf_builder &b) {
        memset(&doc, 0, sizeof doc);
        std::string path = b.save_temp("regress");
        ok = pdfcore_load(path.c_str(), &doc) == 1;
        remove(path.c_str());
    }
    ~loaded_doc() { pdfcore_doc_free(&doc); }
};

// fuzz/corpus/pdf_load/decoded-stream-inflates-to-nothing.pdf: a Flate stream whose data is a
// complete zlib stream of no bytes gave a result of length 0 instead of "empty".
TEST(Regress, DecodedStreamThatInflatesToNothingIsEmpty) {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.page(3, 2, "/Contents 4 0 R");
    b.stream(4, "<< /Filter /FlateDecode >>", zlib_of(""));
    b.stream(5, "<< /Filter /FlateDecode >>", zlib_of("q Q"));
    b.xref_table(trailer_opts(1));
    loaded_doc d(b);
    ASSERT_TRUE(d.ok) << pdfcore_last_error(&d.doc);
    int32_t n = 77;
    EXPECT_EQ(nullptr, pdfcore_decoded_stream(&d.doc, obj_find(&d.doc.objs, 4), &n));
    const uint8_t *s = pdfcore_decoded_stream(&d.doc, obj_find(&d.doc.objs, 5), &n);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(std::string("q Q"), std::string((const char *)s, (size_t)n));
}

// fuzz/corpus/pdf_load/tiny-stream-gigapixel-image.pdf: a one-byte stream claiming 32768 x 32768
// RGB pixels took 5.2 GB and 40 s (missing samples are painted as zero). Above 2^24 pixels an
// image needs at least an eighth of its sample bytes; below, a short stream is still padded.
TEST(Regress, SparseLargeImagesAreSkipped) {
    struct row {
        const char *name;
        int w, h;
        size_t data_len;
        bool converted;
    } rows[] = {
        {"one byte for 2^30 pixels", 32768, 32768, 1, false},
        {"one byte for just over 2^24 pixels", 4097, 4096, 1, false},
        {"an eighth less one row for just over 2^24 pixels", 4097, 4096, 512 * 4095, false},
        {"one byte for 64 x 64 pixels", 64, 64, 1, true},
        // fuzz/corpus/content/narrow-tall-image-one-byte: rows of fewer than 8 bytes once passed
        // the test whatever the data (an eighth of a row rounded down to 0).
        {"one byte for a 1 x 2^25 image", 1, 1 << 25, 1, false},
        {"an eighth less one byte for a 7 x 2^22 image", 7, 1 << 22, 7 * (1 << 19) - 1, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        pdf_builder b;
        b.catalog(1, 2);
        b.pages(2, {3});
        b.page(3, 2, "/Resources << /XObject << /Im0 10 0 R >> >>");
        b.stream(10, "<< /Subtype /Image /Width " + std::to_string(r.w) + " /Height " + std::to_string(r.h) +
                         " /ColorSpace /DeviceGray /BitsPerComponent 8 /Filter /FlateDecode >>",
                 zlib_of(std::string(r.data_len, '\x40')));
        b.xref_table(trailer_opts(1));
        loaded_doc d(b);
        ASSERT_TRUE(d.ok) << pdfcore_last_error(&d.doc);
        extracted_image rec;
        memset(&rec, 0, sizeof rec);
        EXPECT_EQ(r.converted ? 1 : 0, extract_single_image(&d.doc, 10, 1, &rec));
        free(rec.data);
    }
}
