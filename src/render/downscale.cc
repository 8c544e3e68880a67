#include <stdlib.h>

#include "render/render.h"

uint8_t* downscale_to_fit(image* img, uint8_t* frame, int32_t w, int32_t h) {
    int32_t width = img->width;
    int32_t height = img->height;
    int32_t channels = img->channels;
    // A picture without pixels has nothing to reduce, and must not be divided by.
    if (width <= 0 || height <= 0 || channels <= 0) return nullptr;

    // The factor in 1/1024 units, formed in 64 bits so a huge box cannot
    // wrap; a negative box is taken as an empty one.
    int64_t fw = static_cast<int64_t>(w) * SCALE_ONE / width;
    int64_t fh = static_cast<int64_t>(h) * SCALE_ONE / height;
    int64_t factor = fw < fh ? fw : fh;
    if (factor >= SCALE_ONE) return nullptr;
    if (factor < 0) factor = 0;
    int32_t f = static_cast<int32_t>(factor);

    int32_t out_w = static_cast<int32_t>(static_cast<int64_t>(width) * f / SCALE_ONE);
    int32_t out_h = static_cast<int32_t>(static_cast<int64_t>(height) * f / SCALE_ONE);
    uint8_t* out = allocate_frame(out_w, out_h, channels);
    if (!out) return nullptr;

    // Box bounds: output pixel j covers source columns j*1024/f up to
    // (j+1)*1024/f; boxes touch without overlapping, so each source pixel is
    // read at most once. Sums of up to 1024x1024 bytes of 255 fit in 32 bits.
    bool colour = channels >= 3;
    int alpha_byte = channels == 2 ? 1 : channels == 4 ? 3 : -1;
    size_t src_stride = static_cast<size_t>(width) * channels;
    uint8_t* dst = out;
    for (int32_t i = 0; i < out_h; i++) {
        int64_t y0 = static_cast<int64_t>(i) * SCALE_ONE / f;
        int64_t y1 = static_cast<int64_t>(i + 1) * SCALE_ONE / f;
        for (int32_t j = 0; j < out_w; j++) {
            int64_t x0 = static_cast<int64_t>(j) * SCALE_ONE / f;
            int64_t x1 = static_cast<int64_t>(j + 1) * SCALE_ONE / f;
            uint32_t s0 = 0, s1 = 0, s2 = 0;
            for (int64_t y = y0; y < y1; y++) {
                const uint8_t* p = frame + static_cast<size_t>(y) * src_stride +
                                   static_cast<size_t>(x0) * channels;
                for (int64_t x = x0; x < x1; x++, p += channels) {
                    s0 += p[0];
                    if (colour) {
                        s1 += p[1];
                        s2 += p[2];
                    }
                }
            }
            uint32_t area = static_cast<uint32_t>((x1 - x0) * (y1 - y0));
            dst[0] = static_cast<uint8_t>(s0 / area);
            if (colour) {
                dst[1] = static_cast<uint8_t>(s1 / area);
                dst[2] = static_cast<uint8_t>(s2 / area);
            }
            if (img->has_alpha && alpha_byte >= 0) dst[alpha_byte] = 0;  // alpha is not averaged
            dst += channels;
        }
    }

    free(frame);
    img->width = out_w;
    img->height = out_h;
    return out;
}
