// jpx_bench - the JPEG 2000 decoder against OpenJPEG's (libopenjp2, linked here only) on one
// thread, on a 2000x1500 photo-like RGB image coded by opj_compress losslessly (5/3, RCT) and
// lossily (9/7, ICT, 10:1). Both decode the same bytes from memory; our output is checked against
// the source (lossless) and OpenJPEG's (lossy, within 1) once before timing. Prints the fastest
// and the median CPU time of several runs of each (they take turns) and the ratio ours /
// OpenJPEG's.
// Usage: jpx_bench [runs]   (default 7; needs opj_compress on the PATH)
#include <openjpeg.h>

#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/jpx/jpx.h"
#include "tests/pdf_builder.h"

typedef std::vector<uint8_t> bytes;

static const int width = 2000, height = 1500;

// Smooth gradients and waves, a few edges, and low noise, from a fixed seed.
static bytes photo() {
    bytes px((size_t)width * height * 3);
    uint64_t s = 12345;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            for (int c = 0; c < 3; c++) {
                s = s * 6364136223846793005ULL + 1442695040888963407ULL;
                double v = 128 + 60 * sin(x * (0.011 + 0.002 * c) + y * 0.004) * cos(y * 0.009 - c) +
                           30.0 * x / width + ((x / 97 + y / 61) % 7 == 0 ? 25 : 0) +
                           (double)((s >> 33) % 9) - 4;
                px[((size_t)y * width + x) * 3 + c] = (uint8_t)std::min(255.0, std::max(0.0, v));
            }
        }
    }
    return px;
}

static bytes encode(const bytes &px, const char *opts) {
    const char *ppm = "/tmp/jpx_bench_src.ppm", *out = "/tmp/jpx_bench.j2k";
    FILE *f = fopen(ppm, "wb");
    if (!f) return bytes();
    fprintf(f, "P6\n%d %d\n255\n", width, height);
    fwrite(px.data(), 1, px.size(), f);
    fclose(f);
    std::string cmd = std::string("opj_compress -i ") + ppm + " -o " + out + " " + opts + " >/dev/null 2>&1";
    if (system(cmd.c_str()) != 0) return bytes();
    std::string s = read_file(out);
    bytes b(s.begin(), s.end());
    remove(ppm);
    remove(out);
    return b;
}

// OpenJPEG reading from memory.
struct mem {
    const bytes *b;
    size_t pos;
};
static OPJ_SIZE_T mem_read(void *dst, OPJ_SIZE_T n, void *user) {
    mem *m = (mem *)user;
    if (m->pos >= m->b->size()) return (OPJ_SIZE_T)-1;
    n = std::min(n, m->b->size() - m->pos);
    memcpy(dst, m->b->data() + m->pos, n);
    m->pos += n;
    return n;
}
static OPJ_OFF_T mem_skip(OPJ_OFF_T n, void *user) {
    mem *m = (mem *)user;
    m->pos = (size_t)std::min<OPJ_OFF_T>((OPJ_OFF_T)m->b->size(), (OPJ_OFF_T)m->pos + n);
    return n;
}
static OPJ_BOOL mem_seek(OPJ_OFF_T n, void *user) {
    mem *m = (mem *)user;
    if (n < 0 || (size_t)n > m->b->size()) return OPJ_FALSE;
    m->pos = (size_t)n;
    return OPJ_TRUE;
}

static opj_image_t *opj_decode(const bytes &cs) {
    mem m = {&cs, 0};
    opj_stream_t *st = opj_stream_default_create(OPJ_TRUE);
    opj_stream_set_user_data(st, &m, nullptr);
    opj_stream_set_user_data_length(st, cs.size());
    opj_stream_set_read_function(st, mem_read);
    opj_stream_set_skip_function(st, mem_skip);
    opj_stream_set_seek_function(st, mem_seek);
    opj_codec_t *codec = opj_create_decompress(OPJ_CODEC_J2K);
    opj_dparameters_t p;
    opj_set_default_decoder_parameters(&p);
    opj_setup_decoder(codec, &p);
    opj_codec_set_threads(codec, 1);
    opj_image_t *img = nullptr;
    if (!opj_read_header(st, codec, &img) || !opj_decode(codec, st, img) || !opj_end_decompress(codec, st)) {
        opj_image_destroy(img);
        img = nullptr;
    }
    opj_destroy_codec(codec);
    opj_stream_destroy(st);
    return img;
}

// CPU time of the process (OpenJPEG decodes on a worker thread even when told to use one):
// on a machine shared with other work it varies less than wall time.
static double now() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static bool check(const bytes &cs, const bytes &px, bool lossy) {
    jpx_image img;
    if (jpx_decode(cs.data(), cs.size(), &img) != 0) return false;
    opj_image_t *ref = opj_decode(cs);
    bool ok = ref && img.nplanes == 3;
    int64_t worst = 0, exact = 0;
    for (int c = 0; ok && c < 3; c++) {
        for (size_t i = 0; i < (size_t)width * height; i++) {
            int32_t want = lossy ? ref->comps[c].data[i] : px[i * 3 + c];
            int64_t d = std::llabs((int64_t)img.planes[c].data[i] - want);
            worst = std::max(worst, d);
            exact += d == 0;
        }
    }
    printf("  check: largest difference %lld, %lld of %d samples exact\n", (long long)worst,
           (long long)exact, width * height * 3);
    opj_image_destroy(ref);
    jpx_image_free(&img);
    return ok && worst <= (lossy ? 1 : 0);
}

int main(int argc, char **argv) {
    int runs = argc > 1 ? atoi(argv[1]) : 7;
    bytes px = photo();
    struct { const char *name, *opts; bool lossy; } kinds[] = {
        {"lossless 5/3", "-n 6", false},
        {"lossy 9/7 10:1", "-n 6 -I -r 10", true},
    };
    printf("%-16s %10s %12s %12s %12s %12s %8s\n", "image", "bytes", "qv best s", "qv median", "opj best s",
           "opj median", "qv/opj");
    for (auto &k : kinds) {
        bytes cs = encode(px, k.opts);
        if (cs.empty()) {
            fprintf(stderr, "opj_compress failed\n");
            return 1;
        }
        if (!check(cs, px, k.lossy)) {
            fprintf(stderr, "%s: decoded samples differ\n", k.name);
            return 1;
        }
        std::vector<double> ours, theirs;
        for (int r = 0; r < runs; r++) {
            double t0 = now();
            jpx_image img;
            if (jpx_decode(cs.data(), cs.size(), &img) != 0) return 1;
            double t1 = now();
            jpx_image_free(&img);
            double t2 = now();
            opj_image_t *ref = opj_decode(cs);
            double t3 = now();
            opj_image_destroy(ref);
            ours.push_back(t1 - t0);
            theirs.push_back(t3 - t2);
        }
        std::sort(ours.begin(), ours.end());
        std::sort(theirs.begin(), theirs.end());
        double om = ours[ours.size() / 2], tm = theirs[theirs.size() / 2];
        printf("%-16s %10zu %12.3f %12.3f %12.3f %12.3f %8.2f\n", k.name, cs.size(), ours[0], om,
               theirs[0], tm, om / tm);
    }
    return 0;
}
