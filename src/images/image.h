// The image store: the `image` record, the slot table and loading a picture
// file into a slot. A record owns its non-null frame buffers; the slot table
// is one fixed block owned by main for the whole run.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

constexpr int IMAGE_SLOTS = 1024;
constexpr int MAX_FRAMES = 128;
// One less than MAX_FRAMES, so a GIF never fills the last frame entry.
constexpr int GIF_FRAME_LIMIT = 127;

// A frame is width x height pixels of `channels` bytes (1 grey; 3 R,G,B;
// 4 R,G,B,A), rows top to bottom, packed without gaps.
struct image {
    uint8_t* frames[MAX_FRAMES];
    int32_t width;
    int32_t height;
    int32_t channels;
    bool has_alpha;
    int32_t delays[MAX_FRAMES];
    int32_t frame_count;
    int32_t loop_count;
    int32_t current_frame;
    bool drawn;
};

struct image_table {
    image slots[IMAGE_SLOTS];
};

// ---- Slots --------------------------------------------------------------

// Empty state: no frames, sizes 0, frame_count 1. Frees nothing.
void image_init(image* img);
// Frees frames 0 to frame_count - 1 and nulls them; nothing else changes.
void image_free_frames(image* img);
// image_free_frames, then image_init.
void image_reset(image* img);
// Host slot number (1-based) to table index: <= 1 gives 0, >= 1024 gives 1023.
int select_slot(int32_t number);
// Moves the frame cursor on by one, back to 0 after the last frame. A record
// without frames (frame_count 0 or less) stays at 0.
void image_advance_frame(image* img);
// The frame the next draw shows, or null when the slot holds no picture.
uint8_t* image_current_frame(const image* img);

// ---- Byte counts ----------------------------------------------------------

// The largest frame the program will hold. The formats can describe pictures
// of many gigabytes in a few bytes of header; a frame this large is refused
// as an allocation failure instead of exhausting the machine (a draw needs a
// second copy of it, and a GIF canvas a third). 512 MiB holds a 178-megapixel
// RGB photograph or an 11585x11585 RGBA picture.
constexpr uint64_t MAX_FRAME_BYTES = uint64_t{512} << 20;

// width x height x channels in 64 bits, refusing negative factors and results
// above MAX_FRAME_BYTES. True and the count in `bytes` when acceptable.
bool frame_byte_count(int64_t width, int64_t height, int64_t channels, size_t* bytes);

// A zero-filled frame of width x height x channels bytes through
// calloc_or_log, or null (logged as "calloc: %s\n" also when too large).
// When `bytes` is given, the frame's byte count is stored there on success.
uint8_t* allocate_frame(int64_t width, int64_t height, int64_t channels, size_t* bytes = nullptr);

// ---- Loading ----------------------------------------------------------------

enum image_type {
    IMAGE_JPEG = 0,
    IMAGE_PNG = 1,
    IMAGE_BMP = 2,
    IMAGE_GIF = 3,
    IMAGE_PNM = 4,
    IMAGE_UNKNOWN = 5,
};

// A loader reads the open stream (positioned at 0, never closed by it) into
// the record: on success frames[0] (and on for animations), width, height and
// channels are set. On failure it returns false; whatever it set stays in the
// record and belongs to it.
using image_loader = bool (*)(FILE* file, image* img);

// Looks at the first 8 bytes and rewinds. Fewer than 8 bytes: logged
// ("couldn't read header") and IMAGE_UNKNOWN.
image_type detect_image_type(FILE* file);

// Opens `path` (null is taken as a name that cannot be opened), detects its
// format, runs the loader and closes the file. Logs every failure.
bool load_image(const char* path, image* img);

// load_image on a stream that is already open at offset 0 (left open);
// `path` names it in the messages.
bool load_image_stream(FILE* file, const char* path, image* img);

bool load_jpeg(FILE* file, image* img);
bool load_png(FILE* file, image* img);
bool load_bmp(FILE* file, image* img);
bool load_gif(FILE* file, image* img);
bool load_pnm(FILE* file, image* img);

// The PNM number scanner: skips whitespace, reads decimal digits and consumes
// the byte after them. 0 when no digit comes; -1 when the number does not fit
// in 31 bits.
int32_t pnm_read_number(FILE* file);

// Reads the whole stream into one heap buffer that the caller frees, storing
// its size in `size_out`. Null on failure, with nothing stored.
uint8_t* read_whole_file(FILE* file, uint64_t* size_out);
