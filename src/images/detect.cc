#include <string.h>

#include "control/control.h"
#include "images/image.h"

namespace {

// Indexed by image_type.
const image_loader image_loaders[] = {load_jpeg, load_png, load_bmp, load_gif, load_pnm, load_webp};
static_assert(sizeof image_loaders / sizeof image_loaders[0] == IMAGE_UNKNOWN,
              "one loader for every known type, in the enum's order");

const uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

}  // namespace

image_type detect_image_type(FILE* file) {
    uint8_t header[12];
    size_t got = fread(header, 1, sizeof header, file);
    if (got < 8) {
        log_message(LOG_ERROR, "couldn't read header\n");
        return IMAGE_UNKNOWN;
    }
    fseek(file, 0, SEEK_SET);
    // RIFF, the chunk's size, WEBP.
    if (got == 12 && memcmp(header, "RIFF", 4) == 0 && memcmp(header + 8, "WEBP", 4) == 0) {
        return IMAGE_WEBP;
    }
    if (header[0] == 0xFF && header[1] == 0xD8) return IMAGE_JPEG;
    if (memcmp(header, PNG_SIGNATURE, sizeof PNG_SIGNATURE) == 0) return IMAGE_PNG;
    if (memcmp(header, "GIF", 3) == 0) return IMAGE_GIF;
    if (header[0] == 'B' && header[1] == 'M') return IMAGE_BMP;
    if (header[0] == 'P' && header[1] >= '0' && header[1] <= '6') return IMAGE_PNM;
    return IMAGE_UNKNOWN;
}

bool load_image_stream(FILE* file, const char* path, image* img) {
    bool loaded = false;
    image_type type = detect_image_type(file);
    if (type == IMAGE_UNKNOWN) {
        log_message(LOG_ERROR, "unknown file type: %s\n", path);
        log_message(LOG_ERROR, "image load error: %s\n", path);
    } else if (!image_loaders[type](file, img)) {
        // A failed load keeps no pixels: the slot must not draw a picture
        // that the load reported as missing.
        image_free_frames(img);
        log_message(LOG_ERROR, "image load error: %s\n", path);
    } else {
        img->has_alpha = img->channels == 2 || img->channels == 4;
        loaded = true;
    }
    return loaded;
}

bool load_image(const char* path, image* img) {
    // An absent name (a load line that ends in ';') is logged as the empty
    // name, which cannot be opened either.
    if (!path) path = "";
    FILE* file = open_picture_or_log(path);
    if (!file) return false;
    bool loaded = load_image_stream(file, path, img);
    fclose_or_log(file);
    return loaded;
}
