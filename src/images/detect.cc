#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "control/control.h"
#include "images/image.h"

namespace {

// Indexed by image_type.
const image_loader image_loaders[] = {load_jpeg, load_png,  load_bmp, load_gif,
                                      load_pnm,  load_webp, load_avif};
static_assert(sizeof image_loaders / sizeof image_loaders[0] == IMAGE_UNKNOWN,
              "one loader for every known type, in the enum's order");

const uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// How much of the file detection reads: enough for an ftyp box's first brands.
constexpr size_t HEADER_BYTES = 64;

// An ISO box "ftyp" at the start whose major or compatible brands name an
// AVIF still (avif) or sequence (avis).
bool is_avif(const uint8_t* header, size_t got) {
    if (got < 16 || memcmp(header + 4, "ftyp", 4) != 0) return false;
    size_t box =
        static_cast<size_t>(header[0]) << 24 | header[1] << 16 | header[2] << 8 | header[3];
    size_t end = box < got ? box : got;
    // The major brand, the minor version, then compatible brands.
    for (size_t at = 8; at + 4 <= end; at += at == 8 ? 8 : 4) {
        if (memcmp(header + at, "avif", 4) == 0 || memcmp(header + at, "avis", 4) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

image_type detect_image_type(FILE* file) {
    uint8_t header[HEADER_BYTES];
    size_t got = fread(header, 1, sizeof header, file);
    if (got < 8) {
        log_message(LOG_ERROR, "couldn't read header\n");
        return IMAGE_UNKNOWN;
    }
    fseek(file, 0, SEEK_SET);
    // RIFF, the chunk's size, WEBP.
    if (got >= 12 && memcmp(header, "RIFF", 4) == 0 && memcmp(header + 8, "WEBP", 4) == 0) {
        return IMAGE_WEBP;
    }
    if (is_avif(header, got)) return IMAGE_AVIF;
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

namespace {

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same_source(const image_source& source, const char* path, const struct stat& status) {
    return source.path && strcmp(source.path, path) == 0 && source.device == status.st_dev &&
           source.inode == status.st_ino && source.size == status.st_size &&
           same_time(source.modified, status.st_mtim) && same_time(source.changed, status.st_ctim);
}

// Where the log stands: a decode that moved it logged something. -1 when
// the log cannot tell (a pipe, say).
off_t log_position() {
    return lseek(STDERR_FILENO, 0, SEEK_CUR);
}

}  // namespace

bool image_load(image* img, const char* path) {
    if (!path) path = "";
    FILE* file = open_picture_or_log(path);
    if (!file) {
        image_reset(img);
        return false;
    }
    struct stat status;
    bool known = fstat(fileno(file), &status) == 0;
    // An animation whose damaged frame has been found since its load shows
    // fewer frames than a fresh load would: it is decoded again.
    if (known && image_has_picture(img) && same_source(img->source, path, status) &&
        (!img->anim || img->anim->partial < 0)) {
        fclose_or_log(file);
        img->current_frame = 0;
        img->drawn = false;
        return true;
    }
    image_reset(img);
    off_t before = log_position();
    bool loaded = load_image_stream(file, path, img);
    fclose_or_log(file);
    if (loaded && known && before >= 0 && log_position() == before) {
        // Without memory for the name the picture is simply not kept.
        img->source = {strdup(path),   status.st_dev,  status.st_ino,
                       status.st_size, status.st_mtim, status.st_ctim};
    }
    return loaded;
}
