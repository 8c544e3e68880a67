#include "control/control.h"
#include "images/image.h"

namespace {

// Raises `size` to the next whole multiple of `cell` (unchanged when it is one).
int32_t round_up_to_cell(int32_t size, int32_t cell) {
    int32_t rest = size % cell;
    return rest == 0 ? size : size + (cell - rest);
}

}  // namespace

void report_image_size(const term_geometry* geometry, image* slot, const char* path, FILE* out) {
    // Always reset: a failed earlier load may have left sizes behind without
    // a frame, and they must not describe the next picture.
    image_reset(slot);
    if (!load_image(path, slot)) {
        fputs("0 0\n", out);
        return;
    }
    fprintf(out, "%d %d\n", round_up_to_cell(slot->width, geometry->cell_width),
            round_up_to_cell(slot->height, geometry->cell_height));
}
