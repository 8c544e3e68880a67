// A picture's orientation: read from EXIF or AVIF's properties, and applied
// to a frame at load, so that the frame, the size replies and every draw see
// the picture as it is meant to be shown.
#include <stdlib.h>
#include <string.h>

#include "control/control.h"
#include "images/image.h"

namespace {

constexpr uint16_t ORIENTATION_TAG = 274;

// A little- or big-endian reader over a block whose reads are all checked.
struct tiff_reader {
    const uint8_t* data;
    size_t size;
    bool little;

    bool u16(size_t at, uint16_t* out) const {
        if (at > size || size - at < 2) return false;
        *out = little ? static_cast<uint16_t>(data[at] | data[at + 1] << 8)
                      : static_cast<uint16_t>(data[at] << 8 | data[at + 1]);
        return true;
    }
    bool u32(size_t at, uint32_t* out) const {
        uint16_t a = 0, b = 0;
        if (!u16(at, &a) || !u16(at + 2, &b)) return false;
        *out = little ? (uint32_t{b} << 16 | a) : (uint32_t{a} << 16 | b);
        return true;
    }
};

int malformed(const char* why) {
    log_message(LOG_WARN, "EXIF: %s\n", why);
    return ORIENTATION_NORMAL;
}

}  // namespace

int exif_orientation(const uint8_t* exif, size_t size) {
    if (size < 8) return malformed("the block is too short");
    tiff_reader r = {exif, size, exif[0] == 'I'};
    uint16_t magic = 0;
    uint32_t ifd = 0;
    uint16_t entries = 0;
    if ((memcmp(exif, "II", 2) != 0 && memcmp(exif, "MM", 2) != 0) || !r.u16(2, &magic) ||
        magic != 42) {
        return malformed("no TIFF header");
    }
    if (!r.u32(4, &ifd) || !r.u16(ifd, &entries)) return malformed("the first IFD is outside it");
    for (uint32_t k = 0; k < entries; k++) {
        size_t at = size_t{ifd} + 2 + size_t{k} * 12;
        uint16_t tag = 0, type = 0, value = 0;
        uint32_t count = 0;
        if (!r.u16(at, &tag) || !r.u16(at + 2, &type) || !r.u32(at + 4, &count) ||
            !r.u16(at + 8, &value)) {
            return malformed("an IFD entry is outside it");
        }
        if (tag != ORIENTATION_TAG) continue;
        // A SHORT, one of it, stored in the entry itself.
        if (type != 3 || count != 1 || value < 1 || value > 8) {
            return malformed("the orientation is not one of the eight");
        }
        return value;
    }
    return ORIENTATION_NORMAL;
}

int avif_orientation(int angle, int mirror) {
    // Rows: quarter turns anticlockwise 0 to 3; columns: no mirror, top to
    // bottom, left to right, applied after the turn.
    static const int ORIENTATIONS[4][3] = {
        {1, 4, 2},
        {8, 5, 7},
        {3, 2, 4},
        {6, 7, 5},
    };
    int row = angle >= 0 && angle <= 3 ? angle : 0;
    int column = mirror == 0 ? 1 : mirror == 1 ? 2 : 0;
    return ORIENTATIONS[row][column];
}

void orient_pixels(const uint8_t* src, int32_t width, int32_t height, int32_t channels,
                   int orientation, uint8_t* dst) {
    bool swapped = orientation >= 5 && orientation <= 8;
    size_t out_w = static_cast<size_t>(swapped ? height : width);
    size_t pixel = static_cast<size_t>(channels);
    for (int32_t y = 0; y < height; y++) {
        const uint8_t* row = src + static_cast<size_t>(y) * width * pixel;
        for (int32_t x = 0; x < width; x++) {
            int32_t dx = x, dy = y;
            switch (orientation) {
                case 2:
                    dx = width - 1 - x;
                    break;
                case 3:
                    dx = width - 1 - x;
                    dy = height - 1 - y;
                    break;
                case 4:
                    dy = height - 1 - y;
                    break;
                case 5:
                    dx = y;
                    dy = x;
                    break;
                case 6:
                    dx = height - 1 - y;
                    dy = x;
                    break;
                case 7:
                    dx = height - 1 - y;
                    dy = width - 1 - x;
                    break;
                case 8:
                    dx = y;
                    dy = width - 1 - x;
                    break;
                default:
                    break;
            }
            memcpy(dst + (static_cast<size_t>(dy) * out_w + static_cast<size_t>(dx)) * pixel,
                   row + static_cast<size_t>(x) * pixel, pixel);
        }
    }
}

bool orient_frame(image* img, int orientation) {
    if (orientation <= ORIENTATION_NORMAL || orientation > 8 || !img->frame) return true;
    uint8_t* turned = allocate_frame(img->width, img->height, img->channels);
    if (!turned) return false;
    orient_pixels(img->frame, img->width, img->height, img->channels, orientation, turned);
    free(img->frame);
    img->frame = turned;
    if (orientation >= 5) {
        int32_t width = img->width;
        img->width = img->height;
        img->height = width;
    }
    return true;
}
