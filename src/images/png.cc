// PNG through libpng, always delivered as 8-bit R,G,B, or R,G,B,A when the
// picture has alpha or a transparent colour (tRNS): 16-bit samples are cut,
// palettes and grey expanded. The size is checked as soon
// as the header is read, before any pixel is decoded, and libpng's chunk
// limits keep a small file from asking for a large block.
#include <png.h>
#include <stdlib.h>
#include <string.h>

#include "control/control.h"
#include "images/image.h"

namespace {

// Ancillary chunks held in memory by libpng: a file may declare thousands.
constexpr png_uint_32 PNG_CHUNK_CACHE_MAX = 128;
// The largest chunk libpng may allocate for (IDAT is streamed, not held):
// a few-byte file can declare a 2 GB text chunk.
constexpr png_alloc_size_t PNG_CHUNK_MALLOC_MAX = png_alloc_size_t{8} << 20;
// Ancillary chunks that never change the pixels we read: skipped unread
// instead of stored, decompressed or, for pCAL and sCAL, allocated for at
// whatever length the file declares.
const png_byte IGNORED_CHUNKS[] =
    "iTXt\0tEXt\0zTXt\0sPLT\0pCAL\0sCAL\0sTER\0hIST\0tIME\0pHYs\0oFFs\0";
constexpr int IGNORED_CHUNK_COUNT = 11;
static_assert(sizeof IGNORED_CHUNKS == IGNORED_CHUNK_COUNT * 5 + 1);

[[noreturn]] void on_png_error(png_structp png, png_const_charp message) {
    log_message(LOG_ERROR, "libpng: %s\n", message);
    // libpng always passes its struct; an error callback must never return.
    png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp message) {
    log_message(LOG_WARN, "libpng: %s\n", message);
}

// What the reader knows besides libpng's own state. The record learns the
// size only once the whole picture has been read.
struct png_reader {
    FILE* file;
    int32_t width, height, channels;
    int passes;
    bool reading_rows;
    int orientation;  // from the eXIf chunk
    uint8_t* icc;     // a copy of the iCCP chunk's profile (malloc'd), or null
    size_t icc_size;
    bool grey;  // grey samples, held as R,G,B: a grey profile converts them
};

// The value a long jump carries when every row is in the frame.
constexpr int PNG_ROWS_DONE = 2;

// Whether libpng has read the last row of the last pass.
bool rows_complete(png_structp png, const png_reader* reader) {
    if (reader->passes > 1) return png_get_current_pass_number(png) >= 7;
    return png_get_current_row_number(png) >= static_cast<png_uint_32>(reader->height);
}

// libpng's reads from the file. Once every row has been read, libpng goes on
// to inflate whatever data follows the last row, only to warn about it, and a
// small file can hold gigabytes of it: the read asked for then ends the
// picture instead, by a long jump back to load_png.
void read_png_data(png_structp png, png_bytep data, size_t length) {
    auto* reader = static_cast<png_reader*>(png_get_io_ptr(png));
    if (reader->reading_rows && rows_complete(png, reader)) png_longjmp(png, PNG_ROWS_DONE);
    if (fread(data, 1, length, reader->file) != length) png_error(png, "Read Error");
}

// Reads the picture after its signature into the record's frame. Library
// errors leave it by a long jump back to load_png, so it holds no object with
// a destructor; the frame belongs to the record as soon as it exists.
bool read_png(png_structp png, png_infop info, png_reader* reader, image* img) {
    png_set_read_fn(png, reader, read_png_data);
    png_set_sig_bytes(png, 8);
    png_set_chunk_cache_max(png, PNG_CHUNK_CACHE_MAX);
    png_set_chunk_malloc_max(png, PNG_CHUNK_MALLOC_MAX);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, IGNORED_CHUNKS, IGNORED_CHUNK_COUNT);
    png_read_info(png, info);
    png_bytep exif = nullptr;
    png_uint_32 exif_size = 0;
    if (png_get_eXIf_1(png, info, &exif_size, &exif) && exif) {
        reader->orientation = exif_orientation(exif, exif_size);
    }
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 profile_size = 0;
    if (png_get_iCCP(png, info, &name, &compression, &profile, &profile_size) && profile &&
        profile_size > 0) {
        reader->icc = static_cast<uint8_t*>(malloc(profile_size));
        if (reader->icc) {
            memcpy(reader->icc, profile, profile_size);
            reader->icc_size = profile_size;
        }
    }

    reader->grey = (png_get_color_type(png, info) & PNG_COLOR_MASK_COLOR) == 0;
    png_set_strip_16(png);
    png_set_packing(png);
    png_set_expand(png);
    png_set_gray_to_rgb(png);
    reader->passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);

    reader->width = static_cast<int32_t>(png_get_image_width(png, info));
    reader->height = static_cast<int32_t>(png_get_image_height(png, info));
    reader->channels = png_get_channels(png, info);
    uint8_t* frame = allocate_frame(reader->width, reader->height, reader->channels);
    img->frame = frame;
    if (!frame) return false;  // too large or no memory: nothing decoded yet

    size_t stride = static_cast<size_t>(reader->width) * static_cast<size_t>(reader->channels);
    if (png_get_rowbytes(png, info) != stride) return false;
    // An interlaced picture is read once per pass, each pass filling in more
    // pixels of the same rows.
    reader->reading_rows = true;
    for (int pass = 0; pass < reader->passes; pass++) {
        for (int32_t y = 0; y < reader->height; y++) {
            png_read_row(png, frame + static_cast<size_t>(y) * stride, nullptr);
        }
    }
    return true;
}

}  // namespace

bool load_png(FILE* file, image* img) {
    png_byte signature[8];
    if (fread(signature, 1, sizeof signature, file) < sizeof signature ||
        png_sig_cmp(signature, 0, sizeof signature) != 0) {
        return false;
    }

    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, on_png_error, on_png_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    // `reader` is changed after the recovery point and read after a jump back
    // to it; its address has escaped to libpng, so its fields are not kept in
    // registers across the calls that change them. `loaded` is volatile.
    png_reader reader = {file, 0, 0, 0, 1, false, ORIENTATION_NORMAL, nullptr, 0, false};
    volatile bool loaded = false;
    // png and info are set before the recovery point and never changed after it.
    if (info) {
        int jumped = setjmp(png_jmpbuf(png));
        if (jumped == 0) {
            loaded = read_png(png, info, &reader, img);
        } else {
            loaded = jumped == PNG_ROWS_DONE;
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);  // either may be null
    if (loaded) {
        img->width = reader.width;
        img->height = reader.height;
        img->channels = reader.channels;
        apply_icc_profile(img, reader.icc, reader.icc_size, reader.grey);
        orient_frame(img, reader.orientation);
    }
    free(reader.icc);
    return loaded;
}
