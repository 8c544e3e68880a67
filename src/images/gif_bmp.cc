// GIF and BMP through libnsgif and libnsbmp. Both decode from the whole file
// in memory into a canvas they obtain through our bitmap callbacks; here a
// bitmap is just its zero-filled pixel block (4 bytes a pixel, R,G,B,A), so
// the handle and the pixel pointer are the same pointer. A GIF keeps its file
// and its decoder in the record and decodes a frame onto its one canvas when
// the frame is drawn; a BMP is copied into a frame of its own.
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

// All frames of one animation together, counted as full canvases: an
// animation shows only as many frames as fit this budget (at least one), so
// a huge canvas cycles through fewer frames. Frames are decoded one at a time
// when drawn, so this is no longer what the animation holds in memory; hosts
// see it in the frame cycle, so it stays. 1 GiB is 127 frames of 1440x1080.
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

struct gif_source {
    gif_animation decoder;
    uint8_t* data;    // the whole file, which the decoder reads from
    int32_t decoded;  // the frame on the canvas, or -1
};

void gif_source_free(gif_source* gif) {
    if (!gif) return;
    gif_finalise(&gif->decoder);
    free(gif->data);
    free(gif);
}

const uint8_t* gif_canvas(const gif_source* gif) {
    return static_cast<const uint8_t*>(gif->decoder.frame_image);
}

bool gif_decode_to(image* img, int32_t index) {
    gif_source* gif = img->gif;
    if (index < 0 || index >= img->frame_count) return false;
    // The canvas carries what earlier frames left on it, so frames are
    // decoded strictly in order: from the one after the canvas's, or from 0.
    int32_t next = gif->decoded >= 0 && gif->decoded <= index ? gif->decoded + 1 : 0;
    if (gif->decoded == index) return true;
    for (int32_t i = next; i <= index; i++) {
        if (gif_decode_frame(&gif->decoder, static_cast<unsigned int>(i)) != GIF_OK) {
            gif->decoded = -1;
            return false;
        }
        gif->decoded = i;
    }
    return true;
}

bool load_gif(FILE* file, image* img) {
    gif_source* gif = static_cast<gif_source*>(calloc_or_log(1, sizeof(gif_source)));
    if (!gif) return false;
    // gif_create only copies the table; it takes a non-const pointer.
    gif_create(&gif->decoder, const_cast<gif_bitmap_callback_vt*>(&gif_callbacks));
    gif->decoded = -1;

    uint64_t size = 0;
    gif->data = read_whole_file(file, &size);
    if (!gif->data) {
        gif_source_free(gif);
        return false;
    }
    gif_result status = gif_initialise(&gif->decoder, size, gif->data);
    if (status != GIF_OK && status != GIF_WORKING) {
        gif_source_free(gif);
        return false;
    }
    img->gif = gif;

    gif_animation* decoder = &gif->decoder;
    img->width = static_cast<int32_t>(decoder->width);
    img->height = static_cast<int32_t>(decoder->height);
    img->channels = 4;
    size_t frame_bytes = 0;
    int32_t frames = decoder->frame_count < GIF_FRAME_LIMIT
                         ? static_cast<int32_t>(decoder->frame_count)
                         : GIF_FRAME_LIMIT;
    if (frames > 0 && frame_byte_count(img->width, img->height, 4, &frame_bytes) &&
        frame_bytes > 0 && frames > static_cast<int64_t>(MAX_ANIMATION_BYTES / frame_bytes)) {
        frames = static_cast<int32_t>(MAX_ANIMATION_BYTES / frame_bytes);
    }
    img->frame_count = frames;
    img->loop_count = decoder->loop_count;
    for (int32_t i = 0; i < frames; i++) {
        img->delays[i] = static_cast<int32_t>(decoder->frames[i].frame_delay);
    }

    // Every frame is decoded once now, so a damaged one fails the load as it
    // always did; the pixels are decoded again when the frame is drawn.
    bool ok = frames == 0 || gif_decode_to(img, frames - 1);
    if (!ok) image_reset(img);
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
