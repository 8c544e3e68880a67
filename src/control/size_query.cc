#include "control/control.h"
#include "images/image.h"

namespace {

// Raises `size` to the next whole multiple of `cell` (unchanged when it is
// one), in 64 bits: a size near the 32-bit limit can round past it.
int64_t round_up_to_cell(int64_t size, int64_t cell) {
    int64_t rest = size % cell;
    return rest == 0 ? size : size + (cell - rest);
}

}  // namespace

void report_image_size(const term_geometry* geometry, image* slot, const char* path, FILE* out) {
    // A failed load empties the slot: a failed earlier load may have left
    // sizes behind without a frame, and they must not describe the next picture.
    if (!image_load(slot, path)) {
        fputs("0 0\n", out);
        return;
    }
    int64_t width = round_up_to_cell(slot->width, geometry->cell_width);
    int64_t height = round_up_to_cell(slot->height, geometry->cell_height);
    if (width > INT32_MAX || height > INT32_MAX) {
        fputs("0 0\n", out);  // a size the reply's 32-bit numbers cannot carry
        return;
    }
    fprintf(out, "%d %d\n", static_cast<int32_t>(width), static_cast<int32_t>(height));
}
