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

int32_t jpeg_pass_through(const pdfcore_doc *doc, const image_params *p, const uint8_t *stream,
                          uint64_t stream_len, int32_t borrow, extracted_image *rec) {
    if (stream_chain_last(&p->chain) != pf_dct) return 0;
    // DCT alone: the JPEG data is the stored bytes, lent as they are when the receiver allows it.
    bool lend = borrow && p->chain.count == 1;
    uint8_t *b = nullptr;
    const uint8_t *j = stream;
    uint64_t n = stream_len;
    if (!lend) {
        if (image_decode(doc, p, p->chain.count - 1, 0, stream, stream_len, &b, &n, nullptr) != 0) return 0;
        j = b;
    }
    uint64_t s = 0;
    while (s + 1 < n && !(j[s] == 0xFF && j[s + 1] == 0xD8)) s++;
    if (s + 1 >= n || n < s + 4) {
        free(b);
        return 0;
    }
    uint64_t L = n - s;
    int32_t fw = 0, fh = 0;
    jpeg_frame_size(j + s, L, &fw, &fh);
    if (!lend && s) {
        uint8_t *own = (uint8_t *)malloc(L);
        if (!own) {
            free(b);
            return 0;
        }
        memcpy(own, b + s, L);
        free(b);
        b = own;
        s = 0;
    }
    rec->width = p->width > 0 ? p->width : fw;
    rec->height = p->height > 0 ? p->height : fh;
    memset(rec->format, 0, sizeof rec->format);
    memcpy(rec->format, "jpeg", 4);
    rec->size = rec->data_len = L;
    rec->data = lend ? const_cast<uint8_t *>(j + s) : b;
    rec->data_borrowed = lend ? 1 : 0;
    return 1;
}
