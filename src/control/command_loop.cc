#include <ctype.h>
#include <string.h>

#include "control/control.h"
#include "images/image.h"
#include "render/render.h"

namespace {

void append_field(command_fields* fields, char* text) {
    if (fields->count < MAX_FIELDS) fields->fields[fields->count++] = text;
}

}  // namespace

void split_fields(char* line, command_fields* fields) {
    size_t length = strlen(line);
    char* open = nullptr;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (!open && isgraph(c)) open = &line[i];
        bool separator = c == ';';
        if (separator) {
            line[i] = '\0';
            append_field(fields, open);
            open = nullptr;
        }
        if (i == length - 1) {
            if (open) {
                append_field(fields, open);
            } else if (separator) {
                append_field(fields, nullptr);  // a trailing ';' leaves an absent field
            }
        }
    }
}

void clear_drawn_flags(image_table* table) {
    for (auto& slot : table->slots) slot.drawn = false;
}

void handle_command_line(char* line, command_fields* fields, term_geometry* geometry,
                         image_table* table, draw_cache* cache, const program_options* options,
                         FILE* out) {
    char* newline = strchr(line, '\n');
    if (newline) *newline = '\0';
    fields->count = 0;
    for (auto& field : fields->fields) field = nullptr;
    if (line[0] == '\0') return;

    split_fields(line, fields);
    if (fields->count == 0) return;

    int32_t command = parse_int(fields->fields[0]);
    switch (static_cast<uint32_t>(command)) {
        case 0:
        case 1:
            handle_image_command(geometry, table, cache, options, fields, command);
            break;
        case 4:
            fputc('\n', out);
            break;
        case 5:
            if (fields->count == 2) {
                report_image_size(geometry, &table->slots[0], fields->fields[1], out);
            }
            break;
        case 6:
            clear_drawn_flags(table);
            break;
        default:  // 2 and 3 do nothing; every other number is ignored
            break;
    }
}
