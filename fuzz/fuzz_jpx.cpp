// The JPEG 2000 decoder on hostile input: the header read first (images above a million
// samples are left out so a run stays fast), then the decode and the 8-bit conversion.
#include <cstdint>
#include <cstdlib>

#include "codec/jpx/jpx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    jpx_image img;
    if (jpx_read_header(data, size, &img) < 0) return 0;
    uint64_t samples = (uint64_t)img.width * img.height * (uint64_t)img.nplanes;
    jpx_image_free(&img);
    if (samples > (1u << 20)) return 0;
    if (jpx_decode(data, size, &img) < 0) return 0;
    if (!img.planes || img.ncolour < 0 || img.ncolour > img.nplanes || img.alpha >= img.nplanes)
        abort();
    jpx_pixels px;
    int32_t count = img.ncolour > 0 ? img.ncolour : 1;
    if (jpx_to_8bit(&img, 0, count, img.alpha, &px) == 0) {
        if (px.width != img.width || px.channels != count || (img.alpha >= 0) != (px.alpha != nullptr))
            abort();
        jpx_pixels_free(&px);
    }
    jpx_image_free(&img);
    return 0;
}
