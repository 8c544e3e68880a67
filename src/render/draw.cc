#include <stdlib.h>
#include <string.h>

#include "render/render.h"

namespace {

// The numbers of a load or draw line, fields 1 to 9.
struct draw_request {
    int32_t slot, x, y, w, h, sx, sy, sw, sh;
};

void load_into_slot(image* slot, int index, const char* path) {
    // Reset even a slot without a picture: a failed earlier load may have
    // left a size or channel count there that must not describe the next one.
    image_reset(slot);
    if (!load_image(path, slot)) return;
    if (!image_current_frame(slot)) {
        log_message(LOG_ERROR, "specify unloaded image? img[%d] is NULL\n", index);
        return;
    }
    slot->drawn = false;
}

// The window of the fitted picture that a draw shows, clamped to the picture
// and to the terminal, in 64 bits so no sum can wrap. The part of a window
// that lies left of or above the picture has no pixels and is dropped.
struct window {
    int64_t left, top, width, height;
};

window clamp_window(const draw_request& r, const image& fitted, const term_geometry& term) {
    window win = {r.sx, r.sy, r.sw != 0 ? r.sw : r.w, r.sh != 0 ? r.sh : r.h};
    if (win.left + win.width > fitted.width) win.width = fitted.width - win.left;
    if (win.top + win.height > fitted.height) win.height = fitted.height - win.top;
    if (r.x + win.width > term.width) win.width = int64_t{term.width} - r.x;
    if (r.y + win.height > term.height) win.height = int64_t{term.height} - r.y;
    if (win.left < 0) {
        win.width += win.left;
        win.left = 0;
    }
    if (win.top < 0) {
        win.height += win.top;
        win.top = 0;
    }
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

void draw_slot(term_geometry* geometry, image* slot, int index, const draw_request& r) {
    if (slot->drawn) return;
    const uint8_t* source = image_current_frame(slot);
    if (!source) {
        // Nothing to copy, and a size of 0 must not reach the fit.
        log_message(LOG_ERROR, "specify unloaded image? img[%d] is NULL\n", index);
        return;
    }
    size_t bytes = 0;
    uint8_t* frame = allocate_frame(slot->width, slot->height, slot->channels, &bytes);
    if (!frame) return;  // logged; the slot stays not drawn, so the next draw tries again
    memcpy(frame, source, bytes);

    image work;
    image_init(&work);
    work.width = slot->width;
    work.height = slot->height;
    work.channels = slot->channels;
    work.has_alpha = slot->has_alpha;

    if (r.w != work.width || r.h != work.height) {
        uint8_t* fitted = downscale_to_fit(&work, frame, r.w, r.h);
        if (fitted) frame = fitted;
    }

    window win = clamp_window(r, work, *geometry);
    if (win.width > 0 && win.height > 0) {
        bool whole = win.left == 0 && win.top == 0 && win.width == work.width &&
                     win.height == work.height && win.width <= geometry->width &&
                     win.height <= geometry->height;
        if (!whole) {
            uint8_t* cropped =
                crop_image(geometry, &work, frame, static_cast<int32_t>(win.left),
                           static_cast<int32_t>(win.top), static_cast<int32_t>(win.width),
                           static_cast<int32_t>(win.height));
            if (cropped) frame = cropped;
        }
        move_cursor(geometry, r.x, r.y);
        work.frames[0] = frame;
        sixel_emit(geometry, &work);
        frame = work.frames[0];  // the emission may have replaced it with an RGB copy
    }
    // A window without pixels writes nothing, but the draw still counts: the
    // slot is drawn and an animation moves on, as for a visible one.
    slot->drawn = true;
    free(frame);
    image_advance_frame(slot);
}

}  // namespace

void handle_image_command(term_geometry* geometry, image_table* table, command_fields* fields,
                          int32_t command) {
    if (fields->count != IMAGE_FIELD_COUNT) return;
    draw_request r;
    int32_t* numbers[] = {&r.slot, &r.x, &r.y, &r.w, &r.h, &r.sx, &r.sy, &r.sw, &r.sh};
    for (int i = 0; i < 9; i++) *numbers[i] = parse_int(fields->fields[i + 1]);

    int index = select_slot(r.slot);
    image* slot = &table->slots[index];
    if (command == 0) {
        load_into_slot(slot, index, fields->fields[10]);
    } else {
        draw_slot(geometry, slot, index, r);
    }
}
