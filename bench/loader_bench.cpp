// loader_bench - throughput of document loading in GB/s of file bytes (10^9 bytes per second):
// the whole pdfcore_load (file read, trailer, both scans, object streams, page tree), and the two
// scans alone over the file bytes already in memory, plus a plain read of the file for scale.
// Usage: loader_bench [FILE.pdf [runs]]   (default /tmp/qv-bench/big.pdf, made by run_peers.sh; 5 runs)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pdfcore/pdfcore.h"

static double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

static uint8_t *read_whole(const char *path, long *size) {
    FILE *f = fopen(path, "rb");
    if (!f) return nullptr;
    fseek(f, 0, SEEK_END);
    *size = ftell(f);
    rewind(f);
    uint8_t *data = (uint8_t *)malloc((size_t)*size + 1);
    if (data && fread(data, 1, (size_t)*size, f) != (size_t)*size) {
        free(data);
        data = nullptr;
    }
    fclose(f);
    return data;
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "/tmp/qv-bench/big.pdf";
    int runs = argc > 2 ? atoi(argv[2]) : 5;
    if (runs < 1) runs = 1;
    long size = 0;
    uint8_t *data = read_whole(path, &size);
    if (!data || size <= 0 || size > 0x7FFFFFFFL) {
        fprintf(stderr, "loader_bench: cannot read %s (make it with bench/run_peers.sh)\n", path);
        return 1;
    }
    std::vector<double> t_read, t_load, t_pass1, t_pass2;
    int32_t objects = 0, pages = 0;
    for (int r = 0; r < runs; r++) {
        auto t0 = std::chrono::steady_clock::now();
        long n = 0;
        free(read_whole(path, &n));
        t_read.push_back(seconds_since(t0));

        pdfcore_doc doc;
        memset(&doc, 0, sizeof doc);
        t0 = std::chrono::steady_clock::now();
        int ok = pdfcore_load(path, &doc);
        t_load.push_back(seconds_since(t0));
        if (ok != 1) {
            fprintf(stderr, "loader_bench: load failed: %s\n", pdfcore_last_error(&doc));
            return 1;
        }
        objects = doc.objs.count;
        pages = doc.pages.count;
        pdfcore_doc_free(&doc);

        objvec vec;
        memset(&vec, 0, sizeof vec);
        t0 = std::chrono::steady_clock::now();
        scan_pass1(data, (int32_t)size, &vec);
        t_pass1.push_back(seconds_since(t0));
        t0 = std::chrono::steady_clock::now();
        scan_pass2(data, (int32_t)size, &vec);
        t_pass2.push_back(seconds_since(t0));
        free(vec.items);
    }
    double gb = (double)size / 1e9;
    printf("%s: %.1f MB, %d objects, %d pages, median of %d runs\n", path, size / 1e6, (int)objects, (int)pages, runs);
    printf("%-28s %9s %9s\n", "step", "seconds", "GB/s");
    printf("%-28s %9.4f %9.2f\n", "fopen+fread alone", median(t_read), gb / median(t_read));
    printf("%-28s %9.4f %9.2f\n", "pdfcore_load (whole)", median(t_load), gb / median(t_load));
    printf("%-28s %9.4f %9.2f\n", "first scan (in memory)", median(t_pass1), gb / median(t_pass1));
    printf("%-28s %9.4f %9.2f\n", "second scan (in memory)", median(t_pass2), gb / median(t_pass2));
    free(data);
    return 0;
}
