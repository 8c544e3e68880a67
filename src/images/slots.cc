#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include "control/control.h"
#include "images/image.h"

namespace {

constexpr uintptr_t HUGE_PAGE = uintptr_t{2} << 20;
// Below this a frame is not worth the advice (and may come from the heap).
constexpr size_t HUGE_PAGE_FRAME_BYTES = size_t{8} << 20;

}  // namespace

void image_init(image* img) {
    *img = {};
    img->frame_count = 1;
}

void image_free_frames(image* img) {
    free(img->frame);
    img->frame = nullptr;
    animation_free(img->anim);
    img->anim = nullptr;
    free(img->source.path);
    img->source.path = nullptr;
}

void image_reset(image* img) {
    uint64_t generation = img->generation;
    image_free_frames(img);
    image_init(img);
    img->generation = generation + 1;
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

bool image_has_picture(const image* img) {
    return image_current_frame(img) != nullptr;
}

const uint8_t* image_current_frame(const image* img) {
    if (img->current_frame < 0 || img->current_frame >= img->frame_count) return nullptr;
    return img->anim ? img->anim->canvas : img->frame;
}

const uint8_t* image_frame_pixels(image* img) {
    if (!img->anim) return image_current_frame(img);
    if (!image_current_frame(img) || !animation_decode_to(img, img->current_frame)) {
        return nullptr;
    }
    return img->anim->canvas;
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
    if (frame && bytes >= HUGE_PAGE_FRAME_BYTES) {
        // glibc maps a block above 32 MiB fresh every time, so its pages are
        // not yet touched and the whole huge pages inside it can be backed
        // by huge pages. A smaller one may come from heap memory that an
        // earlier frame of its size left behind (glibc raises its mapping
        // threshold to the size of a mapped block that is freed, up to 32
        // MiB); there the advice reaches only the pages not yet touched.
        uintptr_t start = (reinterpret_cast<uintptr_t>(frame) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
        uintptr_t end = (reinterpret_cast<uintptr_t>(frame) + bytes) & ~(HUGE_PAGE - 1);
        if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
    }
    if (frame && bytes_out) *bytes_out = bytes;
    return frame;
}
