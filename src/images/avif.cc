// AVIF through libavif (with dav1d): stills at 8, 10 and 12 bits, with and
// without alpha, converted to 8-bit R,G,B or R,G,B,A and turned as their
// irot and imir properties say; image sequences keep their file and decoder
// in the record and decode a frame when it is drawn, as GIF does.
#include <avif/avif.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "control/control.h"
#include "images/image.h"

namespace {

// A sequence's decoder and the canvas its frames are converted onto.
struct avif_state {
    avifDecoder* decoder;
    uint8_t* canvas;     // the shown frame: width x height R,G,B,A, turned
    uint8_t* converted;  // the frame as decoded, before it is turned
    int orientation;
    icc_transform to_srgb;  // from the sequence's colour profile, or null
};

// A decoder that refuses, before it allocates, a picture larger than a frame
// we would hold, and never starts threads.
avifDecoder* create_decoder() {
    avifDecoder* decoder = avifDecoderCreate();
    if (!decoder) return nullptr;
    decoder->maxThreads = 1;
    decoder->imageSizeLimit = static_cast<uint32_t>(MAX_FRAME_BYTES / 4);
    decoder->ignoreExif = AVIF_TRUE;
    decoder->ignoreXMP = AVIF_TRUE;
    // Files that bend the rules a little still show, as in a browser.
    decoder->strictFlags = AVIF_STRICT_DISABLED;
    return decoder;
}

int orientation_of(const avifImage* image) {
    int angle = image->transformFlags & AVIF_TRANSFORM_IROT ? image->irot.angle : -1;
    int mirror = image->transformFlags & AVIF_TRANSFORM_IMIR ? image->imir.mode : -1;
    return avif_orientation(angle, mirror);
}

// Converts the decoder's current image to 8-bit samples in `pixels`
// (width x height x channels, the picture as stored).
bool convert(const avifImage* image, int32_t channels, uint8_t* pixels) {
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, image);
    rgb.format = channels == 4 ? AVIF_RGB_FORMAT_RGBA : AVIF_RGB_FORMAT_RGB;
    rgb.depth = 8;
    rgb.pixels = pixels;
    rgb.rowBytes = image->width * static_cast<uint32_t>(channels);
    avifResult result = avifImageYUVToRGB(image, &rgb);
    if (result != AVIF_RESULT_OK) {
        log_message(LOG_ERROR, "libavif: %s\n", avifResultToString(result));
        return false;
    }
    return true;
}

frame_result avif_decode(animation* anim, int32_t index) {
    auto* state = static_cast<avif_state*>(anim->decoder);
    avifResult result = avifDecoderNthImage(state->decoder, static_cast<uint32_t>(index));
    if (result == AVIF_RESULT_OK) {
        const avifImage* image = state->decoder->image;
        if (convert(image, 4, state->converted)) {
            if (state->to_srgb) {
                icc_transform_rows(state->to_srgb, state->converted, state->converted,
                                   size_t{image->width} * image->height);
            }
            orient_pixels(state->converted, static_cast<int32_t>(image->width),
                          static_cast<int32_t>(image->height), 4, state->orientation,
                          state->canvas);
            anim->canvas = state->canvas;
            return FRAME_DECODED;
        }
    }
    // A frame that does not decode ends the sequence with the frame before.
    if (index == 0 || !anim->canvas) return FRAME_FAILED;
    if (anim->partial != index) {
        log_message(LOG_WARN, "libavif: %s\n", avifResultToString(result));
    }
    return FRAME_PARTIAL;
}

void avif_release(animation* anim) {
    auto* state = static_cast<avif_state*>(anim->decoder);
    if (!state) return;
    avifDecoderDestroy(state->decoder);
    icc_transform_free(state->to_srgb);
    free(state->canvas);
    free(state->converted);
    free(state);
}

const animation_ops avif_ops = {avif_decode, avif_release};

bool load_sequence(avifDecoder* decoder, uint8_t* data, image* img) {
    // From here the record owns the animation; a failed load's reset frees it.
    img->anim = animation_create(&avif_ops, data);
    auto* state = static_cast<avif_state*>(calloc_or_log(1, sizeof(avif_state)));
    if (!img->anim || !state) {
        avifDecoderDestroy(decoder);
        free(state);
        return false;
    }
    state->decoder = decoder;
    img->anim->decoder = state;
    const avifImage* image = decoder->image;
    state->orientation = orientation_of(image);
    state->to_srgb = icc_transform_create(image->icc.data, image->icc.size, ICC_RGBA);
    state->canvas = allocate_frame(image->width, image->height, 4);
    state->converted = allocate_frame(image->width, image->height, 4);
    if (!state->canvas || !state->converted) return false;
    bool swapped = state->orientation >= 5;
    img->width = static_cast<int32_t>(swapped ? image->height : image->width);
    img->height = static_cast<int32_t>(swapped ? image->width : image->height);
    img->channels = 4;
    img->frame_count = animation_frame_limit(static_cast<uint64_t>(decoder->imageCount));
    return animation_decode_to(img, 0);
}

}  // namespace

bool load_avif(FILE* file, image* img) {
    uint64_t size = 0;
    uint8_t* data = read_whole_file(file, MAX_ANIMATION_FILE_BYTES, &size);
    if (!data) return false;
    avifDecoder* decoder = create_decoder();
    avifResult result = decoder ? avifDecoderSetIOMemory(decoder, data, static_cast<size_t>(size))
                                : AVIF_RESULT_OUT_OF_MEMORY;
    if (result == AVIF_RESULT_OK) result = avifDecoderParse(decoder);
    if (result != AVIF_RESULT_OK) {
        log_message(LOG_ERROR, "libavif: %s\n", avifResultToString(result));
        if (decoder) avifDecoderDestroy(decoder);
        free(data);
        return false;
    }
    // The size is known from the header: refuse a picture too large to hold
    // (a sequence holds two frames of R,G,B,A) before anything is decoded.
    const avifImage* image = decoder->image;
    bool sequence = decoder->imageCount > 1;
    int32_t channels = sequence || decoder->alphaPresent ? 4 : 3;
    size_t bytes = 0;
    if (!frame_byte_count(image->width, image->height, sequence ? 8 : channels, &bytes)) {
        log_message(LOG_ERROR, "calloc: %s\n", strerror(ENOMEM));
        avifDecoderDestroy(decoder);
        free(data);
        return false;
    }
    if (sequence) return load_sequence(decoder, data, img);

    result = avifDecoderNextImage(decoder);
    bool ok = result == AVIF_RESULT_OK;
    if (!ok) log_message(LOG_ERROR, "libavif: %s\n", avifResultToString(result));
    uint8_t* frame = ok ? allocate_frame(image->width, image->height, channels) : nullptr;
    ok = frame && convert(decoder->image, channels, frame);
    if (ok) {
        img->frame = frame;
        img->width = static_cast<int32_t>(decoder->image->width);
        img->height = static_cast<int32_t>(decoder->image->height);
        img->channels = channels;
        apply_icc_profile(img, decoder->image->icc.data, decoder->image->icc.size);
        orient_frame(img, orientation_of(decoder->image));
    } else {
        free(frame);
    }
    avifDecoderDestroy(decoder);
    free(data);
    return ok;
}
