// pdfextractimg/jpeg.cpp - JPEG pass-through: the bytes of DCTDecode data as stored, from the SOI
// marker, with the frame's size where the dictionary gives none.
#include "pdfextractimg/jpeg.h"

#include <cstdlib>
#include <cstring>

#include "pdfextractimg/extract.h"

// ---- JPEG pass-through --------------------------------------------------------------------------

// Frame size from the first SOFn header of the JPEG j[0, len) (j[0..1] is the SOI). 1 when found.
static int jpeg_frame_size(const uint8_t *j, uint64_t len, int32_t *fw, int32_t *fh) {
    if (len <= 6) return 0;
    uint64_t pos = 2;
    while (pos + 4 < len) {
        if (j[pos] != 0xFF) {
            pos++;
            continue;
        }
        uint64_t m = pos;
        while (m < len && j[m] == 0xFF) m++;
        if (m >= len) return 0;
        uint8_t mk = j[m];
        if (mk == 0xD9 || mk == 0xDA) return 0;
        if (mk >= 0xD0 && mk <= 0xD8) {
            pos = m + 1;
            continue;
        }
        if (m + 3 > len) return 0;
        uint64_t g = (uint64_t)j[m + 1] << 8 | j[m + 2];
        if (g <= 1) return 0;
        uint64_t next = m + 1 + g;
        if (next > len) return 0;
        bool sof = mk >= 0xC0 && mk <= 0xCF && mk != 0xC4 && mk != 0xC8 && mk != 0xCC;
        if (sof && g >= 7) {
            int32_t h = j[m + 4] << 8 | j[m + 5], w = j[m + 6] << 8 | j[m + 7];
            if (w && h) {
                *fw = w;
                *fh = h;
                return 1;
            }
        }
        pos = next;
    }
    return 0;
}

// Where the JPEG data of j[0, n) starts (its SOI marker) and the frame's size after it (0 and 0
// when no SOFn header lies within n bytes). 1, or 0 when no usable start is within n bytes.
static int jpeg_locate(const uint8_t *j, uint64_t n, uint64_t *soi, int32_t *fw, int32_t *fh) {
    uint64_t s = 0;
    while (s + 1 < n && !(j[s] == 0xFF && j[s + 1] == 0xD8)) s++;
    if (s + 1 >= n || n < s + 4) return 0;
    *fw = *fh = 0;
    jpeg_frame_size(j + s, n - s, fw, fh);
    *soi = s;
    return 1;
}

// Fills rec as a JPEG of len bytes (data as given, null when the file gives them) of the image p.
static void fill_jpeg(const image_params *p, int32_t fw, int32_t fh, uint8_t *data, uint64_t len,
                      extracted_image *rec) {
    rec->width = p->width > 0 ? p->width : fw;
    rec->height = p->height > 0 ? p->height : fh;
    memset(rec->format, 0, sizeof rec->format);
    memcpy(rec->format, "jpeg", 4);
    rec->size = len;
    rec->data = data;
    rec->data_len = data ? len : 0;
}

int32_t jpeg_pass_through(const pdfcore_doc *doc, const image_params *p, const uint8_t *stream,
                          uint64_t stream_len, extracted_image *rec) {
    if (stream_chain_last(&p->chain) != pf_dct) return 0;
    uint8_t *b = nullptr;
    uint64_t n = 0, s = 0;
    int32_t fw = 0, fh = 0;
    if (image_decode(doc, p, p->chain.count - 1, 0, stream, stream_len, &b, &n, nullptr) != 0) return 0;
    if (!jpeg_locate(b, n, &s, &fw, &fh)) {
        free(b);
        return 0;
    }
    if (s) memmove(b, b + s, n - s);  // the JPEG file starts at its SOI marker
    fill_jpeg(p, fw, fh, b, n - s, rec);
    return 1;
}

int32_t jpeg_from_file(const pdfcore_doc *doc, const pdfcore_obj *o, const image_params *p,
                       extracted_image *rec) {
    int64_t off = 0;
    uint64_t len = 0;
    if (p->chain.count != 1 || p->chain.stage[0].filter != pf_dct ||
        !pdfcore_stream_extent(doc, o, &off, &len))
        return -1;
    bool sized = p->width > 0 && p->height > 0;  // the frame's size is needed only when not
    for (uint64_t want = jpeg_probe_bytes;; want *= 8) {
        uint64_t n = want < len ? want : len;
        uint8_t *head = (uint8_t *)malloc((size_t)n);
        if (!head) return -1;
        int64_t got = src_read(&doc->src, off, head, (int64_t)n);
        uint64_t s = 0;
        int32_t fw = 0, fh = 0;
        int found = got == (int64_t)n && jpeg_locate(head, n, &s, &fw, &fh);
        free(head);
        if (got != (int64_t)n) {  // the file changed under the reader
            const_cast<pdfcore_doc *>(doc)->read_failed = 1;
            return 0;
        }
        if (found && (sized || fw > 0 || n == len)) {
            fill_jpeg(p, fw, fh, nullptr, len - s, rec);
            rec->src = &doc->src;
            rec->src_off = off + (int64_t)s;
            return 1;
        }
        if (n == len) return 0;                 // no usable JPEG start in all of it
        if (want >= jpeg_probe_max) return -1;  // far in: read whole, as any stream
    }
}
