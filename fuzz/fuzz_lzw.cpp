// The LZW decoder on hostile input, with a capacity picked by the first byte.
#include <cstdint>
#include <cstdlib>

#include "codec/lzw.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    uint64_t cap = (uint64_t)data[0] * 1024u + 1u;
    uint8_t *dst = (uint8_t *)malloc(cap);
    if (!dst) return 0;
    uint64_t out = UINT64_MAX;
    int rc = lzw_decompress(data + 1, size - 1, dst, cap, &out);
    if (rc == 0 && out > cap) abort();
    if (rc != 0 && (rc != -1 || out != UINT64_MAX)) abort();  // a failure leaves *dst_len alone
    free(dst);
    return 0;
}
