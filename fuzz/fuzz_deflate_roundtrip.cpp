// Compress, then decode with both decoders: each must give the input back exactly.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec/flate.h"
#include "codec/inflate.h"

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
    free(z);
    return 0;
}
