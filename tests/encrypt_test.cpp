// tests/encrypt_test.cpp - reading encrypted documents: files qpdf encrypted give the images, listing
// and count that the same files give after `qpdf --decrypt`; streams and strings as qpdf decrypts
// them (tests/fixtures/security/cases.txt); files the empty password does not open, or whose
// /Encrypt the handler does not support, are refused with the library's text; a trailer /Encrypt
// that names no encryption dictionary is read as unencrypted; /Crypt filters.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "byte_util.h"
#include "codec/flate.h"
#include "crypto/crypto.h"
#include "pdf_builder.h"
#include "pdfcore/pdfcore.h"
#include "pdfextractimg.h"

namespace fs = std::filesystem;

static const std::string fixtures = std::string(TEST_SOURCE_DIR) + "/fixtures/";

static std::string file_text(const std::string &path) {
    bytes b = read_bytes(path);
    return std::string(b.begin(), b.end());
}

// What the entry points give for a file: its image files by name, listing, count and error text.
struct extraction {
    std::map<std::string, std::string> files;
    std::string info, error;
    int count = -1;
};

static extraction extract(const std::string &pdf) {
    extraction r;
    std::string dir = fs::path(pdf_temp_path("encrypt-out")).replace_extension().string();
    if (pdfextractimg_all(pdf.c_str(), dir.c_str()) >= 0)
        for (auto &e : fs::directory_iterator(dir))
            r.files[e.path().filename().string()] = file_text(e.path().string());
    r.error = pdfextractimg_last_error();
    const char *info = pdfextractimg_info(pdf.c_str());
    r.info = info ? info : "";
    r.count = pdfextractimg_count(pdf.c_str());
    fs::remove_all(dir);
    return r;
}

static void expect_same(const extraction &want, const extraction &got) {
    EXPECT_EQ(want.error, got.error);
    EXPECT_EQ(want.info, got.info);
    EXPECT_EQ(want.count, got.count);
    EXPECT_TRUE(want.files == got.files) << want.files.size() << " files wanted, " << got.files.size() << " written";
}

static bool have_qpdf() { return system("qpdf --version >/dev/null 2>&1") == 0; }

// ---- qpdf's files -------------------------------------------------------------------------------

// Every method qpdf writes, over the producer fixtures, against the same file decrypted by qpdf.
TEST(Encrypt, QpdfFilesGiveWhatTheirDecryptedCopiesGive) {
    if (!have_qpdf()) GTEST_SKIP() << "qpdf not installed";
    static const char *sources[] = {"producers/cairo.pdf", "producers/gs.pdf", "producers/gs_lzw.pdf",
                                    "producers/img2pdf.pdf", "producers/reportlab.pdf",
                                    "security/source.pdf", "colour/pk_indexed_lab.pdf", "colour/pk_sep_type4.pdf",
                                    "../../examples/sample.pdf"};
    // The passwords (user, owner) and the method.
    static const char *methods[] = {
        "'' owner 40 --", "'' owner 128 --", "'' owner 128 --force-V4 --", "'' owner 128 --use-aes=y --",
        "'' owner 128 --use-aes=y --cleartext-metadata -- --object-streams=generate", "'' owner 256 --",
        "'' owner 256 --force-R5 --", "'' owner 256 -- --object-streams=generate",
        "'' owner 128 -- --object-streams=generate", "user '' 256 --allow-insecure --",
        "user '' 256 --force-R5 --allow-insecure -- --object-streams=generate"};
    std::string enc = pdf_temp_path("encrypted"), dec = pdf_temp_path("decrypted");
    for (const char *src : sources)
        for (const char *m : methods) {
            SCOPED_TRACE(std::string(src) + ": --encrypt " + m);
            std::string cmd = "qpdf --allow-weak-crypto --encrypt " + std::string(m) + " '" + fixtures + src +
                              "' '" + enc + "' && qpdf --decrypt '" + enc + "' '" + dec + "'";
            ASSERT_EQ(0, system(cmd.c_str()));
            extraction want = extract(dec), got = extract(enc);
            EXPECT_GT(want.count, 0);
            expect_same(want, got);
        }
    remove(enc.c_str());
    remove(dec.c_str());
}

// The committed files (no qpdf needed) give what their source gives.
TEST(Encrypt, CommittedFilesGiveWhatTheirSourceGives) {
    extraction want = extract(fixtures + "security/source.pdf");
    for (const char *name : {"rc4-40", "rc4-128", "rc4-128-objstm", "rc4-128-v4", "aes-128", "aes-128-objstm",
                             "aes-128-clear-meta", "aes-256", "aes-256-objstm", "aes-256-r5", "aes-256-clear-meta",
                             "owner-aes-256", "owner-aes-256-r5"}) {
        SCOPED_TRACE(name);
        expect_same(want, extract(fixtures + "security/" + name + ".pdf"));
    }
}

// Each stream's bytes and each string of the objects outside object streams as qpdf decrypts them;
// strings also read into a buffer shorter than they are.
TEST(Encrypt, StreamsAndStringsAsQpdfDecryptsThem) {
    std::ifstream in(fixtures + "security/cases.txt");
    std::string line, file;
    pdfcore_doc doc;
    memset(&doc, 0, sizeof doc);
    int strings = 0, streams = 0;
    std::map<int, int> string_index;  // object -> its strings read so far
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string w, a, b;
        ls >> w;
        if (w == "file") {
            ls >> file >> a;
            pdfcore_doc_free(&doc);
            string_index.clear();
            if (a == "open") ASSERT_EQ(1, pdfcore_load((fixtures + "security/" + file).c_str(), &doc)) << file;
        }
        if (!doc.loaded) continue;
        SCOPED_TRACE(file + ": " + line.substr(0, 40));
        int num = 0, gen = 0, off = 0, len = 0, meta = 0;
        if (w == "stream") {
            ls >> num >> gen >> off >> len >> meta >> a;
            uint8_t *data = nullptr;
            uint64_t n = 0;
            bytes plain = from_hex(a);
            const pdfcore_obj *o = obj_find(&doc.objs, num);
            if (!o) continue;  // an object stream: its objects are in the index instead
            ASSERT_EQ(plain.empty() ? 0 : 1, pdfcore_stream_read(&doc, o, &data, &n));
            EXPECT_EQ(a, plain.empty() ? "-" : to_hex(data, (size_t)n));
            free(data);
            streams++;
        } else if (w == "string") {
            ls >> num >> gen >> a >> b;
            bytes plain = from_hex(b);
            // The k-th string of the object's text.
            pdfcore_span s;
            ASSERT_TRUE(pdfcore_value_span(&doc, obj_find(&doc.objs, num), &s));
            int k = string_index[num]++;
            int32_t p = s.start;
            for (int seen = 0;;) {
                p = skip_ws(s.text, p, s.end);
                ASSERT_LT(p, s.end);
                uint8_t c = s.text[p];
                bool dict = c == '<' && p + 1 < s.end && s.text[p + 1] == '<';
                if ((c == '(' || (c == '<' && !dict)) && seen++ == k) break;
                if (dict || c == '[' || c == '>' || c == ']') p += dict ? 2 : 1;
                else p = pdfcore_value_end(s.text, p, s.end);
            }
            s.start = p;
            ASSERT_LE(plain.size(), 256u);
            for (uint64_t cap : {(uint64_t)plain.size() + 8, (uint64_t)plain.size(), (uint64_t)0, (uint64_t)1,
                                 (uint64_t)16, (uint64_t)17}) {
                uint8_t out[264];
                int64_t got = pdfcore_read_string(&doc, &s, out, cap);
                size_t want = cap < plain.size() ? (size_t)cap : plain.size();
                ASSERT_EQ((int64_t)want, got) << "cap " << cap;
                EXPECT_EQ(to_hex(plain.data(), want), to_hex(out, want)) << "cap " << cap;
            }
            strings++;
        }
    }
    pdfcore_doc_free(&doc);
    EXPECT_GT(streams, 40);
    EXPECT_GT(strings, 20);
}

// ---- refused files ------------------------------------------------------------------------------

// What the empty password does not open, and /Encrypt values the handler does not take: refused
// with the library's text. Mutations are of the committed files' /Encrypt dictionaries and /ID,
// the same length, so that startxref still finds the trailer.
TEST(Encrypt, RefusedWithTheLibrarysText) {
    struct row { const char *file, *from, *to; } rows[] = {
        {"user-rc4-40", "", ""}, {"user-rc4-128", "", ""}, {"user-aes-128", "", ""},
        {"user-aes-256", "", ""}, {"user-aes-256-r5", "", ""},
        // An empty owner password under /R 2 to 4 stands for the user password (qpdf and
        // pdfimages ask for it too).
        {"owner-rc4-40", "", ""}, {"owner-rc4-128", "", ""}, {"owner-aes-128", "", ""},
        {"owner-aes-256", "/OE <", "/XE <"},
        {"rc4-128", "/Filter /Standard", "/Filter /PubSec  "},
        {"rc4-128", "/V 2", "/V 3"},
        {"rc4-128", "/R 3", "/R 7"},
        {"rc4-128", "/Length 128", "/Length 640"},
        {"rc4-128", "/P -4", "/P -8"},
        {"rc4-128", "/O <", "/X <"},
        {"rc4-128", "/ID [<ab", "/ID [<ac"},
        {"aes-128", "/CFM /AESV2", "/CFM /AESV9"},
        {"aes-128", "/StmF /StdCF", "/StmF /Other"},
        {"aes-256", "/UE <", "/XE <"},
        {"aes-256", "/V 5", "/V 6"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.file) + ": " + r.from + " -> " + r.to);
        std::string text = file_text(fixtures + "security/" + r.file + ".pdf");
        size_t at = text.find(r.from, text.rfind(" obj", text.find("/Filter /Standard")));
        ASSERT_NE(std::string::npos, at);
        text.replace(at, strlen(r.from), r.to);
        std::string path = pdf_temp_path("refused");
        ASSERT_TRUE(write_file(path, text));
        EXPECT_EQ(-1, pdfextractimg_count(path.c_str()));
        EXPECT_EQ("encrypted PDFs are not supported: " + path, std::string(pdfextractimg_last_error()));
        remove(path.c_str());
    }
}

// A startxref that leads nowhere: the last trailer (or cross-reference stream) of the file still
// says that it is encrypted.
TEST(Encrypt, FoundWhenStartxrefLeadsNowhere) {
    struct row { const char *file; int count; } rows[] = {
        {"rc4-128", 3}, {"aes-256-objstm", 3}, {"rc4-128-objstm", 3}, {"user-aes-128", -1}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.file);
        std::string text = file_text(fixtures + "security/" + r.file + ".pdf");
        text = text.substr(0, text.rfind("startxref")) + "startxref\n1\n%%EOF\n";
        std::string path = pdf_temp_path("lost-startxref");
        ASSERT_TRUE(write_file(path, text));
        EXPECT_EQ(r.count, pdfextractimg_count(path.c_str())) << pdfextractimg_last_error();
        remove(path.c_str());
    }
}

// ---- documents built here -----------------------------------------------------------------------

// A one-page document whose image 10 is a 2 x 1 gray image written with image_keys and data, with
// encrypt_obj as object 20 and trailer_extra in the trailer (through a cross-reference stream
// when xref_stream).
static std::string one_image_doc(const std::string &image_keys, const std::string &data,
                                 const std::string &encrypt_obj, const std::string &trailer_extra,
                                 bool xref_stream = false) {
    pdf_builder b;
    b.catalog(1, 2);
    b.pages(2, {3});
    b.page(3, 2, "/Resources << /XObject << /Im0 10 0 R >> >>");
    b.stream(10, "<< /Type /XObject /Subtype /Image /Width 2 /Height 1 /BitsPerComponent 8 " + image_keys + " >>",
             data);
    if (!encrypt_obj.empty()) b.obj(20, encrypt_obj);
    trailer_opts t(1);
    t.extra = trailer_extra;
    if (xref_stream) b.xref_stream(30, t);
    else b.xref_table(t);
    return b.bytes();
}

// The file of the only image of a document, or "" when it did not convert.
static std::string only_image(const std::string &pdf_bytes, std::string *error) {
    std::string path = pdf_temp_path("encrypt-doc");
    write_file(path, pdf_bytes);
    extraction r = extract(path);
    remove(path.c_str());
    *error = r.error;
    return r.files.size() == 1 ? r.files.begin()->second : "";
}

// A trailer /Encrypt that names no encryption dictionary is not encryption: the file is read.
TEST(Encrypt, StrayEncryptIsReadAsUnencrypted) {
    struct row { const char *name, *object, *trailer; bool xref_stream, opens; } rows[] = {
        {"missing object", "", "/Encrypt 9 0 R", false, true},
        {"missing object, cross-reference stream", "", "/Encrypt 9 0 R", true, true},
        {"a number", "42", "/Encrypt 20 0 R", false, true},
        {"dictionary without /Filter", "<< /V 1 /R 2 /O <00> /U <00> >>", "/Encrypt 20 0 R", false, true},
        {"/Filter only in a nested dictionary", "<< /CF << /X << /Filter /Standard >> >> >>", "/Encrypt 20 0 R",
         false, true},
        {"inline dictionary without /Filter", "", "/Encrypt << /V 1 >>", false, true},
        {"null", "", "/Encrypt null", false, true},
        {"a /Filter makes it encryption", "<< /Filter /Standard /V 1 /R 2 >>", "/Encrypt 20 0 R", false, false},
        {"inline, with /Filter", "", "/Encrypt << /Filter /Standard >>", false, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        std::string error;
        std::string png = only_image(one_image_doc("/ColorSpace /DeviceGray", "\x10\xF0", r.object, r.trailer,
                                                   r.xref_stream),
                                     &error);
        EXPECT_EQ(r.opens, !png.empty()) << error;
        if (!r.opens) EXPECT_NE(std::string::npos, error.find("encrypted PDFs are not supported"));
    }
}

// The /Encrypt dictionary of the committed AES-128 file (crypt filter /StdCF, /AESV2) with its
// /ID, with the given replacements: the empty password opens any document that carries them.
static void aes128_encryption(std::string *obj, std::string *id, const char *stmf, const char *strf) {
    std::string text = file_text(fixtures + "security/aes-128.pdf");
    size_t d = text.find("<< /CF"), i = text.find("/ID [");
    *obj = text.substr(d, text.find(" /V 4 >>", d) + 8 - d);
    *id = text.substr(i, text.find(']', i) + 1 - i);
    obj->replace(obj->find("/StmF /StdCF"), 12, std::string("/StmF ") + stmf);
    obj->replace(obj->find("/StrF /StdCF"), 12, std::string("/StrF ") + strf);
}

// Streams that name a /Crypt filter follow its /Name; /StmF and /StrF /Identity leave streams
// and strings as they are. Images here are stored in the clear.
TEST(Encrypt, CryptFiltersAndIdentity) {
    std::string pixels_2x1_gray = "\x10\xF0";
    std::string flate = zlib_of(pixels_2x1_gray);
    ASSERT_FALSE(flate.empty());
    struct row { const char *name, *stmf, *strf; std::string keys, data; bool converts; } rows[] = {
        {"/Crypt /Identity, then Flate", "/StdCF", "/StdCF",
         "/ColorSpace /DeviceGray /Filter [/Crypt /FlateDecode] /DecodeParms [<< /Name /Identity >> null]", flate, true},
        {"/Crypt without parameters", "/StdCF", "/StdCF", "/ColorSpace /DeviceGray /Filter /Crypt", pixels_2x1_gray,
         true},
        {"/Crypt naming no filter", "/StdCF", "/StdCF",
         "/ColorSpace /DeviceGray /Filter [/Crypt /FlateDecode] /DecodeParms [<< /Name /Nope >> null]", flate, false},
        {"/StdCF is AES: clear bytes do not decrypt", "/StdCF", "/StdCF", "/ColorSpace /DeviceGray /Filter /FlateDecode",
         flate, false},
        {"/StmF /Identity", "/Identity", "/StdCF", "/ColorSpace /DeviceGray /Filter /FlateDecode", flate, true},
        {"/StrF /Identity: a palette string read as written", "/Identity", "/Identity",
         "/ColorSpace [/Indexed /DeviceGray 1 <10F0>]", std::string("\x00\x01", 2), true},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        std::string obj, id, error;
        aes128_encryption(&obj, &id, r.stmf, r.strf);
        std::string png = only_image(one_image_doc(r.keys, r.data, obj, "/Encrypt 20 0 R " + id), &error);
        EXPECT_EQ(r.converts, !png.empty()) << error;
        // Same pixels as the document without encryption.
        if (r.converts) EXPECT_EQ(only_image(one_image_doc("/ColorSpace /DeviceGray", pixels_2x1_gray, "", ""), &error), png);
    }
}

// ---- palettes under every method ----------------------------------------------------------------

// A method of a committed file: its /Encrypt dictionary and /ID, and the state the empty password
// gives, whose object keys encrypt the documents built below (the keys are checked against qpdf's
// in security_test.cpp).
struct method_info {
    std::string encrypt_obj, id;
    pdfcore_security sec;
};

static method_info load_method(const std::string &file) {
    method_info m;
    std::string path = fixtures + "security/" + file + ".pdf", text = file_text(path);
    size_t f = text.find("/Filter /Standard"), d = text.find("<<", text.rfind(" obj", f));
    m.encrypt_obj = text.substr(d, text.find("endobj", f) - d);
    size_t i = text.find("/ID [");
    m.id = text.substr(i, text.find(']', i) + 1 - i);
    pdfcore_doc doc;
    memset(&doc, 0, sizeof doc);
    memset(&m.sec, 0, sizeof m.sec);
    if (pdfcore_load(path.c_str(), &doc) == 1) m.sec = doc.security;
    pdfcore_doc_free(&doc);
    return m;
}

// Writes a document's streams and strings as stored: encrypted for object num under m, or as they
// are when m is null. AES takes a fixed IV and the standard padding.
struct enc_writer {
    const method_info *m;
    pdf_builder b;

    std::string crypt(int num, int32_t method, const std::string &plain) const {
        if (!m) return plain;
        uint8_t key[32];
        int32_t n = security_object_key(&m->sec, method, num, 0, key);
        std::string out = plain;
        if (method == security_rc4) {
            rc4_state st;
            rc4_init(&st, key, n);
            rc4_crypt(&st, (const uint8_t *)out.data(), out.size(), (uint8_t *)&out[0]);
            return out;
        }
        out.append(16 - out.size() % 16, (char)(16 - out.size() % 16));
        std::string iv(16, '\0');
        for (int i = 0; i < 16; i++) iv[(size_t)i] = (char)(i * 37 + num);
        aes_key k;
        uint8_t chain[16];
        memcpy(chain, iv.data(), 16);
        aes_set_key(&k, key, n);
        aes_cbc_encrypt(&k, chain, (const uint8_t *)out.data(), out.size(), (uint8_t *)&out[0]);
        return iv + out;
    }
    std::string hex(int num, const std::string &plain) const {
        std::string c = crypt(num, m ? m->sec.str_method : 0, plain);
        return "<" + to_hex((const uint8_t *)c.data(), c.size()) + ">";
    }
    std::string literal(int num, const std::string &plain) const {
        std::string c = crypt(num, m ? m->sec.str_method : 0, plain), out = "(";
        char esc[8];
        for (unsigned char ch : c) {
            snprintf(esc, sizeof esc, "\\%03o", ch);
            out += esc;
        }
        return out + ")";
    }
    void stream(int num, const std::string &dict, const std::string &data, slen length = slen::right()) {
        b.stream(num, dict, crypt(num, m ? m->sec.stm_method : 0, data), length);
    }
    // Object stream num holding one object; its objects are not encrypted again.
    void objstm(int num, int inner, const std::string &text) {
        std::string head = std::to_string(inner) + " 0 ";
        stream(num, "<< /Type /ObjStm /N 1 /First " + std::to_string(head.size()) + " >>", head + text);
    }
};

static const std::string palette5("\xFF\x00\x00\x00\xFF\x00\x00\x00\xFF\xFF\xFF\x00\x28\x29\x5C", 15);
static const std::string indexes_4x2("\x00\x01\x02\x03\x04\x03\x02\x01", 8);

// Object 10: a 4 x 2 image of palette indexes under colour space cs.
static void indexed_image(enc_writer &w, const std::string &cs) {
    w.stream(10, "<< /Type /XObject /Subtype /Image /Width 4 /Height 2 /BitsPerComponent 8 /ColorSpace " + cs +
                     " /Filter /FlateDecode >>",
             zlib_of(indexes_4x2));
}

// Object 3: the page, with resources res and content stream 4.
static void page_with(enc_writer &w, const std::string &res, const std::string &content) {
    w.b.catalog(1, 2);
    w.b.pages(2, {3});
    w.b.page(3, 2, "/Resources " + res + " /Contents 4 0 R");
    w.stream(4, "<< >>", content);
}

static const std::string draw_image = "q 4 0 0 2 0 0 cm /Im0 Do Q";
static const std::string draw_inline = "q 4 0 0 2 0 0 cm BI /W 4 /H 2 /BPC 8 /CS /CS0 ID " + indexes_4x2 + "\nEI Q";

// Where an Indexed colour space and its palette stand. A string object (<hex>) written right
// before a stream is where the index once took the string for that stream's dictionary, so the
// stream was decrypted twice (with the string object's key too).
struct palette_place {
    const char *name;
    void (*write)(enc_writer &);
};

static const palette_place palette_places[] = {
    {"hex string in the image dictionary", [](enc_writer &w) {
         page_with(w, "<< /XObject << /Im0 10 0 R >> >>", draw_image);
         indexed_image(w, "[/Indexed /DeviceRGB 4 " + w.hex(10, palette5) + "]");
     }},
    {"literal string in the image dictionary", [](enc_writer &w) {
         page_with(w, "<< /XObject << /Im0 10 0 R >> >>", draw_image);
         indexed_image(w, "[/Indexed /DeviceRGB 4 " + w.literal(10, palette5) + "]");
     }},
    {"string in a colour space object", [](enc_writer &w) {
         page_with(w, "<< /XObject << /Im0 10 0 R >> >>", draw_image);
         w.b.obj(11, "[/Indexed /DeviceRGB 4 " + w.hex(11, palette5) + "]");
         indexed_image(w, "11 0 R");
     }},
    {"string object, the image stream right after it", [](enc_writer &w) {
         page_with(w, "<< /XObject << /Im0 10 0 R >> >>", draw_image);
         w.b.obj(12, w.hex(12, palette5));
         indexed_image(w, "[/Indexed /DeviceRGB 4 12 0 R]");
     }},
    {"stream", [](enc_writer &w) {
         page_with(w, "<< /XObject << /Im0 10 0 R >> >>", draw_image);
         indexed_image(w, "[/Indexed /DeviceRGB 4 13 0 R]");
         w.stream(13, "<< /Filter /FlateDecode >>", zlib_of(palette5));
     }},
    {"stream right after a string object", [](enc_writer &w) {
         page_with(w, "<< /XObject << /Im0 10 0 R >> >>", draw_image);
         indexed_image(w, "[/Indexed /DeviceRGB 4 13 0 R]");
         w.b.obj(14, w.hex(14, "a title"));
         w.stream(13, "<< /Filter /FlateDecode >>", zlib_of(palette5));
     }},
    {"stream with /Length by reference, after a string object", [](enc_writer &w) {
         page_with(w, "<< /XObject << /Im0 10 0 R >> >>", draw_image);
         w.b.obj(11, "[/Indexed 15 0 R 4 13 0 R]");
         w.b.obj(15, "/DeviceRGB");
         w.b.obj(14, w.hex(14, "a title"));
         w.stream(13, "<< /Filter /FlateDecode >>", zlib_of(palette5), slen::ref(16));
         indexed_image(w, "11 0 R");
     }},
    {"colour space in an object stream, string", [](enc_writer &w) {
         page_with(w, "<< /XObject << /Im0 10 0 R >> >>", draw_image);
         w.objstm(20, 21, "[/Indexed /DeviceRGB 4 <" + to_hex((const uint8_t *)palette5.data(), 15) + ">]");
         indexed_image(w, "21 0 R");
     }},
    {"colour space in an object stream, stream after a string object", [](enc_writer &w) {
         page_with(w, "<< /XObject << /Im0 10 0 R >> >>", draw_image);
         w.objstm(20, 21, "[/Indexed /DeviceRGB 4 13 0 R]");
         indexed_image(w, "21 0 R");
         w.b.obj(14, w.hex(14, "a title"));
         w.stream(13, "<< /Filter /FlateDecode >>", zlib_of(palette5));
     }},
    {"inline image, string in the page's resources", [](enc_writer &w) {
         page_with(w, "<< /ColorSpace << /CS0 [/Indexed /DeviceRGB 4 " + w.hex(3, palette5) + "] >> >>", draw_inline);
     }},
    {"inline image, string object in a resources object", [](enc_writer &w) {
         page_with(w, "17 0 R", draw_inline);
         w.b.obj(17, "<< /ColorSpace << /CS0 [/Indexed /DeviceRGB 4 12 0 R] >> >>");
         w.b.obj(12, w.hex(12, palette5));
     }},
    {"inline image, stream after a string object", [](enc_writer &w) {
         page_with(w, "<< /ColorSpace << /CS0 11 0 R >> >>", draw_inline);
         w.b.obj(11, "[/Indexed /DeviceRGB 4 13 0 R]");
         w.b.obj(14, w.hex(14, "a title"));
         w.stream(13, "<< /Filter /FlateDecode >>", zlib_of(palette5));
     }},
    {"inline image in a form right after a string object, string in its resources", [](enc_writer &w) {
         page_with(w, "<< /XObject << /Fm0 18 0 R >> >>", "/Fm0 Do");
         w.b.obj(14, w.hex(14, "a title"));
         w.stream(18, "<< /Type /XObject /Subtype /Form /BBox [0 0 4 2] /Resources << /ColorSpace << /CS0 "
                      "[/Indexed /DeviceRGB 4 " + w.hex(18, palette5) + "] >> >> >>",
                  draw_inline);
     }},
};

// A palette under every method gives the image of the same document unencrypted, wherever its
// colour space stands: the palette's colours, not the indexes as gray.
TEST(Encrypt, PalettesUnderEveryMethod) {
    static const char *methods[] = {"rc4-40", "rc4-128", "aes-128", "aes-256", "aes-256-r5"};
    std::string error, colours;
    enc_writer gray{nullptr, pdf_builder()};
    page_with(gray, "<< /XObject << /Im0 10 0 R >> >>", draw_image);
    indexed_image(gray, "/DeviceGray");
    gray.b.xref_table(trailer_opts(1));
    std::string indexes_as_gray = only_image(gray.b.bytes(), &error);
    for (const char *file : methods) {
        method_info m = load_method(file);
        ASSERT_GT(m.sec.key_len, 0) << file;
        for (const palette_place &p : palette_places) {
            SCOPED_TRACE(std::string(file) + ": " + p.name);
            enc_writer clear{nullptr, pdf_builder()}, enc{&m, pdf_builder()};
            p.write(clear);
            p.write(enc);
            clear.b.xref_table(trailer_opts(1));
            enc.b.obj(30, m.encrypt_obj);
            trailer_opts t(1);
            t.extra = "/Encrypt 30 0 R " + m.id;
            enc.b.xref_table(t);
            std::string want = only_image(clear.b.bytes(), &error);
            ASSERT_FALSE(want.empty()) << error;
            if (colours.empty()) colours = want;
            EXPECT_EQ(colours, want) << "the clear document";
            EXPECT_NE(indexes_as_gray, want);
            EXPECT_EQ(want, only_image(enc.b.bytes(), &error)) << error;
        }
    }
}
