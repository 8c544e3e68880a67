// Animations decoded a frame at a time onto one canvas when they are drawn:
// what GIF and WebP share. Only the file's bytes and the decoder's canvases
// are held, whatever the frame count; draws step through the frames in order.
#include <stdlib.h>

#include "control/control.h"
#include "images/image.h"

animation* animation_create(const animation_ops* ops, uint8_t* data) {
    animation* anim = static_cast<animation*>(calloc_or_log(1, sizeof(animation)));
    if (!anim) {
        free(data);
        return nullptr;
    }
    *anim = {ops, nullptr, data, nullptr, -1, -1};
    return anim;
}

void animation_free(animation* anim) {
    if (!anim) return;
    anim->ops->release(anim);
    free(anim->data);
    free(anim);
}

bool animation_decode_to(image* img, int32_t index) {
    animation* anim = img->anim;
    if (index < 0 || index >= img->frame_count) return false;
    if (anim->decoded == index) return true;
    // The canvas carries what earlier frames left on it, so frames are
    // decoded strictly in order: from the one after the canvas's, or from 0.
    int32_t next = anim->decoded >= 0 && anim->decoded < index ? anim->decoded + 1 : 0;
    for (int32_t i = next; i <= index; i++) {
        frame_result result = anim->ops->decode(anim, i);
        if (result == FRAME_FAILED) {
            anim->decoded = -1;
            return false;
        }
        anim->decoded = i;
        if (result == FRAME_PARTIAL && anim->partial < 0) {
            // Found the first time this frame is reached: the frames after
            // it are never shown.
            anim->partial = i;
            img->frame_count = i + 1;
            if (i < index) {
                // The frame asked for no longer exists: the cursor starts over.
                img->current_frame = 0;
                return false;
            }
        }
    }
    return true;
}

int32_t animation_frame_limit(uint64_t available) {
    return available < GIF_FRAME_LIMIT ? static_cast<int32_t>(available) : GIF_FRAME_LIMIT;
}
