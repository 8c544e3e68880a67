// PNG through libpng's one-call reader, always delivered as 8-bit R,G,B:
// 16-bit samples are cut, alpha dropped, palettes and grey expanded.
#include <png.h>
#include <string.h>

#include "control/control.h"
#include "images/image.h"

namespace {

constexpr int PNG_LOAD_TRANSFORMS = PNG_TRANSFORM_STRIP_16 | PNG_TRANSFORM_STRIP_ALPHA |
                                    PNG_TRANSFORM_PACKING | PNG_TRANSFORM_EXPAND |
                                    PNG_TRANSFORM_GRAY_TO_RGB;
static_assert(PNG_LOAD_TRANSFORMS == 0x2017);

[[noreturn]] void on_png_error(png_structp png, png_const_charp message) {
    log_message(LOG_ERROR, "libpng: %s\n", message);
    // libpng always passes its struct; an error callback must never return.
    png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp message) {
    log_message(LOG_WARN, "libpng: %s\n", message);
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
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    // png and info are set before this point and never changed after it.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }

    png_init_io(png, file);
    png_set_sig_bytes(png, sizeof signature);
    png_read_png(png, info, PNG_LOAD_TRANSFORMS, nullptr);

    img->width = static_cast<int32_t>(png_get_image_width(png, info));
    img->height = static_cast<int32_t>(png_get_image_height(png, info));
    img->channels = png_get_channels(png, info);

    uint8_t* frame = allocate_frame(img->width, img->height, img->channels);
    img->frames[0] = frame;
    if (!frame) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    size_t stride = static_cast<size_t>(img->width) * static_cast<size_t>(img->channels);
    size_t row_bytes = png_get_rowbytes(png, info);
    png_bytepp rows = png_get_rows(png, info);
    for (int32_t r = 0; r < img->height; r++) {
        memcpy(frame + static_cast<size_t>(r) * stride, rows[r],
               row_bytes < stride ? row_bytes : stride);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}
