// The opt-ins a host or a user can turn on, on the command line or in the
// environment.
#include <string.h>

#include "control/control.h"

namespace {

struct option_entry {
    const char* name;
    bool program_options::*flag;
};

// None may begin with "-test" or "-size": those five characters alone pick
// the one-shot commands, whatever follows them.
const option_entry OPTIONS[] = {
    {"-show-on-load",   &program_options::show_on_load  },
    {"-terminal-cells", &program_options::terminal_cells},
};

}  // namespace

bool parse_option(const char* argument, program_options* options) {
    for (const auto& entry : OPTIONS) {
        if (strcmp(argument, entry.name) == 0) {
            options->*entry.flag = true;
            return true;
        }
    }
    return false;
}

void parse_option_list(const char* text, program_options* options) {
    if (!text) return;
    // Words are compared in place, without copying the variable's text.
    while (*text) {
        size_t blanks = strspn(text, " \t\n");
        text += blanks;
        size_t length = strcspn(text, " \t\n");
        if (length == 0) break;
        for (const auto& entry : OPTIONS) {
            if (strlen(entry.name) == length && strncmp(text, entry.name, length) == 0) {
                options->*entry.flag = true;
            }
        }
        text += length;
    }
}
