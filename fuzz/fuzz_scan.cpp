// The object index built through a small window against the one the two scans build over the
// whole bytes: any difference in any field of any entry, or in their order, aborts. Each input is
// scanned with three window sizes picked from a hash of its bytes (64 B to 64 KiB), so that the
// window's boundaries fall everywhere as the input changes, the smallest with at most 1 to 16
// openings recorded per unclosed dictionary scan; then as a file that shrank after its size was
// taken, which must fail cleanly.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "pdfcore/file.h"
#include "pdfcore/pdfcore.h"
#include "scan_oracle.h"

static bool same_entry(const pdfcore_obj &a, const pdfcore_obj &b) {
    return a.num == b.num && a.gen == b.gen && a.head_off == b.head_off && a.dict_off == b.dict_off &&
           a.stream_kw_off == b.stream_kw_off && a.data_off == b.data_off && a.data_end == b.data_end &&
           a.endobj_off == b.endobj_off && a.end_off == b.end_off && a.stream_len == b.stream_len &&
           a.is_stream == b.is_stream && a.unterminated == b.unterminated && a.in_objstm == b.in_objstm &&
           a.body == b.body && a.body_len == b.body_len && a.stm_head_off == b.stm_head_off;
}

static void check_window(const uint8_t *d, size_t size, const objvec &want, int64_t cap,
                         int32_t events = scan_max_close_events) {
    file_source src;
    src_from_memory(&src, d, (int64_t)size, (int64_t)size);
    objvec got;
    memset(&got, 0, sizeof got);
    if (scan_file_index(&src, cap, &got, events) != scan_done) abort();
    if (got.count != want.count) abort();
    for (int32_t i = 0; i < want.count; i++)
        if (!same_entry(got.items[i], want.items[i])) abort();
    free(got.items);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
    if (size > (1u << 20)) return 0;
    uint8_t *d = (uint8_t *)malloc(size ? size : 1);  // exact size: reads past the end are seen
    if (!d) return 0;
    if (size) memcpy(d, input, size);
    uint32_t h = 2166136261u;  // FNV-1a of the bytes and their count
    for (size_t i = 0; i < size; i++) h = (h ^ d[i]) * 16777619u;
    h = (h ^ (uint32_t)size) * 16777619u;

    objvec want;
    memset(&want, 0, sizeof want);
    scan_pass1(d, (int32_t)size, &want);
    scan_pass2(d, (int32_t)size, &want);
    check_window(d, size, want, 64 + h % 64, 1 + (int32_t)(h >> 28));  // few openings recorded
    check_window(d, size, want, 128 + (h >> 6) % 2048);
    check_window(d, size, want, 2048 + (h >> 17) % 63489);
    free(want.items);

    // The file shrank by a byte after its size was taken: the scan reads its last byte and fails.
    if (size > 3) {
        file_source src;
        src_from_memory(&src, d, (int64_t)size - 1, (int64_t)size);
        objvec got;
        memset(&got, 0, sizeof got);
        if (scan_file_index(&src, 64 + h % 512, &got) != scan_read_failed || got.count != 0) abort();
        free(got.items);
    }
    free(d);
    return 0;
}
