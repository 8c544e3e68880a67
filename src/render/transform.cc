#include <stdlib.h>

#include "render/render.h"

uint8_t* crop_image(const term_geometry* geometry, image* img, uint8_t* frame, int32_t left,
                    int32_t top, int32_t width, int32_t height) {
    int32_t channels = img->channels;
    // The caller keeps the window inside the picture; refuse anything else
    // rather than read outside the frame.
    if (left < 0 || top < 0 || width < 0 || height < 0 || channels <= 0 ||
        static_cast<int64_t>(left) + width > img->width ||
        static_cast<int64_t>(top) + height > img->height) {
        return nullptr;
    }
    uint8_t* out = allocate_frame(width, height, channels);
    if (!out) return nullptr;

    // Only what fits the terminal is copied; the rest of the window stays black.
    int32_t rows = height < geometry->height ? height : geometry->height;
    int32_t columns = width < geometry->width ? width : geometry->width;
    if (rows < 0) rows = 0;
    if (columns < 0) columns = 0;
    size_t src_stride = static_cast<size_t>(img->width) * channels;
    size_t dst_stride = static_cast<size_t>(width) * channels;
    for (int32_t i = 0; i < rows; i++) {
        const uint8_t* src = frame + static_cast<size_t>(top + i) * src_stride +
                             static_cast<size_t>(left) * channels;
        uint8_t* dst = out + static_cast<size_t>(i) * dst_stride;
        for (int32_t j = 0; j < columns; j++, src += channels, dst += channels) {
            if (channels >= 3) {
                dst[0] = src[0];
                dst[1] = src[1];
                dst[2] = src[2];
            } else {
                for (int32_t k = 0; k < channels; k++) dst[k] = src[0];
            }
        }
    }

    free(frame);
    img->width = width;
    img->height = height;
    return out;
}

uint8_t* convert_to_rgb(const image* img, uint8_t* frame) {
    int32_t channels = img->channels;
    if (channels <= 0) return nullptr;
    uint8_t* out = allocate_frame(img->width, img->height, 3);
    if (!out) return nullptr;
    size_t pixels = static_cast<size_t>(img->width) * static_cast<size_t>(img->height);
    const uint8_t* src = frame;
    uint8_t* dst = out;
    if (channels >= 3) {
        for (size_t k = 0; k < pixels; k++, src += channels, dst += 3) {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
        }
    } else {
        for (size_t k = 0; k < pixels; k++, src += channels, dst += 3) {
            dst[0] = dst[1] = dst[2] = src[0];
        }
    }
    free(frame);
    return out;
}
