// colour_bench - row conversions of 2000x1500 images through tint transforms and from Lab: one
// Separation component (the per-value table), two and three DeviceN components and Lab over smooth
// photo-like data (the cache mostly hits) and over noise (it mostly misses), a sampled function
// of three inputs, and the calculator's cost per evaluation. Prints million pixels per second
// from the fastest of several runs, and how many evaluations a pixel cost on noise.
// Usage: colour_bench [runs]   (default 5)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pdfextractimg/colour.h"
#include "pdfextractimg/function.h"

static const int k_w = 2000, k_h = 1500;

static uint64_t mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return x;
}

// comps samples per pixel, 8 bits: smooth gradients with a little noise, or noise alone.
static std::vector<uint8_t> samples(int comps, bool noise) {
    std::vector<uint8_t> v((size_t)k_w * k_h * (size_t)comps);
    size_t i = 0;
    for (int y = 0; y < k_h; y++)
        for (int x = 0; x < k_w; x++)
            for (int c = 0; c < comps; c++, i++) {
                uint64_t r = mix(i * 0x9e3779b97f4a7c15ULL + 1);
                v[i] = noise ? (uint8_t)r : (uint8_t)(((x / 8 + y / 12 + c * 40) & 255) ^ (r & 1));
            }
    return v;
}

static int32_t add_program(fn_set *s, const char *prog, int32_t m, int32_t n) {
    std::vector<double> dom(2 * (size_t)m), rng(2 * (size_t)n);
    for (size_t i = 0; i < dom.size(); i++) dom[i] = (double)(i % 2);
    for (size_t i = 0; i < rng.size(); i++) rng[i] = (double)(i % 2);
    fn_desc d = {};
    d.type = fn_calculator;
    d.domain = dom.data(), d.domain_count = (int32_t)dom.size();
    d.range = rng.data(), d.range_count = (int32_t)rng.size();
    d.program = (const uint8_t *)prog, d.program_len = strlen(prog);
    int32_t f = fn_add(s, &d);
    return f >= 0 && fn_check(s, f) == 0 ? f : -1;
}

// Fastest of runs conversions of the whole image, row by row, in seconds.
static double time_rows(colour_conv *c, const std::vector<uint8_t> &in, int runs) {
    std::vector<uint8_t> out((size_t)k_w * (size_t)c->out_comps);
    double best = 1e9;
    for (int r = 0; r < runs; r++) {
        auto t0 = std::chrono::steady_clock::now();
        for (int y = 0; y < k_h; y++)
            if (colour_conv_row8(c, in.data() + (size_t)y * k_w * (size_t)c->comps, k_w, out.data())) {
                fprintf(stderr, "conversion failed\n");
                exit(1);
            }
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        best = std::min(best, s);
    }
    return best;
}

int main(int argc, char **argv) {
    int runs = argc > 1 ? atoi(argv[1]) : 5;
    fn_set s = {};
    int32_t sep = add_program(&s, "{0 exch dup 0.91 mul exch 0.76 mul 0 }", 1, 4);
    int32_t dn2 = add_program(&s, "{ dup 0.8 mul exch dup 0.5 mul exch 0.1 mul }", 2, 4);
    int32_t dn3 = add_program(&s, "{ 3 copy add add 3 div 4 1 roll 0.5 mul 3 1 roll 0.25 mul exch "
                                  "0.75 mul 3 -1 roll }", 3, 4);
    // A sampled function of three inputs, 8 points per input, 3 outputs.
    std::vector<uint8_t> grid(8 * 8 * 8 * 3);
    for (size_t i = 0; i < grid.size(); i++) grid[i] = (uint8_t)mix(i);
    const double unit[6] = {0, 1, 0, 1, 0, 1};
    const int32_t size[3] = {8, 8, 8};
    fn_desc d = {};
    d.type = fn_sampled, d.domain = unit, d.domain_count = 6, d.range = unit, d.range_count = 6;
    d.size = size, d.size_count = 3, d.bits_per_sample = 8, d.samples = grid.data(), d.samples_len = grid.size();
    int32_t t0 = fn_add(&s, &d);
    if (sep < 0 || dn2 < 0 || dn3 < 0 || t0 < 0 || fn_check(&s, t0)) return 1;
    colour_lab lab;
    const double d50[3] = {0.9642, 1, 0.8249};
    colour_lab_init(&lab, d50, nullptr, nullptr);

    struct job { const char *name; int32_t f, comps, alt; bool lab_space; };
    const job jobs[] = {
        {"Separation, calculator", sep, 1, 4, false}, {"DeviceN 2, calculator", dn2, 2, 4, false},
        {"DeviceN 3, calculator", dn3, 3, 4, false},  {"DeviceN 3, sampled 8^3", t0, 3, 3, false},
        {"Lab", -1, 3, 3, true},
    };
    printf("%-26s %12s %12s\n", "conversion (2000x1500)", "smooth Mpx/s", "noise Mpx/s");
    for (const job &j : jobs) {
        double mpx[2];
        for (int noise = 0; noise < 2; noise++) {
            std::vector<uint8_t> in = samples(j.comps, noise != 0);
            colour_conv c;
            int r = j.lab_space ? colour_conv_lab(&c, &lab, 8, nullptr, 0)
                                : colour_conv_tint(&c, &s, j.f, j.comps, 8, nullptr, 0, j.alt, nullptr);
            if (r) return 1;
            mpx[noise] = (double)k_w * k_h / 1e6 / time_rows(&c, in, runs);
            colour_conv_free(&c);
        }
        printf("%-26s %12.1f %12.1f\n", j.name, mpx[0], mpx[1]);
    }
    // The evaluator alone, without table or cache.
    double in[3] = {0.2, 0.5, 0.7}, out[4], sum = 0;
    const int n = 2000000;
    struct ev { const char *name; int32_t f; };
    for (const ev &e : {ev{"calculator, 3 inputs", dn3}, ev{"sampled 8^3, 3 inputs", t0}}) {
        auto a = std::chrono::steady_clock::now();
        for (int i = 0; i < n; i++) {
            in[0] = (i & 1023) / 1023.0;
            fn_eval(&s, e.f, in, out);
            sum += out[0];
        }
        double sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
        printf("fn_eval %-22s %8.1f ns per evaluation\n", e.name, sec / n * 1e9);
    }
    fn_set_free(&s);
    return sum < 0;
}
