// GIF and BMP through libnsgif and libnsbmp. Both decode from the whole file
// in memory into a canvas they obtain through our bitmap callbacks; here a
// bitmap is just its zero-filled pixel block (4 bytes a pixel, R,G,B,A), so
// the handle and the pixel pointer are the same pointer. A GIF keeps its file
// and its decoder in the record as an animation and decodes a frame onto its
// one canvas when the frame is drawn; a BMP's canvas becomes its frame.
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

// Zero bytes after the end of a file read whole: libnsbmp's RLE decoders read
// a byte past the data they were given (a fuzzed RLE8 file showed it).
constexpr size_t FILE_PADDING = 16;

// Both decoders read from the whole file in memory, and a GIF's file stays
// there while the picture is shown. A BMP holds at most 4 bytes a pixel plus
// its headers and palette, so a larger file cannot be a picture we accept; a
// GIF larger than MAX_ANIMATION_FILE_BYTES is refused as well.
constexpr uint64_t MAX_BMP_FILE_BYTES = MAX_FRAME_BYTES + (uint64_t{1} << 20);

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
    uint8_t* data = static_cast<uint8_t*>(calloc_or_log(size + FILE_PADDING, 1));
    if (!data) return nullptr;
    fseek(file, 0, SEEK_SET);
    if (fread(data, 1, size, file) < size) {
        free(data);
        return nullptr;
    }
    *size_out = size;
    return data;
}

namespace {

frame_result gif_decode(animation* anim, int32_t index) {
    gif_animation* gif = static_cast<gif_animation*>(anim->decoder);
    gif_result status = gif_decode_frame(gif, static_cast<unsigned int>(index));
    anim->canvas = static_cast<const uint8_t*>(gif->frame_image);
    if (status == GIF_OK) return FRAME_DECODED;
    if (status == GIF_INSUFFICIENT_MEMORY || !anim->canvas) {
        log_message(LOG_ERROR, "libnsgif: %s\n", gif_status_name(status));
        return FRAME_FAILED;
    }
    if (anim->partial != index) log_message(LOG_WARN, "libnsgif: %s\n", gif_status_name(status));
    return FRAME_PARTIAL;
}

void gif_release(animation* anim) {
    gif_animation* gif = static_cast<gif_animation*>(anim->decoder);
    if (gif) gif_finalise(gif);
    free(gif);
}

const animation_ops gif_ops = {gif_decode, gif_release};

}  // namespace

bool load_gif(FILE* file, image* img) {
    uint64_t size = 0;
    uint8_t* data = read_whole_file(file, MAX_ANIMATION_FILE_BYTES, &size);
    if (!data) return false;
    // From here the record owns the animation; a failed load's reset frees it.
    img->anim = animation_create(&gif_ops, data);
    if (!img->anim) return false;
    gif_animation* gif = static_cast<gif_animation*>(calloc_or_log(1, sizeof(gif_animation)));
    if (!gif) return false;
    // gif_create only copies the table; it takes a non-const pointer.
    gif_create(gif, const_cast<gif_bitmap_callback_vt*>(&gif_callbacks));
    img->anim->decoder = gif;

    // A file cut short or damaged after some frames still shows those frames,
    // as a browser does: only a file without any frame fails here.
    gif_result status = gif_initialise(gif, size, data);
    if (status != GIF_OK && status != GIF_WORKING) {
        if (gif->frame_count_partial == 0 || status == GIF_INSUFFICIENT_MEMORY) {
            log_message(LOG_ERROR, "libnsgif: %s\n", gif_status_name(status));
            return false;
        }
        log_message(LOG_WARN, "libnsgif: %s\n", gif_status_name(status));
    }

    img->width = static_cast<int32_t>(gif->width);
    img->height = static_cast<int32_t>(gif->height);
    img->channels = 4;
    // Frames whose data began count too: the one cut short shows in part.
    unsigned int available =
        gif->frame_count_partial > gif->frame_count ? gif->frame_count_partial : gif->frame_count;
    int32_t frames = animation_frame_limit(available);

    // The first frame is decoded now, so a file without one fails its load;
    // the others when they are drawn. A frame that turns out damaged is the
    // last one shown, with what of it decoded.
    img->frame_count = frames;
    return frames == 0 || animation_decode_to(img, 0);
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
    // left transparent, as a browser does; a file whose pixel data is missing
    // altogether shows as a transparent picture of its size.
    status = bmp_decode(&bmp);
    bool ok = bmp.bitmap && (status == BMP_OK || status == BMP_INSUFFICIENT_DATA ||
                             (status == BMP_DATA_ERROR && bmp.decoded));
    if (status != BMP_OK) {
        log_message(ok ? LOG_WARN : LOG_ERROR, "libnsbmp: %s\n", bmp_status_name(status));
    }
    if (ok) {
        // The canvas is a zero-filled block of the frame's size from
        // canvas_create: the record takes it over as its frame.
        img->frame = static_cast<uint8_t*>(bmp.bitmap);
        bmp.bitmap = nullptr;
        img->width = static_cast<int32_t>(bmp.width);
        img->height = static_cast<int32_t>(bmp.height);
        img->channels = 4;
    }
    bmp_finalise(&bmp);
    free(data);
    return ok;
}
