// Tests of the JPEG 2000 decoder (codec/jpx). Expected samples come from the generated source
// images (lossless coding) or from OpenJPEG's opj_decompress (lossy coding), never from the
// decoder itself. Codestreams are made at test time by opj_compress from images generated here,
// into the build directory; those tests skip when libopenjp2-tools is not installed. Packed
// packet headers (PPM, PPT), which opj_compress cannot write, and reordered tile-parts are made
// by rewriting its output; JP2 boxes around a codestream are built here. Committed codestreams
// (tests/fixtures/jpx), with opj_decompress's results recorded beside them, need no outside tool.
#include "codec/jpx/jpx.h"

#include <gtest/gtest.h>

#include "tests/pdf_builder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

typedef std::vector<uint8_t> bytes;

// ---- helpers ------------------------------------------------------------------------------------

static bool have_tool(const char *name) {
    std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

// Scratch files of this process (ctest runs the cases as parallel processes): a path prefix
// under the build directory. Each helper removes the files it wrote.
static std::string work_dir() {
    std::string d = std::string(TEST_BINARY_DIR) + "/jpx_work";
    mkdir(d.c_str(), 0755);
    return d + "/" + std::to_string((long)getpid());
}

static bytes read_all(const std::string &path) {
    std::string s = read_file(path);
    return bytes(s.begin(), s.end());
}

static void write_all(const std::string &path, const bytes &b) {
    ASSERT_TRUE(write_file(path, std::string(b.begin(), b.end())));
}

// A planar image: n components of w x h samples of `bits` bits, signed or not.
struct image {
    int w = 0, h = 0, n = 0, bits = 8;
    bool sgnd = false;
    std::vector<int32_t> s;  // component-major
    int32_t at(int c, int x, int y) const { return s[((size_t)c * h + y) * w + x]; }
};

// Photo-like samples: smooth gradients and waves, edges, and some noise, from a fixed seed.
static image make_image(int w, int h, int n, int bits, bool sgnd, unsigned seed) {
    image im;
    im.w = w, im.h = h, im.n = n, im.bits = bits, im.sgnd = sgnd;
    im.s.resize((size_t)w * h * n);
    std::mt19937 rng(seed);
    double maxv = (double)((1 << bits) - 1);
    for (int c = 0; c < n; c++) {
        double fx = 0.05 + 0.03 * c, fy = 0.07 - 0.01 * c;
        for (int y = 0; y < h; y++) {
            for (int x = 0; x < w; x++) {
                double v = 0.5 + 0.25 * sin(x * fx + c) * cos(y * fy) + 0.2 * ((double)x / w - 0.5);
                if ((x / 9 + y / 7 + c) % 5 == 0) v += 0.15;
                v += ((int)(rng() % 41) - 20) / 1000.0;
                v = v < 0 ? 0 : v > 1 ? 1 : v;
                int32_t q = (int32_t)lround(v * maxv);
                if (sgnd) q -= 1 << (bits - 1);
                im.s[((size_t)c * h + y) * w + x] = q;
            }
        }
    }
    return im;
}

// Little-endian planar raw samples, as opj_compress -F reads ".rawl" files.
static bytes to_rawl(const image &im) {
    bytes b;
    for (int32_t v : im.s) {
        if (im.bits <= 8) {
            b.push_back((uint8_t)v);
        } else {
            b.push_back((uint8_t)v);
            b.push_back((uint8_t)((uint32_t)v >> 8));
        }
    }
    return b;
}

// opj_compress on im with options; the codestream (.j2k) or JP2 file (.jp2) bytes, empty on failure.
static bytes opj_encode(const image &im, const std::string &opts, const std::string &ext,
                        const std::string &sub = "", const bytes *raw = nullptr) {
    std::string d = work_dir();
    std::string src = d + "-src.rawl", out = d + "-enc." + ext;
    write_all(src, raw ? *raw : to_rawl(im));
    remove(out.c_str());
    char fmt[128];
    snprintf(fmt, sizeof fmt, "%d,%d,%d,%d,%c", im.w, im.h, im.n, im.bits, im.sgnd ? 's' : 'u');
    std::string cmd = "opj_compress -i " + src + " -o " + out + " -F " + fmt + sub + " " + opts +
                      " >/dev/null 2>&1";
    int rc = system(cmd.c_str());
    bytes b = rc == 0 ? read_all(out) : bytes();
    remove(src.c_str());
    remove(out.c_str());
    return b;
}

// Samples of opj_decompress's ".rawl" output (little-endian planar, one byte a sample up to 8
// bits, else two; signed ones in two's complement of that width) into out, shaped like `like`.
static bool from_rawl(const bytes &b, const image &like, image *out) {
    *out = like;
    size_t per = like.bits <= 8 ? 1 : 2;
    if (b.size() != out->s.size() * per) return false;
    for (size_t i = 0; i < out->s.size(); i++) {
        uint32_t v = per == 1 ? b[i] : (uint32_t)b[2 * i] | (uint32_t)b[2 * i + 1] << 8;
        int32_t s = (int32_t)v;
        if (like.sgnd && (v >> (like.bits - 1)) & 1) s -= 1 << like.bits;
        out->s[i] = s;
    }
    return true;
}

// opj_decompress of data into planar samples (same layout as image; equal-sized components).
static bool opj_decode(const bytes &data, const image &like, const std::string &ext, image *out,
                       const char *opts = "") {
    std::string d = work_dir();
    std::string in = d + "-dec." + ext, raw = d + "-dec.rawl";
    write_all(in, data);
    remove(raw.c_str());
    std::string cmd = "opj_decompress -i " + in + " -o " + raw + " " + opts + " >/dev/null 2>&1";
    int rc = system(cmd.c_str());
    bytes b = read_all(raw);
    remove(in.c_str());
    remove(raw.c_str());
    return rc == 0 && from_rawl(b, like, out);
}

struct diff_count {
    int64_t max = 0, exact = 0, total = 0;
};

// Our planes (full resolution) against im, sample by sample; component c of im subsampled by
// (dx[c], dy[c]) is compared at its repeated positions.
static diff_count compare(const jpx_image &img, const image &im, const int *dx = nullptr,
                          const int *dy = nullptr) {
    diff_count d;
    for (int c = 0; c < im.n; c++) {
        int sx = dx ? dx[c] : 1, sy = dy ? dy[c] : 1;
        for (uint32_t y = 0; y < img.height; y++) {
            for (uint32_t x = 0; x < img.width; x++) {
                int32_t want = im.at(c, (int)x / sx, (int)y / sy);
                int64_t e = std::llabs((int64_t)img.planes[c].data[(size_t)y * img.width + x] - want);
                d.max = std::max(d.max, e);
                d.exact += e == 0;
                d.total++;
            }
        }
    }
    return d;
}

// Decodes data and expects exactly want's samples and the given truncated flag.
static void expect_decodes_to(const bytes &data, const image &want, int truncated = 0) {
    jpx_image img;
    ASSERT_EQ(0, jpx_decode(data.data(), data.size(), &img));
    EXPECT_EQ(truncated, img.truncated);
    ASSERT_EQ(want.n, img.nplanes);
    EXPECT_EQ(0, compare(img, want).max);
    jpx_image_free(&img);
}

static uint32_t be32(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}
static void put16(bytes &b, uint32_t v) {
    b.push_back((uint8_t)(v >> 8));
    b.push_back((uint8_t)v);
}
static void put32(bytes &b, uint32_t v) {
    put16(b, v >> 16);
    put16(b, v & 0xFFFF);
}

#define NEED_OPJ()                                                                      \
    do {                                                                                \
        if (!have_tool("opj_compress") || !have_tool("opj_decompress"))                 \
            GTEST_SKIP() << "needs opj_compress and opj_decompress (libopenjp2-tools)"; \
    } while (0)

// ---- the 8-bit rule -----------------------------------------------------------------------------

struct rule_case {
    int32_t v, prec, sgnd;
    uint8_t want;
};
static const rule_case rule_cases[] = {
    {0, 1, 0, 0},       {1, 1, 0, 255},     {1, 2, 0, 85},      {2, 2, 0, 170},
    {7, 4, 0, 119},     {8, 4, 0, 136},     {200, 8, 0, 200},   {4095, 12, 0, 255},
    {2048, 12, 0, 128}, {65535, 16, 0, 255}, {256, 16, 0, 1},   {-128, 8, 1, 0},
    {127, 8, 1, 255},   {0, 8, 1, 128},     {-2048, 12, 1, 0},  {-1, 1, 1, 0},
    {300, 8, 0, 255},   {-5, 4, 0, 0},      // out of range: clamped
};
TEST(JpxEightBit, Rule) {
    for (const rule_case &c : rule_cases) {
        SCOPED_TRACE(testing::Message() << c.v << " at " << c.prec << (c.sgnd ? " signed" : ""));
        EXPECT_EQ(c.want, jpx_sample_8bit(c.v, c.prec, c.sgnd));
    }
}

// ---- hand-built codestreams: header checks --------------------------------------------------------

// A codestream with every main-header field settable, one tile-part holding empty packets.
struct cs_params {
    uint32_t w = 8, h = 8, x0 = 0, y0 = 0, tw = 0, th = 0, tx0 = 0, ty0 = 0;
    uint32_t ncomps = 1, prec = 8, sgnd = 0, dx = 1, dy = 1;
    uint32_t levels = 0, cbw = 4, cbh = 4, prog = 0, layers = 1, transform = 1;
    int32_t precinct = -1;  // the one precinct byte for every resolution, -1: none given
    bool cod = true;
    int empty_packets = 1;  // bytes of 0 after SOD
};

static bytes make_codestream(const cs_params &p) {
    bytes b = {0xFF, 0x4F, 0xFF, 0x51};
    put16(b, 38 + 3 * p.ncomps);
    put16(b, 0);
    put32(b, p.w), put32(b, p.h), put32(b, p.x0), put32(b, p.y0);
    put32(b, p.tw ? p.tw : p.w), put32(b, p.th ? p.th : p.h), put32(b, p.tx0), put32(b, p.ty0);
    put16(b, p.ncomps);
    for (uint32_t c = 0; c < p.ncomps; c++) {
        b.push_back((uint8_t)((p.prec - 1) | (p.sgnd << 7)));
        b.push_back((uint8_t)p.dx);
        b.push_back((uint8_t)p.dy);
    }
    if (p.cod) {
        uint32_t np = p.precinct >= 0 ? p.levels + 1 : 0;
        b.push_back(0xFF), b.push_back(0x52);
        put16(b, 12 + np);
        b.push_back(p.precinct >= 0 ? 1 : 0);  // Scod
        b.push_back((uint8_t)p.prog);
        put16(b, p.layers);
        b.push_back(0);  // no component transform
        b.push_back((uint8_t)p.levels);
        b.push_back((uint8_t)(p.cbw - 2)), b.push_back((uint8_t)(p.cbh - 2));
        b.push_back(0);  // code-block style
        b.push_back((uint8_t)p.transform);
        for (uint32_t i = 0; i < np; i++) b.push_back((uint8_t)p.precinct);
    }
    uint32_t nbands = 3 * p.levels + 1;  // QCD: no quantisation, exponent 9 for every band
    b.push_back(0xFF), b.push_back(0x5C);
    put16(b, 3 + nbands);
    b.push_back(2 << 5);
    for (uint32_t i = 0; i < nbands; i++) b.push_back(9 << 3);
    bytes tp = {0xFF, 0x93};
    for (int i = 0; i < p.empty_packets; i++) tp.push_back(0);
    b.push_back(0xFF), b.push_back(0x90);
    put16(b, 10), put16(b, 0);
    put32(b, 12 + (uint32_t)tp.size());
    b.push_back(0), b.push_back(1);
    b.insert(b.end(), tp.begin(), tp.end());
    b.push_back(0xFF), b.push_back(0xD9);
    return b;
}

struct header_case {
    const char *name;
    void (*set)(cs_params &);
    int want;
};
static const header_case header_cases[] = {
    {"valid", [](cs_params &) {}, 0},
    {"1-bit samples", [](cs_params &p) { p.prec = 1; }, 0},
    {"no components", [](cs_params &p) { p.ncomps = 0; }, -1},
    {"16385 components", [](cs_params &p) { p.ncomps = 16385, p.w = p.h = 1; }, -1},
    {"17-bit precision", [](cs_params &p) { p.prec = 17; }, -1},
    {"38-bit precision", [](cs_params &p) { p.prec = 38; }, -1},
    {"subsampling 0", [](cs_params &p) { p.dx = 0; }, -1},
    {"origin at the width", [](cs_params &p) { p.x0 = 8; }, -1},
    {"tile origin past image origin", [](cs_params &p) { p.x0 = 2, p.tx0 = 3; }, -1},
    {"first tile outside the image", [](cs_params &p) { p.x0 = 6, p.tw = 4, p.tx0 = 0; }, -1},
    {"65536 tiles", [](cs_params &p) { p.w = 256, p.h = 256, p.tw = p.th = 1; }, -1},
    {"65025 tiles", [](cs_params &p) { p.w = 255, p.h = 255, p.tw = p.th = 1; }, 0},
    {"33 levels", [](cs_params &p) { p.levels = 33; }, -1},
    {"32 levels", [](cs_params &p) { p.levels = 32; }, 0},
    {"code-block width 2^11", [](cs_params &p) { p.cbw = 11, p.cbh = 2; }, -1},
    {"code-block area 2^13", [](cs_params &p) { p.cbw = 7, p.cbh = 6; }, -1},
    {"progression order 5", [](cs_params &p) { p.prog = 5; }, -1},
    {"zero layers", [](cs_params &p) { p.layers = 0; }, -1},
    {"wavelet kernel 2", [](cs_params &p) { p.transform = 2; }, -1},
    {"precinct 2^0 above resolution 0", [](cs_params &p) { p.levels = 1, p.precinct = 0; }, -1},
    {"no COD", [](cs_params &p) { p.cod = false; }, -1},
    {"2^30 samples and more", [](cs_params &p) { p.w = 65536, p.h = 16384, p.ncomps = 2; }, -1},
    // 1 x 1 precincts make one code-block per sample: 2^24 of them, above the per-tile cap.
    {"2^24 code-blocks in a tile", [](cs_params &p) { p.w = p.h = 4096, p.levels = 1, p.precinct = 0x11; }, -1},
};
TEST(JpxHeader, ChecksAndCaps) {
    for (const header_case &c : header_cases) {
        SCOPED_TRACE(c.name);
        cs_params p;
        c.set(p);
        bytes cs = make_codestream(p);
        jpx_image img;
        EXPECT_EQ(c.want, jpx_decode(cs.data(), cs.size(), &img));
        if (c.want == 0) {
            // Empty packets: every coefficient zero, so every sample the level-shifted zero.
            ASSERT_EQ(1, img.nplanes);
            EXPECT_EQ(1 << (p.prec - 1), img.planes[0].data[0]);
            EXPECT_EQ(1 << (p.prec - 1), img.planes[0].data[(size_t)img.width * img.height - 1]);
        } else {
            EXPECT_EQ(nullptr, img.planes);
        }
        jpx_image_free(&img);
    }
}

TEST(JpxHeader, ReadHeaderAllocatesNoSamples) {
    cs_params p;
    p.w = 60000, p.h = 10000, p.ncomps = 1, p.prec = 12, p.sgnd = 1;  // 2.4 GB of planes
    bytes cs = make_codestream(p);
    jpx_image img;
    ASSERT_EQ(0, jpx_read_header(cs.data(), cs.size(), &img));
    EXPECT_EQ(60000u, img.width);
    EXPECT_EQ(10000u, img.height);
    ASSERT_EQ(1, img.nplanes);
    EXPECT_EQ(nullptr, img.planes[0].data);
    EXPECT_EQ(12, img.planes[0].precision);
    EXPECT_EQ(1, img.planes[0].is_signed);
    jpx_image_free(&img);
    jpx_image_free(&img);  // harmless twice
}

// A tile without any tile-part, and a codestream without its EOC: decoded, flagged truncated.
TEST(JpxHeader, MissingTileIsLevelShiftedZero) {
    cs_params p;
    p.w = 16, p.tw = 8;  // two tiles, only the first has data
    bytes cs = make_codestream(p);
    jpx_image img;
    ASSERT_EQ(0, jpx_decode(cs.data(), cs.size(), &img));
    EXPECT_EQ(1, img.truncated);
    EXPECT_EQ(128, img.planes[0].data[15]);
    jpx_image_free(&img);
}

// ---- against the source and opj_decompress -------------------------------------------------------

struct opj_case {
    const char *opts;
    int w, h, n, bits;
    bool sgnd;
    bool lossy;  // compare with opj_decompress within 1, else with the source exactly
};
static const opj_case opj_cases[] = {
    {"", 97, 75, 1, 8, false, false},
    {"-n 1", 33, 21, 1, 8, false, false},
    {"-p RLCP -n 4", 61, 47, 3, 8, false, false},
    {"-p RPCL -n 4 -c [32,32],[16,16],[8,8]", 61, 47, 3, 8, false, false},
    {"-p PCRL -n 3 -c [16,16]", 61, 47, 3, 8, false, false},
    {"-p CPRL -n 3 -c [32,16]", 61, 47, 3, 8, false, false},
    {"-t 32,24 -n 3", 77, 53, 3, 8, false, false},
    {"-t 17,23 -n 2 -p PCRL", 77, 53, 1, 8, false, false},
    {"-t 20,20 -n 3 -TP R -p RPCL", 77, 53, 3, 8, false, false},
    {"-TP C -p CPRL -n 3", 45, 37, 3, 8, false, false},
    {"-b 8,8 -n 3", 40, 40, 1, 8, false, false},
    {"-b 64,16 -n 3", 90, 40, 1, 8, false, false},
    {"-b 4,4 -n 1", 19, 13, 1, 8, false, false},
    {"-M 1 -n 3", 70, 50, 1, 8, false, false},
    {"-M 2 -n 3", 70, 50, 1, 8, false, false},
    {"-M 4 -n 3", 70, 50, 1, 8, false, false},
    {"-M 8 -n 3", 70, 50, 1, 8, false, false},
    {"-M 16 -n 3", 70, 50, 1, 8, false, false},
    {"-M 32 -n 3", 70, 50, 1, 8, false, false},
    {"-M 5 -n 3", 70, 50, 1, 8, false, false},
    {"-M 63 -n 3 -p PCRL -c [16,16] -t 40,30", 70, 50, 3, 8, false, false},
    {"-M 63 -n 3 -I -r 8", 70, 50, 3, 8, false, true},
    {"-r 40,20,10,1 -n 3", 70, 50, 3, 8, false, false},
    {"-r 40,20,10,1 -p LRCP -n 3 -SOP -EPH", 70, 50, 3, 8, false, false},
    {"-SOP -EPH -n 3 -t 32,32", 70, 50, 3, 8, false, false},
    {"-POC T1=0,0,1,4,3,CPRL/T1=0,0,1,4,3,LRCP -n 3", 70, 50, 3, 8, false, false},
    {"-POC T0=0,0,1,2,2,RLCP/T0=0,0,1,4,3,PCRL -r 20,1 -n 3", 70, 50, 3, 8, false, false},
    {"-d 7,5 -n 3", 70, 50, 3, 8, false, false},
    {"-d 13,3 -t 24,24 -n 3 -p RPCL", 70, 50, 1, 8, false, false},
    {"-ROI c=0,U=0 -n 3", 70, 50, 1, 8, false, false},
    {"-ROI c=1,U=0 -n 3 -I -r 6", 70, 50, 3, 8, false, true},
    {"-n 3", 41, 31, 1, 16, false, false},
    {"-n 3", 41, 31, 3, 12, false, false},
    {"-n 3", 41, 31, 2, 8, false, false},
    {"-n 3", 41, 31, 4, 8, false, false},
    {"-n 3", 41, 31, 1, 8, true, false},
    {"-n 3", 41, 31, 3, 12, true, false},
    {"-n 3", 41, 31, 1, 2, false, false},
    {"-n 3", 41, 31, 1, 4, false, false},
    {"-n 3 -I", 97, 75, 1, 8, false, true},
    {"-n 5 -I -q 35", 97, 75, 3, 8, false, true},
    {"-n 3 -I -r 10", 61, 47, 3, 12, false, true},
    {"-n 3 -I -r 5", 61, 47, 1, 16, false, true},
    {"-n 3 -I -r 4", 61, 47, 1, 8, true, true},
    {"-n 4 -I -r 30,10,1 -p RPCL", 61, 47, 4, 8, false, true},
    {"-n 3 -I -mct 0 -r 8", 61, 47, 3, 8, false, true},
    {"-n 2 -I -b 8,8 -c [16,16] -r 6 -t 30,30", 61, 47, 3, 8, false, true},
};

static std::string case_name(const opj_case &c) {
    char b[256];
    snprintf(b, sizeof b, "\"%s\" %dx%d, %d x %d bits%s", c.opts, c.w, c.h, c.n, c.bits,
             c.sgnd ? " signed" : "");
    return b;
}

TEST(JpxOracle, OpenJpegOptions) {
    NEED_OPJ();
    int64_t lossy_exact = 0, lossy_total = 0;
    unsigned seed = 1;
    for (const opj_case &c : opj_cases) {
        SCOPED_TRACE(case_name(c));
        image im = make_image(c.w, c.h, c.n, c.bits, c.sgnd, seed++);
        bytes cs = opj_encode(im, c.opts, "j2k");
        ASSERT_FALSE(cs.empty()) << "opj_compress refused the options";
        jpx_image img;
        ASSERT_EQ(0, jpx_decode(cs.data(), cs.size(), &img));
        EXPECT_EQ(0, img.truncated);
        ASSERT_EQ(c.n, img.nplanes);
        EXPECT_EQ(c.n, img.ncolour);
        EXPECT_EQ((uint32_t)c.w, img.width);
        EXPECT_EQ((uint32_t)c.h, img.height);
        EXPECT_EQ(c.bits, img.planes[0].precision);
        EXPECT_EQ(c.sgnd ? 1 : 0, img.planes[0].is_signed);
        image want = im;
        if (c.lossy) ASSERT_TRUE(opj_decode(cs, im, "j2k", &want));
        diff_count d = compare(img, want);
        EXPECT_LE(d.max, c.lossy ? 1 : 0);
        if (c.lossy) lossy_exact += d.exact, lossy_total += d.total;
        jpx_image_free(&img);
    }
    printf("lossy cases: %lld of %lld samples equal to opj_decompress's, the rest within 1\n",
           (long long)lossy_exact, (long long)lossy_total);
}

// Components subsampled on the reference grid come back repeated to the full resolution, as
// opj_decompress -upsample gives them. (Three components with the second subsampled across would
// be taken for YCbCr by opj_decompress and converted, so those cases use other counts.)
TEST(JpxOracle, SubsampledComponents) {
    NEED_OPJ();
    struct sub_case {
        int n;
        const char *sub;
    };
    static const sub_case cases[] = {
        {2, "@1x1:2x2"}, {4, "@1x1:2x2:2x2:1x1"}, {3, "@1x1:1x2:3x3"}, {4, "@2x1:1x1:4x4:3x2"},
    };
    for (const sub_case &c : cases) {
        SCOPED_TRACE(c.sub);
        image im = make_image(47, 35, c.n, 8, false, 5);
        bytes raw = to_rawl(im);  // longer than the subsampled components need
        bytes cs = opj_encode(im, "-n 3 -mct 0", "j2k", c.sub, &raw);
        ASSERT_FALSE(cs.empty());
        image want;
        ASSERT_TRUE(opj_decode(cs, im, "j2k", &want, "-upsample"));
        expect_decodes_to(cs, want);
    }
}

// ---- committed codestreams: checked where the outside tools are absent ---------------------------

// tests/fixtures/jpx/ (make_fixtures.py there): codestreams opj_compress made once from generated
// images, and cases.txt, per file, its shape and the FNV-1a 64 hash of opj_decompress's samples
// (lossless: also the source's, equal); the lossy ones' samples themselves in NAME.opj.
struct fixture_case {
    const char *file, *covers;
};
static const fixture_case fixture_cases[] = {
    {"l-default.j2k", "5/3, three levels"},
    {"l-bypass.j2k", "arithmetic coding bypass"},
    {"l-reset.j2k", "context reset"},
    {"l-termall.j2k", "termination on each pass"},
    {"l-causal.j2k", "vertically causal context"},
    {"l-erterm.j2k", "predictable termination"},
    {"l-segsym.j2k", "segmentation symbols"},
    {"l-all-styles.j2k", "every style, 8x8 code-blocks, RCT"},
    {"l-rpcl-precincts.j2k", "RPCL, precincts"},
    {"l-pcrl-tiles.j2k", "PCRL, tiles, tile-parts by resolution"},
    {"l-cprl-layers-sop.j2k", "CPRL, three layers, SOP and EPH, reset, termination and segmentation symbols"},
    {"l-rlcp-blocks.j2k", "RLCP, 4x16 code-blocks"},
    {"l-rgb12.j2k", "12 bits, reset and causal"},
    {"l-gray16.j2k", "16 bits"},
    {"l-signed8.j2k", "signed 8 bits, termination on each pass"},
    {"l-signed12.j2k", "signed 12 bits, no component transform"},
    {"l-index4.j2k", "4 bits (the index image of jpx_image_test)"},
    {"q-default.j2k", "9/7"},
    {"q-bypass.j2k", "9/7, bypass"},
    {"q-reset.j2k", "9/7, context reset"},
    {"q-termall.j2k", "9/7, termination on each pass"},
    {"q-causal.j2k", "9/7, vertically causal context"},
    {"q-erterm.j2k", "9/7, predictable termination"},
    {"q-segsym.j2k", "9/7, segmentation symbols"},
    {"q-all-styles.j2k", "9/7, every style, RPCL, precincts, ICT"},
    {"q-rgb-layers.j2k", "9/7, LRCP, three layers"},
    {"q-rgb12-tiles.j2k", "9/7, 12 bits, PCRL, tiles"},
    {"q-gray16.j2k", "9/7, 16 bits, bypass"},
    {"q-signed8.j2k", "9/7, signed"},
};

struct fixture_line {
    image shape;  // w, h, n, bits, sgnd; s sized, zero
    bool near = false;
    std::string source, opj;  // the hashes, 16 hex digits ("-": none)
};

// cases.txt: NAME W H COMPONENTS BITS u|s exact|near SOURCE OPJ OPTIONS..., "#" lines skipped.
static std::map<std::string, fixture_line> read_cases(const std::string &path) {
    std::map<std::string, fixture_line> m;
    std::istringstream in(read_file(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream f(line);
        std::string name, sgnd, kind;
        fixture_line l;
        f >> name >> l.shape.w >> l.shape.h >> l.shape.n >> l.shape.bits >> sgnd >> kind >> l.source >> l.opj;
        l.shape.sgnd = sgnd == "s";
        l.near = kind == "near";
        l.shape.s.assign((size_t)l.shape.w * l.shape.h * l.shape.n, 0);
        m[name] = l;
    }
    return m;
}

// FNV-1a 64 over samples as 4-byte little-endian integers, continuing from h.
static uint64_t fnv64(const int32_t *v, size_t n, uint64_t h = 0xCBF29CE484222325ull) {
    for (size_t i = 0; i < n; i++)
        for (int k = 0; k < 4; k++) h = (h ^ (((uint32_t)v[i] >> (8 * k)) & 0xFF)) * 0x100000001B3ull;
    return h;
}
static std::string hex64(uint64_t h) {
    char b[17];
    snprintf(b, sizeof b, "%016llx", (unsigned long long)h);
    return b;
}

TEST(JpxFixtures, CommittedCodestreams) {
    std::string dir = std::string(TEST_SOURCE_DIR) + "/fixtures/jpx/";
    std::map<std::string, fixture_line> cases = read_cases(dir + "cases.txt");
    ASSERT_EQ(sizeof fixture_cases / sizeof fixture_cases[0], cases.size())
        << "a case here per line of cases.txt";
    int64_t exact = 0, total = 0;
    for (const fixture_case &c : fixture_cases) {
        SCOPED_TRACE(std::string(c.file) + ": " + c.covers);
        ASSERT_EQ(1u, cases.count(c.file));
        const fixture_line &m = cases[c.file];
        bytes cs = read_all(dir + c.file);
        ASSERT_FALSE(cs.empty());
        jpx_image img;
        ASSERT_EQ(0, jpx_decode(cs.data(), cs.size(), &img));
        EXPECT_EQ(0, img.truncated);
        ASSERT_EQ(m.shape.n, img.nplanes);
        ASSERT_EQ((uint32_t)m.shape.w, img.width);
        ASSERT_EQ((uint32_t)m.shape.h, img.height);
        EXPECT_EQ(m.shape.bits, img.planes[0].precision);
        EXPECT_EQ(m.shape.sgnd ? 1 : 0, img.planes[0].is_signed);
        if (!m.near) {
            EXPECT_EQ(m.source, m.opj);
            uint64_t h = 0xCBF29CE484222325ull;
            for (int k = 0; k < img.nplanes; k++)
                h = fnv64(img.planes[k].data, (size_t)img.width * img.height, h);
            EXPECT_EQ(m.opj, hex64(h));
        } else {
            std::string opj = dir + std::string(c.file).substr(0, strlen(c.file) - 4) + ".opj";
            image want;
            ASSERT_TRUE(from_rawl(read_all(opj), m.shape, &want)) << opj;
            ASSERT_EQ(m.opj, hex64(fnv64(want.s.data(), want.s.size())))
                << "the .opj file is what cases.txt records";
            diff_count d = compare(img, want);
            EXPECT_LE(d.max, 1);
            exact += d.exact, total += d.total;
        }
        jpx_image_free(&img);
    }
    printf("lossy fixtures: %lld of %lld samples equal to opj_decompress's, the rest within 1\n",
           (long long)exact, (long long)total);
}

// ---- rewritten codestreams: packed headers, tile-part order, truncation -----------------------

// The tile-parts of a codestream: [start of SOT, end of its data) each, and where they start.
struct tileparts {
    size_t first_sot = 0;
    std::vector<std::pair<size_t, size_t>> parts;
};
static tileparts find_tileparts(const bytes &cs) {
    tileparts t;
    size_t p = 2;
    while (p + 4 <= cs.size() && !(cs[p] == 0xFF && cs[p + 1] == 0x90))
        p += 2 + ((size_t)cs[p + 2] << 8 | cs[p + 3]);
    t.first_sot = p;
    while (p + 12 <= cs.size() && cs[p] == 0xFF && cs[p + 1] == 0x90) {
        size_t len = be32(&cs[p + 6]);
        t.parts.push_back({p, p + len});
        p += len;
    }
    return t;
}

// Moves the packet headers of a one-tile-part codestream written with SOP and EPH markers into
// PPT (ppm false) or PPM segments of at most seg bytes. Each header runs from after its SOP to
// its EPH (a header holds no 0xFF 0x92), the body from there to the next SOP.
static bytes pack_headers(const bytes &cs, bool ppm, size_t seg) {
    tileparts t = find_tileparts(cs);
    if (t.parts.size() != 1) return bytes();
    size_t sot = t.parts[0].first, end = t.parts[0].second;
    size_t sod = sot + 12;
    while (!(cs[sod] == 0xFF && cs[sod + 1] == 0x93)) sod += 2 + ((size_t)cs[sod + 2] << 8 | cs[sod + 3]);
    bytes headers, bodies;
    size_t p = sod + 2;
    while (p < end) {
        if (!(cs[p] == 0xFF && cs[p + 1] == 0x91)) return bytes();
        bodies.insert(bodies.end(), cs.begin() + (long)p, cs.begin() + (long)p + 6);
        p += 6;
        size_t q = p;
        while (!(cs[q] == 0xFF && cs[q + 1] == 0x92)) q++;
        headers.insert(headers.end(), cs.begin() + (long)p, cs.begin() + (long)q + 2);
        p = q + 2;
        q = p;
        while (q < end && !(q + 1 < end && cs[q] == 0xFF && cs[q + 1] == 0x91)) q++;
        bodies.insert(bodies.end(), cs.begin() + (long)p, cs.begin() + (long)q);
        p = q;
    }
    bytes packed;  // marker segments of Nppm + headers (PPM) or the headers (PPT)
    if (ppm) put32(packed, (uint32_t)headers.size());
    packed.insert(packed.end(), headers.begin(), headers.end());
    bytes segs;
    for (size_t i = 0, z = 0; i < packed.size(); i += seg, z++) {
        size_t n = std::min(seg, packed.size() - i);
        segs.push_back(0xFF), segs.push_back(ppm ? 0x60 : 0x61);
        put16(segs, (uint32_t)(3 + n));
        segs.push_back((uint8_t)z);
        segs.insert(segs.end(), packed.begin() + (long)i, packed.begin() + (long)(i + n));
    }
    bytes out(cs.begin(), cs.begin() + (long)t.first_sot);
    if (ppm) out.insert(out.end(), segs.begin(), segs.end());
    bytes tp(cs.begin() + (long)sot, cs.begin() + (long)sod);
    if (!ppm) tp.insert(tp.end(), segs.begin(), segs.end());
    tp.push_back(0xFF), tp.push_back(0x93);
    tp.insert(tp.end(), bodies.begin(), bodies.end());
    uint32_t psot = (uint32_t)tp.size();
    tp[6] = (uint8_t)(psot >> 24), tp[7] = (uint8_t)(psot >> 16), tp[8] = (uint8_t)(psot >> 8), tp[9] = (uint8_t)psot;
    out.insert(out.end(), tp.begin(), tp.end());
    out.push_back(0xFF), out.push_back(0xD9);
    return out;
}

// The tile-parts in another order (any order is allowed across tiles; parts of one tile are put
// back in their index order).
static bytes reorder_tileparts(const bytes &cs, bool reverse) {
    tileparts t = find_tileparts(cs);
    std::vector<size_t> order;
    for (size_t i = 0; i < t.parts.size(); i++) order.push_back(reverse ? t.parts.size() - 1 - i : i);
    if (!reverse) std::stable_partition(order.begin(), order.end(), [](size_t i) { return i % 2 == 1; });
    bytes out(cs.begin(), cs.begin() + (long)t.first_sot);
    for (size_t i : order)
        out.insert(out.end(), cs.begin() + (long)t.parts[i].first, cs.begin() + (long)t.parts[i].second);
    out.push_back(0xFF), out.push_back(0xD9);
    return out;
}

struct rewrite_case {
    const char *name;
    const char *opts;
    bytes (*rewrite)(const bytes &cs);
};
static const char *const sop_eph = "-n 3 -SOP -EPH -r 20,5,1 -p RPCL -c [32,32],[16,16]";
static const char *const tile_parts = "-n 2 -t 16,16 -TP R -p RPCL";
static const rewrite_case rewrite_cases[] = {
    {"PPT, one segment", sop_eph, [](const bytes &cs) { return pack_headers(cs, false, 60000); }},
    {"PPT, 50-byte segments", sop_eph, [](const bytes &cs) { return pack_headers(cs, false, 50); }},
    {"PPM, one segment", sop_eph, [](const bytes &cs) { return pack_headers(cs, true, 60000); }},
    {"PPM, 37-byte segments", sop_eph, [](const bytes &cs) { return pack_headers(cs, true, 37); }},
    {"tile-parts reversed", tile_parts, [](const bytes &cs) { return reorder_tileparts(cs, true); }},
    {"odd tile-parts first", tile_parts, [](const bytes &cs) { return reorder_tileparts(cs, false); }},
};

// Packed packet headers, which opj_compress cannot write, and tile-parts in another order: the
// rewritten codestream decodes to the source.
TEST(JpxRewritten, PackedHeadersAndTilePartOrder) {
    NEED_OPJ();
    image im = make_image(64, 48, 3, 8, false, 9);
    for (const rewrite_case &c : rewrite_cases) {
        SCOPED_TRACE(c.name);
        bytes cs = opj_encode(im, c.opts, "j2k");
        ASSERT_FALSE(cs.empty());
        bytes out = c.rewrite(cs);
        ASSERT_FALSE(out.empty());
        ASSERT_NE(cs, out);
        expect_decodes_to(out, im);
    }
}

// Cut short, a layered codestream decodes what is there: the image gets closer to the source as
// more of it is kept, and is flagged truncated.
TEST(JpxRewritten, TruncatedDecodesWhatIsThere) {
    NEED_OPJ();
    image im = make_image(96, 64, 1, 8, false, 13);
    bytes cs = opj_encode(im, "-n 4 -r 80,40,20,10,1", "j2k");
    ASSERT_FALSE(cs.empty());
    double last = 1e30;
    for (int keep : {15, 30, 50, 75, 100}) {
        SCOPED_TRACE(keep);
        size_t n = keep == 100 ? cs.size() : cs.size() * (size_t)keep / 100;
        jpx_image img;
        ASSERT_EQ(0, jpx_decode(cs.data(), n, &img));
        EXPECT_EQ(keep < 100 ? 1 : 0, img.truncated);
        double err = 0;
        for (size_t i = 0; i < im.s.size(); i++) err += fabs((double)img.planes[0].data[i] - im.s[i]);
        EXPECT_LE(err, last);
        last = err;
        jpx_image_free(&img);
    }
    EXPECT_EQ(0, last);
}

// ---- JP2 boxes ----------------------------------------------------------------------------------

static bytes box(const char *type, const bytes &body, bool xl = false) {
    bytes b;
    if (xl) {
        put32(b, 1);
        b.insert(b.end(), type, type + 4);
        put32(b, 0), put32(b, (uint32_t)(16 + body.size()));
    } else {
        put32(b, (uint32_t)(8 + body.size()));
        b.insert(b.end(), type, type + 4);
    }
    b.insert(b.end(), body.begin(), body.end());
    return b;
}
static bytes cat(std::initializer_list<bytes> parts) {
    bytes b;
    for (const bytes &p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}
static bytes colr_enum(uint32_t cs) {
    bytes b = {1, 0, 0};
    put32(b, cs);
    return box("colr", b);
}
static bytes jp2_file(const bytes &codestream, const bytes &header, bool xl = false) {
    bytes ihdr;
    put32(ihdr, 1), put32(ihdr, 1), put16(ihdr, 1);
    ihdr.insert(ihdr.end(), {7, 7, 0, 0});
    return cat({box("jP  ", {0x0D, 0x0A, 0x87, 0x0A}), box("ftyp", {'j', 'p', '2', ' ', 0, 0, 0, 0}),
                box("uuid", bytes(20, 0x5A)), box("jp2h", cat({box("ihdr", ihdr), header})),
                box("jp2c", codestream, xl)});
}

TEST(JpxBoxes, ColourPaletteChannels) {
    NEED_OPJ();
    image gray = make_image(24, 16, 1, 8, false, 21);
    image rgba = make_image(24, 16, 4, 8, false, 22);
    bytes g = opj_encode(gray, "-n 2", "j2k"), c4 = opj_encode(rgba, "-n 2", "j2k");
    ASSERT_FALSE(g.empty());
    ASSERT_FALSE(c4.empty());
    // pclr: 256 entries of three columns, 8, 12 and 4 bits; cmap: columns 2, 0 and the gray itself.
    bytes pclr = {1, 0, 3, 7, 11, 3};
    for (int i = 0; i < 256; i++) {
        pclr.push_back((uint8_t)(255 - i));
        put16(pclr, (uint32_t)(i * 16));
        pclr.push_back((uint8_t)(i % 16));
    }
    bytes cmap = {0, 0, 1, 2, 0, 0, 1, 0, 0, 0, 0, 0};
    // cdef: channel 0 is opacity, 1..3 colours 3, 1, 2.
    bytes cdef = {0, 4, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 3, 0, 2, 0, 0, 0, 1, 0, 3, 0, 0, 0, 2};
    bytes icc(128, 0);
    memcpy(&icc[16], "CMYK", 4);
    bytes colr_icc = cat({bytes{2, 0, 0}, icc});

    jpx_image img;
    // Palette: channel 0 = column 2 (4 bits), 1 = column 0, 2 = the index itself.
    bytes f = jp2_file(g, cat({colr_enum(16), box("pclr", pclr), box("cmap", cmap)}));
    ASSERT_EQ(0, jpx_decode(f.data(), f.size(), &img));
    ASSERT_EQ(3, img.nplanes);
    EXPECT_EQ(jpx_cs_rgb, img.colourspace);
    EXPECT_EQ(4, img.planes[0].precision);
    EXPECT_EQ(8, img.planes[1].precision);
    for (size_t i = 0; i < gray.s.size(); i++) {
        ASSERT_EQ(gray.s[i] % 16, img.planes[0].data[i]);
        ASSERT_EQ(255 - gray.s[i], img.planes[1].data[i]);
        ASSERT_EQ(gray.s[i], img.planes[2].data[i]);
    }
    jpx_image_free(&img);

    // cdef reorders: colours by association, then the alpha.
    f = jp2_file(c4, cat({colr_enum(16), box("cdef", cdef)}), true);
    ASSERT_EQ(0, jpx_decode(f.data(), f.size(), &img));
    EXPECT_EQ(1, img.is_jp2);
    EXPECT_EQ(3, img.ncolour);
    EXPECT_EQ(3, img.alpha);
    int from[4] = {2, 3, 1, 0};  // output plane k holds source component from[k]
    for (int k = 0; k < 4; k++)
        for (size_t i = 0; i < 24 * 16; i += 7) ASSERT_EQ(rgba.s[(size_t)from[k] * 384 + i], img.planes[k].data[i]);
    jpx_pixels px;
    ASSERT_EQ(0, jpx_to_8bit(&img, 0, img.ncolour, img.alpha, &px));
    EXPECT_EQ(3, px.channels);
    EXPECT_EQ((uint8_t)rgba.s[0], px.alpha[0]);
    EXPECT_EQ((uint8_t)rgba.s[2 * 384 + 5], px.samples[5 * 3]);
    jpx_pixels_free(&px);
    EXPECT_EQ(-1, jpx_to_8bit(&img, 2, 3, -1, &px));
    EXPECT_EQ(nullptr, px.samples);
    jpx_pixels_free(&px);
    jpx_image_free(&img);

    // An ICC profile: its colour space gives the colour channels, the fourth is left over.
    f = jp2_file(c4, box("colr", colr_icc));
    ASSERT_EQ(0, jpx_decode(f.data(), f.size(), &img));
    EXPECT_EQ(jpx_cs_icc, img.colourspace);
    EXPECT_EQ(4, img.icc_components);
    EXPECT_EQ(4, img.ncolour);
    ASSERT_EQ(128u, img.icc_len);
    EXPECT_EQ(0, memcmp(img.icc + 16, "CMYK", 4));
    jpx_image_free(&img);

    // Greyscale with three channels and no cdef: one colour channel, two left unassociated.
    f = jp2_file(c4, colr_enum(17));
    ASSERT_EQ(0, jpx_decode(f.data(), f.size(), &img));
    EXPECT_EQ(jpx_cs_gray, img.colourspace);
    EXPECT_EQ(1, img.ncolour);
    EXPECT_EQ(-1, img.alpha);
    jpx_image_free(&img);
}

// sYCC samples come out as RGB by the usual matrix.
TEST(JpxBoxes, SyccToRgb) {
    NEED_OPJ();
    image ycc = make_image(20, 12, 3, 8, false, 31);
    bytes cs = opj_encode(ycc, "-n 2 -mct 0", "j2k");
    ASSERT_FALSE(cs.empty());
    bytes f = jp2_file(cs, colr_enum(18));
    jpx_image img;
    ASSERT_EQ(0, jpx_decode(f.data(), f.size(), &img));
    EXPECT_EQ(jpx_cs_rgb, img.colourspace);
    EXPECT_EQ(18u, img.enum_cs);
    for (size_t i = 0; i < 240; i++) {
        double y = ycc.s[i], cb = ycc.s[240 + i] - 128.0, cr = ycc.s[480 + i] - 128.0;
        double rgb[3] = {y + 1.402 * cr, y - 0.344136 * cb - 0.714136 * cr, y + 1.772 * cb};
        for (int k = 0; k < 3; k++) {
            double want = std::min(255.0, std::max(0.0, rgb[k]));
            ASSERT_LE(fabs(img.planes[k].data[i] - want), 0.5 + 1e-3) << i << " " << k;
        }
    }
    jpx_image_free(&img);
}

struct bad_file_case {
    const char *name;
    bytes data;
};
TEST(JpxBoxes, NotJpeg2000) {
    static const bad_file_case cases[] = {
        {"empty", {}},
        {"PNG signature", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H'}},
        {"signature box, no codestream", box("jP  ", {0x0D, 0x0A, 0x87, 0x0A})},
        {"box longer than the file", cat({box("jP  ", {0x0D, 0x0A, 0x87, 0x0A}), {0, 0, 1, 0, 'j', 'p', '2', 'c', 0xFF, 0x4F}})},
        {"SOC without SIZ", {0xFF, 0x4F, 0xFF, 0x52, 0, 12, 0, 0, 0, 1, 0, 0, 0, 0}},
    };
    for (const bad_file_case &c : cases) {
        SCOPED_TRACE(c.name);
        jpx_image img;
        EXPECT_EQ(-1, jpx_decode(c.data.data(), c.data.size(), &img));
        EXPECT_EQ(nullptr, img.planes);
    }
}

// ---- a real producer: img2pdf ---------------------------------------------------------------------

// The stream of the first image whose dictionary names /JPXDecode, by its /Length.
static bytes jpx_stream_of(const bytes &pdf) {
    std::string s(pdf.begin(), pdf.end());
    size_t f = s.find("/JPXDecode");
    if (f == std::string::npos) return bytes();
    size_t open = s.rfind("<<", f), st = s.find("stream", f);
    size_t l = s.find("/Length", open);
    if (open == std::string::npos || st == std::string::npos || l == std::string::npos) return bytes();
    size_t len = (size_t)atol(s.c_str() + l + 7);
    st += 6;
    if (s[st] == '\r') st++;
    if (s[st] == '\n') st++;
    if (st + len > pdf.size()) return bytes();
    return bytes(pdf.begin() + (long)st, pdf.begin() + (long)(st + len));
}

TEST(JpxProducers, Img2pdf) {
    NEED_OPJ();
    if (!have_tool("img2pdf")) GTEST_SKIP() << "needs img2pdf";
    image im = make_image(80, 60, 3, 8, false, 41);
    bytes jp2 = opj_encode(im, "-n 4", "jp2");
    ASSERT_FALSE(jp2.empty());
    std::string d = work_dir();
    write_all(d + "-img2pdf.jp2", jp2);
    std::string cmd = "img2pdf " + d + "-img2pdf.jp2 -o " + d + "-img2pdf.pdf >/dev/null 2>&1";
    int rc = system(cmd.c_str());
    bytes stream = jpx_stream_of(read_all(d + "-img2pdf.pdf"));
    remove((d + "-img2pdf.jp2").c_str());
    remove((d + "-img2pdf.pdf").c_str());
    ASSERT_EQ(0, rc);
    ASSERT_FALSE(stream.empty());
    jpx_image img;
    ASSERT_EQ(0, jpx_decode(stream.data(), stream.size(), &img));
    EXPECT_EQ(1, img.is_jp2);
    EXPECT_EQ(jpx_cs_rgb, img.colourspace);
    EXPECT_EQ(0, compare(img, im).max);
    jpx_pixels px;
    ASSERT_EQ(0, jpx_to_8bit(&img, 0, 3, -1, &px));
    EXPECT_EQ((uint8_t)im.s[(size_t)2 * 4800 + 4799], px.samples[3 * 4799 + 2]);
    jpx_pixels_free(&px);
    jpx_image_free(&img);
}

// ---- mutation sweep -----------------------------------------------------------------------------

// Every byte of some corpus files flipped, and every prefix: a defined result each time (the
// sanitizer build checks the memory accesses); a successful decode has the header's sizes.
TEST(JpxMutation, FlipsAndTruncations) {
    std::string dir = std::string(TEST_SOURCE_DIR) + "/../fuzz/corpus/jpx";
    static const char *const files[] = {"gray-all-styles.j2k", "rgb-poc.j2k", "gray-sop-eph.j2k",
                                        "gray-layers.j2k", "jp2-palette.jp2", "rgb-97.j2k",
                                        "gray-roi.j2k", "rgb-pcrl-tiles.j2k"};
    int decoded = 0, runs = 0;
    for (const char *name : files) {
        SCOPED_TRACE(name);
        bytes orig = read_all(dir + "/" + name);
        if (orig.empty()) GTEST_SKIP() << "no corpus at " << dir;
        auto run = [&](const bytes &b) {
            jpx_image img, hdr;
            int rh = jpx_read_header(b.data(), b.size(), &hdr);
            if (rh == 0 && (uint64_t)hdr.width * hdr.height * (uint64_t)hdr.nplanes > (1u << 22)) {
                jpx_image_free(&hdr);
                return;
            }
            int rc = jpx_decode(b.data(), b.size(), &img);
            runs++;
            if (rc == 0) {
                decoded++;
                ASSERT_EQ(0, rh);
                ASSERT_EQ(hdr.width, img.width);
                ASSERT_NE(nullptr, img.planes);
            }
            jpx_image_free(&img);
            jpx_image_free(&hdr);
        };
        for (size_t i = 0; i < orig.size(); i++) {
            for (uint8_t x : {0xFF, 0x01, 0x80}) {
                bytes b = orig;
                b[i] ^= x;
                run(b);
            }
        }
        for (size_t n = 0; n < orig.size(); n++) run(bytes(orig.begin(), orig.begin() + (long)n));
    }
    printf("%d mutated inputs, %d decoded\n", runs, decoded);
}
