// GIF and BMP through libnsgif and libnsbmp. Both decode from the whole file
// in memory into a canvas they obtain through our bitmap callbacks; here a
// bitmap is just its zero-filled pixel block (4 bytes a pixel, R,G,B,A), so
// the handle and the pixel pointer are the same pointer. A GIF keeps its file
// and its decoder in the record and decodes a frame onto its one canvas when
// the frame is drawn; a BMP is copied into a frame of its own.
#include <errno.h>
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

// Both decoders read from the whole file in memory, and a GIF's file stays
// there while the picture is shown. A BMP holds at most 4 bytes a pixel plus
// its headers and palette, so a larger file cannot be a picture we accept; a
// GIF larger than the animation budget is refused as well.
constexpr uint64_t MAX_BMP_FILE_BYTES = MAX_FRAME_BYTES + (uint64_t{1} << 20);
constexpr uint64_t MAX_GIF_FILE_BYTES = MAX_ANIMATION_BYTES;

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

const char* gif_status_name(gif_result status) {
    switch (status) {
        case GIF_WORKING:
            return "GIF_WORKING";
        case GIF_OK:
            return "GIF_OK";
        case GIF_INSUFFICIENT_FRAME_DATA:
            return "GIF_INSUFFICIENT_FRAME_DATA";
        case GIF_FRAME_DATA_ERROR:
            return "GIF_FRAME_DATA_ERROR";
        case GIF_INSUFFICIENT_DATA:
            return "GIF_INSUFFICIENT_DATA";
        case GIF_DATA_ERROR:
            return "GIF_DATA_ERROR";
        case GIF_INSUFFICIENT_MEMORY:
            return "GIF_INSUFFICIENT_MEMORY";
        case GIF_FRAME_NO_DISPLAY:
            return "GIF_FRAME_NO_DISPLAY";
        case GIF_END_OF_FRAME:
            return "GIF_END_OF_FRAME";
    }
    return "unknown status";
}

const char* bmp_status_name(bmp_result status) {
    switch (status) {
        case BMP_OK:
            return "BMP_OK";
        case BMP_INSUFFICIENT_MEMORY:
            return "BMP_INSUFFICIENT_MEMORY";
        case BMP_INSUFFICIENT_DATA:
            return "BMP_INSUFFICIENT_DATA";
        case BMP_DATA_ERROR:
            return "BMP_DATA_ERROR";
    }
    return "unknown status";
}

const bmp_bitmap_callback_vt bmp_callbacks = {
    bmp_bitmap_create,
    canvas_destroy,
    canvas_get_buffer,
    bmp_bitmap_get_bpp,
};

}  // namespace

uint8_t* read_whole_file(FILE* file, uint64_t max_bytes, uint64_t* size_out) {
    fseek(file, 0, SEEK_END);
    long position = ftell(file);
    // A stream whose size cannot be told, or a file larger than any picture
    // we would accept, is refused like the allocation it would need.
    if (position < 0 || static_cast<uint64_t>(position) > max_bytes) {
        log_message(LOG_ERROR, "calloc: %s\n", strerror(ENOMEM));
        return nullptr;
    }
    size_t size = static_cast<size_t>(position);
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
    int32_t partial;  // the last frame, when it decodes only in part; or -1
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
    if (gif->decoded == index) return true;
    // The canvas carries what earlier frames left on it, so frames are
    // decoded strictly in order: from the one after the canvas's, or from 0.
    int32_t next = gif->decoded >= 0 && gif->decoded < index ? gif->decoded + 1 : 0;
    for (int32_t i = next; i <= index; i++) {
        // A frame cut short leaves what it decoded on the canvas.
        if (gif_decode_frame(&gif->decoder, static_cast<unsigned int>(i)) != GIF_OK &&
            i != gif->partial) {
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
    gif->partial = -1;
    img->gif = gif;  // from here the record owns it, and a failed load's reset frees it

    uint64_t size = 0;
    gif->data = read_whole_file(file, MAX_GIF_FILE_BYTES, &size);
    if (!gif->data) return false;
    // A file cut short or damaged after some frames still shows those frames,
    // as a browser does: only a file without any frame fails here.
    gif_animation* decoder = &gif->decoder;
    gif_result status = gif_initialise(decoder, size, gif->data);
    if (status != GIF_OK && status != GIF_WORKING) {
        if (decoder->frame_count_partial == 0 || status == GIF_INSUFFICIENT_MEMORY) {
            log_message(LOG_ERROR, "libnsgif: %s\n", gif_status_name(status));
            return false;
        }
        log_message(LOG_WARN, "libnsgif: %s\n", gif_status_name(status));
    }

    img->width = static_cast<int32_t>(decoder->width);
    img->height = static_cast<int32_t>(decoder->height);
    img->channels = 4;
    size_t frame_bytes = 0;
    // Frames whose data began count too: the one cut short shows in part.
    unsigned int available = decoder->frame_count_partial > decoder->frame_count
                                 ? decoder->frame_count_partial
                                 : decoder->frame_count;
    int32_t frames =
        available < GIF_FRAME_LIMIT ? static_cast<int32_t>(available) : GIF_FRAME_LIMIT;
    if (frames > 0 && frame_byte_count(img->width, img->height, 4, &frame_bytes) &&
        frame_bytes > 0 && frames > static_cast<int64_t>(MAX_ANIMATION_BYTES / frame_bytes)) {
        frames = static_cast<int32_t>(MAX_ANIMATION_BYTES / frame_bytes);
    }
    img->loop_count = decoder->loop_count;
    for (int32_t i = 0; i < frames; i++) {
        img->delays[i] = static_cast<int32_t>(decoder->frames[i].frame_delay);
    }

    // Every frame is decoded once now, to learn which ones decode; the pixels
    // are decoded again when a frame is drawn. The first frame that fails is
    // the last one shown, with what of it decoded; a canvas that cannot be
    // had fails the load.
    img->frame_count = frames;
    for (int32_t i = 0; i < frames; i++) {
        status = gif_decode_frame(decoder, static_cast<unsigned int>(i));
        if (status == GIF_OK) {
            gif->decoded = i;
            continue;
        }
        if (status == GIF_INSUFFICIENT_MEMORY || !decoder->frame_image) {
            log_message(LOG_ERROR, "libnsgif: %s\n", gif_status_name(status));
            return false;
        }
        log_message(LOG_WARN, "libnsgif: %s\n", gif_status_name(status));
        img->frame_count = i + 1;
        gif->partial = i;
        gif->decoded = i;
        break;
    }
    return true;
}

bool load_bmp(FILE* file, image* img) {
    bmp_image bmp;
    // bmp_create only copies the table; it takes a non-const pointer.
    bmp_create(&bmp, const_cast<bmp_bitmap_callback_vt*>(&bmp_callbacks));

    uint64_t size = 0;
    uint8_t* data = read_whole_file(file, MAX_BMP_FILE_BYTES, &size);
    if (!data) return false;

    bmp_result status = bmp_analyse(&bmp, size, data);
    if (status != BMP_OK) {
        // A failed analysis leaves the decoder holding nothing.
        log_message(LOG_ERROR, "libnsbmp: %s\n", bmp_status_name(status));
        free(data);
        return false;
    }
    // Rows decoded before the data ran out or went wrong are shown, the rest
    // left transparent, as a browser does.
    status = bmp_decode(&bmp);
    bool ok = status == BMP_OK || (status != BMP_INSUFFICIENT_MEMORY && bmp.decoded && bmp.bitmap);
    if (status != BMP_OK) {
        log_message(ok ? LOG_WARN : LOG_ERROR, "libnsbmp: %s\n", bmp_status_name(status));
    }
    if (ok) {
        // The canvas is a zero-filled block of the frame's size from
        // canvas_create: the record takes it over as its frame.
        img->frames[0] = static_cast<uint8_t*>(bmp.bitmap);
        bmp.bitmap = nullptr;
        img->width = static_cast<int32_t>(bmp.width);
        img->height = static_cast<int32_t>(bmp.height);
        img->channels = 4;
    }
    bmp_finalise(&bmp);
    free(data);
    return ok;
}
