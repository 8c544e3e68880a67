// JPEG through libjpeg, always delivered as 8-bit R,G,B. Library errors come
// back by a long jump to the recovery point in load_jpeg, so load_jpeg holds
// only trivially destructible locals: a jump must never skip a destructor.
#include <setjmp.h>
#include <stdio.h>
#include <string.h>

// jpeglib.h needs FILE and size_t declared before it.
// clang-format off
#include <jpeglib.h>
// clang-format on

#include "control/control.h"
#include "images/image.h"

namespace {

// At least the library's largest row group (4 for common sampling factors).
constexpr JDIMENSION JPEG_ROWS_AT_ONCE = 16;

// The manager comes first, so that a hook, which gets only the decompression
// object, reaches the recovery point through the object's `err` pointer.
struct jpeg_error_trap {
    jpeg_error_mgr manager;
    jmp_buf recovery;
};

void log_jpeg_message(j_common_ptr cinfo, int level) {
    char text[JMSG_LENGTH_MAX];
    cinfo->err->format_message(cinfo, text);
    log_message(level, "libjpeg: %s\n", text);
}

[[noreturn]] void on_jpeg_error_exit(j_common_ptr cinfo) {
    log_jpeg_message(cinfo, LOG_ERROR);
    longjmp(reinterpret_cast<jpeg_error_trap*>(cinfo->err)->recovery, 1);
}

// Warnings (level < 0): only the first of a decompression is logged, unless
// tracing is on. Trace messages: logged up to the trace level.
void on_jpeg_emit_message(j_common_ptr cinfo, int level) {
    jpeg_error_mgr* err = cinfo->err;
    char text[JMSG_LENGTH_MAX];
    err->format_message(cinfo, text);
    if (level < 0) {
        if (err->num_warnings == 0 || err->trace_level >= 3) {
            log_message(LOG_WARN, "libjpeg: %s\n", text);
        }
        err->num_warnings++;
    } else if (err->trace_level >= level) {
        log_message(LOG_WARN, "libjpeg: %s\n", text);
    }
}

void on_jpeg_output_message(j_common_ptr cinfo) {
    log_jpeg_message(cinfo, LOG_ERROR);
}

}  // namespace

bool load_jpeg(FILE* file, image* img) {
    jpeg_decompress_struct cinfo;
    jpeg_error_trap trap;

    cinfo.err = jpeg_std_error(&trap.manager);
    trap.manager.error_exit = on_jpeg_error_exit;
    trap.manager.emit_message = on_jpeg_emit_message;
    trap.manager.output_message = on_jpeg_output_message;

    // Nothing read after a jump back is changed after this point, so no local
    // needs to be volatile: the result after a jump is always false.
    if (setjmp(trap.recovery)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }

    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    cinfo.quantize_colors = FALSE;
    jpeg_start_decompress(&cinfo);

    img->width = static_cast<int32_t>(cinfo.output_width);
    img->height = static_cast<int32_t>(cinfo.output_height);
    img->channels = cinfo.output_components;

    uint8_t* frame = allocate_frame(img->width, img->height, img->channels);
    img->frames[0] = frame;
    if (frame) {
        // Rows are decoded straight into the frame, a few at a time.
        size_t stride = static_cast<size_t>(cinfo.output_components) * cinfo.output_width;
        JSAMPROW rows[JPEG_ROWS_AT_ONCE];
        while (cinfo.output_scanline < cinfo.output_height) {
            JDIMENSION first = cinfo.output_scanline;
            JDIMENSION count = cinfo.output_height - first;
            if (count > JPEG_ROWS_AT_ONCE) count = JPEG_ROWS_AT_ONCE;
            for (JDIMENSION k = 0; k < count; k++) rows[k] = frame + (first + k) * stride;
            if (jpeg_read_scanlines(&cinfo, rows, count) == 0) break;
        }
    }
    // With rows unread (no frame) the library reports an error here, which
    // ends at the recovery point: the load fails either way.
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return frame != nullptr;
}
