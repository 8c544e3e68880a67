// libsixel 1.10 marks the plain create calls deprecated in favour of ones
// that take an allocator; the default allocator is what we want.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <sixel.h>
#include <stdlib.h>
#include <string.h>

#include "render/render.h"

namespace {

// libsixel always writes the introducer without parameters; a picture with
// unpainted pixels needs P2 = 1, or the terminal paints them in its
// background colour.
const char PLAIN_INTRODUCER[] = "\033Pq";
const char TRANSPARENT_INTRODUCER[] = "\033P0;1q";

// Writes a chunk to the terminal and appends it to the copy while it is kept.
void put(sixel_sink* sink, const char* data, size_t size) {
    // A failed write has been logged; the rest of this chunk is dropped and
    // libsixel goes on, so one bad write cannot stall the draw.
    write_all(sink->geometry->fd, data, size);
    if (!sink->keep) return;
    size_t need = sink->size + size;
    if (need > sink->limit) {
        // Too large to be kept: the copy stops here.
        free(sink->data);
        sink->data = nullptr;
        sink->keep = false;
        sink->size = sink->capacity = 0;
        return;
    }
    if (need > sink->capacity) {
        size_t capacity = sink->capacity ? sink->capacity : SIXEL_SINK_START;
        while (capacity < need) capacity *= 2;
        char* grown = static_cast<char*>(realloc(sink->data, capacity));
        if (!grown) {
            // Only the copy is lost: the bytes reached the terminal.
            free(sink->data);
            sink->data = nullptr;
            sink->keep = false;
            sink->size = sink->capacity = 0;
            return;
        }
        sink->data = grown;
        sink->capacity = capacity;
    }
    memcpy(sink->data + sink->size, data, size);
    sink->size = need;
}

// The key filter's states.
enum { FILTER_PASS, FILTER_SELECTION, FILTER_DEFINITION, FILTER_SKIP };

// Passes `data` on without the key colour's sixels. libsixel may write one
// colour's sixels right after another's on the same line, so the key's are
// not dropped but blanked ('?' paints nothing) to keep every column in its
// place: a selection "#k" of the key, or its definition "#k;2;r;g;b" (which
// selects it too), is dropped and its sixels, up to the next selection or
// the string terminator, become '?'. The state carries across chunks.
void put_without_key(sixel_sink* sink, const char* data, size_t size) {
    char out[4096];
    size_t used = 0;
    auto emit = [&](char c) {
        if (used == sizeof out) {
            put(sink, out, used);
            used = 0;
        }
        out[used++] = c;
    };
    for (size_t i = 0; i < size; i++) {
        char c = data[i];
        if (sink->filter == FILTER_SELECTION) {
            if (c >= '0' && c <= '9' &&
                sink->selection_length < static_cast<int32_t>(sizeof sink->selection)) {
                sink->selection[sink->selection_length++] = c;
                continue;
            }
            int32_t colour = 0;
            for (int32_t k = 1; k < sink->selection_length; k++) {
                colour = colour * 10 + (sink->selection[k] - '0');
            }
            if (sink->selection_length > 1 && colour == sink->key) {
                sink->filter = c == ';' ? FILTER_DEFINITION : FILTER_SKIP;
            } else {
                for (int32_t k = 0; k < sink->selection_length; k++) emit(sink->selection[k]);
                sink->filter = FILTER_PASS;
            }
        }
        if (sink->filter == FILTER_DEFINITION) {
            if ((c >= '0' && c <= '9') || c == ';') continue;
            sink->filter = FILTER_SKIP;
        }
        if (sink->filter == FILTER_SKIP) {
            if (c >= '?' && c <= '~') {
                emit('?');
                continue;
            }
            // The key stays the current colour across carriage returns and
            // line feeds, until another colour is selected.
            if (c == '#' || c == '\033') sink->filter = FILTER_PASS;
        }
        if (c == '#') {
            sink->filter = FILTER_SELECTION;
            sink->selection[0] = c;
            sink->selection_length = 1;
            continue;
        }
        emit(c);
    }
    if (used > 0) put(sink, out, used);
}

// Encodes `pixels` (`depth` bytes a pixel) with `dither`, which it releases,
// as 7-bit sixel data into the sink. False when the output cannot be made.
bool encode(sixel_sink* sink, sixel_dither_t* dither, uint8_t* pixels, int32_t width,
            int32_t height, int depth) {
    sixel_output_t* output = sixel_output_create(sixel_write_callback, sink);
    if (!output) {
        log_message(LOG_ERROR, "couldn't create sixel context\n");
        sixel_dither_unref(dither);
        return false;
    }
    sixel_output_set_8bit_availability(output, 0);  // 7-bit escapes: ESC P ... ESC \.
    sixel_encode(pixels, width, height, depth, dither, output);
    // The dither goes first: the output may still reference its palette.
    sixel_dither_unref(dither);
    sixel_output_unref(output);
    return true;
}

}  // namespace

sixel_sink make_sixel_sink(const term_geometry* geometry, bool keep, size_t limit) {
    sixel_sink sink = {};
    sink.geometry = geometry;
    sink.keep = keep;
    sink.limit = limit;
    sink.key = -1;
    return sink;
}

int sixel_write_callback(char* data, int size, void* priv) {
    if (size <= 0) return 1;
    sixel_sink* sink = static_cast<sixel_sink*>(priv);
    size_t length = static_cast<size_t>(size);
    size_t plain = sizeof PLAIN_INTRODUCER - 1;
    if (!sink->started && sink->transparent) {
        // The introducer's bytes are gathered first, whatever the chunks.
        while (length > 0 && sink->selection_length < static_cast<int32_t>(plain)) {
            sink->selection[sink->selection_length++] = *data++;
            length--;
        }
        if (sink->selection_length < static_cast<int32_t>(plain)) return 1;
        if (memcmp(sink->selection, PLAIN_INTRODUCER, plain) == 0) {
            put(sink, TRANSPARENT_INTRODUCER, sizeof TRANSPARENT_INTRODUCER - 1);
        } else {
            put(sink, sink->selection, plain);
        }
        sink->selection_length = 0;
    }
    sink->started = true;
    if (length == 0) return 1;
    if (sink->key >= 0) {
        put_without_key(sink, data, length);
    } else {
        put(sink, data, length);
    }
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
    return encode(sink, dither, rgb, width, height, 3);
}

bool sixel_emit_indexed(sixel_sink* sink, const indexed_window* window, int32_t width,
                        int32_t height) {
    if (!window->indexes || width <= 0 || height <= 0) return false;
    int32_t colors = window->colors < 1 ? 1 : window->colors;
    sixel_dither_t* dither = sixel_dither_create(colors);
    if (!dither) {
        log_message(LOG_ERROR, "couldn't create dither\n");
        return false;
    }
    uint8_t palette[SIXEL_PALETTE_COLORS * 3];
    memcpy(palette, window->palette, sizeof palette);
    sixel_dither_set_palette(dither, palette);
    sixel_dither_set_pixelformat(dither, SIXEL_PIXELFORMAT_PAL8);
    sink->transparent = window->key >= 0;
    sink->key = window->key;
    sink->filter = FILTER_PASS;
    return encode(sink, dither, window->indexes, width, height, 1);
}

namespace {

// Nearest palette entry by squared distance, remembered per 5-bit R,G,B cell
// (the first colour asked for in a cell answers for the cell).
struct nearest_cache {
    const uint8_t* palette;
    int32_t colors;
    int16_t cells[32 * 32 * 32];  // index + 1; 0 not yet known
};

int nearest(nearest_cache* cache, int r, int g, int b) {
    int cell = (r >> 3) << 10 | (g >> 3) << 5 | (b >> 3);
    if (cache->cells[cell]) return cache->cells[cell] - 1;
    int best = 0;
    int best_distance = INT32_MAX;
    for (int k = 0; k < cache->colors; k++) {
        const uint8_t* c = cache->palette + k * 3;
        int dr = r - c[0], dg = g - c[1], db = b - c[2];
        int distance = dr * dr + dg * dg + db * db;
        if (distance < best_distance) {
            best_distance = distance;
            best = k;
        }
    }
    cache->cells[cell] = static_cast<int16_t>(best + 1);
    return best;
}

int clamp_byte(int v) {
    return v < 0 ? 0 : v > 255 ? 255 : v;
}

}  // namespace

bool quantize_window(const term_geometry* geometry, const uint8_t* frame, int32_t frame_width,
                     int32_t channels, int32_t left, int32_t top, int32_t width, int32_t height,
                     indexed_window* out) {
    *out = {};
    out->key = -1;
    if (channels != 4 || width <= 0 || height <= 0) return false;
    int32_t columns = 0, rows = 0;
    window_visible_part(geometry, width, height, &columns, &rows);
    size_t stride = static_cast<size_t>(frame_width) * 4;

    // The opaque pixels, in a row, for libsixel's colour choice.
    size_t opaque = 0;
    uint8_t* samples = allocate_frame(columns, rows, 3);
    auto* cache = static_cast<nearest_cache*>(calloc_or_log(1, sizeof(nearest_cache)));
    uint8_t* indexes = allocate_frame(width, height, 1);
    // Error rows for the diffusion: this row and the next, R,G,B each, with
    // a spare pixel at both ends.
    int32_t* errors =
        static_cast<int32_t*>(calloc_or_log((static_cast<size_t>(columns) + 2) * 6, 4));
    sixel_dither_t* dither = nullptr;
    bool ok = samples && cache && indexes && errors;
    for (int32_t i = 0; ok && i < rows; i++) {
        const uint8_t* p = frame + static_cast<size_t>(top + i) * stride + left * size_t{4};
        for (int32_t j = 0; j < columns; j++, p += 4) {
            if (p[3] < ALPHA_OPAQUE) continue;
            memcpy(samples + opaque * 3, p, 3);
            opaque++;
        }
    }
    if (ok && opaque > 0) {
        dither = sixel_dither_create(SIXEL_PALETTE_COLORS - 1);
        ok = dither && sixel_dither_initialize(dither, samples, static_cast<int>(opaque), 1,
                                               SIXEL_PIXELFORMAT_RGB888, SIXEL_LARGE_AUTO,
                                               SIXEL_REP_AUTO, SIXEL_QUALITY_AUTO) == SIXEL_OK;
        if (!ok) log_message(LOG_ERROR, "couldn't initialize dither\n");
    }
    if (ok && dither) {
        out->colors = sixel_dither_get_num_of_palette_colors(dither);
        if (out->colors > SIXEL_PALETTE_COLORS - 1) out->colors = SIXEL_PALETTE_COLORS - 1;
        memcpy(out->palette, sixel_dither_get_palette(dither),
               static_cast<size_t>(out->colors) * 3);
    }
    if (ok) {
        out->key = out->colors++;
        cache->palette = out->palette;
        cache->colors = out->key;
        int black = cache->colors > 0 ? nearest(cache, 0, 0, 0) : out->key;
        memset(indexes, black, static_cast<size_t>(width) * height);
        // Floyd and Steinberg's diffusion over the opaque pixels; the error
        // never crosses a transparent one.
        int32_t* here = errors;
        int32_t* next = errors + (static_cast<size_t>(columns) + 2) * 3;
        for (int32_t i = 0; i < rows; i++) {
            const uint8_t* p = frame + static_cast<size_t>(top + i) * stride + left * size_t{4};
            uint8_t* dst = indexes + static_cast<size_t>(i) * width;
            memset(next, 0, (static_cast<size_t>(columns) + 2) * 3 * 4);
            for (int32_t j = 0; j < columns; j++, p += 4) {
                int32_t* e = here + (j + 1) * 3;
                if (p[3] < ALPHA_OPAQUE) {
                    dst[j] = static_cast<uint8_t>(out->key);
                    continue;
                }
                int want[3];
                for (int c = 0; c < 3; c++) want[c] = clamp_byte(p[c] + e[c] / 16);
                int k = nearest(cache, want[0], want[1], want[2]);
                dst[j] = static_cast<uint8_t>(k);
                for (int c = 0; c < 3; c++) {
                    int error = want[c] - out->palette[k * 3 + c];
                    e[3 + c] += error * 7;
                    next[j * 3 + c] += error * 3;
                    next[(j + 1) * 3 + c] += error * 5;
                    next[(j + 2) * 3 + c] += error;
                }
            }
            int32_t* swap = here;
            here = next;
            next = swap;
        }
    }
    if (dither) sixel_dither_unref(dither);
    free(samples);
    free(cache);
    free(errors);
    if (!ok) {
        free(indexes);
        *out = {};
        out->key = -1;
        return false;
    }
    out->indexes = indexes;
    return true;
}

#pragma GCC diagnostic pop
