// The PNG decoder on hostile files. The zlib stream's Adler-32 (when the IDAT data inflates) and
// the chunk CRCs are recomputed first so that mutations reach the decoder's logic instead of
// stopping at a checksum; the decoder reads from a path, so the bytes go through a temporary file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec/inflate.h"
#include "png/png.h"

static uint32_t crc32_of(const uint8_t *p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return c ^ 0xFFFFFFFFu;
}

static uint32_t be32(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

// Writes the Adler-32 of what the joined IDAT data inflates to into the last four bytes of the
// last IDAT chunk (where an encoder puts it). Data that does not inflate into 4 MiB is left alone.
static void fix_adler(uint8_t *p, size_t n) {
    static uint8_t joined[1 << 20], out[4 << 20];
    size_t len = 0, pos = 8;
    uint8_t *last = nullptr;
    while (pos + 12 <= n) {
        uint32_t clen = be32(p + pos);
        if (clen > n - pos - 12) break;
        if (memcmp(p + pos + 4, "IDAT", 4) == 0 && clen <= sizeof joined - len) {
            memcpy(joined + len, p + pos + 8, clen);
            len += clen;
            if (clen >= 4) last = p + pos + 8 + clen - 4;
        }
        pos += (size_t)clen + 12;
    }
    uint64_t got = 0;
    if (!last || inflate_decompress(joined, len, out, sizeof out, &got) != 0) return;
    uint32_t a = 1, b = 0;
    for (uint64_t i = 0; i < got; i++) {
        a = (a + out[i]) % 65521u;
        b = (b + a) % 65521u;
    }
    uint32_t adler = b << 16 | a;
    for (int k = 0; k < 4; k++) last[k] = (uint8_t)(adler >> (24 - 8 * k));
}

static void fix_crcs(uint8_t *p, size_t n) {
    size_t pos = 8;
    while (pos + 12 <= n) {
        uint32_t len = (uint32_t)p[pos] << 24 | (uint32_t)p[pos + 1] << 16 |
                       (uint32_t)p[pos + 2] << 8 | p[pos + 3];
        if (len > n - pos - 12) break;
        uint32_t c = crc32_of(p + pos + 4, (size_t)len + 4);
        uint8_t *q = p + pos + 8 + len;
        q[0] = (uint8_t)(c >> 24); q[1] = (uint8_t)(c >> 16); q[2] = (uint8_t)(c >> 8); q[3] = (uint8_t)c;
        pos += (size_t)len + 12;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static char path[64];
    if (!path[0]) snprintf(path, sizeof path, "/tmp/qv-fuzz-png-%d.png", (int)getpid());
    uint8_t *copy = (uint8_t *)malloc(size ? size : 1);
    if (!copy) return 0;
    if (size) memcpy(copy, data, size);
    fix_adler(copy, size);
    fix_crcs(copy, size);
    FILE *f = fopen(path, "wb");
    if (!f) { free(copy); return 0; }
    fwrite(copy, 1, size, f);
    fclose(f);
    free(copy);
    int w = 0, h = 0;
    const char *msg = nullptr;
    uint8_t *px = qv_png_decode(path, &w, &h, &msg);
    if (px) {
        if (w <= 0 || h <= 0) abort();
        volatile uint8_t sink = px[(size_t)w * (size_t)h * 4 - 1];
        (void)sink;
        free(px);
    } else if (!msg) {
        abort();
    }
    return 0;
}
