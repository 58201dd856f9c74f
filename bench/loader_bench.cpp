// loader_bench - throughput of document loading in GB/s of file bytes (10^9 bytes per second):
// the whole pdfcore_load (file read, trailer, both scans, object streams, page tree), and the two
// scans alone over the file bytes already in memory, plus a plain read of the file for scale; then
// the object index built two ways from the file: read whole and scanned in memory (scan_pass1,
// scan_pass2), or scanned through the library's window (scan_file_index), with the peak memory of
// each (measured in a child process of its own) and a check that both give the same index.
// Usage: loader_bench [FILE.pdf [runs]]   (default /tmp/qv-bench/big.pdf, made by run_peers.sh; 5 runs)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pdfcore/file.h"
#include "pdfcore/pdfcore.h"
#include "scan_oracle.h"

static double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// CPU seconds (user and system) of this process so far: on a busy machine the wall time also
// counts the waits for a core.
static double cpu_seconds() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
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

// The index as the loader builds it today: the whole file read, then both scans over its bytes.
static bool index_in_memory(const char *path, objvec *vec) {
    long size = 0;
    uint8_t *data = read_whole(path, &size);
    if (!data || size > 0x7FFFFFFFL) {
        free(data);
        return false;
    }
    scan_pass1(data, (int32_t)size, vec);
    scan_pass2(data, (int32_t)size, vec);
    free(data);
    return true;
}

// The same index read through the library's window.
static bool index_windowed(const char *path, objvec *vec) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    file_source src;
    bool ok = src_from_fd(&src, fd) == 0 && scan_file_index(&src, win_library_cap, vec) == scan_done;
    close(fd);
    return ok;
}

// Peak resident memory (KB) of a child process that builds the index one way, or -1.
static long peak_kb(const char *path, bool (*build)(const char *, objvec *)) {
    pid_t pid = fork();
    if (pid == 0) {
        objvec vec;
        memset(&vec, 0, sizeof vec);
        _exit(build(path, &vec) ? 0 : 1);
    }
    int status = 0;
    struct rusage ru;
    if (pid < 0 || wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return ru.ru_maxrss;
}

static bool same_index(const objvec &a, const objvec &b) {
    if (a.count != b.count) return false;
    for (int32_t i = 0; i < a.count; i++) {
        const pdfcore_obj &x = a.items[i], &y = b.items[i];
        if (x.num != y.num || x.gen != y.gen || x.head_off != y.head_off || x.dict_off != y.dict_off ||
            x.stream_kw_off != y.stream_kw_off || x.data_off != y.data_off || x.data_end != y.data_end ||
            x.endobj_off != y.endobj_off || x.end_off != y.end_off || x.stream_len != y.stream_len ||
            x.is_stream != y.is_stream || x.unterminated != y.unterminated)
            return false;
    }
    return true;
}

// Times the two ways of building the index (runs each, alternating) and prints them with their
// peak memory; false when they differ or one fails.
static bool compare_index_builds(const char *path, long size, int runs) {
    long kb_memory = peak_kb(path, index_in_memory), kb_window = peak_kb(path, index_windowed);
    std::vector<double> t_memory, t_window, c_memory, c_window;
    bool same = true;
    for (int r = 0; r < runs; r++) {
        objvec a, b;
        memset(&a, 0, sizeof a);
        memset(&b, 0, sizeof b);
        auto t0 = std::chrono::steady_clock::now();
        double c0 = cpu_seconds();
        bool ok = index_in_memory(path, &a);
        t_memory.push_back(seconds_since(t0));
        c_memory.push_back(cpu_seconds() - c0);
        t0 = std::chrono::steady_clock::now();
        c0 = cpu_seconds();
        ok = index_windowed(path, &b) && ok;
        t_window.push_back(seconds_since(t0));
        c_window.push_back(cpu_seconds() - c0);
        same = same && ok && same_index(a, b);
        free(a.items);
        free(b.items);
    }
    double gb = (double)size / 1e9;
    printf("object index of %s (%.1f MB), median of %d runs\n", path, (double)size / 1e6, runs);
    printf("%-40s %9s %9s %9s %10s\n", "way", "seconds", "GB/s", "CPU s", "peak MB");
    printf("%-40s %9.4f %9.2f %9.4f %10.1f\n", "read whole + scan_pass1 + scan_pass2", median(t_memory),
           gb / median(t_memory), median(c_memory), kb_memory / 1024.0);
    printf("%-40s %9.4f %9.2f %9.4f %10.1f\n", "scan_file_index, 256 KiB window", median(t_window),
           gb / median(t_window), median(c_window), kb_window / 1024.0);
    printf("same index: %s\n\n", same ? "yes" : "NO");
    return same;
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "/tmp/qv-bench/big.pdf";
    int runs = argc > 2 ? atoi(argv[2]) : 5;
    if (runs < 1) runs = 1;
    struct stat st;
    if (stat(path, &st) != 0 || st.st_size <= 0) {
        fprintf(stderr, "loader_bench: cannot read %s (make it with bench/run_peers.sh)\n", path);
        return 1;
    }
    // First, while this process is small: its children's peak memory is then their own.
    bool same = compare_index_builds(path, (long)st.st_size, runs);
    if (argc > 3 && strcmp(argv[3], "--index") == 0) return same ? 0 : 1;  // that comparison alone
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
    return same ? 0 : 1;
}
