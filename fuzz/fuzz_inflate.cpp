// The zlib-stream decoder on hostile input. The first byte picks the output capacity, so that
// both "output full" and "input exhausted" paths are reached.
#include <cstdint>
#include <cstdlib>

#include "codec/inflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    uint64_t cap = (uint64_t)data[0] * 1024u + 1u;  // 1 byte .. 255 KiB
    uint8_t *dst = (uint8_t *)malloc(cap);
    if (!dst) return 0;
    uint64_t out = 0;
    int rc = inflate_decompress(data + 1, size - 1, dst, cap, &out);
    if (rc == 0 && out > cap) abort();
    if (rc != 0 && out != 0) abort();
    free(dst);
    return 0;
}
