// Any bytes as a picture file: detection and the matching loader, through an
// in-memory stream, then every frame as the draws ask for them (an
// animation's frames are decoded then), the first again at the end.
// Whatever happens, the record must come back freeable.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "images/image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (!file) return 0;
    image img;
    image_init(&img);
    if (load_image_stream(file, "fuzz", &img)) {
        for (int32_t i = 0; i <= img.frame_count && i <= GIF_FRAME_LIMIT; i++) {
            img.current_frame = i < img.frame_count ? i : 0;
            image_frame_pixels(&img);
        }
    }
    fclose(file);
    image_free_frames(&img);
    return 0;
}
