// The CCITT fax decoder on hostile input. The first five bytes choose the parameters:
//   0: bits 0-1: 0 or 1 Group 4 (K -1), 2 Group 3 one-dimensional (K 0), 3 mixed, K = 1 + bits 2-4
//   1: bit 0 EncodedByteAlign, bit 1 EndOfLine, bit 2 no EndOfBlock, bit 3 BlackIs1 false,
//      bits 4-7 DamagedRowsBeforeError
//   2-3: Columns - 1, big-endian, 13 bits (1..8192)
//   4: Rows (0: not given)
// Checks what a successful call promises: the length, zero padding bits, the bytes used.
#include <cstdint>
#include <cstdlib>

#include "codec/ccitt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    ccitt_params p;
    ccitt_params_default(&p);
    p.k = (data[0] & 3) < 2 ? -1 : (data[0] & 3) == 2 ? 0 : 1 + ((data[0] >> 2) & 7);
    p.encoded_byte_align = data[1] & 1;
    p.end_of_line = (data[1] >> 1) & 1;
    p.end_of_block = !((data[1] >> 2) & 1);
    p.black_is_1 = !((data[1] >> 3) & 1);
    p.damaged_rows_before_error = data[1] >> 4;
    p.columns = 1 + (((data[2] << 8) | data[3]) & 0x1fff);
    p.rows = data[4];
    uint8_t *out = nullptr;
    uint64_t len = 0, used = 0;
    int32_t rows = ccitt_decode(data + 5, size - 5, &p, &out, &len, &used);
    if (rows < 0) abort();  // the parameters are always good
    uint64_t row_bytes = ((uint64_t)p.columns + 7) / 8;
    if (!out || len != (uint64_t)rows * row_bytes || used > size - 5 || (p.rows > 0 && rows > p.rows)) abort();
    if (p.columns % 8)
        for (uint64_t i = row_bytes - 1; i < len; i += row_bytes)
            if (out[i] & (0xffu >> (p.columns % 8))) abort();
    free(out);
    return 0;
}
