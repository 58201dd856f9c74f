// tests/pdf_builder.h - test-side PDF writer: builds PDF files in memory, byte by byte, and knows
// the offset of everything it wrote, so a test can say "xref offset off by 3" or "/Length 10 over
// 12 bytes". Tests only (std::string based, header-only).
//
// Usage:
//   pdf_builder b;                                   // writes "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n"
//   b.catalog(1, 2);                                 // 1 0 obj << /Type /Catalog /Pages 2 0 R >>
//   b.pages(2, {3});                                 // 2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >>
//   b.page(3, 2, "/Contents 4 0 R");                 // 3 0 obj << /Type /Page /Parent 2 0 R /Contents 4 0 R >>
//   b.stream(4, "<< >>", "q Q");                     // /Length 3 inserted after the "<<"
//   b.xref_table(trailer_opts{1});                   // classic table of every object, trailer /Root 1 0 R
//   std::string path = b.save_temp("name");          // unique file under the test binary dir or /tmp
//
// Objects:
//   obj(num, text)            "num 0 obj\n" text "\nendobj\n"; any text (dictionary, array, number).
//   obj(num, text, gen)       the same with generation gen.
//   stream(num, dict, data, opts)
//       dict is written with "/Length ..." inserted right after its leading "<<" as opts.length says:
//         slen::right()        the exact byte count of data (default)
//         slen::value_of(v)    /Length v (a wrong value)
//         slen::missing()      nothing inserted (dict as given, possibly with its own /Length)
//         slen::ref(n)         /Length n 0 R, and object n with the exact count written right after
//         slen::ref(n, false)  /Length n 0 R, object n not written
//       opts.eol_after_kw ("\n") follows "stream"; opts.eol_before_end ("\n") precedes "endstream";
//       opts.endstream / opts.endobj false leave those keywords out.
//   objstm(num, {{11, "<< /A 1 >>"}, {12, "[1 2]"}}, compress)
//       object stream /Type /ObjStm /N /First, objects separated by one space; with compress and
//       HAVE_ZLIB the data is zlib-compressed (/Filter /FlateDecode), else stored raw.
//       Contained objects are remembered for xref_stream (type 2 entries).
//   raw(bytes)                append bytes as they are (broken syntax, garbage, comments).
// Cross-reference data:
//   xref_table(t)             "xref\n0 N\n" + 20-byte entries for 0..max number written (the last
//                             definition of each; numbers not written are free), "trailer\n<< /Size N
//                             /Root r 0 R [/Info i 0 R] [/Encrypt e 0 R] [/Prev p] extra >>\n
//                             startxref\n<offset of xref + t.startxref_delta>\n%%EOF\n".
//                             Returns the offset of the "xref" keyword.
//   xref_stream(num, t)       a cross-reference stream object num (/Type /XRef, /W [1 4 2], stored
//                             data, /Root, /Info, /Encrypt, /Prev from t), then startxref and %%EOF.
//                             Returns its offset.
//   trailer_only(t)           "trailer\n<< ... >>\n" without table or startxref.
//   startxref(off)            "startxref\n<off>\n%%EOF\n".
// Queries:
//   offset(num)               byte offset of the last "num G obj" header written (of the digits), or -1.
//   bytes(), size(), tell()   everything written so far / its length.
//   save(path), save_temp(tag)  write the file; save_temp returns the unique path it used.
// Helpers: zlib_compress(s) (HAVE_ZLIB only), zlib_of(s) (the library's own encoder), pdf_temp_path(tag), read_file(path),
// write_file(path, bytes), read_dir(dir) (name -> bytes of each entry), clear_dir(dir) (its files,
// then itself).
#ifndef QV_TESTS_PDF_BUILDER_H
#define QV_TESTS_PDF_BUILDER_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>
#include <dirent.h>
#include <unistd.h>
#include "pdfcore/pdfcore.h"
#ifdef HAVE_ZLIB
#include <zlib.h>
#endif

#include "codec/flate.h"

#ifdef HAVE_ZLIB
// zlib stream of s at the default level.
inline std::string zlib_compress(const std::string &s) {
    uLongf cap = compressBound((uLong)s.size());
    std::string out(cap, '\0');
    if (compress2((Bytef *)&out[0], &cap, (const Bytef *)s.data(), (uLong)s.size(),
                  Z_DEFAULT_COMPRESSION) != Z_OK)
        return std::string();
    out.resize(cap);
    return out;
}
#endif

// zlib stream of s by the library's DEFLATE encoder, which every test links; "" when it fails.
inline std::string zlib_of(const std::string &s) {
    uint8_t *z = nullptr;
    uint64_t n = 0;
    if (qv_deflate((const uint8_t *)s.data(), s.size(), &z, &n) != 0) return std::string();
    std::string out((const char *)z, (size_t)n);
    free(z);
    return out;
}

// Unique temporary file name: <dir>/<tag>_<pid>_<counter>.pdf
inline std::string pdf_temp_path(const std::string &tag) {
    static int counter = 0;
#ifdef TEST_BINARY_DIR
    std::string dir = TEST_BINARY_DIR;
#else
    std::string dir = "/tmp";
#endif
    return dir + "/" + tag + "_" + std::to_string((long)getpid()) + "_" +
           std::to_string(++counter) + ".pdf";
}

// The whole file, empty when it cannot be read.
inline std::string read_file(const std::string &path) {
    std::string b;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return b;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) b.append(buf, n);
    fclose(f);
    return b;
}

inline bool write_file(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    size_t n = bytes.empty() ? 0 : fwrite(bytes.data(), 1, bytes.size(), f);
    return fclose(f) == 0 && n == bytes.size();
}

// Every entry of dir but "." and "..": name -> bytes ("" for what cannot be read).
inline std::map<std::string, std::string> read_dir(const std::string &dir) {
    std::map<std::string, std::string> files;
    DIR *d = opendir(dir.c_str());
    if (!d) return files;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        FILE *f = fopen((dir + "/" + name).c_str(), "rb");
        std::string bytes;
        char buf[65536];
        size_t n;
        while (f && (n = fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
        if (f) fclose(f);
        files[name] = bytes;
    }
    closedir(d);
    return files;
}

// Removes the files in dir, then dir.
inline void clear_dir(const std::string &dir) {
    for (const auto &f : read_dir(dir)) remove((dir + "/" + f.first).c_str());
    rmdir(dir.c_str());
}

// How stream() writes /Length.
struct slen {
    enum kind_t { right_k, value_k, missing_k, ref_k } kind = right_k;
    long value = 0;
    int ref_num = 0;
    bool define = true;
    static slen right() { return slen(); }
    static slen missing() { slen s; s.kind = missing_k; return s; }
    static slen value_of(long v) { slen s; s.kind = value_k; s.value = v; return s; }
    static slen ref(int num, bool define_it = true) {
        slen s; s.kind = ref_k; s.ref_num = num; s.define = define_it; return s;
    }
};

struct stream_layout {
    slen length = slen::right();
    std::string eol_after_kw = "\n";
    std::string eol_before_end = "\n";
    bool endstream = true;
    bool endobj = true;
};

// Trailer facts for xref_table / xref_stream / trailer_only. 0 means "leave out".
struct trailer_opts {
    int root = 0;
    int info = 0;
    int encrypt = 0;
    long prev = -1;             // /Prev offset, -1: none
    std::string extra;          // more keys, written verbatim before ">>"
    long startxref_delta = 0;   // added to the real offset after "startxref"
    trailer_opts() {}
    explicit trailer_opts(int root_num) : root(root_num) {}
};

struct pdf_builder {
    std::string out;
    std::map<int, long> offsets;                   // num -> offset of the last header written
    std::map<int, std::pair<int, int>> packed;     // num -> (object stream, index in it)

    explicit pdf_builder(const char *version = "1.4") {
        if (version) out = std::string("%PDF-") + version + "\n%\xE2\xE3\xCF\xD3\n";
    }

    long tell() const { return (long)out.size(); }
    size_t size() const { return out.size(); }
    const std::string &bytes() const { return out; }
    long offset(int num) const {
        auto it = offsets.find(num);
        return it == offsets.end() ? -1 : it->second;
    }

    pdf_builder &raw(const std::string &s) { out += s; return *this; }

    long obj(int num, const std::string &text, int gen = 0) {
        long at = tell();
        offsets[num] = at;
        out += std::to_string(num) + " " + std::to_string(gen) + " obj\n" + text + "\nendobj\n";
        return at;
    }

    long stream(int num, const std::string &dict, const std::string &data,
                const stream_layout &o = stream_layout()) {
        std::string d = dict;
        std::string len_text;
        switch (o.length.kind) {
        case slen::right_k: len_text = "/Length " + std::to_string(data.size()); break;
        case slen::value_k: len_text = "/Length " + std::to_string(o.length.value); break;
        case slen::ref_k: len_text = "/Length " + std::to_string(o.length.ref_num) + " 0 R"; break;
        case slen::missing_k: break;
        }
        if (!len_text.empty()) {
            size_t p = d.find("<<");
            if (p == std::string::npos) d = "<< " + len_text + " >>";
            else d.insert(p + 2, " " + len_text);
        }
        long at = tell();
        offsets[num] = at;
        out += std::to_string(num) + " 0 obj\n" + d + "\nstream" + o.eol_after_kw + data +
               o.eol_before_end;
        if (o.endstream) out += "endstream\n";
        if (o.endobj) out += "endobj\n";
        if (o.length.kind == slen::ref_k && o.length.define)
            obj(o.length.ref_num, std::to_string(data.size()));
        return at;
    }
    long stream(int num, const std::string &dict, const std::string &data, slen length) {
        stream_layout o;
        o.length = length;
        return stream(num, dict, data, o);
    }

    // Object stream num holding the given objects.
    long objstm(int num, const std::vector<std::pair<int, std::string>> &objects,
                bool compress = true, const std::string &extra_dict = "") {
        std::string head, body;
        for (size_t i = 0; i < objects.size(); i++) {
            head += std::to_string(objects[i].first) + " " + std::to_string(body.size()) + " ";
            body += objects[i].second + " ";
            packed[objects[i].first] = std::make_pair(num, (int)i);
        }
        std::string data = head + body;
        std::string dict = "<< /Type /ObjStm /N " + std::to_string(objects.size()) + " /First " +
                           std::to_string(head.size()) + " " + extra_dict;
#ifdef HAVE_ZLIB
        if (compress) {
            data = zlib_compress(data);
            dict += " /Filter /FlateDecode";
        }
#else
        (void)compress;
#endif
        dict += " >>";
        return stream(num, dict, data);
    }

    int max_num() const {
        int m = 0;
        for (auto &kv : offsets) m = kv.first > m ? kv.first : m;
        for (auto &kv : packed) m = kv.first > m ? kv.first : m;
        return m;
    }

    std::string trailer_keys(const trailer_opts &t, int size_n) const {
        std::string s = "<< /Size " + std::to_string(size_n);
        if (t.root) s += " /Root " + std::to_string(t.root) + " 0 R";
        if (t.info) s += " /Info " + std::to_string(t.info) + " 0 R";
        if (t.encrypt) s += " /Encrypt " + std::to_string(t.encrypt) + " 0 R";
        if (t.prev >= 0) s += " /Prev " + std::to_string(t.prev);
        if (!t.extra.empty()) s += " " + t.extra;
        return s + " >>";
    }

    long startxref(long off) {
        out += "startxref\n" + std::to_string(off) + "\n%%EOF\n";
        return off;
    }

    long trailer_only(const trailer_opts &t) {
        long at = tell();
        out += "trailer\n" + trailer_keys(t, max_num() + 1) + "\n";
        return at;
    }

    long xref_table(const trailer_opts &t = trailer_opts()) {
        int n = max_num() + 1;
        long at = tell();
        out += "xref\n0 " + std::to_string(n) + "\n";
        char entry[32];
        for (int i = 0; i < n; i++) {
            auto it = offsets.find(i);
            if (i == 0) snprintf(entry, sizeof entry, "%010d %05d f\r\n", 0, 65535);
            else if (it == offsets.end()) snprintf(entry, sizeof entry, "%010d %05d f\r\n", 0, 0);
            else snprintf(entry, sizeof entry, "%010ld %05d n\r\n", it->second, 0);
            out += entry;
        }
        out += "trailer\n" + trailer_keys(t, n) + "\n";
        startxref(at + t.startxref_delta);
        return at;
    }

    long xref_stream(int num, const trailer_opts &t = trailer_opts()) {
        long at = tell();
        offsets[num] = at;
        int n = max_num() + 1;
        std::string data;
        for (int i = 0; i < n; i++) {
            int type = 0;
            long f2 = 0;
            int f3 = i == 0 ? 65535 : 0;
            auto it = offsets.find(i);
            auto pk = packed.find(i);
            if (it != offsets.end()) { type = 1; f2 = it->second; f3 = 0; }
            else if (pk != packed.end()) { type = 2; f2 = pk->second.first; f3 = pk->second.second; }
            data += (char)type;
            for (int s = 24; s >= 0; s -= 8) data += (char)((f2 >> s) & 0xFF);
            data += (char)((f3 >> 8) & 0xFF);
            data += (char)(f3 & 0xFF);
        }
        std::string keys = trailer_keys(t, n);  // "<< /Size ... >>"
        std::string dict = "<< /Type /XRef /W [1 4 2] " + keys.substr(3);
        stream(num, dict, data);
        startxref(at + t.startxref_delta);
        return at;
    }

    bool save(const std::string &path) const { return write_file(path, out); }
    std::string save_temp(const std::string &tag) const {
        std::string p = pdf_temp_path(tag);
        return save(p) ? p : std::string();
    }

    // Convenience objects of a page tree.
    long catalog(int num, int pages_num, const std::string &extra = "") {
        return obj(num, "<< /Type /Catalog /Pages " + std::to_string(pages_num) + " 0 R " + extra +
                            ">>");
    }
    long pages(int num, const std::vector<int> &kids, const std::string &extra = "") {
        std::string k;
        for (int kid : kids) k += std::to_string(kid) + " 0 R ";
        return obj(num, "<< /Type /Pages /Kids [" + k + "] /Count " + std::to_string(kids.size()) +
                            " " + extra + ">>");
    }
    long page(int num, int parent, const std::string &extra = "") {
        return obj(num, "<< /Type /Page /Parent " + std::to_string(parent) + " 0 R " + extra + ">>");
    }
};

#endif
