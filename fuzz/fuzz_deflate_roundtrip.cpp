// Compress, then decode with both decoders: each must give the input back exactly. The stream from
// a source that fills the input piece by piece, after a prefix, must be the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec/flate.h"
#include "codec/inflate.h"

static void fill(const void *ctx, uint64_t at, uint64_t n, uint8_t *out) {
    if (n) memcpy(out, (const uint8_t *)ctx + at, (size_t)n);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t *z = nullptr;
    uint64_t zlen = 0;
    if (qv_deflate(data, size, &z, &zlen) != 0) return 0;
    if (zlen < 6) abort();
    uint8_t *back = (uint8_t *)malloc(size + 1);
    if (!back) abort();
    uint64_t out = 0;
    if (inflate_decompress(z, zlen, back, size + 1, &out) != 0 || out != size ||
        (size && memcmp(back, data, size) != 0))
        abort();
    int32_t n = qv_inflate(z + 2, zlen - 6, back, size + 1);
    if (n < 0 || (uint64_t)n != size || (size && memcmp(back, data, size) != 0)) abort();
    free(back);
    deflate_source source = {fill, data, size};
    uint8_t *y = nullptr;
    uint64_t ylen = 0;
    if (qv_deflate_source(&source, 3, &y, &ylen, 2) != 0) abort();
    if (ylen != zlen + 3 || memcmp(y + 3, z, (size_t)zlen) != 0) abort();
    free(y);
    free(z);
    return 0;
}
