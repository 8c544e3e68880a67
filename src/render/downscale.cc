// The box filter. Output pixel (j, i) is the floor of the mean of the source
// box from column j*1024/f up to (j+1)*1024/f and row i*1024/f up to
// (i+1)*1024/f; boxes touch without overlapping, so every source byte is read
// once. A band of source rows is first summed column by column into one row
// of 32-bit sums (a loop the compiler vectorises), then each box of that row
// is summed across and divided by its area.
#include <stdlib.h>

#include "render/render.h"

namespace {

__extension__ typedef unsigned __int128 uint128;

// Exact floor(s / a) for any 32-bit s and a >= 1, by one 128-bit multiply
// with a reciprocal kept while the area does not change: with
// m = ceil(2^64 / a) the product's error stays below 2^-32, less than the
// distance 1/a from s/a to the next whole number.
struct divider {
    uint32_t area = 0;
    uint64_t reciprocal = 0;

    uint32_t divide(uint32_t s, uint32_t a) {
        if (a == 1) return s;
        if (a != area) {
            area = a;
            reciprocal = UINT64_MAX / a + 1;
        }
        return static_cast<uint32_t>((static_cast<uint128>(s) * reciprocal) >> 64);
    }
};

// Adds `count` bytes to as many sums.
void add_row(uint32_t* __restrict sums, const uint8_t* __restrict row, size_t count) {
    for (size_t k = 0; k < count; k++) sums[k] += row[k];
}

void set_row(uint32_t* __restrict sums, const uint8_t* __restrict row, size_t count) {
    for (size_t k = 0; k < count; k++) sums[k] = row[k];
}

// The factor in 1/1024 units, formed in 64 bits so a huge box cannot wrap;
// a negative box is taken as an empty one (factor 0). -1 when the picture
// fits as it is or has no pixels (which must not be divided by).
int64_t fit_factor(int32_t width, int32_t height, int32_t w, int32_t h) {
    if (width <= 0 || height <= 0) return -1;
    int64_t fw = static_cast<int64_t>(w) * SCALE_ONE / width;
    int64_t fh = static_cast<int64_t>(h) * SCALE_ONE / height;
    int64_t factor = fw < fh ? fw : fh;
    if (factor >= SCALE_ONE) return -1;
    return factor < 0 ? 0 : factor;
}

}  // namespace

bool fit_size(int32_t width, int32_t height, int32_t w, int32_t h, int32_t* out_w, int32_t* out_h) {
    int64_t factor = fit_factor(width, height, w, h);
    if (factor < 0) return false;
    *out_w = static_cast<int32_t>(width * factor / SCALE_ONE);
    *out_h = static_cast<int32_t>(height * factor / SCALE_ONE);
    return true;
}

namespace {

// R,G,B,A: each box's colour is weighted by alpha, so that transparent
// pixels, whatever colour they store, never darken the edges of what stays;
// its alpha is the box's mean. Opaque boxes come out exactly as the plain
// filter makes them: floor(255 s / 255 n) = floor(s / n).
void downscale_rgba(const uint8_t* frame, int32_t width, int64_t f, uint8_t* out, int32_t out_w,
                    int32_t out_h, const int32_t* bounds) {
    size_t stride = static_cast<size_t>(width) * 4;
    uint8_t* dst = out;
    for (int32_t i = 0; i < out_h; i++) {
        int64_t y0 = static_cast<int64_t>(i) * SCALE_ONE / f;
        int64_t y1 = static_cast<int64_t>(i + 1) * SCALE_ONE / f;
        for (int32_t j = 0; j < out_w; j++, dst += 4) {
            uint64_t r = 0, g = 0, b = 0, a = 0;
            for (int64_t y = y0; y < y1; y++) {
                const uint8_t* p = frame + static_cast<size_t>(y) * stride + bounds[j] * size_t{4};
                const uint8_t* end = p + (bounds[j + 1] - bounds[j]) * size_t{4};
                for (; p < end; p += 4) {
                    r += uint64_t{p[0]} * p[3];
                    g += uint64_t{p[1]} * p[3];
                    b += uint64_t{p[2]} * p[3];
                    a += p[3];
                }
            }
            uint64_t area = static_cast<uint64_t>(bounds[j + 1] - bounds[j]) * (y1 - y0);
            dst[0] = static_cast<uint8_t>(a ? r / a : 0);
            dst[1] = static_cast<uint8_t>(a ? g / a : 0);
            dst[2] = static_cast<uint8_t>(a ? b / a : 0);
            dst[3] = static_cast<uint8_t>(a / area);
        }
    }
}

}  // namespace

uint8_t* downscale_to_fit(const uint8_t* frame, int32_t* width_io, int32_t* height_io,
                          int32_t channels, int32_t w, int32_t h) {
    int32_t width = *width_io;
    int32_t height = *height_io;
    int64_t f = fit_factor(width, height, w, h);
    if (channels <= 0 || f < 0) return nullptr;
    int32_t out_w = static_cast<int32_t>(width * f / SCALE_ONE);
    int32_t out_h = static_cast<int32_t>(height * f / SCALE_ONE);

    uint8_t* out = allocate_frame(out_w, out_h, channels);
    if (!out) return nullptr;
    if (out_w == 0 || out_h == 0) {
        *width_io = out_w;
        *height_io = out_h;
        return out;
    }

    // Column bounds of every box, and one row of sums across the columns the
    // boxes cover. Sums of up to 1024 rows of 255 fit in 32 bits, and so do
    // the sums of up to 1024x1024 bytes of a box.
    int32_t* bounds = static_cast<int32_t*>(calloc_or_log(static_cast<size_t>(out_w) + 1, 4));
    int32_t last_column = static_cast<int32_t>(static_cast<int64_t>(out_w) * SCALE_ONE / f);
    size_t span = static_cast<size_t>(last_column) * channels;
    uint32_t* sums = static_cast<uint32_t*>(calloc_or_log(span > 0 ? span : 1, 4));
    if (!bounds || !sums) {
        free(bounds);
        free(sums);
        free(out);
        return nullptr;
    }
    for (int32_t j = 0; j <= out_w; j++) {
        bounds[j] = static_cast<int32_t>(static_cast<int64_t>(j) * SCALE_ONE / f);
    }
    if (channels == 4) {
        downscale_rgba(frame, width, f, out, out_w, out_h, bounds);
        free(bounds);
        free(sums);
        *width_io = out_w;
        *height_io = out_h;
        return out;
    }

    bool colour = channels >= 3;
    int alpha_byte = channels == 2 ? 1 : channels == 4 ? 3 : -1;
    size_t src_stride = static_cast<size_t>(width) * channels;
    divider divide;
    uint8_t* dst = out;
    for (int32_t i = 0; i < out_h; i++) {
        int64_t y0 = static_cast<int64_t>(i) * SCALE_ONE / f;
        int64_t y1 = static_cast<int64_t>(i + 1) * SCALE_ONE / f;
        set_row(sums, frame + static_cast<size_t>(y0) * src_stride, span);
        for (int64_t y = y0 + 1; y < y1; y++) {
            add_row(sums, frame + static_cast<size_t>(y) * src_stride, span);
        }
        uint32_t rows = static_cast<uint32_t>(y1 - y0);
        for (int32_t j = 0; j < out_w; j++) {
            const uint32_t* p = sums + static_cast<size_t>(bounds[j]) * channels;
            const uint32_t* end = sums + static_cast<size_t>(bounds[j + 1]) * channels;
            uint32_t area = static_cast<uint32_t>(bounds[j + 1] - bounds[j]) * rows;
            if (colour) {
                uint32_t s0 = 0, s1 = 0, s2 = 0;
                for (; p < end; p += channels) {
                    s0 += p[0];
                    s1 += p[1];
                    s2 += p[2];
                }
                dst[0] = static_cast<uint8_t>(divide.divide(s0, area));
                dst[1] = static_cast<uint8_t>(divide.divide(s1, area));
                dst[2] = static_cast<uint8_t>(divide.divide(s2, area));
            } else {
                uint32_t s0 = 0;
                for (; p < end; p += channels) s0 += p[0];
                dst[0] = static_cast<uint8_t>(divide.divide(s0, area));
            }
            if (alpha_byte >= 0) dst[alpha_byte] = 0;  // grey and alpha: not made
            dst += channels;
        }
    }

    free(bounds);
    free(sums);
    *width_io = out_w;
    *height_io = out_h;
    return out;
}
