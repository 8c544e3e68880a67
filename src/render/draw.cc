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

// ---- The draw cache --------------------------------------------------------

// Everything that decides the bytes of a window: the frame, the box it was
// fitted to (-1 x -1 when shown at its own size), the window and how much of
// it the terminal lets through.
struct window_key {
    int32_t frame, box_w, box_h;
    window win;
    int32_t columns, rows;
};

bool same_key(const encoded_window& e, const window_key& k) {
    return e.frame == k.frame && e.box_w == k.box_w && e.box_h == k.box_h && e.left == k.win.left &&
           e.top == k.win.top && e.width == k.win.width && e.height == k.win.height &&
           e.columns == k.columns && e.rows == k.rows;
}

// Frees the entries used longest ago, in every slot, until `incoming` more
// bytes fit within the table's limit.
void make_room(image_table* table, size_t incoming) {
    size_t total = draw_cache_bytes(table);
    while (total + incoming > table->draw_cache_limit) {
        fitted_frame* oldest_fit = nullptr;
        encoded_window* oldest_window = nullptr;
        uint64_t oldest = UINT64_MAX;
        for (auto& slot : table->slots) {
            if (slot.fitted.pixels && slot.fitted.last_use < oldest) {
                oldest = slot.fitted.last_use;
                oldest_fit = &slot.fitted;
                oldest_window = nullptr;
            }
            for (int32_t i = 0; i < slot.window_count; i++) {
                encoded_window* e = &slot.windows[i];
                if (e->data && e->last_use < oldest) {
                    oldest = e->last_use;
                    oldest_window = e;
                    oldest_fit = nullptr;
                }
            }
        }
        if (oldest_fit) {
            total -= oldest_fit->bytes;
            free(oldest_fit->pixels);
            *oldest_fit = {};
        } else if (oldest_window) {
            total -= oldest_window->size;
            free(oldest_window->data);
            *oldest_window = {};
        } else {
            return;
        }
    }
}

encoded_window* find_window(image* slot, const window_key& key) {
    for (int32_t i = 0; i < slot->window_count; i++) {
        if (slot->windows[i].data && same_key(slot->windows[i], key)) return &slot->windows[i];
    }
    return nullptr;
}

// Keeps the sink's bytes as the window's entry, taking them over; they are
// freed instead when they cannot be kept.
void keep_window(image_table* table, image* slot, const window_key& key, sixel_sink* sink) {
    if (!sink->keep || !sink->data || sink->size > table->draw_cache_limit) {
        free(sink->data);
        return;
    }
    encoded_window* entry = nullptr;
    for (int32_t i = 0; i < slot->window_count && !entry; i++) {
        if (!slot->windows[i].data) entry = &slot->windows[i];
    }
    if (!entry && slot->window_count < WINDOWS_PER_SLOT) {
        int32_t count = slot->window_count ? slot->window_count * 2 : 4;
        if (count > WINDOWS_PER_SLOT) count = WINDOWS_PER_SLOT;
        auto* grown = static_cast<encoded_window*>(
            realloc(slot->windows, static_cast<size_t>(count) * sizeof(encoded_window)));
        if (grown) {
            for (int32_t i = slot->window_count; i < count; i++) grown[i] = {};
            entry = &grown[slot->window_count];
            slot->windows = grown;
            slot->window_count = count;
        }
    }
    if (!entry) {
        // The slot's table is full: its entry used longest ago makes way.
        for (int32_t i = 0; i < slot->window_count; i++) {
            if (!entry || slot->windows[i].last_use < entry->last_use) entry = &slot->windows[i];
        }
    }
    if (!entry) {
        free(sink->data);
        return;
    }
    free(entry->data);
    *entry = {};
    // The copy grew by doubling; what is kept is only what it holds.
    if (char* trimmed = static_cast<char*>(realloc(sink->data, sink->size))) sink->data = trimmed;
    make_room(table, sink->size);
    *entry = {sink->data,     sink->size,   key.frame,   key.box_w,
              key.box_h,      key.win.left, key.win.top, key.win.width,
              key.win.height, key.columns,  key.rows,    ++table->draw_clock};
}

// The current frame fitted to the draw's box: the slot's kept one when it
// matches, else a new one, kept when it fits the cache. A fitted frame that
// cannot be kept comes back in `*temporary` for the caller to free. Null
// when the memory cannot be had (logged).
const uint8_t* fitted_pixels(image_table* table, image* slot, const uint8_t* pixels,
                             const draw_request& r, owned_bytes* temporary) {
    fitted_frame* kept = &slot->fitted;
    if (kept->pixels && kept->frame == slot->current_frame && kept->box_w == r.w &&
        kept->box_h == r.h) {
        kept->last_use = ++table->draw_clock;
        return kept->pixels;
    }
    free(kept->pixels);
    *kept = {};
    int32_t width = slot->width, height = slot->height;
    int32_t out_w = 0, out_h = 0;
    fit_size(width, height, r.w, r.h, &out_w, &out_h);
    size_t bytes = static_cast<size_t>(out_w) * out_h * slot->channels;
    bool keep = bytes <= table->draw_cache_limit;
    if (keep) make_room(table, bytes);
    uint8_t* fitted = downscale_to_fit(pixels, &width, &height, slot->channels, r.w, r.h);
    if (!fitted) return nullptr;
    if (!keep) {
        temporary->reset(fitted);
        return fitted;
    }
    *kept = {fitted, bytes, slot->current_frame, r.w, r.h, width, height, ++table->draw_clock};
    return fitted;
}

// Writes the window of the current frame, fitted to the draw's box, at the
// draw's position. False when the memory for it could not be had (logged).
bool show_window(term_geometry* geometry, image_table* table, image* slot, const draw_request& r,
                 bool reduce, int32_t fitted_w, int32_t fitted_h, const window& win) {
    window_key key = {
        slot->current_frame,
        reduce ? r.w : -1,
        reduce ? r.h : -1,
        win,
        static_cast<int32_t>(win.width < geometry->width ? win.width : geometry->width),
        static_cast<int32_t>(win.height < geometry->height ? win.height : geometry->height)};
    if (key.columns < 0) key.columns = 0;
    if (key.rows < 0) key.rows = 0;
    // A visible window starts between the host's x (y) and the terminal's
    // width (height), so its position fits 32 bits.
    int32_t x = static_cast<int32_t>(win.x), y = static_cast<int32_t>(win.y);
    if (encoded_window* entry = find_window(slot, key)) {
        entry->last_use = ++table->draw_clock;
        move_cursor(geometry, x, y);
        write_all(geometry->fd, entry->data, entry->size);
        return true;
    }

    const uint8_t* pixels = image_frame_pixels(slot);
    if (!pixels) return false;
    owned_bytes temporary;
    if (reduce) {
        pixels = fitted_pixels(table, slot, pixels, r, &temporary);
        if (!pixels) return false;
    }
    // The encoder's error diffusion writes into its input: it gets a private
    // copy of the window, never the frame or the kept fitted frame.
    owned_bytes rgb(window_to_rgb(geometry, pixels, fitted_w, fitted_h, slot->channels,
                                  static_cast<int32_t>(win.left), static_cast<int32_t>(win.top),
                                  static_cast<int32_t>(win.width),
                                  static_cast<int32_t>(win.height)));
    temporary.reset();
    if (!rgb) return false;

    move_cursor(geometry, x, y);
    sixel_sink sink = {geometry, true, nullptr, 0, 0};
    sixel_emit(&sink, rgb.get(), static_cast<int32_t>(win.width), static_cast<int32_t>(win.height));
    rgb.reset();
    keep_window(table, slot, key, &sink);
    return true;
}

void draw_slot(term_geometry* geometry, image_table* table, int index, const draw_request& r) {
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
        bool shown = show_window(geometry, table, slot, r, reduce, fitted_w, fitted_h, win);
        // Draws outside the terminal move an animation on without decoding;
        // when this one reached a damaged frame before the one asked for,
        // the animation ended there and starts over: its first frame shows.
        if (!shown && slot->current_frame != frame) {
            shown = show_window(geometry, table, slot, r, reduce, fitted_w, fitted_h, win);
        }
        if (!shown) return;
    }
    slot->drawn = true;
    image_advance_frame(slot);
}

}  // namespace

size_t draw_cache_bytes(const image_table* table) {
    size_t total = 0;
    for (const auto& slot : table->slots) {
        if (slot.fitted.pixels) total += slot.fitted.bytes;
        for (int32_t i = 0; i < slot.window_count; i++) {
            if (slot.windows[i].data) total += slot.windows[i].size;
        }
    }
    return total;
}

void handle_image_command(term_geometry* geometry, image_table* table,
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
            draw_slot(geometry, table, index, r);
        }
    } else {
        draw_slot(geometry, table, index, r);
    }
}
