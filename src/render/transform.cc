#include <string.h>

#include "render/render.h"

uint8_t* window_to_rgb(const term_geometry* geometry, const uint8_t* frame, int32_t frame_width,
                       int32_t frame_height, int32_t channels, int32_t left, int32_t top,
                       int32_t width, int32_t height) {
    // The caller keeps the window inside the picture; refuse anything else
    // rather than read outside the frame.
    if (left < 0 || top < 0 || width < 0 || height < 0 || channels <= 0 ||
        static_cast<int64_t>(left) + width > frame_width ||
        static_cast<int64_t>(top) + height > frame_height) {
        return nullptr;
    }
    uint8_t* out = allocate_frame(width, height, 3);
    if (!out) return nullptr;

    // Only what fits the terminal is copied; the rest of the window stays black.
    int32_t columns = 0, rows = 0;
    window_visible_part(geometry, width, height, &columns, &rows);
    size_t src_stride = static_cast<size_t>(frame_width) * channels;
    size_t dst_stride = static_cast<size_t>(width) * 3;
    for (int32_t i = 0; i < rows; i++) {
        const uint8_t* src = frame + static_cast<size_t>(top + i) * src_stride +
                             static_cast<size_t>(left) * channels;
        uint8_t* dst = out + static_cast<size_t>(i) * dst_stride;
        if (channels == 3) {
            memcpy(dst, src, static_cast<size_t>(columns) * 3);
        } else if (channels > 3) {
            for (int32_t j = 0; j < columns; j++, src += channels, dst += 3) {
                dst[0] = src[0];
                dst[1] = src[1];
                dst[2] = src[2];
            }
        } else {
            for (int32_t j = 0; j < columns; j++, src += channels, dst += 3) {
                dst[0] = dst[1] = dst[2] = src[0];
            }
        }
    }
    return out;
}
