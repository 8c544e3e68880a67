#include <stdlib.h>
#include <string.h>

#include <memory>

#include "render/render.h"

namespace {

// A buffer from the C allocators, freed when its owner goes.
struct free_deleter {
    void operator()(void* block) const {
        free(block);
    }
};
using owned_bytes = std::unique_ptr<uint8_t, free_deleter>;

// The numbers of a load or draw line, fields 1 to 9.
struct draw_request {
    int32_t slot, x, y, w, h, sx, sy, sw, sh;
};

// True when the slot holds a picture afterwards. A failed load empties the
// slot, even one without a picture: a failed earlier load may have left a
// size or channel count there that must not describe the next one.
bool load_into_slot(image* slot, int index, const char* path) {
    if (!image_load(slot, path)) return false;
    if (!image_has_picture(slot)) {
        log_message(LOG_ERROR, "specify unloaded image? img[%d] is NULL\n", index);
        return false;
    }
    return true;
}

// The window of the fitted picture that a draw shows and where it goes,
// clamped to the picture and to the terminal, in 64 bits so no sum can wrap.
struct window {
    int64_t left, top, width, height;  // of the fitted picture
    int64_t x, y;                      // where its top left corner goes
};

window clamp_window(const draw_request& r, int32_t fitted_w, int32_t fitted_h,
                    const term_geometry& term) {
    window win = {r.sx, r.sy, r.sw != 0 ? r.sw : r.w, r.sh != 0 ? r.sh : r.h, r.x, r.y};
    // A window that begins left of or above the picture keeps the host's
    // geometry: the picture's first column lands at x - sx, its first row at
    // y - sy, and the part of the window outside the picture shows nothing.
    if (win.left < 0) {
        win.width += win.left;
        win.x -= win.left;
        win.left = 0;
    }
    if (win.top < 0) {
        win.height += win.top;
        win.y -= win.top;
        win.top = 0;
    }
    if (win.left + win.width > fitted_w) win.width = fitted_w - win.left;
    if (win.top + win.height > fitted_h) win.height = fitted_h - win.top;
    if (win.x + win.width > term.width) win.width = term.width - win.x;
    if (win.y + win.height > term.height) win.height = term.height - win.y;
    return win;
}

void move_cursor(const term_geometry* geometry, int32_t x, int32_t y) {
    // A position left of or above the screen goes to its first cell: a
    // negative number would make the sequence invalid and the picture would
    // land wherever the cursor happened to be.
    int32_t row = y / geometry->cell_height + 1;
    int32_t column = x / geometry->cell_width + 1;
    char sequence[CURSOR_BUFFER_SIZE];
    int length = snprintf(sequence, sizeof sequence, "\033[%d;%dH", row < 1 ? 1 : row,
                          column < 1 ? 1 : column);
    write_all(geometry->fd, sequence, static_cast<size_t>(length));
}

// ---- What the draw keeps ----------------------------------------------------

// The key of the slot's frame fitted into the draw's box.
cache_key fitted_key(int index, const image* slot, const draw_request& r) {
    return {index, slot->generation, CACHE_FITTED, slot->current_frame, r.w, r.h, 0, 0, 0, 0, 0, 0};
}

// The current frame fitted to the draw's box: the kept one when there is one,
// else a new one, kept when it fits the cache. A fitted frame that cannot be
// kept comes back in `*temporary` for the caller to free. Null when the
// memory cannot be had (logged).
const uint8_t* fitted_pixels(draw_cache* cache, int index, image* slot, const uint8_t* pixels,
                             const draw_request& r, owned_bytes* temporary) {
    cache_key key = fitted_key(index, slot, r);
    if (cache_entry* kept = draw_cache_find(cache, key)) return kept->data;
    int32_t width = slot->width, height = slot->height;
    int32_t out_w = 0, out_h = 0;
    fit_size(width, height, r.w, r.h, &out_w, &out_h);
    size_t bytes = static_cast<size_t>(out_w) * out_h * slot->channels;
    // Room is made before the fit, so the memory let go can serve it.
    if (bytes <= cache->limit) draw_cache_make_room(cache, bytes);
    uint8_t* fitted = downscale_to_fit(pixels, &width, &height, slot->channels, r.w, r.h);
    if (fitted && !draw_cache_keep(cache, key, fitted, bytes)) temporary->reset(fitted);
    return fitted;
}

// Writes the window of the current frame, fitted to the draw's box, at the
// draw's position. False when the memory for it could not be had (logged).
bool show_window(term_geometry* geometry, draw_cache* cache, int index, image* slot,
                 const draw_request& r, bool reduce, int32_t fitted_w, int32_t fitted_h,
                 const window& win) {
    int32_t columns = 0, rows = 0;
    window_visible_part(geometry, win.width, win.height, &columns, &rows);
    cache_key key = {index,
                     slot->generation,
                     CACHE_WINDOW,
                     slot->current_frame,
                     reduce ? r.w : -1,
                     reduce ? r.h : -1,
                     win.left,
                     win.top,
                     win.width,
                     win.height,
                     columns,
                     rows};
    // A visible window starts between the host's x (y) and the terminal's
    // width (height), so its position fits 32 bits.
    int32_t x = static_cast<int32_t>(win.x), y = static_cast<int32_t>(win.y);
    if (cache_entry* entry = draw_cache_find(cache, key)) {
        move_cursor(geometry, x, y);
        write_all(geometry->fd, entry->data, entry->size);
        return true;
    }

    const uint8_t* pixels = image_frame_pixels(slot);
    if (!pixels) return false;
    owned_bytes temporary;
    if (reduce) {
        pixels = fitted_pixels(cache, index, slot, pixels, r, &temporary);
        if (!pixels) return false;
    }
    // A window of few colours, or with transparent pixels, goes to the
    // encoder as palette indexes; any other as R,G,B, dithered by libsixel.
    int32_t left = static_cast<int32_t>(win.left), top = static_cast<int32_t>(win.top);
    int32_t width = static_cast<int32_t>(win.width), height = static_cast<int32_t>(win.height);
    bool transparent = window_has_transparency(geometry, pixels, fitted_w, slot->channels, left,
                                               top, width, height);
    indexed_window indexed;
    index_result result = index_window(geometry, pixels, fitted_w, slot->channels, left, top, width,
                                       height, transparent, &indexed);
    if (result == INDEX_FAILED) return false;
    if (result == TOO_MANY_COLOURS && transparent) {
        if (!quantize_window(geometry, pixels, fitted_w, slot->channels, left, top, width, height,
                             &indexed)) {
            return false;
        }
        result = INDEXED;
    }
    sixel_sink sink = make_sixel_sink(geometry, cache->limit > 0, cache->limit);
    if (result == INDEXED) {
        owned_bytes indexes(indexed.indexes);
        temporary.reset();
        move_cursor(geometry, x, y);
        sixel_emit_indexed(&sink, &indexed, width, height);
    } else {
        // The encoder's error diffusion writes into its input: it gets a
        // private copy of the window, never the frame or the kept fitted frame.
        owned_bytes rgb(window_to_rgb(geometry, pixels, fitted_w, fitted_h, slot->channels, left,
                                      top, width, height));
        temporary.reset();
        if (!rgb) return false;
        move_cursor(geometry, x, y);
        sixel_emit(&sink, rgb.get(), width, height);
    }
    if (!sink.keep || !sink.data) {
        free(sink.data);
        return true;
    }
    // The copy grew by doubling; what is kept is only what it holds.
    if (char* trimmed = static_cast<char*>(realloc(sink.data, sink.size))) sink.data = trimmed;
    if (!draw_cache_keep(cache, key, reinterpret_cast<uint8_t*>(sink.data), sink.size)) {
        free(sink.data);
    }
    return true;
}

void draw_slot(term_geometry* geometry, image_table* table, draw_cache* cache, int index,
               const draw_request& r) {
    image* slot = &table->slots[index];
    if (slot->drawn) return;
    if (!image_has_picture(slot)) {
        // Nothing to show, and a size of 0 must not reach the fit.
        log_message(LOG_ERROR, "specify unloaded image? img[%d] is NULL\n", index);
        return;
    }
    int32_t fitted_w = slot->width, fitted_h = slot->height;
    bool reduce = (r.w != slot->width || r.h != slot->height) &&
                  fit_size(slot->width, slot->height, r.w, r.h, &fitted_w, &fitted_h);
    window win = clamp_window(r, fitted_w, fitted_h, *geometry);
    // A window without pixels writes nothing, but the draw still counts: the
    // slot is drawn and an animation moves on, as for a visible one. When the
    // memory for a visible one cannot be had, the slot stays not drawn, so
    // the next draw tries again.
    if (win.width > 0 && win.height > 0) {
        int32_t frame = slot->current_frame;
        bool shown = show_window(geometry, cache, index, slot, r, reduce, fitted_w, fitted_h, win);
        // Draws outside the terminal move an animation on without decoding;
        // when this one reached a damaged frame before the one asked for,
        // the animation ended there and starts over: its first frame shows.
        if (!shown && slot->current_frame != frame) {
            shown = show_window(geometry, cache, index, slot, r, reduce, fitted_w, fitted_h, win);
        }
        if (!shown) return;
    }
    slot->drawn = true;
    image_advance_frame(slot);
}

}  // namespace

void handle_image_command(term_geometry* geometry, image_table* table, draw_cache* cache,
                          const program_options* options, command_fields* fields, int32_t command) {
    if (fields->count != IMAGE_FIELD_COUNT) return;
    draw_request r;
    int32_t* numbers[] = {&r.slot, &r.x, &r.y, &r.w, &r.h, &r.sx, &r.sy, &r.sw, &r.sh};
    for (int i = 0; i < 9; i++) *numbers[i] = parse_int(fields->fields[i + 1]);

    int index = select_slot(r.slot);
    if (command == 0) {
        // With show-on-load, a load line that gives a box is also its draw.
        if (load_into_slot(&table->slots[index], index, fields->fields[10]) &&
            options->show_on_load && r.w > 0 && r.h > 0) {
            draw_slot(geometry, table, cache, index, r);
        }
    } else {
        draw_slot(geometry, table, cache, index, r);
    }
}
