// make_bench_pdfs - writes the benchmark PDFs, byte for byte the same on every run (fixed seeds,
// own noise function, zlib level 6 for the Flate streams).
//
//   make_bench_pdfs ppm OUT.ppm W H              a photo-like image as binary PPM (to make a JPEG)
//   make_bench_pdfs pdfs DIR BIG.jpg SMALL.jpg FINE.jpg [--quick]
//
// "pdfs" writes into DIR:
//   photo.pdf  100 pages, each one 2000x1500 DeviceRGB FlateDecode photo-like image (10 distinct
//              images, every page its own image object)
//   small.pdf  100 pages of 20 small images each, 2000 in all, ten kinds in turn: RGB, gray, RGB
//              with the PNG Up predictor, Indexed, 1-bit gray, image mask, CMYK, RGB with a soft
//              mask, JPEG, LZW gray
//   jpeg.pdf   100 pages, each one JPEG image object (the bytes of BIG.jpg)
//   big.pdf    about 300 MB: 1500 pages with 100 KB uncompressed content streams, 150 unreferenced
//              1 MiB binary streams, 3 small Flate images
//   jpeghq.pdf 100 pages, each one JPEG image object (the bytes of FINE.jpg: BIG.jpg's picture at
//              quality 95, about 31 MB in all)
//   grainy.pdf as photo.pdf with grainier photos (noise -7..8), which zlib keeps at nine tenths of
//              their size: about 810 MB
//   many.pdf   200 pages of 20 images of at most 64 x 48 pixels, 4,000 in all, of the kinds of
//              small.pdf, 1,000 of them with a soft mask (about 10 MB)
// --quick: 10 photo and grainy pages, 20 JPEG and jpeghq pages, a 30 MB big.pdf (small.pdf and
// many.pdf unchanged).
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

typedef std::vector<uint8_t> bytes;

// Deterministic noise: a 64-bit mix of the coordinates and a seed.
static uint64_t mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

struct rng {
    uint64_t state;
    uint32_t next() { return (uint32_t)(mix(state++) >> 16); }
    int range(int lo, int hi) { return lo + (int)(next() % (uint32_t)(hi - lo + 1)); }
};

static uint8_t clamp8(int v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v); }

// Smooth gradients, a few soft blobs and noise of noise_bits bits (2: -1..2, as a clean photograph;
// 4: -7..8, as a grainy one, which zlib compresses to about nine tenths).
static bytes photo_rgb(int w, int h, uint64_t seed, int noise_bits = 2) {
    bytes px((size_t)w * h * 3);
    std::vector<int> colx((size_t)w * 3), rowy((size_t)h * 3);
    double phase = (double)(seed % 97) / 17.0;
    for (int x = 0; x < w; x++) {
        double fx = x / (double)w;
        colx[x * 3 + 0] = (int)(150 * fx + 30 * std::sin(fx * 9 + phase));
        colx[x * 3 + 1] = (int)(40 * std::cos(fx * 5 + phase));
        colx[x * 3 + 2] = (int)(60 * std::sin(fx * 3 + 2 * phase));
    }
    for (int y = 0; y < h; y++) {
        double fy = y / (double)h;
        rowy[y * 3 + 0] = (int)(40 * std::sin(fy * 7 + phase));
        rowy[y * 3 + 1] = (int)(140 * fy + 20 * std::sin(fy * 13));
        rowy[y * 3 + 2] = (int)(90 + 50 * std::cos(fy * 4 + phase));
    }
    for (int y = 0; y < h; y++) {
        uint8_t *row = &px[(size_t)y * w * 3];
        for (int x = 0; x < w; x++) {
            uint64_t n = mix(seed * 0x9E3779B97F4A7C15ULL + (uint64_t)y * 65536 + (uint64_t)x);
            for (int c = 0; c < 3; c++) {
                int mask = (1 << noise_bits) - 1;
                int noise = (int)((n >> (c * 8)) & (uint64_t)mask) - (mask - 1) / 2;
                row[x * 3 + c] = clamp8(40 + colx[x * 3 + c] + rowy[y * 3 + c] + noise);
            }
        }
    }
    return px;
}

static bytes zlib6(const bytes &in) {
    uLongf n = compressBound((uLong)in.size());
    bytes out(n);
    if (compress2(out.data(), &n, in.data(), (uLong)in.size(), 6) != Z_OK) {
        fprintf(stderr, "compress2 failed\n");
        exit(1);
    }
    out.resize(n);
    return out;
}

// LZW (PDF standard, EarlyChange 1) using literal codes only, with a clear code often enough that
// the code width stays at 9 bits: every reader decodes it, and the bytes are easy to predict.
static bytes lzw_literal(const bytes &in) {
    bytes out;
    uint32_t acc = 0;
    int nbits = 0;
    auto put = [&](uint32_t code) {
        acc = (acc << 9) | code;
        nbits += 9;
        while (nbits >= 8) {
            out.push_back((uint8_t)(acc >> (nbits - 8)));
            nbits -= 8;
        }
        acc &= (1u << nbits) - 1u;
    };
    size_t run = 0;
    put(256);
    for (uint8_t b : in) {
        if (run == 200) {
            put(256);
            run = 0;
        }
        put(b);
        run++;
    }
    put(257);
    if (nbits > 0) out.push_back((uint8_t)(acc << (8 - nbits)));
    return out;
}

static bytes read_file(const char *path) {
    FILE *f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "cannot open %s\n", path);
        exit(1);
    }
    bytes b;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) b.insert(b.end(), chunk, chunk + n);
    fclose(f);
    return b;
}

// A PDF written front to back with a correct cross-reference table. Object numbers are handed out
// by alloc() so that pages can name their images before the images are written.
struct pdf_writer {
    FILE *f = nullptr;
    uint64_t pos = 0;
    std::vector<uint64_t> offsets;  // by object number; 0 = not written

    explicit pdf_writer(const std::string &path) {
        f = fopen(path.c_str(), "wb");
        if (!f) {
            fprintf(stderr, "cannot write %s\n", path.c_str());
            exit(1);
        }
        offsets.push_back(0);
        raw("%PDF-1.7\n%\xE2\xE3\xCF\xD3\n");
    }
    void raw(const void *p, size_t n) {
        if (n && fwrite(p, 1, n, f) != n) {
            fprintf(stderr, "write failed\n");
            exit(1);
        }
        pos += n;
    }
    void raw(const std::string &s) { raw(s.data(), s.size()); }
    int alloc() {
        offsets.push_back(0);
        return (int)offsets.size() - 1;
    }
    void object(int num, const std::string &body) {
        offsets[num] = pos;
        raw(std::to_string(num) + " 0 obj\n" + body + "\nendobj\n");
    }
    void stream(int num, const std::string &dict, const uint8_t *data, size_t len) {
        offsets[num] = pos;
        raw(std::to_string(num) + " 0 obj\n<< " + dict + " /Length " + std::to_string(len) + " >>\nstream\n");
        raw(data, len);
        raw("\nendstream\nendobj\n");
    }
    void stream(int num, const std::string &dict, const bytes &data) { stream(num, dict, data.data(), data.size()); }
    // Pages tree (one flat node) and catalog; then the xref table and trailer.
    void finish(int pages_num, const std::vector<int> &page_nums) {
        std::string kids;
        for (int p : page_nums) kids += std::to_string(p) + " 0 R ";
        object(pages_num, "<< /Type /Pages /Count " + std::to_string(page_nums.size()) + " /Kids [" + kids + "] >>");
        int catalog = alloc();
        object(catalog, "<< /Type /Catalog /Pages " + std::to_string(pages_num) + " 0 R >>");
        uint64_t xref = pos;
        raw("xref\n0 " + std::to_string(offsets.size()) + "\n0000000000 65535 f \n");
        for (size_t i = 1; i < offsets.size(); i++) {
            char line[32];
            snprintf(line, sizeof line, "%010llu 00000 n \n", (unsigned long long)offsets[i]);
            raw(line);
        }
        raw("trailer\n<< /Size " + std::to_string(offsets.size()) + " /Root " + std::to_string(catalog) +
            " 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n");
        fclose(f);
    }
};

// A page showing the named images side by side; resources name them /Im0, /Im1, ...
static int write_page(pdf_writer &w, int pages_num, const std::vector<int> &images, const std::string &extra_content) {
    int page = w.alloc(), content = w.alloc();
    std::string xobj, ops;
    for (size_t i = 0; i < images.size(); i++) {
        xobj += "/Im" + std::to_string(i) + " " + std::to_string(images[i]) + " 0 R ";
        ops += "q 20 0 0 20 " + std::to_string(20 + (i % 10) * 50) + " " + std::to_string(600 - (i / 10) * 50) +
               " cm /Im" + std::to_string(i) + " Do Q\n";
    }
    ops += extra_content;
    w.object(page, "<< /Type /Page /Parent " + std::to_string(pages_num) +
                       " 0 R /MediaBox [0 0 612 792] /Resources << /XObject << " + xobj +
                       ">> >> /Contents " + std::to_string(content) + " 0 R >>");
    w.stream(content, "", (const uint8_t *)ops.data(), ops.size());
    return page;
}

static std::string image_dict(int w, int h, const char *cs, int bpc, const char *filter) {
    return "/Type /XObject /Subtype /Image /Width " + std::to_string(w) + " /Height " + std::to_string(h) +
           " /ColorSpace " + cs + " /BitsPerComponent " + std::to_string(bpc) + " /Filter " + filter;
}

static void make_photo(const std::string &path, int pages, int noise_bits) {
    const int w = 2000, h = 1500, distinct = 10;
    std::vector<bytes> z;
    for (int i = 0; i < distinct && i < pages; i++)
        z.push_back(zlib6(photo_rgb(w, h, 1000 + (uint64_t)i, noise_bits)));
    pdf_writer pw(path);
    int pages_num = pw.alloc();
    std::vector<int> page_nums;
    for (int p = 0; p < pages; p++) {
        int img = pw.alloc();
        page_nums.push_back(write_page(pw, pages_num, {img}, ""));
        pw.stream(img, image_dict(w, h, "/DeviceRGB", 8, "/FlateDecode"), z[p % z.size()]);
    }
    pw.finish(pages_num, page_nums);
}

// The size of a JPEG from its SOF0..SOF2 segment (0 x 0 when it has none).
static void jpeg_size(const bytes &jpeg, int *jw, int *jh) {
    *jw = *jh = 0;
    for (size_t i = 2; i + 9 < jpeg.size();) {
        if (jpeg[i] != 0xFF) break;
        uint8_t m = jpeg[i + 1];
        size_t seg = (size_t)jpeg[i + 2] << 8 | jpeg[i + 3];
        if (m >= 0xC0 && m <= 0xC2) {
            *jh = jpeg[i + 5] << 8 | jpeg[i + 6];
            *jw = jpeg[i + 7] << 8 | jpeg[i + 8];
            return;
        }
        i += 2 + seg;
    }
}

// One small image of kind k (0..9), at most max_w x max_h pixels; returns its object number. Kind 7
// (RGB) and any image asked for with_mask get a soft mask, written first under its own number.
static int small_image(pdf_writer &pw, int k, rng &r, const bytes &jpeg, int max_w = 160, int max_h = 120,
                       bool with_mask = false) {
    int w = r.range(16, max_w), h = r.range(16, max_h);
    uint64_t seed = r.next();
    bytes rgb = photo_rgb(w, h, seed);
    int num = pw.alloc();
    std::string dict;
    bytes data;
    switch (k) {
    case 0:
    case 7:
        dict = image_dict(w, h, "/DeviceRGB", 8, "/FlateDecode");
        data = zlib6(rgb);
        with_mask = with_mask || k == 7;
        break;
    case 1: {
        bytes g((size_t)w * h);
        for (size_t i = 0; i < g.size(); i++) g[i] = rgb[i * 3 + 1];
        dict = image_dict(w, h, "/DeviceGray", 8, "/FlateDecode");
        data = zlib6(g);
        break;
    }
    case 2: {  // PNG predictor, Up on every row
        bytes rows;
        size_t stride = (size_t)w * 3;
        for (int y = 0; y < h; y++) {
            rows.push_back(2);
            for (size_t i = 0; i < stride; i++)
                rows.push_back((uint8_t)(rgb[y * stride + i] - (y > 0 ? rgb[(y - 1) * stride + i] : 0)));
        }
        dict = image_dict(w, h, "/DeviceRGB", 8, "/FlateDecode") +
               " /DecodeParms << /Predictor 15 /Colors 3 /BitsPerComponent 8 /Columns " + std::to_string(w) + " >>";
        data = zlib6(rows);
        break;
    }
    case 3: {  // Indexed, 256-entry palette as a hex string
        std::string pal = "[/Indexed /DeviceRGB 255 <";
        char hex[8];
        for (int i = 0; i < 256; i++) {
            snprintf(hex, sizeof hex, "%02X%02X%02X", i, (i * 7) & 255, 255 - i);
            pal += hex;
        }
        pal += ">]";
        bytes idx((size_t)w * h);
        for (size_t i = 0; i < idx.size(); i++) idx[i] = rgb[i * 3];
        dict = image_dict(w, h, pal.c_str(), 8, "/FlateDecode");
        data = zlib6(idx);
        break;
    }
    case 4:
    case 5: {  // 1-bit gray, or an image mask
        size_t stride = ((size_t)w + 7) / 8;
        bytes bits(stride * h, 0);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                if (rgb[((size_t)y * w + x) * 3] > 128) bits[y * stride + x / 8] |= (uint8_t)(0x80 >> (x % 8));
        dict = k == 4 ? image_dict(w, h, "/DeviceGray", 1, "/FlateDecode")
                      : "/Type /XObject /Subtype /Image /Width " + std::to_string(w) + " /Height " + std::to_string(h) +
                            " /ImageMask true /BitsPerComponent 1 /Filter /FlateDecode";
        data = zlib6(bits);
        with_mask = with_mask && k == 4;  // an image mask is a mask already
        break;
    }
    case 6: {
        bytes cmyk((size_t)w * h * 4);
        for (size_t i = 0; i < (size_t)w * h; i++) {
            cmyk[i * 4 + 0] = (uint8_t)(255 - rgb[i * 3]);
            cmyk[i * 4 + 1] = (uint8_t)(255 - rgb[i * 3 + 1]);
            cmyk[i * 4 + 2] = (uint8_t)(255 - rgb[i * 3 + 2]);
            cmyk[i * 4 + 3] = (uint8_t)(rgb[i * 3] / 8);
        }
        dict = image_dict(w, h, "/DeviceCMYK", 8, "/FlateDecode");
        data = zlib6(cmyk);
        break;
    }
    case 8: {  // the small JPEG at its own size
        jpeg_size(jpeg, &w, &h);
        dict = image_dict(w, h, "/DeviceRGB", 8, "/DCTDecode");
        data = jpeg;
        break;
    }
    default: {
        bytes g((size_t)w * h);
        for (size_t i = 0; i < g.size(); i++) g[i] = rgb[i * 3 + 2];
        dict = image_dict(w, h, "/DeviceGray", 8, "/LZWDecode");
        data = lzw_literal(g);
        break;
    }
    }
    if (with_mask) {  // a horizontal ramp of the image's size
        bytes a((size_t)w * h);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) a[(size_t)y * w + x] = (uint8_t)(255 * x / w);
        int mask = pw.alloc();
        pw.stream(mask, image_dict(w, h, "/DeviceGray", 8, "/FlateDecode"), zlib6(a));
        dict += " /SMask " + std::to_string(mask) + " 0 R";
    }
    pw.stream(num, dict, data);
    return num;
}

// PATH: PAGES pages of 20 small images each, image n of kind kind(n) (see small_image).
template <class KindOf>
static void make_small_images(const std::string &path, int pages, uint64_t seed, const bytes &jpeg, int max_w,
                              int max_h, KindOf kind_mask) {
    pdf_writer pw(path);
    int pages_num = pw.alloc();
    std::vector<int> page_nums;
    rng r{seed};
    for (int p = 0; p < pages; p++) {
        std::vector<int> imgs;
        for (int i = 0; i < 20; i++) {
            int n = p * 20 + i, kind = 0;
            bool mask = kind_mask(n, &kind);
            imgs.push_back(small_image(pw, kind, r, jpeg, max_w, max_h, mask));
        }
        page_nums.push_back(write_page(pw, pages_num, imgs, ""));
    }
    pw.finish(pages_num, page_nums);
}

static void make_small(const std::string &dir, const bytes &jpeg) {
    make_small_images(dir + "/small.pdf", 100, 42, jpeg, 160, 120, [](int n, int *kind) {
        *kind = n % 10;
        return false;
    });
}

// 200 pages of 20 images of at most 64 x 48 pixels, 4,000 in all, of the kinds of small.pdf but
// kind 7, every fourth with a soft mask (1,000), the kinds turning so that masks fall on each.
static void make_many(const std::string &dir, const bytes &jpeg) {
    make_small_images(dir + "/many.pdf", 200, 4000, jpeg, 64, 48, [](int n, int *kind) {
        static const int kinds[8] = {0, 1, 2, 3, 4, 6, 8, 9};
        *kind = kinds[(n + n / 8) % 8];
        return n % 4 == 1;
    });
}

static void make_jpeg(const std::string &path, const bytes &jpeg, int pages) {
    int jw = 2000, jh = 1500;
    pdf_writer pw(path);
    int pages_num = pw.alloc();
    std::vector<int> page_nums;
    for (int p = 0; p < pages; p++) {
        int img = pw.alloc();
        page_nums.push_back(write_page(pw, pages_num, {img}, ""));
        pw.stream(img, image_dict(jw, jh, "/DeviceRGB", 8, "/DCTDecode"), jpeg);
    }
    pw.finish(pages_num, page_nums);
}

// Text-drawing operators, ~100 KB a page; binary blobs of fixed-seed noise in between.
static void make_big(const std::string &dir, int pages, int blobs) {
    static const char *words[] = {"lorem", "ipsum", "dolor", "sit", "amet", "consectetur", "adipiscing",
                                  "elit", "sed", "do", "eiusmod", "tempor", "incididunt", "ut", "labore",
                                  "et", "dolore", "magna", "aliqua", "objective", "stream", "Length"};
    pdf_writer pw(dir + "/big.pdf");
    int pages_num = pw.alloc();
    std::vector<int> page_nums;
    rng r{7};
    bytes img_z = zlib6(photo_rgb(500, 400, 77));
    int blob_every = blobs > 0 ? pages / blobs : 0;
    bytes blob(1 << 20);
    for (int p = 0; p < pages; p++) {
        std::string ops = "BT /F1 10 Tf 12 TL 40 760 Td\n";
        while (ops.size() < 100000) {
            ops += "(";
            for (int k = 0; k < 10; k++) {
                ops += words[r.range(0, 21)];
                ops += ' ';
            }
            ops += ") Tj T* " + std::to_string(r.range(0, 999)) + " " + std::to_string(r.range(0, 999)) + " Td\n";
        }
        ops += "ET\n";
        int img = 0;
        if (p == 0 || p == pages / 2 || p == pages - 1) {
            img = pw.alloc();
            ops += "q 500 0 0 400 50 50 cm /Im0 Do Q\n";
        }
        int page = pw.alloc(), content = pw.alloc();
        std::string xobj;
        if (img) xobj = "/XObject << /Im0 " + std::to_string(img) + " 0 R >> ";
        pw.object(page, "<< /Type /Page /Parent " + std::to_string(pages_num) +
                            " 0 R /MediaBox [0 0 612 792] /Resources << " + xobj +
                            "/Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >> /Contents " +
                            std::to_string(content) + " 0 R >>");
        pw.stream(content, "", (const uint8_t *)ops.data(), ops.size());
        if (img) pw.stream(img, image_dict(500, 400, "/DeviceRGB", 8, "/FlateDecode"), img_z);
        page_nums.push_back(page);
        if (blob_every > 0 && p % blob_every == blob_every - 1) {
            for (size_t i = 0; i < blob.size(); i += 8) {
                uint64_t v = mix(r.state++);
                memcpy(&blob[i], &v, 8);
            }
            pw.stream(pw.alloc(), "", blob);
        }
    }
    pw.finish(pages_num, page_nums);
}

int main(int argc, char **argv) {
    if (argc == 5 && strcmp(argv[1], "ppm") == 0) {
        int w = atoi(argv[3]), h = atoi(argv[4]);
        if (w <= 0 || h <= 0) return 2;
        bytes px = photo_rgb(w, h, 4242);
        FILE *f = fopen(argv[2], "wb");
        if (!f) return 1;
        fprintf(f, "P6\n%d %d\n255\n", w, h);
        fwrite(px.data(), 1, px.size(), f);
        return fclose(f) == 0 ? 0 : 1;
    }
    if ((argc == 6 || argc == 7) && strcmp(argv[1], "pdfs") == 0) {
        bool quick = argc == 7 && strcmp(argv[6], "--quick") == 0;
        std::string dir = argv[2];
        bytes big_jpeg = read_file(argv[3]), small_jpeg = read_file(argv[4]), fine_jpeg = read_file(argv[5]);
        make_photo(dir + "/photo.pdf", quick ? 10 : 100, 2);
        make_small(dir, small_jpeg);
        make_jpeg(dir + "/jpeg.pdf", big_jpeg, quick ? 20 : 100);
        make_big(dir, quick ? 150 : 1500, quick ? 15 : 150);
        make_jpeg(dir + "/jpeghq.pdf", fine_jpeg, quick ? 20 : 100);
        make_photo(dir + "/grainy.pdf", quick ? 10 : 100, 4);
        make_many(dir, small_jpeg);
        return 0;
    }
    fprintf(stderr,
            "usage: make_bench_pdfs ppm OUT.ppm W H\n"
            "       make_bench_pdfs pdfs DIR BIG.jpg SMALL.jpg FINE.jpg [--quick]\n");
    return 2;
}
