// Any bytes as the blocks a picture carries beside its pixels: the first byte
// picks the reader, the rest is the block. 0: an EXIF block for its
// orientation; 1 to 4: an ICC profile for pixels of that layout, converting a
// few pixels when a transform comes of it.
#include <stddef.h>
#include <stdint.h>

#include "images/image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t kind = data[0] % 5;
    if (kind == 0) {
        int orientation = exif_orientation(data + 1, size - 1);
        if (orientation < 1 || orientation > 8) __builtin_trap();
        return 0;
    }
    const icc_layout layouts[] = {ICC_GREY, ICC_RGB, ICC_RGBA, ICC_CMYK};
    icc_layout layout = layouts[kind - 1];
    icc_transform transform = icc_transform_create(data + 1, size - 1, layout);
    if (transform) {
        uint8_t in[16 * 4] = {0, 64, 128, 255, 1, 2, 3, 4, 250, 251, 252, 253};
        uint8_t out[16 * 4];
        icc_transform_rows(transform, in, out, 16);
        icc_transform_free(transform);
    }
    return 0;
}
