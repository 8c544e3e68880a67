// The entry point: logs, slot table, SIGWINCH, the controlling terminal, then
// either a one-shot option or the command loop until standard input ends.
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include "control/control.h"
#include "images/image.h"
#include "render/render.h"

namespace {

const char HELP_TEXT[] =
    "Usage: vorpix-sixel [OPTION]...\n"
    "       vorpix-sixel -test\n"
    "       vorpix-sixel -size FILE\n"
    "Shows pictures in a sixel terminal for a host program, which writes commands\n"
    "to its standard input and reads the replies from its standard output.\n"
    "\n"
    "  -test             print the terminal's drawable width and height in pixels\n"
    "  -size FILE        print FILE's size raised to whole cells, or 0 0\n"
    "  -show-on-load     a load line whose box is given also draws the picture\n"
    "  -terminal-cells   use the cell size the terminal reports, not 8x16 pixels\n"
    "  --help            print this text\n"
    "  --version         print the version\n"
    "\n"
    "VORPIX_SIXEL_OPTIONS  options read before the command line, separated by blanks\n"
    "VORPIX_SIXEL_LOG_DIR  the folder of the two log files (/tmp when unset)\n"
    "\n"
    "See vorpix-sixel(1) for the commands.\n";

}  // namespace

int main(int argc, char** argv) {
    // The table and the draw's store: kept out of the stack, for the whole run.
    static image_table table;
    static draw_cache cache;
    program_options options = {};
    command_fields fields = {};
    char line[LINE_BUFFER_SIZE];

    // Answered at once, before anything else is touched.
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            fputs(HELP_TEXT, stdout);
            return 0;
        }
        if (strcmp(argv[i], "--version") == 0) {
            puts("vorpix-sixel " VORPIX_VERSION);
            return 0;
        }
    }
    // The environment's options first, so the command line's come after them.
    parse_option_list(getenv(OPTIONS_VARIABLE), &options);
    for (int i = 1; i < argc; i++) parse_option(argv[i], &options);
    term_geometry geometry = {-1, 0, 0, CELL_WIDTH, CELL_HEIGHT, options.terminal_cells};

    redirect_stderr_to_log(INSTANCE_LOG_NAME, false);
    for (auto& slot : table.slots) image_init(&slot);
    cache.limit = DRAW_CACHE_BYTES;

    struct sigaction action = {};
    action.sa_handler = sigwinch_handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction_or_log(SIGWINCH, &action, nullptr);
    // A host that closes its end of our standard output must not kill us
    // before it closes standard input: a failed reply is just lost.
    signal(SIGPIPE, SIG_IGN);

    if (open_controlling_terminal(&geometry)) {
        update_geometry(&geometry);
        bool one_shot = false;
        for (int i = 1; i < argc && !one_shot; i++) {
            if (strncmp(argv[i], "-test", 5) == 0) {
                printf("%d %d\n", geometry.width, geometry.height);
                one_shot = true;
            } else if (strncmp(argv[i], "-size", 5) == 0) {
                if (i + 1 >= argc) break;
                report_image_size(&geometry, &table.slots[0], argv[i + 1], stdout);
                one_shot = true;
            }
        }
        if (!one_shot) {
            redirect_stderr_to_log(MAIN_LOG_NAME, true);
            setvbuf(stderr, nullptr, _IONBF, 0);
            setvbuf(stdout, nullptr, _IONBF, 0);
            while (fgets(line, sizeof line, stdin)) {
                if (sigwinch_pending) {
                    sigwinch_pending = 0;
                    update_geometry(&geometry);
                }
                handle_command_line(line, &fields, &geometry, &table, &cache, &options, stdout);
            }
        }
    }

    draw_cache_clear(&cache);
    for (auto& slot : table.slots) image_free_frames(&slot);
    fflush(stdout);
    fflush(stderr);
    // The terminal is closed while standard error is still open, so that a
    // failure there can be logged. A failure to close standard error itself
    // has nowhere to go: writing to the closed stream would be undefined.
    if (geometry.fd > 0) close_or_log(geometry.fd);
    fclose(stderr);
    return 0;
}
