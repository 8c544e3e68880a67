#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>

#include "control/control.h"

volatile sig_atomic_t sigwinch_pending = 0;

void sigwinch_handler(int signum) {
    if (signum == SIGWINCH) sigwinch_pending = 1;
}

bool open_controlling_terminal(term_geometry* geometry) {
    char name[L_ctermid];
    if (!ctermid(name)) {
        log_message(LOG_ERROR, "couldn't open controlling terminal\n");
        return false;
    }
    geometry->fd = open_or_log(name, O_RDWR);
    if (geometry->fd < 0) {
        log_message(LOG_ERROR, "couldn't open controlling terminal\n");
        return false;
    }
    return true;
}

void update_geometry(term_geometry* geometry) {
    struct winsize size = {};
    geometry->cell_width = CELL_WIDTH;
    geometry->cell_height = CELL_HEIGHT;
    if (ioctl(geometry->fd, TIOCGWINSZ, &size) != 0) {
        log_message(LOG_ERROR, "ioctl: TIOCGWINSZ failed\n");
        geometry->width = DEFAULT_TERM_WIDTH;
        geometry->height = DEFAULT_TERM_HEIGHT;
        return;
    }
    int32_t columns = size.ws_col;
    int32_t rows = size.ws_row;
    // Terminals fill in their pixel size (and send SIGWINCH when the font
    // changes); one that reports none, or less than a pixel a cell, keeps 8x16.
    if (geometry->terminal_cells && columns > 0 && rows > 0 && size.ws_xpixel >= columns &&
        size.ws_ypixel >= rows) {
        geometry->cell_width = size.ws_xpixel / columns;
        geometry->cell_height = size.ws_ypixel / rows;
    }
    geometry->width = columns * geometry->cell_width;
    geometry->height = rows * geometry->cell_height - geometry->cell_height - 7;
}
