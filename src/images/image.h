// The image store: the `image` record, the slot table and loading a picture
// file into a slot. A record owns its frame, its animation and its source's
// name; the slot table is one fixed block owned by main for the whole run.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

constexpr int IMAGE_SLOTS = 1024;
// The most frames an animation shows; the frames after them are never drawn.
constexpr int GIF_FRAME_LIMIT = 127;

struct animation;

// What decoding one frame of an animation gave.
enum frame_result {
    FRAME_DECODED,
    FRAME_PARTIAL,  // damaged or cut short: what decoded is on the canvas
    FRAME_FAILED,   // nothing usable (no memory for the canvas, say)
};

// What an animation's decoder does, one table per format.
struct animation_ops {
    // Decodes frame `index` onto the canvas, which holds frame index - 1
    // (anything at all when index is 0: the decoder starts over), and points
    // `canvas` at it. Logs the decoder's reason for a failure, and for a
    // damaged frame the first time it is found.
    frame_result (*decode)(animation* anim, int32_t index);
    // Frees the decoder (not the record's data or the record itself).
    void (*release)(animation* anim);
};

// A picture whose frames are decoded one at a time onto one canvas when they
// are drawn (GIF, animated WebP): the whole file and its decoder.
struct animation {
    const animation_ops* ops;
    void* decoder;
    uint8_t* data;          // the file, which the decoder reads from
    const uint8_t* canvas;  // width x height R,G,B,A: the last frame decoded
    int32_t decoded;        // the frame on the canvas, or -1
    int32_t partial;        // the damaged frame, which became the last one; or -1
};

// The file a slot's picture was decoded from, as it was then: a load of the
// same path that still finds the same file unchanged keeps the picture.
struct image_source {
    char* path;  // null when the picture may not be kept this way (or none is held)
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified, changed;
};

// A frame is width x height pixels of `channels` bytes (1 grey; 3 R,G,B;
// 4 R,G,B,A), rows top to bottom, packed without gaps.
struct image {
    uint8_t* frame;  // a still picture's pixels; null for an animation or an empty slot
    int32_t width;
    int32_t height;
    int32_t channels;
    bool has_alpha;
    int32_t frame_count;
    int32_t current_frame;
    bool drawn;
    animation* anim;  // an animation's frames are decoded from here when drawn; else null
    image_source source;
    // Bumped by every reset: what the draw kept of an earlier picture in this
    // slot is keyed by the generation it was made from, and no longer matches.
    uint64_t generation;
};

struct image_table {
    image slots[IMAGE_SLOTS];
};

// ---- Slots --------------------------------------------------------------

// Empty state: no frames, sizes 0, frame_count 1, generation 0. Frees nothing.
void image_init(image* img);
// Frees the frame, the animation and the source's name, and nulls them;
// nothing else changes.
void image_free_frames(image* img);
// image_free_frames, then image_init, with the next generation.
void image_reset(image* img);
// Host slot number (1-based) to table index: <= 1 gives 0, >= 1024 gives 1023.
int select_slot(int32_t number);
// Moves the frame cursor on by one, back to 0 after the last frame. A record
// without frames (frame_count 0 or less) stays at 0.
void image_advance_frame(image* img);
// Whether the slot holds a picture that a draw can show.
bool image_has_picture(const image* img);
// The frame the next draw shows, or null when the slot holds no picture. For
// an animation it is the canvas, whose pixels may belong to another frame
// until image_frame_pixels has been called.
const uint8_t* image_current_frame(const image* img);
// The current frame's pixels, decoding an animation's frame when needed:
// null when the slot holds no picture or the frame cannot be decoded.
const uint8_t* image_frame_pixels(image* img);

// ---- Animations -------------------------------------------------------------

// A new animation record over `data` (taken over) with the format's decoder
// functions; null (logged) without memory. The loader sets its decoder.
animation* animation_create(const animation_ops* ops, uint8_t* data);
// Frees the decoder, the file and the record (null does nothing).
void animation_free(animation* anim);
// Decodes frame `index` of the record's animation onto its canvas, the frames
// before it first when the canvas does not hold the previous one, so every
// frame looks as it does when the frames are played in order. A damaged
// frame becomes the animation's last: frame_count shrinks to end with it, as
// a browser stops there. False when the frame cannot be shown.
bool animation_decode_to(image* img, int32_t index);
// How many of `available` frames an animation shows: at most GIF_FRAME_LIMIT.
// Frames are decoded one at a time onto one canvas, so the canvas's size does
// not change the count; a draw decodes at most GIF_FRAME_LIMIT frames.
int32_t animation_frame_limit(uint64_t available);

// ---- Byte counts ----------------------------------------------------------

// The largest frame the program will hold. The formats can describe pictures
// of many gigabytes in a few bytes of header; a frame this large is refused
// as an allocation failure instead of exhausting the machine (a draw needs a
// second copy of it, and a GIF canvas a third). 512 MiB holds a 178-megapixel
// RGB photograph or an 11585x11585 RGBA picture.
constexpr uint64_t MAX_FRAME_BYTES = uint64_t{512} << 20;

// An animation's file, held whole while the animation is shown: no larger
// than this. 1 GiB is far more than any animation that a frame of
// MAX_FRAME_BYTES allows would need.
constexpr uint64_t MAX_ANIMATION_FILE_BYTES = uint64_t{1} << 30;

// width x height x channels in 64 bits, refusing negative factors and results
// above MAX_FRAME_BYTES. True and the count in `bytes` when acceptable.
bool frame_byte_count(int64_t width, int64_t height, int64_t channels, size_t* bytes);

// A zero-filled frame of width x height x channels bytes through
// calloc_or_log, or null (logged as "calloc: %s\n" also when too large).
// When `bytes` is given, the frame's byte count is stored there on success.
// Large frames ask for transparent huge pages, so that filling a fresh
// 60 MB frame takes a few dozen page faults instead of fifteen thousand.
uint8_t* allocate_frame(int64_t width, int64_t height, int64_t channels, size_t* bytes = nullptr);

// ---- Loading ----------------------------------------------------------------

enum image_type {
    IMAGE_JPEG = 0,
    IMAGE_PNG = 1,
    IMAGE_BMP = 2,
    IMAGE_GIF = 3,
    IMAGE_PNM = 4,
    IMAGE_WEBP = 5,
    IMAGE_AVIF = 6,
    IMAGE_UNKNOWN = 7,
};

// A loader reads the open stream (positioned at 0, never closed by it) into
// the record: on success the frame (or the animation), width, height and
// channels are set. On failure it returns false; whatever it set stays in the
// record and belongs to it.
using image_loader = bool (*)(FILE* file, image* img);

// Looks at the first bytes (8 for most formats, 12 for WebP, the ftyp box's
// brands for AVIF) and rewinds. Fewer than 8 bytes: logged ("couldn't read
// header") and IMAGE_UNKNOWN.
image_type detect_image_type(FILE* file);

// Opens `path` (null is taken as a name that cannot be opened), detects its
// format, runs the loader and closes the file. Logs every failure.
bool load_image(const char* path, image* img);

// Loads `path` into the slot, replacing what it held, and tells whether the
// slot now holds a picture. When the slot holds a picture decoded from this
// very path, and the file is still the same one unchanged (device, inode,
// size, modification and change times to the nanosecond), the picture is kept
// instead of decoded again: the frame cursor goes back to the first frame and
// the drawn flag is cleared, as after a fresh load. Only a decode that logged
// nothing is kept this way, so the log reads the same either way.
bool image_load(image* img, const char* path);

// load_image on a stream that is already open at offset 0 (left open);
// `path` names it in the messages.
bool load_image_stream(FILE* file, const char* path, image* img);

bool load_jpeg(FILE* file, image* img);
bool load_png(FILE* file, image* img);
bool load_bmp(FILE* file, image* img);
bool load_gif(FILE* file, image* img);
bool load_pnm(FILE* file, image* img);
bool load_webp(FILE* file, image* img);
bool load_avif(FILE* file, image* img);

// ---- Colour profiles -----------------------------------------------------------

// The largest embedded profile taken; a larger one is ignored with a warning.
// Real profiles take a few kilobytes, the largest print ones a few megabytes.
constexpr size_t MAX_ICC_PROFILE_BYTES = size_t{8} << 20;

// How the pixels that a profile's transform converts are laid out.
enum icc_layout { ICC_GREY, ICC_RGB, ICC_RGBA, ICC_CMYK, ICC_CMYK_INVERTED };

// A profile's conversion to sRGB (Little CMS's transform); null when none.
using icc_transform = void*;

// The conversion of pixels in `layout`, described by the ICC profile `icc`,
// to 8-bit sRGB R,G,B (R,G,B,A for ICC_RGBA, alpha copied). Null without a
// profile, for an RGB profile that is sRGB already, and for a broken one or
// one of another colour space ("lcms2: ..." logged as a warning).
icc_transform icc_transform_create(const uint8_t* icc, size_t size, icc_layout layout);
// Converts `pixels` pixels from `in` to `out` (which may be `in` when both
// have as many bytes a pixel).
void icc_transform_rows(icc_transform transform, const uint8_t* in, uint8_t* out, size_t pixels);
void icc_transform_free(icc_transform transform);

// Converts the record's still frame (R,G,B or R,G,B,A; `grey` when its
// samples are grey, held as R,G,B) from the profile to sRGB in place. Does
// nothing when icc_transform_create makes no transform.
void apply_icc_profile(image* img, const uint8_t* icc, size_t size, bool grey = false);

// ---- Orientation -------------------------------------------------------------

// The eight orientations of EXIF's tag 274: how the stored picture is turned
// to be shown. 1 as stored; 2 mirrored left to right; 3 turned half a turn;
// 4 mirrored top to bottom; 5 mirrored along its main diagonal; 6 turned a
// quarter clockwise; 7 mirrored along its other diagonal; 8 turned a quarter
// anticlockwise.
constexpr int ORIENTATION_NORMAL = 1;

// The orientation an EXIF block (a TIFF header and its first IFD, the
// "Exif\0\0" prefix already skipped) gives, ORIENTATION_NORMAL without the
// tag. Every offset is checked: a block that is cut short or points outside
// itself logs a warning ("EXIF: ...") and counts as ORIENTATION_NORMAL.
int exif_orientation(const uint8_t* exif, size_t size);

// The orientation of AVIF's rotation (irot: `angle` quarter turns
// anticlockwise, -1 for none) followed by its mirror (imir: 0 top to bottom,
// 1 left to right, -1 for none).
int avif_orientation(int angle, int mirror);

// Turns the record's still frame to `orientation`, swapping its width and
// height for 5 to 8. A new frame replaces the old only on success; false
// (logged) without memory, and the record keeps its frame as it was.
bool orient_frame(image* img, int orientation);

// Writes the width x height frame `src` of `channels`, turned to
// `orientation`, into `dst`, which holds as many bytes.
void orient_pixels(const uint8_t* src, int32_t width, int32_t height, int32_t channels,
                   int orientation, uint8_t* dst);

// The PNM number scanner: skips whitespace and comments, reads decimal digits
// and consumes the byte after them. 0 when no digit comes; -1 when the number does not fit
// in 31 bits.
int32_t pnm_read_number(FILE* file);

// Reads the whole stream into one heap buffer that the caller frees, storing
// its size in `size_out`. Null on failure, with nothing stored; a stream
// larger than `max_bytes` is refused unread ("calloc: %s\n"). A few zero
// bytes follow the data, for decoders that read a little past its end.
uint8_t* read_whole_file(FILE* file, uint64_t max_bytes, uint64_t* size_out);
