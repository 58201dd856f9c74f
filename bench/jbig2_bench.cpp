// jbig2_bench - the JBIG2 decoder against jbig2dec (libjbig2dec, linked here only) on the same
// streams: a 2480 x 3508 scanned-page-like image (lines of text-like glyphs, some noise) coded as
// one generic region (template 0, typical prediction) and as a symbol dictionary (in the globals)
// plus a text region, both by the test-side encoder. Each decoder's page is checked against the
// source pixels once before timing. Prints MB of output pixels (one bit each) per second from the
// fastest of several runs (the decoders take turns; on a busy machine the fastest run is the one
// least disturbed), and the ratio.
// Usage: jbig2_bench [runs]   (default 7)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "codec/jbig2.h"
#include "tests/jbig2_writer.h"

#ifdef HAVE_JBIG2DEC
extern "C" {
#include <jbig2.h>
}
#endif

using jb2w::bytes;
using jb2w::image;

static const int page_w = 2480, page_h = 3508;

// Glyphs: 70 shapes of 14 to 22 x 24 to 30 pixels, strokes and bowls.
static std::vector<image> glyphs() {
    std::vector<image> g;
    std::mt19937 rng(11);
    for (int k = 0; k < 70; k++) {
        image s(14 + (int)(rng() % 9), 24 + (int)(rng() % 7));
        int cx = s.w / 2, cy = s.h / 2;
        for (int y = 0; y < s.h; y++)
            for (int x = 0; x < s.w; x++) {
                int dx = x - cx, dy = y - cy, r = dx * dx * 4 + dy * dy * 2;
                bool bowl = (k & 1) && r > 60 && r < 130;
                bool stem = (k % 3 == 0) && x >= 2 && x <= 4;
                bool bar = (k % 5 == 1) && y >= cy - 1 && y <= cy + 1;
                s.set(x, y, bowl || stem || bar || (y == s.h - 3 && k % 7 == 2));
            }
        g.push_back(s);
    }
    return g;
}

struct placed {
    uint32_t id;
    int x, y, base;  // base: the line's bottom row
};

// Lines of words across the page with margins, and a little noise.
static std::vector<placed> layout(const std::vector<image> &g) {
    std::vector<placed> p;
    std::mt19937 rng(12);
    for (int y = 200; y + 40 < page_h - 200; y += 46) {
        int x = 180;
        while (x < page_w - 220) {
            int word = 2 + (int)(rng() % 8);
            for (int i = 0; i < word && x < page_w - 220; i++) {
                uint32_t id = rng() % g.size();
                p.push_back({id, x, y + 30 - g[id].h, y + 29});
                x += g[id].w + 2;
            }
            x += 16;
        }
    }
    return p;
}

static image render(const std::vector<image> &g, const std::vector<placed> &p) {
    image page(page_w, page_h);
    for (const placed &q : p)
        for (int j = 0; j < g[q.id].h; j++)
            for (int i = 0; i < g[q.id].w; i++)
                if (g[q.id].at(i, j)) page.set(q.x + i, q.y + j, 1);
    std::mt19937 rng(13);
    for (int k = 0; k < 3000; k++) page.set((int)(rng() % page_w), (int)(rng() % page_h), 1);
    return page;
}

static void append(bytes &a, const bytes &b) { a.insert(a.end(), b.begin(), b.end()); }

// 1 for black, rows of (w + 7) / 8 bytes.
static bool same(const image &im, const uint8_t *rows, uint32_t stride, bool one_is_black) {
    for (int y = 0; y < im.h; y++)
        for (int x = 0; x < im.w; x++) {
            int bit = (rows[(size_t)y * stride + x / 8] >> (7 - x % 8)) & 1;
            if ((one_is_black ? bit : !bit) != im.at(x, y)) return false;
        }
    return true;
}

static double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

static double run_ours(const bytes &page, const bytes &globals, const image *check) {
    uint8_t *out = nullptr;
    uint32_t w, h;
    double t = now();
    int32_t rc = jbig2_decode(page.data(), page.size(), globals.empty() ? nullptr : globals.data(),
                              globals.size(), 0, 0, &out, &w, &h);
    t = now() - t;
    if (rc != 0 || (check && !same(*check, out, (w + 7) / 8, false))) {
        fprintf(stderr, "jbig2_decode: wrong page (rc %d)\n", rc);
        exit(1);
    }
    free(out);
    return t;
}

#ifdef HAVE_JBIG2DEC
static double run_jbig2dec(const bytes &page, const bytes &globals, const image *check) {
    double t = now();
    Jbig2GlobalCtx *gctx = nullptr;
    if (!globals.empty()) {
        Jbig2Ctx *g = jbig2_ctx_new(nullptr, JBIG2_OPTIONS_EMBEDDED, nullptr, nullptr, nullptr);
        jbig2_data_in(g, globals.data(), globals.size());
        gctx = jbig2_make_global_ctx(g);
    }
    Jbig2Ctx *ctx = jbig2_ctx_new(nullptr, JBIG2_OPTIONS_EMBEDDED, gctx, nullptr, nullptr);
    jbig2_data_in(ctx, page.data(), page.size());
    jbig2_complete_page(ctx);
    Jbig2Image *im = jbig2_page_out(ctx);
    t = now() - t;
    if (!im || (check && !same(*check, im->data, im->stride, true))) {
        fprintf(stderr, "jbig2dec: wrong page\n");
        exit(1);
    }
    jbig2_release_page(ctx, im);
    jbig2_ctx_free(ctx);
    if (gctx) jbig2_global_ctx_free(gctx);
    return t;
}
#endif

int main(int argc, char **argv) {
    int runs = argc > 1 ? atoi(argv[1]) : 7;
    std::vector<image> g = glyphs();
    std::vector<placed> p = layout(g);
    image page = render(g, p);

    // The generic region: the whole page.
    bytes generic = jb2w::segment(1, 48, 1, {}, jb2w::page_info(page_w, page_h));
    append(generic, jb2w::segment(2, 38, 1, {}, jb2w::generic_region(page, 0, 0, 0, jb2w::usual(0, true))));

    // Symbols and text: the glyphs sorted by height into classes, one strip per text line.
    std::vector<uint32_t> order(g.size());
    for (uint32_t i = 0; i < order.size(); i++) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return g[a].h < g[b].h; });
    std::vector<image> sorted;
    std::vector<uint32_t> new_id(g.size());
    for (uint32_t i = 0; i < order.size(); i++) {
        sorted.push_back(g[order[i]]);
        new_id[order[i]] = i;
    }
    // One strip per line, glyphs placed by their bottom-left corners on the line's bottom row.
    std::vector<jb2w::strip> strips;
    for (const placed &q : p) {
        if (strips.empty() || strips.back().t != q.base) strips.push_back({q.base, {}});
        strips.back().inst.push_back({new_id[q.id], q.x, 0});
    }
    jb2w::text_opts to;
    to.refcorner = 0;
    bytes globals = jb2w::segment(0, 0, 0, {}, jb2w::symbol_dictionary(sorted));
    bytes text = jb2w::segment(1, 48, 1, {}, jb2w::page_info(page_w, page_h));
    append(text, jb2w::segment(2, 6, 1, {0}, jb2w::text_region(sorted, page_w, page_h, 0, 0, 0, strips, to)));
    image text_page = render(g, p);
    std::mt19937 rng(13);  // the text page has no noise
    for (int k = 0; k < 3000; k++) text_page.set((int)(rng() % page_w), (int)(rng() % page_h), 0);
    for (const placed &q : p)
        for (int j = 0; j < g[q.id].h; j++)
            for (int i = 0; i < g[q.id].w; i++)
                if (g[q.id].at(i, j)) text_page.set(q.x + i, q.y + j, 1);

    const double mb = (double)((page_w + 7) / 8) * page_h / 1e6;
    printf("page %dx%d, %.3f MB of output pixels; fastest of %d runs\n", page_w, page_h, mb, runs);
    printf("%-26s %10s %10s %12s %8s\n", "stream", "bytes", "qv MB/s", "jbig2dec MB/s", "qv/jd");
    struct {
        const char *name;
        const bytes *page, *globals;
        const image *check;
    } streams[] = {{"generic region (T0, TPGD)", &generic, nullptr, &page},
                   {"symbols + text region", &text, &globals, &text_page}};
    for (auto &s : streams) {
        bytes none;
        const bytes &gl = s.globals ? *s.globals : none;
        run_ours(*s.page, gl, s.check);
        double best = 1e9, best_jd = 1e9;
#ifdef HAVE_JBIG2DEC
        run_jbig2dec(*s.page, gl, s.check);
#endif
        for (int r = 0; r < runs; r++) {
            best = std::min(best, run_ours(*s.page, gl, nullptr));
#ifdef HAVE_JBIG2DEC
            best_jd = std::min(best_jd, run_jbig2dec(*s.page, gl, nullptr));
#endif
        }
        size_t bytes_in = s.page->size() + gl.size();
        if (best_jd < 1e9)
            printf("%-26s %10zu %10.1f %12.1f %8.2f\n", s.name, bytes_in, mb / best, mb / best_jd, best_jd / best);
        else
            printf("%-26s %10zu %10.1f %12s %8s\n", s.name, bytes_in, mb / best, "-", "-");
    }
    return 0;
}
