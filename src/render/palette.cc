// Windows as palette indexes: their exact colours when they have few, and
// transparent pixels as the key colour. The R,G,B path (window_to_rgb) stays
// the one for opaque windows of many colours.
#include <stdlib.h>
#include <string.h>

#include "render/render.h"

namespace {

// Colour to palette index, for at most 256 colours: open addressing over
// four times as many places, keyed by R,G,B + 1 (0 marks a free place).
struct colour_table {
    static constexpr uint32_t PLACES = 1024;
    uint32_t keys[PLACES];
    uint8_t values[PLACES];
};

// The index of `rgb` in the palette, added when new: -1 once the palette is
// full (`limit` colours).
int lookup(colour_table* table, indexed_window* out, uint32_t rgb, int32_t limit) {
    uint32_t key = rgb + 1;
    uint32_t place = (rgb * 2654435761u) >> 22;  // the top 10 bits
    for (;; place = (place + 1) & (colour_table::PLACES - 1)) {
        if (table->keys[place] == key) return table->values[place];
        if (table->keys[place] == 0) break;
    }
    if (out->colors >= limit) return -1;
    int index = out->colors++;
    table->keys[place] = key;
    table->values[place] = static_cast<uint8_t>(index);
    out->palette[index * 3] = static_cast<uint8_t>(rgb >> 16);
    out->palette[index * 3 + 1] = static_cast<uint8_t>(rgb >> 8);
    out->palette[index * 3 + 2] = static_cast<uint8_t>(rgb);
    return index;
}

}  // namespace

void window_visible_part(const term_geometry* geometry, int64_t width, int64_t height,
                         int32_t* columns, int32_t* rows) {
    int64_t c = width < geometry->width ? width : geometry->width;
    int64_t r = height < geometry->height ? height : geometry->height;
    *columns = static_cast<int32_t>(c < 0 ? 0 : c);
    *rows = static_cast<int32_t>(r < 0 ? 0 : r);
}

bool window_has_transparency(const term_geometry* geometry, const uint8_t* frame,
                             int32_t frame_width, int32_t channels, int32_t left, int32_t top,
                             int32_t width, int32_t height) {
    if (channels != 4) return false;
    int32_t columns = 0, rows = 0;
    window_visible_part(geometry, width, height, &columns, &rows);
    size_t stride = static_cast<size_t>(frame_width) * 4;
    for (int32_t i = 0; i < rows; i++) {
        const uint8_t* p = frame + static_cast<size_t>(top + i) * stride + left * size_t{4};
        for (int32_t j = 0; j < columns; j++) {
            if (p[j * 4 + 3] < ALPHA_OPAQUE) return true;
        }
    }
    return false;
}

index_result index_window(const term_geometry* geometry, const uint8_t* frame, int32_t frame_width,
                          int32_t channels, int32_t left, int32_t top, int32_t width,
                          int32_t height, bool transparent, indexed_window* out) {
    *out = {};
    out->key = -1;
    // The key takes the last place when there is one.
    int32_t limit = transparent ? SIXEL_PALETTE_COLORS - 1 : SIXEL_PALETTE_COLORS;
    auto* table = static_cast<colour_table*>(calloc_or_log(1, sizeof(colour_table)));
    uint8_t* indexes = allocate_frame(width, height, 1);
    if (!table || !indexes) {
        free(table);
        free(indexes);
        return INDEX_FAILED;
    }
    int32_t columns = 0, rows = 0;
    window_visible_part(geometry, width, height, &columns, &rows);
    int black = -1;
    if (columns < width || rows < height) black = lookup(table, out, 0, limit);
    size_t stride = static_cast<size_t>(frame_width) * channels;
    bool fits = true;
    bool keyed = false;
    uint32_t last_rgb = UINT32_MAX;
    int last_index = -1;
    for (int32_t i = 0; i < height && fits; i++) {
        uint8_t* dst = indexes + static_cast<size_t>(i) * width;
        const uint8_t* p = frame + static_cast<size_t>(top + i) * stride + left * size_t(channels);
        for (int32_t j = 0; j < width; j++, p += channels) {
            if (i >= rows || j >= columns) {
                dst[j] = static_cast<uint8_t>(black);
                continue;
            }
            if (channels == 4 && p[3] < ALPHA_OPAQUE) {
                keyed = true;  // numbered once the colours are known
                continue;
            }
            uint32_t rgb = channels >= 3 ? uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2]
                                         : uint32_t{p[0]} * 0x010101u;
            if (rgb != last_rgb) {
                last_index = lookup(table, out, rgb, limit);
                last_rgb = rgb;
            }
            if (last_index < 0) {
                fits = false;
                break;
            }
            dst[j] = static_cast<uint8_t>(last_index);
        }
    }
    if (fits && keyed) {
        // Second pass over the transparent pixels: they take the key.
        out->key = out->colors++;
        for (int32_t i = 0; i < rows; i++) {
            const uint8_t* p = frame + static_cast<size_t>(i + top) * stride + left * size_t{4};
            uint8_t* dst = indexes + static_cast<size_t>(i) * width;
            for (int32_t j = 0; j < columns; j++) {
                if (p[j * 4 + 3] < ALPHA_OPAQUE) dst[j] = static_cast<uint8_t>(out->key);
            }
        }
    }
    free(table);
    if (!fits) {
        free(indexes);
        *out = {};
        out->key = -1;
        return TOO_MANY_COLOURS;
    }
    out->indexes = indexes;
    return INDEXED;
}
