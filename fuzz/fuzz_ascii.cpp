// The ASCIIHex, ASCII85 and RunLength filters on the same hostile bytes; each output stays within
// what its input can give.
#include <cstdint>
#include <cstdlib>

#include "codec/ascii.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t *(*const decoders[])(const uint8_t *, uint64_t, uint64_t *) = {
        decode_hex, decode_a85, decode_runlength};
    // Most bytes one input byte can give: half of one (hex), four ('z'), 64 (a repeat).
    const uint64_t bound[] = {size / 2 + 1, 4 * (uint64_t)size, 64 * (uint64_t)size + 128};
    for (int i = 0; i < 3; i++) {
        uint64_t n = UINT64_MAX;
        uint8_t *out = decoders[i](data, size, &n);
        if (!out) abort();  // small inputs never fail
        if (n > bound[i] || n > ascii_max_out) abort();
        if (n > 0) {
            volatile uint8_t sink = out[n - 1];  // the reported length is really there
            (void)sink;
        }
        free(out);
    }
    return 0;
}
