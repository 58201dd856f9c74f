// Tests of the JBIG2 decoder: the published test data (the arithmetic coder's test sequence and
// the three-page stream of ITU-T T.88 Annex H, the PDF reference's example), streams made by the
// test-side encoder (tests/jbig2_writer.h) checked against their source pixels and against
// jbig2dec as an independent decoder, and damaged input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "codec/jbig2.h"
#include "codec/jbig2_parts.h"
#include "tests/jbig2_writer.h"

using jb2w::bytes;
using jb2w::image;

static std::string fixture(const std::string &name) {
    return std::string(TEST_SOURCE_DIR) + "/fixtures/jbig2/" + name;
}

static bytes read_all(const std::string &path) {
    bytes b;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return b;
    int c;
    while ((c = fgetc(f)) != EOF) b.push_back((uint8_t)c);
    fclose(f);
    return b;
}

static bool write_all(const std::string &path, const bytes &b) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = b.empty() || fwrite(b.data(), 1, b.size(), f) == b.size();
    return fclose(f) == 0 && ok;
}

static bytes from_hex(const std::string &s) {
    bytes b;
    int hi = -1;
    for (char ch : s) {
        int v = ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
              : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10 : -1;
        if (v < 0) continue;
        if (hi < 0) hi = v;
        else {
            b.push_back((uint8_t)(hi << 4 | v));
            hi = -1;
        }
    }
    return b;
}

// A PBM (P4: 1 is black) as an image; w = -1 when unreadable.
static image parse_pbm(const bytes &b) {
    image im;
    im.w = -1;
    size_t pos = 0;
    auto number = [&]() {
        while (pos < b.size() && (b[pos] == ' ' || b[pos] == '\n' || b[pos] == '\r' || b[pos] == '\t')) pos++;
        long v = 0;
        while (pos < b.size() && b[pos] >= '0' && b[pos] <= '9') v = v * 10 + (b[pos++] - '0');
        return (int)v;
    };
    if (b.size() < 2 || b[0] != 'P' || b[1] != '4') return im;
    pos = 2;
    int w = number(), h = number();
    pos++;
    size_t stride = ((size_t)w + 7) / 8;
    if (b.size() < pos + stride * h) return im;
    im = image(w, h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) im.set(x, y, (b[pos + y * stride + x / 8] >> (7 - x % 8)) & 1);
    return im;
}

struct decoded {
    int32_t rc;
    image im;  // 1 is black
};

// hint: the image dictionary's width and height (0: none).
static decoded decode(const bytes &page, const bytes &globals = bytes(), uint32_t hint = 0) {
    uint8_t *out = nullptr;
    uint32_t w = 0, h = 0;
    decoded d;
    d.rc = jbig2_decode(page.data(), page.size(), globals.empty() ? nullptr : globals.data(),
                        globals.size(), hint, hint, &out, &w, &h);
    if (d.rc < 0) {
        EXPECT_EQ(nullptr, out);
        return d;
    }
    d.im = image((int)w, (int)h);
    uint32_t stride = (w + 7) / 8;
    for (uint32_t y = 0; y < h; y++) {
        for (uint32_t x = 0; x < w; x++) d.im.set((int)x, (int)y, !((out[y * stride + x / 8] >> (7 - x % 8)) & 1));
        if (w & 7) EXPECT_EQ(0, out[y * stride + stride - 1] & (0xFF >> (w & 7))) << "padding bits";
    }
    free(out);
    return d;
}

// The first differing pixel, or "" when the images are the same.
static std::string differ(const image &want, const image &got) {
    if (want.w != got.w || want.h != got.h)
        return "size " + std::to_string(got.w) + "x" + std::to_string(got.h) + ", want " +
               std::to_string(want.w) + "x" + std::to_string(want.h);
    for (int y = 0; y < want.h; y++)
        for (int x = 0; x < want.w; x++)
            if (want.at(x, y) != got.at(x, y))
                return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ")";
    return "";
}

// jbig2dec's page for an embedded stream, or an image of w = -1 when jbig2dec is missing.
static bool have_jbig2dec() { return system("jbig2dec --version >/dev/null 2>&1") == 0; }
static image jbig2dec_page(const bytes &page, const bytes &globals = bytes()) {
    image none;
    none.w = -1;
    char dir[] = "/tmp/qv-jbig2-XXXXXX";
    if (!mkdtemp(dir)) return none;
    std::string d = dir, g = d + "/g.jb2", p = d + "/p.jb2", o = d + "/out.pbm";
    write_all(g, globals);
    write_all(p, page);
    std::string cmd = "jbig2dec -q -e -t pbm -o " + o + " " + (globals.empty() ? "" : g + " ") + p +
                      " >/dev/null 2>&1";
    image im = system(cmd.c_str()) == 0 ? parse_pbm(read_all(o)) : none;
    unlink(g.c_str());
    unlink(p.c_str());
    unlink(o.c_str());
    rmdir(dir);
    return im;
}

// The segments of a stream with their page associations.
struct seg {
    uint32_t number, page;
    int type;
    bytes raw;
};
static std::vector<seg> split_segments(const bytes &b) {
    std::vector<seg> out;
    size_t pos = 0;
    auto u32 = [&](size_t at) {
        return (uint32_t)b[at] << 24 | (uint32_t)b[at + 1] << 16 | (uint32_t)b[at + 2] << 8 | b[at + 3];
    };
    while (pos + 11 <= b.size()) {
        size_t start = pos;
        uint32_t number = u32(pos);
        int flags = b[pos + 4];
        pos += 5;
        uint32_t count = b[pos] >> 5;
        if (count == 7) {
            count = u32(pos) & 0x1FFFFFFF;
            pos += 4 + (count + 8) / 8;
        } else {
            pos++;
        }
        pos += count * (number <= 256 ? 1 : number <= 65536 ? 2 : 4);
        uint32_t page = (flags & 64) ? u32(pos) : b[pos];
        pos += (flags & 64) ? 4 : 1;
        uint32_t len = u32(pos);
        pos += 4 + len;
        out.push_back({number, page, flags & 63, bytes(b.begin() + start, b.begin() + pos)});
    }
    return out;
}

// ---- The arithmetic decoder ----

// The test sequence for the arithmetic coder (ITU-T T.88 Annex H): 256 decisions in one context.
TEST(Jbig2, ArithmeticDecoderTestSequence) {
    const bytes coded = from_hex("84C73BFCE1A14304022000 00410DBB86F4317FFF88FF37471ADB6ADFFFAC");
    const bytes want = from_hex("000200510000 00C0035287 2AAAAAAAAA82C02000FCD79EF6BF7FED904F46A3BF");
    jb2_mq d;
    jb2_mq_init(&d, coded.data(), coded.size(), nullptr);
    uint8_t cx = 0;
    for (size_t i = 0; i < want.size(); i++) {
        int v = 0;
        for (int b = 0; b < 8; b++) v = v << 1 | jb2_mq_decode(&d, &cx);
        EXPECT_EQ(want[i], v) << "byte " << i;
    }
    EXPECT_FALSE(d.failed);
}

// The encoder's integers and symbol IDs through the decoder's, in one stream.
TEST(Jbig2, IntegersRoundTrip) {
    const int64_t values[] = {0, 1, -1, 3, 4, -4, 19, 20, 83, 84, 339, 340, 4435, 4436, -4436,
                              1000000, -1000000, 4294967295ll + 4436 - 1};
    jb2w::mq_encoder e;
    jb2w::int_coder ic;
    jb2w::id_coder idc(5);
    for (int64_t v : values) ic.encode(e, v);
    ic.oob(e);
    for (uint32_t id = 0; id < 32; id += 7) idc.encode(e, id);
    bytes coded = e.finish();
    jb2_mq d;
    jb2_mq_init(&d, coded.data(), coded.size(), nullptr);
    uint8_t cx[512] = {}, idcx[32] = {};
    for (int64_t v : values) {
        int64_t got = 0;
        EXPECT_EQ(0, jb2_int_decode(&d, cx, &got));
        EXPECT_EQ(v, got);
    }
    int64_t got;
    EXPECT_EQ(1, jb2_int_decode(&d, cx, &got)) << "out-of-band";
    for (uint32_t id = 0; id < 32; id += 7) EXPECT_EQ(id, jb2_iaid_decode(&d, idcx, 5));
    EXPECT_FALSE(d.failed);
}

// ---- Huffman tables ----

// Each standard table is a complete prefix code whose ranges cover the integers without gap:
// ordinary ranges end to end, the lower range just below them and the upper range just above.
TEST(Jbig2, StandardTablesAreCompleteAndContiguous) {
    jb2_huff_std s;
    ASSERT_EQ(0, jb2_huff_std_build(&s));
    for (int i = 0; i < 15; i++) {
        SCOPED_TRACE("table B." + std::to_string(i + 1));
        const jb2_huff_table &t = s.t[i];
        double kraft = 0;
        std::vector<jb2_huff_line> ranges;
        const jb2_huff_line *lower = nullptr, *upper = nullptr;
        for (uint32_t k = 0; k < t.n; k++) {
            kraft += 1.0 / (double)(1ull << t.lines[k].preflen);
            if (t.lines[k].kind == jb2_line_range) ranges.push_back(t.lines[k]);
            if (t.lines[k].kind == jb2_line_lower) lower = &t.lines[k];
            if (t.lines[k].kind == jb2_line_upper) upper = &t.lines[k];
        }
        EXPECT_EQ(1.0, kraft);
        std::sort(ranges.begin(), ranges.end(),
                  [](const jb2_huff_line &a, const jb2_huff_line &b) { return a.low < b.low; });
        for (size_t k = 1; k < ranges.size(); k++)
            EXPECT_EQ((int64_t)ranges[k - 1].low + (1ll << ranges[k - 1].rangelen), ranges[k].low);
        if (upper) EXPECT_EQ((int64_t)ranges.back().low + (1ll << ranges.back().rangelen), upper->low);
        if (lower) EXPECT_EQ(ranges.front().low - 1, lower->low);
    }
    jb2_huff_std_free(&s);
}

// Values coded with table B.8 (ranges, the lower and upper ranges, out-of-band) decode back.
struct huff_case {
    const char *name;
    const char *bits;  // '0' and '1'
    int rc;
    int64_t value;
};
static const huff_case b8_cases[] = {
    {"0 in the 2-bit code 00 plus one bit", "000", 0, 0},
    {"1", "001", 0, 1},
    {"out-of-band", "01", 1, 0},
    {"-1", "1010", 0, -1},
    {"-2: seven bits", "1111100", 0, -2},
    {"4 to 19: 100 plus four bits", "1001111", 0, 19},
    {"lower range: below -15", "111111110" "00000000000000000000000000000001", 0, -17},
    {"upper range: from 1670", "111111111" "00000000000000000000000000000010", 0, 1672},
    {"bits run out in a nine-bit prefix", "11111111", -1, 0},
};

TEST(Jbig2, TableB8Decodes) {
    jb2_huff_std s;
    ASSERT_EQ(0, jb2_huff_std_build(&s));
    for (const huff_case &c : b8_cases) {
        SCOPED_TRACE(c.name);
        bytes b((strlen(c.bits) + 7) / 8, 0);
        for (size_t i = 0; c.bits[i]; i++)
            if (c.bits[i] == '1') b[i / 8] |= (uint8_t)(0x80 >> (i % 8));
        jb2_bits r = {b.data(), b.size(), 0, 0};
        int64_t v = 0;
        EXPECT_EQ(c.rc, jb2_huff_decode(&r, &s.t[7], &v));
        if (c.rc == 0) EXPECT_EQ(c.value, v);
    }
    jb2_huff_std_free(&s);
}

// ---- Published streams ----

// The Annex H stream, page by page, as a PDF holds it: the page's segments in the page stream,
// the segments of page 0 in the globals.
TEST(Jbig2, AnnexHPages) {
    bytes file = from_hex(std::string((const char *)read_all(fixture("annex_h.hex")).data(),
                                      read_all(fixture("annex_h.hex")).size()));
    ASSERT_EQ(860u, file.size());
    std::vector<seg> segs = split_segments(bytes(file.begin() + 13, file.end()));  // no file header
    bytes globals;
    for (const seg &s : segs)
        if (s.page == 0) globals.insert(globals.end(), s.raw.begin(), s.raw.end());
    for (uint32_t page = 1; page <= 3; page++) {
        SCOPED_TRACE("page " + std::to_string(page));
        bytes stream;
        for (const seg &s : segs)
            if (s.page == page) stream.insert(stream.end(), s.raw.begin(), s.raw.end());
        image want = parse_pbm(read_all(fixture("annex_h-" + std::to_string(page) + ".pbm")));
        ASSERT_GT(want.w, 0);
        decoded got = decode(stream, globals);
        EXPECT_EQ(0, got.rc);
        EXPECT_EQ("", differ(want, got.im));
    }
}

// The PDF reference's JBIG2 example: a symbol dictionary in the globals, a text region on the page.
static const char pdf_example_globals[] =
    "0000000000010000000032000003fffdff02fefefe00000001000000012ae225aea9a5a538b4d9999c5c8e56ef"
    "0f8727f2b53d4e37ef795cc5506dffac";
static const char pdf_example_page[] =
    "00000001300001000000130000003400000042000000000000000040000000000002062000010000001e"
    "000000340000004200000000000000000200100000000231db51ce51ffac";

TEST(Jbig2, PdfReferenceExample) {
    decoded got = decode(from_hex(pdf_example_page), from_hex(pdf_example_globals));
    EXPECT_EQ(0, got.rc);
    EXPECT_EQ("", differ(parse_pbm(read_all(fixture("pdf_example.pbm"))), got.im));
    // Without its globals the text region finds no symbols: the page is blank and damaged.
    decoded alone = decode(from_hex(pdf_example_page));
    EXPECT_EQ(1, alone.rc);
    EXPECT_EQ(52, alone.im.w);
}

// ---- Generic regions from the test encoder ----

// A page of text-like marks and noise, fixed seed.
static image test_image(int w, int h, uint32_t seed) {
    image im(w, h);
    std::mt19937 rng(seed);
    for (int y = 4; y + 10 < h; y += 14)
        for (int x = 2; x + 8 < w; x += 9 + (int)(rng() % 4)) {
            uint32_t glyph = rng();
            for (int j = 0; j < 10; j++)
                for (int i = 0; i < 7; i++)
                    if ((glyph >> ((i * 3 + j * 5) % 31)) & 1) im.set(x + i, y + j, 1);
        }
    for (int k = 0; k < w * h / 50; k++) im.set((int)(rng() % w), (int)(rng() % h), 1);
    for (int y = h / 2; y < h / 2 + 6 && y < h; y++)  // repeated rows for typical prediction
        for (int x = 0; x < w; x++) im.set(x, y, im.at(x, h / 2 - 1));
    return im;
}

static bytes generic_page(const image &im, const jb2w::generic_opts &o, int page_flags = 0) {
    bytes s = jb2w::segment(1, 48, 1, {}, jb2w::page_info((uint32_t)im.w, (uint32_t)im.h, page_flags));
    bytes r = jb2w::segment(2, 38, 1, {}, jb2w::generic_region(im, 0, 0, 0, o));
    s.insert(s.end(), r.begin(), r.end());
    bytes e = jb2w::segment(3, 49, 1, {}, {});
    s.insert(s.end(), e.begin(), e.end());
    return s;
}

struct generic_case {
    const char *name;
    int tmpl;
    bool tpgdon;
    int atx[4], aty[4];
};
static const generic_case generic_cases[] = {
    {"template 0", 0, false, {3, -3, 2, -2}, {-1, -1, -2, -2}},
    {"template 0, typical prediction", 0, true, {3, -3, 2, -2}, {-1, -1, -2, -2}},
    {"template 0, adaptive pixels moved", 0, false, {-5, 4, -8, 0}, {0, -3, -1, -4}},
    {"template 0, far adaptive pixels", 0, true, {-128, 127, 0, 1}, {-128, -1, -2, -3}},
    {"template 0, adaptive pixels far left in the current row", 0, false, {-32, -31, -100, 5}, {0, 0, 0, -1}},
    {"template 1", 1, false, {3}, {-1}},
    {"template 1, typical prediction, pixel moved", 1, true, {-2}, {-2}},
    {"template 2", 2, false, {2}, {-1}},
    {"template 2, typical prediction", 2, true, {2}, {-1}},
    {"template 3", 3, false, {2}, {-1}},
    {"template 3, pixel moved to the current row", 3, true, {-6}, {0}},
};

TEST(Jbig2, GenericRegions) {
    const bool oracle = have_jbig2dec();
    const int sizes[][2] = {{61, 37}, {8, 3}, {1, 1}, {200, 40}};
    for (const generic_case &c : generic_cases)
        for (const auto &sz : sizes) {
            SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(sz[0]) + "x" + std::to_string(sz[1]));
            jb2w::generic_opts o;
            o.tmpl = c.tmpl;
            o.tpgdon = c.tpgdon;
            for (int i = 0; i < 4; i++) {
                o.atx[i] = c.atx[i];
                o.aty[i] = c.aty[i];
            }
            image im = test_image(sz[0], sz[1], (uint32_t)(c.tmpl * 100 + sz[0]));
            bytes page = generic_page(im, o);
            decoded got = decode(page);
            EXPECT_EQ(0, got.rc);
            EXPECT_EQ("", differ(im, got.im));
            if (oracle) EXPECT_EQ("", differ(im, jbig2dec_page(page))) << "jbig2dec";
        }
    if (!oracle) GTEST_SKIP() << "jbig2dec not installed: checked against the source pixels only";
}

static void append(bytes &to, const bytes &b) { to.insert(to.end(), b.begin(), b.end()); }

// ---- Refinement regions, and arithmetic data that ends early ----

// A page of a generic region (a) refined by a refinement region over the whole page (b: a's
// marks moved one pixel right in the lower half, and noise). jbig2dec refines against the whole
// page, this decoder against the page under the region: the same here.
struct refined_page {
    image a, b;
    bytes generic, refinement;  // segment data; refinement: region information, flags, pixels
    size_t head;                // bytes of the refinement's data before its coded pixels
};
static refined_page refine_test_page(int tmpl, bool typical, const int *at = nullptr) {
    const int w = 120, h = 50;
    refined_page r;
    r.a = test_image(w, h, 11 + (uint32_t)tmpl);
    r.b = r.a;
    std::mt19937 rng(7);
    for (int y = h / 2; y < h; y++)
        for (int x = w - 1; x > 0; x--) r.b.set(x, y, r.a.at(x - 1, y));
    for (int k = 0; k < 60; k++) r.b.set((int)(rng() % w), (int)(rng() % h), 1);
    r.generic = jb2w::generic_region(r.a, 0, 0, 0, jb2w::usual(0));
    jb2w::refine_opts o;
    o.tmpl = tmpl;
    o.tpgron = typical;
    if (at) {
        o.atx[0] = at[0];
        o.aty[0] = at[1];
        o.atx[1] = at[2];
        o.aty[1] = at[3];
    }
    r.refinement = jb2w::refinement_region(r.b, r.a, 0, 0, jb2_op_replace, o);
    r.head = 18 + (tmpl == 0 ? 4 : 0);
    return r;
}

static bytes page_of(uint32_t w, uint32_t h, const std::vector<std::pair<int, bytes>> &regions) {
    bytes page = jb2w::segment(1, 48, 1, {}, jb2w::page_info(w, h));
    uint32_t n = 2;
    for (const auto &r : regions) append(page, jb2w::segment(n++, r.first, 1, {}, r.second));
    append(page, jb2w::segment(n, 49, 1, {}, {}));
    return page;
}

// The page holds the refined bitmap. jbig2dec decodes typical prediction of template 1 in another
// context than the reference's pixel alone (pdf.js and PDFium use that one, as this decoder and
// the test encoder do).
struct refine_case {
    const char *name;
    int tmpl;
    bool typical;
    int at[4];  // template 0: the adaptive pixel in the region, then the one in the reference
};
static const refine_case refine_cases[] = {
    {"template 0", 0, false, {-1, -1, -1, -1}},
    {"template 0, typical prediction", 0, true, {-1, -1, -1, -1}},
    {"template 0, adaptive pixels moved", 0, false, {-3, 0, 2, 1}},
    {"template 0, adaptive pixels far", 0, true, {5, -4, -9, -7}},
    {"template 1", 1, false, {}},
    {"template 1, typical prediction", 1, true, {}},
};

TEST(Jbig2, RefinementRegions) {
    const bool oracle = have_jbig2dec();
    for (const refine_case &c : refine_cases) {
        SCOPED_TRACE(c.name);
        refined_page r = refine_test_page(c.tmpl, c.typical, c.tmpl == 0 ? c.at : nullptr);
        bytes page = page_of(120, 50, {{38, r.generic}, {42, r.refinement}});
        decoded got = decode(page);
        EXPECT_EQ(0, got.rc);
        EXPECT_EQ("", differ(r.b, got.im));
        if (oracle && !(c.tmpl == 1 && c.typical)) EXPECT_EQ("", differ(r.b, jbig2dec_page(page))) << "jbig2dec";
    }
}

// A generic region, or a refinement region over a generic one, whose coded data is cut after keep
// bytes, then closed by the 0xFF 0xAC marker or not. T.88 E.3.4: from the marker on the decoder is
// fed 1 bits until the region is complete.
struct early_case {
    const char *name;
    bool refine;
    int tmpl;
    bool typical;
    size_t keep;    // coded bytes kept
    uint64_t want;  // FNV-1a of jbig2dec's page (image_hash) for the data closed by the marker
};
static const early_case early_cases[] = {
    {"generic, template 0, one byte", false, 0, false, 1, 0xacbb8a9042960384ull},
    {"generic, template 0, a tenth", false, 0, false, 40, 0x1baf618ea0fd81a1ull},
    {"generic, template 0, typical prediction, half", false, 0, true, 200, 0x27fcbc1599d09073ull},
    {"generic, template 2, a quarter", false, 2, false, 70, 0x2ac18dbed6acca04ull},
    {"generic, template 3, typical prediction, a tenth", false, 3, true, 30, 0xc1e8836a65fa070aull},
    {"refinement, template 0, one byte", true, 0, false, 1, 0x13beff607544918eull},
    {"refinement, template 0, a fifth", true, 0, false, 25, 0x7ca87b64cb47b095ull},
    {"refinement, template 0, typical prediction, half", true, 0, true, 60, 0xd7411828fb52c38full},
    {"refinement, template 1, a tenth", true, 1, false, 12, 0xbe007e9efffa1b74ull},
};

static uint64_t image_hash(const image &im) {
    uint64_t h = 0xcbf29ce484222325ull;
    auto mix = [&](uint32_t v) {
        h ^= v;
        h *= 0x100000001b3ull;
    };
    mix((uint32_t)im.w);
    mix((uint32_t)im.h);
    for (uint8_t v : im.px) mix(v);
    return h;
}

// The page of a case; coded: the bytes the whole region codes into.
static bytes early_page(const early_case &c, bool marker, size_t *coded) {
    bytes data, before;
    size_t head;
    if (c.refine) {
        refined_page r = refine_test_page(c.tmpl, c.typical);
        before = r.generic;
        data = r.refinement;
        head = r.head;
    } else {
        data = jb2w::generic_region(test_image(120, 50, 11 + (uint32_t)c.tmpl), 0, 0, 0,
                                    jb2w::usual(c.tmpl, c.typical));
        head = 18 + (c.tmpl == 0 ? 8 : 2);
    }
    *coded = data.size() - head;
    data.resize(head + c.keep);
    if (marker) {
        if (data.back() != 0xFF) data.push_back(0xFF);
        data.push_back(0xAC);
    }
    if (c.refine) return page_of(120, 50, {{38, before}, {42, data}});
    return page_of(120, 50, {{38, data}});
}

// Regions whose data ends early decode to their end as jbig2dec decodes them; data that simply
// stops decodes as if the marker stood at its end (jbig2dec feeds one 0 byte there first).
TEST(Jbig2, ArithmeticDataEndingEarly) {
    const bool oracle = have_jbig2dec();
    for (const early_case &c : early_cases) {
        SCOPED_TRACE(c.name);
        size_t coded = 0;
        bytes page = early_page(c, true, &coded);
        ASSERT_LE(c.keep * 2, coded) << "keeps at most half the data";
        decoded got = decode(page);
        EXPECT_EQ(0, got.rc);
        EXPECT_EQ(c.want, image_hash(got.im));
        if (oracle) {
            EXPECT_EQ("", differ(jbig2dec_page(page), got.im)) << "jbig2dec";
        }
        decoded open_end = decode(early_page(c, false, &coded));
        EXPECT_EQ(0, open_end.rc);
        EXPECT_EQ("", differ(got.im, open_end.im)) << "without the marker";
    }
    if (!oracle) GTEST_SKIP() << "jbig2dec not installed: checked against its recorded pages only";
}

// ---- Pages: operators, default pixel, stripes ----

// Two overlapping regions on a page of each default pixel, the second combined with each
// operator; what the page must hold is worked out pixel by pixel here.
TEST(Jbig2, CombinationOperators) {
    const bool oracle = have_jbig2dec();
    image a = test_image(30, 20, 7), b = test_image(25, 18, 8);
    for (int def = 0; def < 2; def++)
        for (int op = 0; op < 5; op++) {
            SCOPED_TRACE("default pixel " + std::to_string(def) + ", operator " + std::to_string(op));
            bytes page = jb2w::segment(1, 48, 1, {}, jb2w::page_info(40, 30, def << 2 | 64));
            append(page, jb2w::segment(2, 38, 1, {}, jb2w::generic_region(a, 2, 3, 0, jb2w::usual(0))));
            append(page, jb2w::segment(3, 39, 1, {}, jb2w::generic_region(b, 12, 9, op, jb2w::usual(1))));
            image want(40, 30);
            for (int y = 0; y < 30; y++)
                for (int x = 0; x < 40; x++) {
                    int v = def | a.at(x - 2, y - 3), s = b.at(x - 12, y - 9);
                    bool inside = x >= 12 && x < 37 && y >= 9 && y < 27;
                    if (inside) {
                        const int r[5] = {v | s, v & s, v ^ s, !(v ^ s), s};
                        v = r[op];
                    }
                    want.set(x, y, v);
                }
            decoded got = decode(page);
            EXPECT_EQ(0, got.rc);
            EXPECT_EQ("", differ(want, got.im));
            if (oracle) EXPECT_EQ("", differ(want, jbig2dec_page(page))) << "jbig2dec";
        }
}

// A page of unknown height: stripes end at the rows their end-of-stripe segments name; the image
// dictionary's size cuts the page.
TEST(Jbig2, UnknownHeightStripes) {
    image a = test_image(32, 10, 3);
    bytes page = jb2w::segment(1, 48, 1, {}, jb2w::page_info(32, 0xFFFFFFFF, 0, 0x8000 | 16));
    append(page, jb2w::segment(2, 38, 1, {}, jb2w::generic_region(a, 0, 2, 0, jb2w::usual(0))));
    append(page, jb2w::segment(3, 50, 1, {}, {0, 0, 0, 15}));  // first stripe: rows 0 to 15
    append(page, jb2w::segment(4, 38, 1, {}, jb2w::generic_region(a, 0, 18, 0, jb2w::usual(2))));
    append(page, jb2w::segment(5, 50, 1, {}, {0, 0, 0, 30}));
    image want(32, 31);
    for (int y = 0; y < 31; y++)
        for (int x = 0; x < 32; x++) want.set(x, y, a.at(x, y - 2) | a.at(x, y - 18));
    decoded got = decode(page);
    EXPECT_EQ(0, got.rc);
    EXPECT_EQ("", differ(want, got.im));
    if (have_jbig2dec()) {
        // jbig2dec ends the page below its lowest region (row 27), not at the last stripe's end:
        // the rows it has agree.
        image jd = jbig2dec_page(page), top(32, jd.h);
        for (int y = 0; y < jd.h; y++)
            for (int x = 0; x < 32; x++) top.set(x, y, want.at(x, y));
        EXPECT_EQ("", differ(top, jd)) << "jbig2dec";
    }
    decoded cut = decode(page, bytes(), 20);
    EXPECT_EQ(0, cut.rc);
    ASSERT_EQ(20, cut.im.h);  // and 20 wide
    ASSERT_EQ(20, cut.im.w);
    for (int y = 0; y < 20; y++)
        for (int x = 0; x < 20; x++) EXPECT_EQ(want.at(x, y), cut.im.at(x, y));
    // Without its end of stripe the page ends below its lowest region.
    bytes open_end(page.begin(), page.end() - 15);
    EXPECT_EQ(28, decode(open_end).im.h);
}

// ---- Symbol dictionaries and text regions from the test encoder ----

static std::vector<image> test_symbols() {
    std::vector<image> syms;
    const int sizes[][2] = {{5, 7}, {8, 7}, {3, 7}, {6, 11}, {1, 11}, {9, 4}};
    for (int k = 0; k < 6; k++) {
        image s(sizes[k][0], sizes[k][1]);
        for (int y = 0; y < s.h; y++)
            for (int x = 0; x < s.w; x++) s.set(x, y, (x * 3 + y * (k + 1)) % 5 < 2 || y == 0 || x == s.w - 1);
        syms.push_back(s);
    }
    return syms;
}

// Where an instance's top-left pixel goes, from its reference corner (s, t).
static void draw_instance(image &page, const image &sym, int s, int t, int corner, bool transposed,
                          int combop) {
    int x = transposed ? t : s, y = transposed ? s : t;
    if (corner == 2 || corner == 3) x -= sym.w - 1;  // right corners
    if (corner == 0 || corner == 2) y -= sym.h - 1;  // bottom corners
    for (int j = 0; j < sym.h; j++)
        for (int i = 0; i < sym.w; i++) {
            int px = x + i, py = y + j;
            if (px < 0 || py < 0 || px >= page.w || py >= page.h) continue;
            int d = page.at(px, py), v = sym.at(i, j);
            const int r[4] = {d | v, d & v, d ^ v, !(d ^ v)};
            page.set(px, py, r[combop]);
        }
}

struct text_case {
    const char *name;
    int corner, transposed, logstrips, dsoffset, combop, defpixel;
};
static const text_case text_cases[] = {
    {"top left", 1, 0, 0, 0, 0, 0},
    {"bottom left", 0, 0, 0, 0, 0, 0},
    {"top right", 3, 0, 0, 0, 0, 0},
    {"bottom right", 2, 0, 0, 0, 0, 0},
    {"transposed, top left", 1, 1, 0, 0, 0, 0},
    {"transposed, bottom left", 0, 1, 0, 0, 0, 0},
    {"transposed, top right", 3, 1, 0, 0, 0, 0},
    {"transposed, bottom right", 2, 1, 0, 0, 0, 0},
    {"four strips, offset -3", 1, 0, 2, -3, 0, 0},
    {"eight strips, offset 15, transposed", 0, 1, 3, 15, 0, 0},
    {"XOR onto a black region", 1, 0, 1, 2, 2, 1},
    {"AND onto a black region", 3, 0, 0, -16, 1, 1},
    {"XNOR", 2, 1, 0, 0, 3, 0},
};

// A symbol dictionary in the globals and a text region on the page: the page must hold the
// symbols where the instance list puts them.
TEST(Jbig2, TextRegions) {
    const bool oracle = have_jbig2dec();
    std::vector<image> syms = test_symbols();
    bytes globals = jb2w::segment(0, 0, 0, {}, jb2w::symbol_dictionary(syms));
    for (const text_case &c : text_cases) {
        SCOPED_TRACE(c.name);
        const int strips_n = 1 << c.logstrips;
        std::vector<jb2w::strip> strips;
        // Strip T values are multiples of the strip count; instances overlap and cross the edges.
        for (int k = 0; k < 4; k++) {
            jb2w::strip st;
            st.t = (k * 13 - 4) / strips_n * strips_n;
            int s = -3 + k;
            for (int i = 0; i < 5; i++) {
                uint32_t id = (uint32_t)((k * 5 + i) % syms.size());
                st.inst.push_back({id, s, (i * 3) % strips_n});
                s += syms[id].w - 2 + (i % 3) * 4 + (c.transposed ? syms[id].h - syms[id].w : 0);
            }
            strips.push_back(st);
        }
        jb2w::text_opts o;
        o.refcorner = c.corner;
        o.transposed = c.transposed;
        o.logstrips = c.logstrips;
        o.dsoffset = c.dsoffset;
        o.combop = c.combop;
        o.defpixel = c.defpixel;
        bytes page = jb2w::segment(1, 48, 1, {}, jb2w::page_info(60, 50));
        append(page, jb2w::segment(2, 6, 1, {0}, jb2w::text_region(syms, 56, 48, 2, 1, 0, strips, o)));
        image region(56, 48), want(60, 50);
        for (int y = 0; y < 48; y++)
            for (int x = 0; x < 56; x++) region.set(x, y, c.defpixel);
        for (const jb2w::strip &st : strips)
            for (const jb2w::instance &in : st.inst)
                draw_instance(region, syms[in.id], in.s, st.t + in.t, c.corner, c.transposed, c.combop);
        for (int y = 0; y < 48; y++)
            for (int x = 0; x < 56; x++) want.set(x + 2, y + 1, region.at(x, y));
        decoded got = decode(page, globals);
        EXPECT_EQ(0, got.rc);
        EXPECT_EQ("", differ(want, got.im));
        if (oracle) EXPECT_EQ("", differ(want, jbig2dec_page(page, globals))) << "jbig2dec";
    }
}

// ---- Damaged and hostile input ----

static bytes u32be(uint32_t v) { return {(uint8_t)(v >> 24), (uint8_t)(v >> 16), (uint8_t)(v >> 8), (uint8_t)v}; }

static bytes concat(std::initializer_list<bytes> parts) {
    bytes b;
    for (const bytes &p : parts) append(b, p);
    return b;
}

// Valid streams (page, globals) for the sweep.
static std::vector<std::pair<bytes, bytes>> sweep_streams() {
    std::vector<std::pair<bytes, bytes>> v;
    v.push_back({from_hex(pdf_example_page), from_hex(pdf_example_globals)});
    image im = test_image(24, 9, 5);
    v.push_back({generic_page(im, jb2w::usual(0, true)), {}});
    std::vector<image> syms = test_symbols();
    jb2w::text_opts o;
    o.refcorner = 2;
    o.logstrips = 1;
    bytes page = jb2w::segment(1, 48, 1, {}, jb2w::page_info(30, 20));
    append(page, jb2w::segment(2, 6, 1, {0},
                               jb2w::text_region(syms, 30, 20, 0, 0, 0,
                                                 {{0, {{1, 9, 0}, {4, 12, 1}}}, {8, {{5, 3, 0}}}}, o)));
    v.push_back({page, jb2w::segment(0, 0, 0, {}, jb2w::symbol_dictionary(syms))});
    bytes file = from_hex(std::string((const char *)read_all(fixture("annex_h.hex")).data(),
                                      read_all(fixture("annex_h.hex")).size()));
    bytes globals, page2;
    for (const seg &s : split_segments(bytes(file.begin() + 13, file.end()))) {
        if (s.page == 0) append(globals, s.raw);
        if (s.page == 2) append(page2, s.raw);  // halftone, patterns, refinement-free symbols
    }
    v.push_back({page2, globals});
    return v;
}

// Every byte of page and globals changed (all bits, then the low bit), every truncation: each
// decodes to a defined result (under the sanitizers: without a bad read).
TEST(Jbig2, MutationSweep) {
    for (const auto &sv : sweep_streams()) {
        for (int which = 0; which < 2; which++) {
            const bytes &orig = which ? sv.second : sv.first;
            for (size_t i = 0; i < orig.size(); i++)
                for (uint8_t flip : {(uint8_t)0xFF, (uint8_t)0x01, (uint8_t)0x80}) {
                    bytes m = orig;
                    m[i] ^= flip;
                    decoded d = which ? decode(sv.first, m, 64) : decode(m, sv.second, 64);
                    ASSERT_TRUE(d.rc >= -1 && d.rc <= 1);
                }
            for (size_t n = 0; n < orig.size(); n++) {
                bytes t(orig.begin(), orig.begin() + n);
                decoded d = which ? decode(sv.first, t, 64) : decode(t, sv.second, 64);
                ASSERT_TRUE(d.rc >= -1 && d.rc <= 1);
            }
        }
    }
}

static long peak_kib() {
    FILE *f = fopen("/proc/self/status", "r");
    long v = -1;
    char line[256];
    while (f && fgets(line, sizeof line, f))
        if (sscanf(line, "VmHWM: %ld", &v) == 1) break;
    if (f) fclose(f);
    return v;
}

static bytes small_page() { return jb2w::segment(1, 48, 1, {}, jb2w::page_info(16, 16)); }

// An arithmetic symbol dictionary refining the six symbols it refers to into four new symbols of
// no width and 2^32 - 1 rows (refinement template 1), the new ones exported.
static bytes empty_tall_refinements() {
    jb2w::mq_encoder e;
    jb2w::int_coder iadh, iadw, iaai, iardx, iardy, iaex;
    jb2w::id_coder iaid(4);  // 6 + 4 symbols
    iadh.encode(e, 0xFFFFFFFFll);
    for (int i = 0; i < 4; i++) {
        iadw.encode(e, 0);
        iaai.encode(e, 1);  // one instance: a refinement of ...
        iaid.encode(e, (uint32_t)i);  // ... input symbol i, in place
        iardx.encode(e, 0);
        iardy.encode(e, 0);
    }
    iadw.oob(e);
    iaex.encode(e, 6);
    iaex.encode(e, 4);
    return concat({{0x10, 0x02, 3, 0xFF, 0xFD, 0xFF, 2, 0xFE, 0xFE, 0xFE}, u32be(4), u32be(4), e.finish()});
}

struct hostile_case {
    const char *name;
    bytes page, globals;
    int32_t rc;
};

// Sizes and counts no data backs, references to nothing, to themselves and in a loop: each is
// refused or ends, fast and in little memory.
TEST(Jbig2, HostileInput) {
    const bytes region16 = jb2w::region_info(16, 16, 0, 0, 0);
    const hostile_case cases[] = {
        {"page over the pixel cap", jb2w::segment(1, 48, 1, {}, jb2w::page_info(65536, 65536)), {}, -1},
        {"page of width 0", jb2w::segment(1, 48, 1, {}, jb2w::page_info(0, 10)), {}, -1},
        {"no page information", jb2w::segment(2, 38, 1, {}, jb2w::generic_region(image(4, 4), 0, 0, 0, jb2w::usual(0))), {}, -1},
        {"region wider than the page",
         concat({small_page(), jb2w::segment(2, 38, 1, {}, concat({jb2w::region_info(0x7FFFFFFF, 16, 0, 0, 0), {0, 3, 0xFF, 0xFD, 0xFF, 2, 0xFE, 0xFE, 0xFE}}))}), {}, 1},
        {"region of unknown height and no end",
         concat({small_page(), jb2w::segment(2, 38, 1, {}, concat({jb2w::region_info(16, 0xFFFFFFFF, 0, 0, 0), {0, 3, 0xFF}}))}), {}, 1},
        {"symbol dictionary of 2^32 - 1 symbols",
         small_page(), jb2w::segment(0, 0, 0, {}, concat({{0, 0, 3, 0xFF, 0xFD, 0xFF, 2, 0xFE, 0xFE, 0xFE}, u32be(1), u32be(0xFFFFFFFF)})), 1},
        {"symbol dictionary of a million symbols and no data",
         small_page(), jb2w::segment(0, 0, 0, {}, concat({{0, 0, 3, 0xFF, 0xFD, 0xFF, 2, 0xFE, 0xFE, 0xFE}, u32be(1), u32be(1000000)})), 1},
        {"text region of 2^32 - 1 instances and no data",
         concat({small_page(), jb2w::segment(2, 6, 1, {0}, concat({region16, {0, 0}, u32be(0xFFFFFFFF)}))}),
         jb2w::segment(0, 0, 0, {}, jb2w::symbol_dictionary(test_symbols())), 1},
        {"text region referring to a missing dictionary",
         concat({small_page(), jb2w::segment(2, 6, 1, {7}, concat({region16, {0, 0}, u32be(3)}))}), {}, 1},
        {"text region referring to itself",
         concat({small_page(), jb2w::segment(2, 6, 1, {2}, concat({region16, {0, 0}, u32be(3)}))}), {}, 1},
        {"symbol dictionaries referring to each other",
         concat({small_page(), jb2w::segment(3, 0, 1, {4}, concat({{0, 0, 3, 0xFF, 0xFD, 0xFF, 2, 0xFE, 0xFE, 0xFE}, u32be(0), u32be(0)})),
                 jb2w::segment(4, 0, 1, {3}, concat({{0, 0, 3, 0xFF, 0xFD, 0xFF, 2, 0xFE, 0xFE, 0xFE}, u32be(0), u32be(0)}))}), {}, 1},
        {"refinement referring to itself",
         concat({small_page(), jb2w::segment(2, 42, 1, {2}, concat({region16, {0, 0xFF, 0xFF, 0xFF, 0xFF}}))}), {}, 1},
        {"pattern dictionary of 2^32 patterns",
         small_page(), jb2w::segment(0, 16, 0, {}, concat({{0, 4, 4}, u32be(0xFFFFFFFF)})), 1},
        {"halftone grid of 2^64 cells",
         concat({small_page(), jb2w::segment(2, 22, 1, {0}, concat({region16, {0}, u32be(0xFFFFFFFF), u32be(0xFFFFFFFF), u32be(0), u32be(0), {1, 0, 0, 0}}))}),
         jb2w::segment(0, 16, 0, {}, concat({{0, 4, 4}, u32be(3), {0xFF, 0xAC}})), 1},
        {"halftone cells all at one place, four planes of gray values past the data (two pages' worth)",
         concat({small_page(), jb2w::segment(2, 22, 1, {0}, concat({region16, {0}, u32be(16), u32be(16), u32be(0), u32be(0), {0, 0, 0, 0}}))}),
         jb2w::segment(0, 16, 0, {}, concat({{0, 4, 4}, u32be(15), {0xFF, 0xAC}})), 1},
        {"referred-to count of 2^29 in the long form",
         concat({small_page(), {0, 0, 0, 2, 6, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0}}), {}, 1},
        {"referred-to count 5 (not an encoding)", concat({small_page(), {0, 0, 0, 2, 6, 0xA0, 1, 0, 0, 0, 0}}), {}, 1},
        {"table of 2^32 lines",
         concat({small_page(), jb2w::segment(2, 53, 1, {}, concat({{0x00}, u32be(0x80000000), u32be(0x7FFFFFFF), bytes(64, 0)}))}), {}, 1},
        {"segment data past the end", concat({small_page(), {0, 0, 0, 2, 38, 0, 1, 0, 0, 1, 0}}), {}, 1},
        {"end of page, then more", concat({small_page(), jb2w::segment(2, 49, 1, {}, {}), {1, 2, 3}}), {}, 0},
        {"refined symbols of no width and 2^32 - 1 rows", small_page(),
         concat({jb2w::segment(0, 0, 0, {}, jb2w::symbol_dictionary(test_symbols())),
                 jb2w::segment(1, 0, 0, {0}, empty_tall_refinements())}), 0},
    };
    long before = peak_kib();
    for (const hostile_case &c : cases) {
        SCOPED_TRACE(c.name);
        decoded d = decode(c.page, c.globals);
        EXPECT_EQ(c.rc, d.rc);
    }
    long after = peak_kib();
    if (before > 0 && after > 0) EXPECT_LT(after - before, 200 * 1024) << "KiB of peak memory";
}

// Past its data a bitmap is decoded on with 1 bits; each row begun there is paid from the call's
// budget of pixels (jb2_mq's spare), and the bitmap stops at the first row the budget cannot pay
// for. Generic and refinement bitmaps of 64 x 64 from no data but the marker.
struct spare_case {
    const char *name;
    bool refine;
    int64_t spare;  // -1: no budget
    int rc;
};
static const spare_case spare_cases[] = {
    {"generic, no budget", false, -1, -1},
    {"generic, a budget of the bitmap", false, 64 * 64, 0},
    {"generic, ten rows", false, 640, -1},
    {"refinement, ten rows", true, 640, -1},
};

TEST(Jbig2, BitmapsPastTheirDataArePaidFor) {
    const uint8_t marker[2] = {0xFF, 0xAC};
    jb2_bitmap ref;
    ASSERT_EQ(0, jb2_bitmap_init(&ref, 64, 64, jbig2_max_pixels));
    for (uint32_t i = 0; i < ref.stride * 64; i++) ref.data[i] = (uint8_t)(i * 37);
    for (const spare_case &c : spare_cases) {
        SCOPED_TRACE(c.name);
        uint64_t spare = c.spare < 0 ? 0 : (uint64_t)c.spare;
        jb2_mq d;
        jb2_mq_init(&d, marker, 2, c.spare < 0 ? nullptr : &spare);
        std::vector<uint8_t> stats(65536);
        jb2_bitmap out;
        ASSERT_EQ(0, jb2_bitmap_init(&out, 64, 64, jbig2_max_pixels));
        int rc;
        if (c.refine) {
            jb2_refine_params rp = {1, 0, {0, 0}, {0, 0}, &ref, 0, 0};
            rc = jb2_refine_decode(&d, stats.data(), &rp, &out);
        } else {
            jb2_generic_params gp = {0, 0, 0, {3, -3, 2, -2}, {-1, -1, -2, -2}, nullptr};
            rc = jb2_generic_decode(&d, stats.data(), &gp, &out);
        }
        EXPECT_EQ(c.rc, rc);
        if (c.spare >= 0) {
            uint64_t paid = (uint64_t)c.spare - spare;
            if (rc < 0) EXPECT_LT(spare, 64u) << "stopped at a row it could not pay for";
            else EXPECT_EQ(64u * 64u, paid) << "every row";
        }
        jb2_bitmap_free(&out);
    }
    jb2_bitmap_free(&ref);
}
