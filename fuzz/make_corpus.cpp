// fuzz/make_corpus.cpp - writes the seed corpora of the fuzz targets under fuzz/corpus/<name>/:
// small PDFs made with the test PDF builder (every filter, predictor, colour space, masks, forms,
// inherited resources, object and cross-reference streams, damaged files), zlib and raw DEFLATE
// streams from the library's encoder and hand-built blocks, LZW, ASCII and RunLength data,
// inputs for the round trip, JBIG2 streams (the published ones and the test encoder's; the
// Annex H stream is read from tests/fixtures/jbig2 beside the corpus), and inputs for the ciphers
// and the security handler (from the qpdf fixtures in tests/fixtures/security), content streams
// with inline images. PNG seeds are the PNG test fixtures (copied by the caller).
//
// Usage: make_corpus CORPUS_DIR   (writes CORPUS_DIR/<target>/<seed>; the directories must exist)
// Deterministic: the same program writes the same bytes. Flate data comes from qv_deflate, so no
// zlib is needed.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "codec/flate.h"
#include "tests/jbig2_writer.h"
#include "tests/pdf_builder.h"

typedef std::string bytes;

static std::string g_dir;

static void put(const std::string &target, const std::string &name, const bytes &data) {
    std::string path = g_dir + "/" + target + "/" + name;
    if (!write_file(path, data)) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        exit(1);
    }
}

static bytes zlib(const bytes &s) {
    uint8_t *z = nullptr;
    uint64_t n = 0;
    if (qv_deflate((const uint8_t *)s.data(), s.size(), &z, &n) != 0) exit(1);
    bytes out((const char *)z, (size_t)n);
    free(z);
    return out;
}

static bytes hex_encode(const bytes &s) {
    static const char digits[] = "0123456789ABCDEF";
    bytes out;
    for (size_t i = 0; i < s.size(); i++) {
        out += digits[(uint8_t)s[i] >> 4];
        out += digits[(uint8_t)s[i] & 15];
        if (i % 16 == 15) out += '\n';
    }
    return out + ">";
}

static bytes a85_encode(const bytes &s) {
    bytes out;
    for (size_t i = 0; i < s.size(); i += 4) {
        size_t n = s.size() - i < 4 ? s.size() - i : 4;
        uint32_t v = 0;
        for (size_t k = 0; k < 4; k++) v = v << 8 | (k < n ? (uint8_t)s[i + k] : 0);
        if (v == 0 && n == 4) {
            out += 'z';
            continue;
        }
        char g[5];
        for (int k = 4; k >= 0; k--) {
            g[k] = (char)('!' + v % 85);
            v /= 85;
        }
        out.append(g, n + 1);
    }
    return out + "~>";
}

// Runs of equal bytes as repeats, everything else as literal runs.
static bytes rl_encode(const bytes &s) {
    bytes out;
    size_t i = 0;
    while (i < s.size()) {
        size_t run = 1;
        while (i + run < s.size() && s[i + run] == s[i] && run < 128) run++;
        if (run >= 2) {
            out += (char)(257 - run);
            out += s[i];
            i += run;
            continue;
        }
        size_t lit = 1;
        while (i + lit < s.size() && lit < 128 && !(i + lit + 1 < s.size() && s[i + lit] == s[i + lit + 1]))
            lit++;
        out += (char)(lit - 1);
        out.append(s, i, lit);
        i += lit;
    }
    return out + (char)128;
}

// LZW of every byte as its own code (the decoder's table grows; this encoder never uses it):
// clear, codes, end, at the widths of early change 1.
static bytes lzw_literal(const bytes &s) {
    bytes out;
    uint32_t acc = 0;
    int nacc = 0;
    auto emit = [&](int code, int width) {
        acc = acc << width | (uint32_t)code;
        nacc += width;
        while (nacc >= 8) {
            out += (char)((acc >> (nacc - 8)) & 0xFF);
            nacc -= 8;
        }
    };
    int entries = 258, sent = 0;
    auto width = [&]() { return entries >= 2047 ? 12 : entries >= 1023 ? 11 : entries >= 511 ? 10 : 9; };
    emit(256, 9);
    for (unsigned char c : s) {
        emit(c, width());
        if (sent++ > 0) entries++;
        if (entries >= 4094) {
            emit(256, width());
            entries = 258;
            sent = 0;
        }
    }
    emit(257, width());
    if (nacc > 0) out += (char)((acc << (8 - nacc)) & 0xFF);
    return out;
}

// One DEFLATE block with the fixed code (BTYPE 01) of bytes below 144 and one match.
static bytes fixed_block(const bytes &lits, bool final_block) {
    bytes out;
    uint32_t acc = 0;
    int nacc = 0;
    auto bits = [&](uint32_t v, int n) {  // LSB first
        acc |= v << nacc;
        nacc += n;
        while (nacc >= 8) {
            out += (char)(acc & 0xFF);
            acc >>= 8;
            nacc -= 8;
        }
    };
    auto code = [&](uint32_t c, int n) {  // Huffman codes go out first bit first
        for (int i = n - 1; i >= 0; i--) bits((c >> i) & 1, 1);
    };
    bits(final_block ? 1 : 0, 1);
    bits(1, 2);
    for (unsigned char c : lits) code(0x30 + (c & 0x7F), 8);
    code(1, 7);   // length symbol 257: 3 bytes
    code(0, 5);   // distance code 0: 1 byte back
    code(0, 7);   // end of block
    if (nacc > 0) out += (char)(acc & 0xFF);
    return out;
}

static bytes stored_block(const bytes &s) {
    bytes out;
    out += (char)1;
    out += (char)(s.size() & 0xFF);
    out += (char)(s.size() >> 8);
    out += (char)(~s.size() & 0xFF);
    out += (char)((~s.size() >> 8) & 0xFF);
    return out + s;
}

static bytes pattern(size_t n, int kind) {
    bytes s;
    uint32_t x = 12345;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        switch (kind) {
        case 0: s += (char)(i * 7 / 5); break;             // gradients
        case 1: s += (char)((x >> 16) & 0xFF); break;        // noise
        case 2: s += (char)((i / 13) % 2 ? 0xFF : 0); break;  // long runs
        default: s += "the quick brown fox "[i % 20]; break;
        }
    }
    return s;
}

// ---- PDF seeds --------------------------------------------------------------------------------

// One page whose resources name image 10 as /Im0 (extra resources appended), with the image
// written by add_image and a classic cross-reference table.
template <typename F>
static bytes one_image_pdf(F add_image, const std::string &page_extra = "",
                           const std::string &xobjects = "/Im0 10 0 R") {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.page(3, 2, "/MediaBox [0 0 100 100] /Resources << /XObject << " + xobjects + " >> >> /Contents 4 0 R " +
                     page_extra);
    b.stream(4, "<< >>", "q 100 0 0 100 0 0 cm /Im0 Do Q");
    add_image(b);
    b.xref_table(trailer_opts(1));
    return b.bytes();
}

static std::string image_dict(int w, int h, const std::string &cs, int bpc, const std::string &rest) {
    return "<< /Type /XObject /Subtype /Image /Width " + std::to_string(w) + " /Height " +
           std::to_string(h) + " /ColorSpace " + cs + " /BitsPerComponent " + std::to_string(bpc) +
           " " + rest + " >>";
}

static void pdf_seeds() {
    const std::string T = "pdf_load";
    bytes rgb = pattern(4 * 4 * 3, 0), gray = pattern(8 * 8, 1);

    put(T, "flate-rgb.pdf", one_image_pdf([&](pdf_builder &b) {
            b.stream(10, image_dict(4, 4, "/DeviceRGB", 8, "/Filter /FlateDecode"), zlib(rgb));
        }));
    bytes predicted;
    for (int y = 0; y < 4; y++) {
        predicted += (char)(y % 5);
        predicted.append(rgb, (size_t)y * 12, 12);
    }
    put(T, "png-predictor.pdf", one_image_pdf([&](pdf_builder &b) {
            b.stream(10, image_dict(4, 4, "/DeviceRGB", 8,
                                    "/Filter [/FlateDecode] /DecodeParms << /Predictor 15 /Colors 3 "
                                    "/BitsPerComponent 8 /Columns 4 >>"),
                     zlib(predicted));
        }));
    put(T, "tiff-predictor-lzw.pdf", one_image_pdf([&](pdf_builder &b) {
            b.stream(10, image_dict(8, 8, "/DeviceGray", 8,
                                    "/Filter /LZWDecode /DecodeParms << /Predictor 2 /Colors 1 /Columns 8 >>"),
                     lzw_literal(gray));
        }));
    put(T, "indexed-hex-palette.pdf", one_image_pdf([&](pdf_builder &b) {
            b.stream(10, image_dict(8, 8, "[/Indexed /DeviceRGB 3 <FF000000FF000000FFFFFFFF>]", 2,
                                    "/Filter /ASCIIHexDecode"),
                     hex_encode(pattern(16, 1)));
        }));
    put(T, "indexed-stream-palette.pdf", one_image_pdf([&](pdf_builder &b) {
            b.stream(10, image_dict(4, 4, "[/Indexed /DeviceRGB 255 11 0 R]", 8, "/Filter /FlateDecode"),
                     zlib(pattern(16, 1)));
            b.stream(11, "<< /Filter /FlateDecode >>", zlib(pattern(768, 0)));
        }));
    put(T, "mask-1bit-a85.pdf", one_image_pdf([&](pdf_builder &b) {
            b.stream(10, "<< /Type /XObject /Subtype /Image /Width 16 /Height 4 /ImageMask true "
                         "/Decode [1 0] /Filter /ASCII85Decode >>",
                     a85_encode(pattern(8, 1) + bytes(4, '\0')));
        }));
    put(T, "cmyk-runlength.pdf", one_image_pdf([&](pdf_builder &b) {
            b.stream(10, image_dict(4, 4, "/DeviceCMYK", 8, "/Filter /RunLengthDecode"),
                     rl_encode(pattern(64, 2)));
        }));
    put(T, "gray16-decode.pdf", one_image_pdf([&](pdf_builder &b) {
            b.stream(10, image_dict(4, 2, "/DeviceGray", 16, "/Decode [1 0]"), pattern(16, 1));
        }));
    put(T, "gray4-chain.pdf", one_image_pdf([&](pdf_builder &b) {
            b.stream(10, image_dict(6, 3, "/CalGray", 4, "/Filter [/ASCII85Decode /FlateDecode]"),
                     a85_encode(zlib(pattern(9, 1))));
        }));
    put(T, "smask.pdf", one_image_pdf([&](pdf_builder &b) {
            b.stream(10, image_dict(4, 4, "/DeviceRGB", 8, "/SMask 11 0 R /Filter /FlateDecode"), zlib(rgb));
            b.stream(11, image_dict(2, 2, "/DeviceGray", 8, ""), pattern(4, 1));
        }));
    put(T, "jpeg-pass-through.pdf", one_image_pdf([&](pdf_builder &b) {
            bytes jpeg = "\xFF\xD8\xFF\xE0" + bytes("\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 16) +
                         "\xFF\xD9";
            b.stream(10, image_dict(16, 16, "/DeviceRGB", 8, "/Filter /DCTDecode"), jpeg);
        }));
    put(T, "length-ref-content-array.pdf", [&]() {
        pdf_builder b;
        b.catalog(1, 2);
        b.pages(2, {3}, "/Resources << /XObject << /Im0 10 0 R >> >> /Rotate 90");
        b.page(3, 2, "/Contents [4 0 R 5 0 R] /CropBox [0 0 50 50]");
        b.stream(4, "<< >>", "q 100 0 0 100 0 0 cm", slen::ref(6));
        b.stream(5, "<< /Filter /FlateDecode >>", zlib("/Im0 Do Q"));
        b.stream(10, image_dict(8, 8, "/DeviceGray", 8, ""), gray, slen::ref(11));
        b.xref_table(trailer_opts(1));
        return b.bytes();
    }());
    put(T, "form-xobject.pdf", [&]() {
        pdf_builder b;
        b.catalog(1, 2);
        b.pages(2, {3, 5});
        b.page(3, 2, "/Resources << /XObject << /Fm0 7 0 R >> >> /Contents 4 0 R");
        b.stream(4, "<< >>", "/Fm0 Do");
        b.page(5, 2, "/Resources 6 0 R");
        b.obj(6, "<< /XObject << /Im0 10 0 R /Fm0 7 0 R >> >>");
        b.stream(7, "<< /Type /XObject /Subtype /Form /BBox [0 0 1 1] /Resources << /XObject << /Im1 11 0 R >> >> >>",
                 "/Im1 Do");
        b.stream(10, image_dict(4, 4, "/DeviceRGB", 8, "/Filter /FlateDecode"), zlib(rgb));
        b.stream(11, image_dict(8, 8, "/DeviceGray", 1, ""), pattern(8, 1));
        b.xref_table(trailer_opts(1));
        return b.bytes();
    }());
    put(T, "objstm-xref-stream.pdf", [&]() {
        pdf_builder b("1.5");
        b.objstm(20, {{1, "<< /Type /Catalog /Pages 2 0 R >>"},
                      {2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"},
                      {3, "<< /Type /Page /Parent 2 0 R /Resources << /XObject << /Im0 10 0 R >> >> /Contents 4 0 R >>"},
                      {5, "[/Indexed /DeviceGray 1 <00FF>]"}},
                 false);
        b.stream(4, "<< >>", "/Im0 Do");
        b.stream(10, image_dict(8, 2, "5 0 R", 1, ""), pattern(2, 1));
        b.xref_stream(30, trailer_opts(1));
        return b.bytes();
    }());
    put(T, "objstm-flate.pdf", [&]() {
        pdf_builder b("1.5");
        bytes head = "1 0 2 34 3 77 ";
        bytes body = "<< /Type /Catalog /Pages 2 0 R >> << /Type /Pages /Kids [3 0 R] /Count 1 >> "
                     "<< /Type /Page /Parent 2 0 R /Resources << /XObject << /Im0 10 0 R >> >> >>";
        b.stream(20, "<< /Type /ObjStm /N 3 /First " + std::to_string(head.size()) + " /Filter /FlateDecode >>",
                 zlib(head + body));
        b.stream(10, image_dict(4, 4, "/DeviceRGB", 8, "/Filter /FlateDecode"), zlib(rgb));
        b.trailer_only(trailer_opts(1));
        return b.bytes();
    }());
    put(T, "deep-page-tree.pdf", [&]() {
        pdf_builder b;
        b.catalog(1, 2);
        b.pages(2, {5, 3}, "/MediaBox [0 0 200 200] /Resources << /XObject << /Im0 10 0 R >> >>");
        b.pages(3, {4}, "/Parent 2 0 R /Rotate 270");
        b.page(4, 3);
        b.page(5, 2, "/Rotate 180");
        b.stream(10, image_dict(4, 4, "/DeviceRGB", 8, "/Filter /FlateDecode"), zlib(rgb));
        b.xref_table(trailer_opts(1));
        return b.bytes();
    }());
    put(T, "no-xref-unterminated.pdf", [&]() {
        pdf_builder b;
        b.catalog(1, 2);
        b.pages(2, {3});
        b.page(3, 2, "/Resources << /XObject << /Im0 10 0 R >> >>");
        stream_layout o;
        o.length = slen::value_of(999);
        o.endstream = false;
        b.stream(10, image_dict(4, 4, "/DeviceGray", 8, ""), pattern(16, 0), o);
        return b.bytes();
    }());
    put(T, "encrypted.pdf", [&]() {
        pdf_builder b;
        b.catalog(1, 2);
        b.pages(2, {3});
        b.page(3, 2);
        b.obj(4, "<< /Filter /Standard /V 1 /R 2 >>");
        trailer_opts t(1);
        t.encrypt = 4;
        b.xref_table(t);
        return b.bytes();
    }());
    put(T, "incremental-update.pdf", [&]() {
        pdf_builder b;
        b.catalog(1, 2);
        b.pages(2, {3});
        b.page(3, 2, "/Resources << /XObject << /Im0 10 0 R >> >>");
        b.stream(10, image_dict(2, 2, "/DeviceGray", 8, ""), "abcd");
        long first = b.xref_table(trailer_opts(1));
        b.stream(10, image_dict(4, 4, "/DeviceRGB", 8, "/Filter /FlateDecode"), zlib(rgb));
        trailer_opts t(1);
        t.prev = first;
        b.xref_table(t);
        return b.bytes();
    }());
}

// Shapes of real files: comments where whitespace may stand, page trees that loop or yield no
// page, values and array elements given by reference. For both PDF targets.
static void realfile_seeds() {
    bytes rgb = pattern(4 * 4 * 3, 0);
    bytes predicted;
    for (int y = 0; y < 4; y++) {
        predicted += (char)1;
        predicted.append(rgb, (size_t)y * 12, 12);
    }
    std::map<std::string, bytes> seeds;
    seeds["comments-everywhere.pdf"] = [&]() {
        pdf_builder b;
        b.raw("1 0 % c\nobj % c\n<< /Type /Catalog % c\n/Pages 2 0 R >> % c\nendobj\n"
              "2 0 obj << /Type /Pages /Kids [3 0 R % 4 0 R\n] >> endobj\n"
              "3 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 % 9\n100 100] /Resources % r\n"
              "<< /XObject << /Im0 % i\n10 0 R >> >> >> endobj\n"
              "10 0 obj << /Type /XObject /Subtype /Image /Width 4 /Height 4 /ColorSpace % cs\n"
              "/DeviceRGB /BitsPerComponent 8 /Length 11 0 R /Filter [/FlateDecode % f\n] >> % s\n"
              "stream\n" + zlib(rgb) + "\nendstream\nendobj\n11 0 obj % length\n" +
              std::to_string(zlib(rgb).size()) + "\nendobj\n");
        b.raw("trailer % t\n<< /Root % r\n1 0 R >>\n");
        return b.bytes();
    }();
    seeds["page-tree-loop.pdf"] = [&]() {
        pdf_builder b;
        b.catalog(1, 2);
        b.obj(2, "<< /Type /Pages /Kids [3 0 R 5 0 R] >>");
        b.obj(5, "<< /Type /Pages /Kids [2 0 R 5 0 R 3 0 R] >>");
        b.page(3, 2, "/Resources << /XObject << /Im0 10 0 R >> >>");
        b.stream(10, image_dict(2, 2, "/DeviceGray", 8, ""), "abcd");
        b.xref_table(trailer_opts(1));
        return b.bytes();
    }();
    seeds["kids-damaged.pdf"] = [&]() {
        pdf_builder b;
        b.catalog(1, 2);
        b.obj(2, "<< /Type /Pages /Kids 3 0 R] >>");
        b.page(6, 2, "/Resources << /XObject << /Im0 10 0 R >> >>");
        b.page(3, 2, "/Resources << /XObject << /Im0 10 0 R >> >>");
        b.stream(10, image_dict(2, 2, "/DeviceGray", 8, ""), "abcd");
        b.xref_table(trailer_opts(1));
        return b.bytes();
    }();
    seeds["array-elements-by-reference.pdf"] = one_image_pdf([&](pdf_builder &b) {
        b.stream(10, image_dict(4, 4, "[21 0 R /DeviceRGB 22 0 R 23 0 R]", 8,
                                "/Filter [20 0 R] /DecodeParms [24 0 R] /Decode [22 0 R 25 0 R]"),
                 zlib(predicted));
        const std::pair<int, const char *> values[] = {
            {20, "/FlateDecode"}, {21, "/Indexed"}, {22, "0"},
            {23, "<FF0000>"},     {24, "<< /Predictor 11 /Columns 4 /Colors 3 >>"}, {25, "1"}};
        for (auto &v : values) b.obj(v.first, v.second);
    });
    seeds["objstm-header-comments.pdf"] = [&]() {
        pdf_builder b;
        b.catalog(1, 2);
        std::string root = "<< /Type /Pages /Kids [3 0 R] >>";
        std::string head = "2 0 % root\n3 " + std::to_string(root.size() + 1) + " % page\n";
        b.stream(20, "<< /Type /ObjStm /N 2 /First " + std::to_string(head.size()) + " >>",
                 head + root + " << /Type /Page /Resources << /XObject << /Im0 10 0 R >> >> >>");
        b.stream(10, image_dict(2, 2, "/DeviceGray", 8, ""), "abcd");
        return b.bytes();
    }();
    for (auto &seed : seeds) {
        put("pdf_load", seed.first, seed.second);
        put("lexer", seed.first, seed.second);
    }
}

// A file of the source tree, whole; exits when it cannot be read.
static bytes source_file(const std::string &rel) {
    std::ifstream in(std::string(QV_SOURCE_DIR) + "/" + rel, std::ios::binary);
    if (!in) {
        fprintf(stderr, "cannot read %s\n", rel.c_str());
        exit(1);
    }
    return bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Encrypted documents: qpdf's files (tests/fixtures/security), and documents built here that carry
// the /Encrypt dictionary and /ID of qpdf's AES-128 file (the empty password opens them whatever
// they hold) with streams under /Crypt filters, and a trailer /Encrypt that names no object.
static void encrypted_seeds() {
    const std::string T = "pdf_load";
    for (const char *name : {"rc4-40", "rc4-128-objstm", "rc4-128-v4", "aes-128", "aes-128-clear-meta",
                             "aes-256-objstm", "aes-256-r5", "user-aes-256"})
        put(T, std::string("encrypted-qpdf-") + name + ".pdf",
            source_file(std::string("tests/fixtures/security/") + name + ".pdf"));
    bytes aes = source_file("tests/fixtures/security/aes-128.pdf");
    size_t d = aes.find("<< /CF"), i = aes.find("/ID [");
    bytes encrypt = aes.substr(d, aes.find(" /V 4 >>", d) + 8 - d);
    bytes id = aes.substr(i, aes.find(']', i) + 1 - i);
    bytes gray = pattern(16, 0);
    put(T, "encrypted-crypt-filters.pdf", [&]() {
        pdf_builder b;
        b.catalog(1, 2);
        b.pages(2, {3});
        b.page(3, 2, "/Resources << /XObject << /Im0 10 0 R /Im1 11 0 R /Im2 12 0 R >> >>");
        b.stream(10, image_dict(4, 4, "/DeviceGray", 8,
                                "/Filter [/Crypt /FlateDecode] /DecodeParms [<< /Name /Identity >> null]"),
                 zlib(gray));
        b.stream(11, image_dict(4, 4, "[/Indexed /DeviceRGB 1 <FF000000FF00>]", 1, "/Filter /Crypt"), pattern(2, 1));
        b.stream(12, image_dict(4, 4, "/DeviceGray", 8, "/Filter [/Crypt] /DecodeParms [<< /Name /StdCF >>]"),
                 pattern(48, 1));
        b.obj(20, encrypt);
        trailer_opts t(1);
        t.encrypt = 20;
        t.extra = id;
        b.xref_table(t);
        return b.bytes();
    }());
    put(T, "encrypt-names-no-object.pdf", [&]() {
        pdf_builder b;
        b.catalog(1, 2);
        b.pages(2, {3});
        b.page(3, 2, "/Resources << /XObject << /Im0 10 0 R >> >>");
        b.stream(10, image_dict(4, 4, "/DeviceGray", 8, ""), gray);
        trailer_opts t(1);
        t.encrypt = 30;
        b.xref_table(t);
        return b.bytes();
    }());
}

static void codec_seeds() {
    const char *caps = "\x00\x01\x10\xff";  // capacities 1, 1 KiB + 1, 16 KiB + 1, 255 KiB + 1
    std::vector<std::pair<std::string, bytes>> inputs = {
        {"empty", ""},
        {"text", pattern(600, 3)},
        {"noise", pattern(300, 1)},
        {"runs", pattern(4000, 2)},
        {"gradient", pattern(1000, 0)},
    };
    for (size_t i = 0; i < inputs.size(); i++) {
        bytes z = zlib(inputs[i].second);
        bytes cap(1, caps[i % 4]);
        put("inflate", "deflate-" + inputs[i].first, cap + z);
        if (z.size() >= 6) put("flate", "deflate-" + inputs[i].first, cap + z.substr(2, z.size() - 6));
        put("deflate_roundtrip", inputs[i].first, inputs[i].second);
        put("lzw", "literal-" + inputs[i].first, cap + lzw_literal(inputs[i].second));
    }
    bytes fixed = fixed_block("abc", true);
    put("inflate", "fixed-block", bytes(1, '\x01') + "\x78\x01" + fixed);
    put("flate", "fixed-block", bytes(1, '\x01') + fixed);
    bytes two = fixed_block("xy", false) + stored_block("stored bytes");
    put("flate", "fixed-then-stored", bytes(1, '\x02') + two);
    put("inflate", "stored-block", bytes(1, '\x02') + "\x78\x01" + stored_block(pattern(200, 3)));
    put("lzw", "pdf-example", bytes(1, '\x01') + bytes("\x80\x0B\x60\x50\x22\x0C\x0C\x85\x01", 9));
    put("lzw", "table-full", bytes(1, '\x20') + lzw_literal(pattern(5000, 1)));

    put("ascii", "hex", hex_encode(pattern(40, 1)) + " trailing");
    put("ascii", "hex-odd", "4a 6B7\n>");
    put("ascii", "a85", a85_encode(pattern(50, 1) + bytes(8, '\0') + "xyz"));
    put("ascii", "a85-wrap", "s8W-!s8W-!~>");
    put("ascii", "runlength", rl_encode(pattern(300, 2) + pattern(40, 1)));
    put("ascii", "runlength-cut", "\x05" "ab\xfe");
}

// fuzz_jbig2's input: a 2-byte globals length, the globals, the page's segments.
static void put_jbig2(const std::string &name, const jb2w::bytes &globals, const jb2w::bytes &page) {
    bytes b;
    b += (char)(globals.size() >> 8);
    b += (char)(globals.size() & 0xFF);
    b += bytes(globals.begin(), globals.end());
    b += bytes(page.begin(), page.end());
    put("jbig2", name, b);
}

static jb2w::bytes unhex(const bytes &s) {
    jb2w::bytes b;
    int hi = -1;
    for (char ch : s) {
        int v = isxdigit((unsigned char)ch) ? (isdigit((unsigned char)ch) ? ch - '0' : (ch | 32) - 'a' + 10) : -1;
        if (v < 0) continue;
        if (hi < 0) hi = v;
        else b.push_back((uint8_t)(hi << 4 | v)), hi = -1;
    }
    return b;
}

static void jbig2_seeds() {
    using jb2w::image;
    using jb2w::generic_opts;
    using jb2w::segment;
    using jb2w::page_info;
    using jb2w::generic_region;
    using jb2w::usual;
    using jb2w::strip;
    using jb2w::text_opts;
    using jb2w::symbol_dictionary;
    using jb2w::text_region;
    put_jbig2("pdf-example",
              unhex("0000000000010000000032000003fffdff02fefefe00000001000000012ae225aea9a5a538b4d9999c5c8e"
                    "56ef0f8727f2b53d4e37ef795cc5506dffac"),
              unhex("00000001300001000000130000003400000042000000000000000040000000000002062000010000001e"
                    "000000340000004200000000000000000200100000000231db51ce51ffac"));
    // The Annex H stream without its file header, split by page: globals first.
    FILE *f = fopen((g_dir + "/../../tests/fixtures/jbig2/annex_h.hex").c_str(), "rb");
    if (f) {
        bytes hex;
        int ch;
        while ((ch = fgetc(f)) != EOF) hex += (char)ch;
        fclose(f);
        jb2w::bytes file = unhex(hex), globals, pages[4];
        size_t pos = 13;
        while (pos + 11 <= file.size()) {  // segments of short headers: count < 5, 1-byte numbers
            size_t refs = file[pos + 5] >> 5, at = pos + 6 + refs;
            uint32_t page = file[at];
            uint32_t len = (uint32_t)file[at + 1] << 24 | (uint32_t)file[at + 2] << 16 |
                           (uint32_t)file[at + 3] << 8 | file[at + 4];
            jb2w::bytes &to = page == 0 ? globals : pages[page & 3];
            to.insert(to.end(), file.begin() + (long)pos, file.begin() + (long)(at + 5 + len));
            pos = at + 5 + len;
        }
        for (int p = 1; p <= 3; p++) put_jbig2("annex-h-page" + std::to_string(p), globals, pages[p]);
    }
    // Generic regions of each template, with typical prediction and moved adaptive pixels.
    image im(40, 12);
    for (int y = 0; y < 12; y++)
        for (int x = 0; x < 40; x++) im.set(x, y, (x * 7 + y * 3) % 11 < 4 || y == 6);
    for (int t = 0; t < 4; t++) {
        generic_opts o = usual(t, t % 2 == 0);
        if (t == 3) o.atx[0] = -5;
        jb2w::bytes page = segment(1, 48, 1, {}, page_info(48, 20, t == 1 ? 4 : 0));
        jb2w::bytes r = segment(2, 38, 1, {}, generic_region(im, 3, 5, t, o));
        page.insert(page.end(), r.begin(), r.end());
        put_jbig2("generic-t" + std::to_string(t), {}, page);
    }
    // A page of unknown height ended by stripes, regions combined with each operator.
    jb2w::bytes striped = segment(1, 48, 1, {}, page_info(40, 0xFFFFFFFF, 0, 0x8000 | 16));
    for (int op = 0; op < 5; op++) {
        jb2w::bytes r = segment((uint32_t)(2 + 2 * op), 38, 1, {},
                                generic_region(im, 0, (uint32_t)(op * 10), op, usual(0)));
        jb2w::bytes e(4);
        e[3] = (uint8_t)(op * 10 + 9);
        jb2w::bytes es = segment((uint32_t)(3 + 2 * op), 50, 1, {}, e);
        striped.insert(striped.end(), r.begin(), r.end());
        striped.insert(striped.end(), es.begin(), es.end());
    }
    put_jbig2("striped-operators", {}, striped);
    // A symbol dictionary in the globals, a text region on the page.
    std::vector<image> syms;
    for (int k = 0; k < 3; k++) {
        image s(5 + k, k == 2 ? 9 : 7);
        for (int y = 0; y < s.h; y++)
            for (int x = 0; x < s.w; x++) s.set(x, y, (x + y + k) % 3 == 0 || x == 0);
        syms.push_back(s);
    }
    jb2w::bytes dict = segment(0, 0, 0, {}, symbol_dictionary(syms));
    std::vector<strip> strips = {{0, {{0, 1, 0}, {1, 9, 0}, {2, 20, 0}}}, {12, {{2, 3, 0}, {0, 30, 0}}}};
    for (int corner = 0; corner < 4; corner++) {
        text_opts o;
        o.refcorner = corner;
        o.transposed = corner == 3;
        jb2w::bytes page = segment(1, 48, 1, {}, page_info(48, 30));
        jb2w::bytes t = segment(2, 6, 1, {0}, text_region(syms, 48, 30, 0, 0, 0, strips, o));
        page.insert(page.end(), t.begin(), t.end());
        put_jbig2("text-corner" + std::to_string(corner), dict, page);
    }
}

// fuzz_crypto seeds (the layout is described in fuzz_crypto.cpp): one input per cipher and for
// the hashes, and per qpdf fixture that the empty password opens, its /Encrypt values with its
// first stream and first string (tests/fixtures/security/cases.txt).
static bytes lp(const bytes &s) { return bytes(1, (char)s.size()) + s; }  // length byte, bytes

static bytes le32(int32_t v) {
    bytes out;
    for (int i = 0; i < 4; i++) out += (char)(uint8_t)((uint32_t)v >> (8 * i));
    return out;
}

static bytes hex_bytes(const std::string &h) {
    bytes out;
    if (h == "-") return out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out += (char)strtoul(h.substr(i, 2).c_str(), nullptr, 16);
    return out;
}

static void crypto_seeds() {
    put("crypto", "aes-128-odd-length", bytes(1, '\0') + bytes(1, '\0') + pattern(16 + 16 + 16 * 9 + 7, 1));
    put("crypto", "aes-256-short", bytes(1, '\0') + bytes(1, '\2') + pattern(32 + 16 + 12, 1));
    put("crypto", "rc4-40", bytes(1, '\1') + bytes(1, '\5') + pattern(5 + 300, 1));
    put("crypto", "hashes", bytes(1, '\2') + "\x37\x40" + pattern(400, 3));
    std::ifstream in(std::string(QV_SOURCE_DIR) + "/tests/fixtures/security/cases.txt");
    if (!in) {
        fprintf(stderr, "cannot read tests/fixtures/security/cases.txt\n");
        exit(1);
    }
    std::string line, file, stream, str;
    std::map<std::string, bytes> f;
    bytes head, filters;
    int filter_count = 0;
    bool opens = false;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string w, a, b, c;
        ls >> w;
        if (w == "file") {
            ls >> file >> a;
            opens = a == "open";
            f.clear();
            filters.clear();
            filter_count = 0;
            stream.clear();
            str.clear();
        } else if (w == "encrypt") {
            int32_t v[6];
            for (int32_t &x : v) ls >> x;
            head = bytes(1, (char)v[0]) + (char)v[1] + (char)v[2] + le32(v[3]) + le32(v[4]) + (char)v[5];
        } else if (w == "o" || w == "u" || w == "oe" || w == "ue" || w == "perms" || w == "id") {
            ls >> a;
            f[w] = hex_bytes(a);
        } else if (w == "cf") {
            int32_t len;
            ls >> a >> b >> len;
            filters += lp(a) + lp(b) + le32(len);
            filter_count++;
        } else if (w == "stmf") {
            ls >> a >> b >> c;
            f["stmf"] = a == "-" ? "" : a;
            f["strf"] = c == "-" ? "" : c;
        } else if (w == "stream" && stream.empty()) {
            stream = line;
        } else if (w == "string" && str.empty()) {
            str = line;
        } else if (w == "end" && opens) {
            bytes values = head + lp(f["o"]) + lp(f["u"]) + lp(f["oe"]) + lp(f["ue"]) + lp(f["perms"]) +
                           lp(f["id"]) + (char)filter_count + filters + lp(f["stmf"]) + lp(f["strf"]);
            std::istringstream ss(stream);
            int32_t num, gen, off, len;
            ss >> w >> num >> gen >> off >> len;
            bytes data = source_file("tests/fixtures/security/" + file);
            std::string name = file.substr(0, file.size() - 4);
            bytes object = bytes(1, '\xff') + le32(num) + le32(gen) + bytes(1, '\0');  // no /Crypt name
            put("crypto", name + "-stream", bytes(1, '\3') + values + object + data.substr((size_t)off, (size_t)len));
            if (!str.empty()) {
                std::istringstream st(str);
                st >> w >> num >> gen >> a;
                object = bytes(1, '\xff') + le32(num) + le32(gen) + bytes(1, '\0');
                put("crypto", name + "-string", bytes(1, '\3') + values + object + hex_bytes(a));
            }
        }
    }
}

// Content streams with inline images of each kind: abbreviated and full keys, every filter, colour
// spaces in place and named in fuzz_content's resources, data holding "EI", stencil masks, broken
// ones, and BI inside strings and comments.
static void content_seeds() {
    const std::string T = "content";
    const bytes gray = bytes("\x10\x20\x30\x40", 4), rows = bytes("\x01\x0A\x14\x1E\x01\x01\x01", 7);
    put(T, "abbreviated", "q 8 0 0 8 0 0 cm BI /W 2 /H 2 /BPC 8 /CS /G ID " + gray + " EI Q");
    put(T, "full-keys", "BI /Width 2 /Height 2 /BitsPerComponent 8 /ColorSpace /DeviceGray /Decode [1 0] ID " +
                            gray + " EI");
    put(T, "ahx-rgb", "BI /W 1 /H 1 /CS /RGB /F /AHx ID 0A141E> EI Q");
    put(T, "a85-flate", "BI /W 2 /H 2 /CS /G /F [/A85 /Fl] ID " + a85_encode(zlib(gray)) + " EI");
    put(T, "flate-predictor", "BI /W 2 /H 1 /CS /RGB /F /Fl /DP << /Predictor 15 /Columns 2 /Colors 3 >> ID " +
                                  zlib(rows) + " EI");
    put(T, "lzw-rl", "BI /W 2 /H 2 /CS /G /F /LZW ID " + lzw_literal(gray) + " EI BI /W 2 /H 2 /CS /G /F /RL ID " +
                         rl_encode(gray) + " EI");
    put(T, "indexed", "BI /W 2 /H 1 /BPC 8 /CS [/I /RGB 1 <FF0000 00FF00>] ID \x01\x01 EI BI /W 1 /H 1 /CS /Pal ID "
                      "\x01 EI");
    put(T, "named-spaces", "BI /W 1 /H 1 /CS /Gray ID a EI BI /W 1 /H 1 /CS /Icc ID b EI BI /W 1 /H 1 /CS /No ID c EI");
    put(T, "dct", "BI /W 1 /H 1 /F /DCT ID \xFF\xD8 EI q Q q Q q Q q Q \xFF\xD9 EI");
    put(T, "stencil", "BI /IM true /W 8 /H 2 /D [1 0] ID \xAA\x55 EI");
    put(T, "ei-in-data", "BI /W 4 /H 1 /CS /G ID a EI EI BI /W 2 /H 2 /F /Fl ID " + zlib(gray) +
                             " EI \x01\x02 EI Q");
    put(T, "length-key", "BI /W 2 /H 2 /F /AHx /L 9 ID 10203040> EI");
    put(T, "strings-and-comments", "BT /F1 12 Tf (BI /W 1 ID x EI) Tj ET % BI ID EI\n<</A [1 (x)]>> BDC EMC");
    put(T, "broken", "BI /W 1 /H 1 Q BI /W 99 /H 99 /CS /G ID abc EI BI /F /Fl ID xyz");
    put(T, "do-operators", "q /Im1 Do Q /Im2\nDo/Im3 Do[/Im4 Do] /Do Do /Im5Do 5 Do <2F49> Do");
    put(T, "do-hidden", "(/X Do) Tj % /Y Do\n/A % c\nDo BI /W 1 /H 1 ID /Z Do EI /B Do BI /W 1 ID /C Do");

    // A whole page for fuzz_pdf_load: inline images in its content (ASCII85 + Flate) and in a form,
    // an annotation with appearance states, a tiling pattern, and images with each kind of /Mask.
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.page(3, 2, "/Resources << /XObject << /Im 10 0 R /Key 11 0 R /F 20 0 R >> /Pattern << /P 50 0 R >> "
                 "/ColorSpace << /Pal [/Indexed /DeviceRGB 1 <FF000000FF00>] >> >> /Contents 4 0 R "
                 "/Annots [30 0 R]");
    b.stream(4, "<< /Filter [/A85 /Fl] >>",
             a85_encode(zlib("q BI /W 2 /H 1 /CS /Pal /BPC 8 ID \x01\x01 EI Q BI /IM true /W 1 /H 1 ID \x80 EI")));
    b.stream(10, image_dict(2, 2, "/DeviceGray", 8, "/Mask 12 0 R"), gray);
    b.stream(11, image_dict(2, 2, "/DeviceGray", 8, "/Mask [0 48]"), gray);
    b.stream(12, "<< /Type /XObject /Subtype /Image /ImageMask true /Width 2 /Height 2 >>", "\x80\x40");
    b.stream(20, "<< /Subtype /Form /Resources << >> >>", "BI /W 2 /H 1 /CS /G /F /AHx ID 1020> EI");
    b.obj(30, "<< /Subtype /Widget /AS /On /AP << /N << /On 40 0 R >> >> >>");
    b.stream(40, "<< /Subtype /Form >>", "BI /W 1 /H 1 /CS /RGB ID abc EI");
    b.stream(50, "<< /PatternType 1 /Resources << /XObject << /I 10 0 R >> >> >>", "BI /W 1 /H 1 /CS /G ID a EI");
    b.xref_table(trailer_opts(1));
    put("pdf_load", "inline-forms-annots-patterns-masks.pdf", b.bytes());

    // Three pages sharing one resources object, drawing from it by name (a form whose resources
    // are the same object draws from it too), an image no page draws, a soft-mask group.
    pdf_builder sh;
    sh.catalog(1, 2);
    sh.pages(2, {3, 4, 5}, "/Resources 6 0 R");
    sh.page(3, 2, "/Contents 7 0 R");
    sh.page(4, 2, "/Contents 8 0 R /Resources 6 0 R");
    sh.page(5, 2, "/Contents 9 0 R");
    sh.obj(6, "<< /XObject << /A 10 0 R /U 11 0 R /F 20 0 R /B 12 0 R >> /ExtGState << /S << /SMask << "
              "/S /Luminosity /G 21 0 R >> >> >> >>");
    sh.stream(7, "<< >>", "q /A Do Q (x) Tj");
    sh.stream(8, "<< /Filter /AHx >>", hex_encode("/F Do /A Do"));
    sh.stream(9, "<< >>", "% /U Do\n/B Do BI /W 1 /H 1 /CS /G ID a EI");
    for (int n : {10, 11, 12}) sh.stream(n, image_dict(2, 2, "/DeviceGray", 8, ""), gray);
    sh.stream(20, "<< /Subtype /Form /Resources 6 0 R >>", "/B Do");
    sh.stream(21, "<< /Subtype /Form /Group << /S /Transparency >> /Resources << /XObject << /M 13 0 R >> >> >>",
              "/M Do");
    sh.stream(13, image_dict(2, 2, "/DeviceGray", 8, ""), gray);
    sh.xref_table(trailer_opts(1));
    put("pdf_load", "shared-resources-soft-mask.pdf", sh.bytes());
}

// PDF seeds of the one-bit filters and the spaces that convert through functions.
static void bilevel_colour_seeds() {
    const std::string T = "pdf_load";
    bytes g4;
    FILE *f = fopen((g_dir + "/../../tests/fixtures/ccitt/gs_g4_black0.bin").c_str(), "rb");
    if (f) {
        int ch;
        while ((ch = fgetc(f)) != EOF) g4 += (char)ch;
        fclose(f);
        put(T, "ccitt-g4-after-flate.pdf", one_image_pdf([&](pdf_builder &b) {
                b.stream(10, image_dict(203, 61, "/DeviceGray", 1,
                                        "/Filter [/FlateDecode /CCITTFaxDecode] /DecodeParms [null 11 0 R]"),
                         zlib(g4));
                b.obj(11, "<< /K -1 /Columns 203 /BlackIs1 false >>");
            }));
    }
    jb2w::bytes globals = unhex("0000000000010000000032000003fffdff02fefefe00000001000000012ae225aea9a5a538b4d9"
                                "999c5c8e56ef0f8727f2b53d4e37ef795cc5506dffac");
    jb2w::bytes page = unhex("00000001300001000000130000003400000042000000000000000040000000000002062000010000"
                             "001e000000340000004200000000000000000200100000000231db51ce51ffac");
    put(T, "jbig2-globals.pdf", one_image_pdf([&](pdf_builder &b) {
            b.stream(10, image_dict(52, 66, "/DeviceGray", 1,
                                    "/Filter /JBIG2Decode /DecodeParms << /JBIG2Globals 11 0 R >>"),
                     bytes(page.begin(), page.end()));
            b.stream(11, "<< /Filter /FlateDecode >>", zlib(bytes(globals.begin(), globals.end())));
        }));
    put(T, "separation-stitching.pdf", one_image_pdf([&](pdf_builder &b) {
            b.stream(10, image_dict(8, 2, "[/Separation /Spot /DeviceCMYK 11 0 R]", 8, ""), pattern(16, 1));
            b.obj(11, "<< /FunctionType 3 /Domain [0 1] /Bounds [0.5] /Encode [0 1 1 0] /Functions "
                      "[<< /FunctionType 2 /Domain [0 1] /C0 [0 0 0 0] /C1 [0 1 0 0.2] /N 1 >> 12 0 R] >>");
            b.obj(12, "<< /FunctionType 2 /Domain [0 1] /C0 [1 0 0 0] /C1 [0 0 1 0] /N 2 >>");
        }));
    put(T, "devicen-calculator.pdf", one_image_pdf([&](pdf_builder &b) {
            b.stream(10, image_dict(4, 2, "[/DeviceN [/A /B] /DeviceRGB 11 0 R << /Subtype /NChannel >>]", 4,
                                    "/Decode [1 0 0 1]"),
                     pattern(4, 0));
            b.stream(11, "<< /FunctionType 4 /Domain [0 1 0 1] /Range [0 1 0 1 0 1] >>",
                     "{ 2 copy add 2 div 3 1 roll exch 0.5 gt { 1 } { 0 } ifelse exch 3 -1 roll }");
        }));
    put(T, "indexed-separation-sampled.pdf", one_image_pdf([&](pdf_builder &b) {
            b.stream(10, image_dict(4, 4, "[/Indexed [/Separation /Spot /DeviceRGB 11 0 R] 3 <00 55 AA FF>]", 2, ""),
                     pattern(4, 1));
            b.stream(11, "<< /FunctionType 0 /Domain [0 1] /Range [0 1 0 1 0 1] /Size [3] /BitsPerSample 8 "
                         "/Filter /FlateDecode >>",
                     zlib(bytes("\xFF\xFF\xFF\x80\x20\x40\x00\x00\x10", 9)));
        }));
    // JPEG 2000 data from the jpx corpus beside this one: alpha in the file, and a palette.
    for (const char *name : {"gray-alpha", "palette"}) {
        FILE *j = fopen((g_dir + "/jpx/jp2-" + name + ".jp2").c_str(), "rb");
        if (!j) continue;
        bytes jp2;
        int ch;
        while ((ch = fgetc(j)) != EOF) jp2 += (char)ch;
        fclose(j);
        put(T, std::string("jpx-") + name + ".pdf", one_image_pdf([&](pdf_builder &b) {
                b.stream(10, "<< /Type /XObject /Subtype /Image /Width 1 /Height 1 /SMaskInData 1 "
                             "/Filter /JPXDecode >>",
                         jp2);
            }));
    }
    put(T, "lab-16bit.pdf", one_image_pdf([&](pdf_builder &b) {
            b.stream(10, image_dict(2, 2, "[/Lab << /WhitePoint [0.9642 1 0.8249] /Range [-128 127 -128 127] >>]",
                                    16, ""),
                     pattern(24, 0));
        }));
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_corpus CORPUS_DIR\n");
        return 2;
    }
    g_dir = argv[1];
    pdf_seeds();
    realfile_seeds();
    encrypted_seeds();
    codec_seeds();
    jbig2_seeds();
    bilevel_colour_seeds();
    crypto_seeds();
    content_seeds();
    return 0;
}
