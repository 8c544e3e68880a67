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
    // Each orientation as a mirror left to right, a mirror top to bottom, and
    // then a swap of rows and columns.
    struct turn {
        bool flip_x, flip_y, transpose;
    };
    static const turn TURNS[9] = {
        {false, false, false},
        {false, false, false},
        {true,  false, false},
        {true,  true,  false},
        {false, true,  false},
        {false, false, true },
        {false, true,  true },
        {true,  true,  true },
        {true,  false, true },
    };
    turn t = TURNS[orientation >= 1 && orientation <= 8 ? orientation : 1];
    // The shown place of stored pixel (x, y), counted in pixels: a x + b y + c.
    int64_t w = width, h = height;
    int64_t along_x = t.transpose ? h : 1, along_y = t.transpose ? 1 : w;
    int64_t a = t.flip_x ? -along_x : along_x, b = t.flip_y ? -along_y : along_y;
    int64_t c = (t.flip_x ? (w - 1) * along_x : 0) + (t.flip_y ? (h - 1) * along_y : 0);
    size_t pixel = static_cast<size_t>(channels);
    for (int64_t y = 0; y < h; y++) {
        const uint8_t* from = src + static_cast<size_t>(y * w) * pixel;
        for (int64_t x = 0; x < w; x++, from += pixel) {
            memcpy(dst + static_cast<size_t>(a * x + b * y + c) * pixel, from, pixel);
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
