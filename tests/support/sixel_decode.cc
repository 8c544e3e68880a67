#include "support/sixel_decode.h"

#include <stdlib.h>

#include <algorithm>
#include <map>

namespace {

struct colour {
    uint8_t r, g, b;
};

// Reads a decimal number at `i`, or `fallback` when none is there.
int read_number(const std::string& s, size_t* i, int fallback) {
    if (*i >= s.size() || s[*i] < '0' || s[*i] > '9') return fallback;
    int value = 0;
    while (*i < s.size() && s[*i] >= '0' && s[*i] <= '9') {
        value = std::min(value * 10 + (s[*i] - '0'), 1 << 24);
        ++*i;
    }
    return value;
}

std::vector<int> read_params(const std::string& s, size_t* i) {
    std::vector<int> params;
    params.push_back(read_number(s, i, 0));
    while (*i < s.size() && s[*i] == ';') {
        ++*i;
        params.push_back(read_number(s, i, 0));
    }
    return params;
}

uint8_t percent(int p) {
    return static_cast<uint8_t>((std::min(p, 100) * 255 + 50) / 100);
}

}  // namespace

bool decode_sixel(const std::string& data, decoded_sixel* out) {
    size_t i = 0;
    if (data.compare(0, 2, "\033P") == 0) i = 2;
    while (i < data.size() && data[i] != 'q') {
        if (!((data[i] >= '0' && data[i] <= '9') || data[i] == ';')) return false;
        i++;
    }
    if (i >= data.size()) return false;
    i++;

    int raster_w = 0, raster_h = 0;
    std::map<int, colour> palette;
    std::map<std::pair<int, int>, colour> pixels;
    int x = 0, y = 0, extent_w = 0, extent_h = 0;
    colour current = {0, 0, 0};
    while (i < data.size()) {
        char c = data[i];
        if (c == '\033') break;
        if (c == '"') {
            i++;
            std::vector<int> p = read_params(data, &i);
            if (p.size() >= 4) {
                raster_w = p[2];
                raster_h = p[3];
            }
        } else if (c == '#') {
            i++;
            std::vector<int> p = read_params(data, &i);
            if (p.size() >= 5 && p[1] == 2) {
                palette[p[0]] = {percent(p[2]), percent(p[3]), percent(p[4])};
            }
            current = palette.count(p[0]) ? palette[p[0]] : colour{0, 0, 0};
        } else if (c == '!' || (c >= '?' && c <= '~')) {
            int repeat = 1;
            if (c == '!') {
                i++;
                repeat = read_number(data, &i, 1);
                if (i >= data.size()) break;
                c = data[i];
            }
            int bits = c - '?';
            for (int k = 0; k < repeat; k++, x++) {
                for (int b = 0; b < 6; b++) {
                    if (bits & (1 << b)) {
                        pixels[{x, y + b}] = current;
                        extent_h = std::max(extent_h, y + b + 1);
                    }
                }
            }
            extent_w = std::max(extent_w, x);
            i++;
        } else if (c == '$') {
            x = 0;
            i++;
        } else if (c == '-') {
            x = 0;
            y += 6;
            i++;
        } else {
            i++;  // line breaks and the like carry nothing
        }
    }
    out->width = raster_w > 0 ? raster_w : extent_w;
    out->height = raster_h > 0 ? raster_h : extent_h;
    out->rgb.assign(static_cast<size_t>(out->width) * out->height * 3, 0);
    out->painted.assign(static_cast<size_t>(out->width) * out->height, 0);
    for (const auto& [position, value] : pixels) {
        auto [px, py] = position;
        if (px >= out->width || py >= out->height) continue;
        size_t k = static_cast<size_t>(py) * out->width + px;
        out->painted[k] = 1;
        out->rgb[k * 3] = value.r;
        out->rgb[k * 3 + 1] = value.g;
        out->rgb[k * 3 + 2] = value.b;
    }
    return true;
}

std::vector<tty_event> split_tty_output(const std::string& bytes, std::string* other) {
    std::vector<tty_event> events;
    size_t i = 0;
    while (i < bytes.size()) {
        if (bytes.compare(i, 2, "\033[") == 0) {
            size_t j = i + 2;
            size_t k = j;
            int row = read_number(bytes, &k, 1);
            if (k < bytes.size() && bytes[k] == ';') {
                k++;
                int column = read_number(bytes, &k, 1);
                if (k < bytes.size() && bytes[k] == 'H') {
                    events.push_back({false, row, column, ""});
                    i = k + 1;
                    continue;
                }
            }
        } else if (bytes.compare(i, 2, "\033P") == 0) {
            size_t end = bytes.find("\033\\", i);
            size_t stop = end == std::string::npos ? bytes.size() : end + 2;
            events.push_back({true, 0, 0, bytes.substr(i, stop - i)});
            i = stop;
            continue;
        }
        if (other) other->push_back(bytes[i]);
        i++;
    }
    return events;
}
