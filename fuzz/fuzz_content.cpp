// The content token reader, the dictionary entry readers, the inline image reader and the search
// for Do operators on hostile content: every inline image and every name found lies inside the
// content and the reading always moves on; the images are converted as far as their pixels, with
// colour spaces named in a fixed resource dictionary. A document without objects stands around
// them: references lead nowhere.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "pdfcore/pdfcore.h"
#include "pdfextractimg/drawn.h"
#include "pdfextractimg/extract.h"
#include "pdfextractimg/inline.h"

static const char s_resources[] =
    "<< /ColorSpace << /Pal [/Indexed /DeviceRGB 1 <FF000000FF00>] /Gray /DeviceGray "
    "/Icc [/ICCBased 5 0 R] >> /XObject << /Im 6 0 R >> >>";

static void check_pos(int32_t pos, int32_t lo, int32_t len) {
    if (pos < lo || pos > len) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
    if (size > (1u << 20)) return 0;
    int32_t len = (int32_t)size;
    // An exact-size copy: readers that pass the end are seen by AddressSanitizer.
    uint8_t *d = (uint8_t *)malloc(size ? size : 1);
    if (!d) return 0;
    if (size) memcpy(d, input, size);

    // Tokens: each starts where the last ended or later, and the reading ends.
    pdfcore_token tok;
    int32_t pos = 0, last = 0, steps = 0;
    while (pdfcore_next_token(d, len, &pos, &tok)) {
        if (tok.start < last || tok.end <= tok.start || tok.end != pos || ++steps > len) abort();
        last = tok.end;
        if (tok.kind == tok_dict_open) {  // its entries, as the inline dictionary reader steps
            int32_t q = tok.start + 2, key = 0, value = 0, entries = 0;
            while (pdfcore_dict_next(d, len, &q, &key, &value)) {
                check_pos(key, tok.start, len);
                check_pos(value, key, len);
                check_pos(q, value, len);
                if (++entries > len) abort();
            }
            check_pos(pdfcore_value_end(d, tok.start, len), tok.start + 1, len);
        }
    }

    pdfcore_doc doc;
    memset(&doc, 0, sizeof doc);
    pdfcore_span res = {(const uint8_t *)s_resources, 0, (int32_t)sizeof s_resources - 1, -1};
    inline_reader r;
    inline_reader_init(&r, d, len);
    inline_image img;
    image_params p;
    int32_t prev = -1;
    while (inline_next(&doc, &r, &res, &img, &p)) {
        if (img.next <= prev || img.next > len || img.bi < 0 || img.bi >= len) abort();
        if (img.usable && (img.data_start <= img.bi || img.data_end <= img.data_start ||
                           img.data_end > len))
            abort();
        prev = img.next;
        image_params_free(&p);
    }

    // Names of Do operators: inside the content, each after the one before.
    const uint8_t *bounds[3] = {d, d + len, d};
    drawn_names(d, len,
                [](void *ctx, const uint8_t *name, int32_t n) {
                    const uint8_t **b = (const uint8_t **)ctx;
                    if (n < 0 || name <= b[0] || name < b[2] || name + n > b[1] || name[-1] != '/') abort();
                    b[2] = name + n;
                },
                bounds);

    img_vec list;
    memset(&list, 0, sizeof list);
    image_receiver to = img_vec_receiver(&list, extract_no_png);
    inline_content_images(&doc, d, len, &res, 1, &to);
    for (int32_t i = 0; i < list.count; i++)
        if (list.items[i].obj_num != 0 || list.items[i].width < 0) abort();
    img_vec_free(&list);
    free(d);
    return 0;
}
