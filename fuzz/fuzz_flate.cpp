// The raw DEFLATE stream inflater on hostile input, with a capacity picked by the first byte, and
// checked against the zlib-stream decoder: where both accept the data, both give the same bytes
// (they differ only in what they forgive: stored-block NLEN, incomplete codes).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec/flate.h"
#include "codec/inflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    uint64_t cap = (uint64_t)data[0] * 1024u + 1u;  // 1 byte .. 255 KiB
    uint8_t *dst = (uint8_t *)malloc(cap);
    uint8_t *other = (uint8_t *)malloc(cap);
    uint8_t *zlib = (uint8_t *)malloc(size + 1);  // 2-byte header + the raw data
    if (!dst || !other || !zlib) abort();
    int32_t n = qv_inflate(data + 1, size - 1, dst, cap);
    if (n < -1 || (n >= 0 && (uint64_t)n > cap)) abort();
    zlib[0] = 0x78;
    zlib[1] = 0x01;
    if (size > 1) memcpy(zlib + 2, data + 1, size - 1);
    uint64_t m = 0;
    int rc = inflate_decompress(zlib, size + 1, other, cap, &m);
    if (n >= 0 && rc == 0 && ((uint64_t)n != m || (n > 0 && memcmp(dst, other, (size_t)n) != 0)))
        abort();
    free(zlib);
    free(other);
    free(dst);
    return 0;
}
