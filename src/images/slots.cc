#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "control/control.h"
#include "images/image.h"

void image_init(image* img) {
    for (auto& frame : img->frames) frame = nullptr;
    img->width = 0;
    img->height = 0;
    img->channels = 0;
    img->has_alpha = false;
    for (auto& delay : img->delays) delay = 0;
    img->frame_count = 1;
    img->loop_count = 0;
    img->current_frame = 0;
    img->drawn = false;
}

void image_free_frames(image* img) {
    for (int32_t i = 0; i < img->frame_count && i < MAX_FRAMES; i++) {
        free(img->frames[i]);
        img->frames[i] = nullptr;
    }
}

void image_reset(image* img) {
    image_free_frames(img);
    image_init(img);
}

int select_slot(int32_t number) {
    if (number <= 0) return 0;
    if (number > IMAGE_SLOTS) return IMAGE_SLOTS - 1;
    return number - 1;
}

void image_advance_frame(image* img) {
    // A GIF without frames loads with frame_count 0: it must not divide.
    if (img->frame_count <= 0) {
        img->current_frame = 0;
        return;
    }
    img->current_frame = (img->current_frame + 1) % img->frame_count;
}

uint8_t* image_current_frame(const image* img) {
    if (img->current_frame < 0 || img->current_frame >= MAX_FRAMES) return nullptr;
    return img->frames[img->current_frame];
}

bool frame_byte_count(int64_t width, int64_t height, int64_t channels, size_t* bytes) {
    if (width < 0 || height < 0 || channels < 0) return false;
    uint64_t pixels = 0;
    uint64_t total = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(width), static_cast<uint64_t>(height),
                               &pixels) ||
        __builtin_mul_overflow(pixels, static_cast<uint64_t>(channels), &total) ||
        total > MAX_FRAME_BYTES) {
        return false;
    }
    *bytes = static_cast<size_t>(total);
    return true;
}

uint8_t* allocate_frame(int64_t width, int64_t height, int64_t channels, size_t* bytes_out) {
    size_t bytes = 0;
    if (!frame_byte_count(width, height, channels, &bytes)) {
        // Reported like the allocation failure it would become.
        log_message(LOG_ERROR, "calloc: %s\n", strerror(ENOMEM));
        return nullptr;
    }
    // calloc(0) may return null on some systems; one byte keeps an empty
    // picture distinguishable from a failure.
    uint8_t* frame = static_cast<uint8_t*>(calloc_or_log(bytes > 0 ? bytes : 1, 1));
    if (frame && bytes_out) *bytes_out = bytes;
    return frame;
}
