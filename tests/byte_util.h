// tests/byte_util.h - byte vectors for tests: hex text both ways, whole files in and out.
#ifndef QV_TESTS_BYTE_UTIL_H
#define QV_TESTS_BYTE_UTIL_H

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

typedef std::vector<uint8_t> bytes;

// Two hex digits per byte; "-" is empty (the fixtures' "none").
inline bytes from_hex(const std::string &h) {
    bytes out;
    if (h == "-") return out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back((uint8_t)std::stoul(h.substr(i, 2), nullptr, 16));
    return out;
}

inline std::string to_hex(const uint8_t *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// The whole file; empty when it cannot be read.
inline bytes read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline bool write_bytes(const std::string &path, const bytes &b) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = b.empty() || fwrite(b.data(), 1, b.size(), f) == b.size();
    return fclose(f) == 0 && ok;
}

#endif
