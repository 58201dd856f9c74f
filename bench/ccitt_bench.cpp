// ccitt_bench - the CCITT fax decoder against libtiff's on the same data: a 2480x3508 page (A4 at
// 300 dpi) of text-like glyphs, headings, a ruled table, a filled logo and scanner speckle, encoded
// by libtiff as Group 4, Group 3 one-dimensional and Group 3 two-dimensional (EOLs, as TIFF writes
// them). Times ccitt_decode and libtiff's TIFFReadEncodedStrip (the TIFF held in memory, mapped),
// each output checked against the page once before timing. Prints megapixels of output per second
// (MB/s at one byte per pixel) from the fastest of several runs (the decoders take turns; on a busy
// machine the fastest run is the least disturbed), and the ratio.
// Usage: ccitt_bench [runs]   (default 15)
#include <tiffio.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "codec/ccitt.h"

typedef std::vector<uint8_t> bytes;

static const int width = 2480, height = 3508;
static const int row_bytes = (width + 7) / 8;

// ---- The page: packed rows, 1 = black ----

struct page_t {
    bytes px = bytes((size_t)row_bytes * height, 0);
    void set(int x, int y) {
        if (x >= 0 && x < width && y >= 0 && y < height) px[(size_t)y * row_bytes + x / 8] |= (uint8_t)(0x80 >> (x & 7));
    }
    void rect(int x0, int y0, int x1, int y1) {
        for (int y = y0; y < y1; y++)
            for (int x = x0; x < x1; x++) set(x, y);
    }
};

// A glyph: 1 to 3 strokes (stems, bars, bowls, diagonals) in a box of w x h pixels.
struct glyph {
    int w, h;
    std::vector<uint8_t> on;
};

static glyph make_glyph(std::mt19937 &rng, int h) {
    glyph g;
    g.h = h;
    g.w = h * (14 + (int)(rng() % 10)) / 40;
    g.on.assign((size_t)g.w * g.h, 0);
    int t = h / 9 + 1;  // stroke thickness
    int strokes = 1 + (int)(rng() % 3);
    for (int s = 0; s < strokes; s++) {
        int kind = (int)(rng() % 4);
        int x0 = (int)(rng() % 3) * (g.w - t) / 2;  // a stem's left edge
        for (int y = 0; y < g.h; y++) {
            for (int x = 0; x < g.w; x++) {
                bool in = false;
                if (kind == 0) {  // stem
                    in = x >= x0 && x < x0 + t;
                } else if (kind == 1) {  // bar
                    int y0 = g.h / 2 - t / 2;
                    in = y >= y0 && y < y0 + t;
                } else if (kind == 2) {  // bowl
                    double cx = g.w / 2.0, cy = g.h * 0.62, rx = g.w / 2.0, ry = g.h * 0.38;
                    double d = std::hypot((x - cx) / rx, (y - cy) / ry);
                    in = d <= 1.0 && d >= 1.0 - 1.6 * t / rx;
                } else {  // diagonal
                    int xd = x - y * g.w / g.h;
                    in = xd >= 0 && xd < t + 1;
                }
                if (in) g.on[(size_t)y * g.w + x] = 1;
            }
        }
    }
    return g;
}

static void draw_glyph(page_t &p, const glyph &g, int x0, int y0) {
    for (int y = 0; y < g.h; y++)
        for (int x = 0; x < g.w; x++)
            if (g.on[(size_t)y * g.w + x]) p.set(x0 + x, y0 + y);
}

// Lines of words from a font of 40 glyphs at a body size, wrapped inside the margins; returns the y
// after the paragraph.
static int paragraph(page_t &p, std::mt19937 &rng, const std::vector<glyph> &font, int y, int lines, int lead) {
    for (int l = 0; l < lines && y + lead < height - 200; l++, y += lead) {
        int x = 200;
        while (x < width - 400) {
            int letters = 2 + (int)(rng() % 8);
            for (int i = 0; i < letters; i++) {
                const glyph &g = font[rng() % font.size()];
                draw_glyph(p, g, x, y);
                x += g.w + g.h / 12 + 1;
            }
            x += lead / 3;
        }
    }
    return y;
}

static page_t make_page() {
    page_t p;
    std::mt19937 rng(2024);
    std::vector<glyph> body, head;
    for (int i = 0; i < 40; i++) body.push_back(make_glyph(rng, 34));
    for (int i = 0; i < 40; i++) head.push_back(make_glyph(rng, 80));
    int y = 220;
    y = paragraph(p, rng, head, y, 1, 120);
    for (int para = 0; para < 4; para++) y = paragraph(p, rng, body, y, 9, 52) + 40;
    // A ruled table of 6 x 5 cells with a word in each.
    int tx = 260, ty = y + 20, cw = 320, ch = 90;
    for (int r = 0; r <= 5; r++) p.rect(tx, ty + r * ch, tx + 6 * cw + 4, ty + r * ch + 4);
    for (int c = 0; c <= 6; c++) p.rect(tx + c * cw, ty, tx + c * cw + 4, ty + 5 * ch + 4);
    for (int r = 0; r < 5; r++)
        for (int c = 0; c < 6; c++) {
            int x = tx + c * cw + 20;
            for (int i = 0; i < 5; i++) {
                const glyph &g = body[rng() % body.size()];
                draw_glyph(p, g, x, ty + r * ch + 28);
                x += g.w + 4;
            }
        }
    y = ty + 5 * ch + 80;
    // A filled round logo beside more text.
    for (int dy = -150; dy <= 150; dy++)
        for (int dx = -150; dx <= 150; dx++)
            if (dx * dx + dy * dy <= 150 * 150) p.set(width - 420 + dx, y + 170 + dy);
    for (int para = 0; para < 3; para++) y = paragraph(p, rng, body, y, 8, 52) + 40;
    // Speckle, as a scanner leaves: about one pixel in 30,000.
    for (int i = 0; i < width * height / 30000; i++) p.set((int)(rng() % width), (int)(rng() % height));
    return p;
}

// ---- libtiff over a TIFF in memory ----

struct memfile {
    bytes data;
    uint64_t pos = 0;
};

static tmsize_t mf_read(thandle_t h, void *buf, tmsize_t n) {
    memfile *m = (memfile *)h;
    uint64_t left = m->pos < m->data.size() ? m->data.size() - m->pos : 0;
    uint64_t k = (uint64_t)n < left ? (uint64_t)n : left;
    memcpy(buf, m->data.data() + m->pos, k);
    m->pos += k;
    return (tmsize_t)k;
}
static tmsize_t mf_write(thandle_t h, void *buf, tmsize_t n) {
    memfile *m = (memfile *)h;
    if (m->pos + (uint64_t)n > m->data.size()) m->data.resize(m->pos + (uint64_t)n);
    memcpy(m->data.data() + m->pos, buf, (size_t)n);
    m->pos += (uint64_t)n;
    return n;
}
static toff_t mf_seek(thandle_t h, toff_t off, int whence) {
    memfile *m = (memfile *)h;
    m->pos = whence == SEEK_SET ? off : whence == SEEK_CUR ? m->pos + off : m->data.size() + off;
    return m->pos;
}
static int mf_close(thandle_t) { return 0; }
static toff_t mf_size(thandle_t h) { return ((memfile *)h)->data.size(); }
static int mf_map(thandle_t h, void **base, toff_t *size) {
    memfile *m = (memfile *)h;
    *base = m->data.data();
    *size = m->data.size();
    return 1;
}
static void mf_unmap(thandle_t, void *, toff_t) {}

static TIFF *mf_open(memfile *m, const char *mode) {
    m->pos = 0;
    return TIFFClientOpen("page", mode, (thandle_t)m, mf_read, mf_write, mf_seek, mf_close, mf_size, mf_map, mf_unmap);
}

// The page as a one-strip TIFF; g3options < 0: Group 4.
static memfile encode_tiff(const page_t &p, int g3options) {
    memfile m;
    TIFF *t = mf_open(&m, "w");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);  // 1 = black, as in the page
    TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, height);
    TIFFSetField(t, TIFFTAG_COMPRESSION, g3options < 0 ? COMPRESSION_CCITTFAX4 : COMPRESSION_CCITTFAX3);
    if (g3options >= 0) TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, (uint32_t)g3options);
    TIFFWriteEncodedStrip(t, 0, (void *)p.px.data(), (tmsize_t)p.px.size());
    TIFFClose(t);
    return m;
}

static double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int main(int argc, char **argv) {
    int runs = argc > 1 ? atoi(argv[1]) : 15;
    if (runs < 1) runs = 1;
    TIFFSetWarningHandler(nullptr);
    page_t p = make_page();
    struct form {
        const char *name;
        int g3options;
        int32_t k;
    } forms[] = {{"G4", -1, -1}, {"G3 1-D", 0, 0}, {"G3 2-D", GROUP3OPT_2DENCODING, 4}};
    double mpix = (double)width * height / 1e6;
    printf("%dx%d page, %.2f Mpixel; MB/s of output pixels at one byte per pixel, fastest of %d runs\n", width,
           height, mpix, runs);
    printf("%-8s %10s %10s %12s %8s\n", "data", "bytes", "qv MB/s", "libtiff MB/s", "qv/lt");
    for (const form &f : forms) {
        memfile m = encode_tiff(p, f.g3options);
        TIFF *t = mf_open(&m, "r");
        if (!t) return 1;
        tmsize_t raw_len = (tmsize_t)TIFFRawStripSize(t, 0);
        bytes raw((size_t)raw_len);
        TIFFReadRawStrip(t, 0, raw.data(), raw_len);
        bytes lt(p.px.size());
        ccitt_params cp;
        ccitt_params_default(&cp);
        cp.k = f.k;
        cp.columns = width;
        cp.rows = height;
        cp.black_is_1 = 1;
        cp.end_of_line = f.k >= 0;
        uint8_t *out = nullptr;
        uint64_t out_len = 0;
        int32_t rows = ccitt_decode(raw.data(), raw.size(), &cp, &out, &out_len, nullptr);
        tmsize_t got = TIFFReadEncodedStrip(t, 0, lt.data(), (tmsize_t)lt.size());
        if (rows != height || out_len != p.px.size() || memcmp(out, p.px.data(), out_len) != 0 ||
            got != (tmsize_t)lt.size() || lt != p.px) {
            fprintf(stderr, "%s: decoded page differs (rows %d, libtiff %ld)\n", f.name, rows, (long)got);
            return 1;
        }
        free(out);
        double best_qv = 1e9, best_lt = 1e9;
        for (int r = 0; r < runs; r++) {
            auto t0 = std::chrono::steady_clock::now();
            rows = ccitt_decode(raw.data(), raw.size(), &cp, &out, &out_len, nullptr);
            best_qv = std::min(best_qv, seconds_since(t0));
            free(out);
            t0 = std::chrono::steady_clock::now();
            TIFFReadEncodedStrip(t, 0, lt.data(), (tmsize_t)lt.size());
            best_lt = std::min(best_lt, seconds_since(t0));
        }
        TIFFClose(t);
        printf("%-8s %10zu %10.1f %12.1f %8.2f\n", f.name, raw.size(), mpix / best_qv, mpix / best_lt,
               best_lt / best_qv);
    }
    return 0;
}
