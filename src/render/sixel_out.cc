// libsixel 1.10 marks the plain create calls deprecated in favour of ones
// that take an allocator; the default allocator is what we want.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <sixel.h>
#include <stdlib.h>
#include <string.h>

#include "render/render.h"

int sixel_write_callback(char* data, int size, void* priv) {
    if (size <= 0) return 1;
    sixel_sink* sink = static_cast<sixel_sink*>(priv);
    // A failed write has been logged; the rest of this chunk is dropped and
    // libsixel goes on, so one bad write cannot stall the draw.
    write_all(sink->geometry->fd, data, static_cast<size_t>(size));
    if (!sink->keep) return 1;
    size_t need = sink->size + static_cast<size_t>(size);
    if (need > sink->limit) {
        // Too large to be kept: the copy stops here.
        free(sink->data);
        *sink = {sink->geometry, false, sink->limit, nullptr, 0, 0};
        return 1;
    }
    if (need > sink->capacity) {
        size_t capacity = sink->capacity ? sink->capacity : SIXEL_SINK_START;
        while (capacity < need) capacity *= 2;
        char* grown = static_cast<char*>(realloc(sink->data, capacity));
        if (!grown) {
            // Only the copy is lost: the bytes reached the terminal.
            free(sink->data);
            *sink = {sink->geometry, false, sink->limit, nullptr, 0, 0};
            return 1;
        }
        sink->data = grown;
        sink->capacity = capacity;
    }
    memcpy(sink->data + sink->size, data, static_cast<size_t>(size));
    sink->size = need;
    return 1;
}

bool sixel_emit(sixel_sink* sink, uint8_t* rgb, int32_t width, int32_t height) {
    if (!rgb || width <= 0 || height <= 0) return false;

    sixel_dither_t* dither = sixel_dither_create(SIXEL_PALETTE_COLORS);
    if (!dither) {
        log_message(LOG_ERROR, "couldn't create dither\n");
        return false;
    }
    if (sixel_dither_initialize(dither, rgb, width, height, SIXEL_PIXELFORMAT_RGB888,
                                SIXEL_LARGE_AUTO, SIXEL_REP_AUTO, SIXEL_QUALITY_AUTO) != SIXEL_OK) {
        log_message(LOG_ERROR, "couldn't initialize dither\n");
        sixel_dither_unref(dither);
        return false;
    }
    sixel_dither_set_diffusion_type(dither, SIXEL_DIFFUSE_AUTO);

    sixel_output_t* output = sixel_output_create(sixel_write_callback, sink);
    if (!output) {
        log_message(LOG_ERROR, "couldn't create sixel context\n");
        sixel_dither_unref(dither);
        return false;
    }
    sixel_output_set_8bit_availability(output, 0);  // 7-bit escapes: ESC P ... ESC \.
    sixel_encode(rgb, width, height, 3, dither, output);

    // The dither goes first: the output may still reference its palette.
    sixel_dither_unref(dither);
    sixel_output_unref(output);
    return true;
}

#pragma GCC diagnostic pop
