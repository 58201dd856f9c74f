// The JBIG2 decoder on hostile input: a 2-byte length, that many bytes of globals, then the
// page's segments, decoded for an image dictionary of 2048 x 2048 (as the caller passes it; larger
// pages are cut to it). A page that comes back must have the size it reports.
#include <cstdint>
#include <cstdlib>

#include "codec/jbig2.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    size_t glen = (size_t)data[0] << 8 | data[1];
    if (glen > size - 2) glen = size - 2;
    const uint8_t *globals = data + 2, *page = data + 2 + glen;
    uint8_t *out = nullptr;
    uint32_t w = 7, h = 7;
    int32_t rc = jbig2_decode(page, size - 2 - glen, glen ? globals : nullptr, glen, 2048, 2048,
                              &out, &w, &h);
    if (rc < 0) {
        if (out || w || h) abort();
        return 0;
    }
    if (rc > 1 || !out || w > 2048 || h > 2048) abort();
    // Every byte of the page is there (ASan checks the read), padding bits are clear.
    uint32_t stride = (w + 7) / 8;
    uint8_t acc = 0;
    for (uint64_t i = 0; i < (uint64_t)stride * h; i++) acc ^= out[i];
    if (w & 7)
        for (uint32_t y = 0; y < h; y++)
            if (out[(uint64_t)y * stride + stride - 1] & (0xFFu >> (w & 7))) abort();
    free(out);
    return acc == 1 ? 0 : 0;  // uses the sum, so the reads stay
}
