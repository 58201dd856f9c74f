// deflate_bench - qv_deflate against zlib's compress2 (level 6) on three generated 2000x1500 RGBA
// images (photo, grainy photo, graphic), as raw pixels and as PNG rows (filter None, as the PNG encoder sends them, and filter
// Sub). Prints throughput (MB of input per second, median of several runs) and output sizes; "qv 1t"
// is the encoder on the calling thread alone, "qv" with its threads (as many as processors online).
// Usage: deflate_bench [runs]   (default 5)
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/flate.h"
#include "codec/inflate.h"

typedef std::vector<uint8_t> bytes;

static const int width = 2000, height = 1500;

// Smooth gradients with fixed-seed noise, like a photograph.
static bytes photo() {
    std::mt19937 rng(12345);
    std::normal_distribution<double> noise(0.0, 3.0);
    bytes px((size_t)width * height * 4);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            double fx = x / (double)width, fy = y / (double)height;
            double base[3] = {200 * fx + 40 * std::sin(fy * 7), 180 * fy + 50 * std::cos(fx * 5),
                              120 + 100 * std::sin((fx + fy) * 4)};
            uint8_t *p = &px[((size_t)y * width + x) * 4];
            for (int c = 0; c < 3; c++) p[c] = (uint8_t)std::clamp(base[c] + noise(rng), 0.0, 255.0);
            p[3] = 255;
        }
    }
    return px;
}

// Smooth gradients with uniform noise of -7..8 per channel, like the grainy photographs of
// make_bench_pdfs (the hardest case for the match search: many short candidates, few matches).
static bytes grainy() {
    std::mt19937 rng(54321);
    std::uniform_int_distribution<int> noise(-7, 8);
    bytes px((size_t)width * height * 4);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            double fx = x / (double)width, fy = y / (double)height;
            double base[3] = {150 * fx + 30 * std::sin(fx * 9) + 60, 100 + 40 * std::cos(fx * 5) + 50 * fy,
                              110 + 60 * std::sin(fx * 3) + 30 * std::cos(fy * 4)};
            uint8_t *p = &px[((size_t)y * width + x) * 4];
            for (int c = 0; c < 3; c++) p[c] = (uint8_t)std::clamp(base[c] + noise(rng), 0.0, 255.0);
            p[3] = 255;
        }
    }
    return px;
}

// Large areas of a few colours: background, bands, rectangles and discs.
static bytes graphic() {
    static const uint8_t palette[6][4] = {{255, 255, 255, 255}, {20, 60, 160, 255}, {230, 40, 40, 255},
                                          {250, 200, 30, 255},  {30, 150, 70, 255}, {0, 0, 0, 255}};
    bytes px((size_t)width * height * 4);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            int c = (y / 100) % 7 == 3 ? 1 : 0;
            if (x > 200 && x < 900 && y > 300 && y < 800) c = 2;
            if ((x - 1400) * (x - 1400) + (y - 700) * (y - 700) < 350 * 350) c = 3;
            if ((x - 600) * (x - 600) + (y - 1150) * (y - 1150) < 200 * 200) c = 4;
            if (x % 250 < 3 || y % 250 < 3) c = 5;
            memcpy(&px[((size_t)y * width + x) * 4], palette[c], 4);
        }
    }
    return px;
}

// PNG rows: a filter byte, then the row; filter 1 (Sub) stores each byte minus the one 4 before.
static bytes rows(const bytes &px, int filter) {
    size_t stride = (size_t)width * 4;
    bytes out;
    out.reserve((stride + 1) * height);
    for (int y = 0; y < height; y++) {
        const uint8_t *r = &px[(size_t)y * stride];
        out.push_back((uint8_t)filter);
        for (size_t i = 0; i < stride; i++) out.push_back(filter == 1 && i >= 4 ? (uint8_t)(r[i] - r[i - 4]) : r[i]);
    }
    return out;
}

static double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// FNV-1a of the encoder's output: a change of the encoder that must keep its bytes keeps this.
static uint64_t fnv1a(const uint8_t *p, uint64_t n) {
    uint64_t h = 14695981039346656037ull;
    for (uint64_t i = 0; i < n; i++) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

static bool check_qv(const bytes &in, uint64_t *size, uint64_t *hash) {
    uint8_t *z = nullptr;
    uint64_t zlen = 0;
    if (qv_deflate(in.data(), in.size(), &z, &zlen) != 0) return false;
    bytes back(in.size() + 1);
    uLongf n = (uLongf)back.size();
    bool ok = uncompress(back.data(), &n, z, (uLong)zlen) == Z_OK && n == in.size() &&
              memcmp(back.data(), in.data(), in.size()) == 0;
    uint64_t got = 0;
    ok = ok && inflate_decompress(z, zlen, back.data(), back.size(), &got) == 0 && got == in.size() &&
         memcmp(back.data(), in.data(), in.size()) == 0;
    ok = ok && qv_inflate(z + 2, zlen - 6, back.data(), back.size()) == (int32_t)in.size() &&
         memcmp(back.data(), in.data(), in.size()) == 0;
    *size = zlen;
    *hash = fnv1a(z, zlen);
    free(z);
    return ok;
}

static bool check_zlib(const bytes &in, uint64_t *size) {
    bytes z(compressBound((uLong)in.size()));
    uLongf zlen = (uLongf)z.size();
    if (compress2(z.data(), &zlen, in.data(), (uLong)in.size(), 6) != Z_OK) return false;
    bytes back(in.size());
    uLongf n = (uLongf)back.size();
    *size = zlen;
    return uncompress(back.data(), &n, z.data(), zlen) == Z_OK && n == in.size() && back == in;
}

int main(int argc, char **argv) {
    int runs = argc > 1 ? atoi(argv[1]) : 5;
    if (runs < 1) runs = 1;
    bytes images[3] = {photo(), grainy(), graphic()};
    const char *image_names[3] = {"photo", "grainy", "graphic"};
    printf("%dx%d RGBA, median of %d runs; MB = 10^6 bytes of input\n", width, height, runs);
    printf("%-22s %10s %10s %12s %10s %12s %9s %9s %9s  %s\n", "input", "qv 1t MB/s", "qv MB/s", "qv bytes",
           "zlib MB/s", "zlib bytes", "1t/zlib", "qv/zlib", "size qv/z", "qv output FNV-1a");
    for (int i = 0; i < 3; i++) {
        for (int form = 0; form < 3; form++) {
            static const char *form_names[3] = {"raw", "rows None", "rows Sub"};
            bytes in = form == 0 ? images[i] : rows(images[i], form == 1 ? 0 : 1);
            std::string name = std::string(image_names[i]) + " " + form_names[form];
            uint64_t qv_size = 0, z_size = 0, qv_hash = 0;
            if (!check_qv(in, &qv_size, &qv_hash) || !check_zlib(in, &z_size)) {
                printf("%-22s round trip FAILED\n", name.c_str());
                return 1;
            }
            std::vector<double> t1, tq, tz;
            bytes zbuf(compressBound((uLong)in.size()));
            for (int r = 0; r < runs; r++) {
                uint8_t *z = nullptr;
                uint64_t zlen = 0;
                auto t0 = std::chrono::steady_clock::now();
                int rc = qv_deflate_threads(in.data(), in.size(), &z, &zlen, 1);
                t1.push_back(seconds_since(t0));
                free(z);
                if (rc != 0) return 1;
                t0 = std::chrono::steady_clock::now();
                rc = qv_deflate(in.data(), in.size(), &z, &zlen);
                tq.push_back(seconds_since(t0));
                free(z);
                if (rc != 0) return 1;
                uLongf n = (uLongf)zbuf.size();
                t0 = std::chrono::steady_clock::now();
                compress2(zbuf.data(), &n, in.data(), (uLong)in.size(), 6);
                tz.push_back(seconds_since(t0));
            }
            double m1 = in.size() / median(t1) / 1e6, mq = in.size() / median(tq) / 1e6;
            double mz = in.size() / median(tz) / 1e6;
            printf("%-22s %10.1f %10.1f %12llu %10.1f %12llu %9.2f %9.2f %9.3f  %016llx\n", name.c_str(), m1, mq,
                   (unsigned long long)qv_size, mz, (unsigned long long)z_size, m1 / mz, mq / mz,
                   (double)qv_size / (double)z_size, (unsigned long long)qv_hash);
        }
    }
    return 0;
}
