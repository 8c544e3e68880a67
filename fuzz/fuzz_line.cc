// Any bytes as a command line: the splitter and the number parser.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "control/control.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char line[LINE_BUFFER_SIZE];
    size_t length = size < sizeof line - 1 ? size : sizeof line - 1;
    memcpy(line, data, length);
    line[length] = '\0';
    command_fields fields = {};
    split_fields(line, &fields);
    for (int i = 0; i < fields.count; i++) parse_int(fields.fields[i]);
    return 0;
}
