// Tests of the PDF functions: evaluation against numbers computed outside the library (Types 0, 2
// and 3 by the fixture generator's own evaluator, Type 4 programs by Ghostscript), the checks made
// when a function is defined or a set is checked, and the calculator's limits.
#include "pdfextractimg/function.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "colour_expected.inc"

static fn_desc desc_of(const gen_fn &g) {
    fn_desc d = {};
    d.type = g.type;
    d.domain = g.domain, d.domain_count = g.domain_n;
    d.range = g.range, d.range_count = g.range_n;
    d.size = g.size, d.size_count = g.size_n;
    d.bits_per_sample = g.bps;
    d.encode = g.encode, d.encode_count = g.encode_n;
    d.decode = g.decode, d.decode_count = g.decode_n;
    d.samples = g.samples, d.samples_len = (uint64_t)g.samples_n;
    d.c0 = g.c0, d.c0_count = g.c0_n;
    d.c1 = g.c1, d.c1_count = g.c1_n;
    d.exponent = g.n;
    d.functions = g.functions, d.function_count = g.functions_n;
    d.bounds = g.bounds, d.bounds_count = g.bounds_n;
    d.program = (const uint8_t *)g.program, d.program_len = strlen(g.program);
    return d;
}

TEST(Function, GeneratedCases) {
    for (const gen_fn_case &c : gen_fn_cases) {
        SCOPED_TRACE(c.name);
        fn_set s = {};
        for (int32_t i = 0; i < c.fn_count; i++) {
            fn_desc d = desc_of(c.fns[i]);
            ASSERT_GE(fn_add(&s, &d), 0);
        }
        ASSERT_EQ(0, fn_check(&s, c.root));
        ASSERT_EQ(c.m, fn_inputs(&s, c.root));
        int32_t n = fn_outputs(&s, c.root);
        for (int32_t p = 0; p < c.points; p++) {
            SCOPED_TRACE("point " + std::to_string(p));
            double out[fn_max_outputs];
            int r = fn_eval(&s, c.root, c.in + p * c.m, out);
            if (c.fails[p]) {
                EXPECT_EQ(-1, r);
                continue;
            }
            ASSERT_EQ(0, r);
            ASSERT_EQ(c.n, n);
            // Ghostscript computes in single precision.
            for (int32_t j = 0; j < n; j++) {
                double w = c.want[p * n + j];
                EXPECT_NEAR(w, out[j], 2e-5 * std::fmax(1.0, std::fabs(w)));
            }
        }
        fn_set_free(&s);
    }
}

// A description that fn_define accepts, then one change per case that it must refuse.
struct refuse_case {
    const char *name;
    void (*change)(fn_desc *d, std::vector<double> &nums, std::vector<int32_t> &ints);
};

static const double k_unit[2 * fn_max_outputs + 2] = {0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1,
                                                      0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1,
                                                      0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1,
                                                      0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1,
                                                      0, 1};
static const uint8_t k_bytes[64] = {0};
static const int32_t k_sizes[16] = {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2};

static fn_desc sampled_desc() {
    fn_desc d = {};
    d.type = fn_sampled;
    d.domain = k_unit, d.domain_count = 2;
    d.range = k_unit, d.range_count = 2;
    d.size = k_sizes, d.size_count = 1;
    d.bits_per_sample = 8;
    d.samples = k_bytes, d.samples_len = 2;
    return d;
}

static const refuse_case sampled_refused[] = {
    {"unknown type 1", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) { d->type = 1; }},
    {"unknown type 5", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) { d->type = 5; }},
    {"no range", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) { d->range_count = 0; }},
    {"odd range", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) { d->range_count = 3; }},
    {"no domain", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) { d->domain_count = 0; }},
    {"domain reversed", [](fn_desc *d, std::vector<double> &n, std::vector<int32_t> &) {
         n = {1, 0};
         d->domain = n.data();
     }},
    {"domain NaN", [](fn_desc *d, std::vector<double> &n, std::vector<int32_t> &) {
         n = {NAN, 1};
         d->domain = n.data();
     }},
    {"3 bits per sample", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) { d->bits_per_sample = 3; }},
    {"size 0", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &i) {
         i = {0};
         d->size = i.data();
     }},
    {"size negative", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &i) {
         i = {-2};
         d->size = i.data();
     }},
    {"no size", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) { d->size_count = 0; }},
    {"size product above the cap", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &i) {
         i = {4096, 4096, 2};  // 2^25 samples: refused before anything is allocated
         d->size = i.data(), d->size_count = 3, d->domain_count = 6, d->samples_len = (uint64_t)1 << 40;
     }},
    {"size product wraps 64 bits", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &i) {
         i = {65536, 65536, 65536, 65536};
         d->size = i.data(), d->size_count = 4, d->domain_count = 8, d->samples_len = UINT64_MAX;
     }},
    {"samples one byte short", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) { d->samples_len = 1; }},
    {"samples missing", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) { d->samples = nullptr; }},
    {"inputs above the sampled cap", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) {
         d->domain_count = 2 * (fn_max_sampled_inputs + 1), d->size_count = fn_max_sampled_inputs + 1;
         d->samples = nullptr, d->samples_len = 0;
     }},
    {"outputs above the cap", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) {
         d->range_count = 2 * fn_max_outputs + 2;
     }},
    {"encode too short", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) {
         d->encode = k_unit, d->encode_count = 1;
     }},
    {"decode too short", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) {
         d->decode = k_unit, d->decode_count = 1;
     }},
    {"exponential C0 and C1 of different lengths", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) {
         d->type = fn_exponential, d->range_count = 0, d->c0 = k_unit, d->c0_count = 2, d->c1 = k_unit,
         d->c1_count = 3, d->exponent = 1;
     }},
    {"exponential fractional N over negative x", [](fn_desc *d, std::vector<double> &n, std::vector<int32_t> &) {
         n = {-1, 1};
         d->type = fn_exponential, d->range_count = 0, d->domain = n.data(), d->exponent = 0.5;
     }},
    {"exponential negative N over zero", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) {
         d->type = fn_exponential, d->range_count = 0, d->exponent = -1;
     }},
    {"exponential infinite N", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) {
         d->type = fn_exponential, d->range_count = 0, d->exponent = INFINITY;
     }},
    {"exponential two inputs", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) {
         d->type = fn_exponential, d->range_count = 0, d->domain_count = 4, d->exponent = 1;
     }},
    {"stitching no functions", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) {
         d->type = fn_stitching, d->encode = k_unit, d->encode_count = 2;
     }},
    {"stitching encode short", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &i) {
         i = {0, 0};
         d->type = fn_stitching, d->functions = i.data(), d->function_count = 2, d->bounds = k_unit,
         d->bounds_count = 1, d->encode = k_unit, d->encode_count = 3;
     }},
    {"stitching bounds short", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &i) {
         i = {0, 0, 0};
         d->type = fn_stitching, d->functions = i.data(), d->function_count = 3, d->bounds = k_unit,
         d->bounds_count = 1, d->encode = k_unit, d->encode_count = 6;
     }},
    {"stitching above the cap", [](fn_desc *d, std::vector<double> &n, std::vector<int32_t> &i) {
         i.assign(fn_max_stitched + 1, 0);
         n.assign(2 * (fn_max_stitched + 1), 0.5);
         d->type = fn_stitching, d->functions = i.data(), d->function_count = fn_max_stitched + 1,
         d->bounds = n.data(), d->bounds_count = fn_max_stitched, d->encode = n.data(),
         d->encode_count = 2 * (fn_max_stitched + 1);
     }},
    {"calculator without range", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) {
         d->type = fn_calculator, d->range_count = 0, d->program = (const uint8_t *)"{}", d->program_len = 2;
     }},
    {"calculator without program", [](fn_desc *d, std::vector<double> &, std::vector<int32_t> &) {
         d->type = fn_calculator, d->program = nullptr, d->program_len = 0;
     }},
};

TEST(Function, DefineRefuses) {
    {
        fn_set s = {};
        fn_desc ok = sampled_desc();
        ASSERT_EQ(0, fn_add(&s, &ok));  // the base case is valid
        fn_set_free(&s);
    }
    for (const refuse_case &c : sampled_refused) {
        SCOPED_TRACE(c.name);
        fn_set s = {};
        fn_desc d = sampled_desc();
        std::vector<double> nums;
        std::vector<int32_t> ints;
        c.change(&d, nums, ints);
        EXPECT_EQ(-1, fn_add(&s, &d));
        EXPECT_EQ(0, s.count);           // nothing added
        EXPECT_EQ(0u, s.sample_bytes);   // nothing kept
        fn_set_free(&s);
    }
}

struct compile_case { const char *name; std::string text; int want; };

static std::string repeat(const std::string &s, int n) {
    std::string r;
    for (int i = 0; i < n; i++) r += s;
    return r;
}

TEST(Function, Compile) {
    const compile_case cases[] = {
        {"empty text", "", -1},
        {"no braces", "1 2 add", -1},
        {"unclosed", "{ 1 2 add", -1},
        {"unknown operator", "{ 1 foo }", -1},
        {"operator outside the calculator's set", "{ 1 2 repeat }", -1},
        {"procedure without if", "{ {1} }", -1},
        {"two procedures then if", "{ true {1} {2} if }", -1},
        {"one procedure then ifelse", "{ true {1} ifelse }", -1},
        {"three procedures", "{ true {1} {2} {3} ifelse }", -1},
        {"if alone", "{ true if }", -1},
        {"string", "{ (abc) pop }", -1},
        {"array", "{ [1] }", -1},
        {"name literal", "{ /x }", -1},
        {"hex string", "{ <00> }", -1},
        {"radix number", "{ 16#FF }", -1},
        {"malformed real", "{ 1.2.3 }", -1},
        {"exponent without digits", "{ 1e }", -1},
        {"text before the brace", "x { 1 }", -1},
        {"stray closing brace", "}", -1},
        {"trailing text after the program", "{ 1 } junk", 0},
        {"comment with braces", "{ 1 % } {\n 2 add }", 0},
        {"reals and exponents", "{ .5 -3. 1e3 +2 -1.5E-2 pop pop pop pop pop }", 0},
        {"nesting at the cap", "{ " + repeat("true { ", fn_max_nesting - 1) + repeat("} if ", fn_max_nesting - 1) + "}", 0},
        {"nesting above the cap", "{ " + repeat("true { ", fn_max_nesting) + repeat("} if ", fn_max_nesting) + "}", -1},
        {"code at the cap", "{ " + repeat("1 ", fn_max_code) + "}", 0},
        {"code above the cap", "{ " + repeat("1 ", fn_max_code + 1) + "}", -1},
        {"text above the cap", "{ " + std::string(fn_max_program_bytes, ' ') + "}", -1},
    };
    for (const compile_case &c : cases) {
        SCOPED_TRACE(c.name);
        fn_op *code = nullptr;
        int32_t len = -1;
        EXPECT_EQ(c.want, fn_compile((const uint8_t *)c.text.data(), c.text.size(), &code, &len));
        free(code);
    }
}

struct run_case { const char *name; std::string text; int32_t n; int want; double out; };

// The operand stack holds 100 values, the input included; the run is bounded by the code's length.
TEST(Function, RunLimits) {
    const run_case cases[] = {
        {"99 pushed over the input fill the stack", "{ " + repeat("1 ", 99) + "}", 1, 0, 1},
        {"100 pushed overflow it", "{ " + repeat("1 ", 100) + "}", 1, -1, 0},
        {"dup overflows", "{ " + repeat("1 ", 98) + "dup dup }", 1, -1, 0},
        {"copy overflows", "{ " + repeat("1 ", 50) + "50 copy }", 1, -1, 0},
        {"copy fills exactly", "{ " + repeat("1 ", 49) + "50 copy }", 1, 0, 1},
        {"roll reaching the input", "{ 1 2 3 4 5 -1 roll }", 1, 0, 0.5},
        {"an untaken branch is skipped", "{ false { pop pop pop } if }", 1, 0, 0.5},
        {"nested ifelse picks the inner else", "{ true { false { 1 } { 2 } ifelse } { 3 } ifelse }", 1, 0, 2},
        {"outputs above what is left", "{ pop 1 }", 2, -1, 0},
        {"a bool left below the outputs is fine", "{ true exch }", 1, 0, 0.5},
    };
    for (const run_case &c : cases) {
        SCOPED_TRACE(c.name);
        fn_op *code = nullptr;
        int32_t len = 0;
        ASSERT_EQ(0, fn_compile((const uint8_t *)c.text.data(), c.text.size(), &code, &len));
        double in = 0.5, out[2] = {-7, -7};
        EXPECT_EQ(c.want, fn_run(code, len, &in, 1, out, c.n));
        if (c.want == 0) EXPECT_DOUBLE_EQ(c.out, out[c.n - 1]);
        free(code);
    }
}

// Helpers for building sets in the check tests.
static fn_desc exp_desc(double c1) {
    static double c1s[4];
    fn_desc d = {};
    d.type = fn_exponential;
    d.domain = k_unit, d.domain_count = 2;
    c1s[0] = c1;
    d.c1 = c1s, d.c1_count = 1;
    d.exponent = 1;
    return d;
}
static int32_t add_stitch(fn_set *s, std::vector<int32_t> children) {
    std::vector<double> bounds(children.size(), 0.5), enc(2 * children.size(), 1.0);
    fn_desc d = {};
    d.type = fn_stitching;
    d.domain = k_unit, d.domain_count = 2;
    d.functions = children.data(), d.function_count = (int32_t)children.size();
    d.bounds = bounds.data(), d.bounds_count = (int32_t)children.size() - 1;
    d.encode = enc.data(), d.encode_count = (int32_t)enc.size();
    return fn_add(s, &d);
}

TEST(Function, CheckChains) {
    // A chain of stitching functions down to one leaf: fn_max_depth functions pass, one more not.
    for (int32_t depth : {2, fn_max_depth, fn_max_depth + 1}) {
        SCOPED_TRACE(depth);
        fn_set s = {};
        fn_desc leaf = exp_desc(0.25);
        int32_t f = fn_add(&s, &leaf);
        for (int32_t i = 1; i < depth; i++) f = add_stitch(&s, {f});
        EXPECT_EQ(depth <= fn_max_depth ? 0 : -1, fn_check(&s, f));
        double x = 1, y = -1;
        EXPECT_EQ(depth <= fn_max_depth ? 0 : -1, fn_eval(&s, f, &x, &y));
        if (depth <= fn_max_depth) EXPECT_DOUBLE_EQ(0.25, y);
        fn_set_free(&s);
    }
}

TEST(Function, CheckRefuses) {
    struct check_case { const char *name; int want; };
    // Each builds a set whose last function is checked.
    const check_case cases[] = {
        {"a stitching function naming itself", -1}, {"two naming each other", -1},
        {"a subfunction index out of range", -1},   {"a reserved subfunction never defined", -1},
        {"a subfunction of two inputs", -1},        {"subfunctions of different outputs", -1},
        {"a range of other outputs than the subfunctions'", -1},
        {"a broken function the root does not reach", 0},
        {"subfunctions defined after their parent", 0},
    };
    for (const check_case &c : cases) {
        SCOPED_TRACE(c.name);
        fn_set s = {};
        fn_desc leaf = exp_desc(1);
        std::string n = c.name;
        int32_t root = -1;
        if (n == "a stitching function naming itself") {
            root = add_stitch(&s, {0});
        } else if (n == "two naming each other") {
            add_stitch(&s, {1});
            root = add_stitch(&s, {0});
        } else if (n == "a subfunction index out of range") {
            root = add_stitch(&s, {7});
        } else if (n == "a reserved subfunction never defined") {
            fn_reserve(&s);
            root = add_stitch(&s, {0});
        } else if (n == "a subfunction of two inputs") {
            fn_desc d = sampled_desc();
            d.domain_count = 4, d.size_count = 2, d.samples_len = 4;
            fn_add(&s, &d);
            root = add_stitch(&s, {0});
        } else if (n == "subfunctions of different outputs") {
            fn_add(&s, &leaf);
            fn_desc d = sampled_desc();
            d.range_count = 4, d.samples_len = 4;
            fn_add(&s, &d);
            root = add_stitch(&s, {0, 1});
        } else if (n == "a range of other outputs than the subfunctions'") {
            fn_add(&s, &leaf);
            int32_t ch[1] = {0};
            fn_desc d = {};
            d.type = fn_stitching, d.domain = k_unit, d.domain_count = 2, d.range = k_unit,
            d.range_count = 4, d.functions = ch, d.function_count = 1, d.encode = k_unit, d.encode_count = 2;
            root = fn_add(&s, &d);
        } else if (n == "a broken function the root does not reach") {
            add_stitch(&s, {1});
            add_stitch(&s, {0});  // a cycle elsewhere in the set
            root = fn_add(&s, &leaf);
        } else {
            root = fn_reserve(&s);
            int32_t a = fn_reserve(&s), b = fn_reserve(&s);
            int32_t ch[2] = {a, b};
            double bounds[1] = {0.5}, enc[4] = {0, 1, 0, 1};
            fn_desc d = {};
            d.type = fn_stitching, d.domain = k_unit, d.domain_count = 2, d.functions = ch,
            d.function_count = 2, d.bounds = bounds, d.bounds_count = 1, d.encode = enc, d.encode_count = 4;
            ASSERT_EQ(0, fn_define(&s, root, &d));
            EXPECT_EQ(-1, fn_outputs(&s, root));  // unknown until checked
            ASSERT_EQ(0, fn_define(&s, b, &leaf));
            ASSERT_EQ(0, fn_define(&s, a, &leaf));
            EXPECT_EQ(-1, fn_define(&s, a, &leaf));  // defined once
        }
        ASSERT_GE(root, 0);
        EXPECT_EQ(c.want, fn_check(&s, root));
        double x = 0.7, y[2];
        EXPECT_EQ(c.want, fn_eval(&s, root, &x, y));
        if (c.want == 0) EXPECT_EQ(1, fn_outputs(&s, root));
        fn_set_free(&s);
        fn_set_free(&s);
    }
}

TEST(Function, SetCap) {
    fn_set s = {};
    fn_desc leaf = exp_desc(1);
    for (int32_t i = 0; i < fn_max_functions; i++) ASSERT_EQ(i, fn_add(&s, &leaf));
    EXPECT_EQ(-1, fn_add(&s, &leaf));
    EXPECT_EQ(-1, fn_reserve(&s));
    double x = 0.5, y = 0;
    EXPECT_EQ(-1, fn_eval(&s, 3, &x, &y));  // not checked
    ASSERT_EQ(0, fn_check(&s, 3));
    EXPECT_EQ(0, fn_eval(&s, 3, &x, &y));
    EXPECT_DOUBLE_EQ(0.5, y);
    fn_set_free(&s);
}
