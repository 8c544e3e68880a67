// The entry point: logs, slot table, SIGWINCH, the controlling terminal, then
// either a one-shot option or the command loop until standard input ends.
#include <signal.h>
#include <string.h>

#include "control/control.h"
#include "images/image.h"

int main(int argc, char** argv) {
    // The table is 1.6 MB: kept out of the stack, for the whole run.
    static image_table table;
    term_geometry geometry = {-1, 0, 0, CELL_WIDTH, CELL_HEIGHT};
    command_fields fields = {};
    char line[LINE_BUFFER_SIZE];

    redirect_stderr_to_log(INSTANCE_LOG_NAME, false);
    for (auto& slot : table.slots) image_init(&slot);
    table.draw_cache_limit = DRAW_CACHE_BYTES;

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
                handle_command_line(line, &fields, &geometry, &table, stdout);
            }
        }
    }

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
