// Tests of Lab to sRGB and of the row conversions: Lab colours against the fixture generator's
// conversion (matrices derived from the sRGB primaries) and published values, tint conversions
// against direct evaluation of their function, over both the per-value table and the cache.
#include "pdfextractimg/colour.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "colour_expected.inc"

static const double k_d50[3] = {0.9642, 1.0, 0.8249};

TEST(Colour, LabGenerated) {
    for (const gen_lab_case &c : gen_lab_cases) {
        std::string name = std::string(c.white_name) + " L " + std::to_string(c.lab[0]) + " a " +
                           std::to_string(c.lab[1]) + " b " + std::to_string(c.lab[2]) + " range a " +
                           std::to_string(c.range[0]);
        SCOPED_TRACE(name);
        colour_lab lab;
        ASSERT_EQ(0, colour_lab_init(&lab, c.white, nullptr, c.range));
        uint8_t rgb[3];
        colour_lab_to_srgb(&lab, c.lab, rgb);
        // The generator derives its matrix from the primaries, the library uses the standard's
        // rounded one: they may round a channel apart by one.
        for (int i = 0; i < 3; i++) EXPECT_NEAR(c.rgb[i], rgb[i], 1);
    }
}

// Lab (D50) of the sRGB primaries and of mid gray as colour science tables give them (Bradford
// adaptation), over a Range wide enough for blue.
TEST(Colour, LabPublished) {
    struct pub { const char *name; double lab[3]; int rgb[3]; };
    const pub cases[] = {
        {"white", {100, 0, 0}, {255, 255, 255}},        {"black", {0, 0, 0}, {0, 0, 0}},
        {"gray 128", {53.585, 0, 0}, {128, 128, 128}},  {"red", {54.29, 80.81, 69.89}, {255, 0, 0}},
        {"green", {87.82, -79.29, 80.99}, {0, 255, 0}}, {"blue", {29.57, 68.30, -112.03}, {0, 0, 255}},
    };
    const double range[4] = {-128, 127, -128, 127};
    colour_lab lab;
    ASSERT_EQ(0, colour_lab_init(&lab, k_d50, nullptr, range));
    for (const pub &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t rgb[3];
        colour_lab_to_srgb(&lab, c.lab, rgb);
        for (int i = 0; i < 3; i++) EXPECT_NEAR(c.rgb[i], rgb[i], 1);
    }
}

TEST(Colour, LabInitRefuses) {
    struct bad { const char *name; double white[3]; double black[3]; double range[4]; bool has_black, has_range; };
    const bad cases[] = {
        {"X zero", {0, 1, 0.8}, {}, {}, false, false},
        {"Y negative", {0.96, -1, 0.8}, {}, {}, false, false},
        {"Z NaN", {0.96, 1, NAN}, {}, {}, false, false},
        {"black negative", {0.96, 1, 0.82}, {0, -0.1, 0}, {}, true, false},
        {"range reversed", {0.96, 1, 0.82}, {}, {100, -100, -100, 100}, false, true},
        {"range infinite", {0.96, 1, 0.82}, {}, {-100, INFINITY, -100, 100}, false, true},
    };
    for (const bad &c : cases) {
        SCOPED_TRACE(c.name);
        colour_lab lab;
        EXPECT_EQ(-1, colour_lab_init(&lab, c.white, c.has_black ? c.black : nullptr,
                                      c.has_range ? c.range : nullptr));
    }
    colour_lab lab;
    const double black[3] = {0.1, 0.1, 0.1};
    ASSERT_EQ(0, colour_lab_init(&lab, k_d50, black, nullptr));
    EXPECT_EQ(-100, lab.range[0]);  // the default range
    EXPECT_EQ(100, lab.range[3]);
}

TEST(Colour, Colorants) {
    struct cc { const char *name; int32_t want; };
    const cc cases[] = {{"All", colorant_all}, {"None", colorant_none}, {"PANTONE 185 C", colorant_named},
                        {"all", colorant_named}, {"NoneX", colorant_named}, {"", colorant_named}};
    for (const cc &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, colour_colorant(c.name));
    }
}

// A function set holding one checked function built from a calculator program.
struct prog_set {
    fn_set s = {};
    int32_t f = -1;
    prog_set(const char *program, int32_t m, int32_t n) {
        std::vector<double> dom(2 * (size_t)m), rng(2 * (size_t)n);
        for (size_t i = 0; i < dom.size(); i++) dom[i] = (double)(i % 2);
        for (size_t i = 0; i < rng.size(); i++) rng[i] = i % 2 ? 150.0 : -150.0;  // Lab fits
        fn_desc d = {};
        d.type = fn_calculator;
        d.domain = dom.data(), d.domain_count = (int32_t)dom.size();
        d.range = rng.data(), d.range_count = (int32_t)rng.size();
        d.program = (const uint8_t *)program, d.program_len = strlen(program);
        f = fn_add(&s, &d);
        if (f >= 0 && fn_check(&s, f)) f = -1;
    }
    ~prog_set() { fn_set_free(&s); }
};

// What a pixel should become: /Decode, the function, then bytes, computed here directly.
static std::vector<uint8_t> direct(const prog_set &p, const uint16_t *raw, int32_t comps, int32_t bits,
                                   const double *decode, int32_t out_comps, const colour_lab *lab) {
    double v[colour_max_comps], alt[fn_max_outputs];
    double maxv = (double)((1u << bits) - 1u);
    for (int32_t i = 0; i < comps; i++) {
        double lo = decode ? decode[2 * i] : 0, hi = decode ? decode[2 * i + 1] : 1;
        v[i] = lo + raw[i] * (hi - lo) / maxv;
    }
    std::vector<uint8_t> out((size_t)out_comps);
    if (fn_eval(&p.s, p.f, v, alt)) return {};
    if (lab) {
        colour_lab_to_srgb(lab, alt, out.data());
        return out;
    }
    for (int32_t j = 0; j < out_comps; j++)
        out[(size_t)j] = (uint8_t)std::lround(std::fmin(1.0, std::fmax(0.0, alt[j])) * 255.0);
    return out;
}

struct tint_case {
    const char *name;
    const char *program;
    int32_t comps, bits, out_comps;
    bool decode, lab;
    uint64_t pixels;  // of pseudo-random samples: many pixels overflow the cache and collide in it
};

TEST(Colour, TintRowsMatchDirectEvaluation) {
    const tint_case cases[] = {
        {"1 bit to gray", "{ 1 exch sub }", 1, 1, 1, false, false, 64},
        {"2 bits to rgb, decode", "{ dup 0.5 mul exch dup mul 0.3 }", 1, 2, 3, true, false, 64},
        {"4 bits to cmyk", "{ 0 exch dup 0.91 mul exch 0.76 mul 0 }", 1, 4, 4, false, false, 64},
        {"8 bits to rgb", "{ dup 0.5 gt { 1 exch sub 2 mul dup dup } { pop 1 0.5 0 } ifelse }", 1, 8, 3,
         false, false, 1000},
        {"16 bits through the cache", "{ dup mul 0 0 }", 1, 16, 3, true, false, 20000},
        {"two inks", "{ dup 0.8 mul exch dup 0.5 mul exch 0.1 mul }", 2, 8, 4, false, false, 20000},
        {"four inks, few colours", "{ add add add 4 div }", 4, 1, 1, false, false, 5000},
        {"three inks, 12 bits", "{ 3 copy add add 3 div 4 1 roll 0.5 mul 3 1 roll 0.25 mul exch 0.75 mul "
                                "3 -1 roll }", 3, 12, 4, true, false, 20000},
        {"Lab alternate", "{ dup 100 mul exch dup 60 mul 30 sub exch 80 mul 40 sub }", 1, 8, 3, false, true, 300},
        {"two inks to Lab", "{ exch 100 mul exch 120 mul 60 sub 0 }", 2, 8, 3, false, true, 5000},
    };
    colour_lab lab;
    ASSERT_EQ(0, colour_lab_init(&lab, k_d50, nullptr, nullptr));
    const double decode[2 * colour_max_comps] = {1, 0, 0.2, 0.8, 1, 0, 0.5, 1};
    for (const tint_case &c : cases) {
        SCOPED_TRACE(c.name);
        prog_set p(c.program, c.comps, c.lab ? 3 : c.out_comps);
        ASSERT_GE(p.f, 0);
        colour_conv conv;
        ASSERT_EQ(0, colour_conv_tint(&conv, &p.s, p.f, c.comps, c.bits, c.decode ? decode : nullptr,
                                      c.decode ? 2 * c.comps : 0, c.out_comps, c.lab ? &lab : nullptr));
        ASSERT_EQ(c.lab ? 3 : c.out_comps, conv.out_comps);
        std::vector<uint16_t> raw(c.pixels * (uint64_t)c.comps);
        uint32_t seed = 12345;
        for (uint16_t &r : raw) {
            seed = seed * 1103515245u + 12345u;
            r = (uint16_t)((seed >> 8) & ((1u << c.bits) - 1u));
        }
        std::vector<uint8_t> out(c.pixels * (uint64_t)conv.out_comps + 1, 0xEE);
        ASSERT_EQ(0, colour_conv_row(&conv, raw.data(), c.pixels, out.data()));
        EXPECT_EQ(0xEE, out.back());  // nothing written past the row
        // Twice: the second pass is served from the table or cache.
        std::vector<uint8_t> again(out.size(), 0xEE);
        ASSERT_EQ(0, colour_conv_row(&conv, raw.data(), c.pixels, again.data()));
        EXPECT_EQ(out, again);
        for (uint64_t x = 0; x < c.pixels; x++) {
            std::vector<uint8_t> want = direct(p, raw.data() + x * (uint64_t)c.comps, c.comps, c.bits,
                                               c.decode ? decode : nullptr, conv.out_comps, c.lab ? &lab : nullptr);
            ASSERT_EQ(std::vector<uint8_t>(out.begin() + (long)(x * (uint64_t)conv.out_comps),
                                           out.begin() + (long)((x + 1) * (uint64_t)conv.out_comps)),
                      want) << "pixel " << x;
        }
        // The 8-bit entry point gives the same bytes for samples of 8 bits or fewer.
        if (c.bits <= 8) {
            std::vector<uint8_t> raw8(raw.begin(), raw.end()), out8(out.size(), 0xEE);
            ASSERT_EQ(0, colour_conv_row8(&conv, raw8.data(), c.pixels, out8.data()));
            EXPECT_EQ(out, out8);
        }
        colour_conv_free(&conv);
        colour_conv_free(&conv);
    }
}

TEST(Colour, TintRefuses) {
    prog_set one("{ dup }", 1, 2), two("{ add }", 2, 1);
    fn_set unchecked = {};
    double dom[2] = {0, 1};
    fn_desc d = {};
    d.type = fn_exponential, d.domain = dom, d.domain_count = 2, d.exponent = 1;
    int32_t u = fn_add(&unchecked, &d);
    struct rc { const char *name; const fn_set *s; int32_t f, comps, bits, alt; int want; };
    const rc cases[] = {
        {"two inks to gray", &two.s, two.f, 2, 8, 1, 0},
        {"two outputs, rgb needs three", &one.s, one.f, 1, 8, 3, -1},
        {"two outputs, Lab needs three", &one.s, one.f, 1, 8, 1, -1},  // with a Lab alternate
        {"inputs other than the components", &two.s, two.f, 1, 8, 1, -1},
        {"two alternate components", &one.s, one.f, 1, 8, 2, -1},
        {"no such function", &one.s, 5, 1, 8, 1, -1},
        {"function not checked", &unchecked, u, 1, 8, 1, -1},
        {"bits 0", &one.s, one.f, 1, 0, 1, -1},
        {"bits 17", &one.s, one.f, 1, 17, 1, -1},
    };
    colour_lab lab;
    ASSERT_EQ(0, colour_lab_init(&lab, k_d50, nullptr, nullptr));
    for (const rc &c : cases) {
        SCOPED_TRACE(c.name);
        colour_conv conv;
        bool with_lab = std::string(c.name).find("Lab") != std::string::npos;
        EXPECT_EQ(c.want, colour_conv_tint(&conv, c.s, c.f, c.comps, c.bits, nullptr, 0, c.alt,
                                           with_lab ? &lab : nullptr));
        colour_conv_free(&conv);
    }
    fn_set_free(&unchecked);
}

// A function that fails on some samples fails the row that holds one, in both paths.
TEST(Colour, FailingFunctionFailsTheRow) {
    prog_set p("{ dup 0.5 lt { 0 div } if }", 1, 1);
    ASSERT_GE(p.f, 0);
    for (int32_t bits : {8, 16}) {
        SCOPED_TRACE(bits);
        colour_conv conv;
        ASSERT_EQ(0, colour_conv_tint(&conv, &p.s, p.f, 1, bits, nullptr, 0, 1, nullptr));
        uint16_t hi[2] = {(uint16_t)((1u << bits) - 1u), (uint16_t)((1u << bits) - 2u)}, lo[2] = {hi[0], 0};
        uint8_t out[2];
        EXPECT_EQ(0, colour_conv_row(&conv, hi, 2, out));
        EXPECT_EQ(-1, colour_conv_row(&conv, lo, 2, out));
        EXPECT_EQ(-1, colour_conv_row(&conv, lo, 2, out));  // a failure is not cached as a success
        colour_conv_free(&conv);
    }
}

TEST(Colour, AllAndLabRows) {
    colour_conv all;
    ASSERT_EQ(0, colour_conv_all(&all, 8, nullptr, 0));
    const uint8_t tints[4] = {0, 255, 128, 51};
    uint8_t gray[4];
    ASSERT_EQ(0, colour_conv_row8(&all, tints, 4, gray));
    EXPECT_EQ(std::vector<uint8_t>({255, 0, 127, 204}), std::vector<uint8_t>(gray, gray + 4));
    colour_conv_free(&all);
    const double inv[2] = {1, 0};
    ASSERT_EQ(0, colour_conv_all(&all, 1, inv, 2));  // 1 bit, /Decode [1 0]
    const uint8_t bits[2] = {0, 1};
    ASSERT_EQ(0, colour_conv_row8(&all, bits, 2, gray));
    EXPECT_EQ(0, gray[0]);
    EXPECT_EQ(255, gray[1]);
    colour_conv_free(&all);

    // Lab samples: 8 bits over the default decode (L 0..100, a and b over the range).
    colour_lab lab;
    ASSERT_EQ(0, colour_lab_init(&lab, k_d50, nullptr, nullptr));
    colour_conv c;
    ASSERT_EQ(0, colour_conv_lab(&c, &lab, 8, nullptr, 0));
    const uint8_t px[9] = {255, 128, 128, 0, 0, 0, 136, 200, 60};
    uint8_t rgb[9];
    ASSERT_EQ(0, colour_conv_row8(&c, px, 3, rgb));
    for (int i = 0; i < 3; i++) {
        double l[3] = {px[3 * i] * 100.0 / 255, -100 + px[3 * i + 1] * 200.0 / 255, -100 + px[3 * i + 2] * 200.0 / 255};
        uint8_t want[3];
        colour_lab_to_srgb(&lab, l, want);
        EXPECT_EQ(0, memcmp(want, rgb + 3 * i, 3)) << "pixel " << i;
    }
    EXPECT_EQ(255, rgb[0]);  // L 100 with a = b = 128/255 of the way: near white
    colour_conv_free(&c);
}
