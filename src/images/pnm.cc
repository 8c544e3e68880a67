// Reader for the six PNM kinds, P1 to P6, with a byte scanner of its own.
// It never fails once the frame exists: a short raster leaves zeros, a long
// one is cut off. It refuses what cannot be represented soundly: numbers
// beyond 31 bits and a maxval of 0 (which would divide by zero).
#include <ctype.h>
#include <stdlib.h>

#include "images/image.h"

namespace {

// Indexed by the kind digit; 0 marks a kind the reader does not know.
const int32_t pnm_channels[] = {0, 1, 1, 3, 1, 1, 3};

bool is_digit(int c) {
    return c >= '0' && c <= '9';
}

// Skips to the next digit, passing over comments ('#' to the end of the line)
// and any other byte, and pushes the digit back. False at the end of the stream.
bool skip_to_digit(FILE* file) {
    for (;;) {
        int c = getc(file);
        if (c == EOF) return false;
        if (c == '#') {
            do c = getc(file);
            while (c != EOF && c != '\n');
            if (c == EOF) return false;
            continue;
        }
        if (is_digit(c)) {
            ungetc(c, file);
            return true;
        }
    }
}

// Maps one sample to the stored byte: the low 8 bits of v * 255 / maxval.
// The product is formed in 64 bits so that large maxvals cannot overflow.
uint8_t scale_sample(int32_t value, int32_t maxval) {
    return static_cast<uint8_t>(static_cast<int64_t>(value) * 255 / maxval);
}

}  // namespace

int32_t pnm_read_number(FILE* file) {
    // Whitespace and comments ('#' to the end of the line) may come before
    // any header number.
    int c = getc(file);
    while (c != EOF && (isspace(c) || c == '#')) {
        if (c == '#') {
            while (c != EOF && c != '\n') c = getc(file);
        }
        if (c != EOF) c = getc(file);
    }
    if (c == EOF || !is_digit(c)) return 0;
    int32_t value = 0;
    while (c != EOF && is_digit(c)) {
        if (__builtin_mul_overflow(value, 10, &value) ||
            __builtin_add_overflow(value, c - '0', &value)) {
            return -1;
        }
        c = getc(file);
    }
    // The byte after the digits stays consumed; when it opens a comment, the
    // comment goes with it, up to and including its newline.
    if (c == '#') {
        do c = getc(file);
        while (c != EOF && c != '\n');
    }
    return value;
}

bool load_pnm(FILE* file, image* img) {
    if (getc(file) != 'P') return false;
    int kind = getc(file) - '0';
    if (kind < 1 || kind > 6) {
        img->channels = -1;
        return false;
    }
    img->channels = pnm_channels[kind];
    bool plain = kind <= 3;
    bool bitmap = kind == 1 || kind == 4;

    int32_t maxval = 255;
    if (!skip_to_digit(file)) {
        // The header ends before any digit: an empty picture.
        img->width = 0;
        img->height = 0;
    } else {
        img->width = pnm_read_number(file);
        img->height = pnm_read_number(file);
        if (!bitmap) maxval = pnm_read_number(file);
        if (img->width < 0 || img->height < 0 || maxval < 0) return false;
        // A maxval of 0 (or a missing one) has no scale; only a picture
        // without pixels, which never scales a sample, may carry it.
        if (maxval == 0 && img->width > 0 && img->height > 0) return false;
    }

    size_t total = 0;
    uint8_t* frame = allocate_frame(img->width, img->height, img->channels, &total);
    img->frame = frame;
    if (!frame) return false;

    // A picture without pixels has no raster to read (a P4 row loop over a
    // huge height of width 0 would otherwise spin for nothing).
    if (total == 0) return true;
    size_t stored = 0;
    if (plain) {
        while (stored < total && skip_to_digit(file)) {
            int32_t value = pnm_read_number(file);
            if (value < 0) {
                free(frame);
                img->frame = nullptr;
                return false;
            }
            frame[stored++] = bitmap ? (value == 0 ? 255 : 0) : scale_sample(value, maxval);
        }
    } else if (!bitmap) {
        for (int c; stored < total && (c = getc(file)) != EOF;) {
            frame[stored++] = scale_sample(c, maxval);
        }
    } else {
        // P4: each row starts on a byte boundary, leftmost pixel in the high
        // bit; bits past the row's last pixel are ignored. A 1 bit is black.
        int32_t width = img->width;
        size_t row_bytes = (static_cast<size_t>(width) + 7) / 8;
        for (int32_t y = 0; y < img->height; y++) {
            for (size_t b = 0; b < row_bytes; b++) {
                int c = getc(file);
                if (c == EOF) return true;
                for (int bit = 0; bit < 8; bit++) {
                    int64_t x = static_cast<int64_t>(b) * 8 + bit;
                    if (x >= width) break;
                    frame[stored++] = (c & (0x80 >> bit)) ? 0 : 255;
                }
            }
        }
    }
    return true;
}
