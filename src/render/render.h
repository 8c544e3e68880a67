// Rendering: the load and draw commands and the draw's pipeline: fit the
// slot's frame into the box, copy the window as R,G,B, dither and encode it
// as sixel data for the terminal. Nothing here changes or frees the slot's
// frames; every function that builds a buffer hands it to the caller.
//
// The draw keeps, in a store of its own, the frame fitted to each slot's last
// box and the sixel bytes of the windows drawn last, so that a repeated draw
// writes the same bytes again without encoding and a scrolled window skips
// the fit. Entries are keyed by the slot and its load generation, so a load
// makes the old ones unreachable without the image store knowing they exist;
// a terminal size change needs nothing dropped, since the part of a window
// the terminal lets through is part of each window's key. All entries
// together stay within the store's limit; the entry used longest ago goes
// first.
#pragma once

#include <stdint.h>

#include "control/control.h"
#include "images/image.h"

constexpr int IMAGE_FIELD_COUNT = 11;
constexpr int32_t SCALE_ONE = 1024;  // unit of the downscaler's fixed-point factor
constexpr int SIXEL_PALETTE_COLORS = 256;
constexpr int CURSOR_BUFFER_SIZE = 1024;

// ---- The draw cache -----------------------------------------------------

// What the store may hold by default: room for the encoded windows of a long
// animation and the fitted frames of a screenful of slots.
constexpr size_t DRAW_CACHE_BYTES = size_t{64} << 20;
// Encoded windows kept per slot, enough for every frame of an animation.
constexpr int32_t WINDOWS_PER_SLOT = GIF_FRAME_LIMIT + 1;

enum cache_kind { CACHE_FITTED, CACHE_WINDOW };

// Everything an entry's bytes depend on. A fitted frame: the frame and the
// box (columns, rows and the window 0). An encoded window: also the window of
// the fitted frame, clamped, and how much of it the terminal lets through;
// its box is -1 x -1 when the frame is shown at its own size. The cursor move
// before a window is not part of its bytes: it follows the draw's x and y.
struct cache_key {
    int32_t slot;
    uint64_t generation;
    cache_kind kind;
    int32_t frame, box_w, box_h;
    int64_t left, top, width, height;
    int32_t columns, rows;
};

struct cache_entry {
    cache_key key;
    uint8_t* data;  // owned by the store
    size_t size;
    cache_entry* newer;  // the store's list, from the newest use to the oldest
    cache_entry* older;
    cache_entry* next_in_slot;
};

// Owned by main for the whole run; zero-initialised plus the limit is empty.
struct draw_cache {
    cache_entry* newest;
    cache_entry* oldest;
    cache_entry* by_slot[IMAGE_SLOTS];  // each slot's entries, in no order
    size_t bytes;                       // what the entries' data take together
    size_t limit;                       // DRAW_CACHE_BYTES; smaller in tests, 0 keeps nothing
};

// The entry for `key`, marked as just used, or null. Entries of the same slot
// with another generation are dropped on the way: their picture is gone.
cache_entry* draw_cache_find(draw_cache* cache, const cache_key& key);

// Takes over `data` (size bytes, from malloc) as the entry for `key`, after
// letting the oldest entries go until it fits: true when kept. False when it
// can never fit or the entry's record cannot be had: the caller still owns
// `data`. A fitted frame replaces the slot's other fitted frames; a slot
// keeps at most WINDOWS_PER_SLOT windows.
bool draw_cache_keep(draw_cache* cache, const cache_key& key, uint8_t* data, size_t size);

// Lets the oldest entries go until `incoming` more bytes fit within the limit.
void draw_cache_make_room(draw_cache* cache, size_t incoming);

// Frees every entry; the store stays usable with its limit.
void draw_cache_clear(draw_cache* cache);

// ---- Commands ---------------------------------------------------------------

// Commands 0 (load) and 1 (draw; any command other than 0): slot, x, y, w, h,
// sx, sy, sw, sh, path. Lines with another field count are ignored. With
// show_on_load, a load whose w and h are both above 0 is followed by the draw
// that a draw line with the same fields would make.
void handle_image_command(term_geometry* geometry, image_table* table, draw_cache* cache,
                          const program_options* options, command_fields* fields, int32_t command);

// The size a width x height picture is reduced to so that it fits a w x h
// box, keeping its aspect ratio (a 1/1024 fixed-point factor): true and the
// size in out_w x out_h (possibly 0) when it must be reduced; false when it
// fits as it is or has no pixels.
bool fit_size(int32_t width, int32_t height, int32_t w, int32_t h, int32_t* out_w, int32_t* out_h);

// Box-filter reduction of `frame` (width x height x channels) to its fit_size
// in a w x h box. Returns the new frame (same channels; R,G,B,A weighted by
// alpha, alpha averaged; the alpha byte of grey and alpha is 0) and
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

// ---- Palettes ---------------------------------------------------------------

// A pixel whose alpha is below this is transparent and left unpainted; one at
// or above it is painted in its own colour, as if opaque: a sixel terminal
// cannot blend, and the colour a picture stores under partial alpha is the
// colour it means.
constexpr uint8_t ALPHA_OPAQUE = 128;

// A window as palette indexes, for an encoding without any colour search.
struct indexed_window {
    uint8_t* indexes;  // width x height, owned by the caller (free)
    uint8_t palette[SIXEL_PALETTE_COLORS * 3];
    int32_t colors;  // palette entries in use, the key's included
    int32_t key;     // the index of transparent pixels, or -1 when there are none
};

// How much of a width x height window the terminal lets through: at most its
// drawable size, never negative. The rest of a window is left black.
void window_visible_part(const term_geometry* geometry, int64_t width, int64_t height,
                         int32_t* columns, int32_t* rows);

// Whether the terminal's part of the window (left, top, width x height of a
// frame of `channels`, which must lie inside it) has a transparent pixel.
bool window_has_transparency(const term_geometry* geometry, const uint8_t* frame,
                             int32_t frame_width, int32_t channels, int32_t left, int32_t top,
                             int32_t width, int32_t height);

enum index_result { INDEXED, TOO_MANY_COLOURS, INDEX_FAILED };

// The window's exact colours as a palette, when it holds at most 256 (255
// and the key when it is `transparent`, as window_has_transparency tells).
// What lies beyond the terminal's part of the window is black, as in
// window_to_rgb. INDEX_FAILED (logged) without memory.
index_result index_window(const term_geometry* geometry, const uint8_t* frame, int32_t frame_width,
                          int32_t channels, int32_t left, int32_t top, int32_t width,
                          int32_t height, bool transparent, indexed_window* out);

// A window of more than 256 colours with transparent pixels: 255 colours
// chosen by libsixel from its opaque pixels, each opaque pixel mapped to the
// nearest with error diffusion, the transparent ones to the key. False
// (logged) when the memory or libsixel fails.
bool quantize_window(const term_geometry* geometry, const uint8_t* frame, int32_t frame_width,
                     int32_t channels, int32_t left, int32_t top, int32_t width, int32_t height,
                     indexed_window* out);

// Where the encoder's bytes go: each chunk is written to the terminal at
// once and, while `keep` holds, also appended to `data` (owned by the sink's
// user, freed with free). When the copy cannot grow or would pass `limit`,
// `keep` turns false and the copy is dropped; the terminal still gets every
// byte.
struct sixel_sink {
    const term_geometry* geometry;
    bool keep;
    size_t limit;
    char* data;
    size_t size, capacity;
    // Set by sixel_emit_indexed when the picture has a key colour: the
    // introducer then asks the terminal to leave unpainted pixels as they are,
    // and the key's own sixels are taken out of the stream.
    bool transparent;
    bool started;  // the introducer has gone out
    int32_t key;
    int32_t filter;      // where the key filter stands in the stream
    char selection[16];  // a colour selection read but not yet passed on
    int32_t selection_length;
};
constexpr size_t SIXEL_SINK_START = size_t{64} << 10;

// A sink for `geometry`'s terminal that keeps a copy of up to `limit` bytes
// when `keep` holds.
sixel_sink make_sixel_sink(const term_geometry* geometry, bool keep, size_t limit);

// Dithers `rgb` (width x height R,G,B; libsixel's error diffusion writes
// into it) to 256 colours and writes it as 7-bit sixel data to the sink.
// False when a set-up step failed (logged); nothing is written then.
bool sixel_emit(sixel_sink* sink, uint8_t* rgb, int32_t width, int32_t height);

// Writes an indexed window as 7-bit sixel data to the sink, its colours
// exactly, its key's pixels unpainted with a transparent background. The key
// is encoded as an ordinary colour and its sixels are then dropped from the
// stream: libsixel 1.10's own key colour shifts and drops columns. False when
// a set-up step failed (logged); nothing is written then.
bool sixel_emit_indexed(sixel_sink* sink, const indexed_window* window, int32_t width,
                        int32_t height);

// libsixel's write callback: `priv` is the sixel_sink. Always returns 1.
int sixel_write_callback(char* data, int size, void* priv);
