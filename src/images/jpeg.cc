// JPEG through libjpeg, always delivered as 8-bit R,G,B (CMYK converted).
// Library errors come back by a long jump to the recovery point in load_jpeg,
// so load_jpeg holds only trivially destructible locals: a jump must never
// skip a destructor.
#include <errno.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
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
// libjpeg's own memory beyond the whole-picture coefficient arrays that a
// progressive or multi-scan file needs (2 bytes a sample): tables, row
// groups, buffers. More than that ends the load with the library's
// "insufficient memory".
constexpr size_t JPEG_WORK_BYTES = size_t{64} << 20;

// Every scan of a progressive file is decoded over the whole picture, and a
// file may repeat a small scan thousands of times. Encoders write about ten;
// a picture may have as many as keep scans x pixels within JPEG_SCAN_WORK
// (about a tenth of a second), and never fewer than JPEG_MIN_SCANS. The
// scans after that are taken as damage: the file is read as if it ended there.
constexpr uint64_t JPEG_SCAN_WORK = uint64_t{1} << 29;
constexpr int JPEG_MIN_SCANS = 32;
constexpr int JPEG_MAX_SCANS = 100;

// The marker a cut file is given in place of the data that never came.
const JOCTET END_OF_IMAGE[2] = {0xFF, JPEG_EOI};

// One row of C,M,Y,K to R,G,B. Adobe's files (the most common) store the
// inks inverted, 255 meaning none.
void cmyk_to_rgb(const uint8_t* cmyk, uint8_t* rgb, JDIMENSION width, bool inverted) {
    for (JDIMENSION x = 0; x < width; x++, cmyk += 4, rgb += 3) {
        unsigned k = inverted ? cmyk[3] : 255u - cmyk[3];
        for (int c = 0; c < 3; c++) {
            unsigned ink = inverted ? cmyk[c] : 255u - cmyk[c];
            rgb[c] = static_cast<uint8_t>((ink * k + 127) / 255);
        }
    }
}

// The manager comes first, so that a hook, which gets only the decompression
// object, reaches the recovery point through the object's `err` pointer.
// What the load finds in the file's markers travels here too: the trap's
// address has escaped to the library, so its fields are read from memory
// after a jump back to the recovery point.
struct jpeg_error_trap {
    jpeg_error_mgr manager;
    jmp_buf recovery;
    int orientation;  // from the EXIF block in APP1
    JOCTET* icc;      // the ICC profile from APP2, or null (malloc'd)
    unsigned int icc_size;
    icc_transform cmyk_to_srgb;  // made from the profile for CMYK rows, or null
    bool grey;
};

// What follows every load, damaged or not: a frame that was read is turned to
// sRGB (unless its CMYK rows already were) and to its orientation; the
// profile and the transform are freed either way.
bool finish_jpeg(image* img, jpeg_error_trap* trap, bool loaded) {
    if (loaded) {
        if (!trap->cmyk_to_srgb) apply_icc_profile(img, trap->icc, trap->icc_size, trap->grey);
        orient_frame(img, trap->orientation);
    }
    free(trap->icc);
    icc_transform_free(trap->cmyk_to_srgb);
    trap->icc = nullptr;
    trap->cmyk_to_srgb = nullptr;
    return loaded;
}

// Reads the markers before the first scan straight from the file, without
// libjpeg, and keeps only what the load needs: the orientation of the first
// EXIF block (APP1) and the colour profile (APP2 "ICC_PROFILE" pieces, in
// their order, up to MAX_ICC_PROFILE_BYTES). Anything else is skipped, so a
// file of many large markers costs no memory. Rewinds the file.
void read_jpeg_markers(FILE* file, jpeg_error_trap* trap) {
    static const uint8_t EXIF_PREFIX[6] = {'E', 'x', 'i', 'f', 0, 0};
    static const uint8_t ICC_PREFIX[12] = {'I', 'C', 'C', '_', 'P', 'R',
                                           'O', 'F', 'I', 'L', 'E', 0};
    uint8_t segment[65536];
    bool exif_seen = false;
    int next_piece = 1;
    bool icc_dropped = false;
    if (fgetc(file) != 0xFF || fgetc(file) != 0xD8) {
        fseek(file, 0, SEEK_SET);
        return;
    }
    for (;;) {
        // Fill bytes 0xFF may come before a marker's code.
        int c = 0;
        while ((c = fgetc(file)) == 0xFF) {
        }
        if (c == EOF || c == 0xDA || c == 0xD9) break;  // the first scan, or the end
        int high = fgetc(file), low = fgetc(file);
        if (high == EOF || low == EOF) break;
        size_t length = static_cast<size_t>(high << 8 | low);
        if (length < 2) break;
        length -= 2;
        bool app1 = c == 0xE1 && !exif_seen, app2 = c == 0xE2 && !icc_dropped;
        if (!app1 && !app2) {
            if (fseek(file, static_cast<long>(length), SEEK_CUR) != 0) break;
            continue;
        }
        if (fread(segment, 1, length, file) != length) break;
        if (app1 && length > sizeof EXIF_PREFIX &&
            memcmp(segment, EXIF_PREFIX, sizeof EXIF_PREFIX) == 0) {
            trap->orientation =
                exif_orientation(segment + sizeof EXIF_PREFIX, length - sizeof EXIF_PREFIX);
            exif_seen = true;
        }
        if (!app2 || length <= sizeof ICC_PREFIX + 2 ||
            memcmp(segment, ICC_PREFIX, sizeof ICC_PREFIX) != 0) {
            continue;
        }
        // Pieces come numbered from 1; one out of order, or more bytes than
        // a profile may have, and the profile is dropped.
        size_t piece = length - sizeof ICC_PREFIX - 2;
        size_t total = size_t{trap->icc_size} + piece;
        uint8_t* grown = nullptr;
        if (segment[sizeof ICC_PREFIX] == next_piece && total <= MAX_ICC_PROFILE_BYTES) {
            grown = static_cast<uint8_t*>(realloc(trap->icc, total));
        }
        if (!grown) {
            if (total > MAX_ICC_PROFILE_BYTES) {
                log_message(LOG_WARN, "lcms2: %s\n", "the colour profile is too large: ignored");
            }
            free(trap->icc);
            trap->icc = nullptr;
            trap->icc_size = 0;
            icc_dropped = true;
            continue;
        }
        memcpy(grown + trap->icc_size, segment + sizeof ICC_PREFIX + 2, piece);
        trap->icc = grown;
        trap->icc_size = static_cast<unsigned int>(total);
        next_piece++;
    }
    fseek(file, 0, SEEK_SET);
}

void log_jpeg_message(j_common_ptr cinfo, log_level level) {
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

// The source once the scans ran out: nothing but the end of the picture.
boolean end_of_data(j_decompress_ptr cinfo) {
    cinfo->src->next_input_byte = END_OF_IMAGE;
    cinfo->src->bytes_in_buffer = sizeof END_OF_IMAGE;
    return TRUE;
}

// The manager comes first, so that the monitor, which gets only the
// decompression object, reaches the limit through its `progress` pointer.
struct jpeg_scan_guard {
    jpeg_progress_mgr manager;
    int max_scans;
};

// Called before each step of the input: past the last scan allowed, the rest
// of the file is dropped, and the scan under way ends where its data stops
// (its remaining blocks keep what the earlier scans gave them).
void on_jpeg_progress(j_common_ptr common) {
    auto* cinfo = reinterpret_cast<j_decompress_ptr>(common);
    auto* guard = reinterpret_cast<jpeg_scan_guard*>(cinfo->progress);
    if (cinfo->input_scan_number <= guard->max_scans ||
        cinfo->src->fill_input_buffer == end_of_data) {
        return;
    }
    log_message(LOG_WARN, "libjpeg: %s\n", "more scans than a picture needs: the rest is ignored");
    cinfo->src->bytes_in_buffer = 0;
    cinfo->src->fill_input_buffer = end_of_data;
}

}  // namespace

bool load_jpeg(FILE* file, image* img) {
    jpeg_decompress_struct cinfo;
    jpeg_error_trap trap;
    jpeg_scan_guard guard = {};
    trap.orientation = ORIENTATION_NORMAL;
    trap.icc = nullptr;
    trap.icc_size = 0;
    trap.cmyk_to_srgb = nullptr;
    trap.grey = false;

    cinfo.err = jpeg_std_error(&trap.manager);
    trap.manager.error_exit = on_jpeg_error_exit;
    trap.manager.emit_message = on_jpeg_emit_message;
    trap.manager.output_message = on_jpeg_output_message;

    // `cinfo` is changed after this point and read after a jump back to it.
    // That is safe without volatile because its address has escaped to the
    // library: the compiler cannot keep its fields in registers across the
    // library calls that change them. The frame lives in the record.
    if (setjmp(trap.recovery)) {
        // A picture whose every row was read is loaded, even when what
        // follows its rows is damaged.
        bool rows_read =
            img->frame && cinfo.output_height > 0 && cinfo.output_scanline >= cinfo.output_height;
        jpeg_destroy_decompress(&cinfo);
        return finish_jpeg(img, &trap, rows_read);
    }

    jpeg_create_decompress(&cinfo);
    read_jpeg_markers(file, &trap);
    jpeg_stdio_src(&cinfo, file);
    jpeg_read_header(&cinfo, TRUE);
    trap.grey = cinfo.jpeg_color_space == JCS_GRAYSCALE;
    // Refuse a picture too large to hold before libjpeg allocates for it.
    // Only a file of several scans (progressive, or components in separate
    // scans) holds the whole picture's coefficients; a baseline one streams.
    bool multi_scan = cinfo.progressive_mode || cinfo.comps_in_scan < cinfo.num_components;
    size_t bytes = 0;
    size_t coefficients = 0;
    if (!frame_byte_count(cinfo.image_width, cinfo.image_height, 3, &bytes) ||
        (multi_scan && !frame_byte_count(cinfo.image_width, cinfo.image_height,
                                         2 * cinfo.num_components, &coefficients))) {
        log_message(LOG_ERROR, "calloc: %s\n", strerror(ENOMEM));
        jpeg_destroy_decompress(&cinfo);
        return finish_jpeg(img, &trap, false);
    }
    cinfo.mem->max_memory_to_use = static_cast<long>(coefficients + JPEG_WORK_BYTES);
    uint64_t pixels = uint64_t{cinfo.image_width} * cinfo.image_height;
    uint64_t scans = pixels > 0 ? JPEG_SCAN_WORK / pixels : JPEG_MAX_SCANS;
    guard.max_scans = static_cast<int>(scans < JPEG_MIN_SCANS   ? JPEG_MIN_SCANS
                                       : scans > JPEG_MAX_SCANS ? JPEG_MAX_SCANS
                                                                : scans);
    guard.manager.progress_monitor = on_jpeg_progress;
    cinfo.progress = &guard.manager;
    // Print and stock photographs come as CMYK (or YCCK, which libjpeg turns
    // into CMYK); they are converted to R,G,B row by row.
    bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    cinfo.quantize_colors = FALSE;
    jpeg_start_decompress(&cinfo);

    img->width = static_cast<int32_t>(cinfo.output_width);
    img->height = static_cast<int32_t>(cinfo.output_height);
    img->channels = 3;
    uint8_t* frame = allocate_frame(img->width, img->height, 3);
    img->frame = frame;
    if (frame) {
        size_t stride = static_cast<size_t>(cinfo.output_width) * 3;
        if (cmyk) {
            JSAMPARRAY row = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo),
                                                        JPOOL_IMAGE, cinfo.output_width * 4, 1);
            bool inverted = cinfo.saw_Adobe_marker;
            // A print profile converts the inks; without one, the plain formula.
            trap.cmyk_to_srgb = icc_transform_create(trap.icc, trap.icc_size,
                                                     inverted ? ICC_CMYK_INVERTED : ICC_CMYK);
            while (cinfo.output_scanline < cinfo.output_height) {
                size_t first = cinfo.output_scanline;
                if (jpeg_read_scanlines(&cinfo, row, 1) == 0) break;
                if (trap.cmyk_to_srgb) {
                    icc_transform_rows(trap.cmyk_to_srgb, row[0], frame + first * stride,
                                       cinfo.output_width);
                } else {
                    cmyk_to_rgb(row[0], frame + first * stride, cinfo.output_width, inverted);
                }
            }
        } else {
            // Rows are decoded straight into the frame, a few at a time.
            JSAMPROW rows[JPEG_ROWS_AT_ONCE];
            while (cinfo.output_scanline < cinfo.output_height) {
                JDIMENSION first = cinfo.output_scanline;
                JDIMENSION count = cinfo.output_height - first;
                if (count > JPEG_ROWS_AT_ONCE) count = JPEG_ROWS_AT_ONCE;
                for (JDIMENSION k = 0; k < count; k++) rows[k] = frame + (first + k) * stride;
                if (jpeg_read_scanlines(&cinfo, rows, count) == 0) break;
            }
        }
    }
    // With rows unread (no frame) the library reports an error here, which
    // ends at the recovery point: the load fails.
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return finish_jpeg(img, &trap, frame != nullptr);
}
