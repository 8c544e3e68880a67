// WebP through libwebp: lossy and lossless, with or without alpha. A still
// picture is decoded straight into its frame (R,G,B, or R,G,B,A when it has
// alpha); an animation keeps its file and libwebpdemux's decoder in the
// record and decodes a frame when it is drawn, as a GIF does.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <webp/decode.h>
#include <webp/demux.h>

#include "control/control.h"
#include "images/image.h"

namespace {

const char* webp_status_name(VP8StatusCode status) {
    switch (status) {
        case VP8_STATUS_OK:
            return "VP8_STATUS_OK";
        case VP8_STATUS_OUT_OF_MEMORY:
            return "VP8_STATUS_OUT_OF_MEMORY";
        case VP8_STATUS_INVALID_PARAM:
            return "VP8_STATUS_INVALID_PARAM";
        case VP8_STATUS_BITSTREAM_ERROR:
            return "VP8_STATUS_BITSTREAM_ERROR";
        case VP8_STATUS_UNSUPPORTED_FEATURE:
            return "VP8_STATUS_UNSUPPORTED_FEATURE";
        case VP8_STATUS_SUSPENDED:
            return "VP8_STATUS_SUSPENDED";
        case VP8_STATUS_USER_ABORT:
            return "VP8_STATUS_USER_ABORT";
        case VP8_STATUS_NOT_ENOUGH_DATA:
            return "VP8_STATUS_NOT_ENOUGH_DATA";
    }
    return "unknown status";
}

frame_result webp_decode(animation* anim, int32_t index) {
    WebPAnimDecoder* decoder = static_cast<WebPAnimDecoder*>(anim->decoder);
    // The decoder composes each frame onto the one before; frame 0 starts over.
    if (index == 0) WebPAnimDecoderReset(decoder);
    uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(decoder, &canvas, &timestamp)) {
        log_message(LOG_ERROR, "libwebp: frame %d does not decode\n", index);
        return FRAME_FAILED;
    }
    anim->canvas = canvas;
    return FRAME_DECODED;
}

void webp_release(animation* anim) {
    WebPAnimDecoderDelete(static_cast<WebPAnimDecoder*>(anim->decoder));
}

const animation_ops webp_ops = {webp_decode, webp_release};

// Shortens a RIFF file cut inside a chunk to its whole chunks, mending the
// size in its header: true when `*size` changed and something is left.
bool whole_chunks(uint8_t* data, size_t* size) {
    constexpr size_t RIFF_HEADER = 12, CHUNK_HEADER = 8;
    size_t end = RIFF_HEADER;
    while (end + CHUNK_HEADER <= *size) {
        uint64_t payload = data[end + 4] | data[end + 5] << 8 | data[end + 6] << 16 |
                           static_cast<uint64_t>(data[end + 7]) << 24;
        uint64_t next = end + CHUNK_HEADER + payload + (payload & 1);  // padded to even
        if (next > *size) break;
        end = static_cast<size_t>(next);
    }
    if (end == *size || end <= RIFF_HEADER) return false;
    uint32_t riff = static_cast<uint32_t>(end - 8);
    for (int k = 0; k < 4; k++) data[4 + k] = static_cast<uint8_t>(riff >> (8 * k));
    *size = end;
    return true;
}

bool load_animated_webp(uint8_t* data, uint64_t size, image* img) {
    // From here the record owns the animation; a failed load's reset frees it.
    img->anim = animation_create(&webp_ops, data);
    if (!img->anim) return false;
    WebPData file = {data, static_cast<size_t>(size)};
    WebPAnimDecoderOptions options;
    WebPAnimDecoderOptionsInit(&options);
    options.color_mode = MODE_RGBA;
    options.use_threads = 0;
    WebPAnimDecoder* decoder = WebPAnimDecoderNew(&file, &options);
    if (!decoder && whole_chunks(data, &file.size)) {
        // libwebp refuses a file cut short; its whole frames still show.
        log_message(LOG_WARN, "libwebp: %s\n", "the animation is cut short");
        decoder = WebPAnimDecoderNew(&file, &options);
    }
    WebPAnimInfo info;
    if (!decoder || !WebPAnimDecoderGetInfo(decoder, &info)) {
        WebPAnimDecoderDelete(decoder);
        log_message(LOG_ERROR, "libwebp: %s\n", "cannot read the animation");
        return false;
    }
    animation* anim = img->anim;
    anim->decoder = decoder;
    img->width = static_cast<int32_t>(info.canvas_width);
    img->height = static_cast<int32_t>(info.canvas_height);
    img->channels = 4;
    int32_t frames = animation_frame_limit(info.frame_count);

    // Every frame is decoded once now, to learn which ones decode; the pixels
    // are decoded again when a frame is drawn. A damaged frame ends the
    // animation before it; one without any frame fails.
    img->frame_count = frames;
    for (int32_t i = 0; i < frames; i++) {
        uint8_t* canvas = nullptr;
        int timestamp = 0;
        if (!WebPAnimDecoderGetNext(decoder, &canvas, &timestamp)) {
            log_message(i > 0 ? LOG_WARN : LOG_ERROR, "libwebp: frame %d does not decode\n", i);
            if (i == 0) return false;
            img->frame_count = i;
            break;
        }
        anim->canvas = canvas;
        anim->decoded = i;
    }
    return true;
}

}  // namespace

bool load_webp(FILE* file, image* img) {
    uint64_t size = 0;
    uint8_t* data = read_whole_file(file, MAX_ANIMATION_FILE_BYTES, &size);
    if (!data) return false;
    WebPBitstreamFeatures features;
    VP8StatusCode status = WebPGetFeatures(data, static_cast<size_t>(size), &features);
    if (status != VP8_STATUS_OK) {
        log_message(LOG_ERROR, "libwebp: %s\n", webp_status_name(status));
        free(data);
        return false;
    }
    // A few header bytes can declare a canvas of gigabytes: refuse it before
    // libwebp allocates it. An animation's decoder holds two canvases, the
    // frame and the one before it, and both count.
    size_t canvas_bytes = 0;
    if (!frame_byte_count(features.width, features.height, features.has_animation ? 8 : 4,
                          &canvas_bytes)) {
        log_message(LOG_ERROR, "calloc: %s\n", strerror(ENOMEM));
        free(data);
        return false;
    }
    if (features.has_animation) return load_animated_webp(data, size, img);

    int32_t channels = features.has_alpha ? 4 : 3;
    // The EXIF and ICCP chunks of an extended file: its orientation and profile.
    int orientation = ORIENTATION_NORMAL;
    WebPData whole = {data, static_cast<size_t>(size)};
    WebPDemuxer* demux = WebPDemux(&whole);
    WebPChunkIterator chunk;
    if (demux && WebPDemuxGetChunk(demux, "EXIF", 1, &chunk)) {
        const uint8_t* exif = chunk.chunk.bytes;
        size_t exif_size = chunk.chunk.size;
        // Some writers keep the JPEG marker's "Exif\0\0" before the TIFF header.
        if (exif_size > 6 && memcmp(exif, "Exif\0\0", 6) == 0) {
            exif += 6;
            exif_size -= 6;
        }
        orientation = exif_orientation(exif, exif_size);
        WebPDemuxReleaseChunkIterator(&chunk);
    }
    size_t bytes = 0;
    uint8_t* frame = allocate_frame(features.width, features.height, channels, &bytes);
    bool ok = false;
    if (frame) {
        size_t stride = static_cast<size_t>(features.width) * channels;
        uint8_t* decoded = channels == 4
                               ? WebPDecodeRGBAInto(data, static_cast<size_t>(size), frame, bytes,
                                                    static_cast<int>(stride))
                               : WebPDecodeRGBInto(data, static_cast<size_t>(size), frame, bytes,
                                                   static_cast<int>(stride));
        ok = decoded != nullptr;
        if (!ok) {
            log_message(LOG_ERROR, "libwebp: %s\n", "the picture does not decode");
            free(frame);
        } else {
            img->frame = frame;
            img->width = features.width;
            img->height = features.height;
            img->channels = channels;
            if (demux && WebPDemuxGetChunk(demux, "ICCP", 1, &chunk)) {
                apply_icc_profile(img, chunk.chunk.bytes, chunk.chunk.size);
                WebPDemuxReleaseChunkIterator(&chunk);
            }
            orient_frame(img, orientation);
        }
    }
    WebPDemuxDelete(demux);
    free(data);
    return ok;
}
