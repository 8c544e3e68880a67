// A small DEC sixel decoder for checking what reached the terminal: it turns
// one sixel stream back into R,G,B pixels.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct decoded_sixel {
    int width = 0;  // from the raster attributes, or the painted extent
    int height = 0;
    std::vector<uint8_t> rgb;      // width x height x 3
    std::vector<uint8_t> painted;  // 1 where a sixel bit set the pixel
};

// `data` runs from ESC P to ESC \ (either may be missing). False when the
// text is not a sixel stream.
bool decode_sixel(const std::string& data, decoded_sixel* out);

// What a draw writes: cursor moves and sixel streams, in order.
struct tty_event {
    bool is_sixel = false;
    int row = 0, column = 0;  // for a cursor move
    std::string data;         // for a sixel stream
};

// Splits terminal bytes into cursor-position sequences and sixel streams;
// any other byte is returned in `other`.
std::vector<tty_event> split_tty_output(const std::string& bytes, std::string* other = nullptr);
