// libsixel 1.10 marks the plain create calls deprecated in favour of ones
// that take an allocator; the default allocator is what we want.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <sixel.h>

#include "render/render.h"

int sixel_write_callback(char* data, int size, void* priv) {
    if (size <= 0) return 1;
    const term_geometry* geometry = static_cast<const term_geometry*>(priv);
    // A failed write has been logged; the rest of this chunk is dropped and
    // libsixel goes on, so one bad write cannot stall the draw.
    write_all(geometry->fd, data, static_cast<size_t>(size));
    return 1;
}

bool sixel_emit(const term_geometry* geometry, image* img) {
    int32_t depth = img->channels;
    if (img->channels != 3) {
        for (int32_t i = 0; i < img->frame_count && i < MAX_FRAMES; i++) {
            if (!img->frames[i]) continue;
            uint8_t* rgb = convert_to_rgb(img, img->frames[i]);
            if (!rgb) return false;
            img->frames[i] = rgb;
        }
    }
    uint8_t* pixels = image_current_frame(img);
    if (!pixels || img->width <= 0 || img->height <= 0) return false;

    sixel_dither_t* dither = sixel_dither_create(SIXEL_PALETTE_COLORS);
    if (!dither) {
        log_message(LOG_ERROR, "couldn't create dither\n");
        return false;
    }
    if (sixel_dither_initialize(dither, pixels, img->width, img->height, SIXEL_PIXELFORMAT_RGB888,
                                SIXEL_LARGE_AUTO, SIXEL_REP_AUTO, SIXEL_QUALITY_AUTO) != SIXEL_OK) {
        log_message(LOG_ERROR, "couldn't initialize dither\n");
        sixel_dither_unref(dither);
        return false;
    }
    sixel_dither_set_diffusion_type(dither, SIXEL_DIFFUSE_AUTO);

    // libsixel takes a non-const private pointer; the callback only reads it.
    sixel_output_t* output =
        sixel_output_create(sixel_write_callback, const_cast<term_geometry*>(geometry));
    if (!output) {
        log_message(LOG_ERROR, "couldn't create sixel context\n");
        sixel_dither_unref(dither);
        return false;
    }
    sixel_output_set_8bit_availability(output, 0);  // 7-bit escapes: ESC P ... ESC \.
    sixel_encode(pixels, img->width, img->height, depth, dither, output);

    // The dither goes first: the output may still reference its palette.
    sixel_dither_unref(dither);
    sixel_output_unref(output);
    return true;
}

#pragma GCC diagnostic pop
