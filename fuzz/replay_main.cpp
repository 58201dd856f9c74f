// Runs a fuzz target's entry over every file of the directories or files named on the command
// line, so that the corpus and every input that once crashed stay regression tests.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static bool read_file(const std::string &path, std::vector<uint8_t> &out) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return false;
    out.clear();
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
    fclose(f);
    return true;
}

static int run_path(const std::string &path, int *count) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    if (S_ISDIR(st.st_mode)) {
        DIR *d = opendir(path.c_str());
        if (!d) return 1;
        std::vector<std::string> names;
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
        int rc = 0;
        for (const std::string &name : names) rc |= run_path(path + "/" + name, count);
        return rc;
    }
    std::vector<uint8_t> bytes;
    if (!read_file(path, bytes)) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    // Hand over an exact-size heap copy so that AddressSanitizer sees reads past the end.
    uint8_t *copy = (uint8_t *)malloc(bytes.size() ? bytes.size() : 1);
    if (!copy) return 1;
    if (!bytes.empty()) memcpy(copy, bytes.data(), bytes.size());
    LLVMFuzzerTestOneInput(copy, bytes.size());
    free(copy);
    ++*count;
    return 0;
}

int main(int argc, char **argv) {
    int count = 0, rc = 0;
    for (int i = 1; i < argc; i++) rc |= run_path(argv[i], &count);
    printf("replayed %d inputs\n", count);
    return rc;
}
