// GIF and BMP through libnsgif and libnsbmp. Both decode from the whole file
// in memory into a canvas they obtain through our bitmap callbacks; here a
// bitmap is just its zero-filled pixel block (4 bytes a pixel, R,G,B,A), so
// the handle and the pixel pointer are the same pointer.
#include <stdlib.h>
#include <string.h>

#include "control/control.h"
#include "images/image.h"

// The decoders' headers are plain C without C++ linkage of their own.
extern "C" {
#include <libnsbmp.h>
#include <libnsgif.h>
}

namespace {

// All frames of one animation together. Every GIF frame is kept as a full
// canvas, so a large canvas with many frames would otherwise take up to
// 64 GiB from a file of a few kilobytes; frames past this budget are not
// kept (at least one always is). 1 GiB keeps 127 frames of 1440x1080.
constexpr uint64_t MAX_ANIMATION_BYTES = uint64_t{1} << 30;
static_assert(MAX_ANIMATION_BYTES >= MAX_FRAME_BYTES,
              "a frame that can be held must fit the budget");

// A canvas the size of a frame we could hold, or null (nothing logged: the
// library reports a memory shortage).
void* canvas_create(int width, int height) {
    size_t bytes = 0;
    if (!frame_byte_count(width, height, 4, &bytes)) return nullptr;
    return calloc(bytes > 0 ? bytes : 1, 1);
}

void canvas_destroy(void* bitmap) {
    free(bitmap);
}

unsigned char* canvas_get_buffer(void* bitmap) {
    return static_cast<unsigned char*>(bitmap);
}

void* gif_bitmap_create(int width, int height) {
    return canvas_create(width, height);
}

void gif_bitmap_set_opaque(void*, bool) {}

bool gif_bitmap_test_opaque(void*) {
    return false;
}

void gif_bitmap_modified(void*) {}

void* bmp_bitmap_create(int width, int height, unsigned int) {
    return canvas_create(width, height);
}

size_t bmp_bitmap_get_bpp(void*) {
    return 4;
}

const gif_bitmap_callback_vt gif_callbacks = {
    gif_bitmap_create,     canvas_destroy,         canvas_get_buffer,
    gif_bitmap_set_opaque, gif_bitmap_test_opaque, gif_bitmap_modified,
};

const bmp_bitmap_callback_vt bmp_callbacks = {
    bmp_bitmap_create,
    canvas_destroy,
    canvas_get_buffer,
    bmp_bitmap_get_bpp,
};

}  // namespace

uint8_t* read_whole_file(FILE* file, uint64_t* size_out) {
    fseek(file, 0, SEEK_END);
    long position = ftell(file);
    // A stream whose size cannot be told asks for an impossible block, which
    // fails and is reported by the allocation.
    size_t size = position < 0 ? SIZE_MAX : static_cast<size_t>(position);
    uint8_t* data = static_cast<uint8_t*>(calloc_or_log(size > 0 ? size : 1, 1));
    if (!data) return nullptr;
    fseek(file, 0, SEEK_SET);
    if (fread(data, 1, size, file) < size) {
        free(data);
        return nullptr;
    }
    *size_out = size;
    return data;
}

bool load_gif(FILE* file, image* img) {
    gif_animation gif;
    // gif_create only copies the table; it takes a non-const pointer.
    gif_create(&gif, const_cast<gif_bitmap_callback_vt*>(&gif_callbacks));

    uint64_t size = 0;
    uint8_t* data = read_whole_file(file, &size);
    if (!data) return false;

    gif_result status = gif_initialise(&gif, size, data);
    if (status != GIF_OK && status != GIF_WORKING) {
        gif_finalise(&gif);
        free(data);
        return false;
    }

    img->width = static_cast<int32_t>(gif.width);
    img->height = static_cast<int32_t>(gif.height);
    img->channels = 4;
    size_t frame_bytes = 0;
    int32_t frames =
        gif.frame_count < GIF_FRAME_LIMIT ? static_cast<int32_t>(gif.frame_count) : GIF_FRAME_LIMIT;
    bool ok = true;
    if (frames > 0 && frame_byte_count(img->width, img->height, 4, &frame_bytes) &&
        frame_bytes > 0 && frames > static_cast<int64_t>(MAX_ANIMATION_BYTES / frame_bytes)) {
        frames = static_cast<int32_t>(MAX_ANIMATION_BYTES / frame_bytes);
    }
    img->frame_count = frames;
    img->loop_count = gif.loop_count;

    // Frames strictly in order: each is composed onto what the previous one
    // left on the canvas, so every copy is the whole picture to show.
    for (int32_t i = 0; i < frames; i++) {
        if (gif_decode_frame(&gif, static_cast<unsigned int>(i)) != GIF_OK) {
            ok = false;
            break;
        }
        uint8_t* frame = allocate_frame(img->width, img->height, 4);
        if (!frame) {
            ok = false;
            break;
        }
        img->frames[i] = frame;
        if (frame_bytes > 0) memcpy(frame, gif.frame_image, frame_bytes);
        img->delays[i] = static_cast<int32_t>(gif.frames[i].frame_delay);
    }
    if (!ok) image_reset(img);

    gif_finalise(&gif);
    free(data);
    return ok;
}

bool load_bmp(FILE* file, image* img) {
    bmp_image bmp;
    // bmp_create only copies the table; it takes a non-const pointer.
    bmp_create(&bmp, const_cast<bmp_bitmap_callback_vt*>(&bmp_callbacks));

    uint64_t size = 0;
    uint8_t* data = read_whole_file(file, &size);
    if (!data) return false;

    if (bmp_analyse(&bmp, size, data) != BMP_OK) {
        // A failed analysis leaves the decoder holding nothing.
        free(data);
        return false;
    }
    bool ok = false;
    if (bmp_decode(&bmp) == BMP_OK) {
        size_t bytes = 0;
        uint8_t* frame = allocate_frame(bmp.width, bmp.height, 4, &bytes);
        if (frame) {
            if (bytes > 0) memcpy(frame, bmp.bitmap, bytes);
            img->frames[0] = frame;
            img->width = static_cast<int32_t>(bmp.width);
            img->height = static_cast<int32_t>(bmp.height);
            img->channels = 4;
            ok = true;
        }
    }
    bmp_finalise(&bmp);
    free(data);
    return ok;
}
