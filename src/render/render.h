// Rendering: the load and draw commands and the draw's pipeline (fit, crop,
// RGB conversion, sixel output to the terminal).
//
// The frame transforms share one contract: they build their result in a new
// zero-filled buffer and, on success, free `frame` and return the result for
// the caller to store in its place. Null means nothing was done (failure, or
// for the downscaler no reduction needed): `frame` and the record are as
// they were, and still the caller's.
#pragma once

#include <stdint.h>

#include "control/control.h"
#include "images/image.h"

constexpr int IMAGE_FIELD_COUNT = 11;
constexpr int32_t SCALE_ONE = 1024;  // unit of the downscaler's fixed-point factor
constexpr int SIXEL_PALETTE_COLORS = 256;
constexpr int CURSOR_BUFFER_SIZE = 1024;

// Commands 0 (load) and 1 (draw; any command other than 0): slot, x, y, w, h,
// sx, sy, sw, sh, path. Lines with another field count are ignored.
void handle_image_command(term_geometry* geometry, image_table* table, command_fields* fields,
                          int32_t command);

// Box-filter reduction to fit within w x h, keeping the aspect ratio; only
// ever reduces. On success the record's width and height are the new size.
uint8_t* downscale_to_fit(image* img, uint8_t* frame, int32_t w, int32_t h);

// Cuts the window (left, top, width, height), which must lie inside the
// picture, copying at most the terminal's drawable size of it. On success the
// record measures width x height; channels are unchanged (alpha bytes 0).
uint8_t* crop_image(const term_geometry* geometry, image* img, uint8_t* frame, int32_t left,
                    int32_t top, int32_t width, int32_t height);

// Grey or RGBA to 3-byte R,G,B. The record is not changed.
uint8_t* convert_to_rgb(const image* img, uint8_t* frame);

// Dithers the current frame to 256 colours and writes it as 7-bit sixel data
// to the terminal. Converts the record's frames to RGB first when needed.
// False when a set-up step failed (logged); nothing is written then.
bool sixel_emit(const term_geometry* geometry, image* img);

// libsixel's write callback: writes each chunk to the terminal at once.
// `priv` is the term_geometry. Always returns 1.
int sixel_write_callback(char* data, int size, void* priv);
