// Rendering: the load and draw commands and the draw's pipeline: fit the
// slot's frame into the box, copy the window as R,G,B, dither and encode it
// as sixel data for the terminal. Nothing here changes or frees the slot's
// frames; every function that builds a buffer hands it to the caller.
//
// The draw keeps, in each slot's record, the frame fitted to the last box and
// the sixel bytes of the windows drawn last, so that a repeated draw writes
// the same bytes again without encoding and a scrolled window skips the fit.
// All slots' entries together stay within the table's draw_cache_limit; the entry used
// longest ago goes first. A load empties its slot's entries; a terminal size
// change needs nothing dropped, since the part of a window the terminal lets
// through is part of each entry's key.
#pragma once

#include <stdint.h>

#include "control/control.h"
#include "images/image.h"

constexpr int IMAGE_FIELD_COUNT = 11;
constexpr int32_t SCALE_ONE = 1024;  // unit of the downscaler's fixed-point factor
constexpr int SIXEL_PALETTE_COLORS = 256;
constexpr int CURSOR_BUFFER_SIZE = 1024;

// Commands 0 (load) and 1 (draw; any command other than 0): slot, x, y, w, h,
// sx, sy, sw, sh, path. Lines with another field count are ignored. With
// show_on_load, a load whose w and h are both above 0 is followed by the draw
// that a draw line with the same fields would make.
void handle_image_command(term_geometry* geometry, image_table* table,
                          const program_options* options, command_fields* fields, int32_t command);

// The bytes the draw cache holds now, in all slots together.
size_t draw_cache_bytes(const image_table* table);
// Encoded windows kept per slot, enough for every frame of an animation.
constexpr int32_t WINDOWS_PER_SLOT = MAX_FRAMES;

// The size a width x height picture is reduced to so that it fits a w x h
// box, keeping its aspect ratio (a 1/1024 fixed-point factor): true and the
// size in out_w x out_h (possibly 0) when it must be reduced; false when it
// fits as it is or has no pixels.
bool fit_size(int32_t width, int32_t height, int32_t w, int32_t h, int32_t* out_w, int32_t* out_h);

// Box-filter reduction of `frame` (width x height x channels) to its fit_size
// in a w x h box. Returns the new frame (same channels, alpha bytes 0) and
// stores its size in *width, *height; null when no reduction is needed or
// the memory cannot be had (logged). `frame` is only read.
uint8_t* downscale_to_fit(const uint8_t* frame, int32_t* width, int32_t* height, int32_t channels,
                          int32_t w, int32_t h);

// The window (left, top, width, height) of `frame`, which must lie inside it,
// as a new buffer of 3-byte R,G,B pixels: grey is repeated, alpha dropped.
// Only the terminal's drawable size of the window is copied; the rest stays
// black. Null for a window outside the frame or without memory (logged).
uint8_t* window_to_rgb(const term_geometry* geometry, const uint8_t* frame, int32_t frame_width,
                       int32_t frame_height, int32_t channels, int32_t left, int32_t top,
                       int32_t width, int32_t height);

// Where the encoder's bytes go: each chunk is written to the terminal at
// once and, while `keep` holds, also appended to `data` (owned by the sink's
// user, freed with free). When the copy cannot grow, `keep` turns false and
// the copy is dropped; the terminal still gets every byte.
struct sixel_sink {
    const term_geometry* geometry;
    bool keep;
    char* data;
    size_t size, capacity;
};
constexpr size_t SIXEL_SINK_START = size_t{64} << 10;

// Dithers `rgb` (width x height R,G,B; libsixel's error diffusion writes
// into it) to 256 colours and writes it as 7-bit sixel data to the sink.
// False when a set-up step failed (logged); nothing is written then.
bool sixel_emit(sixel_sink* sink, uint8_t* rgb, int32_t width, int32_t height);

// libsixel's write callback: `priv` is the sixel_sink. Always returns 1.
int sixel_write_callback(char* data, int size, void* priv);
