// inflate_bench - the library's two DEFLATE decoders against zlib's inflate on the same streams:
// inflate_decompress (zlib streams) and qv_inflate (the same streams without their zlib header
// and trailer) versus zlib's uncompress (inflate with its Adler-32 check). Streams: photo-like RGB
// image data and object-stream-like text, each compressed by zlib at levels 1, 6 and 9, and by the
// library's own encoder (as in its PNG files). Each decoder's output is checked once before timing.
// Prints MB of decoded output per second from the fastest of several runs of each, timed in the
// calling thread's CPU time (the three take turns; on a busy machine, wall time counts the other
// processes' turns on the processor, CPU time only what each decoder used), and the ratios.
// Usage: inflate_bench [runs]   (default 15)
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <time.h>

#include "codec/flate.h"
#include "codec/inflate.h"

typedef std::vector<uint8_t> bytes;

static uint64_t mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

// 2000x1500 RGB: smooth gradients plus low noise, like the benchmark PDFs' photos.
static bytes photo() {
    const int w = 2000, h = 1500;
    bytes px((size_t)w * h * 3);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            double fx = x / (double)w, fy = y / (double)h;
            int base[3] = {(int)(40 + 150 * fx + 40 * std::sin(fy * 7)), (int)(40 + 140 * fy + 40 * std::cos(fx * 5)),
                           (int)(130 + 60 * std::sin(fx * 3) + 50 * std::cos(fy * 4))};
            uint64_t n = mix((uint64_t)y * 65536 + (uint64_t)x);
            for (int c = 0; c < 3; c++) {
                int v = base[c] + (int)((n >> (c * 8)) & 3) - 1;
                px[((size_t)y * w + x) * 3 + c] = (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
    }
    return px;
}

// Object-stream-like text: many small dictionaries with names, numbers and references.
static bytes objtext() {
    static const char *keys[] = {"/Type /Page", "/Parent 3 0 R", "/MediaBox [0 0 612 792]", "/Font << /F1 12 0 R >>",
                                 "/Annots [45 0 R 46 0 R]", "/Subtype /Link", "/Rect [72.5 700.25 200 712]",
                                 "/Border [0 0 0]", "/A << /S /URI /URI (http://example.org/a/b) >>", "/StructParents 7"};
    std::string s;
    uint64_t r = 1;
    while (s.size() < 8000000) {
        s += "<<";
        int n = 2 + (int)(mix(r++) % 5);
        for (int k = 0; k < n; k++) {
            s += keys[mix(r++) % 10];
            s += ' ';
        }
        s += "/Contents " + std::to_string(mix(r++) % 100000) + " 0 R>>\n";
    }
    return bytes(s.begin(), s.end());
}

static bytes zlib_level(const bytes &in, int level) {
    uLongf n = compressBound((uLong)in.size());
    bytes out(n);
    compress2(out.data(), &n, in.data(), (uLong)in.size(), level);
    out.resize(n);
    return out;
}

static bytes qv_encode(const bytes &in) {
    uint8_t *z = nullptr;
    uint64_t zlen = 0;
    if (qv_deflate(in.data(), in.size(), &z, &zlen) != 0) exit(1);
    bytes out(z, z + zlen);
    free(z);
    return out;
}

static double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static double fastest(const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); }

static bool run_inflate(const bytes &z, bytes &out) {
    uint64_t got = 0;
    return inflate_decompress(z.data(), z.size(), out.data(), out.size(), &got) == 0 && got == out.size();
}

static bool run_qv(const bytes &z, bytes &out) {
    return qv_inflate(z.data() + 2, z.size() - 6, out.data(), out.size()) == (int32_t)out.size();
}

static bool run_zlib(const bytes &z, bytes &out) {
    uLongf n = (uLongf)out.size();
    return uncompress(out.data(), &n, z.data(), (uLong)z.size()) == Z_OK && n == out.size();
}

int main(int argc, char **argv) {
    int runs = argc > 1 ? atoi(argv[1]) : 15;
    if (runs < 1) runs = 1;
    bytes inputs[2] = {photo(), objtext()};
    const char *names[2] = {"photo RGB", "object text"};
    printf("fastest of %d runs; MB/s = 10^6 bytes of decoded output per CPU second\n", runs);
    printf("%-22s %9s %10s %10s %10s %9s %9s\n", "stream", "ratio", "inflate", "qv_inflate", "zlib", "inflate/z",
           "qv/z");
    for (int i = 0; i < 2; i++) {
        for (int form = 0; form < 4; form++) {
            static const char *form_names[4] = {"zlib -1", "zlib -6", "zlib -9", "qv_deflate"};
            static const int levels[3] = {1, 6, 9};
            const bytes &in = inputs[i];
            bytes z = form < 3 ? zlib_level(in, levels[form]) : qv_encode(in);
            std::string name = std::string(names[i]) + " " + form_names[form];
            bytes out(in.size());
            bool (*decoders[3])(const bytes &, bytes &) = {run_inflate, run_qv, run_zlib};
            for (int d = 0; d < 3; d++) {
                std::fill(out.begin(), out.end(), 0);
                if (!decoders[d](z, out) || out != in) {
                    printf("%-22s decoder %d FAILED\n", name.c_str(), d);
                    return 1;
                }
            }
            // The three decoders take turns, so a busy machine slows them alike.
            std::vector<double> t[3];
            for (int r = 0; r < runs; r++) {
                for (int d = 0; d < 3; d++) {
                    double t0 = cpu_seconds();
                    decoders[d](z, out);
                    t[d].push_back(cpu_seconds() - t0);
                }
            }
            double mbs[3];
            for (int d = 0; d < 3; d++) mbs[d] = in.size() / fastest(t[d]) / 1e6;
            printf("%-22s %9.3f %10.1f %10.1f %10.1f %9.2f %9.2f\n", name.c_str(), (double)z.size() / in.size(), mbs[0],
                   mbs[1], mbs[2], mbs[0] / mbs[2], mbs[1] / mbs[2]);
        }
    }
    return 0;
}
